#pragma once
// The byte-stream layer: one interface over files and memory, with the
// failures the archive programs report ("Stream read error", "Stream write
// error", "Cannot open file %s", "Cannot create file %s").
//
// Thread safety: none; a stream belongs to one thread at a time.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "../platform/file.h"

enum class SeekOrigin
{
    Begin,
    Current,
    End,
};

class TStream
{
public:
    virtual ~TStream() = default;

    // Reads up to count bytes; returns how many were read (0 at the end).
    virtual std::size_t Read(void* buffer, std::size_t count) = 0;
    // Writes up to count bytes; returns how many were written.
    virtual std::size_t Write(const void* buffer, std::size_t count) = 0;
    // Moves the position; returns the new position. Positions may lie past the end.
    virtual std::int64_t Seek(std::int64_t offset, SeekOrigin origin) = 0;
    virtual std::int64_t Size() = 0;
    // Cuts or extends the stream; the position stays unless it lies past the new end.
    virtual void SetSize(std::int64_t size) = 0;

    std::int64_t Position() { return Seek(0, SeekOrigin::Current); }
    void SetPosition(std::int64_t position) { Seek(position, SeekOrigin::Begin); }

    // Reads exactly count bytes or throws "Stream read error". What was read
    // before the failure is in the buffer and the position is past it.
    void ReadBuffer(void* buffer, std::size_t count);
    // Writes exactly count bytes or throws "Stream write error".
    void WriteBuffer(const void* buffer, std::size_t count);
    void WriteBuffer(std::span<const std::uint8_t> bytes) { WriteBuffer(bytes.data(), bytes.size()); }

    // Copies exactly count bytes from source's position to this stream's
    // position. Throws "Stream read error" when source runs out (the bytes
    // copied before stay written), "Stream write error" when writing fails.
    void CopyFrom(TStream& source, std::int64_t count);

    std::int32_t ReadInt32();
    std::uint16_t ReadUInt16();
    std::uint8_t ReadByte();
    void WriteInt32(std::int32_t value);
};

enum class FileMode
{
    OpenRead,      // existing file, reading
    OpenReadWrite, // existing file, reading and writing
    Create,        // create or replace, reading and writing
};

class TFileStream : public TStream
{
public:
    // Opens path. Failures: "Cannot open file %s" for the open modes, "Cannot
    // create file %s" for Create (the path in place of %s). With
    // ShareMode DenyWrite a second DenyWrite opener of the same file is refused.
    TFileStream(const std::string& path, FileMode mode,
        Platform::File::Share share = Platform::File::Share::DenyNone);

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    std::int64_t Size() override;
    void SetSize(std::int64_t size) override;

    const std::string& FileName() const { return mPath; }
    const Platform::File::ScopedHandle& Handle() const { return mHandle; }

private:
    std::string mPath;
    Platform::File::ScopedHandle mHandle;
    std::int64_t mPosition = 0;
};

class TMemoryStream : public TStream
{
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<std::uint8_t> bytes)
        : mBytes(std::move(bytes))
    {
    }

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    std::int64_t Size() override { return static_cast<std::int64_t>(mBytes.size()); }
    void SetSize(std::int64_t size) override;

    void Clear()
    {
        mBytes.clear();
        mPosition = 0;
    }
    void Reserve(std::size_t capacity) { mBytes.reserve(capacity); }
    std::uint8_t* Memory() { return mBytes.data(); }
    const std::uint8_t* Memory() const { return mBytes.data(); }
    std::span<const std::uint8_t> Bytes() const { return mBytes; }
    std::vector<std::uint8_t>& Vector() { return mBytes; }
    std::vector<std::uint8_t> TakeBytes()
    {
        mPosition = 0;
        return std::move(mBytes);
    }

    // Whole-file helpers with the file layer's failure texts.
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path) const;

private:
    std::vector<std::uint8_t> mBytes;
    std::int64_t mPosition = 0;
};

// Reads a whole file ("Cannot open file %s", "Stream read error").
std::vector<std::uint8_t> ReadWholeFile(const std::string& path);
// Creates or replaces a file with the bytes ("Cannot create file %s", "Stream write error").
void WriteWholeFile(const std::string& path, std::span<const std::uint8_t> bytes);
