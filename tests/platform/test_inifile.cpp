#include "platform/inifile.h"

#include "errors/errors.h"
#include "support/failure.h"
#include "support/gtestfolder.h"

#include <gmock/gmock.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace Platform::Ini;

TEST(IniFile, missingFileSectionOrKeyGivesTheDefault)
{
    TempFolder dir;
    const std::string file = dir.file("none.ini");
    EXPECT_EQ(ReadString(file, "S", "K", "dflt"), "dflt");
    EXPECT_EQ(ReadInteger(file, "S", "K", 42), 42);
    EXPECT_TRUE(ReadBool(file, "S", "K", true));

    testlgp::Save(file, "[Other]\nK=1\n[S]\nJ=2\n");
    EXPECT_EQ(ReadInteger(file, "S", "K", 7), 7);
    EXPECT_EQ(ReadInteger(file, "Missing", "J", 7), 7);
    EXPECT_EQ(ReadInteger(file, "S", "J", 7), 2);
}

TEST(IniFile, namesMatchCaseInsensitivelyAndValuesAreTrimmed)
{
    TempFolder dir;
    const std::string file = dir.file("a.ini");
    testlgp::Save(file, "; comment\r\n[tarrowin]\r\n  width  =  640  \r\nName=\"quoted text\"\r\n");
    EXPECT_EQ(ReadInteger(file, "Tarrowin", "Width", 0), 640);
    EXPECT_EQ(ReadString(file, "TARROWIN", "name", ""), "quoted text");
}

TEST(IniFile, integersReadHexAfter0xAndTheDefaultForAnythingElse)
{
    TempFolder dir;
    const std::string file = dir.file("n.ini");
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

TEST(IniFile, booleansAreIntegersWithZeroFalse)
{
    TempFolder dir;
    const std::string file = dir.file("b.ini");
    testlgp::Save(file, "[B]\nzero=0\none=1\nseven=7\nword=yes\n");
    EXPECT_FALSE(ReadBool(file, "B", "zero", true));
    EXPECT_TRUE(ReadBool(file, "B", "one", false));
    EXPECT_TRUE(ReadBool(file, "B", "seven", false));
    EXPECT_FALSE(ReadBool(file, "B", "word", false));
    EXPECT_TRUE(ReadBool(file, "B", "word", true));
}

TEST(IniFile, writingCreatesFileSectionsAndKeysInWriteOrder)
{
    TempFolder dir;
    const std::string file = (dir.path() / "sub" / "new.ini").string();
    WriteInteger(file, "A", "Rev", 3);
    WriteString(file, "A", "DockedTo", "dockTop");
    WriteBool(file, "B", "Flat", false);
    WriteBool(file, "A", "Visible", true);
    EXPECT_EQ(testlgp::LoadText(file), "[A]\nRev=3\nDockedTo=dockTop\nVisible=1\n\n[B]\nFlat=0\n");
}

TEST(IniFile, writingOneKeyKeepsEverythingElse)
{
    TempFolder dir;
    const std::string file = dir.file("keep.ini");
    const std::string before = "; settings\r\n[Other]\r\nx = 1\r\n\r\n[Tarrowin]\r\nWidth=100\r\nHeight=200\r\n"
                               "junk line\r\n";
    testlgp::Save(file, before);
    WriteInteger(file, "tarrowin", "width", 640);
    WriteString(file, "Tarrowin", "New", "v");
    EXPECT_EQ(testlgp::LoadText(file),
              "; settings\r\n[Other]\r\nx = 1\r\n\r\n[Tarrowin]\r\nwidth=640\r\nHeight=200\r\nNew=v\r\njunk line\r\n");
    EXPECT_EQ(ReadInteger(file, "Tarrowin", "Width", 0), 640);
}

TEST(IniFile, ofASectionNamedTwiceTheFirstCountsForReadingAndWriting)
{
    TempFolder dir;
    const std::string file = dir.file("twice.ini");
    testlgp::Save(file, "[Tarrowin]\nWidth=300\n[Other]\nx=1\n[TARROWIN]\nWidth=900\nHeight=700\n");
    EXPECT_EQ(ReadInteger(file, "Tarrowin", "Width", 0), 300);
    EXPECT_EQ(ReadInteger(file, "Tarrowin", "Height", 5), 5);
    WriteInteger(file, "Tarrowin", "Width", 640);
    WriteInteger(file, "Tarrowin", "Height", 480);
    EXPECT_EQ(testlgp::LoadText(file),
              "[Tarrowin]\nWidth=640\nHeight=480\n[Other]\nx=1\n[TARROWIN]\nWidth=900\nHeight=700\n");
}

TEST(IniFile, valuesWithLineBreaksStayOnOneLine)
{
    TempFolder dir;
    const std::string file = dir.file("nl.ini");
    WriteString(file, "S", "K", "a\nb=c\r\n[X]");
    WriteString(file, "S", "L", "next");
    EXPECT_EQ(ReadString(file, "S", "K", ""), "a b=c  [X]");
    EXPECT_EQ(ReadString(file, "S", "L", ""), "next");
    EXPECT_EQ(ReadString(file, "X", "K", "none"), "none");
}

TEST(IniFile, aFileThatCannotBeWrittenFailsAndStaysAsItWas)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions don't bind the superuser";
    TempFolder dir;
    const std::filesystem::path folder = dir.path() / "locked";
    std::filesystem::create_directories(folder);
    const std::string file = (folder / "QUENWICK.INI").string();
    testlgp::Save(file, "[S]\nK=1\n");
    ::chmod(folder.c_str(), 0500);
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { WriteString(file, "S", "K", "2"); }), "Unable to write to " + file);
    ::chmod(folder.c_str(), 0700);
    EXPECT_EQ(testlgp::LoadText(file), "[S]\nK=1\n");
}

TEST(IniFile, aFolderWhereTheFileShouldBeFailsTheWrite)
{
    TempFolder dir;
    const std::filesystem::path file = dir.path() / "QUENWICK.INI";
    std::filesystem::create_directories(file);
    EXPECT_EQ(ReadString(file.string(), "S", "K", "d"), "d");
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { WriteString(file.string(), "S", "K", "2"); }),
              "Unable to write to " + file.string());
    EXPECT_TRUE(std::filesystem::is_directory(file));
}
