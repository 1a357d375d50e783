// LzsDecompress on arbitrary bytes: it either decodes or fails with "Stream
// read error", never reads or writes out of bounds. The literal-only encoder's
// output always decodes back to its input.

#include "errors/errors.h"
#include "patch/FFLZs.h"
#include "support/testdata.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace
{
    void writeSeed(const std::string& folder, const std::string& name, const testdata::Bytes& bytes)
    {
        std::ofstream out(folder + "/" + name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* folder = std::getenv("TARROWIN_WRITE_SEEDS"))
    {
        writeSeed(folder, "compressed", testdata::lzsCompress(testdata::generate(3000, 1)));
        writeSeed(folder, "stored", LzsEncodeLiterals(testdata::generate(100, 2)));
        writeSeed(folder, "overlap", testdata::withLength({0x03, 'A', 'B', 0xEE, 0xF2}));
        writeSeed(folder, "zerofill", testdata::withLength({0x03, 'A', 'B', 0xEC, 0xF1, 0x00, 0x00}));
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
