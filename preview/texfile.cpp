#include "texfile.h"

#include "core/lebytes.h"
#include "core/streams.h"
#include "errors/errors.h"

#include <libimagequant.h>

#include <algorithm>
#include <memory>
#include <tuple>
#include <unordered_map>

const std::array<TTexHeaderField, 18> TexHeaderFields = {{
    {0, &TTexHeader::Version, "Version", "format version (1)"},
    {8, &TTexHeader::ColourKey, "Colour key", "1: palette index 0 (direct colour: value 0) is transparent"},
    {20, &TTexHeader::MinBitsPerColour, "Minimum bits per colour", "what the renderer may convert to"},
    {24, &TTexHeader::MaxBitsPerColour, "Maximum bits per colour", "what the renderer may convert to"},
    {28, &TTexHeader::MinAlphaBits, "Minimum alpha bits", "what the renderer may convert to"},
    {32, &TTexHeader::MaxAlphaBits, "Maximum alpha bits", "what the renderer may convert to"},
    {36, &TTexHeader::MinBitsPerPixel, "Minimum bits per pixel", "what the renderer may convert to"},
    {40, &TTexHeader::MaxBitsPerPixel, "Maximum bits per pixel", "what the renderer may convert to"},
    {48, &TTexHeader::PaletteCount, "Palettes", "palettes sharing the pixels, picked per polygon"},
    {52, &TTexHeader::ColoursPerPalette, "Colours per palette", "entries of one palette"},
    {56, &TTexHeader::BitDepth, "Bit depth", "bits per pixel as stored (8 or 16)"},
    {60, &TTexHeader::Width, "Width", "pixels"},
    {64, &TTexHeader::Height, "Height", "pixels"},
    {68, &TTexHeader::Pitch, "Pitch", "bytes per row"},
    {76, &TTexHeader::PaletteFlag, "Palette flag", "1 when a palette is present"},
    {80, &TTexHeader::BitsPerIndex, "Bits per index", "0 for direct colour"},
    {84, &TTexHeader::IndexedTo8Bit, "Indexed to 8 bits", "indices widened to 8 bits"},
    {88, &TTexHeader::PaletteEntries, "Palette entries", "palettes x colours per palette; 0: direct colour"},
}};

TTexHeader ReadTexHeader(std::span<const std::uint8_t> tex)
{
    if (tex.size() < TexHeaderSize)
        lgp::FailRead();
    TTexHeader header;
    for (const TTexHeaderField& field : TexHeaderFields)
        header.*field.Member = lgp::GetLE<std::int32_t>(tex, field.Offset);
    return header;
}

TTexLayout TexLayout(const TTexHeader& header)
{
    TTexLayout layout;
    layout.ColourKey = header.ColourKey != 0;
    if (header.PaletteEntries <= 0)
        return layout;
    layout.Palettised = true;
    if (header.PaletteCount > 1 && header.ColoursPerPalette > 0
        && std::int64_t(header.PaletteCount) * header.ColoursPerPalette == header.PaletteEntries)
    {
        layout.Palettes = header.PaletteCount;
        layout.ColoursPerPalette = header.ColoursPerPalette;
    }
    else
    {
        layout.Palettes = 1;
        layout.ColoursPerPalette = header.PaletteEntries;
    }
    return layout;
}

std::string DescribeTexture(const TTexHeader& header)
{
    const TTexLayout layout = TexLayout(header);
    std::string text = std::to_string(header.Width) + " x " + std::to_string(header.Height) + " pixels, ";
    if (!layout.Palettised)
        text += "16 bits per pixel, direct colour (5-5-5)";
    else if (layout.Palettes == 1)
        text += "8 bits per pixel, 1 palette of " + std::to_string(layout.ColoursPerPalette) + " colours";
    else
        text += "8 bits per pixel, " + std::to_string(layout.Palettes) + " palettes of "
                + std::to_string(layout.ColoursPerPalette) + " colours";
    if (layout.ColourKey)
        text += ", colour key";
    return text;
}

namespace
{
    constexpr std::uint32_t Key(const TTexColour& c)
    {
        return std::uint32_t(c.Red) << 16 | std::uint32_t(c.Green) << 8 | c.Blue;
    }

