// The self-extracting program's run, driven in-process with a scripted
// prompter: trailer checks, the temporary patch file, the dialog, and
// patching in place or by appending.

#include "stub/stubrun.h"
#include "stub/stubui_qt.h"
#include "support/failure.h"

#include "core/lgpstruct.h"
#include "errors/errors.h"
#include "patch/lgppatch.h"
#include "platform/folder.h"
#include "platform/paths.h"
#include "platform/ui.h"

#include "stubscene.h"
#include "support/gamearchives.h"
#include "support/gtestfolder.h"

#include <gtest/gtest.h>

#include <QString>

#include <array>
#include <filesystem>

// Readable failure output for the prompter's texts.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QStringList& texts, std::ostream* os) { *os << texts.join("\" | \"").toStdString(); }

namespace fs = std::filesystem;
using testlgp::Bytes;
using Kind = Platform::Ui::ScriptedPrompter::Kind;

namespace
{
    Bytes le32(std::int32_t value)
    {
        Bytes out;
        testlgp::PutI32(out, out.size(), value);
        return out;
    }

    Bytes trailer(std::int32_t stubLength, std::int32_t flags, const std::string& target)
    {
        Bytes out = le32(stubLength);
        const Bytes f = le32(flags);
        out.insert(out.end(), f.begin(), f.end());
        Bytes name(32, 0);
        std::copy(target.begin(), target.end(), name.begin());
        out.insert(out.end(), name.begin(), name.end());
        return out;
    }

    // A stand-in image: the run reads only what lies behind it.
    const Bytes FakeStub = testlgp::Letters(300, 7);

    Bytes selfExtractor(const Bytes& stub, const Bytes& patch, std::int32_t flags, const std::string& target)
    {
        Bytes out = stub;
        out.insert(out.end(), patch.begin(), patch.end());
        const Bytes t = trailer(std::int32_t(stub.size()), flags, target);
        out.insert(out.end(), t.begin(), t.end());
        return out;
    }

    // The scene's archives, the patch between them (difference entries in
    // an archive of its own, named in upper case to check the
    // case-insensitive match) and the patched files.
    struct Versions
    {
        testlgp::Archive source;
        std::vector<testlgp::File> expected;
        Bytes patch;
    };

    Versions makeVersions()
    {
        const StubVersions scene = MakeStubVersions();
        Versions v{scene.source, scene.modified.Files, {}};
        testlgp::Archive patch{.Trailing = testlgp::B("LGP PATCH FILE")};
        const auto difference = [&](std::size_t i) {
            return *MakeDifference(scene.source.Files[i].Data, scene.modified.Files[i].Data);
        };
        patch.Files = {{"B.BIN", difference(1)}, {"C.BIN", difference(2)}};
        v.patch = testlgp::Write(patch);
        return v;
    }

    // The target archive, built from the source versions, and a self-extracting
    // file beside it carrying payload.
    struct Scene
    {
        std::string target;
        Bytes original;
        std::string exe;
    };

    Scene makeScene(const TempFolder& dir, const Versions& v, const Bytes& payload, std::int32_t flags)
    {
        Scene scene{dir / "target.lgp", testlgp::Write(v.source), dir / "mypatch.exe"};
        testlgp::Save(scene.target, scene.original);
        testlgp::Save(scene.exe, selfExtractor(FakeStub, payload, flags, "target.lgp"));
        return scene;
    }

    struct StubRunner
    {
        Platform::Ui::ScriptedPrompter ui;
        int exitCode = -1;

        StubRunner() = default;
        // Answers the file dialog with answer, or cancels it.
        explicit StubRunner(const std::optional<std::string>& answer)
        {
            ui.fileAnswers.push_back(answer ? std::optional(QString::fromStdString(*answer)) : std::nullopt);
        }

        int operator()(const std::string& ownPath)
        {
            Platform::Ui::ScopedPrompter scope(ui);
            Stub::PrompterUi adapter;
            exitCode = Stub::Run(ownPath, adapter);
            return exitCode;
        }
    };

    // The scene with the patch (flags 1) in a folder of the test's own.
    class StubRun : public ::testing::Test
    {
    protected:
        TempFolder dir;
        const Versions v = makeVersions();
        const Scene scene = makeScene(dir, v, v.patch, 1);
        const std::string& target = scene.target;
        const Bytes& original = scene.original;
        const std::string& exe = scene.exe;
    };
}

TEST(StubPaths, temporaryFileReplacesTheExtension)
{
    EXPECT_EQ(Stub::TempPatchPath("/dl/mypatch.exe"), "/dl/mypatch.TMP");
    EXPECT_EQ(Stub::TempPatchPath("/dl/my.patch.exe"), "/dl/my.patch.TMP");
    EXPECT_EQ(Stub::TempPatchPath("/dl/mypatch"), "/dl/mypatch.TMP");
    EXPECT_EQ(Stub::TempPatchPath("/dl.d/mypatch"), "/dl.d/mypatch.TMP");
    EXPECT_EQ(Stub::TempPatchPath("/dl/.hidden"), "/dl/.hidden.TMP");
    // Never the program's own file, whatever the case of its extension.
    EXPECT_EQ(Stub::TempPatchPath("/dl/FIX.TMP"), "/dl/FIX.TMP.TMP");
    EXPECT_EQ(Stub::TempPatchPath("/dl/fix.tmp"), "/dl/fix.tmp.TMP");
}

