// tarrowin-cli's archive commands, run as a separate program.
#include "core/lgpstruct.h"

#include "support/gamearchives.h"
#include "support/gtestfolder.h"
#include "support/lgpwriter.h"

#include "clirun.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

using namespace testlgp;
using testcli::Cli;
using testcli::Result;
using ::testing::HasSubstr;

namespace
{
    // What every message on stderr begins with.
    std::string Err() { return "tarrowin-cli: "; }

    std::string ProgramDir() { return std::filesystem::path(TARROWIN_CLI).parent_path().string() + "/"; }

    const Archive Sample{.Files = {{"a.tex", B("AAAA")}, {"b.p", B("")}, {"C.HRC", B("ccc")}}};
}

TEST(CliInfoList, printTheInfoLinesAndTheTable)
{
    TempFolder tmp;
    const auto path = tmp.save("sample.lgp", Write(Sample));
    const Result info = Cli(tmp, {"info", path});
    EXPECT_EQ(info.code, 0);
    EXPECT_EQ(info.out,
              "File: sample.lgp\n# of files in archive: 3\nCreator: SQUARESOFT\nDescription: FINAL FANTASY7\n");

    const Result list = Cli(tmp, {"list", path});
    EXPECT_EQ(list.code, 0);
    EXPECT_EQ(list.out, "a.tex\t97\t4\nb.p\t125\t0\nC.HRC\t149\t3\n");
    EXPECT_EQ(list.err, "");
    EXPECT_EQ(Cli(tmp, {"list", "--no-lengths", path}).out, "a.tex\t97\t-1\nb.p\t125\t-1\nC.HRC\t149\t-1\n");
}

TEST(CliInfoList, badOffsetsListAsErrorAndFailuresExitOne)
{
    TempFolder tmp;
    Writer w;
    w.header("SQUARESOFT", 2).toc("ok", 70).toc("far", 99999).dataEntry("ok", B("1")).text("T");
    const auto path = tmp.save("x.lgp", w.out);
    EXPECT_EQ(Cli(tmp, {"list", path}).out, "ok\t70\t1\nfar\t99999\tError\n");
    EXPECT_TRUE(
        testcli::FailsWith(Cli(tmp, {"info", tmp.file("missing.lgp")}),
                           Err() + "Cannot open file " + tmp.file("missing.lgp") + ": No such file or directory\n"));
    EXPECT_TRUE(testcli::FailsWith(Cli(tmp, {"list", tmp.save("cut.lgp", B("short"))}),
                                   Err() + "Stream read error: " + tmp.file("cut.lgp")
                                       + " is no LGP archive: it is shorter than the 16-byte header\n"));
}

TEST(CliUsage, helpAndUsageErrors)
{
    TempFolder tmp;
    const Result help = Cli(tmp, {"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* name :
         {"info", "list", "extract", "extract-all", "create", "verify", "analyse", "repair", "pack", "replace"})
    {
        EXPECT_THAT(help.out, HasSubstr(std::string("  ") + name + " ")) << name;
        const Result commandHelp = Cli(tmp, {name, "--help"});
        EXPECT_EQ(commandHelp.code, 0) << name;
        EXPECT_THAT(commandHelp.out, HasSubstr(std::string("Usage: tarrowin-cli ") + name)) << name;
    }
    EXPECT_EQ(Cli(tmp, {"list"}).code, 2);
    EXPECT_EQ(Cli(tmp, {"list", "--bogus", "x"}).code, 2);
    EXPECT_EQ(Cli(tmp, {"extract", "a", "b"}).code, 2);
    EXPECT_EQ(Cli(tmp, {"create", "--no-validation", "--validation-from", "x", "in", "out"}).code, 2);
    EXPECT_EQ(Cli(tmp, {"create", "in", "out", "--validation-from"}).code, 2);
    EXPECT_EQ(Cli(tmp, {"extract-all", "a.lgp", "out", "--only"}).code, 2);
    EXPECT_EQ(Cli(tmp, {"verify"}).code, 2);
    EXPECT_EQ(Cli(tmp, {}).code, 2);
}

TEST(CliExtract, oneEntryByNameCaseInsensitively)
{
    TempFolder tmp;
    const auto path = tmp.save("x.lgp", Write(Sample));
    EXPECT_EQ(Cli(tmp, {"extract", path, "c.hrc", tmp.file("out")}).code, 0);
    EXPECT_EQ(Load(tmp.file("out")), B("ccc"));
    EXPECT_TRUE(testcli::FailsWith(Cli(tmp, {"extract", path, "nope", tmp.file("out2")}),
                                   Err() + "The archive holds no entry named \"nope\".\n"));
    EXPECT_FALSE(std::filesystem::exists(tmp.file("out2")));
}

TEST(CliExtract, extractAllWritesEveryEntryIntoTheFolder)
{
    TempFolder tmp;
    const auto path = tmp.save("x.lgp", Write(Sample));
    EXPECT_EQ(Cli(tmp, {"extract-all", path, tmp.file("out")}).code, 0);
    EXPECT_EQ(Load(tmp.file("out/a.tex")), B("AAAA"));
    EXPECT_EQ(Load(tmp.file("out/b.p")), B(""));
    EXPECT_TRUE(std::filesystem::exists(tmp.file("out/b.p")));
    EXPECT_EQ(Load(tmp.file("out/C.HRC")), B("ccc"));
}

TEST(CliExtract, namesThatLeaveTheFolderAreRefusedBeforeWriting)
{
    TempFolder tmp;
    for (const std::string bad : {"../escape", "..", "sub/x", "a\\b", ""})
    {
        Writer w;
        w.header("SQUARESOFT", 2).toc("fine", 70).toc(bad, 95).dataEntry("fine", B("1")).dataEntry(bad, B("2"));
        const auto path = tmp.save("x.lgp", w.out);
        const Result r = Cli(tmp, {"extract-all", path, tmp.file("out")});
        EXPECT_EQ(r.code, 1) << bad;
        EXPECT_EQ(r.err, Err() + "The entry name \"" + bad
                             + "\" is not a plain file name; it cannot be written to a folder.\n");
        EXPECT_FALSE(std::filesystem::exists(tmp.file("out/fine"))) << bad;
        EXPECT_FALSE(std::filesystem::exists(tmp.file("escape")));
    }
}

TEST(CliCreate, withoutValidationMatchesTheLayoutByteForByte)
{
    TempFolder tmp;
    tmp.fill("in", {{"b.txt", B("bb")}, {"A.TXT", B("A")}, {"c.bin", B("")}});
    EXPECT_EQ(Cli(tmp, {"create", "--no-validation", tmp.file("in"), tmp.file("out.lgp")}).code, 0);
    EXPECT_EQ(Load(tmp.file("out.lgp")),
              Write(Archive{.Files = {{"A.TXT", B("A")}, {"b.txt", B("bb")}, {"c.bin", B("")}}}));
}

TEST(CliCreate, defaultUsesTheTemplateBesideTheProgram)
{
    TempFolder tmp;
    std::vector<File> files;
    std::vector<std::string> names;
    for (int i = 0; i < 5; ++i)
    {
        files.push_back({"f" + std::to_string(i), Pattern(static_cast<std::size_t>(i * 3), 2)});
        names.push_back(files.back().Name);
    }
    tmp.fill("in", files);
    Bytes table = GameLookupTable(names);
    table.resize(3602, 0);
    Result r;
    {
        // A template that indexes these names in name order: copied as it is.
        const ScopedProgramFile t(ProgramDir() + "LGP.5", table);
        r = Cli(tmp, {"create", tmp.file("in"), tmp.file("out.lgp")});
    }
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Load(tmp.file("out.lgp")), Write(Archive{.Files = files, .Validation = table}));
    const Result analyse = Cli(tmp, {"analyse", tmp.file("out.lgp")});
    EXPECT_EQ(analyse.out,
              "File: out.lgp\n# of files in archive: 5\nCreator: SQUARESOFT\nDescription: FINAL FANTASY7\n\n"
              "Section 1: Header: 151 bytes.\nSection 2: Error check: 3602 bytes.\n"
              "0 files have mismatched filenames.\nThere are no data gaps in the file (OK).\n");
}

