#include "outputfolder.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform::OutputFolder
{
    namespace
    {
        // The path the system has for an open folder, for the write-order record.
        std::string pathOf(const File::ScopedHandle& handle)
        {
            char buffer[PATH_MAX];
            const std::string link = "/proc/self/fd/" + std::to_string(handle.get());
            const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
            return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
        }
    } // namespace

    Folder Folder::open(const std::string& path)
    {
        Folder folder;
        folder.mHandle =
            File::ScopedHandle(::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        struct stat st;
        if (!folder.mHandle.valid() || ::fstat(folder.mHandle.get(), &st) != 0)
            return Folder();
        folder.mDevice = static_cast<std::uint64_t>(st.st_dev);
        return folder;
    }

    Folder Folder::sub(const std::string& name) const
    {
        struct stat st;
        if (::fstatat(mHandle.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        {
            if (S_ISLNK(st.st_mode))
            {
                // A link in the place of the folder is replaced, never followed.
                if (::unlinkat(mHandle.get(), name.c_str(), 0) != 0)
                    return Folder();
            }
            else if (!S_ISDIR(st.st_mode))
            {
                errno = ENOTDIR;
                return Folder();
            }
        }
        else if (errno != ENOENT)
        {
            return Folder();
        }
        if (::mkdirat(mHandle.get(), name.c_str(), 0777) != 0 && errno != EEXIST)
            return Folder();
        // O_NOFOLLOW: a link put there in the meantime is refused, not followed.
        Folder folder;
        folder.mHandle =
            File::ScopedHandle(::openat(mHandle.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.mHandle.valid() || ::fstat(folder.mHandle.get(), &st) != 0)
            return Folder();
        folder.mDevice = static_cast<std::uint64_t>(st.st_dev);
        return folder;
    }

    bool Folder::mayReplace(const std::string& name, Standing& standing) const
    {
        struct stat st;
        standing = Standing();
        if (::fstatat(mHandle.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT;
        if (S_ISLNK(st.st_mode))
        {
            standing.Kind = Existing::Link;
            return true;
        }
        if (!S_ISREG(st.st_mode))
        {
            errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            return false;
        }
        // The read-only attribute is the user's word, for root too.
        if ((st.st_mode & S_IWUSR) == 0)
        {
            errno = EACCES;
            return false;
        }
        standing = {Existing::File, unsigned(st.st_mode & 07777), unsigned(st.st_uid), unsigned(st.st_gid)};
        return true;
    }

    File::ScopedHandle Folder::createTemp(const std::string& name, const Standing& standing,
                                          std::string& tempName) const
    {
        if (File::Fault::inject(File::Fault::Counted::Other, File::Fault::Kind::Create))
        {
            errno = File::Fault::detail::error;
            return File::ScopedHandle();
        }
        // The file it replaces lends the new one its permission bits and owner.
        const bool hasModel = standing.Kind == Existing::File;
        static std::atomic<unsigned> serial{0};
        static const auto pid = static_cast<unsigned long long>(::getpid());
        static const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        for (int attempt = 0; attempt < 100; ++attempt)
        {
            auto seed = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count())
                        ^ (pid << 32) ^ (serial.fetch_add(1) * 0x9E3779B97F4A7C15ull);
            std::string suffix;
            for (int i = 0; i < 6; ++i, seed /= 36)
                suffix.push_back(digits[seed % 36]);
            const std::string candidate = "." + name + "." + suffix + ".tmp";
            File::ScopedHandle handle(::openat(mHandle.get(), candidate.c_str(),
                                               O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                               hasModel ? 0600 : 0666));
            if (!handle.valid())
            {
                if (errno == EEXIST)
                    continue;
                return handle;
            }
            if (hasModel && !takeAfter(handle, standing))
            {
                const int err = errno;
                ::unlinkat(mHandle.get(), candidate.c_str(), 0);
                errno = err;
                return File::ScopedHandle();
            }
            tempName = candidate;
            return handle;
        }
        errno = EEXIST;
        return File::ScopedHandle();
    }

    File::ScopedHandle Folder::createUnnamed() const
    {
        if (File::Fault::inject(File::Fault::Counted::Other, File::Fault::Kind::Create))
        {
            errno = File::Fault::detail::error;
            return File::ScopedHandle();
        }
        File::ScopedHandle handle(::openat(mHandle.get(), ".", O_RDWR | O_TMPFILE | O_CLOEXEC, 0666));
        // Kernels without unnamed files take the flag for O_DIRECTORY.
        if (!handle.valid() && (errno == EISDIR || errno == EINVAL))
            errno = EOPNOTSUPP;
        return handle;
    }

    bool Folder::linkNew(const File::ScopedHandle& file, const std::string& name) const
    {
        if (File::Fault::inject(File::Fault::Counted::Other, File::Fault::Kind::Rename))
        {
            errno = File::Fault::detail::error;
            return false;
        }
        // Recorded under the name the file's writes were recorded with.
        const std::string unnamed = File::Fault::detail::recording ? pathOf(file) : std::string();
        if (::linkat(file.get(), "", mHandle.get(), name.c_str(), AT_EMPTY_PATH) != 0)
        {
            // Linking an open file takes a privilege before Linux 6.10.
            if (errno == ENOENT || errno == EPERM)
                errno = ENOTSUP;
            return false;
        }
        if (File::Fault::detail::recording)
            File::Fault::detail::note({File::Fault::Call::Replace, unnamed, -1, pathOf(mHandle) + "/" + name});
        return true;
    }

    bool Folder::takeAfter(const File::ScopedHandle& file, const Standing& standing) const
    {
        if (standing.Kind != Existing::File)
            return true;
        // Only a privileged writer may give a file away.
        const auto owner = static_cast<uid_t>(standing.Owner);
        const auto group = static_cast<gid_t>(standing.Group);
        if ((owner != ::geteuid() || group != ::getegid()) && ::fchown(file.get(), owner, group) != 0)
            (void)!::fchown(file.get(), static_cast<uid_t>(-1), group);
        return ::fchmod(file.get(), static_cast<mode_t>(standing.Mode)) == 0;
    }

    bool Folder::commitNew(const std::string& tempName, const std::string& name) const
    {
        return rename(tempName, name, RENAME_NOREPLACE);
    }

    bool Folder::commit(const std::string& tempName, const std::string& name) const
    {
        return rename(tempName, name, 0);
    }

    bool Folder::rename(const std::string& tempName, const std::string& name, unsigned flags) const
    {
        if (File::Fault::inject(File::Fault::Counted::Other, File::Fault::Kind::Rename))
        {
            errno = File::Fault::detail::error;
            return false;
        }
        if (::renameat2(mHandle.get(), tempName.c_str(), mHandle.get(), name.c_str(), flags) != 0)
        {
            if (flags != 0 && (errno == EINVAL || errno == ENOSYS))
                errno = ENOTSUP;
            return false;
        }
        if (File::Fault::detail::recording)
        {
            const std::string folder = pathOf(mHandle);
            File::Fault::detail::note({File::Fault::Call::Replace, folder + "/" + tempName, -1, folder + "/" + name});
        }
        return true;
    }

    bool Folder::syncFolder() const
    {
        if (::fsync(mHandle.get()) != 0)
            return false;
        if (File::Fault::detail::recording)
            File::Fault::detail::note({File::Fault::Call::FolderSync, pathOf(mHandle), -1, {}});
        return true;
    }

    void Folder::removeTemp(const std::string& tempName) const { ::unlinkat(mHandle.get(), tempName.c_str(), 0); }

    bool Folder::syncAll() const
    {
        if (File::Fault::inject(File::Fault::Counted::DiskWait))
        {
            errno = File::Fault::detail::error;
            return false;
        }
        return ::syncfs(mHandle.get()) == 0;
    }
} // namespace Platform::OutputFolder
