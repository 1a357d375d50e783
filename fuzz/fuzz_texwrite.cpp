// The TEX writer and the PNG reader on arbitrary bytes: the input is a TEX
// entry and a picture (a PNG file, or raw pixels), split at a length in the
// first bytes. Failures must be ELGPError; a written texture must decode, keep
// its 236-byte header and show the picture's size.

#include "errors/errors.h"
#include "preview/psxtexdecode.h"
#include "preview/texfile.h"
#include "preview/texpng.h"
#include "samples/demodata.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace
{
    // Input: uint16 TEX length, one mode byte, uint8 palette, the TEX, then
    // the picture: mode 0 a PNG file, mode 1 raw RGBA of the texture's size,
    // mode 2 indices of the texture's size with a palette from the bytes.
    std::vector<std::uint8_t> Seed(const demo::Bytes& tex, std::uint8_t mode, const std::vector<std::uint8_t>& tail)
    {
        std::vector<std::uint8_t> input{std::uint8_t(tex.size()), std::uint8_t(tex.size() >> 8), mode, 0};
        input.insert(input.end(), tex.begin(), tex.end());
        input.insert(input.end(), tail.begin(), tail.end());
        return input;
    }
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* folder = std::getenv("TARROWIN_WRITE_SEEDS"))
    {
        auto write = [&](const char* name, const std::vector<std::uint8_t>& bytes) {
            std::ofstream out(std::filesystem::path(folder) / name, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        };
        for (const auto& [name, tex] : {std::pair{"palettised", demo::PalettisedTex()}, {"direct", demo::DirectTex()}})
        {
            if (tex.size() > 0xFFFF)
                continue;
            const TTexPicture picture = TexToPicture(tex);
            write((std::string(name) + "-png").c_str(), Seed(tex, 0, PictureToPng(picture)));
            write((std::string(name) + "-rgba").c_str(), Seed(tex, 1, picture.Rgba));
            write((std::string(name) + "-indexed").c_str(), Seed(tex, 2, picture.Indices));
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4)
        return 0;
    const std::size_t texLength = std::min<std::size_t>(data[0] | std::size_t(data[1]) << 8, size - 4);
    const std::uint8_t mode = data[2] % 3;
    const std::int32_t palette = data[3] % 4;
    const std::span<const std::uint8_t> tex(data + 4, texLength);
    const std::span<const std::uint8_t> rest(data + 4 + texLength, size - 4 - texLength);
    try
    {
        TTexPicture picture;
        if (mode == 0)
            picture = PngToPicture(rest);
        else
        {
            const TTexHeader header = ReadTexHeader(tex);
            if (header.Width < 0 || header.Height < 0 || std::int64_t(header.Width) * header.Height > 65536)
                return 0;
            picture.Width = header.Width;
            picture.Height = header.Height;
            const std::size_t pixels = std::size_t(header.Width) * std::size_t(header.Height);
            picture.Rgba.assign(pixels * 4, 0);
            std::copy_n(rest.begin(), std::min(rest.size(), picture.Rgba.size()), picture.Rgba.begin());
            if (mode == 2)
            {
                picture.Indexed = true;
                picture.Indices.assign(pixels, 0);
                std::copy_n(rest.begin(), std::min(rest.size(), pixels), picture.Indices.begin());
                const std::size_t entries = rest.empty() ? 0 : std::size_t(rest[0]) + 1;
                for (std::size_t i = 0; i < entries; ++i)
                {
                    const std::size_t at = (i * 4) % rest.size();
                    picture.Palette.push_back({rest[at], rest[(at + 1) % rest.size()], rest[(at + 2) % rest.size()]});
                    picture.Alpha.push_back(rest[(at + 3) % rest.size()]);
                }
                for (std::size_t p = 0; p < pixels; ++p)
                {
                    const std::uint8_t index = picture.Indices[p];
                    const TTexColour c = index < picture.Palette.size() ? picture.Palette[index] : TTexColour{};
                    const std::uint8_t a = index < picture.Alpha.size() ? picture.Alpha[index] : 255;
                    std::memcpy(picture.Rgba.data() + p * 4,
                                std::array<std::uint8_t, 4>{c.Red, c.Green, c.Blue, a}.data(), 4);
                }
            }
        }
        const TTexWriteResult result = WriteTexFromPicture(tex, picture, palette);
        if (result.Data.size() < TexHeaderSize || std::memcmp(result.Data.data(), tex.data(), TexHeaderSize) != 0)
            std::abort();
        TMemoryStream stream(result.Data);
        const TPSXTexImage image = PSXTexDecode(stream);
        if (image.Width != picture.Width || image.Height != picture.Height)
            std::abort();
        if (!result.Quantized && !result.PaletteChanged && !picture.Indexed && palette == 0 && image.BitsPerPixel == 8)
        {
            // Colours found in the palette: the texture shows the picture's opaque pixels exactly.
            for (std::int32_t y = 0; y < image.Height; ++y)
                for (std::int32_t x = 0; x < image.Width; ++x)
                {
                    const std::uint8_t* px =
                        picture.Rgba.data() + (std::size_t(y) * std::size_t(image.Width) + std::size_t(x)) * 4;
                    const TTexColour shown = image.PixelColour(x, y);
                    if (px[3] >= TexOpaqueAlpha && (shown != TTexColour{px[0], px[1], px[2]}))
                        std::abort();
                }
        }
        (void)PictureToPng(TexToPicture(result.Data, palette));
    }
    catch (const ELGPError&)
    {
    }
    return 0;
}
