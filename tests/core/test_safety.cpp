// What survives a kill: every in-place write command run with the file
// layer's fault seam at each mutating call in turn (failing, and ending the
// process), and killed at random moments.
#include "core/lgplookup.h"
#include "coresupport.h"
#include "support/faults.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <sys/stat.h>

using namespace testlgp;
using faults::Action;
using faults::Outcome;

namespace
{
    // TOC a, b, c, d, e (e shares c's data); data: a (100 bytes), "old"
    // (1,000, nothing points at it), b (3,000), c (2,000) followed by a
    // 24-byte gap, d (500). Packing moves b and d over their own old places.
    constexpr std::int32_t LooseCount = 5;
    Bytes Loose()
    {
        const std::int32_t a = 16 + LooseCount * 27 + 40;
        const std::int32_t b = a + 24 + 100 + 24 + 1000;
        const std::int32_t c = b + 24 + 3000;
        const std::int32_t d = c + 24 + 2000 + 24;
        Writer w;
        w.header("SQUARESOFT", LooseCount).toc("a", a).toc("b", b).toc("c", c).toc("d", d).toc("e", c);
        w.raw(Pattern(40, 7)).dataEntry("a", Pattern(100, 6)).dataEntry("old", Pattern(1000, 1));
        w.dataEntry("b", Pattern(3000, 2)).dataEntry("c", Pattern(2000, 3));
        w.gap(24).zeros(16).dataEntry("d", Pattern(500, 4)).text("FINAL FANTASY7");
        return w.out;
    }

    // TOC Offsets that lead nowhere, for Repair to relink.
    Bytes Misdirected()
    {
        Writer w;
        w.header("SQUARESOFT", 3).toc("a", 1).toc("b", 2).toc("c", 3);
        w.dataEntry("B", B("old")).dataEntry("a", B("aa")).dataEntry("b", B("new")).dataEntry("renamed", B("c"));
        w.text("FINAL FANTASY7");
        return w.out;
    }

    // The data each TOC entry reaches; a read that fails gives nullopt.
    std::vector<std::optional<Bytes>> Reached(const std::string& path)
    {
        const TLGPFile index(path, false);
        std::vector<std::optional<Bytes>> out;
        for (std::int32_t i = 0; i < index.FileCount(); ++i)
        {
            TMemoryStream data;
            try
            {
                index.ReadEntryData(i, data);
                out.push_back(data.TakeBytes());
            }
            catch (const ELGPError&)
            {
                out.push_back(std::nullopt);
            }
        }
        return out;
    }

    // The result of command on a fresh copy of before, run without faults.
    Bytes Result(const TempFolder& tmp, const Bytes& before, const std::function<void(const std::string&)>& command)
    {
        const std::string path = tmp.save("expected.lgp", before);
        command(path);
        const Bytes after = Load(path);
        std::filesystem::remove(path);
        return after;
    }

    // A command that rewrites the whole archive in one step: after every fault
    // the archive is byte for byte the old one or the new one, a failure leaves
    // the old one and no temporary file, and the last run gives the new one.
    void OldOrNew(const Bytes& before, const std::function<void(const std::string&)>& command)
    {
        TempFolder tmp;
        const Bytes after = Result(tmp, before, command);
        ASSERT_NE(after, before);
        const std::string path = tmp.file("x.lgp");
        for (const Action action : {Action::Fail, Action::Exit})
        {
            const int calls = faults::AtEveryCall(
                action, [&] { tmp.save("x.lgp", before); }, [&] { command(path); },
                [&](Outcome outcome) {
                    const Bytes now = Load(path);
                    if (outcome == Outcome::Killed)
                    {
                        EXPECT_TRUE(now == before || now == after);
                    }
                    else
                    {
                        EXPECT_EQ(now, outcome == Outcome::Failed ? before : after);
                    }
                    if (outcome != Outcome::Killed)
                    {
                        EXPECT_THAT(faults::HiddenFiles(tmp.dir()), ::testing::IsEmpty());
                    }
                    faults::RemoveLeftovers(tmp.dir());
                });
            EXPECT_GE(calls, 3);
        }
    }
} // namespace

TEST(CrashSafety, packIsTheOldOrThePackedArchiveAfterEveryFault)
{
    OldOrNew(Loose(), [](const std::string& path) { PackArchive(path); });
}

