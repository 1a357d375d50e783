#pragma once
// Patches: difference data, patch files, patch creation and application, and
// the self-extracting patch layout.
//
// Difference data: groups of one control byte and up to eight one-byte items.
// Bit k set: item k is a literal (the next new byte; one old byte passed over).
// Clear: a copy run of item + 1 old bytes (1 to 256). No header, no length.
//
// A patch is an archive (creator "QUENWICK-LGP", trailing text "LGP PATCH FILE",
// validation data from "LGP.95" beside the program) with one entry of
// difference data per changed file, named like the file it changes; a
// difference for one copy of a repeated name says which copy it is for in the
// patch's TOC fields and conflict table (lgppatch_copies.cpp).

#include "core/lgpstruct.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Difference of new against old over their common length, or nullptr when
// they agree there.
std::unique_ptr<TMemoryStream> MakeDifference(TMemoryStream& oldData, TMemoryStream& newData);
std::optional<std::vector<std::uint8_t>> MakeDifference(std::span<const std::uint8_t> oldData,
                                                        std::span<const std::uint8_t> newData);

// New bytes from old bytes and difference data. "Stream read error" when a
// copy run reaches past the end of the old data.
std::unique_ptr<TMemoryStream> ApplyDifference(TMemoryStream& oldData, TMemoryStream& difference);
std::vector<std::uint8_t> ApplyDifference(std::span<const std::uint8_t> oldData,
                                          std::span<const std::uint8_t> difference);

// The validation template every patch carries: "LGP.95" beside the program.
std::string PatchTemplatePath();

// Writes a patch file from every ordinary file of folder (which must end in
// "/"). Fails with EMissingTemplate (the template message) before creating the
// output when the template can't be read.
void BuildPatchArchive(const std::string& folder, const std::string& output, bool deleteSources);
// The same with the validation data taken from templatePath.
void BuildPatchArchive(const std::string& folder, const std::string& output, bool deleteSources,
                       const std::string& templatePath);

// Applies the patch to the archive, TOC entry by TOC entry in table order:
// an entry with a patch entry of its name (ASCII case-insensitive; for a copy
// of a name the archive holds several times, the patch entry for that copy;
// names without one go to DebugLog as "No matching file in patch for NAME") gets
// new data from its old data and the difference data, both LZS-decoded when
// they pass the probe (the result is then stored as literal-only LZS). The
// data is rewritten in place when allowOverwrite and the raw editor's variant
// lets it fit, appended otherwise with the TOC entry re-pointed. Written data
// entries are named like the entry they replace plus ".patch"; a name longer
// than 13 characters is cut to 13 first, so the field still holds it. A TOC
// entry whose Offset names no data entry of the scan is left as it is, before
// anything of it is read. Before writing anything it refuses an archive whose
// TOC reaches data its scan misses (TRawLGPFile::RequireScannedTableOffsets)
// and a patch that does not apply (CheckPatchApplies), including one whose
// difference for a name the archive holds several times does not say which
// copy it is for ("The patch changes \"%s\" without saying which copy of the
// name it is for, and the archive %s holds %d copies of it (FOLDER/NAME, ...).
// Nothing was changed."): a failure leaves the archive unchanged, unless
// writing the file itself fails. A patch without entries is refused, as is
// an archive that holds none of the patch's files, unchanged: "This patch
// holds no files; nothing was changed.", "<archive> holds none of this
// patch's files; nothing was changed." Without
// allowOverwrite, an entry whose patched data equals the data it has (an
// earlier run patched it) is not appended again.
struct PatchReport
{
    std::int32_t Patched = 0;         // TOC entries given new data
    std::int32_t AlreadyPatched = 0;  // passed over: they hold the patched data
    std::vector<std::string> NotHeld; // names of the patch the archive has no TOC entry for
};
PatchReport ApplyPatch(TRawLGPFile& archive, const TLGPFile& patch, bool allowOverwrite);

// The names of the patch's entries (as the patch spells them, in its table
// order) that no TOC entry of the archive carries, compared as ApplyPatch
// compares them.
std::vector<std::string> PatchNamesNotHeld(const TRawLGPFile& archive, const TLGPFile& patch);

