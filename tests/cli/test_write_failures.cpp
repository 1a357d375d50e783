// tarrowin-cli when the disk fills up or a rename is refused part-way: every
// writing command names the file, says why, and says "Nothing was changed."
// exactly where the files are as they were. The file layer's fault seam
// (TARROWIN_FAULT) stands in for a full disk and for a folder that refuses.
#include "core/streams.h"
#include "patch/FFLZs.h"
#include "patch/lgppatch.h"

#include "support/faults.h"
#include "support/gtestfolder.h"
#include "support/lgpwriter.h"
#include "support/testdata.h"

#include "clirun.h"

#include <gmock/gmock.h>

#include <cstdlib>
#include <functional>
#include <sys/stat.h>

using namespace testlgp;
using testcli::Cli;
using testcli::Result;

namespace
{
    std::string FullDisk(const std::string& file) { return "Cannot write " + file + ": the disk is full."; }
    const std::string Unchanged = " Nothing was changed.";
    std::string WriteErrorLine(const std::string& detail)
    {
        return "tarrowin-cli: Stream write error: " + detail + "\n";
    }

    // Runs args with the disk full at the first data write, then at the
    // second, and so on, prepare() laying out the files before each run and
    // check(k, result) judging each failed run; stops at the first run that
    // succeeds and returns how many writes it made.
    int FullDiskAtEveryWrite(const TempFolder& tmp, const std::vector<std::string>& args,
                             const std::function<void()>& prepare,
                             const std::function<void(int k, const Result& result)>& check)
    {
        for (int k = 1; k < 200; ++k)
        {
            prepare();
            const Result result = Cli(tmp, args, {"TARROWIN_FAULT=" + std::to_string(k) + ":full"});
            if (result.code == 0)
                return k - 1;
            SCOPED_TRACE("full disk at data write " + std::to_string(k));
            EXPECT_EQ(result.code, 1) << result.err;
            check(k, result);
            if (::testing::Test::HasFailure())
                return k;
        }
        ADD_FAILURE() << "the command never completed";
        return 0;
    }

    // The command's archive or output: as it was after every failed run, and
    // no hidden new file left beside it.
    void ExpectUnchanged(const std::string& path, const Bytes& before)
    {
        EXPECT_EQ(Load(path), before) << path;
        EXPECT_THAT(faults::HiddenFiles(std::filesystem::path(path).parent_path().string()), ::testing::IsEmpty());
    }

    Archive Sample()
    {
        return {.Files = {{"a.bin", testdata::generate(300, 1)},
                          {"b.bin", testdata::generate(200, 2)},
                          {"c.bin", testdata::generate(100, 3)}}};
    }

    Bytes PatchOf(const Archive& source, const std::string& mods, const TempFolder& tmp)
    {
        Save(tmp.file("source.lgp"), Write(source));
        const Result made = Cli(tmp, {"-q", "make-patch", tmp.file("source.lgp"), mods, tmp.file("p.lgp")});
        EXPECT_EQ(made.code, 0) << made.err;
        return Load(tmp.file("p.lgp"));
    }
} // namespace

TEST(CliFullDisk, inPlaceWritersNameTheArchiveAndLeaveItAsItWas)
{
    TempFolder tmp;
    const Archive source = Sample();
    const Bytes before = Write(source);
    const std::string archive = tmp.file("a.lgp");
    const std::string mods = tmp.folder("mods");
    Save(mods + "a.bin", testdata::mutate(testdata::generate(300, 1), 3, 7));
    Save(mods + "c.bin", testdata::mutate(testdata::generate(100, 3), 5, 9));
    PatchOf(source, mods, tmp);
    Save(tmp.file("same.bin"), testdata::generate(200, 40));   // b.bin's size: rewritten on a copy
    Save(tmp.file("larger.bin"), testdata::generate(900, 41)); // appended in place

    const std::vector<std::vector<std::string>> commands = {
        {"apply-patch", "--append-only", archive, tmp.file("p.lgp")},
        {"apply-patch", archive, tmp.file("p.lgp")},
        {"replace", archive, "b.bin", tmp.file("same.bin")},
        {"replace", archive, "b.bin", tmp.file("larger.bin")},
    };
    for (const auto& args : commands)
    {
        SCOPED_TRACE(args[0] + " " + args[1]);
        const int writes = FullDiskAtEveryWrite(
            tmp, args, [&] { Save(archive, before); },
            [&](int, const Result& r) {
                if (r.err == WriteErrorLine(FullDisk(archive) + Unchanged))
                {
                    ExpectUnchanged(archive, before);
                    return;
                }
                // Only the last write of an append in place, the table entry's,
                // leaves something changed; the message says what.
                EXPECT_EQ(r.err, WriteErrorLine(FullDisk(archive)
                                                + " The new data was appended to the archive, but the table entry "
                                                  "of \"b.bin\" was not pointed at it: the entry still reads its old "
                                                  "data (Pack drops the new)."));
                const Bytes now = Load(archive);
                EXPECT_EQ(Entries(now), Entries(before));
                EXPECT_GT(now.size(), before.size());
            });
        EXPECT_GE(writes, 2);
        EXPECT_NE(Load(archive), before); // the last run changed it
    }
}

