#pragma once
// Copies of repeated names in patches: which copy of its name a TOC entry is,
// and how a patch says which copy each of its differences is for (the layout
// is described in lgppatch_copies.cpp). Used by patch creation and
// application only.

#include "core/lgplookup.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Every TOC entry of an archive as one copy of its name. A name repeats when
// several TOC entries carry it (compared without case). A copy's key is the
// folder its conflict-table record gives, when that folder is not empty, does
// not start with "/" and is no other copy's of the name (compared without
// case); any other copy is keyed "/K", K counting such copies of the name
// from 1 in TOC order. A name that does not repeat is keyed the same way.
struct ArchiveCopies
{
    std::vector<std::string> Keys;
    std::vector<bool> Repeated;
    // What the user reads: "FOLDER/NAME" for a copy keyed by folder, "NAME
    // (copy K)" for another copy of a repeated name, the bare name otherwise.
    std::vector<std::string> Labels;
    // The copy's place among all copies of its name in TOC order, from 1.
    std::vector<std::int32_t> Places;
};
ArchiveCopies ReadArchiveCopies(const ArchiveLookupView& archive);

// Whether two keys name the same copy (compared without case).
bool SameCopyKey(const std::string& a, const std::string& b);

// The copy each entry of a patch is for (TOC order): none for an entry that
// is for its name, which is every entry of a patch without repeated names.
// Fails naming the entry when its 16-bit field leads to no record of the
// patch's conflict table: "The patch entry \"%s\" (number %d) is marked as
// the change of one copy of its name, but the patch does not say which; the
// patch is damaged. Nothing was changed."
std::vector<std::optional<std::string>> ReadPatchCopyKeys(const ArchiveLookupView& patch);

// What the patch builder writes for differences of which some are for copies:
// the TOC entries' 16-bit fields and the validation data (templateBytes'
// lookup part, then the conflict table).
struct PatchCopyLayout
{
    std::vector<std::uint16_t> TocFields;
    std::vector<std::uint8_t> Validation;
};
// keys: per patch TOC entry (in TOC order) the copy it is for, or none.
PatchCopyLayout LayPatchCopies(const std::vector<std::uint8_t>& templateBytes, const std::vector<std::string>& tocNames,
                               const std::vector<std::optional<std::string>>& keys);

// A difference file of the patch creator's work folder and the copy it is for.
struct PatchCopyFile
{
    std::string Path;
    std::string Key;
};

// BuildPatchArchive with differences for copies: the work folder's own files
// are the differences for names, as BuildPatchArchive stores them; the files
// of copies follow, each entry named like its file and marked with its key.
// Without copies the patch is exactly BuildPatchArchive's.
void BuildPatchArchive(const std::string& folder, const std::vector<PatchCopyFile>& copies, const std::string& output,
                       bool deleteSources, const std::string& templatePath);
