// The compressing LZS encoder on arbitrary bytes: its output always passes the
// LZS probe (unless the input is empty), decodes back to exactly the input,
// and is never larger than the literal-only encoding.

#include "patch/FFLZs.h"
#include "support/testdata.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* folder = std::getenv("TARROWIN_WRITE_SEEDS"))
    {
        testdata::writeSeed(folder, "text", testdata::generate(6000, 1));
        testdata::writeSeed(folder, "model", testdata::generateModel(5000, 2));
        testdata::writeSeed(folder, "zeros", testdata::Bytes(300, 0));
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);
    const std::vector<std::uint8_t> encoded = LzsEncode(input);
    if (size > 0 && !LooksLikeLzs(encoded))
        std::abort();
    if (encoded.size() > 4 + size + (size + 7) / 8)
        std::abort();
    if (LzsDecode(encoded) != std::vector<std::uint8_t>(input.begin(), input.end()))
        std::abort();
    return 0;
}