TEST(StubErrorBox, aFullStopFollowsALastCharacterSortingAboveTheDot)
{
    EXPECT_EQ(Stub::ErrorBoxText("Cannot open file /x/a.lgp"), "Cannot open file /x/a.lgp.");
    EXPECT_EQ(Stub::ErrorBoxText("/x/"), "/x/.");                 // '/' follows '.'
    EXPECT_EQ(Stub::ErrorBoxText("caf\xC3\xA9"), "caf\xC3\xA9."); // bytes above 127 too
    for (const std::string kept : {"Stop!", "(see above)", "Done.", "a-", ""})
        EXPECT_EQ(Stub::ErrorBoxText(kept), kept);
    // A failure told in two lines: each ends as a sentence.
    EXPECT_EQ(Stub::ErrorBoxText("Cannot open file /x/a.lgp\nThe new version of /x/a.lgp could not take its place: "
                                 "Permission denied. Nothing was changed."),
              "Cannot open file /x/a.lgp.\nThe new version of /x/a.lgp could not take its place: Permission denied. "
              "Nothing was changed.");
}

TEST(StubImage, measuresTheRealStubAndIgnoresWhatFollows)
{
    const std::string stubPath = Platform::Paths::programDir() + "STUB.LGP";
    ASSERT_TRUE(fs::exists(stubPath)) << "the build installs the stub image beside the programs";
    Bytes image = testlgp::Load(stubPath);
    const std::uint64_t size = image.size();
    EXPECT_EQ(Stub::ElfImageEnd(image), size);
    image.insert(image.end(), 500, 0xAB);
    EXPECT_EQ(Stub::ElfImageEnd(image), size);
}

TEST(StubImage, refusesToMeasureWhatIsNoWholeElfImage)
{
    EXPECT_EQ(Stub::ElfImageEnd(FakeStub), 0u);
    EXPECT_EQ(Stub::ElfImageEnd(Bytes(10, 0x7F)), 0u);
    const Bytes image = testlgp::Load(Platform::Paths::programDir() + "STUB.LGP");
    // Only the headers: the tables they name lie beyond the bytes present,
    // which counts as "ends past the file", never as "holds a patch".
    const Bytes head(image.begin(), image.begin() + 4096);
    EXPECT_GT(Stub::ElfImageEnd(head), head.size());
}

TEST(StubImage, measuresTheWindowsStubAndIgnoresWhatFollows)
{
    const std::string stubPath = Platform::Paths::programDir() + "STUBWIN.LGP";
    ASSERT_TRUE(fs::exists(stubPath)) << "the build installs the Windows stub image beside the programs";
    Bytes image = testlgp::Load(stubPath);
    const std::uint64_t size = image.size();
    EXPECT_EQ(Stub::PeImageEnd(image), size);
    EXPECT_EQ(Stub::ImageEnd(image), size);
    EXPECT_EQ(Stub::ElfImageEnd(image), 0u);
    image.insert(image.end(), 500, 0xAB);
    EXPECT_EQ(Stub::ImageEnd(image), size);

    EXPECT_EQ(Stub::PeImageEnd(FakeStub), 0u);
    EXPECT_EQ(Stub::PeImageEnd(testlgp::Load(Platform::Paths::programDir() + "STUB.LGP")), 0u);
    // Cut inside its sections: the image claims more than the bytes hold.
    const Bytes head(image.begin(), image.begin() + 4096);
    EXPECT_GT(Stub::PeImageEnd(head), head.size());
    const Bytes headers(image.begin(), image.begin() + 300);
    EXPECT_GT(Stub::PeImageEnd(headers), headers.size());
}

TEST(StubPatchCheck, acceptsAnArchiveAndRefusesDamagedOnes)
{
    const Versions v = makeVersions();
    EXPECT_NO_THROW(Stub::CheckPatch(v.patch));
    testlgp::Archive empty{.Trailing = testlgp::B("LGP PATCH FILE")};
    EXPECT_NO_THROW(Stub::CheckPatch(testlgp::Write(empty)));

    auto refused = [](const Bytes& bytes) {
        return testlgp::FailureText<ELGPError>([&] { Stub::CheckPatch(bytes); }) == Stub::NotArchiveText;
    };
    EXPECT_TRUE(refused({}));
    EXPECT_TRUE(refused(Bytes(15, 0)));
    Bytes bad = v.patch;
    bad[12] = 0xFF, bad[13] = 0xFF, bad[14] = 0xFF, bad[15] = 0xFF; // count -1
    EXPECT_TRUE(refused(bad));
    bad = v.patch;
    bad[12] = 200; // more TOC entries than bytes
    EXPECT_TRUE(refused(bad));
    bad = v.patch;
    const Bytes far = le32(std::int32_t(v.patch.size()) - 10); // header runs past the end
    std::copy(far.begin(), far.end(), bad.begin() + 16 + 20);
    EXPECT_TRUE(refused(bad));
    bad = v.patch;
    const auto offset = std::size_t(testlgp::TocOffset(v.patch, 0));
    const Bytes longer = le32(100000); // data runs past the end
    std::copy(longer.begin(), longer.end(), bad.begin() + std::ptrdiff_t(offset + 20));
    EXPECT_TRUE(refused(bad));
    bad = v.patch;
    const Bytes inside = le32(4); // points into the header
    std::copy(inside.begin(), inside.end(), bad.begin() + 16 + 20);
    EXPECT_TRUE(refused(bad));
}