TEST(CliCreate, missingTemplateGivesTheComputedLookupTable)
{
    TempFolder tmp;
    std::vector<File> files;
    for (int i = 0; i < 6; ++i)
        files.push_back({"f" + std::to_string(i), B("x")});
    tmp.fill("in", files);
    const ScopedProgramFile absent(ProgramDir() + "LGP.6", std::nullopt);
    const Result r = Cli(tmp, {"create", tmp.file("in"), tmp.file("out.lgp")});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "");
    // The table itself is checked by the core's tests; the command builds what the core builds.
    CreateArchiveFromFolder(tmp.file("in"), tmp.file("core.lgp"), false, true);
    EXPECT_EQ(Load(tmp.file("out.lgp")), Load(tmp.file("core.lgp")));
}

TEST(CliCreate, validationFromAnArchiveRebuildsItFromItsExtractedFiles)
{
    TempFolder tmp;
    // The copied table indexes the archive's TOC order, which is not name order here.
    const Archive original{.Files = {{"b.p", B("model")}, {"A.TEX", B("tex")}, {"c", B("")}},
                           .Validation = Pattern(3602, 5)};
    const auto path = tmp.save("orig.lgp", Write(original));
    ASSERT_EQ(Cli(tmp, {"extract-all", path, tmp.file("files")}).code, 0);
    EXPECT_EQ(Cli(tmp, {"create", "--validation-from", path, tmp.file("files"), tmp.file("re.lgp")}).code, 0);
    EXPECT_EQ(Load(tmp.file("re.lgp")), Write(original));

    Save(tmp.file("files/extra"), B("1"));
    Result r = Cli(tmp, {"create", "--validation-from", path, tmp.file("files"), tmp.file("bad.lgp")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, Err() + "The archive " + path
                         + " holds 3 files but the folder holds 4; its validation data can't be "
                           "reused. Only in the folder: \"extra\".\n");
    std::filesystem::remove(tmp.file("files/extra"));
    std::filesystem::rename(tmp.file("files/c"), tmp.file("files/d"));
    r = Cli(tmp, {"create", "--validation-from", path, tmp.file("files"), tmp.file("bad.lgp")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, Err() + "The folder's names are not the names in the archive " + path
                         + "; its validation data can't be "
                           "reused. Only in the folder: \"d\". Only in the archive: \"c\".\n");
    EXPECT_FALSE(std::filesystem::exists(tmp.file("bad.lgp")));

    // Case aside, the names are the archive's.
    std::filesystem::rename(tmp.file("files/d"), tmp.file("files/C"));
    std::filesystem::rename(tmp.file("files/A.TEX"), tmp.file("files/a.tex"));
    EXPECT_EQ(Cli(tmp, {"create", "--validation-from", path, tmp.file("files"), tmp.file("re2.lgp")}).code, 0);
    EXPECT_EQ(Load(tmp.file("re2.lgp")),
              Write(Archive{.Files = {{"b.p", B("model")}, {"a.tex", B("tex")}, {"C", B("")}},
                            .Validation = Pattern(3602, 5)}));
}

TEST(CliCreate, namesDifferingOnlyInCaseAreRefusedInEveryMode)
{
    TempFolder tmp;
    tmp.fill("in", {{"smab", B("1")}, {"SMAB", B("2")}});
    const auto source = tmp.save("two.lgp", Write(Archive{.Files = {{"smab", B("1")}, {"SMAB", B("2")}}}));
    for (const std::vector<std::string>& mode :
         {std::vector<std::string>{}, {"--no-validation"}, {"--validation-from", source}})
    {
        std::vector<std::string> args = {"create"};
        args.insert(args.end(), mode.begin(), mode.end());
        args.push_back(tmp.file("in"));
        args.push_back(tmp.file("out.lgp"));
        EXPECT_TRUE(testcli::FailsWith(
            Cli(tmp, args),
            Err()
                + "Names in an archive compare without case, so these files of the folder can't both be "
                  "stored: \"SMAB\" and \"smab\". Rename or remove one of each.\n"));
        EXPECT_FALSE(std::filesystem::exists(tmp.file("out.lgp")));
    }
}

namespace
{
    const std::vector<std::string> Spread = {"a.tex", "b.p", "C.HRC", "dd", "ee"}; // one slot each, far apart

    std::string Lost(std::size_t entry, const std::string& reason)
    {
        return "Lost: \"" + Spread[entry] + "\" (TOC entry " + std::to_string(entry + 1) + "): " + reason + "\n";
    }

    std::string Slot(std::size_t entry) { return "its slot (" + std::to_string(GameSlot(Spread[entry])) + ")"; }

    Archive SpreadArchive(Bytes validation)
    {
        Archive a{.Validation = std::move(validation)};
        for (std::size_t i = 0; i < Spread.size(); ++i)
            a.Files.push_back({Spread[i], Pattern(i * 5, std::uint8_t(i))});
        return a;
    }

    Bytes WithNoConflicts(Bytes table)
    {
        table.resize(3602, 0);
        return table;
    }
} // namespace

TEST(CliVerify, findsEveryNameOfAGoodTableAndListsTheLostOnes)
{
    TempFolder tmp;
    const Result good =
        Cli(tmp, {"verify", tmp.save("good.lgp", Write(SpreadArchive(WithNoConflicts(GameLookupTable(Spread)))))});
    EXPECT_EQ(good.code, 0);
    EXPECT_EQ(good.out, "All 5 names are found through the lookup table.\n");

    const Result zero = Cli(tmp, {"verify", tmp.save("zero.lgp", Write(SpreadArchive(Bytes(3602, 0))))});
    EXPECT_EQ(zero.code, 3); // checked, and names are lost
    std::string expected;
    for (std::size_t i = 0; i < Spread.size(); ++i)
        expected += Lost(i, Slot(i) + " is empty");
    EXPECT_EQ(zero.out, expected + "5 of 5 names are lost to the game.\n");

    // Every slot's entry moved one slot on.
    Bytes shifted(4, 0);
    const Bytes table = GameLookupTable(Spread);
    shifted.insert(shifted.end(), table.begin(), table.end() - 4);
    const Result slotOff = Cli(tmp, {"verify", tmp.save("slot.lgp", Write(SpreadArchive(WithNoConflicts(shifted))))});
    EXPECT_EQ(slotOff.code, 3); // checked, and names are lost
    EXPECT_EQ(slotOff.out, expected + "5 of 5 names are lost to the game.\n");

    // Every slot's first TOC entry one on.
    Bytes firstOff = table;
    for (std::size_t at = 0; at < 3600; at += 4)
    {
        if (firstOff[at + 2] != 0)
            ++firstOff[at];
    }
    const Result indexOff =
        Cli(tmp, {"verify", tmp.save("first.lgp", Write(SpreadArchive(WithNoConflicts(firstOff))))});
    EXPECT_EQ(indexOff.code, 3); // checked, and names are lost
    expected.clear();
    for (std::size_t i = 0; i < Spread.size(); ++i)
    {
        const std::string run = " covers TOC entries " + std::to_string(i + 2) + " to " + std::to_string(i + 2);
        expected += Lost(i, Slot(i) + run
                                + (i + 1 < Spread.size() ? ", which don't hold it" : ", outside the TOC's 5 entries"));
    }
    EXPECT_EQ(indexOff.out, expected + "5 of 5 names are lost to the game.\n");

    const Result none = Cli(tmp, {"verify", tmp.save("none.lgp", Write(SpreadArchive({})))});
    EXPECT_EQ(none.code, 3); // checked, and names are lost
    EXPECT_THAT(none.out, HasSubstr(Lost(0, "the validation data (0 bytes) holds no lookup table")));
}

namespace
{
    Bytes RepeatedNames(std::uint16_t records, const std::string& after = "")
    {
        return RepeatedNamesArchive(records, {"fire", "ice", "bolt"}, after);
    }
} // namespace

TEST(CliVerify, repeatedNamesAreFoundThroughTheConflictTable)
{
    TempFolder tmp;
    // A longer validation region than the tables need is no failure.
    const Result good = Cli(tmp, {"verify", tmp.save("magic.lgp", RepeatedNames(3, "more bytes"))});
    EXPECT_EQ(good.code, 0);
    EXPECT_EQ(good.out, "Through the conflict table: \"wind_1.p\" (TOC entry 1) in folder \"fire\"\n"
                        "Through the conflict table: \"wind_1.p\" (TOC entry 2) in folder \"ice\"\n"
                        "Through the conflict table: \"wind_1.p\" (TOC entry 3) in folder \"bolt\"\n"
                        "All 4 names are found through the lookup table (3 through the conflict table).\n");

    const Result cut = Cli(tmp, {"verify", tmp.save("cut.lgp", RepeatedNames(9))});
    EXPECT_EQ(cut.code, 3); // checked, and names are lost
    std::string expected;
    for (int i = 1; i <= 3; ++i)
        expected += "Lost: \"wind_1.p\" (TOC entry " + std::to_string(i)
                    + "): the name leads to conflict 1, but the conflict table can't be read\n";
    EXPECT_EQ(cut.out, expected
                           + "Fault: the conflict table runs past the end of the validation data (3994 bytes).\n"
                             "3 of 4 names are lost to the game.\n1 fault in the conflict table.\n");

    const Result fewer = Cli(tmp, {"verify", tmp.save("fewer.lgp", RepeatedNames(2, std::string(200, 'x')))});
    EXPECT_EQ(fewer.code, 3); // checked, and names are lost
    EXPECT_EQ(fewer.out, "Through the conflict table: \"wind_1.p\" (TOC entry 1) in folder \"fire\"\n"
                         "Through the conflict table: \"wind_1.p\" (TOC entry 2) in folder \"ice\"\n"
                         "Lost: \"wind_1.p\" (TOC entry 3): conflict 1 of the conflict table has no record for it\n"
                         "Fault: TOC entry 3 (\"wind_1.p\") names conflict 1, which has no record for it.\n"
                         "Fault: conflict 1 holds 2 records for the 3 TOC entries that name it.\n"
                         "1 of 4 names are lost to the game.\n2 faults in the conflict table.\n");
}

TEST(CliExtract, repeatedNamesGoIntoTheirConflictFoldersOrAreRefused)
{
    TempFolder tmp;
    EXPECT_EQ(Cli(tmp, {"extract-all", tmp.save("magic.lgp", RepeatedNames(3)), tmp.file("out")}).code, 0);
    EXPECT_EQ(Load(tmp.file("out/fire/wind_1.p")), B("fire")); // the first copy in its folder too
    EXPECT_FALSE(std::filesystem::exists(tmp.file("out/wind_1.p")));
    EXPECT_EQ(Load(tmp.file("out/ice/wind_1.p")), B("ice"));
    EXPECT_EQ(Load(tmp.file("out/bolt/wind_1.p")), B("bolt"));
    EXPECT_EQ(Load(tmp.file("out/x.p")), B("x"));

    // Without a readable conflict table the names have nowhere of their own.
    const auto cut = tmp.save("cut.lgp", RepeatedNames(9));
    EXPECT_TRUE(testcli::FailsWith(
        Cli(tmp, {"extract-all", cut, tmp.file("cut")}),
        Err()
            + "Several entries of the archive share the names \"wind_1.p\", and its conflict table gives "
              "them no folders of their own; extracting them all would write them to one file. Nothing "
              "was written. Add --numbered to extract them under numbered names.\n"));
    EXPECT_FALSE(std::filesystem::exists(tmp.file("cut")));

    EXPECT_EQ(Cli(tmp, {"extract-all", "--numbered", cut, tmp.file("cut")}).code, 0);
    EXPECT_EQ(Load(tmp.file("cut/wind_1.p")), B("fire"));
    EXPECT_EQ(Load(tmp.file("cut/wind_1 (2).p")), B("ice"));
    EXPECT_EQ(Load(tmp.file("cut/wind_1 (3).p")), B("bolt"));
}

TEST(CliExtract, onlyEntriesMatchingAPattern)
{
    TempFolder tmp;
    Archive a = Sample;
    a.Files.push_back({"d.TEX", B("D")});
    const auto path = tmp.save("x.lgp", Write(a));
    EXPECT_EQ(Cli(tmp, {"extract-all", "--only", "*.tex", path, tmp.file("tex")}).code, 0);
    EXPECT_EQ(Load(tmp.file("tex/a.tex")), B("AAAA"));
    EXPECT_EQ(Load(tmp.file("tex/d.TEX")), B("D"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.file("tex")), {}), 2);

    EXPECT_EQ(Cli(tmp, {"extract-all", "--only=c.*", "--only", "?.[o-q]", path, tmp.file("two")}).code, 0);
    EXPECT_EQ(Load(tmp.file("two/C.HRC")), B("ccc"));
    EXPECT_TRUE(std::filesystem::exists(tmp.file("two/b.p")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.file("two")), {}), 2);

    const Result none = Cli(tmp, {"extract-all", "--only", "*.zzz", path, tmp.file("none")});
    EXPECT_EQ(none.code, 1);
    EXPECT_EQ(none.err, Err() + "No entry of " + path + " matches \"*.zzz\"; nothing was written.\n");
    EXPECT_FALSE(std::filesystem::exists(tmp.file("none")));
}

