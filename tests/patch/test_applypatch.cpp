#include "patch/DebugLog.h"
#include "patch/FFLZs.h"
#include "patch/lgppatch.h"

#include "errors/errors.h"
#include "support/failure.h"
#include "support/faults.h"
#include "support/gtestfolder.h"
#include "support/lgpwriter.h"
#include "support/testdata.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace
{
    using testdata::Bytes;

    testlgp::Archive patchArchive(std::vector<testlgp::File> entries)
    {
        return testlgp::PatchArchive(std::move(entries), Bytes(3602, 0));
    }

    // Applies patch.lgp to target.lgp, both in temp.
    PatchReport applyFiles(const TempFolder& temp, bool allowOverwrite,
                           RawEditorVariant variant = RawEditorVariant::Main)
    {
        TRawLGPFile raw(temp.file("target.lgp"), variant);
        return ApplyPatch(raw, TLGPFile(temp.file("patch.lgp"), true), allowOverwrite);
    }

    struct Applied
    {
        Bytes before;
        Bytes after;
    };

    // Writes both archives, applies the patch and returns the archive's bytes
    // before and after.
    Applied apply(const TempFolder& temp, const testlgp::Archive& archive, const testlgp::Archive& patch,
                  bool allowOverwrite, RawEditorVariant variant = RawEditorVariant::Main)
    {
        Applied result;
        result.before = testlgp::Write(archive);
        WriteWholeFile(temp.file("target.lgp"), result.before);
        WriteWholeFile(temp.file("patch.lgp"), testlgp::Write(patch));
        applyFiles(temp, allowOverwrite, variant);
        result.after = ReadWholeFile(temp.file("target.lgp"));
        return result;
    }

    Bytes diffOf(const Bytes& oldData, const Bytes& newData) { return *MakeDifference(oldData, newData); }

    Bytes tail(const Bytes& file, std::size_t count)
    {
        return Bytes(file.end() - static_cast<std::ptrdiff_t>(count), file.end());
    }
}

TEST(ApplyPatch, sameLengthInPlaceRewritesTheEntryWhereItWasAndRenamesIt)
{
    TempFolder temp;
    testlgp::Archive archive{.Files = {{"aaab.rsd", testdata::bytes("ABCDEFGH")}, {"other.p", testdata::bytes("xyz")}}};
    const auto patch = patchArchive({{"AAAB.RSD", {0x02, 0x03, 'X', 0x02}}});

    const Applied r = apply(temp, archive, patch, true);
    ASSERT_EQ(r.after.size(), r.before.size());
    EXPECT_EQ(testlgp::TocOffset(r.after, 0), testlgp::TocOffset(r.before, 0));
    EXPECT_EQ(testlgp::TocName(r.after, 0), "aaab.rsd");
    EXPECT_EQ(testlgp::DataName(r.after, 0), "aaab.rsd.patch");
    EXPECT_EQ(testlgp::EntryData(r.after, 0), testdata::bytes("ABCDXFGH"));
    EXPECT_EQ(testlgp::EntryData(r.after, 1), testdata::bytes("xyz"));
}

TEST(ApplyPatch, withoutOverwriteAppendsEveryPatchedFileAndKeepsTheOldData)
{
    TempFolder temp;
    testlgp::Archive archive{.Files = {{"a.bin", testdata::bytes("ABCDEFGH")}, {"b.bin", testdata::bytes("12345678")}}};
    const auto patch = patchArchive({{"a.bin", {0x02, 0x03, 'X', 0x02}}, {"b.bin", {0x01, 'z', 0x06}}});

    const Applied r = apply(temp, archive, patch, false);
    const std::size_t oldEnd = r.before.size() - 14;
    EXPECT_TRUE(std::equal(r.before.begin() + 16 + 2 * 27, r.before.begin() + static_cast<std::ptrdiff_t>(oldEnd),
                           r.after.begin() + 16 + 2 * 27)); // old data entries untouched
    EXPECT_EQ(testlgp::TocOffset(r.after, 0), oldEnd);
    EXPECT_EQ(testlgp::TocOffset(r.after, 1), oldEnd + 24 + 8);
    EXPECT_EQ(testlgp::EntryData(r.after, 0), testdata::bytes("ABCDXFGH"));
    EXPECT_EQ(testlgp::EntryData(r.after, 1), testdata::bytes("z2345678"));
    EXPECT_EQ(testlgp::DataName(r.after, 1), "b.bin.patch");
    EXPECT_EQ(r.after.size(), r.before.size() + 2 * (24 + 8));
    EXPECT_EQ(tail(r.after, 14), testdata::bytes("FINAL FANTASY7"));
}

