// The raw archive editor (TRawLGPFile), both variants.
#include "coresupport.h"

#include <gmock/gmock.h>

#include <sys/stat.h>

using namespace testlgp;
using ::testing::ElementsAre;

namespace
{
    struct DataView
    {
        std::string Name;
        std::int32_t Length;
        std::int32_t Position;
        std::int32_t Room;
        bool operator==(const DataView&) const = default;
    };

    void PrintTo(const DataView& d, std::ostream* os)
    {
        *os << "{\"" << d.Name << "\", " << d.Length << ", " << d.Position << ", " << d.Room << "}";
    }

    std::vector<DataView> DataList(const TRawLGPFile& raw)
    {
        std::vector<DataView> out;
        for (std::int32_t i = 0; i < raw.DataCount(); ++i)
        {
            const RawDataEntry e = raw.GetDataEntry(i);
            out.push_back({e.NameString(), e.Length, e.Position, e.Room});
        }
        return out;
    }

    // a (10 bytes) at 97, m (1000) at 131, z (5) at 1155, trailing at 1184.
    Archive Middle()
    {
        return Archive{.Files = {{"a", Pattern(10, 1)}, {"m", Pattern(1000, 2)}, {"z", Pattern(5, 3)}}};
    }

    std::vector<std::uint8_t> Slice(const Bytes& b, std::size_t from, std::size_t n)
    {
        return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + n));
    }

    // What the raw editor's scan of the file at path finds: its data entry
    // count and trailing text.
    std::pair<std::int32_t, Bytes> Scan(const std::string& path)
    {
        const TRawLGPFile raw(path);
        return {raw.DataCount(), raw.TrailingText()};
    }
}

TEST(RawEditor, scansDataEntriesWithRoomAndTrailingText)
{
    TempFolder tmp;
    TRawLGPFile raw(tmp.save("x.lgp", Write(Middle())));
    EXPECT_EQ(raw.FileCount(), 3);
    EXPECT_EQ(raw.Creator(), "SQUARESOFT");
    EXPECT_THAT(DataList(raw), ElementsAre(DataView{"a", 10, 97, 10}, DataView{"m", 1000, 131, 1000},
                                           DataView{"z", 5, 1155, RoomUnlimited}));
    EXPECT_EQ(raw.TrailingText(), B("FINAL FANTASY7"));
    EXPECT_EQ(raw.GetTableEntry(1), (TOCEntry{FieldFromName("m"), 131, 14, 0}));
    EXPECT_EQ(FailureText([&] { raw.GetDataEntry(3); }), "List index out of bounds (3)");
    EXPECT_EQ(FailureText([&] { raw.GetTableEntry(-1); }), "List index out of bounds (-1)");
}

TEST(RawEditor, validationDataIsSkippedUpToTheSmallestOffset)
{
    TempFolder tmp;
    Archive a = Middle();
    a.Validation = Pattern(3602, 9);
    TRawLGPFile raw(tmp.save("x.lgp", Write(a)));
    EXPECT_EQ(raw.GetDataEntry(0).Position, 97 + 3602);
    EXPECT_EQ(raw.DataCount(), 3);
}

TEST(RawEditor, gapMarkersOfSizeZeroAreNoMarkers)
{
    TempFolder tmp;
    Writer w;
    w.header("SQUARESOFT", 1).toc("a", 43).dataEntry("a", B("12"));
    w.gap(0).zeros(12).i32(3).text("xyz"); // read as a data entry header named E8 04 6A 5F
    w.text("T");
    TRawLGPFile raw(tmp.save("x.lgp", w.out));
    ASSERT_EQ(raw.DataCount(), 2);
    EXPECT_EQ(raw.GetDataEntry(1).Position, 69);
    EXPECT_EQ(raw.GetDataEntry(1).Length, 3);
    EXPECT_EQ(raw.GetDataEntry(0).Room, 2);
    EXPECT_EQ(raw.TrailingText(), B("T"));
}

TEST(RawEditor, gapMarkerMovesTheScanByItsSize)
{
    TempFolder tmp;
    Writer w;
    w.header("SQUARESOFT", 1).toc("a", 43).dataEntry("a", B("12"));
    w.gap(40).raw(Pattern(32)).dataEntry("b", B("bb")).text("END");
    TRawLGPFile raw(tmp.save("x.lgp", w.out));
    EXPECT_THAT(DataList(raw), ElementsAre(DataView{"a", 2, 43, 42}, DataView{"b", 2, 109, RoomUnlimited}));
    EXPECT_EQ(raw.TrailingText(), B("END"));
}

