// TEX textures both ways: header fields, pictures, the writer's round trip,
// palette edits, quantization and refusals, and PNG files.
#include "preview/psxtexdecode.h"
#include "preview/texfile.h"
#include "preview/texpng.h"

#include "errors/errors.h"
#include "support/failure.h"
#include "testwriters.h"

#include <gtest/gtest.h>

using testw::Bytes;
using testw::MakeTex;
using testw::TexSpec;

namespace
{
    TTexPicture ThroughPng(const TTexPicture& picture) { return PngToPicture(PictureToPng(picture)); }

    TTexColour Shown(const Bytes& tex, std::int32_t x, std::int32_t y)
    {
        TMemoryStream stream(tex);
        return PSXTexDecode(stream).PixelColour(x, y);
    }

    void SetPixel(TTexPicture& p, std::int32_t x, std::int32_t y, TTexColour c, std::uint8_t alpha = 255)
    {
        std::uint8_t* px = p.Rgba.data() + (std::size_t(y) * std::size_t(p.Width) + std::size_t(x)) * 4;
        px[0] = c.Red;
        px[1] = c.Green;
        px[2] = c.Blue;
        px[3] = alpha;
    }

    // The picture as plain RGBA (an editor that saved it without palette).
    TTexPicture AsRgba(TTexPicture p)
    {
        p.Indexed = false;
        p.Indices.clear();
        p.Palette.clear();
        p.Alpha.clear();
        return p;
    }
} // namespace

TEST(TexHeader, fieldsAreReadAtTheirOffsetsAndDescribed)
{
    Bytes tex(236, 0);
    for (const TTexHeaderField& field : TexHeaderFields)
        testlgp::PutI32(tex, field.Offset, std::int32_t(1000 + field.Offset));
    const TTexHeader header = ReadTexHeader(tex);
    for (const TTexHeaderField& field : TexHeaderFields)
        EXPECT_EQ(header.*field.Member, std::int32_t(1000 + field.Offset)) << field.Name;

    TTexHeader h;
    h.Width = 64;
    h.Height = 32;
    h.PaletteCount = 4;
    h.ColoursPerPalette = 16;
    h.PaletteEntries = 64;
    h.ColourKey = 1;
    EXPECT_EQ(DescribeTexture(h), "64 x 32 pixels, 8 bits per pixel, 4 palettes of 16 colours, colour key");
    h.PaletteEntries = 60; // no product: one palette of every entry
    EXPECT_EQ(TexLayout(h).Palettes, 1);
    EXPECT_EQ(DescribeTexture(h), "64 x 32 pixels, 8 bits per pixel, 1 palette of 60 colours, colour key");
    h.PaletteEntries = 0;
    h.ColourKey = 0;
    EXPECT_EQ(DescribeTexture(h), "64 x 32 pixels, 16 bits per pixel, direct colour (5-5-5)");
    EXPECT_EQ(testlgp::FailureText<ELGPError>([] { ReadTexHeader(Bytes(235, 0)); }), "Stream read error");
}

TEST(TexRoundTrip, anUneditedExportGoesBackByteForByte)
{
    const std::vector<TexSpec> specs = {
        {.Colours = 16},                               // 16 colours
        {.Colours = 256, .Seed = 2},                   // 256 colours
        {.Colours = 0, .Seed = 3},                     // direct colour, bit 15 random
        {.Colours = 16, .ColourKey = true, .Seed = 4}, // index 0 transparent in the PNG
        {.Colours = 0, .ColourKey = true, .Seed = 5},  // direct colour with the colour key
        {.Colours = 4, .MaxIndex = 9, .Seed = 6},      // indices past the palette show black
        {.Colours = 8, .PixelBytes = 70, .Seed = 7},   // pixel data stop in row 4
        {.Width = 1, .Height = 1, .Colours = 2, .Seed = 8},
    };
    for (std::size_t i = 0; i < specs.size(); ++i)
    {
        const Bytes tex = MakeTex(specs[i]);
        const TTexPicture picture = TexToPicture(tex);
        EXPECT_EQ(ThroughPng(picture), picture) << "case " << i;
        const TTexWriteResult result = WriteTexFromPicture(tex, ThroughPng(picture));
        EXPECT_EQ(result.Data, tex) << "case " << i;
        EXPECT_FALSE(result.Quantized || result.PaletteChanged) << "case " << i;
        // Saved without palette by an editor: the same colours, the same bytes
        // (the seeded palettes hold no colour twice).
        if (!specs[i].ColourKey && specs[i].MaxIndex < 0)
        {
            EXPECT_EQ(WriteTexFromPicture(tex, ThroughPng(AsRgba(picture))).Data, tex) << "case " << i;
        }
    }
}

