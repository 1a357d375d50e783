// The patch commands of tarrowin-cli, run as a program beside the tests.

#include "core/streams.h"
#include "patch/FFLZs.h"
#include "platform/paths.h"

#include "tempfolder.h"
#include "testarchive.h"
#include "testdata.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>

namespace
{
    using testdata::Bytes;

    std::string quote(const std::string& s)
    {
        std::string out = "'";
        for (const char c : s)
            out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    }

    struct CliRun
    {
        int code;
        std::string err;
    };

    CliRun cli(const TempFolder& temp, const std::vector<std::string>& args, const std::string& environment = {})
    {
        // Its own temporary folder, so the work folder is never shared.
        std::string command = environment + " TMPDIR=" + quote(temp.folder("tmp")) + " " +
            quote(Platform::Paths::programDir() + "tarrowin-cli");
        for (const auto& a : args)
            command += " " + quote(a);
        command += " 2>" + quote(temp.file("stderr.txt"));
        const int status = std::system(command.c_str());
        std::ifstream in(temp.file("stderr.txt"));
        std::stringstream err;
        err << in.rdbuf();
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, err.str()};
    }
}

TEST(CliPatch, makePatchThenApplyPatchWithAndWithoutAppendOnly)
{
    TempFolder temp;
    testarchive::Archive source;
    source.entries = {{"a.bin", testdata::bytes("ABCDEFGH")}, {"field.lzs", LzsEncodeLiterals(testdata::generate(90, 3))}};
    const Bytes changedField = testdata::mutate(testdata::generate(90, 3), 2, 4);
    WriteWholeFile(temp.file("source.lgp"), testarchive::write(source));
    const std::string mods = temp.folder("mods");
    WriteWholeFile(mods + "a.bin", testdata::bytes("ABCDXFGH"));
    WriteWholeFile(mods + "field.lzs", changedField);

    const CliRun made = cli(temp, {"make-patch", temp.file("source.lgp"), mods, temp.file("p.lgp")});
    ASSERT_EQ(made.code, 0) << made.err;
    EXPECT_EQ(made.err, "Opening source file...\nComparing versions...\nCompiling changes...\nDone!\n");

    for (const bool appendOnly : {false, true})
    {
        WriteWholeFile(temp.file("t.lgp"), testarchive::write(source));
        std::vector<std::string> args = {"apply-patch", temp.file("t.lgp"), temp.file("p.lgp")};
        if (appendOnly)
            args.insert(args.begin() + 1, "--append-only");
        const CliRun applied = cli(temp, args);
        ASSERT_EQ(applied.code, 0) << applied.err;
        const Bytes after = ReadWholeFile(temp.file("t.lgp"));
        EXPECT_EQ(testarchive::entryData(after, 0), testdata::bytes("ABCDXFGH"));
        EXPECT_EQ(testarchive::entryData(after, 1), LzsEncodeLiterals(changedField));
        EXPECT_EQ(testarchive::tocOffset(after, 0) == testarchive::tocOffset(testarchive::write(source), 0), !appendOnly);
    }
}

TEST(CliPatch, applyPatchEndedOrFailingAtAnyFileWriteLeavesTheOldOrThePatchedArchive)
{
    TempFolder temp;
    testarchive::Archive source;
    source.entries = {{"a.bin", testdata::bytes("ABCDEFGH")}, {"b.bin", testdata::generate(500, 2)}};
    const Bytes before = testarchive::write(source);
    testarchive::Archive patch;
    patch.creator = "QUENWICK-LGP";
    patch.trailing = "LGP PATCH FILE";
    patch.validation = Bytes(3602, 0);
    patch.entries = {{"a.bin", {0x02, 0x03, 'X', 0x02}}, {"b.bin", {0x01, 'z', 0x02}}};
    WriteWholeFile(temp.file("p.lgp"), testarchive::write(patch));
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
    const Bytes patch = testdata::generate(1234, 8);
    WriteWholeFile(temp.file("p.lgp"), patch);
    WriteWholeFile(temp.file("stub.img"), testdata::generate(777, 9));
    CliRun r = cli(temp, {"make-sfx", "--allow-overwrite", "--target", "C:\\FF7\\data\\field\\flevel.lgp", "--stub",
                          temp.file("stub.img"), temp.file("p.lgp"), temp.file("p.exe")});
    ASSERT_EQ(r.code, 0) << r.err;
    const Bytes image = ReadWholeFile(temp.file("p.exe"));
    ASSERT_EQ(image.size(), 777u + 1234 + 40);
    EXPECT_EQ(testarchive::get32(image, image.size() - 40), 777u);
    EXPECT_EQ(testarchive::get32(image, image.size() - 36), 1u);
    EXPECT_EQ(testarchive::getName(image, image.size() - 32), "flevel.lgp");

    r = cli(temp, {"unwrap-sfx", temp.file("p.exe"), temp.file("back.lgp")});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(ReadWholeFile(temp.file("back.lgp")), patch);

    r = cli(temp, {"unwrap-sfx", temp.file("stub.img"), temp.file("x.lgp")});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, temp.file("stub.img") + " is not a self-extracting patch.\n");
    EXPECT_EQ(cli(temp, {"make-sfx", "--target"}).code, 2);
}

TEST(CliPatch, lzsEncodeThenDecodeGivesTheFileBack)
{
    TempFolder temp;
    const Bytes data = testdata::generate(5000, 10);
    WriteWholeFile(temp.file("in.bin"), data);
    ASSERT_EQ(cli(temp, {"lzs-encode", temp.file("in.bin"), temp.file("in.lzs")}).code, 0);
    EXPECT_EQ(ReadWholeFile(temp.file("in.lzs")), LzsEncodeLiterals(data));
    ASSERT_EQ(cli(temp, {"lzs-decode", temp.file("in.lzs"), temp.file("out.bin")}).code, 0);
    EXPECT_EQ(ReadWholeFile(temp.file("out.bin")), data);
}
