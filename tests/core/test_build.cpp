// The archive builder (BuildArchive, CreateArchiveFromFolder).
#include "coresupport.h"

#include "platform/paths.h"
#include "support/scopedenv.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <set>

using namespace testlgp;
using ::testing::ElementsAre;

namespace
{
    void Build(const TempFolder& tmp, const std::string& folder, const std::string& output,
               std::optional<Bytes> validation = std::nullopt)
    {
        ArchiveBuildOptions options;
        options.Folder = tmp.file(folder);
        options.Output = tmp.file(output);
        options.ValidationData = std::move(validation);
        BuildArchive(options);
    }

    std::string TemplatePath(int count) { return Platform::Paths::programDir() + "LGP." + std::to_string(count); }
}

TEST(Builder, singleThreeByteFileGivesTheEightyFourByteArchive)
{
    TempFolder tmp;
    tmp.fill("in", {{"a.txt", B("abc")}});
    Build(tmp, "in", "out.lgp");
    Writer expected;
    expected.zeros(2).text("SQUARESOFT").i32(1);
    expected.name("a.txt").i32(43).u8(14).u16(0);
    expected.name("a.txt").i32(3).text("abc");
    expected.text("FINAL FANTASY7");
    ASSERT_EQ(expected.size(), 84u);
    EXPECT_EQ(Load(tmp.file("out.lgp")), expected.out);
}

TEST(Builder, storesFilesInCaseInsensitiveOrderContiguously)
{
    TempFolder tmp;
    tmp.fill("in", {{"b.txt", B("bb")}, {"A.TXT", B("A")}, {"c.bin", B("")}, {"a.txt", B("lower")}});
    Build(tmp, "in", "out.lgp");
    const Archive expected{.Files = {{"A.TXT", B("A")}, {"a.txt", B("lower")}, {"b.txt", B("bb")}, {"c.bin", B("")}}};
    EXPECT_EQ(Load(tmp.file("out.lgp")), Write(expected));
    TLGPFile f(tmp.file("out.lgp"), true);
    EXPECT_EQ(f.GetEntry(3), (LGPEntry{"c.bin", 16 + 4 * 27 + 25 + 29 + 26, 0, false}));
}

TEST(Builder, aNameComesBeforeTheLongerNamesItBegins)
{
    TempFolder tmp;
    // With a template (one that indexes these names in that order): name order alone.
    tmp.fill("in", {{"xyz", B("3")}, {"XY", B("2")}, {"xyz.p", B("4")}, {"xx", B("1")}});
    Bytes table = GameLookupTable({"xx", "XY", "xyz", "xyz.p"});
    table.resize(3602, 0);
    const ScopedProgramFile t(TemplatePath(4), table);
    CreateArchiveFromFolder(tmp.file("in"), tmp.file("out.lgp"), false, true);
    EXPECT_EQ(Load(tmp.file("out.lgp")),
              Write(Archive{.Files = {{"xx", B("1")}, {"XY", B("2")}, {"xyz", B("3")}, {"xyz.p", B("4")}},
                            .Validation = table}));

    // With a computed lookup table: slot first ('-' shares the slot of 'l'),
    // then name order inside the slot.
    tmp.fill("slots", {{"a-b", B("")},
                       {"xyz", B("")},
                       {"ABCD", B("")},
                       {"al", B("")},
                       {"ab", B("")},
                       {"a-", B("")},
                       {"XY", B("")},
                       {"abc", B("")}});
    const ScopedProgramFile absent(TemplatePath(8), std::nullopt);
    CreateArchiveFromFolder(tmp.file("slots"), tmp.file("slots.lgp"), false, true);
    EXPECT_THAT(NamesTheGameMisses(Load(tmp.file("slots.lgp"))), ElementsAre());
    const TLGPFile archive(tmp.file("slots.lgp"), false);
    std::vector<std::string> names;
    for (std::int32_t i = 0; i < archive.FileCount(); ++i)
        names.push_back(archive.GetEntry(i).Name);
    EXPECT_THAT(names, ElementsAre("ab", "abc", "ABCD", "a-", "a-b", "al", "XY", "xyz"));
}

TEST(Builder, validationDataGoesBetweenTocAndData)
{
    TempFolder tmp;
    tmp.fill("in", {{"x", B("12345")}});
    const Bytes validation = Pattern(3602, 4);
    Build(tmp, "in", "out.lgp", validation);
    EXPECT_EQ(Load(tmp.file("out.lgp")), Write(Archive{.Files = {{"x", B("12345")}}, .Validation = validation}));
    TRawLGPFile raw(tmp.file("out.lgp"));
    EXPECT_EQ(raw.GetDataEntry(0).Position, 43 + 3602);
}