// Flags bit 0 decides between rewriting in place and appending; Flags 3 is 1.
class StubApply : public ::testing::TestWithParam<std::int32_t>
{};

TEST_P(StubApply, patchesTheChosenArchiveAndCleansUp)
{
    const std::int32_t flags = GetParam();
    const bool inPlace = (flags & 1) != 0;
    TempFolder dir;
    const Versions v = makeVersions();
    const auto [target, original, exe] = makeScene(dir, v, v.patch, flags);

    StubRunner run(target);
    EXPECT_EQ(run(exe), 0);

    ASSERT_EQ(run.ui.shown.size(), 3u);
    EXPECT_EQ(run.ui.shown[0].kind, Kind::Message);
    EXPECT_EQ(run.ui.shown[0].caption, "Mossvane");
    EXPECT_EQ(run.ui.shown[0].text, Stub::AskText);
    EXPECT_EQ(run.ui.shown[1].kind, Kind::OpenFile);
    EXPECT_EQ(run.ui.shown[1].options.filter, "target.lgp|target.lgp");
    EXPECT_TRUE(run.ui.shown[1].options.exactName);
    EXPECT_EQ(run.ui.shown[1].options.defaultExt, "LGP");
    EXPECT_TRUE(run.ui.shown[1].options.mustExist);
    EXPECT_EQ(run.ui.shown[2].kind, Kind::Message);
    EXPECT_EQ(run.ui.shown[2].caption, "Mossvane");
    EXPECT_EQ(run.ui.shown[2].text, "Process completed!");
    EXPECT_FALSE(fs::exists(dir / "mypatch.TMP"));

    const Bytes patched = testlgp::Load(target);
    EXPECT_EQ(testlgp::Entries(patched), v.expected);
    ExpectPatchedPlaces(patched, original, inPlace);
    // The trailing text still ends the file.
    EXPECT_EQ(std::string(patched.end() - 14, patched.end()), "FINAL FANTASY7");
}

INSTANTIATE_TEST_SUITE_P(Flags, StubApply, ::testing::Values(0, 1, 3));

TEST_F(StubRun, cancelShowsNothingMoreAndRemovesTheTemporaryFile)
{

    StubRunner run(std::nullopt);
    EXPECT_EQ(run(exe), 0);
    EXPECT_EQ(run.ui.texts(Kind::Message), QStringList{Stub::AskText});
    EXPECT_TRUE(run.ui.texts(Kind::Error).isEmpty());
    EXPECT_FALSE(fs::exists(dir / "mypatch.TMP"));
    EXPECT_EQ(testlgp::Load(target), original);
}

TEST_F(StubRun, programNamedLikeItsTemporaryFileSurvivesItsRun)
{
    const std::string program = dir / "FIX.TMP";
    fs::rename(exe, program);
    const Bytes image = testlgp::Load(program);

    StubRunner run(target);
    EXPECT_EQ(run(program), 0);
    EXPECT_EQ(run.ui.texts(Kind::Message), (QStringList{Stub::AskText, Stub::DoneText}));
    EXPECT_EQ(testlgp::Entries(testlgp::Load(target)), v.expected);
    EXPECT_EQ(testlgp::Load(program), image);
    EXPECT_FALSE(fs::exists(dir / "FIX.TMP.TMP"));

    StubRunner cancelled(std::nullopt);
    EXPECT_EQ(cancelled(program), 0);
    EXPECT_EQ(testlgp::Load(program), image);
}

// What a stopped run left beside the archive is deleted before patching, and
// the player is told before the last box, whether the patch then succeeds or
// fails.
TEST_F(StubRun, leftoverTemporaryFilesAreRemovedAndReported)
{
    const std::string left =
        fs::path(target).parent_path() / ("." + fs::path(target).filename().string() + ".a1b2c3.tmp");
    const std::string note = "Removed 1 temporary file that stopped runs had left beside " + target + ": "
                             + fs::path(left).filename().string() + ".";
    testlgp::Save(left, testlgp::B("partial"));
    StubRunner run(target);
    EXPECT_EQ(run(exe), 0);
    EXPECT_EQ(run.ui.texts(Kind::Message), (QStringList{Stub::AskText, QString::fromStdString(note), Stub::DoneText}));
    EXPECT_EQ(testlgp::Entries(testlgp::Load(target)), v.expected);
    EXPECT_FALSE(fs::exists(left));

    testlgp::Save(left, testlgp::B("partial"));
    testlgp::Save(target, testlgp::B("no archive"));
    StubRunner refused(target);
    EXPECT_EQ(refused(exe), 1);
    EXPECT_EQ(refused.ui.texts(Kind::Message), (QStringList{Stub::AskText, QString::fromStdString(note)}));
    EXPECT_EQ(refused.ui.texts(Kind::Error).size(), 1);
    EXPECT_FALSE(fs::exists(left));
}

