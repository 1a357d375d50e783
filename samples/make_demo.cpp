// tarrowin-make-demo OUTPUT.LGP [WORK-FOLDER]
// Writes the demo files into the work folder (a fresh temporary one by
// default) and builds OUTPUT.LGP from them with the archive builder.

#include "demodata.h"

#include "core/lgpstruct.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3)
    {
        std::cerr << "usage: tarrowin-make-demo OUTPUT.LGP [WORK-FOLDER]\n";
        return 2;
    }
    namespace fs = std::filesystem;
    const fs::path work =
        argc == 3 ? fs::path(argv[2]) : fs::temp_directory_path() / ("tarrowin-demo." + std::to_string(::getpid()));
    try
    {
        fs::remove_all(work);
        fs::create_directories(work);
        for (const auto& [name, bytes] : demo::Files())
        {
            std::ofstream out(work / name, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
            if (!out)
                throw std::runtime_error("Cannot create file " + (work / name).string());
        }
        ArchiveBuildOptions options;
        options.Folder = work.string() + "/";
        options.Output = argv[1];
        // The standard 3,602 bytes of validation data, all zero.
        options.ValidationData = std::vector<std::uint8_t>(3602, 0);
        options.ReportProgress = false;
        BuildArchive(options);
        if (argc == 2)
            fs::remove_all(work);
    }
    catch (const std::exception& e)
    {
        std::cerr << e.what() << "\n";
        return 1;
    }
    return 0;
}
