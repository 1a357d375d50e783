// The game's registry value from a Wine prefix. A prefix keeps
// HKEY_LOCAL_MACHINE in "system.reg", a text file:
//
//   WINE REGISTRY Version 2
//   ;; All keys relative to \\Machine
//   [Software\\Square Soft, Inc.\\Final Fantasy VII] 1234567890
//   #time=1d2c3b4a5968778
//   "AppPath"="C:\\Games\\FF7\\"
//
// Key paths and value texts double their backslashes; key and value names
// match case-insensitively as they do on Windows.

#include "registry.h"

#include "core/errors.h"
#include "paths.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include <unistd.h>

namespace Platform::Registry
{
    namespace
    {
        namespace fs = std::filesystem;

        const char* const GameKey = "Software\\Square Soft, Inc.\\Final Fantasy VII";
        const char* const GameKey32 = "Software\\Wow6432Node\\Square Soft, Inc.\\Final Fantasy VII";

        std::string upper(std::string text)
        {
            for (char& c : text)
                if (c >= 'a' && c <= 'z')
                    c = char(c - 'a' + 'A');
            return text;
        }

        void appendUtf8(std::string& out, unsigned code)
        {
            if (code < 0x80)
                out += char(code);
            else if (code < 0x800)
            {
                out += char(0xC0 | (code >> 6));
                out += char(0x80 | (code & 0x3F));
            }
            else
            {
                out += char(0xE0 | (code >> 12));
                out += char(0x80 | ((code >> 6) & 0x3F));
                out += char(0x80 | (code & 0x3F));
            }
        }

        int hexDigit(char c)
        {
            if (c >= '0' && c <= '9')
                return c - '0';
            if (c >= 'a' && c <= 'f')
                return c - 'a' + 10;
            if (c >= 'A' && c <= 'F')
                return c - 'A' + 10;
            return -1;
        }

        // Reads a quoted, escaped string starting at text[pos] == '"'; pos ends
        // after the closing quote. False when the quote is never closed.
        bool readQuoted(const std::string& text, std::size_t& pos, std::string& out)
        {
            if (pos >= text.size() || text[pos] != '"')
                return false;
            ++pos;
            while (pos < text.size())
            {
                const char c = text[pos++];
                if (c == '"')
                    return true;
                if (c != '\\' || pos >= text.size())
                {
                    out += c;
                    continue;
                }
                const char e = text[pos++];
                switch (e)
                {
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case '0': out += '\0'; break;
                case 'x':
                {
                    unsigned code = 0;
                    int digits = 0;
                    while (digits < 4 && pos < text.size() && hexDigit(text[pos]) >= 0)
                    {
                        code = code * 16 + unsigned(hexDigit(text[pos++]));
                        ++digits;
                    }
                    appendUtf8(out, code);
                    break;
                }
                default: out += e; break;
                }
            }
            return false;
        }

        // The key path of a section line "[Software\\A\\B] 123", unescaped.
        std::optional<std::string> sectionKey(const std::string& line)
        {
            if (line.empty() || line[0] != '[')
                return std::nullopt;
            std::string key;
            for (std::size_t i = 1; i < line.size(); ++i)
            {
                if (line[i] == ']')
                    return key;
                if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == '\\')
                    ++i;
                key += line[i];
            }
            return std::nullopt;
        }

        // The string value named valueName in key, from one system.reg.
        std::optional<std::string> readValue(const fs::path& regFile, const std::string& key,
            const std::string& valueName)
        {
            std::ifstream in(regFile, std::ios::binary);
            if (!in)
                return std::nullopt;
            const std::string wantedKey = upper(key);
            const std::string wantedValue = upper(valueName);
            bool inKey = false;
            std::string line;
            while (std::getline(in, line))
            {
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                if (!line.empty() && line[0] == '[')
                {
                    const auto name = sectionKey(line);
                    inKey = name && upper(*name) == wantedKey;
                    continue;
                }
                if (!inKey || line.empty() || line[0] != '"')
                    continue;
                std::size_t pos = 0;
                std::string name;
                if (!readQuoted(line, pos, name) || pos >= line.size() || line[pos] != '=')
                    continue;
                if (upper(name) != wantedValue)
                    continue;
                ++pos;
                // REG_SZ is "text"; REG_EXPAND_SZ is written str(2):"text".
                if (line.compare(pos, 7, "str(2):") == 0)
                    pos += 7;
                std::string value;
                if (pos < line.size() && line[pos] == '"' && readQuoted(line, pos, value))
                    return value;
                return std::nullopt; // a value of another type is no path
            }
            return std::nullopt;
        }

