#pragma once
// What the main-window tests share: archives written byte by byte by a small
// writer of their own (independent of the archive core), one temporary folder
// per test function, and an environment that keeps the real user's settings,
// Wine prefix and Steam libraries out of the way.

#include <QByteArray>
#include <QString>
#include <QTest>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace AppTest
{
    namespace fs = std::filesystem;

    struct Entry
    {
        std::string name;
        std::string data;
        bool inToc = true;                  // false: data entry that no TOC entry refers to
        std::optional<std::int32_t> offset; // TOC offset written instead of the real one
    };

    struct Archive
    {
        std::string creator = "SQUARESOFT";
        std::vector<Entry> entries;
        std::size_t validationSize = 0;
        std::string trailing = "FINAL FANTASY7";
    };

    struct Written
    {
        std::string bytes;
        std::vector<std::int32_t> positions; // data entry header position per entry
    };

    inline void put32(std::string& out, std::int32_t value)
    {
        const auto v = static_cast<std::uint32_t>(value);
        for (int shift = 0; shift < 32; shift += 8)
            out += char((v >> shift) & 0xff);
    }

    inline void putName(std::string& out, const std::string& name)
    {
        std::string field = name.substr(0, 19);
        field.resize(20, '\0');
        out += field;
    }

    // Header (12-byte creator, right-aligned; file count), 27-byte TOC entries,
    // validation bytes, 24-byte data entry headers with their data, trailing text.
    inline Written write(const Archive& a)
    {
        Written w;
        std::int32_t tocCount = 0;
        for (const Entry& e : a.entries)
            tocCount += e.inToc ? 1 : 0;
        std::int32_t position = 16 + 27 * tocCount + std::int32_t(a.validationSize);
        for (const Entry& e : a.entries)
        {
            w.positions.push_back(position);
            position += 24 + std::int32_t(e.data.size());
        }
        std::string creator = a.creator.substr(0, 12);
        w.bytes += std::string(12 - creator.size(), '\0') + creator;
        put32(w.bytes, tocCount);
        for (std::size_t i = 0; i < a.entries.size(); ++i)
        {
            const Entry& e = a.entries[i];
            if (!e.inToc)
                continue;
            putName(w.bytes, e.name);
            put32(w.bytes, e.offset.value_or(w.positions[i]));
            w.bytes += char(14);
            w.bytes += std::string(2, '\0');
        }
        w.bytes += std::string(a.validationSize, '\0');
        for (const Entry& e : a.entries)
        {
            putName(w.bytes, e.name);
            put32(w.bytes, std::int32_t(e.data.size()));
            w.bytes += e.data;
        }
        w.bytes += a.trailing;
        return w;
    }

    inline void writeFile(const fs::path& path, const std::string& bytes)
    {
        fs::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), std::streamsize(bytes.size()));
    }

    inline std::string readFile(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    inline Written saveArchive(const fs::path& path, const Archive& a)
    {
        Written w = write(a);
        writeFile(path, w.bytes);
        return w;
    }

    // count files named "f00000.bin"... whose data is their number in text.
    inline Archive numbered(int count)
    {
        Archive a;
        for (int i = 0; i < count; ++i)
        {
            char name[20];
            std::snprintf(name, sizeof name, "f%05d.bin", i + 1);
            a.entries.push_back({name, "data of file " + std::to_string(i + 1), true, std::nullopt});
        }
        return a;
    }

    inline QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

    // The folder of the running test function, emptied at its start; the
    // settings folder, Wine prefix and home folder point into it.
    class TestFolder
    {
    public:
        TestFolder()
            : mCwd(fs::current_path())
        {
            mRoot = fs::temp_directory_path() / (std::string("tarrowin.") + QTest::currentTestFunction());
            if (QTest::currentDataTag() && *QTest::currentDataTag())
                mRoot += std::string(".") + QTest::currentDataTag();
            fs::remove_all(mRoot);
            fs::create_directories(mRoot / "home");
            ::setenv("XDG_CONFIG_HOME", (mRoot / "config").c_str(), 1);
            ::setenv("WINEPREFIX", (mRoot / "wine").c_str(), 1);
            ::setenv("HOME", (mRoot / "home").c_str(), 1);
        }
        ~TestFolder()
        {
            std::error_code ec;
            fs::current_path(mCwd, ec);
            if (!QTest::currentTestFailed())
                fs::remove_all(mRoot, ec);
        }
        TestFolder(const TestFolder&) = delete;
        TestFolder& operator=(const TestFolder&) = delete;

        const fs::path& root() const { return mRoot; }
        fs::path operator/(const std::string& name) const { return mRoot / name; }
        fs::path settingsFile() const { return mRoot / "config" / "QUENWICK.INI"; }

    private:
        fs::path mRoot;
        fs::path mCwd;
    };
}
