#pragma once
// A small archive writer and reader for the tests, independent of the archive
// core under test: it lays out header, TOC, validation data, data entries and
// trailing text byte by byte, and reads entries back by their TOC Offset.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace testarchive
{
    using Bytes = std::vector<std::uint8_t>;

    struct Entry
    {
        std::string name;
        Bytes data;
    };

    struct Archive
    {
        std::vector<Entry> entries;
        std::string creator = std::string("\0\0SQUARESOFT", 12);
        Bytes validation = Bytes(40, 0xAB);
        std::string trailing = "FINAL FANTASY7";
    };

    inline void put32(Bytes& out, std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }

    inline void putName(Bytes& out, const std::string& name)
    {
        for (std::size_t i = 0; i < 20; ++i)
            out.push_back(i < name.size() ? static_cast<std::uint8_t>(name[i]) : 0);
    }

    inline std::uint32_t get32(const Bytes& b, std::size_t at)
    {
        if (at + 4 > b.size())
            throw std::out_of_range("get32");
        return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
            std::uint32_t(b[at + 3]) << 24;
    }

    inline std::string getName(const Bytes& b, std::size_t at)
    {
        std::string name;
        for (std::size_t i = 0; i < 20 && at + i < b.size() && b[at + i] != 0; ++i)
            name.push_back(static_cast<char>(b[at + i]));
        return name;
    }

    // Entries stored in table order, contiguous, as a builder writes them.
    inline Bytes write(const Archive& archive)
    {
        Bytes out;
        for (std::size_t i = 0; i < 12; ++i)
            out.push_back(i < archive.creator.size() ? static_cast<std::uint8_t>(archive.creator[i]) : 0);
        put32(out, static_cast<std::uint32_t>(archive.entries.size()));
        std::uint32_t offset =
            static_cast<std::uint32_t>(16 + 27 * archive.entries.size() + archive.validation.size());
        for (const Entry& e : archive.entries)
        {
            putName(out, e.name);
            put32(out, offset);
            out.push_back(14);
            out.push_back(0);
            out.push_back(0);
            offset += static_cast<std::uint32_t>(24 + e.data.size());
        }
        out.insert(out.end(), archive.validation.begin(), archive.validation.end());
        for (const Entry& e : archive.entries)
        {
            putName(out, e.name);
            put32(out, static_cast<std::uint32_t>(e.data.size()));
            out.insert(out.end(), e.data.begin(), e.data.end());
        }
        out.insert(out.end(), archive.trailing.begin(), archive.trailing.end());
        return out;
    }

    inline std::uint32_t fileCount(const Bytes& file) { return get32(file, 12); }
    inline std::string tocName(const Bytes& file, std::size_t index) { return getName(file, 16 + 27 * index); }
    inline std::uint32_t tocOffset(const Bytes& file, std::size_t index) { return get32(file, 16 + 27 * index + 20); }
    // The Name of the data entry header that TOC entry index points at.
    inline std::string dataName(const Bytes& file, std::size_t index) { return getName(file, tocOffset(file, index)); }

    // The data TOC entry index points at.
    inline Bytes entryData(const Bytes& file, std::size_t index)
    {
        const std::size_t at = tocOffset(file, index);
        const std::size_t length = get32(file, at + 20);
        if (at + 24 + length > file.size())
            throw std::out_of_range("entryData");
        return Bytes(file.begin() + static_cast<std::ptrdiff_t>(at + 24),
            file.begin() + static_cast<std::ptrdiff_t>(at + 24 + length));
    }
}
