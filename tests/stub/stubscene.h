#pragma once
// What the stub's tests check after a run on their three-file target.

#include "support/lgpwriter.h"

#include <gtest/gtest.h>

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
