#pragma once
// Files with share modes. The archive programs expect the Windows rules: a
// reader lets everybody else read and write; the in-place editor lets others
// read but refuses a second writer. On Linux (fileposix.cpp) a writer that
// denies writing takes an advisory exclusive lock (flock) on the file; a second
// such writer finds the lock taken and its open fails. Plain readers never lock,
// so they always work. On Windows (filewin32.cpp, used by the Windows stub)
// CreateFile's share modes give the same rules. Paths are UTF-8 on both.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace Platform::File
{
#ifdef _WIN32
    using NativeHandle = void*; // HANDLE
#else
    using NativeHandle = int; // file descriptor
#endif

    // Move-only owner of a file handle.
    class ScopedHandle
    {
    public:
        ScopedHandle() = default;
        explicit ScopedHandle(NativeHandle fd)
            : mFd(fd)
        {
        }
        ScopedHandle(ScopedHandle&& other) noexcept
            : mFd(other.release())
        {
        }
        ScopedHandle& operator=(ScopedHandle&& other) noexcept;
        ScopedHandle(const ScopedHandle&) = delete;
        ScopedHandle& operator=(const ScopedHandle&) = delete;
        ~ScopedHandle();

        NativeHandle get() const { return mFd; }
        bool valid() const { return mFd != Invalid; }
        NativeHandle release()
        {
            const NativeHandle fd = mFd;
            mFd = Invalid;
            return fd;
        }

    private:
#ifdef _WIN32
        static inline const NativeHandle Invalid = reinterpret_cast<NativeHandle>(-1); // INVALID_HANDLE_VALUE
#else
        static constexpr NativeHandle Invalid = -1;
#endif
        NativeHandle mFd = Invalid;
    };

    enum class Access
    {
        Read,      // existing file, read only
        ReadWrite, // existing file, read and write
        Create,    // create or truncate, read and write
    };

    enum class Share
    {
        DenyNone,  // others may read and write
        DenyWrite, // others may read; a second DenyWrite opener is refused
    };

    // Opens path; returns an invalid handle on failure (errno says why). A
    // ReadWrite open of a file without write permission fails, as does a
    // DenyWrite open while another DenyWrite holder has the file.
    ScopedHandle open(const std::string& path, Access access, Share share);

    // Exactly count bytes at pos, retrying short transfers; false on failure
    // or end of file.
    bool readAt(const ScopedHandle& file, void* data, std::size_t count, std::int64_t pos);
    bool writeAt(const ScopedHandle& file, const void* data, std::size_t count, std::int64_t pos);
    // Bytes copied from src to dst (an in-kernel copy where the system has
    // one); fewer than count when src ends first; -1 on a write failure.
    std::int64_t copyRange(const ScopedHandle& src, std::int64_t srcPos, const ScopedHandle& dst, std::int64_t dstPos,
                           std::int64_t count);
    std::int64_t size(const ScopedHandle& file); // -1 on failure
    bool setSize(const ScopedHandle& file, std::int64_t size);
    bool sync(const ScopedHandle& file); // data and size reach the disk
    // Puts `from` in place of `to` in one atomic step (same folder) and makes
    // the change durable.
    bool replace(const std::string& from, const std::string& to);
    // Free bytes for an unprivileged writer in the folder holding path;
    // nothing when unknown.
    std::optional<std::int64_t> freeSpace(const std::string& path);

    // Deletes the file; false when it can't (or doesn't exist).
    bool remove(const std::string& path);

    // Whether the file exists and its owner write permission is missing.
    bool isReadOnly(const std::string& path);
    // Gives the owner write permission, keeping every other permission bit.
    // Returns false on failure.
    bool clearReadOnly(const std::string& path);
    // Ordinary, visible file (no directory, no dot file, no device): what the
    // folder listings of the archive programs include.
    bool isOrdinaryFile(const std::string& path);
}
