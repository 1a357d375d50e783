#include "streams.h"

#include "errors/errors.h"

#include <algorithm>
#include <cstring>

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
    if (auto* memory = dynamic_cast<TMemoryStream*>(&source))
    {
        // Straight from the source's memory: no staging buffer.
        const std::int64_t position = memory->Position();
        const std::int64_t available = std::max<std::int64_t>(0, memory->Size() - position);
        const std::int64_t n = std::min(count, available);
        if (n > 0)
            WriteBuffer(memory->Memory() + position, static_cast<std::size_t>(n));
        memory->Seek(n, SeekOrigin::Current);
        if (n < count)
            lgp::FailRead();
        return;
    }
    constexpr std::size_t chunk = 1 << 20;
    if (auto* target = dynamic_cast<TMemoryStream*>(this))
    {
        // Straight into the target's memory, growing it a chunk at a time so a
        // hostile count never reserves more than the source actually holds.
        std::vector<std::uint8_t>& bytes = target->Vector();
        std::int64_t position = target->Position();
        if (static_cast<std::size_t>(position) > bytes.size())
            bytes.resize(static_cast<std::size_t>(position));
        while (count > 0)
        {
            const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(count, chunk));
            const std::size_t end = static_cast<std::size_t>(position) + want;
            const std::size_t oldSize = bytes.size();
            if (end > oldSize)
                bytes.resize(end);
            const std::size_t got = source.Read(bytes.data() + position, want);
            if (got < want && end > oldSize)
                bytes.resize(std::max(oldSize, static_cast<std::size_t>(position) + got));
            position += static_cast<std::int64_t>(got);
            target->SetPosition(position);
            if (got == 0)
                lgp::FailRead();
            count -= static_cast<std::int64_t>(got);
        }
        return;
    }
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::int64_t>(count, chunk)));
    while (count > 0)
    {
        const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(count, chunk));
        const std::size_t got = source.Read(buffer.data(), want);
        if (got > 0)
            WriteBuffer(buffer.data(), got);
        // A read may come back short before the end; only 0 means the end.
        if (got == 0)
            lgp::FailRead();
        count -= static_cast<std::int64_t>(got);
    }
}

std::int32_t TStream::ReadInt32()
{
    std::uint8_t b[4];
    ReadBuffer(b, 4);
    return static_cast<std::int32_t>(std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
                                     std::uint32_t(b[3]) << 24);
}

std::uint16_t TStream::ReadUInt16()
{
    std::uint8_t b[2];
    ReadBuffer(b, 2);
    return static_cast<std::uint16_t>(b[0] | b[1] << 8);
}

std::uint8_t TStream::ReadByte()
{
    std::uint8_t b;
    ReadBuffer(&b, 1);
    return b;
}

void TStream::WriteInt32(std::int32_t value)
{
    const auto v = static_cast<std::uint32_t>(value);
    const std::uint8_t b[4] = {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
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
    mHandle = Platform::File::open(path, access, share);
    if (!mHandle.valid())
    {
        if (mode == FileMode::Create)
            lgp::FailCreate(path);
        lgp::FailOpen(path);
    }
}

TFileStream::TFileStream(std::string path, Platform::File::ScopedHandle handle)
    : mPath(std::move(path))
    , mHandle(std::move(handle))
{
}

namespace
{
    // The new file beside target, or "Cannot create file %s" naming path.
    Platform::File::ScopedHandle CreateBesideTarget(const std::string& path, const std::string& target,
        bool& replaces, std::string& tempPath)
    {
        if (!Platform::File::mayReplace(target))
            lgp::FailCreate(path);
        // An existing file lends the new one its permissions and owner.
        const Platform::File::ScopedHandle existing =
            Platform::File::open(target, Platform::File::Access::Read, Platform::File::Share::DenyNone);
        replaces = existing.valid();
        Platform::File::ScopedHandle handle = Platform::File::createBeside(target, existing, tempPath);
        if (!handle.valid())
            lgp::FailCreate(path);
        return handle;
    }
}

TNewFileStream::TNewFileStream(const std::string& path)
    : TFileStream(path, Platform::File::ScopedHandle())
    , mTarget(Platform::File::resolvedPath(path))
{
    ExchangeHandle(CreateBesideTarget(path, mTarget, mReplaces, mTempPath));
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
    if ((mReplaces || durable) && !Platform::File::sync(Handle()))
        lgp::FailWrite();
    if (!Platform::File::replace(mTempPath, mTarget))
        lgp::FailWrite();
    mCommitted = true;
}

std::size_t TFileStream::Read(void* buffer, std::size_t count)
{
    const std::int64_t n = Platform::File::readSome(mHandle, buffer, count, mPosition);
    if (n <= 0)
        return 0;
    mPosition += n;
    return static_cast<std::size_t>(n);
}

std::size_t TFileStream::Write(const void* buffer, std::size_t count)
{
    if (count == 0 || !Platform::File::writeAt(mHandle, buffer, count, mPosition))
        return 0;
    mPosition += static_cast<std::int64_t>(count);
    return count;
}

std::int64_t TFileStream::Seek(std::int64_t offset, SeekOrigin origin)
{
    std::int64_t base = 0;
    if (origin == SeekOrigin::Current)
        base = mPosition;
    else if (origin == SeekOrigin::End)
        base = Size();
    mPosition = std::max<std::int64_t>(0, base + offset);
    return mPosition;
}

std::int64_t TFileStream::Size()
{
    return std::max<std::int64_t>(0, Platform::File::size(mHandle));
}

void TFileStream::SetSize(std::int64_t size)
{
    if (!Platform::File::setSize(mHandle, size))
        lgp::FailWrite();
}

// ---------------------------------------------------------------------------

std::size_t TMemoryStream::Read(void* buffer, std::size_t count)
{
    const auto size = static_cast<std::int64_t>(mBytes.size());
    if (mPosition >= size || count == 0)
        return 0;
    const std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(size - mPosition, count));
    std::memcpy(buffer, mBytes.data() + mPosition, n);
    mPosition += static_cast<std::int64_t>(n);
    return n;
}

std::size_t TMemoryStream::Write(const void* buffer, std::size_t count)
{
    if (count == 0)
        return 0;
    const std::size_t end = static_cast<std::size_t>(mPosition) + count;
    if (end > mBytes.size())
        mBytes.resize(end);
    std::memcpy(mBytes.data() + mPosition, buffer, count);
    mPosition = static_cast<std::int64_t>(end);
    return count;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, SeekOrigin origin)
{
    std::int64_t base = 0;
    if (origin == SeekOrigin::Current)
        base = mPosition;
    else if (origin == SeekOrigin::End)
        base = static_cast<std::int64_t>(mBytes.size());
    mPosition = std::max<std::int64_t>(0, base + offset);
    return mPosition;
}

void TMemoryStream::SetSize(std::int64_t size)
{
    mBytes.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, size)));
    if (mPosition > size)
        mPosition = size;
}

void TMemoryStream::LoadFromFile(const std::string& path)
{
    mBytes = ReadWholeFile(path);
    mPosition = 0;
}

void TMemoryStream::SaveToFile(const std::string& path) const { WriteWholeFile(path, mBytes); }

std::vector<std::uint8_t> ReadWholeFile(const std::string& path)
{
    TFileStream file(path, FileMode::OpenRead);
    const std::int64_t size = file.Size();
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
