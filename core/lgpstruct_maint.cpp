// Analysis, repair and packing of an archive's structure.
#include "lgplookup.h"
#include "lgpstruct.h"
#include "lgpstruct_internal.h"

#include <algorithm>
#include <unordered_map>

using namespace lgp::detail;

namespace
{
    // The field up to its first NUL (all 20 bytes without one), as a key.
    NameKey KeyOf(const NameField& field)
    {
        const auto end = std::find(field.begin(), field.end(), '\0');
        return MakeNameKey(field.data(), static_cast<std::size_t>(end - field.begin()));
    }

    void AddNoteLines(std::vector<std::string>& lines)
    {
        lines.push_back("     (these will not necessarily stop the LGP");
        lines.push_back("      from working. However, it indicates a");
        lines.push_back("      corrupt or badly constructed file.)");
    }
}

std::vector<std::string> AnalyseArchive(const TLGPFile& archive, const std::string& fileLabel)
{
    return AnalyseArchiveReport(archive, fileLabel).Lines;
}

ArchiveAnalysis AnalyseArchiveReport(const TLGPFile& archive, const std::string& fileLabel)
{
    if (!archive.FromSource() && !Platform::File::isOrdinaryFile(archive.FileName()))
        lgp::Fail("Couldn't retrieve file information!");

    ArchiveAnalysis analysis;
    std::vector<std::string>& lines = analysis.Lines;
    lines.push_back("File: " + fileLabel);
    lines.push_back("# of files in archive: " + std::to_string(archive.FileCount()));
    lines.push_back("Creator: " + archive.Creator());
    lines.push_back("Description: " + archive.Description());
    if (!archive.FromSource())
        if (const std::string leftovers = LeftoverTemporariesLine(archive.FileName()); !leftovers.empty())
            lines.push_back(leftovers);
    lines.push_back("");
    const std::int64_t entries = std::max<std::int32_t>(archive.FileCount(), 0);
    const std::int64_t headerSize = HeaderSize + TocEntrySize * entries;
    lines.push_back("Section 1: Header: " + std::to_string(headerSize) + " bytes.");
    // Without TOC entries there is no first data entry to measure the
    // validation data against, and no neighbours to compare.
    if (entries == 0)
        return analysis;

    const std::int64_t validationSize = std::int64_t(archive.GetEntryByOffset(0).Offset) - headerSize;
    lines.push_back("Section 2: Error check: " + std::to_string(validationSize) + " bytes.");
    if (validationSize != 3602)
    {
        // Archives whose names repeat hold a conflict table after the lookup
        // table: bytes that read exactly as one are no sign of damage.
        std::optional<LookupTable> table;
        if (!archive.FromSource() && validationSize > std::int64_t(LookupDataSize))
        {
            try
            {
                const std::vector<std::uint8_t> validation = ReadValidationData(archive.FileName());
                table = ReadLookupTable(validation);
                if (table && (!table->ConflictsRead || table->End != validation.size()))
                    table.reset();
            }
            catch (const ELGPError&)
            {
                table.reset(); // unreadable now: no table to name
            }
        }
        if (table)
        {
            std::size_t records = 0;
            for (const auto& list : table->Conflicts)
                records += list.size();
            lines.push_back("     (a lookup table and a conflict table: " + std::to_string(table->Conflicts.size())
                            + " repeated names, " + std::to_string(records) + " records)");
        }
        else
            lines.push_back("     (compressed/corrupt data?)");
    }

    std::int64_t mismatched = 0;
    for (std::int32_t i = 0; i < entries; ++i)
        mismatched += archive.GetEntry(i).NameMismatch ? 1 : 0;
    lines.push_back(std::to_string(mismatched) + " files have mismatched filenames.");
    analysis.Problems += mismatched;
    if (mismatched != 0)
        AddNoteLines(lines);

    bool gaps = false;
    for (std::int32_t j = 0; j + 1 < entries; ++j)
    {
        const LGPEntry a = archive.GetEntryByOffset(j);
        const LGPEntry b = archive.GetEntryByOffset(j + 1);
        if (std::int64_t(a.Offset) + a.Length + DataHeaderSize != b.Offset)
        {
            lines.push_back("There is a data gap between files: ");
            lines.push_back("  " + a.Name + " and " + b.Name);
            gaps = true;
            // Entries that share one data entry (the game's own archives have
            // them) are listed, but they are no damage.
            if (a.Offset != b.Offset)
                ++analysis.Problems;
        }
    }
    if (!gaps)
        lines.push_back("There are no data gaps in the file (OK).");
    else
        AddNoteLines(lines);
    return analysis;
}