// A player who picked the wrong archive must not believe the mod is
// installed: refused, unchanged, no "Process completed!".
TEST_F(StubRun, archiveWithoutPatchedNamesIsLeftAloneAndRefused)
{
    const Bytes other = testlgp::Write(testlgp::Archive{.Files = {{"x.bin", testlgp::Letters(50, 9)}}});
    const std::string otherTarget = dir / "other.lgp";
    testlgp::Save(otherTarget, other);

    StubRunner run(otherTarget);
    EXPECT_EQ(run(exe), 1);
    EXPECT_EQ(run.ui.texts(Kind::Message), QStringList{Stub::AskText});
    EXPECT_EQ(run.ui.texts(Kind::Error), QStringList{QString::fromStdString(
                                             otherTarget + " holds none of this patch's files; nothing was changed.")});
    EXPECT_EQ(testlgp::Load(otherTarget), other);
    EXPECT_FALSE(fs::exists(dir / "mypatch.TMP"));
}

TEST_F(StubRun, emptyTargetNameOffersEveryFile)
{
    testlgp::Save(exe, selfExtractor(FakeStub, v.patch, 1, ""));
    StubRunner run(std::nullopt);
    EXPECT_EQ(run(exe), 0);
    ASSERT_EQ(run.ui.shown.size(), 2u);
    EXPECT_EQ(run.ui.shown[1].options.filter, "All files|*.*");
}

TEST_F(StubRun, trailerPointingOutsideTheFileIsRefusedBeforeAnythingHappens)
{
    Bytes image = selfExtractor(FakeStub, v.patch, 1, "target.lgp");
    const Bytes beyond = le32(std::int32_t(image.size())); // past the trailer's start
    std::copy(beyond.begin(), beyond.end(), image.end() - 40);
    testlgp::Save(exe, image);

    StubRunner run;
    EXPECT_EQ(run(exe), 1);
    ASSERT_EQ(run.ui.shown.size(), 1u);
    EXPECT_EQ(run.ui.shown[0].kind, Kind::Error);
    EXPECT_EQ(run.ui.shown[0].caption, "Mossvane");
    EXPECT_EQ(run.ui.shown[0].text, "This program is not a self-extracting patch.");
    EXPECT_FALSE(fs::exists(dir / "mypatch.TMP"));

    const Bytes negative = le32(-5);
    std::copy(negative.begin(), negative.end(), image.end() - 40);
    testlgp::Save(exe, image);
    StubRunner again;
    EXPECT_EQ(again(exe), 1);
    EXPECT_EQ(again.ui.texts(Kind::Error), QStringList{"This program is not a self-extracting patch."});
}

TEST_F(StubRun, eachCopyOfARepeatedNameIsPatchedOnItsOwn)
{
    const auto entries = testlgp::MagicStyleEntries();
    const Bytes source = testlgp::MagicBytes(entries);
    auto changed = entries;
    changed[6].Data = testlgp::B("WIND in MAG_A");
    const Bytes modified = testlgp::MagicBytes(changed);
    // A difference for the name alone, which can't say which copy it is for.
    testlgp::Archive plain{.Files = {{"wind_1.p", {0x01, 'W'}}}, .Validation = Bytes(3602, 0)};

    for (const std::int32_t flags : {0, 1})
    {
        TempFolder folder;
        // An identical copy gives an empty patch; one changed copy, a patch of that copy.
        for (const Bytes& version : {source, modified})
        {
            PatchCreationOptions options;
            options.Source = folder / "source.lgp";
            options.ModifiedArchive = folder / "modified.lgp";
            options.Output = folder / "patch.lgp";
            testlgp::Save(options.Source, source);
            testlgp::Save(options.ModifiedArchive, version);
            ASSERT_TRUE(CreatePatch(options, {}));
            const std::string copies = folder / "target.lgp";
            testlgp::Save(copies, source);
            const std::string program = folder / "mypatch.exe";
            testlgp::Save(program, selfExtractor(FakeStub, testlgp::Load(options.Output), flags, "target.lgp"));

            StubRunner run(copies);
            if (version == source)
            {
                EXPECT_NE(run(program), 0);
                EXPECT_EQ(run.ui.texts(Kind::Error), QStringList{"This patch holds no files; nothing was changed."});
                EXPECT_EQ(testlgp::Load(copies), source);
            }
            else
            {
                EXPECT_EQ(run(program), 0) << run.ui.texts(Kind::Error).join("").toStdString();
                EXPECT_EQ(testlgp::Entries(testlgp::Load(copies)), testlgp::Entries(modified));
            }
        }

        const std::string copies = folder / "target.lgp";
        testlgp::Save(copies, source);
        const std::string program = folder / "plain.exe";
        testlgp::Save(program, selfExtractor(FakeStub, testlgp::Write(plain), flags, "target.lgp"));
        StubRunner run(copies);
        EXPECT_EQ(run(program), 1);
        EXPECT_EQ(run.ui.texts(Kind::Error),
                  QStringList{QString::fromStdString(
                      "The patch changes \"wind_1.p\" without saying which copy of the name it is for, and the "
                      "archive "
                      + copies + " holds 2 copies of it (mag_a/wind_1.p, mag_b/wind_1.p). Nothing was changed.")});
        EXPECT_EQ(testlgp::Load(copies), source);
    }
}

TEST_F(StubRun, payloadThatIsNoArchiveLeavesTheTargetUntouched)
{
    testlgp::Save(exe, selfExtractor(FakeStub, testlgp::Letters(64, 5), 1, "target.lgp"));

    StubRunner run(target);
    EXPECT_EQ(run(exe), 1);
    // Refused before the question: nothing was asked, nothing changed.
    EXPECT_EQ(run.ui.texts(Kind::Error), QStringList{Stub::NotArchiveText});
    EXPECT_TRUE(run.ui.texts(Kind::OpenFile).isEmpty());
    EXPECT_EQ(testlgp::Load(target), original);
    EXPECT_FALSE(fs::exists(dir / "mypatch.TMP"));
}

