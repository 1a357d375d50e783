#include "PSXTex.h"

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