TEST(RawEditor, trailingTextOfAnyLengthStaysTrailingText)
{
    TempFolder tmp;
    Archive a = Middle();
    a.Trailing = Bytes(24, 'y');
    EXPECT_EQ(Scan(tmp.save("24", Write(a))), std::pair(3, a.Trailing));
    // Read as a header, a longer text gives a Length (0x78787878, " by ") that
    // runs past the end of the file: no data entry.
    for (const Bytes& text : {Bytes(25, 'x'), B("FINAL FANTASY7 - modded by X"), Pattern(5000, 3)})
    {
        a.Trailing = text;
        EXPECT_EQ(Scan(tmp.save("long", Write(a))), std::pair(3, text));
    }
    // 25 bytes whose Length field fits the file are a data entry.
    a.Trailing = Writer().name("t").i32(1).text("!").out;
    EXPECT_EQ(Scan(tmp.save("25", Write(a))), std::pair(4, Bytes{}));
}

TEST(RawEditor, gapMarkerLeadingOntoTheTrailingTextEndsTheScan)
{
    TempFolder tmp;
    // m rewritten shorter, then the data truncated at z: the marker after m
    // leads onto the trailing text.
    const auto path = tmp.save("x.lgp", Write(Middle()));
    {
        TRawLGPFile raw(path);
        ASSERT_TRUE(raw.RewriteDataEntry(1, NewData("m", Pattern(900, 4))));
        raw.TruncateData(2);
    }
    TRawLGPFile raw(path);
    EXPECT_THAT(DataList(raw), ElementsAre(DataView{"a", 10, 97, 10}, DataView{"m", 900, 131, RoomUnlimited}));
    EXPECT_EQ(raw.TrailingText(), B("FINAL FANTASY7"));
    // A marker whose gap leads past the end leads nowhere: it stays, with
    // what follows it, as trailing text.
    Writer w;
    w.header("SQUARESOFT", 1).toc("a", 43).dataEntry("a", B("12")).gap(400).text("FINAL FANTASY7 - modded");
    TRawLGPFile past(tmp.save("past", w.out));
    EXPECT_EQ(past.DataCount(), 1);
    EXPECT_EQ(past.TrailingText(), Slice(w.out, 69, w.size() - 69));
}

TEST(RawEditor, hostileScansEndWithoutRevisitingOrOverAllocating)
{
    TempFolder tmp;
    // Negative Length: the scan stops at that header, which stays as trailing text.
    Writer neg;
    neg.header("SQUARESOFT", 1).toc("a", 43).dataEntry("a", B("1")).name("back").i32(-68).text("rest");
    EXPECT_EQ(Scan(tmp.save("neg", neg.out)), std::pair(1, Slice(neg.out, 68, neg.size() - 68)));
    // A gap marker that points backwards ends the scan too.
    Writer back;
    back.header("SQUARESOFT", 1).toc("a", 43).dataEntry("a", B("1")).gap(-60).zeros(20);
    EXPECT_EQ(Scan(tmp.save("back", back.out)), std::pair(1, Slice(back.out, 68, 28)));
    // A Length past the end ends the scan: that header and the rest are trailing text.
    Writer longer;
    longer.header("SQUARESOFT", 1).toc("a", 43).name("a").i32(1000000).text("short");
    EXPECT_EQ(Scan(tmp.save("long", longer.out)), std::pair(0, Slice(longer.out, 43, longer.size() - 43)));
    // Counts and cut TOCs.
    Writer huge;
    huge.header("SQUARESOFT", 0x7FFFFFFF).zeros(100);
    EXPECT_EQ(FailureText([&] { TRawLGPFile(tmp.save("huge", huge.out)); }), "Stream read error");
    EXPECT_EQ(FailureText([&] { TRawLGPFile(tmp.save("cut", B("1234567890"))); }), "Stream read error");
    // An empty TOC: everything after the header is validation data.
    Writer empty;
    empty.header("SQUARESOFT", 0).raw(Pattern(100));
    EXPECT_EQ(Scan(tmp.save("empty", empty.out)), std::pair(0, Bytes{}));
}

