#pragma once
// The byte layer: bounded byte sources ("these bytes at this position; this is
// the size") over a file or over memory, and byte streams (a position over a
// source), with the failures the archive programs report ("Stream read
// error", "Stream write error", "Cannot open file %s", "Cannot create file %s").
//
// Thread safety: none; a source or stream belongs to one thread at a time.

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "../platform/file.h"

// Bytes read and written by position. Reads never reach past Size(): a read
// that asks for more gets fewer (ReadSomeAt) or fails (ReadAt).
class TByteSource
{
public:
    virtual ~TByteSource() = default;

    virtual std::int64_t Size() const = 0;
    // Up to count bytes at position: the number read, fewer only where the
    // source ends (0 at or past its end, and at a negative position).
    // "Stream read error" when reading fails.
    virtual std::size_t ReadSomeAt(std::int64_t position, void* buffer, std::size_t count) const = 0;
    // Exactly count bytes at position, the source growing as needed (a gap
    // before position reads as zeros). "Stream write error" when they can't
    // be written: a read-only source, a negative position, a failing file.
    virtual void WriteAt(std::int64_t position, const void* data, std::size_t count) = 0;

    // Exactly count bytes at position, or "Stream read error".
    void ReadAt(std::int64_t position, void* buffer, std::size_t count) const;

    // Copies up to count bytes of from, starting at fromPosition, to position
    // here: the number copied, fewer only where from ends. "Stream write
    // error" when writing fails. Bytes in memory are written straight from
    // there; file to file they are copied in the kernel.
    virtual std::int64_t CopyIn(std::int64_t position, const TByteSource& from, std::int64_t fromPosition,
                                std::int64_t count);

    // The bytes themselves when they lie in memory, so they can be used in
    // place; nullptr otherwise (and possibly when there are none).
    virtual const std::uint8_t* Memory() const { return nullptr; }
    // The open file when the bytes lie in one; nullptr otherwise.
    virtual const Platform::File::ScopedHandle* FileHandle() const { return nullptr; }
    // A hint that the source is about to hold size bytes.
    virtual void Reserve(std::int64_t size) { (void)size; }
    // Cuts or extends the bytes; "Stream write error" where they cannot change.
    virtual void SetSize(std::int64_t size);
};

// An open file (the share-mode locks and the fault-injection seam of
// Platform::File stay in force). Owns the handle.
class TFileSource final : public TByteSource
{
public:
    TFileSource() = default;
    explicit TFileSource(Platform::File::ScopedHandle handle)
        : mHandle(std::move(handle))
    {
    }

    std::int64_t Size() const override;
    std::size_t ReadSomeAt(std::int64_t position, void* buffer, std::size_t count) const override;
    void WriteAt(std::int64_t position, const void* data, std::size_t count) override;
    std::int64_t CopyIn(std::int64_t position, const TByteSource& from, std::int64_t fromPosition,
                        std::int64_t count) override;
    const Platform::File::ScopedHandle* FileHandle() const override { return &mHandle; }

    // Cuts or extends the file; "Stream write error" on failure.
    void SetSize(std::int64_t size) override;
    // Puts what was written on the disk, or "Stream write error".
    void Sync() const;

    const Platform::File::ScopedHandle& Handle() const { return mHandle; }
    // Goes on with another open file and hands back the one held so far.
    Platform::File::ScopedHandle Exchange(Platform::File::ScopedHandle handle)
    {
        std::swap(mHandle, handle);
        return handle;
    }

    // Names the file in the failures of writes, syncs and size changes: name
    // is the file as the user knows it (for a hidden new file, the file it is
    // to replace), staged says that a failure leaves that file as it was (the
    // bytes go to a new file that takes its name only once complete). Such a
    // failure is "Stream write error" with a second line: "Cannot write NAME:
    // the disk is full." (or the system's reason), and for a staged file "
    // Nothing was changed.". Unnamed, it is "Stream write error" alone.
    void Describe(std::string name, bool staged)
    {
        mName = std::move(name);
        mStaged = staged;
    }

private:
    [[noreturn]] void FailWriting() const;

    Platform::File::ScopedHandle mHandle;
    std::string mName;
    bool mStaged = false;
};

// A read-only view of bytes the caller keeps alive. Writes fail.
class TMemorySource final : public TByteSource
{
public:
    explicit TMemorySource(std::span<const std::uint8_t> bytes)
        : mBytes(bytes)
    {
    }

    std::int64_t Size() const override { return static_cast<std::int64_t>(mBytes.size()); }
    std::size_t ReadSomeAt(std::int64_t position, void* buffer, std::size_t count) const override;
    void WriteAt(std::int64_t position, const void* data, std::size_t count) override;
    const std::uint8_t* Memory() const override { return mBytes.data(); }

private:
    std::span<const std::uint8_t> mBytes;
};

// Bytes in memory that grow as they are written.
class TMemoryBuffer final : public TByteSource
{
public:
    TMemoryBuffer() = default;
    explicit TMemoryBuffer(std::vector<std::uint8_t> bytes)
        : mBytes(std::move(bytes))
    {
    }

    std::int64_t Size() const override { return static_cast<std::int64_t>(mBytes.size()); }
    std::size_t ReadSomeAt(std::int64_t position, void* buffer, std::size_t count) const override;
    void WriteAt(std::int64_t position, const void* data, std::size_t count) override;
    // Reads from a source outside memory straight into the buffer, growing it
    // a chunk at a time, so a count larger than from holds reserves nothing.
    std::int64_t CopyIn(std::int64_t position, const TByteSource& from, std::int64_t fromPosition,
                        std::int64_t count) override;
    const std::uint8_t* Memory() const override { return mBytes.data(); }
    void Reserve(std::int64_t size) override;
    void SetSize(std::int64_t size) override;

