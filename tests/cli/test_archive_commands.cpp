// tarrowin-cli's archive commands, run as a separate program.
#include "testarchive.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <spawn.h>
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

    Result Cli(const TempDir& tmp, std::vector<std::string> args)
    {
        args.insert(args.begin(), TARROWIN_CLI);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string outPath = tmp.path(".stdout");
        const std::string errPath = tmp.path(".stderr");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
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

    std::string Fill(const TempDir& tmp, const std::string& folder, const std::vector<File>& files)
    {
        std::filesystem::create_directories(tmp.path(folder));
        for (const auto& f : files)
            Save(tmp.path(folder + "/" + f.Name), f.Data);
        return tmp.path(folder);
    }

    const Archive Sample{.Files = {{"a.tex", B("AAAA")}, {"b.p", B("")}, {"C.HRC", B("ccc")}}};
}

TEST(CliInfoList, printTheInfoLinesAndTheTable)
{
    TempDir tmp;
    const auto path = tmp.save("sample.lgp", Write(Sample));
    const Result info = Cli(tmp, {"info", path});
    EXPECT_EQ(info.code, 0);
    EXPECT_EQ(info.out, "File: sample.lgp\n# of files in archive: 3\nCreator: SQUARESOFT\nDescription: FINAL FANTASY7\n");

    const Result list = Cli(tmp, {"list", path});
    EXPECT_EQ(list.code, 0);
    EXPECT_EQ(list.out, "a.tex\t97\t4\nb.p\t125\t0\nC.HRC\t149\t3\n");
    EXPECT_EQ(list.err, "");
    EXPECT_EQ(Cli(tmp, {"list", "--no-lengths", path}).out, "a.tex\t97\t-1\nb.p\t125\t-1\nC.HRC\t149\t-1\n");
}

TEST(CliInfoList, badOffsetsListAsErrorAndFailuresExitOne)
{
    TempDir tmp;
    Writer w;
    w.header("SQUARESOFT", 2).toc("ok", 70).toc("far", 99999).dataEntry("ok", B("1")).text("T");
    const auto path = tmp.save("x.lgp", w.out);
    EXPECT_EQ(Cli(tmp, {"list", path}).out, "ok\t70\t1\nfar\t99999\tError\n");
    const Result missing = Cli(tmp, {"info", tmp.path("missing.lgp")});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "Cannot open file " + tmp.path("missing.lgp") + "\n");
    const Result cut = Cli(tmp, {"list", tmp.save("cut.lgp", B("short"))});
    EXPECT_EQ(cut.code, 1);
    EXPECT_EQ(cut.err, "Stream read error\n");
}

TEST(CliUsage, helpAndUsageErrors)
{
    TempDir tmp;
    const Result help = Cli(tmp, {"--help"});
    EXPECT_EQ(help.code, 0);
    for (const char* name :
         {"info", "list", "extract", "extract-all", "create", "analyse", "repair", "pack", "replace"})
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
    EXPECT_EQ(Cli(tmp, {}).code, 2);
}

TEST(CliExtract, oneEntryByNameCaseInsensitively)
{
    TempDir tmp;
    const auto path = tmp.save("x.lgp", Write(Sample));
    EXPECT_EQ(Cli(tmp, {"extract", path, "c.hrc", tmp.path("out")}).code, 0);
    EXPECT_EQ(Load(tmp.path("out")), B("ccc"));
    const Result missing = Cli(tmp, {"extract", path, "nope", tmp.path("out2")});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "The archive holds no entry named \"nope\".\n");
    EXPECT_FALSE(std::filesystem::exists(tmp.path("out2")));
}

TEST(CliExtract, extractAllWritesEveryEntryIntoTheFolder)
{
    TempDir tmp;
    const auto path = tmp.save("x.lgp", Write(Sample));
    EXPECT_EQ(Cli(tmp, {"extract-all", path, tmp.path("out")}).code, 0);
    EXPECT_EQ(Load(tmp.path("out/a.tex")), B("AAAA"));
    EXPECT_EQ(Load(tmp.path("out/b.p")), B(""));
    EXPECT_TRUE(std::filesystem::exists(tmp.path("out/b.p")));
    EXPECT_EQ(Load(tmp.path("out/C.HRC")), B("ccc"));
}

