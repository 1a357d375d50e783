// A whole ApplyPatch: the fuzz input is read as the patch file and applied
// to a small archive built here (LZS and plain entries, shared offsets), with
// both raw-editor variants and both overwrite settings. Failures must be
// ELGPError; nothing may crash or leak.

#include "core/lgpstruct.h"
#include "patch/FFLZs.h"
#include "patch/lgppatch.h"
#include "support/lgpwriter.h"
#include "support/testdata.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <unistd.h>

namespace
{
    namespace fs = std::filesystem;

    std::string gFolder;

    void writeFile(const std::string& path, const testdata::Bytes& bytes)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    testlgp::Archive target()
    {
        testlgp::Archive a;
        a.Files = {
            {"aaab.rsd", testdata::bytes("PLY=AAAB.P\nMAT=AAAB.TEX\n")},
            {"field.lzs", LzsEncodeLiterals(testdata::generate(300, 5))},
            {"long_name_here.tex", testdata::generate(64, 6)},
            {"tiny", testdata::bytes("ab")},
            {"last.bin", testdata::generate(200, 7)},
        };
        return a;
    }

    // The archive with the last TOC entry sharing the first one's data.
    testdata::Bytes targetBytes()
    {
        testdata::Bytes file = testlgp::Write(target());
        const std::size_t last = 16 + 27 * 4 + 20;
        for (int i = 0; i < 4; ++i)
            file[last + static_cast<std::size_t>(i)] = file[16 + 20 + static_cast<std::size_t>(i)];
        return file;
    }

    testdata::Bytes seedPatch()
    {
        testlgp::Archive patch;
        patch.Creator = "QUENWICK-LGP";
        patch.Trailing = testlgp::B("LGP PATCH FILE");
        const testlgp::Archive a = target();
        testdata::Bytes changed = a.Files[0].Data;
        changed[4] = 'X';
        patch.Files.push_back({"AAAB.RSD", *MakeDifference(a.Files[0].Data, changed)});
        const testdata::Bytes plain = LzsDecode(a.Files[1].Data);
        patch.Files.push_back({"FIELD.LZS", *MakeDifference(plain, testdata::mutate(plain, 3, 9))});
        patch.Files.push_back({"long_name_here.tex", testdata::Bytes{0x01, 'z', 0x05}});
        return testlgp::Write(patch);
    }
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gFolder = (fs::temp_directory_path() / ("tarrowin-fuzz-applypatch-" + std::to_string(::getpid()))).string();
    fs::create_directories(gFolder);
    if (const char* folder = std::getenv("TARROWIN_WRITE_SEEDS"))
    {
        writeFile(std::string(folder) + "/patch", seedPatch());
        testlgp::Archive empty;
        empty.Creator = "QUENWICK-LGP";
        empty.Trailing = testlgp::B("LGP PATCH FILE");
        writeFile(std::string(folder) + "/empty", testlgp::Write(empty));
    }
    std::atexit([] {
        std::error_code ignored;
        fs::remove_all(gFolder, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The patch is read in place; the archive is a file, as ApplyPatch puts
    // its new version in the archive's place by renaming.
    const std::string archivePath = gFolder + "/target.lgp";
    const auto patchBytes = std::make_shared<TMemorySource>(std::span<const std::uint8_t>(data, size));
    const std::uint8_t mode = size > 0 ? data[size - 1] : 0;
    for (const auto variant : {RawEditorVariant::Main, RawEditorVariant::Stub})
    {
        static const testdata::Bytes target = targetBytes();
        writeFile(archivePath, target);
        try
        {
            const TLGPFile patch(patchBytes, "patch.lgp", true);
            TRawLGPFile archive(archivePath, variant);
            ApplyPatch(archive, patch, (mode & 1) != 0);
        }
        catch (const ELGPError&)
        {
        }
    }
    return 0;
}