TEST_F(StubRun, archiveHeldByAnotherWriterIsRefused)
{

    StubRunner run(target);
    {
        TRawLGPFile holder(target);
        EXPECT_EQ(run(exe), 1);
    }
    EXPECT_EQ(run.ui.texts(Kind::Error), QStringList{QString::fromStdString("Cannot open file " + target + ".")});
    EXPECT_EQ(run.ui.texts(Kind::Message), QStringList{Stub::AskText});
    EXPECT_EQ(testlgp::Load(target), original);
    EXPECT_FALSE(fs::exists(dir / "mypatch.TMP"));
}

TEST_F(StubRun, stubEditorHoldsTheArchiveAgainstASecondWriter)
{
    TRawLGPFile stubEditor(target, RawEditorVariant::Stub);
    // A second writer is refused.
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { TRawLGPFile second(target); }), "Cannot open file " + target);
    // Readers are not shut out.
    EXPECT_NO_THROW(TLGPFile(target, true));
}

TEST_F(StubRun, trailerPointingIntoTheProgramImageIsNoPatch)
{
    const Bytes stub = testlgp::Load(Platform::Paths::programDir() + "STUB.LGP");
    Bytes image = selfExtractor(stub, v.patch, 1, "target.lgp");
    const Bytes inside = le32(100);
    std::copy(inside.begin(), inside.end(), image.end() - 40);
    testlgp::Save(exe, image);
    StubRunner run;
    EXPECT_EQ(run(exe), 1);
    EXPECT_EQ(run.ui.texts(Kind::Error), QStringList{Stub::NoPatchText});
}

namespace
{
    // FIX.exe made by the converter from a real stub image for the scene's
    // patch, beside the scene's target.
    Bytes wrapped(const TempFolder& dir, const std::string& stubName, const Bytes& patch, bool allowOverwrite)
    {
        testlgp::Save(dir / "p.lgp", patch);
        MakeSelfExtractor(Platform::Paths::programDir() + stubName, dir / "p.lgp", "target.lgp", allowOverwrite,
                          dir / "FIX.exe");
        return testlgp::Load(dir / "FIX.exe");
    }

    // A code signature as signing tools append it: the file padded to 8 bytes,
    // a certificate table at its end, named by the PE security directory.
    Bytes signedLike(Bytes program, std::size_t tableLength)
    {
        program.resize((program.size() + 7) / 8 * 8, 0);
        const std::size_t pe = std::size_t(testlgp::Get32(program, 0x3C));
        const std::size_t optional = pe + 24;
        const std::size_t directories = program[optional] == 0x0B && program[optional + 1] == 0x02 ? 112 : 96;
        testlgp::PutI32(program, optional + directories + 32, std::int32_t(program.size()));
        testlgp::PutI32(program, optional + directories + 36, std::int32_t(tableLength));
        const Bytes table = testlgp::Letters(tableLength, 5);
        program.insert(program.end(), table.begin(), table.end());
        return program;
    }

    // Writes value little-endian in size bytes at at.
    void put(Bytes& b, std::size_t at, std::uint64_t value, unsigned size)
    {
        for (unsigned i = 0; i < size; ++i)
            b[at + i] = std::uint8_t(value >> (8 * i));
    }

    // Program images made here, each with the offset where its file bytes
    // end (and where a certificate table of its own begins, if it has one).
    struct ProgramImage
    {
        std::string kind;
        Bytes bytes;
        std::uint64_t end = 0;
        std::uint64_t certificates = 0;
    };

    // A 64-bit ELF program: its header, one loaded segment over the first
    // 0x200 bytes, code at 0x100 and the section table at 0x200 (null, .text,
    // .bss). .bss comes last and holds no file bytes, yet its offset and size
    // reach 0x1000 bytes past the file's end.
    ProgramImage elfWithBss()
    {
        Bytes b = testlgp::Letters(0x2C0, 11);
        std::fill(b.begin(), b.begin() + 0x78, 0);
        std::fill(b.begin() + 0x200, b.end(), 0);
        const Bytes ident = {0x7F, 'E', 'L', 'F', 2, 1, 1};
        std::copy(ident.begin(), ident.end(), b.begin());
        put(b, 0x10, 2, 2);     // an executable
        put(b, 0x20, 0x40, 8);  // program headers
        put(b, 0x28, 0x200, 8); // section headers
        put(b, 0x36, 56, 2);
        put(b, 0x38, 1, 2);
        put(b, 0x3A, 64, 2);
        put(b, 0x3C, 3, 2);
        put(b, 0x40, 1, 4);          // a loaded segment
        put(b, 0x40 + 32, 0x200, 8); // its file size
        put(b, 0x40 + 40, 0x1200, 8);
        put(b, 0x240 + 4, 1, 4); // .text: file bytes
        put(b, 0x240 + 0x18, 0x100, 8);
        put(b, 0x240 + 0x20, 0x100, 8);
        put(b, 0x280 + 4, 8, 4); // .bss: none
        put(b, 0x280 + 0x18, 0x200, 8);
        put(b, 0x280 + 0x20, 0x1000, 8);
        return {"ELF with .bss last", b, 0x2C0};
    }

