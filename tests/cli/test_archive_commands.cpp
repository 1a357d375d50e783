// tarrowin-cli's archive commands, run as a separate program.
#include "core/lgpstruct.h"

#include "support/gtestfolder.h"
#include "support/lgpwriter.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

using namespace testlgp;
using ::testing::HasSubstr;

namespace
{
    struct Result
    {
        int code = -1;
        std::string out;
        std::string err;
    };

    Result Cli(const TempFolder& tmp, std::vector<std::string> args)
    {
        // No command may hang a test run (a FIFO given as a file, say).
        args.insert(args.begin(), {"timeout", "-s", "KILL", "20", TARROWIN_CLI});
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string outPath = tmp.file(".stdout");
        const std::string errPath = tmp.file(".stderr");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        Result r;
        if (spawned != 0)
            return r;
        int status = 0;
        ::waitpid(pid, &status, 0);
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        const Bytes out = Load(outPath);
        const Bytes err = Load(errPath);
        r.out.assign(out.begin(), out.end());
        r.err.assign(err.begin(), err.end());
        std::filesystem::remove(outPath);
        std::filesystem::remove(errPath);
        return r;
    }

    std::string ProgramDir() { return std::filesystem::path(TARROWIN_CLI).parent_path().string() + "/"; }

    std::string Fill(const TempFolder& tmp, const std::string& folder, const std::vector<File>& files)
    {
        std::filesystem::create_directories(tmp.file(folder));
        for (const auto& f : files)
            Save(tmp.file(folder + "/" + f.Name), f.Data);
        return tmp.file(folder);
    }

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
    const Result missing = Cli(tmp, {"info", tmp.file("missing.lgp")});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "Cannot open file " + tmp.file("missing.lgp") + "\n");
    const Result cut = Cli(tmp, {"list", tmp.save("cut.lgp", B("short"))});
    EXPECT_EQ(cut.code, 1);
    EXPECT_EQ(cut.err, "Stream read error\n");
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
    const Result missing = Cli(tmp, {"extract", path, "nope", tmp.file("out2")});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "The archive holds no entry named \"nope\".\n");
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
        EXPECT_EQ(r.err,
                  "The entry name \"" + bad + "\" is not a plain file name; it cannot be written to a folder.\n");
        EXPECT_FALSE(std::filesystem::exists(tmp.file("out/fine"))) << bad;
        EXPECT_FALSE(std::filesystem::exists(tmp.file("escape")));
    }
}

TEST(CliCreate, withoutValidationMatchesTheLayoutByteForByte)
{
    TempFolder tmp;
    Fill(tmp, "in", {{"b.txt", B("bb")}, {"A.TXT", B("A")}, {"c.bin", B("")}});
    EXPECT_EQ(Cli(tmp, {"create", "--no-validation", tmp.file("in"), tmp.file("out.lgp")}).code, 0);
    EXPECT_EQ(Load(tmp.file("out.lgp")),
              Write(Archive{.Files = {{"A.TXT", B("A")}, {"b.txt", B("bb")}, {"c.bin", B("")}}}));
}

