#pragma once
// PSX TEX textures decoded into a plain picture, and that picture written as a
// Windows bitmap file. Standard library only, so the fuzz build links it.
//
// TEX entry (little-endian, offsets from the start of the entry):
//
//   60   int32  width in pixels
//   64   int32  height in pixels
//   88   int32  palette entry count; 0 = direct colour, no palette
//   236  ...    palettised: count x 4 bytes (blue, green, red, ignored), then
//               height rows of width index bytes, top row first, no padding
//               direct colour: height rows of width uint16 values in the 5-5-5
//               layout (bits 0-4 blue, 5-9 green, 10-14 red, bit 15 ignored)
//
// Everything else in the 236-byte header is not read.

#include "core/streams.h"

#include <array>
#include <cstdint>
#include <vector>

struct TTexColour
{
    std::uint8_t Red = 0;
    std::uint8_t Green = 0;
    std::uint8_t Blue = 0;

    bool operator==(const TTexColour&) const = default;
};

// A decoded texture. Pixels holds Width x Height bytes (8 bits per pixel, each
// an index into Palette) or Width x Height x 2 bytes (16 bits per pixel, each
// value little-endian 5-5-5), row 0 being the top row.
struct TPSXTexImage
{
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    int BitsPerPixel = 0;            // 8 or 16
    std::vector<TTexColour> Palette; // 8 bits per pixel only; at most 256 entries
    std::vector<std::uint8_t> Pixels;

    // The colour a pixel shows. Indices at or above the palette's count show black.
    TTexColour PixelColour(std::int32_t x, std::int32_t y) const;
    std::uint16_t Pixel16(std::int32_t x, std::int32_t y) const;
};

// The biggest picture the previewer makes: larger sizes are refused before any
// buffer is allocated.
constexpr std::int64_t MaxTexturePixels = std::int64_t(1) << 24; // 16 Mi pixels, 4096 x 4096
constexpr std::int32_t MaxTextureSide = 16384;

// The header is 236 bytes; the dispatcher always passes that as dataStart.
constexpr std::int64_t TexDataStart = 236;

// Decodes the whole TEX entry held in stream (the stream's position moves).
// Failures (ELGPError):
//   "Stream read error"  header cut short, palette cut short, or direct-colour
//                        pixels shorter than width x height x 2 bytes;
//   "The texture's size (%d x %d pixels) cannot be shown." for negative sizes or
//                        sizes beyond MaxTextureSide / MaxTexturePixels;
//   "The texture's palette entry count (%d) is not valid." for a negative count.
// A palette count above 256 keeps the first 256 entries and skips the others
// before the pixels. Short palettised pixel data are no error: the rows that
// get fewer bytes, or none, keep index 0 there.
TPSXTexImage PSXTexDecode(TStream& stream, std::int64_t dataStart = TexDataStart);

// The picture as a Windows bitmap file: 8 bits per pixel with the palette as
// colour table (padded with black up to the highest index used), or 16 bits
// per pixel 5-5-5 (BI_RGB). Rows are stored bottom-up and padded to 4 bytes.
std::vector<std::uint8_t> TexImageToBmp(const TPSXTexImage& image);
