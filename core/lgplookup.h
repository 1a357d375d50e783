#pragma once
// The lookup table through which the game finds an archive's names, the
// conflict table that may follow it, and Extract All, which needs both.
//
// The game reads them from the validation data (little-endian):
//
//   0     lookup table   30 x 30 slots of uint16 first (1-based TOC index of the
//                        slot's first entry) and uint16 count; empty slots 0, 0
//   3600  conflicts      uint16 number of conflicts (0 in an archive built from
//                        one folder); per conflict a uint16 record count, then
//                        that many records of a 128-byte folder name (up to
//                        its first NUL) and a uint16 TOC index (0-based)
//
// A name's slot is v(c0) x 30 + v(c1) + 1 for its first two characters, lower-
// cased: a letter gives 0 to 25 from 'a', a digit 0 to 9 from '0' (digits share
// slots with a to j), '_' gives 10 and '-' 11 (as k and l), and '.' gives -1
// (second character only: "a.p" lands in slot 0). The game compares names only
// inside its slot's run of TOC entries, so every slot's entries must be
// contiguous in the TOC. Names repeated in one archive are told apart by folder:
// a TOC entry whose 16-bit field is not zero holds there the 1-based number of
// its conflict.

#include "lgpstruct.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

constexpr int LookupSlotCount = 900;
constexpr std::size_t LookupTableSize = 3600;
constexpr std::size_t LookupDataSize = 3602; // the table and a conflict count of 0
constexpr std::size_t ConflictFolderSize = 128;

// The slot (0 to 899) the game looks name up in, or -1 when it can't look it
// up (fewer than two characters, '.' first, or another character in the first
// two places).
int LookupSlot(std::string_view name);

// Refuses names the game can't look up, naming them all:
// "The game can't look up these names, so it would never find them in the archive: ..."
void CheckLookupNames(const std::vector<std::string>& names);

// Positions into names in the order an archive with a computed lookup table
// stores them: by slot, and inside a slot in the order given.
std::vector<std::size_t> LookupOrder(const std::vector<std::string>& names);

// The 3,602 bytes of validation data for a TOC holding these names in this
// order. Refuses names the game can't look up (unless skipLost: they then
// have no slot), more than 65,535 names, and a slot whose names are not
// contiguous.
std::vector<std::uint8_t> ComputeLookupData(const std::vector<std::string>& tocNames, bool skipLost = false);

// The conflict table (from its count on) for a TOC holding these names in this
// order, where a non-empty folders[i] gives entry i a record of that folder
// and its TOC index (0-based); conflicts are numbered by their names' first
// entries with a record, names compared without case. Fields: each entry's
// 16-bit TOC field (its conflict's number when it has a record, else 0).
// Refuses a folder of more than 128 characters and more than 65,535 names.
struct ConflictTableData
{
    std::vector<std::uint8_t> Bytes;
    std::vector<std::uint16_t> Fields;
};
ConflictTableData ComputeConflictTable(const std::vector<std::string>& tocNames,
                                       const std::vector<std::string>& folders);

struct ConflictRecord
{
    std::string Folder;
    std::int32_t TocIndex = 0; // 0-based
};

struct LookupTable
{
    struct Slot
    {
        std::uint16_t First = 0; // 1-based TOC index, 0 when empty
        std::uint16_t Count = 0;
    };
    std::array<Slot, LookupSlotCount> Slots{};
    // Whether the conflict table lies whole inside the data. Bytes after it
    // are allowed (and ignored).
    bool ConflictsRead = false;
    std::vector<std::vector<ConflictRecord>> Conflicts;
    std::size_t End = 0; // where the conflict table ends, when read

    // The record of TOC entry tocIndex in the 1-based conflict, or nullptr when
    // the table can't be read or has none.
    const ConflictRecord* FindRecord(std::uint16_t conflict, std::int32_t tocIndex) const;
};

// The lookup and conflict tables in validation data; none when it holds fewer
// than 3,600 bytes. Every count is checked against the bytes present.
std::optional<LookupTable> ReadLookupTable(std::span<const std::uint8_t> validation);