TEST(TexRoundTrip, everyPaletteOfAMultiPaletteTextureGoesBack)
{
    const Bytes tex = MakeTex({.Width = 8, .Height = 8, .Palettes = 4, .Colours = 16, .Seed = 9});
    EXPECT_EQ(TexLayout(ReadTexHeader(tex)).Palettes, 4);
    for (std::int32_t k = 0; k < 4; ++k)
    {
        const TTexPicture picture = TexToPicture(tex, k);
        ASSERT_EQ(picture.Palette.size(), 16u);
        EXPECT_EQ(picture.Palette[3], (TTexColour{tex[236 + (k * 16 + 3) * 4 + 2], tex[236 + (k * 16 + 3) * 4 + 1],
                                                  tex[236 + (k * 16 + 3) * 4]}));
        EXPECT_EQ(WriteTexFromPicture(tex, ThroughPng(picture), k).Data, tex) << "palette " << k;
    }
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { TexToPicture(tex, 4); }),
              "The texture has 4 palettes; there is no palette 4.");
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { TexToPicture(MakeTex({.Colours = 0}), 1); }),
              "The texture has 0 palettes; there is no palette 1.");
}

TEST(TexWrite, editsChangeOnlyWhatTheyTouch)
{
    // Pixels repainted with palette colours: those pixel bytes change, nothing else.
    {
        const Bytes tex = MakeTex({.Colours = 16, .Seed = 10});
        TTexPicture picture = AsRgba(TexToPicture(tex));
        const TTexColour colour5{tex[236 + 5 * 4 + 2], tex[236 + 5 * 4 + 1], tex[236 + 5 * 4]};
        SetPixel(picture, 3, 2, colour5);
        const TTexWriteResult result = WriteTexFromPicture(tex, picture);
        Bytes expected = tex;
        expected[236 + 16 * 4 + 2 * 16 + 3] = 5;
        EXPECT_EQ(result.Data, expected);
        EXPECT_FALSE(result.PaletteChanged);
    }
    // A palette edit of palette 2 (same indices, new colours): palette 2's
    // colour bytes change, the other palettes, fourth bytes and pixels stay.
    {
        const Bytes tex = MakeTex({.Width = 8, .Height = 4, .Palettes = 3, .Colours = 16, .Seed = 11});
        TTexPicture picture = TexToPicture(tex, 2);
        for (TTexColour& c : picture.Palette)
            c = {std::uint8_t(c.Red ^ 0x80), c.Green, c.Blue};
        const TTexWriteResult result = WriteTexFromPicture(tex, picture, 2);
        EXPECT_TRUE(result.PaletteChanged);
        EXPECT_FALSE(result.Quantized);
        std::vector<bool> used(16, false);
        for (std::uint8_t index : picture.Indices)
            used[index] = true;
        Bytes expected = tex;
        for (std::size_t i = 0; i < 16; ++i)
            if (used[i])
                expected[236 + (32 + i) * 4 + 2] ^= 0x80;
        EXPECT_EQ(result.Data, expected);
    }
    // Direct colour: every 5-bit level survives widening to 8 bits and back;
    // bit 15 stays with the pixel it was in.
    {
        const Bytes tex = MakeTex({.Width = 32, .Height = 3, .Colours = 0, .Seed = 12});
        TTexPicture picture = TexToPicture(tex);
        for (std::int32_t x = 0; x < 32; ++x)
        {
            const auto w = std::uint8_t((x << 3) | (x >> 2));
            SetPixel(picture, x, 0, {w, 0, 0});
            SetPixel(picture, x, 1, {0, w, 0});
            SetPixel(picture, x, 2, {0, 0, w});
        }
        const Bytes out = WriteTexFromPicture(tex, picture).Data;
        for (std::int32_t x = 0; x < 32; ++x)
            for (std::int32_t row = 0; row < 3; ++row)
            {
                const std::size_t at = 236 + std::size_t(row * 32 + x) * 2;
                const unsigned value = unsigned(out[at] | out[at + 1] << 8);
                const unsigned bit15 = unsigned(tex[at + 1] & 0x80) << 8;
                EXPECT_EQ(value, bit15 | unsigned(x) << (10 - 5 * row)) << x << "," << row;
            }
        EXPECT_EQ(Bytes(out.end() - 5, out.end()), Bytes(tex.end() - 5, tex.end()));
    }
}

