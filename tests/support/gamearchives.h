#pragma once
// Archives in the shapes of the game's own, written by the tests' writer
// (lgpwriter.h), never by the code under test.

#include "lgpwriter.h"

#include <map>

namespace testlgp
{
    // One TOC entry of a game-style archive; Folder empty: the entry has no
    // conflict record.
    struct GameEntry
    {
        std::string Name;
        std::string Folder;
        Bytes Data;
    };

    // An archive as the game's magic archive is laid out: the TOC holds the
    // entries ordered by lookup slot (given order inside a slot), the data
    // follows in TOC order, and the validation data is the game's lookup table
    // and, with conflicts, a conflict table: one conflict per name that several
    // entries carry (in the order the names first occur), listing a record
    // (128-byte folder, 0-based TOC index) per entry of the name that has a
    // folder; those entries carry the conflict's number in their 16-bit field.
    // Without conflicts the table's count is 0 and every field 0.
    inline Bytes GameArchive(std::vector<GameEntry> entries, bool conflicts = true)
    {
        std::stable_sort(entries.begin(), entries.end(),
                         [](const GameEntry& a, const GameEntry& b) { return GameSlot(a.Name) < GameSlot(b.Name); });
        std::vector<std::string> names;
        std::map<std::string, int> uses;
        for (const auto& e : entries)
        {
            names.push_back(e.Name);
            std::string lower = e.Name;
            for (auto& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            ++uses[lower];
        }
        std::vector<std::uint16_t> fields(entries.size(), 0);
        std::vector<std::vector<std::size_t>> lists;
        std::map<std::string, std::size_t> numbers;
        for (std::size_t i = 0; conflicts && i < entries.size(); ++i)
        {
            std::string lower = entries[i].Name;
            for (auto& c : lower)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (uses[lower] < 2 || entries[i].Folder.empty())
                continue;
            const auto [at, added] = numbers.try_emplace(lower, lists.size());
            if (added)
                lists.emplace_back();
            lists[at->second].push_back(i);
            fields[i] = std::uint16_t(at->second + 1);
        }
        Writer validation;
        validation.raw(GameLookupTable(names)).u16(std::uint16_t(lists.size()));
        for (const auto& list : lists)
        {
            validation.u16(std::uint16_t(list.size()));
            for (const std::size_t i : list)
                validation.text(entries[i].Folder).zeros(128 - entries[i].Folder.size()).u16(std::uint16_t(i));
        }

        Writer w;
        w.header("SQUARESOFT", std::int32_t(entries.size()));
        auto offset = static_cast<std::int32_t>(16 + 27 * entries.size() + validation.size());
        for (std::size_t i = 0; i < entries.size(); ++i)
        {
            w.toc(entries[i].Name, offset, 14, fields[i]);
            offset += 24 + static_cast<std::int32_t>(entries[i].Data.size());
        }
        w.raw(validation.out);
        for (const auto& e : entries)
            w.dataEntry(e.Name, e.Data);
        w.text("FINAL FANTASY7");
        return w.out;
    }

    // A small magic-style archive: names repeated in several folders, the
    // copies of one name of different lengths, and names that don't repeat.
    // Every copy of a repeated name has a folder; TOC order is this order.
    inline std::vector<GameEntry> MagicStyleEntries()
    {
        return {
            {"bolt.p", "magic", B("bolt in magic")},   {"bolt.p", "mag_b", B("bolt in mag_b, longer")},
            {"fire_1.p", "magic", B("fire one")},      {"fire_1.p", "mag_a", B("fire one in mag_a")},
            {"fire_1.p", "mag_b", B("fire")},          {"ice.p", "", B("ice alone")},
            {"wind_1.p", "mag_a", B("wind in mag_a")}, {"wind_1.p", "mag_b", B("wind")},
        };
    }
} // namespace testlgp
