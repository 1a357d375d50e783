// tarrowin-cli's archive commands, run as a separate program.
#include "testarchive.h"

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

    Result Cli(const TempDir& tmp, std::vector<std::string> args)
    {
        // No command may hang a test run (a FIFO given as a file, say).
        args.insert(args.begin(), {"timeout", "-s", "KILL", "20", TARROWIN_CLI});
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
    for (const char* name : {"info", "list", "extract", "extract-all", "create", "analyse", "repair", "pack"})
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

TEST(CliMaintenance, damagedArchivesAreRefusedAndLongTrailingTextsKept)
{
    TempDir tmp;
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
            EXPECT_EQ(r.err, "The archive " + path +
                                 " is damaged: the TOC entry \"c\" (number 3) points at data that the scan of its "
                                 "data entries does not reach. Nothing was changed; run Repair on it first.\n");
        }
        EXPECT_EQ(Load(path), damaged) << command;
    }

    // A long trailing text survives packing, behind the packed data.
    const auto modded = tmp.save("modded.lgp", Write(original));
    {
        TRawLGPFile raw(modded);
        ASSERT_TRUE(raw.RewriteDataEntry(1,
                                         []
                                         {
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
    TempDir tmp;
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
    TempDir tmp;
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
    const auto fifo = tmp.path("fifo");
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
