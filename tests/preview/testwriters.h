#pragma once
// Test-side writers for preview fixtures: TEX textures, P models and MIDI
// files (archives come from support/lgpwriter.h). Independent of the code
// under test, so a shared bug cannot cancel itself out.

#include "support/lgpwriter.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace testw
{
    using namespace testlgp;

    inline void PutF32(Bytes& b, std::size_t at, float f)
    {
        std::int32_t v;
        std::memcpy(&v, &f, 4);
        PutI32(b, at, v);
    }

    inline void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

    // TEX: 236-byte header with width, height and count, then raw body bytes.
    inline Bytes Tex(std::int32_t width, std::int32_t height, std::int32_t count, const Bytes& body)
    {
        Bytes b(236, 0);
        PutI32(b, 60, width);
        PutI32(b, 64, height);
        PutI32(b, 88, count);
        Append(b, body);
        return b;
    }

    struct TexSpec
    {
        std::int32_t Width = 16;
        std::int32_t Height = 8;
        std::int32_t Palettes = 1;  // at 48
        std::int32_t Colours = 256; // per palette, at 52; 0: direct colour
        bool ColourKey = false;
        std::int32_t MaxIndex = -1;   // highest pixel index (default: Colours - 1)
        std::int64_t PixelBytes = -1; // pixel bytes stored (default: all)
        std::uint32_t Seed = 1;
    };

    // A texture whose header bytes, palette entries (fourth bytes too),
    // pixels and trailing bytes are seeded noise around the fields set.
    inline Bytes MakeTex(const TexSpec& s)
    {
        std::mt19937 random(s.Seed);
        auto byte = [&] { return std::uint8_t(random()); };
        Bytes tex(236);
        for (auto& b : tex)
            b = byte();
        const std::int32_t entries = s.Palettes * s.Colours;
        PutI32(tex, 8, s.ColourKey ? 1 : 0);
        PutI32(tex, 48, s.Colours ? s.Palettes : 0);
        PutI32(tex, 52, s.Colours);
        PutI32(tex, 60, s.Width);
        PutI32(tex, 64, s.Height);
        PutI32(tex, 88, entries);
        for (std::int32_t i = 0; i < entries * 4; ++i)
            tex.push_back(byte());
        const std::int64_t pixels = std::int64_t(s.Width) * s.Height;
        if (s.Colours == 0)
            for (std::int64_t i = 0; i < pixels * 2; ++i)
                tex.push_back(byte());
        else
        {
            const std::int32_t top = s.MaxIndex >= 0 ? s.MaxIndex : s.Colours - 1;
            const std::int64_t stored = s.PixelBytes >= 0 ? s.PixelBytes : pixels;
            for (std::int64_t i = 0; i < stored; ++i)
                tex.push_back(std::uint8_t(random() % std::uint32_t(top + 1)));
        }
        if (s.PixelBytes < 0)
            for (int i = 0; i < 5; ++i)
                tex.push_back(byte()); // bytes after the pixels
        return tex;
    }

    struct Vec3
    {
        float x, y, z;
    };
    struct Bgra
    {
        std::uint8_t b, g, r, a;
    };
    struct Tri
    {
        std::uint16_t i0, i1, i2;
    };

    // P model with the given blocks; filler bytes mark the parts the reader
    // must skip (8-byte records, 4-byte records, unused polygon bytes).
    struct PModel
    {
        std::vector<Vec3> vertices;
        std::vector<Vec3> second; // N records
        std::int32_t t = 0;
        std::vector<Bgra> colours; // V + P
        std::int32_t e = 0;
        std::vector<Tri> polygons;
        std::uint8_t filler = 0xAB;
    };

    inline Bytes PFile(const PModel& m)
    {
        Bytes b(128, 0);
        PutI32(b, 12, std::int32_t(m.vertices.size()));
        PutI32(b, 16, std::int32_t(m.second.size()));
        PutI32(b, 24, m.t);
        PutI32(b, 32, m.e);
        PutI32(b, 36, std::int32_t(m.polygons.size()));
        for (const auto* block : {&m.vertices, &m.second})
            for (const Vec3& v : *block)
            {
                const std::size_t at = b.size();
                PutF32(b, at, v.x);
                PutF32(b, at + 4, v.y);
                PutF32(b, at + 8, v.z);
            }
        b.resize(b.size() + std::size_t(m.t) * 8, m.filler);
        for (const Bgra& c : m.colours)
            Append(b, {c.b, c.g, c.r, c.a});
        b.resize(b.size() + std::size_t(m.e) * 4, m.filler);
        for (const Tri& t : m.polygons)
        {
            Bytes rec(24, m.filler);
            PutU16(rec, 2, t.i0);
            PutU16(rec, 4, t.i1);
            PutU16(rec, 6, t.i2);
            Append(b, rec);
        }
        return b;
    }

    // A one-track MIDI file: program change, then notes of the given length.
    inline Bytes Midi(const std::vector<std::uint8_t>& notes, std::uint32_t ticks = 240)
    {
        Bytes track = {0x00, 0xC0, 0x00}; // piano
        for (std::uint8_t n : notes)
        {
            Append(track, {0x00, 0x90, n, 0x60});
            // delta as a variable-length quantity
            Bytes vlq;
            std::uint32_t d = ticks;
            vlq.insert(vlq.begin(), std::uint8_t(d & 0x7F));
            while (d >>= 7)
                vlq.insert(vlq.begin(), std::uint8_t(0x80 | (d & 0x7F)));
            Append(track, vlq);
            Append(track, {0x80, n, 0x40});
        }
        Append(track, {0x00, 0xFF, 0x2F, 0x00});
        Bytes b = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 240, 'M', 'T', 'r', 'k'};
        const auto len = std::uint32_t(track.size());
        Append(b, {std::uint8_t(len >> 24), std::uint8_t(len >> 16), std::uint8_t(len >> 8), std::uint8_t(len)});
        Append(b, track);
        return b;
    }
} // namespace testw
