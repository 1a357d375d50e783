// The P model reader on arbitrary bytes. Failures must be ELGPError; a model
// that loads must hold arrays of its stated counts, and every triangle called
// drawable must index inside both arrays.

#include "errors/errors.h"
#include "preview/ff7pmodel.h"
#include "samples/demodata.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* folder = std::getenv("TARROWIN_WRITE_SEEDS"))
    {
        for (const auto& [name, bytes] : demo::Files())
        {
            if (!name.ends_with(".P"))
                continue;
            std::ofstream out(std::filesystem::path(folder) / name, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    TMemoryStream stream(std::vector<std::uint8_t>(data, data + size));
    try
    {
        TFF7PPart part(stream);
        if (part.Vertices.size() != std::size_t(part.VertexCount)
            || part.Colours.size() != std::size_t(part.ColourCount)
            || part.Polygons.size() != std::size_t(part.PolygonCount))
            std::abort();
        float sum = 0;
        for (std::size_t k = 0; k < part.Polygons.size(); ++k)
        {
            if (!part.TriangleDrawable(k))
                continue;
            for (int i = 0; i < 3; ++i)
            {
                const std::size_t index = part.Polygons[k].Index(i);
                sum += part.Vertices.at(index).X + part.Colours.at(index).Red;
            }
        }
        (void)sum;
    }
    catch (const ELGPError&)
    {
    }
    return 0;
}