TEST(CliMaintenance, repairThenPackAnEditedArchive)
{
    TempFolder tmp;
    // TOC offsets all wrong; data a, old b, b.
    Writer w;
    w.header("SQUARESOFT", 2).toc("a", 5).toc("b", 6);
    w.dataEntry("a", B("1")).dataEntry("b", B("old")).dataEntry("b", B("new")).text("FINAL FANTASY7");
    const auto path = tmp.save("x.lgp", w.out);
    EXPECT_EQ(Cli(tmp, {"repair", path}).code, 0);
    EXPECT_EQ(Cli(tmp, {"list", path}).out, "a\t70\t1\nb\t95\t3\n");
    EXPECT_EQ(Cli(tmp, {"pack", path}).code, 0);
    // The newer "b" is referenced by nothing after the repair: packing drops it.
    EXPECT_EQ(Load(path).size(), w.size() - 27);
    EXPECT_EQ(Cli(tmp, {"analyse", path}).out.find("There are no data gaps in the file (OK).") != std::string::npos,
              true);
    EXPECT_EQ(Cli(tmp, {"pack", tmp.file("missing")}).err,
              Err() + "Cannot open file " + tmp.file("missing") + ": No such file or directory\n");
}

TEST(CliReplace, rewritesInPlaceWhatFitsAndAppendsWhatDoesNot)
{
    TempFolder tmp;
    const auto path = tmp.save("x.lgp", Write(Sample));
    Save(tmp.file("same"), B("WXYZ"));
    const Result same = Cli(tmp, {"replace", path, "A.TEX", tmp.file("same")});
    EXPECT_EQ(same.code, 0) << same.err;
    EXPECT_EQ(same.out, "A.TEX: rewritten in place\n");
    EXPECT_EQ(Load(path), Write(Archive{.Files = {{"a.tex", B("WXYZ")}, {"b.p", B("")}, {"C.HRC", B("ccc")}}}));

    // The last data entry grows where it is; the trailing text follows it.
    Save(tmp.file("longer"), B("a longer skeleton"));
    EXPECT_EQ(Cli(tmp, {"replace", path, "c.hrc", tmp.file("longer")}).code, 0);
    EXPECT_EQ(Load(path),
              Write(Archive{.Files = {{"a.tex", B("WXYZ")}, {"b.p", B("")}, {"C.HRC", B("a longer skeleton")}}}));

    // Too long for its place: appended, the table entry keeps its place and points there.
    Save(tmp.file("big"), Pattern(300));
    const Result big = Cli(tmp, {"replace", path, "a.tex", tmp.file("big")});
    EXPECT_EQ(big.code, 0) << big.err;
    EXPECT_EQ(big.out, "a.tex: appended, table entry relinked\n");
    const std::int32_t appendedAt = 149 + 24 + 17;
    EXPECT_EQ(Cli(tmp, {"list", path}).out,
              "a.tex\t" + std::to_string(appendedAt) + "\t300\nb.p\t125\t0\nC.HRC\t149\t17\n");
    EXPECT_EQ(Cli(tmp, {"extract", path, "a.tex", tmp.file("out")}).code, 0);
    EXPECT_EQ(Load(tmp.file("out")), Pattern(300));
    EXPECT_EQ(Cli(tmp, {"analyse", path}).code, 0);
}