TEST(Builder, emptyFolderGivesThirtyBytes)
{
    TempFolder tmp;
    tmp.fill("in", {});
    Build(tmp, "in", "out.lgp");
    Writer expected;
    expected.zeros(2).text("SQUARESOFT").i32(0).text("FINAL FANTASY7");
    EXPECT_EQ(Load(tmp.file("out.lgp")), expected.out);
}

TEST(Builder, leavesOutFoldersHiddenFilesAndItsOwnOutput)
{
    TempFolder tmp;
    tmp.fill("in", {{"keep", B("k")}, {".hidden", B("h")}, {"old.lgp", B("previous build")}});
    std::filesystem::create_directories(tmp.file("in/sub"));
    Save(tmp.file("in/sub/inner"), B("i"));
    Build(tmp, "in", "in/old.lgp");
    EXPECT_EQ(Load(tmp.file("in/old.lgp")), Write(Archive{.Files = {{"keep", B("k")}}}));
    EXPECT_THAT(ListArchiveFolder(tmp.file("in")), ElementsAre(tmp.file("in/keep"), tmp.file("in/old.lgp")));
}

TEST(Builder, refusesLongNamesBeforeCreatingTheOutput)
{
    TempFolder tmp;
    const std::string longName = "twenty_one_characters";
    tmp.fill("in", {{"ok", B("1")}, {longName, B("2")}});
    EXPECT_EQ(FailureText([&] { Build(tmp, "in", "out.lgp"); }),
              "The name \"" + longName + "\" is too long for an archive entry (at most 20 characters).");
    EXPECT_FALSE(std::filesystem::exists(tmp.file("out.lgp")));
}

TEST(Builder, reportsProgressPerFileAndCanDeleteSources)
{
    TempFolder tmp;
    tmp.fill("in", {{"1", B("a")}, {"2", B("b")}, {"3", B("c")}});
    ProgressLog log;
    ArchiveBuildOptions options;
    options.Folder = tmp.dir() + "in"; // no trailing separator
    options.Output = tmp.file("out.lgp");
    options.DeleteSources = true;
    BuildArchive(options);
    EXPECT_THAT(log.calls, ElementsAre(std::pair(0, 3), std::pair(1, 3), std::pair(2, 3), std::pair(3, 3)));
    EXPECT_TRUE(std::filesystem::is_empty(tmp.file("in")));
    EXPECT_EQ(Load(tmp.file("out.lgp")), Write(Archive{.Files = {{"1", B("a")}, {"2", B("b")}, {"3", B("c")}}}));
}

TEST(Builder, failuresCreatingOrListing)
{
    TempFolder tmp;
    tmp.fill("in", {{"a", B("1")}});
    EXPECT_EQ(FailureText([&] { Build(tmp, "in", "missing/out.lgp"); }),
              "Cannot create file " + tmp.file("missing/out.lgp"));
    EXPECT_EQ(FailureText([&] { Build(tmp, "nope", "out.lgp"); }), "File not found");
    EXPECT_EQ(FailureText([&] { CreateArchiveFromFolder("", tmp.file("out.lgp"), false, false); }),
              "No folder was given to build the archive from.");
    EXPECT_FALSE(std::filesystem::exists(tmp.file("out.lgp")));
}

TEST(Builder, filesLargerThanTheWriteBufferAreStoredWhole)
{
    TempFolder tmp;
    // 9 MB outgrows the builder's 8 MB buffer at once; 7.5 MB after 3 MB
    // outgrows the room left.
    const std::vector<File> files = {
        {"a", Pattern(3 << 20, 1)}, {"b", Pattern(15 << 19, 2)}, {"c", Pattern(9 << 20, 3)}, {"d", B("small")}};
    tmp.fill("in", files);
    Build(tmp, "in", "out.lgp");
    EXPECT_TRUE(Load(tmp.file("out.lgp")) == Write(Archive{.Files = files}));
}

TEST(Builder, replacingALongerFileLeavesNoOldBytes)
{
    TempFolder tmp;
    tmp.fill("in", {{"a", B("1")}});
    Save(tmp.file("out.lgp"), Pattern(5000));
    Build(tmp, "in", "out.lgp");
    EXPECT_EQ(Load(tmp.file("out.lgp")), Write(Archive{.Files = {{"a", B("1")}}}));
}

