#include "preview/psxtexdecode.h"
#include "support/failure.h"

#include "errors/errors.h"
#include "support/tempfolder.h"
#include "testwriters.h"

#include <gtest/gtest.h>

using testw::Bytes;

namespace
{
    TPSXTexImage Decode(const Bytes& bytes)
    {
        TMemoryStream stream(bytes);
        return PSXTexDecode(stream, TexDataStart);
    }

    std::string FailureOf(const Bytes& bytes)
    {
        return testlgp::FailureText<ELGPError>([&] { Decode(bytes); });
    }

    std::uint32_t LE32(const Bytes& b, std::size_t at)
    {
        return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16
               | std::uint32_t(b[at + 3]) << 24;
    }
    std::uint16_t LE16(const Bytes& b, std::size_t at) { return std::uint16_t(b[at] | b[at + 1] << 8); }
}

TEST(PSXTexDecode, palettisedReadsPaletteThenPixelsAtTheirOffsets)
{
    // 8 x 2, 4 colours: palette at 236..251, pixels at 252..267.
    Bytes body = {16, 32, 48, 255, 1, 2, 3, 4, 0, 0, 0xFF, 0, 0xFF, 0, 0, 0};
    for (int i = 0; i < 16; ++i)
        body.push_back(std::uint8_t(i % 4));
    body.push_back(3); // a byte past the pixels is not read
    const TPSXTexImage image = Decode(testw::Tex(8, 2, 4, body));
    EXPECT_EQ(image.BitsPerPixel, 8);
    EXPECT_EQ(image.Width, 8);
    EXPECT_EQ(image.Height, 2);
    ASSERT_EQ(image.Palette.size(), 4u);
    // Stored blue, green, red, flags.
    EXPECT_EQ(image.Palette[0], (TTexColour{48, 32, 16}));
    EXPECT_EQ(image.Palette[1], (TTexColour{3, 2, 1}));
    EXPECT_EQ(image.Palette[2], (TTexColour{255, 0, 0}));
    EXPECT_EQ(image.Palette[3], (TTexColour{0, 0, 255}));
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 8; ++x)
        {
            EXPECT_EQ(image.Pixels[std::size_t(y * 8 + x)], (y * 8 + x) % 4);
            EXPECT_EQ(image.PixelColour(x, y), image.Palette[std::size_t((y * 8 + x) % 4)]);
        }
}

TEST(PSXTexDecode, countOfSixteenStillOneBytePerPixelAndIndicesPastPaletteShowBlack)
{
    Bytes body(16 * 4, 0x40);
    body.insert(body.end(), {0x12, 0x0F, 0x10, 0xFF});
    const TPSXTexImage image = Decode(testw::Tex(4, 1, 16, body));
    ASSERT_EQ(image.Pixels.size(), 4u);
    EXPECT_EQ(image.Pixels[0], 0x12); // not unpacked into two 4-bit pixels
    EXPECT_EQ(image.PixelColour(0, 0), TTexColour{});
    EXPECT_EQ(image.PixelColour(1, 0), (TTexColour{0x40, 0x40, 0x40}));
    EXPECT_EQ(image.PixelColour(2, 0), TTexColour{});
}

TEST(PSXTexDecode, shortPalettisedDataFillsWholeRowsThenPartThenNothing)
{
    // 4 x 8; data stop two bytes into row 5.
    Bytes body = {0, 0, 0, 0};
    for (int i = 0; i < 4 * 5 + 2; ++i)
        body.push_back(std::uint8_t(i + 1));
    const TPSXTexImage image = Decode(testw::Tex(4, 8, 1, body));
    for (int i = 0; i < 22; ++i)
        EXPECT_EQ(image.Pixels[std::size_t(i)], i + 1) << i;
    for (std::size_t i = 22; i < image.Pixels.size(); ++i)
        EXPECT_EQ(image.Pixels[i], 0) << i;
}

TEST(PSXTexDecode, paletteCountAbove256KeepsFirst256AndSkipsRestBeforePixels)
{
    Bytes body;
    for (int i = 0; i < 300; ++i)
        body.insert(body.end(), {std::uint8_t(i), 0, 0, 0});
    body.insert(body.end(), {7, 255});
    const TPSXTexImage image = Decode(testw::Tex(2, 1, 300, body));
    ASSERT_EQ(image.Palette.size(), 256u);
    EXPECT_EQ(image.Palette[255].Blue, 255);
    EXPECT_EQ(image.Pixels[0], 7);
    EXPECT_EQ(image.Pixels[1], 255);
}