TEST(ApplyPatch, repairKeepsEntriesOnTheirAppendedPatchedData)
{
    // The old data keeps its name ahead of the appended "NAME.patch" data:
    // Repair must not take the old data for the entry's own.
    TempFolder temp;
    testlgp::Archive archive{.Files = {{"a.bin", testdata::bytes("ABCDEFGH")}, {"b.bin", testdata::bytes("12345678")}}};
    const Applied r = apply(temp, archive, patchArchive({{"b.bin", {0x01, 'z', 0x06}}}), false);
    RepairArchive(temp.file("target.lgp"));
    EXPECT_EQ(ReadWholeFile(temp.file("target.lgp")), r.after);
}

TEST(ApplyPatch, lzsDataComesOutAsLiteralOnlyLzsOfThePatchedDecodedData)
{
    TempFolder temp;
    const Bytes plain = testdata::generate(3000, 11);
    const Bytes changed = testdata::mutate(plain, 4, 12);
    testlgp::Archive archive{
        .Files = {{"field.lzs", testdata::lzsCompress(plain)}, {"plain.bin", testdata::bytes("ABCDEFGH")}}};
    // The second entry's difference data is stored as LZS: it is decoded first
    // and the result is stored as LZS too.
    const auto patch = patchArchive(
        {{"FIELD.LZS", diffOf(plain, changed)}, {"plain.bin", LzsEncodeLiterals(Bytes{0x02, 0x03, 'X', 0x02})}});

    for (const bool overwrite : {true, false})
    {
        const Applied r = apply(temp, archive, patch, overwrite);
        EXPECT_EQ(testlgp::EntryData(r.after, 0), LzsEncodeLiterals(changed)) << overwrite;
        EXPECT_EQ(testlgp::EntryData(r.after, 1), LzsEncodeLiterals(testdata::bytes("ABCDXFGH"))) << overwrite;
    }
}

TEST(ApplyPatch, matchesNamesCaseInsensitivelyAndLogsArchiveNamesWithoutPatchEntry)
{
    TempFolder temp;
    testlgp::Archive archive{
        .Files = {{"aaab.rsd", testdata::bytes("ABCDEFGH")}, {"nomatch.tex", testdata::bytes("ABCDEFGH")}}};
    const auto patch = patchArchive({{"AAAB.RSD", {0x02, 0x03, 'X', 0x02}}});
    std::vector<std::string> log;
    SetDebugLogSink([&](const std::string& line) { log.push_back(line); });
    const Applied r = apply(temp, archive, patch, true);
    SetDebugLogSink(nullptr);
    EXPECT_EQ(testlgp::EntryData(r.after, 0), testdata::bytes("ABCDXFGH"));
    EXPECT_EQ(testlgp::EntryData(r.after, 1), testdata::bytes("ABCDEFGH"));
    EXPECT_EQ(log, (std::vector<std::string>{"No matching file in patch for NOMATCH.TEX"}));
}

// A patch that finds none of its files (an empty one too) must not pass for
// one that was applied: refused, the archive unchanged.
TEST(ApplyPatch, archiveHoldingNoneOfThePatchsFilesIsRefusedUnchanged)
{
    TempFolder temp;
    testlgp::Archive archive{.Files = {{"a.bin", testdata::bytes("ABCDEFGH")}}};
    const Bytes before = testlgp::Write(archive);
    const std::pair<testlgp::Archive, std::string> cases[] = {
        {patchArchive({}), "This patch holds no files; nothing was changed."},
        {patchArchive({{"other.bin", {0x02, 0x03, 'X', 0x02}}}),
         temp.file("target.lgp") + " holds none of this patch's files; nothing was changed."},
    };
    for (const auto& [patch, message] : cases)
    {
        for (const bool overwrite : {true, false})
        {
            const std::string failure =
                testlgp::FailureText<ELGPError>([&] { apply(temp, archive, patch, overwrite); });
            EXPECT_EQ(failure, message);
            EXPECT_EQ(ReadWholeFile(temp.file("target.lgp")), before);
        }
    }
}

