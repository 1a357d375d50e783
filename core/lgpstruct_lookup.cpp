// The game's lookup and conflict tables: computing, reading and checking them,
// and Extract All, which places repeated names by their conflict records.
#include "lgplookup.h"
#include "lgpstruct_internal.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

using namespace lgp::detail;

namespace
{
    // The value of one of a name's first two characters; 100 for none.
    constexpr int NoValue = 100;

    int LookupValue(char c)
    {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c >= 'a' && c <= 'z')
            return c - 'a';
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c == '_')
            return 10;
        if (c == '-')
            return 11;
        if (c == '.')
            return -1;
        return NoValue;
    }

    // "a", "b" and "c" with at most limit of them, then "and N more".
    std::string QuotedList(const std::vector<std::string>& items, std::size_t limit = 20)
    {
        std::string text;
        for (std::size_t i = 0; i < items.size() && i < limit; ++i)
        {
            if (i > 0)
                text += ", ";
            text += '"' + items[i] + '"';
        }
        if (items.size() > limit)
            text += " and " + std::to_string(items.size() - limit) + " more";
        return text;
    }

    std::string SlotRun(int slot, const LookupTable::Slot& s)
    {
        return "its slot (" + std::to_string(slot) + ") covers TOC entries " + std::to_string(s.First) + " to "
               + std::to_string(std::int32_t(s.First) + s.Count - 1);
    }
} // namespace

int LookupSlot(std::string_view name)
{
    if (name.size() < 2)
        return -1;
    const int first = LookupValue(name[0]);
    const int second = LookupValue(name[1]);
    if (first < 0 || first == NoValue || second == NoValue)
        return -1;
    return first * 30 + second + 1;
}

void CheckLookupNames(const std::vector<std::string>& names)
{
    std::vector<std::string> lost;
    for (const auto& name : names)
    {
        if (LookupSlot(name) < 0)
            lost.push_back(name);
    }
    if (!lost.empty())
        lgp::Fail("The game can't look up these names, so it would never find them in the archive: " + QuotedList(lost)
                  + ". A name must begin with two of the characters a to z, 0 to 9, '_' and '-', or with one of "
                    "them and '.'.");
}

std::vector<std::size_t> LookupOrder(const std::vector<std::string>& names)
{
    std::vector<std::size_t> order(names.size());
    std::vector<int> slots(names.size());
    for (std::size_t i = 0; i < names.size(); ++i)
    {
        order[i] = i;
        slots[i] = LookupSlot(names[i]);
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return slots[a] < slots[b]; });
    return order;
}

std::vector<std::uint8_t> ComputeLookupData(const std::vector<std::string>& tocNames, bool skipLost)
{
    if (!skipLost)
        CheckLookupNames(tocNames);
    if (tocNames.size() > 65535)
        lgp::Fail("The game's lookup table can index at most 65,535 files; the archive would hold "
                  + std::to_string(tocNames.size()) + ".");
    std::vector<std::uint8_t> data(LookupDataSize, 0);
    int previous = -1;
    for (std::size_t i = 0; i < tocNames.size(); ++i)
    {
        const int slot = LookupSlot(tocNames[i]);
        if (slot < 0)
            continue;
        const std::size_t entry = std::size_t(slot) * 4;
        const auto entries = lgp::GetLE<std::uint16_t>(data, entry + 2);
        if (slot != previous)
        {
            if (entries != 0)
                lgp::Fail("The names of one lookup slot are not together in the TOC (\"" + tocNames[i] + "\").");
            lgp::PutLE(data, entry, static_cast<std::uint16_t>(i + 1));
            previous = slot;
        }
        lgp::PutLE(data, entry + 2, static_cast<std::uint16_t>(entries + 1));
    }
    return data; // the last two bytes: no conflicts
}

