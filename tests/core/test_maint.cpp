// Analysis report, repair and packing.
#include "core/lgplookup.h"
#include "coresupport.h"
#include "support/faults.h"

#include <gmock/gmock.h>

using namespace testlgp;
using ::testing::ElementsAre;

namespace
{
    std::vector<std::string> Analyse(const std::string& path)
    {
        TLGPFile f(path, true);
        return AnalyseArchive(f, std::filesystem::path(path).filename().string());
    }

    std::vector<std::int32_t> TocOffsets(const std::string& path)
    {
        TLGPFile f(path, false);
        std::vector<std::int32_t> out;
        for (std::int32_t i = 0; i < f.FileCount(); ++i)
            out.push_back(f.GetEntry(i).Offset);
        return out;
    }

    std::vector<File> NumberedFiles(int n)
    {
        std::vector<File> files;
        for (int i = 0; i < n; ++i)
            files.push_back({"f" + std::to_string(i), Pattern(static_cast<std::size_t>(10 + i), std::uint8_t(i))});
        return files;
    }

    const std::vector<std::string> Note = {"     (these will not necessarily stop the LGP",
                                           "      from working. However, it indicates a",
                                           "      corrupt or badly constructed file.)"};
}

TEST(Analyse, wellFormedArchiveWithStandardValidation)
{
    TempFolder tmp;
    const auto path = tmp.save("good.lgp", Write(Archive{.Files = NumberedFiles(10), .Validation = Pattern(3602)}));
    EXPECT_THAT(Analyse(path), ElementsAre("File: good.lgp", "# of files in archive: 10", "Creator: SQUARESOFT",
                                           "Description: FINAL FANTASY7", "", "Section 1: Header: 286 bytes.",
                                           "Section 2: Error check: 3602 bytes.", "0 files have mismatched filenames.",
                                           "There are no data gaps in the file (OK)."));
}

TEST(Analyse, flagsValidationSizeMismatchesAndGaps)
{
    TempFolder tmp;
    // Two TOC entries share a data entry, a third names different data.
    Writer w;
    w.header("SQUARESOFT", 3).toc("a", 97).toc("A", 97).toc("b", 122);
    w.dataEntry("a", B("1")).dataEntry("renamed", B("2")).text("FINAL FANTASY7");
    std::vector<std::string> expected = {"File: x.lgp",
                                         "# of files in archive: 3",
                                         "Creator: SQUARESOFT",
                                         "Description: FINAL FANTASY7",
                                         "",
                                         "Section 1: Header: 97 bytes.",
                                         "Section 2: Error check: 0 bytes.",
                                         "     (compressed/corrupt data?)",
                                         "1 files have mismatched filenames."};
    expected.insert(expected.end(), Note.begin(), Note.end());
    expected.insert(expected.end(), {"There is a data gap between files: ", "  A and a"});
    expected.insert(expected.end(), Note.begin(), Note.end());
    EXPECT_EQ(Analyse(tmp.save("x.lgp", w.out)), expected);
    // What the exit status of analyse counts: the mismatched name; the
    // shared data entry is listed as a gap but is no damage.
    EXPECT_EQ(AnalyseArchiveReport(TLGPFile(tmp.file("x.lgp"), true), "x.lgp").Problems, 1);
}

TEST(Analyse, archiveWithoutTocEntriesEndsAfterSectionOne)
{
    TempFolder tmp;
    Writer w;
    w.header("SQUARESOFT", 0).text("FINAL FANTASY7");
    EXPECT_THAT(Analyse(tmp.save("empty.lgp", w.out)),
                ElementsAre("File: empty.lgp", "# of files in archive: 0", "Creator: SQUARESOFT", "Description: ", "",
                            "Section 1: Header: 16 bytes."));
}

TEST(Analyse, hiddenFileCantBeDescribed)
{
    TempFolder tmp;
    TLGPFile f(tmp.save(".hidden.lgp", Write(Archive{.Files = NumberedFiles(1)})), true);
    EXPECT_EQ(FailureText([&] { AnalyseArchive(f, "x"); }), "Couldn't retrieve file information!");
}

