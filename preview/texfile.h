#pragma once
// TEX textures both ways: the header's fields, a texture's palette and pixels
// as a plain picture (for PNG), and a new TEX made from a picture and the
// texture it replaces. Standard library only (libimagequant for palettes).
//
// The 236-byte header (little-endian int32 fields, offsets from the start of
// the entry); the fields listed in TexHeaderFields are the ones read here,
// every other header byte is carried over unchanged by the writer:
//
//   0    version (1; the game loads nothing else)
//   8    colour key: 1 = palette index 0 (a direct-colour value 0) is transparent
//   20   minimum / maximum bits per colour (20, 24), alpha bits (28, 32) and
//        bits per pixel (36, 40): what the game's renderer may convert to
//   48   number of palettes (several palettes share the pixels; the game picks
//        one per polygon)
//   52   colours per palette
//   56   bit depth (8 or 16)
//   60   width, 64 height in pixels
//   68   pitch, bytes per row
//   76   palette flag (1 when a palette is present)
//   80   bits per index (0 for direct colour)
//   84   indexed-to-8-bit flag
//   88   palette entries: palettes x colours per palette; 0 = direct colour
//   236  palettised: entries x 4 bytes (blue, green, red, a fourth byte kept
//        as it is), then height rows of width index bytes, top row first;
//        direct colour: height rows of width uint16 values, 5-5-5 (bits 0-4
//        blue, 5-9 green, 10-14 red, bit 15 kept as it is)

#include "preview/psxtexdecode.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

constexpr std::size_t TexHeaderSize = 236;

struct TTexHeader
{
    std::int32_t Version = 0;
    std::int32_t ColourKey = 0;
    std::int32_t MinBitsPerColour = 0;
    std::int32_t MaxBitsPerColour = 0;
    std::int32_t MinAlphaBits = 0;
    std::int32_t MaxAlphaBits = 0;
    std::int32_t MinBitsPerPixel = 0;
    std::int32_t MaxBitsPerPixel = 0;
    std::int32_t PaletteCount = 0;
    std::int32_t ColoursPerPalette = 0;
    std::int32_t BitDepth = 0;
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    std::int32_t Pitch = 0;
    std::int32_t PaletteFlag = 0;
    std::int32_t BitsPerIndex = 0;
    std::int32_t IndexedTo8Bit = 0;
    std::int32_t PaletteEntries = 0;
};

// Where each modelled field lives and what it means: the one table the
// reader, tex-info and the window's facts use.
struct TTexHeaderField
{
    std::size_t Offset;
    std::int32_t TTexHeader::*Member;
    const char* Name;
    const char* Meaning;
};
extern const std::array<TTexHeaderField, 18> TexHeaderFields;

// The modelled fields of a TEX entry. "Stream read error" when the entry is
// shorter than the 236-byte header.
TTexHeader ReadTexHeader(std::span<const std::uint8_t> tex);

// How a texture's colours are laid out, derived from the header.
struct TTexLayout
{
    bool Palettised = false;
    // Palettes in the palette block: PaletteCount when it and
    // ColoursPerPalette multiply to the entry count (at 88), else one.
    std::int32_t Palettes = 0;
    std::int32_t ColoursPerPalette = 0; // entries of one palette (all of them for one palette)
    bool ColourKey = false;
};
TTexLayout TexLayout(const TTexHeader& header);

// One line of facts: "256 x 256 pixels, 8 bits per pixel, 4 palettes of 16 colours, colour key".
std::string DescribeTexture(const TTexHeader& header);

// A picture as PNG carries it. Rgba holds Width x Height x 4 bytes, top row
// first. An indexed picture also holds one index per pixel and its palette
// (Palette colours with Alpha per entry); Rgba then shows those colours.
struct TTexPicture
{
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    std::vector<std::uint8_t> Rgba;
    bool Indexed = false;
    std::vector<std::uint8_t> Indices;
    std::vector<TTexColour> Palette;
    std::vector<std::uint8_t> Alpha; // one per Palette entry, 255 = opaque

    bool operator==(const TTexPicture&) const = default;
};

// Alpha below this counts as transparent; from it up, the colour counts as opaque.
constexpr std::uint8_t TexOpaqueAlpha = 128;

// The texture as a picture, for palette number palette (0-based) of a
// palettised texture: indexed, its palette being that palette's colours
// (at most 256) extended up to the highest index used with the colours
// those indices show (the next entries of the palette block, black past
// it); with the colour key set, entry 0 is transparent. A direct-colour
// texture gives an RGB picture, opaque (5-bit values widened as the
// preview shows them; bit 15 is not shown). Failures: those of the
// decoder, and "The texture has %d palettes; there is no palette %d." for
// a palette it lacks.
TTexPicture TexToPicture(std::span<const std::uint8_t> tex, std::int32_t palette = 0);

struct TTexWriteResult
{
    std::vector<std::uint8_t> Data;
    bool Quantized = false;      // the palette was made anew for the picture's colours
    bool PaletteChanged = false; // some colour of the palette changed
};

// A new TEX entry for tex showing picture (same width and height), in palette
// number palette. Every byte of tex that the picture does not decide is kept:
// the header, the other palettes, the fourth byte of every palette entry,
// bytes after the pixels, bit 15 of every direct-colour pixel.
//
// Palettised: when every pixel's colour is in the palette the palette stays
// as it is (an indexed picture's indices are kept where they show the same
// colour, so an exported picture goes back byte for byte). Otherwise an
// indexed picture whose indices all lie inside the palette keeps its indices
// and gives the palette the colours of the indices it uses (a palette edit:
// other palettes and unused entries stay). Otherwise the palette's colours
// are replaced by a palette made for the picture (libimagequant, each pixel
// then taking the nearest colour, no dithering) and Quantized is set. Transparent pixels (alpha below
// TexOpaqueAlpha) take index 0 when the colour key is set, and opaque ones
// then never do; without the colour key transparent pixels are refused.
// Direct colour: each colour rounded to 5 bits a channel; a transparent
// pixel becomes 0 (colour key) or is refused.
//
// Failures (ELGPError): the decoder's; "The picture is %d x %d pixels but the
// texture is %d x %d; a texture's size cannot be changed."; "The picture has
// transparent pixels but the texture has no colour key, so nothing in it can
// be transparent."; the missing-palette message above.
TTexWriteResult WriteTexFromPicture(std::span<const std::uint8_t> tex, const TTexPicture& picture,
                                    std::int32_t palette = 0);