namespace
{
    // Whether a data entry named dataName carries the name of the TOC entry
    // named tocName: the same name, or the name patch application gives the
    // data it writes in its place, after any number of applications.
    bool CarriesName(const NameField& dataName, const NameField& tocName)
    {
        const NameKey data = KeyOf(dataName);
        NameField name = tocName;
        // Each application adds ".patch" until the name fills the field; from
        // then on it stays the same, so the loop ends after a few steps.
        for (;;)
        {
            if (KeyOf(name) == data)
                return true;
            const NameField next = PatchedDataName(name);
            if (next == name)
                return false;
            name = next;
        }
    }

    // The TOC entries Repair leaves as they are: those whose Offset already
    // reaches a whole data entry carrying their name. Names may repeat (the
    // same file in several folders) and an entry may have been replaced by a
    // newer one of its name: relinking either to the first data entry of the
    // name would lose the data they reach.
    std::vector<bool> LinksThatHold(TRawLGPFile& raw, const std::vector<TOCEntry>& toc)
    {
        std::unordered_map<std::int32_t, std::int32_t> scanned;
        scanned.reserve(static_cast<std::size_t>(raw.DataCount()));
        for (std::int32_t d = raw.DataCount() - 1; d >= 0; --d)
            scanned[raw.GetDataEntry(d).Position] = d;
        std::vector<bool> hold(toc.size(), false);
        for (std::size_t k = 0; k < toc.size(); ++k)
        {
            const auto found = scanned.find(toc[k].Offset);
            const std::optional<RawDataEntry> data =
                found != scanned.end() ? raw.GetDataEntry(found->second) : raw.ReadableDataEntryAt(toc[k].Offset);
            hold[k] = data && CarriesName(data->Name, toc[k].Name);
        }
        return hold;
    }
}

void RepairArchive(const std::string& path)
{
    TRawLGPFile raw(path);
    const std::int32_t count = std::max<std::int32_t>(raw.FileCount(), 0);
    // For every name in the TOC, the Position of the first data entry in file
    // order that carries it: what a scan of the data from the front finds.
    constexpr std::int32_t none = -1;
    std::vector<TOCEntry> toc;
    toc.reserve(static_cast<std::size_t>(count));
    FlatNameIndex firstByName(static_cast<std::size_t>(count));
    for (std::int32_t k = 0; k < count; ++k)
    {
        toc.push_back(raw.GetTableEntry(k));
        firstByName.Insert(KeyOf(toc.back().Name), none);
    }
    for (std::int32_t d = 0; d < raw.DataCount(); ++d)
    {
        const RawDataEntry data = raw.GetDataEntry(d);
        std::int32_t* position = firstByName.Find(KeyOf(data.Name));
        if (position && *position == none)
            *position = data.Position;
    }

    const std::vector<bool> hold = LinksThatHold(raw, toc);

    ReportProgress(0, raw.FileCount());
    // Relinked entries are written together at the end: the same bytes as
    // rewriting each in turn, in one write instead of one per entry.
    for (std::int32_t k = 0; k < count; ++k)
    {
        if (hold[static_cast<std::size_t>(k)])
        {
            ReportProgress(k + 1, raw.FileCount());
            continue;
        }
        const std::int32_t* position = firstByName.Find(KeyOf(toc[static_cast<std::size_t>(k)].Name));
        if (position && *position != none)
            toc[static_cast<std::size_t>(k)].Offset = *position;
        ReportProgress(k + 1, raw.FileCount());
    }
    // Written on a copy put in place in one step.
    raw.SetTableEntries(toc);
}