TEST(TexWrite, transparencyFollowsTheColourKey)
{
    const Bytes keyed = MakeTex({.Width = 4, .Height = 2, .Colours = 16, .ColourKey = true, .Seed = 13});
    TTexPicture picture = AsRgba(TexToPicture(keyed));
    SetPixel(picture, 1, 1, {1, 2, 3}, 10);
    Bytes expected = keyed;
    expected[236 + 16 * 4 + 4 + 1] = 0;
    EXPECT_EQ(WriteTexFromPicture(keyed, picture).Data, expected);

    const Bytes plain = MakeTex({.Width = 4, .Height = 2, .Colours = 16, .Seed = 13});
    TTexPicture transparent = AsRgba(TexToPicture(plain));
    SetPixel(transparent, 0, 0, {0, 0, 0}, 127);
    const std::string refused = "The picture has transparent pixels but the texture has no colour key, so nothing "
                                "in it can be transparent.";
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { WriteTexFromPicture(plain, transparent); }), refused);
    TTexPicture indexed = TexToPicture(plain);
    indexed.Alpha[indexed.Indices[0]] = 0;
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { WriteTexFromPicture(plain, indexed); }), refused);
    const Bytes direct = MakeTex({.Width = 4, .Height = 2, .Colours = 0, .Seed = 14});
    TTexPicture directPicture = TexToPicture(direct);
    SetPixel(directPicture, 2, 1, {9, 9, 9}, 0);
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { WriteTexFromPicture(direct, directPicture); }), refused);

    // Direct colour with the colour key: a transparent pixel becomes value 0.
    const Bytes directKeyed = MakeTex({.Width = 4, .Height = 2, .Colours = 0, .ColourKey = true, .Seed = 14});
    TTexPicture keyedPicture = TexToPicture(directKeyed);
    SetPixel(keyedPicture, 2, 1, {9, 9, 9}, 0);
    Bytes directExpected = directKeyed;
    directExpected[236 + 12] = 0;
    directExpected[236 + 13] = 0;
    EXPECT_EQ(WriteTexFromPicture(directKeyed, keyedPicture).Data, directExpected);
}

TEST(TexWrite, aPictureOfOtherSizeOrBrokenPixelsIsRefused)
{
    const Bytes tex = MakeTex({.Width = 16, .Height = 8, .Colours = 16});
    TTexPicture picture = TexToPicture(tex);
    picture.Width = 8;
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { WriteTexFromPicture(tex, picture); }),
              "The picture is 8 x 8 pixels but the texture is 16 x 8; a texture's size cannot be changed.");
    picture.Width = 16;
    picture.Rgba.pop_back();
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { WriteTexFromPicture(tex, picture); }),
              "The picture's pixel data do not match its size.");
}

// A header whose palette count puts the pixels far past the end of the file
// (the preview shows such a texture with its pixels missing): a picture that
// needs pixels there is refused, the file never grown by the count.
TEST(TexWrite, pixelsPastAHostilePaletteCountAreRefused)
{
    Bytes tex = MakeTex({.Width = 4, .Height = 2, .Colours = 256, .PixelBytes = 0, .Seed = 15});
    testw::PutI32(tex, 88, 100000);
    TTexPicture picture = AsRgba(TexToPicture(tex));
    const TTexColour colour5{tex[236 + 5 * 4 + 2], tex[236 + 5 * 4 + 1], tex[236 + 5 * 4]};
    SetPixel(picture, 3, 1, colour5);
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { WriteTexFromPicture(tex, picture); }),
              "The texture's pixels would begin past its end (its palette is said to hold 100000 colours), so the "
              "picture's pixels cannot be stored in it.");
}

