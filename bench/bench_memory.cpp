// Peak memory of the archive writers on a sparse archive of about 1 GB: pack,
// repair and apply-patch (both variants), each run in a child process whose
// peak resident size (ru_maxrss) is read when it ends. The baseline is the same
// command on the same archive without its holes, measured in the same run, so
// the figure says what the holes cost. Goal: under 64 MB for each command.
//
// The archive: a, a hole of 512 MB, b, the trailing text "FINAL FANTASY7 -
// modded by X", a hole of 512 MB, "END". The holes cost no disk blocks where
// the file system keeps sparse files; the commands that rewrite the archive
// copy them (about 1 GB written). Files go to a folder under $TMPDIR, or the
// folder given as the first argument, and are removed at the end.
#include "core/lgpstruct.h"
#include "patch/lgppatch.h"
#include "support/lgpwriter.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace testlgp;

namespace
{
    // Peak resident size in MB of command run in a child; negative when it failed.
    double PeakMegabytes(const std::function<void()>& command)
    {
        const pid_t pid = ::fork();
        if (pid == 0)
        {
            try
            {
                command();
            }
            catch (const std::exception& e)
            {
                std::fprintf(stderr, "failed: %s\n", e.what());
                std::_Exit(1);
            }
            std::_Exit(0);
        }
        int status = 0;
        rusage usage{};
        ::wait4(pid, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return -1;
        return double(usage.ru_maxrss) / 1024.0;
    }

    void Append(const std::string& path, const Bytes& bytes)
    {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }

    // The archive described above, with holes of hole bytes each (none: 0).
    void MakeArchive(const std::string& path, std::int64_t hole)
    {
        const Bytes a = Pattern(100000, 1);
        const Bytes b = Pattern(200000, 2);
        const std::int64_t aAt = 16 + 2 * 27;
        const std::int64_t bAt = aAt + 24 + std::int64_t(a.size()) + hole;
        Writer w;
        w.header("SQUARESOFT", 2).toc("a.bin", std::int32_t(aAt)).toc("b.bin", std::int32_t(bAt));
        w.dataEntry("a.bin", a);
        Save(path, w.out);
        fs::resize_file(path, std::uintmax_t(bAt));
        Writer tail;
        tail.dataEntry("b.bin", b).text("FINAL FANTASY7 - modded by X");
        Append(path, tail.out);
        fs::resize_file(path, fs::file_size(path) + std::uintmax_t(hole));
        Append(path, B("END"));
    }
} // namespace

int main(int argc, char** argv)
{
    const fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    const fs::path dir = base / ("bench_memory." + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::int64_t hole = std::int64_t(512) << 20;

    // The patch changes both entries without making them longer.
    const std::string modified = (dir / "modified").string() + "/";
    fs::create_directories(modified);
    Bytes a = Pattern(100000, 1);
    a[500] ^= 0xFF;
    Bytes b = Pattern(200000, 2);
    b[100] ^= 0xFF;
    Save(modified + "a.bin", a);
    Save(modified + "b.bin", b);
    const std::string patch = (dir / "p.lgp").string();
    MakeArchive((dir / "source.lgp").string(), 0);
    PatchCreationOptions options;
    options.Source = (dir / "source.lgp").string();
    options.ModifiedIsFolder = true;
    options.ModifiedFolder = modified;
    options.Output = patch;
    CreatePatch(options, {});

    struct Row
    {
        const char* Name;
        std::function<void(const std::string&)> Run;
    };
    const Row rows[] = {
        {"repair", [](const std::string& p) { RepairArchive(p); }},
        {"apply-patch",
         [&](const std::string& p) {
             TRawLGPFile archive(p);
             ApplyPatch(archive, TLGPFile(patch, true), true);
         }},
        {"apply-patch --append-only",
         [&](const std::string& p) {
             TRawLGPFile archive(p);
             ApplyPatch(archive, TLGPFile(patch, true), false);
         }},
        {"pack", [](const std::string& p) { PackArchive(p); }},
    };
    std::printf("| Command | Baseline (no holes) | Sparse, %lld MB | Ratio | Under 64 MB |\n|---|---|---|---|---|\n",
                static_cast<long long>((2 * hole) >> 20));
    bool met = true;
    for (const Row& row : rows)
    {
        const std::string small = (dir / "small.lgp").string();
        const std::string sparse = (dir / "sparse.lgp").string();
        MakeArchive(small, 0);
        MakeArchive(sparse, hole);
        const double baseline = PeakMegabytes([&] { row.Run(small); });
        const double peak = PeakMegabytes([&] { row.Run(sparse); });
        met = met && peak >= 0 && peak < 64;
        std::printf("| %s | %.1f MB | %.1f MB | %.2f | %s |\n", row.Name, baseline, peak,
                    baseline > 0 ? peak / baseline : 0.0, peak >= 0 && peak < 64 ? "yes" : "no");
        std::fflush(stdout);
        fs::remove(small);
        fs::remove(sparse);
    }
    fs::remove_all(dir);
    return met ? 0 : 1;
}
