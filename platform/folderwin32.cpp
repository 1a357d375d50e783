#include "folder.h"

#include "errors/errors.h"

#include "win32text.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cwchar>

namespace Platform::Folder
{
    using Win32::wide;
    using Win32::widePath;

    namespace
    {
        std::string baseName(const std::string& path)
        {
            const auto cut = path.find_last_of("/\\");
            return cut == std::string::npos ? path : path.substr(cut + 1);
        }
    } // namespace

    std::vector<std::string> ordinaryFileNames(const std::string& folder, const std::string& exclude)
    {
        std::string pattern = folder;
        if (!pattern.empty() && pattern.back() != '/' && pattern.back() != '\\')
            pattern += '\\';
        // The excluded file is told by name: Windows file names compare without case.
        const std::wstring excluded = exclude.empty() ? std::wstring() : wide(baseName(exclude));
        WIN32_FIND_DATAW item;
        const HANDLE find = ::FindFirstFileW(widePath(pattern + "*").c_str(), &item);
        if (find == INVALID_HANDLE_VALUE)
        {
            const DWORD code = ::GetLastError();
            if (code == ERROR_FILE_NOT_FOUND)
                return {};
            lgp::FailInOut(code == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES);
        }
        constexpr DWORD skipped =
            FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DEVICE;
        std::vector<std::string> names;
        do
        {
            if ((item.dwFileAttributes & skipped) != 0 || item.cFileName[0] == L'.')
                continue;
            if (!excluded.empty()
                && ::CompareStringOrdinal(item.cFileName, -1, excluded.c_str(), -1, TRUE) == CSTR_EQUAL)
                continue;
            names.push_back(Win32::utf8(item.cFileName, std::wcslen(item.cFileName)));
        } while (::FindNextFileW(find, &item));
        ::FindClose(find);
        return names;
    }

    std::vector<Item> items(const std::string& folder, const std::string& exclude)
    {
        std::string pattern = folder;
        if (!pattern.empty() && pattern.back() != '/' && pattern.back() != '\\')
            pattern += '\\';
        const std::wstring excluded = exclude.empty() ? std::wstring() : wide(baseName(exclude));
        WIN32_FIND_DATAW found;
        const HANDLE find = ::FindFirstFileW(wide(pattern + "*").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE)
        {
            const DWORD code = ::GetLastError();
            if (code == ERROR_FILE_NOT_FOUND)
                return {};
            lgp::FailInOut(code == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES);
        }
        std::vector<Item> result;
        do
        {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (!excluded.empty() && ::CompareStringOrdinal(name.c_str(), -1, excluded.c_str(), -1, TRUE) == CSTR_EQUAL)
                continue;
            Item item{Win32::utf8(name.c_str(), name.size()), Item::Kind::File,
                      name[0] == L'.'
                          || (found.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0};
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
                item.Type = Item::Kind::Folder;
            else if ((found.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0)
                item.Type = Item::Kind::Other;
            result.push_back(std::move(item));
        } while (::FindNextFileW(find, &found));
        ::FindClose(find);
        return result;
    }

    bool make(const std::string& path)
    {
        const std::wstring name = widePath(path);
        if (::CreateDirectoryW(name.c_str(), nullptr))
            return true;
        const DWORD attributes = ::GetFileAttributesW(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return true;
        errno = ::GetLastError() == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
        return false;
    }

    std::vector<std::string> subfolderNames(const std::string& folder)
    {
        std::string pattern = folder;
        if (!pattern.empty() && pattern.back() != '/' && pattern.back() != '\\')
            pattern += '\\';
        std::vector<std::string> names;
        WIN32_FIND_DATAW item;
        const HANDLE find = ::FindFirstFileW(widePath(pattern + "*").c_str(), &item);
        if (find == INVALID_HANDLE_VALUE)
            return names;
        do
        {
            if ((item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0
                || (item.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0
                || item.cFileName[0] == L'.')
                continue;
            names.push_back(Win32::utf8(item.cFileName, std::wcslen(item.cFileName)));
        } while (::FindNextFileW(find, &item));
        ::FindClose(find);
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string current()
    {
        const DWORD length = ::GetCurrentDirectoryW(0, nullptr);
        if (length == 0)
            return {};
        std::wstring folder(length, L'\0');
        const DWORD written = ::GetCurrentDirectoryW(length, folder.data());
        if (written == 0 || written >= length)
            return {};
        folder.resize(written);
        if (folder.back() != L'\\' && folder.back() != L'/')
            folder += L'\\';
        return Win32::utf8(folder.data(), folder.size());
    }
} // namespace Platform::Folder
