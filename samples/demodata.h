#pragma once
// The files of the demo archive, made in code: a palettised and a
// direct-colour texture, a four-bone skeleton with its resource files and one
// coloured shape per bone, a text and a short tune. The fuzz targets seed
// themselves from the same files.

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace demo
{
    using Bytes = std::vector<std::uint8_t>;

    inline void Put32(Bytes& b, std::size_t at, std::uint32_t v)
    {
        if (b.size() < at + 4)
            b.resize(at + 4);
        for (int i = 0; i < 4; ++i)
            b[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
    }

    inline void PushFloat(Bytes& b, float f)
    {
        std::uint32_t v;
        std::memcpy(&v, &f, 4);
        Put32(b, b.size(), v);
    }

    inline Bytes TexHeader(std::uint32_t width, std::uint32_t height, std::uint32_t paletteCount)
    {
        Bytes b(236, 0);
        Put32(b, 60, width);
        Put32(b, 64, height);
        Put32(b, 88, paletteCount);
        return b;
    }

    // 64 x 64, 16 colours: rings around the centre over a checker board.
    inline Bytes PalettisedTex()
    {
        Bytes b = TexHeader(64, 64, 16);
        for (int i = 0; i < 16; ++i)
        {
            // blue, green, red, unused
            const auto r = std::uint8_t(i * 16), g = std::uint8_t(255 - i * 12), bl = std::uint8_t(i % 2 ? 200 : 60);
            b.insert(b.end(), {bl, g, r, 0});
        }
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 64; ++x)
            {
                const double d = std::sqrt(double((x - 32) * (x - 32) + (y - 32) * (y - 32)));
                const int ring = int(d / 3) % 16;
                b.push_back(std::uint8_t(d < 30 ? ring : (((x / 8) + (y / 8)) % 2) * 15));
            }
        return b;
    }

    // 64 x 48, 5-5-5 colour: red grows to the right, green downwards, a blue band.
    inline Bytes DirectTex()
    {
        Bytes b = TexHeader(64, 48, 0);
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x)
            {
                const unsigned r = unsigned(x * 31 / 63), g = unsigned(y * 31 / 47), bl = (y / 8) % 2 ? 24u : 4u;
                const auto v = std::uint16_t(r << 10 | g << 5 | bl);
                b.push_back(std::uint8_t(v));
                b.push_back(std::uint8_t(v >> 8));
            }
        return b;
    }

    struct Rgb
    {
        std::uint8_t r, g, b;
    };

    // A P model: header, vertices, colours (one per vertex, then one per
    // polygon), polygons of 24 bytes with the vertex indices at 2, 4 and 6.
    inline Bytes PModel(const std::vector<std::array<float, 3>>& vertices, const std::vector<Rgb>& colours,
                        const std::vector<std::array<std::uint16_t, 3>>& triangles)
    {
        Bytes b(128, 0);
        Put32(b, 0, 1);
        Put32(b, 12, std::uint32_t(vertices.size()));
        Put32(b, 36, std::uint32_t(triangles.size()));
        for (const auto& v : vertices)
            for (float f : v)
                PushFloat(b, f);
        for (std::size_t i = 0; i < vertices.size() + triangles.size(); ++i)
        {
            const Rgb c = colours[i % colours.size()];
            b.insert(b.end(), {c.b, c.g, c.r, 0});
        }
        for (const auto& t : triangles)
        {
            Bytes rec(24, 0);
            for (int k = 0; k < 3; ++k)
            {
                rec[std::size_t(2 + 2 * k)] = std::uint8_t(t[std::size_t(k)]);
                rec[std::size_t(3 + 2 * k)] = std::uint8_t(t[std::size_t(k)] >> 8);
            }
            b.insert(b.end(), rec.begin(), rec.end());
        }
        return b;
    }

    // An axis-aligned box from lo to hi, each corner in its own colour.
    inline Bytes Box(std::array<float, 3> lo, std::array<float, 3> hi, Rgb a, Rgb b)
    {
        std::vector<std::array<float, 3>> v;
        std::vector<Rgb> c;
        for (int i = 0; i < 8; ++i)
        {
            v.push_back({i & 1 ? hi[0] : lo[0], i & 2 ? hi[1] : lo[1], i & 4 ? hi[2] : lo[2]});
            c.push_back(i & 4 ? a : b);
        }
        const std::vector<std::array<std::uint16_t, 3>> t = {{0, 1, 3}, {0, 3, 2}, {4, 6, 7}, {4, 7, 5},
                                                             {0, 4, 5}, {0, 5, 1}, {2, 3, 7}, {2, 7, 6},
                                                             {0, 2, 6}, {0, 6, 4}, {1, 5, 7}, {1, 7, 3}};
        return PModel(v, c, t);
    }

    // A four-sided pyramid standing on z = base, its tip at z = tip.
    inline Bytes Pyramid(float half, float base, float tip, Rgb foot, Rgb top)
    {
        const std::vector<std::array<float, 3>> v = {
            {-half, -half, base}, {half, -half, base}, {half, half, base}, {-half, half, base}, {0, 0, tip}};
        const std::vector<Rgb> c = {foot, foot, foot, foot, top};
        const std::vector<std::array<std::uint16_t, 3>> t = {{0, 1, 4}, {1, 2, 4}, {2, 3, 4},
                                                             {3, 0, 4}, {0, 2, 1}, {0, 3, 2}};
        return PModel(v, c, t);
    }

    inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

    inline std::string Rsd(const std::string& part)
    {
        return "@RSD940102\r\nPLY=" + part + ".PLY\r\nMAT=" + part + ".MAT\r\nGRP=" + part + ".GRP\r\nNTEX=0\r\n";
    }

    inline std::string Hrc()
    {
        return ":HEADER_BLOCK 2\r\n"
               ":SKELETON demo_figure\r\n"
               ":BONES 4\r\n"
               "\r\nhip\r\nroot\r\n2.5\r\n1 HIPA\r\n"
               "\r\nchest\r\nhip\r\n3.0\r\n1 CHSA\r\n"
               "\r\nhead\r\nchest\r\n1.5\r\n1 HEDA\r\n"
               "\r\narm\r\nchest\r\n2.0\r\n2 ARMA NOPE\r\n";
    }

    // A short tune: one track, piano, a rising and falling phrase.
    inline Bytes Midi()
    {
        Bytes track = {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, // 120 beats a minute
                       0x00, 0xC0, 0x00};
        const std::uint8_t notes[] = {60, 64, 67, 72, 67, 64, 60};
        for (std::uint8_t n : notes)
            track.insert(track.end(), {0x00, 0x90, n, 0x64, 0x81, 0x70, 0x80, n, 0x40}); // 240 ticks
        track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00});
        Bytes b = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0x01, 0xE0, 'M', 'T', 'r', 'k'};
        const auto len = std::uint32_t(track.size());
        b.insert(b.end(),
                 {std::uint8_t(len >> 24), std::uint8_t(len >> 16), std::uint8_t(len >> 8), std::uint8_t(len)});
        b.insert(b.end(), track.begin(), track.end());
        return b;
    }

    inline std::vector<std::pair<std::string, Bytes>> Files()
    {
        return {
            {"DEMO8.TEX", PalettisedTex()},
            {"DEMO16.TEX", DirectTex()},
            {"DEMO.HRC", Text(Hrc())},
            {"HIPA.RSD", Text(Rsd("HIPA"))},
            {"CHSA.RSD", Text(Rsd("CHSA"))},
            {"HEDA.RSD", Text(Rsd("HEDA"))},
            {"ARMA.RSD", Text(Rsd("ARMA"))},
            {"HIPA.P", Box({-3, -2, -1}, {3, 2, 1}, {220, 40, 40}, {120, 0, 0})},
            {"CHSA.P", Box({-2.5f, -1.5f, 1}, {2.5f, 1.5f, 5}, {40, 200, 60}, {0, 90, 20})},
            {"HEDA.P", Pyramid(1.5f, 5, 8, {230, 200, 40}, {255, 255, 255})},
            {"ARMA.P", Box({2.5f, -0.5f, 1}, {6, 0.5f, 2}, {60, 80, 230}, {20, 20, 120})},
            {"README.TXT", Text("Tarrowin demo archive\r\n"
                                "\r\n"
                                "DEMO8.TEX   a 16-colour texture\r\n"
                                "DEMO16.TEX  a direct-colour texture\r\n"
                                "DEMO.HRC    a skeleton of four bones; its RSD files name the P parts\r\n"
                                "*.P         one coloured shape per bone\r\n"
                                "DEMO.MID    a short tune\r\n")},
            {"DEMO.MID", Midi()},
        };
    }
}
