#include "platform/registry.h"

#include "errors/errors.h"
#include "support/gtestfolder.h"
#include "support/scopedenv.h"

#include <gmock/gmock.h>

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
            , mPrefix("WINEPREFIX", (root / "wine").string())
            , mHome("HOME", (root / "home").string())
        {
            std::filesystem::create_directories(root / "home");
        }
        ~FakeMachine() { std::filesystem::current_path(mOldCwd); }

    private:
        std::filesystem::path mOldCwd;
        testlgp::ScopedEnv mPrefix, mHome;
    };

    std::string systemReg(const std::string& key, const std::string& valueLine)
    {
        return "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win32\n\n"
               "[Software\\\\Classes\\\\.txt] 1600000000\n\"AppPath\"=\"C:\\\\wrong\\\\\"\n\n"
               "["
               + key + "] 1600000001\n#time=1d6f1c2b3a4e5f6\n\"DataPath\"=\"C:\\\\x\\\\\"\n" + valueLine + "\n\n";
    }

    const std::string GameKey = "Software\\\\Square Soft, Inc.\\\\Final Fantasy VII";

    // A machine of the test's own (see FakeMachine).
    class Registry : public ::testing::Test
    {
    protected:
        // Writes the prefix's system.reg with valueLine under key.
        void registerValue(const std::string& valueLine, const std::string& key = GameKey)
        {
            testlgp::Save(wine / "system.reg", systemReg(key, valueLine));
        }

        TempFolder dir;
        FakeMachine machine{dir.path()};
        const std::filesystem::path wine = dir.path() / "wine";
        const std::filesystem::path driveC = wine / "drive_c";
    };
}

TEST_F(Registry, nothingRegisteredGivesNothing)
{
    EXPECT_EQ(gameAppPathRaw(), std::nullopt);
    EXPECT_EQ(gameDataFolder(), std::nullopt);
    const auto before = std::filesystem::current_path();
    EXPECT_FALSE(enterGameDataFolder());
    EXPECT_EQ(std::filesystem::current_path(), before);
}

TEST_F(Registry, appPathIsReadFromThePrefixAndMappedThroughDriveC)
{
    registerValue("\"AppPath\"=\"C:\\\\Games\\\\FF7\\\\\"");
    std::filesystem::create_directories(driveC / "Games" / "FF7" / "data");

    EXPECT_EQ(gameAppPathRaw(), "C:\\Games\\FF7\\");
    const std::string expected = (driveC / "Games" / "FF7" / "data").string() + "/";
    EXPECT_EQ(gameDataFolder(), expected);
    EXPECT_TRUE(enterGameDataFolder());
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), expected));
}

TEST_F(Registry, keyAndValueNamesMatchCaseInsensitivelyAndFoldersAnyCase)
{
    testlgp::Save(wine / "system.reg", systemReg("software\\\\square soft, inc.\\\\FINAL FANTASY VII",
                                                 "\"apppath\"=\"c:\\\\GAMES\\\\ff7\\\\\""));
    std::filesystem::create_directories(driveC / "Games" / "FF7" / "Data");
    EXPECT_EQ(gameDataFolder(), (driveC / "Games" / "FF7" / "Data").string() + "/");
}

TEST_F(Registry, dosdevicesLinksMapOtherDrives)
{
    registerValue("\"AppPath\"=\"D:\\\\FF7\\\\\"");
    std::filesystem::create_directories(dir.path() / "cdrom" / "FF7" / "data");
    std::filesystem::create_directories(wine / "dosdevices");
    std::filesystem::create_directory_symlink(dir.path() / "cdrom", wine / "dosdevices" / "d:");
    EXPECT_TRUE(enterGameDataFolder());
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), dir.path() / "cdrom" / "FF7" / "data"));
}

TEST_F(Registry, the32BitViewUnderWow6432NodeCounts)
{
    testlgp::Save(wine / "system.reg", systemReg("Software\\\\Wow6432Node\\\\Square Soft, Inc.\\\\Final Fantasy VII",
                                                 "\"AppPath\"=str(2):\"C:\\\\FF7\\\\\""));
    EXPECT_EQ(gameAppPathRaw(), "C:\\FF7\\");
}

TEST_F(Registry, protonPrefixesOfSteamAreSearched)
{
    const auto pfx = dir.path() / "home" / ".local/share/Steam/steamapps/compatdata/39140/pfx";
    testlgp::Save(pfx / "system.reg", systemReg(GameKey, "\"AppPath\"=\"C:\\\\Steam FF7\\\\\""));
    std::filesystem::create_directories(pfx / "drive_c" / "Steam FF7" / "data");
    EXPECT_EQ(gameDataFolder(), (pfx / "drive_c" / "Steam FF7" / "data").string() + "/");
}

TEST_F(Registry, dataIsAppendedWithoutASeparator)
{
    registerValue("\"AppPath\"=\"C:\\\\FF7\"");
    EXPECT_EQ(gameDataFolder(), (driveC / "FF7data").string() + "/");
}