TEST(CreateArchive, missingTemplateGivesTheComputedLookupTable)
{
    TempFolder tmp;
    std::vector<File> files;
    for (int i = 0; i < 17; ++i)
        files.push_back({"f" + std::to_string(i), B("x")});
    tmp.fill("in", files);
    const ScopedProgramFile absent(TemplatePath(17), std::nullopt);
    CreateArchiveFromFolder(tmp.file("in"), tmp.file("out.lgp"), false, true);
    const Bytes built = Load(tmp.file("out.lgp"));
    EXPECT_THAT(NamesTheGameMisses(built), ElementsAre());
    const Bytes validation = ReadValidationData(tmp.file("out.lgp"));
    ASSERT_EQ(validation.size(), 3602u);
    EXPECT_EQ(validation[3600], 0); // no conflicts
    EXPECT_EQ(validation[3601], 0);
}

namespace
{
    // Builds folder with Create's validation data and checks the result the
    // game's way (NamesTheGameMisses) and the reader's: every file stored once,
    // whole, with data in TOC order directly after the 3,602-byte table.
    void ExpectComputedTable(const TempFolder& tmp, const std::string& folder, const std::vector<File>& files)
    {
        const std::string output = tmp.file(folder + ".lgp");
        CreateArchiveFromFolder(tmp.file(folder), output, false, true);
        EXPECT_THAT(NamesTheGameMisses(Load(output)), ElementsAre());
        const TLGPFile archive(output, true);
        ASSERT_EQ(archive.FileCount(), static_cast<std::int32_t>(files.size()));
        std::int32_t offset = static_cast<std::int32_t>(16 + 27 * files.size() + 3602);
        std::set<std::string> seen;
        for (std::int32_t i = 0; i < archive.FileCount(); ++i)
        {
            const LGPEntry entry = archive.GetEntry(i);
            EXPECT_EQ(entry.Offset, offset) << entry.Name;
            offset += 24 + entry.Length;
            const auto file =
                std::find_if(files.begin(), files.end(), [&](const File& f) { return f.Name == entry.Name; });
            ASSERT_NE(file, files.end()) << entry.Name;
            TMemoryStream data;
            archive.ReadEntryData(i, data);
            EXPECT_EQ(data.TakeBytes(), file->Data) << entry.Name;
            seen.insert(entry.Name);
        }
        EXPECT_EQ(seen.size(), files.size());
    }
} // namespace

TEST(CreateArchive, computedTableFindsEveryCharacterClass)
{
    TempFolder tmp;
    // Digits share slots with a to j, '_' with k and '-' with l, in either
    // place; '.' second has a slot of its own; case doesn't count.
    std::vector<File> files;
    std::uint8_t seed = 1;
    for (const char* name : {"0abc.tex", "aab.p", "0ab.x", "9z.p", "jz", "J9",  "ja",      "_ab",    "ka.p",
                             "a_b",      "ak",    "AKZ",   "-x.p", "lx", "b-c", "bl",      "BL.RSD", "a.p",
                             "z.x",      "zz",    "ZZ9",   "_-",   "-_", "m.",  "abc.tex", "0.p",    "9.x"})
        files.push_back({name, Pattern(seed * 13u % 97u, seed++)});
    tmp.fill("in", files);
    const ScopedProgramFile absent(TemplatePath(static_cast<int>(files.size())), std::nullopt);
    ExpectComputedTable(tmp, "in", files);
}

TEST(CreateArchive, aTemplateWithoutALookupTableNeverServes)
{
    TempFolder tmp;
    // 95 files beside the all-zero block for patches that the build puts there
    // (left in place: the patch tests read it meanwhile).
    ASSERT_EQ(Load(TemplatePath(95)), Bytes(3602, 0));
    std::vector<File> files;
    for (int i = 0; i < 95; ++i)
        files.push_back({std::string(1, char('a' + i % 26)) + std::to_string(i) + ".p", Pattern(std::size_t(i), 9)});
    tmp.fill("in", files);
    ExpectComputedTable(tmp, "in", files);
    EXPECT_NE(ReadValidationData(tmp.file("in.lgp")), Bytes(3602, 0));

    // 94 files beside a template too short to hold a lookup table.
    std::filesystem::remove(tmp.file("in/" + files.back().Name));
    files.pop_back();
    const ScopedProgramFile t(TemplatePath(94), B("short"));
    ExpectComputedTable(tmp, "in", files);
}