TEST(ApplyPatch, reportsWhatItPatchedAndWhichFilesOfThePatchTheArchiveLacks)
{
    TempFolder temp;
    testlgp::Archive archive{
        .Files = {{"aaab.rsd", testdata::bytes("ABCDEFGH")}, {"b.bin", testdata::bytes("ABCDEFGH")}}};
    WriteWholeFile(temp.file("target.lgp"), testlgp::Write(archive));
    WriteWholeFile(temp.file("patch.lgp"), testlgp::Write(patchArchive({{"missing1.bin", {0x00, 0x07}},
                                                                        {"AAAB.RSD", {0x02, 0x03, 'X', 0x02}},
                                                                        {"missing2.bin", {0x00, 0x07}}})));
    const PatchReport report = applyFiles(temp, true);
    EXPECT_EQ(report.Patched, 1);
    EXPECT_EQ(report.AlreadyPatched, 0);
    EXPECT_EQ(report.NotHeld, (std::vector<std::string>{"missing1.bin", "missing2.bin"}));
}

// An append-only patch run again finds its data already patched: nothing is
// appended a second time, so the archive does not grow with every run.
TEST(ApplyPatch, appendOnlyRunAgainAppendsNothing)
{
    TempFolder temp;
    testlgp::Archive archive{.Files = {{"a.bin", testdata::bytes("ABCDEFGH")},
                                       {"b.bin", LzsEncodeLiterals(testdata::generate(300, 4))},
                                       {"c.bin", testdata::bytes("KEEPTHIS")}}};
    Bytes b2 = testdata::generate(300, 4);
    b2[5] ^= 0x55;
    const auto patch =
        patchArchive({{"a.bin", {0x02, 0x03, 'X', 0x02}}, {"b.bin", diffOf(testdata::generate(300, 4), b2)}});
    const Applied first = apply(temp, archive, patch, false);
    ASSERT_GT(first.after.size(), first.before.size());
    for (int run = 0; run < 2; ++run)
    {
        const PatchReport report = applyFiles(temp, false);
        EXPECT_EQ(report.Patched, 0);
        EXPECT_EQ(report.AlreadyPatched, 2);
    }
    const Bytes after = ReadWholeFile(temp.file("target.lgp"));
    EXPECT_EQ(after, first.after);
    EXPECT_EQ(testlgp::EntryData(after, 0), testdata::bytes("ABCDXFGH"));
    EXPECT_EQ(LzsDecode(testlgp::EntryData(after, 1)), b2);
}

TEST(ApplyPatch, applyingTwiceKeepsTheContentsAndAddsASecondSuffix)
{
    TempFolder temp;
    testlgp::Archive archive{.Files = {{"aaab.rsd", testdata::bytes("ABCDEFGH")}}};
    const auto patch = patchArchive({{"aaab.rsd", {0x02, 0x03, 'X', 0x02}}});
    apply(temp, archive, patch, true);
    applyFiles(temp, true);
    const Bytes after = ReadWholeFile(temp.file("target.lgp"));
    EXPECT_EQ(testlgp::EntryData(after, 0), testdata::bytes("ABCDXFGH"));
    // "aaab.rsd.patch" has 14 characters; another suffix needs a cut to 13.
    EXPECT_EQ(testlgp::DataName(after, 0), "aaab.rsd.patc.patch");
}

