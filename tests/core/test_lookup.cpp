// The lookup and conflict tables as read from validation data, and Extract
// All's plan for names that repeat.
#include "coresupport.h"

#include "core/lgplookup.h"
#include "support/gamearchives.h"

#include <gmock/gmock.h>

using namespace testlgp;
using ::testing::ElementsAre;

TEST(LookupTable, conflictRecordsAreReadOnlyWithinTheData)
{
    Bytes data(3600, 0);
    data[4] = 7; // slot 1: first 7, count 2
    data[6] = 2;
    auto table = ReadLookupTable(data);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->Slots[1].First, 7);
    EXPECT_EQ(table->Slots[1].Count, 2);
    EXPECT_FALSE(table->ConflictsRead); // no count follows
    EXPECT_FALSE(ReadLookupTable(Bytes(3599, 0)));

    Writer w;
    w.raw(data).u16(2).u16(1).text(std::string(128, 'f')).u16(5);
    table = ReadLookupTable(w.out); // the second conflict's count is missing
    ASSERT_TRUE(table);
    EXPECT_FALSE(table->ConflictsRead);
    EXPECT_EQ(table->FindRecord(1, 5), nullptr);

    w.u16(0).text("unused bytes after the tables");
    table = ReadLookupTable(w.out);
    ASSERT_TRUE(table && table->ConflictsRead);
    ASSERT_NE(table->FindRecord(1, 5), nullptr);
    EXPECT_EQ(table->FindRecord(1, 5)->Folder, std::string(128, 'f')); // a field without NUL ends at 128 bytes
    EXPECT_EQ(table->FindRecord(1, 4), nullptr);
    EXPECT_EQ(table->FindRecord(3, 5), nullptr); // only 2 conflicts
    EXPECT_EQ(table->FindRecord(0, 5), nullptr);
}

TEST(LookupTable, aRecordCutOneOrTwoBytesShortLeavesTheConflictTableUnread)
{
    TempFolder tmp;
    const Bytes whole = RepeatedNamesArchive(3, {"fire", "ice", "bolt"});
    const std::size_t tocEnd = 16 + 4 * 27;
    const std::size_t tablesEnd = tocEnd + 3600 + 4 + 3 * 130;
    for (const std::size_t cut : {1u, 2u})
    {
        SCOPED_TRACE(cut);
        // In memory, the bytes past the span complete the record: none is read.
        const auto table = ReadLookupTable(std::span(whole).subspan(tocEnd, tablesEnd - tocEnd - cut));
        ASSERT_TRUE(table);
        EXPECT_FALSE(table->ConflictsRead);

        // In an archive: the bytes go, and every Offset moves back with them.
        Bytes bytes = whole;
        bytes.erase(bytes.begin() + std::ptrdiff_t(tablesEnd - cut), bytes.begin() + std::ptrdiff_t(tablesEnd));
        for (std::size_t i = 0; i < 4; ++i)
            bytes[16 + 27 * i + 20] = std::uint8_t(bytes[16 + 27 * i + 20] - cut); // no carry: Offsets end past 0x10
        const LookupCheck check = CheckLookup(ReadArchiveLookupView(tmp.save("cut.lgp", bytes)));
        EXPECT_EQ(check.Lost, 3);
        ASSERT_FALSE(check.Lines.empty());
        EXPECT_EQ(check.Lines[0], "Lost: \"wind_1.p\" (TOC entry 1): the name leads to conflict 1, but the conflict "
                                  "table can't be read");
    }
}

TEST(LookupTable, indexesAtMost65535Names)
{
    std::vector<std::string> names;
    for (int i = 0; i < 65535; ++i)
        names.push_back("aa" + std::to_string(i));
    const Bytes data = ComputeLookupData(names);
    EXPECT_EQ(Bytes(data.begin() + 4, data.begin() + 8), (Bytes{1, 0, 0xFF, 0xFF})); // slot 1: "aa..."
    names.push_back("ab");
    EXPECT_EQ(FailureText([&] { ComputeLookupData(names); }),
              "The game's lookup table can index at most 65,535 files; the archive would hold 65536.");
}

TEST(ExtractAllPlan, conflictFoldersThatLeaveTheFolderGiveNoPlace)
{
    TempFolder tmp;
    const TLGPFile archive(tmp.save("magic.lgp", RepeatedNamesArchive(3, {"fire", "..", "ice/deep"})), true);
    EXPECT_EQ(
        FailureText([&] { PlanExtractAll(archive, {}); }),
        "Several entries of the archive share the names \"wind_1.p\", and its conflict table gives them no folders "
        "of their own; extracting them all would write them to one file. Nothing was written.");
    std::vector<std::string> paths;
    for (const ExtractTarget& t : PlanExtractAll(archive, {.Only = {"W*"}, .Numbered = true}))
        paths.push_back(std::to_string(t.Index) + ":" + t.Path);
    // Only the first copy's folder is usable; the others go to the top.
    EXPECT_THAT(paths, ElementsAre("0:fire/wind_1.p", "1:wind_1.p", "2:wind_1 (2).p"));
}