TEST(CrashSafety, repairIsTheOldOrTheRepairedArchiveAfterEveryFault)
{
    OldOrNew(Misdirected(), [](const std::string& path) { RepairArchive(path); });
}

TEST(CrashSafety, rawEditorRewritesAndWholeTocWritesAreOldOrNew)
{
    OldOrNew(Loose(), [](const std::string& path) {
        TRawLGPFile raw(path);
        ASSERT_TRUE(raw.RewriteDataEntry(2, NewData("c.new", Pattern(1990, 9))));
    });
    OldOrNew(Loose(), [](const std::string& path) {
        TRawLGPFile raw(path);
        std::vector<TOCEntry> toc;
        for (std::int32_t i = 0; i < raw.FileCount(); ++i)
            toc.push_back(raw.GetTableEntry(raw.FileCount() - 1 - i));
        raw.SetTableEntries(toc);
    });
}

TEST(CrashSafety, appendThenLinkNeverPointsATocEntryAtIncompleteData)
{
    TempFolder tmp;
    // A fifth TOC entry points where the trailing text begins, as one does
    // after its data was truncated: the append writes its new entry there.
    Bytes before = Loose();
    const std::int32_t tail = static_cast<std::int32_t>(before.size() - 14);
    Writer w;
    w.header("SQUARESOFT", LooseCount + 1);
    for (std::int32_t i = 0; i < LooseCount; ++i)
        w.raw(Bytes(before.begin() + 16 + 27 * i, before.begin() + 16 + 27 * (i + 1)));
    w.toc("stale", tail + 27).raw(Bytes(before.begin() + 16 + LooseCount * 27, before.end()));
    for (std::int32_t i = 0; i < LooseCount; ++i) // every Offset moves by the added TOC entry
    {
        std::uint8_t* offset = w.out.data() + 16 + 27 * i + 20;
        const std::int32_t moved = offset[0] | offset[1] << 8 | offset[2] << 16 | offset[3] << 24;
        Writer o;
        o.i32(moved + 27);
        std::copy(o.out.begin(), o.out.end(), offset);
    }
    before = w.out;
    const std::string path = tmp.file("x.lgp");
    tmp.save("x.lgp", before);
    const auto old = Reached(path);
    ASSERT_TRUE(old[0] && old[1] && old[2] && old[3] && old[4]);
    ASSERT_FALSE(old[5]);
    const Bytes added = Pattern(5000, 5);

    const auto command = [&] {
        TRawLGPFile raw(path);
        const std::int32_t index = raw.AppendDataEntry(NewData("new", added));
        TOCEntry entry = raw.GetTableEntry(1);
        entry.Offset = raw.GetDataEntry(index).Position;
        raw.SetTableEntry(1, entry);
    };
    for (const Action action : {Action::Fail, Action::Exit})
    {
        faults::AtEveryCall(
            action, [&] { tmp.save("x.lgp", before); }, command,
            [&](Outcome outcome) {
                const auto now = Reached(path);
                EXPECT_EQ(now[0], old[0]);
                EXPECT_TRUE(now[1] == old[1] || now[1] == added);
                EXPECT_EQ(now[2], old[2]);
                EXPECT_EQ(now[3], old[3]);
                EXPECT_EQ(now[4], old[4]);
                EXPECT_TRUE(!now[5] || now[5] == added);
                if (outcome == Outcome::Completed)
                {
                    EXPECT_TRUE(now[1] == added && now[5] == added);
                }
                if (outcome != Outcome::Killed)
                {
                    // A failed append leaves the archive's end as it was.
                    const Bytes bytes = Load(path);
                    EXPECT_EQ(Bytes(bytes.end() - 14, bytes.end()), B("FINAL FANTASY7"));
                    EXPECT_THAT(faults::HiddenFiles(tmp.dir()), ::testing::IsEmpty());
                }
            });
    }
}

