// The patch commands of tarrowin-cli, run as a program beside the tests.

#include "core/streams.h"
#include "patch/FFLZs.h"
#include "platform/paths.h"

#include "support/gamearchives.h"
#include "support/gtestfolder.h"
#include "support/lgpwriter.h"
#include "support/testdata.h"

#include "clirun.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace
{
    using testdata::Bytes;

    using CliRun = testcli::Result;

    // tarrowin-cli with a temporary folder of its own, so the work folder is never shared.
    CliRun cli(const TempFolder& temp, const std::vector<std::string>& args, const std::string& environment = {},
               const std::string& program = TARROWIN_CLI)
    {
        std::vector<std::string> settings = {"TMPDIR=" + temp.folder("tmp")};
        if (!environment.empty())
            settings.push_back(environment);
        return testcli::Cli(temp, args, settings, program);
    }
}

TEST(CliPatch, makePatchThenApplyPatchWithAndWithoutAppendOnly)
{
    TempFolder temp;
    testlgp::Archive source{
        .Files = {{"a.bin", testdata::bytes("ABCDEFGH")}, {"field.lzs", LzsEncodeLiterals(testdata::generate(90, 3))}}};
    const Bytes changedField = testdata::mutate(testdata::generate(90, 3), 2, 4);
    WriteWholeFile(temp.file("source.lgp"), testlgp::Write(source));
    const std::string mods = temp.folder("mods");
    WriteWholeFile(mods + "a.bin", testdata::bytes("ABCDXFGH"));
    WriteWholeFile(mods + "field.lzs", changedField);

    const CliRun made = cli(temp, {"make-patch", temp.file("source.lgp"), mods, temp.file("p.lgp")});
    ASSERT_EQ(made.code, 0) << made.err;
    EXPECT_EQ(made.err, "Opening source file...\nComparing versions...\nCompiling changes...\nDone!\n");

    for (const bool appendOnly : {false, true})
    {
        WriteWholeFile(temp.file("t.lgp"), testlgp::Write(source));
        std::vector<std::string> args = {"apply-patch", temp.file("t.lgp"), temp.file("p.lgp")};
        if (appendOnly)
            args.insert(args.begin() + 1, "--append-only");
        const CliRun applied = cli(temp, args);
        ASSERT_EQ(applied.code, 0) << applied.err;
        const Bytes after = ReadWholeFile(temp.file("t.lgp"));
        EXPECT_EQ(testlgp::EntryData(after, 0), testdata::bytes("ABCDXFGH"));
        EXPECT_EQ(testlgp::EntryData(after, 1), LzsEncodeLiterals(changedField));
        EXPECT_EQ(testlgp::TocOffset(after, 0) == testlgp::TocOffset(testlgp::Write(source), 0), !appendOnly);
    }
}

TEST(CliPatch, applyPatchEndedOrFailingAtAnyFileWriteLeavesTheOldOrThePatchedArchive)
{
    TempFolder temp;
    testlgp::Archive source{.Files = {{"a.bin", testdata::bytes("ABCDEFGH")}, {"b.bin", testdata::generate(500, 2)}}};
    const Bytes before = testlgp::Write(source);
    WriteWholeFile(temp.file("p.lgp"),
                   testlgp::Write(testlgp::PatchArchive(
                       {{"a.bin", {0x02, 0x03, 'X', 0x02}}, {"b.bin", {0x01, 'z', 0x02}}}, Bytes(3602, 0))));
    const std::vector<std::string> args = {"apply-patch", temp.file("t.lgp"), temp.file("p.lgp")};
    WriteWholeFile(temp.file("t.lgp"), before);
    ASSERT_EQ(cli(temp, args).code, 0);
    const Bytes after = ReadWholeFile(temp.file("t.lgp"));
    for (const std::string mode : {"fail", "exit"})
    {
        for (int k = 1;; ++k)
        {
            WriteWholeFile(temp.file("t.lgp"), before);
            const CliRun run = cli(temp, args, "TARROWIN_FAULT=" + std::to_string(k) + ":" + mode);
            const Bytes now = ReadWholeFile(temp.file("t.lgp"));
            if (run.code == 0)
            {
                EXPECT_EQ(now, after) << k;
                EXPECT_GE(k, 3);
                break;
            }
            EXPECT_EQ(run.code, mode == "fail" ? 1 : 86) << k << run.err;
            EXPECT_TRUE(now == before || (mode == "exit" && now == after)) << mode << " " << k;
            ASSERT_LT(k, 50);
        }
    }
}

