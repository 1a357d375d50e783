#include "psxtexdecode.h"

#include "core/lebytes.h"
#include "errors/errors.h"

#include <algorithm>
#include <string>

namespace
{
    std::int32_t ReadInt32At(TStream& stream, std::int64_t position)
    {
        stream.SetPosition(position);
        return stream.ReadInt32();
    }

    void CheckSize(std::int32_t width, std::int32_t height)
    {
        const bool bad = width < 0 || height < 0 || width > MaxTextureSide || height > MaxTextureSide
                         || std::int64_t(width) * height > MaxTexturePixels;
        if (bad)
            lgp::Fail("The texture's size (" + std::to_string(width) + " x " + std::to_string(height)
                      + " pixels) cannot be shown.");
    }
}

TTexColour TPSXTexImage::PixelColour(std::int32_t x, std::int32_t y) const
{
    const std::size_t at = std::size_t(y) * std::size_t(Width) + std::size_t(x);
    if (BitsPerPixel == 8)
    {
        const std::uint8_t index = Pixels[at];
        return index < Palette.size() ? Palette[index] : TTexColour{};
    }
    const std::uint16_t v = Pixel16(x, y);
    // Five bits widened to eight the way the platform shows them (top bits repeated).
    auto widen = [](unsigned five) { return std::uint8_t((five << 3) | (five >> 2)); };
    return {widen((v >> 10) & 31), widen((v >> 5) & 31), widen(v & 31)};
}

std::uint16_t TPSXTexImage::Pixel16(std::int32_t x, std::int32_t y) const
{
    const std::size_t at = (std::size_t(y) * std::size_t(Width) + std::size_t(x)) * 2;
    return lgp::GetLE<std::uint16_t>(Pixels, at);
}

TPSXTexImage PSXTexDecode(TStream& stream, std::int64_t dataStart)
{
    TPSXTexImage image;
    const std::int32_t width = ReadInt32At(stream, 60);
    const std::int32_t height = ReadInt32At(stream, 64);
    const std::int32_t count = ReadInt32At(stream, 88);
    stream.SetPosition(dataStart);
    CheckSize(width, height);
    image.Width = width;
    image.Height = height;
    const std::size_t pixelCount = std::size_t(width) * std::size_t(height);

    if (count == 0)
    {
        image.BitsPerPixel = 16;
        // The pixels are read in one piece; data shorter than the picture is a
        // read failure, found before the buffer is made.
        const std::int64_t left = stream.Size() - stream.Position();
        if (left < 0 || std::int64_t(pixelCount) * 2 > left)
            lgp::FailRead();
        image.Pixels.resize(pixelCount * 2);
        stream.ReadBuffer(image.Pixels.data(), image.Pixels.size());
        return image;
    }

    if (count < 0)
        lgp::Fail("The texture's palette entry count (" + std::to_string(count) + ") is not valid.");
    image.BitsPerPixel = 8;
    // A palette holds at most 256 colours (one byte per pixel); entries beyond
    // those can never be shown and are passed over on the way to the pixels.
    const std::int32_t kept = std::min(count, 256);
    std::vector<std::uint8_t> raw(std::size_t(kept) * 4);
    stream.ReadBuffer(raw.data(), raw.size());
    image.Palette.resize(std::size_t(kept));
    for (std::int32_t i = 0; i < kept; ++i)
        image.Palette[std::size_t(i)] = {raw[std::size_t(i) * 4 + 2], raw[std::size_t(i) * 4 + 1],
                                         raw[std::size_t(i) * 4]};
    if (count > kept)
        stream.Seek(std::int64_t(count - kept) * 4, SeekOrigin::Current);

    image.Pixels.assign(pixelCount, 0);
    // Short pixel data are tolerated: once the data run out, every later row
    // gets as many bytes as are left, and none once the stream is exhausted.
    std::int64_t rowLength = width;
    for (std::int32_t row = 0; row < height; ++row)
    {
        const std::int64_t left = std::max<std::int64_t>(0, stream.Size() - stream.Position());
        rowLength = std::min(rowLength, left);
        if (rowLength > 0)
            stream.ReadBuffer(image.Pixels.data() + std::size_t(row) * std::size_t(width), std::size_t(rowLength));
    }
    return image;
}

std::vector<std::uint8_t> TexImageToBmp(const TPSXTexImage& image)
{
    const bool indexed = image.BitsPerPixel == 8;
    std::uint32_t colours = 0;
    if (indexed)
    {
        colours = std::uint32_t(image.Palette.size());
        for (std::uint8_t index : image.Pixels)
            colours = std::max<std::uint32_t>(colours, std::uint32_t(index) + 1);
    }
    const std::uint32_t bytesPerPixel = indexed ? 1 : 2;
    const std::uint32_t stride = (std::uint32_t(image.Width) * bytesPerPixel + 3) & ~3u;
    const std::uint32_t imageSize = stride * std::uint32_t(image.Height);
    const std::uint32_t dataOffset = 14 + 40 + colours * 4;

    std::vector<std::uint8_t> out;
    out.reserve(dataOffset + imageSize);
    // BITMAPFILEHEADER
    out.push_back('B');
    out.push_back('M');
    lgp::AppendLE<std::uint32_t>(out, dataOffset + imageSize);
    lgp::AppendLE<std::uint32_t>(out, 0);
    lgp::AppendLE<std::uint32_t>(out, dataOffset);
    // BITMAPINFOHEADER: positive height, so rows are stored bottom-up.
    lgp::AppendLE<std::uint32_t>(out, 40);
    lgp::AppendLE<std::uint32_t>(out, std::uint32_t(image.Width));
    lgp::AppendLE<std::uint32_t>(out, std::uint32_t(image.Height));
    lgp::AppendLE<std::uint16_t>(out, 1);
    lgp::AppendLE<std::uint16_t>(out, std::uint16_t(image.BitsPerPixel));
    lgp::AppendLE<std::uint32_t>(out, 0); // BI_RGB: for 16 bits this means 5-5-5
    lgp::AppendLE<std::uint32_t>(out, imageSize);
    lgp::AppendLE<std::uint32_t>(out, 2835); // 72 dots per inch
    lgp::AppendLE<std::uint32_t>(out, 2835);
    lgp::AppendLE<std::uint32_t>(out, colours);
    lgp::AppendLE<std::uint32_t>(out, 0);
    for (std::uint32_t i = 0; i < colours; ++i)
    {
        const TTexColour c = i < image.Palette.size() ? image.Palette[i] : TTexColour{};
        out.push_back(c.Blue);
        out.push_back(c.Green);
        out.push_back(c.Red);
        out.push_back(0);
    }
    const std::size_t rowBytes = std::size_t(image.Width) * bytesPerPixel;
    for (std::int32_t row = image.Height - 1; row >= 0; --row)
    {
        const auto first = image.Pixels.begin() + std::ptrdiff_t(std::size_t(row) * rowBytes);
        out.insert(out.end(), first, first + std::ptrdiff_t(rowBytes));
        out.resize(out.size() + (stride - rowBytes), 0);
    }
    return out;
}