    // The texture decoded as the preview decodes it, plus what the writer
    // needs of its layout.
    struct TParsed
    {
        TTexHeader Header;
        TTexLayout Layout;
        TPSXTexImage Image;
        std::int32_t Palette = 0;
        std::int32_t Colours = 0; // entries of the chosen palette a pixel can reach (at most 256)
        std::int64_t PixelStart = 0;
    };

    TParsed Parse(std::span<const std::uint8_t> tex, std::int32_t palette)
    {
        TParsed parsed;
        parsed.Header = ReadTexHeader(tex);
        TMemoryStream stream(std::vector<std::uint8_t>(tex.begin(), tex.end()));
        parsed.Image = PSXTexDecode(stream, TexDataStart);
        parsed.Layout = TexLayout(parsed.Header);
        const std::int32_t palettes = parsed.Layout.Palettised ? parsed.Layout.Palettes : 0;
        if (palette < 0 || palette >= std::max(palettes, 1) || (palettes == 0 && palette != 0))
            lgp::Fail("The texture has " + std::to_string(palettes) + " palettes; there is no palette "
                      + std::to_string(palette) + ".");
        parsed.Palette = palette;
        parsed.Colours = std::min(parsed.Layout.ColoursPerPalette, 256);
        parsed.PixelStart = std::int64_t(TexDataStart) + std::int64_t(parsed.Header.PaletteEntries) * 4;
        return parsed;
    }

    // The palette block's entry number entry, or black past the block (or
    // past the bytes present).
    TTexColour BlockColour(std::span<const std::uint8_t> tex, const TParsed& parsed, std::int64_t entry)
    {
        const std::int64_t at = std::int64_t(TexDataStart) + entry * 4;
        if (entry >= parsed.Header.PaletteEntries || at + 4 > std::int64_t(tex.size()))
            return {};
        return {tex[std::size_t(at) + 2], tex[std::size_t(at) + 1], tex[std::size_t(at)]};
    }

    // The colour index index shows in the chosen palette.
    TTexColour ShownColour(std::span<const std::uint8_t> tex, const TParsed& parsed, std::int32_t index)
    {
        if (index >= parsed.Layout.ColoursPerPalette)
            return {};
        return BlockColour(tex, parsed, std::int64_t(parsed.Palette) * parsed.Layout.ColoursPerPalette + index);
    }

    void CheckPictureSize(const TParsed& parsed, const TTexPicture& picture)
    {
        if (picture.Width != parsed.Image.Width || picture.Height != parsed.Image.Height)
            lgp::Fail("The picture is " + std::to_string(picture.Width) + " x " + std::to_string(picture.Height)
                      + " pixels but the texture is " + std::to_string(parsed.Image.Width) + " x "
                      + std::to_string(parsed.Image.Height) + "; a texture's size cannot be changed.");
        const std::size_t pixels = std::size_t(picture.Width) * std::size_t(picture.Height);
        if (picture.Rgba.size() != pixels * 4 || (picture.Indexed && picture.Indices.size() != pixels)
            || picture.Alpha.size() != picture.Palette.size())
            lgp::Fail("The picture's pixel data do not match its size.");
    }

    [[noreturn]] void FailTransparent()
    {
        lgp::Fail("The picture has transparent pixels but the texture has no colour key, so nothing in it can be "
                  "transparent.");
    }

    template <typename T> using LiqPtr = std::unique_ptr<T, void (*)(T*)>;