TEST(ExtractAllPlan, aFolderNameTakenByAFileGivesNoPlace)
{
    TempFolder tmp;
    // The second "wind_1.p" belongs in folder "x.p", which is a file beside it.
    const TLGPFile archive(tmp.save("magic.lgp", RepeatedNamesArchive(3, {"fire", "X.P", "bolt"})), true);
    std::vector<std::string> paths;
    for (const ExtractTarget& t : PlanExtractAll(archive, {.Numbered = true}))
        paths.push_back(t.Path);
    EXPECT_THAT(paths, ElementsAre("fire/wind_1.p", "wind_1.p", "bolt/wind_1.p", "x.p"));
}

TEST(NamePattern, globsCompareLettersWithoutCase)
{
    EXPECT_TRUE(MatchesNamePattern("AURIS.TEX", "*.tex"));
    EXPECT_TRUE(MatchesNamePattern("a.tex.tex", "*.tex"));
    EXPECT_FALSE(MatchesNamePattern("a.texx", "*.tex"));
    EXPECT_TRUE(MatchesNamePattern("ab", "a?"));
    EXPECT_FALSE(MatchesNamePattern("a", "a?"));
    EXPECT_TRUE(MatchesNamePattern("B1.P", "[a-c][0-9]*"));
    EXPECT_FALSE(MatchesNamePattern("d1.p", "[a-c]*"));
    EXPECT_TRUE(MatchesNamePattern("d1.p", "[!a-c]*"));
    EXPECT_TRUE(MatchesNamePattern("[x", "[x")); // an unclosed set is a plain '['
    EXPECT_TRUE(MatchesNamePattern("", "*"));
    EXPECT_FALSE(MatchesNamePattern("", "?"));
}

TEST(RepeatedNames, aFolderFormNamesOneCopyAndABareNameOnlyReadsTheFirst)
{
    TempFolder tmp;
    GameArchive magic = MagicStyleArchive();
    const ArchiveLookupView view = ReadArchiveLookupView(tmp.save("magic.lgp", WriteGame(magic)));
    EXPECT_THAT(EntryFolders(view),
                ElementsAre("bolt", "bolt2", "fire", "fire2", "fire3", "", "ice", "ice2", "fire", "ice", "wind", ""));
    EXPECT_EQ(ResolveEntryName(view, "Fire2/FIRE_1.P", EntryUse::Change), 3);
    EXPECT_EQ(ResolveEntryName(view, "fire.tex", EntryUse::Change), 5);
    EXPECT_EQ(ResolveEntryName(view, "fire_1.p", EntryUse::Read), 2);
    EXPECT_EQ(FailureText([&] { ResolveEntryName(view, "fire_1.p", EntryUse::Change); }),
              "The archive holds 3 entries named \"fire_1.p\"; name one by its folder: \"fire/fire_1.p\", "
              "\"fire2/fire_1.p\", \"fire3/fire_1.p\".");
    EXPECT_EQ(FailureText([&] { ResolveEntryName(view, "ice3/ice_1.p", EntryUse::Read); }),
              "The archive holds no entry named \"ice3/ice_1.p\".");

    // The tables computed for these names and folders are the game's own.
    const ConflictTableData computed = ComputeConflictTable(view.Names, EntryFolders(view));
    EXPECT_EQ(computed.Bytes, ConflictTable(magic));
    EXPECT_EQ(computed.Fields, ConflictFields(magic));

    // Two records giving one folder name no copy; copies without a record are
    // named by their TOC entry.
    magic.Entries[9].Folder = "FIRE";
    const ArchiveLookupView twice = ReadArchiveLookupView(tmp.save("twice.lgp", WriteGame(magic)));
    EXPECT_EQ(FailureText([&] { ResolveEntryName(twice, "fire/wind_1.p", EntryUse::Read); }),
              "The archive's conflict table gives 2 entries the name \"fire/wind_1.p\", so it names none of them: "
              "\"fire/wind_1.p\" (TOC entry 9), \"FIRE/wind_1.p\" (TOC entry 10).");
    const ArchiveLookupView cut = ReadArchiveLookupView(tmp.save("cut.lgp", RepeatedNamesArchive(9, {"a", "b", "c"})));
    EXPECT_EQ(ResolveEntryName(cut, "wind_1.p", EntryUse::Read), 0);
    EXPECT_EQ(FailureText([&] { ResolveEntryName(cut, "wind_1.p", EntryUse::Change); }),
              "The archive holds 3 entries named \"wind_1.p\"; name one by its folder: \"wind_1.p\" (TOC entry 1, no "
              "folder), \"wind_1.p\" (TOC entry 2, no folder), \"wind_1.p\" (TOC entry 3, no folder).");
}
