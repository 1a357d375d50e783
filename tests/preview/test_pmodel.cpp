#include "preview/ff7pmodel.h"
#include "support/failure.h"
#include "support/faults.h"

#include "errors/errors.h"
#include "support/tempfolder.h"
#include "testwriters.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/resource.h>

using testw::Bytes;

namespace
{
    // A stream that records every position it is read from.
    class TRecordingStream : public TStream
    {
    public:
        explicit TRecordingStream(Bytes bytes)
            : mSource(std::move(bytes))
        {
        }
        TByteSource& Source() override { return mSource; }
        std::vector<std::pair<std::int64_t, std::size_t>>& Reads = mSource.Reads;

    private:
        struct TRecordingSource final : TByteSource
        {
            explicit TRecordingSource(Bytes bytes)
                : Buffer(std::move(bytes))
            {
            }
            std::int64_t Size() const override { return Buffer.Size(); }
            std::size_t ReadSomeAt(std::int64_t position, void* buffer, std::size_t count) const override
            {
                Reads.push_back({position, count});
                return Buffer.ReadSomeAt(position, buffer, count);
            }
            void WriteAt(std::int64_t position, const void* data, std::size_t count) override
            {
                Buffer.WriteAt(position, data, count);
            }
            TMemoryBuffer Buffer;
            mutable std::vector<std::pair<std::int64_t, std::size_t>> Reads;
        } mSource;
    };

    std::string FailureOf(const Bytes& bytes)
    {
        TMemoryStream stream(bytes);
        return testlgp::FailureText<ELGPError>([&] { TFF7PPart part(stream); });
    }

    // The child's exit status after FailureOf(bytes) in a forked child whose
    // address space may grow by 256 MB at most: 0 for "Stream read error", 1
    // when memory ran out, 3 for another outcome.
    int ReadErrorWithinMemoryLimit(const Bytes& bytes)
    {
        const auto limitMemory = [] {
            long long pages = 0;
            std::ifstream("/proc/self/statm") >> pages;
            const auto limit = rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + (rlim_t(256) << 20);
            const rlimit room{limit, limit};
            if (::setrlimit(RLIMIT_AS, &room) != 0)
                std::_Exit(2);
        };
        return faults::InChild([&] { std::_Exit(FailureOf(bytes) == "Stream read error" ? 0 : 3); }, limitMemory);
    }
}

TEST(TFF7PPart, readsEachRecordAtItsPositionAndNothingElse)
{
    testw::PModel m;
    m.vertices = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
    m.colours = {{0, 0, 205, 0}, {255, 255, 255, 0}, {205, 0, 0, 0}, {1, 1, 1, 1}};
    m.polygons = {{0, 1, 2}};
    TRecordingStream stream(testw::PFile(m));
    TFF7PPart part(stream);
    using R = std::pair<std::int64_t, std::size_t>;
    std::vector<R> expected = {{12, 4},   {16, 4},  {24, 4},  {32, 4},  {36, 4},  {128, 12}, {140, 12},
                               {152, 12}, {164, 4}, {168, 4}, {172, 4}, {176, 4}, {180, 24}};
    EXPECT_EQ(stream.Reads, expected);

    EXPECT_EQ(part.VertexCount, 3);
    EXPECT_EQ(part.ColourCount, 4);
    EXPECT_EQ(part.PolygonCount, 1);
    // y and z negated.
    EXPECT_EQ(part.Vertices[0], (TFF7Vertex{1, -2, -3}));
    EXPECT_EQ(part.Vertices[2], (TFF7Vertex{7, -8, -9}));
    // Stored blue, green, red; 205 is full intensity.
    EXPECT_EQ(part.Colours[0], (TFF7Colour{1, 0, 0}));
    EXPECT_FLOAT_EQ(part.Colours[1].Red, 255.0f / 205.0f);
    EXPECT_EQ(part.Colours[2], (TFF7Colour{0, 0, 1}));
    EXPECT_EQ(part.Polygons[0].Index(0), 0);
    EXPECT_EQ(part.Polygons[0].Index(2), 2);
    // Bytes 0-1 and 8-23 are kept unchanged and mean nothing.
    EXPECT_EQ(part.Polygons[0].Bytes[0], 0xAB);
    EXPECT_EQ(part.Polygons[0].Bytes[23], 0xAB);
    EXPECT_TRUE(part.TriangleDrawable(0));
}