        std::string env(const char* name)
        {
            const char* value = std::getenv(name);
            return value ? std::string(value) : std::string();
        }

        // Prefixes to look in, in order: $WINEPREFIX (else ~/.wine), then every
        // Proton prefix of the usual Steam libraries.
        std::vector<fs::path> prefixes()
        {
            std::vector<fs::path> result;
            const std::string wine = env("WINEPREFIX");
            result.emplace_back(wine.empty() ? Paths::homeDir() + ".wine" : wine);
            const std::string home = Paths::homeDir();
            for (const char* steam : {".steam/steam/steamapps/compatdata", ".local/share/Steam/steamapps/compatdata"})
            {
                std::error_code ec;
                std::vector<fs::path> found;
                for (fs::directory_iterator it(home + steam, ec), end; !ec && it != end; it.increment(ec))
                    if (fs::exists(it->path() / "pfx" / "system.reg"))
                        found.push_back(it->path() / "pfx");
                std::sort(found.begin(), found.end());
                result.insert(result.end(), found.begin(), found.end());
            }
            return result;
        }

        struct Registered
        {
            fs::path prefix;
            std::string value;
        };

        std::optional<Registered> findAppPath()
        {
            for (const fs::path& prefix : prefixes())
                for (const char* key : {GameKey, GameKey32})
                    if (auto value = readValue(prefix / "system.reg", key, "AppPath"))
                        return Registered{prefix, *value};
            return std::nullopt;
        }

        // A component that doesn't exist as written may exist in another case:
        // Windows names are case-insensitive, Linux ones aren't.
        fs::path appendComponent(const fs::path& base, const std::string& component)
        {
            fs::path exact = base / component;
            std::error_code ec;
            if (fs::exists(exact, ec))
                return exact;
            const std::string wanted = upper(component);
            for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec))
                if (upper(it->path().filename().string()) == wanted)
                    return it->path();
            return exact;
        }
    }

    std::optional<std::string> gameAppPathRaw()
    {
        if (auto found = findAppPath())
            return found->value;
        return std::nullopt;
    }

    std::optional<std::string> gameDataFolder()
    {
        const auto found = findAppPath();
        if (!found)
            return std::nullopt;
        // The program appends "data" without a separator: the value is
        // expected to end in "\".
        const std::string windowsPath = found->value + "data";

        fs::path folder;
        std::string rest = windowsPath;
        if (rest.size() >= 2 && rest[1] == ':' && std::isalpha(static_cast<unsigned char>(rest[0])))
        {
            const char drive = char(std::tolower(static_cast<unsigned char>(rest[0])));
            const fs::path device = found->prefix / "dosdevices" / (std::string(1, drive) + ":");
            std::error_code ec;
            if (fs::exists(device, ec))
                folder = device;
            else if (drive == 'c')
                folder = found->prefix / "drive_c";
            else
                folder = device; // doesn't exist: entering it reports the failure
            rest = rest.substr(2);
        }
        else
        {
            folder = "/";
        }

        std::string component;
        for (const char c : rest + "\\")
        {
            if (c == '\\' || c == '/')
            {
                if (!component.empty() && component != ".")
                    folder = component == ".." ? folder.parent_path() : appendComponent(folder, component);
                component.clear();
            }
            else
            {
                component += c;
            }
        }
        std::string result = folder.string();
        if (result.empty() || result.back() != '/')
            result += '/';
        return result;
    }

    bool enterGameDataFolder()
    {
        const auto folder = gameDataFolder();
        if (!folder)
            return false;
        if (::chdir(folder->c_str()) != 0)
            lgp::FailInOut(errno);
        return true;
    }
}