    // A PE32 or PE32+ (wide) program: the DOS header, the signature at 0x40,
    // the COFF header naming three sections, the optional header with its 16
    // data directories, headers padded to 0x200, .text and .data of 0x200
    // file bytes each and .bss with none; with a certificate table of
    // certificateLength bytes behind the sections (signed before wrapping).
    ProgramImage pe(bool wide, std::uint32_t certificateLength)
    {
        Bytes b = testlgp::Letters(0x600, 12);
        std::fill(b.begin(), b.begin() + 0x200, 0);
        b[0] = 'M';
        b[1] = 'Z';
        put(b, 0x3C, 0x40, 4);
        b[0x40] = 'P';
        b[0x41] = 'E';
        put(b, 0x44, wide ? 0x8664 : 0x14C, 2);
        put(b, 0x46, 3, 2);
        const std::size_t optionalSize = wide ? 240 : 224;
        put(b, 0x54, optionalSize, 2);
        const std::size_t optional = 0x58;
        put(b, optional, wide ? 0x20B : 0x10B, 2);
        put(b, optional + 60, 0x200, 4); // SizeOfHeaders
        const std::size_t directories = optional + (wide ? 112 : 96);
        put(b, directories - 4, 16, 4);
        const std::size_t table = optional + optionalSize;
        for (std::size_t i = 0; i < 3; ++i)
        {
            const std::size_t section = table + 40 * i;
            std::copy_n(std::array<const char*, 3>{".text", ".data", ".bss"}[i], 5, b.begin() + section);
            put(b, section + 8, 0x800, 4);                        // VirtualSize
            put(b, section + 16, i < 2 ? 0x200 : 0, 4);           // SizeOfRawData
            put(b, section + 20, i < 2 ? 0x200 * (i + 1) : 0, 4); // PointerToRawData
        }
        ProgramImage image{std::string(wide ? "PE32+" : "PE32") + (certificateLength ? " signed" : ""), b, 0x600};
        if (certificateLength)
        {
            put(image.bytes, directories + 32, 0x600, 4);
            put(image.bytes, directories + 36, certificateLength, 4);
            const Bytes certificates = testlgp::Letters(certificateLength, 13);
            image.bytes.insert(image.bytes.end(), certificates.begin(), certificates.end());
            image.certificates = 0x600;
            image.end += certificateLength;
        }
        return image;
    }

    std::vector<ProgramImage> programImages()
    {
        return {elfWithBss(), pe(false, 0), pe(false, 0x108), pe(true, 0), pe(true, 0x108)};
    }
} // namespace

TEST(StubImage, programImagesEndAtTheirLastFileByte)
{
    for (ProgramImage image : programImages())
    {
        EXPECT_EQ(Stub::ImageEnd(image.bytes), image.end) << image.kind;
        image.bytes.insert(image.bytes.end(), 500, 0xAB);
        EXPECT_EQ(Stub::ImageEnd(image.bytes), image.end) << image.kind;
    }
}

// A cut image, or one whose headers name more than the file holds, claims
// more bytes than there are (or is no program image at all), so nothing
// behind it is taken for a patch; the headers are never read past the bytes.
TEST(StubImage, aCutOrDamagedHeaderClaimsMoreThanTheBytesHold)
{
    for (const ProgramImage& image : programImages())
        for (std::size_t n = 0; n < image.bytes.size(); ++n)
        {
            const Bytes cut(image.bytes.begin(), image.bytes.begin() + std::ptrdiff_t(n));
            std::uint64_t end = 0;
            EXPECT_NO_THROW(end = Stub::ImageEnd(cut)) << image.kind << " cut to " << n;
            // Cut where its own certificate table starts, a signed image is
            // the unsigned one.
            if (n == image.certificates)
                EXPECT_EQ(end, n) << image.kind;
            else
                EXPECT_TRUE(end == 0 || end > n) << image.kind << " cut to " << n << ": " << end;
        }

    struct Damage
    {
        std::size_t at;
        std::uint64_t value;
        unsigned size;
    };
    const ProgramImage elf = elfWithBss();
    const std::vector<Damage> elfDamage = {
        {0x38, 0xFFFF, 2},                           // program header count
        {0x36, 8, 2},                                // program header size below a whole header
        {0x28, ~std::uint64_t(0) - 8, 8},            // section table offset wrapping around
        {0x240 + 0x18, ~std::uint64_t(0) - 0x80, 8}, // .text offset wrapping around
        {0x40 + 32, 0x10000000, 8},                  // segment far longer than the file
    };
    for (const Damage& d : elfDamage)
    {
        Bytes damaged = elf.bytes;
        put(damaged, d.at, d.value, d.size);
        EXPECT_GT(Stub::ImageEnd(damaged), damaged.size()) << std::hex << d.at;
    }
    for (const bool wide : {false, true})
    {
        const ProgramImage image = pe(wide, 0x108);
        const std::size_t table = 0x58 + (wide ? 240 : 224);
        const std::size_t certificateLength = 0x58 + (wide ? 112 : 96) + 36;
        const std::vector<Damage> peDamage = {
            {0x46, 0xFFFF, 2},                  // section count
            {0x54, 0xFFFF, 2},                  // optional header size
            {table + 20, 0xFFFFFFF0, 4},        // .text's file offset
            {table + 40 + 16, 0xFFFFFFFF, 4},   // .data's file size
            {certificateLength, 0xFFFFFFF0, 4}, // certificate table length
            {0x4C, 0x500, 4},                   // COFF symbols, as many as can be named
        };
        for (const Damage& d : peDamage)
        {
            Bytes damaged = image.bytes;
            put(damaged, d.at, d.value, d.size);
            if (d.at == 0x4C)
                put(damaged, 0x50, 0xFFFFFFFF, 4);
            EXPECT_GT(Stub::ImageEnd(damaged), damaged.size()) << image.kind << std::hex << " at " << d.at;
        }
        // A signature offset past the file: no program image.
        Bytes lost = image.bytes;
        put(lost, 0x3C, 0xFFFFFF00, 4);
        EXPECT_EQ(Stub::ImageEnd(lost), 0u) << image.kind;
    }
}

