#pragma once
// The polygon model reader: one P entry read into vertex positions, per-vertex
// colours and triangles. Standard library only; drawing is in ff73d.h.
//
// P entry (little-endian, 32-bit IEEE floats, offsets from the start):
//
//   12  int32 V  vertices            16  int32 N  second 12-byte block
//   24  int32 T  8-byte records      32  int32 E  4-byte records after the colours
//   36  int32 P  polygons            header is 128 bytes; nothing else is read
//
//   128                                  V x 12   x, y, z
//   128+12V                              N x 12   read after the vertices, same form
//   128+12(V+N)                          T x 8    skipped
//   128+12(V+N)+8T                       (V+P) x 4  blue, green, red, ignored
//   ... + 4(V+P)                         E x 4    skipped
//   ... + 4E                             P x 24   polygon: uint16 at 2, 4, 6 are the
//                                                 triangle's vertex indices
//
// Each record is read by seeking to its computed position first.

#include "core/lebytes.h"
#include "core/streams.h"

#include <array>
#include <cstdint>
#include <vector>

struct TFF7Vertex
{
    float X = 0, Y = 0, Z = 0;
    bool operator==(const TFF7Vertex&) const = default;
};

struct TFF7Colour
{
    float Red = 0, Green = 0, Blue = 0;
    bool operator==(const TFF7Colour&) const = default;
};

// The polygon record's 24 bytes, unchanged.
struct TFF7Polygon
{
    std::array<std::uint8_t, 24> Bytes{};
    // Vertex index i (0 to 2) of the triangle: the uint16 at offset 2 + 2i.
    std::uint16_t Index(int i) const { return lgp::GetLE<std::uint16_t>(Bytes, std::size_t(2 + 2 * i)); }
};

class TFF7PPart
{
public:
    TFF7PPart() = default;
    // Reads the model from stream (see LoadFromStream).
    explicit TFF7PPart(TStream& stream);
    virtual ~TFF7PPart() = default;

    // Clear, then read the whole model. Failures (ELGPError): "Stream read
    // error" when a header field or a record lies past the stream's end, or a
    // block's computed position falls before its start; checked before any
    // array is allocated. A count of 0 or less reads nothing for its block;
    // V + N, V + P or P below 0 allocate nothing and count as 0.
    void LoadFromStream(TStream& stream);
    void Clear();

    // Issues the triangles to the current OpenGL context (ff73d.cpp). A triangle
    // naming a vertex or colour outside the arrays is skipped.
    void Draw() const;

    // True when every index of polygon k lies inside both arrays.
    bool TriangleDrawable(std::size_t k) const;

    std::vector<TFF7Vertex> Vertices;
    std::vector<TFF7Colour> Colours;
    std::int32_t VertexCount = 0; // V + N
    std::int32_t ColourCount = 0; // V + P
    std::vector<TFF7Polygon> Polygons;
    std::int32_t PolygonCount = 0; // P
};
