#include "patch/FFLZs.h"
#include "patch/lgppatch.h"

#include "errors/errors.h"
#include "platform/paths.h"
#include "support/failure.h"
#include "support/gtestfolder.h"
#include "support/lgpwriter.h"
#include "support/scopedenv.h"
#include "support/testdata.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace
{
    using testdata::Bytes;
    namespace fs = std::filesystem;

    // Points the temporary folder (and so the work folder) into the test's
    // own folder, so tests running side by side never share "LGPMK.TMP".
    class CreatePatchTest : public ::testing::Test
    {
    protected:
        std::string write(const std::string& name, const testlgp::Archive& archive)
        {
            WriteWholeFile(mTemp.file(name), testlgp::Write(archive));
            return mTemp.file(name);
        }

        // Runs CreatePatch, recording the status texts and the files it could
        // not carry (answered with leaveOut; unset when leaveOut is empty),
        // and returns the patch.
        Bytes create(PatchCreationOptions options)
        {
            options.Output = mTemp.file("out.lgp");
            PatchCreationCallbacks callbacks;
            callbacks.Status = [this](const std::string& text) { statuses.push_back(text); };
            callbacks.SetBarMaximum = [this](std::int32_t maximum) { barMaximum = maximum; };
            callbacks.SetBarPosition = [this](std::int32_t position) { positions.push_back(position); };
            if (leaveOut)
                callbacks.LeaveOut = [this](const std::vector<UnpatchableFile>& files) {
                    unpatchable = DescribeUnpatchableFiles(files);
                    return *leaveOut;
                };
            written = CreatePatch(options, callbacks);
            return written ? ReadWholeFile(options.Output) : Bytes{};
        }

        // What a run left in the temporary folder under the work folder's name.
        std::vector<std::string> workFolders() const
        {
            std::vector<std::string> found;
            for (const auto& item : fs::directory_iterator(Platform::Paths::tempDir()))
            {
                if (item.path().filename().string().starts_with("LGPMK.TMP."))
                    found.push_back(item.path().string());
            }
            return found;
        }

        Bytes createFromArchives(const testlgp::Archive& source, const testlgp::Archive& modified,
                                 bool skipSameLength = false)
        {
            PatchCreationOptions options;
            options.Source = write("source.lgp", source);
            options.ModifiedArchive = write("modified.lgp", modified);
            options.SkipSameLength = skipSameLength;
            return create(options);
        }

        std::vector<std::string> names(const Bytes& patch)
        {
            std::vector<std::string> result;
            for (std::uint32_t i = 0; i < testlgp::FileCount(patch); ++i)
                result.push_back(testlgp::TocName(patch, i));
            return result;
        }

        TempFolder mTemp;
        testlgp::ScopedEnv mTmpDir{"TMPDIR", mTemp.folder("tmp")};
        std::vector<std::string> statuses;
        std::int32_t barMaximum = -1;
        std::vector<std::int32_t> positions;
        std::optional<bool> leaveOut;
        std::string unpatchable;
        bool written = false;
    };
}

TEST_F(CreatePatchTest, identicalArchivesGiveAnEmptyPatchFile)
{
    testlgp::Archive source{.Files = {{"a.bin", testdata::bytes("ABCDEFGH")}, {"b.bin", testdata::bytes("12345678")}}};
    const Bytes patch = createFromArchives(source, source);

    Bytes expected = testdata::bytes("QUENWICK-LGP");
    expected.insert(expected.end(), {0, 0, 0, 0});
    const Bytes validation = ReadWholeFile(PatchTemplatePath());
    expected.insert(expected.end(), validation.begin(), validation.end());
    const Bytes trailing = testdata::bytes("LGP PATCH FILE");
    expected.insert(expected.end(), trailing.begin(), trailing.end());
    EXPECT_EQ(patch, expected);

    EXPECT_EQ(statuses, (std::vector<std::string>{"Opening patch file...", "Opening source file...",
                                                  "Comparing versions...", "Compiling changes...", "Done!"}));
    EXPECT_EQ(barMaximum, 2);
    EXPECT_EQ(positions, (std::vector<std::int32_t>{0, 1, 2}));
    EXPECT_TRUE(workFolders().empty());
}

