#include "file.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace Platform::File
{
    ScopedHandle& ScopedHandle::operator=(ScopedHandle&& other) noexcept
    {
        if (this != &other)
        {
            if (mFd >= 0)
                ::close(mFd);
            mFd = other.release();
        }
        return *this;
    }

    ScopedHandle::~ScopedHandle()
    {
        if (mFd >= 0)
            ::close(mFd);
    }

    ScopedHandle open(const std::string& path, Access access, Share share)
    {
        int flags = O_CLOEXEC;
        switch (access)
        {
        case Access::Read:
            flags |= O_RDONLY;
            break;
        case Access::ReadWrite:
            flags |= O_RDWR;
            break;
        case Access::Create:
            flags |= O_RDWR | O_CREAT;
            // Without a lock to wait for, truncating at once saves a call.
            if (share == Share::DenyNone)
                flags |= O_TRUNC;
            break;
        }
        ScopedHandle handle(::open(path.c_str(), flags, 0666));
        if (!handle.valid())
            return handle;
        struct stat st;
        if (::fstat(handle.get(), &st) != 0)
            return ScopedHandle();
        if (S_ISDIR(st.st_mode))
        {
            errno = EISDIR;
            return ScopedHandle();
        }
        // A read-only file stays read-only for writers even when the process
        // could override the permission (root): the attribute is the user's word.
        if (access == Access::ReadWrite && (st.st_mode & S_IWUSR) == 0)
        {
            errno = EACCES;
            return ScopedHandle();
        }
        if (share == Share::DenyWrite && ::flock(handle.get(), LOCK_EX | LOCK_NB) != 0)
        {
            const int err = errno == EWOULDBLOCK ? EACCES : errno;
            handle = ScopedHandle();
            errno = err;
            return handle;
        }
        // Truncate only once the lock is ours, so a refused creator destroys nothing.
        if (access == Access::Create && share == Share::DenyWrite && ::ftruncate(handle.get(), 0) != 0)
            return ScopedHandle();
        return handle;
    }

    bool remove(const std::string& path)
    {
        return ::unlink(path.c_str()) == 0;
    }

    bool isReadOnly(const std::string& path)
    {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0)
            return false;
        return (st.st_mode & S_IWUSR) == 0;
    }

    bool clearReadOnly(const std::string& path)
    {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0)
            return false;
        return ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
    }

    bool isOrdinaryFile(const std::string& path)
    {
        const auto slash = path.find_last_of('/');
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (name.empty() || name[0] == '.')
            return false;
        struct stat st;
        return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    }

    bool readAt(const ScopedHandle& file, void* data, std::size_t count, std::int64_t pos)
    {
        auto* out = static_cast<std::uint8_t*>(data);
        if (pos < 0)
            return false;
        while (count > 0)
        {
            const ssize_t n = ::pread(file.get(), out, count, pos);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            out += n;
            count -= static_cast<std::size_t>(n);
            pos += n;
        }
        return true;
    }

    bool writeAt(const ScopedHandle& file, const void* data, std::size_t count, std::int64_t pos)
    {
        const auto* in = static_cast<const std::uint8_t*>(data);
        if (pos < 0)
            return false;
        while (count > 0)
        {
            const ssize_t n = ::pwrite(file.get(), in, count, pos);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            in += n;
            count -= static_cast<std::size_t>(n);
            pos += n;
        }
        return true;
    }

    namespace
    {
        std::int64_t copyWithBuffer(const ScopedHandle& src, std::int64_t srcPos, const ScopedHandle& dst,
                                    std::int64_t dstPos, std::int64_t count)
        {
            constexpr std::int64_t chunk = 1 << 20;
            std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min(count, chunk)));
            std::int64_t done = 0;
            while (done < count)
            {
                const auto want = static_cast<std::size_t>(std::min(count - done, chunk));
                const ssize_t n = ::pread(src.get(), buffer.data(), want, srcPos + done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    return done;
                if (!writeAt(dst, buffer.data(), static_cast<std::size_t>(n), dstPos + done))
                    return -1;
                done += n;
            }
            return done;
        }
    } // namespace

    std::int64_t copyRange(const ScopedHandle& src, std::int64_t srcPos, const ScopedHandle& dst, std::int64_t dstPos,
                           std::int64_t count)
    {
        if (count <= 0 || srcPos < 0)
            return 0;
        std::int64_t done = 0;
        while (done < count)
        {
            loff_t in = srcPos + done;
            loff_t out = dstPos + done;
            const ssize_t n =
                ::copy_file_range(src.get(), &in, dst.get(), &out, static_cast<std::size_t>(count - done), 0);
            if (n > 0)
            {
                done += n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            // 0 is the source's end or a full disk; an error is a pair of files
            // the kernel can't copy between (other file systems, old kernel).
            // The plain way tells them apart.
            const std::int64_t rest = copyWithBuffer(src, srcPos + done, dst, dstPos + done, count - done);
            return rest < 0 ? -1 : done + rest;
        }
        return done;
    }

    std::int64_t size(const ScopedHandle& file)
    {
        struct stat st;
        if (::fstat(file.get(), &st) != 0)
            return -1;
        return st.st_size;
    }

    bool setSize(const ScopedHandle& file, std::int64_t newSize)
    {
        return newSize >= 0 && ::ftruncate(file.get(), newSize) == 0;
    }

    bool sync(const ScopedHandle& file)
    {
        return ::fsync(file.get()) == 0;
    }

    bool replace(const std::string& from, const std::string& to)
    {
        if (::rename(from.c_str(), to.c_str()) != 0)
            return false;
        // The rename is durable once the folder that holds both names is.
        const auto slash = to.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : to.substr(0, slash);
        const ScopedHandle dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        return dir.valid() && ::fsync(dir.get()) == 0;
    }

    std::optional<std::int64_t> freeSpace(const std::string& path)
    {
        const auto slash = path.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        struct statvfs st;
        if (::statvfs(folder.c_str(), &st) != 0)
            return std::nullopt;
        return std::int64_t(st.f_bavail) * std::int64_t(st.f_frsize);
    }
} // namespace Platform::File
