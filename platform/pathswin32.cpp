// Folders on Windows, as UTF-8 texts ending in "\".

#include "paths.h"
#include "win32text.h"

#include <windows.h>

#include <vector>

namespace Platform::Paths
{
    using Win32::utf8;

    namespace
    {
        std::string env(const wchar_t* name) { return Win32::environment(name); }

        std::string withSlash(std::string path)
        {
            if (path.empty() || (path.back() != '\\' && path.back() != '/'))
                path += '\\';
            return path;
        }

    } // namespace

    std::string executablePath()
    {
        // Long enough for any path the system allows.
        std::vector<wchar_t> buffer(32768);
        const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
        if (n == 0 || n >= buffer.size())
            return {};
        return utf8(buffer.data(), n);
    }

    std::string programDir()
    {
        const std::string exe = executablePath();
        const auto slash = exe.find_last_of("\\/");
        if (slash == std::string::npos)
            return ".\\";
        return exe.substr(0, slash + 1);
    }

    std::string tempDir()
    {
        wchar_t buffer[MAX_PATH + 2];
        const DWORD n = ::GetTempPathW(MAX_PATH + 2, buffer);
        if (n == 0 || n > MAX_PATH + 1)
            return ".\\";
        return withSlash(utf8(buffer, n));
    }

    std::string homeDir()
    {
        const std::string home = env(L"USERPROFILE");
        return withSlash(home.empty() ? "C:\\" : home);
    }

    std::string userDataDir()
    {
        std::string local = env(L"LOCALAPPDATA");
        if (local.empty())
            local = env(L"APPDATA");
        return (local.empty() ? homeDir() : withSlash(local)) + "tarrowin\\";
    }

    std::string templatePath(const std::string& name)
    {
        const std::string user = userDataDir() + name;
        const DWORD attributes = ::GetFileAttributesW(Win32::widePath(user).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return user;
        return programDir() + name;
    }

    std::string configDir()
    {
        const std::string appData = env(L"APPDATA");
        return appData.empty() ? homeDir() : withSlash(appData);
    }
} // namespace Platform::Paths
