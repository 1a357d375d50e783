#pragma once
// The LGP archive core: the index reader (TLGPFile), the in-place editor
// (TRawLGPFile), the builder, and analysis, repair and packing.
//
// Archive layout (all integers little-endian, offsets and lengths signed 32-bit):
//
//   0        header      12-byte creator (right-aligned, NUL padded) + int32 file count
//   16       TOC         file count x 27 bytes: name[20] (NUL-terminated), int32 offset,
//                        type byte (14), uint16 (0)
//   16+27n   validation  opaque bytes up to the smallest TOC offset (3,602 as built)
//   ...      data        per entry: name[20] + int32 length, then length bytes; an
//                        entry rewritten shorter may be followed by a gap marker
//                        (uint32 0x5F6A04E8, uint32 gap size >= 8, measured from the marker)
//   end      trailing    bytes after the last data entry ("FINAL FANTASY7" as built,
//                        "LGP PATCH FILE" in patches; any length: the scan ends where
//                        24 bytes or fewer remain or a header's Length runs past the end)
//
// Nothing here shows a window: failures are ELGPError exceptions carrying the
// user's text, and progress goes to ProgressHook.

#include "errors/errors.h"
#include "streams.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

// ---------------------------------------------------------------------------
// Hooks

// Progress of long operations as (position, maximum). Empty means silent.
// Callers report position 1 with the true maximum before any later step.
using TProgressHook = std::function<void(std::int32_t position, std::int32_t maximum)>;
extern TProgressHook ProgressHook;

// A process-wide slot for one text, empty at start: notes of the archive's
// writers that are no failure (RemoveLeftoverTemporaries below). The
// command-line tool prints them on stderr; the windowed program shows them in
// a message box once the command has ended. Empty means silent.
using TMessageHook = std::function<void(const std::string& text)>;
extern TMessageHook MessageHook;

// Hidden temporary files (".NAME.XXXXXX.tmp") that the archive's writers
// left beside it when they were stopped (no running process holds them). The
// archive's writers (the in-place editor, Create's output) delete them when
// they start and say so through MessageHook: "Removed %d temporary file(s)
// that stopped runs had left beside %s: %s." LeftoverTemporariesLine gives
// "Leftover temporary files: %d (%s), left by runs that were stopped; the next
// write of the archive removes them." or "" when there are none.
std::string LeftoverTemporariesLine(const std::string& archivePath);
void RemoveLeftoverTemporaries(const std::string& archivePath);

// Sets ProgressHook for one scope and restores the previous one on every path;
// the only way the programs set it.
class ScopedProgressHook
{
public:
    explicit ScopedProgressHook(TProgressHook hook);
    ~ScopedProgressHook();
    ScopedProgressHook(const ScopedProgressHook&) = delete;
    ScopedProgressHook& operator=(const ScopedProgressHook&) = delete;

private:
    TProgressHook mPrevious;
};

// Calls ProgressHook when it is set.
void ReportProgress(std::int32_t position, std::int32_t maximum);

// ---------------------------------------------------------------------------
// Names

constexpr std::size_t NameFieldSize = 20;
using NameField = std::array<char, NameFieldSize>;

// a-z to A-Z only.
std::string UpperAscii(std::string text);
bool SameNameAscii(const std::string& a, const std::string& b);
// The field up to its first NUL, never past its 20 bytes.
std::string NameFromField(const NameField& field);
// NUL-padded field (20 characters fill it, without a NUL). Throws when the
// name has more than 20 characters:
// "The name \"%s\" is too long for an archive entry (at most 20 characters)."
NameField FieldFromName(const std::string& name);

// A name as a fixed-size lookup key: upper-cased (a-z only) and NUL-padded.
// Two names of at most 20 characters without NULs have equal keys exactly
// when SameNameAscii holds.
struct NameKey
{
    std::array<char, NameFieldSize> Bytes{};
    bool operator==(const NameKey&) const = default;
};
NameKey MakeNameKey(const char* name, std::size_t length); // length <= 20
struct NameKeyHash
{
    std::size_t operator()(const NameKey& key) const noexcept;
};