TEST(CliReplace, keepsTheDataEntrysOwnNameAndReplacesTheFirstOfARepeatedName)
{
    TempFolder tmp;
    Writer w;
    w.header("SQUARESOFT", 3).toc("a", 97).toc("dup", 125).toc("dup", 152);
    w.dataEntry("a.patch", B("1234")).dataEntry("dup", B("one")).dataEntry("dup", B("two")).text("FINAL FANTASY7");
    const auto path = tmp.save("x.lgp", w.out);
    const std::string analysed = Cli(tmp, {"analyse", path}).out;
    Save(tmp.file("new"), B("WXYZ"));
    EXPECT_EQ(Cli(tmp, {"replace", path, "a", tmp.file("new")}).out, "a: rewritten in place\n");
    EXPECT_EQ(DataName(Load(path), 0), "a.patch");
    EXPECT_EQ(Cli(tmp, {"analyse", path}).out, analysed);

    // A name two entries carry can't say which to change: refused, unchanged.
    Save(tmp.file("new"), B("ONE"));
    const Bytes before = Load(path);
    EXPECT_TRUE(testcli::FailsWith(
        Cli(tmp, {"replace", path, "DUP", tmp.file("new")}),
        Err()
            + "The archive holds 2 entries named \"DUP\"; name one by its folder: \"dup\" (TOC entry 2, "
              "no folder), \"dup\" (TOC entry 3, no folder).\n"));
    EXPECT_EQ(Load(path), before);
    EXPECT_EQ(EntryData(Load(path), 1), B("one"));
    EXPECT_EQ(EntryData(Load(path), 2), B("two"));
}

TEST(CliReplace, sharedDataIsNeverOverwritten)
{
    TempFolder tmp;
    Writer w;
    w.header("SQUARESOFT", 2).toc("one", 70).toc("two", 70).dataEntry("one", B("old!")).text("FINAL FANTASY7");
    const auto path = tmp.save("x.lgp", w.out);
    Save(tmp.file("new"), B("new!"));
    const Result r = Cli(tmp, {"replace", path, "two", tmp.file("new")});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Cli(tmp, {"list", path}).out, "one\t70\t4\ntwo\t98\t4\n");
    EXPECT_EQ(Cli(tmp, {"extract", path, "one", tmp.file("one")}).code, 0);
    EXPECT_EQ(Load(tmp.file("one")), B("old!"));
    EXPECT_EQ(Cli(tmp, {"extract", path, "two", tmp.file("two")}).code, 0);
    EXPECT_EQ(Load(tmp.file("two")), B("new!"));
}

TEST(CliReplace, failuresChangeNothingAndExitOne)
{
    TempFolder tmp;
    const Bytes original = Write(Sample);
    const auto path = tmp.save("x.lgp", original);
    Save(tmp.file("new"), B("data"));
    EXPECT_TRUE(testcli::FailsWith(Cli(tmp, {"replace", path, "nope", tmp.file("new")}),
                                   Err() + "The archive holds no entry named \"nope\".\n"));
    EXPECT_TRUE(testcli::FailsWith(Cli(tmp, {"replace", path, "a.tex", tmp.file("absent")}),
                                   Err() + "Cannot open file " + tmp.file("absent") + ": No such file or directory\n"));
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    EXPECT_TRUE(testcli::FailsWith(Cli(tmp, {"replace", path, "a.tex", tmp.file("new")}),
                                   Err() + "Cannot open file " + path + ": Permission denied\n"));
    EXPECT_EQ(Load(path), original);
    EXPECT_EQ(Cli(tmp, {"replace", path, "a.tex"}).code, 2);
    EXPECT_EQ(Cli(tmp, {"replace", "--force", path, "a.tex", tmp.file("new")}).code, 2);
}

TEST(CliMaintenance, damagedArchivesAreRefusedAndLongTrailingTextsKept)
{
    TempFolder tmp;
    const Archive original{.Files = {{"a", Pattern(10, 1)}, {"b", Pattern(40, 2)}, {"c", Pattern(30, 3)}},
                           .Trailing = B("FINAL FANTASY7 - modded by X")};
    // b's Length damaged: c lies behind what the scan takes for trailing text.
    Bytes damaged = Write(original);
    damaged[DataStart(original) + 34 + 23] = 0x30;
    const auto path = tmp.save("damaged.lgp", damaged);
    for (const char* command : {"pack", "repair"})
    {
        const Result r = Cli(tmp, {command, path});
        if (std::string(command) == "pack")
        {
            EXPECT_EQ(r.code, 1);
            EXPECT_EQ(r.err, Err() + "The archive " + path
                                 + " is damaged: the TOC entry \"c\" (number 3) points at data that the scan of its "
                                   "data entries does not reach. Nothing was changed; run Repair on it first.\n");
        }
        EXPECT_EQ(Load(path), damaged) << command;
    }

    // A long trailing text survives packing, behind the packed data.
    const auto modded = tmp.save("modded.lgp", Write(original));
    {
        TRawLGPFile raw(modded);
        ASSERT_TRUE(raw.RewriteDataEntry(1, [] {
            static const Bytes data = Pattern(20, 9);
            RawDataEntry e;
            e.Name = FieldFromName("b");
            e.Length = 20;
            e.Data = data;
            return e;
        }()));
    }
    ASSERT_EQ(Cli(tmp, {"pack", modded}).code, 0);
    Archive packed = original;
    packed.Files[1].Data = Pattern(20, 9);
    EXPECT_EQ(Load(modded), Write(packed));
}

