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

std::vector<std::uint8_t> ComputeLookupData(const std::vector<std::string>& tocNames)
{
    CheckLookupNames(tocNames);
    if (tocNames.size() > 65535)
        lgp::Fail("The game's lookup table can index at most 65,535 files; the archive would hold "
                  + std::to_string(tocNames.size()) + ".");
    std::vector<std::uint8_t> data(LookupDataSize, 0);
    int previous = -1;
    for (std::size_t i = 0; i < tocNames.size(); ++i)
    {
        const int slot = LookupSlot(tocNames[i]);
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
    return table;
}

ArchiveLookupView ReadArchiveLookupView(const std::string& path)
{
    TFileStream file(path, FileMode::OpenRead);
    const std::int64_t size = file.Size();
    const ArchiveHead head = ReadArchiveHead(file.Source(), size);
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
        file.Source().ReadAt(tocEnd, view.Validation.data(), view.Validation.size());
    }
    return view;
}

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
    if (check.Lost == 0)
        check.Lines.push_back("All " + std::to_string(n) + " names are found through the lookup table"
                              + (check.ThroughConflicts > 0
                                     ? " (" + std::to_string(check.ThroughConflicts) + " through the conflict table)."
                                     : std::string(".")));
    else
        check.Lines.push_back(std::to_string(check.Lost) + " of " + std::to_string(n) + " names are lost to the game.");
    return check;
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

std::vector<ExtractTarget> PlanExtractAll(const TLGPFile& archive, const ExtractAllOptions& options)
{
    const std::int32_t count = std::max<std::int32_t>(archive.FileCount(), 0);
    std::vector<ExtractTarget> plan;
    for (std::int32_t i = 0; i < count; ++i)
    {
        const LGPEntry entry = archive.GetEntry(i);
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

    // Paths compare without case, as the archive's names do.
    std::unordered_set<std::string> taken;
    std::vector<std::size_t> repeats;
    for (std::size_t k = 0; k < plan.size(); ++k)
    {
        if (!taken.insert(UpperAscii(plan[k].Path)).second)
            repeats.push_back(k);
    }
    if (repeats.empty())
        return plan;

    // The conflict table, read from the archive as it is on disk now.
    std::optional<LookupTable> table;
    ArchiveLookupView view;
    try
    {
        view = ReadArchiveLookupView(archive.FileName());
        if (static_cast<std::int32_t>(view.Names.size()) == count)
            table = ReadLookupTable(view.Validation);
    }
    catch (const ELGPError&)
    {
        table.reset(); // no table to read: the repeated names stay without folders
    }

    std::vector<std::string> shared;
    std::unordered_set<std::string> sharedKeys;
    std::unordered_set<std::string> folders;
    for (const std::size_t k : repeats)
    {
        ExtractTarget& target = plan[k];
        const std::string name = target.Path;
        const ConflictRecord* record =
            table ? table->FindRecord(view.Conflicts[std::size_t(target.Index)], target.Index) : nullptr;
        // A folder must be a plain name that no file beside it takes.
        if (record && IsPlainFileName(record->Folder) && !taken.contains(UpperAscii(record->Folder))
            && taken.insert(UpperAscii(record->Folder + "/" + name)).second)
        {
            folders.insert(UpperAscii(record->Folder));
            target.Path = record->Folder + "/" + name;
            continue;
        }
        if (options.Numbered)
        {
            for (int number = 2;; ++number)
            {
                const std::string numbered = NumberedName(name, number);
                const std::string key = UpperAscii(numbered);
                if (!folders.contains(key) && taken.insert(key).second)
                {
                    target.Path = numbered;
                    break;
                }
            }
            continue;
        }
        if (sharedKeys.insert(UpperAscii(name)).second)
            shared.push_back(name);
    }
    if (!shared.empty())
        throw ESharedNamesError("Several entries of the archive share the names " + QuotedList(shared)
                                + ", and its conflict table gives them no folders of their own; extracting them "
                                  "all would write them to one file. Nothing was written.");
    return plan;
}