ConflictTableData ComputeConflictTable(const std::vector<std::string>& tocNames,
                                       const std::vector<std::string>& folders)
{
    if (tocNames.size() > 65535)
        lgp::Fail("The game's lookup table can index at most 65,535 files; the archive would hold "
                  + std::to_string(tocNames.size()) + ".");
    ConflictTableData result;
    result.Fields.assign(tocNames.size(), 0);
    std::unordered_map<std::string, std::uint16_t> numbers;
    std::vector<std::vector<std::size_t>> records;
    for (std::size_t i = 0; i < tocNames.size(); ++i)
    {
        if (i >= folders.size() || folders[i].empty())
            continue;
        if (folders[i].size() > ConflictFolderSize)
            lgp::Fail("The folder name \"" + folders[i]
                      + "\" is too long for the conflict table (at most 128 "
                        "characters).");
        const auto [it, added] =
            numbers.emplace(UpperAscii(tocNames[i]), static_cast<std::uint16_t>(records.size() + 1));
        if (added)
            records.emplace_back();
        records[it->second - 1u].push_back(i);
        result.Fields[i] = it->second;
    }
    std::vector<std::uint8_t>& out = result.Bytes;
    const auto put16 = [&](std::size_t value) {
        out.push_back(static_cast<std::uint8_t>(value));
        out.push_back(static_cast<std::uint8_t>(value >> 8));
    };
    put16(records.size());
    for (const auto& list : records)
    {
        put16(list.size());
        for (const std::size_t i : list)
        {
            const std::string& folder = folders[i];
            out.insert(out.end(), folder.begin(), folder.end());
            out.insert(out.end(), ConflictFolderSize - folder.size(), 0);
            put16(i);
        }
    }
    return result;
}

const ConflictRecord* LookupTable::FindRecord(std::uint16_t conflict, std::int32_t tocIndex) const
{
    if (!ConflictsRead || conflict == 0 || conflict > Conflicts.size())
        return nullptr;
    for (const ConflictRecord& record : Conflicts[conflict - 1u])
    {
        if (record.TocIndex == tocIndex)
            return &record;
    }
    return nullptr;
}

std::optional<LookupTable> ReadLookupTable(std::span<const std::uint8_t> validation)
{
    if (validation.size() < LookupTableSize)
        return std::nullopt;
    LookupTable table;
    for (int s = 0; s < LookupSlotCount; ++s)
    {
        const auto at = std::size_t(s) * 4;
        table.Slots[std::size_t(s)] = {lgp::GetLE<std::uint16_t>(validation, at),
                                       lgp::GetLE<std::uint16_t>(validation, at + 2)};
    }
    // The conflict table: every count is checked against what is left.
    const std::size_t size = validation.size();
    std::size_t at = LookupTableSize;
    if (size - at < 2)
        return table;
    const auto conflicts = lgp::GetLE<std::uint16_t>(validation, at);
    at += 2;
    std::vector<std::vector<ConflictRecord>> lists;
    constexpr std::size_t RecordSize = ConflictFolderSize + 2;
    for (std::uint16_t c = 0; c < conflicts; ++c)
    {
        if (size - at < 2)
            return table;
        const auto records = lgp::GetLE<std::uint16_t>(validation, at);
        at += 2;
        if ((size - at) / RecordSize < records)
            return table;
        std::vector<ConflictRecord> list;
        list.reserve(records);
        for (std::uint16_t r = 0; r < records; ++r)
        {
            const auto* p = reinterpret_cast<const char*>(validation.data() + at);
            const auto* end = static_cast<const char*>(std::memchr(p, 0, ConflictFolderSize));
            list.push_back({std::string(p, end ? end : p + ConflictFolderSize),
                            lgp::GetLE<std::uint16_t>(validation, at + ConflictFolderSize)});
            at += RecordSize;
        }
        lists.push_back(std::move(list));
    }
    table.ConflictsRead = true;
    table.Conflicts = std::move(lists);
    table.End = at;
    return table;
}

ArchiveLookupView ReadArchiveLookupView(const std::string& path)
{
    TFileStream file(path, FileMode::OpenRead);
    return ReadArchiveLookupView(file.Source());
}

ArchiveLookupView ReadArchiveLookupView(const TLGPFile& archive)
{
    if (const TByteSource* source = archive.Source())
        return ReadArchiveLookupView(*source);
    return ReadArchiveLookupView(archive.FileName());
}

