// The archive builder: every ordinary file of one folder behind a header, a
// TOC and (optionally) validation data: copied from a template or an archive,
// or the lookup table computed for the names.
#include "lgplookup.h"
#include "lgpstruct.h"
#include "lgpstruct_internal.h"

#include "platform/folder.h"
#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

using namespace lgp::detail;

namespace
{
    int CompareFolded(const std::string& a, const std::string& b)
    {
        const std::size_t n = std::min(a.size(), b.size());
        for (std::size_t i = 0; i < n; ++i)
        {
            auto x = static_cast<unsigned char>(a[i]);
            auto y = static_cast<unsigned char>(b[i]);
            if (x >= 'a' && x <= 'z')
                x = static_cast<unsigned char>(x - 'a' + 'A');
            if (y >= 'a' && y <= 'z')
                y = static_cast<unsigned char>(y - 'a' + 'A');
            if (x != y)
                return x < y ? -1 : 1;
        }
        return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
    }

    // Case-insensitive order; names equal but for case fall back to the plain
    // byte order so the result never depends on how the folder lists them.
    bool FolderOrder(const std::string& a, const std::string& b)
    {
        const int folded = CompareFolded(a, b);
        return folded != 0 ? folded < 0 : a < b;
    }

    std::string WithSlash(std::string folder)
    {
        if (folder.empty() || folder.back() != '/')
            folder += '/';
        return folder;
    }

    std::string BaseName(const std::string& path)
    {
        const auto slash = path.find_last_of('/');
        return slash == std::string::npos ? path : path.substr(slash + 1);
    }

    const std::string VanishedText = "Couldn't find a file that exists. AARRRRGH.";

    [[noreturn]] void FailTooLarge()
    {
        lgp::Fail("The files are too large for one archive (more than 2,147,483,647 bytes).");
    }

    // Data entries (header and data) gathered in one buffer and written in
    // large writes. A file that doesn't fit the buffer's free room is copied
    // in the kernel from the point the buffer ends.
    class DataWriter
    {
    public:
        DataWriter(TByteSource& out, std::int64_t position)
            : mOut(out)
            , mPosition(position)
            , mBuffer(BufferSize)
        {
        }

        // Where the next byte goes in the archive.
        std::int64_t End() const { return mPosition + static_cast<std::int64_t>(mUsed); }

        // Stores one file as a data entry; returns its length.
        std::int64_t AddFile(const std::string& path, const NameField& name, std::int64_t trailing)
        {
            if (mBuffer.size() - mUsed < MinimumRoom)
                Flush();
            std::int64_t sizeAtOpen = -1;
            const TFileSource source(Platform::File::openForReading(path, sizeAtOpen));
            if (!source.Handle().valid())
            {
                if (errno == ENOENT || errno == ENOTDIR || errno == EISDIR)
                    lgp::Fail(VanishedText);
                lgp::FailOpen(path);
            }
            const std::size_t header = mUsed;
            mUsed += DataHeaderSize;
            std::int64_t length = 0;
            bool ended = false;
            // A file is stored as it was when it was opened: what fits is
            // read in one call when its size is known, without a second
            // call to find its end.
            while (mUsed < mBuffer.size())
            {
                const std::size_t room = mBuffer.size() - mUsed;
                const std::int64_t rest = sizeAtOpen - length;
                const bool knownEnd = rest >= 0 && std::uint64_t(rest) < room;
                const std::size_t want = knownEnd ? static_cast<std::size_t>(rest) : room;
                const std::size_t got = want == 0 ? 0 : source.ReadSomeAt(length, mBuffer.data() + mUsed, want);
                mUsed += got;
                length += static_cast<std::int64_t>(got);
                // Fewer bytes than asked for come only at the end of the file.
                if (knownEnd || got < want)
                {
                    ended = true;
                    break;
                }
            }
            const std::int64_t inBuffer = length;
            if (!ended)
            {
                // Larger than the room left: the rest goes in the kernel.
                const std::int64_t size = source.Size();
                if (size < inBuffer)
                    lgp::FailRead();
                length = size;
            }
            if (mPosition + static_cast<std::int64_t>(header) + DataHeaderSize + length + trailing > MaxArchiveSize)
                FailTooLarge();
            EncodeDataHeader(name, static_cast<std::int32_t>(length), mBuffer, header);
            if (!ended)
            {
                Flush();
                CopyBytes(source, inBuffer, mOut, mPosition, length - inBuffer);
                mPosition += length - inBuffer;
            }
            return length;
        }

