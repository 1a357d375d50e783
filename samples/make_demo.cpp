// tarrowin-make-demo OUTPUT.LGP [WORK-FOLDER]
// Writes the demo files into the work folder (a fresh temporary one by
// default) and builds OUTPUT.LGP from them with the archive builder.

#include "demodata.h"

#include "core/lgplookup.h"
#include "core/lgpstruct.h"
#include "core/streams.h"
#include "platform/paths.h"

#include <filesystem>
#include <iostream>

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3)
    {
        std::cerr << "usage: tarrowin-make-demo OUTPUT.LGP [WORK-FOLDER]\n";
        return 2;
    }
    namespace fs = std::filesystem;
    try
    {
        fs::path work;
        if (argc == 3)
        {
            work = argv[2];
            fs::remove_all(work);
            fs::create_directories(work);
        }
        else
        {
            const std::string folder = Platform::Paths::makePrivateTempFolder("tarrowin-demo");
            if (folder.empty())
                throw std::runtime_error("Cannot create a temporary folder");
            work = folder;
        }
        std::vector<std::string> names;
        for (const auto& [name, bytes] : demo::Files())
        {
            WriteWholeFile((work / name).string(), bytes);
            names.push_back(name);
        }
        // The standard 3,602 bytes of validation data: the lookup table the
        // game finds the names with, the files stored by its slots.
        std::vector<std::string> files;
        std::vector<std::string> tocNames;
        for (const std::size_t k : LookupOrder(names))
        {
            files.push_back((work / names[k]).string());
            tocNames.push_back(names[k]);
        }
        ArchiveBuildOptions options;
        options.Folder = (work / "").string();
        options.Output = argv[1];
        options.Files = files;
        options.ValidationData = ComputeLookupData(tocNames);
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
