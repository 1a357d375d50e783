// The game's registry value on Windows: "AppPath" of
// HKEY_LOCAL_MACHINE\Software\Square Soft, Inc.\Final Fantasy VII, read from
// the 32-bit view first (the game and its tools are 32-bit programs, whose
// keys Windows keeps there), then from the 64-bit one. The key is opened for
// reading only, never created.

#include "registry.h"

#include "errors/errors.h"

#include "win32text.h"

#include <windows.h>

#include <cerrno>
#include <vector>

namespace Platform::Registry
{
    using Win32::utf8;

    namespace
    {
        const wchar_t* const GameKey = L"Software\\Square Soft, Inc.\\Final Fantasy VII";

        std::optional<std::wstring> readAppPath(REGSAM view)
        {
            HKEY key = nullptr;
            if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, GameKey, 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS)
                return std::nullopt;
            std::optional<std::wstring> result;
            DWORD type = 0;
            DWORD bytes = 0;
            if (::RegQueryValueExW(key, L"AppPath", nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS
                && (type == REG_SZ || type == REG_EXPAND_SZ))
            {
                std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
                DWORD size = DWORD(buffer.size() * sizeof(wchar_t));
                if (::RegQueryValueExW(key, L"AppPath", nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size)
                    == ERROR_SUCCESS)
                {
                    // The stored text may or may not carry its terminating NUL.
                    std::wstring value(buffer.data(), size / sizeof(wchar_t));
                    while (!value.empty() && value.back() == L'\0')
                        value.pop_back();
                    result = value;
                }
            }
            ::RegCloseKey(key);
            return result;
        }

        std::optional<std::wstring> appPath()
        {
            if (auto value = readAppPath(KEY_WOW64_32KEY))
                return value;
            return readAppPath(KEY_WOW64_64KEY);
        }

        // The texts of system codes 2 to 5, and "I/O error" otherwise.
        int errnoFor(DWORD code)
        {
            switch (code)
            {
            case ERROR_FILE_NOT_FOUND: return ENOENT;
            case ERROR_PATH_NOT_FOUND:
            case ERROR_INVALID_NAME:
            case ERROR_DIRECTORY: return ENOTDIR;
            case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
            case ERROR_ACCESS_DENIED: return EACCES;
            default: return int(code);
            }
        }
    } // namespace

    std::optional<std::string> gameAppPathRaw()
    {
        if (auto value = appPath())
            return utf8(*value);
        return std::nullopt;
    }

    std::optional<std::string> gameDataFolder()
    {
        if (auto value = appPath())
            return utf8(*value) + "data\\";
        return std::nullopt;
    }

    bool enterGameDataFolder()
    {
        const auto value = appPath();
        if (!value)
            return false;
        // "data" is appended without a separator: the value ends in "\".
        const std::wstring folder = *value + L"data";
        if (!::SetCurrentDirectoryW(folder.c_str()))
            lgp::FailInOut(errnoFor(::GetLastError()));
        return true;
    }
} // namespace Platform::Registry
