#include "PSXTex.h"

#include "core/lgpstruct.h"
#include "core/streams.h"
#include "errors/errors.h"
#include "platform/qtext.h"
#include "preview/texpng.h"

#include <climits>
#include <cstring>

QImage TexImageToQImage(const TPSXTexImage& image)
{
    if (image.Width == 0 || image.Height == 0)
        return {};
    if (image.BitsPerPixel == 8)
    {
        QImage result(image.Width, image.Height, QImage::Format_Indexed8);
        QList<QRgb> table(256, qRgb(0, 0, 0));
        for (std::size_t i = 0; i < image.Palette.size(); ++i)
            table[qsizetype(i)] = qRgb(image.Palette[i].Red, image.Palette[i].Green, image.Palette[i].Blue);
        result.setColorTable(table);
        for (std::int32_t row = 0; row < image.Height; ++row)
            std::memcpy(result.scanLine(row), image.Pixels.data() + std::size_t(row) * std::size_t(image.Width),
                        std::size_t(image.Width));
        return result;
    }
    QImage result(image.Width, image.Height, QImage::Format_RGB555);
    for (std::int32_t row = 0; row < image.Height; ++row)
    {
        auto* line = reinterpret_cast<quint16*>(result.scanLine(row));
        for (std::int32_t x = 0; x < image.Width; ++x)
            // Bit 15 carries nothing in the 5-5-5 layout.
            line[x] = quint16(image.Pixel16(x, row) & 0x7FFF);
    }
    return result;
}

QImage PSXTexToBitmap(TStream& stream, std::int64_t dataStart)
{
    return TexImageToQImage(PSXTexDecode(stream, dataStart));
}

TTexPicture ReadPictureFile(const QString& path)
{
    const std::vector<std::uint8_t> bytes = ReadWholeFile(Platform::Text::toPath(path));
    static constexpr std::uint8_t PngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), PngSignature, 8) == 0)
        return PngToPicture(bytes);
    QImage image;
    if (!image.loadFromData(bytes.data(), int(std::min<std::size_t>(bytes.size(), INT_MAX))) || image.isNull())
        lgp::Fail("The file " + Platform::Text::toPath(path) + " is not a picture that can be read.");
    if (image.width() > MaxTextureSide || image.height() > MaxTextureSide)
        lgp::Fail("The picture's size (" + std::to_string(image.width()) + " x " + std::to_string(image.height())
                  + " pixels) is too large.");
    TTexPicture picture;
    picture.Width = image.width();
    picture.Height = image.height();
    if (image.format() == QImage::Format_Indexed8)
    {
        picture.Indexed = true;
        for (const QRgb c : image.colorTable())
        {
            picture.Palette.push_back({std::uint8_t(qRed(c)), std::uint8_t(qGreen(c)), std::uint8_t(qBlue(c))});
            picture.Alpha.push_back(std::uint8_t(qAlpha(c)));
        }
        for (int y = 0; y < image.height(); ++y)
        {
            const uchar* line = image.constScanLine(y);
            picture.Indices.insert(picture.Indices.end(), line, line + image.width());
        }
    }
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    for (int y = 0; y < rgba.height(); ++y)
    {
        const uchar* line = rgba.constScanLine(y);
        picture.Rgba.insert(picture.Rgba.end(), line, line + std::size_t(rgba.width()) * 4);
    }
    return picture;
}

TTextureReplacement ReplaceTextureFromPicture(const std::string& archivePath, std::int32_t tableIndex,
                                              const TTexPicture& picture, std::int32_t palette)
{
    TRawLGPFile archive(archivePath);
    TMemoryStream stream;
    archive.ReadEntryData(tableIndex, stream);
    TTextureReplacement replacement;
    TTexWriteResult result = WriteTexFromPicture(stream.Bytes(), picture, palette);
    replacement.Quantized = result.Quantized;
    replacement.Changed = result.Data != stream.Vector();
    if (replacement.Changed)
        archive.RewriteAtomically([&] { ReplaceEntryDataAt(archive, tableIndex, result.Data); });
    replacement.Data = std::move(result.Data);
    return replacement;
}