    // At most room colours for the histogram's colours (libimagequant), in
    // the order the library gives them.
    std::vector<TTexColour> MakePalette(const std::unordered_map<std::uint32_t, std::uint32_t>& histogram,
                                        std::int32_t room)
    {
        std::vector<TTexColour> colours;
        if (std::int64_t(histogram.size()) <= room)
        {
            for (const auto& [key, count] : histogram)
                colours.push_back({std::uint8_t(key >> 16), std::uint8_t(key >> 8), std::uint8_t(key)});
            std::sort(colours.begin(), colours.end(),
                      [](const TTexColour& a, const TTexColour& b) { return Key(a) < Key(b); });
            return colours;
        }
        LiqPtr<liq_attr> attr(liq_attr_create(), liq_attr_destroy);
        if (!attr || liq_set_max_colors(attr.get(), std::max(room, 2)) != LIQ_OK)
            lgp::Fail("The picture's colours could not be reduced to the texture's palette.");
        LiqPtr<liq_histogram> hist(liq_histogram_create(attr.get()), liq_histogram_destroy);
        std::vector<liq_histogram_entry> entries;
        entries.reserve(histogram.size());
        for (const auto& [key, count] : histogram)
            entries.push_back({{std::uint8_t(key >> 16), std::uint8_t(key >> 8), std::uint8_t(key), 255},
                               static_cast<unsigned>(count)});
        // Sorted, so the palette does not depend on the hash map's order.
        std::sort(entries.begin(), entries.end(), [](const liq_histogram_entry& a, const liq_histogram_entry& b) {
            return std::tie(a.color.r, a.color.g, a.color.b) < std::tie(b.color.r, b.color.g, b.color.b);
        });
        liq_result* raw = nullptr;
        if (!hist || liq_histogram_add_colors(hist.get(), attr.get(), entries.data(), int(entries.size()), 0) != LIQ_OK
            || liq_histogram_quantize(hist.get(), attr.get(), &raw) != LIQ_OK)
            lgp::Fail("The picture's colours could not be reduced to the texture's palette.");
        LiqPtr<liq_result> result(raw, liq_result_destroy);
        const liq_palette* made = liq_get_palette(result.get());
        for (unsigned i = 0; i < made->count && std::int32_t(colours.size()) < room; ++i)
            colours.push_back({made->entries[i].r, made->entries[i].g, made->entries[i].b});
        return colours;
    }

    std::int32_t Nearest(const TTexColour& c, const std::vector<TTexColour>& colours)
    {
        std::int32_t best = 0;
        std::int64_t bestDistance = -1;
        for (std::size_t i = 0; i < colours.size(); ++i)
        {
            const std::int64_t dr = int(c.Red) - colours[i].Red, dg = int(c.Green) - colours[i].Green,
                               db = int(c.Blue) - colours[i].Blue;
            const std::int64_t distance = dr * dr + dg * dg + db * db;
            if (bestDistance < 0 || distance < bestDistance)
            {
                bestDistance = distance;
                best = std::int32_t(i);
            }
        }
        return best;
    }