TEST(CreateArchive, namesTheGameCantLookUpAreRefusedBeforeWriting)
{
    TempFolder tmp;
    tmp.fill("in", {{"ok.p", B("1")}, {"a", B("2")}, {"#ab", B("3")}, {"x~y", B("4")}});
    const ScopedProgramFile absent(TemplatePath(4), std::nullopt);
    EXPECT_EQ(
        FailureText([&] { CreateArchiveFromFolder(tmp.file("in"), tmp.file("out.lgp"), false, true); }),
        "The game can't look up these names, so it would never find them in the archive: \"#ab\", \"a\", \"x~y\". A "
        "name must begin with two of the characters a to z, 0 to 9, '_' and '-', or with one of them and '.'.");
    EXPECT_FALSE(std::filesystem::exists(tmp.file("out.lgp")));
    // A template can't make the game find them either: it is checked like
    // any table, found wanting, and the names are refused all the same.
    const ScopedProgramFile t(TemplatePath(4), Pattern(3602, 3));
    EXPECT_EQ(
        FailureText([&] { CreateArchiveFromFolder(tmp.file("in"), tmp.file("out.lgp"), false, true); }),
        "The game can't look up these names, so it would never find them in the archive: \"#ab\", \"a\", \"x~y\". A "
        "name must begin with two of the characters a to z, 0 to 9, '_' and '-', or with one of them and '.'.");
    EXPECT_FALSE(std::filesystem::exists(tmp.file("out.lgp")));
}

TEST(CreateArchive, namesDifferingOnlyInCaseAreRefusedBeforeWriting)
{
    TempFolder tmp;
    tmp.fill("in", {{"smab", B("1")}, {"other", B("2")}, {"SMAB", B("3")}});
    const ScopedProgramFile t(TemplatePath(3), Pattern(3602, 3));
    for (const bool validation : {true, false})
    {
        EXPECT_EQ(
            FailureText([&] { CreateArchiveFromFolder(tmp.file("in"), tmp.file("out.lgp"), false, validation); }),
            "Names in an archive compare without case, so these files of the folder can't both be stored: \"SMAB\" "
            "and \"smab\". Rename or remove one of each.");
        EXPECT_FALSE(std::filesystem::exists(tmp.file("out.lgp")));
    }
}

TEST(CreateArchive, copiesTheTemplateForTheFileCount)
{
    TempFolder tmp;
    std::vector<File> files;
    for (int i = 0; i < 11; ++i)
        files.push_back({"file" + std::to_string(i) + ".bin", Pattern(static_cast<std::size_t>(i * 7), 3)});
    tmp.fill("in", files);
    std::sort(files.begin(), files.end(), [](const File& a, const File& b) { return a.Name < b.Name; });
    std::vector<std::string> names;
    for (const auto& f : files)
        names.push_back(f.Name);
    // A template that indexes these names in name order, its conflict count
    // followed by bytes of its own: copied whole.
    Bytes table = GameLookupTable(names);
    table.resize(3602, 0);
    table.insert(table.end(), {1, 2, 3});
    const ScopedProgramFile t(TemplatePath(11), table);
    CreateArchiveFromFolder(tmp.file("in"), tmp.file("out.lgp"), false, true);
    EXPECT_EQ(Load(tmp.file("out.lgp")), Write(Archive{.Files = files, .Validation = table}));
    // Validation data off: no template needed.
    CreateArchiveFromFolder(tmp.file("in"), tmp.file("plain.lgp"), false, false);
    EXPECT_EQ(Load(tmp.file("plain.lgp")), Write(Archive{.Files = files}));
}

TEST(CreateArchive, takesTheTemplateOfTheUserDataFolderBeforeTheOneBesideTheProgram)
{
    TempFolder tmp;
    const ScopedEnv data("XDG_DATA_HOME", tmp.file("data"));
    const std::vector<File> files = {{"bone.a", B("1")}, {"skin.b", B("22")}, {"zz", B("333")}};
    tmp.fill("in", files);
    // Two templates that both index these names, told apart by the bytes
    // after their conflict count.
    Bytes table = GameLookupTable({"bone.a", "skin.b", "zz"});
    table.resize(3602, 0);
    Bytes mine = table;
    mine.insert(mine.end(), {7, 7});
    table.insert(table.end(), {1, 2, 3});
    const ScopedProgramFile beside(TemplatePath(3), table);
    const std::string user = tmp.save("data/tarrowin/LGP.3", mine);
    CreateArchiveFromFolder(tmp.file("in"), tmp.file("user.lgp"), false, true);
    EXPECT_EQ(Load(tmp.file("user.lgp")), Write(Archive{.Files = files, .Validation = mine}));
    std::filesystem::remove(user);
    CreateArchiveFromFolder(tmp.file("in"), tmp.file("beside.lgp"), false, true);
    EXPECT_EQ(Load(tmp.file("beside.lgp")), Write(Archive{.Files = files, .Validation = table}));
}

TEST(CreateArchive, validationDataOfAnExistingArchive)
{
    TempFolder tmp;
    const auto path = tmp.save("x.lgp", Write(Archive{.Files = {{"a", B("1")}}, .Validation = B("VALIDATION")}));
    EXPECT_EQ(ReadValidationData(path), B("VALIDATION"));
    const auto plain = tmp.save("y.lgp", Write(Archive{.Files = {{"a", B("1")}}}));
    EXPECT_EQ(ReadValidationData(plain), B(""));
}
