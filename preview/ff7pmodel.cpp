#include "ff7pmodel.h"

#include "core/lebytes.h"
#include "errors/errors.h"

#include <cstring>
#include <span>

namespace
{
    constexpr std::int64_t HeaderSize = 128;

    std::int32_t ReadInt32At(TStream& stream, std::int64_t position)
    {
        stream.SetPosition(position);
        return stream.ReadInt32();
    }

    // count records of size bytes from start must lie inside the stream; a
    // count of 0 or less reads nothing. Checked before the array is made, so a
    // damaged header can never ask for more memory than the entry holds.
    void CheckBlock(std::int64_t start, std::int64_t count, std::int64_t size, std::int64_t streamSize)
    {
        if (count <= 0)
            return;
        if (start < 0 || start > streamSize || count > (streamSize - start) / size)
            lgp::FailRead();
    }

    // The 32-bit float stored little-endian at offset of record.
    float FloatAt(std::span<const std::uint8_t> record, std::size_t offset)
    {
        const auto bits = lgp::GetLE<std::uint32_t>(record, offset);
        float value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
}

TFF7PPart::TFF7PPart(TStream& stream) { LoadFromStream(stream); }

void TFF7PPart::Clear()
{
    Vertices.clear();
    Colours.clear();
    Polygons.clear();
    VertexCount = 0;
    ColourCount = 0;
    PolygonCount = 0;
}

void TFF7PPart::LoadFromStream(TStream& stream)
{
    Clear();
    const std::int64_t v = ReadInt32At(stream, 12);
    const std::int64_t n = ReadInt32At(stream, 16);
    const std::int64_t t = ReadInt32At(stream, 24);
    const std::int64_t e = ReadInt32At(stream, 32);
    const std::int64_t p = ReadInt32At(stream, 36);
    const std::int64_t size = stream.Size();

    // Block positions in 64 bits: 32-bit counts cannot make them wrap.
    const std::int64_t vertexCount = v + n;
    const std::int64_t colourCount = v + p;
    const std::int64_t colourStart = HeaderSize + 12 * vertexCount + 8 * t;
    const std::int64_t polygonStart = colourStart + 4 * colourCount + 4 * e;
    CheckBlock(HeaderSize, vertexCount, 12, size);
    CheckBlock(colourStart, colourCount, 4, size);
    CheckBlock(polygonStart, p, 24, size);

    std::vector<TFF7Vertex> vertices(std::size_t(vertexCount > 0 ? vertexCount : 0));
    std::vector<TFF7Colour> colours(std::size_t(colourCount > 0 ? colourCount : 0));
    std::vector<TFF7Polygon> polygons(std::size_t(p > 0 ? p : 0));

    std::uint8_t record[12];
    for (std::size_t k = 0; k < vertices.size(); ++k)
    {
        stream.SetPosition(HeaderSize + 12 * std::int64_t(k));
        stream.ReadBuffer(record, 12);
        // The file's y and z point the other way from the view's: the model is
        // turned 180 degrees about x.
        vertices[k] = {FloatAt(record, 0), -FloatAt(record, 4), -FloatAt(record, 8)};
    }
    for (std::size_t k = 0; k < colours.size(); ++k)
    {
        stream.SetPosition(colourStart + 4 * std::int64_t(k));
        stream.ReadBuffer(record, 4);
        // 205 is full intensity: brighter bytes are clamped to 1 when drawn.
        colours[k] = {float(record[2] / 205.0), float(record[1] / 205.0), float(record[0] / 205.0)};
    }
    for (std::size_t k = 0; k < polygons.size(); ++k)
    {
        stream.SetPosition(polygonStart + 24 * std::int64_t(k));
        stream.ReadBuffer(polygons[k].Bytes.data(), 24);
    }

    Vertices = std::move(vertices);
    Colours = std::move(colours);
    Polygons = std::move(polygons);
    VertexCount = std::int32_t(Vertices.size());
    ColourCount = std::int32_t(Colours.size());
    PolygonCount = std::int32_t(Polygons.size());
}

bool TFF7PPart::TriangleDrawable(std::size_t k) const
{
    if (k >= Polygons.size())
        return false;
    for (int i = 0; i < 3; ++i)
    {
        const std::size_t index = Polygons[k].Index(i);
        if (index >= Vertices.size() || index >= Colours.size())
            return false;
    }
    return true;
}