TEST(CliFullDisk, newOutputsNameTheOutputAndKeepTheOldOne)
{
    TempFolder tmp;
    const Archive source = Sample();
    const std::string archive = tmp.save("a.lgp", Write(source));
    const std::string folder = tmp.folder("in");
    for (const auto& f : source.Files)
        Save(folder + f.Name, f.Data);
    const std::string mods = tmp.folder("mods");
    Save(mods + "a.bin", testdata::mutate(testdata::generate(300, 1), 3, 7));
    const Bytes patch = PatchOf(source, mods, tmp);
    Save(tmp.file("stub.img"), testdata::generate(500, 7));
    Save(tmp.file("plain.bin"), testdata::generate(5000, 8));

    // Each output already holds other bytes, which must survive a failure.
    const std::string out = tmp.folder("out");
    const Bytes old = B("the old output");
    struct Command
    {
        std::vector<std::string> Args;
        std::string Output;
    };
    const std::vector<Command> commands = {
        {{"create", folder, out + "new.lgp"}, out + "new.lgp"},
        {{"extract", archive, "b.bin", out + "b.bin"}, out + "b.bin"},
        {{"make-sfx", "--stub", tmp.file("stub.img"), tmp.file("p.lgp"), out + "p.run"}, out + "p.run"},
        {{"lzs-encode", tmp.file("plain.bin"), out + "plain.lzs"}, out + "plain.lzs"},
        {{"-q", "make-patch", archive, mods, out + "p2.lgp"}, out + "p2.lgp"},
    };
    for (const Command& command : commands)
    {
        SCOPED_TRACE(command.Args[0] + " " + command.Args[1]);
        bool outputNamed = false;
        const int writes = FullDiskAtEveryWrite(
            tmp, command.Args, [&] { Save(command.Output, old); },
            [&](int, const Result& r) {
                // make-patch writes its work files first, in a private folder
                // of its own that it deletes.
                if (r.err != WriteErrorLine(FullDisk(command.Output) + Unchanged))
                {
                    EXPECT_EQ(command.Args[1], "make-patch");
                    EXPECT_THAT(r.err, ::testing::MatchesRegex("tarrowin-cli: Stream write error: Cannot write "
                                                               ".*/LGPMK\\.TMP[^/]*/a\\.bin: the disk is full\\. "
                                                               "Nothing was changed\\.\n"));
                }
                else
                    outputNamed = true;
                ExpectUnchanged(command.Output, old);
            });
        EXPECT_GE(writes, 1);
        EXPECT_TRUE(outputNamed);
        EXPECT_NE(Load(command.Output), old);
    }
}

TEST(CliFullDisk, extractAllSaysWhichFilesItWroteBeforeTheDiskFilled)
{
    TempFolder tmp;
    const Archive source = Sample();
    const std::string archive = tmp.save("a.lgp", Write(source));
    const std::string out = tmp.file("out");
    const int writes = FullDiskAtEveryWrite(
        tmp, {"extract-all", archive, out}, [&] { std::filesystem::remove_all(out); },
        [&](int k, const Result& r) {
            // One write per file: the k-th file is the one that failed.
            const std::string failed = out + "/" + source.Files[std::size_t(k - 1)].Name;
            EXPECT_EQ(r.err, WriteErrorLine(FullDisk(failed)
                                            + (k == 1 ? " Nothing was written to " + out + "."
                                                      : " " + std::to_string(k - 1) + " of 3 files were written to "
                                                            + out + " before the failure.")));
            for (std::size_t i = 0; i < source.Files.size(); ++i)
            {
                const std::string file = out + "/" + source.Files[i].Name;
                if (i + 1 < std::size_t(k))
                    EXPECT_EQ(Load(file), source.Files[i].Data);
                else
                    EXPECT_FALSE(std::filesystem::exists(file)) << file;
            }
            EXPECT_THAT(faults::HiddenFiles(out), ::testing::IsEmpty());
        });
    EXPECT_EQ(writes, 3);
}