void PackArchive(const std::string& path)
{
    TRawLGPFile raw(path);
    // Packing keeps only what the scan found: refuse while a TOC entry reaches
    // data the scan missed.
    raw.RequireScannedTableOffsets();
    const std::int32_t dataCount = raw.DataCount();
    // Nothing to move: the file stays exactly as it is.
    if (dataCount == 0)
    {
        ReportProgress(0, 0);
        return;
    }

    // TOC entries by their Offset, in table order. Offsets rewritten during
    // the pack are always below the Positions still to come, so looking up the
    // original Offsets finds exactly what a search of the current TOC would.
    std::unordered_map<std::int32_t, std::vector<std::int32_t>> byOffset;
    const std::int32_t count = std::max<std::int32_t>(raw.FileCount(), 0);
    byOffset.reserve(static_cast<std::size_t>(count));
    for (std::int32_t k = 0; k < count; ++k)
        byOffset[raw.GetTableEntry(k).Offset].push_back(k);

    // The packed archive is written into a new file beside the archive and put
    // in its place in one step: the archive is never half moved. Planned
    // first, so a damaged archive fails before anything is written and the
    // free space needed is known.
    struct Move
    {
        std::int64_t From;
        std::int64_t To;
        std::int64_t Size;
    };
    TFileStream& file = raw.File();
    const TFileSource& archive = file.Source();
    const std::int64_t size = file.Size();
    const std::int64_t start = raw.GetDataEntry(0).Position;
    std::vector<TOCEntry> toc(static_cast<std::size_t>(count));
    for (std::int32_t k = 0; k < count; ++k)
        toc[static_cast<std::size_t>(k)] = raw.GetTableEntry(k);
    std::vector<Move> moves;
    std::int64_t w = start;
    for (std::int32_t k = 0; k < dataCount; ++k)
    {
        const RawDataEntry data = raw.GetDataEntry(k);
        const auto it = byOffset.find(data.Position);
        if (it == byOffset.end())
            continue;
        const std::int64_t entrySize = DataHeaderSize + std::int64_t(data.Length);
        // An entry that runs past the end of the file can't be read whole.
        if (data.Position + entrySize > size)
            lgp::FailRead();
        moves.push_back({data.Position, w, entrySize});
        for (const std::int32_t tableIndex : it->second)
            toc[static_cast<std::size_t>(tableIndex)].Offset = static_cast<std::int32_t>(w);
        byOffset.erase(it);
        w += entrySize;
    }
    const std::int64_t newSize = w + raw.TrailingSize();
    const bool unchanged =
        newSize == size && std::all_of(moves.begin(), moves.end(), [](const Move& m) { return m.From == m.To; });
    if (unchanged)
    {
        // Already packed: the file would be written again byte for byte.
        for (std::int32_t k = 0; k <= dataCount; ++k)
            ReportProgress(k, dataCount);
        return;
    }

    ArchiveReplacement replacement(path, archive.Handle(), newSize);
    TFileSource& out = replacement.File();
    WriteHeadWithToc(archive, out, start, toc);
    std::size_t next = 0;
    for (std::int32_t k = 0; k < dataCount; ++k)
    {
        ReportProgress(k, dataCount);
        if (next < moves.size() && moves[next].From == raw.GetDataEntry(k).Position)
        {
            const Move& move = moves[next++];
            CopyBytes(archive, move.From, out, move.To, move.Size);
        }
    }
    raw.CopyTrailingText(out, w);
    // The archive stays open (and locked) until its new version has its name.
    ScopedHandle original = file.ExchangeHandle(ScopedHandle());
    replacement.Commit(out, original);
    ReportProgress(dataCount, dataCount);
}
