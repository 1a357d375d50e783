#include "platform/registry.h"

#include "core/errors.h"
#include "tempdir.h"

#include <gmock/gmock.h>

#include <cstdlib>
#include <unistd.h>

using namespace Platform::Registry;

namespace
{
    // Points $WINEPREFIX and $HOME at a test folder (so no real prefix or
    // Steam library is consulted) and brings back the old values and the
    // current directory afterwards.
    class FakeMachine
    {
    public:
        explicit FakeMachine(const std::filesystem::path& root)
            : mOldCwd(std::filesystem::current_path())
        {
            save("WINEPREFIX", mOldPrefix);
            save("HOME", mOldHome);
            ::setenv("WINEPREFIX", (root / "wine").c_str(), 1);
            ::setenv("HOME", (root / "home").c_str(), 1);
            std::filesystem::create_directories(root / "home");
        }
        ~FakeMachine()
        {
            restore("WINEPREFIX", mOldPrefix);
            restore("HOME", mOldHome);
            std::filesystem::current_path(mOldCwd);
        }

    private:
        static void save(const char* name, std::optional<std::string>& slot)
        {
            if (const char* v = std::getenv(name))
                slot = v;
        }
        static void restore(const char* name, const std::optional<std::string>& slot)
        {
            if (slot)
                ::setenv(name, slot->c_str(), 1);
            else
                ::unsetenv(name);
        }
        std::filesystem::path mOldCwd;
        std::optional<std::string> mOldPrefix, mOldHome;
    };

    std::string systemReg(const std::string& key, const std::string& valueLine)
    {
        return "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win32\n\n"
               "[Software\\\\Classes\\\\.txt] 1600000000\n\"AppPath\"=\"C:\\\\wrong\\\\\"\n\n"
               "[" + key + "] 1600000001\n#time=1d6f1c2b3a4e5f6\n\"DataPath\"=\"C:\\\\x\\\\\"\n" + valueLine + "\n\n";
    }

    const std::string GameKey = "Software\\\\Square Soft, Inc.\\\\Final Fantasy VII";
}

TEST(Registry, nothingRegisteredGivesNothing)
{
    TempDir dir;
    FakeMachine machine(dir.path());
    EXPECT_EQ(gameAppPathRaw(), std::nullopt);
    EXPECT_EQ(gameDataFolder(), std::nullopt);
    const auto before = std::filesystem::current_path();
    EXPECT_FALSE(enterGameDataFolder());
    EXPECT_EQ(std::filesystem::current_path(), before);
}

TEST(Registry, appPathIsReadFromThePrefixAndMappedThroughDriveC)
{
    TempDir dir;
    FakeMachine machine(dir.path());
    TempDir::write(dir.path() / "wine" / "system.reg", systemReg(GameKey, "\"AppPath\"=\"C:\\\\Games\\\\FF7\\\\\""));
    std::filesystem::create_directories(dir.path() / "wine" / "drive_c" / "Games" / "FF7" / "data");

    EXPECT_EQ(gameAppPathRaw(), "C:\\Games\\FF7\\");
    const std::string expected = (dir.path() / "wine" / "drive_c" / "Games" / "FF7" / "data").string() + "/";
    EXPECT_EQ(gameDataFolder(), expected);
    EXPECT_TRUE(enterGameDataFolder());
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), expected));
}

TEST(Registry, keyAndValueNamesMatchCaseInsensitivelyAndFoldersAnyCase)
{
    TempDir dir;
    FakeMachine machine(dir.path());
    TempDir::write(dir.path() / "wine" / "system.reg",
        systemReg("software\\\\square soft, inc.\\\\FINAL FANTASY VII", "\"apppath\"=\"c:\\\\GAMES\\\\ff7\\\\\""));
    std::filesystem::create_directories(dir.path() / "wine" / "drive_c" / "Games" / "FF7" / "Data");
    EXPECT_EQ(gameDataFolder(), (dir.path() / "wine" / "drive_c" / "Games" / "FF7" / "Data").string() + "/");
}

TEST(Registry, dosdevicesLinksMapOtherDrives)
{
    TempDir dir;
    FakeMachine machine(dir.path());
    TempDir::write(dir.path() / "wine" / "system.reg", systemReg(GameKey, "\"AppPath\"=\"D:\\\\FF7\\\\\""));
    std::filesystem::create_directories(dir.path() / "cdrom" / "FF7" / "data");
    std::filesystem::create_directories(dir.path() / "wine" / "dosdevices");
    std::filesystem::create_directory_symlink(dir.path() / "cdrom", dir.path() / "wine" / "dosdevices" / "d:");
    EXPECT_TRUE(enterGameDataFolder());
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), dir.path() / "cdrom" / "FF7" / "data"));
}

TEST(Registry, the32BitViewUnderWow6432NodeCounts)
{
    TempDir dir;
    FakeMachine machine(dir.path());
    TempDir::write(dir.path() / "wine" / "system.reg",
        systemReg("Software\\\\Wow6432Node\\\\Square Soft, Inc.\\\\Final Fantasy VII",
            "\"AppPath\"=str(2):\"C:\\\\FF7\\\\\""));
    EXPECT_EQ(gameAppPathRaw(), "C:\\FF7\\");
}

TEST(Registry, protonPrefixesOfSteamAreSearched)
{
    TempDir dir;
    FakeMachine machine(dir.path());
    const auto pfx = dir.path() / "home" / ".local/share/Steam/steamapps/compatdata/39140/pfx";
    TempDir::write(pfx / "system.reg", systemReg(GameKey, "\"AppPath\"=\"C:\\\\Steam FF7\\\\\""));
    std::filesystem::create_directories(pfx / "drive_c" / "Steam FF7" / "data");
    EXPECT_EQ(gameDataFolder(), (pfx / "drive_c" / "Steam FF7" / "data").string() + "/");
}

TEST(Registry, dataIsAppendedWithoutASeparator)
{
    TempDir dir;
    FakeMachine machine(dir.path());
    TempDir::write(dir.path() / "wine" / "system.reg", systemReg(GameKey, "\"AppPath\"=\"C:\\\\FF7\""));
    EXPECT_EQ(gameDataFolder(), (dir.path() / "wine" / "drive_c" / "FF7data").string() + "/");
}

TEST(Registry, aRegisteredFolderThatCannotBeEnteredIsAnInputOutputError)
{
    TempDir dir;
    FakeMachine machine(dir.path());
    TempDir::write(dir.path() / "wine" / "system.reg", systemReg(GameKey, "\"AppPath\"=\"C:\\\\Missing\\\\\""));
    const auto before = std::filesystem::current_path();
    try
    {
        enterGameDataFolder();
        ADD_FAILURE() << "no failure";
    }
    catch (const EInOutError& e)
    {
        EXPECT_EQ(std::string(e.what()), lgp::InOutErrorText(ENOENT));
        EXPECT_EQ(std::string(e.what()), "File not found");
    }
    EXPECT_EQ(std::filesystem::current_path(), before);
}

TEST(Registry, otherValueTypesAndBrokenLinesAreNoPath)
{
    TempDir dir;
    FakeMachine machine(dir.path());
    TempDir::write(dir.path() / "wine" / "system.reg",
        systemReg(GameKey, "\"AppPath\"=dword:00000001\n\"AppPath\"=\"C:\\\\unterminated"));
    EXPECT_EQ(gameAppPathRaw(), std::nullopt);
}
