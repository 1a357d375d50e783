// Patches of archives that hold one name several times, told apart by folder
// (the game's magic archive): making them pairs the copies, applying them
// changes each copy on its own.

#include "patch/lgppatch.h"

#include "core/lgplookup.h"
#include "errors/errors.h"
#include "support/failure.h"
#include "support/gamearchives.h"
#include "support/gtestfolder.h"

#include <gtest/gtest.h>

namespace
{
    using testlgp::Bytes;
    using testlgp::GameEntry;

    // A magic-style archive with one copy's data changed.
    std::vector<GameEntry> withData(std::vector<GameEntry> entries, std::size_t index, const std::string& data)
    {
        entries.at(index).Data = testlgp::B(data);
        return entries;
    }

    // The patch of modified against source (archive files, or a folder when
    // modifiedFolder is set); fails when some file can't be carried.
    Bytes makePatch(const TempFolder& temp, const Bytes& source, const Bytes& modified,
                    const std::string& modifiedFolder = {})
    {
        PatchCreationOptions options;
        options.Source = temp.file("source.lgp");
        WriteWholeFile(options.Source, source);
        if (modifiedFolder.empty())
        {
            options.ModifiedArchive = temp.file("modified.lgp");
            WriteWholeFile(options.ModifiedArchive, modified);
        }
        options.ModifiedIsFolder = !modifiedFolder.empty();
        options.ModifiedFolder = modifiedFolder;
        options.Output = temp.file("patch.lgp");
        EXPECT_TRUE(CreatePatch(options, {}));
        return ReadWholeFile(options.Output);
    }

    // The archive after the patch was applied to it.
    Bytes applyPatch(const TempFolder& temp, const Bytes& archive, const Bytes& patch, bool allowOverwrite = true)
    {
        WriteWholeFile(temp.file("target.lgp"), archive);
        WriteWholeFile(temp.file("patch.lgp"), patch);
        {
            TRawLGPFile raw(temp.file("target.lgp"));
            const TLGPFile index(temp.file("patch.lgp"), true);
            ApplyPatch(raw, index, allowOverwrite);
        }
        return ReadWholeFile(temp.file("target.lgp"));
    }

    std::uint16_t tocField(const Bytes& archive, std::size_t index)
    {
        const std::size_t at = 16 + 27 * index + 25;
        return std::uint16_t(archive.at(at) | archive.at(at + 1) << 8);
    }

    // The conflict records of a patch (folder per record, in table order),
    // read from its bytes after its 3,600-byte lookup part.
    std::vector<std::pair<std::string, std::uint16_t>> patchRecords(const Bytes& patch)
    {
        std::size_t at = 16 + 27 * testlgp::FileCount(patch) + 3600;
        const auto u16 = [&](std::size_t p) { return std::uint16_t(patch.at(p) | patch.at(p + 1) << 8); };
        std::vector<std::pair<std::string, std::uint16_t>> records;
        const std::uint16_t conflicts = u16(at);
        at += 2;
        for (std::uint16_t c = 0; c < conflicts; ++c)
        {
            const std::uint16_t count = u16(at);
            at += 2;
            for (std::uint16_t r = 0; r < count; ++r, at += 130)
                records.emplace_back(std::string(reinterpret_cast<const char*>(&patch.at(at))), u16(at + 128));
        }
        return records;
    }

    // The file an empty patch is: header, the template, the trailing text.
    Bytes emptyPatch()
    {
        testlgp::Writer w;
        w.header("QUENWICK-LGP", 0).raw(ReadWholeFile(PatchTemplatePath())).text("LGP PATCH FILE");
        return w.out;
    }
}