    TTexWriteResult WritePalettised(std::span<const std::uint8_t> tex, const TParsed& parsed,
                                    const TTexPicture& picture)
    {
        const std::size_t pixels = std::size_t(picture.Width) * std::size_t(picture.Height);
        const bool key = parsed.Layout.ColourKey;
        const std::int32_t first = key ? 1 : 0; // the first index an opaque pixel may take
        constexpr std::int32_t Unmapped = -1;

        // The palette's colours, first index of each.
        std::unordered_map<std::uint32_t, std::int32_t> lookup;
        for (std::int32_t i = parsed.Colours - 1; i >= first; --i)
            lookup[Key(ShownColour(tex, parsed, i))] = i;
        auto find = [&](const TTexColour& c) {
            const auto it = lookup.find(Key(c));
            return it == lookup.end() ? Unmapped : it->second;
        };

        std::vector<std::int32_t> mapped(pixels, Unmapped);
        bool complete = true;
        if (picture.Indexed)
        {
            // Each index of the picture's palette once: kept where it shows
            // the same colour in the texture, else the colour looked up.
            std::array<std::int32_t, 256> byIndex{};
            for (std::size_t i = 0; i < picture.Palette.size() && i < 256; ++i)
            {
                const TTexColour c = picture.Palette[i];
                if (picture.Alpha[i] < TexOpaqueAlpha)
                    byIndex[i] = key ? 0 : Unmapped - 1;
                else if (ShownColour(tex, parsed, std::int32_t(i)) == c)
                    byIndex[i] = std::int32_t(i);
                else
                    byIndex[i] = find(c);
            }
            for (std::size_t p = 0; p < pixels; ++p)
            {
                const std::uint8_t index = picture.Indices[p];
                const std::int32_t to = index < picture.Palette.size() ? byIndex[index] : Unmapped;
                if (to == Unmapped - 1)
                    FailTransparent();
                mapped[p] = to;
                complete = complete && to != Unmapped;
            }
        }
        else
        {
            for (std::size_t p = 0; p < pixels; ++p)
            {
                const std::uint8_t* px = picture.Rgba.data() + p * 4;
                if (px[3] < TexOpaqueAlpha)
                {
                    if (!key)
                        FailTransparent();
                    mapped[p] = 0;
                    continue;
                }
                mapped[p] = find({px[0], px[1], px[2]});
                complete = complete && mapped[p] != Unmapped;
            }
        }

        TTexWriteResult result;
        result.Data.assign(tex.begin(), tex.end());
        const std::int64_t paletteBase = std::int64_t(parsed.Palette) * parsed.Layout.ColoursPerPalette;
        auto putColour = [&](std::int64_t entry, const TTexColour& c) {
            // Only entries of the palette block are written: past it lie the
            // pixels (or nothing), and a hostile header must not grow the file.
            const std::int64_t at = std::int64_t(TexDataStart) + entry * 4;
            if (entry < 0 || entry >= parsed.Header.PaletteEntries || at + 4 > std::int64_t(result.Data.size()))
                lgp::Fail("The texture's palette " + std::to_string(parsed.Palette) + " has no entry "
                          + std::to_string(entry - paletteBase) + " in its data, so the picture's colours cannot be "
                          + "stored in it.");
            const auto byte = std::size_t(at);
            result.Data[byte] = c.Blue;
            result.Data[byte + 1] = c.Green;
            result.Data[byte + 2] = c.Red;
        };
        bool indicesFit = picture.Indexed;
        for (std::size_t p = 0; p < pixels && indicesFit && !complete; ++p)
            indicesFit = picture.Indices[p] < parsed.Colours && picture.Indices[p] < picture.Palette.size();
        if (!complete && indicesFit)
        {
            // An indexed picture whose indices all lie in the palette: its
            // indices are kept and the colours of the indices it uses go into
            // the palette (a palette edit; the other palettes stay).
            std::vector<bool> used(picture.Palette.size(), false);
            for (std::size_t p = 0; p < pixels; ++p)
            {
                const std::uint8_t index = picture.Indices[p];
                if (picture.Alpha[index] < TexOpaqueAlpha)
                    mapped[p] = 0; // refused above without the colour key
                else
                {
                    mapped[p] = index;
                    used[index] = true;
                }
            }
            for (std::size_t i = 0; i < used.size(); ++i)
                if (used[i] && ShownColour(tex, parsed, std::int32_t(i)) != picture.Palette[i])
                {
                    putColour(paletteBase + std::int64_t(i), picture.Palette[i]);
                    result.PaletteChanged = true;
                }
            complete = true;
        }
        if (!complete)
        {
            // A new palette for the opaque pixels, nearest colour for each.
            const std::int32_t room = parsed.Colours - first;
            std::unordered_map<std::uint32_t, std::uint32_t> histogram;
            for (std::size_t p = 0; p < pixels; ++p)
            {
                const std::uint8_t* px = picture.Rgba.data() + p * 4;
                if (px[3] >= TexOpaqueAlpha)
                    ++histogram[Key({px[0], px[1], px[2]})];
            }
            if (room < 1)
                lgp::Fail("The texture's palette has no room for the picture's opaque colours.");
            const std::vector<TTexColour> colours = MakePalette(histogram, room);
            for (std::size_t i = 0; i < colours.size(); ++i)
                putColour(paletteBase + first + std::int64_t(i), colours[i]);
            std::unordered_map<std::uint32_t, std::int32_t> nearest;
            for (std::size_t p = 0; p < pixels; ++p)
            {
                const std::uint8_t* px = picture.Rgba.data() + p * 4;
                if (px[3] < TexOpaqueAlpha)
                {
                    mapped[p] = 0;
                    continue;
                }
                const TTexColour c{px[0], px[1], px[2]};
                const auto [it, added] = nearest.try_emplace(Key(c), 0);
                if (added)
                    it->second = first + Nearest(c, colours);
                mapped[p] = it->second;
            }
            result.Quantized = true;
            result.PaletteChanged = true;
        }

        // Pixels: data that stopped short stay short when the picture adds
        // only index 0 there, which is what the short rows showed.
        const std::int64_t present = std::max<std::int64_t>(0, std::int64_t(tex.size()) - parsed.PixelStart);
        std::size_t write = pixels;
        if (std::int64_t(pixels) > present)
        {
            const bool zeros = std::all_of(mapped.begin() + std::ptrdiff_t(present), mapped.end(),
                                           [](std::int32_t i) { return i == 0; });
            if (zeros)
                write = std::size_t(present);
            else if (parsed.PixelStart > std::int64_t(tex.size()))
                lgp::Fail("The texture's pixels would begin past its end (its palette is said to hold "
                          + std::to_string(parsed.Header.PaletteEntries)
                          + " colours), so the picture's pixels cannot be stored in it.");
            else if (result.Data.size() < std::size_t(parsed.PixelStart) + pixels)
                result.Data.resize(std::size_t(parsed.PixelStart) + pixels, 0);
        }
        std::uint8_t* out = result.Data.data() + parsed.PixelStart;
        for (std::size_t p = 0; p < write; ++p)
            out[p] = std::uint8_t(mapped[p]);
        return result;
    }