// A flipped bit or a download cut short is refused before anything is asked,
// the target unchanged and no temporary file left.
TEST_F(StubRun, damagedOrCutDownloadIsRefusedBeforeAnythingIsAsked)
{
    const Bytes program = wrapped(dir, "STUB.LGP", v.patch, true);
    const std::size_t image = testlgp::Load(Platform::Paths::programDir() + "STUB.LGP").size();
    const std::size_t start = program.size() - 40 - v.patch.size();

    std::vector<Bytes> damaged;
    for (const std::size_t at :
         {start - 20, start + 3, start + v.patch.size() / 2, program.size() - 41, program.size() - 35})
    {
        damaged.push_back(program);
        damaged.back()[at] ^= 0x01;
    }
    for (const std::size_t cut : {std::size_t(1), std::size_t(40), std::size_t(41), v.patch.size() / 2,
                                  program.size() - start + 10, program.size() - image - 20})
        damaged.emplace_back(program.begin(), program.end() - std::ptrdiff_t(cut));
    for (const Bytes& file : damaged)
    {
        testlgp::Save(exe, file);
        StubRunner run(target);
        EXPECT_EQ(run(exe), 1);
        EXPECT_EQ(run.ui.texts(Kind::Error), QStringList{DamagedSelfExtractorText}) << file.size();
        EXPECT_EQ(run.ui.shown.size(), 1u);
        EXPECT_EQ(testlgp::Load(target), original);
        EXPECT_FALSE(fs::exists(dir / "mypatch.TMP"));
    }

    // Whole, it patches.
    testlgp::Save(exe, program);
    StubRunner run(target);
    EXPECT_EQ(run(exe), 0);
    EXPECT_EQ(testlgp::Entries(testlgp::Load(target)), v.expected);
}

// Signed after wrapping, the program reads its trailer from just before the
// certificate table, and the payload still unwraps; a signed bare stub still
// holds no patch.
TEST_F(StubRun, programSignedAfterWrappingStillPatchesAndUnwraps)
{
    const Bytes program = wrapped(dir, "STUBWIN.LGP", v.patch, true);
    EXPECT_EQ(program.size() % 8, 0u) << "a signature can follow the trailer directly";
    const Bytes signedProgram = signedLike(program, 1500);
    EXPECT_EQ(SignedContentEnd(signedProgram), program.size());
    EXPECT_EQ(SignedContentEnd(program), program.size());
    testlgp::Save(exe, signedProgram);

    const SelfExtractorParts parts = ReadSelfExtractor(signedProgram, "FIX.exe", DamagedSelfExtractorText);
    EXPECT_TRUE(parts.Digest);
    EXPECT_EQ(Bytes(signedProgram.begin() + std::ptrdiff_t(parts.PatchOffset),
                    signedProgram.begin() + std::ptrdiff_t(parts.PatchOffset + parts.PatchLength)),
              v.patch);
    StubRunner run(target);
    EXPECT_EQ(run(exe), 0);
    EXPECT_EQ(run.ui.texts(Kind::Error), QStringList{});
    EXPECT_EQ(testlgp::Entries(testlgp::Load(target)), v.expected);

    // A bit flipped in front of the signature is still found.
    Bytes flipped = signedProgram;
    flipped[program.size() - 60] ^= 0x10;
    testlgp::Save(exe, flipped);
    StubRunner damaged;
    EXPECT_EQ(damaged(exe), 1);
    EXPECT_EQ(damaged.ui.texts(Kind::Error), QStringList{DamagedSelfExtractorText});

    testlgp::Save(exe, signedLike(testlgp::Load(Platform::Paths::programDir() + "STUBWIN.LGP"), 800));
    StubRunner bare;
    EXPECT_EQ(bare(exe), 1);
    EXPECT_EQ(bare.ui.texts(Kind::Error), QStringList{Stub::NoPatchText});
}