TEST(CrashSafety, truncateNeverLeavesATornEntry)
{
    TempFolder tmp;
    const Bytes before = Loose();
    const std::string path = tmp.file("x.lgp");
    tmp.save("x.lgp", before);
    const auto old = Reached(path);
    const Bytes after = Result(tmp, before, [](const std::string& p) { TRawLGPFile(p).TruncateData(2); });
    for (const Action action : {Action::Fail, Action::Exit})
    {
        faults::AtEveryCall(
            action, [&] { tmp.save("x.lgp", before); }, [&] { TRawLGPFile(path).TruncateData(2); },
            [&](Outcome outcome) {
                // a stays; b, c, d and e reach their whole old data or nothing.
                const auto now = Reached(path);
                EXPECT_EQ(now[0], old[0]);
                for (std::size_t i = 1; i < now.size(); ++i)
                    EXPECT_TRUE(!now[i] || now[i] == old[i]) << i;
                if (outcome == Outcome::Completed)
                {
                    EXPECT_EQ(Load(path), after);
                }
            });
    }
}

TEST(CrashSafety, randomKillsLeaveThePackedOrTheOldArchive)
{
    TempFolder tmp;
    std::vector<File> files;
    for (int i = 0; i < 150; ++i)
        files.push_back({"f" + std::to_string(i), Pattern(2000 + 37 * static_cast<std::size_t>(i), std::uint8_t(i))});
    Bytes before = Write(Archive{.Files = files, .Validation = Pattern(3602)});
    // Every third entry's TOC Offset moves to the next entry: its data is dropped.
    for (int i = 0; i + 1 < 150; i += 3)
        std::copy_n(before.begin() + 16 + 27 * (i + 1) + 20, 4, before.begin() + 16 + 27 * i + 20);
    const std::string path = tmp.file("x.lgp");
    const Bytes after = faults::OldOrResultAfterKills(30, 20261208, path, before, [&] { PackArchive(path); });
    ASSERT_LT(after.size(), before.size());
}

TEST(CrashSafety, tooLittleFreeSpaceIsRefusedBeforeAnythingChanges)
{
    TempFolder tmp;
    const Bytes before = Loose();
    const std::string path = tmp.save("x.lgp", before);
    Platform::File::Fault::setFreeSpace(10);
    const std::string packed = FailureText([&] { PackArchive(path); });
    const std::string misdirected = tmp.save("m.lgp", Misdirected());
    const std::string repaired = FailureText([&] { RepairArchive(misdirected); });
    Platform::File::Fault::setFreeSpace(std::nullopt);
    EXPECT_EQ(packed, "There is not enough free disk space to rewrite " + path
                          + " safely: " + std::to_string(before.size() - 1024 - 24)
                          + " bytes are needed beside it. Nothing was changed.");
    EXPECT_THAT(repaired, ::testing::StartsWith("There is not enough free disk space to rewrite " + misdirected));
    EXPECT_EQ(Load(path), before);
    EXPECT_EQ(Load(misdirected), Misdirected());
    EXPECT_THAT(faults::HiddenFiles(tmp.dir()), ::testing::IsEmpty());
}

TEST(CrashSafety, rewrittenArchiveKeepsItsModeItsLinkAndItsLock)
{
    TempFolder tmp;
    const std::string real = tmp.save("real.lgp", Loose());
    ::chmod(real.c_str(), 0640);
    const std::string link = tmp.file("link.lgp");
    std::filesystem::create_symlink("real.lgp", link);

    PackArchive(link);
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(Load(real), Result(tmp, Loose(), [](const std::string& p) { PackArchive(p); }));
    struct stat st;
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // The editor holds the new file after a run, still refusing other writers.
    std::int32_t count = 0;
    {
        TRawLGPFile raw(link);
        count = raw.DataCount();
        raw.RewriteAtomically([&] { raw.AppendDataEntry(NewData("more", B("12345"))); });
        EXPECT_EQ(raw.DataCount(), count + 1);
        EXPECT_EQ(FailureText([&] { TRawLGPFile second(real); }), "Cannot open file " + real);
    }
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(TRawLGPFile(real).DataCount(), count + 1);
}

TEST(CrashSafety, createAndExtractOverAnExistingFileLeaveTheOldOrTheNewFile)
{
    TempFolder sources;
    sources.save("alpha.bin", Pattern(3000, 5));
    sources.save("beta.tex", Pattern(70000, 6));
    sources.save("gamma.p", B("g"));
    OldOrNew(Loose(), [&](const std::string& path) {
        ArchiveBuildOptions options;
        options.Folder = sources.dir();
        options.Output = path;
        options.ReportProgress = false;
        BuildArchive(options);
    });

    // An extracted entry takes the place of a file already there only whole.
    TempFolder archive;
    const std::string source = archive.save("source.lgp", Loose());
    const LGPEntry b = TLGPFile(source, true).GetEntry(1);
    OldOrNew(B("an older file at the output"), [&](const std::string& path) {
        TFileStream in(source, FileMode::OpenRead);
        ExtractEntry(in, b, path);
    });
}

