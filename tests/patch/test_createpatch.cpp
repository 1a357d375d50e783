#include "patch/FFLZs.h"
#include "patch/lgppatch.h"

#include "platform/paths.h"
#include "failure.h"
#include "tempfolder.h"
#include "testarchive.h"
#include "testdata.h"

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
        CreatePatchTest()
        {
            if (const char* old = std::getenv("TMPDIR"))
                mOldTmp = old;
            ::setenv("TMPDIR", mTemp.folder("tmp").c_str(), 1);
        }
        ~CreatePatchTest() override
        {
            if (mOldTmp)
                ::setenv("TMPDIR", mOldTmp->c_str(), 1);
            else
                ::unsetenv("TMPDIR");
        }

        std::string write(const std::string& name, const testarchive::Archive& archive)
        {
            WriteWholeFile(mTemp.file(name), testarchive::write(archive));
            return mTemp.file(name);
        }

        // Runs CreatePatch, recording the status texts, and returns the patch.
        Bytes create(PatchCreationOptions options)
        {
            options.Output = mTemp.file("out.lgp");
            PatchCreationCallbacks callbacks;
            callbacks.Status = [this](const std::string& text) { statuses.push_back(text); };
            callbacks.SetBarMaximum = [this](std::int32_t maximum) { barMaximum = maximum; };
            callbacks.SetBarPosition = [this](std::int32_t position) { positions.push_back(position); };
            CreatePatch(options, callbacks);
            return ReadWholeFile(options.Output);
        }

        Bytes createFromArchives(const testarchive::Archive& source, const testarchive::Archive& modified,
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
            for (std::uint32_t i = 0; i < testarchive::fileCount(patch); ++i)
                result.push_back(testarchive::tocName(patch, i));
            return result;
        }

        TempFolder mTemp;
        std::optional<std::string> mOldTmp;
        std::vector<std::string> statuses;
        std::int32_t barMaximum = -1;
        std::vector<std::int32_t> positions;
    };
}

TEST_F(CreatePatchTest, identicalArchivesGiveAnEmptyPatchFile)
{
    testarchive::Archive source;
    source.entries = {{"a.bin", testdata::bytes("ABCDEFGH")}, {"b.bin", testdata::bytes("12345678")}};
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
    EXPECT_FALSE(fs::exists(PatchWorkFolder()));
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

    testarchive::Archive source;
    source.entries = {{"field.lzs", testdata::lzsCompress(fieldPlain)}, {"Tex.tex", texOld},
        {"model.p", modelOld}, {"same.bin", sameOld}, {"gone.bin", testdata::bytes("only in source")},
        {"stored.lzs", LzsEncodeLiterals(fieldPlain)}};
    testarchive::Archive modified;
    // Case differs from the source: names match ASCII case-insensitively.
    modified.entries = {{"FIELD.LZS", testdata::lzsCompress(fieldChanged)}, {"tex.TEX", texLonger},
        {"model.p", modelShorterChanged}, {"same.bin", sameOld}, {"new.bin", testdata::bytes("only in modified")},
        {"stored.lzs", fieldChanged}};
    const Bytes patch = createFromArchives(source, modified);

    // Ordered by name case-insensitively; unchanged and one-sided files are left out.
    EXPECT_EQ(names(patch), (std::vector<std::string>{"field.lzs", "model.p", "stored.lzs", "Tex.tex"}));
    EXPECT_EQ(std::string(patch.end() - 14, patch.end()), "LGP PATCH FILE");

    const Bytes sourceFile = testarchive::write(source);
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
            SCOPED_TRACE(::testing::Message() << "overwrite " << overwrite << " stub "
                                              << (variant == RawEditorVariant::Stub));
            EXPECT_EQ(testarchive::entryData(after, 0), LzsEncodeLiterals(fieldChanged));
            EXPECT_EQ(testarchive::entryData(after, 1), Bytes(texLonger.begin(), texLonger.begin() + 700));
            EXPECT_EQ(testarchive::entryData(after, 2), modelShorterChanged);
            EXPECT_EQ(testarchive::entryData(after, 3), sameOld);
            EXPECT_EQ(testarchive::entryData(after, 4), testdata::bytes("only in source"));
            EXPECT_EQ(testarchive::entryData(after, 5), LzsEncodeLiterals(fieldChanged));
        }
    }
}

TEST_F(CreatePatchTest, skipSameLengthLeavesOutChangedFilesOfTheSameStoredLength)
{
    testarchive::Archive source;
    source.entries = {{"same.bin", testdata::bytes("ABCDEFGH")}, {"longer.bin", testdata::bytes("ABCDEFGH")}};
    testarchive::Archive modified;
    modified.entries = {{"same.bin", testdata::bytes("ABCDXFGH")}, {"longer.bin", testdata::bytes("ABCDXFGHIJ")}};
    EXPECT_EQ(names(createFromArchives(source, modified, true)), (std::vector<std::string>{"longer.bin"}));
    EXPECT_EQ(names(createFromArchives(source, modified, false)),
        (std::vector<std::string>{"longer.bin", "same.bin"}));
}