TEST(RawEditor, rewriteMiddleEntryLeavesAGapMarkerOrRefuses)
{
    TempFolder tmp;
    const Bytes original = Write(Middle());
    const auto path = tmp.save("x.lgp", original);
    {
        TRawLGPFile raw(path);
        EXPECT_FALSE(raw.RewriteDataEntry(1, NewData("m", Pattern(993, 7))));
        EXPECT_EQ(Load(path), original);
        EXPECT_TRUE(raw.RewriteDataEntry(1, NewData("M2", Pattern(992, 7))));
        EXPECT_EQ(raw.GetDataEntry(1).Length, 992);
        EXPECT_EQ(raw.GetDataEntry(1).Room, 1000);
    }
    Bytes expected = original;
    Writer w;
    w.dataEntry("M2", Pattern(992, 7)).gap(8);
    std::copy(w.out.begin(), w.out.end(), expected.begin() + 131);
    EXPECT_EQ(Load(path), expected);

    // Reopened: the next entry is where it was, the shrunk one keeps its Room.
    TRawLGPFile again(path);
    EXPECT_THAT(DataList(again), ElementsAre(DataView{"a", 10, 97, 10}, DataView{"M2", 992, 131, 1000},
                                             DataView{"z", 5, 1155, RoomUnlimited}));
    EXPECT_FALSE(again.RewriteDataEntry(1, NewData("m", Pattern(1000, 7))));
    EXPECT_TRUE(again.RewriteDataEntry(1, NewData("m", Pattern(500, 8))));
    EXPECT_EQ(Slice(Load(path), 131 + 24 + 500, 8), Writer().gap(500).out);
}

TEST(RawEditor, rewriteWithTheSameLengthWritesNoMarker)
{
    TempFolder tmp;
    const auto path = tmp.save("x.lgp", Write(Middle()));
    TRawLGPFile raw(path);
    EXPECT_TRUE(raw.RewriteDataEntry(1, NewData("m", Pattern(1000, 4))));
    Archive a = Middle();
    a.Files[1].Data = Pattern(1000, 4);
    EXPECT_EQ(Load(path), Write(a));
}

TEST(RawEditor, rewriteLastEntryMovesTheTrailingText)
{
    TempFolder tmp;
    const auto path = tmp.save("x.lgp", Write(Middle()));
    TRawLGPFile raw(path);
    EXPECT_TRUE(raw.RewriteDataEntry(2, NewData("z", B("12"))));
    Archive a = Middle();
    a.Files[2].Data = B("12");
    EXPECT_EQ(Load(path), Write(a));
    EXPECT_TRUE(raw.RewriteDataEntry(2, NewData("z", Pattern(3000))));
    a.Files[2].Data = Pattern(3000);
    EXPECT_EQ(Load(path), Write(a));
    EXPECT_EQ(raw.GetDataEntry(2).Room, RoomUnlimited);
}

TEST(RawEditor, appendWritesAfterTheLastEntryAndKeepsTheTrailingText)
{
    TempFolder tmp;
    Archive a = Middle();
    const auto path = tmp.save("x.lgp", Write(a));
    TRawLGPFile raw(path);
    EXPECT_EQ(raw.AppendDataEntry(NewData("new", B("NEWDATA"))), 3);
    EXPECT_EQ(raw.GetDataEntry(2).Room, 5);
    EXPECT_EQ(raw.GetDataEntry(3).Position, 1184);
    EXPECT_EQ(raw.GetDataEntry(3).Room, RoomUnlimited);
    const Bytes after = Load(path);
    EXPECT_EQ(after.size(), 1184u + 24 + 7 + 14);
    EXPECT_EQ(Slice(after, 1184, 31), Writer().dataEntry("new", B("NEWDATA")).out);
    EXPECT_EQ(Slice(after, 1215, 14), B("FINAL FANTASY7"));
    // The last entry before the append can no longer grow in place.
    EXPECT_FALSE(raw.RewriteDataEntry(2, NewData("z", Pattern(6))));
}

TEST(RawEditor, dataIndexAtFindsOnlyTheFirstByteOfAHeader)
{
    TempFolder tmp;
    TRawLGPFile raw(tmp.save("x.lgp", Write(Middle())));
    EXPECT_EQ(raw.DataIndexAt(97), 0);
    EXPECT_EQ(raw.DataIndexAt(131), 1);
    EXPECT_EQ(raw.DataIndexAt(1155), 2);
    for (const std::int32_t offset : {-1, 0, 96, 98, 130, 132, 1154, 1156, 1184, 2147483647})
        EXPECT_EQ(raw.DataIndexAt(offset), -1) << offset;
    // An appended entry is found at once; a model of the list answers alike.
    EXPECT_EQ(raw.AppendDataEntry(NewData("new", B("N"))), 3);
    EXPECT_EQ(raw.DataIndexAt(1184), 3);
    const std::vector<RawDataEntry> model{raw.GetDataEntry(1), raw.GetDataEntry(3)};
    EXPECT_EQ(TRawLGPFile::DataIndexAt(model, 1184), 1);
    EXPECT_EQ(TRawLGPFile::DataIndexAt(model, 97), -1);
    EXPECT_EQ(TRawLGPFile::DataIndexAt({}, 97), -1);
}

