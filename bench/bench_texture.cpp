// Textures to PNG and back, one process each, against ImageMagick's mogrify
// converting the same pictures from BMP files in the same run.
//
// The set: 1,000 textures of 256 x 256 in one archive (900 palettised with
// 256 colours, 100 direct colour), made here: smooth gradients with noise,
// as painted textures are. The same pictures are written as BMP files
// (TexImageToBmp) for mogrify. Wall-clock time of each command.

#include "preview/psxtexdecode.h"
#include "preview/texfile.h"

#include "support/lgpwriter.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>

namespace
{
    constexpr int Count = 1000;
    constexpr int Side = 256;

    testlgp::Bytes MakeTexture(int number)
    {
        std::mt19937 random{std::uint32_t(number)};
        const bool direct = number % 10 == 9;
        testlgp::Bytes tex(236, 0);
        testlgp::PutI32(tex, 0, 1);
        testlgp::PutI32(tex, 56, direct ? 16 : 8);
        testlgp::PutI32(tex, 60, Side);
        testlgp::PutI32(tex, 64, Side);
        testlgp::PutI32(tex, 88, direct ? 0 : 256);
        if (!direct)
        {
            for (int i = 0; i < 256; ++i)
                for (int c : {i, (i * 3 + number) & 255, 255 - i, 0})
                    tex.push_back(std::uint8_t(c));
        }
        for (int y = 0; y < Side; ++y)
            for (int x = 0; x < Side; ++x)
            {
                const int noise = int(random() % 7);
                if (direct)
                {
                    const unsigned r = unsigned(x / 8), g = unsigned(y / 8), b = unsigned((x + y + noise) / 16) & 31;
                    const unsigned v = r << 10 | g << 5 | b;
                    tex.push_back(std::uint8_t(v));
                    tex.push_back(std::uint8_t(v >> 8));
                }
                else
                    tex.push_back(std::uint8_t((x + y) / 2 + noise));
            }
        return tex;
    }

    struct Fixture
    {
        std::filesystem::path Root;
        std::string Archive;
        std::string Bmps;

        Fixture()
        {
            Root = std::filesystem::temp_directory_path() / ("tarrowin-bench-tex-" + std::to_string(::getpid()));
            std::filesystem::create_directories(Root / "bmp");
            testlgp::Archive archive;
            for (int i = 0; i < Count; ++i)
            {
                const std::string name = "t" + std::to_string(i);
                const testlgp::Bytes tex = MakeTexture(i);
                archive.Files.push_back({name + ".tex", tex});
                TMemoryStream stream(tex);
                testlgp::Save(Root / "bmp" / (name + ".bmp"), TexImageToBmp(PSXTexDecode(stream)));
            }
            Archive = (Root / "textures.lgp").string();
            testlgp::Save(Archive, testlgp::Write(archive));
            Bmps = (Root / "bmp").string();
        }
        ~Fixture()
        {
            std::error_code ec;
            std::filesystem::remove_all(Root, ec);
        }
    };

    Fixture& Set()
    {
        static Fixture fixture;
        return fixture;
    }

    void Run(benchmark::State& state, const std::string& command)
    {
        if (std::system(command.c_str()) != 0)
            state.SkipWithError(("failed: " + command).c_str());
    }

    void Fresh(const std::filesystem::path& folder)
    {
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
    }

    void BM_MogrifyBmpToPng(benchmark::State& state)
    {
        Fixture& set = Set();
        for (auto _ : state)
        {
            state.PauseTiming();
            Fresh(set.Root / "magick");
            state.ResumeTiming();
            Run(state, "mogrify -format png -path '" + (set.Root / "magick").string() + "' '" + set.Bmps + "'/*.bmp");
        }
        state.SetItemsProcessed(state.iterations() * Count);
    }

    void BM_TexExportPng(benchmark::State& state)
    {
        Fixture& set = Set();
        for (auto _ : state)
        {
            state.PauseTiming();
            Fresh(set.Root / "png");
            state.ResumeTiming();
            Run(state, std::string(TARROWIN_CLI) + " tex-export '" + set.Archive + "' '" + (set.Root / "png").string()
                           + "' >/dev/null");
        }
        state.SetItemsProcessed(state.iterations() * Count);
    }

    // The exported pictures back into the archive: each converted against its
    // texture and compared; nothing changed, so nothing is written.
    void BM_TexImportPngUnchanged(benchmark::State& state)
    {
        Fixture& set = Set();
        if (!std::filesystem::exists(set.Root / "png" / "t0.png"))
            Run(state, std::string(TARROWIN_CLI) + " tex-export '" + set.Archive + "' '" + (set.Root / "png").string()
                           + "' >/dev/null");
        for (auto _ : state)
            Run(state, std::string(TARROWIN_CLI) + " tex-import '" + set.Archive + "' --from '"
                           + (set.Root / "png").string() + "' >/dev/null");
        state.SetItemsProcessed(state.iterations() * Count);
    }
} // namespace

BENCHMARK(BM_MogrifyBmpToPng)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_TexExportPng)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_TexImportPngUnchanged)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

BENCHMARK_MAIN();