TEST(CliExtract, namesThatLeaveTheFolderAreRefusedBeforeWriting)
{
    TempDir tmp;
    for (const std::string bad : {"../escape", "..", "sub/x", "a\\b", ""})
    {
        Writer w;
        w.header("SQUARESOFT", 2).toc("fine", 70).toc(bad, 95).dataEntry("fine", B("1")).dataEntry(bad, B("2"));
        const auto path = tmp.save("x.lgp", w.out);
        const Result r = Cli(tmp, {"extract-all", path, tmp.path("out")});
        EXPECT_EQ(r.code, 1) << bad;
        EXPECT_EQ(r.err, "The entry name \"" + bad + "\" is not a plain file name; it cannot be written to a folder.\n");
        EXPECT_FALSE(std::filesystem::exists(tmp.path("out/fine"))) << bad;
        EXPECT_FALSE(std::filesystem::exists(tmp.path("escape")));
    }
}

TEST(CliCreate, withoutValidationMatchesTheLayoutByteForByte)
{
    TempDir tmp;
    Fill(tmp, "in", {{"b.txt", B("bb")}, {"A.TXT", B("A")}, {"c.bin", B("")}});
    EXPECT_EQ(Cli(tmp, {"create", "--no-validation", tmp.path("in"), tmp.path("out.lgp")}).code, 0);
    EXPECT_EQ(Load(tmp.path("out.lgp")),
        Write(Archive{.Files = {{"A.TXT", B("A")}, {"b.txt", B("bb")}, {"c.bin", B("")}}}));
}

TEST(CliCreate, defaultUsesTheTemplateBesideTheProgram)
{
    TempDir tmp;
    std::vector<File> files;
    for (int i = 0; i < 5; ++i)
        files.push_back({"f" + std::to_string(i), Pattern(static_cast<std::size_t>(i * 3), 2)});
    Fill(tmp, "in", files);
    Result r;
    {
        const ScopedProgramFile t(ProgramDir() + "LGP.5", Pattern(3602, 7));
        r = Cli(tmp, {"create", tmp.path("in"), tmp.path("out.lgp")});
    }
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Load(tmp.path("out.lgp")), Write(Archive{.Files = files, .Validation = Pattern(3602, 7)}));
    const Result analyse = Cli(tmp, {"analyse", tmp.path("out.lgp")});
    EXPECT_EQ(analyse.out, "File: out.lgp\n# of files in archive: 5\nCreator: SQUARESOFT\nDescription: FINAL FANTASY7\n\n"
                           "Section 1: Header: 151 bytes.\nSection 2: Error check: 3602 bytes.\n"
                           "0 files have mismatched filenames.\nThere are no data gaps in the file (OK).\n");
}

