#include "inifile.h"

#include "errors/errors.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace Platform::Ini
{
    namespace
    {
        std::string trim(const std::string& text)
        {
            const auto first = text.find_first_not_of(" \t\r\f\v");
            if (first == std::string::npos)
                return {};
            const auto last = text.find_last_not_of(" \t\r\f\v");
            return text.substr(first, last - first + 1);
        }

        char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

        bool sameName(const std::string& a, const std::string& b)
        {
            if (a.size() != b.size())
                return false;
            for (std::size_t i = 0; i < a.size(); ++i)
                if (upper(a[i]) != upper(b[i]))
                    return false;
            return true;
        }

        // One line of the file, classified once so reading and writing agree.
        struct Line
        {
            enum class Kind
            {
                Other, // blank, comment or anything unparsable: kept verbatim
                Section,
                Key,
            } kind = Kind::Other;
            std::string text; // without its line break
            std::string name; // section or key name
            std::string value;
        };

        struct Document
        {
            std::vector<Line> lines;
            std::string newline = "\n";
        };

        Line classify(std::string text)
        {
            if (!text.empty() && text.back() == '\r')
                text.pop_back();
            Line line;
            line.text = text;
            const std::string t = trim(text);
            if (t.empty() || t[0] == ';' || t[0] == '#')
                return line;
            if (t[0] == '[')
            {
                const auto close = t.find(']');
                if (close != std::string::npos)
                {
                    line.kind = Line::Kind::Section;
                    line.name = trim(t.substr(1, close - 1));
                }
                return line;
            }
            const auto eq = t.find('=');
            if (eq == std::string::npos)
                return line;
            line.kind = Line::Kind::Key;
            line.name = trim(t.substr(0, eq));
            line.value = trim(t.substr(eq + 1));
            return line;
        }

        // False when the file exists but can't be read; a missing file is an
        // empty document.
        bool load(const std::string& file, Document& doc)
        {
            std::error_code ec;
            if (!std::filesystem::exists(file, ec))
                return !ec;
            std::ifstream in(file, std::ios::binary);
            if (!in)
                return false;
            std::stringstream buffer;
            buffer << in.rdbuf();
            if (in.bad())
                return false;
            const std::string content = buffer.str();
            const auto firstBreak = content.find('\n');
            if (firstBreak != std::string::npos && firstBreak > 0 && content[firstBreak - 1] == '\r')
                doc.newline = "\r\n";
            std::size_t start = 0;
            while (start < content.size())
            {
                auto end = content.find('\n', start);
                if (end == std::string::npos)
                    end = content.size();
                doc.lines.push_back(classify(content.substr(start, end - start)));
                start = end + 1;
            }
            return true;
        }

        // Index of the key line within section, or -1; also where the section
        // starts (-1 when it doesn't exist) and the last line that belongs to it.
        struct Found
        {
            long section = -1;
            long lastOfSection = -1;
            long key = -1;
        };

        Found find(const Document& doc, const std::string& section, const std::string& key)
        {
            Found found;
            bool inSection = false;
            for (std::size_t i = 0; i < doc.lines.size(); ++i)
            {
                const Line& line = doc.lines[i];
                if (line.kind == Line::Kind::Section)
                {
                    if (found.section >= 0 && inSection)
                        break; // only the first section of that name counts
                    inSection = sameName(line.name, section);
                    if (inSection)
                    {
                        found.section = long(i);
                        found.lastOfSection = long(i);
                    }
                    continue;
                }
                if (!inSection)
                    continue;
                if (line.kind == Line::Kind::Key)
                {
                    found.lastOfSection = long(i);
                    if (found.key < 0 && sameName(line.name, key))
                        found.key = long(i);
                }
            }
            return found;
        }

        std::string unquote(const std::string& value)
        {
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                return value.substr(1, value.size() - 2);
            return value;
        }

        // Line breaks in a value would split it into lines of their own.
        std::string oneLine(std::string text)
        {
            for (char& c : text)
                if (c == '\n' || c == '\r')
                    c = ' ';
            return text;
        }

        [[noreturn]] void failWrite(const std::string& file) { throw ELGPError("Unable to write to " + file); }

        bool parseHex(const std::string& digits, std::int32_t& value)
        {
            if (digits.empty() || digits.size() > 8)
                return false;
            std::uint32_t result = 0;
            for (const char c : digits)
            {
                std::uint32_t digit;
                if (c >= '0' && c <= '9')
                    digit = std::uint32_t(c - '0');
                else if (c >= 'a' && c <= 'f')
                    digit = std::uint32_t(c - 'a' + 10);
                else if (c >= 'A' && c <= 'F')
                    digit = std::uint32_t(c - 'A' + 10);
                else
                    return false;
                result = result << 4 | digit;
            }
            value = static_cast<std::int32_t>(result);
            return true;
        }
    }

    std::string ReadString(const std::string& file, const std::string& section, const std::string& key,
                           const std::string& fallback)
    {
        Document doc;
        if (!load(file, doc))
            return fallback;
        const Found found = find(doc, section, key);
        if (found.key < 0)
            return fallback;
        return unquote(doc.lines[std::size_t(found.key)].value);
    }

    namespace
    {
        std::optional<std::int32_t> tryReadInteger(const std::string& file, const std::string& section,
                                                   const std::string& key)
        {
            const std::string text = trim(ReadString(file, section, key, std::string()));
            std::int32_t value = 0;
            if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
            {
                if (parseHex(text.substr(2), value))
                    return value;
                return std::nullopt;
            }
            if (lgp::TryStrToInt(text, value))
                return value;
            return std::nullopt;
        }
    }

    std::int32_t ReadInteger(const std::string& file, const std::string& section, const std::string& key,
                             std::int32_t fallback)
    {
        return tryReadInteger(file, section, key).value_or(fallback);
    }

    bool ReadBool(const std::string& file, const std::string& section, const std::string& key, bool fallback)
    {
        const std::optional<std::int32_t> value = tryReadInteger(file, section, key);
        return value ? *value != 0 : fallback;
    }

    void WriteString(const std::string& file, const std::string& section, const std::string& key,
                     const std::string& value)
    {
        Document doc;
        if (!load(file, doc))
            failWrite(file);

        const std::string cleanValue = oneLine(value);
        const std::string keyLine = oneLine(key) + "=" + cleanValue;
        const Found found = find(doc, section, key);
        if (found.key >= 0)
        {
            doc.lines[std::size_t(found.key)] = classify(keyLine);
        }
        else if (found.section >= 0)
        {
            doc.lines.insert(doc.lines.begin() + found.lastOfSection + 1, classify(keyLine));
        }
        else
        {
            if (!doc.lines.empty() && !trim(doc.lines.back().text).empty())
                doc.lines.push_back(classify(std::string()));
            doc.lines.push_back(classify("[" + oneLine(section) + "]"));
            doc.lines.push_back(classify(keyLine));
        }

        std::string content;
        for (const Line& line : doc.lines)
            content += line.text + doc.newline;

        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::path target(file);
        if (target.has_parent_path())
            fs::create_directories(target.parent_path(), ec);
        // The new content goes to a file beside the old one and replaces it in
        // one rename, so a failure half way never leaves a cut settings file.
        const fs::path temp = target.string() + ".tmp" + std::to_string(::getpid());
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            if (!out)
                failWrite(file);
            out.write(content.data(), std::streamsize(content.size()));
            out.flush();
            if (!out)
            {
                out.close();
                fs::remove(temp, ec);
                failWrite(file);
            }
        }
        fs::rename(temp, target, ec);
        if (ec)
        {
            std::error_code ignored;
            fs::remove(temp, ignored);
            failWrite(file);
        }
    }

    void WriteInteger(const std::string& file, const std::string& section, const std::string& key, std::int32_t value)
    {
        WriteString(file, section, key, std::to_string(value));
    }

    void WriteBool(const std::string& file, const std::string& section, const std::string& key, bool value)
    {
        WriteString(file, section, key, value ? "1" : "0");
    }
}