TEST(CliMaintenance, gapMarkerLeadingOntoTheTrailingTextLeavesTheArchiveEditable)
{
    TempFolder tmp;
    // m rewritten shorter, then the data truncated at z.
    const Archive original{.Files = {{"a", Pattern(10, 1)}, {"m", Pattern(100, 2)}, {"z", Pattern(5, 3)}}};
    const auto path = tmp.save("x.lgp", Write(original));
    {
        TRawLGPFile raw(path);
        static const Bytes shorter = Pattern(60, 4);
        RawDataEntry e;
        e.Name = FieldFromName("m");
        e.Length = 60;
        e.Data = shorter;
        ASSERT_TRUE(raw.RewriteDataEntry(1, e));
        raw.TruncateData(2);
    }
    Writer patch;
    patch.header("QUENWICK-LGP", 1).toc("M", 43).dataEntry("M", Writer().u8(0x02).u8(0x03).u8('X').u8(54).out);
    patch.text("LGP PATCH FILE");
    const auto patchPath = tmp.save("p.lgp", patch.out);

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"repair", path}, {"apply-patch", path, patchPath}, {"pack", path}})
    {
        const Result r = Cli(tmp, args);
        EXPECT_EQ(r.code, 0) << args[0] << ": " << r.err;
    }
    Bytes patched = Pattern(60, 4);
    patched[4] = 'X';
    // z's data was cut off: its Offset still names where it was, now past the end.
    EXPECT_EQ(Cli(tmp, {"list", path}).out, "a\t97\t10\nm\t131\t60\nz\t255\tError\n");
    const Bytes after = Load(path);
    EXPECT_EQ(after.size(), 131u + 24 + 60 + 14);
    EXPECT_EQ(Bytes(after.end() - 14, after.end()), B("FINAL FANTASY7"));
    TLGPFile index(path, true);
    TMemoryStream m;
    index.ReadEntryData(1, m);
    EXPECT_EQ(m.Vector(), patched);
}

TEST(CliRefusals, readOnlyOutputsAndFilesOfOtherKindsAreRefused)
{
    TempFolder tmp;
    const auto path = tmp.save("x.lgp", Write(Sample));
    const auto kept = tmp.save("kept", B("keep me"));
    ::chmod(kept.c_str(), 0444);
    const std::string folder = tmp.fill("in", {{"a.txt", B("a")}});
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"extract", path, "a.tex", kept}, {"create", "--no-validation", folder, kept}})
    {
        EXPECT_TRUE(testcli::FailsWith(Cli(tmp, args), Err() + "Cannot create file " + kept + ": Permission denied\n"))
            << args[0];
        EXPECT_EQ(Load(kept), B("keep me")) << args[0];
    }

    // A FIFO or a directory as an archive, a FIFO as an output: refused at once.
    const auto fifo = tmp.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    for (const std::string& archive : {fifo, tmp.dir()})
    {
        for (const char* command : {"info", "list", "analyse", "repair", "pack"})
        {
            EXPECT_TRUE(testcli::FailsWith(Cli(tmp, {command, archive}),
                                           Err() + "Cannot open file " + archive
                                               + (archive == fifo ? ": Invalid argument\n" : ": Is a directory\n")))
                << command;
        }
    }
    EXPECT_TRUE(testcli::FailsWith(Cli(tmp, {"extract", path, "a.tex", fifo}),
                                   Err() + "Cannot create file " + fifo + ": Invalid argument\n"));
}

namespace
{
    // Every copy of game's entries is reached the game's way, through its
    // folder, and holds its data.
    void ExpectEveryCopyFound(const Bytes& built, const GameArchive& game)
    {
        for (const auto& e : game.Entries)
        {
            const auto found = GameFinds(built, e.Folder, e.Name);
            ASSERT_TRUE(found) << e.Folder << "/" << e.Name;
            EXPECT_EQ(EntryData(built, *found), e.Data) << e.Folder << "/" << e.Name;
        }
    }
} // namespace

TEST(CliGameArchives, magicStyleSurvivesExtractAllCreateAndCreateLike)
{
    TempFolder tmp;
    const GameArchive magic = MagicStyleArchive();
    const Bytes original = WriteGame(magic);
    const auto path = tmp.save("magic.lgp", original);
    ASSERT_EQ(Cli(tmp, {"extract-all", path, tmp.file("tree")}).code, 0);
    EXPECT_EQ(Load(tmp.file("tree/fire/fire_1.p")), B("fire"));
    EXPECT_EQ(Load(tmp.file("tree/fire/wind_1.p")), Pattern(300, 7));
    EXPECT_EQ(Load(tmp.file("tree/wind/wind_1.p")), Pattern(1000, 9));
    EXPECT_EQ(Load(tmp.file("tree/fire.tex")), B("a texture"));
    EXPECT_FALSE(std::filesystem::exists(tmp.file("tree/wind_1.p")));

    const Result made = Cli(tmp, {"create", tmp.file("tree"), tmp.file("made.lgp")});
    EXPECT_EQ(made.code, 0) << made.err;
    EXPECT_EQ(made.err, "");
    const Bytes built = Load(tmp.file("made.lgp"));
    EXPECT_EQ(FileCount(built), 12u);
    ExpectEveryCopyFound(built, magic);
    const Result verify = Cli(tmp, {"verify", tmp.file("made.lgp")});
    EXPECT_EQ(verify.code, 0) << verify.out;
    EXPECT_THAT(verify.out,
                HasSubstr("All 12 names are found through the lookup table (10 through the conflict table).\n"));

    const Result like = Cli(tmp, {"create", "--like", path, tmp.file("tree"), tmp.file("like.lgp")});
    EXPECT_EQ(like.code, 0) << like.err;
    EXPECT_EQ(like.err, "");
    EXPECT_EQ(Load(tmp.file("like.lgp")), original);

    const Result analyse = Cli(tmp, {"analyse", path});
    EXPECT_THAT(analyse.out, HasSubstr("Section 2: Error check: 4910 bytes.\n     (a lookup table and a conflict "
                                       "table: 4 repeated names, 10 records)\n"));
}

TEST(CliGameArchives, foldersExtractedWithTheFirstCopyAtTheTop)
{
    TempFolder tmp;
    const Bytes original = WriteGame(MagicStyleArchive());
    const auto path = tmp.save("magic.lgp", original);
    ASSERT_EQ(Cli(tmp, {"extract-all", path, tmp.file("tree")}).code, 0);
    // As earlier versions wrote it: the first copy at the top, its folder unused.
    std::filesystem::rename(tmp.file("tree/fire/fire_1.p"), tmp.file("tree/fire_1.p"));
    const Result plain = Cli(tmp, {"create", tmp.file("tree"), tmp.file("plain.lgp")});
    EXPECT_EQ(plain.code, 1);
    EXPECT_EQ(plain.err,
              Err()
                  + "These names lie at the top of the folder and in its sub-folders: \"fire_1.p\". The game tells the "
                    "copies of a name apart by their folders only, so every copy must lie in a sub-folder (folders "
                    "extracted by earlier versions hold the first copy at the top: move it into its folder, or rebuild "
                    "with create --like ARCHIVE). Nothing was written.\n");
    EXPECT_FALSE(std::filesystem::exists(tmp.file("plain.lgp")));
    const Result like = Cli(tmp, {"create", "--like", path, tmp.file("tree"), tmp.file("like.lgp")});
    EXPECT_EQ(like.code, 0) << like.err;
    EXPECT_EQ(Load(tmp.file("like.lgp")), original);
}