// Runs ApplyPatch without writing: every entry of the patch that ApplyPatch
// would use is read, LZS-decoded where it passes the probe and applied to the
// old data it would meet (the data an earlier entry rewrote, where several
// TOC entries share it), and the archive's growth is checked against its
// 2 GB limit. Throws naming the first entry that fails:
// "The patch entry \"%s\" can't be applied to \"%s\" in %s: <reason>. The patch
// is damaged or was made for other data; nothing was changed."
void CheckPatchApplies(TRawLGPFile& archive, const TLGPFile& patch, bool allowOverwrite);

// Throws unless the file at patchPath is an archive whose TOC and data lie
// inside it: the header and TOC are whole, every TOC entry reaches a data
// entry after the TOC whose data ends inside the file, and a file without
// entries carries the patch creator "QUENWICK-LGP".
// "%s is not a patch file: <reason>"
void CheckPatchFileStructure(const std::string& patchPath);

// --- Patch creation -------------------------------------------------------

struct PatchCreationOptions
{
    std::string Source; // source (original) archive
    bool ModifiedIsFolder = false;
    std::string ModifiedArchive; // when !ModifiedIsFolder
    std::string ModifiedFolder;  // when ModifiedIsFolder; ends in "/"
    bool SkipSameLength = false; // "Skip files if they have the same length"
    std::string Output;          // patch file to write
};

// A file that a patch can't carry whole: a patch only changes files of the
// source archive and never makes one longer, so a modified version that is
// longer than the source (both LZS-decoded), or that exists only in the
// modified version, would be cut or lost.
struct UnpatchableFile
{
    std::string Name;
    bool OnlyInModified = false;
    // Decoded lengths; both 0 when OnlyInModified.
    std::int64_t SourceLength = 0;
    std::int64_t ModifiedLength = 0;
};

// One line per file, each starting with two spaces: "  NAME: only in the
// modified version" or "  NAME: N bytes in the modified version, M in the
// source". At most maxLines lines, the last then saying how many more there are.
std::string DescribeUnpatchableFiles(const std::vector<UnpatchableFile>& files,
                                     std::size_t maxLines = static_cast<std::size_t>(-1));

// What the creator window (or the command-line tool) shows while a patch is
// made; the only channel CreatePatch reports through. The bar follows the
// comparison; opening the archives reports nothing (ProgressHook is silenced
// for the run and left as it was found).
struct PatchCreationCallbacks
{
    std::function<void(const std::string& text)> Status; // "Opening patch file...", ..., "Done!"
    std::function<void(std::int32_t maximum)> SetBarMaximum;
    std::function<void(std::int32_t position)> SetBarPosition;
    // Asked after the comparison when some files can't be carried whole:
    // true makes the patch without them, false writes nothing. When it is
    // unset, CreatePatch refuses with a message listing them.
    std::function<bool(const std::vector<UnpatchableFile>& files)> LeaveOut;
};

// Makes the work folder of one run: a new folder "LGPMK.TMP.XXXXXX" (six
// random characters) in the temporary folder, created by this call with mode
// 0700, so it is never an existing folder, a symbolic link or another user's.
// Returns it with a trailing "/"; fails with EInOutError.
std::string PatchWorkFolder();

// Compares the source archive with the modified archive or folder and writes
// the patch. Difference files go into a work folder of this run's own
// (PatchWorkFolder), which is removed, with only the files written there, on
// every path. A changed entry whose name is no plain file name, or starts with
// ".", is refused before its difference file is written. In a folder the
// modified version is the file of the entry's name, an exact match preferred
// over one that differs in case. Copies of a name that repeats are paired by
// folder, else by order (ReadArchiveCopies), and named "FOLDER/NAME" (or "NAME
// (copy K)") in UnpatchableFile. Files a patch can't carry whole (see
// UnpatchableFile; dot files of a folder are not counted) are never cut: they
// are left out when callbacks.LeaveOut agrees, otherwise nothing is written.
// Returns true when the patch was written, false when LeaveOut declined. Work
// folder failures are EInOutError; a missing "LGP.95" is EMissingTemplate.
bool CreatePatch(const PatchCreationOptions& options, const PatchCreationCallbacks& callbacks);