TEST(Pack, shrunkEntryGapDisappearsAndFileShrinksByTheGap)
{
    TempFolder tmp;
    const Archive original{.Files = {{"a", Pattern(100, 1)}, {"b", Pattern(200, 2)}, {"c", Pattern(30, 3)}},
                           .Validation = Pattern(3602)};
    const auto path = tmp.save("x.lgp", Write(original));
    {
        TRawLGPFile raw(path);
        ASSERT_TRUE(raw.RewriteDataEntry(1, NewData("b", Pattern(150, 9))));
    }
    const auto before = Load(path).size();
    const auto lines = Analyse(path);
    EXPECT_THAT(std::vector<std::string>(lines.begin() + 8, lines.end() - 3),
                ElementsAre("There is a data gap between files: ", "  b and c"));

    PackArchive(path);
    Archive packed = original;
    packed.Files[1].Data = Pattern(150, 9);
    EXPECT_EQ(Load(path), Write(packed));
    EXPECT_EQ(Load(path).size(), before - 50);
    EXPECT_EQ(Analyse(path).back(), "There are no data gaps in the file (OK).");
}

TEST(Pack, supersededDataIsDroppedAndLaterOffsetsMoveDown)
{
    TempFolder tmp;
    const Archive original{.Files = {{"a", Pattern(10, 1)}, {"b", Pattern(20, 2)}, {"c", Pattern(30, 3)}}};
    const auto path = tmp.save("x.lgp", Write(original));
    {
        TRawLGPFile raw(path);
        const std::int32_t index = raw.AppendDataEntry(NewData("b", Pattern(40, 4)));
        TOCEntry e = raw.GetTableEntry(1);
        e.Offset = raw.GetDataEntry(index).Position;
        raw.SetTableEntry(1, e);
    }
    const auto offsetsBefore = TocOffsets(path);
    ProgressLog log;
    PackArchive(path);
    EXPECT_THAT(log.calls,
                ElementsAre(std::pair(0, 4), std::pair(1, 4), std::pair(2, 4), std::pair(3, 4), std::pair(4, 4)));
    // b's old data (24 + 20 bytes) is gone: c and the new b move down by 44.
    EXPECT_THAT(TocOffsets(path), ElementsAre(offsetsBefore[0], offsetsBefore[1] - 44, offsetsBefore[2] - 44));
    EXPECT_EQ(Load(path).size(), 97u + 34 + 54 + 64 + 14);
}

TEST(Pack, alreadyPackedArchiveIsUnchangedButEveryTocEntryIsRewritten)
{
    TempFolder tmp;
    const Bytes original = Write(Archive{.Files = NumberedFiles(5), .Validation = Pattern(3602)});
    const auto path = tmp.save("x.lgp", original);
    ProgressLog log;
    PackArchive(path);
    EXPECT_EQ(Load(path), original);
    EXPECT_EQ(log.calls.size(), 6u);
    EXPECT_EQ(log.calls.back(), std::pair(5, 5));
}

TEST(Pack, archiveWithoutDataEntriesIsLeftAlone)
{
    TempFolder tmp;
    Writer w;
    w.header("SQUARESOFT", 2).toc("a", 5000).toc("b", 6000).raw(Pattern(10));
    const auto path = tmp.save("x.lgp", w.out);
    PackArchive(path);
    EXPECT_EQ(Load(path), w.out);
}

TEST(Pack, entryRunningPastTheEndIsKeptAsTrailingText)
{
    TempFolder tmp;
    Writer w;
    w.header("SQUARESOFT", 2).toc("a", 70).toc("b", 115);
    w.dataEntry("a", B("1")).gap(20).zeros(12).name("b").i32(5000).text("cut");
    const auto path = tmp.save("x.lgp", w.out);
    PackArchive(path);
    // b can't be read (before or after); its bytes follow a as trailing text.
    Bytes expected(w.out.begin(), w.out.begin() + 95);
    expected.insert(expected.end(), w.out.begin() + 115, w.out.end());
    EXPECT_EQ(Load(path), expected);
}