ArchiveLookupView ReadArchiveLookupView(const TByteSource& source)
{
    const std::int64_t size = source.Size();
    const ArchiveHead head = ReadArchiveHead(source, size);
    const std::int64_t count = std::max<std::int32_t>(head.FileCount, 0);
    ArchiveLookupView view;
    view.Names.reserve(static_cast<std::size_t>(count));
    view.Conflicts.reserve(static_cast<std::size_t>(count));
    std::int64_t smallest = size;
    for (std::int64_t i = 0; i < count; ++i)
    {
        const TOCEntry entry = DecodeTocEntry(head.Toc, std::uint64_t(i * TocEntrySize));
        view.Names.push_back(entry.NameString());
        view.Conflicts.push_back(entry.Reserved);
        smallest = std::min<std::int64_t>(smallest, entry.Offset);
    }
    const std::int64_t tocEnd = HeaderSize + count * TocEntrySize;
    if (smallest > tocEnd)
    {
        view.Validation.resize(static_cast<std::size_t>(smallest - tocEnd));
        source.ReadAt(tocEnd, view.Validation.data(), view.Validation.size());
    }
    return view;
}

namespace
{
    std::string Entry(const ArchiveLookupView& archive, std::size_t i)
    {
        return "TOC entry " + std::to_string(i + 1) + " (\"" + archive.Names[i] + "\")";
    }

    void CheckConflictRecords(const ArchiveLookupView& archive, const LookupTable& table, LookupCheck& check)
    {
        const auto fault = [&](const std::string& text) {
            ++check.Faults;
            check.Lines.push_back("Fault: " + text);
        };
        const std::size_t n = archive.Names.size();
        const bool named =
            std::any_of(archive.Conflicts.begin(), archive.Conflicts.end(), [](std::uint16_t c) { return c != 0; });
        if (!table.ConflictsRead)
        {
            // A count that the bytes can't hold; with no count at all only
            // TOC fields that name a conflict are at fault.
            if (archive.Validation.size() >= LookupDataSize)
                fault("the conflict table runs past the end of the validation data ("
                      + std::to_string(archive.Validation.size()) + " bytes).");
            else if (named)
                fault("TOC entries name conflicts, but the validation data holds no conflict table.");
            return;
        }
        const std::size_t conflicts = table.Conflicts.size();
        std::vector<std::vector<std::size_t>> naming(conflicts);
        for (std::size_t i = 0; i < n && i < archive.Conflicts.size(); ++i)
        {
            const std::uint16_t c = archive.Conflicts[i];
            if (c == 0)
                continue;
            if (c > conflicts)
            {
                fault(Entry(archive, i) + " names conflict " + std::to_string(c) + ", but the conflict table holds "
                      + std::to_string(conflicts) + ".");
                continue;
            }
            naming[c - 1u].push_back(i);
            if (!table.FindRecord(c, static_cast<std::int32_t>(i)))
                fault(Entry(archive, i) + " names conflict " + std::to_string(c) + ", which has no record for it.");
        }
        for (std::size_t c = 0; c < conflicts; ++c)
        {
            const std::vector<ConflictRecord>& records = table.Conflicts[c];
            const std::string number = std::to_string(c + 1);
            if (naming[c].empty())
            {
                fault("conflict " + number + " (" + std::to_string(records.size())
                      + " records) is named by no TOC entry.");
                continue;
            }
            const std::string& name = archive.Names[naming[c].front()];
            for (std::size_t r = 0; r < records.size(); ++r)
            {
                const ConflictRecord& record = records[r];
                const std::string which =
                    "conflict " + number + ", record " + std::to_string(r + 1) + " (folder \"" + record.Folder + "\")";
                if (record.TocIndex < 0 || std::size_t(record.TocIndex) >= n)
                    fault(which + " points at TOC entry " + std::to_string(record.TocIndex + 1) + ", past the TOC's "
                          + std::to_string(n) + " entries.");
                else if (!SameNameAscii(archive.Names[std::size_t(record.TocIndex)], name))
                    fault(which + " points at " + Entry(archive, std::size_t(record.TocIndex))
                          + ", which is no copy of \"" + name + "\".");
            }
            if (records.size() != naming[c].size())
                fault("conflict " + number + " holds " + std::to_string(records.size()) + " records for the "
                      + std::to_string(naming[c].size()) + " TOC entries that name it.");
        }
    }
} // namespace