TEST_F(CreatePatchTest, patchFromTwoArchivesGivesTheModifiedContentsForEveryChangedEntry)
{
    const Bytes fieldPlain = testdata::generate(5000, 21);
    const Bytes fieldChanged = testdata::mutate(fieldPlain, 6, 22);
    const Bytes texOld = testdata::generate(700, 23);
    Bytes texLonger = testdata::mutate(texOld, 2, 24);
    texLonger.insert(texLonger.end(), 50, 'L');
    const Bytes modelOld = testdata::generate(900, 25);
    const Bytes modelShorter(modelOld.begin() + 0, modelOld.begin() + 600);
    Bytes modelShorterChanged = modelShorter;
    modelShorterChanged[10] ^= 1;
    const Bytes sameOld = testdata::generate(300, 26);

    testlgp::Archive source;
    source.Files = {{"field.lzs", testdata::lzsCompress(fieldPlain)},
                    {"Tex.tex", texOld},
                    {"model.p", modelOld},
                    {"same.bin", sameOld},
                    {"gone.bin", testdata::bytes("only in source")},
                    {"stored.lzs", LzsEncodeLiterals(fieldPlain)}};
    testlgp::Archive modified;
    // Case differs from the source: names match ASCII case-insensitively.
    modified.Files = {{"FIELD.LZS", testdata::lzsCompress(fieldChanged)},
                      {"tex.TEX", texLonger},
                      {"model.p", modelShorterChanged},
                      {"same.bin", sameOld},
                      {"new.bin", testdata::bytes("only in modified")},
                      {"stored.lzs", fieldChanged}};
    leaveOut = true;
    const Bytes patch = createFromArchives(source, modified);
    EXPECT_EQ(
        unpatchable,
        "  Tex.tex: 750 bytes in the modified version, 700 in the source\n  new.bin: only in the modified version");

    // Ordered by name case-insensitively; unchanged and one-sided files, and
    // the one that grew, are left out.
    EXPECT_EQ(names(patch), (std::vector<std::string>{"field.lzs", "model.p", "stored.lzs"}));
    EXPECT_EQ(std::string(patch.end() - 14, patch.end()), "LGP PATCH FILE");

    const Bytes sourceFile = testlgp::Write(source);
    for (const bool overwrite : {true, false})
    {
        for (const auto variant : {RawEditorVariant::Main, RawEditorVariant::Stub})
        {
            WriteWholeFile(mTemp.file("target.lgp"), sourceFile);
            {
                TRawLGPFile raw(mTemp.file("target.lgp"), variant);
                const TLGPFile index(mTemp.file("out.lgp"), true);
                ApplyPatch(raw, index, overwrite);
            }
            const Bytes after = ReadWholeFile(mTemp.file("target.lgp"));
            SCOPED_TRACE(::testing::Message()
                         << "overwrite " << overwrite << " stub " << (variant == RawEditorVariant::Stub));
            EXPECT_EQ(testlgp::EntryData(after, 0), LzsEncodeLiterals(fieldChanged));
            EXPECT_EQ(testlgp::EntryData(after, 1), texOld);
            EXPECT_EQ(testlgp::EntryData(after, 2), modelShorterChanged);
            EXPECT_EQ(testlgp::EntryData(after, 3), sameOld);
            EXPECT_EQ(testlgp::EntryData(after, 4), testdata::bytes("only in source"));
            EXPECT_EQ(testlgp::EntryData(after, 5), LzsEncodeLiterals(fieldChanged));
        }
    }
}

TEST_F(CreatePatchTest, skipSameLengthLeavesOutChangedFilesOfTheSameStoredLength)
{
    testlgp::Archive source{
        .Files = {{"same.bin", testdata::bytes("ABCDEFGH")}, {"shorter.bin", testdata::bytes("ABCDEFGH")}}};
    testlgp::Archive modified{
        .Files = {{"same.bin", testdata::bytes("ABCDXFGH")}, {"shorter.bin", testdata::bytes("ABCDXFG")}}};
    EXPECT_EQ(names(createFromArchives(source, modified, true)), (std::vector<std::string>{"shorter.bin"}));
    EXPECT_EQ(names(createFromArchives(source, modified, false)),
              (std::vector<std::string>{"same.bin", "shorter.bin"}));
}

