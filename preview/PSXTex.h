#pragma once
// PSX TEX textures as Qt images for the preview window.

#include "preview/psxtexdecode.h"

#include <QImage>

// The decoded texture as an image: Format_Indexed8 with the palette as colour
// table (256 entries, black beyond the texture's palette, so indices past it
// show black), or Format_RGB555 with the 16-bit values copied unchanged.
QImage TexImageToQImage(const TPSXTexImage& image);

// Decodes the TEX entry in stream (see PSXTexDecode for the failures).
QImage PSXTexToBitmap(TStream& stream, std::int64_t dataStart = TexDataStart);