LookupCheck CheckLookup(const ArchiveLookupView& archive)
{
    LookupCheck check;
    const auto n = static_cast<std::int32_t>(archive.Names.size());
    check.Names = n;
    const std::optional<LookupTable> table = ReadLookupTable(archive.Validation);
    const auto lost = [&](std::int32_t i, const std::string& reason) {
        ++check.Lost;
        check.Lines.push_back("Lost: \"" + archive.Names[std::size_t(i)] + "\" (TOC entry " + std::to_string(i + 1)
                              + "): " + reason);
    };
    if (!table)
    {
        const std::string reason =
            "the validation data (" + std::to_string(archive.Validation.size()) + " bytes) holds no lookup table";
        for (std::int32_t i = 0; i < n; ++i)
            lost(i, reason);
    }
    else
    {
        // TOC indexes of each name (without case), ascending: the game finds
        // the first entry of the name inside the slot's run.
        std::unordered_map<NameKey, std::vector<std::int32_t>, NameKeyHash> byName;
        std::vector<NameKey> keys(static_cast<std::size_t>(n));
        for (std::int32_t i = 0; i < n; ++i)
        {
            const std::string& name = archive.Names[std::size_t(i)];
            keys[std::size_t(i)] = MakeNameKey(name.data(), std::min(name.size(), NameFieldSize));
            byName[keys[std::size_t(i)]].push_back(i);
        }
        for (std::int32_t i = 0; i < n; ++i)
        {
            const int slot = LookupSlot(archive.Names[std::size_t(i)]);
            if (slot < 0)
            {
                lost(i, "the game can't look up this name");
                continue;
            }
            const LookupTable::Slot s = table->Slots[std::size_t(slot)];
            if (s.Count == 0)
            {
                lost(i, "its slot (" + std::to_string(slot) + ") is empty");
                continue;
            }
            const std::int32_t begin = std::int32_t(s.First) - 1;
            const std::int32_t end = begin + s.Count;
            if (s.First == 0 || end > n)
            {
                lost(i, SlotRun(slot, s) + ", outside the TOC's " + std::to_string(n) + " entries");
                continue;
            }
            const std::vector<std::int32_t>& same = byName[keys[std::size_t(i)]];
            const auto found = std::lower_bound(same.begin(), same.end(), begin);
            if (found == same.end() || *found >= end)
            {
                lost(i, SlotRun(slot, s) + ", which don't hold it");
                continue;
            }
            const std::int32_t j = *found;
            const std::uint16_t conflict = archive.Conflicts[std::size_t(j)];
            if (conflict == 0)
            {
                if (j != i)
                    lost(i, "TOC entry " + std::to_string(j + 1) + " of the same name is found instead");
                continue;
            }
            const ConflictRecord* record = table->FindRecord(conflict, i);
            if (!record)
            {
                lost(i, !table->ConflictsRead
                            ? "the name leads to conflict " + std::to_string(conflict)
                                  + ", but the conflict table can't be read"
                            : "conflict " + std::to_string(conflict) + " of the conflict table has no record for it");
                continue;
            }
            ++check.ThroughConflicts;
            check.Lines.push_back("Through the conflict table: \"" + archive.Names[std::size_t(i)] + "\" (TOC entry "
                                  + std::to_string(i + 1) + ") in folder \"" + record->Folder + "\"");
        }
    }
    if (table)
        CheckConflictRecords(archive, *table, check);
    if (check.Lost == 0)
        check.Lines.push_back("All " + std::to_string(n) + " names are found through the lookup table"
                              + (check.ThroughConflicts > 0
                                     ? " (" + std::to_string(check.ThroughConflicts) + " through the conflict table)."
                                     : std::string(".")));
    else
        check.Lines.push_back(std::to_string(check.Lost) + " of " + std::to_string(n) + " names are lost to the game.");
    if (check.Faults > 0)
        check.Lines.push_back(std::to_string(check.Faults) + (check.Faults == 1 ? " fault" : " faults")
                              + " in the conflict table.");
    return check;
}