// Each kind of program image carries its patch: wrapped by the converter,
// the patch is found behind the image's last file byte and applied; a
// download cut short is known as damaged; and a Windows program signed after
// wrapping still patches.
TEST_F(StubRun, eachKindOfProgramImageCarriesItsPatch)
{
    for (const ProgramImage& image : programImages())
    {
        testlgp::Save(dir / "STUB.IMG", image.bytes);
        testlgp::Save(dir / "p.lgp", v.patch);
        MakeSelfExtractor(dir / "STUB.IMG", dir / "p.lgp", "target.lgp", true, dir / "FIX.exe");
        const Bytes program = testlgp::Load(dir / "FIX.exe");
        const SelfExtractorParts parts = ReadSelfExtractor(program, "FIX.exe", DamagedSelfExtractorText);
        EXPECT_TRUE(parts.Digest) << image.kind;
        // The digest record lies behind the image, after at most 7 zero bytes.
        ASSERT_GE(parts.PatchOffset, image.end + 56) << image.kind;
        const std::size_t record = parts.PatchOffset - 56;
        EXPECT_LT(record - image.end, 8u) << image.kind;
        EXPECT_EQ(Bytes(program.begin() + std::ptrdiff_t(image.end), program.begin() + std::ptrdiff_t(record)),
                  Bytes(record - image.end, 0))
            << image.kind;
        EXPECT_EQ(Bytes(program.begin() + std::ptrdiff_t(parts.PatchOffset), program.end() - 40), v.patch)
            << image.kind;

        std::vector<Bytes> runs = {program};
        if (image.kind.starts_with("PE"))
            runs.push_back(signedLike(program, 1500));
        for (const Bytes& file : runs)
        {
            testlgp::Save(target, original);
            testlgp::Save(exe, file);
            StubRunner run(target);
            EXPECT_EQ(run(exe), 0) << image.kind;
            EXPECT_EQ(run.ui.texts(Kind::Error), QStringList{}) << image.kind;
            EXPECT_EQ(testlgp::Entries(testlgp::Load(target)), v.expected) << image.kind;
        }

        testlgp::Save(target, original);
        testlgp::Save(exe, Bytes(program.begin(), program.end() - 41));
        StubRunner cut;
        EXPECT_EQ(cut(exe), 1) << image.kind;
        EXPECT_EQ(cut.ui.texts(Kind::Error), QStringList{DamagedSelfExtractorText}) << image.kind;
        EXPECT_EQ(testlgp::Load(target), original) << image.kind;
    }
}

// A stub run bare, the built ones and those made here, says it holds no
// patch and leaves no temporary file.
TEST_F(StubRun, bareStubSaysItHoldsNoPatch)
{
    std::vector<ProgramImage> images = programImages();
    for (const char* built : {"STUB.LGP", "STUBWIN.LGP"})
        images.push_back({built, testlgp::Load(Platform::Paths::programDir() + built)});
    for (const ProgramImage& image : images)
    {
        const std::string bare = dir / "STUB.EXE";
        testlgp::Save(bare, image.bytes);
        StubRunner run;
        EXPECT_EQ(run(bare), 1) << image.kind;
        EXPECT_EQ(run.ui.texts(Kind::Error), QStringList{Stub::NoPatchText}) << image.kind;
        EXPECT_EQ(run.ui.shown.size(), 1u) << image.kind;
        EXPECT_FALSE(fs::exists(dir / "STUB.TMP")) << image.kind;
    }
}

// The dialog opens where the target is: in the current folder, or one
// sub-folder down (data\field\flevel.lgp), the first in name order.
TEST_F(StubRun, dialogOpensInTheFolderThatHoldsTheTarget)
{
    const fs::path before = fs::current_path();
    fs::create_directories(dir / "data/battle");
    fs::create_directories(dir / "data/field");
    fs::create_directories(dir / "data/world");
    testlgp::Save(dir / "data/field/FLEVEL.LGP", Bytes{});
    testlgp::Save(dir / "data/world/flevel.lgp", Bytes{});
    testlgp::Save(dir / "data/magic.lgp", Bytes{});
    fs::current_path(dir / "data");
    const std::string here = Platform::Folder::current();
    const std::string field = Stub::DialogFolder("flevel.lgp");
    const std::string magic = Stub::DialogFolder("magic.lgp");
    const std::string nowhere = Stub::DialogFolder("char.lgp");
    const std::string any = Stub::DialogFolder("");
    fs::current_path(before);
    EXPECT_EQ(here, fs::canonical(dir / "data").string() + "/");
    EXPECT_EQ(field, here + "field/");
    EXPECT_EQ(magic, here);
    EXPECT_EQ(nowhere, here);
    EXPECT_EQ(any, here);
}

TEST_F(StubRun, runsStartedTogetherWriteTheirPatchesToFilesOfTheirOwn)
{
    const Bytes first = testlgp::Letters(100, 1);
    const Bytes second = testlgp::Letters(70, 2);
    const std::string a = Stub::CreateTempPatch(dir / "FIX.exe", first);
    const std::string b = Stub::CreateTempPatch(dir / "FIX.exe", second);
    EXPECT_EQ(a, dir / "FIX.TMP");
    EXPECT_EQ(b, dir / "FIX~2.TMP");
    EXPECT_EQ(testlgp::Load(a), first);
    EXPECT_EQ(testlgp::Load(b), second);

    // In a run, the dialog's folder comes from the current directory; the
    // run that is second uses and removes its own file only.
    testlgp::Save(dir / "mypatch.TMP", first);
    StubRunner run(target);
    EXPECT_EQ(run(exe), 0);
    EXPECT_EQ(testlgp::Load(dir / "mypatch.TMP"), first);
    EXPECT_FALSE(fs::exists(dir / "mypatch~2.TMP"));
    EXPECT_EQ(testlgp::Entries(testlgp::Load(target)), v.expected);
}