TEST(CliPatch, makeSfxThenUnwrapSfxReturnsThePatchByteForByte)
{
    TempFolder temp;
    testlgp::Archive patchArchive{.Creator = "QUENWICK-LGP", .Files = {{"a.bin", testdata::generate(1000, 8)}}};
    const Bytes patch = testlgp::Write(patchArchive);
    WriteWholeFile(temp.file("p.lgp"), patch);
    WriteWholeFile(temp.file("stub.img"), testdata::generate(777, 9));
    CliRun r = cli(temp, {"make-sfx", "--allow-overwrite", "--target", "C:\\FF7\\data\\field\\flevel.lgp", "--stub",
                          temp.file("stub.img"), temp.file("p.lgp"), temp.file("p.exe")});
    ASSERT_EQ(r.code, 0) << r.err;
    const Bytes image = ReadWholeFile(temp.file("p.exe"));
    // The stub, zero bytes up to a multiple of 8 in all, the 56-byte digest
    // record, the patch, the trailer.
    const std::size_t padding = (8 - (777 + 56 + patch.size() + 40) % 8) % 8;
    ASSERT_EQ(image.size(), 777u + padding + 56 + patch.size() + 40);
    EXPECT_EQ(image.size() % 8, 0u);
    EXPECT_EQ(testlgp::Get32(image, image.size() - 40), 777u + padding + 56);
    EXPECT_EQ(testlgp::Get32(image, image.size() - 36), 1u);
    EXPECT_EQ(testlgp::GetName(image, image.size() - 32), "flevel.lgp");

    r = cli(temp, {"unwrap-sfx", temp.file("p.exe"), temp.file("back.lgp")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(ReadWholeFile(temp.file("back.lgp")), patch);

    r = cli(temp, {"unwrap-sfx", temp.file("stub.img"), temp.file("x.lgp")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "tarrowin-cli: " + temp.file("stub.img") + " is not a self-extracting patch.\n");
    EXPECT_EQ(cli(temp, {"make-sfx", "--target"}).code, 2);

    // A program whose tail merely reads as a trailer, and a wrapped file that
    // is no patch: refused, nothing written.
    Bytes program = testdata::generate(5000, 11);
    std::fill(program.end() - 40, program.end() - 36, 0);
    WriteWholeFile(temp.file("program"), program);
    r = cli(temp, {"unwrap-sfx", temp.file("program"), temp.file("x.lgp")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "tarrowin-cli: The payload of " + temp.file("program")
                         + " is not a patch made by Tarrowin (its creator is not \"QUENWICK-LGP\").\n");
    EXPECT_FALSE(std::filesystem::exists(temp.file("x.lgp")));
    WriteWholeFile(temp.file("junk.lgp"), testdata::generate(300, 12));
    ASSERT_EQ(
        cli(temp, {"make-sfx", "--stub", temp.file("stub.img"), temp.file("junk.lgp"), temp.file("junk.exe")}).code, 0);
    EXPECT_EQ(cli(temp, {"unwrap-sfx", temp.file("junk.exe"), temp.file("x.lgp")}).code, 1);
    EXPECT_FALSE(std::filesystem::exists(temp.file("x.lgp")));
}

TEST(CliPatch, makePatchWithoutItsTemplateFailsNamingIt)
{
    // A copy of the program in a folder without "LGP.95".
    TempFolder temp;
    const std::string program = temp.folder("bin") + "tarrowin-cli";
    std::filesystem::copy_file(Platform::Paths::programDir() + "tarrowin-cli", program);
    testlgp::Archive source{.Files = {{"a.bin", testdata::bytes("ABCDEFGH")}}};
    WriteWholeFile(temp.file("source.lgp"), testlgp::Write(source));
    const std::string mods = temp.folder("mods");
    WriteWholeFile(mods + "a.bin", testdata::bytes("ABCDXFGH"));

    EXPECT_TRUE(testcli::FailsWith(
        cli(temp, {"make-patch", temp.file("source.lgp"), mods, temp.file("p.lgp")}, {}, program),
        "Opening source file...\nComparing versions...\nCompiling changes...\n"
        "tarrowin-cli: Couldn't find an appropriate file validation data. Perhaps you are trying to make "
        "an LGP with an unsupported number of files in it. The template looked for is "
            + temp.folder("bin") + "LGP.95.\n"));
    EXPECT_FALSE(std::filesystem::exists(temp.file("p.lgp")));
}

TEST(CliPatch, lzsEncodeCompressesByDefaultStoresWithStoreAndDecodeGivesTheFileBack)
{
    TempFolder temp;
    const Bytes data = testdata::generate(5000, 10);
    WriteWholeFile(temp.file("in.bin"), data);
    ASSERT_EQ(cli(temp, {"lzs-encode", temp.file("in.bin"), temp.file("in.lzs")}).code, 0);
    const Bytes compressed = ReadWholeFile(temp.file("in.lzs"));
    EXPECT_EQ(compressed, LzsEncode(data));
    EXPECT_LT(compressed.size(), data.size() / 2);
    ASSERT_EQ(cli(temp, {"lzs-decode", temp.file("in.lzs"), temp.file("out.bin")}).code, 0);
    EXPECT_EQ(ReadWholeFile(temp.file("out.bin")), data);

    // --store: literals only, as before.
    ASSERT_EQ(cli(temp, {"lzs-encode", "--store", temp.file("in.bin"), temp.file("stored.lzs")}).code, 0);
    EXPECT_EQ(ReadWholeFile(temp.file("stored.lzs")), LzsEncodeLiterals(data));
    ASSERT_EQ(cli(temp, {"lzs-decode", temp.file("stored.lzs"), temp.file("out2.bin")}).code, 0);
    EXPECT_EQ(ReadWholeFile(temp.file("out2.bin")), data);

    // Empty input: an empty payload either way.
    WriteWholeFile(temp.file("empty.bin"), Bytes{});
    ASSERT_EQ(cli(temp, {"lzs-encode", temp.file("empty.bin"), temp.file("empty.lzs")}).code, 0);
    EXPECT_EQ(ReadWholeFile(temp.file("empty.lzs")), (Bytes{0, 0, 0, 0}));
}

TEST(CliPatch, lzsDecodeRefusesDataThatFailsTheProbeUnlessForced)
{
    TempFolder temp;
    WriteWholeFile(temp.file("plain.txt"), testdata::bytes("Hello, plain text\n"));
    CliRun r = cli(temp, {"lzs-decode", temp.file("plain.txt"), temp.file("out.bin")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(
        r.err,
        "tarrowin-cli: " + temp.file("plain.txt")
            + " is not LZS data (its first 4 bytes say 1819043144, its length minus 4 is 14). Nothing was written; "
              "--force decodes it anyway.\n");
    EXPECT_FALSE(std::filesystem::exists(temp.file("out.bin")));
    WriteWholeFile(temp.file("short"), Bytes{1, 2});
    r = cli(temp, {"lzs-decode", temp.file("short"), temp.file("out.bin")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("(it is shorter than 4 bytes)"), std::string::npos);

    // Forced: decoded for what its bytes say.
    WriteWholeFile(temp.file("forced.lzs"), Bytes{9, 9, 9, 9, 0xFF, 'a', 'b'});
    r = cli(temp, {"lzs-decode", "--force", temp.file("forced.lzs"), temp.file("out.bin")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(ReadWholeFile(temp.file("out.bin")), testdata::bytes("ab"));
}

TEST(CliPatch, makePatchRefusesToCutFilesUnlessToldToLeaveThemOut)
{
    TempFolder temp;
    testlgp::Archive source{
        .Files = {{"a.bin", testdata::bytes("ABCDEFGH")}, {"big.tex", testdata::bytes("12345678")}}};
    WriteWholeFile(temp.file("source.lgp"), testlgp::Write(source));
    const std::string mods = temp.folder("mods");
    WriteWholeFile(mods + "a.bin", testdata::bytes("ABCDXFGH"));
    WriteWholeFile(mods + "big.tex", testdata::bytes("12345678 and a larger texture"));
    WriteWholeFile(mods + "added.bin", testdata::bytes("new"));

    const std::string list = "  big.tex: 29 bytes in the modified version, 8 in the source\n"
                             "  added.bin: only in the modified version\n";
    CliRun r = cli(temp, {"make-patch", temp.file("source.lgp"), mods, temp.file("p.lgp")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(
        r.err,
        "Opening source file...\nComparing versions...\ntarrowin-cli: A patch can't add files or make a file longer, "
        "so it can't carry these files whole:\n"
            + list + "No patch was written; --leave-out-unpatchable makes it without them.\n");
    EXPECT_FALSE(std::filesystem::exists(temp.file("p.lgp")));

    r = cli(temp, {"make-patch", "--leave-out-unpatchable", temp.file("source.lgp"), mods, temp.file("p.lgp")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "Opening source file...\nComparing versions...\nLeft out, as a patch can't carry them whole:\n"
                         + list + "Compiling changes...\nDone!\n");
    const Bytes patch = ReadWholeFile(temp.file("p.lgp"));
    ASSERT_EQ(testlgp::FileCount(patch), 1u);
    EXPECT_EQ(testlgp::TocName(patch, 0), "a.bin");
}

TEST(CliPatch, readOnlyOutputsAreRefusedAndKept)
{
    TempFolder temp;
    WriteWholeFile(temp.file("p.lgp"), testlgp::Write(testlgp::PatchArchive({{"a.bin", {0x02, 0x03, 'X', 0x02}}})));
    WriteWholeFile(temp.file("stub.img"), testdata::generate(300, 1));
    WriteWholeFile(temp.file("in.bin"), testdata::generate(100, 2));
    WriteWholeFile(temp.file("in.lzs"), LzsEncodeLiterals(testdata::generate(100, 2)));
    ASSERT_EQ(cli(temp, {"make-sfx", "--stub", temp.file("stub.img"), temp.file("p.lgp"), temp.file("p.exe")}).code, 0);
    const std::string kept = temp.file("kept");
    WriteWholeFile(kept, testdata::bytes("keep me"));
    ::chmod(kept.c_str(), 0444);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"lzs-encode", temp.file("in.bin"), kept},
          {"lzs-decode", temp.file("in.lzs"), kept},
          {"make-sfx", "--stub", temp.file("stub.img"), temp.file("p.lgp"), kept},
          {"unwrap-sfx", temp.file("p.exe"), kept}})
    {
        EXPECT_TRUE(
            testcli::FailsWith(cli(temp, args), "tarrowin-cli: Cannot create file " + kept + ": Permission denied\n"))
            << args[0];
        EXPECT_EQ(ReadWholeFile(kept), testdata::bytes("keep me")) << args[0];
    }
}

TEST(CliPatch, applyPatchRefusesFilesThatAreNoPatchAndLeavesTheArchive)
{
    TempFolder temp;
    testlgp::Archive archive{.Files = {{"a.bin", testdata::bytes("ABCDEFGH")}}};
    const Bytes original = testlgp::Write(archive);
    WriteWholeFile(temp.file("t.lgp"), original);

    // A program's image: bytes 12 to 15 are zero, so it reads as an empty TOC.
    Bytes program = testdata::generate(400, 5);
    std::fill(program.begin() + 12, program.begin() + 16, 0);
    WriteWholeFile(temp.file("program"), program);
    Bytes cut = testlgp::Write(testlgp::PatchArchive({{"a.bin", {0x02, 0x03, 'X', 0x02}}}, {}, {}));
    cut.pop_back();
    WriteWholeFile(temp.file("cut.lgp"), cut);
    const std::string fifo = temp.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);

    const std::vector<std::pair<std::string, std::string>> cases = {
        {temp.file("program"),
         "tarrowin-cli: " + temp.file("program") + " is not a patch file: it holds no entries.\n"},
        {temp.file("cut.lgp"),
         "tarrowin-cli: " + temp.file("cut.lgp")
             + " is not a patch file: the data of its entry \"a.bin\" does not lie inside the file.\n"},
        {fifo, "tarrowin-cli: Cannot open file " + fifo + ": Invalid argument\n"},
    };
    for (const auto& [file, message] : cases)
    {
        const CliRun r = cli(temp, {"apply-patch", temp.file("t.lgp"), file});
        EXPECT_EQ(r.code, 1) << file;
        EXPECT_EQ(r.err, message);
        EXPECT_EQ(ReadWholeFile(temp.file("t.lgp")), original);
    }
    const CliRun toFifo = cli(temp, {"apply-patch", fifo, temp.file("program")});
    EXPECT_EQ(toFifo.code, 1);
}

TEST(CliPatch, appendOnlyWritesWhereTheDataEndsBeforeALongTrailingText)
{
    TempFolder temp;
    testlgp::Archive archive{.Files = {{"a.bin", testdata::bytes("ABCDEFGH")}, {"b.bin", testdata::bytes("12345678")}},
                             .Trailing = testlgp::B("FINAL FANTASY7 - modded by X")};
    const Bytes original = testlgp::Write(archive);
    WriteWholeFile(temp.file("t.lgp"), original);
    WriteWholeFile(temp.file("p.lgp"), testlgp::Write(testlgp::PatchArchive({{"a.bin", {0x02, 0x03, 'X', 0x02}}})));

    const CliRun r = cli(temp, {"apply-patch", "--append-only", temp.file("t.lgp"), temp.file("p.lgp")});
    ASSERT_EQ(r.code, 0) << r.err;
    const Bytes after = ReadWholeFile(temp.file("t.lgp"));
    const std::size_t dataEnd = original.size() - archive.Trailing.size();
    EXPECT_EQ(std::size_t(testlgp::TocOffset(after, 0)), dataEnd);
    EXPECT_EQ(testlgp::EntryData(after, 0), testdata::bytes("ABCDXFGH"));
    EXPECT_EQ(after.size(), dataEnd + 24 + 8 + archive.Trailing.size());
    EXPECT_EQ(Bytes(after.end() - 28, after.end()), archive.Trailing);
}

TEST(CliPatch, repeatedNamesArePatchedCopyByCopy)
{
    TempFolder temp;
    const auto entries = testlgp::MagicStyleEntries();
    const Bytes source = testlgp::MagicBytes(entries);
    WriteWholeFile(temp.file("source.lgp"), source);
    const auto with = [&](std::size_t index, const std::string& data) {
        auto changed = entries;
        changed[index].Data = testlgp::B(data);
        return testlgp::MagicBytes(changed);
    };
    const auto patchAndApply = [&](const Bytes& modified, int status = 0) {
        WriteWholeFile(temp.file("modified.lgp"), modified);
        const CliRun made =
            cli(temp, {"make-patch", temp.file("source.lgp"), temp.file("modified.lgp"), temp.file("p.lgp")});
        EXPECT_EQ(made.code, 0) << made.err;
        WriteWholeFile(temp.file("t.lgp"), source);
        const CliRun applied = cli(temp, {"apply-patch", temp.file("t.lgp"), temp.file("p.lgp")});
        EXPECT_EQ(applied.code, status) << applied.err;
        return ReadWholeFile(temp.file("t.lgp"));
    };

    // An identical copy: no differences (the copies differ in length, none
    // grew); the empty patch changes nothing and says so.
    EXPECT_EQ(patchAndApply(source, 1), source);
    EXPECT_EQ(testlgp::FileCount(ReadWholeFile(temp.file("p.lgp"))), 0u);
    // One copy changed: that copy alone changes.
    const Bytes modified = with(4, "FIRE");
    EXPECT_EQ(testlgp::Entries(patchAndApply(modified)), testlgp::Entries(modified));

    // A grown copy is named by its folder.
    WriteWholeFile(temp.file("modified.lgp"), with(3, "fire one in mag_a, grown"));
    EXPECT_TRUE(testcli::FailsWith(
        cli(temp, {"make-patch", temp.file("source.lgp"), temp.file("modified.lgp"), temp.file("g.lgp")}),
        "Opening patch file...\nOpening source file...\nComparing versions...\ntarrowin-cli: A patch "
        "can't add files or "
        "make a file longer, so it can't carry these files whole:\n  mag_a/fire_1.p: 24 bytes in the "
        "modified version, 17 in the source\nNo patch was written; --leave-out-unpatchable makes it "
        "without them.\n"));

    // A difference for the name alone can't say which copy it is for.
    WriteWholeFile(temp.file("plain.lgp"),
                   testlgp::Write(testlgp::PatchArchive({{"wind_1.p", {0x01, 'W'}}}, Bytes(3602, 0))));
    WriteWholeFile(temp.file("t.lgp"), source);
    EXPECT_TRUE(testcli::FailsWith(
        cli(temp, {"apply-patch", temp.file("t.lgp"), temp.file("plain.lgp")}),
        "tarrowin-cli: The patch changes \"wind_1.p\" without saying which copy of the name it is for, and the "
        "archive "
            + temp.file("t.lgp")
            + " holds 2 copies of it (mag_a/wind_1.p, mag_b/wind_1.p). "
              "Nothing was changed.\n"));
    EXPECT_EQ(ReadWholeFile(temp.file("t.lgp")), source);
}

// apply-patch says what it did: how many entries it patched, which files of
// the patch the archive lacks; none found is a failure that changes nothing;
// an append-only run again appends nothing.
TEST(CliPatch, applyPatchSaysWhatItPatchedAndRefusesAnArchiveWithNoneOfItsFiles)
{
    TempFolder temp;
    testlgp::Archive archive{.Files = {{"a.bin", testdata::bytes("ABCDEFGH")}, {"b.bin", testdata::bytes("12345678")}}};
    const Bytes original = testlgp::Write(archive);
    WriteWholeFile(temp.file("t.lgp"), original);
    testlgp::Archive patch{
        .Creator = "QUENWICK-LGP",
        .Files = {{"a.bin", {0x02, 0x03, 'X', 0x02}}, {"gone.bin", {0x00, 0x07}}, {"lost.tex", {0x00, 0x07}}}};
    WriteWholeFile(temp.file("p.lgp"), testlgp::Write(patch));
    const std::vector<std::string> args = {"apply-patch", "--append-only", temp.file("t.lgp"), temp.file("p.lgp")};

    CliRun r = cli(temp, args);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Patched 1 entry of " + temp.file("t.lgp")
                         + ".\nThe archive does not hold 2 of the patch's files: gone.bin, lost.tex\n");
    const Bytes once = ReadWholeFile(temp.file("t.lgp"));
    EXPECT_EQ(testlgp::EntryData(once, 0), testdata::bytes("ABCDXFGH"));

    r = cli(temp, args);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "Patched 0 entries of " + temp.file("t.lgp")
                         + ".\nLeft 1 entry as it was: it holds the patched data already.\n"
                           "The archive does not hold 2 of the patch's files: gone.bin, lost.tex\n");
    EXPECT_EQ(ReadWholeFile(temp.file("t.lgp")), once);

    testlgp::Archive other{.Files = {{"x.bin", testdata::bytes("ABCDEFGH")}}};
    const Bytes untouched = testlgp::Write(other);
    WriteWholeFile(temp.file("o.lgp"), untouched);
    r = cli(temp, {"apply-patch", temp.file("o.lgp"), temp.file("p.lgp")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err,
              "tarrowin-cli: " + temp.file("o.lgp") + " holds none of this patch's files; nothing was changed.\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ReadWholeFile(temp.file("o.lgp")), untouched);
}