// ---------------------------------------------------------------------------
// Repeated names

std::vector<std::string> EntryFolders(const ArchiveLookupView& archive)
{
    std::vector<std::string> folders(archive.Names.size());
    const std::optional<LookupTable> table = ReadLookupTable(archive.Validation);
    if (!table || !table->ConflictsRead)
        return folders;
    for (std::size_t i = 0; i < folders.size() && i < archive.Conflicts.size(); ++i)
    {
        if (const ConflictRecord* record = table->FindRecord(archive.Conflicts[i], static_cast<std::int32_t>(i)))
            folders[i] = record->Folder;
    }
    return folders;
}

ArchiveLookupView LookupViewOf(TRawLGPFile& archive)
{
    ArchiveLookupView view;
    const std::int32_t count = std::max<std::int32_t>(archive.FileCount(), 0);
    std::int64_t smallest = archive.File().Size();
    for (std::int32_t i = 0; i < count; ++i)
    {
        const TOCEntry entry = archive.GetTableEntry(i);
        view.Names.push_back(entry.NameString());
        view.Conflicts.push_back(entry.Reserved);
        smallest = std::min<std::int64_t>(smallest, entry.Offset);
    }
    const std::int64_t tocEnd = HeaderSize + std::int64_t(count) * TocEntrySize;
    if (smallest > tocEnd)
    {
        view.Validation.resize(static_cast<std::size_t>(smallest - tocEnd));
        archive.File().Source().ReadAt(tocEnd, view.Validation.data(), view.Validation.size());
    }
    return view;
}

TEntryNameIndex::TEntryNameIndex(const ArchiveLookupView& archive)
    : mArchive(archive)
    , mFolders(EntryFolders(archive))
{
    for (std::size_t i = 0; i < archive.Names.size(); ++i)
    {
        const std::string& name = archive.Names[i];
        const std::string& folder = mFolders[i];
        mByName[UpperAscii(name)].push_back(static_cast<std::int32_t>(i));
        if (!folder.empty())
            mByFolder[UpperAscii(folder + "/" + name)].push_back(static_cast<std::int32_t>(i));
    }
}

std::span<const std::int32_t> TEntryNameIndex::Matches(const std::string& spec, bool& byFolder) const
{
    const std::string key = UpperAscii(spec);
    // FOLDER/NAME first: it names one copy exactly.
    if (const auto found = mByFolder.find(key); found != mByFolder.end())
    {
        byFolder = true;
        return found->second;
    }
    byFolder = false;
    if (const auto found = mByName.find(key); found != mByName.end())
        return found->second;
    return {};
}

bool TEntryNameIndex::Names(const std::string& spec) const
{
    bool byFolder = false;
    return !Matches(spec, byFolder).empty();
}

std::int32_t TEntryNameIndex::Resolve(const std::string& spec, EntryUse use) const
{
    bool byFolder = false;
    const std::span<const std::int32_t> found = Matches(spec, byFolder);
    if (found.empty())
        lgp::Fail("The archive holds no entry named \"" + spec + "\".");
    if (found.size() == 1 || (use == EntryUse::Read && !byFolder))
        return found.front();
    std::vector<std::string> forms;
    for (const std::int32_t i : found)
    {
        const std::string& name = mArchive.Names[std::size_t(i)];
        const std::string& folder = mFolders[std::size_t(i)];
        forms.push_back(folder.empty()
                            ? "\"" + name + "\" (TOC entry " + std::to_string(i + 1) + ", no folder)"
                            : "\"" + folder + "/" + name + "\""
                                  + (!byFolder ? std::string() : " (TOC entry " + std::to_string(i + 1) + ")"));
    }
    std::string list;
    for (std::size_t k = 0; k < forms.size(); ++k)
        list += (k > 0 ? ", " : "") + forms[k];
    if (byFolder)
        lgp::Fail("The archive's conflict table gives " + std::to_string(found.size()) + " entries the name \"" + spec
                  + "\", so it names none of them: " + list + ".");
    lgp::Fail("The archive holds " + std::to_string(found.size()) + " entries named \"" + spec
              + "\"; name one by its folder: " + list + ".");
}