TEST(CliCreate, defaultUsesTheTemplateBesideTheProgram)
{
    TempFolder tmp;
    std::vector<File> files;
    for (int i = 0; i < 5; ++i)
        files.push_back({"f" + std::to_string(i), Pattern(static_cast<std::size_t>(i * 3), 2)});
    Fill(tmp, "in", files);
    Result r;
    {
        const ScopedProgramFile t(ProgramDir() + "LGP.5", Pattern(3602, 7));
        r = Cli(tmp, {"create", tmp.file("in"), tmp.file("out.lgp")});
    }
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Load(tmp.file("out.lgp")), Write(Archive{.Files = files, .Validation = Pattern(3602, 7)}));
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
    Fill(tmp, "in", files);
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
    EXPECT_EQ(r.err, "The archive " + path
                         + " holds 3 files but the folder holds 4; its validation data can't be "
                           "reused. Only in the folder: \"extra\".\n");
    std::filesystem::remove(tmp.file("files/extra"));
    std::filesystem::rename(tmp.file("files/c"), tmp.file("files/d"));
    r = Cli(tmp, {"create", "--validation-from", path, tmp.file("files"), tmp.file("bad.lgp")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "The folder's names are not the names in the archive " + path
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
    Fill(tmp, "in", {{"smab", B("1")}, {"SMAB", B("2")}});
    const auto source = tmp.save("two.lgp", Write(Archive{.Files = {{"smab", B("1")}, {"SMAB", B("2")}}}));
    for (const std::vector<std::string>& mode :
         {std::vector<std::string>{}, {"--no-validation"}, {"--validation-from", source}})
    {
        std::vector<std::string> args = {"create"};
        args.insert(args.end(), mode.begin(), mode.end());
        args.push_back(tmp.file("in"));
        args.push_back(tmp.file("out.lgp"));
        const Result r = Cli(tmp, args);
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, "Names in an archive compare without case, so these files of the folder can't both be "
                         "stored: \"SMAB\" and \"smab\". Rename or remove one of each.\n");
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
    EXPECT_EQ(zero.code, 1);
    std::string expected;
    for (std::size_t i = 0; i < Spread.size(); ++i)
        expected += Lost(i, Slot(i) + " is empty");
    EXPECT_EQ(zero.out, expected + "5 of 5 names are lost to the game.\n");

    // Every slot's entry moved one slot on.
    Bytes shifted(4, 0);
    const Bytes table = GameLookupTable(Spread);
    shifted.insert(shifted.end(), table.begin(), table.end() - 4);
    const Result slotOff = Cli(tmp, {"verify", tmp.save("slot.lgp", Write(SpreadArchive(WithNoConflicts(shifted))))});
    EXPECT_EQ(slotOff.code, 1);
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
    EXPECT_EQ(indexOff.code, 1);
    expected.clear();
    for (std::size_t i = 0; i < Spread.size(); ++i)
    {
        const std::string run = " covers TOC entries " + std::to_string(i + 2) + " to " + std::to_string(i + 2);
        expected += Lost(i, Slot(i) + run
                                + (i + 1 < Spread.size() ? ", which don't hold it" : ", outside the TOC's 5 entries"));
    }
    EXPECT_EQ(indexOff.out, expected + "5 of 5 names are lost to the game.\n");

    const Result none = Cli(tmp, {"verify", tmp.save("none.lgp", Write(SpreadArchive({})))});
    EXPECT_EQ(none.code, 1);
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
    EXPECT_EQ(cut.code, 1);
    std::string expected;
    for (int i = 1; i <= 3; ++i)
        expected += "Lost: \"wind_1.p\" (TOC entry " + std::to_string(i)
                    + "): the name leads to conflict 1, but the conflict table can't be read\n";
    EXPECT_EQ(cut.out, expected + "3 of 4 names are lost to the game.\n");

    const Result fewer = Cli(tmp, {"verify", tmp.save("fewer.lgp", RepeatedNames(2, std::string(200, 'x')))});
    EXPECT_EQ(fewer.code, 1);
    EXPECT_EQ(fewer.out, "Through the conflict table: \"wind_1.p\" (TOC entry 1) in folder \"fire\"\n"
                         "Through the conflict table: \"wind_1.p\" (TOC entry 2) in folder \"ice\"\n"
                         "Lost: \"wind_1.p\" (TOC entry 3): conflict 1 of the conflict table has no record for it\n"
                         "1 of 4 names are lost to the game.\n");
}

TEST(CliExtract, repeatedNamesGoIntoTheirConflictFoldersOrAreRefused)
{
    TempFolder tmp;
    EXPECT_EQ(Cli(tmp, {"extract-all", tmp.save("magic.lgp", RepeatedNames(3)), tmp.file("out")}).code, 0);
    EXPECT_EQ(Load(tmp.file("out/wind_1.p")), B("fire"));
    EXPECT_EQ(Load(tmp.file("out/ice/wind_1.p")), B("ice"));
    EXPECT_EQ(Load(tmp.file("out/bolt/wind_1.p")), B("bolt"));
    EXPECT_EQ(Load(tmp.file("out/x.p")), B("x"));

    // Without a readable conflict table the names have nowhere of their own.
    const auto cut = tmp.save("cut.lgp", RepeatedNames(9));
    const Result refused = Cli(tmp, {"extract-all", cut, tmp.file("cut")});
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.err, "Several entries of the archive share the names \"wind_1.p\", and its conflict table gives "
                           "them no folders of their own; extracting them all would write them to one file. Nothing "
                           "was written. Add --numbered to extract them under numbered names.\n");
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
    EXPECT_EQ(none.err, "No entry of " + path + " matches \"*.zzz\"; nothing was written.\n");
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
    EXPECT_EQ(Cli(tmp, {"pack", tmp.file("missing")}).err, "Cannot open file " + tmp.file("missing") + "\n");
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

    Save(tmp.file("new"), B("ONE"));
    EXPECT_EQ(Cli(tmp, {"replace", path, "DUP", tmp.file("new")}).code, 0);
    EXPECT_EQ(EntryData(Load(path), 1), B("ONE"));
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
    const Result missingName = Cli(tmp, {"replace", path, "nope", tmp.file("new")});
    EXPECT_EQ(missingName.code, 1);
    EXPECT_EQ(missingName.err, "The archive holds no entry named \"nope\".\n");
    const Result missingFile = Cli(tmp, {"replace", path, "a.tex", tmp.file("absent")});
    EXPECT_EQ(missingFile.code, 1);
    EXPECT_EQ(missingFile.err, "Cannot open file " + tmp.file("absent") + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    const Result readOnly = Cli(tmp, {"replace", path, "a.tex", tmp.file("new")});
    EXPECT_EQ(readOnly.code, 1);
    EXPECT_EQ(readOnly.err, "Cannot open file " + path + "\n");
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
            EXPECT_EQ(r.err, "The archive " + path
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
    const std::string folder = Fill(tmp, "in", {{"a.txt", B("a")}});
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"extract", path, "a.tex", kept}, {"create", "--no-validation", folder, kept}})
    {
        const Result r = Cli(tmp, args);
        EXPECT_EQ(r.code, 1) << args[0];
        EXPECT_EQ(r.err, "Cannot create file " + kept + "\n") << args[0];
        EXPECT_EQ(Load(kept), B("keep me")) << args[0];
    }

    // A FIFO or a directory as an archive, a FIFO as an output: refused at once.
    const auto fifo = tmp.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    for (const std::string& archive : {fifo, tmp.dir()})
    {
        for (const char* command : {"info", "list", "analyse", "repair", "pack"})
        {
            const Result r = Cli(tmp, {command, archive});
            EXPECT_EQ(r.code, 1) << command;
            EXPECT_EQ(r.err, "Cannot open file " + archive + "\n") << command;
        }
    }
    const Result toFifo = Cli(tmp, {"extract", path, "a.tex", fifo});
    EXPECT_EQ(toFifo.code, 1);
    EXPECT_EQ(toFifo.err, "Cannot create file " + fifo + "\n");
}