TEST(TFF7PPart, secondBlockJoinsVerticesAndSkippedBlocksShiftLaterOnes)
{
    testw::PModel m;
    m.vertices = {{1, 1, 1}};
    m.second = {{2, 2, 2}, {3, 3, 3}};
    m.t = 2;
    m.colours = {{0, 205, 0, 0}, {0, 0, 205, 0}};
    m.e = 3;
    m.polygons = {{0, 2, 1}};
    TRecordingStream stream(testw::PFile(m));
    TFF7PPart part(stream);
    ASSERT_EQ(part.VertexCount, 3);
    EXPECT_EQ(part.Vertices[2], (TFF7Vertex{3, -3, -3}));
    // Colours start after 12 x (V + N) and 8 x T: 128 + 36 + 16.
    EXPECT_EQ(stream.Reads[8], (std::pair<std::int64_t, std::size_t>{180, 4}));
    EXPECT_EQ(part.Colours[0], (TFF7Colour{0, 1, 0}));
    // Polygons after the colours and 4 x E: 180 + 8 + 12.
    EXPECT_EQ(stream.Reads.back(), (std::pair<std::int64_t, std::size_t>{200, 24}));
    EXPECT_EQ(part.Polygons[0].Index(1), 2);
}

TEST(TFF7PPart, indicesOutsideEitherArrayMakeTheTriangleUndrawable)
{
    testw::PModel m;
    m.vertices = {{0, 0, 0}, {1, 0, 0}};
    m.second = {{0, 1, 0}, {0, 2, 0}, {0, 3, 0}, {0, 4, 0}}; // 6 vertices
    m.colours = std::vector<testw::Bgra>(5, {0, 0, 0, 0});   // V + P = 5 colours
    m.polygons = {{0, 1, 4}, {0, 5, 1}, {0, 0, 65535}};
    TMemoryStream stream(testw::PFile(m));
    TFF7PPart part(stream);
    EXPECT_TRUE(part.TriangleDrawable(0));
    EXPECT_FALSE(part.TriangleDrawable(1)); // a vertex but no colour 5
    EXPECT_FALSE(part.TriangleDrawable(2));
    EXPECT_FALSE(part.TriangleDrawable(3));
}

TEST(TFF7PPart, zeroAndNegativeCountsAllocateAndReadNothing)
{
    Bytes header(128, 0);
    {
        TMemoryStream stream(header);
        TFF7PPart part(stream);
        EXPECT_EQ(part.VertexCount, 0);
        EXPECT_TRUE(part.Polygons.empty());
    }
    testw::PutI32(header, 12, -5); // V
    testw::PutI32(header, 36, -7); // P
    TMemoryStream stream(header);
    TFF7PPart part(stream);
    EXPECT_TRUE(part.Vertices.empty());
    EXPECT_TRUE(part.Colours.empty());
    EXPECT_TRUE(part.Polygons.empty());
    EXPECT_EQ(part.ColourCount, 0);
}

TEST(TFF7PPart, shortOrHugeCountsFailBeforeAllocating)
{
    testw::PModel m;
    m.vertices = {{1, 2, 3}};
    m.colours = {{0, 0, 0, 0}, {0, 0, 0, 0}};
    m.polygons = {{0, 0, 0}};
    Bytes full = testw::PFile(m);
    EXPECT_EQ(FailureOf(Bytes(full.begin(), full.end() - 1)), "Stream read error");
    EXPECT_EQ(FailureOf(Bytes(full.begin(), full.begin() + 30)), "Stream read error");
    Bytes huge = full;
    testw::PutI32(huge, 12, 0x7FFFFFFF);
    EXPECT_EQ(FailureOf(huge), "Stream read error");
    Bytes pastStart = full;
    testw::PutI32(pastStart, 24, -100); // T moves the colours before the header's end
    EXPECT_EQ(FailureOf(pastStart), "Stream read error");

    // A negative count offset by another passes a check of each count's sign:
    // the blocks' sums are what is checked, before anything is allocated.
    const struct
    {
        std::int32_t v, n, p;
    } cancelling[] = {{-1, 50'000'001, 0}, {-50'000'000, 0, 50'000'001}, {50'000'000, -49'999'999, 0}};
    for (const auto& counts : cancelling)
    {
        Bytes hostile = full;
        testw::PutI32(hostile, 12, counts.v);
        testw::PutI32(hostile, 16, counts.n);
        testw::PutI32(hostile, 36, counts.p);
        EXPECT_EQ(ReadErrorWithinMemoryLimit(hostile), 0) << counts.v << " " << counts.n;
    }

    // A failed load leaves an empty model, not half of one.
    TMemoryStream good(full);
    TFF7PPart part(good);
    TMemoryStream bad(huge);
    EXPECT_THROW(part.LoadFromStream(bad), ELGPError);
    EXPECT_TRUE(part.Vertices.empty());
    EXPECT_EQ(part.PolygonCount, 0);
}