std::int32_t ResolveEntryName(const ArchiveLookupView& archive, const std::string& spec, EntryUse use)
{
    return TEntryNameIndex(archive).Resolve(spec, use);
}

// ---------------------------------------------------------------------------
// Extract All

namespace
{
    char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

    // Matches the set at pattern[p] ('[' already seen) against c; returns the
    // position after ']' and whether it matched, or npos for a set without ']'.
    std::size_t MatchSet(std::string_view pattern, std::size_t p, char c, bool& matched)
    {
        const bool negate = p < pattern.size() && (pattern[p] == '!' || pattern[p] == '^');
        if (negate)
            ++p;
        bool hit = false;
        bool first = true;
        while (p < pattern.size() && (first || pattern[p] != ']'))
        {
            first = false;
            char low = Lower(pattern[p]);
            char high = low;
            if (p + 2 < pattern.size() && pattern[p + 1] == '-' && pattern[p + 2] != ']')
            {
                high = Lower(pattern[p + 2]);
                p += 2;
            }
            if (low <= Lower(c) && Lower(c) <= high)
                hit = true;
            ++p;
        }
        if (p >= pattern.size())
            return std::string_view::npos;
        matched = hit != negate;
        return p + 1;
    }

    std::string NumberedName(const std::string& name, int number)
    {
        const auto dot = name.find_last_of('.');
        const std::string suffix = " (" + std::to_string(number) + ")";
        if (dot == std::string::npos || dot == 0)
            return name + suffix;
        return name.substr(0, dot) + suffix + name.substr(dot);
    }
} // namespace

