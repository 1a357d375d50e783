#include "file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
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
            if (mHandle >= 0)
                ::close(mHandle);
            mHandle = other.release();
        }
        return *this;
    }

    ScopedHandle::~ScopedHandle()
    {
        if (mHandle >= 0)
            ::close(mHandle);
    }

    namespace
    {
        // Fails the call as the armed fault says (an input/output error, a
        // full disk, a refused rename).
        template <class T> T injected(T result)
        {
            errno = Fault::detail::error;
            return result;
        }

        std::string folderOf(const std::string& path)
        {
            const auto slash = path.find_last_of('/');
            if (slash == std::string::npos)
                return ".";
            return slash == 0 ? "/" : path.substr(0, slash);
        }

        // Logs a call for a test recording the order of the writes, naming
        // the file by the path the kernel has for it now.
        void noteCall(Fault::Call call, const ScopedHandle& file, std::int64_t at = -1)
        {
            if (!Fault::detail::recording)
                return;
            char buffer[PATH_MAX];
            const std::string link = "/proc/self/fd/" + std::to_string(file.get());
            const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
            Fault::detail::note(
                {call, n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string(), at, {}});
        }

        // Whether the locked file is still the one the path names: a writer
        // that replaced the file between our open and our lock leaves us
        // holding a file nobody will see again.
        bool stillNamedBy(const ScopedHandle& handle, const std::string& path)
        {
            struct stat held;
            struct stat named;
            return ::fstat(handle.get(), &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev
                   && held.st_ino == named.st_ino;
        }
    } // namespace

    namespace
    {
        ScopedHandle openFile(const std::string& path, Access access, Share share, std::int64_t* sizeAtOpen)
        {
            // Non-blocking, so a FIFO without a writer (or a device) can't hang the
            // open; only regular files pass the check below. Create truncates only
            // after every check, so a refused output keeps its contents.
            int flags = O_CLOEXEC | O_NONBLOCK;
            switch (access)
            {
            case Access::Read: flags |= O_RDONLY; break;
            case Access::ReadWrite: flags |= O_RDWR; break;
            case Access::Create: flags |= O_RDWR | O_CREAT; break;
            case Access::CreateNew: flags |= O_RDWR | O_CREAT | O_EXCL; break;
            }
            for (int attempt = 0;; ++attempt)
            {
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
                // The flag changes nothing for reads of a regular file, so a
                // reader keeps it (two calls fewer per file read); a writer
                // clears it.
                if (access != Access::Read
                    && ::fcntl(handle.get(), F_SETFL, ::fcntl(handle.get(), F_GETFL) & ~O_NONBLOCK) != 0)
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
                if (share == Share::DenyWrite && !stillNamedBy(handle, path))
                {
                    // Replaced while we locked it: the new file is the one to open.
                    if (attempt < 16)
                        continue;
                    errno = EACCES;
                    return ScopedHandle();
                }
                // Truncate only once the lock is ours, so a refused creator destroys nothing.
                if (access == Access::Create && st.st_size != 0 && ::ftruncate(handle.get(), 0) != 0)
                    return ScopedHandle();
                if (sizeAtOpen)
                    *sizeAtOpen = access == Access::Create ? 0 : static_cast<std::int64_t>(st.st_size);
                return handle;
            }
        }
    } // namespace

    ScopedHandle open(const std::string& path, Access access, Share share)
    {
        return openFile(path, access, share, nullptr);
    }

    ScopedHandle openForReading(const std::string& path, std::int64_t& size)
    {
        return openFile(path, Access::Read, Share::DenyNone, &size);
    }

    std::int64_t readSome(const ScopedHandle& file, void* data, std::size_t count, std::int64_t pos)
    {
        if (pos < 0)
            return -1;
        auto* out = static_cast<std::uint8_t*>(data);
        std::size_t total = 0;
        while (total < count)
        {
            const ssize_t n = ::pread(file.get(), out + total, count - total, pos + std::int64_t(total));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return -1;
            if (n == 0)
                break;
            total += static_cast<std::size_t>(n);
        }
        return static_cast<std::int64_t>(total);
    }

    bool readAt(const ScopedHandle& file, void* data, std::size_t count, std::int64_t pos)
    {
        return readSome(file, data, count, pos) == static_cast<std::int64_t>(count);
    }

    bool writeAt(const ScopedHandle& file, const void* data, std::size_t count, std::int64_t pos)
    {
        if (Fault::inject(Fault::Counted::Other, Fault::Kind::Write))
            return injected(false);
        noteCall(Fault::Call::WriteAt, file, pos);
        if (pos < 0)
            return false;
        const auto* in = static_cast<const std::uint8_t*>(data);
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

    std::int64_t copyRange(const ScopedHandle& src, std::int64_t srcPos, const ScopedHandle& dst, std::int64_t dstPos,
                           std::int64_t count)
    {
        if (Fault::inject(Fault::Counted::Other, Fault::Kind::Write))
            return injected(std::int64_t(-1));
        noteCall(Fault::Call::CopyRange, dst, dstPos);
        if (count <= 0)
            return 0;
        if (srcPos < 0 || dstPos < 0)
            return srcPos < 0 ? 0 : -1;
        std::int64_t done = 0;
        // In the kernel while it can; copy_file_range reports the source's end
        // as 0, and some file pairs not at all, so the rest goes the plain way,
        // which also tells a full disk apart from a short source.
        while (done < count)
        {
            loff_t in = srcPos + done;
            loff_t out = dstPos + done;
            const ssize_t n =
                ::copy_file_range(src.get(), &in, dst.get(), &out,
                                  static_cast<std::size_t>(std::min<std::int64_t>(count - done, SSIZE_MAX)), 0);
            if (n > 0)
            {
                done += n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        if (done == count)
            return done;
        constexpr std::int64_t chunk = 1 << 20;
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min(count - done, chunk)));
        while (done < count)
        {
            const auto want = static_cast<std::size_t>(std::min(count - done, chunk));
            const std::int64_t got = readSome(src, buffer.data(), want, srcPos + done);
            if (got <= 0)
                break;
            const auto* in = buffer.data();
            std::size_t left = static_cast<std::size_t>(got);
            std::int64_t pos = dstPos + done;
            while (left > 0)
            {
                const ssize_t n = ::pwrite(dst.get(), in, left, pos);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    return -1;
                in += n;
                left -= static_cast<std::size_t>(n);
                pos += n;
            }
            done += got;
        }
        return done;
    }

    std::int64_t linkCount(const ScopedHandle& file)
    {
        struct stat st;
        return ::fstat(file.get(), &st) == 0 ? static_cast<std::int64_t>(st.st_nlink) : -1;
    }

    std::int64_t size(const ScopedHandle& file)
    {
        struct stat st;
        if (::fstat(file.get(), &st) != 0)
            return -1;
        return st.st_size;
    }

    bool setSize(const ScopedHandle& file, std::int64_t size)
    {
        if (Fault::inject())
            return injected(false);
        noteCall(Fault::Call::SetSize, file, size);
        return ::ftruncate(file.get(), size) == 0;
    }

    bool sync(const ScopedHandle& file)
    {
        if (Fault::inject(Fault::Counted::DiskWait))
            return injected(false);
        noteCall(Fault::Call::Sync, file);
        return ::fsync(file.get()) == 0;
    }

    bool replace(const std::string& from, const std::string& to)
    {
        if (Fault::inject(Fault::Counted::DiskWait, Fault::Kind::Rename))
            return injected(false);
        const std::string renamed = Fault::detail::recording ? resolvedPath(from) : std::string();
        if (::rename(from.c_str(), to.c_str()) != 0)
            return false;
        if (Fault::detail::recording)
            Fault::detail::note({Fault::Call::Replace, renamed, -1, resolvedPath(to)});
        // The new name is durable once the folder's entry is on the disk. The
        // replacement has happened either way, so it is reported as done.
        const ScopedHandle folder(::open(folderOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folder.valid() && ::fsync(folder.get()) == 0)
            noteCall(Fault::Call::FolderSync, folder);
        return true;
    }

    bool replace(const std::string& from, const std::string& to, ScopedHandle& /*held*/) { return replace(from, to); }

    std::optional<std::int64_t> freeSpace(const std::string& path)
    {
        if (Fault::detail::freeSpaceSet)
            return Fault::detail::freeSpaceValue;
        struct statvfs st;
        if (::statvfs(folderOf(path).c_str(), &st) != 0)
            return std::nullopt;
        const auto bytes = static_cast<unsigned long long>(st.f_bavail) * st.f_frsize;
        return static_cast<std::int64_t>(std::min<unsigned long long>(bytes, INT64_MAX));
    }

    std::string resolvedPath(const std::string& path)
    {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (!resolved)
            return path;
        std::string result(resolved);
        std::free(resolved);
        return result;
    }

    std::ptrdiff_t firstSameFile(const std::string& path, std::span<const std::string> others)
    {
        struct stat a;
        if (others.empty() || ::stat(path.c_str(), &a) != 0)
            return -1;
        for (std::size_t i = 0; i < others.size(); ++i)
        {
            struct stat b;
            if (::stat(others[i].c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino)
                return static_cast<std::ptrdiff_t>(i);
        }
        return -1;
    }

    bool sameFile(const std::string& path, const ScopedHandle& open)
    {
        struct stat a;
        struct stat b;
        return open.valid() && ::stat(path.c_str(), &a) == 0 && ::fstat(open.get(), &b) == 0 && a.st_dev == b.st_dev
               && a.st_ino == b.st_ino;
    }

    ScopedHandle createBeside(const std::string& path, const ScopedHandle& like, std::string& tempPath)
    {
        if (Fault::inject(Fault::Counted::Other, Fault::Kind::Create))
            return injected(ScopedHandle());
        if (Fault::detail::recording)
            Fault::detail::note({Fault::Call::CreateBeside, path, -1, {}});
        // Without a file to take after, the new file gets the permissions any
        // new file gets (0666 less the umask).
        struct stat st;
        const bool hasModel = like.valid();
        if (hasModel && ::fstat(like.get(), &st) != 0)
            return ScopedHandle();
        const auto slash = path.find_last_of('/');
        const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        static std::atomic<unsigned> serial{0};
        static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        for (int attempt = 0; attempt < 100; ++attempt)
        {
            auto seed = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count())
                        ^ (static_cast<unsigned long long>(::getpid()) << 32)
                        ^ (serial.fetch_add(1) * 0x9E3779B97F4A7C15ull);
            std::string suffix;
            for (int i = 0; i < 6; ++i, seed /= 36)
                suffix.push_back(digits[seed % 36]);
            const std::string candidate = folder + "." + name + "." + suffix + ".tmp";
            ScopedHandle handle(
                ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, hasModel ? 0600 : 0666));
            if (!handle.valid())
            {
                if (errno == EEXIST)
                    continue;
                return handle;
            }
            // Same owner where allowed (only a privileged writer may give a
            // file away), then the same permission bits.
            if (hasModel && ::fchown(handle.get(), st.st_uid, st.st_gid) != 0)
                (void)!::fchown(handle.get(), static_cast<uid_t>(-1), st.st_gid);
            if ((hasModel && ::fchmod(handle.get(), st.st_mode & 07777) != 0)
                || ::flock(handle.get(), LOCK_EX | LOCK_NB) != 0)
            {
                const int err = errno;
                ::unlink(candidate.c_str());
                errno = err;
                return ScopedHandle();
            }
            tempPath = candidate;
            return handle;
        }
        errno = EEXIST;
        return ScopedHandle();
    }

    std::vector<std::string> leftoversBeside(const std::string& path, bool remove)
    {
        const std::string target = resolvedPath(path);
        const auto slash = target.find_last_of('/');
        const std::string folder = slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
        const std::string prefix = "." + (slash == std::string::npos ? target : target.substr(slash + 1)) + ".";
        std::vector<std::string> found;
        const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
        if (!dir)
            return found;
        while (const dirent* item = ::readdir(dir.get()))
        {
            // createBeside's names: the prefix, six of [a-z0-9], ".tmp".
            const std::string name = item->d_name;
            if (name.size() != prefix.size() + 10 || name.compare(0, prefix.size(), prefix) != 0
                || name.compare(name.size() - 4, 4, ".tmp") != 0
                || !std::all_of(name.begin() + std::ptrdiff_t(prefix.size()), name.end() - 4,
                                [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }))
                continue;
            const std::string candidate = (slash == std::string::npos ? std::string() : folder) + name;
            const ScopedHandle file(::open(candidate.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
            struct stat st;
            if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)
                || ::flock(file.get(), LOCK_EX | LOCK_NB) != 0)
                continue;
            if (remove && ::unlink(candidate.c_str()) != 0)
                continue;
            found.push_back(name);
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    bool inStickyFolder(const std::string& path)
    {
        struct stat st;
        return ::stat(folderOf(path).c_str(), &st) == 0 && (st.st_mode & S_ISVTX) != 0;
    }

    bool remove(const std::string& path) { return ::unlink(path.c_str()) == 0; }

    bool mayReplace(const std::string& path)
    {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0)
            return errno == ENOENT;
        if (!S_ISREG(st.st_mode))
        {
            errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            return false;
        }
        if ((st.st_mode & S_IWUSR) == 0)
        {
            errno = EACCES;
            return false;
        }
        return true;
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
} // namespace Platform::File
