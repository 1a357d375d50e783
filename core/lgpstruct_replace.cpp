// Replacing one entry's data in place: the advanced editor's append and link
// done in one step, with the rewrite-in-place rule of patch application.

#include "lgpstruct.h"

#include <limits>

bool ReplaceEntryData(TRawLGPFile& archive, const std::string& name, std::span<const std::uint8_t> data)
{
    std::int32_t tableIndex = -1;
    for (std::int32_t i = 0; i < archive.FileCount() && tableIndex < 0; ++i)
        if (SameNameAscii(archive.GetTableEntry(i).NameString(), name))
            tableIndex = i;
    if (tableIndex < 0)
        lgp::Fail("The archive holds no entry named \"" + name + "\".");
    if (data.size() > std::size_t(std::numeric_limits<std::int32_t>::max()))
        lgp::Fail("The file for \"" + name + "\" is too large for an archive entry.");

    TOCEntry toc = archive.GetTableEntry(tableIndex);
    RawDataEntry record;
    record.Name = toc.Name;
    record.Length = static_cast<std::int32_t>(data.size());
    record.Data = data;

    // Rewriting a data entry that another table entry also points at would
    // change that entry too; such data is left alone and the new data appended.
    bool shared = false;
    for (std::int32_t i = 0; i < archive.FileCount() && !shared; ++i)
        shared = i != tableIndex && archive.GetTableEntry(i).Offset == toc.Offset;
    if (!shared)
    {
        for (std::int32_t d = 0; d < archive.DataCount(); ++d)
        {
            const RawDataEntry current = archive.GetDataEntry(d);
            if (current.Position != toc.Offset)
                continue;
            record.Name = current.Name;
            if (archive.RewriteDataEntry(d, record))
                return true;
            record.Name = toc.Name;
            break;
        }
    }

    const std::int32_t appended = archive.AppendDataEntry(record);
    toc.Offset = archive.GetDataEntry(appended).Position;
    archive.SetTableEntry(tableIndex, toc);
    return false;
}
