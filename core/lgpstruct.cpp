// The archive core: hooks, names, shared helpers and the index reader.
// The archive layout is described once, at the top of lgpstruct.h.
#include "lgpstruct.h"
#include "lgpstruct_internal.h"

#include <algorithm>

TProgressHook ProgressHook;
TMessageHook MessageHook;

namespace
{
    std::string NameList(const std::vector<std::string>& names)
    {
        std::string list;
        for (const auto& name : names)
            list += (list.empty() ? "" : ", ") + name;
        return list;
    }
} // namespace

std::string LeftoverTemporariesLine(const std::string& archivePath)
{
    const std::vector<std::string> found = Platform::File::leftoversBeside(archivePath, false);
    if (found.empty())
        return std::string();
    return "Leftover temporary files: " + std::to_string(found.size()) + " (" + NameList(found)
           + "), left by runs that were stopped; the next write of the archive removes them.";
}

void RemoveLeftoverTemporaries(const std::string& archivePath)
{
    const std::vector<std::string> removed = Platform::File::leftoversBeside(archivePath, true);
    if (!removed.empty() && MessageHook)
        MessageHook("Removed " + std::to_string(removed.size()) + " temporary file" + (removed.size() == 1 ? "" : "s")
                    + " that stopped runs had left beside " + archivePath + ": " + NameList(removed) + ".");
}

ScopedProgressHook::ScopedProgressHook(TProgressHook hook)
    : mPrevious(std::move(ProgressHook))
{
    ProgressHook = std::move(hook);
}

ScopedProgressHook::~ScopedProgressHook() { ProgressHook = std::move(mPrevious); }

void ReportProgress(std::int32_t position, std::int32_t maximum)
{
    if (ProgressHook)
        ProgressHook(position, maximum);
}

// ---------------------------------------------------------------------------
// Names