        void Add(const void* bytes, std::size_t count)
        {
            if (mBuffer.size() - mUsed < count)
                Flush();
            if (count > mBuffer.size())
            {
                mOut.WriteAt(mPosition, bytes, count);
                mPosition += static_cast<std::int64_t>(count);
                return;
            }
            std::memcpy(mBuffer.data() + mUsed, bytes, count);
            mUsed += count;
        }

        void Flush()
        {
            if (mUsed == 0)
                return;
            mOut.WriteAt(mPosition, mBuffer.data(), mUsed);
            mPosition += static_cast<std::int64_t>(mUsed);
            mUsed = 0;
        }

    private:
        // Small enough to stay in the processor's cache between the reads
        // that fill it and the write that empties it: with 8 MB the write
        // cost twice as much as with this.
        static constexpr std::size_t BufferSize = std::size_t(512) << 10;
        // A file starts in the buffer only with this much room; smaller files
        // never reach the in-kernel copy, which costs more than it saves on them.
        static constexpr std::size_t MinimumRoom = std::size_t(128) << 10;

        TByteSource& mOut;
        std::int64_t mPosition; // where the buffer's first byte goes
        std::vector<std::uint8_t> mBuffer;
        std::size_t mUsed = 0;
    };

    std::string QuotedList(const std::vector<std::string>& items, std::size_t limit = 20)
    {
        std::string text;
        for (std::size_t i = 0; i < items.size() && i < limit; ++i)
            text += (i > 0 ? ", \"" : "\"") + items[i] + '"';
        if (items.size() > limit)
            text += " and " + std::to_string(items.size() - limit) + " more";
        return text;
    }

    // Files in folder order sit next to those that differ from them only in case.
    void CheckCaseCollisions(const std::vector<std::string>& names)
    {
        std::vector<std::string> pairs;
        for (std::size_t i = 1; i < names.size(); ++i)
        {
            if (SameNameAscii(names[i - 1], names[i]))
                pairs.push_back("\"" + names[i - 1] + "\" and \"" + names[i] + "\"");
        }
        if (pairs.empty())
            return;
        std::string list;
        for (std::size_t i = 0; i < pairs.size() && i < 20; ++i)
            list += (i > 0 ? ", " : "") + pairs[i];
        if (pairs.size() > 20)
            list += " and " + std::to_string(pairs.size() - 20) + " more";
        lgp::Fail("Names in an archive compare without case, so these files of the folder can't both be stored: " + list
                  + ". Rename or remove one of each.");
    }

    // One file of the folder's tree: at its top (Folder empty) or in one of
    // its sub-folders.
    struct TreeFile
    {
        std::string Folder;
        std::string Name;
        std::string Path;
        bool Hidden = false;
        std::string Shown() const { return Folder.empty() ? Name : Folder + "/" + Name; }
    };

    struct FolderTree
    {
        std::vector<TreeFile> Files;      // by name, then folder (FolderOrder)
        std::vector<std::string> Hidden;  // hidden folders, as shown
        std::vector<std::string> Outside; // what is neither a file of the folder nor of a sub-folder
    };

    FolderTree ReadFolderTree(const std::string& folder, const std::string& exclude)
    {
        // An empty path would become "/" once the separator is appended.
        if (folder.empty())
            lgp::Fail("No folder was given to build the archive from.");
        const std::string base = WithSlash(folder);
        using Kind = Platform::Folder::Item::Kind;
        FolderTree tree;
        for (const auto& item : Platform::Folder::items(base, exclude))
        {
            if (item.Type == Kind::File)
                tree.Files.push_back({"", item.Name, base + item.Name, item.Hidden});
            else if (item.Type == Kind::Other)
                tree.Outside.push_back(item.Name);
            else if (item.Hidden)
                tree.Hidden.push_back(item.Name + "/");
            else
            {
                // Conflict-table folders are single names: one level only.
                const std::string sub = base + item.Name + "/";
                for (const auto& inner : Platform::Folder::items(sub, exclude))
                {
                    if (inner.Type == Kind::File)
                        tree.Files.push_back({item.Name, inner.Name, sub + inner.Name, inner.Hidden});
                    else
                        tree.Outside.push_back(item.Name + "/" + inner.Name + (inner.Type == Kind::Folder ? "/" : ""));
                }
            }
        }
        std::sort(tree.Files.begin(), tree.Files.end(), [](const TreeFile& x, const TreeFile& y) {
            const int byName = CompareFolded(x.Name, y.Name);
            if (byName != 0 || x.Name != y.Name)
                return byName != 0 ? byName < 0 : x.Name < y.Name;
            return FolderOrder(x.Folder, y.Folder);
        });
        return tree;
    }