TEST(PatchRepeatedNames, anIdenticalCopyGivesAnEmptyPatchThatLeavesTheArchiveUnchanged)
{
    // Copies of one name differ in length: none of them "grew".
    for (const bool conflicts : {true, false})
    {
        TempFolder temp;
        const Bytes archive = testlgp::MagicBytes(testlgp::MagicStyleEntries(), conflicts);
        const Bytes patch = makePatch(temp, archive, archive);
        EXPECT_EQ(patch, emptyPatch());
        EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { applyPatch(temp, archive, patch); }),
                  "This patch holds no files; nothing was changed.");
        EXPECT_EQ(ReadWholeFile(temp.file("target.lgp")), archive);
    }
}

TEST(PatchRepeatedNames, aChangeToOneCopyChangesExactlyThatCopy)
{
    // TOC: bolt.p magic, bolt.p mag_b, fire_1.p magic, mag_a, mag_b, ice.p, wind_1.p mag_a, mag_b.
    const auto entries = testlgp::MagicStyleEntries();
    const auto changed = withData(withData(entries, 3, "fire ONE in MAG_A"), 6, "Wind in mag_a");
    struct Case
    {
        bool conflicts;
        std::vector<std::pair<std::string, std::uint16_t>> records;
    };
    // Without a conflict table the copies are told apart by their order.
    for (const Case& c : {Case{true, {{"mag_a", 0}, {"mag_a", 1}}}, Case{false, {{"/2", 0}, {"/1", 1}}}})
    {
        TempFolder temp;
        const Bytes source = testlgp::MagicBytes(entries, c.conflicts);
        const Bytes expected = testlgp::MagicBytes(changed, c.conflicts);
        const Bytes patch = makePatch(temp, source, expected);
        ASSERT_EQ(testlgp::FileCount(patch), 2u);
        EXPECT_EQ(testlgp::TocName(patch, 0), "fire_1.p");
        EXPECT_EQ(testlgp::TocName(patch, 1), "wind_1.p");
        EXPECT_EQ(tocField(patch, 0), 1);
        EXPECT_EQ(tocField(patch, 1), 2);
        EXPECT_EQ(patchRecords(patch), c.records);
        for (const bool allowOverwrite : {true, false})
        {
            const Bytes after = applyPatch(temp, source, patch, allowOverwrite);
            EXPECT_EQ(testlgp::Entries(after), testlgp::Entries(expected)) << c.conflicts << allowOverwrite;
        }
    }
}

TEST(PatchRepeatedNames, copiesArePairedByFolderWhateverTheirOrder)
{
    // The modified archive holds the copies of fire_1.p in another order.
    const auto entries = testlgp::MagicStyleEntries();
    auto modified = withData(entries, 4, "FIRE");
    std::swap(modified[2], modified[4]);
    TempFolder temp;
    const Bytes source = testlgp::MagicBytes(entries);
    const Bytes patch = makePatch(temp, source, testlgp::MagicBytes(modified));
    EXPECT_EQ(patchRecords(patch), (std::vector<std::pair<std::string, std::uint16_t>>{{"mag_b", 0}}));
    EXPECT_EQ(testlgp::Entries(applyPatch(temp, source, patch)),
              testlgp::Entries(testlgp::MagicBytes(withData(entries, 4, "FIRE"))));
}

TEST(PatchRepeatedNames, aModifiedFolderAsExtractAllWritesItChangesOneCopy)
{
    // With a conflict table the copies go into their folders; without one,
    // under numbered names.
    struct Case
    {
        bool conflicts;
        std::string file;
        std::string record;
    };
    for (const Case& c : {Case{true, "mag_a/fire_1.p", "mag_a"}, Case{false, "fire_1 (2).p", "/2"}})
    {
        TempFolder temp;
        const auto entries = testlgp::MagicStyleEntries();
        const Bytes source = testlgp::MagicBytes(entries, c.conflicts);
        WriteWholeFile(temp.file("extracted.lgp"), source);
        const TLGPFile extracted(temp.file("extracted.lgp"), true);
        const std::string folder = temp.folder("mods");
        ExtractAllEntries(extracted, folder, PlanExtractAll(extracted, {.Numbered = !c.conflicts}));
        ASSERT_EQ(ReadWholeFile(folder + c.file), testlgp::B("fire one in mag_a"));
        WriteWholeFile(folder + c.file, testlgp::B("fire ONE in MAG_A"));

        const Bytes patch = makePatch(temp, source, {}, folder);
        EXPECT_EQ(patchRecords(patch), (std::vector<std::pair<std::string, std::uint16_t>>{{c.record, 0}}));
        EXPECT_EQ(testlgp::Entries(applyPatch(temp, source, patch)),
                  testlgp::Entries(testlgp::MagicBytes(withData(entries, 3, "fire ONE in MAG_A"), c.conflicts)));
    }
}

