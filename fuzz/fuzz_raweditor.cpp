// Fuzzes the raw editor's scan of an arbitrary file and its in-place edits
// (rewrite, append, truncate, table entries), then repair and pack, in both
// variants. The whole input is the archive; its last byte picks the variant
// and the edits.
#include "fuzz_seeds.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzseeds::WriteSeeds();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t control = data[size - 1];
    const std::string& path = fuzzseeds::ScratchPath("fuzz-raw");
    fuzzseeds::WriteFile(path, data, size);
    const std::int64_t fileSize = static_cast<std::int64_t>(size);
    const RawEditorVariant variant = (control & 1) ? RawEditorVariant::Stub : RawEditorVariant::Main;
    try
    {
        TRawLGPFile raw(path, variant);
        std::int64_t sum = 0;
        for (std::int32_t i = 0; i < raw.DataCount(); ++i)
        {
            const RawDataEntry e = raw.GetDataEntry(i);
            sum += std::int64_t(e.Position) + e.Length + e.Room;
        }
        for (std::int32_t i = 0; i < std::min<std::int32_t>(raw.FileCount(), 4); ++i)
        {
            try
            {
                TMemoryStream memory;
                raw.ReadEntryData(i, memory);
                sum += memory.Size();
            }
            catch (const ELGPError&)
            {
            }
        }
        const std::vector<std::uint8_t> bytes(static_cast<std::size_t>((control >> 1) & 31), 0xAB);
        RawDataEntry entry;
        entry.Name = FieldFromName("FUZZ");
        entry.Length = static_cast<std::int32_t>(bytes.size());
        entry.Data = bytes;
        if (raw.DataCount() > 0)
        {
            const std::int32_t target = static_cast<std::int32_t>(control % raw.DataCount());
            sum += raw.RewriteDataEntry(target, entry) ? 1 : 0;
            // Appending after an entry whose data runs past the end of the file
            // would write far beyond it; keep the run small.
            const RawDataEntry last = raw.GetDataEntry(raw.DataCount() - 1);
            if (std::int64_t(last.Position) + 24 + last.Length <= fileSize + 64)
            {
                const std::int32_t index = raw.AppendDataEntry(entry);
                if (raw.FileCount() > 0)
                {
                    TOCEntry toc = raw.GetTableEntry(0);
                    toc.Offset = raw.GetDataEntry(index).Position;
                    raw.SetTableEntry(0, toc);
                }
            }
            if (variant == RawEditorVariant::Main && (control & 64))
                raw.TruncateData(raw.DataCount() / 2);
        }
        if (sum == 42)
            return 0;
    }
    catch (const ELGPError&)
    {
    }
    for (auto* operation : {&RepairArchive, &PackArchive})
    {
        try
        {
            operation(path);
        }
        catch (const ELGPError&)
        {
        }
    }
    return 0;
}