    void NoteLeftOut(std::vector<std::string>& notes, const std::vector<std::string>& hidden,
                     const std::vector<std::string>& outside)
    {
        if (!hidden.empty())
            notes.push_back("Hidden files and folders were left out: " + QuotedList(hidden) + ".");
        if (!outside.empty())
            notes.push_back("Only the files of the folder and of its sub-folders are stored; left out: "
                            + QuotedList(outside) + ".");
    }

    // An archive as it lies on disk, for rebuilding it in its own layout.
    struct ArchiveLayout
    {
        std::array<char, 12> Creator{};
        std::vector<TOCEntry> Toc;
        std::vector<std::uint8_t> Validation;
        std::vector<NameField> DataNames; // per TOC entry: the Name of its data entry header
        std::string Trailing;             // every byte after the data of the entry with the largest Offset
    };

    ArchiveLayout ReadLayout(const std::string& path)
    {
        TFileStream file(path, FileMode::OpenRead);
        const TByteSource& source = file.Source();
        const std::int64_t size = source.Size();
        const ArchiveHead head = ReadArchiveHead(source, size);
        ArchiveLayout layout;
        source.ReadAt(0, layout.Creator.data(), layout.Creator.size());
        const std::int32_t count = std::max<std::int32_t>(head.FileCount, 0);
        std::int64_t smallest = size;
        std::int64_t last = -1;
        for (std::int32_t i = 0; i < count; ++i)
        {
            TOCEntry entry = DecodeTocEntry(head.Toc, std::uint64_t(std::int64_t(i) * TocEntrySize));
            smallest = std::min<std::int64_t>(smallest, entry.Offset);
            NameField dataName = entry.Name;
            if (entry.Offset >= 0 && entry.Offset <= size - DataHeaderSize)
            {
                std::array<std::uint8_t, DataHeaderSize> header{};
                source.ReadAt(entry.Offset, header.data(), header.size());
                std::memcpy(dataName.data(), header.data(), NameFieldSize);
                const auto length = lgp::GetLE<std::int32_t>(header, NameFieldSize);
                if (entry.Offset > last && length >= 0 && length <= size - entry.Offset - DataHeaderSize)
                {
                    last = entry.Offset;
                    const std::int64_t end = entry.Offset + DataHeaderSize + length;
                    layout.Trailing.resize(static_cast<std::size_t>(size - end));
                    source.ReadAt(end, layout.Trailing.data(), layout.Trailing.size());
                }
            }
            layout.DataNames.push_back(dataName);
            layout.Toc.push_back(entry);
        }
        const std::int64_t tocEnd = HeaderSize + std::int64_t(count) * TocEntrySize;
        if (smallest > tocEnd)
        {
            layout.Validation.resize(static_cast<std::size_t>(smallest - tocEnd));
            source.ReadAt(tocEnd, layout.Validation.data(), layout.Validation.size());
        }
        return layout;
    }

    // Which file of the tree holds each entry of an archive: the file at the
    // path Extract All writes the entry to (folders and names compared
    // without case, the name's own spelling preferred). Folders extracted by
    // earlier versions hold the first copy of a repeated name at the top, in
    // no folder: a copy whose folder lacks it takes the file at the top when
    // no entry of the archive belongs there.
    struct TreeMatch
    {
        std::vector<std::int32_t> FileOf;  // per TOC entry: index into the tree's files, -1 when missing
        std::vector<std::string> Expected; // per TOC entry: the path Extract All gives it
        std::vector<bool> Used;            // per file of the tree
    };