TEST(PatchRepeatedNames, aCopyTheArchiveDoesNotHoldIsLeftAlone)
{
    // Made where the copies have folders, applied where they have none: the
    // one difference finds no copy, so nothing is patched, which is refused.
    TempFolder temp;
    const auto entries = testlgp::MagicStyleEntries();
    const Bytes patch =
        makePatch(temp, testlgp::MagicBytes(entries), testlgp::MagicBytes(withData(entries, 3, "fire ONE in MAG_A")));
    ASSERT_EQ(testlgp::FileCount(patch), 1u);
    const Bytes unfoldered = testlgp::MagicBytes(entries, false);
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { applyPatch(temp, unfoldered, patch); }),
              temp.file("target.lgp") + " holds none of this patch's files; nothing was changed.");
    EXPECT_EQ(ReadWholeFile(temp.file("target.lgp")), unfoldered);
}

TEST(PatchRepeatedNames, aGrownCopyIsListedWithItsFolder)
{
    const auto grown = withData(testlgp::MagicStyleEntries(), 4, "fire, grown");
    for (const bool conflicts : {true, false})
    {
        TempFolder temp;
        PatchCreationOptions options;
        options.Source = temp.file("source.lgp");
        options.ModifiedArchive = temp.file("modified.lgp");
        options.Output = temp.file("patch.lgp");
        WriteWholeFile(options.Source, testlgp::MagicBytes(testlgp::MagicStyleEntries(), conflicts));
        WriteWholeFile(options.ModifiedArchive, testlgp::MagicBytes(grown, conflicts));
        EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { CreatePatch(options, {}); }),
                  "A patch can't add files or make a file longer, so it can't carry these files whole:\n  "
                      + std::string(conflicts ? "mag_b/fire_1.p" : "fire_1.p (copy 3)")
                      + ": 11 bytes in the modified version, 4 in the source\nNo patch was written.");
        EXPECT_FALSE(std::filesystem::exists(options.Output));
    }
}

TEST(PatchRepeatedNames, aPatchThatDoesNotSayWhichCopyIsRefusedAndChangesNothing)
{
    const Bytes archive = testlgp::MagicBytes(testlgp::MagicStyleEntries());
    // A difference for the name, as a patch for an archive holding it once has.
    const testlgp::Archive plain = testlgp::PatchArchive({{"FIRE_1.P", {0x01, 'F'}}}, Bytes(3602, 0));
    // A difference marked as one copy's, with no conflict table to say which.
    Bytes unmarked = testlgp::Write(plain);
    unmarked[16 + 25] = 1;

    TempFolder temp;
    const std::string path = temp.file("target.lgp");
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {testlgp::Write(plain),
         "The patch changes \"FIRE_1.P\" without saying which copy of the name it is for, and the archive " + path
             + " holds 3 copies of it (magic/fire_1.p, mag_a/fire_1.p, mag_b/fire_1.p). Nothing was changed."},
        {unmarked, "The patch entry \"FIRE_1.P\" (number 1) is marked as the change of one copy of its name, but the "
                   "patch does not say which; the patch is damaged. Nothing was changed."},
    };
    for (const auto& [patch, message] : cases)
    {
        EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { applyPatch(temp, archive, patch); }), message);
        EXPECT_EQ(ReadWholeFile(path), archive);
    }
}