TEST(ApplyPatch, longNamesAreCutToLeaveRoomForTheSuffix)
{
    TempFolder temp;
    testlgp::Archive archive{.Files = {{"thirteen_char", testdata::bytes("ABCDEFGH")},
                                       {"nineteen_chars.tex", testdata::bytes("ABCDEFGH")},
                                       {"fourteen_chars", testdata::bytes("ABCDEFGH")}}};
    const auto patch = patchArchive({{"thirteen_char", {0x02, 0x03, 'X', 0x02}},
                                     {"nineteen_chars.tex", {0x02, 0x03, 'Y', 0x02}},
                                     {"fourteen_chars", {0x02, 0x03, 'Z', 0x02}}});
    for (const bool overwrite : {true, false})
    {
        const Applied r = apply(temp, archive, patch, overwrite);
        EXPECT_EQ(testlgp::DataName(r.after, 0), "thirteen_char.patch");
        EXPECT_EQ(testlgp::DataName(r.after, 1), "nineteen_char.patch");
        EXPECT_EQ(testlgp::DataName(r.after, 2), "fourteen_char.patch");
        EXPECT_EQ(testlgp::EntryData(r.after, 1), testdata::bytes("ABCDYFGH"));
        EXPECT_EQ(testlgp::EntryData(r.after, 2), testdata::bytes("ABCDZFGH"));
        // The index still finds each entry's data through its TOC entry.
        const TLGPFile index(temp.file("target.lgp"), true);
        EXPECT_EQ(index.GetEntry(1).Name, "nineteen_chars.tex");
        EXPECT_EQ(index.GetEntry(1).Length, 8);
        EXPECT_TRUE(index.GetEntry(1).NameMismatch);
    }
}

TEST(ApplyPatch, tocEntryPointingAtNoDataEntryIsLeftAndTheRunGoesOn)
{
    TempFolder temp;
    testlgp::Archive archive{
        .Files = {{"stray.bin", testdata::bytes("ABCDEFGH")}, {"good.bin", testdata::bytes("ABCDEFGH")}}};
    Bytes file = testlgp::Write(archive);
    // TOC entry 0 points far past the end of the file.
    file[16 + 20] = 0xFF, file[16 + 21] = 0xFF, file[16 + 22] = 0xFF, file[16 + 23] = 0x0F;
    WriteWholeFile(temp.file("target.lgp"), file);
    WriteWholeFile(temp.file("patch.lgp"), testlgp::Write(patchArchive({{"stray.bin", {0x02, 0x03, 'X', 0x02}},
                                                                        {"good.bin", {0x02, 0x03, 'X', 0x02}}})));
    applyFiles(temp, true);
    const Bytes after = ReadWholeFile(temp.file("target.lgp"));
    EXPECT_EQ(testlgp::TocOffset(after, 0), 0x0FFFFFFFu);
    EXPECT_EQ(testlgp::EntryData(after, 1), testdata::bytes("ABCDXFGH"));
}