TEST(CliGameArchives, oneCopyIsListedExtractedAndReplacedByItsFolder)
{
    TempFolder tmp;
    const GameArchive magic = MagicStyleArchive();
    const auto path = tmp.save("magic.lgp", WriteGame(magic));
    const Result list = Cli(tmp, {"list", "--no-lengths", path});
    EXPECT_THAT(list.out, HasSubstr("\nfire/wind_1.p\t"));
    EXPECT_THAT(list.out, HasSubstr("\nice/wind_1.p\t"));
    EXPECT_THAT(list.out, HasSubstr("\nfire.tex\t"));

    EXPECT_EQ(Cli(tmp, {"extract", path, "ICE/wind_1.P", tmp.file("ice.p")}).code, 0);
    EXPECT_EQ(Load(tmp.file("ice.p")), Pattern(40, 8));
    EXPECT_EQ(Cli(tmp, {"extract", path, "wind_1.p", tmp.file("first.p")}).code, 0);
    EXPECT_EQ(Load(tmp.file("first.p")), Pattern(300, 7)); // a bare name reads the first copy

    Save(tmp.file("new.p"), B("a new wind"));
    const Bytes before = Load(path);
    EXPECT_TRUE(testcli::FailsWith(
        Cli(tmp, {"replace", path, "wind_1.p", tmp.file("new.p")}),
        Err()
            + "The archive holds 3 entries named \"wind_1.p\"; name one by its folder: \"fire/wind_1.p\", "
              "\"ice/wind_1.p\", \"wind/wind_1.p\".\n"));
    EXPECT_EQ(Load(path), before);
    EXPECT_EQ(Cli(tmp, {"replace", path, "wind/wind_1.p", tmp.file("new.p")}).code, 0);
    GameArchive changed = magic;
    changed.Entries[10].Data = B("a new wind");
    ExpectEveryCopyFound(Load(path), changed);
}

TEST(CliGameArchives, battleStyleRebuildsByteForByteWithCreateLike)
{
    TempFolder tmp;
    const Bytes original = WriteGame(BattleStyleArchive());
    const auto path = tmp.save("battle.lgp", original);
    ASSERT_EQ(Cli(tmp, {"extract-all", path, tmp.file("tree")}).code, 0);
    EXPECT_EQ(Load(tmp.file("tree/abcdefghijklmnopqrst")), Pattern(33, 2));
    // "smab" and "SMAB" hold the same bytes: one file holds both.
    EXPECT_EQ(Load(tmp.file("tree/smab")), B("same bytes"));
    const Result like = Cli(tmp, {"create", "--like", path, tmp.file("tree"), tmp.file("like.lgp")});
    EXPECT_EQ(like.code, 0) << like.err;
    EXPECT_EQ(Load(tmp.file("like.lgp")), original);
    // The game's own layout is no problem to analyse.
    EXPECT_EQ(Cli(tmp, {"analyse", path}).code, 0);
}

TEST(CliGameArchives, createLikeTakesAddedFilesBySlotAndListsMissingOnes)
{
    TempFolder tmp;
    const GameArchive magic = MagicStyleArchive();
    const auto path = tmp.save("magic.lgp", WriteGame(magic));
    ASSERT_EQ(Cli(tmp, {"extract-all", path, tmp.file("tree")}).code, 0);
    std::filesystem::remove(tmp.file("tree/ice2/ice_1.p"));
    Save(tmp.file("tree/new.p"), B("new"));
    Save(tmp.file("tree/water/wind_1.p"), B("water"));
    const Result like = Cli(tmp, {"create", "--like", path, tmp.file("tree"), tmp.file("like.lgp")});
    EXPECT_EQ(like.code, 0) << like.err;
    EXPECT_EQ(like.err, "The files of the folder are not the files of the archive " + path
                            + ", so its lookup and conflict tables were computed again.\nThese entries of the archive "
                            + path + " are not in the folder and were left out: \"ice2/ice_1.p\".\nThese files of the "
                            + "folder are not in the archive " + path + " and were added: \"new.p\", "
                            + "\"water/wind_1.p\".\n");
    const Bytes built = Load(tmp.file("like.lgp"));
    GameArchive expected = magic;
    expected.Entries.erase(expected.Entries.begin() + 7);
    expected.Entries.push_back({"new.p", B("new")});
    expected.Entries.push_back({"wind_1.p", B("water"), "water"});
    ExpectEveryCopyFound(built, expected);
    EXPECT_EQ(FileCount(built), 13u);
    EXPECT_EQ(Cli(tmp, {"verify", tmp.file("like.lgp")}).code, 0);

    // An added name the game can't look up is refused, as by any Create.
    Save(tmp.file("tree/z"), B("z"));
    const Result lost = Cli(tmp, {"create", "--like", path, tmp.file("tree"), tmp.file("lost.lgp")});
    EXPECT_EQ(lost.code, 1);
    EXPECT_THAT(lost.err, HasSubstr("The game can't look up these names, so it would never find them in the archive: "
                                    "\"z\"."));
    EXPECT_FALSE(std::filesystem::exists(tmp.file("lost.lgp")));
}

TEST(CliCreate, aTemplateThatLosesNamesGivesWayToTheComputedTable)
{
    TempFolder tmp;
    tmp.fill("in", {{"aaaa", B("a")}, {"0zzz", B("0")}});
    // The right table for these names in slot order; the template builder
    // stores them in name order ("0zzz" first), which that table doesn't index.
    Bytes table = GameLookupTable({"aaaa", "0zzz"});
    table.resize(3602, 0);
    Result r;
    {
        const ScopedProgramFile t(ProgramDir() + "LGP.2", table);
        r = Cli(tmp, {"create", tmp.file("in"), tmp.file("out.lgp")});
    }
    EXPECT_EQ(r.code, 0);
    EXPECT_THAT(r.err, HasSubstr("LGP.2 would leave 2 of 2 names lost to the game, so the lookup table was computed "
                                 "instead.\n"));
    EXPECT_THAT(NamesTheGameMisses(Load(tmp.file("out.lgp"))), ::testing::ElementsAre());
    EXPECT_EQ(Cli(tmp, {"verify", tmp.file("out.lgp")}).code, 0);
}

TEST(CliCreate, subFoldersAreReadAndWhatIsLeftOutIsListed)
{
    TempFolder tmp;
    tmp.fill("in", {{"aa.p", B("1")},
                    {".x", B("h")},
                    {"sub/only.p", B("o")},
                    {"sub/.y", B("h")},
                    {"sub/deep/zz.p", B("d")},
                    {"twenty_characters.tx", B("t")}});
    const Result r = Cli(tmp, {"create", tmp.file("in"), tmp.file("out.lgp")});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "Hidden files and folders were left out: \".x\", \"sub/.y\".\nOnly the files of the folder and "
                     "of its sub-folders are stored; left out: \"sub/deep/\".\n");
    // A sub-folder's file whose name repeats nowhere is a plain entry; a
    // name of 20 characters fills its field.
    EXPECT_THAT(Entries(Load(tmp.file("out.lgp"))), ::testing::ElementsAre(File{"aa.p", B("1")}, File{"only.p", B("o")},
                                                                           File{"twenty_characters.tx", B("t")}));
    EXPECT_EQ(Cli(tmp, {"verify", tmp.file("out.lgp")}).code, 0);
}