// An archive's TOC as the lookup sees it: names, 16-bit fields and the
// validation data (the bytes from the TOC's end to the smallest TOC Offset).
struct ArchiveLookupView
{
    std::vector<std::string> Names;
    std::vector<std::uint16_t> Conflicts;
    std::vector<std::uint8_t> Validation;
};
// "Cannot open file %s", "Stream read error" (file ends inside header or TOC).
ArchiveLookupView ReadArchiveLookupView(const std::string& path);
// The same from bytes held by source, or from archive's own bytes (its source,
// else its file).
ArchiveLookupView ReadArchiveLookupView(const TByteSource& source);
ArchiveLookupView ReadArchiveLookupView(const TLGPFile& archive);

// Which TOC names the game would find through the lookup table, and the
// faults of the conflict table: a record reaching no copy of its name or
// lying past the TOC, a TOC field naming a conflict without a record for it
// (or one the table lacks), a conflict table running past the validation
// data, and counts that don't add up (a conflict's records against the TOC
// entries naming it). Lines: one per lost name and one per name found
// through the conflict table, in TOC order, then one per fault ("Fault: ..."),
// then one summary line, and one more when there are faults.
struct LookupCheck
{
    std::vector<std::string> Lines;
    std::int32_t Names = 0;
    std::int32_t Lost = 0;
    std::int32_t ThroughConflicts = 0;
    std::int32_t Faults = 0;
};
LookupCheck CheckLookup(const ArchiveLookupView& archive);

// ---------------------------------------------------------------------------
// Repeated names

// An entry may be named FOLDER/NAME, FOLDER being the folder of its record in
// the conflict table (as stored; compared without case), or by its NAME alone.

// Each TOC entry's folder: the folder of the record that its 16-bit field's
// conflict holds for its TOC index; empty when it has none (or the tables
// can't be read).
std::vector<std::string> EntryFolders(const ArchiveLookupView& archive);

// The view of an archive held open by the in-place editor (its TOC as held,
// its validation data read from the file).
ArchiveLookupView LookupViewOf(TRawLGPFile& archive);

// How a command uses an entry it is given by name.
enum class EntryUse
{
    Read,   // a bare NAME of a repeated name means its first copy
    Change, // a bare NAME of a repeated name is refused
};

// The TOC index that spec ("NAME" or "FOLDER/NAME", compared without case)
// names. "The archive holds no entry named \"%s\"." when none does. For
// EntryUse::Change, and for a FOLDER/NAME that several entries share, a spec
// that fits several entries is refused, listing their FOLDER/NAME forms:
// "The archive holds 3 entries named \"wind_1.p\"; name one by its folder:
// \"fire/wind_1.p\", ...". Entries without a folder are listed as
// "\"NAME\" (TOC entry %d, no folder)".
std::int32_t ResolveEntryName(const ArchiveLookupView& archive, const std::string& spec, EntryUse use);

// ResolveEntryName for many names of one archive: its folders and names are
// indexed once (ResolveEntryName itself goes through one). The view must
// outlive the index.
class TEntryNameIndex
{
public:
    explicit TEntryNameIndex(const ArchiveLookupView& archive);
    // As ResolveEntryName, with the same failures.
    std::int32_t Resolve(const std::string& spec, EntryUse use) const;
    // Whether spec names at least one entry (Resolve may still refuse it as
    // naming several).
    bool Names(const std::string& spec) const;

private:
    std::span<const std::int32_t> Matches(const std::string& spec, bool& byFolder) const;

    const ArchiveLookupView& mArchive;
    std::vector<std::string> mFolders;
    // Upper-cased NAME, and FOLDER/NAME of entries with a folder -> TOC indexes, ascending.
    std::unordered_map<std::string, std::vector<std::int32_t>> mByName;
    std::unordered_map<std::string, std::vector<std::int32_t>> mByFolder;
};

// ---------------------------------------------------------------------------
// Extract All

// Whether name matches the glob pattern ('*' any run, '?' one character,
// "[a-z]" and "[!...]" sets), ASCII letters compared without case.
bool MatchesNamePattern(std::string_view name, std::string_view pattern);

struct ExtractAllOptions
{
    std::vector<std::string> Only{}; // glob patterns; an entry matching any is extracted (all when empty)
    bool Numbered = false;           // repeated names without a folder get "name (2).ext"
};

// One entry of Extract All and where it goes, relative to the chosen folder.
struct ExtractTarget
{
    std::int32_t Index = 0;
    std::string Path; // "name", "folder/name" or a numbered name
};