TEST(ApplyPatch, aDamagedEntryIsFoundBeforeAnythingIsWritten)
{
    TempFolder temp;
    testlgp::Archive archive{.Files = {{"first.bin", testdata::bytes("ABCDEFGH")},
                                       {"short.bin", testdata::bytes("ABCDEFG")},
                                       {"shared.bin", Bytes(100, 's')},
                                       {"other.bin", Bytes(100, 'o')}}};
    const Bytes original = testlgp::Write(archive);
    // TOC entry 3 shares entry 2's data: it meets the data entry 2 rewrote.
    Bytes shared = original;
    std::copy_n(shared.begin() + 16 + 27 * 2 + 20, 4, shared.begin() + 16 + 27 * 3 + 20);
    const Bytes fine = diffOf(Bytes(100, 's'), Bytes(100, 'S'));
    const Bytes first = {0x02, 0x03, 'X', 0x02};
    // Copy runs past the old data: 8 bytes of short.bin; 100 bytes where entry 2 left 50.
    const Bytes runPast = {0x02, 0x03, 'X', 0x02};
    const Bytes shrink = diffOf(Bytes(100, 's'), Bytes(50, 'S'));
    const Bytes whole = {0x00, 99};
    // Passes the LZS probe but ends inside a reference.
    const Bytes badLzs = {0x02, 0x00, 0x00, 0x00, 0x00, 0x05};

    struct Case
    {
        Bytes archive;
        std::vector<testlgp::File> entries;
        std::string failing;
        std::string target;
    };
    const std::vector<Case> cases = {
        {original, {{"first.bin", first}, {"short.bin", runPast}}, "short.bin", "short.bin"},
        {original, {{"first.bin", first}, {"SHARED.BIN", badLzs}}, "SHARED.BIN", "shared.bin"},
        {shared, {{"first.bin", first}, {"shared.bin", shrink}, {"other.bin", whole}}, "other.bin", "other.bin"},
    };
    for (const Case& c : cases)
    {
        WriteWholeFile(temp.file("target.lgp"), c.archive);
        WriteWholeFile(temp.file("patch.lgp"), testlgp::Write(patchArchive(c.entries)));
        for (const auto variant : {RawEditorVariant::Main, RawEditorVariant::Stub})
        {
            EXPECT_EQ(
                testlgp::FailureText<ELGPError>([&] { applyFiles(temp, true, variant); }),
                "The patch entry \"" + c.failing + "\" can't be applied to \"" + c.target + "\" in "
                    + temp.file("target.lgp")
                    + ": Stream read error. The patch is damaged or was made for other data; nothing was changed.");
            EXPECT_EQ(ReadWholeFile(temp.file("target.lgp")), c.archive);
        }
    }
    // The difference data of an entry cut off by the end of the patch file.
    Bytes cut = testlgp::Write(patchArchive({{"first.bin", first}, {"short.bin", fine}}));
    cut.resize(cut.size() - 20);
    WriteWholeFile(temp.file("patch.lgp"), cut);
    WriteWholeFile(temp.file("target.lgp"), original);
    {
        EXPECT_NE(
            testlgp::FailureText<ELGPError>([&] { applyFiles(temp, false); }).find("\"short.bin\" can't be applied"),
            std::string::npos);
    }
    EXPECT_EQ(ReadWholeFile(temp.file("target.lgp")), original);
    // alias.bin shares the last data entry with grow.bin and comes first: it
    // grows the data in place (main editor) or appends it (stub editor), and
    // grow.bin's 20-byte copy run fits only the grown data.
    testlgp::Archive last{.Files = {{"first.bin", testdata::bytes("ABCDEFGH")},
                                    {"alias.bin", Bytes(5, 'x')},
                                    {"grow.bin", Bytes(10, 'g')}}};
    Bytes aliased = testlgp::Write(last);
    std::copy_n(aliased.begin() + 16 + 27 * 2 + 20, 4, aliased.begin() + 16 + 27 + 20);
    const Bytes grown(20, 'G');
    Bytes literals = {0xFF};
    literals.insert(literals.end(), grown.begin(), grown.begin() + 8);
    literals.push_back(0xFF);
    literals.insert(literals.end(), grown.begin() + 8, grown.begin() + 16);
    literals.push_back(0x0F);
    literals.insert(literals.end(), grown.begin() + 16, grown.end());
    WriteWholeFile(temp.file("patch.lgp"),
                   testlgp::Write(patchArchive({{"alias.bin", literals}, {"grow.bin", {0x00, 19}}})));
    for (const auto variant : {RawEditorVariant::Main, RawEditorVariant::Stub})
    {
        WriteWholeFile(temp.file("target.lgp"), aliased);
        const std::string failure = testlgp::FailureText<ELGPError>([&] { applyFiles(temp, true, variant); });
        const Bytes after = ReadWholeFile(temp.file("target.lgp"));
        if (variant == RawEditorVariant::Main)
        {
            EXPECT_EQ(failure, "(no failure)");
            EXPECT_EQ(testlgp::EntryData(after, 1), grown);
            EXPECT_EQ(testlgp::EntryData(after, 2), grown);
        }
        else
        {
            EXPECT_NE(failure.find("\"grow.bin\" can't be applied"), std::string::npos) << failure;
            EXPECT_EQ(after, aliased);
        }
    }
}