TEST(CliVerify, conflictRecordFaultsAreReported)
{
    TempFolder tmp;
    const GameArchive magic = MagicStyleArchive();
    // The second record of conflict 1 ("bolt_1.p" in "bolt2") holds its TOC index here.
    const std::size_t second = 3600 + 2 + 2 + 130 + 128;
    Bytes validation = GameValidation(magic);
    PutU16(validation, second, 11);
    const Result other = Cli(tmp, {"verify", tmp.save("other.lgp", WriteGame(magic, validation))});
    EXPECT_EQ(other.code, 3); // checked, faults found
    EXPECT_THAT(other.out, HasSubstr("Fault: TOC entry 2 (\"bolt_1.p\") names conflict 1, which has no record for "
                                     "it.\nFault: conflict 1, record 2 (folder \"bolt2\") points at TOC entry 12 "
                                     "(\"x.p\"), which is no copy of \"bolt_1.p\".\n"));
    EXPECT_THAT(other.out, HasSubstr("\n2 faults in the conflict table.\n"));

    PutU16(validation, second, 40);
    const Result past = Cli(tmp, {"verify", tmp.save("past.lgp", WriteGame(magic, validation))});
    EXPECT_EQ(past.code, 3); // checked, faults found
    EXPECT_THAT(past.out, HasSubstr("Fault: conflict 1, record 2 (folder \"bolt2\") points at TOC entry 41, past the "
                                    "TOC's 12 entries.\n"));

    // A plain name whose TOC field names a conflict: no record, and conflict
    // 5 that the table doesn't hold.
    Bytes bytes = WriteGame(magic);
    PutU16(bytes, 16 + 27 * 11 + 25, 5);
    const Result field = Cli(tmp, {"verify", tmp.save("field.lgp", bytes)});
    EXPECT_EQ(field.code, 3); // checked, faults found
    EXPECT_THAT(field.out,
                HasSubstr("Fault: TOC entry 12 (\"x.p\") names conflict 5, but the conflict table holds 4.\n"));
    PutU16(bytes, 16 + 27 * 11 + 25, 4);
    const Result counts = Cli(tmp, {"verify", tmp.save("counts.lgp", bytes)});
    EXPECT_THAT(counts.out, HasSubstr("Fault: conflict 4 holds 3 records for the 4 TOC entries that name it.\n"));
}

TEST(CliRefusals, anOutputThatIsAlsoAnInputIsRefusedBeforeAnythingIsWritten)
{
    TempFolder tmp;
    const Bytes archive = Write(Sample);
    const auto path = tmp.save("a.lgp", archive);
    const std::string link = tmp.file("link.lgp");
    std::filesystem::create_symlink(path, link);
    const std::string hard = tmp.file("hard.lgp");
    std::filesystem::create_hard_link(path, hard);
    const std::string folder = tmp.fill("dir", {{"a.tex", B("AAAA")}, {"b.p", B("")}, {"C.HRC", B("new")}});
    // A patch and a self-extracting program to feed the commands that read them.
    ASSERT_EQ(Cli(tmp, {"make-patch", path, folder, tmp.file("p.lgp")}).code, 0);
    const Bytes patch = Load(tmp.file("p.lgp"));
    const auto stub = tmp.save("stub.img", B("#!/bin/sh\nexit 0\n"));
    ASSERT_EQ(Cli(tmp, {"make-sfx", "--stub", stub, tmp.file("p.lgp"), tmp.file("p.run")}).code, 0);
    const Bytes program = Load(tmp.file("p.run"));
    const auto lzs = tmp.save("a.lzs", B("plain text"));

    struct Case
    {
        std::vector<std::string> Args;
        std::string Output;
        std::string Input;
    };
    const std::string source = folder + "/a.tex";
    const std::vector<Case> cases = {
        {{"make-patch", path, folder, path}, path, path},
        {{"make-patch", path, folder, link}, link, path},
        {{"make-patch", path, folder, hard}, hard, path},
        {{"make-patch", path, folder, source}, source, source},
        {{"extract", path, "a.tex", path}, path, path},
        {{"extract", path, "a.tex", link}, link, path},
        {{"create", "--validation-from", path, folder, path}, path, path},
        {{"create", folder, source}, source, source},
        {{"create", "--no-validation", folder, source}, source, source},
        {{"make-sfx", "--stub", stub, tmp.file("p.lgp"), tmp.file("p.lgp")}, tmp.file("p.lgp"), tmp.file("p.lgp")},
        {{"make-sfx", "--stub", stub, tmp.file("p.lgp"), stub}, stub, stub},
        {{"unwrap-sfx", tmp.file("p.run"), tmp.file("p.run")}, tmp.file("p.run"), tmp.file("p.run")},
        {{"lzs-encode", lzs, lzs}, lzs, lzs},
        {{"lzs-decode", "--force", lzs, lzs}, lzs, lzs},
        {{"replace", path, "a.tex", link}, path, link},
    };
    for (const Case& c : cases)
    {
        const Result r = Cli(tmp, c.Args);
        EXPECT_EQ(r.code, 1) << c.Args[0] << " " << c.Output;
        EXPECT_EQ(r.err, Err() + c.Output + " is the same file as " + c.Input
                             + ", which this command reads. Nothing was written.\n")
            << c.Args[0];
        EXPECT_EQ(Load(path), archive) << c.Args[0];
        EXPECT_EQ(Load(source), B("AAAA")) << c.Args[0];
        EXPECT_EQ(Load(tmp.file("p.lgp")), patch) << c.Args[0];
        EXPECT_EQ(Load(tmp.file("p.run")), program) << c.Args[0];
        EXPECT_EQ(Load(lzs), B("plain text")) << c.Args[0];
        EXPECT_EQ(Load(stub), B("#!/bin/sh\nexit 0\n")) << c.Args[0];
    }

    // Extract All into the archive's own folder, where an entry carries the archive's name.
    const Archive named{.Files = {{"a.tex", B("AAAA")}, {"self.lgp", B("would replace the archive")}}};
    const auto self = tmp.save("self.lgp", Write(named));
    EXPECT_TRUE(testcli::FailsWith(Cli(tmp, {"extract-all", self, tmp.dir()}),
                                   Err() + tmp.dir() + "self.lgp is the same file as " + self
                                       + ", which this command reads. Nothing was written.\n"));
    EXPECT_EQ(Load(self), Write(named));
    EXPECT_FALSE(std::filesystem::exists(tmp.file("a.tex")));

    // Inside the output folder a symbolic link to the archive is replaced, never
    // followed; a hard link is the archive under another name, and is refused.
    const Archive twin{.Files = {{"a.tex", B("AAAA")}, {"twin.bin", B("x")}}};
    const auto kept = tmp.save("kept.lgp", Write(twin));
    const std::string soft = tmp.fill("soft", {});
    std::filesystem::create_symlink(kept, soft + "/twin.bin");
    ASSERT_EQ(Cli(tmp, {"extract-all", kept, soft}).code, 0);
    EXPECT_FALSE(std::filesystem::is_symlink(soft + "/twin.bin"));
    EXPECT_EQ(Load(soft + "/twin.bin"), B("x"));
    EXPECT_EQ(Load(kept), Write(twin));
    const std::string linked = tmp.fill("linked", {});
    std::filesystem::create_hard_link(kept, linked + "/twin.bin");
    const Result again = Cli(tmp, {"extract-all", kept, linked});
    EXPECT_EQ(again.code, 1);
    EXPECT_EQ(again.err, Err() + linked + "/twin.bin is the same file as " + kept
                             + ", which this command reads. Nothing was written.\n");
    EXPECT_EQ(Load(kept), Write(twin));
    EXPECT_FALSE(std::filesystem::exists(linked + "/a.tex"));
}

