// Copies of repeated names in patches.
//
// An archive may hold one name several times (the game's magic archive holds
// one per folder) and tells the copies apart through its conflict table
// (lgplookup.h). A patch says which copy a difference is for the same way, in
// its own TOC and validation data, so that a patch without such differences
// stays exactly what it always was (every 16-bit field 0, the template
// "LGP.95" as its validation data). All integers little-endian:
//
//   TOC 16-bit field   0: the difference is for the name, which the patched
//                      archive must hold once; otherwise the 1-based number of
//                      the name's conflict in the patch's conflict table
//   validation data    the template's first 3,600 bytes (zeros where it is
//                      shorter), then the conflict table as the game reads it:
//                      uint16 conflict count; per conflict (one per name, in the
//                      order the names first occur in the patch's TOC) a uint16
//                      record count, then per difference of that name a 128-byte
//                      folder field (NUL-padded) and the uint16 0-based TOC index
//                      of the patch entry
//   folder field       the key of the copy in the archive the patch was made
//                      from (ReadArchiveCopies): the copy's folder exactly as its
//                      conflict table stores it, or "/K" for the K-th copy of
//                      the name that has no folder of its own ("/" is in no
//                      folder name)
//
// This file is the one place that writes (LayPatchCopies) and reads
// (ReadPatchCopyKeys) that layout.

#include "lgppatch_copies.h"

#include "core/lebytes.h"
#include "errors/errors.h"
#include "lgppatch.h"

#include <map>
#include <unordered_map>

ArchiveCopies ReadArchiveCopies(const ArchiveLookupView& archive)
{
    const std::size_t n = archive.Names.size();
    ArchiveCopies copies;
    copies.Keys.resize(n);
    copies.Repeated.resize(n);
    copies.Labels.resize(n);
    copies.Places.resize(n);

    std::unordered_map<std::string, std::vector<std::size_t>> byName;
    for (std::size_t i = 0; i < n; ++i)
        byName[UpperAscii(archive.Names[i])].push_back(i);
    const std::optional<LookupTable> table = ReadLookupTable(archive.Validation);

    for (const auto& [upper, indexes] : byName)
    {
        // A folder names one copy only when no other copy of the name has it.
        std::vector<const std::string*> folders(indexes.size(), nullptr);
        std::map<std::string, int> uses;
        for (std::size_t k = 0; k < indexes.size(); ++k)
        {
            const std::size_t i = indexes[k];
            const ConflictRecord* record = table && i < archive.Conflicts.size()
                                               ? table->FindRecord(archive.Conflicts[i], static_cast<std::int32_t>(i))
                                               : nullptr;
            if (record && !record->Folder.empty() && record->Folder.front() != '/')
            {
                folders[k] = &record->Folder;
                ++uses[UpperAscii(record->Folder)];
            }
        }
        const bool repeated = indexes.size() > 1;
        int unfoldered = 0;
        for (std::size_t k = 0; k < indexes.size(); ++k)
        {
            const std::size_t i = indexes[k];
            const std::string& name = archive.Names[i];
            copies.Repeated[i] = repeated;
            copies.Places[i] = static_cast<std::int32_t>(k + 1);
            if (folders[k] && uses[UpperAscii(*folders[k])] == 1)
            {
                copies.Keys[i] = *folders[k];
                copies.Labels[i] = repeated ? *folders[k] + "/" + name : name;
                continue;
            }
            copies.Keys[i] = "/" + std::to_string(++unfoldered);
            copies.Labels[i] = repeated ? name + " (copy " + std::to_string(k + 1) + ")" : name;
        }
    }
    return copies;
}

bool SameCopyKey(const std::string& a, const std::string& b) { return SameNameAscii(a, b); }

std::vector<std::optional<std::string>> ReadPatchCopyKeys(const ArchiveLookupView& patch)
{
    std::vector<std::optional<std::string>> keys(patch.Names.size());
    std::optional<LookupTable> table;
    bool tableRead = false;
    for (std::size_t i = 0; i < patch.Names.size(); ++i)
    {
        const std::uint16_t conflict = i < patch.Conflicts.size() ? patch.Conflicts[i] : 0;
        if (conflict == 0)
            continue;
        if (!tableRead)
        {
            table = ReadLookupTable(patch.Validation);
            tableRead = true;
        }
        const ConflictRecord* record = table ? table->FindRecord(conflict, static_cast<std::int32_t>(i)) : nullptr;
        if (!record)
            lgp::Fail("The patch entry \"" + patch.Names[i] + "\" (number " + std::to_string(i + 1)
                      + ") is marked as the change of one copy of its name, but the patch does not say which; the "
                        "patch is damaged. Nothing was changed.");
        keys[i] = record->Folder;
    }
    return keys;
}

PatchCopyLayout LayPatchCopies(const std::vector<std::uint8_t>& templateBytes, const std::vector<std::string>& tocNames,
                               const std::vector<std::optional<std::string>>& keys)
{
    PatchCopyLayout layout;
    layout.TocFields.assign(tocNames.size(), 0);
    layout.Validation.assign(LookupTableSize, 0);
    std::copy_n(templateBytes.begin(), std::min(templateBytes.size(), LookupTableSize), layout.Validation.begin());

    // One conflict per name, in the order the names first occur.
    std::vector<std::vector<std::size_t>> conflicts;
    std::unordered_map<std::string, std::size_t> numbers;
    for (std::size_t i = 0; i < tocNames.size(); ++i)
    {
        if (!keys[i])
            continue;
        // The game's tables index with 16 bits.
        if (i > 65535 || conflicts.size() >= 65535)
            lgp::Fail("A patch can't mark more than 65,535 entries as changes of single copies of a name.");
        const auto [at, added] = numbers.try_emplace(UpperAscii(tocNames[i]), conflicts.size());
        if (added)
            conflicts.emplace_back();
        conflicts[at->second].push_back(i);
        layout.TocFields[i] = static_cast<std::uint16_t>(at->second + 1);
    }
    lgp::AppendLE(layout.Validation, static_cast<std::uint16_t>(conflicts.size()));
    for (const auto& records : conflicts)
    {
        lgp::AppendLE(layout.Validation, static_cast<std::uint16_t>(records.size()));
        for (const std::size_t i : records)
        {
            std::vector<std::uint8_t> folder(ConflictFolderSize, 0);
            const std::string& key = *keys[i];
            std::copy_n(key.begin(), std::min(key.size(), ConflictFolderSize), folder.begin());
            layout.Validation.insert(layout.Validation.end(), folder.begin(), folder.end());
            lgp::AppendLE(layout.Validation, static_cast<std::uint16_t>(i));
        }
    }
    return layout;
}