// The data entry Name that patch application gives the data it writes in
// place of a data entry named replaced: replaced plus ".patch", the name cut
// to 13 characters first when the suffix would not fit the 20-byte field.
NameField PatchedDataName(const NameField& replaced);

// Throws unless name can be used as a file name inside a chosen folder: a
// name holding "/" or "\", or being "", "." or "..", would write outside it.
// Message: "The entry name \"%s\" is not a plain file name; it cannot be written to a folder."
void CheckPlainFileName(const std::string& name);
// The same test without a throw.
bool IsPlainFileName(const std::string& name);

// ---------------------------------------------------------------------------
// Index reader

constexpr std::int32_t LengthNotRead = -1;
constexpr std::int32_t LengthBadOffset = -2;

struct LGPEntry
{
    std::string Name;
    std::int32_t Offset = 0;
    std::int32_t Length = LengthNotRead;
    bool NameMismatch = false;

    bool operator==(const LGPEntry&) const = default;
};

// Read-only view of an archive: header and TOC, and with readLengths every data
// entry header and the trailing text. The file is not kept open; each data
// read reopens it by path (shared with other readers and writers).
class TLGPFile
{
public:
    // Failures: "Cannot open file %s", "Stream read error" (file ends inside the
    // header, the TOC or a data entry header being read).
    TLGPFile(const std::string& path, bool readLengths);
    // The archive held by source (kept for the data reads), shown as name:
    // FileName() returns it, and nothing is opened by it.
    TLGPFile(std::shared_ptr<const TByteSource> source, const std::string& name, bool readLengths);
    // The archive at path, kept open: the data of its entries is read later
    // through the file its index was read from, even when another file takes
    // the path meanwhile. "Cannot open file %s" and the failures above.
    static TLGPFile Held(const std::string& path, bool readLengths);

    std::int32_t FileCount() const { return mFileCount; }
    const std::string& FileName() const { return mFileName; }
    const std::string& Creator() const { return mCreator; }
    const std::string& Description() const { return mDescription; }
    // Whether the archive came from bytes with no file behind them (memory),
    // rather than from a file (read by path, or held open by Held).
    bool FromSource() const { return mSource != nullptr && mSource->FileHandle() == nullptr; }
    // The bytes the index was read from, when they are kept (nullptr for an
    // archive read by path).
    const TByteSource* Source() const { return mSource.get(); }

    // Table order; "List index out of bounds (%d)" outside 0..FileCount-1.
    LGPEntry GetEntry(std::int32_t index) const;
    // Ascending Offset, later table entries first among equal Offsets.
    LGPEntry GetEntryByOffset(std::int32_t index) const;
    // Table index of the offset list's element index.
    std::int32_t TableIndexByOffset(std::int32_t index) const;
    // First table index whose Name equals name ASCII case-insensitively, or -1.
    // The first call builds a name index (not safe to race with other calls).
    std::int32_t FindEntry(const std::string& name) const;
    // Appends the entry's data (length from the data entry header on disk) at
    // dest's position. "Stream read error" when the header or data run past the end.
    void ReadEntryData(std::int32_t index, TStream& dest) const;

private:
    void Read(const TByteSource& fd, bool readLengths);
    std::vector<std::uint8_t> ReadDataHeaders(const TByteSource& fd, std::int64_t size);

    std::shared_ptr<const TByteSource> mSource; // none: read by path
    std::int32_t mFileCount = 0;
    std::string mFileName;
    std::string mCreator;
    std::string mDescription;
    std::vector<LGPEntry> mEntries;
    std::vector<std::int32_t> mByOffset; // table indexes in offset order
    // Name key -> first table index; built by the first FindEntry.
    mutable std::unordered_map<NameKey, std::int32_t, NameKeyHash> mByName;
    mutable bool mByNameBuilt = false;
};

// Writes entry's data from the open archive to outputPath (created or
// replaced). "LGP TOC has invalid offset!" for LengthBadOffset, "Cannot create
// file %s", "Stream read error". A symbolic link at outputPath is replaced
// itself, never followed; a file it replaces keeps its contents until the new
// one is whole and on the disk.
void ExtractEntry(const TByteSource& archive, const LGPEntry& entry, const std::string& outputPath,
                  const std::string& archiveName = {});