TEST(CliRefusals, filesLargerThanAnArchiveCanAddressAreRefusedAtOnce)
{
    TempFolder tmp;
    // 3 GB, sparse: an archive followed by a hole.
    const auto huge = tmp.save("huge.lgp", Write(Sample));
    std::filesystem::resize_file(huge, 3ull << 30);
    const std::string size = std::to_string(3ull << 30);
    const auto small = tmp.save("small.lgp", Write(Sample));
    const Bytes smallBytes = Load(small);
    const std::string tooLong = " bytes long, more than the 2,147,483,647 bytes an archive can address.";
    const std::string mods = tmp.fill("mods", {{"a.tex", B("AAAB")}});
    ASSERT_EQ(Cli(tmp, {"make-patch", small, mods, tmp.file("p.lgp")}).code, 0);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"pack", huge},
                                                 {"repair", huge},
                                                 {"replace", huge, "a.tex", small},
                                                 {"apply-patch", huge, tmp.file("p.lgp")},
                                                 {"apply-patch", "--append-only", huge, tmp.file("p.lgp")}})
    {
        EXPECT_TRUE(testcli::FailsWith(Cli(tmp, args), Err() + "The archive " + huge + " is " + size + tooLong
                                                           + " Nothing was changed.\n"))
            << args[0];
        EXPECT_EQ(std::filesystem::file_size(huge), 3ull << 30);
    }
    // The same file as the data to put into an archive, or to encode.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"replace", small, "a.tex", huge}, {"lzs-encode", huge, tmp.file("out")}})
    {
        EXPECT_TRUE(
            testcli::FailsWith(Cli(tmp, args), Err() + huge + " is " + size + tooLong + " Nothing was written.\n"))
            << args[0];
        EXPECT_EQ(Load(small), smallBytes);
        EXPECT_FALSE(std::filesystem::exists(tmp.file("out")));
    }
}

TEST(CliReplace, fromAFolderOrPairsReplacesInOneRewriteAndListsWhatMatchesNothing)
{
    TempFolder tmp;
    const auto path = tmp.save("x.lgp", Write(Sample));
    const std::string folder = tmp.fill("new", {{"A.TEX", Pattern(300)}, {"c.hrc", B("cc")}, {"readme", B("r")}});
    // The entries matched are replaced and the archive left packed; a file
    // matching no entry is listed and makes the exit status 1.
    const Result from = Cli(tmp, {"replace", path, "--from", folder});
    EXPECT_EQ(from.code, 1);
    EXPECT_EQ(from.out, "A.TEX: replaced\nc.hrc: replaced\nreadme: matches no entry\n"
                        "Replaced 2 entries in one rewrite; the archive is packed.\n");
    EXPECT_EQ(from.err, Err() + "1 file of " + folder + " matched no entry of " + path
                            + " (listed above); the others were replaced. --ignore-unmatched makes this no failure.\n");
    const Bytes replaced = Write(Archive{.Files = {{"a.tex", Pattern(300)}, {"b.p", B("")}, {"C.HRC", B("cc")}}});
    EXPECT_EQ(Load(path), replaced);
    EXPECT_EQ(Cli(tmp, {"analyse", path}).code, 0);
    const Result ignoring = Cli(tmp, {"replace", "--ignore-unmatched", path, "--from", folder});
    EXPECT_EQ(ignoring.code, 0) << ignoring.err;
    EXPECT_EQ(Load(path), replaced);

    // Pairs: several in one rewrite; one pair keeps the single replace.
    const Result pairs =
        Cli(tmp, {"replace", path, "b.p", tmp.file("new/readme"), "a.tex", tmp.file("new/c.hrc"), "nope", path});
    EXPECT_EQ(pairs.code, 1);
    EXPECT_EQ(pairs.out, "a.tex: replaced\nb.p: replaced\nnope: matches no entry\n"
                         "Replaced 2 entries in one rewrite; the archive is packed.\n");
    EXPECT_EQ(pairs.err,
              Err() + "1 NAME matched no entry of " + path
                  + " (listed above); the others were replaced. --ignore-unmatched makes this no failure.\n");
    EXPECT_EQ(Load(path), Write(Archive{.Files = {{"a.tex", B("cc")}, {"b.p", B("r")}, {"C.HRC", B("cc")}}}));

    // Refusals change nothing: nothing matching, the archive as a FILE, a
    // name twice, usage errors.
    const Bytes before = Load(path);
    const std::string empty = tmp.folder("empty");
    EXPECT_TRUE(
        testcli::FailsWith(Cli(tmp, {"replace", path, "--from", empty}),
                           Err() + "No file in " + empty + " names an entry of " + path + "; nothing was changed.\n"));
    EXPECT_TRUE(testcli::FailsWith(Cli(tmp, {"replace", path, "a.tex", path, "b.p", tmp.file("new/readme")}),
                                   Err() + path + " is the same file as " + path
                                       + ", which this command reads. Nothing was written.\n"));
    EXPECT_TRUE(testcli::FailsWith(
        Cli(tmp, {"replace", path, "a.tex", tmp.file("new/readme"), "A.TEX", tmp.file("new/readme")}),
        Err() + "\"a.tex\" and \"A.TEX\" both name TOC entry 1. Nothing was changed.\n"));
    EXPECT_EQ(Cli(tmp, {"replace", path, "a.tex", folder, "b.p"}).code, 2);
    EXPECT_EQ(Cli(tmp, {"replace", path, "a.tex", folder, "--from", folder}).code, 2);
    EXPECT_EQ(Cli(tmp, {"replace", path}).code, 2);
    EXPECT_EQ(Load(path), before);
    EXPECT_THAT(Cli(tmp, {"replace", "--help"}).out, HasSubstr("--ignore-unmatched"));
}

TEST(CliGameArchives, replaceFromAnExtractedFolderTakesEachCopyFromItsConflictFolder)
{
    TempFolder tmp;
    const GameArchive magic = MagicStyleArchive();
    const Bytes original = WriteGame(magic);
    const auto path = tmp.save("magic.lgp", original);
    ASSERT_EQ(Cli(tmp, {"extract-all", path, tmp.file("all")}).code, 0);
    // The folder as Extract All wrote it gives the archive back byte for byte.
    const Result same = Cli(tmp, {"replace", path, "--from", tmp.file("all")});
    EXPECT_EQ(same.code, 0) << same.err;
    EXPECT_EQ(Load(path), original);

    Save(tmp.file("all/ice/wind_1.p"), B("a colder wind"));
    const Result changed = Cli(tmp, {"replace", path, "--from", tmp.file("all")});
    EXPECT_EQ(changed.code, 0) << changed.err;
    EXPECT_THAT(changed.out, HasSubstr("ice/wind_1.p: replaced\n"));
    GameArchive expected = magic;
    for (auto& entry : expected.Entries)
        if (entry.Folder == "ice" && entry.Name == "wind_1.p")
            entry.Data = B("a colder wind");
    ExpectEveryCopyFound(Load(path), expected);
    EXPECT_EQ(Cli(tmp, {"analyse", path}).code, 0);

    // A bare name of a repeated name at the top is refused, as by single replace.
    Save(tmp.file("all/wind_1.p"), B("which one?"));
    const Bytes before = Load(path);
    EXPECT_TRUE(
        testcli::FailsWith(Cli(tmp, {"replace", path, "--from", tmp.file("all")}),
                           Err()
                               + "The archive holds 3 entries named \"wind_1.p\"; name one by its folder: "
                                 "\"fire/wind_1.p\", \"ice/wind_1.p\", \"wind/wind_1.p\". Nothing was changed.\n"));
    EXPECT_EQ(Load(path), before);
}