    TreeMatch MatchTree(const TLGPFile& source, const std::vector<TreeFile>& files)
    {
        const std::int32_t count = std::max<std::int32_t>(source.FileCount(), 0);
        TreeMatch match;
        match.FileOf.assign(std::size_t(count), -1);
        match.Expected.assign(std::size_t(count), std::string());
        match.Used.assign(files.size(), false);
        std::unordered_map<std::string, std::vector<std::size_t>> byPath;
        for (std::size_t k = 0; k < files.size(); ++k)
            byPath[UpperAscii(files[k].Shown())].push_back(k);
        std::unordered_set<std::string> atTop;
        for (const ExtractTarget& target : PlanExtractAll(source, {.Numbered = true}))
        {
            match.Expected[std::size_t(target.Index)] = target.Path;
            if (target.Path.find('/') == std::string::npos)
                atTop.insert(UpperAscii(target.Path));
        }
        const auto pick = [&](const std::string& path) -> std::int32_t {
            const auto found = byPath.find(UpperAscii(path));
            if (found == byPath.end())
                return -1;
            for (const std::size_t k : found->second)
            {
                if (files[k].Shown() == path)
                    return static_cast<std::int32_t>(k);
            }
            return static_cast<std::int32_t>(found->second.front());
        };
        std::vector<std::int32_t> pending;
        for (std::int32_t i = 0; i < count; ++i)
        {
            const std::string& path = match.Expected[std::size_t(i)];
            const std::int32_t k = pick(path);
            if (k >= 0)
            {
                match.FileOf[std::size_t(i)] = k;
                match.Used[std::size_t(k)] = true;
            }
            else if (path.find('/') != std::string::npos)
                pending.push_back(i);
        }
        for (const std::int32_t i : pending)
        {
            const std::string& path = match.Expected[std::size_t(i)];
            const std::string name = path.substr(path.find('/') + 1);
            if (atTop.contains(UpperAscii(name)))
                continue;
            const std::int32_t k = pick(name);
            if (k >= 0 && !match.Used[std::size_t(k)])
            {
                match.FileOf[std::size_t(i)] = k;
                match.Used[std::size_t(k)] = true;
            }
        }
        return match;
    }

    bool SameFileContents(const std::string& a, const std::string& b)
    {
        return a == b || ReadWholeFile(a) == ReadWholeFile(b);
    }