TEST(CliCreate, missingTemplateFailsWithoutCreatingTheOutput)
{
    TempDir tmp;
    std::vector<File> files;
    for (int i = 0; i < 6; ++i)
        files.push_back({"f" + std::to_string(i), B("x")});
    Fill(tmp, "in", files);
    const ScopedProgramFile absent(ProgramDir() + "LGP.6", std::nullopt);
    const Result r = Cli(tmp, {"create", tmp.path("in"), tmp.path("out.lgp")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Couldn't find an appropriate file validation data. Perhaps you are trying to make an LGP with "
                     "an unsupported number of files in it.\n");
    EXPECT_FALSE(std::filesystem::exists(tmp.path("out.lgp")));
}

TEST(CliCreate, validationFromAnArchiveRebuildsItFromItsExtractedFiles)
{
    TempDir tmp;
    const Archive original{.Files = {{"A.TEX", B("tex")}, {"b.p", B("model")}}, .Validation = Pattern(3602, 5)};
    const auto path = tmp.save("orig.lgp", Write(original));
    ASSERT_EQ(Cli(tmp, {"extract-all", path, tmp.path("files")}).code, 0);
    EXPECT_EQ(Cli(tmp, {"create", "--validation-from", path, tmp.path("files"), tmp.path("re.lgp")}).code, 0);
    EXPECT_EQ(Load(tmp.path("re.lgp")), Write(original));

    Save(tmp.path("files/extra"), B("1"));
    const Result r = Cli(tmp, {"create", "--validation-from", path, tmp.path("files"), tmp.path("bad.lgp")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "The archive " + path + " holds 2 files but the folder holds 3; its validation data can't be "
                     "reused.\n");
    EXPECT_FALSE(std::filesystem::exists(tmp.path("bad.lgp")));
}

TEST(CliMaintenance, repairThenPackAnEditedArchive)
{
    TempDir tmp;
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
    EXPECT_EQ(Cli(tmp, {"analyse", path}).out.find("There are no data gaps in the file (OK).") != std::string::npos, true);
    EXPECT_EQ(Cli(tmp, {"pack", tmp.path("missing")}).err, "Cannot open file " + tmp.path("missing") + "\n");
}

TEST(CliReplace, rewritesInPlaceWhatFitsAndAppendsWhatDoesNot)
{
    TempDir tmp;
    const auto path = tmp.save("x.lgp", Write(Sample));
    Save(tmp.path("same"), B("WXYZ"));
    const Result same = Cli(tmp, {"replace", path, "A.TEX", tmp.path("same")});
    EXPECT_EQ(same.code, 0) << same.err;
    EXPECT_EQ(same.out, "A.TEX: rewritten in place\n");
    EXPECT_EQ(Load(path), Write(Archive{.Files = {{"a.tex", B("WXYZ")}, {"b.p", B("")}, {"C.HRC", B("ccc")}}}));

    // The last data entry grows where it is; the trailing text follows it.
    Save(tmp.path("longer"), B("a longer skeleton"));
    EXPECT_EQ(Cli(tmp, {"replace", path, "c.hrc", tmp.path("longer")}).code, 0);
    EXPECT_EQ(Load(path),
              Write(Archive{.Files = {{"a.tex", B("WXYZ")}, {"b.p", B("")}, {"C.HRC", B("a longer skeleton")}}}));

    // Too long for its place: appended, the table entry keeps its place and points there.
    Save(tmp.path("big"), Pattern(300));
    const Result big = Cli(tmp, {"replace", path, "a.tex", tmp.path("big")});
    EXPECT_EQ(big.code, 0) << big.err;
    EXPECT_EQ(big.out, "a.tex: appended, table entry relinked\n");
    const std::int32_t appendedAt = 149 + 24 + 17;
    EXPECT_EQ(Cli(tmp, {"list", path}).out,
              "a.tex\t" + std::to_string(appendedAt) + "\t300\nb.p\t125\t0\nC.HRC\t149\t17\n");
    EXPECT_EQ(Cli(tmp, {"extract", path, "a.tex", tmp.path("out")}).code, 0);
    EXPECT_EQ(Load(tmp.path("out")), Pattern(300));
    EXPECT_EQ(Cli(tmp, {"analyse", path}).code, 0);
}

TEST(CliReplace, sharedDataIsNeverOverwritten)
{
    TempDir tmp;
    Writer w;
    w.header("SQUARESOFT", 2).toc("one", 70).toc("two", 70).dataEntry("one", B("old!")).text("FINAL FANTASY7");
    const auto path = tmp.save("x.lgp", w.out);
    Save(tmp.path("new"), B("new!"));
    const Result r = Cli(tmp, {"replace", path, "two", tmp.path("new")});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Cli(tmp, {"list", path}).out, "one\t70\t4\ntwo\t98\t4\n");
    EXPECT_EQ(Cli(tmp, {"extract", path, "one", tmp.path("one")}).code, 0);
    EXPECT_EQ(Load(tmp.path("one")), B("old!"));
    EXPECT_EQ(Cli(tmp, {"extract", path, "two", tmp.path("two")}).code, 0);
    EXPECT_EQ(Load(tmp.path("two")), B("new!"));
}

TEST(CliReplace, failuresChangeNothingAndExitOne)
{
    TempDir tmp;
    const Bytes original = Write(Sample);
    const auto path = tmp.save("x.lgp", original);
    Save(tmp.path("new"), B("data"));
    const Result missingName = Cli(tmp, {"replace", path, "nope", tmp.path("new")});
    EXPECT_EQ(missingName.code, 1);
    EXPECT_EQ(missingName.err, "The archive holds no entry named \"nope\".\n");
    const Result missingFile = Cli(tmp, {"replace", path, "a.tex", tmp.path("absent")});
    EXPECT_EQ(missingFile.code, 1);
    EXPECT_EQ(missingFile.err, "Cannot open file " + tmp.path("absent") + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    const Result readOnly = Cli(tmp, {"replace", path, "a.tex", tmp.path("new")});
    EXPECT_EQ(readOnly.code, 1);
    EXPECT_EQ(readOnly.err, "Cannot open file " + path + "\n");
    EXPECT_EQ(Load(path), original);
    EXPECT_EQ(Cli(tmp, {"replace", path, "a.tex"}).code, 2);
    EXPECT_EQ(Cli(tmp, {"replace", "--force", path, "a.tex", tmp.path("new")}).code, 2);
}