TEST(RawEditor, truncateAtZeroLeavesHeaderTocValidationAndTrailingText)
{
    TempFolder tmp;
    Archive a = Middle();
    a.Validation = B("VALID");
    const auto path = tmp.save("x.lgp", Write(a));
    TRawLGPFile raw(path);
    raw.TruncateData(0);
    EXPECT_EQ(raw.DataCount(), 0);
    const Bytes before = Write(a);
    Bytes expected = Slice(before, 0, 102);
    expected.insert(expected.end(), a.Trailing.begin(), a.Trailing.end());
    EXPECT_EQ(Load(path), expected);
    EXPECT_EQ(FailureText([&] { raw.AppendDataEntry(NewData("x", B("1"))); }), "List index out of bounds (-1)");
    EXPECT_EQ(Load(path), expected);
}

TEST(RawEditor, setTableEntryWritesTwentySevenBytesInPlace)
{
    TempFolder tmp;
    Writer w;
    w.header("SQUARESOFT", 2).toc("a", 70, 7, 0x1234).toc("b", 70).dataEntry("a", B("1")).text("T");
    const auto path = tmp.save("x.lgp", w.out);
    TRawLGPFile raw(path);
    TOCEntry e = raw.GetTableEntry(0);
    EXPECT_EQ(e.Type, 7);
    EXPECT_EQ(e.Reserved, 0x1234);
    e.Offset = 0x01020304;
    raw.SetTableEntry(0, e);
    Bytes expected = w.out;
    expected[36] = 4;
    expected[37] = 3;
    expected[38] = 2;
    expected[39] = 1;
    EXPECT_EQ(Load(path), expected);
    EXPECT_EQ(raw.GetTableEntry(0), e);
    EXPECT_EQ(FailureText([&] { raw.SetTableEntry(2, e); }), "List index out of bounds (2)");
}

TEST(RawEditor, readEntryDataFollowsTheTocOffset)
{
    TempFolder tmp;
    TRawLGPFile raw(tmp.save("x.lgp", Write(Middle())));
    TMemoryStream dest;
    raw.ReadEntryData(2, dest);
    EXPECT_EQ(dest.Vector(), Pattern(5, 3));
}

TEST(RawEditor, recordsMustCarryTheirLengthInBytes)
{
    TempFolder tmp;
    TRawLGPFile raw(tmp.save("x.lgp", Write(Middle())));
    const Bytes five = Pattern(5);
    RawDataEntry wrong = NewData("z", five);
    wrong.Length = 6;
    EXPECT_EQ(FailureText([&] { raw.RewriteDataEntry(2, wrong); }),
              "The data for \"z\" does not match its Length (6).");
    EXPECT_EQ(FailureText([&] { raw.AppendDataEntry(wrong); }), "The data for \"z\" does not match its Length (6).");
}

TEST(RawEditorShare, secondWriterIsRefusedWhileReadersWork)
{
    TempFolder tmp;
    const auto path = tmp.save("x.lgp", Write(Middle()));
    TRawLGPFile first(path);
    EXPECT_EQ(FailureText([&] { TRawLGPFile second(path); }), "Cannot open file " + path);
    EXPECT_EQ(FailureText([&] { RepairArchive(path); }), "Cannot open file " + path);
    EXPECT_EQ(FailureText([&] { PackArchive(path); }), "Cannot open file " + path);
    TLGPFile reader(path, true);
    EXPECT_EQ(reader.FileCount(), 3);
}

TEST(RawEditorShare, readOnlyAndMissingFilesAreRefused)
{
    TempFolder tmp;
    const auto path = tmp.save("x.lgp", Write(Middle()));
    ::chmod(path.c_str(), 0444);
    EXPECT_EQ(FailureText([&] { TRawLGPFile raw(path); }), "Cannot open file " + path);
    EXPECT_EQ(TLGPFile(path, false).FileCount(), 3);
    ::chmod(path.c_str(), 0644);
    EXPECT_NO_THROW(TRawLGPFile raw(path));
    EXPECT_EQ(FailureText([&] { TRawLGPFile raw(tmp.file("missing")); }), "Cannot open file " + tmp.file("missing"));
}

