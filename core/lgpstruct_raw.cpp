// The raw archive editor: TOC entries rewritten one by one, data entries found
// by scanning the data region front to back, and in-place rewrite, append and
// truncate that keep the trailing text behind the last data entry.
#include "lgpstruct.h"
#include "lgpstruct_internal.h"

#include <algorithm>

using namespace lgp::detail;

namespace
{
    // Forward-only reads through a window, so the scan of many small data
    // entries costs a read per 64 KB instead of two per entry.
    class ScanReader
    {
    public:
        ScanReader(const Platform::File::ScopedHandle& fd, std::int64_t size)
            : mFd(fd)
            , mSize(size)
        {
        }

        // Exactly count bytes at pos, or "Stream read error".
        const std::uint8_t* At(std::int64_t pos, std::size_t count)
        {
            const auto n = static_cast<std::int64_t>(count);
            if (pos < mStart || pos + n > mStart + static_cast<std::int64_t>(mWindow.size()))
            {
                if (pos < 0 || pos + n > mSize)
                    lgp::FailRead();
                mStart = pos;
                mWindow.resize(static_cast<std::size_t>(std::min<std::int64_t>(mSize - pos, 64 * 1024)));
                ReadAt(mFd, mWindow.data(), mWindow.size(), pos);
            }
            return mWindow.data() + (pos - mStart);
        }

    private:
        const Platform::File::ScopedHandle& mFd;
        std::int64_t mSize;
        std::int64_t mStart = 0;
        std::vector<std::uint8_t> mWindow;
    };
}

TRawLGPFile::TRawLGPFile(const std::string& path, RawEditorVariant variant)
    : mFile(path, FileMode::OpenReadWrite, Platform::File::Share::DenyWrite)
    , mVariant(variant)
{
    const auto& fd = mFile.Handle();
    const std::int64_t size = mFile.Size();

    ArchiveHead archiveHead = ReadArchiveHead(fd, size);
    mCreator = std::move(archiveHead.Creator);
    mFileCount = archiveHead.FileCount;
    const std::vector<std::uint8_t>& toc = archiveHead.Toc;
    const std::int64_t count = std::max<std::int32_t>(mFileCount, 0);
    mToc.reserve(static_cast<std::size_t>(count));
    std::int64_t smallest = size;
    for (std::int64_t i = 0; i < count; ++i)
    {
        mToc.push_back(DecodeTocEntry(toc.data() + i * TocEntrySize));
        smallest = std::min<std::int64_t>(smallest, mToc.back().Offset);
    }

    // The bytes between the TOC and the first data entry are validation data.
    std::int64_t pos = HeaderSize + count * TocEntrySize;
    if (pos < smallest)
        pos = smallest;

    // Every recorded entry takes at least its 24-byte header and the position
    // only moves forwards, so the scan ends and the list stays within size / 24.
    ScanReader reader(fd, size);
    // Usually one data entry per TOC entry; a guess, never more than the file can hold.
    const std::int64_t guess = std::min<std::int64_t>(count + count / 8 + 16, (size - pos) / DataHeaderSize + 1);
    mData.reserve(static_cast<std::size_t>(guess));
    // Positions are signed 32-bit: nothing past 2,147,483,647 bytes is a data entry.
    while (size - pos > DataHeaderSize && pos <= MaxArchiveSize - DataHeaderSize)
    {
        const std::uint8_t* head = reader.At(pos, GapMarkerSize);
        const auto magic = static_cast<std::uint32_t>(GetLE32(head));
        const std::int32_t gap = GetLE32(head + 4);
        if (magic == GapMagic && gap != 0)
        {
            // A gap that points backwards would revisit data already scanned.
            if (gap < 0)
                break;
            pos += gap;
            if (!mData.empty())
                mData.back().Room = static_cast<std::int32_t>(
                    std::min<std::int64_t>(std::int64_t(mData.back().Length) + gap, RoomUnlimited));
        }
        else if (!mData.empty())
        {
            mData.back().Room = mData.back().Length;
        }

        head = reader.At(pos, DataHeaderSize);
        const std::int32_t length = GetLE32(head + 20);
        // A negative Length would send the scan backwards. The scan stops at this
        // header; it and everything after it stay in the file as trailing text.
        if (length < 0)
            break;
        RawDataEntry entry;
        entry.Name = FieldAt(head);
        entry.Length = length;
        entry.Position = static_cast<std::int32_t>(pos);
        entry.Room = length;
        mData.push_back(entry);
        pos += DataHeaderSize + length;
    }
    if (!mData.empty())
        mData.back().Room = RoomUnlimited;

    if (pos < size)
    {
        mTrailingText.resize(static_cast<std::size_t>(size - pos));
        ReadAt(fd, mTrailingText.data(), mTrailingText.size(), pos);
    }
}

