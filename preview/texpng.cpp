#include "texpng.h"

#include "errors/errors.h"

#include <png.h>

#include <cstring>
#include <string>

namespace
{
    // Frees libpng's read state on every path.
    struct TImageGuard
    {
        png_image& Image;
        ~TImageGuard() { png_image_free(&Image); }
    };

    [[noreturn]] void FailPng(const png_image& image)
    {
        lgp::Fail(std::string("The file is not a PNG picture libpng can read: ") + image.message + ".");
    }
} // namespace

std::vector<std::uint8_t> PictureToPng(const TTexPicture& picture)
{
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(picture.Width);
    image.height = png_uint_32(picture.Height);
    std::vector<std::uint8_t> colourMap;
    const void* pixels = nullptr;
    std::vector<std::uint8_t> rgb;
    if (picture.Indexed)
    {
        bool opaque = true;
        for (std::uint8_t a : picture.Alpha)
            opaque = opaque && a == 255;
        image.format = opaque ? PNG_FORMAT_RGB_COLORMAP : PNG_FORMAT_RGBA_COLORMAP;
        image.colormap_entries = png_uint_32(picture.Palette.size());
        for (std::size_t i = 0; i < picture.Palette.size(); ++i)
        {
            colourMap.push_back(picture.Palette[i].Red);
            colourMap.push_back(picture.Palette[i].Green);
            colourMap.push_back(picture.Palette[i].Blue);
            if (!opaque)
                colourMap.push_back(picture.Alpha[i]);
        }
        pixels = picture.Indices.data();
    }
    else
    {
        bool opaque = true;
        for (std::size_t i = 3; i < picture.Rgba.size(); i += 4)
            opaque = opaque && picture.Rgba[i] == 255;
        if (opaque)
        {
            image.format = PNG_FORMAT_RGB;
            rgb.reserve(picture.Rgba.size() / 4 * 3);
            for (std::size_t i = 0; i < picture.Rgba.size(); i += 4)
                rgb.insert(rgb.end(), picture.Rgba.begin() + std::ptrdiff_t(i),
                           picture.Rgba.begin() + std::ptrdiff_t(i + 3));
            pixels = rgb.data();
        }
        else
        {
            image.format = PNG_FORMAT_RGBA;
            pixels = picture.Rgba.data();
        }
    }
    const void* map = colourMap.empty() ? nullptr : colourMap.data();
    // Room for the worst case, so the picture is compressed once.
    png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
    std::vector<std::uint8_t> out(size);
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, pixels, 0, map))
    {
        const std::string reason = image.message;
        png_image_free(&image);
        lgp::Fail("The picture could not be made into a PNG file: " + reason + ".");
    }
    out.resize(size);
    return out;
}

TTexPicture PngToPicture(std::span<const std::uint8_t> png)
{
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    TImageGuard guard{image};
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size()))
        FailPng(image);
    const std::int64_t width = image.width, height = image.height;
    if (width > MaxTextureSide || height > MaxTextureSide || width * height > MaxTexturePixels)
        lgp::Fail("The picture's size (" + std::to_string(width) + " x " + std::to_string(height)
                  + " pixels) is too large.");
    TTexPicture picture;
    picture.Width = std::int32_t(width);
    picture.Height = std::int32_t(height);
    const std::size_t pixels = std::size_t(width) * std::size_t(height);
    if ((image.format & PNG_FORMAT_FLAG_COLORMAP) != 0)
    {
        image.format = PNG_FORMAT_RGBA_COLORMAP;
        std::vector<std::uint8_t> colourMap(256 * 4);
        picture.Indices.resize(pixels);
        if (!png_image_finish_read(&image, nullptr, picture.Indices.data(), 0, colourMap.data()))
            FailPng(image);
        picture.Indexed = true;
        const std::size_t entries = std::min<std::size_t>(image.colormap_entries, 256);
        for (std::size_t i = 0; i < entries; ++i)
        {
            picture.Palette.push_back({colourMap[i * 4], colourMap[i * 4 + 1], colourMap[i * 4 + 2]});
            picture.Alpha.push_back(colourMap[i * 4 + 3]);
        }
        picture.Rgba.resize(pixels * 4);
        for (std::size_t p = 0; p < pixels; ++p)
        {
            const std::size_t index = picture.Indices[p];
            // An index past the palette shows black, opaque.
            const std::uint8_t* c = index < entries ? colourMap.data() + index * 4 : nullptr;
            std::uint8_t* px = picture.Rgba.data() + p * 4;
            px[0] = c ? c[0] : 0;
            px[1] = c ? c[1] : 0;
            px[2] = c ? c[2] : 0;
            px[3] = c ? c[3] : 255;
        }
        return picture;
    }
    image.format = PNG_FORMAT_RGBA;
    picture.Rgba.resize(pixels * 4);
    if (!png_image_finish_read(&image, nullptr, picture.Rgba.data(), 0, nullptr))
        FailPng(image);
    return picture;
}
