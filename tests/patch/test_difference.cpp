#include "patch/lgppatch.h"
#include "support/failure.h"

#include "support/testdata.h"

#include <gtest/gtest.h>

namespace
{
    using testdata::Bytes;

    Bytes diff(const Bytes& oldData, const Bytes& newData)
    {
        auto d = MakeDifference(oldData, newData);
        return d ? *d : Bytes{};
    }

    void expectReadError(const Bytes& oldData, const Bytes& difference)
    {
        EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { ApplyDifference(oldData, difference); }), "Stream read error");
    }
}

TEST(MakeDifference, oneChangedByteGivesCopyLiteralCopy)
{
    EXPECT_EQ(diff(testdata::bytes("ABCDEFGH"), testdata::bytes("ABCDXFGH")), (Bytes{0x02, 0x03, 'X', 0x02}));
}

TEST(MakeDifference, cutsEqualStretchesIntoRunsOf256)
{
    Bytes oldData(700, 'q');
    Bytes newData = oldData;
    newData[600] = 'r';
    // 256 + 256 + 88 equal bytes, one literal, then the 99 equal bytes left.
    EXPECT_EQ(diff(oldData, newData), (Bytes{0x08, 0xFF, 0xFF, 0x57, 'r', 0x62}));
}

TEST(MakeDifference, groupsItemsByEightWithOneControlBytePerGroup)
{
    const Bytes oldData(10, 0);
    const Bytes newData = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0};
    // Nine literals and a copy run of one: control FF, then 01 for the rest.
    EXPECT_EQ(diff(oldData, newData), (Bytes{0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 0x01, 9, 0x00}));
    // Exactly eight items: no control byte is left dangling at the end.
    EXPECT_EQ(diff(Bytes(8, 0), Bytes{1, 2, 3, 4, 5, 6, 7, 8}), (Bytes{0xFF, 1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(MakeDifference, versionsEqualOverTheShorterLengthGiveNone)
{
    const Bytes base = testdata::generate(3000, 7);
    Bytes longer = base;
    longer.insert(longer.end(), {1, 2, 3});
    EXPECT_FALSE(MakeDifference(base, base));
    EXPECT_FALSE(MakeDifference(base, longer));
    EXPECT_FALSE(MakeDifference(longer, base));
    EXPECT_FALSE(MakeDifference(Bytes{}, longer));
    EXPECT_FALSE(MakeDifference(Bytes{}, Bytes{}));

    TMemoryStream a{Bytes(base)}, b{Bytes(longer)};
    EXPECT_EQ(MakeDifference(a, b), nullptr);
}

TEST(ApplyDifference, rebuildsTheNewDataFromTheOld)
{
    const Bytes d = {0x02, 0x03, 'X', 0x02};
    EXPECT_EQ(ApplyDifference(testdata::bytes("ABCDEFGH"), d), testdata::bytes("ABCDXFGH"));
    // Old bytes beyond what the difference describes are dropped.
    EXPECT_EQ(ApplyDifference(testdata::bytes("ABCDEFGHIJ"), d), testdata::bytes("ABCDXFGH"));
    EXPECT_TRUE(ApplyDifference(testdata::bytes("ABC"), Bytes{}).empty());

    TMemoryStream oldStream{testdata::bytes("ABCDEFGH")}, diffStream{Bytes(d)};
    const auto out = ApplyDifference(oldStream, diffStream);
    EXPECT_EQ(Bytes(out->Bytes().begin(), out->Bytes().end()), testdata::bytes("ABCDXFGH"));
}

TEST(ApplyDifference, copyRunPastTheOldDataFailsWithReadError)
{
    expectReadError(testdata::bytes("ABCDEFG"), {0x02, 0x03, 'X', 0x02});
    // Literals pass over old bytes even past its end; a run after them fails.
    expectReadError(testdata::bytes("A"), {0x03, 'x', 'y', 0x00});
    // A control byte with no item after it.
    expectReadError(testdata::bytes("ABCDEFGHIJ"), {0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 0x00});
    expectReadError(testdata::bytes("ABC"), {0x00});
}

TEST(DifferenceRoundTrip, applyOfDifferenceGivesTheNewDataCutToTheShorterLength)
{
    for (std::uint32_t seed = 1; seed <= 40; ++seed)
    {
        const Bytes oldData = testdata::generate(500 + seed * 173 % 4000, seed);
        Bytes newData = testdata::mutate(oldData, seed % 7 + 1, seed + 1000);
        newData.resize(newData.size() + (seed % 3 == 0 ? 50 : 0) - (seed % 3 == 1 ? 60 : 0), 'z');
        const std::size_t common = std::min(oldData.size(), newData.size());
        const Bytes expected(newData.begin(), newData.begin() + static_cast<std::ptrdiff_t>(common));

        const auto difference = MakeDifference(oldData, newData);
        if (Bytes(oldData.begin(), oldData.begin() + static_cast<std::ptrdiff_t>(common)) == expected)
        {
            EXPECT_FALSE(difference) << "seed " << seed;
            continue;
        }
        ASSERT_TRUE(difference) << "seed " << seed;
        EXPECT_EQ(ApplyDifference(oldData, *difference), expected) << "seed " << seed;
    }
}

TEST(DifferenceRoundTrip, unrelatedDataCostsOneLiteralPerDifferingByte)
{
    const Bytes oldData = testdata::generate(4000, 1);
    const Bytes newData = testdata::generate(4000, 2);
    const auto difference = MakeDifference(oldData, newData);
    ASSERT_TRUE(difference);
    EXPECT_EQ(ApplyDifference(oldData, *difference), newData);
    EXPECT_LE(difference->size(), newData.size() + (newData.size() + 7) / 8);
}
