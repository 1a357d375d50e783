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

#include "errors/errors.h"
#include "paths.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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
            else if (code < 0x10000)
            {
                out += char(0xE0 | (code >> 12));
                out += char(0x80 | ((code >> 6) & 0x3F));
                out += char(0x80 | (code & 0x3F));
            }
            else
            {
                out += char(0xF0 | (code >> 18));
                out += char(0x80 | ((code >> 12) & 0x3F));
                out += char(0x80 | ((code >> 6) & 0x3F));
                out += char(0x80 | (code & 0x3F));
            }
        }

        bool highSurrogate(unsigned code) { return code >= 0xD800 && code <= 0xDBFF; }
        bool lowSurrogate(unsigned code) { return code >= 0xDC00 && code <= 0xDFFF; }

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

        // Up to four hexadecimal digits from text[pos]; pos ends after them.
        unsigned readHexUnit(const std::string& text, std::size_t& pos)
        {
            unsigned code = 0;
            for (int digits = 0; digits < 4 && pos < text.size() && hexDigit(text[pos]) >= 0; ++digits)
                code = code * 16 + unsigned(hexDigit(text[pos++]));
            return code;
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
                    // One UTF-16 code unit of up to four digits. A character
                    // outside the Basic Multilingual Plane comes as two: a
                    // high and a low surrogate, joined into one character; a
                    // surrogate without its partner is no character at all.
                    unsigned code = readHexUnit(text, pos);
                    if (highSurrogate(code) && text.compare(pos, 2, "\\x") == 0)
                    {
                        std::size_t next = pos + 2;
                        const unsigned low = readHexUnit(text, next);
                        if (lowSurrogate(low))
                        {
                            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                            pos = next;
                        }
                    }
                    appendUtf8(out, highSurrogate(code) || lowSurrogate(code) ? 0xFFFD : code);
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

        // A Steam libraryfolders.vdf: nested "key" "value" pairs and "key" { ... }
        // blocks. The libraries are the "path" values of the numbered blocks
        // of "libraryfolders" (older files give the path as the numbered
        // key's value).
        class VdfReader
        {
        public:
            explicit VdfReader(std::string text)
                : mText(std::move(text))
            {
            }

            std::vector<std::string> libraryPaths()
            {
                std::vector<std::string> paths;
                std::string key;
                // Depth 1 is inside "libraryfolders", 2 inside a numbered block.
                int depth = 0;
                std::string blockKey;
                bool keyPending = false;
                for (Token t = next(); t.kind != Token::End; t = next())
                {
                    if (t.kind == Token::Open)
                    {
                        if (depth == 1)
                            blockKey = key;
                        ++depth;
                        keyPending = false;
                    }
                    else if (t.kind == Token::Close)
                    {
                        depth = std::max(0, depth - 1);
                        keyPending = false;
                    }
                    else if (!keyPending)
                    {
                        key = t.text;
                        keyPending = true;
                    }
                    else
                    {
                        keyPending = false;
                        const bool numbered = !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
                            return c >= '0' && c <= '9';
                        });
                        if (depth == 1 && numbered)
                            paths.push_back(t.text);
                        else if (depth == 2 && upper(key) == "PATH" && !blockKey.empty()
                                 && std::all_of(blockKey.begin(), blockKey.end(),
                                                [](char c) { return c >= '0' && c <= '9'; }))
                            paths.push_back(t.text);
                    }
                }
                return paths;
            }

        private:
            struct Token
            {
                enum Kind
                {
                    Text,
                    Open,
                    Close,
                    End
                } kind;
                std::string text;
            };

            Token next()
            {
                while (mPos < mText.size())
                {
                    const char c = mText[mPos];
                    if (std::isspace(static_cast<unsigned char>(c)))
                        ++mPos;
                    else if (c == '/' && mText.compare(mPos, 2, "//") == 0)
                        mPos = std::min(mText.size(), mText.find('\n', mPos));
                    else
                        break;
                }
                if (mPos >= mText.size())
                    return {Token::End, {}};
                const char c = mText[mPos++];
                if (c == '{')
                    return {Token::Open, {}};
                if (c == '}')
                    return {Token::Close, {}};
                std::string text;
                if (c == '"')
                {
                    while (mPos < mText.size() && mText[mPos] != '"')
                    {
                        if (mText[mPos] == '\\' && mPos + 1 < mText.size())
                            ++mPos;
                        text += mText[mPos++];
                    }
                    ++mPos;
                }
                else
                {
                    text += c;
                    while (mPos < mText.size() && !std::isspace(static_cast<unsigned char>(mText[mPos]))
                           && mText[mPos] != '{' && mText[mPos] != '}' && mText[mPos] != '"')
                        text += mText[mPos++];
                }
                return {Token::Text, text};
            }

            std::string mText;
            std::size_t mPos = 0;
        };

        // Steam's installations in the home folder, then the libraries each
        // one lists, in its order; each folder once.
        std::vector<fs::path> steamLibraries()
        {
            std::vector<fs::path> result;
            auto add = [&result](const fs::path& folder) {
                std::error_code ec;
                if (!fs::is_directory(folder, ec))
                    return;
                const fs::path real = fs::weakly_canonical(folder, ec);
                const fs::path key = ec ? folder : real;
                for (const fs::path& known : result)
                    if (known == key)
                        return;
                result.push_back(key);
            };
            const std::string home = Paths::homeDir();
            for (const char* root : {".steam/steam", ".local/share/Steam"})
            {
                const fs::path steam = home + root;
                add(steam);
                std::ifstream in(steam / "steamapps" / "libraryfolders.vdf", std::ios::binary);
                if (!in)
                    continue;
                const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                for (const std::string& library : VdfReader(text).libraryPaths())
                    add(library);
            }
            return result;
        }

        // Prefixes to look in, in order: $WINEPREFIX (else ~/.wine), then the
        // Proton prefixes of every Steam library, in library order and within
        // a library by folder name, so the choice never depends on the order
        // in which a folder lists its entries.
        std::vector<fs::path> prefixes()
        {
            std::vector<fs::path> result;
            const std::string wine = env("WINEPREFIX");
            result.emplace_back(wine.empty() ? Paths::homeDir() + ".wine" : wine);
            for (const fs::path& library : steamLibraries())
            {
                std::error_code ec;
                std::vector<fs::path> found;
                for (fs::directory_iterator it(library / "steamapps" / "compatdata", ec), end; !ec && it != end;
                     it.increment(ec))
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
            // The game and its tools are 32-bit programs, which Windows
            // redirects to the Wow6432Node view: that view wins.
            for (const fs::path& prefix : prefixes())
                for (const char* key : {GameKey32, GameKey})
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

    std::optional<std::string> steamGameDataFolder()
    {
        for (const fs::path& library : steamLibraries())
        {
            const fs::path game = library / "steamapps" / "common" / "FINAL FANTASY VII";
            std::error_code ec;
            if (!fs::is_directory(game, ec))
                continue;
            const fs::path data = appendComponent(game, "data");
            if (fs::is_directory(data, ec))
                return data.string() + "/";
        }
        return std::nullopt;
    }

    std::optional<std::string> gameDataFolder()
    {
        const auto found = findAppPath();
        if (!found)
            return steamGameDataFolder();
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