TEST(ApplyPatch, refusesAnArchiveWhoseTocReachesDataTheScanMisses)
{
    TempFolder temp;
    testlgp::Archive archive{
        .Files = {{"a.bin", Bytes(10, 'a')}, {"b.bin", Bytes(10, 'b')}, {"c.bin", Bytes(10, 'c')}}};
    Bytes file = testlgp::Write(archive);
    // b's Length damaged: the scan ends at b, and c lies in what it takes for trailing text.
    file[testlgp::TocOffset(file, 1) + 23] = 0x40;
    WriteWholeFile(temp.file("target.lgp"), file);
    WriteWholeFile(temp.file("patch.lgp"), testlgp::Write(patchArchive({{"a.bin", {0x01, 'A'}}})));
    for (const bool allowOverwrite : {true, false})
    {
        EXPECT_EQ(
            testlgp::FailureText<ELGPError>([&] { applyFiles(temp, allowOverwrite); }),
            "The archive " + temp.file("target.lgp")
                + " is damaged: the TOC entry \"c.bin\" (number 3) points at data that the scan of its data entries "
                  "does not reach. Nothing was changed; run Repair on it first.");
        EXPECT_EQ(ReadWholeFile(temp.file("target.lgp")), file);
    }
}

TEST(ApplyPatch, aPatchThatWouldGrowTheArchivePastTwoGigabytesIsRefusedBeforeAnythingChanges)
{
    TempFolder temp;
    testlgp::Archive archive{.Files = {{"a.bin", testdata::bytes("ABCDEFGH")}, {"b.bin", testdata::bytes("12345678")}}};
    Bytes bytes = testlgp::Write(archive);
    // b.bin's data entry moves behind a gap marker, so that with the trailing
    // text the archive ends exactly at the largest size Offsets reach. The
    // file is sparse: only its two ends take room on the disk.
    constexpr std::int64_t MaxSize = 2147483647;
    const std::int32_t b = testlgp::TocOffset(bytes, 1);
    const Bytes end(bytes.begin() + b, bytes.end()); // b.bin's data entry and the trailing text
    const std::int64_t moved = MaxSize - std::int64_t(end.size());
    bytes.resize(std::size_t(b));
    testlgp::PutI32(bytes, 16 + 27 + 20, std::int32_t(moved));
    testlgp::PutI32(bytes, std::size_t(b), std::int32_t(0x5F6A04E8)); // the gap marker
    testlgp::PutI32(bytes, std::size_t(b) + 4, std::int32_t(moved - b));
    const std::string path = temp.file("target.lgp");
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        out.seekp(moved);
        out.write(reinterpret_cast<const char*>(end.data()), std::streamsize(end.size()));
        ASSERT_TRUE(out.good());
    }
    WriteWholeFile(temp.file("patch.lgp"), testlgp::Write(patchArchive({{"b.bin", {0x01, 'z', 0x06}}})));

    // Appended (no overwriting), b.bin's new data would lie past the limit.
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] {
                  TRawLGPFile raw(path);
                  ApplyPatch(raw, TLGPFile(temp.file("patch.lgp"), true), false);
              }),
              "Applying the patch would make the archive " + path
                  + " larger than 2,147,483,647 bytes. Nothing was changed.");
    EXPECT_EQ(std::filesystem::file_size(path), std::uintmax_t(MaxSize));
    std::ifstream in(path, std::ios::binary);
    Bytes head(bytes.size()), back(end.size());
    in.read(reinterpret_cast<char*>(head.data()), std::streamsize(head.size()));
    in.seekg(moved);
    in.read(reinterpret_cast<char*>(back.data()), std::streamsize(back.size()));
    EXPECT_EQ(head, bytes);
    EXPECT_EQ(back, end);
    EXPECT_TRUE(faults::HiddenFiles(temp.dir()).empty());
}

TEST(ApplyPatch, tinyDataIsPlainNotProbed)
{
    TempFolder temp;
    testlgp::Archive archive{.Files = {{"tiny.bin", testdata::bytes("abc")}}};
    const auto patch = patchArchive({{"tiny.bin", {0x02, 0x00, 'X', 0x00}}});
    const Applied r = apply(temp, archive, patch, true);
    EXPECT_EQ(testlgp::EntryData(r.after, 0), testdata::bytes("aXc"));
}