void ExtractEntry(TStream& archive, const LGPEntry& entry, const std::string& outputPath);

// The first thing that keeps bytes held in memory from being read whole as an
// archive: the header, every TOC entry, and for each TOC entry a data entry
// after the TOC whose header and Length bytes lie inside the bytes. What
// lies between or after the data entries is not looked at.
enum class ArchiveBytesFault
{
    None,
    HeaderCut,     // fewer than the header's 16 bytes
    TocOutside,    // a negative file count, or a TOC running past the end
    OffsetOutside, // Entry's Offset lies in the header or TOC, or leaves no room for a data entry header
    DataOutside,   // Entry's data entry has a negative Length or one running past the end
};
struct ArchiveBytesCheck
{
    ArchiveBytesFault Fault = ArchiveBytesFault::None;
    std::string Creator;        // the header's creator text; empty for HeaderCut
    std::int32_t FileCount = 0; // the header's file count as stored; 0 for HeaderCut
    std::int32_t Entry = -1;    // for OffsetOutside and DataOutside: the TOC entry's index
    std::string EntryName;      // and its Name
};
ArchiveBytesCheck CheckArchiveBytes(std::span<const std::uint8_t> bytes);

// ---------------------------------------------------------------------------
// Raw editor

struct TOCEntry
{
    NameField Name{};
    std::int32_t Offset = 0;
    std::uint8_t Type = 14;
    std::uint16_t Reserved = 0;

    std::string NameString() const { return NameFromField(Name); }
    bool operator==(const TOCEntry&) const = default;
};

struct RawDataEntry
{
    NameField Name{};
    std::int32_t Length = 0;
    std::int32_t Position = 0;
    std::span<const std::uint8_t> Data; // only in records passed in
    std::int32_t Room = 0;

    std::string NameString() const { return NameFromField(Name); }
};

constexpr std::int32_t RoomUnlimited = 2147483647;

enum class RawEditorVariant
{
    Main, // fits by Room
    Stub, // the self-extractor's older rule: no growing in place, no Room
};

// In-place editor. Holds the archive open read/write with other writers
// refused for its whole life; every change reaches the file at once.
//
// What survives a kill: no TOC entry ever reaches a half-written data entry.
// SetTableEntry is one write of 27 bytes; AppendDataEntry writes the new data
// and the trailing text, syncs them, and only then writes the new header, so
// a TOC entry is pointed at complete data only. TruncateData cuts the file at
// the entry before it writes the trailing text there. RewriteDataEntry and
// SetTableEntries overwrite data or many TOC entries; they run through
// RewriteAtomically unless a caller's run is going on.
//
// SetTableEntry, RewriteDataEntry, AppendDataEntry and TruncateData first
// run RequireScannedTableOffsets (outside a run: a run's caller checks before
// it starts), so none of them moves or overwrites data that a TOC entry of a
// damaged archive reaches beyond the scan; the archive stays unchanged.
// SetTableEntries (Repair's one write) doesn't: it is how such an archive is
// mended.
class TRawLGPFile
{
public:
    // "Cannot open file %s" when it can't be opened for writing (missing,
    // read-only, another writer); "Stream read error" inside header or TOC.
    // A file longer than the 2,147,483,647 bytes that Offsets reach is refused
    // at once: "The archive %s is %d bytes long, more than the 2,147,483,647
    // bytes an archive can address. Nothing was changed."
    explicit TRawLGPFile(const std::string& path, RawEditorVariant variant = RawEditorVariant::Main);

    std::int32_t FileCount() const { return mFileCount; }
    std::int32_t DataCount() const { return static_cast<std::int32_t>(mData.size()); }
    const std::string& Creator() const { return mCreator; }
    // The trailing text behind the last data entry: all of it when it is
    // up to TrailingHeldMax bytes long, else its first TrailingHeldMax bytes
    // (the rest stays in the file; TrailingSize is its whole length).
    const std::vector<std::uint8_t>& TrailingText() const { return mTrailingText; }
    std::int64_t TrailingSize() const { return mTrailingSize; }
    static constexpr std::int64_t TrailingHeldMax = 1 << 20;
    // Copies the whole trailing text into out at position, in blocks.
    void CopyTrailingText(TByteSource& out, std::int64_t position);
    const std::string& FileName() const { return mFile.FileName(); }
    RawEditorVariant Variant() const { return mVariant; }

