#include "patch/DebugLog.h"
#include "patch/FFLZs.h"
#include "support/failure.h"

#include "errors/errors.h"
#include "support/testdata.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

namespace
{
    using testdata::Bytes;

    using testdata::withLength;

    void expectReadError(const Bytes& lzs)
    {
        EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { LzsDecode(lzs); }), "Stream read error");
    }
}

TEST(LzsProbe, acceptsOnlyDataStartingWithItsOwnLengthMinusFour)
{
    EXPECT_TRUE(LooksLikeLzs(Bytes{0, 0, 0, 0}));
    EXPECT_TRUE(LooksLikeLzs(Bytes{5, 0, 0, 0, 9, 9, 9, 9, 9}));
    EXPECT_FALSE(LooksLikeLzs(Bytes{9, 0, 0, 0, 9, 9, 9, 9, 9}));
    EXPECT_FALSE(LooksLikeLzs(Bytes{4, 0, 0, 0, 9, 9, 9, 9, 9}));
    // A negative length field never matches.
    EXPECT_FALSE(LooksLikeLzs(Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(LzsProbe, treatsDataOfZeroToThreeBytesAsPlain)
{
    for (std::size_t n = 0; n < 4; ++n)
    {
        const Bytes data(n, 0);
        EXPECT_FALSE(LooksLikeLzs(data)) << n;
        TMemoryStream stream{Bytes(data)};
        EXPECT_FALSE(LooksLikeLzs(stream)) << n;
    }
}

TEST(LzsProbe, streamProbeReadsFromTheStartAndKeepsThePosition)
{
    TMemoryStream stream{Bytes{2, 0, 0, 0, 7, 8}};
    stream.SetPosition(5);
    EXPECT_TRUE(LooksLikeLzs(stream));
    EXPECT_EQ(stream.Position(), 5);
}

TEST(LzsStore, writesLiteralGroupsWithTheirPayloadLength)
{
    EXPECT_EQ(LzsEncodeLiterals(Bytes{}), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(LzsEncodeLiterals(testdata::bytes("abc")), (Bytes{4, 0, 0, 0, 0xFF, 'a', 'b', 'c'}));

    const Bytes eight = LzsEncodeLiterals(testdata::bytes("ABCDEFGH"));
    EXPECT_EQ(eight, (Bytes{9, 0, 0, 0, 0xFF, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}));
    const Bytes nine = LzsEncodeLiterals(testdata::bytes("ABCDEFGHI"));
    EXPECT_EQ(nine, (Bytes{11, 0, 0, 0, 0xFF, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 0xFF, 'I'}));

    TMemoryStream source{testdata::bytes("abc")};
    source.SetPosition(2);
    const auto stored = LzsStore(source);
    EXPECT_EQ(Bytes(stored->Bytes().begin(), stored->Bytes().end()), (Bytes{4, 0, 0, 0, 0xFF, 'a', 'b', 'c'}));
}

TEST(LzsDecompress, emptyPayloadDecodesToNothing)
{
    EXPECT_TRUE(LzsDecode(Bytes{0, 0, 0, 0}).empty());
    // Shorter than the length field: nothing from offset 4 on.
    EXPECT_TRUE(LzsDecode(Bytes{1, 2}).empty());
}

TEST(LzsDecompress, overlappingReferenceRepeatsTheLastBytes)
{
    EXPECT_EQ(LzsDecode(withLength({0x03, 'A', 'B', 0xEE, 0xF2})), testdata::bytes("ABABABA"));
}

TEST(LzsDecompress, referenceStartingBeforeTheOutputReadsZerosThenTheOutput)
{
    // d = 4 with 2 bytes produced: two slots of zero fill, then A and B.
    EXPECT_EQ(LzsDecode(withLength({0x03, 'A', 'B', 0xEC, 0xF1})), (Bytes{'A', 'B', 0, 0, 'A', 'B'}));
    // Offset 0 as the first item: d = 4,078.
    EXPECT_EQ(LzsDecode(withLength({0x00, 0x00, 0x00})), (Bytes{0, 0, 0}));
    // d = 3 with 1 byte produced and length 18: the copy runs on into the
    // bytes it produces itself (x 0 0 repeated).
    Bytes expected{'x'};
    for (int k = 0; k < 6; ++k)
        expected.insert(expected.end(), {0, 0, 'x'});
    EXPECT_EQ(LzsDecode(withLength({0x01, 'x', 0xEC, 0xFF})), expected);
}

TEST(LzsDecompress, referenceOfDistanceZeroReadsTheByte4096Back)
{
    // After n bytes, the slot about to be written is (n + 4078) mod 4096.
    // Before 4,096 bytes exist it still holds the window's zero fill.
    Bytes payload;
    for (int g = 0; g < 512; ++g)
    {
        payload.push_back(0xFF);
        for (int k = 0; k < 8; ++k)
            payload.push_back(static_cast<std::uint8_t>('a' + (g * 8 + k) % 23));
    }
    // One byte produced: slot 4079 = 0xFEF.
    const Bytes early = withLength({0x01, 'x', 0xEF, 0xF0});
    EXPECT_EQ(LzsDecode(early), (Bytes{'x', 0, 0, 0}));

    // With 4,096 bytes produced (slot 4078 = 0xFEE), the reference copies
    // the first three bytes again.
    payload.push_back(0x00);
    payload.push_back(0xEE);
    payload.push_back(0xF0);
    const Bytes out = LzsDecode(withLength(payload));
    ASSERT_EQ(out.size(), 4099u);
    EXPECT_EQ(out[4096], out[0]);
    EXPECT_EQ(out[4097], out[1]);
    EXPECT_EQ(out[4098], out[2]);
}

TEST(LzsDecompress, dataEndingInsideAnItemFailsWithReadError)
{
    expectReadError(withLength({0x00, 0x12}));                         // half a reference
    expectReadError(withLength({0xFF}));                               // control byte, no item
    expectReadError(withLength({0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 0x00})); // second control byte alone
}

TEST(LzsDecompress, stopsAtTheFirstItemBoundaryWhereTheDataEnd)
{
    // Fewer items than the control byte announces: not an error.
    EXPECT_EQ(LzsDecode(withLength({0xFF, 'a', 'b'})), testdata::bytes("ab"));
    // The payload length field is not consulted.
    EXPECT_EQ(LzsDecode(Bytes{0x77, 0x77, 0, 0, 0xFF, 'z'}), testdata::bytes("z"));
}

TEST(LzsDecompress, sendsItsLinesToTheDebugLog)
{
    std::vector<std::string> lines;
    SetDebugLogSink([&](const std::string& line) { lines.push_back(line); });
    TMemoryStream source{LzsEncodeLiterals(testdata::bytes("hello"))};
    const auto decoded = LzsDecompress(source);
    SetDebugLogSink(nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{"Setup to decompress", "Done!"}));
    EXPECT_EQ(Bytes(decoded->Bytes().begin(), decoded->Bytes().end()), testdata::bytes("hello"));
}

TEST(LzsRoundTrip, decodeOfStoreGivesTheSourceBack)
{
    for (std::uint32_t seed = 1; seed <= 20; ++seed)
    {
        const Bytes data = testdata::generate(seed * 997 % 5000 + seed, seed);
        const Bytes stored = LzsEncodeLiterals(data);
        ASSERT_EQ(stored.size(), 4 + data.size() + (data.size() + 7) / 8);
        ASSERT_TRUE(LooksLikeLzs(stored));
        ASSERT_EQ(LzsDecode(stored), data) << "seed " << seed;
    }
}

TEST(LzsRoundTrip, decodesCompressedDataWithBackReferences)
{
    for (std::uint32_t seed = 1; seed <= 10; ++seed)
    {
        const Bytes data = testdata::generate(20000 + seed * 131, seed);
        const Bytes compressed = testdata::lzsCompress(data);
        ASSERT_LT(compressed.size(), data.size()); // references were used
        ASSERT_EQ(LzsDecode(compressed), data) << "seed " << seed;
    }
    // Output many times the input: the buffer grows past its 8x reservation.
    const Bytes zeros(100000, 0x5A);
    const Bytes compressed = testdata::lzsCompress(zeros);
    ASSERT_GT(zeros.size(), 8 * compressed.size());
    EXPECT_EQ(LzsDecode(compressed), zeros);
}

namespace
{
    // Text built from a small vocabulary, as scripts and dialogue are.
    Bytes wordText(std::size_t size, std::uint32_t seed)
    {
        static const char* const words[] = {"the ",   "party ", "moves ", "to ", "field ",  "when ", "Cloud ",
                                            "opens ", "a ",     "door. ", "\n",  "script ", "0x1F ", "talks "};
        std::mt19937 rng(seed);
        Bytes out;
        while (out.size() < size)
            for (const char* w = words[rng() % std::size(words)]; *w && out.size() < size; ++w)
                out.push_back(static_cast<std::uint8_t>(*w));
        return out;
    }

    // The varied data every encoder check runs over, with names for failures.
    std::vector<std::pair<std::string, Bytes>> encoderCases()
    {
        std::mt19937 rng(7);
        Bytes random(9000);
        for (auto& b : random)
            b = static_cast<std::uint8_t>(rng());
        Bytes zerosThenData(40, 0);
        for (int k = 0; k < 30; ++k)
            zerosThenData.insert(zerosThenData.end(), {0, 0, static_cast<std::uint8_t>('a' + k % 3)});
        return {{"empty", {}},
                {"one byte", {0x42}},
                {"two bytes", {0, 0}},
                {"all the same", Bytes(10000, 0x5A)},
                {"all zeros", Bytes(5000, 0)},
                {"random", random},
                {"text", wordText(6000, 1)},
                {"generated, longer than the window", testdata::generate(20000, 3)},
                {"model", testdata::generateModel(16000, 4)},
                {"zeros, then data", zerosThenData},
                {"repeats 4,096 back", [] {
                     Bytes period = testdata::generate(4096, 9);
                     Bytes twice = period;
                     twice.insert(twice.end(), period.begin(), period.end());
                     return twice;
                 }()}};
    }
}

TEST(LzsEncode, roundTripsAndIsNoLargerThanTheGreedyEncoder)
{
    for (const auto& [name, data] : encoderCases())
    {
        const Bytes encoded = LzsEncode(data);
        ASSERT_TRUE(LooksLikeLzs(encoded) || data.empty()) << name;
        ASSERT_EQ(LzsDecode(encoded), data) << name;
        const Bytes greedy = testdata::lzsGreedy(data);
        ASSERT_EQ(LzsDecode(greedy), data) << name; // the reference itself is right
        EXPECT_LE(encoded.size(), greedy.size()) << name;
        EXPECT_LE(encoded.size(), LzsEncodeLiterals(data).size()) << name;
    }
    // Runs of one byte take a reference per 18 bytes from the second byte on.
    EXPECT_LT(LzsEncode(Bytes(10000, 0x5A)).size(), 4 + 10000 / 18 * 2 + 10000 / 18 / 8 + 8);
}

TEST(LzsEncode, refersToTheWindowsZeroFillAcrossTheStartOfTheOutput)
{
    // 18 zeros: one reference into the zero fill, no literal at all.
    const Bytes zeros = LzsEncode(Bytes(18, 0));
    ASSERT_EQ(zeros.size(), 7u);
    EXPECT_EQ(zeros[4], 0x00);
    EXPECT_EQ(LzsDecode(zeros), Bytes(18, 0));

    // "x 0 0" repeated: after the literal x, one reference starting in the
    // zero fill runs on into the bytes it produces itself.
    Bytes cross{'x'};
    for (int k = 0; k < 6; ++k)
        cross.insert(cross.end(), {0, 0, 'x'});
    const Bytes encoded = LzsEncode(cross);
    EXPECT_EQ(encoded.size(), 4u + 1 + 1 + 2);
    EXPECT_EQ(LzsDecode(encoded), cross);
    EXPECT_EQ(LzsDecode(Bytes{8, 0, 0, 0, 0x01, 'x', 0xEC, 0xFF}), cross);
}

TEST(LzsEncode, compressesTextAndLongDataWellBelowStoredSize)
{
    const Bytes text = wordText(50000, 2);
    const Bytes encoded = LzsEncode(text);
    EXPECT_EQ(LzsDecode(encoded), text);
    EXPECT_LT(encoded.size() * 3, text.size());
    // Blocks are parsed one at a time; data over several of them still decode.
    const Bytes big = testdata::generate(300000, 11);
    EXPECT_EQ(LzsDecode(LzsEncode(big)), big);

    TMemoryStream source{Bytes(text)};
    source.SetPosition(7);
    const auto compressed = LzsCompress(source);
    EXPECT_EQ(Bytes(compressed->Bytes().begin(), compressed->Bytes().end()), encoded);
    EXPECT_EQ(source.Position(), 7);
}