std::string UpperAscii(std::string text)
{
    for (char& c : text)
    {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

bool SameNameAscii(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
    {
        char x = a[i];
        char y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

std::string NameFromField(const NameField& field)
{
    // A field without a NUL is damaged; its 20 bytes are the whole name.
    const auto end = std::find(field.begin(), field.end(), '\0');
    return std::string(field.begin(), end);
}

NameField FieldFromName(const std::string& name)
{
    // 20 characters fill the field without a terminating NUL, as the game
    // and the reader take them.
    if (name.size() > NameFieldSize)
        lgp::Fail("The name \"" + name + "\" is too long for an archive entry (at most 20 characters).");
    NameField field{};
    std::copy(name.begin(), name.end(), field.begin());
    return field;
}

NameField PatchedDataName(const NameField& replaced)
{
    // The field holds 19 characters and the NUL: ".patch" takes 6 of them.
    constexpr std::size_t suffixLength = 6;
    std::string name = NameFromField(replaced);
    if (name.size() + suffixLength > NameFieldSize - 1)
        name.resize(NameFieldSize - 1 - suffixLength);
    return FieldFromName(name + ".patch");
}

NameKey MakeNameKey(const char* name, std::size_t length)
{
    NameKey key;
    for (std::size_t i = 0; i < length && i < NameFieldSize; ++i)
    {
        char c = name[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        key.Bytes[i] = c;
    }
    return key;
}

std::size_t NameKeyHash::operator()(const NameKey& key) const noexcept
{
    std::uint64_t h = 1469598103934665603ull;
    for (const char c : key.Bytes)
    {
        h ^= static_cast<std::uint8_t>(c);
        h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h);
}

bool IsPlainFileName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos;
}

void CheckPlainFileName(const std::string& name)
{
    if (!IsPlainFileName(name))
        lgp::Fail("The entry name \"" + name + "\" is not a plain file name; it cannot be written to a folder.");
}

// ---------------------------------------------------------------------------
// Shared helpers

namespace lgp::detail
{
    std::string CreatorFromField(std::span<const std::uint8_t> header)
    {
        constexpr std::size_t CreatorSize = 12;
        if (header.size() < CreatorSize)
            lgp::FailRead();
        std::size_t first = 0;
        while (first < CreatorSize && header[first] == 0)
            ++first;
        return std::string(reinterpret_cast<const char*>(header.data()) + first, CreatorSize - first);
    }

    TOCEntry DecodeTocEntry(std::span<const std::uint8_t> bytes, std::uint64_t offset)
    {
        TOCEntry entry;
        entry.Name = FieldAt(bytes, offset);
        entry.Offset = GetLE<std::int32_t>(bytes, offset + 20);
        entry.Type = GetLE<std::uint8_t>(bytes, offset + 24);
        entry.Reserved = GetLE<std::uint16_t>(bytes, offset + 25);
        return entry;
    }

    void EncodeTocEntry(const TOCEntry& entry, std::span<std::uint8_t> bytes, std::uint64_t offset)
    {
        PutLE(bytes, offset + 25, entry.Reserved); // the last field: the entry's room is checked first
        std::memcpy(bytes.data() + offset, entry.Name.data(), NameFieldSize);
        PutLE(bytes, offset + 20, entry.Offset);
        PutLE(bytes, offset + 24, entry.Type);
    }

    void EncodeDataHeader(const NameField& name, std::int32_t length, std::span<std::uint8_t> bytes,
                          std::uint64_t offset)
    {
        PutLE(bytes, offset + 20, length); // checks the whole header's room first
        std::memcpy(bytes.data() + offset, name.data(), NameFieldSize);
    }

    void WriteHeadWithToc(const TByteSource& archive, TFileSource& out, std::int64_t start,
                          const std::vector<TOCEntry>& toc)
    {
        CopyBytes(archive, 0, out, 0, start);
        std::vector<std::uint8_t> tocBytes(toc.size() * TocEntrySize);
        for (std::size_t i = 0; i < toc.size(); ++i)
            EncodeTocEntry(toc[i], tocBytes, std::uint64_t(i * TocEntrySize));
        if (!tocBytes.empty())
            out.WriteAt(HeaderSize, tocBytes.data(), tocBytes.size());
    }

    ArchiveReplacement::ArchiveReplacement(const std::string& path, const ScopedHandle& archive, std::int64_t size)
        : mPath(path)
        , mTarget(Platform::File::resolvedPath(path))
    {
        const std::optional<std::int64_t> room = Platform::File::freeSpace(mTarget);
        if (room && *room < size)
            lgp::Fail("There is not enough free disk space to rewrite " + path + " safely: " + std::to_string(size)
                      + " bytes are needed beside it. Nothing was changed.");
        mFile.Exchange(Platform::File::createBeside(mTarget, archive, mTempPath));
        if (!mFile.Handle().valid())
        {
            const int error = errno;
            lgp::Fail("Cannot create a temporary file beside " + path
                      + " to rewrite it safely: " + lgp::WriteFailureReason(error) + ". Nothing was changed.");
        }
        // The archive is untouched until Commit; the new file is deleted on failure.
        mFile.Describe(path, true);
    }

    ArchiveReplacement::~ArchiveReplacement()
    {
        if (!mCommitted)
        {
            mFile.Exchange(ScopedHandle());
            Platform::File::remove(mTempPath);
        }
    }

    void ArchiveReplacement::Commit(const TFileSource& file, ScopedHandle& original)
    {
        file.Sync();
        if (!Platform::File::replace(mTempPath, mTarget, original))
            lgp::FailReplacing("Cannot open file " + mPath, mPath, errno, Platform::File::inStickyFolder(mTarget));
        mCommitted = true;
    }
} // namespace lgp::detail

namespace lgp::detail
{
    ArchiveHead ReadArchiveHead(const TByteSource& file, std::int64_t size)
    {
        std::uint8_t header[HeaderSize];
        file.ReadAt(0, header, sizeof header);
        ArchiveHead head;
        head.Creator = CreatorFromField(header);
        head.FileCount = GetLE<std::int32_t>(header, 12);
        const std::int64_t count = std::max<std::int32_t>(head.FileCount, 0);
        // A count the file can't hold would end in a read error anyway; fail
        // before allocating for it.
        if (count > (size - HeaderSize) / TocEntrySize)
            lgp::FailRead();
        head.Toc.resize(static_cast<std::size_t>(count * TocEntrySize));
        if (!head.Toc.empty())
            file.ReadAt(HeaderSize, head.Toc.data(), head.Toc.size());
        return head;
    }

    void ReadDataEntryAt(const TByteSource& file, std::int32_t offset, TStream& dest)
    {
        std::uint8_t header[DataHeaderSize];
        file.ReadAt(offset, header, sizeof header);
        const std::int32_t length = GetLE<std::int32_t>(header, 20);
        // A negative Length describes no data; never size a buffer from it.
        if (length < 0)
            lgp::FailRead();
        const std::int64_t from = std::int64_t(offset) + DataHeaderSize;
        // Copy what the file holds, then fail for the rest: no buffer is sized
        // from a Length that runs past the end.
        const std::int64_t available = std::clamp<std::int64_t>(file.Size() - from, 0, length);
        dest.Source().Reserve(dest.Position() + available);
        dest.CopyFrom(file, from, available);
        if (available < length)
            lgp::FailRead();
    }
} // namespace lgp::detail

using namespace lgp::detail;

// ---------------------------------------------------------------------------
// Index reader

ArchiveBytesCheck CheckArchiveBytes(std::span<const std::uint8_t> bytes)
{
    ArchiveBytesCheck check;
    const std::uint64_t size = bytes.size();
    if (size < HeaderSize)
    {
        check.Fault = ArchiveBytesFault::HeaderCut;
        return check;
    }
    check.Creator = CreatorFromField(bytes);
    const auto count = check.FileCount = lgp::GetLE<std::int32_t>(bytes, 12);
    if (count < 0 || std::uint64_t(count) > (size - HeaderSize) / TocEntrySize)
    {
        check.Fault = ArchiveBytesFault::TocOutside;
        return check;
    }
    const std::uint64_t tocEnd = HeaderSize + TocEntrySize * std::uint64_t(count);
    for (std::int32_t i = 0; i < count && check.Fault == ArchiveBytesFault::None; ++i)
    {
        const TOCEntry entry = DecodeTocEntry(bytes, HeaderSize + TocEntrySize * std::uint64_t(i));
        const std::int32_t offset = entry.Offset;
        if (offset < 0 || std::uint64_t(offset) < tocEnd
            || !lgp::FieldFits(size, std::uint64_t(offset), DataHeaderSize))
            check.Fault = ArchiveBytesFault::OffsetOutside;
        else if (const auto length = lgp::GetLE<std::int32_t>(bytes, std::uint64_t(offset) + 20);
                 length < 0 || !lgp::FieldFits(size, std::uint64_t(offset) + DataHeaderSize, std::uint64_t(length)))
            check.Fault = ArchiveBytesFault::DataOutside;
        if (check.Fault != ArchiveBytesFault::None)
        {
            check.Entry = i;
            check.EntryName = entry.NameString();
        }
    }
    return check;
}

TLGPFile::TLGPFile(const std::string& path, bool readLengths)
{
    TFileStream file(path, FileMode::OpenRead, Platform::File::Share::DenyNone);
    Read(file.Source(), readLengths);
    mFileName = path;
}

TLGPFile::TLGPFile(std::shared_ptr<const TByteSource> source, const std::string& name, bool readLengths)
    : mSource(std::move(source))
{
    Read(*mSource, readLengths);
    mFileName = name;
}

TLGPFile TLGPFile::Held(const std::string& path, bool readLengths)
{
    Platform::File::ScopedHandle handle =
        Platform::File::open(path, Platform::File::Access::Read, Platform::File::Share::DenyNone);
    if (!handle.valid())
        lgp::FailOpen(path);
    return TLGPFile(std::make_shared<const TFileSource>(std::move(handle)), path, readLengths);
}

void TLGPFile::Read(const TByteSource& fd, bool readLengths)
{
    const std::int64_t size = fd.Size();

    ArchiveHead head = ReadArchiveHead(fd, size);
    mFileCount = head.FileCount;
    mCreator = std::move(head.Creator);
    mDescription.clear();
    const std::vector<std::uint8_t>& toc = head.Toc;
    const std::int64_t count = std::max<std::int32_t>(mFileCount, 0);

    const std::int32_t maximum = readLengths ? static_cast<std::int32_t>(std::min<std::int64_t>(2 * count, INT32_MAX))
                                             : static_cast<std::int32_t>(count);
    std::int32_t largestOffset = 0;
    mEntries.resize(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i)
    {
        const std::uint64_t at = static_cast<std::uint64_t>(i * TocEntrySize);
        LGPEntry& entry = mEntries[static_cast<std::size_t>(i)];
        entry.Name = NameFromField(FieldAt(toc, at));
        entry.Offset = lgp::GetLE<std::int32_t>(toc, at + 20);
        largestOffset = std::max(largestOffset, entry.Offset);
        ReportProgress(static_cast<std::int32_t>(i + 1), maximum);
    }

    // Ascending Offset, later table entries first among equal Offsets: the order
    // an insertion from the back of the list gives, without its quadratic cost
    // on a TOC stored in descending order. Sorted as packed 64-bit keys.
    {
        std::vector<std::uint64_t> keys(static_cast<std::size_t>(count));
        for (std::int64_t i = 0; i < count; ++i)
        {
            const auto offset = static_cast<std::uint32_t>(mEntries[static_cast<std::size_t>(i)].Offset) ^ 0x80000000u;
            keys[static_cast<std::size_t>(i)] = std::uint64_t(offset) << 32 | (0xFFFFFFFFu - std::uint32_t(i));
        }
        std::sort(keys.begin(), keys.end());
        mByOffset.resize(static_cast<std::size_t>(count));
        for (std::size_t k = 0; k < keys.size(); ++k)
            mByOffset[k] = static_cast<std::int32_t>(0xFFFFFFFFu - std::uint32_t(keys[k]));
    }

    if (readLengths)
    {
        const std::vector<std::uint8_t> headers = ReadDataHeaders(fd, size);
        bool descriptionRead = false;
        for (std::int64_t i = 0; i < count; ++i)
        {
            LGPEntry& entry = mEntries[static_cast<std::size_t>(i)];
            if (entry.Length == LengthBadOffset)
                continue;
            const std::uint64_t at = static_cast<std::uint64_t>(i * DataHeaderSize);
            entry.NameMismatch = !SameNameAscii(NameFromField(FieldAt(headers, at)), entry.Name);
            entry.Length = lgp::GetLE<std::int32_t>(headers, at + 20);

            if (entry.Offset == largestOffset && !descriptionRead)
            {
                descriptionRead = true;
                // A negative Length lies outside the format: no description then.
                const std::int64_t from = std::int64_t(entry.Offset) + DataHeaderSize + entry.Length;
                if (entry.Length >= 0 && from < size)
                {
                    mDescription.resize(static_cast<std::size_t>(std::min<std::int64_t>(255, size - from)));
                    fd.ReadAt(from, mDescription.data(), mDescription.size());
                }
            }
            ReportProgress(static_cast<std::int32_t>(count + i), maximum);
        }
    }
}

std::vector<std::uint8_t> TLGPFile::ReadDataHeaders(const TByteSource& fd, std::int64_t size)
{
    // The 24-byte data entry header of every entry, by table index. Entries
    // whose Offset leaves fewer than 24 bytes of file (or is negative) can't
    // hold one and are marked LengthBadOffset instead. Headers are read in
    // offset order, several per read where they lie close together, so a
    // large archive opens with a few hundred reads instead of one per entry.
    constexpr std::int64_t window = 64 * 1024;
    std::vector<std::uint8_t> headers(mEntries.size() * DataHeaderSize);
    std::vector<std::uint8_t> block;
    const auto valid = [&](const LGPEntry& e) {
        return e.Offset >= 0 && size >= std::int64_t(e.Offset) + DataHeaderSize;
    };
    std::size_t k = 0;
    while (k < mByOffset.size())
    {
        LGPEntry& first = mEntries[static_cast<std::size_t>(mByOffset[k])];
        if (!valid(first))
        {
            first.Length = LengthBadOffset;
            ++k;
            continue;
        }
        const std::int64_t start = first.Offset;
        std::int64_t end = start + DataHeaderSize;
        std::size_t j = k + 1;
        while (j < mByOffset.size())
        {
            const LGPEntry& next = mEntries[static_cast<std::size_t>(mByOffset[j])];
            if (!valid(next) || std::int64_t(next.Offset) + DataHeaderSize - start > window)
                break;
            end = std::int64_t(next.Offset) + DataHeaderSize;
            ++j;
        }
        block.resize(static_cast<std::size_t>(end - start));
        fd.ReadAt(start, block.data(), block.size());
        for (; k < j; ++k)
        {
            const auto index = static_cast<std::size_t>(mByOffset[k]);
            std::memcpy(headers.data() + index * DataHeaderSize, block.data() + (mEntries[index].Offset - start),
                        DataHeaderSize);
        }
    }
    return headers;
}

LGPEntry TLGPFile::GetEntry(std::int32_t index) const
{
    if (index < 0 || static_cast<std::size_t>(index) >= mEntries.size())
        lgp::FailListIndex(index);
    return mEntries[static_cast<std::size_t>(index)];
}

LGPEntry TLGPFile::GetEntryByOffset(std::int32_t index) const
{
    return mEntries[static_cast<std::size_t>(TableIndexByOffset(index))];
}

std::int32_t TLGPFile::TableIndexByOffset(std::int32_t index) const
{
    if (index < 0 || static_cast<std::size_t>(index) >= mByOffset.size())
        lgp::FailListIndex(index);
    return mByOffset[static_cast<std::size_t>(index)];
}

std::int32_t TLGPFile::FindEntry(const std::string& name) const
{
    if (!mByNameBuilt)
    {
        mByName.reserve(mEntries.size());
        for (std::size_t i = 0; i < mEntries.size(); ++i)
        {
            const std::string& n = mEntries[i].Name;
            mByName.emplace(MakeNameKey(n.data(), n.size()), static_cast<std::int32_t>(i));
        }
        mByNameBuilt = true;
    }
    // Stored names come from 20-byte fields and hold no NUL.
    if (name.size() > NameFieldSize || name.find('\0') != std::string::npos)
        return -1;
    const auto it = mByName.find(MakeNameKey(name.data(), name.size()));
    return it == mByName.end() ? -1 : it->second;
}

void TLGPFile::ReadEntryData(std::int32_t index, TStream& dest) const
{
    const LGPEntry entry = GetEntry(index);
    if (mSource)
    {
        ReadDataEntryAt(*mSource, entry.Offset, dest);
        return;
    }
    TFileStream file(mFileName, FileMode::OpenRead, Platform::File::Share::DenyNone);
    ReadDataEntryAt(file.Source(), entry.Offset, dest);
}