    TOCEntry GetTableEntry(std::int32_t index) const;
    void SetTableEntry(std::int32_t index, const TOCEntry& entry);
    // Replaces the whole TOC (entries.size() must equal the TOC's length) and
    // writes it in one write: the file ends up as after SetTableEntry on each.
    void SetTableEntries(const std::vector<TOCEntry>& entries);
    RawDataEntry GetDataEntry(std::int32_t index) const;
    // The index of the data entry whose header starts at offset (a TOC
    // entry's Offset), or -1 when none does.
    std::int32_t DataIndexAt(std::int32_t offset) const { return DataIndexAt(mData, offset); }
    // The same over a list of data entries in ascending Position order, as the
    // editor keeps them (the scan moves only forwards, appends go behind the
    // last entry): a model of the list that an operation is about to leave.
    static std::int32_t DataIndexAt(std::span<const RawDataEntry> data, std::int32_t offset);
    // Data of the TOC entry: the data entry header at its Offset and its Length bytes.
    void ReadEntryData(std::int32_t tableIndex, TStream& dest);
    // False (nothing written) when the new data doesn't fit the variant's rule.
    bool RewriteDataEntry(std::int32_t index, const RawDataEntry& entry);
    // Index of the new entry. "List index out of bounds (-1)" without data entries.
    std::int32_t AppendDataEntry(const RawDataEntry& entry);
    // Cuts the file at data entry index. Main variant only.
    void TruncateData(std::int32_t index);

    // Runs changes (calls of this editor's operations) on a copy of the
    // archive made beside it, and puts the copy in the archive's place in one
    // step once they all succeeded; killed at any moment, the archive is the
    // old or the new one. When changes throw, the copy is deleted, the archive
    // and this editor's lists stay as they were, and the failure goes on. A
    // run that writes nothing leaves the archive alone. The editor then holds
    // the new file, still refusing other writers. Runs nest (an inner run is
    // part of the outer one).
    void RewriteAtomically(const std::function<void()>& changes);

    // Whether RewriteDataEntry fits new data of length bytes in place of held
    // (last: held is the last data entry) under the variant's rule.
    static bool FitsInPlace(RawEditorVariant variant, const RawDataEntry& held, bool last, std::int64_t length);
    // Whether a data entry of length bytes at position, with trailing bytes
    // behind it, keeps the archive within the 2,147,483,647 bytes that signed
    // 32-bit Offsets reach.
    static bool FitsArchiveSize(std::int64_t position, std::int64_t length, std::int64_t trailing);
    // Where AppendDataEntry puts new data: right behind the last of data.
    static std::int64_t AppendPosition(std::span<const RawDataEntry> data);
    // The records of data as AppendDataEntry leaves them once it wrote entry
    // at position: the last one's room ends at its data, the new one's is
    // unlimited. The new record's index.
    static std::int32_t RecordAppend(std::vector<RawDataEntry>& data, std::int64_t position, const RawDataEntry& entry);

    // The data entry whose header lies at offset, when its header and all its
    // Length bytes lie inside the file: what the index reader reads there
    // (Position = offset, Room = Length). None for anything else.
    std::optional<RawDataEntry> ReadableDataEntryAt(std::int32_t offset);
    // Throws unless every TOC Offset at which a whole data entry can be read
    // is the Position of a data entry the scan found: otherwise moving or
    // appending data could drop or overwrite what that TOC entry reaches.
    // "The archive %s is damaged: the TOC entry \"%s\" (number %d, from 1)
    // points at data that the scan of its data entries does not reach. Nothing
    // was changed; run Repair on it first."
    void RequireScannedTableOffsets();