TEST(Pack, refusesWhileATocEntryReachesDataTheScanMisses)
{
    TempFolder tmp;
    const Archive original{.Files = {{"a", Pattern(10, 1)}, {"b", Pattern(40, 2)}, {"c", Pattern(30, 3)}},
                           .Validation = Pattern(3602)};
    const std::int32_t start = DataStart(original);
    // One TOC Offset pointing into the validation data: the scan starts there
    // and reads validation bytes as headers.
    Bytes intoValidation = Write(original);
    Writer offset;
    offset.i32(start - 1000);
    std::copy(offset.out.begin(), offset.out.end(), intoValidation.begin() + 16 + 27 + 20);
    // A gap marker of size 4 after a: no marker, so the scan reads it as a header.
    Writer smallGap;
    smallGap.header("SQUARESOFT", 3).toc("a", 97).toc("b", 131).toc("c", 195);
    smallGap.dataEntry("a", B("12")).gap(4).dataEntry("b", Pattern(40, 2)).dataEntry("c", Pattern(30, 3));
    smallGap.text("FINAL FANTASY7");
    // b's Length damaged: c lies behind what the scan reads as trailing text.
    Bytes badLength = Write(original);
    badLength[static_cast<std::size_t>(start) + 34 + 20 + 3] = 0x70;

    // The message names the first TOC entry that reaches data the scan missed.
    const std::vector<std::pair<Bytes, std::string>> cases = {
        {intoValidation, "a"}, {smallGap.out, "b"}, {badLength, "c"}};
    for (const auto& [bytes, name] : cases)
    {
        const auto path = tmp.save("x.lgp", bytes);
        const std::string text = FailureText([&] { PackArchive(path); });
        EXPECT_THAT(text, ::testing::HasSubstr("The archive " + path + " is damaged: the TOC entry \"" + name + "\""));
        EXPECT_THAT(text, ::testing::HasSubstr("run Repair on it first."));
        EXPECT_EQ(Load(path), bytes);
    }
}

TEST(Repair, pointsEachTocEntryAtTheFirstDataEntryWithItsName)
{
    TempFolder tmp;
    // Data in file order: B (old), a, b (new), "renamed" (written for c by a patch).
    Writer w;
    w.header("SQUARESOFT", 3).toc("a", 1).toc("b", 2).toc("c", 3);
    w.dataEntry("B", B("old")).dataEntry("a", B("aa")).dataEntry("b", B("new")).dataEntry("renamed", B("c"));
    w.text("FINAL FANTASY7");
    const auto path = tmp.save("x.lgp", w.out);
    std::vector<std::pair<std::int32_t, std::int32_t>> calls;
    {
        ProgressLog log;
        RepairArchive(path);
        calls = log.calls;
    }
    EXPECT_THAT(TocOffsets(path), ElementsAre(97 + 27, 97, 3));
    EXPECT_THAT(calls, ElementsAre(std::pair(0, 3), std::pair(1, 3), std::pair(2, 3), std::pair(3, 3)));
    TLGPFile f(path, true);
    EXPECT_EQ(f.GetEntry(1), (LGPEntry{"b", 97, 3, false}));
}

TEST(Repair, afterTruncateOnlyNamesStillPresentAreRelinked)
{
    TempFolder tmp;
    // The third TOC entry's name differs from its data's ("c") but matches "a".
    Writer w;
    w.header("SQUARESOFT", 3).toc("a", 97).toc("b", 122).toc("A", 148);
    w.dataEntry("a", B("1")).dataEntry("b", B("22")).dataEntry("c", B("333")).text("FINAL FANTASY7");
    const auto path = tmp.save("x.lgp", w.out);
    {
        TRawLGPFile raw(path);
        raw.TruncateData(1);
    }
    RepairArchive(path);
    EXPECT_THAT(TocOffsets(path), ElementsAre(97, 122, 97));
}