// A picture of more colours than the palette holds gets a palette made for
// it; every pixel then shows within MaxChannelError of its colour (per
// channel, of 255) through the preview's decoder. The picture is a gradient
// of 4,096 colours: into 256 colours the largest error allowed is 16 (13
// measured), into 15 (16, index 0 being the transparent one) 56 (47 measured:
// about two and a half levels a channel).
TEST(TexQuantize, moreColoursThanThePaletteHoldsAreReducedWithinTheStatedError)
{
    struct Case
    {
        std::int32_t Colours;
        bool Key;
        int MaxChannelError;
    };
    for (const Case c : {Case{256, false, 16}, Case{16, true, 56}})
    {
        const Bytes tex = MakeTex({.Width = 64, .Height = 64, .Colours = c.Colours, .ColourKey = c.Key, .Seed = 15});
        TTexPicture picture = AsRgba(TexToPicture(tex));
        for (std::int32_t y = 0; y < 64; ++y)
            for (std::int32_t x = 0; x < 64; ++x)
                SetPixel(picture, x, y, {std::uint8_t(x * 4), std::uint8_t(y * 4), std::uint8_t((x + y) * 2)});
        const TTexWriteResult result = WriteTexFromPicture(tex, ThroughPng(picture));
        EXPECT_TRUE(result.Quantized);
        int worst = 0;
        for (std::int32_t y = 0; y < 64; ++y)
            for (std::int32_t x = 0; x < 64; ++x)
            {
                const TTexColour shown = Shown(result.Data, x, y);
                worst = std::max({worst, std::abs(shown.Red - x * 4), std::abs(shown.Green - y * 4),
                                  std::abs(shown.Blue - (x + y) * 2)});
                if (c.Key) // index 0 is the transparent one: opaque pixels never take it
                {
                    EXPECT_NE(result.Data[236 + std::size_t(c.Colours) * 4 + std::size_t(y * 64 + x)], 0);
                }
            }
        EXPECT_LE(worst, c.MaxChannelError) << c.Colours << " colours";
        // Header, fourth palette bytes and trailing bytes are kept.
        EXPECT_EQ(Bytes(result.Data.begin(), result.Data.begin() + 236), Bytes(tex.begin(), tex.begin() + 236));
        for (std::int32_t i = 0; i < c.Colours; ++i)
            EXPECT_EQ(result.Data[236 + std::size_t(i) * 4 + 3], tex[236 + std::size_t(i) * 4 + 3]);
        EXPECT_EQ(Bytes(result.Data.end() - 5, result.Data.end()), Bytes(tex.end() - 5, tex.end()));
        EXPECT_EQ(result.Data.size(), tex.size());
    }
}

TEST(TexPng, palettePngsKeepIndicesAndTransparencyAndBadFilesAreRefused)
{
    TTexPicture picture;
    picture.Width = 3;
    picture.Height = 1;
    picture.Indexed = true;
    picture.Indices = {2, 0, 1};
    picture.Palette = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
    picture.Alpha = {0, 255, 255};
    picture.Rgba = {7, 8, 9, 255, 1, 2, 3, 0, 4, 5, 6, 255};
    const Bytes png = PictureToPng(picture);
    EXPECT_EQ(Bytes(png.begin() + 1, png.begin() + 4), testlgp::B("PNG"));
    EXPECT_EQ(png[25], 3); // colour type 3: palette
    EXPECT_EQ(PngToPicture(png), picture);

    EXPECT_EQ(testlgp::FailureText<ELGPError>([] { PngToPicture(testlgp::B("not a png")); }),
              "The file is not a PNG picture libpng can read: Not a PNG file.");
    TTexPicture wide = AsRgba(picture);
    wide.Width = MaxTextureSide + 1;
    wide.Rgba.assign(std::size_t(wide.Width) * 4, 255);
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { PngToPicture(PictureToPng(wide)); }),
              "The picture's size (16385 x 1 pixels) is too large.");
}
