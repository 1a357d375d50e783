#include "platform/paths.h"

#include "support/gtestfolder.h"

#include <gtest/gtest.h>

using Platform::Paths::supportDirFor;

TEST(ProgramFolder, holdsEitherFileBesideTheProgramElseTheInstalledFolder)
{
    TempFolder tmp;
    const std::string bin = tmp.folder("bin");
    std::filesystem::create_directories(tmp.file("lib/tarrowin"));
    const std::string installed = tmp.dir() + "lib/tarrowin/";
    EXPECT_EQ(supportDirFor(bin), installed);
    for (const std::string file : {"LGP.95", "STUB.LGP"})
    {
        tmp.save("bin/" + file, {});
        EXPECT_EQ(supportDirFor(bin), bin) << file;
        std::filesystem::remove(bin + file);
        std::filesystem::create_directory(bin + file); // a folder of that name is no file
        EXPECT_EQ(supportDirFor(bin), installed) << file;
        std::filesystem::remove(bin + file);
    }
    // No installation either: the program's own folder.
    std::filesystem::remove_all(tmp.file("lib"));
    EXPECT_EQ(supportDirFor(bin), bin);
}