TOCEntry TRawLGPFile::GetTableEntry(std::int32_t index) const
{
    if (index < 0 || static_cast<std::size_t>(index) >= mToc.size())
        lgp::FailListIndex(index);
    return mToc[static_cast<std::size_t>(index)];
}

void TRawLGPFile::SetTableEntry(std::int32_t index, const TOCEntry& entry)
{
    if (index < 0 || static_cast<std::size_t>(index) >= mToc.size())
        lgp::FailListIndex(index);
    mToc[static_cast<std::size_t>(index)] = entry;
    std::uint8_t bytes[TocEntrySize];
    EncodeTocEntry(entry, bytes);
    WriteAt(mFile.Handle(), bytes, sizeof bytes, HeaderSize + std::int64_t(index) * TocEntrySize);
}

void TRawLGPFile::SetTableEntries(const std::vector<TOCEntry>& entries)
{
    if (entries.size() != mToc.size())
        lgp::FailListIndex(static_cast<std::int64_t>(entries.size()));
    std::vector<std::uint8_t> bytes(entries.size() * TocEntrySize);
    for (std::size_t i = 0; i < entries.size(); ++i)
        EncodeTocEntry(entries[i], bytes.data() + i * TocEntrySize);
    mToc = entries;
    if (!bytes.empty())
        WriteAt(mFile.Handle(), bytes.data(), bytes.size(), HeaderSize);
}

RawDataEntry TRawLGPFile::GetDataEntry(std::int32_t index) const
{
    if (index < 0 || static_cast<std::size_t>(index) >= mData.size())
        lgp::FailListIndex(index);
    return mData[static_cast<std::size_t>(index)];
}

void TRawLGPFile::ReadEntryData(std::int32_t tableIndex, TStream& dest)
{
    ReadDataEntryAt(mFile, GetTableEntry(tableIndex).Offset, dest);
}

namespace
{
    void CheckNewData(const RawDataEntry& entry)
    {
        // The record must carry exactly the bytes it announces: fewer would
        // be read from beyond the caller's buffer.
        if (entry.Length < 0 || entry.Data.size() != static_cast<std::size_t>(entry.Length))
            lgp::Fail("The data for \"" + entry.NameString() + "\" does not match its Length (" +
                      std::to_string(entry.Length) + ").");
    }
}

void TRawLGPFile::WriteEntryAt(std::int64_t position, const RawDataEntry& entry)
{
    std::uint8_t header[DataHeaderSize];
    EncodeDataHeader(entry.Name, entry.Length, header);
    WriteAt(mFile.Handle(), header, sizeof header, position);
    if (!entry.Data.empty())
        WriteAt(mFile.Handle(), entry.Data.data(), entry.Data.size(), position + DataHeaderSize);
    mFile.SetPosition(position + DataHeaderSize + entry.Length);
}

void TRawLGPFile::WriteTrailingAt(std::int64_t position)
{
    if (!mTrailingText.empty())
        WriteAt(mFile.Handle(), mTrailingText.data(), mTrailingText.size(), position);
    mFile.SetSize(position + static_cast<std::int64_t>(mTrailingText.size()));
}

void TRawLGPFile::WriteGapMarker(std::int64_t position, std::int32_t gap)
{
    std::uint8_t marker[GapMarkerSize];
    PutLE32(marker, static_cast<std::int32_t>(GapMagic));
    PutLE32(marker + 4, gap);
    WriteAt(mFile.Handle(), marker, sizeof marker, position);
}

