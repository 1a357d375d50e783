#include "platform/paths.h"

#include "support/gtestfolder.h"
#include "support/scopedenv.h"

#include <gtest/gtest.h>

#include <unistd.h>

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

TEST(UserDataFolder, isXdgDataHomeWhenAbsoluteElseLocalShareInTheHomeFolder)
{
    const testlgp::ScopedEnv home("HOME", "/home/player");
    const std::string fallback = "/home/player/.local/share/tarrowin/";
    for (const std::optional<std::string>& xdg : {std::optional<std::string>(), std::optional<std::string>("")})
    {
        const testlgp::ScopedEnv data("XDG_DATA_HOME", xdg);
        EXPECT_EQ(Platform::Paths::userDataDir(), fallback) << (xdg ? "empty" : "unset");
    }
    {
        const testlgp::ScopedEnv data("XDG_DATA_HOME", "relative/data");
        EXPECT_EQ(Platform::Paths::userDataDir(), fallback);
    }
    for (const std::string xdg : {"/data/player", "/data/player/"})
    {
        const testlgp::ScopedEnv data("XDG_DATA_HOME", xdg);
        EXPECT_EQ(Platform::Paths::userDataDir(), "/data/player/tarrowin/") << xdg;
    }
}

TEST(GameTemplates, comeFromTheUserDataFolderFirstThenFromBesideTheProgram)
{
    TempFolder tmp;
    const testlgp::ScopedEnv data("XDG_DATA_HOME", tmp.dir() + "data");
    const std::string name = "LGP.test-" + std::to_string(::getpid());
    const std::string user = tmp.dir() + "data/tarrowin/" + name;
    const std::string beside = Platform::Paths::programDir() + name;
    // Neither: the program folder's path, for messages to name.
    EXPECT_EQ(Platform::Paths::templatePath(name), beside);
    {
        const testlgp::ScopedProgramFile program(beside, testlgp::Bytes{1});
        EXPECT_EQ(Platform::Paths::templatePath(name), beside);
        tmp.folder("data/tarrowin/" + name); // a folder of that name is no template
        EXPECT_EQ(Platform::Paths::templatePath(name), beside);
        std::filesystem::remove(user);
        tmp.save("data/tarrowin/" + name, {2});
        EXPECT_EQ(Platform::Paths::templatePath(name), user);
    }
    EXPECT_EQ(Platform::Paths::templatePath(name), user);
}
