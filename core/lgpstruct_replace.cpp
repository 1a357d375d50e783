// Replacing one entry's data in place: the advanced editor's append and link
// done in one step, with the rewrite-in-place rule of patch application.

#include "lgpstruct.h"

bool ReplaceEntryData(TRawLGPFile& archive, const std::string& name, std::span<const std::uint8_t> data)
{
    // The same refusal as Pack and Apply Patch, before anything is looked up:
    // an append behind a damaged entry would move the data that later TOC
    // entries reach.
    archive.RequireScannedTableOffsets();
    std::int32_t tableIndex = -1;
    for (std::int32_t i = 0; i < archive.FileCount() && tableIndex < 0; ++i)
        if (SameNameAscii(archive.GetTableEntry(i).NameString(), name))
            tableIndex = i;
    if (tableIndex < 0)
        lgp::Fail("The archive holds no entry named \"" + name + "\".");
    TOCEntry toc = archive.GetTableEntry(tableIndex);
    RawDataEntry record = NewDataEntry(toc.Name, data, "The file for \"" + name + "\"");

    // Rewriting a data entry that another table entry also points at would
    // change that entry too; such data is left alone and the new data appended.
    bool shared = false;
    for (std::int32_t i = 0; i < archive.FileCount() && !shared; ++i)
        shared = i != tableIndex && archive.GetTableEntry(i).Offset == toc.Offset;
    const std::int32_t held = shared ? -1 : archive.DataIndexAt(toc.Offset);
    if (held >= 0)
    {
        record.Name = archive.GetDataEntry(held).Name;
        if (archive.RewriteDataEntry(held, record))
            return true;
        record.Name = toc.Name;
    }

    const std::int32_t appended = archive.AppendDataEntry(record);
    toc.Offset = archive.GetDataEntry(appended).Position;
    archive.SetTableEntry(tableIndex, toc);
    return false;
}