    // Data order and shared data entries for entries taken from an archive:
    // data in the order of the entries' old Offsets (items: old Offset per
    // entry, -1 for entries added, which go last in TOC order); entries that
    // shared a data entry share it again when their files hold the same bytes.
    void OrderData(ArchiveBuildOptions& build, const std::vector<std::int64_t>& oldOffsets)
    {
        std::vector<BuildEntry>& entries = *build.Entries;
        std::vector<std::size_t> order(entries.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
            const bool addedX = oldOffsets[x] < 0;
            const bool addedY = oldOffsets[y] < 0;
            if (addedX != addedY)
                return addedY;
            return oldOffsets[x] < oldOffsets[y];
        });
        std::unordered_map<std::int64_t, std::size_t> owner;
        build.DataOrder.clear();
        for (const std::size_t i : order)
        {
            if (oldOffsets[i] >= 0)
            {
                const auto [it, first] = owner.emplace(oldOffsets[i], i);
                if (!first && SameFileContents(entries[it->second].Path, entries[i].Path))
                {
                    entries[i].SharesDataOf = static_cast<std::int32_t>(it->second);
                    continue;
                }
            }
            build.DataOrder.push_back(i);
        }
    }

    std::vector<std::string> CreateLike(const CreateArchiveOptions& options, const FolderTree& tree)
    {
        const std::string& archivePath = options.ValidationArchive;
        const TLGPFile source(archivePath, false);
        const ArchiveLayout layout = ReadLayout(archivePath);
        const ArchiveLookupView view = ReadArchiveLookupView(archivePath);
        const std::vector<std::string> oldFolders = EntryFolders(view);
        const TreeMatch match = MatchTree(source, tree.Files);
        std::vector<std::string> notes;

        std::vector<std::string> missing;
        for (std::size_t i = 0; i < layout.Toc.size(); ++i)
        {
            if (match.FileOf[i] < 0)
                missing.push_back(match.Expected[i]);
        }
        std::vector<std::string> hidden = tree.Hidden;
        std::vector<std::size_t> added;
        for (std::size_t k = 0; k < tree.Files.size(); ++k)
        {
            if (match.Used[k])
                continue;
            if (tree.Files[k].Hidden)
                hidden.push_back(tree.Files[k].Shown());
            else
            {
                FieldFromName(tree.Files[k].Name);
                added.push_back(k);
            }
        }

        ArchiveBuildOptions build;
        build.Output = options.Output;
        build.DeleteSources = options.DeleteSources;
        build.CreatorField = layout.Creator;
        build.TrailingText = layout.Trailing;
        build.Entries.emplace();
        std::vector<std::int64_t> oldOffsets;
        if (missing.empty() && added.empty())
        {
            for (std::size_t i = 0; i < layout.Toc.size(); ++i)
            {
                const TOCEntry& toc = layout.Toc[i];
                build.Entries->push_back({.Path = tree.Files[std::size_t(match.FileOf[i])].Path,
                                          .Name = toc.Name,
                                          .Type = toc.Type,
                                          .Conflict = toc.Reserved,
                                          .DataName = layout.DataNames[i]});
                oldOffsets.push_back(toc.Offset);
            }
            build.ValidationData = layout.Validation;
            OrderData(build, oldOffsets);
            NoteLeftOut(notes, hidden, tree.Outside);
            BuildArchive(build);
            return notes;
        }

        // The set of names changed: kept entries in their old order, added
        // files by slot, the tables computed again.
        struct Item
        {
            BuildEntry Entry;
            std::string Name;
            std::string Folder;
            std::int64_t OldOffset = -1;
        };
        std::vector<Item> items;
        std::unordered_map<std::string, int> copies;
        for (std::size_t i = 0; i < layout.Toc.size(); ++i)
        {
            if (match.FileOf[i] >= 0)
                ++copies[UpperAscii(layout.Toc[i].NameString())];
        }
        for (const std::size_t k : added)
            ++copies[UpperAscii(tree.Files[k].Name)];
        for (std::size_t i = 0; i < layout.Toc.size(); ++i)
        {
            if (match.FileOf[i] < 0)
                continue;
            const TOCEntry& toc = layout.Toc[i];
            items.push_back({{.Path = tree.Files[std::size_t(match.FileOf[i])].Path,
                              .Name = toc.Name,
                              .Type = toc.Type,
                              .Conflict = toc.Reserved,
                              .DataName = layout.DataNames[i]},
                             toc.NameString(),
                             oldFolders[i],
                             toc.Offset});
        }
        std::vector<std::string> addedShown;
        std::vector<std::string> addedNames;
        for (const std::size_t k : added)
            addedNames.push_back(tree.Files[k].Name);
        // The archive's own names stay as they were; a new one the game can't
        // look up is refused as by any Create.
        if (ReadLookupTable(layout.Validation))
            CheckLookupNames(addedNames);
        for (const std::size_t k : added)
        {
            const TreeFile& file = tree.Files[k];
            addedShown.push_back(file.Shown());
            items.push_back({{.Path = file.Path, .Name = FieldFromName(file.Name)},
                             file.Name,
                             copies[UpperAscii(file.Name)] > 1 ? file.Folder : std::string(),
                             -1});
        }
        const std::optional<LookupTable> oldTable = ReadLookupTable(layout.Validation);
        if (oldTable)
        {
            std::vector<std::string> names;
            for (const Item& item : items)
                names.push_back(item.Name);
            std::vector<Item> ordered;
            for (const std::size_t k : LookupOrder(names))
                ordered.push_back(items[k]);
            items = std::move(ordered);
            std::vector<std::string> tocNames;
            std::vector<std::string> tocFolders;
            for (const Item& item : items)
            {
                tocNames.push_back(item.Name);
                tocFolders.push_back(item.Folder);
            }
            std::vector<std::uint8_t> validation = ComputeLookupData(tocNames, true);
            const ConflictTableData conflicts = ComputeConflictTable(tocNames, tocFolders);
            validation.resize(LookupTableSize);
            validation.insert(validation.end(), conflicts.Bytes.begin(), conflicts.Bytes.end());
            // Whatever followed the old tables follows the new ones.
            if (oldTable->ConflictsRead && oldTable->End < layout.Validation.size())
                validation.insert(validation.end(), layout.Validation.begin() + std::ptrdiff_t(oldTable->End),
                                  layout.Validation.end());
            for (std::size_t i = 0; i < items.size(); ++i)
                items[i].Entry.Conflict = conflicts.Fields[i];
            build.ValidationData = std::move(validation);
            notes.push_back("The files of the folder are not the files of the archive " + archivePath
                            + ", so its lookup and conflict tables were computed again.");
        }
        else
            build.ValidationData = layout.Validation;
        for (Item& item : items)
        {
            build.Entries->push_back(std::move(item.Entry));
            oldOffsets.push_back(item.OldOffset);
        }
        OrderData(build, oldOffsets);
        if (!missing.empty())
            notes.push_back("These entries of the archive " + archivePath
                            + " are not in the folder and were left out: " + QuotedList(missing) + ".");
        if (!addedShown.empty())
            notes.push_back("These files of the folder are not in the archive " + archivePath
                            + " and were added: " + QuotedList(addedShown) + ".");
        NoteLeftOut(notes, hidden, tree.Outside);
        BuildArchive(build);
        return notes;
    }
} // namespace

std::vector<std::string> ListArchiveFolder(const std::string& folder, const std::string& exclude)
{
    // An empty path would become "/" once the separator is appended.
    if (folder.empty())
        lgp::Fail("No folder was given to build the archive from.");
    const std::string base = WithSlash(folder);
    std::vector<std::string> files = Platform::Folder::ordinaryFileNames(base, exclude);
    for (auto& name : files)
        name.insert(0, base);
    std::sort(files.begin(), files.end(), FolderOrder);
    return files;
}

