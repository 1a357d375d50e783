// Fuzzes the index reader: header, TOC, data entry headers and description of
// an arbitrary file, then every read the programs make through an index.
#include "fuzz_seeds.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzseeds::WriteSeeds();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The input is read in place; only ExtractEntry's output goes to a file.
    const auto source = std::make_shared<TMemorySource>(std::span<const std::uint8_t>(data, size));
    const std::string& output = fuzzseeds::ScratchPath("fuzz-index");
    for (const bool lengths : {false, true})
    {
        try
        {
            const TLGPFile archive(source, "fuzz", lengths);
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
            TMemoryStream stream(std::vector<std::uint8_t>(data, data + size));
            for (std::int32_t i = 0; i < std::min<std::int32_t>(count, 4); ++i)
            {
                try
                {
                    TMemoryStream memory;
                    archive.ReadEntryData(i, memory);
                    sum += memory.Size();
                    ExtractEntry(stream, archive.GetEntry(i), output);
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
    std::filesystem::remove(output, ec);
    return 0;
}
