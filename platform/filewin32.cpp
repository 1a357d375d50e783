// Files on Windows: CreateFile share modes give the rules the archive programs
// expect directly. A reader shares reading and writing; the in-place editor
// shares only reading, so a second writer is refused with a sharing violation
// while readers go on working. Every open also shares deleting, so that a new
// version of the archive written beside it can take its name while it is open
// (MoveFileEx refuses to replace a file held without that share).

#include "file.h"

#include "win32text.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace Platform::File
{
    using Win32::wide;
    using Win32::widePath;

    namespace
    {
        // errno for the callers that look at it (system codes 2 to 5 first).
        void setErrno(DWORD code)
        {
            switch (code)
            {
            case ERROR_FILE_NOT_FOUND: errno = ENOENT; break;
            case ERROR_FILE_EXISTS:
            case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
            case ERROR_PATH_NOT_FOUND:
            case ERROR_INVALID_NAME: errno = ENOTDIR; break;
            case ERROR_TOO_MANY_OPEN_FILES: errno = EMFILE; break;
            case ERROR_ACCESS_DENIED:
            case ERROR_SHARING_VIOLATION:
            case ERROR_LOCK_VIOLATION:
            case ERROR_WRITE_PROTECT: errno = EACCES; break;
            case ERROR_DISK_FULL:
            case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
            default: errno = EIO; break;
            }
        }

        // Fails the call as the armed fault says; always false.
        bool injected()
        {
            errno = Fault::detail::error;
            return false;
        }

        OVERLAPPED at(std::int64_t pos)
        {
            OVERLAPPED o{};
            o.Offset = DWORD(std::uint64_t(pos) & 0xFFFFFFFFu);
            o.OffsetHigh = DWORD(std::uint64_t(pos) >> 32);
            return o;
        }

        constexpr std::size_t MaxTransfer = 1u << 30;

        // The folder that holds path ("." for a bare name).
        std::wstring folderOf(const std::string& path)
        {
            const auto cut = path.find_last_of("/\\");
            if (cut == std::string::npos)
                return L".";
            return wide(path.substr(0, cut + 1));
        }
    } // namespace

    ScopedHandle& ScopedHandle::operator=(ScopedHandle&& other) noexcept
    {
        if (this != &other)
        {
            if (valid())
                ::CloseHandle(mHandle);
            mHandle = other.release();
        }
        return *this;
    }

    ScopedHandle::~ScopedHandle()
    {
        if (valid())
            ::CloseHandle(mHandle);
    }

    ScopedHandle open(const std::string& path, Access access, Share share)
    {
        const DWORD desired = access == Access::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
        const DWORD shareMode =
            FILE_SHARE_DELETE | (share == Share::DenyWrite ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE);
        // Creating truncates; the share check comes first, so a writer that is
        // refused destroys nothing.
        const DWORD disposition = access == Access::Create      ? CREATE_ALWAYS
                                  : access == Access::CreateNew ? CREATE_NEW
                                                                : OPEN_EXISTING;
        const HANDLE handle = ::CreateFileW(widePath(path).c_str(), desired, shareMode, nullptr, disposition,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
        {
            setErrno(::GetLastError());
            return ScopedHandle();
        }
        ScopedHandle result(handle);
        // Devices, pipes and consoles are no files.
        if (::GetFileType(handle) != FILE_TYPE_DISK)
        {
            errno = EACCES;
            return ScopedHandle();
        }
        return result;
    }

    ScopedHandle openForReading(const std::string& path, std::int64_t& size)
    {
        ScopedHandle file = open(path, Access::Read, Share::DenyNone);
        LARGE_INTEGER bytes;
        if (file.valid() && ::GetFileSizeEx(file.get(), &bytes))
            size = bytes.QuadPart;
        return file;
    }

    std::int64_t readSome(const ScopedHandle& file, void* data, std::size_t count, std::int64_t pos)
    {
        auto* out = static_cast<std::uint8_t*>(data);
        if (pos < 0)
            return -1;
        std::int64_t total = 0;
        while (count > 0)
        {
            OVERLAPPED o = at(pos);
            DWORD done = 0;
            const DWORD want = DWORD(std::min(count, MaxTransfer));
            if (!::ReadFile(file.get(), out, want, &done, &o))
                return ::GetLastError() == ERROR_HANDLE_EOF ? total : -1;
            if (done == 0)
                break; // the end of the file
            out += done;
            count -= done;
            pos += done;
            total += done;
        }
        return total;
    }

    bool readAt(const ScopedHandle& file, void* data, std::size_t count, std::int64_t pos)
    {
        return readSome(file, data, count, pos) == static_cast<std::int64_t>(count);
    }

    bool writeAt(const ScopedHandle& file, const void* data, std::size_t count, std::int64_t pos)
    {
        if (Fault::inject(Fault::Counted::Other, Fault::Kind::Write))
            return injected();
        const auto* in = static_cast<const std::uint8_t*>(data);
        if (pos < 0)
            return false;
        while (count > 0)
        {
            OVERLAPPED o = at(pos);
            DWORD done = 0;
            const DWORD want = DWORD(std::min(count, MaxTransfer));
            if (!::WriteFile(file.get(), in, want, &done, &o) || done == 0)
            {
                setErrno(::GetLastError());
                return false;
            }
            in += done;
            count -= done;
            pos += done;
        }
        return true;
    }

    std::int64_t copyRange(const ScopedHandle& src, std::int64_t srcPos, const ScopedHandle& dst, std::int64_t dstPos,
                           std::int64_t count)
    {
        if (Fault::inject(Fault::Counted::Other, Fault::Kind::Write))
        {
            injected();
            return -1;
        }
        if (count <= 0 || srcPos < 0)
            return 0;
        constexpr std::int64_t chunk = 1 << 20;
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min(count, chunk)));
        std::int64_t done = 0;
        while (done < count)
        {
            OVERLAPPED o = at(srcPos + done);
            DWORD got = 0;
            const auto want = DWORD(std::min(count - done, chunk));
            if (!::ReadFile(src.get(), buffer.data(), want, &got, &o) || got == 0)
                return done;
            if (!writeAt(dst, buffer.data(), got, dstPos + done))
                return -1;
            done += got;
        }
        return done;
    }

    std::int64_t linkCount(const ScopedHandle& file)
    {
        BY_HANDLE_FILE_INFORMATION info;
        return ::GetFileInformationByHandle(file.get(), &info) ? static_cast<std::int64_t>(info.nNumberOfLinks) : -1;
    }

    std::int64_t size(const ScopedHandle& file)
    {
        LARGE_INTEGER value;
        if (!::GetFileSizeEx(file.get(), &value))
            return -1;
        return value.QuadPart;
    }

    bool setSize(const ScopedHandle& file, std::int64_t newSize)
    {
        if (Fault::inject())
            return injected();
        if (newSize < 0)
            return false;
        FILE_END_OF_FILE_INFO info{};
        info.EndOfFile.QuadPart = newSize;
        return ::SetFileInformationByHandle(file.get(), FileEndOfFileInfo, &info, sizeof info) != 0;
    }

    bool sync(const ScopedHandle& file)
    {
        if (Fault::inject(Fault::Counted::DiskWait))
            return injected();
        return ::FlushFileBuffers(file.get()) != 0;
    }

    bool replace(const std::string& from, const std::string& to)
    {
        if (Fault::inject(Fault::Counted::DiskWait, Fault::Kind::Rename))
            return injected();
        if (::MoveFileExW(widePath(from).c_str(), widePath(to).c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
            != 0)
            return true;
        setErrno(::GetLastError());
        return false;
    }

    bool replace(const std::string& from, const std::string& to, ScopedHandle& held)
    {
        held = ScopedHandle();
        return replace(from, to);
    }

    std::optional<std::int64_t> freeSpace(const std::string& path)
    {
        if (Fault::detail::freeSpaceSet)
            return Fault::detail::freeSpaceValue;
        ULARGE_INTEGER available;
        if (!::GetDiskFreeSpaceExW(folderOf(path).c_str(), &available, nullptr, nullptr))
            return std::nullopt;
        return std::int64_t(available.QuadPart);
    }

    std::vector<std::string> leftoversBeside(const std::string& path, bool remove)
    {
        const auto cut = path.find_last_of("/\\");
        const std::string folder = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
        const std::string prefix = "." + (cut == std::string::npos ? path : path.substr(cut + 1)) + ".";
        std::vector<std::string> found;
        WIN32_FIND_DATAW item;
        const HANDLE search = ::FindFirstFileW(widePath(folder + prefix + "*.tmp").c_str(), &item);
        if (search == INVALID_HANDLE_VALUE)
            return found;
        do
        {
            // createBeside's names: the prefix, one to six of [a-z0-9], ".tmp"
            // (the prefix compared without case, as the system names files).
            const std::string name = Win32::utf8(item.cFileName, wcslen(item.cFileName));
            const std::size_t middle = name.size() - std::min(name.size(), prefix.size() + 4);
            if ((item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || middle < 1 || middle > 6
                || ::CompareStringOrdinal(Win32::wide(name.substr(0, prefix.size())).c_str(), -1,
                                          Win32::wide(prefix).c_str(), -1, TRUE)
                       != CSTR_EQUAL
                || !std::all_of(name.begin() + std::ptrdiff_t(prefix.size()), name.end() - 4,
                                [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }))
                continue;
            // A writer holds its new file open, sharing no writing: a file
            // that opens for this process alone was left by a run that was
            // stopped, and deleting it on close takes nobody's file.
            const HANDLE file =
                ::CreateFileW(widePath(folder + name).c_str(), remove ? DELETE : GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | (remove ? FILE_FLAG_DELETE_ON_CLOSE : 0), nullptr);
            if (file == INVALID_HANDLE_VALUE)
                continue;
            ::CloseHandle(file);
            found.push_back(name);
        } while (::FindNextFileW(search, &item));
        ::FindClose(search);
        std::sort(found.begin(), found.end());
        return found;
    }

    bool inStickyFolder(const std::string&) { return false; }

    bool remove(const std::string& path) { return ::DeleteFileW(widePath(path).c_str()) != 0; }

    std::string resolvedPath(const std::string& path)
    {
        // Links to archives are no concern of the players' systems: the name
        // given is the file to replace.
        return path;
    }

    namespace
    {
        // Volume serial number and file index: what tells two names of one file.
        bool fileIdentity(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info)
        {
            return ::GetFileInformationByHandle(handle, &info) != 0;
        }

        bool identityOf(const std::string& path, BY_HANDLE_FILE_INFORMATION& info)
        {
            // FILE_FLAG_BACKUP_SEMANTICS opens folders too; no access right is needed to ask.
            const HANDLE handle =
                ::CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            if (handle == INVALID_HANDLE_VALUE)
                return false;
            const bool known = fileIdentity(handle, info);
            ::CloseHandle(handle);
            return known;
        }

        bool sameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b)
        {
            return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh
                   && a.nFileIndexLow == b.nFileIndexLow;
        }
    } // namespace

    std::ptrdiff_t firstSameFile(const std::string& path, std::span<const std::string> others)
    {
        BY_HANDLE_FILE_INFORMATION a;
        if (others.empty() || !identityOf(path, a))
            return -1;
        for (std::size_t i = 0; i < others.size(); ++i)
        {
            BY_HANDLE_FILE_INFORMATION b;
            if (identityOf(others[i], b) && sameIdentity(a, b))
                return static_cast<std::ptrdiff_t>(i);
        }
        return -1;
    }

    bool sameFile(const std::string& path, const ScopedHandle& open)
    {
        BY_HANDLE_FILE_INFORMATION a;
        BY_HANDLE_FILE_INFORMATION b;
        return open.valid() && identityOf(path, a) && fileIdentity(open.get(), b) && sameIdentity(a, b);
    }

    ScopedHandle createBeside(const std::string& path, const ScopedHandle& like, std::string& tempPath)
    {
        if (Fault::inject(Fault::Counted::Other, Fault::Kind::Create))
        {
            injected();
            return ScopedHandle();
        }
        const auto cut = path.find_last_of("/\\");
        const std::string folder = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
        const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
        // The new file takes the attributes of the one it will replace (it
        // keeps them when it takes that file's name, so it is not hidden).
        DWORD attributes = FILE_ATTRIBUTE_NORMAL;
        if (like.valid())
        {
            BY_HANDLE_FILE_INFORMATION info;
            if (::GetFileInformationByHandle(like.get(), &info))
                attributes = info.dwFileAttributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        }
        static unsigned serial = 0;
        for (int attempt = 0; attempt < 100; ++attempt)
        {
            const unsigned long long seed =
                (static_cast<unsigned long long>(::GetTickCount64()) << 16) ^ (::GetCurrentProcessId() << 8) ^ ++serial;
            const std::string candidate = folder + "." + name + "." + std::to_string(seed % 1000000) + ".tmp";
            const HANDLE handle =
                ::CreateFileW(widePath(candidate).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, attributes, nullptr);
            if (handle == INVALID_HANDLE_VALUE)
            {
                if (::GetLastError() == ERROR_FILE_EXISTS)
                    continue;
                setErrno(::GetLastError());
                return ScopedHandle();
            }
            tempPath = candidate;
            return ScopedHandle(handle);
        }
        errno = EEXIST;
        return ScopedHandle();
    }

    bool mayReplace(const std::string& path)
    {
        const DWORD attributes = ::GetFileAttributesW(widePath(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
        {
            const DWORD code = ::GetLastError();
            setErrno(code);
            return code == ERROR_FILE_NOT_FOUND;
        }
        if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_READONLY)) != 0)
        {
            errno = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EISDIR : EACCES;
            return false;
        }
        return true;
    }

    bool isReadOnly(const std::string& path)
    {
        const DWORD attributes = ::GetFileAttributesW(widePath(path).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    }

    bool clearReadOnly(const std::string& path)
    {
        const std::wstring name = widePath(path);
        const DWORD attributes = ::GetFileAttributesW(name.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return false;
        return ::SetFileAttributesW(name.c_str(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)) != 0;
    }

    bool isOrdinaryFile(const std::string& path)
    {
        const DWORD attributes = ::GetFileAttributesW(widePath(path).c_str());
        constexpr DWORD excluded =
            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DEVICE;
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & excluded) == 0;
    }
} // namespace Platform::File