TEST(RawEditorStub, neverGrowsInPlaceAndMarksShrinks)
{
    TempFolder tmp;
    const Bytes original = Write(Middle());
    const auto path = tmp.save("x.lgp", original);
    TRawLGPFile raw(path, RawEditorVariant::Stub);
    // The last entry can't grow either, nor shrink by fewer than 8 bytes.
    EXPECT_FALSE(raw.RewriteDataEntry(2, NewData("z", Pattern(6))));
    EXPECT_FALSE(raw.RewriteDataEntry(1, NewData("m", Pattern(993))));
    EXPECT_EQ(Load(path), original);
    EXPECT_TRUE(raw.RewriteDataEntry(1, NewData("m", Pattern(992, 6))));
    EXPECT_EQ(Slice(Load(path), 131 + 24 + 992, 8), Writer().gap(8).out);
    // Space freed by the shrink is not reused.
    EXPECT_FALSE(raw.RewriteDataEntry(1, NewData("m", Pattern(1000, 6))));
    EXPECT_TRUE(raw.RewriteDataEntry(1, NewData("m", Pattern(984, 6))));
    EXPECT_EQ(Slice(Load(path), 131 + 24 + 984, 8), Writer().gap(8).out);
    EXPECT_EQ(FailureText([&] { raw.TruncateData(0); }),
              "Truncating is not available in the self-extractor's archive editor.");
}

TEST(RawEditorStub, shrinkingTheLastEntryEndsTheFileAfterTheTrailingText)
{
    TempFolder tmp;
    Archive a{.Files = {{"a", Pattern(10, 1)}, {"z", Pattern(50, 3)}}};
    const auto path = tmp.save("x.lgp", Write(a));
    TRawLGPFile raw(path, RawEditorVariant::Stub);
    EXPECT_TRUE(raw.RewriteDataEntry(1, NewData("z", Pattern(20, 4))));
    a.Files[1].Data = Pattern(20, 4);
    EXPECT_EQ(Load(path), Write(a));
    EXPECT_EQ(raw.AppendDataEntry(NewData("y", B("yy"))), 2);
    a.Files.push_back({"y", B("yy")});
    Bytes expected = Write(a);
    // The appended entry is not in the TOC: compare everything after it.
    EXPECT_EQ(Slice(Load(path), 16 + 2 * 27, Load(path).size() - 70), Slice(expected, 97, expected.size() - 97));
}

TEST(RawEditor, setTableEntriesReplacesTheWholeTocInOneWrite)
{
    TempFolder tmp;
    const Bytes original = Write(Middle());
    const auto path = tmp.save("x.lgp", original);
    TRawLGPFile raw(path);
    std::vector<TOCEntry> toc = {raw.GetTableEntry(2), raw.GetTableEntry(1), raw.GetTableEntry(0)};
    raw.SetTableEntries(toc);
    EXPECT_EQ(raw.GetTableEntry(0), toc[0]);
    Bytes expected = original;
    std::copy(original.begin() + 16 + 54, original.begin() + 97, expected.begin() + 16);
    std::copy(original.begin() + 16, original.begin() + 43, expected.begin() + 70);
    EXPECT_EQ(Load(path), expected);
    toc.pop_back();
    EXPECT_EQ(FailureText([&] { raw.SetTableEntries(toc); }), "List index out of bounds (2)");
    EXPECT_EQ(Load(path), expected);
}

TEST(RawEditor, gapSizesBelowEightAreNoMarkersAndNeverOverwrittenByOne)
{
    TempFolder tmp;
    // A marker claiming a 4-byte gap: a marker is at least 8 bytes, so these
    // 8 bytes start a data entry header (its Length, 20 bytes on, is 0).
    Writer w;
    w.header("SQUARESOFT", 1).toc("a", 43).dataEntry("a", B("12"));
    w.u8(0xE8).u8(0x04).u8(0x6A).u8(0x5F).i32(4).zeros(16).i32(1).text("x").text("T");
    const auto path = tmp.save("x.lgp", w.out);
    TRawLGPFile raw(path);
    ASSERT_EQ(raw.DataCount(), 2);
    EXPECT_EQ(raw.GetDataEntry(0).Room, 2);
    EXPECT_EQ(raw.GetDataEntry(1).Position, 69);
    EXPECT_EQ(raw.GetDataEntry(1).Length, 0);
    EXPECT_EQ(raw.TrailingText(), Slice(w.out, 93, 6));
    // One byte shorter leaves 1 free byte: a marker there would overwrite the next header.
    EXPECT_FALSE(raw.RewriteDataEntry(0, NewData("a", B("3"))));
    EXPECT_EQ(Load(path), w.out);
    EXPECT_TRUE(raw.RewriteDataEntry(0, NewData("a", B("34"))));
    Bytes expected = w.out;
    expected[67] = '3', expected[68] = '4';
    EXPECT_EQ(Load(path), expected);
}