    // The open file, for the core's own operations (packing).
    TFileStream& File() { return mFile; }

private:
    bool Rewrite(std::int32_t index, const RawDataEntry& entry, bool write);
    void RequireSoundOutsideRun();
    bool TrailingHeld() const { return mTrailingSize == static_cast<std::int64_t>(mTrailingText.size()); }
    void WriteAt(std::int64_t position, const void* data, std::size_t count);
    void SetFileSize(std::int64_t size);
    void Sync(); // outside a run only: the run syncs its copy once at the end
    void WriteEntryAt(std::int64_t position, const RawDataEntry& entry);
    void WriteTrailingAt(std::int64_t position); // trailing text there, file ends after it
    void WriteGapMarker(std::int64_t position, std::int32_t gap);

    TFileStream mFile;
    RawEditorVariant mVariant;
    std::int32_t mFileCount = 0;
    std::string mCreator;
    std::vector<TOCEntry> mToc;
    std::vector<RawDataEntry> mData;
    std::vector<std::uint8_t> mTrailingText; // all of it, or its first TrailingHeldMax bytes
    std::int64_t mTrailingSize = 0;
    std::int64_t mTrailingAt = 0; // where the open file holds it
    // Inside RewriteAtomically: the archive the run started from, and where
    // it holds the trailing text (the copy's may be overwritten meanwhile).
    const TFileSource* mRunOriginal = nullptr;
    std::int64_t mRunTrailingAt = 0;
    bool mOnCopy = false;  // inside RewriteAtomically
    bool mWritten = false; // something was written during the current run
};

// The record that RewriteDataEntry or AppendDataEntry writes for new data:
// Name, Data and its Length. Throws "<what> is too large for an archive
// entry." when data holds more than 2,147,483,647 bytes (what names the data
// for the user, e.g. "The file \"a.tex\"").
RawDataEntry NewDataEntry(const NameField& name, std::span<const std::uint8_t> data, const std::string& what);

// Puts new data into the table entry named name ("NAME" or "FOLDER/NAME",
// compared ASCII case-insensitively; a NAME that several entries share is
// refused, listing their FOLDER/NAME forms: see ResolveEntryName) with the
// editor's own rules: rewritten in place when it
// fits the data entry's Room and no other table entry shares that data entry,
// else appended as a new data entry (named like the table entry) and the table
// entry pointed at it. The entry keeps its place in the table. True when
// rewritten in place. "The archive holds no entry named \"%s\"." when no
// table entry has that name.
bool ReplaceEntryData(TRawLGPFile& archive, const std::string& name, std::span<const std::uint8_t> data);
// The same for the table entry number tableIndex (0-based), so one of several
// entries sharing a name can be replaced; label names it in messages (its
// table name when empty). "List index out of bounds (%d)" outside the table.
bool ReplaceEntryDataAt(TRawLGPFile& archive, std::int32_t tableIndex, std::span<const std::uint8_t> data,
                        const std::string& label = {});

// ---------------------------------------------------------------------------
// Builder

// One TOC entry of an archive being built, and where its data comes from.
struct BuildEntry
{
    std::string Path{};                  // the file holding its data
    NameField Name{};                    // its TOC Name field, as stored
    std::uint8_t Type = 14;              // the TOC type byte
    std::uint16_t Conflict = 0;          // the TOC 16-bit field
    std::optional<NameField> DataName{}; // its data entry header's Name; Name when unset
    std::int32_t SharesDataOf = -1;      // another entry whose data entry this one points at (no data of its own)
};

struct ArchiveBuildOptions
{
    std::string Folder;         // files to store (ordinary files only)
    std::string Output;         // archive to write
    bool DeleteSources = false; // delete each file once it is stored
    std::array<char, 12> CreatorField{0, 0, 'S', 'Q', 'U', 'A', 'R', 'E', 'S', 'O', 'F', 'T'};
    std::string TrailingText = "FINAL FANTASY7";
    std::optional<std::vector<std::uint8_t>> ValidationData; // copied after the TOC when set
    bool ReportProgress = true;
    // The files to store (full paths) in TOC order; when unset, the folder's
    // files in ListArchiveFolder's order.
    std::optional<std::vector<std::string>> Files;
    // The TOC entries in TOC order, taking the place of Files.
    std::optional<std::vector<BuildEntry>> Entries;
    // Indexes into Entries: the data entries in this order (each entry with
    // data of its own once); empty: TOC order.
    std::vector<std::size_t> DataOrder{};
};