TEST_F(CreatePatchTest, modifiedFolderSuppliesFilesByEntryName)
{
    testlgp::Archive source{.Files = {{"a.bin", testdata::bytes("ABCDEFGH")},
                                      {"B.BIN", testdata::bytes("ABCDEFGH")},
                                      {"missing.bin", testdata::bytes("ABCDEFGH")}}};
    const std::string folder = mTemp.folder("mods");
    WriteWholeFile(folder + "a.bin", testdata::bytes("ABCDXFGH"));
    WriteWholeFile(folder + "b.bin", testdata::bytes("ABCDYFGH")); // other case
    WriteWholeFile(folder + "extra.bin", testdata::bytes("not in source"));

    PatchCreationOptions options;
    options.Source = write("source.lgp", source);
    options.ModifiedIsFolder = true;
    options.ModifiedFolder = folder;
    WriteWholeFile(folder + ".hidden", testdata::bytes("dot files are no modified files"));
    leaveOut = true;
    const Bytes patch = create(options);
    EXPECT_EQ(unpatchable, "  extra.bin: only in the modified version");
    EXPECT_EQ(names(patch), (std::vector<std::string>{"a.bin", "B.BIN"}));
    EXPECT_EQ(testlgp::EntryData(patch, 1), (Bytes{0x02, 0x03, 'Y', 0x02}));
    EXPECT_EQ(statuses.front(), "Opening source file...");
}

TEST_F(CreatePatchTest, leftoverFilesInTheWorkFolderNeverReachThePatch)
{
    const std::string old = Platform::Paths::tempDir() + "LGPMK.TMP/";
    fs::create_directories(old);
    WriteWholeFile(old + "stale.bin", Bytes{0x02, 0x03, 'X', 0x02});
    testlgp::Archive source{.Files = {{"a.bin", testdata::bytes("ABCDEFGH")}}};
    testlgp::Archive modified{.Files = {{"a.bin", testdata::bytes("ABCDXFGH")}}};
    EXPECT_EQ(names(createFromArchives(source, modified)), (std::vector<std::string>{"a.bin"}));
    EXPECT_TRUE(workFolders().empty());
    // Not this run's file: it stays where it was.
    EXPECT_EQ(ReadWholeFile(old + "stale.bin"), (Bytes{0x02, 0x03, 'X', 0x02}));
}

TEST_F(CreatePatchTest, workFolderIsANewPrivateFolderNeverReachedThroughALink)
{
    // Anyone can plant a link of the old fixed name in a shared temporary folder.
    const std::string victim = mTemp.folder("victim");
    WriteWholeFile(victim + "a.bin", testdata::bytes("someone else's file"));
    WriteWholeFile(victim + "notes.txt", testdata::bytes("keep me"));
    fs::create_directory_symlink(victim, Platform::Paths::tempDir() + "LGPMK.TMP");

    testlgp::Archive source{.Files = {{"a.bin", testdata::bytes("ABCDEFGH")}, {"b.bin", testdata::bytes("12345678")}}};
    testlgp::Archive modified{
        .Files = {{"a.bin", testdata::bytes("ABCDXFGH")}, {"b.bin", testdata::bytes("12345678")}}};
    const Bytes patch = createFromArchives(source, modified);
    EXPECT_EQ(names(patch), (std::vector<std::string>{"a.bin"}));
    EXPECT_EQ(testlgp::EntryData(patch, 0), (Bytes{0x02, 0x03, 'X', 0x02}));
    EXPECT_EQ(statuses.back(), "Done!");
    EXPECT_EQ(ReadWholeFile(victim + "a.bin"), testdata::bytes("someone else's file"));
    EXPECT_EQ(ReadWholeFile(victim + "notes.txt"), testdata::bytes("keep me"));
    EXPECT_EQ(std::distance(fs::directory_iterator(victim), fs::directory_iterator()), 2);
    EXPECT_TRUE(fs::is_symlink(Platform::Paths::tempDir() + "LGPMK.TMP"));
    EXPECT_TRUE(workFolders().empty());

    // Each run's folder is new, a real folder, and only its owner's.
    const std::string first = PatchWorkFolder();
    const std::string second = PatchWorkFolder();
    EXPECT_NE(first, second);
    for (const std::string& folder : {first, second})
    {
        EXPECT_TRUE(folder.starts_with(Platform::Paths::tempDir() + "LGPMK.TMP."));
        EXPECT_EQ(folder.back(), '/');
        EXPECT_FALSE(fs::is_symlink(folder.substr(0, folder.size() - 1)));
        EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
        fs::remove(folder);
    }
}

TEST_F(CreatePatchTest, failedRunRemovesItsWorkFolderWithTheFilesItWrote)
{
    testlgp::Archive source{
        .Files = {{"a.bin", testdata::bytes("ABCDEFGH")}, {".hidden", testdata::bytes("ABCDEFGH")}}};
    testlgp::Archive modified{
        .Files = {{"a.bin", testdata::bytes("ABCDXFGH")}, {".hidden", testdata::bytes("ABCDXFGH")}}};
    EXPECT_NE(testlgp::FailureText<ELGPError>([&] { createFromArchives(source, modified); }), "(no failure)");
    EXPECT_TRUE(workFolders().empty());
    EXPECT_FALSE(fs::exists(mTemp.file("out.lgp")));
}

