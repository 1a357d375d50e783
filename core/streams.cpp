#include "streams.h"

#include "errors/errors.h"
#include "lebytes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace
{
    // Staging and growth step of copies that can't go straight from memory or
    // through the kernel.
    constexpr std::size_t CopyChunk = 1 << 20;

    // How many of count bytes a source of size bytes holds from position on.
    std::int64_t Available(std::int64_t size, std::int64_t position, std::int64_t count)
    {
        if (position < 0 || count <= 0)
            return 0;
        return std::clamp<std::int64_t>(size - position, 0, count);
    }

    // Up to count bytes of bytes from position on; how many there were.
    std::size_t ReadFromMemory(std::span<const std::uint8_t> bytes, std::int64_t position, void* buffer,
                               std::size_t count)
    {
        const std::int64_t n =
            Available(static_cast<std::int64_t>(bytes.size()), position, static_cast<std::int64_t>(count));
        if (n > 0)
            std::memcpy(buffer, bytes.data() + position, static_cast<std::size_t>(n));
        return static_cast<std::size_t>(n);
    }
}

void TByteSource::ReadAt(std::int64_t position, void* buffer, std::size_t count) const
{
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (count > 0)
    {
        const std::size_t n = ReadSomeAt(position, out, count);
        if (n == 0)
            lgp::FailRead();
        out += n;
        position += static_cast<std::int64_t>(n);
        count -= n;
    }
}

std::int64_t TByteSource::CopyIn(std::int64_t position, const TByteSource& from, std::int64_t fromPosition,
                                 std::int64_t count)
{
    if (count <= 0 || fromPosition < 0)
        return 0;
    if (const std::uint8_t* memory = from.Memory())
    {
        // Straight from the source's memory: no staging buffer.
        const std::int64_t n = Available(from.Size(), fromPosition, count);
        if (n > 0)
            WriteAt(position, memory + fromPosition, static_cast<std::size_t>(n));
        return n;
    }
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::int64_t>(count, CopyChunk)));
    std::int64_t copied = 0;
    while (copied < count)
    {
        const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(count - copied, CopyChunk));
        // A read may come back short before the end; only 0 means the end.
        const std::size_t got = from.ReadSomeAt(fromPosition + copied, buffer.data(), want);
        if (got == 0)
            break;
        WriteAt(position + copied, buffer.data(), got);
        copied += static_cast<std::int64_t>(got);
    }
    return copied;
}

void TByteSource::SetSize(std::int64_t) { lgp::FailWrite(); }

void CopyBytes(const TByteSource& src, std::int64_t srcPos, TByteSource& dst, std::int64_t dstPos, std::int64_t count)
{
    if (count <= 0)
        return;
    if (srcPos < 0 || dst.CopyIn(dstPos, src, srcPos, count) < count)
        lgp::FailRead();
}

// ---------------------------------------------------------------------------

std::int64_t TFileSource::Size() const { return std::max<std::int64_t>(0, Platform::File::size(mHandle)); }

std::size_t TFileSource::ReadSomeAt(std::int64_t position, void* buffer, std::size_t count) const
{
    if (position < 0 || count == 0)
        return 0;
    const std::int64_t n = Platform::File::readSome(mHandle, buffer, count, position);
    if (n < 0)
        lgp::FailRead();
    return static_cast<std::size_t>(n);
}

void TFileSource::FailWriting() const { lgp::FailWriting(mName, errno, mStaged); }

void TFileSource::WriteAt(std::int64_t position, const void* data, std::size_t count)
{
    if (count == 0)
        return;
    if (position < 0)
        lgp::FailWrite();
    if (!Platform::File::writeAt(mHandle, data, count, position))
        FailWriting();
}

std::int64_t TFileSource::CopyIn(std::int64_t position, const TByteSource& from, std::int64_t fromPosition,
                                 std::int64_t count)
{
    const Platform::File::ScopedHandle* file = from.FileHandle();
    if (!file || count <= 0 || fromPosition < 0)
        return TByteSource::CopyIn(position, from, fromPosition, count);
    // File to file: in the kernel where the system can.
    const std::int64_t copied = Platform::File::copyRange(*file, fromPosition, mHandle, position, count);
    if (copied < 0)
        FailWriting();
    return copied;
}

void TFileSource::SetSize(std::int64_t size)
{
    if (!Platform::File::setSize(mHandle, size))
        FailWriting();
}

void TFileSource::Sync() const
{
    if (!Platform::File::sync(mHandle))
        FailWriting();
}

// ---------------------------------------------------------------------------

std::size_t TMemorySource::ReadSomeAt(std::int64_t position, void* buffer, std::size_t count) const
{
    return ReadFromMemory(mBytes, position, buffer, count);
}

void TMemorySource::WriteAt(std::int64_t, const void*, std::size_t) { lgp::FailWrite(); }

// ---------------------------------------------------------------------------

std::size_t TMemoryBuffer::ReadSomeAt(std::int64_t position, void* buffer, std::size_t count) const
{
    return ReadFromMemory(mBytes, position, buffer, count);
}