TEST(ApplyPatch, fitRulesOfBothEditorVariants)
{
    TempFolder temp;
    testlgp::Archive archive{
        .Files = {{"grow.bin", Bytes(100, 'g')}, {"shrink.bin", Bytes(100, 's')}, {"last.bin", Bytes(100, 'l')}}};
    Bytes grown(110, 'G');
    Bytes shrunk(92, 'S');
    Bytes lastGrown(120, 'L');
    const auto patch = patchArchive({{"grow.bin", diffOf(Bytes(100, 'g'), grown)},
                                     {"shrink.bin", diffOf(Bytes(100, 's'), shrunk)},
                                     {"last.bin", diffOf(Bytes(100, 'l'), lastGrown)}});
    // A patch can't make a file longer: grown data is cut to the old length.
    grown.resize(100);
    lastGrown.resize(100);

    for (const auto variant : {RawEditorVariant::Main, RawEditorVariant::Stub})
    {
        const Applied r = apply(temp, archive, patch, true, variant);
        for (std::size_t i = 0; i < 3; ++i)
            EXPECT_EQ(testlgp::TocOffset(r.after, i), testlgp::TocOffset(r.before, i)) << i;
        EXPECT_EQ(testlgp::EntryData(r.after, 0), grown);
        EXPECT_EQ(testlgp::EntryData(r.after, 1), shrunk);
        EXPECT_EQ(testlgp::EntryData(r.after, 2), lastGrown);
        // A gap marker follows the shrunk entry: 8 bytes of its space are free.
        const std::size_t marker = testlgp::TocOffset(r.after, 1) + 24 + 92;
        EXPECT_EQ(testlgp::Get32(r.after, marker), 0x5F6A04E8u);
        EXPECT_EQ(testlgp::Get32(r.after, marker + 4), 8u);
    }

    // Shrinking by fewer than 8 bytes doesn't fit in place in either variant.
    const auto small = patchArchive({{"shrink.bin", diffOf(Bytes(100, 's'), Bytes(95, 'S'))}});
    for (const auto variant : {RawEditorVariant::Main, RawEditorVariant::Stub})
    {
        const Applied r = apply(temp, archive, small, true, variant);
        EXPECT_EQ(testlgp::TocOffset(r.after, 1), r.before.size() - 14);
        EXPECT_EQ(testlgp::EntryData(r.after, 1), Bytes(95, 'S'));
    }
}

namespace
{
    // Entries that fit in place (same length, 100 bytes shorter), one 3 bytes
    // shorter (no room for a gap marker: appended), and the last one.
    struct Scene
    {
        testlgp::Archive archive;
        testlgp::Archive patch;
    };

    Scene mixedScene()
    {
        Scene scene;
        const Bytes same = testdata::generate(3000, 1);
        const Bytes shrink = testdata::generate(2000, 2);
        const Bytes nudge = testdata::generate(1500, 3);
        const Bytes last = testdata::generate(800, 4);
        scene.archive.Files = {{"same.bin", same},
                               {"shrink.bin", shrink},
                               {"nudge.bin", nudge},
                               {"keep.bin", testdata::generate(100, 5)},
                               {"last.bin", last}};
        const Bytes shrunk = testdata::mutate(Bytes(shrink.begin(), shrink.end() - 100), 4, 10);
        const Bytes nudged = testdata::mutate(Bytes(nudge.begin(), nudge.end() - 3), 4, 11);
        scene.patch = patchArchive({{"same.bin", diffOf(same, testdata::mutate(same, 9, 8))},
                                    {"shrink.bin", diffOf(shrink, shrunk)},
                                    {"NUDGE.BIN", diffOf(nudge, nudged)},
                                    {"last.bin", diffOf(last, testdata::mutate(last, 3, 9))}});
        return scene;
    }
}

