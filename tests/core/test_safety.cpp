// What survives a kill: every in-place write command run with the file
// layer's fault seam at each mutating call in turn (failing, and ending the
// process), and killed at random moments.
#include "coresupport.h"
#include "support/faults.h"

#include <gmock/gmock.h>

#include <sys/stat.h>
#include <tuple>

using namespace testlgp;
using faults::Action;
using faults::Outcome;

namespace
{
    // TOC a, b, c, d, e (e shares c's data); data: a (100 bytes), "old"
    // (1,000, nothing points at it), b (3,000), c (2,000) followed by a
    // 24-byte gap, d (500). Packing moves b and d over their own old places.
    constexpr std::int32_t LooseCount = 5;
    Bytes Loose(const std::string& trailing = "FINAL FANTASY7")
    {
        const std::int32_t a = 16 + LooseCount * 27 + 40;
        const std::int32_t b = a + 24 + 100 + 24 + 1000;
        const std::int32_t c = b + 24 + 3000;
        const std::int32_t d = c + 24 + 2000 + 24;
        Writer w;
        w.header("SQUARESOFT", LooseCount).toc("a", a).toc("b", b).toc("c", c).toc("d", d).toc("e", c);
        w.raw(Pattern(40, 7)).dataEntry("a", Pattern(100, 6)).dataEntry("old", Pattern(1000, 1));
        w.dataEntry("b", Pattern(3000, 2)).dataEntry("c", Pattern(2000, 3));
        w.gap(24).zeros(16).dataEntry("d", Pattern(500, 4)).text(trailing);
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

    // The commands that put a whole new file in place of the one at their
    // path, each with the file it starts from. Create's sources and Extract's
    // archive go into sources.
    struct Rewrite
    {
        std::string Name;
        Bytes Before;
        std::function<void(const std::string&)> Command;
    };
    std::vector<Rewrite> Rewrites(const TempFolder& sources)
    {
        const std::string folder = sources.folder("in");
        sources.save("in/alpha.bin", Pattern(3000, 5));
        sources.save("in/beta.tex", Pattern(70000, 6));
        sources.save("in/gamma.p", B("g"));
        const std::string archive = sources.save("source.lgp", Loose());
        const LGPEntry b = TLGPFile(archive, true).GetEntry(1);
        return {
            {"pack", Loose(), [](const std::string& path) { PackArchive(path); }},
            {"repair", Misdirected(), [](const std::string& path) { RepairArchive(path); }},
            {"raw editor's rewrite of an entry", Loose(),
             [](const std::string& path) {
                 TRawLGPFile raw(path);
                 ASSERT_TRUE(raw.RewriteDataEntry(2, NewData("c.new", Pattern(1990, 9))));
             }},
            {"raw editor's whole-TOC write", Loose(),
             [](const std::string& path) {
                 TRawLGPFile raw(path);
                 std::vector<TOCEntry> toc;
                 for (std::int32_t i = 0; i < raw.FileCount(); ++i)
                     toc.push_back(raw.GetTableEntry(raw.FileCount() - 1 - i));
                 raw.SetTableEntries(toc);
             }},
            {"replace in place", Loose(),
             [](const std::string& path) {
                 TRawLGPFile raw(path);
                 EXPECT_TRUE(ReplaceEntryData(raw, "b", Pattern(2900, 9)));
             }},
            {"create over an existing file", Loose(),
             [folder](const std::string& path) {
                 ArchiveBuildOptions options;
                 options.Folder = folder;
                 options.Output = path;
                 options.ReportProgress = false;
                 BuildArchive(options);
             }},
            // An extracted entry takes the place of a file already there only whole.
            {"extract over an existing file", B("an older file at the output"),
             [archive, b](const std::string& path) {
                 TFileStream in(archive, FileMode::OpenRead);
                 ExtractEntry(in, b, path);
             }},
        };
    }
} // namespace

TEST(CrashSafety, everyRewriteIsTheOldOrTheNewFileAfterEveryFault)
{
    TempFolder sources;
    for (const Rewrite& rewrite : Rewrites(sources))
    {
        SCOPED_TRACE(rewrite.Name);
        OldOrNew(rewrite.Before, rewrite.Command);
    }
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
    // A trailing text as long as a name field: written over a data header, it
    // would leave the header's Length and make a new entry of the old data.
    const Bytes before = Loose("FINAL FANTASY7 - mod");
    const std::string path = tmp.file("x.lgp");
    tmp.save("x.lgp", before);
    const auto old = Reached(path);
    const auto scanned = [&] {
        const TRawLGPFile raw(path);
        std::vector<std::tuple<std::string, std::int32_t, std::int32_t>> headers;
        for (std::int32_t i = 0; i < raw.DataCount(); ++i)
            headers.emplace_back(raw.GetDataEntry(i).NameString(), raw.GetDataEntry(i).Length,
                                 raw.GetDataEntry(i).Position);
        return headers;
    };
    const auto oldHeaders = scanned();
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
                for (const auto& header : scanned())
                    EXPECT_THAT(oldHeaders, ::testing::Contains(header)) << std::get<0>(header);
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

TEST(CrashSafety, everyWriteCommandSyncsItsDataBeforeMakingItReachable)
{
    using faults::ExpectDurableOrder;
    using faults::Recorded;
    TempFolder tmp;
    const std::string path = tmp.file("x.lgp");
    const auto on = [&](const Bytes& before, const std::function<void()>& command) {
        tmp.save("x.lgp", before);
        return Recorded(command);
    };
    // Rewrites put a synced new file in place of the archive.
    TempFolder sources;
    for (const Rewrite& rewrite : Rewrites(sources))
    {
        SCOPED_TRACE(rewrite.Name);
        EXPECT_EQ(ExpectDurableOrder(on(rewrite.Before, [&] { rewrite.Command(path); })), 1);
    }

    // Appends sync the new data before the header bytes over the old trailing
    // text, and those before the TOC entry that links them.
    const std::int64_t end = static_cast<std::int64_t>(Loose().size()) - 14;
    const std::int64_t tocOfC = 16 + 2 * 27;
    EXPECT_EQ(ExpectDurableOrder(on(Loose(),
                                    [&] {
                                        TRawLGPFile raw(path); // c's data is e's too: appended
                                        EXPECT_FALSE(ReplaceEntryData(raw, "c", Pattern(2000, 9)));
                                    }),
                                 path, {end, tocOfC}),
              0);
    EXPECT_EQ(ExpectDurableOrder(on(Loose(),
                                    [&] {
                                        TRawLGPFile raw(path);
                                        const std::int32_t index = raw.AppendDataEntry(NewData("new", Pattern(500, 8)));
                                        TOCEntry entry = raw.GetTableEntry(2);
                                        entry.Offset = raw.GetDataEntry(index).Position;
                                        raw.SetTableEntry(2, entry);
                                    }),
                                 path, {end, tocOfC}),
              0);
}

TEST(CrashSafety, armingKFailsExactlyTheKthMutatingCall)
{
    namespace File = Platform::File;
    TempFolder tmp;
    const std::string path = tmp.save("x.bin", B("12345678"));
    const File::ScopedHandle file = File::open(path, File::Access::ReadWrite, File::Share::DenyNone);
    ASSERT_TRUE(file.valid());
    const std::function<bool()> calls[] = {
        [&] { return File::writeAt(file, "a", 1, 0); },
        [&] { return File::setSize(file, 6); },
        [&] { return File::sync(file); },
        [&] { return File::copyRange(file, 0, file, 6, 2) == 2; },
        [&] { return File::writeAt(file, "b", 1, 1); },
    };
    for (int k = 1; k <= 5; ++k)
    {
        File::Fault::arm(k, File::Fault::Action::Fail);
        for (int call = 1; call <= 5; ++call)
        {
            EXPECT_EQ(File::Fault::fired(), call > k) << "before call " << call << ", armed at " << k;
            EXPECT_EQ(calls[call - 1](), call != k) << "call " << call << ", armed at " << k;
        }
        File::Fault::disarm();
    }
}