TEST(Repair, leavesEveryTocEntryThatAlreadyReachesDataOfItsName)
{
    TempFolder tmp;
    // The same name four times (files of different folders), entries replaced
    // by an append and by patch application, and one broken Offset.
    Archive original{.Files = {{"wind_1.p", Pattern(10, 1)},
                               {"wind_1.p", Pattern(11, 2)},
                               {"wind_1.p", Pattern(12, 3)},
                               {"wind_1.p", Pattern(13, 4)},
                               {"b", Pattern(20, 5)},
                               {"nineteen_chars.tex", Pattern(30, 6)},
                               {"d", Pattern(5, 7)}}};
    const auto path = tmp.save("x.lgp", Write(original));
    {
        TRawLGPFile raw(path);
        const std::int32_t index = raw.AppendDataEntry(NewData("b", Pattern(25, 8)));
        TOCEntry b = raw.GetTableEntry(4);
        b.Offset = raw.GetDataEntry(index).Position;
        raw.SetTableEntry(4, b);
        // Patched twice in place: "nineteen_chars.tex" -> "nineteen_char.patch" (kept from then on).
        for (int i = 0; i < 2; ++i)
        {
            const Bytes bytes = Pattern(30, 9); // the record's Data points into it
            RawDataEntry patched = NewData("x", bytes);
            patched.Name = PatchedDataName(raw.GetDataEntry(5).Name);
            ASSERT_TRUE(raw.RewriteDataEntry(5, patched));
        }
        EXPECT_EQ(raw.GetDataEntry(5).NameString(), "nineteen_char.patch");
        TOCEntry d = raw.GetTableEntry(6);
        d.Offset = 5;
        raw.SetTableEntry(6, d);
    }
    std::vector<std::int32_t> expected = TocOffsets(path);
    const std::int32_t dPosition = expected[5] + 24 + 30;
    expected[6] = dPosition;
    RepairArchive(path);
    EXPECT_EQ(TocOffsets(path), expected);
    // Entries without a data entry of their name keep their Offset.
    {
        TRawLGPFile raw(path);
        TOCEntry d = raw.GetTableEntry(6);
        d.Name = FieldFromName("gone");
        raw.SetTableEntry(6, d);
    }
    RepairArchive(path);
    EXPECT_EQ(TocOffsets(path), expected);
}

TEST(BatchReplace, hundredsOfEntriesInOneRewriteLeaveThePackedArchive)
{
    TempFolder tmp;
    // 800 entries, an unreferenced data entry among them and a shrunk entry's gap: not packed.
    Archive loose{.Files = NumberedFiles(800), .Validation = Pattern(3602, 5)};
    loose.Files.insert(loose.Files.begin() + 300, File{"stale", Pattern(700, 9), false});
    const std::string path = tmp.save("x.lgp", Write(loose));
    {
        TRawLGPFile raw(path);
        ASSERT_TRUE(raw.RewriteDataEntry(500, NewData("f499", Pattern(3, 1))));
    }
    // New data for every other of the first 600 entries: longer, shorter, empty.
    Archive expected{.Files = NumberedFiles(800), .Validation = Pattern(3602, 5)};
    expected.Files[499].Data = Pattern(3, 1);
    const std::string folder = tmp.folder("new");
    for (std::size_t i = 0; i < 600; i += 2)
    {
        const Bytes data = i % 6 == 0 ? Pattern(400 + i, 2) : i % 6 == 2 ? Pattern(4, 3) : Bytes{};
        Save(folder + (i % 4 == 0 ? "F" : "f") + std::to_string(i), data); // names compare without case
        expected.Files[i].Data = data;
    }
    Save(folder + "notes.txt", B("no entry"));
    std::filesystem::create_directories(folder + "sub/deeper");
    Save(folder + "sub/deeper/f4", B("too deep"));
    Save(folder + "sub/f4", B("sub is no conflict folder"));

    TRawLGPFile raw(path);
    const ReplacePlan plan = PlanReplaceFromFolder(LookupViewOf(raw), folder);
    ASSERT_EQ(plan.Replacements.size(), 300u);
    EXPECT_EQ(plan.Replacements[1].Index, 2);
    EXPECT_EQ(plan.Replacements[1].Name, "f2");
    EXPECT_EQ(plan.Replacements[1].File, folder + "f2");
    EXPECT_THAT(plan.Unmatched, ElementsAre("notes.txt", "sub/deeper/", "sub/f4"));
    ProgressLog progress;
    ReplaceEntries(raw, plan.Replacements);
    // Byte for byte what the writer lays out with the new data, packed: so
    // every other entry reads its old bytes, and nothing is left behind.
    EXPECT_EQ(Load(path), Write(expected));
    EXPECT_EQ(progress.calls.back().first, progress.calls.back().second);
    EXPECT_THAT(Analyse(path), ::testing::Contains("There are no data gaps in the file (OK)."));
    EXPECT_THAT(Analyse(path), ::testing::Contains("0 files have mismatched filenames."));
    EXPECT_EQ(AnalyseArchiveReport(TLGPFile(path, true), "x.lgp").Problems, 0);
    EXPECT_THAT(faults::HiddenFiles(tmp.dir()), ::testing::IsEmpty());
}

