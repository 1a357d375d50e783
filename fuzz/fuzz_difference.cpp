// ApplyDifference on (old data, difference data) split from the input: it
// either rebuilds data or fails with "Stream read error". And for the two
// halves read as old and new versions, applying their difference gives the
// new version cut to the shorter length.

#include "errors/errors.h"
#include "patch/lgppatch.h"
#include "support/testdata.h"

#include <cstdlib>
#include <string>

namespace
{

    // Input layout: one byte k, then the old data (k * 4 bytes or what is
    // there), then the rest.
    testdata::Bytes seed(const testdata::Bytes& oldData, const testdata::Bytes& rest)
    {
        testdata::Bytes out{static_cast<std::uint8_t>(oldData.size() / 4)};
        out.insert(out.end(), oldData.begin(), oldData.end());
        out.insert(out.end(), rest.begin(), rest.end());
        return out;
    }
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* folder = std::getenv("TARROWIN_WRITE_SEEDS"))
    {
        const testdata::Bytes oldData = testdata::generate(400, 3);
        const testdata::Bytes newData = testdata::mutate(oldData, 5, 4);
        testdata::writeSeed(folder, "difference", seed(oldData, *MakeDifference(oldData, newData)));
        testdata::writeSeed(folder, "versions", seed(oldData, newData));
        testdata::writeSeed(folder, "short", seed(testdata::bytes("ABCDEFGH"), {0x02, 0x03, 'X', 0x02}));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t split = std::min<std::size_t>(size - 1, std::size_t(data[0]) * 4);
    const std::span<const std::uint8_t> first(data + 1, split);
    const std::span<const std::uint8_t> second(data + 1 + split, size - 1 - split);

    try
    {
        const std::vector<std::uint8_t> rebuilt = ApplyDifference(first, second);
        // Each item byte yields at most 256 bytes.
        if (rebuilt.size() > second.size() * 256)
            std::abort();
    }
    catch (const ELGPError&)
    {
    }

    const std::size_t common = std::min(first.size(), second.size());
    const auto difference = MakeDifference(first, second);
    const bool equal = std::equal(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(common), second.begin());
    if (equal != !difference)
        std::abort();
    if (difference)
    {
        const std::vector<std::uint8_t> rebuilt = ApplyDifference(first, *difference);
        if (!std::equal(rebuilt.begin(), rebuilt.end(), second.begin(),
                        second.begin() + static_cast<std::ptrdiff_t>(common)))
            std::abort();
    }
    return 0;
}