TEST(PSXTexDecode, directColourCopiesValuesAndIgnoresPaletteLikeBlock)
{
    Bytes body;
    for (std::uint16_t v : {0x7C00, 0x03E0, 0x001F, 0x8000 | 0x7C00})
        body.insert(body.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
    const TPSXTexImage image = Decode(testw::Tex(2, 2, 0, body));
    EXPECT_EQ(image.BitsPerPixel, 16);
    EXPECT_TRUE(image.Palette.empty());
    EXPECT_EQ(image.Pixel16(0, 0), 0x7C00);
    EXPECT_EQ(image.PixelColour(0, 0), (TTexColour{255, 0, 0}));
    EXPECT_EQ(image.PixelColour(1, 0), (TTexColour{0, 255, 0}));
    EXPECT_EQ(image.PixelColour(0, 1), (TTexColour{0, 0, 255}));
    EXPECT_EQ(image.PixelColour(1, 1), (TTexColour{255, 0, 0})); // bit 15 has no effect
}

TEST(PSXTexDecode, failuresCarryTheirTexts)
{
    EXPECT_EQ(FailureOf(Bytes(91, 0)), "Stream read error");
    EXPECT_EQ(FailureOf(testw::Tex(2, 2, 0, Bytes(7, 0))), "Stream read error");
    EXPECT_EQ(FailureOf(testw::Tex(2, 2, 4, Bytes(15, 0))), "Stream read error"); // palette cut short
    EXPECT_EQ(FailureOf(testw::Tex(-1, 2, 0, {})), "The texture's size (-1 x 2 pixels) cannot be shown.");
    // 65536 x 65536 would overflow 32 bits and ask for gigabytes: refused before allocating.
    EXPECT_EQ(FailureOf(testw::Tex(65536, 65536, 1, Bytes(4, 0))),
              "The texture's size (65536 x 65536 pixels) cannot be shown.");
    EXPECT_EQ(FailureOf(testw::Tex(30000, 30000, 0, {})), "The texture's size (30000 x 30000 pixels) cannot be shown.");
    // Direct colour larger than its data fails as a short read without a big buffer.
    EXPECT_EQ(FailureOf(testw::Tex(4000, 4000, 0, Bytes(10, 0))), "Stream read error");
    EXPECT_EQ(FailureOf(testw::Tex(16385, 1, 1, Bytes(4, 0))),
              "The texture's size (16385 x 1 pixels) cannot be shown.");
    EXPECT_EQ(FailureOf(testw::Tex(4097, 4096, 1, Bytes(4, 0))),
              "The texture's size (4097 x 4096 pixels) cannot be shown.");
    EXPECT_EQ(FailureOf(testw::Tex(1, 1, -5, Bytes(8, 0))), "The texture's palette entry count (-5) is not valid.");
}

TEST(TexImageToBmp, palettisedBitmapHasColourTablePaddedRowsBottomUp)
{
    Bytes body = {10, 20, 30, 0, 40, 50, 60, 0};
    body.insert(body.end(), {0, 1, 1, /*row 1*/ 1, 0, 2});
    const TPSXTexImage image = Decode(testw::Tex(3, 2, 2, body));
    const Bytes bmp = TexImageToBmp(image);
    ASSERT_GE(bmp.size(), 54u);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(LE32(bmp, 2), bmp.size());
    EXPECT_EQ(LE32(bmp, 14), 40u);
    EXPECT_EQ(LE32(bmp, 18), 3u);
    EXPECT_EQ(LE32(bmp, 22), 2u);
    EXPECT_EQ(LE16(bmp, 28), 8);
    EXPECT_EQ(LE32(bmp, 30), 0u);
    // Index 2 is used but the palette has 2 entries: the table grows to 3, black last.
    EXPECT_EQ(LE32(bmp, 46), 3u);
    const std::size_t table = 54;
    EXPECT_EQ(Bytes(bmp.begin() + table, bmp.begin() + table + 12), (Bytes{10, 20, 30, 0, 40, 50, 60, 0, 0, 0, 0, 0}));
    const std::size_t data = LE32(bmp, 10);
    EXPECT_EQ(data, table + 12);
    // Bottom row first, each padded to 4 bytes.
    EXPECT_EQ(Bytes(bmp.begin() + std::ptrdiff_t(data), bmp.end()), (Bytes{1, 0, 2, 0, 0, 1, 1, 0}));
}

TEST(TexImageToBmp, directColourIs16Bit555)
{
    Bytes body;
    for (std::uint16_t v : {0x7C00, 0x03E0, 0x001F})
        body.insert(body.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
    const Bytes bmp = TexImageToBmp(Decode(testw::Tex(3, 1, 0, body)));
    EXPECT_EQ(LE16(bmp, 28), 16);
    EXPECT_EQ(LE32(bmp, 30), 0u); // BI_RGB: 5-5-5
    EXPECT_EQ(LE32(bmp, 46), 0u);
    const std::size_t data = LE32(bmp, 10);
    EXPECT_EQ(data, 54u);
    EXPECT_EQ(Bytes(bmp.begin() + 54, bmp.end()), (Bytes{0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00, 0, 0}));
}