// A disk too full for the new file itself: the file named, the reason, and
// whether anything changed.
TEST(CliFullDisk, noRoomForTheNewFileIsSaidAndChangesNothing)
{
    TempFolder tmp;
    const Archive source = Sample();
    const std::string archive = tmp.save("a.lgp", Write(source));
    Archive unpacked = source;
    unpacked.Files.insert(unpacked.Files.begin() + 1, File{"junk.bin", B("unreferenced"), false});
    const std::string loose = tmp.save("unpacked.lgp", Write(unpacked));
    const std::string folder = tmp.folder("in");
    for (const auto& f : source.Files)
        Save(folder + f.Name, f.Data);
    Save(tmp.file("plain.bin"), testdata::generate(5000, 8));
    const std::string out = tmp.folder("out");
    const Bytes old = B("the old output");

    const std::string diskFull = ": The disk is full." + Unchanged + "\n";
    struct Command
    {
        std::vector<std::string> Args;
        std::string File;
        Bytes Before;
        std::string Err;
    };
    const std::vector<Command> commands = {
        {{"create", folder, out + "new.lgp"}, out + "new.lgp", old, "Cannot create file " + out + "new.lgp" + diskFull},
        {{"extract", archive, "b.bin", out + "b.bin"},
         out + "b.bin",
         old,
         "Cannot create file " + out + "b.bin" + diskFull},
        {{"lzs-encode", tmp.file("plain.bin"), out + "p.lzs"},
         out + "p.lzs",
         old,
         "Cannot create file " + out + "p.lzs" + diskFull},
        {{"pack", loose},
         loose,
         Write(unpacked),
         "Cannot create a temporary file beside " + loose + " to rewrite it safely: the disk is full." + Unchanged
             + "\n"},
    };
    for (const Command& command : commands)
    {
        SCOPED_TRACE(command.Args[0]);
        Save(command.File, command.Before);
        const Result r = Cli(tmp, command.Args, {"TARROWIN_FAULT=1:fullcreate"});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, "tarrowin-cli: " + command.Err);
        ExpectUnchanged(command.File, command.Before);
    }

    // Extract All that can't make its second file says how far it got.
    const std::string all = tmp.file("all");
    const Result r = Cli(tmp, {"extract-all", archive, all}, {"TARROWIN_FAULT=2:fullcreate"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "tarrowin-cli: Cannot create file " + all
                         + "/b.bin: The disk is full. 1 of 3 files were written to " + all + " before the failure.\n");
    EXPECT_EQ(Load(all + "/a.bin"), source.Files[0].Data);
    EXPECT_FALSE(std::filesystem::exists(all + "/b.bin"));
    EXPECT_THAT(faults::HiddenFiles(all), ::testing::IsEmpty());
}

TEST(CliRefusedRename, namesTheFileAndTheReasonAndLeavesEverythingAsItWas)
{
    TempFolder tmp;
    const Archive source = Sample();
    const Bytes before = Write(source);
    const std::string archive = tmp.file("a.lgp");
    const std::string folder = tmp.folder("in");
    for (const auto& f : source.Files)
        Save(folder + f.Name, f.Data);
    Save(tmp.file("same.bin"), testdata::generate(200, 40));
    const std::string output = tmp.file("b.out");
    const Bytes old = B("the old output");

    // A rewrite of the archive (pack of unreferenced data, replace on a
    // copy) and new outputs (create, extract).
    Archive unpacked = source;
    unpacked.Files.insert(unpacked.Files.begin() + 1, File{"junk.bin", B("unreferenced"), false});
    struct Command
    {
        std::vector<std::string> Args;
        std::string File;
        Bytes Before;
        std::string Headline;
    };
    const std::vector<Command> commands = {
        {{"pack", archive}, archive, Write(unpacked), "Cannot open file " + archive},
        {{"replace", archive, "b.bin", tmp.file("same.bin")}, archive, before, "Cannot open file " + archive},
        {{"create", folder, output}, output, old, "Cannot create file " + output},
        {{"extract", tmp.file("x.lgp"), "b.bin", output}, output, old, "Cannot create file " + output},
    };
    Save(tmp.file("x.lgp"), before);
    for (const bool sticky : {false, true})
    {
        // In a folder with the sticky bit (as /tmp), only a file's owner may
        // replace it: the message says so.
        ::chmod(tmp.dir().c_str(), sticky ? 01777 : 0755);
        for (const Command& command : commands)
        {
            SCOPED_TRACE(command.Args[0] + (sticky ? " in a sticky folder" : ""));
            Save(command.File, command.Before);
            EXPECT_TRUE(testcli::FailsWith(
                Cli(tmp, command.Args, {"TARROWIN_FAULT=1:refuse"}),
                "tarrowin-cli: " + command.Headline + ": The new version of " + command.File
                    + " could not take its place: Operation not permitted"
                    + (sticky ? " (its folder has the sticky bit: only a file's owner may replace the file there)" : "")
                    + ". Nothing was changed.\n"));
            ExpectUnchanged(command.File, command.Before);
        }
    }
    ::chmod(tmp.dir().c_str(), 0755);
}
