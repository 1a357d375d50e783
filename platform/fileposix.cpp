#include "file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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
        // Non-blocking, so a FIFO without a writer (or a device) can't hang the
        // open; only regular files pass the check below. Create truncates only
        // after every check, so a refused output keeps its contents.
        int flags = O_CLOEXEC | O_NONBLOCK;
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
            break;
        }
        ScopedHandle handle(::open(path.c_str(), flags, 0666));
        if (!handle.valid())
            return handle;
        struct stat st;
        if (::fstat(handle.get(), &st) != 0)
            return ScopedHandle();
        // Archives and outputs are regular files: a directory, a FIFO or a
        // device is refused at once.
        if (!S_ISREG(st.st_mode))
        {
            errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            return ScopedHandle();
        }
        if (::fcntl(handle.get(), F_SETFL, ::fcntl(handle.get(), F_GETFL) & ~O_NONBLOCK) != 0)
            return ScopedHandle();
        // A read-only file stays read-only for writers, and is never replaced,
        // even when the process could override the permission (root): the
        // attribute is the user's word.
        if (access != Access::Read && (st.st_mode & S_IWUSR) == 0)
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
        if (access == Access::Create && st.st_size != 0 && ::ftruncate(handle.get(), 0) != 0)
            return ScopedHandle();
        return handle;
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
}