bool MatchesNamePattern(std::string_view name, std::string_view pattern)
{
    // Iterative glob with one backtrack point for the last '*'.
    std::size_t n = 0;
    std::size_t p = 0;
    std::size_t starP = std::string_view::npos;
    std::size_t starN = 0;
    while (n < name.size())
    {
        if (p < pattern.size() && pattern[p] == '*')
        {
            starP = ++p;
            starN = n;
            continue;
        }
        if (p < pattern.size())
        {
            bool matched = false;
            std::size_t next = p + 1;
            if (pattern[p] == '?')
                matched = true;
            else if (pattern[p] == '[')
            {
                next = MatchSet(pattern, p + 1, name[n], matched);
                if (next == std::string_view::npos) // no closing ']': a plain '['
                {
                    matched = name[n] == '[';
                    next = p + 1;
                }
            }
            else
                matched = Lower(pattern[p]) == Lower(name[n]);
            if (matched)
            {
                p = next;
                ++n;
                continue;
            }
        }
        if (starP == std::string_view::npos)
            return false;
        p = starP;
        n = ++starN;
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

namespace
{
    // Whether two entries hold the same bytes; an entry that can't be read
    // holds none.
    bool SameData(const TLGPFile& archive, std::int32_t a, std::int32_t b)
    {
        const LGPEntry x = archive.GetEntry(a);
        const LGPEntry y = archive.GetEntry(b);
        if (x.Length >= 0 && y.Length >= 0 && x.Length != y.Length)
            return false;
        try
        {
            TMemoryStream first;
            TMemoryStream second;
            archive.ReadEntryData(a, first);
            archive.ReadEntryData(b, second);
            return std::ranges::equal(first.Bytes(), second.Bytes());
        }
        catch (const ELGPError&)
        {
            return false;
        }
    }
} // namespace

std::vector<ExtractTarget> PlanExtractAll(const TLGPFile& archive, const ExtractAllOptions& options)
{
    const std::int32_t count = std::max<std::int32_t>(archive.FileCount(), 0);
    std::vector<ExtractTarget> plan;
    std::unordered_map<std::string, int> copies; // upper-cased name -> entries of the whole archive
    for (std::int32_t i = 0; i < count; ++i)
    {
        const LGPEntry entry = archive.GetEntry(i);
        ++copies[UpperAscii(entry.Name)];
        bool wanted = options.Only.empty();
        for (const auto& pattern : options.Only)
            wanted = wanted || MatchesNamePattern(entry.Name, pattern);
        if (!wanted)
            continue;
        // Every name is checked before anything is written, so a hostile name
        // can't leave half an extraction behind.
        CheckPlainFileName(entry.Name);
        plan.push_back({i, entry.Name});
    }

    // The conflict table's folders, read from the archive as it is on disk
    // now, for names that repeat.
    std::vector<std::string> folders;
    if (std::any_of(copies.begin(), copies.end(), [](const auto& c) { return c.second > 1; }))
    {
        try
        {
            const ArchiveLookupView view = ReadArchiveLookupView(archive.FileName());
            if (static_cast<std::int32_t>(view.Names.size()) == count)
                folders = EntryFolders(view);
        }
        catch (const ELGPError&)
        {
            folders.clear(); // no table to read: the repeated names stay without folders
        }
    }
    const auto folderOf = [&](const ExtractTarget& t) -> std::string {
        if (folders.empty() || copies[UpperAscii(t.Path)] < 2)
            return {};
        const std::string& folder = folders[std::size_t(t.Index)];
        return IsPlainFileName(folder) ? folder : std::string();
    };

    // Paths compare without case, as the archive's names do. Files at the
    // top first, so that no folder takes a file's name.
    std::unordered_map<std::string, std::size_t> taken; // upper-cased path -> its first plan entry
    std::vector<std::size_t> homeless;
    for (std::size_t k = 0; k < plan.size(); ++k)
    {
        if (folderOf(plan[k]).empty() && !taken.emplace(UpperAscii(plan[k].Path), k).second)
            homeless.push_back(k);
    }
    std::unordered_map<std::string, std::string> spelling; // upper-cased folder -> its first spelling
    for (std::size_t k = 0; k < plan.size(); ++k)
    {
        const std::string folder = folderOf(plan[k]);
        if (folder.empty())
            continue;
        const std::string key = UpperAscii(folder);
        const std::string& spelled = spelling.emplace(key, folder).first->second;
        if (taken.contains(key) || !taken.emplace(UpperAscii(spelled + "/" + plan[k].Path), k).second)
        {
            homeless.push_back(k);
            continue;
        }
        plan[k].Path = spelled + "/" + plan[k].Path;
    }
    std::sort(homeless.begin(), homeless.end());

    std::vector<std::string> shared;
    std::unordered_set<std::string> sharedKeys;
    for (const std::size_t k : homeless)
    {
        ExtractTarget& target = plan[k];
        const std::string name = target.Path;
        const std::string key = UpperAscii(name);
        if (!spelling.contains(key) && taken.emplace(key, k).second)
            continue;
        // An entry holding the same bytes as the file of its name shares it.
        const auto owner = taken.find(key);
        if (owner != taken.end() && plan[owner->second].Path.find('/') == std::string::npos
            && SameData(archive, plan[owner->second].Index, target.Index))
        {
            target.Path = plan[owner->second].Path;
            continue;
        }
        if (options.Numbered)
        {
            for (int number = 2;; ++number)
            {
                const std::string numbered = NumberedName(name, number);
                const std::string numberedKey = UpperAscii(numbered);
                if (!spelling.contains(numberedKey) && taken.emplace(numberedKey, k).second)
                {
                    target.Path = numbered;
                    break;
                }
            }
            continue;
        }
        if (sharedKeys.insert(key).second)
            shared.push_back(name);
    }
    if (!shared.empty())
        throw ESharedNamesError("Several entries of the archive share the names " + QuotedList(shared)
                                + ", and its conflict table gives them no folders of their own; extracting them "
                                  "all would write them to one file. Nothing was written.");
    return plan;
}
