#pragma once
// The scene the stub's tests (in-process and under Wine) patch: a three-file
// archive and its modified version, and what they check after a run.

#include "support/lgpwriter.h"

#include <gtest/gtest.h>

// a.bin stays; b.bin changes at the same length; c.bin becomes 16 bytes
// shorter, so a patch in place cuts the file.
struct StubVersions
{
    testlgp::Archive source;
    testlgp::Archive modified;
};

inline StubVersions MakeStubVersions()
{
    StubVersions v;
    const testlgp::Bytes a = testlgp::Letters(200, 1);
    const testlgp::Bytes b = testlgp::Letters(3000, 2);
    const testlgp::Bytes c = testlgp::Letters(900, 3);
    testlgp::Bytes b2 = b;
    b2[7] = '#';
    b2[2999] = '!';
    testlgp::Bytes c2(c.begin(), c.end() - 16);
    c2[100] = '*';
    v.source.Files = {{"a.bin", a}, {"b.bin", b}, {"c.bin", c}};
    v.modified.Files = {{"a.bin", a}, {"b.bin", b2}, {"c.bin", c2}};
    return v;
}

// a.bin, which the patch leaves alone, keeps its place; b.bin and c.bin keep
// theirs when patched in place, and otherwise go behind the old data (where
// the 14-byte trailing text was).
inline void ExpectPatchedPlaces(const testlgp::Bytes& patched, const testlgp::Bytes& original, bool inPlace)
{
    EXPECT_EQ(testlgp::TocOffset(patched, 0), testlgp::TocOffset(original, 0));
    for (int i : {1, 2})
    {
        if (inPlace)
            EXPECT_EQ(testlgp::TocOffset(patched, i), testlgp::TocOffset(original, i)) << i;
        else
            EXPECT_GE(testlgp::TocOffset(patched, i), std::int32_t(original.size()) - 14) << i;
    }
}
