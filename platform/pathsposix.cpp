#include "paths.h"

#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace Platform::Paths
{
    namespace
    {
        std::string withSlash(std::string path)
        {
            if (path.empty() || path.back() != '/')
                path += '/';
            return path;
        }

        std::string env(const char* name)
        {
            const char* value = std::getenv(name);
            return value ? std::string(value) : std::string();
        }
    }

    std::string executablePath()
    {
        std::vector<char> buffer(4096);
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
        if (n <= 0)
            return {};
        return std::string(buffer.data(), static_cast<std::size_t>(n));
    }

    std::string supportDirFor(const std::string& exeDir)
    {
        // The kernel's link is the real file, symbolic links resolved, so a
        // program started through a link on the PATH still finds its files.
        std::error_code ec;
        for (const char* file : {"STUB.LGP", "LGP.95"})
            if (std::filesystem::is_regular_file(exeDir + file, ec))
                return exeDir;
        const std::string installed = exeDir + TARROWIN_PRIVATE_DIR;
        if (std::filesystem::is_directory(installed, ec))
            return withSlash(std::filesystem::path(installed).lexically_normal().string());
        return exeDir;
    }

    std::string programDir()
    {
        const std::string exe = executablePath();
        const auto slash = exe.find_last_of('/');
        if (slash == std::string::npos)
            return "./";
        return supportDirFor(exe.substr(0, slash + 1));
    }

    std::string tempDir()
    {
        const std::string tmp = env("TMPDIR");
        return withSlash(tmp.empty() ? "/tmp" : tmp);
    }

    std::string makePrivateTempFolder(const std::string& prefix)
    {
        std::string pattern = tempDir() + prefix + ".XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr)
            return {};
        return withSlash(pattern);
    }

    std::string homeDir()
    {
        std::string home = env("HOME");
        if (home.empty())
        {
            if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
                home = pw->pw_dir;
        }
        return withSlash(home.empty() ? "/" : home);
    }

    std::string userDataDir()
    {
        const std::string xdg = env("XDG_DATA_HOME");
        if (!xdg.empty() && xdg[0] == '/')
            return withSlash(xdg) + "tarrowin/";
        return homeDir() + ".local/share/tarrowin/";
    }

    std::string templatePath(const std::string& name)
    {
        const std::string user = userDataDir() + name;
        std::error_code ec;
        if (std::filesystem::is_regular_file(user, ec))
            return user;
        return programDir() + name;
    }

    std::string configDir()
    {
        const std::string xdg = env("XDG_CONFIG_HOME");
        if (!xdg.empty() && xdg[0] == '/')
            return withSlash(xdg);
        return homeDir() + ".config/";
    }
}