void TMemoryBuffer::WriteAt(std::int64_t position, const void* data, std::size_t count)
{
    if (count == 0)
        return;
    if (position < 0)
        lgp::FailWrite();
    const std::size_t end = static_cast<std::size_t>(position) + count;
    if (end > mBytes.size())
        mBytes.resize(end);
    std::memcpy(mBytes.data() + position, data, count);
}

std::int64_t TMemoryBuffer::CopyIn(std::int64_t position, const TByteSource& from, std::int64_t fromPosition,
                                   std::int64_t count)
{
    if (from.Memory() || count <= 0 || fromPosition < 0)
        return TByteSource::CopyIn(position, from, fromPosition, count);
    if (position < 0)
        lgp::FailWrite();
    // Straight into the buffer, growing it a chunk at a time so a hostile
    // count never reserves more than the source actually holds.
    if (static_cast<std::size_t>(position) > mBytes.size())
        mBytes.resize(static_cast<std::size_t>(position));
    std::int64_t copied = 0;
    while (copied < count)
    {
        const std::size_t at = static_cast<std::size_t>(position + copied);
        const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(count - copied, CopyChunk));
        const std::size_t oldSize = mBytes.size();
        if (at + want > oldSize)
            mBytes.resize(at + want);
        std::size_t got = 0;
        try
        {
            got = from.ReadSomeAt(fromPosition + copied, mBytes.data() + at, want);
        }
        catch (...)
        {
            mBytes.resize(std::max(oldSize, at));
            throw;
        }
        if (got < want && at + want > oldSize)
            mBytes.resize(std::max(oldSize, at + got));
        copied += static_cast<std::int64_t>(got);
        if (got == 0)
            break;
    }
    return copied;
}

void TMemoryBuffer::Reserve(std::int64_t size)
{
    mBytes.reserve(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)));
}

void TMemoryBuffer::SetSize(std::int64_t size)
{
    mBytes.resize(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)));
}

// ---------------------------------------------------------------------------

std::size_t TStream::Read(void* buffer, std::size_t count)
{
    const std::size_t n = Source().ReadSomeAt(mPosition, buffer, count);
    mPosition += static_cast<std::int64_t>(n);
    return n;
}

std::size_t TStream::Write(const void* buffer, std::size_t count)
{
    Source().WriteAt(mPosition, buffer, count);
    mPosition += static_cast<std::int64_t>(count);
    return count;
}

std::int64_t TStream::Seek(std::int64_t offset, SeekOrigin origin)
{
    std::int64_t base = 0;
    if (origin == SeekOrigin::Current)
        base = mPosition;
    else if (origin == SeekOrigin::End)
        base = Size();
    mPosition = std::max<std::int64_t>(0, base + offset);
    return mPosition;
}

void TStream::SetSize(std::int64_t size)
{
    Source().SetSize(size);
    mPosition = std::min(mPosition, std::max<std::int64_t>(0, size));
}

void TStream::ReadBuffer(void* buffer, std::size_t count)
{
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (count > 0)
    {
        const std::size_t n = Read(out, count);
        if (n == 0)
            lgp::FailRead();
        out += n;
        count -= n;
    }
}

void TStream::WriteBuffer(const void* buffer, std::size_t count)
{
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    while (count > 0)
    {
        const std::size_t n = Write(in, count);
        if (n == 0)
            lgp::FailWrite();
        in += n;
        count -= n;
    }
}

void TStream::CopyFrom(TStream& source, std::int64_t count)
{
    if (count <= 0)
        return;
    const std::int64_t from = source.Position();
    const std::int64_t to = Position();
    const std::int64_t copied = Source().CopyIn(to, source.Source(), from, count);
    source.SetPosition(from + copied);
    SetPosition(to + copied);
    if (copied < count)
        lgp::FailRead();
}

void TStream::CopyFrom(const TByteSource& source, std::int64_t position, std::int64_t count)
{
    if (count <= 0)
        return;
    const std::int64_t to = Position();
    const std::int64_t copied = Source().CopyIn(to, source, position, count);
    SetPosition(to + copied);
    if (copied < count)
        lgp::FailRead();
}

std::int32_t TStream::ReadInt32()
{
    std::uint8_t b[4];
    ReadBuffer(b, 4);
    return lgp::GetLE<std::int32_t>(b, 0);
}

std::uint16_t TStream::ReadUInt16()
{
    std::uint8_t b[2];
    ReadBuffer(b, 2);
    return lgp::GetLE<std::uint16_t>(b, 0);
}

std::uint8_t TStream::ReadByte()
{
    std::uint8_t b;
    ReadBuffer(&b, 1);
    return b;
}

void TStream::WriteInt32(std::int32_t value)
{
    std::uint8_t b[4];
    lgp::PutLE(b, 0, value);
    WriteBuffer(b, 4);
}

// ---------------------------------------------------------------------------