// --- Self-extracting patches ------------------------------------------------

constexpr std::size_t SelfExtractorTrailerSize = 40;
constexpr std::size_t TargetNameFieldSize = 32;

struct SelfExtractorTrailer
{
    std::int32_t StubLength = 0;
    std::int32_t Flags = 0;
    std::string TargetName;
};

// Where the program image in front of any appended bytes ends: for an ELF
// image the furthest of its header tables, segments and sections; for a PE
// image its headers, section data, COFF symbols and certificate table (unless
// that table starts at or after the end of the bytes given). 0 when the bytes
// are neither; more than their size when the image claims bytes they don't
// have. A stub image run bare ends exactly at its file's end.
std::uint64_t ElfImageEnd(std::span<const std::uint8_t> file);
std::uint64_t PeImageEnd(std::span<const std::uint8_t> file);
// ElfImageEnd or PeImageEnd, whichever kind the bytes are; 0 for neither.
std::uint64_t ImageEnd(std::span<const std::uint8_t> file);

// The end of a self-extracting file's own content: where a PE certificate
// table that ends the file begins (a code signature appended after wrapping),
// else the file's size.
std::size_t SignedContentEnd(std::span<const std::uint8_t> file);

// The stub's text for a self-extracting patch whose content is not what it
// was made with.
inline constexpr const char* DamagedSelfExtractorText = "This patch is damaged; download it again.";

struct SelfExtractorParts
{
    SelfExtractorTrailer Trailer;
    std::size_t PatchOffset = 0;
    std::size_t PatchLength = 0;
    bool Digest = false; // a digest was recorded, and the patch matches it
};

// Finds the trailer and the patch of a whole self-extracting file, in front
// of a signature that ends it (SignedContentEnd). A file made with a digest
// record (found right behind the program image, or right in front of the
// patch) must match it: a changed byte of the patch or the trailer, a cut or
// added tail, a lost trailer fail with damagedText. A file made without one is taken as it is; its
// trailer must pass DecodeTrailer (fileLabel names the file then).
SelfExtractorParts ReadSelfExtractor(std::span<const std::uint8_t> file, const std::string& fileLabel,
                                     const std::string& damagedText);

// The file-name part of the "Filename to patch" text: after its last "/", "\"
// or ":".
std::string TargetNameFromText(const std::string& text);

// The 40 bytes after the patch. Refuses a TargetName of 32+ characters.
std::vector<std::uint8_t> EncodeTrailer(const SelfExtractorTrailer& trailer);
// Reads the trailer from the end of a whole self-extracting file and checks
// that StubLength lies between 0 and the file length minus 40; otherwise
// "<fileLabel> is not a self-extracting patch." ("The file" without a label).
SelfExtractorTrailer DecodeTrailer(std::span<const std::uint8_t> file);
SelfExtractorTrailer DecodeTrailer(std::span<const std::uint8_t> file, const std::string& fileLabel);

// Checks that bytes hold a patch file before anything relies on it: the
// creator "QUENWICK-LGP", a non-negative file count, the TOC inside the bytes
// and every TOC entry's data entry (header and data) inside them too.
// Otherwise fails with "<label> is not a patch made by Tarrowin (REASON)."
void ValidatePatchArchive(std::span<const std::uint8_t> bytes, const std::string& label);

// The stub image beside the programs that suits a self-extracting patch named
// output: "STUBWIN.LGP", the Windows program, for a name ending in ".exe" (in
// any case), else "STUB.LGP", the Linux program.
std::string StubImageName(const std::string& output);

// Stub image + padding and digest record + patch + trailer, written to output
// (nothing is written before both inputs are read). Output made from a Linux stub image is made
// executable; a Windows program (an image starting with "MZ") needs no such bit.
void MakeSelfExtractor(const std::string& stubPath, const std::string& patchPath, const std::string& targetText,
                       bool allowOverwrite, const std::string& output);
// The patch bytes of a self-extracting file (signed or not), written to
// output once the digest (ReadSelfExtractor), the trailer and the payload
// (ValidatePatchArchive, labelled "The payload of <source>") have been
// checked; nothing is written otherwise.
void ExtractPatch(const std::string& source, const std::string& output);
