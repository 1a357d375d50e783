// The TEX decoder and the bitmap writer on arbitrary bytes. Failures must be
// ELGPError; nothing may read outside the input, crash or leak, and a decoded
// picture must hold exactly its pixels.

#include "errors/errors.h"
#include "preview/psxtexdecode.h"
#include "samples/demodata.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* folder = std::getenv("TARROWIN_WRITE_SEEDS"))
    {
        auto write = [&](const char* name, const demo::Bytes& bytes) {
            std::ofstream out(std::filesystem::path(folder) / name, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        };
        write("palettised", demo::PalettisedTex());
        write("direct", demo::DirectTex());
        demo::Bytes small = demo::TexHeader(4, 3, 2);
        small.insert(small.end(), {1, 2, 3, 0, 4, 5, 6, 0, 0, 1, 1, 0, 9});
        write("short", small);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    TMemoryStream stream(std::vector<std::uint8_t>(data, data + size));
    try
    {
        const TPSXTexImage image = PSXTexDecode(stream, TexDataStart);
        const std::size_t expected = std::size_t(image.Width) * std::size_t(image.Height) * (image.BitsPerPixel / 8);
        if (image.Pixels.size() != expected || image.Palette.size() > 256)
            std::abort();
        if (image.Width > 0 && image.Height > 0)
            (void)image.PixelColour(image.Width - 1, image.Height - 1);
        if (expected <= (1u << 20))
        {
            const std::vector<std::uint8_t> bmp = TexImageToBmp(image);
            if (bmp.size() < 54 || bmp[0] != 'B')
                std::abort();
        }
    }
    catch (const ELGPError&)
    {
    }
    return 0;
}