TEST_F(CreatePatchTest, modifiedFolderSuppliesFilesByEntryName)
{
    testarchive::Archive source;
    source.entries = {{"a.bin", testdata::bytes("ABCDEFGH")}, {"B.BIN", testdata::bytes("ABCDEFGH")},
        {"missing.bin", testdata::bytes("ABCDEFGH")}};
    const std::string folder = mTemp.folder("mods");
    WriteWholeFile(folder + "a.bin", testdata::bytes("ABCDXFGH"));
    WriteWholeFile(folder + "b.bin", testdata::bytes("ABCDYFGH")); // other case
    WriteWholeFile(folder + "extra.bin", testdata::bytes("not in source"));

    PatchCreationOptions options;
    options.Source = write("source.lgp", source);
    options.ModifiedIsFolder = true;
    options.ModifiedFolder = folder;
    const Bytes patch = create(options);
    EXPECT_EQ(names(patch), (std::vector<std::string>{"a.bin", "B.BIN"}));
    EXPECT_EQ(testarchive::entryData(patch, 1), (Bytes{0x02, 0x03, 'Y', 0x02}));
    EXPECT_EQ(statuses.front(), "Opening source file...");
}

TEST_F(CreatePatchTest, leftoverFilesInTheWorkFolderNeverReachThePatch)
{
    fs::create_directories(PatchWorkFolder());
    WriteWholeFile(PatchWorkFolder() + "stale.bin", Bytes{0x02, 0x03, 'X', 0x02});
    testarchive::Archive source;
    source.entries = {{"a.bin", testdata::bytes("ABCDEFGH")}};
    testarchive::Archive modified;
    modified.entries = {{"a.bin", testdata::bytes("ABCDXFGH")}};
    EXPECT_EQ(names(createFromArchives(source, modified)), (std::vector<std::string>{"a.bin"}));
    EXPECT_FALSE(fs::exists(PatchWorkFolder()));
}

TEST_F(CreatePatchTest, entryNamesThatAreNoPlainFileNamesAreRefused)
{
    for (const std::string name : {"../escape.bin", "sub\\x.bin", "..", ".", ""})
    {
        SCOPED_TRACE(name);
        testarchive::Archive source;
        source.entries = {{name, testdata::bytes("ABCDEFGH")}};
        testarchive::Archive modified;
        modified.entries = {{name, testdata::bytes("ABCDXFGH")}};
        EXPECT_EQ(failureOf([&] { createFromArchives(source, modified); }),
            "The entry name \"" + name + "\" is not a plain file name; it cannot be written to a folder.");
        EXPECT_FALSE(fs::exists(mTemp.file("tmp/escape.bin")));
        EXPECT_FALSE(fs::exists(mTemp.file("out.lgp")));
    }
    // An unchanged entry of such a name needs no file and is no failure.
    testarchive::Archive same;
    same.entries = {{"../escape.bin", testdata::bytes("ABCDEFGH")}};
    EXPECT_EQ(testarchive::fileCount(createFromArchives(same, same)), 0u);
}

TEST_F(CreatePatchTest, entryNamesThatThePatchBuilderWouldSkipAreRefused)
{
    testarchive::Archive source;
    source.entries = {{".hidden", testdata::bytes("ABCDEFGH")}};
    testarchive::Archive modified;
    modified.entries = {{".hidden", testdata::bytes("ABCDXFGH")}};
    EXPECT_EQ(failureOf([&] { createFromArchives(source, modified); }),
        "The entry name \".hidden\" starts with \".\"; a patch can't carry a file of that name.");
    EXPECT_FALSE(fs::exists(mTemp.file("out.lgp")));
}

TEST_F(CreatePatchTest, missingTemplateFailsBeforeTheOutputExistsAndKeepsTheDifferenceFiles)
{
    const std::string folder = mTemp.folder("work");
    WriteWholeFile(folder + "a.bin", Bytes{0x02, 0x03, 'X', 0x02});
    EXPECT_EQ(failureOf([&] { BuildPatchArchive(folder, mTemp.file("p.lgp"), true, mTemp.file("LGP.95")); }),
        "Couldn't find an appropriate file validation data. Perhaps you are trying to make an LGP with an "
        "unsupported number of files in it.");
    EXPECT_FALSE(fs::exists(mTemp.file("p.lgp")));
    EXPECT_TRUE(fs::exists(folder + "a.bin"));

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

TEST_F(CreatePatchTest, lastDifferenceWrittenForOneNameIsTheOneInThePatch)
{
    testarchive::Archive source;
    source.entries = {{"dup.bin", testdata::bytes("ABCDEFGH")}, {"DUP.BIN", testdata::bytes("abcdefgh")}};
    testarchive::Archive modified;
    modified.entries = {{"dup.bin", testdata::bytes("ABCDXFGH")}};
    const Bytes patch = createFromArchives(source, modified);
    ASSERT_EQ(names(patch), (std::vector<std::string>{"DUP.BIN"}));
    // Made against the second entry's bytes: every byte differs from abcdefgh.
    EXPECT_EQ(ApplyDifference(testdata::bytes("abcdefgh"), testarchive::entryData(patch, 0)),
        testdata::bytes("ABCDXFGH"));
}

TEST_F(CreatePatchTest, missingSourceArchiveFailsWithTheOpenMessage)
{
    PatchCreationOptions options;
    options.Source = mTemp.file("nothere.lgp");
    options.ModifiedIsFolder = true;
    options.ModifiedFolder = mTemp.folder("mods");
    EXPECT_EQ(failureOf([&] { create(options); }), "Cannot open file " + mTemp.file("nothere.lgp"));
    EXPECT_EQ(statuses.back(), "Opening source file...");
}

TEST(PatchTemplate, buildWritesATemplateBesideThePrograms)
{
    // Our own empty lookup table, or the game's file when one was put there:
    // both are 3,602 bytes.
    EXPECT_EQ(PatchTemplatePath(), Platform::Paths::programDir() + "LGP.95");
    EXPECT_EQ(ReadWholeFile(PatchTemplatePath()).size(), 3602u);
}