namespace
{
    // An archive of count small files "fNNNN.bin", each of its own bytes.
    Bytes ManySmallFiles(int count, std::uint8_t seed)
    {
        std::vector<std::pair<std::string, Bytes>> files;
        for (int i = 0; i < count; ++i)
        {
            char name[16];
            std::snprintf(name, sizeof name, "f%04d.bin", i);
            files.emplace_back(name, Pattern(std::size_t(1 + i % 97), std::uint8_t(seed + i)));
        }
        return Write(ArchiveOf(files));
    }

    std::vector<ExtractTarget> EveryEntry(const TLGPFile& archive)
    {
        std::vector<ExtractTarget> plan;
        for (std::int32_t i = 0; i < archive.FileCount(); ++i)
            plan.push_back({i, archive.GetEntry(i).Name});
        return plan;
    }
} // namespace

TEST(ExtractAll, waitsForTheDiskOnlyForReplacedFilesAndThenOnceABatch)
{
    using Platform::File::Fault::Call;
    TempFolder tmp;
    const Bytes first = ManySmallFiles(1100, 1);
    const TLGPFile archive = TLGPFile::Held(tmp.save("a.lgp", first), true);
    const std::string out = tmp.folder("out");

    // Into an empty folder: not one sync, not one folder sync after a rename.
    Platform::File::Fault::resetCounts();
    ExtractAllEntries(archive, out, EveryEntry(archive));
    EXPECT_EQ(Platform::File::Fault::count(Call::Sync), 0);
    for (const auto& file : Entries(first))
        ASSERT_EQ(Load(out + file.Name), file.Data) << file.Name;
    EXPECT_THAT(faults::HiddenFiles(out), ::testing::IsEmpty());

    // Over the same files: each batch of replacements goes on the disk with one
    // sync before the files take their names (1,024 files to a batch).
    const Bytes second = ManySmallFiles(1100, 9);
    const TLGPFile again = TLGPFile::Held(tmp.save("b.lgp", second), true);
    Platform::File::Fault::resetCounts();
    ExtractAllEntries(again, out, EveryEntry(again));
    EXPECT_EQ(Platform::File::Fault::count(Call::Sync), 2);
    for (const auto& file : Entries(second))
        ASSERT_EQ(Load(out + file.Name), file.Data) << file.Name;
    EXPECT_THAT(faults::HiddenFiles(out), ::testing::IsEmpty());
}

TEST(ExtractAll, replacesLinksInTheFolderInsteadOfWritingThroughThem)
{
    namespace fs = std::filesystem;
    TempFolder tmp;
    const TLGPFile archive = TLGPFile::Held(
        tmp.save("a.lgp", Write(ArchiveOf({{"ok.txt", B("new ok")}, {"gone.txt", B("new gone")}, {"b", B("bb")}}))),
        true);
    const std::string victim = tmp.save("victim", B("victim's own bytes"));
    const std::string elsewhere = tmp.folder("elsewhere");
    const std::string out = tmp.folder("real-out");
    fs::create_symlink(victim, out + "ok.txt");
    fs::create_symlink(tmp.file("nothing-here"), out + "gone.txt");
    fs::create_directory_symlink(elsewhere, out + "sub");
    // The folder the user names may itself be a link.
    const std::string named = tmp.file("out-link");
    fs::create_directory_symlink(out, named);

    ExtractAllEntries(archive, named, {{0, "ok.txt"}, {1, "gone.txt"}, {2, "sub/b"}});
    EXPECT_EQ(Load(victim), B("victim's own bytes"));
    EXPECT_TRUE(fs::is_empty(elsewhere));
    for (const char* name : {"ok.txt", "gone.txt", "sub"})
        EXPECT_FALSE(fs::is_symlink(out + name)) << name;
    EXPECT_EQ(Load(out + "ok.txt"), B("new ok"));
    EXPECT_EQ(Load(out + "gone.txt"), B("new gone"));
    EXPECT_EQ(Load(out + "sub/b"), B("bb"));

    // Extract follows the same rule for the file it names.
    fs::remove(out + "ok.txt");
    fs::create_symlink(victim, out + "ok.txt");
    ExtractEntry(*archive.Source(), archive.GetEntry(0), named + "/ok.txt");
    EXPECT_EQ(Load(victim), B("victim's own bytes"));
    EXPECT_FALSE(fs::is_symlink(out + "ok.txt"));
    EXPECT_EQ(Load(out + "ok.txt"), B("new ok"));

    // What can't be replaced is refused, naming it: a folder in the place of
    // a file, a file in the place of a folder.
    fs::create_directory(out + "dir.txt");
    EXPECT_EQ(FailureText([&] {
                  ExtractAllEntries(archive, out, {{0, "dir.txt"}});
              }),
              "Cannot create file " + out + "dir.txt: Is a directory. Nothing was written to " + out + ".");
    EXPECT_THAT(FailureText([&] {
                    ExtractAllEntries(archive, out, {{0, "a"}, {1, "ok.txt/b"}});
                }),
                ::testing::StartsWith("Cannot create folder " + out
                                      + "ok.txt: Not a directory. 1 of 2 files were "
                                        "written to "
                                      + out + " before the failure."));
}

