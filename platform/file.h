#pragma once
// Files with share modes. The archive programs expect the Windows rules: a
// reader lets everybody else read and write; the in-place editor lets others
// read but refuses a second writer. Here a writer that denies writing takes an
// advisory exclusive lock (flock) on the file; a second such writer finds the
// lock taken and its open fails. Plain readers never lock, so they always work.

#include <cstdint>
#include <string>

namespace Platform::File
{
    // Move-only owner of a file descriptor.
    class ScopedHandle
    {
    public:
        ScopedHandle() = default;
        explicit ScopedHandle(int fd)
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

        int get() const { return mFd; }
        bool valid() const { return mFd >= 0; }
        int release()
        {
            const int fd = mFd;
            mFd = -1;
            return fd;
        }

    private:
        int mFd = -1;
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

    // Opens path; returns an invalid handle on failure (errno says why). Only
    // regular files open: a directory, FIFO or device fails at once, without
    // waiting for a FIFO's other end. A ReadWrite or Create open of a file
    // without owner write permission fails (for root too; Create then leaves
    // it as it was), as does a DenyWrite open while another DenyWrite holder
    // has the file.
    ScopedHandle open(const std::string& path, Access access, Share share);

    // Whether the file exists and its owner write permission is missing.
    bool isReadOnly(const std::string& path);
    // Gives the owner write permission, keeping every other permission bit.
    // Returns false on failure.
    bool clearReadOnly(const std::string& path);
    // Ordinary, visible file (no directory, no dot file, no device): what the
    // folder listings of the archive programs include.
    bool isOrdinaryFile(const std::string& path);
}
