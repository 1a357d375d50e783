#pragma once
// PSX TEX textures as Qt images for the preview window, and pictures put back
// into a texture of an archive.

#include "preview/psxtexdecode.h"
#include "preview/texfile.h"

#include <QImage>
#include <QString>

#include <string>
#include <vector>

// The decoded texture as an image: Format_Indexed8 with the palette as colour
// table (256 entries, black beyond the texture's palette, so indices past it
// show black), or Format_RGB555 with the 16-bit values copied unchanged.
QImage TexImageToQImage(const TPSXTexImage& image);

// Decodes the TEX entry in stream (see PSXTexDecode for the failures).
QImage PSXTexToBitmap(TStream& stream, std::int64_t dataStart = TexDataStart);

// A picture file as the texture writer takes it: a PNG through libpng (a
// palette PNG keeps its indices), any other kind Qt reads (a BMP) through
// QImage, an 8-bit indexed one with its indices and colour table.
// "Cannot open file %s"; "The file %s is not a picture that can be read."
TTexPicture ReadPictureFile(const QString& path);

// The picture converted against table entry tableIndex's current TEX and put
// into the archive through the crash-safe replace (one run on a copy). The
// entry's new data; when the picture shows the texture as it is, nothing is
// written and the old data are returned with changed false.
struct TTextureReplacement
{
    std::vector<std::uint8_t> Data;
    bool Changed = false;
    bool Quantized = false;
};
TTextureReplacement ReplaceTextureFromPicture(const std::string& archivePath, std::int32_t tableIndex,
                                              const TTexPicture& picture, std::int32_t palette = 0);