// Ordinary files of folder (no subfolders, no dot files), full paths sorted
// case-insensitively as the builder stores them.
// With exclude set, that file (compared by identity, not by spelling) is left out.
std::vector<std::string> ListArchiveFolder(const std::string& folder, const std::string& exclude = {});

// The validation data of an existing archive: the bytes from the end of its TOC
// to its smallest TOC Offset (none when that lies inside the TOC).
std::vector<std::uint8_t> ReadValidationData(const std::string& archivePath);

// Writes an archive from the folder's files by the builder's steps: data
// entries gathered into large writes, then the header, TOC and validation data
// in one write. Names of 20+ characters are refused before the output is
// created; the output file itself is left out of the listing.
void BuildArchive(const ArchiveBuildOptions& options);

// Where Create takes the validation data from.
enum class ValidationSource
{
    TemplateOrLookup, // "LGP.<n>" beside the program when it serves, else the computed lookup table
    None,             // no validation data: the game can't find the names
    FromArchive,      // an existing archive's, with the TOC in that archive's order
    Like,             // an existing archive's whole layout, the data taken from the folder
};

struct CreateArchiveOptions
{
    std::string Folder;
    std::string Output;
    bool DeleteSources = false;
    ValidationSource Validation = ValidationSource::TemplateOrLookup;
    std::string ValidationArchive{}; // for FromArchive and Like
};

// Whether a template file serves as validation data: its first 3,600 bytes (the
// lookup table) are present and not all zero.
bool IsUsableTemplate(std::span<const std::uint8_t> bytes);

// The Create command, over the folder's tree: its files and the files of its
// sub-folders (one level). A name that repeats in the tree (without case) is
// one entry per copy, each told apart by a conflict-table record naming its
// sub-folder; a name repeated with one copy at the top is refused (the game
// could not tell that copy apart), as are names at the top that differ only
// in case. A sub-folder file whose name doesn't repeat is a plain entry.
// Hidden files, deeper folders and anything but files are left out, and
// listed in the notes returned (one sentence each).
//
// TemplateOrLookup: with a usable template "LGP.<n>" beside the program, no
// repeated names, and every name found through the template's table, the
// archive is built exactly by the builder's steps; otherwise the TOC is
// ordered by lookup slot (then name, then folder), the data follows in TOC
// order and the validation data is the computed lookup and conflict tables
// (names the game can't look up are refused; a template that didn't fit is
// named in a note). FromArchive orders the TOC as that archive's, with its
// 16-bit fields, and refuses a folder whose files are not the ones Extract
// All writes for that archive. Like rebuilds that archive's layout (creator
// field, TOC order and fields, type bytes, data order, validation data,
// trailing text) with the data of the folder's files; files missing from the
// folder are left out and files added take their place by slot, both listed
// in the notes, the tables then computed again.
std::vector<std::string> CreateArchive(const CreateArchiveOptions& options);

// CreateArchive with validation data from a template or the lookup table
// (useValidationData) or none.
void CreateArchiveFromFolder(const std::string& folder, const std::string& output, bool deleteSources,
                             bool useValidationData);

// ---------------------------------------------------------------------------
// Analysis, repair, packing

// The Analyse report lines for a freshly opened index (lengths read), with
// fileLabel the file name shown in the "File: " line. "Couldn't retrieve file
// information!" when the archive's path is no ordinary file (an archive read
// from a byte source has no path to check).
std::vector<std::string> AnalyseArchive(const TLGPFile& archive, const std::string& fileLabel);
// The same lines, and how many problems they name: each data entry whose name
// disagrees with its TOC entry and each gap between data entries, what the
// report's note calls signs of "a corrupt or badly constructed file". (The
// size of the validation data is only remarked on: whether the game finds
// the names is verify's question.)
struct ArchiveAnalysis
{
    std::vector<std::string> Lines;
    std::int64_t Problems = 0;
};
ArchiveAnalysis AnalyseArchiveReport(const TLGPFile& archive, const std::string& fileLabel);

void RepairArchive(const std::string& path);
void PackArchive(const std::string& path);
