#pragma once
// Seed archives for the archive fuzz targets, built by the archive core itself:
// a plain build, one with validation data, and copies edited in place (a gap
// marker after a shrink, an appended entry, a truncation).

#include "core/lgpstruct.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fuzzseeds
{
    inline std::string& ScratchStorage()
    {
        static std::string path;
        return path;
    }

    // A scratch file of this process, removed at exit.
    inline const std::string& ScratchPath(const std::string& name)
    {
        std::string& path = ScratchStorage();
        if (path.empty())
        {
            // Memory-backed when the system has it: every input is written to disk.
            std::error_code ec;
            const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                                   ? std::filesystem::path("/dev/shm")
                                                   : std::filesystem::temp_directory_path();
            path = (base / ("tarrowin-" + name + "-" + std::to_string(::getpid()) + ".lgp")).string();
            std::atexit([] {
                std::error_code ec;
                std::filesystem::remove(ScratchStorage(), ec);
            });
        }
        return path;
    }

    inline void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size)
    {
        TFileStream out(path, FileMode::Create);
        if (size > 0)
            out.WriteBuffer(data, size);
    }

    inline void WriteSeeds()
    {
        const char* folder = std::getenv("TARROWIN_WRITE_SEEDS");
        if (!folder || !*folder)
            return;
        namespace fs = std::filesystem;
        const fs::path out(folder);
        const fs::path work = fs::temp_directory_path() / ("tarrowin-seeds-" + std::to_string(::getpid()));
        fs::create_directories(work / "in");
        const char* names[] = {"a.tex", "B.P", "c.hrc", "d.rsd"};
        for (int i = 0; i < 4; ++i)
        {
            std::vector<std::uint8_t> data(static_cast<std::size_t>(10 + 40 * i));
            for (std::size_t j = 0; j < data.size(); ++j)
                data[j] = static_cast<std::uint8_t>(j * 7 + static_cast<std::size_t>(i));
            WriteWholeFile((work / "in" / names[i]).string(), data);
        }
        ArchiveBuildOptions options;
        options.Folder = (work / "in").string();
        options.Output = (out / "plain.lgp").string();
        BuildArchive(options);
        options.Output = (out / "validation.lgp").string();
        options.ValidationData = std::vector<std::uint8_t>(64, 0x5A);
        BuildArchive(options);

        const std::vector<std::uint8_t> small(12, 0x11);
        RawDataEntry entry;
        entry.Name = FieldFromName("B.P");
        entry.Length = static_cast<std::int32_t>(small.size());
        entry.Data = small;

        fs::copy_file(out / "plain.lgp", out / "gap.lgp");
        {
            TRawLGPFile raw((out / "gap.lgp").string());
            raw.RewriteDataEntry(1, entry);
        }
        fs::copy_file(out / "plain.lgp", out / "appended.lgp");
        {
            TRawLGPFile raw((out / "appended.lgp").string());
            const std::int32_t index = raw.AppendDataEntry(entry);
            TOCEntry toc = raw.GetTableEntry(1);
            toc.Offset = raw.GetDataEntry(index).Position;
            raw.SetTableEntry(1, toc);
        }
        fs::copy_file(out / "validation.lgp", out / "truncated.lgp");
        {
            TRawLGPFile raw((out / "truncated.lgp").string());
            raw.TruncateData(2);
        }
        fs::remove_all(work);
    }
}