TFileStream::TFileStream(const std::string& path, FileMode mode, Platform::File::Share share)
    : mPath(path)
{
    using Platform::File::Access;
    const Access access = mode == FileMode::OpenRead        ? Access::Read
                          : mode == FileMode::OpenReadWrite ? Access::ReadWrite
                                                            : Access::Create;
    mFile.Exchange(Platform::File::open(path, access, share));
    if (!mFile.Handle().valid())
    {
        if (mode == FileMode::Create)
            lgp::FailCreate(path);
        lgp::FailOpen(path);
    }
    // A reader opened for reading only has no write of its own to name.
    if (mode != FileMode::OpenRead)
        mFile.Describe(path, false);
}

TFileStream::TFileStream(std::string path, Platform::File::ScopedHandle handle)
    : mPath(std::move(path))
    , mFile(std::move(handle))
{
    mFile.Describe(mPath, false);
}

namespace
{
    // The new file beside target, or "Cannot create file %s" naming path.
    // lock: the file at target (if any) is opened as a writer of it, and goes
    // to locked; "Cannot open file %s" when another writer has it.
    Platform::File::ScopedHandle CreateBesideTarget(const std::string& path, const std::string& target, bool& replaces,
                                                    std::string& tempPath, bool lock,
                                                    Platform::File::ScopedHandle& locked)
    {
        if (!Platform::File::mayReplace(target))
            lgp::FailCreate(path);
        // An existing file lends the new one its permissions and owner.
        Platform::File::ScopedHandle existing =
            Platform::File::open(target, Platform::File::Access::Read,
                                 lock ? Platform::File::Share::DenyWrite : Platform::File::Share::DenyNone);
        if (lock && !existing.valid() && errno != ENOENT)
            lgp::FailOpen(path);
        replaces = existing.valid();
        Platform::File::ScopedHandle handle = Platform::File::createBeside(target, existing, tempPath);
        if (!handle.valid())
            lgp::FailCreateNew(path, true);
        if (lock)
            locked = std::move(existing);
        return handle;
    }
} // namespace

TNewFileStream::TNewFileStream(const std::string& path, bool lockReplaced)
    : TFileStream(path, Platform::File::ScopedHandle())
    , mTarget(Platform::File::resolvedPath(path))
{
    ExchangeHandle(CreateBesideTarget(path, mTarget, mReplaces, mTempPath, lockReplaced, mReplacedLock));
    // Until Commit, a failure leaves the file at path as it was.
    Source().Describe(path, true);
}

TNewFileStream::~TNewFileStream()
{
    if (!mCommitted)
    {
        ExchangeHandle(Platform::File::ScopedHandle());
        Platform::File::remove(mTempPath);
    }
}

void TNewFileStream::Commit(bool durable)
{
    // Only an existing file's contents are at stake if the machine stops
    // before the new data reaches the disk; a brand-new output skips the wait.
    if (mReplaces || durable)
        Source().Sync();
    if (!Platform::File::replace(mTempPath, mTarget))
        lgp::FailReplacing("Cannot create file " + FileName(), FileName(), errno,
                           Platform::File::inStickyFolder(mTarget));
    mCommitted = true;
}

namespace
{
    [[noreturn]] void FailOutputIsInput(const std::string& output, const std::string& input)
    {
        lgp::Fail(output + " is the same file as " + input + ", which this command reads. Nothing was written.");
    }
} // namespace

void RequireOutputIsNoInput(const std::string& output, std::span<const std::string> inputs)
{
    const std::ptrdiff_t same = Platform::File::firstSameFile(output, inputs);
    if (same >= 0)
        FailOutputIsInput(output, inputs[static_cast<std::size_t>(same)]);
}

void RequireOutputIsNoInput(const std::string& output, const TByteSource& input, const std::string& inputName)
{
    const Platform::File::ScopedHandle* handle = input.FileHandle();
    if (handle && Platform::File::sameFile(output, *handle))
        FailOutputIsInput(output, inputName);
}

// ---------------------------------------------------------------------------

void TMemoryStream::LoadFromFile(const std::string& path)
{
    mBuffer.Vector() = ReadWholeFile(path);
    mPosition = 0;
}

void TMemoryStream::SaveToFile(const std::string& path) const { WriteWholeFile(path, mBuffer.Vector()); }

std::vector<std::uint8_t> ReadWholeFile(const std::string& path)
{
    TFileStream file(path, FileMode::OpenRead);
    const std::int64_t size = file.Size();
    // Nothing the programs read whole (an entry's new data, a patch, a stub,
    // LZS data) can be larger than an archive can address.
    if (size > WholeFileMax)
        lgp::Fail(path + " is " + std::to_string(size)
                  + " bytes long, more than the 2,147,483,647 bytes an archive can address. Nothing was written.");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (size > 0)
        file.ReadBuffer(bytes.data(), bytes.size());
    return bytes;
}

void WriteWholeFile(const std::string& path, std::span<const std::uint8_t> bytes)
{
    TNewFileStream file(path);
    file.WriteBuffer(bytes);
    file.Commit();
}