    std::vector<std::uint8_t>& Vector() { return mBytes; }
    const std::vector<std::uint8_t>& Vector() const { return mBytes; }

private:
    std::vector<std::uint8_t> mBytes;
};

// Copies exactly count bytes of src at srcPos to dst at dstPos (in the kernel
// between files). "Stream read error" when src ends first (the bytes before
// stay copied) or srcPos is negative, "Stream write error" when writing fails.
void CopyBytes(const TByteSource& src, std::int64_t srcPos, TByteSource& dst, std::int64_t dstPos, std::int64_t count);

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
    std::size_t Read(void* buffer, std::size_t count);
    // Writes up to count bytes; returns how many were written.
    std::size_t Write(const void* buffer, std::size_t count);
    // Moves the position; returns the new position. Positions may lie past the end.
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin);
    std::int64_t Size() { return Source().Size(); }
    // Cuts or extends the stream; the position stays unless it lies past the new end.
    void SetSize(std::int64_t size);

    // The bytes under the stream, to be read and written by position.
    virtual TByteSource& Source() = 0;

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
    // The same from a byte source at position; the source has no position to move.
    void CopyFrom(const TByteSource& source, std::int64_t position, std::int64_t count);

    std::int32_t ReadInt32();
    std::uint16_t ReadUInt16();
    std::uint8_t ReadByte();
    void WriteInt32(std::int32_t value);

protected:
    std::int64_t mPosition = 0;
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
    TFileStream(const std::string& path, FileMode mode, Platform::File::Share share = Platform::File::Share::DenyNone);

    TFileSource& Source() override { return mFile; }

    const std::string& FileName() const { return mPath; }
    const Platform::File::ScopedHandle& Handle() const { return mFile.Handle(); }
    // Goes on with another open file (the same archive's new version) and
    // hands back the one held so far.
    Platform::File::ScopedHandle ExchangeHandle(Platform::File::ScopedHandle handle)
    {
        return mFile.Exchange(std::move(handle));
    }

protected:
    // Goes on with a file the caller opened under path.
    TFileStream(std::string path, Platform::File::ScopedHandle handle);

private:
    std::string mPath;
    TFileSource mFile;
};

// A new file for an output: written under a hidden name beside path and put
// in path's place only by Commit, so a run that fails or is killed never
// leaves a partial file under path, and a file already there keeps its
// contents until the new one is complete (and on the disk). Without Commit the
// new file is deleted. "Cannot create file %s" when path names a read-only
// file, a folder, a FIFO or a device, or no file can be made beside it.
// lockReplaced: the file already at path is locked as the in-place editor
// locks an archive, for the stream's whole life, so no writer of that archive
// works on it meanwhile (the new file is locked too); "Cannot open file %s"
// when another writer holds it.
class TNewFileStream : public TFileStream
{
public:
    explicit TNewFileStream(const std::string& path, bool lockReplaced = false);
    ~TNewFileStream() override;

    // durable: on the disk before it takes the name even when no file was
    // there before (when something else is deleted once it is in place).
    void Commit(bool durable = false);

private:
    std::string mTarget;
    std::string mTempPath;
    Platform::File::ScopedHandle mReplacedLock;
    bool mReplaces = false;
    bool mCommitted = false;
};

// Refuses, before anything is written, an output that is one of the files or
// folders the command reads: the same file once symbolic links are followed
// (a hard link or a link to it counts), as `cp a a` refuses. Inputs that don't
// exist are no concern. "%s is the same file as %s, which this command reads.
// Nothing was written."
void RequireOutputIsNoInput(const std::string& output, std::span<const std::string> inputs);
// The same against the open file input (named inputName in the message); a
// source in memory is no file.
void RequireOutputIsNoInput(const std::string& output, const TByteSource& input, const std::string& inputName);

class TMemoryStream : public TStream
{
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<std::uint8_t> bytes)
        : mBuffer(std::move(bytes))
    {
    }

    TMemoryBuffer& Source() override { return mBuffer; }

    void Clear()
    {
        mBuffer.Vector().clear();
        mPosition = 0;
    }
    void Reserve(std::size_t capacity) { mBuffer.Vector().reserve(capacity); }
    std::uint8_t* Memory() { return mBuffer.Vector().data(); }
    const std::uint8_t* Memory() const { return mBuffer.Vector().data(); }
    std::span<const std::uint8_t> Bytes() const { return mBuffer.Vector(); }
    std::vector<std::uint8_t>& Vector() { return mBuffer.Vector(); }
    std::vector<std::uint8_t> TakeBytes()
    {
        mPosition = 0;
        return std::move(mBuffer.Vector());
    }

    // Whole-file helpers with the file layer's failure texts.
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path) const;

private:
    TMemoryBuffer mBuffer;
};

// Reads a whole file ("Cannot open file %s", "Stream read error"). A file
// longer than WholeFileMax is refused before anything is allocated: "%s is %d
// bytes long, more than the 2,147,483,647 bytes an archive can address.
// Nothing was written."
constexpr std::int64_t WholeFileMax = 2147483647;
std::vector<std::uint8_t> ReadWholeFile(const std::string& path);
// Creates or replaces a file with the bytes ("Cannot create file %s", "Stream write error").
void WriteWholeFile(const std::string& path, std::span<const std::uint8_t> bytes);
