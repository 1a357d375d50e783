// Replacing one entry's data in place: the advanced editor's append and link
// done in one step, with the rewrite-in-place rule of patch application.

#include "lgplookup.h"
#include "lgpstruct.h"

bool ReplaceEntryData(TRawLGPFile& archive, const std::string& name, std::span<const std::uint8_t> data)
{
    const std::int32_t tableIndex = ResolveEntryName(LookupViewOf(archive), name, EntryUse::Change);
    return ReplaceEntryDataAt(archive, tableIndex, data, name);
}

bool ReplaceEntryDataAt(TRawLGPFile& archive, std::int32_t tableIndex, std::span<const std::uint8_t> data,
                        const std::string& label)
{
    // The same refusal as Pack and Apply Patch: an append behind a damaged
    // entry would move the data that later TOC entries reach.
    archive.RequireScannedTableOffsets();
    TOCEntry toc = archive.GetTableEntry(tableIndex);
    RawDataEntry record =
        NewDataEntry(toc.Name, data, "The file for \"" + (label.empty() ? toc.NameString() : label) + "\"");

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
    try
    {
        archive.SetTableEntry(tableIndex, toc);
    }
    catch (const EWriteError& e)
    {
        // The append stands (complete and synced); say so rather than "Nothing was changed".
        throw EWriteError(e.Headline,
                          e.Detail + " The new data was appended to the archive, but the table entry of \""
                              + (label.empty() ? toc.NameString() : label)
                              + "\" was not pointed at it: the entry still reads its old data (Pack drops the new).",
                          e.ErrorCode);
    }
    return false;
}