// Entries that share a name and have no place of their own.
class ESharedNamesError : public ELGPError
{
public:
    using ELGPError::ELGPError;
};

// Where every entry goes, decided before anything is written: the folder tree
// the conflict table describes. Every copy of a repeated name (compared
// without case, over the whole archive) that has a record goes into the
// subfolder its record names (the first copy included; folders compare
// without case and are written as first spelt); every other entry goes into
// the folder itself. A copy with no place of its own (no record, a folder
// that is no plain name or is a file's name, a place already taken) goes to
// the top: under its name when that is free, sharing the file of its name
// when it holds the same bytes (the path then repeats in the plan), else
// under a numbered name when options.Numbered is set. Fails with
// "The entry name ... is not a plain file name ..." for an unsafe name, and
// with ESharedNamesError naming the shared names when two entries would meet
// in one file.
std::vector<ExtractTarget> PlanExtractAll(const TLGPFile& archive, const ExtractAllOptions& options);

// Writes every planned entry below folder (creating the subfolders the plan
// names), replacing existing files; progress(done, total) after each entry.
// The data is read through the archive's kept file (TLGPFile::Held), else
// through one open of its path. Inside folder no symbolic link is followed:
// one in the place of a file or subfolder is replaced itself. New files take
// their names without waiting for the disk; files that replace existing ones
// go on the disk in batches (one file-system sync each) before they take their
// names. A failure part-way says how many files were written and where.
void ExtractAllEntries(const TLGPFile& archive, const std::string& folder, const std::vector<ExtractTarget>& plan,
                       const std::function<void(std::int32_t done, std::int32_t total)>& progress = {});

// ---------------------------------------------------------------------------
// Replacing many entries at once

// One entry to replace and the file holding its new data.
struct EntryReplacement
{
    std::int32_t Index = 0; // TOC index, 0-based
    std::string Name;       // as the user named it: "NAME" or "FOLDER/NAME"
    std::string File;       // the file holding the new data
};

// What a batch replace will do: the entries it replaces (in TOC order) and
// what names no entry (files of the folder relative to it, as "NAME" or
// "SUB/NAME", in name order; or the NAMEs of pairs, in the order given).
struct ReplacePlan
{
    std::vector<EntryReplacement> Replacements;
    std::vector<std::string> Unmatched;
};

// The plan for the files of folder laid out as Extract All writes them: a
// file FOLDER/NAME names the entry NAME, a file FOLDER/SUB/NAME the copy of
// NAME whose conflict-table record names the folder SUB (ResolveEntryName's
// rules, EntryUse::Change). Files naming no entry are unmatched, and so is
// each folder deeper down ("SUB/DEEPER/", not looked into). Refused before anything is planned, with every reason (and
// "Nothing was changed."): a bare NAME that several entries share, and two
// files naming one entry. "Cannot open file %s" when the folder can't be read.
ReplacePlan PlanReplaceFromFolder(const ArchiveLookupView& archive, const std::string& folder);

// The same for (NAME or FOLDER/NAME, FILE) pairs.
ReplacePlan PlanReplacePairs(const ArchiveLookupView& archive,
                             const std::vector<std::pair<std::string, std::string>>& pairs);

// Puts the new data of every planned entry into the archive in one rewrite,
// leaving it packed: the new archive is written into a new file beside it
// (data entries in the order they had, each replaced entry's data where its
// old data was, unreferenced data and gaps dropped) and put in its place in
// one step, so killed or failing at any moment the archive is the old or the
// new one, byte for byte. A data entry that other table entries share keeps
// its data for them; the replaced entry gets a data entry of its own, named
// like its table entry (an entry with its data entry to itself keeps the data
// entry's name, as ReplaceEntryData does). Everything is checked before the
// new file is made: the archive (RequireScannedTableOffsets), every file
// (readable, not the archive itself: see RequireOutputIsNoInput, at most
// 2,147,483,647 bytes), one file per entry, the new size within what Offsets
// reach, the free space. archive is spent afterwards (it holds no file): open
// the archive again to go on. No replacements: nothing is written.
void ReplaceEntries(TRawLGPFile& archive, std::span<const EntryReplacement> replacements);