    TTexWriteResult WriteDirect(std::span<const std::uint8_t> tex, const TParsed& parsed, const TTexPicture& picture)
    {
        const std::size_t pixels = std::size_t(picture.Width) * std::size_t(picture.Height);
        TTexWriteResult result;
        result.Data.assign(tex.begin(), tex.end());
        auto five = [](std::uint8_t c) { return std::uint16_t((unsigned(c) * 31 + 127) / 255); };
        for (std::size_t p = 0; p < pixels; ++p)
        {
            const std::uint8_t* px = picture.Rgba.data() + p * 4;
            const std::size_t at = std::size_t(TexDataStart) + p * 2;
            std::uint16_t value = 0;
            if (px[3] < TexOpaqueAlpha)
            {
                if (!parsed.Layout.ColourKey)
                    FailTransparent();
            }
            else
            {
                const std::uint16_t old = lgp::GetLE<std::uint16_t>(tex, at);
                value = std::uint16_t((old & 0x8000) | five(px[0]) << 10 | five(px[1]) << 5 | five(px[2]));
            }
            lgp::PutLE<std::uint16_t>(result.Data, at, value);
        }
        return result;
    }
} // namespace

TTexPicture TexToPicture(std::span<const std::uint8_t> tex, std::int32_t palette)
{
    const TParsed parsed = Parse(tex, palette);
    const TPSXTexImage& image = parsed.Image;
    TTexPicture picture;
    picture.Width = image.Width;
    picture.Height = image.Height;
    const std::size_t pixels = std::size_t(image.Width) * std::size_t(image.Height);
    picture.Rgba.resize(pixels * 4);
    if (image.BitsPerPixel == 16)
    {
        for (std::int32_t y = 0; y < image.Height; ++y)
            for (std::int32_t x = 0; x < image.Width; ++x)
            {
                const TTexColour c = image.PixelColour(x, y);
                std::uint8_t* px =
                    picture.Rgba.data() + (std::size_t(y) * std::size_t(image.Width) + std::size_t(x)) * 4;
                px[0] = c.Red;
                px[1] = c.Green;
                px[2] = c.Blue;
                px[3] = 255;
            }
        return picture;
    }
    picture.Indexed = true;
    picture.Indices = image.Pixels;
    std::int32_t size = parsed.Colours;
    for (std::uint8_t index : image.Pixels)
        size = std::max<std::int32_t>(size, std::int32_t(index) + 1);
    for (std::int32_t i = 0; i < size; ++i)
    {
        picture.Palette.push_back(ShownColour(tex, parsed, i));
        picture.Alpha.push_back(i == 0 && parsed.Layout.ColourKey ? 0 : 255);
    }
    for (std::size_t p = 0; p < pixels; ++p)
    {
        const std::uint8_t index = image.Pixels[p];
        std::uint8_t* px = picture.Rgba.data() + p * 4;
        px[0] = picture.Palette[index].Red;
        px[1] = picture.Palette[index].Green;
        px[2] = picture.Palette[index].Blue;
        px[3] = picture.Alpha[index];
    }
    return picture;
}

TTexWriteResult WriteTexFromPicture(std::span<const std::uint8_t> tex, const TTexPicture& picture, std::int32_t palette)
{
    const TParsed parsed = Parse(tex, palette);
    CheckPictureSize(parsed, picture);
    if (parsed.Image.BitsPerPixel == 16)
        return WriteDirect(tex, parsed, picture);
    return WritePalettised(tex, parsed, picture);
}
