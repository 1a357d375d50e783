// LzsDecompress on arbitrary bytes: it either decodes or fails with "Stream
// read error", never reads or writes out of bounds. The literal-only encoder's
// output always decodes back to its input.

#include "errors/errors.h"
#include "patch/FFLZs.h"
#include "support/testdata.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* folder = std::getenv("TARROWIN_WRITE_SEEDS"))
    {
        testdata::writeSeed(folder, "compressed", testdata::lzsCompress(testdata::generate(3000, 1)));
        testdata::writeSeed(folder, "stored", LzsEncodeLiterals(testdata::generate(100, 2)));
        testdata::writeSeed(folder, "overlap", testdata::withLength({0x03, 'A', 'B', 0xEE, 0xF2}));
        testdata::writeSeed(folder, "zerofill", testdata::withLength({0x03, 'A', 'B', 0xEC, 0xF1, 0x00, 0x00}));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);
    (void)LooksLikeLzs(input);
    try
    {
        const std::vector<std::uint8_t> decoded = LzsDecode(input);
        // Every item yields at least one byte and takes at most two input bytes
        // plus its share of a control byte.
        if (size > 4 && decoded.empty())
            std::abort();
    }
    catch (const ELGPError&)
    {
    }
    const std::vector<std::uint8_t> stored = LzsEncodeLiterals(input);
    if (!LooksLikeLzs(stored) || LzsDecode(stored) != std::vector<std::uint8_t>(input.begin(), input.end()))
        std::abort();
    return 0;
}