TEST_F(CreatePatchTest, filesAPatchCannotCarryWholeAreNeverCut)
{
    const Bytes grownPlain = testdata::generate(400, 31);
    Bytes grown = testdata::mutate(testdata::generate(300, 30), 3, 32);
    grown.insert(grown.end(), grownPlain.begin(), grownPlain.end());
    testlgp::Archive source{.Files = {{"a.bin", testdata::bytes("ABCDEFGH")},
                                      {"grown.lzs", LzsEncodeLiterals(testdata::generate(300, 30))},
                                      {"same.bin", testdata::bytes("12345678")}}};
    testlgp::Archive modified;
    // Only longer once decoded: the stored lengths say nothing.
    modified.Files = {{"NEW.BIN", testdata::bytes("new")},
                      {"a.bin", testdata::bytes("ABCDXFGH")},
                      {"grown.lzs", testdata::lzsCompress(grown)},
                      {"same.bin", testdata::bytes("12345678")},
                      {"new.bin", testdata::bytes("again")}};
    const std::string list =
        "  grown.lzs: 700 bytes in the modified version, 300 in the source\n  NEW.BIN: only in the modified version";

    // Nobody to ask: refused, nothing written.
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { createFromArchives(source, modified); }),
              "A patch can't add files or make a file longer, so it can't carry these files whole:\n" + list
                  + "\nNo patch was written.");
    EXPECT_FALSE(fs::exists(mTemp.file("out.lgp")));
    EXPECT_TRUE(workFolders().empty());

    // Asked and declined: nothing written, no failure.
    leaveOut = false;
    statuses.clear();
    createFromArchives(source, modified);
    EXPECT_FALSE(written);
    EXPECT_EQ(unpatchable, list);
    EXPECT_FALSE(fs::exists(mTemp.file("out.lgp")));
    EXPECT_EQ(statuses.back(), "Comparing versions...");
    EXPECT_TRUE(workFolders().empty());

    // Accepted: the patch carries the rest, the grown file is left as it was.
    leaveOut = true;
    const Bytes patch = createFromArchives(source, modified);
    EXPECT_TRUE(written);
    EXPECT_EQ(names(patch), (std::vector<std::string>{"a.bin"}));
    EXPECT_EQ(statuses.back(), "Done!");

    // The description names how many more there are past its last line.
    std::vector<UnpatchableFile> many(5, UnpatchableFile{"x.bin", true, 0, 0});
    EXPECT_EQ(DescribeUnpatchableFiles(many, 3),
              "  x.bin: only in the modified version\n  x.bin: only in the modified version\n  ... and 3 more");
    EXPECT_EQ(DescribeUnpatchableFiles(std::vector<UnpatchableFile>(3, many[0]), 3),
              "  x.bin: only in the modified version\n  x.bin: only in the modified version\n"
              "  x.bin: only in the modified version");

    // One byte more is longer.
    source.Files = {{"a.bin", testdata::bytes("ABCDEFGH")}};
    modified.Files = {{"a.bin", testdata::bytes("ABCDEFGHI")}};
    unpatchable.clear();
    leaveOut = false;
    createFromArchives(source, modified);
    EXPECT_FALSE(written);
    EXPECT_EQ(unpatchable, "  a.bin: 9 bytes in the modified version, 8 in the source");
}

TEST_F(CreatePatchTest, entryNamesThatAreNoPlainFileNamesAreRefused)
{
    for (const std::string name : {"../escape.bin", "sub\\x.bin", "..", ".", ""})
    {
        SCOPED_TRACE(name);
        testlgp::Archive source{.Files = {{name, testdata::bytes("ABCDEFGH")}}};
        testlgp::Archive modified{.Files = {{name, testdata::bytes("ABCDXFGH")}}};
        EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { createFromArchives(source, modified); }),
                  "The entry name \"" + name + "\" is not a plain file name; it cannot be written to a folder.");
        EXPECT_FALSE(fs::exists(mTemp.file("tmp/escape.bin")));
        EXPECT_FALSE(fs::exists(mTemp.file("out.lgp")));
    }
    // An unchanged entry of such a name needs no file and is no failure.
    testlgp::Archive same{.Files = {{"../escape.bin", testdata::bytes("ABCDEFGH")}}};
    EXPECT_EQ(testlgp::FileCount(createFromArchives(same, same)), 0u);
}

