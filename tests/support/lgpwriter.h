#pragma once
// The tests' own archive writer and reader, independent of the code under
// test so that a shared fault cannot cancel itself out: it lays out header,
// TOC, validation data, data entries and trailing text byte by byte, reads
// entries back by their TOC Offset, and follows the game's lookup table.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace testlgp
{
    using Bytes = std::vector<std::uint8_t>;

    inline Bytes B(std::string_view text) { return Bytes(text.begin(), text.end()); }

    // Little-endian byte assembly.
    struct Writer
    {
        Bytes out;

        Writer& raw(const Bytes& bytes)
        {
            out.insert(out.end(), bytes.begin(), bytes.end());
            return *this;
        }
        Writer& text(std::string_view s) { return raw(B(s)); }
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
        Writer& f32(float f)
        {
            std::int32_t v;
            std::memcpy(&v, &f, 4);
            return i32(v);
        }
        // A 20-byte name field: the text, then NUL padding (no NUL when it fills 20 bytes).
        Writer& name(std::string_view s)
        {
            Bytes field(20, 0);
            std::copy_n(s.begin(), std::min<std::size_t>(s.size(), 20), field.begin());
            return raw(field);
        }
        Writer& zeros(std::size_t n) { return raw(Bytes(n, 0)); }
        // The 12-byte creator field (right-aligned) and the file count.
        Writer& header(std::string_view creator, std::int32_t count)
        {
            creator = creator.substr(0, 12);
            return zeros(12 - creator.size()).text(creator).i32(count);
        }
        Writer& toc(std::string_view n, std::int32_t offset, std::uint8_t type = 14, std::uint16_t field = 0)
        {
            return name(n).i32(offset).u8(type).u16(field);
        }
        Writer& dataEntry(std::string_view n, const Bytes& data)
        {
            return name(n).i32(static_cast<std::int32_t>(data.size())).raw(data);
        }
        Writer& gap(std::int32_t size) { return u8(0xE8).u8(0x04).u8(0x6A).u8(0x5F).i32(size); }
        std::size_t size() const { return out.size(); }
    };

    // Writes v at byte at of b (little-endian), growing b as needed.
    inline void PutU16(Bytes& b, std::size_t at, std::uint16_t v)
    {
        b.resize(std::max(b.size(), at + 2));
        b[at] = std::uint8_t(v);
        b[at + 1] = std::uint8_t(v >> 8);
    }
    inline void PutI32(Bytes& b, std::size_t at, std::int32_t value)
    {
        const auto v = std::uint32_t(value);
        b.resize(std::max(b.size(), at + 4));
        for (int i = 0; i < 4; ++i)
            b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
    }

    struct File
    {
        std::string Name;
        Bytes Data;
        bool InToc = true;                    // false: a data entry no TOC entry refers to
        std::optional<std::int32_t> Offset{}; // TOC Offset written instead of the real one
        bool operator==(const File&) const = default;
    };

    // An archive: the files' data entries stored in the given order,
    // contiguous after the validation data.
    struct Archive
    {
        std::string Creator = "SQUARESOFT";
        std::vector<File> Files{};
        Bytes Validation{};
        Bytes Trailing = B("FINAL FANTASY7");
    };

    // A patch file as the patch creator lays it out: its creator and trailing
    // text, and validation data when given.
    inline Archive PatchArchive(std::vector<File> files, Bytes validation = {}, Bytes trailing = B("LGP PATCH FILE"))
    {
        return Archive{.Creator = "QUENWICK-LGP",
                       .Files = std::move(files),
                       .Validation = std::move(validation),
                       .Trailing = std::move(trailing)};
    }

    // An archive of these named files, in this order.
    inline Archive ArchiveOf(const std::vector<std::pair<std::string, Bytes>>& files)
    {
        Archive a;
        for (const auto& [name, data] : files)
            a.Files.push_back({name, data});
        return a;
    }

    struct Written
    {
        Bytes Content;
        std::vector<std::int32_t> Positions{}; // data entry header position per file
    };

    inline std::int32_t TocCount(const Archive& a)
    {
        return static_cast<std::int32_t>(
            std::count_if(a.Files.begin(), a.Files.end(), [](const File& f) { return f.InToc; }));
    }

    inline std::int32_t DataStart(const Archive& a)
    {
        return static_cast<std::int32_t>(16 + 27 * TocCount(a) + std::int32_t(a.Validation.size()));
    }

    inline Written Lay(const Archive& a)
    {
        Written result;
        std::int32_t position = DataStart(a);
        for (const auto& f : a.Files)
        {
            result.Positions.push_back(position);
            position += 24 + static_cast<std::int32_t>(f.Data.size());
        }
        Writer w;
        w.header(a.Creator, TocCount(a));
        for (std::size_t i = 0; i < a.Files.size(); ++i)
        {
            if (a.Files[i].InToc)
                w.toc(a.Files[i].Name, a.Files[i].Offset.value_or(result.Positions[i]));
        }
        w.raw(a.Validation);
        for (const auto& f : a.Files)
            w.dataEntry(f.Name, f.Data);
        w.raw(a.Trailing);
        result.Content = std::move(w.out);
        return result;
    }

    inline Bytes Write(const Archive& a) { return Lay(a).Content; }

    // Reading back, bounded: a read past the end throws.
    inline std::uint32_t Get32(const Bytes& b, std::size_t at)
    {
        if (at > b.size() || b.size() - at < 4)
            throw std::out_of_range("testlgp: read past the end");
        return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16
               | std::uint32_t(b[at + 3]) << 24;
    }

    // A name field: up to its first NUL, at most 20 bytes.
    inline std::string GetName(const Bytes& b, std::size_t at)
    {
        std::string name;
        for (std::size_t i = 0; i < 20 && b.at(at + i) != 0; ++i)
            name.push_back(static_cast<char>(b[at + i]));
        return name;
    }

    inline std::uint32_t FileCount(const Bytes& file) { return Get32(file, 12); }
    inline std::string TocName(const Bytes& file, std::size_t index) { return GetName(file, 16 + 27 * index); }
    inline std::int32_t TocOffset(const Bytes& file, std::size_t index)
    {
        return std::int32_t(Get32(file, 16 + 27 * index + 20));
    }
    // The Name of the data entry header that TOC entry index points at.
    inline std::string DataName(const Bytes& file, std::size_t index)
    {
        return GetName(file, std::size_t(TocOffset(file, index)));
    }

    // The data TOC entry index points at.
    inline Bytes EntryData(const Bytes& file, std::size_t index)
    {
        const auto at = std::size_t(TocOffset(file, index));
        const std::size_t length = Get32(file, at + 20);
        if (at + 24 + length > file.size())
            throw std::out_of_range("testlgp: entry past the end");
        return Bytes(file.begin() + std::ptrdiff_t(at + 24), file.begin() + std::ptrdiff_t(at + 24 + length));
    }

    // Every TOC entry's name with the data its Offset points at.
    inline std::vector<File> Entries(const Bytes& file)
    {
        std::vector<File> result;
        for (std::size_t i = 0; i < FileCount(file); ++i)
            result.push_back({TocName(file, i), EntryData(file, i)});
        return result;
    }

    // Files, created with their folders; throws when that fails.
    inline void Save(const std::filesystem::path& path, const Bytes& bytes)
    {
        if (path.has_parent_path())
            std::filesystem::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        if (!out)
            throw std::runtime_error("testlgp: cannot write " + path.string());
    }
    inline void Save(const std::filesystem::path& path, std::string_view text) { Save(path, B(text)); }

    // A file's bytes; none when it can't be read.
    inline Bytes Load(const std::filesystem::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    inline std::string LoadText(const std::filesystem::path& path)
    {
        const Bytes bytes = Load(path);
        return std::string(bytes.begin(), bytes.end());
    }

    // Seeded data: any byte values, or lower-case letters.
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
    inline Bytes Letters(std::size_t size, std::uint32_t seed)
    {
        std::mt19937 rng(seed);
        Bytes out(size);
        for (auto& b : out)
            b = static_cast<std::uint8_t>('a' + rng() % 26);
        return out;
    }

    // The game's lookup. A name's slot: the positions of its first two
    // characters in "abcdefghijklmnopqrstuvwxyz" (digits count from 'a', '_'
    // stands for 'k' and '-' for 'l', '.' is one before 'a' and only second),
    // as first x 30 + second + 1; -1 when the game can't look the name up.
    inline int GameSlot(const std::string& name)
    {
        const std::string letters = "abcdefghijklmnopqrstuvwxyz";
        const auto code = [&](char c) -> int {
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
        const auto count = std::int32_t(FileCount(archive));
        const std::size_t table = 16 + 27 * std::size_t(count);
        const auto nameOf = [&](std::int32_t i) {
            std::string name = TocName(archive, std::size_t(i));
            for (auto& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            return name;
        };
        const auto u16 = [&](std::size_t at) { return std::int32_t(archive.at(at) | archive.at(at + 1) << 8); };
        std::vector<std::string> missed;
        for (std::int32_t i = 0; i < count; ++i)
        {
            const std::string name = nameOf(i);
            const int slot = GameSlot(name);
            std::int32_t found = -1;
            if (slot >= 0)
            {
                const auto first = u16(table + std::size_t(slot) * 4);
                const auto run = u16(table + std::size_t(slot) * 4 + 2);
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
} // namespace testlgp
