#include "platform/inifile.h"

#include "errors/errors.h"
#include "support/failure.h"
#include "support/gtestfolder.h"

#include <gmock/gmock.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace Platform::Ini;

namespace
{
    // A settings file in a folder of the test's own, not written yet.
    class IniFile : public ::testing::Test
    {
    protected:
        TempFolder dir;
        const std::string file = dir.file("settings.ini");
    };
}

TEST_F(IniFile, missingFileSectionOrKeyGivesTheDefault)
{
    EXPECT_EQ(ReadString(file, "S", "K", "dflt"), "dflt");
    EXPECT_EQ(ReadInteger(file, "S", "K", 42), 42);
    EXPECT_TRUE(ReadBool(file, "S", "K", true));

    testlgp::Save(file, "[Other]\nK=1\n[S]\nJ=2\n");
    EXPECT_EQ(ReadInteger(file, "S", "K", 7), 7);
    EXPECT_EQ(ReadInteger(file, "Missing", "J", 7), 7);
    EXPECT_EQ(ReadInteger(file, "S", "J", 7), 2);
}

TEST_F(IniFile, namesMatchCaseInsensitivelyAndValuesAreTrimmed)
{
    testlgp::Save(file, "; comment\r\n[tarrowin]\r\n  width  =  640  \r\nName=\"quoted text\"\r\n");
    EXPECT_EQ(ReadInteger(file, "Tarrowin", "Width", 0), 640);
    EXPECT_EQ(ReadString(file, "TARROWIN", "name", ""), "quoted text");
}

TEST_F(IniFile, integersReadHexAfter0xAndTheDefaultForAnythingElse)
{
    testlgp::Save(file, "[N]\nhex=0x200\nHEX=0X1f\nshort=0x\nneg=-12\nword=abc\nhuge=99999999999\nbadhex=0x12G\n"
                        "allbits=0xFFFFFFFF\nempty=\nspace=1 2\nlower=0xff\nmixed=0xaBc\n");
    EXPECT_EQ(ReadInteger(file, "N", "hex", 0), 512);
    EXPECT_EQ(ReadInteger(file, "N", "HEX", 0), 512); // the first of two equal names wins
    EXPECT_EQ(ReadInteger(file, "N", "short", 5), 5);
    EXPECT_EQ(ReadInteger(file, "N", "neg", 0), -12);
    EXPECT_EQ(ReadInteger(file, "N", "word", 5), 5);
    EXPECT_EQ(ReadInteger(file, "N", "huge", 5), 5);
    EXPECT_EQ(ReadInteger(file, "N", "badhex", 5), 5);
    EXPECT_EQ(ReadInteger(file, "N", "allbits", 5), -1);
    EXPECT_EQ(ReadInteger(file, "N", "empty", 5), 5);
    EXPECT_EQ(ReadInteger(file, "N", "space", 5), 5);
    EXPECT_EQ(ReadInteger(file, "N", "lower", 5), 255);
    EXPECT_EQ(ReadInteger(file, "N", "mixed", 5), 0xABC);
}

TEST_F(IniFile, booleansAreIntegersWithZeroFalse)
{
    testlgp::Save(file, "[B]\nzero=0\none=1\nseven=7\nword=yes\n");
    EXPECT_FALSE(ReadBool(file, "B", "zero", true));
    EXPECT_TRUE(ReadBool(file, "B", "one", false));
    EXPECT_TRUE(ReadBool(file, "B", "seven", false));
    EXPECT_FALSE(ReadBool(file, "B", "word", false));
    EXPECT_TRUE(ReadBool(file, "B", "word", true));
}

TEST_F(IniFile, writingCreatesFileSectionsAndKeysInWriteOrder)
{
    const std::string inSubFolder = (dir.path() / "sub" / "new.ini").string();
    WriteInteger(inSubFolder, "A", "Rev", 3);
    WriteString(inSubFolder, "A", "DockedTo", "dockTop");
    WriteBool(inSubFolder, "B", "Flat", false);
    WriteBool(inSubFolder, "A", "Visible", true);
    EXPECT_EQ(testlgp::LoadText(inSubFolder), "[A]\nRev=3\nDockedTo=dockTop\nVisible=1\n\n[B]\nFlat=0\n");
}

TEST_F(IniFile, writingOneKeyKeepsEverythingElse)
{
    const std::string before = "; settings\r\n[Other]\r\nx = 1\r\n\r\n[Tarrowin]\r\nWidth=100\r\nHeight=200\r\n"
                               "junk line\r\n";
    testlgp::Save(file, before);
    WriteInteger(file, "tarrowin", "width", 640);
    WriteString(file, "Tarrowin", "New", "v");
    EXPECT_EQ(testlgp::LoadText(file),
              "; settings\r\n[Other]\r\nx = 1\r\n\r\n[Tarrowin]\r\nwidth=640\r\nHeight=200\r\nNew=v\r\njunk line\r\n");
    EXPECT_EQ(ReadInteger(file, "Tarrowin", "Width", 0), 640);
}

TEST_F(IniFile, ofASectionNamedTwiceTheFirstCountsForReadingAndWriting)
{
    testlgp::Save(file, "[Tarrowin]\nWidth=300\n[Other]\nx=1\n[TARROWIN]\nWidth=900\nHeight=700\n");
    EXPECT_EQ(ReadInteger(file, "Tarrowin", "Width", 0), 300);
    EXPECT_EQ(ReadInteger(file, "Tarrowin", "Height", 5), 5);
    WriteInteger(file, "Tarrowin", "Width", 640);
    WriteInteger(file, "Tarrowin", "Height", 480);
    EXPECT_EQ(testlgp::LoadText(file),
              "[Tarrowin]\nWidth=640\nHeight=480\n[Other]\nx=1\n[TARROWIN]\nWidth=900\nHeight=700\n");
}

TEST_F(IniFile, valuesWithLineBreaksStayOnOneLine)
{
    WriteString(file, "S", "K", "a\nb=c\r\n[X]");
    WriteString(file, "S", "L", "next");
    EXPECT_EQ(ReadString(file, "S", "K", ""), "a b=c  [X]");
    EXPECT_EQ(ReadString(file, "S", "L", ""), "next");
    EXPECT_EQ(ReadString(file, "X", "K", "none"), "none");
}

TEST_F(IniFile, aFileThatCannotBeWrittenFailsAndStaysAsItWas)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions don't bind the superuser";
    const std::filesystem::path folder = dir.path() / "locked";
    std::filesystem::create_directories(folder);
    const std::string locked = (folder / "QUENWICK.INI").string();
    testlgp::Save(locked, "[S]\nK=1\n");
    ::chmod(folder.c_str(), 0500);
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { WriteString(locked, "S", "K", "2"); }),
              "Unable to write to " + locked);
    ::chmod(folder.c_str(), 0700);
    EXPECT_EQ(testlgp::LoadText(locked), "[S]\nK=1\n");
}

TEST_F(IniFile, aFolderWhereTheFileShouldBeFailsTheWrite)
{
    const std::filesystem::path folder = dir.path() / "QUENWICK.INI";
    std::filesystem::create_directories(folder);
    EXPECT_EQ(ReadString(folder.string(), "S", "K", "d"), "d");
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { WriteString(folder.string(), "S", "K", "2"); }),
              "Unable to write to " + folder.string());
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}