std::vector<std::uint8_t> ReadValidationData(const std::string& archivePath)
{
    return ReadArchiveLookupView(archivePath).Validation;
}

void BuildArchive(const ArchiveBuildOptions& options)
{
    std::vector<BuildEntry> listed;
    const std::vector<BuildEntry>& entries = options.Entries ? *options.Entries : listed;
    if (!options.Entries)
    {
        const std::vector<std::string> files =
            options.Files ? *options.Files : ListArchiveFolder(options.Folder, options.Output);
        if (files.size() > static_cast<std::size_t>(INT32_MAX / TocEntrySize))
            lgp::Fail("The folder holds too many files for one archive.");
        // Every name must fit its 20-byte field; refuse before the output exists.
        listed.reserve(files.size());
        for (const auto& path : files)
            listed.push_back({.Path = path, .Name = FieldFromName(BaseName(path))});
    }
    if (entries.size() > static_cast<std::size_t>(INT32_MAX / TocEntrySize))
        lgp::Fail("The folder holds too many files for one archive.");
    const auto n = static_cast<std::int32_t>(entries.size());
    std::vector<std::size_t> order = options.DataOrder;
    if (order.empty())
    {
        for (std::size_t i = 0; i < entries.size(); ++i)
        {
            if (entries[i].SharesDataOf < 0)
                order.push_back(i);
        }
    }
    const auto steps = static_cast<std::int32_t>(order.size());

    // Another writer of an archive being replaced is shut out, as from any archive being written.
    TNewFileStream output(options.Output, true);
    RemoveLeftoverTemporaries(options.Output);
    TFileSource& out = output.Source();

    // Header, TOC and validation data: written last, in one write, once the
    // lengths are known.
    const std::int64_t validationSize =
        options.ValidationData ? static_cast<std::int64_t>(options.ValidationData->size()) : 0;
    const std::int64_t tocEnd = HeaderSize + std::int64_t(n) * TocEntrySize;
    const std::int64_t dataStart = tocEnd + validationSize;
    const auto trailing = static_cast<std::int64_t>(options.TrailingText.size());
    if (dataStart + trailing > MaxArchiveSize)
        FailTooLarge();
    std::vector<std::uint8_t> head(static_cast<std::size_t>(dataStart));
    std::copy(options.CreatorField.begin(), options.CreatorField.end(), head.begin());
    lgp::PutLE(head, 12, n);
    if (validationSize > 0)
        std::copy(options.ValidationData->begin(), options.ValidationData->end(), head.begin() + tocEnd);

    if (options.ReportProgress)
        ReportProgress(0, steps);
    DataWriter data(out, dataStart);
    std::vector<std::int32_t> offsets(entries.size(), -1);
    for (std::int32_t k = 0; k < steps; ++k)
    {
        const BuildEntry& entry = entries.at(order[std::size_t(k)]);
        offsets[order[std::size_t(k)]] = static_cast<std::int32_t>(data.End());
        data.AddFile(entry.Path, entry.DataName.value_or(entry.Name), trailing);
        if (options.ReportProgress)
            ReportProgress(k + 1, steps);
    }
    for (std::size_t i = 0; i < entries.size(); ++i)
    {
        const BuildEntry& entry = entries[i];
        if (entry.SharesDataOf >= 0)
            offsets[i] = offsets.at(std::size_t(entry.SharesDataOf));
        if (offsets[i] < 0)
            lgp::Fail("The archive's data order leaves out the file \"" + entry.Path + "\".");
        TOCEntry toc;
        toc.Name = entry.Name;
        toc.Offset = offsets[i];
        toc.Type = entry.Type;
        toc.Reserved = entry.Conflict;
        EncodeTocEntry(toc, head, std::uint64_t(HeaderSize + std::int64_t(i) * TocEntrySize));
    }
    data.Add(options.TrailingText.data(), options.TrailingText.size());
    data.Flush();
    out.WriteAt(0, head.data(), head.size());
    output.Commit(options.DeleteSources);
    // Only what has reached the archive in its place is deleted: a build that
    // fails or is killed before this leaves every source where it was.
    if (options.DeleteSources)
    {
        std::unordered_set<std::string> deleted;
        for (const auto& entry : entries)
        {
            if (!deleted.insert(entry.Path).second)
                continue;
            if (!Platform::File::remove(entry.Path))
                lgp::FailInOut(errno);
        }
    }
}

bool IsUsableTemplate(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < LookupTableSize)
        return false;
    return std::any_of(bytes.begin(), bytes.begin() + LookupTableSize, [](std::uint8_t b) { return b != 0; });
}