TEST(ApplyPatchCrashSafety, everyFaultLeavesTheOldOrThePatchedArchive)
{
    TempFolder temp;
    const Scene scene = mixedScene();
    const Bytes before = testlgp::Write(scene.archive);
    WriteWholeFile(temp.file("patch.lgp"), testlgp::Write(scene.patch));
    const std::string target = temp.file("target.lgp");
    for (const auto variant : {RawEditorVariant::Main, RawEditorVariant::Stub})
    {
        for (const bool overwrite : {true, false})
        {
            SCOPED_TRACE(std::string(variant == RawEditorVariant::Main ? "main" : "stub")
                         + (overwrite ? ", overwrite" : ", append only"));
            const auto command = [&] {
                TRawLGPFile raw(target, variant);
                const TLGPFile index(temp.file("patch.lgp"), true);
                ApplyPatch(raw, index, overwrite);
            };
            WriteWholeFile(target, before);
            // Synced before the rename, in place or appended.
            EXPECT_EQ(faults::ExpectDurableOrder(faults::Recorded(command)), 1);
            const Bytes after = ReadWholeFile(target);
            ASSERT_NE(after, before);
            for (const auto action : {faults::Action::Fail, faults::Action::Exit})
            {
                faults::AtEveryCall(
                    action, [&] { WriteWholeFile(target, before); }, command,
                    [&](faults::Outcome outcome) {
                        const Bytes now = ReadWholeFile(target);
                        if (outcome == faults::Outcome::Killed)
                        {
                            EXPECT_TRUE(now == before || now == after);
                        }
                        else
                        {
                            EXPECT_EQ(now, outcome == faults::Outcome::Failed ? before : after);
                        }
                        if (outcome != faults::Outcome::Killed)
                        {
                            EXPECT_TRUE(faults::HiddenFiles(temp.dir()).empty());
                        }
                        faults::RemoveLeftovers(temp.dir());
                    });
            }
        }
    }
}

TEST(ApplyPatchCrashSafety, theEditorHoldsThePatchedFileAndStillRefusesOtherWriters)
{
    TempFolder temp;
    const Scene scene = mixedScene();
    WriteWholeFile(temp.file("target.lgp"), testlgp::Write(scene.archive));
    WriteWholeFile(temp.file("patch.lgp"), testlgp::Write(scene.patch));
    TRawLGPFile raw(temp.file("target.lgp"));
    ApplyPatch(raw, TLGPFile(temp.file("patch.lgp"), true), true);
    EXPECT_EQ(raw.DataCount(), 6);
    // A second writer is refused.
    EXPECT_EQ(testlgp::FailureText<ELGPError>([&] { TRawLGPFile second(temp.file("target.lgp")); }),
              "Cannot open file " + temp.file("target.lgp"));
    // Later edits reach the patched file.
    TMemoryStream data;
    raw.ReadEntryData(2, data);
    EXPECT_EQ(raw.GetDataEntry(5).NameString(), "nudge.bin.patch");
    EXPECT_EQ(testlgp::TocOffset(ReadWholeFile(temp.file("target.lgp")), 2),
              std::uint32_t(raw.GetDataEntry(5).Position));
}

TEST(ApplyPatchCrashSafety, randomKillsLeaveTheOldOrThePatchedArchive)
{
    TempFolder temp;
    testlgp::Archive archive;
    std::vector<testlgp::File> changes;
    for (int i = 0; i < 120; ++i)
    {
        const Bytes data = testdata::generate(3000 + 13 * static_cast<std::size_t>(i), static_cast<std::uint32_t>(i));
        archive.Files.push_back({"f" + std::to_string(i), data});
        if (i % 2 == 0)
            changes.push_back({"f" + std::to_string(i), diffOf(data, testdata::mutate(data, 20, 7))});
    }
    const Bytes before = testlgp::Write(archive);
    WriteWholeFile(temp.file("patch.lgp"), testlgp::Write(patchArchive(changes)));
    const std::string target = temp.file("target.lgp");
    const auto command = [&] {
        TRawLGPFile raw(target);
        ApplyPatch(raw, TLGPFile(temp.file("patch.lgp"), true), true);
    };
    faults::OldOrResultAfterKills(20, 7, target, before, command);
}
