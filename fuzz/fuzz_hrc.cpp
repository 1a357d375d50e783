// The HRC parse on arbitrary text, with a fake archive that answers RSD
// lookups from a few fixed resource files. Failures must be ELGPError; the
// tree must stay well formed (parents before children, each child listed once).

#include "errors/errors.h"
#include "preview/hrcparse.h"
#include "samples/demodata.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* folder = std::getenv("TARROWIN_WRITE_SEEDS"))
    {
        auto write = [&](const char* name, const std::string& text) {
            std::ofstream out(std::filesystem::path(folder) / name, std::ios::binary);
            out << text;
        };
        write("demo.hrc", demo::Hrc());
        write("fail.hrc", ":H\n:SKELETON x\n:B\njunk\nbone\nbone\n1\n3 HIPA\n\nb2\nbone\n2\nq\n");
        write("short.hrc", "a\r\n0123456789b");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string> lines = SplitTextLines({data, size});
    for (const std::string& line : lines)
        if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            std::abort();
    THRCTree tree;
    THRCCallbacks callbacks;
    callbacks.ReadRSD = [](const std::string& name) -> std::optional<std::vector<std::string>> {
        if (name == "HIPA.RSD" || name == "CHSA.RSD")
            return SplitTextLines(demo::Text(demo::Rsd(name.substr(0, 4))));
        if (name == "EMPTY.RSD")
            return std::vector<std::string>{};
        return std::nullopt;
    };
    callbacks.SeparatorFail = [] {};
    try
    {
        ParseHRC(lines, tree, callbacks);
    }
    catch (const ELGPError&)
    {
    }
    std::size_t links = 0;
    for (std::size_t i = 0; i < tree.Nodes.size(); ++i)
    {
        const auto& node = tree.Nodes[i];
        if ((i == 0) != (node.Parent < 0) || node.Parent >= std::int32_t(i))
            std::abort();
        for (std::int32_t child : node.Children)
            if (child <= std::int32_t(i) || std::size_t(child) >= tree.Nodes.size())
                std::abort();
        links += node.Children.size();
    }
    if (!tree.Nodes.empty() && links != tree.Nodes.size() - 1)
        std::abort();
    return 0;
}