bool TRawLGPFile::RewriteDataEntry(std::int32_t index, const RawDataEntry& entry)
{
    if (index < 0 || static_cast<std::size_t>(index) >= mData.size())
        lgp::FailListIndex(index);
    CheckNewData(entry);
    RawDataEntry& held = mData[static_cast<std::size_t>(index)];
    const bool last = static_cast<std::size_t>(index) == mData.size() - 1;
    const std::int64_t end = std::int64_t(held.Position) + DataHeaderSize + entry.Length;
    // Offsets are signed 32-bit: the archive can't grow past 2,147,483,647 bytes.
    const bool tooLarge = end + static_cast<std::int64_t>(mTrailingText.size()) > MaxArchiveSize;

    if (mVariant == RawEditorVariant::Stub)
    {
        // No growing in place; a shrink must leave room for the gap marker.
        if (entry.Length != held.Length && entry.Length > std::int64_t(held.Length) - GapMarkerSize)
            return false;
        if (tooLarge)
            lgp::FailWrite();
        const std::int32_t oldLength = held.Length;
        WriteEntryAt(held.Position, entry);
        held.Name = entry.Name;
        held.Length = entry.Length;
        if (entry.Length < oldLength)
        {
            if (last)
                WriteTrailingAt(end);
            else
                WriteGapMarker(end, oldLength - entry.Length);
        }
        return true;
    }

    // 8 bytes stay free for the gap marker: a shorter entry leaves at least 8
    // bytes of its space free, or none.
    if (!last && entry.Length != held.Length && entry.Length > std::int64_t(held.Room) - GapMarkerSize)
        return false;
    const std::int64_t gap = std::int64_t(held.Room) - entry.Length;
    // A damaged marker with a gap below 8 leaves no room for a new marker: writing
    // one would overwrite the next data entry's header.
    if (!last && gap > 0 && gap < GapMarkerSize)
        return false;
    if (tooLarge)
        lgp::FailWrite();
    WriteEntryAt(held.Position, entry);
    held.Name = entry.Name;
    held.Length = entry.Length;
    if (gap == 0)
        return true;
    if (last)
        WriteTrailingAt(end);
    else
        WriteGapMarker(end, static_cast<std::int32_t>(gap));
    return true;
}

std::int32_t TRawLGPFile::AppendDataEntry(const RawDataEntry& entry)
{
    if (mData.empty())
        lgp::FailListIndex(-1);
    CheckNewData(entry);
    RawDataEntry& lastEntry = mData.back();
    const std::int64_t position = std::int64_t(lastEntry.Position) + DataHeaderSize + lastEntry.Length;
    if (position + DataHeaderSize + entry.Length + static_cast<std::int64_t>(mTrailingText.size()) > MaxArchiveSize)
        lgp::FailWrite();
    lastEntry.Room = lastEntry.Length;
    WriteEntryAt(position, entry);
    WriteTrailingAt(position + DataHeaderSize + entry.Length);

    RawDataEntry added;
    added.Name = entry.Name;
    added.Length = entry.Length;
    added.Position = static_cast<std::int32_t>(position);
    added.Room = RoomUnlimited;
    mData.push_back(added);
    return static_cast<std::int32_t>(mData.size() - 1);
}

void TRawLGPFile::TruncateData(std::int32_t index)
{
    if (mVariant == RawEditorVariant::Stub)
        lgp::Fail("Truncating is not available in the self-extractor's archive editor.");
    if (index < 0 || static_cast<std::size_t>(index) >= mData.size())
        lgp::FailListIndex(index);
    const std::int64_t position = mData[static_cast<std::size_t>(index)].Position;
    mFile.SetSize(position + static_cast<std::int64_t>(mTrailingText.size()));
    if (!mTrailingText.empty())
        WriteAt(mFile.Handle(), mTrailingText.data(), mTrailingText.size(), position);
    mData.resize(static_cast<std::size_t>(index));
}
