#pragma once
// Test-side archive writer, independent of the builder under test, and temp
// folders that live as long as one test (kept when it fails).

#include "core/lgpstruct.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace testlgp
{
    using Bytes = std::vector<std::uint8_t>;

    inline Bytes B(const std::string& text) { return Bytes(text.begin(), text.end()); }

    // Little-endian byte assembly.
    struct Writer
    {
        Bytes out;

        Writer& raw(const Bytes& bytes)
        {
            out.insert(out.end(), bytes.begin(), bytes.end());
            return *this;
        }
        Writer& text(const std::string& s) { return raw(B(s)); }
        Writer& u8(std::uint8_t v)
        {
            out.push_back(v);
            return *this;
        }
        Writer& u16(std::uint16_t v) { return u8(std::uint8_t(v)).u8(std::uint8_t(v >> 8)); }
        Writer& i32(std::int32_t v)
        {
            const auto u = static_cast<std::uint32_t>(v);
            return u8(std::uint8_t(u)).u8(std::uint8_t(u >> 8)).u8(std::uint8_t(u >> 16)).u8(std::uint8_t(u >> 24));
        }
        // A 20-byte name field: the text, then NUL padding (no NUL when it fills 20 bytes).
        Writer& name(const std::string& s)
        {
            Bytes field(20, 0);
            std::copy(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(s.size(), 20)),
                field.begin());
            return raw(field);
        }
        Writer& zeros(std::size_t n) { return raw(Bytes(n, 0)); }
        Writer& header(const std::string& creatorField12, std::int32_t count)
        {
            Bytes field(12, 0);
            std::copy(creatorField12.begin(), creatorField12.end(), field.begin() + (12 - creatorField12.size()));
            return raw(field).i32(count);
        }
        Writer& toc(const std::string& n, std::int32_t offset, std::uint8_t type = 14, std::uint16_t field = 0)
        {
            return name(n).i32(offset).u8(type).u16(field);
        }
        Writer& dataEntry(const std::string& n, const Bytes& data)
        {
            return name(n).i32(static_cast<std::int32_t>(data.size())).raw(data);
        }
        Writer& gap(std::int32_t size) { return u8(0xE8).u8(0x04).u8(0x6A).u8(0x5F).i32(size); }
        std::size_t size() const { return out.size(); }
    };

    struct File
    {
        std::string Name;
        Bytes Data;
    };

    // A well-formed archive: files stored in the given order, contiguous.
    struct Archive
    {
        std::string Creator = "SQUARESOFT";
        std::vector<File> Files{};
        Bytes Validation{};
        Bytes Trailing = B("FINAL FANTASY7");
    };

    inline std::int32_t DataStart(const Archive& a)
    {
        return static_cast<std::int32_t>(16 + 27 * a.Files.size() + a.Validation.size());
    }

    inline Bytes Write(const Archive& a)
    {
        Writer w;
        w.header(a.Creator, static_cast<std::int32_t>(a.Files.size()));
        std::int32_t offset = DataStart(a);
        for (const auto& f : a.Files)
        {
            w.toc(f.Name, offset);
            offset += 24 + static_cast<std::int32_t>(f.Data.size());
        }
        w.raw(a.Validation);
        for (const auto& f : a.Files)
            w.dataEntry(f.Name, f.Data);
        w.raw(a.Trailing);
        return w.out;
    }

    inline Bytes Pattern(std::size_t n, std::uint8_t seed = 1)
    {
        Bytes b(n);
        std::uint32_t x = seed * 2654435761u + 12345u;
        for (auto& c : b)
        {
            x = x * 1103515245u + 12345u;
            c = static_cast<std::uint8_t>(x >> 16);
        }
        return b;
    }

    inline void Save(const std::filesystem::path& path, const Bytes& bytes)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    inline Bytes Load(const std::filesystem::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    // The game's lookup, written apart from the core. A name's slot: the
    // positions of its first two characters in "abcdefghijklmnopqrstuvwxyz"
    // (digits count from 'a', '_' stands for 'k' and '-' for 'l', '.' is one
    // before 'a' and only second), as first x 30 + second + 1; -1 when the game
    // can't look the name up.
    inline int GameSlot(const std::string& name)
    {
        const std::string letters = "abcdefghijklmnopqrstuvwxyz";
        const auto code = [&](char c) -> int
        {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (c >= '0' && c <= '9')
                c = letters[std::size_t(c - '0')];
            if (c == '_')
                c = 'k';
            if (c == '-')
                c = 'l';
            if (c == '.')
                return -1;
            const auto at = letters.find(c);
            return at == std::string::npos ? 99 : int(at);
        };
        if (name.size() < 2 || code(name[0]) < 0 || code(name[0]) == 99 || code(name[1]) == 99)
            return -1;
        return code(name[0]) * 30 + code(name[1]) + 1;
    }

    // The 3,600-byte lookup table for TOC names in this order (each slot's
    // names together): per slot the 1-based first TOC index and the count.
    inline Bytes GameLookupTable(const std::vector<std::string>& tocNames)
    {
        Bytes table(3600, 0);
        for (std::size_t i = 0; i < tocNames.size(); ++i)
        {
            const auto at = std::size_t(GameSlot(tocNames[i])) * 4;
            if (table[at + 2] == 0 && table[at + 3] == 0)
            {
                table[at] = std::uint8_t(i + 1);
                table[at + 1] = std::uint8_t((i + 1) >> 8);
            }
            const int count = (table[at + 2] | table[at + 3] << 8) + 1;
            table[at + 2] = std::uint8_t(count);
            table[at + 3] = std::uint8_t(count >> 8);
        }
        return table;
    }

    // Follows the game's way to each name straight from an archive's bytes:
    // the name's slot, the slot's first TOC entry and count from the table
    // right after the TOC, the first equal name (without case) in that run.
    // The names of the TOC entries not reached that way.
    inline std::vector<std::string> NamesTheGameMisses(const Bytes& archive)
    {
        const auto le = [&](std::size_t at, int bytes)
        {
            std::uint32_t v = 0;
            for (int k = bytes - 1; k >= 0; --k)
                v = v << 8 | archive.at(at + std::size_t(k));
            return v;
        };
        const auto count = static_cast<std::int32_t>(le(12, 4));
        const std::size_t table = 16 + 27 * std::size_t(count);
        const auto nameOf = [&](std::int32_t i)
        {
            const auto* p = reinterpret_cast<const char*>(archive.data() + 16 + 27 * std::size_t(i));
            std::string name(p, strnlen(p, 20));
            for (auto& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return name;
        };
        std::vector<std::string> missed;
        for (std::int32_t i = 0; i < count; ++i)
        {
            const std::string name = nameOf(i);
            const int slot = GameSlot(name);
            std::int32_t found = -1;
            if (slot >= 0)
            {
                const auto first = static_cast<std::int32_t>(le(table + std::size_t(slot) * 4, 2));
                const auto run = static_cast<std::int32_t>(le(table + std::size_t(slot) * 4 + 2, 2));
                for (std::int32_t k = first - 1; k < first - 1 + run && k < count && found < 0; ++k)
                {
                    if (k >= 0 && nameOf(k) == name)
                        found = k;
                }
            }
            if (found != i)
                missed.push_back(name);
        }
        return missed;
    }

    // "wind_1.p" three times (data "fire", "ice", "bolt"), told apart by the
    // folders in the conflict table that follows the lookup table (records
    // says how many records the table claims, of the three written), and
    // "x.p"; after is appended to the validation data.
    inline Bytes RepeatedNamesArchive(std::uint16_t records, const std::vector<std::string>& folders,
                                      const std::string& after = "")
    {
        const std::vector<std::string> names = {"wind_1.p", "wind_1.p", "wind_1.p", "x.p"};
        const std::vector<Bytes> data = {B("fire"), B("ice"), B("bolt"), B("x")};
        Writer conflicts;
        conflicts.raw(GameLookupTable(names)).u16(1).u16(records);
        for (std::size_t i = 0; i < 3; ++i)
            conflicts.text(folders.at(i)).zeros(128 - folders[i].size()).u16(std::uint16_t(i));
        conflicts.text(after);
        Writer w;
        w.header("SQUARESOFT", 4);
        auto offset = static_cast<std::int32_t>(16 + 27 * names.size() + conflicts.size());
        for (std::size_t i = 0; i < names.size(); ++i)
        {
            w.toc(names[i], offset, 14, i < 3 ? 1 : 0);
            offset += 24 + static_cast<std::int32_t>(data[i].size());
        }
        w.raw(conflicts.out);
        for (std::size_t i = 0; i < names.size(); ++i)
            w.dataEntry(names[i], data[i]);
        w.text("FINAL FANTASY7");
        return w.out;
    }

    // One folder per test, named Suite.Test, removed when the test passes.
    class TempDir
    {
    public:
        TempDir()
        {
            const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
            const std::string test = std::string(info->test_suite_name()) + "." + info->name();
            // Several folders in one test each get their own name.
            static std::string lastTest;
            static int serial = 0;
            serial = test == lastTest ? serial + 1 : 1;
            lastTest = test;
            mPath = std::filesystem::temp_directory_path() /
                    ("tarrowin-" + test + (serial > 1 ? "." + std::to_string(serial) : std::string()));
            std::filesystem::remove_all(mPath);
            std::filesystem::create_directories(mPath);
        }
        ~TempDir()
        {
            if (!::testing::Test::HasFailure())
            {
                std::error_code ec;
                std::filesystem::permissions(mPath, std::filesystem::perms::owner_all,
                    std::filesystem::perm_options::add, ec);
                std::filesystem::remove_all(mPath, ec);
            }
        }
        TempDir(const TempDir&) = delete;
        TempDir& operator=(const TempDir&) = delete;

        std::string path(const std::string& name) const { return (mPath / name).string(); }
        std::string dir() const { return mPath.string() + "/"; }
        std::string save(const std::string& name, const Bytes& bytes) const
        {
            Save(mPath / name, bytes);
            return path(name);
        }

    private:
        std::filesystem::path mPath;
    };

    // Puts a file beside a program (a validation template) for one scope, or
    // takes it away when bytes is empty; whatever was there before comes back.
    class ScopedProgramFile
    {
    public:
        ScopedProgramFile(std::string path, std::optional<Bytes> bytes)
            : mPath(std::move(path))
            , mKept(mPath + ".kept-by-test")
        {
            std::error_code ec;
            if (std::filesystem::exists(mPath, ec))
                std::filesystem::rename(mPath, mKept, ec);
            if (bytes)
                Save(mPath, *bytes);
        }
        ~ScopedProgramFile()
        {
            std::error_code ec;
            std::filesystem::remove(mPath, ec);
            if (std::filesystem::exists(mKept, ec))
                std::filesystem::rename(mKept, mPath, ec);
        }
        ScopedProgramFile(const ScopedProgramFile&) = delete;
        ScopedProgramFile& operator=(const ScopedProgramFile&) = delete;

    private:
        std::string mPath;
        std::string mKept;
    };

    // Records ProgressHook calls for one scope.
    struct ProgressLog
    {
        std::vector<std::pair<std::int32_t, std::int32_t>> calls;
        ScopedProgressHook hook{[this](std::int32_t p, std::int32_t m) { calls.emplace_back(p, m); }};
    };

    template <class F>
    std::string ErrorText(F&& f)
    {
        try
        {
            f();
        }
        catch (const std::exception& e)
        {
            return e.what();
        }
        return "(no exception)";
    }
    // A record for the raw editor; its Data points into data, which must
    // outlive it.
    inline RawDataEntry NewData(const std::string& name, const Bytes& data)
    {
        RawDataEntry e;
        e.Name = FieldFromName(name);
        e.Length = static_cast<std::int32_t>(data.size());
        e.Data = data;
        return e;
    }
} // namespace testlgp

inline void PrintTo(const LGPEntry& e, std::ostream* os)
{
    *os << "{\"" << e.Name << "\", " << e.Offset << ", " << e.Length << (e.NameMismatch ? ", mismatch" : "") << "}";
}
