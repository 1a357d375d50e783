// Fuzzes the index reader: header, TOC, data entry headers and description of
// an arbitrary file, then every read the programs make through an index.
#include "fuzz_seeds.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzseeds::WriteSeeds();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string& path = fuzzseeds::ScratchPath("fuzz-index");
    fuzzseeds::WriteFile(path, data, size);
    for (const bool lengths : {false, true})
    {
        try
        {
            const TLGPFile archive(path, lengths);
            const std::int32_t count = std::max<std::int32_t>(archive.FileCount(), 0);
            std::int64_t sum = 0;
            for (std::int32_t i = 0; i < count; ++i)
            {
                const LGPEntry byTable = archive.GetEntry(i);
                const LGPEntry byOffset = archive.GetEntryByOffset(i);
                sum += std::int64_t(byTable.Offset) + byOffset.Length + archive.FindEntry(byTable.Name);
            }
            if (lengths)
                sum += static_cast<std::int64_t>(AnalyseArchive(archive, "fuzz").size());
            // Entry data: the first few, each into memory and through ExtractEntry.
            TFileStream stream(path, FileMode::OpenRead);
            for (std::int32_t i = 0; i < std::min<std::int32_t>(count, 4); ++i)
            {
                try
                {
                    TMemoryStream memory;
                    archive.ReadEntryData(i, memory);
                    sum += memory.Size();
                    ExtractEntry(stream, archive.GetEntry(i), path + ".out");
                }
                catch (const ELGPError&)
                {
                }
            }
            if (sum == 42)
                return 0;
        }
        catch (const ELGPError&)
        {
        }
    }
    std::error_code ec;
    std::filesystem::remove(path + ".out", ec);
    return 0;
}
