#pragma once
// Pictures as PNG files (libpng): palettised textures as 8-bit palette PNGs,
// so the palette and the indices survive editing in common editors, direct
// colour as RGB. Standard library only besides libpng.

#include "preview/texfile.h"

#include <cstdint>
#include <span>
#include <vector>

// The picture as a PNG file: an indexed picture as an 8-bit palette PNG (a
// tRNS chunk only when an entry is not opaque), otherwise RGB, or RGBA when
// some pixel is not opaque.
std::vector<std::uint8_t> PictureToPng(const TTexPicture& picture);

// A PNG file as a picture: a palette PNG (any bit depth) keeps its indices
// and palette (with tRNS as Alpha); every other kind is read as RGBA.
// Failures (ELGPError): "The file is not a PNG picture libpng can read: %s."
// (libpng's reason); "The picture's size (%d x %d pixels) is too large." beyond
// MaxTextureSide a side or MaxTexturePixels, checked before allocating.
TTexPicture PngToPicture(std::span<const std::uint8_t> png);