TEST(BatchReplace, sharedDataRepeatedNamesAndRefusalsChangeNothingUntilAllIsChecked)
{
    TempFolder tmp;
    // "one" and "two" share one data entry; "a" has a data entry named "a.patch".
    Writer w;
    w.header("SQUARESOFT", 3).toc("one", 97).toc("two", 97).toc("a", 125);
    w.dataEntry("one", B("old!")).dataEntry("a.patch", B("1234")).text("FINAL FANTASY7");
    const std::string path = tmp.save("x.lgp", w.out);
    Save(tmp.file("new"), B("new!"));
    Save(tmp.file("newer"), B("newer"));
    {
        TRawLGPFile raw(path);
        ReplaceEntries(raw,
                       PlanReplacePairs(LookupViewOf(raw),
                                        {{"TWO", tmp.file("new")}, {"a", tmp.file("newer")}, {"nope", tmp.file("new")}})
                           .Replacements);
    }
    // "one" keeps the shared data; "two" gets a data entry of its own named
    // after it, right behind; "a"'s data entry, its own, keeps its name.
    Writer packed;
    packed.header("SQUARESOFT", 3).toc("one", 97).toc("two", 125).toc("a", 153);
    packed.dataEntry("one", B("old!")).dataEntry("two", B("new!")).dataEntry("a.patch", B("newer"));
    packed.text("FINAL FANTASY7");
    EXPECT_EQ(Load(path), packed.out);

    // Repeated names: a bare name is refused, the folder form taken; every
    // refusal is listed at once and nothing is planned.
    const std::string magic = tmp.save("magic.lgp", RepeatedNamesArchive(3, {"fire", "ice", "bolt"}));
    const ArchiveLookupView view = ReadArchiveLookupView(magic);
    const ReplacePlan byFolder = PlanReplacePairs(view, {{"ICE/wind_1.p", "i"}, {"x.p", "x"}, {"fire/x.p", "f"}});
    ASSERT_EQ(byFolder.Replacements.size(), 2u);
    EXPECT_EQ(byFolder.Replacements[0].Index, 1);
    EXPECT_EQ(byFolder.Replacements[1].Index, 3);
    EXPECT_THAT(byFolder.Unmatched, ElementsAre("fire/x.p"));
    EXPECT_EQ(FailureText([&] {
                  PlanReplacePairs(view, {{"wind_1.p", "w"}, {"x.p", "1"}, {"X.P", "2"}});
              }),
              "The archive holds 3 entries named \"wind_1.p\"; name one by its folder: \"fire/wind_1.p\", "
              "\"ice/wind_1.p\", \"bolt/wind_1.p\". \"x.p\" and \"X.P\" both name TOC entry 4. Nothing was changed.");

    // Files are checked before the new file is made: a missing one, the
    // archive itself.
    const Bytes before = Load(magic);
    const auto replace = [&](const std::string& file) {
        TRawLGPFile raw(magic);
        ReplaceEntries(
            raw, PlanReplacePairs(LookupViewOf(raw), {{"x.p", tmp.file("new")}, {"fire/wind_1.p", file}}).Replacements);
    };
    EXPECT_EQ(FailureText([&] { replace(tmp.file("absent")); }), "Cannot open file " + tmp.file("absent"));
    std::filesystem::create_hard_link(magic, tmp.file("link"));
    EXPECT_EQ(FailureText([&] { replace(tmp.file("link")); }),
              magic + " is the same file as " + tmp.file("link") + ", which this command reads. Nothing was written.");
    EXPECT_EQ(Load(magic), before);
    EXPECT_THAT(faults::HiddenFiles(tmp.dir()), ::testing::IsEmpty());
}
