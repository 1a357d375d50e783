// Analysis, repair and packing of an archive's structure.
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
    if (!Platform::File::isOrdinaryFile(archive.FileName()))
        lgp::Fail("Couldn't retrieve file information!");

    std::vector<std::string> lines;
    lines.push_back("File: " + fileLabel);
    lines.push_back("# of files in archive: " + std::to_string(archive.FileCount()));
    lines.push_back("Creator: " + archive.Creator());
    lines.push_back("Description: " + archive.Description());
    lines.push_back("");
    const std::int64_t entries = std::max<std::int32_t>(archive.FileCount(), 0);
    const std::int64_t headerSize = HeaderSize + TocEntrySize * entries;
    lines.push_back("Section 1: Header: " + std::to_string(headerSize) + " bytes.");
    // Without TOC entries there is no first data entry to measure the
    // validation data against, and no neighbours to compare.
    if (entries == 0)
        return lines;

    const std::int64_t validationSize = std::int64_t(archive.GetEntryByOffset(0).Offset) - headerSize;
    lines.push_back("Section 2: Error check: " + std::to_string(validationSize) + " bytes.");
    if (validationSize != 3602)
        lines.push_back("     (compressed/corrupt data?)");

    std::int64_t mismatched = 0;
    for (std::int32_t i = 0; i < entries; ++i)
        mismatched += archive.GetEntry(i).NameMismatch ? 1 : 0;
    lines.push_back(std::to_string(mismatched) + " files have mismatched filenames.");
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
        }
    }
    if (!gaps)
        lines.push_back("There are no data gaps in the file (OK).");
    else
        AddNoteLines(lines);
    return lines;
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

    ReportProgress(0, raw.FileCount());
    // Relinked entries are written together at the end: the same bytes as
    // rewriting each in turn, in one write instead of one per entry.
    for (std::int32_t k = 0; k < count; ++k)
    {
        const std::int32_t* position = firstByName.Find(KeyOf(toc[static_cast<std::size_t>(k)].Name));
        if (position && *position != none)
            toc[static_cast<std::size_t>(k)].Offset = *position;
        ReportProgress(k + 1, raw.FileCount());
    }
    raw.SetTableEntries(toc);
}

void PackArchive(const std::string& path)
{
    TRawLGPFile raw(path);
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

    TFileStream& file = raw.File();
    const auto& fd = file.Handle();
    const std::int64_t size = file.Size();
    std::int64_t w = raw.GetDataEntry(0).Position;
    for (std::int32_t k = 0; k < dataCount; ++k)
    {
        ReportProgress(k, dataCount);
        const RawDataEntry data = raw.GetDataEntry(k);
        const auto it = byOffset.find(data.Position);
        if (it == byOffset.end())
            continue;
        const std::int64_t entrySize = DataHeaderSize + std::int64_t(data.Length);
        // The entry is read whole before it moves; one that runs past the end
        // of the file can't be read.
        if (data.Position + entrySize > size)
            lgp::FailRead();
        if (w != data.Position)
        {
            // W never passes Position, so copying front to back in chunks
            // never overwrites bytes before they are read.
            constexpr std::int64_t chunk = 1 << 20;
            std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min(entrySize, chunk)));
            for (std::int64_t done = 0; done < entrySize;)
            {
                const std::int64_t n = std::min(entrySize - done, chunk);
                ReadAt(fd, buffer.data(), static_cast<std::size_t>(n), data.Position + done);
                WriteAt(fd, buffer.data(), static_cast<std::size_t>(n), w + done);
                done += n;
            }
        }
        for (const std::int32_t tableIndex : it->second)
        {
            TOCEntry entry = raw.GetTableEntry(tableIndex);
            entry.Offset = static_cast<std::int32_t>(w);
            raw.SetTableEntry(tableIndex, entry);
        }
        byOffset.erase(it);
        w += entrySize;
    }
    const auto& trailing = raw.TrailingText();
    if (!trailing.empty())
        WriteAt(fd, trailing.data(), trailing.size(), w);
    file.SetSize(w + static_cast<std::int64_t>(trailing.size()));
    ReportProgress(dataCount, dataCount);
}