TEST_F(Registry, aRegisteredFolderThatCannotBeEnteredIsAnInputOutputError)
{
    registerValue("\"AppPath\"=\"C:\\\\Missing\\\\\"");
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

TEST_F(Registry, otherValueTypesAndBrokenLinesAreNoPath)
{
    registerValue("\"AppPath\"=dword:00000001\n\"AppPath\"=\"C:\\\\unterminated");
    EXPECT_EQ(gameAppPathRaw(), std::nullopt);
}

TEST_F(Registry, escapesDecodeToUtf8SurrogatePairsToOneCharacter)
{
    // Wine writes "\x" with up to four digits (one UTF-16 unit), a character
    // outside the Basic Multilingual Plane as two units.
    registerValue("\"AppPath\"=\"C:\\\\J\\x00fcrgen\\\\Tab\\there\\\\Play \\xd83c\\xdfae\\\\\"");
    EXPECT_EQ(gameAppPathRaw(), "C:\\J\xC3\xBCrgen\\Tab\there\\Play \xF0\x9F\x8E\xAE\\");
    const auto data = driveC / "J\xC3\xBCrgen" / "Tab\there" / "Play \xF0\x9F\x8E\xAE" / "data";
    std::filesystem::create_directories(data);
    EXPECT_TRUE(enterGameDataFolder());
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), data));

    // A half of a pair on its own is no character.
    registerValue("\"AppPath\"=\"C:\\\\a\\xd83cb\\\\\"");
    EXPECT_EQ(gameAppPathRaw(), "C:\\a\xEF\xBF\xBD"
                                "b\\");
}

TEST_F(Registry, the32BitViewWinsOverThe64BitKey)
{
    testlgp::Save(wine / "system.reg",
                  systemReg(GameKey, "\"AppPath\"=\"C:\\\\Native\\\\\"")
                      + "[Software\\\\Wow6432Node\\\\Square Soft, Inc.\\\\Final Fantasy VII] 1600000002\n"
                        "\"AppPath\"=\"C:\\\\Redirected\\\\\"\n");
    EXPECT_EQ(gameAppPathRaw(), "C:\\Redirected\\");
}

TEST_F(Registry, dotDotInAppPathLeavesTheFolderBefore)
{
    registerValue("\"AppPath\"=\"C:\\\\Missing\\\\..\\\\FF7\\\\\"");
    std::filesystem::create_directories(driveC / "FF7" / "data");
    EXPECT_EQ(gameDataFolder(), (driveC / "FF7" / "data").string() + "/");
}

TEST_F(Registry, amongSeveralProtonPrefixesTheSameOneWinsWhateverTheListingOrder)
{
    const auto compat = [](const TempFolder& other) {
        return other.path() / "home" / ".steam/steam/steamapps/compatdata";
    };
    std::vector<std::optional<std::string>> chosen;
    for (const auto& order :
         {std::vector<std::string>{"100", "39140", "7"}, std::vector<std::string>{"7", "39140", "100"}})
    {
        TempFolder other;
        FakeMachine otherMachine(other.path());
        for (const std::string& id : order)
            testlgp::Save(compat(other) / id / "pfx" / "system.reg",
                          systemReg(GameKey, "\"AppPath\"=\"C:\\\\Game" + id + "\\\\\""));
        chosen.push_back(gameAppPathRaw());
    }
    EXPECT_EQ(chosen[0], "C:\\Game100\\");
    EXPECT_EQ(chosen[1], chosen[0]);
}

TEST_F(Registry, withoutAppPathTheGameIsFoundInASteamLibrary)
{
    const auto steam = dir.path() / "home" / ".local/share/Steam";
    const auto library = dir.path() / "games disk" / "SteamLibrary";
    std::filesystem::create_directories(steam / "steamapps" / "common");
    testlgp::Save(steam / "steamapps" / "libraryfolders.vdf",
                  "\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"" + steam.string()
                      + "\"\n\t\t\"label\"\t\t\"\"\n\t\t\"apps\"\n\t\t{\n\t\t\t\"228980\"\t\t\"1\"\n\t\t}\n\t}\n"
                        "\t\"1\"\n\t{\n\t\t\"path\"\t\t\""
                      + library.string() + "\"\n\t\t\"apps\"\n\t\t{\n\t\t\t\"39140\"\t\t\"1\"\n\t\t}\n\t}\n}\n");
    const auto data = library / "steamapps" / "common" / "FINAL FANTASY VII" / "data";
    EXPECT_EQ(gameDataFolder(), std::nullopt);
    std::filesystem::create_directories(data);
    EXPECT_EQ(gameDataFolder(), data.string() + "/");
    EXPECT_TRUE(enterGameDataFolder());
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::current_path(), data));

    // The older form lists a library as the numbered key's value.
    std::filesystem::remove_all(library);
    const auto old = dir.path() / "old library";
    testlgp::Save(steam / "steamapps" / "libraryfolders.vdf",
                  "\"LibraryFolders\"\n{\n\t\"TimeNextStatsReport\"\t\t\"1600000000\"\n\t\"1\"\t\t\"" + old.string()
                      + "\"\n}\n");
    std::filesystem::create_directories(old / "steamapps" / "common" / "FINAL FANTASY VII" / "data");
    EXPECT_EQ(steamGameDataFolder(), (old / "steamapps" / "common" / "FINAL FANTASY VII" / "data").string() + "/");

    // A registered AppPath still wins.
    registerValue("\"AppPath\"=\"C:\\\\FF7\\\\\"");
    EXPECT_EQ(gameDataFolder(), (driveC / "FF7" / "data").string() + "/");
}