std::vector<std::string> CreateArchive(const CreateArchiveOptions& options)
{
    // The output is listed like any file of the folder: an archive written
    // over one of its own sources would leave that file out and lose it.
    const FolderTree tree = ReadFolderTree(options.Folder, std::string());
    {
        std::vector<std::string> inputs;
        inputs.reserve(tree.Files.size() + 1);
        for (const TreeFile& file : tree.Files)
            inputs.push_back(file.Path);
        if (options.Validation == ValidationSource::FromArchive || options.Validation == ValidationSource::Like)
            inputs.push_back(options.ValidationArchive);
        RequireOutputIsNoInput(options.Output, inputs);
    }
    if (options.Validation == ValidationSource::Like)
        return CreateLike(options, tree);

    std::vector<std::string> notes;
    std::vector<std::string> hidden = tree.Hidden;
    std::vector<TreeFile> files;
    files.reserve(tree.Files.size());
    std::vector<std::string> top;
    for (const TreeFile& file : tree.Files)
    {
        if (file.Hidden)
        {
            if (options.Validation != ValidationSource::FromArchive)
                hidden.push_back(file.Shown());
            else
                files.push_back(file); // it may be one of the archive's entries
            continue;
        }
        files.push_back(file);
        FieldFromName(file.Name);
        if (file.Folder.empty())
            top.push_back(file.Name);
    }
    CheckCaseCollisions(top);

    ArchiveBuildOptions build;
    build.Folder = options.Folder;
    build.Output = options.Output;
    build.DeleteSources = options.DeleteSources;
    build.Entries.emplace().reserve(files.size());

    if (options.Validation == ValidationSource::FromArchive)
    {
        const TLGPFile source(options.ValidationArchive, false);
        const TreeMatch match = MatchTree(source, files);
        const std::vector<std::uint16_t> fields = ReadArchiveLookupView(options.ValidationArchive).Conflicts;
        std::vector<std::string> onlyInArchive;
        for (std::size_t i = 0; i < match.FileOf.size(); ++i)
        {
            if (match.FileOf[i] < 0)
                onlyInArchive.push_back(match.Expected[i]);
        }
        std::vector<std::string> onlyInFolder;
        std::size_t folderCount = 0;
        for (std::size_t k = 0; k < files.size(); ++k)
        {
            if (match.Used[k] || !files[k].Hidden)
                ++folderCount;
            if (match.Used[k])
                continue;
            if (files[k].Hidden)
                hidden.push_back(files[k].Shown());
            else
                onlyInFolder.push_back(files[k].Shown());
        }
        const auto count = static_cast<std::size_t>(std::max<std::int32_t>(source.FileCount(), 0));
        if (!onlyInFolder.empty() || !onlyInArchive.empty())
        {
            std::string text = count != folderCount
                                   ? "The archive " + source.FileName() + " holds " + std::to_string(count)
                                         + " files but the folder holds " + std::to_string(folderCount)
                                         + "; its validation data can't be reused."
                                   : "The folder's names are not the names in the archive " + source.FileName()
                                         + "; its validation data can't be reused.";
            if (!onlyInFolder.empty())
                text += " Only in the folder: " + QuotedList(onlyInFolder) + ".";
            if (!onlyInArchive.empty())
                text += " Only in the archive: " + QuotedList(onlyInArchive) + ".";
            lgp::Fail(text);
        }
        std::vector<bool> named(files.size(), false);
        for (std::size_t i = 0; i < count; ++i)
        {
            const TreeFile& file = files[std::size_t(match.FileOf[i])];
            // A file that holds several entries (names differing only in case,
            // with the same bytes) names the first; the others keep their own.
            const bool first = !named[std::size_t(match.FileOf[i])];
            named[std::size_t(match.FileOf[i])] = true;
            build.Entries->push_back({.Path = file.Path,
                                      .Name = FieldFromName(first ? file.Name : source.GetEntry(std::int32_t(i)).Name),
                                      .Conflict = i < fields.size() ? fields[i] : std::uint16_t(0)});
        }
        build.ValidationData = ReadValidationData(options.ValidationArchive);
        NoteLeftOut(notes, hidden, tree.Outside);
        BuildArchive(build);
        return notes;
    }

    // A name in several places of the tree: one copy per sub-folder, told
    // apart by the conflict table. A copy at the top could not be told apart.
    std::unordered_map<std::string, std::vector<std::size_t>> byName;
    for (std::size_t k = 0; k < files.size(); ++k)
        byName[UpperAscii(files[k].Name)].push_back(k);
    std::vector<std::string> folders(files.size());
    std::vector<std::string> atTop;
    std::vector<std::string> sameFolder;
    for (std::size_t k = 0; k < files.size(); ++k)
    {
        const std::vector<std::size_t>& copies = byName[UpperAscii(files[k].Name)];
        if (copies.size() < 2 || copies.front() != k)
            continue;
        std::unordered_set<std::string> seen;
        bool topCopy = false;
        for (const std::size_t c : copies)
        {
            topCopy = topCopy || files[c].Folder.empty();
            if (!files[c].Folder.empty() && !seen.insert(UpperAscii(files[c].Folder)).second)
                sameFolder.push_back(files[c].Shown());
            folders[c] = files[c].Folder;
        }
        if (topCopy
            && std::any_of(copies.begin(), copies.end(), [&](std::size_t c) { return !files[c].Folder.empty(); }))
            atTop.push_back(files[k].Name);
    }
    if (!atTop.empty())
        lgp::Fail("These names lie at the top of the folder and in its sub-folders: " + QuotedList(atTop)
                  + ". The game tells the copies of a name apart by their folders only, so every copy must lie in a "
                    "sub-folder (folders extracted by earlier versions hold the first copy at the top: move it into "
                    "its folder, or rebuild with create --like ARCHIVE). Nothing was written.");
    if (!sameFolder.empty())
        lgp::Fail("Folder names compare without case, so these files can't be told apart from others of their name: "
                  + QuotedList(sameFolder) + ". Nothing was written.");
    const bool repeated = std::any_of(folders.begin(), folders.end(), [](const std::string& f) { return !f.empty(); });

    std::vector<std::string> names;
    names.reserve(files.size());
    for (const TreeFile& file : files)
        names.push_back(file.Name);
    std::vector<std::size_t> order(files.size());
    for (std::size_t k = 0; k < order.size(); ++k)
        order[k] = k;
    std::vector<std::uint16_t> fields(files.size(), 0);
    if (options.Validation == ValidationSource::TemplateOrLookup)
    {
        const std::string templatePath = Platform::Paths::templatePath("LGP." + std::to_string(files.size()));
        RequireOutputIsNoInput(options.Output, std::span(&templatePath, 1));
        std::vector<std::uint8_t> bytes;
        try
        {
            bytes = ReadWholeFile(templatePath);
        }
        catch (const ELGPError&)
        {
            bytes.clear(); // no template: the table is computed
        }
        bool fits = false;
        if (IsUsableTemplate(bytes))
        {
            // A template indexes the names of the archive it came from: it
            // serves only when the game finds every name of this one through it.
            if (repeated)
                notes.push_back("The template " + templatePath
                                + " can't tell apart the copies of names repeated in sub-folders, so the lookup and "
                                  "conflict tables were computed instead.");
            else
            {
                const LookupCheck check = CheckLookup({names, std::vector<std::uint16_t>(names.size(), 0), bytes});
                fits = check.Lost == 0;
                if (!fits)
                    notes.push_back("The template " + templatePath + " would leave " + std::to_string(check.Lost)
                                    + " of " + std::to_string(check.Names)
                                    + " names lost to the game, so the lookup table was computed instead.");
            }
        }
        if (fits)
            build.ValidationData = std::move(bytes);
        else
        {
            order = LookupOrder(names);
            std::vector<std::string> tocNames;
            std::vector<std::string> tocFolders;
            for (const std::size_t k : order)
            {
                tocNames.push_back(names[k]);
                tocFolders.push_back(folders[k]);
            }
            std::vector<std::uint8_t> validation = ComputeLookupData(tocNames);
            const ConflictTableData conflicts = ComputeConflictTable(tocNames, tocFolders);
            validation.resize(LookupTableSize);
            validation.insert(validation.end(), conflicts.Bytes.begin(), conflicts.Bytes.end());
            build.ValidationData = std::move(validation);
            fields = conflicts.Fields;
        }
    }
    for (std::size_t i = 0; i < order.size(); ++i)
    {
        const TreeFile& file = files[order[i]];
        build.Entries->push_back({.Path = file.Path, .Name = FieldFromName(file.Name), .Conflict = fields[i]});
    }
    NoteLeftOut(notes, hidden, tree.Outside);
    BuildArchive(build);
    return notes;
}

void CreateArchiveFromFolder(const std::string& folder, const std::string& output, bool deleteSources,
                             bool useValidationData)
{
    CreateArchive({.Folder = folder,
                   .Output = output,
                   .DeleteSources = deleteSources,
                   .Validation = useValidationData ? ValidationSource::TemplateOrLookup : ValidationSource::None});
}
