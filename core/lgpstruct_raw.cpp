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
        ScanReader(const TByteSource& file, std::int64_t size)
            : mFile(file)
            , mSize(size)
        {
        }

        // Exactly count bytes at pos, or "Stream read error".
        std::span<const std::uint8_t> At(std::int64_t pos, std::size_t count)
        {
            const auto n = static_cast<std::int64_t>(count);
            if (pos < mStart || pos + n > mStart + static_cast<std::int64_t>(mWindow.size()))
            {
                if (pos < 0 || pos + n > mSize)
                    lgp::FailRead();
                mStart = pos;
                mWindow.resize(static_cast<std::size_t>(std::min<std::int64_t>(mSize - pos, 64 * 1024)));
                mFile.ReadAt(pos, mWindow.data(), mWindow.size());
            }
            return std::span<const std::uint8_t>(mWindow).subspan(static_cast<std::size_t>(pos - mStart), count);
        }

    private:
        const TByteSource& mFile;
        std::int64_t mSize;
        std::int64_t mStart = 0;
        std::vector<std::uint8_t> mWindow;
    };
}

TRawLGPFile::TRawLGPFile(const std::string& path, RawEditorVariant variant)
    : mFile(path, FileMode::OpenReadWrite, Platform::File::Share::DenyWrite)
    , mVariant(variant)
{
    const TFileSource& fd = mFile.Source();
    const std::int64_t size = mFile.Size();
    if (size > MaxArchiveSize)
        lgp::Fail("The archive " + path + " is " + std::to_string(size)
                  + " bytes long, more than the 2,147,483,647 bytes an archive can address. Nothing was changed.");
    // This writer holds the archive now: a temporary file beside it that no
    // one holds is a stopped run's.
    RemoveLeftoverTemporaries(path);

    ArchiveHead archiveHead = ReadArchiveHead(fd, size);
    mCreator = std::move(archiveHead.Creator);
    mFileCount = archiveHead.FileCount;
    const std::vector<std::uint8_t>& toc = archiveHead.Toc;
    const std::int64_t count = std::max<std::int32_t>(mFileCount, 0);
    mToc.reserve(static_cast<std::size_t>(count));
    std::int64_t smallest = size;
    for (std::int64_t i = 0; i < count; ++i)
    {
        mToc.push_back(DecodeTocEntry(toc, std::uint64_t(i * TocEntrySize)));
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
    // The scan ends where 24 bytes or fewer remain, where a gap jump leaves 24
    // bytes or fewer, and at a header whose Length is negative or runs past the
    // end of the file: from there on the file is trailing text, of any length.
    while (size - pos > DataHeaderSize && pos <= MaxArchiveSize - DataHeaderSize)
    {
        std::span<const std::uint8_t> head = reader.At(pos, GapMarkerSize);
        const auto magic = lgp::GetLE<std::uint32_t>(head, 0);
        const auto gap = lgp::GetLE<std::int32_t>(head, 4);
        // A marker is at least its own 8 bytes long: gap sizes 0 to 7 are no
        // marker, and these bytes start a data entry header.
        if (magic == GapMagic && gap < 0)
            break; // a gap that points backwards would revisit data already scanned
        if (magic == GapMagic && gap >= GapMarkerSize)
        {
            const std::int64_t next = pos + gap;
            // Where the gap leads past the end of the file the marker leads
            // nowhere: it and the bytes after it stay as trailing text.
            if (next > size)
                break;
            pos = next;
            if (!mData.empty())
                mData.back().Room = static_cast<std::int32_t>(
                    std::min<std::int64_t>(std::int64_t(mData.back().Length) + gap, RoomUnlimited));
            // The gap leads onto the trailing text.
            if (size - pos <= DataHeaderSize)
                break;
        }
        else if (!mData.empty())
        {
            mData.back().Room = mData.back().Length;
        }

        head = reader.At(pos, DataHeaderSize);
        // 24 zero bytes (no name, no data) are free space, not a data entry,
        // and so is every zero byte after them: a hole of any size is passed
        // over up to the next byte that can start a name, without a record for
        // every 24 bytes of it.
        if (std::all_of(head.begin(), head.end(), [](std::uint8_t b) { return b == 0; }))
        {
            if (!mData.empty())
                mData.back().Room = mData.back().Length;
            pos += DataHeaderSize;
            while (pos < size)
            {
                const auto block = reader.At(pos, static_cast<std::size_t>(std::min<std::int64_t>(size - pos, 4096)));
                const auto nonZero = std::find_if(block.begin(), block.end(), [](std::uint8_t b) { return b != 0; });
                pos += nonZero - block.begin();
                if (nonZero != block.end())
                    break;
            }
            continue;
        }
        const auto length = lgp::GetLE<std::int32_t>(head, 20);
        // A negative Length would send the scan backwards, and one that runs
        // past the end describes no data entry (a trailing text longer than 24
        // bytes reads as such a header). The scan stops at this header; it and
        // everything after it stay in the file as trailing text.
        if (length < 0 || pos + DataHeaderSize + length > size)
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

    // A long trailing text (a hole behind the data, say) stays in the file:
    // only its start is held, and writes copy it in blocks.
    mTrailingAt = pos;
    mTrailingSize = std::max<std::int64_t>(size - pos, 0);
    mTrailingText.resize(static_cast<std::size_t>(std::min<std::int64_t>(mTrailingSize, TrailingHeldMax)));
    if (!mTrailingText.empty())
        fd.ReadAt(pos, mTrailingText.data(), mTrailingText.size());
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
    RequireSoundOutsideRun();
    mToc[static_cast<std::size_t>(index)] = entry;
    std::uint8_t bytes[TocEntrySize];
    EncodeTocEntry(entry, bytes, 0);
    WriteAt(HeaderSize + std::int64_t(index) * TocEntrySize, bytes, sizeof bytes);
    Sync();
}

void TRawLGPFile::SetTableEntries(const std::vector<TOCEntry>& entries)
{
    if (entries.size() != mToc.size())
        lgp::FailListIndex(static_cast<std::int64_t>(entries.size()));
    // The same TOC again would write the same bytes.
    if (entries == mToc)
        return;
    if (!mOnCopy)
    {
        // Many entries in one write could reach the disk in part.
        RewriteAtomically([&] { SetTableEntries(entries); });
        return;
    }
    std::vector<std::uint8_t> bytes(entries.size() * TocEntrySize);
    for (std::size_t i = 0; i < entries.size(); ++i)
        EncodeTocEntry(entries[i], bytes, i * TocEntrySize);
    mToc = entries;
    if (!bytes.empty())
        WriteAt(HeaderSize, bytes.data(), bytes.size());
}

void TRawLGPFile::RewriteAtomically(const std::function<void()>& changes)
{
    if (mOnCopy)
    {
        changes();
        return;
    }
    const std::vector<TOCEntry> toc = mToc;
    const std::vector<RawDataEntry> data = mData;
    const std::vector<std::uint8_t> trailing = mTrailingText;
    const std::int64_t trailingAt = mTrailingAt;
    const std::int64_t size = mFile.Size();
    ArchiveReplacement replacement(mFile.FileName(), mFile.Handle(), size);
    CopyBytes(mFile.Source(), 0, replacement.File(), 0, size);
    // The archive stays open, and locked, until the copy is in its place.
    TFileSource original(mFile.ExchangeHandle(replacement.TakeFile()));
    mOnCopy = true;
    mWritten = false;
    mRunOriginal = &original;
    mRunTrailingAt = mTrailingAt;
    try
    {
        changes();
        if (mWritten)
        {
            ScopedHandle held = original.Exchange(ScopedHandle());
            try
            {
                replacement.Commit(mFile.Source(), held);
            }
            catch (...)
            {
                original.Exchange(std::move(held));
                throw;
            }
        }
        else
        {
            mFile.ExchangeHandle(original.Exchange(ScopedHandle()));
        }
        mOnCopy = false;
        mRunOriginal = nullptr;
    }
    catch (...)
    {
        mFile.ExchangeHandle(original.Exchange(ScopedHandle()));
        mToc = toc;
        mData = data;
        mTrailingText = trailing;
        mTrailingAt = trailingAt;
        mOnCopy = false;
        mRunOriginal = nullptr;
        // Every write went to the copy, which the replacement deletes.
        lgp::RethrowUnchanged();
    }
}

void TRawLGPFile::CopyTrailingText(TByteSource& out, std::int64_t position)
{
    if (mTrailingSize == static_cast<std::int64_t>(mTrailingText.size()))
    {
        if (!mTrailingText.empty())
            out.WriteAt(position, mTrailingText.data(), mTrailingText.size());
        return;
    }
    CopyBytes(mRunOriginal ? *mRunOriginal : mFile.Source(), mRunOriginal ? mRunTrailingAt : mTrailingAt, out, position,
              mTrailingSize);
}

RawDataEntry TRawLGPFile::GetDataEntry(std::int32_t index) const
{
    if (index < 0 || static_cast<std::size_t>(index) >= mData.size())
        lgp::FailListIndex(index);
    return mData[static_cast<std::size_t>(index)];
}

std::int32_t TRawLGPFile::DataIndexAt(std::span<const RawDataEntry> data, std::int32_t offset)
{
    const auto found = std::lower_bound(data.begin(), data.end(), offset,
                                        [](const RawDataEntry& entry, std::int32_t at) { return entry.Position < at; });
    return found != data.end() && found->Position == offset ? static_cast<std::int32_t>(found - data.begin()) : -1;
}

RawDataEntry NewDataEntry(const NameField& name, std::span<const std::uint8_t> data, const std::string& what)
{
    if (data.size() > static_cast<std::size_t>(MaxArchiveSize))
        lgp::Fail(what + " is too large for an archive entry.");
    RawDataEntry entry;
    entry.Name = name;
    entry.Length = static_cast<std::int32_t>(data.size());
    entry.Data = data;
    return entry;
}

void TRawLGPFile::ReadEntryData(std::int32_t tableIndex, TStream& dest)
{
    ReadDataEntryAt(mFile.Source(), GetTableEntry(tableIndex).Offset, dest);
}

namespace
{
    void CheckNewData(const RawDataEntry& entry)
    {
        // The record must carry exactly the bytes it announces: fewer would
        // be read from beyond the caller's buffer.
        if (entry.Length < 0 || entry.Data.size() != static_cast<std::size_t>(entry.Length))
            lgp::Fail("The data for \"" + entry.NameString() + "\" does not match its Length ("
                      + std::to_string(entry.Length) + ").");
    }
} // namespace

void TRawLGPFile::WriteAt(std::int64_t position, const void* data, std::size_t count)
{
    mWritten = true;
    mFile.Source().WriteAt(position, data, count);
}

void TRawLGPFile::SetFileSize(std::int64_t size)
{
    mWritten = true;
    mFile.SetSize(size);
}

void TRawLGPFile::Sync()
{
    if (!mOnCopy)
        mFile.Source().Sync();
}

void TRawLGPFile::WriteEntryAt(std::int64_t position, const RawDataEntry& entry)
{
    std::uint8_t header[DataHeaderSize];
    EncodeDataHeader(entry.Name, entry.Length, header);
    WriteAt(position, header, sizeof header);
    if (!entry.Data.empty())
        WriteAt(position + DataHeaderSize, entry.Data.data(), entry.Data.size());
    mFile.SetPosition(position + DataHeaderSize + entry.Length);
}

void TRawLGPFile::WriteTrailingAt(std::int64_t position)
{
    // A trailing text not held whole is copied from the archive a run started
    // from: the public operations move it only inside a run.
    if (mTrailingSize != static_cast<std::int64_t>(mTrailingText.size()) && !mRunOriginal)
        lgp::FailWrite();
    mWritten = true;
    CopyTrailingText(mFile.Source(), position);
    SetFileSize(position + mTrailingSize);
    mTrailingAt = position;
}

void TRawLGPFile::WriteGapMarker(std::int64_t position, std::int32_t gap)
{
    std::uint8_t marker[GapMarkerSize];
    lgp::PutLE(marker, 0, GapMagic);
    lgp::PutLE(marker, 4, gap);
    WriteAt(position, marker, sizeof marker);
}

bool TRawLGPFile::FitsInPlace(RawEditorVariant variant, const RawDataEntry& held, bool last, std::int64_t length)
{
    // The stub's older rule: no growing in place; a shrink must leave room for
    // the gap marker.
    if (variant == RawEditorVariant::Stub)
        return length == held.Length || length <= std::int64_t(held.Length) - GapMarkerSize;
    if (last)
        return true;
    // 8 bytes stay free for the gap marker: a shorter entry leaves at least 8
    // bytes of its space free, or none.
    if (length != held.Length && length > std::int64_t(held.Room) - GapMarkerSize)
        return false;
    // A damaged marker with a gap below 8 leaves no room for a new marker: writing
    // one would overwrite the next data entry's header.
    const std::int64_t gap = std::int64_t(held.Room) - length;
    return gap == 0 || gap >= GapMarkerSize;
}

std::optional<RawDataEntry> TRawLGPFile::ReadableDataEntryAt(std::int32_t offset)
{
    const std::int64_t size = mFile.Size();
    if (offset < 0 || std::int64_t(offset) + DataHeaderSize > size)
        return std::nullopt;
    std::uint8_t header[DataHeaderSize];
    mFile.Source().ReadAt(offset, header, sizeof header);
    const auto length = lgp::GetLE<std::int32_t>(header, 20);
    if (length < 0 || std::int64_t(offset) + DataHeaderSize + length > size)
        return std::nullopt;
    RawDataEntry entry;
    entry.Name = FieldAt(header);
    entry.Length = length;
    entry.Position = offset;
    entry.Room = length;
    return entry;
}

void TRawLGPFile::RequireScannedTableOffsets()
{
    for (std::size_t i = 0; i < mToc.size(); ++i)
    {
        const TOCEntry& toc = mToc[i];
        if (DataIndexAt(toc.Offset) >= 0 || !ReadableDataEntryAt(toc.Offset))
            continue;
        lgp::Fail("The archive " + FileName() + " is damaged: the TOC entry \"" + toc.NameString() + "\" (number "
                  + std::to_string(i + 1)
                  + ") points at data that the scan of its data entries does not reach. Nothing was changed; run "
                    "Repair on it first.");
    }
}

void TRawLGPFile::RequireSoundOutsideRun()
{
    // A run's caller checked the archive before it began; the run's own
    // changes keep every TOC entry on data the scan found.
    if (!mOnCopy)
        RequireScannedTableOffsets();
}

bool TRawLGPFile::RewriteDataEntry(std::int32_t index, const RawDataEntry& entry)
{
    if (mOnCopy)
        return Rewrite(index, entry, true);
    RequireScannedTableOffsets();
    // Writing over data that TOC entries reach: on a copy, and only when it fits.
    if (!Rewrite(index, entry, false))
        return false;
    RewriteAtomically([&] { Rewrite(index, entry, true); });
    return true;
}

bool TRawLGPFile::Rewrite(std::int32_t index, const RawDataEntry& entry, bool write)
{
    if (index < 0 || static_cast<std::size_t>(index) >= mData.size())
        lgp::FailListIndex(index);
    CheckNewData(entry);
    RawDataEntry& held = mData[static_cast<std::size_t>(index)];
    const bool last = static_cast<std::size_t>(index) == mData.size() - 1;
    const std::int64_t end = std::int64_t(held.Position) + DataHeaderSize + entry.Length;
    const bool tooLarge = !FitsArchiveSize(held.Position, entry.Length, mTrailingSize);

    if (!FitsInPlace(mVariant, held, last, entry.Length))
        return false;
    if (mVariant == RawEditorVariant::Stub)
    {
        if (tooLarge)
            lgp::FailWrite();
        if (!write)
            return true;
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

    const std::int64_t gap = std::int64_t(held.Room) - entry.Length;
    if (tooLarge)
        lgp::FailWrite();
    if (!write)
        return true;
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
    RequireSoundOutsideRun();
    const std::int64_t position = AppendPosition(mData);
    const std::int64_t end = position + DataHeaderSize + entry.Length;
    if (!FitsArchiveSize(position, entry.Length, mTrailingSize))
        lgp::FailWrite();
    if (!mOnCopy && !TrailingHeld())
    {
        // A trailing text too long to hold moves on a copy: a failed append
        // could not put it back.
        std::int32_t index = -1;
        RewriteAtomically([&] { index = AppendDataEntry(entry); });
        return index;
    }
    // The header bytes that the old trailing text covers go last: until they
    // are written and synced, a TOC entry still pointing there (after a
    // truncation) reaches no data, or the complete new data.
    std::uint8_t header[DataHeaderSize];
    EncodeDataHeader(entry.Name, entry.Length, header);
    const auto covered = static_cast<std::size_t>(std::min<std::int64_t>(DataHeaderSize, mTrailingSize));
    try
    {
        if (covered < sizeof header)
            WriteAt(position + static_cast<std::int64_t>(covered), header + covered, sizeof header - covered);
        if (!entry.Data.empty())
            WriteAt(position + DataHeaderSize, entry.Data.data(), entry.Data.size());
        WriteTrailingAt(end);
        Sync();
        if (covered > 0)
        {
            WriteAt(position, header, covered);
            Sync();
        }
    }
    catch (const ELGPError&)
    {
        if (mOnCopy)
            throw;
        // The old end of the file back, as far as it can be; when it is, the
        // archive is byte for byte as before (nothing below position was written).
        const bool putBack =
            (mFile.Size() <= position || mTrailingText.empty()
             || Platform::File::writeAt(mFile.Handle(), mTrailingText.data(), mTrailingText.size(), position))
            && Platform::File::setSize(mFile.Handle(), position + static_cast<std::int64_t>(mTrailingText.size()));
        if (putBack)
            lgp::RethrowUnchanged();
        throw;
    }
    mFile.SetPosition(end);
    return RecordAppend(mData, position, entry);
}

bool TRawLGPFile::FitsArchiveSize(std::int64_t position, std::int64_t length, std::int64_t trailing)
{
    return position + DataHeaderSize + length + trailing <= MaxArchiveSize;
}

std::int64_t TRawLGPFile::AppendPosition(std::span<const RawDataEntry> data)
{
    const RawDataEntry& last = data.back();
    return std::int64_t(last.Position) + DataHeaderSize + last.Length;
}

std::int32_t TRawLGPFile::RecordAppend(std::vector<RawDataEntry>& data, std::int64_t position,
                                       const RawDataEntry& entry)
{
    data.back().Room = data.back().Length;
    RawDataEntry added;
    added.Name = entry.Name;
    added.Length = entry.Length;
    added.Position = static_cast<std::int32_t>(position);
    added.Room = RoomUnlimited;
    data.push_back(added);
    return static_cast<std::int32_t>(data.size() - 1);
}

void TRawLGPFile::TruncateData(std::int32_t index)
{
    if (mVariant == RawEditorVariant::Stub)
        lgp::Fail("Truncating is not available in the self-extractor's archive editor.");
    if (index < 0 || static_cast<std::size_t>(index) >= mData.size())
        lgp::FailListIndex(index);
    RequireSoundOutsideRun();
    if (!mOnCopy && !TrailingHeld())
    {
        RewriteAtomically([&] { TruncateData(index); });
        return;
    }
    const std::int64_t position = mData[static_cast<std::size_t>(index)].Position;
    // Cut first, then the trailing text: no moment leaves a data entry's
    // header in the file without its data.
    SetFileSize(position);
    WriteTrailingAt(position);
    Sync();
    mData.resize(static_cast<std::size_t>(index));
}