TEST(ExtractAll, readsTheFileItsIndexCameFromAndSaysHowFarAFailureGot)
{
    TempFolder tmp;
    const std::string path = tmp.save("a.lgp", ManySmallFiles(5, 1));
    const TLGPFile archive = TLGPFile::Held(path, true);
    // Another archive takes the path (as a pack or a replace would put one there).
    const std::string other = tmp.save("other.lgp", ManySmallFiles(7, 50));
    std::filesystem::rename(other, path);
    const std::string out = tmp.folder("out");
    ExtractAllEntries(archive, out, EveryEntry(archive));
    for (const auto& file : Entries(ManySmallFiles(5, 1)))
        EXPECT_EQ(Load(out + file.Name), file.Data) << file.Name;
    ExtractEntry(*archive.Source(), archive.GetEntry(4), tmp.file("one"));
    EXPECT_EQ(Load(tmp.file("one")), EntryData(ManySmallFiles(5, 1), 4));

    // Each new file is three file calls (create, copy, rename): the seventh
    // is the third file's creation.
    const std::string fresh = tmp.folder("fresh");
    Platform::File::Fault::arm(7, Platform::File::Fault::Action::Fail);
    EXPECT_EQ(FailureText([&] { ExtractAllEntries(archive, fresh, EveryEntry(archive)); }),
              "Cannot create file " + fresh + "f0002.bin: Input/output error. 2 of 5 files were written to " + fresh
                  + " before the failure.");
    Platform::File::Fault::disarm();
}

TEST(CrashSafety, extractAllOverAnExistingFolderLeavesEveryFileOldOrNew)
{
    TempFolder tmp;
    const Bytes before = ManySmallFiles(6, 1);
    const Bytes after = ManySmallFiles(6, 40);
    const TLGPFile archive = TLGPFile::Held(tmp.save("a.lgp", after), true);
    const std::string out = tmp.folder("out");
    for (const Action action : {Action::Fail, Action::Exit})
    {
        const int calls = faults::AtEveryCall(
            action,
            [&] {
                for (const auto& file : Entries(before))
                    Save(out + file.Name, file.Data);
            },
            [&] { ExtractAllEntries(archive, out, EveryEntry(archive)); },
            [&](Outcome outcome) {
                const auto old = Entries(before);
                const auto now = Entries(after);
                for (std::size_t i = 0; i < now.size(); ++i)
                {
                    const Bytes there = Load(out + now[i].Name);
                    if (outcome == Outcome::Completed)
                        EXPECT_EQ(there, now[i].Data);
                    else
                        EXPECT_TRUE(there == old[i].Data || there == now[i].Data) << now[i].Name;
                }
                if (outcome != Outcome::Killed)
                {
                    EXPECT_THAT(faults::HiddenFiles(out), ::testing::IsEmpty());
                }
                faults::RemoveLeftovers(out);
            });
        EXPECT_GE(calls, 6 * 3);
    }
}
