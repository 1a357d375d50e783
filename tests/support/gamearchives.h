#pragma once
// Archives shaped like the game's own, laid out byte by byte by the tests'
// writer (lgpwriter.h), never by the code under test:
//
// - a magic-style archive: names repeated in several folders, told apart by
//   the conflict table after the lookup table (every copy of a repeated name
//   carries its conflict's 1-based number in the TOC's 16-bit field, and has a
//   record of its folder and 0-based TOC index);
// - a battle-style archive: type bytes 11 and 14, data laid out in another
//   order than the TOC, a creator and trailing text of its own, "smab" and
//   "SMAB" with identical contents, and a name of all 20 characters.

#include "support/lgpwriter.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace testlgp
{
    struct GameEntry
    {
        std::string Name;
        Bytes Data;
        std::string Folder{}; // its conflict-table record's folder; empty: no record
        std::uint8_t Type = 14;
        bool operator==(const GameEntry&) const = default;
    };

    struct GameArchive
    {
        std::string Creator = "SQUARESOFT";
        std::vector<GameEntry> Entries{};     // TOC order: each lookup slot's names together
        std::vector<std::size_t> DataOrder{}; // data entries in this order of Entries' indexes; empty: TOC order
        Bytes AfterTables{};                  // more validation bytes after the conflict table
        Bytes Trailing = B("FINAL FANTASY7");
    };

    inline std::string LowerName(std::string name)
    {
        for (char& c : name)
        {
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        }
        return name;
    }

    // Each entry's 16-bit field: the 1-based conflict of its name (compared
    // without case) when any entry of that name has a record, else 0.
    // Conflicts are numbered in the order of their names' first TOC entries.
    inline std::vector<std::uint16_t> ConflictFields(const GameArchive& a)
    {
        std::map<std::string, bool> recorded;
        for (const auto& e : a.Entries)
            recorded[LowerName(e.Name)] = recorded[LowerName(e.Name)] || !e.Folder.empty();
        std::map<std::string, std::uint16_t> number;
        std::vector<std::uint16_t> fields;
        for (const auto& e : a.Entries)
        {
            const std::string key = LowerName(e.Name);
            if (!recorded[key])
            {
                fields.push_back(0);
                continue;
            }
            if (!number.contains(key))
            {
                const auto next = static_cast<std::uint16_t>(number.size() + 1);
                number[key] = next;
            }
            fields.push_back(number[key]);
        }
        return fields;
    }

    // The conflict table: the count of conflicts, then per conflict its record
    // count and records (128-byte folder, 0-based TOC index) in TOC order.
    inline Bytes ConflictTable(const GameArchive& a)
    {
        const std::vector<std::uint16_t> fields = ConflictFields(a);
        const std::uint16_t conflicts = fields.empty() ? 0 : *std::max_element(fields.begin(), fields.end());
        Writer w;
        w.u16(conflicts);
        for (std::uint16_t c = 1; c <= conflicts; ++c)
        {
            std::vector<std::size_t> records;
            for (std::size_t i = 0; i < a.Entries.size(); ++i)
            {
                if (fields[i] == c && !a.Entries[i].Folder.empty())
                    records.push_back(i);
            }
            w.u16(static_cast<std::uint16_t>(records.size()));
            for (const std::size_t i : records)
                w.text(a.Entries[i].Folder).zeros(128 - a.Entries[i].Folder.size()).u16(static_cast<std::uint16_t>(i));
        }
        return w.out;
    }

    inline std::vector<std::string> TocNames(const GameArchive& a)
    {
        std::vector<std::string> names;
        for (const auto& e : a.Entries)
            names.push_back(e.Name);
        return names;
    }

    // The lookup table for the TOC names, the conflict table, AfterTables.
    inline Bytes GameValidation(const GameArchive& a)
    {
        Writer w;
        w.raw(GameLookupTable(TocNames(a))).raw(ConflictTable(a)).raw(a.AfterTables);
        return w.out;
    }

    // The archive's bytes; validation replaces the computed validation data.
    inline Bytes WriteGame(const GameArchive& a, const std::optional<Bytes>& validation = std::nullopt)
    {
        const Bytes tables = validation ? *validation : GameValidation(a);
        std::vector<std::size_t> order = a.DataOrder;
        if (order.empty())
        {
            order.resize(a.Entries.size());
            std::iota(order.begin(), order.end(), std::size_t(0));
        }
        std::vector<std::int32_t> offsets(a.Entries.size(), 0);
        auto position = static_cast<std::int32_t>(16 + 27 * a.Entries.size() + tables.size());
        for (const std::size_t i : order)
        {
            offsets.at(i) = position;
            position += 24 + static_cast<std::int32_t>(a.Entries[i].Data.size());
        }
        const std::vector<std::uint16_t> fields = ConflictFields(a);
        Writer w;
        w.header(a.Creator, static_cast<std::int32_t>(a.Entries.size()));
        for (std::size_t i = 0; i < a.Entries.size(); ++i)
            w.toc(a.Entries[i].Name, offsets[i], a.Entries[i].Type, fields[i]);
        w.raw(tables);
        for (const std::size_t i : order)
            w.dataEntry(a.Entries[i].Name, a.Entries[i].Data);
        w.raw(a.Trailing);
        return w.out;
    }

    // Follows the game's way to a file straight from an archive's bytes: the
    // name's slot and its run of TOC entries in the lookup table, the first
    // equal name (without case) in that run, and when that entry's 16-bit
    // field names a conflict, the record of that conflict whose folder equals
    // folder (without case). The TOC index reached, or none.
    inline std::optional<std::size_t> GameFinds(const Bytes& archive, const std::string& folder,
                                                const std::string& name)
    {
        const std::size_t count = FileCount(archive);
        const std::size_t table = 16 + 27 * count;
        const auto u16 = [&](std::size_t at) { return std::size_t(archive.at(at) | archive.at(at + 1) << 8); };
        const int slot = GameSlot(name);
        if (slot < 0)
            return std::nullopt;
        const std::size_t first = u16(table + std::size_t(slot) * 4);
        const std::size_t run = u16(table + std::size_t(slot) * 4 + 2);
        std::optional<std::size_t> found;
        for (std::size_t k = first; k < first + run && k <= count && !found; ++k)
        {
            if (k >= 1 && LowerName(TocName(archive, k - 1)) == LowerName(name))
                found = k - 1;
        }
        if (!found)
            return std::nullopt;
        const std::size_t conflict = u16(16 + 27 * *found + 25);
        if (conflict == 0)
            return found;
        std::size_t at = table + 3600;
        const std::size_t conflicts = u16(at);
        at += 2;
        for (std::size_t c = 1; c <= conflicts; ++c)
        {
            const std::size_t records = u16(at);
            at += 2;
            for (std::size_t r = 0; r < records; ++r, at += 130)
            {
                std::string recordFolder;
                for (std::size_t i = 0; i < 128 && archive.at(at + i) != 0; ++i)
                    recordFolder.push_back(static_cast<char>(archive[at + i]));
                if (c == conflict && LowerName(recordFolder) == LowerName(folder))
                    return u16(at + 128);
            }
        }
        return std::nullopt;
    }

    // Names repeated in several folders (copies of different lengths; the
    // folders "fire" and "ice" hold copies of two names each), plain names
    // beside them, one of which shares a slot with a repeated name.
    inline GameArchive MagicStyleArchive()
    {
        GameArchive a;
        a.Entries = {
            {"bolt_1.p", B("bolt one"), "bolt"},    {"bolt_1.p", B("bolt two, longer"), "bolt2"},
            {"fire_1.p", B("fire"), "fire"},        {"fire_1.p", B("fire 2"), "fire2"},
            {"fire_1.p", B("fire three"), "fire3"}, {"fire.tex", B("a texture")},
            {"ice_1.p", B("ice"), "ice"},           {"ice_1.p", B("ice too"), "ice2"},
            {"wind_1.p", Pattern(300, 7), "fire"},  {"wind_1.p", Pattern(40, 8), "ice"},
            {"wind_1.p", Pattern(1000, 9), "wind"}, {"x.p", B("x")},
        };
        return a;
    }

    // Type bytes 11 and 14, data in another order than the TOC, a creator
    // and trailing text of its own, two names that differ only in case with
    // identical contents, and a name that fills its 20-byte field.
    inline GameArchive BattleStyleArchive()
    {
        GameArchive a;
        a.Creator = "FF7BATTLE";
        a.Trailing = B("BATTLE DATA 1.02");
        a.Entries = {
            {"aaaa", Pattern(64, 1), {}, 11},  {"abcdefghijklmnopqrst", Pattern(33, 2), {}, 14},
            {"opaa", Pattern(120, 3), {}, 11}, {"opab", Pattern(7, 4), {}, 14},
            {"smab", B("same bytes"), {}, 11}, {"SMAB", B("same bytes"), {}, 11},
            {"zz01", Pattern(0, 5), {}, 14},
        };
        a.DataOrder = {6, 4, 5, 0, 3, 1, 2};
        return a;
    }
    // A magic-style archive from entries in any order: the TOC ordered by
    // lookup slot (given order inside a slot), the data in TOC order; without
    // conflicts no entry has a record (every 16-bit field 0, a count of 0).
    inline Bytes MagicBytes(std::vector<GameEntry> entries, bool conflicts = true)
    {
        std::stable_sort(entries.begin(), entries.end(),
                         [](const GameEntry& a, const GameEntry& b) { return GameSlot(a.Name) < GameSlot(b.Name); });
        GameArchive a;
        a.Entries = std::move(entries);
        if (!conflicts)
        {
            for (auto& e : a.Entries)
                e.Folder.clear();
        }
        return WriteGame(a);
    }

    // A small magic-style set: names repeated in several folders, the copies
    // of one name of different lengths, and a name that doesn't repeat.
    inline std::vector<GameEntry> MagicStyleEntries()
    {
        return {
            {"bolt.p", B("bolt in magic"), "magic"},   {"bolt.p", B("bolt in mag_b, longer"), "mag_b"},
            {"fire_1.p", B("fire one"), "magic"},      {"fire_1.p", B("fire one in mag_a"), "mag_a"},
            {"fire_1.p", B("fire"), "mag_b"},          {"ice.p", B("ice alone")},
            {"wind_1.p", B("wind in mag_a"), "mag_a"}, {"wind_1.p", B("wind"), "mag_b"},
        };
    }
} // namespace testlgp