TEST_F(CreatePatchTest, entryNamesThatThePatchBuilderWouldSkipAreRefused)
{
    testlgp::Archive source{.Files = {{".hidden", testdata::bytes("ABCDEFGH")}}};
    testlgp::Archive modified{.Files = {{".hidden", testdata::bytes("ABCDXFGH")}}};
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { createFromArchives(source, modified); }),
              "The entry name \".hidden\" starts with \".\"; a patch can't carry a file of that name.");
    EXPECT_FALSE(fs::exists(mTemp.file("out.lgp")));
}

TEST_F(CreatePatchTest, missingTemplateFailsBeforeTheOutputExistsAndKeepsTheDifferenceFiles)
{
    const std::string folder = mTemp.folder("work");
    WriteWholeFile(folder + "a.bin", Bytes{0x02, 0x03, 'X', 0x02});
    EXPECT_EQ(testlgp::FailureText<ELGPError>(
                  [&] { BuildPatchArchive(folder, mTemp.file("p.lgp"), true, mTemp.file("LGP.95")); }),
              "Couldn't find an appropriate file validation data. Perhaps you are trying to make an LGP with an "
              "unsupported number of files in it.");
    EXPECT_FALSE(fs::exists(mTemp.file("p.lgp")));
    EXPECT_TRUE(fs::exists(folder + "a.bin"));
    // A failure of its own type, naming the file looked for.
    try
    {
        BuildPatchArchive(folder, mTemp.file("p.lgp"), true, mTemp.file("LGP.95"));
        ADD_FAILURE() << "no EMissingTemplate";
    }
    catch (const EMissingTemplate& e)
    {
        EXPECT_EQ(e.Path, mTemp.file("LGP.95"));
    }

    // With a template: its whole contents are the validation data, the
    // sources are deleted once stored.
    WriteWholeFile(mTemp.file("LGP.95"), Bytes{9, 8, 7});
    BuildPatchArchive(folder, mTemp.file("p.lgp"), true, mTemp.file("LGP.95"));
    const Bytes patch = ReadWholeFile(mTemp.file("p.lgp"));
    Bytes expected = testdata::bytes("QUENWICK-LGP");
    expected.insert(expected.end(), {1, 0, 0, 0});
    const Bytes name = testdata::bytes("a.bin");
    const auto entryHeader = [&] {
        expected.insert(expected.end(), name.begin(), name.end());
        expected.insert(expected.end(), 15, 0);
    };
    entryHeader();
    expected.insert(expected.end(), {16 + 27 + 3, 0, 0, 0, 14, 0, 0, 9, 8, 7});
    entryHeader();
    expected.insert(expected.end(), {4, 0, 0, 0, 0x02, 0x03, 'X', 0x02});
    const Bytes trailing = testdata::bytes("LGP PATCH FILE");
    expected.insert(expected.end(), trailing.begin(), trailing.end());
    EXPECT_EQ(patch, expected);
    EXPECT_FALSE(fs::exists(folder + "a.bin"));
}

TEST_F(CreatePatchTest, namesThatDifferOnlyInCaseArePairedCopyByCopy)
{
    testlgp::Archive source{
        .Files = {{"dup.bin", testdata::bytes("ABCDEFGH")}, {"DUP.BIN", testdata::bytes("abcdefgh")}}};
    testlgp::Archive modified{.Files = {{"dup.bin", testdata::bytes("ABCDXFGH")}}};
    const Bytes patch = createFromArchives(source, modified);
    // The modified archive's one copy is the first: the second has no
    // modified version, so the patch holds one difference, for the first.
    ASSERT_EQ(names(patch), (std::vector<std::string>{"dup.bin"}));
    EXPECT_EQ(ApplyDifference(testdata::bytes("ABCDEFGH"), testlgp::EntryData(patch, 0)), testdata::bytes("ABCDXFGH"));
}

TEST_F(CreatePatchTest, missingSourceArchiveFailsWithTheOpenMessage)
{
    PatchCreationOptions options;
    options.Source = mTemp.file("nothere.lgp");
    options.ModifiedIsFolder = true;
    options.ModifiedFolder = mTemp.folder("mods");
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { create(options); }),
              "Cannot open file " + mTemp.file("nothere.lgp"));
    EXPECT_EQ(statuses.back(), "Opening source file...");
}

TEST(PatchTemplate, buildWritesATemplateBesideThePrograms)
{
    // Our own empty lookup table, or the game's file when one was put there:
    // both are 3,602 bytes.
    EXPECT_EQ(PatchTemplatePath(), Platform::Paths::programDir() + "LGP.95");
    EXPECT_EQ(ReadWholeFile(PatchTemplatePath()).size(), 3602u);
}
