// What survives a kill: every in-place write command run with the file
// layer's fault seam at each mutating call in turn (failing, and ending the
// process), and killed at random moments; and what a full disk leaves.
#include "core/lgplookup.h"
#include "coresupport.h"
#include "patch/lgppatch.h"
#include "support/faults.h"

#include <gmock/gmock.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

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
        // a grows, c (whose data e shares) gets data of its own, d shrinks.
        const std::vector<std::pair<std::string, std::string>> replacements = {
            {"a", sources.save("a.new", Pattern(300, 10))},
            {"C", sources.save("c.new", Pattern(1500, 11))},
            {"d", sources.save("d.new", Pattern(20, 12))}};
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
            {"replace of several entries in one rewrite", Loose(),
             [replacements](const std::string& path) {
                 TRawLGPFile raw(path);
                 ReplaceEntries(raw, PlanReplacePairs(LookupViewOf(raw), replacements).Replacements);
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

// Each command that rewrites the archive beside itself checks the free space
// first: with too little, it refuses, naming the bytes it needs, and leaves
// the archive and its folder as they were.
TEST(CrashSafety, tooLittleFreeSpaceIsRefusedBeforeAnythingChanges)
{
    TempFolder tmp;
    Bytes patched = Pattern(3000, 2);
    patched[100] ^= 0xFF;
    const std::string patchPath =
        tmp.save("patch.lgp", Write(PatchArchive({{"B", *MakeDifference(Pattern(3000, 2), patched)}}, Bytes(3602, 0))));
    struct Row
    {
        std::string Name;
        Bytes Before;
        std::int64_t FreeSpace;
        std::function<void(const std::string&)> Command;
        std::optional<std::int64_t> Needed; // when the text is checked whole
    };
    const std::vector<Row> rows = {
        {"pack", Loose(), 10, [](const std::string& path) { PackArchive(path); },
         std::int64_t(Loose().size()) - 1024 - 24},
        {"repair", Misdirected(), 10, [](const std::string& path) { RepairArchive(path); }, std::nullopt},
        {"apply patch", Loose(), std::int64_t(Loose().size()) - 1,
         [&](const std::string& path) {
             TRawLGPFile raw(path);
             ApplyPatch(raw, TLGPFile(patchPath, true), true);
         },
         std::int64_t(Loose().size())},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.Name);
        const std::string path = tmp.save("x.lgp", row.Before);
        Platform::File::Fault::setFreeSpace(row.FreeSpace);
        const std::string failure = FailureText([&] { row.Command(path); });
        Platform::File::Fault::setFreeSpace(std::nullopt);
        if (row.Needed)
            EXPECT_EQ(failure, "There is not enough free disk space to rewrite " + path + " safely: "
                                   + std::to_string(*row.Needed) + " bytes are needed beside it. Nothing was changed.");
        else
            EXPECT_THAT(failure, ::testing::StartsWith("There is not enough free disk space to rewrite " + path));
        EXPECT_EQ(Load(path), row.Before);
        EXPECT_THAT(faults::HiddenFiles(tmp.dir()), ::testing::IsEmpty());
    }
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

    // A full disk strikes the k-th data write only (ENOSPC), a refusal the
    // k-th rename only (EPERM); the other calls pass.
    const std::string other = tmp.save("y.bin", B("y"));
    const std::function<bool()> renames[] = {
        calls[0],
        [&] { return File::replace(other, path); },
        calls[3],
        [&] { return File::replace(path, other); },
    };
    const std::pair<File::Fault::Action, std::vector<int>> struck[] = {
        {File::Fault::Action::DiskFull, {1, 3}},
        {File::Fault::Action::Refuse, {2, 4}},
    };
    for (const auto& [action, kinds] : struck)
    {
        for (std::size_t k = 1; k <= kinds.size(); ++k)
        {
            tmp.save("x.bin", B("12345678"));
            tmp.save("y.bin", B("y"));
            File::Fault::arm(std::int64_t(k), action);
            for (int call = 1; call <= 4; ++call)
            {
                errno = 0;
                const bool failed = !renames[call - 1]();
                EXPECT_EQ(failed, call == kinds[k - 1]) << "call " << call << ", armed at " << k;
                if (failed)
                {
                    EXPECT_EQ(errno, action == File::Fault::Action::DiskFull ? ENOSPC : EPERM);
                }
            }
            File::Fault::disarm();
        }
    }

    // A disk too full for a new file strikes only the making of new files.
    File::Fault::arm(2, File::Fault::Action::FullOnCreate);
    std::string temp;
    const File::ScopedHandle first = File::createBeside(path, file, temp);
    EXPECT_TRUE(first.valid());
    File::remove(temp);
    EXPECT_TRUE(calls[0]());
    EXPECT_TRUE(File::replace(tmp.save("y.bin", B("y")), tmp.save("z.bin", B("z"))));
    errno = 0;
    EXPECT_FALSE(File::createBeside(path, file, temp).valid());
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_TRUE(File::Fault::fired());
    File::Fault::disarm();
}

namespace
{
    // TOC a to f over data a to f, with a 16-byte gap (an 8-byte marker and 8
    // free bytes) behind c. damage changes one field of the laid-out file:
    // the Length of the data entry at index lengthOf, or the gap's size.
    struct Damage
    {
        std::string What;
        int LengthOf = -1;
        std::int64_t Length = 0; // added to the Length when Relative, else the new Length
        bool Relative = false;
        std::optional<std::int32_t> GapSize{};
    };

    Bytes Damaged(const Damage& damage)
    {
        const std::vector<std::size_t> sizes = {100, 300, 200, 500, 50, 400};
        const std::int32_t dataStart = 16 + 6 * 27;
        std::vector<std::int32_t> positions;
        std::int32_t at = dataStart;
        for (std::size_t i = 0; i < sizes.size(); ++i)
        {
            positions.push_back(at);
            at += 24 + static_cast<std::int32_t>(sizes[i]) + (i == 2 ? 16 : 0);
        }
        Writer w;
        w.header("SQUARESOFT", 6);
        for (std::size_t i = 0; i < sizes.size(); ++i)
            w.toc(std::string(1, char('a' + i)), positions[i]);
        for (std::size_t i = 0; i < sizes.size(); ++i)
        {
            w.dataEntry(std::string(1, char('a' + i)), Pattern(sizes[i], std::uint8_t(i + 1)));
            if (i == 2)
                w.gap(damage.GapSize.value_or(16)).zeros(8);
        }
        w.text("FINAL FANTASY7");
        if (damage.LengthOf >= 0)
        {
            const auto index = static_cast<std::size_t>(damage.LengthOf);
            const std::int64_t length = damage.Relative ? std::int64_t(sizes[index]) + damage.Length : damage.Length;
            PutI32(w.out, static_cast<std::size_t>(positions[index]) + 20, static_cast<std::int32_t>(length));
        }
        return w.out;
    }
} // namespace

// Every command that writes into an existing archive, given archives damaged
// in a Length or a gap marker, either refuses and leaves the file byte for
// byte as it was, or does its work with every TOC entry that read before still
// reading the same bytes (but for the entries it is meant to change).
TEST(DamagedArchives, everyInPlaceWriteRefusesUnchangedOrKeepsWhatReadBefore)
{
    std::vector<Damage> damages = {{"intact"}};
    for (const int index : {0, 2, 3, 5})
    {
        damages.push_back({"Length 0x7FFFFFFF", index, 0x7FFFFFFF});
        damages.push_back({"Length -1", index, -1});
        damages.push_back({"Length +1,000,000", index, 1000000, true});
        damages.push_back({"Length -3", index, -3, true});
        damages.push_back({"Length +5", index, 5, true});
    }
    for (const std::int32_t gap : {-16, 0, 4, 8, 24, 1000000, 0x7FFFFFFF})
        damages.push_back({"gap size " + std::to_string(gap), -1, 0, false, gap});

    const Bytes larger = Pattern(2000, 42);
    const Bytes same = Pattern(100, 43);
    TempFolder sources;
    const std::string largerFile = sources.save("larger", larger);
    const std::string sameFile = sources.save("same", same);
    // A command returns the TOC entries it changes on purpose.
    using Changes = std::vector<std::int32_t>;
    using Edit = std::function<Changes(TRawLGPFile&)>;
    struct Command
    {
        std::string Name;
        Edit Run;
        std::function<void(const std::string&)> Whole{}; // a command that opens the archive itself
    };
    // The TOC entries whose Offset is at or behind position.
    const auto from = [](TRawLGPFile& raw, std::int32_t position, bool onlyThere) {
        Changes out;
        for (std::int32_t i = 0; i < raw.FileCount(); ++i)
            if (raw.GetTableEntry(i).Offset == position || (!onlyThere && raw.GetTableEntry(i).Offset > position))
                out.push_back(i);
        return out;
    };
    const std::vector<Command> commands = {
        {"replace a, appended", [&](TRawLGPFile& raw) { return ReplaceEntryData(raw, "a", larger), Changes{0}; }},
        {"replace a, in place", [&](TRawLGPFile& raw) { return ReplaceEntryData(raw, "a", same), Changes{0}; }},
        {"replace c", [&](TRawLGPFile& raw) { return ReplaceEntryData(raw, "c", larger), Changes{2}; }},
        {"append", [&](TRawLGPFile& raw) { return raw.AppendDataEntry(NewData("z", larger)), Changes{}; }},
        {"link a to the last data entry",
         [&](TRawLGPFile& raw) {
             TOCEntry toc = raw.GetTableEntry(0);
             toc.Offset = raw.GetDataEntry(raw.DataCount() - 1).Position;
             raw.SetTableEntry(0, toc);
             return Changes{0};
         }},
        {"rewrite the last data entry longer",
         [&](TRawLGPFile& raw) {
             const RawDataEntry last = raw.GetDataEntry(raw.DataCount() - 1);
             const Changes changes = from(raw, last.Position, true);
             raw.RewriteDataEntry(raw.DataCount() - 1, NewData(last.NameString(), larger));
             return changes;
         }},
        {"truncate at the last data entry",
         [&](TRawLGPFile& raw) {
             const Changes changes = from(raw, raw.GetDataEntry(raw.DataCount() - 1).Position, false);
             raw.TruncateData(raw.DataCount() - 1);
             return changes;
         }},
        {"pack", {}, [](const std::string& p) { PackArchive(p); }},
        {"repair", {}, [](const std::string& p) { RepairArchive(p); }},
        {"replace a and c in one rewrite",
         [&](TRawLGPFile& raw) {
             ReplaceEntries(raw,
                            PlanReplacePairs(LookupViewOf(raw), {{"a", largerFile}, {"c", sameFile}}).Replacements);
             return Changes{0, 2};
         }},
    };

    TempFolder tmp;
    for (const Damage& damage : damages)
    {
        const Bytes before = Damaged(damage);
        const std::vector<std::optional<Bytes>> read = Reached(tmp.save("x.lgp", before));
        for (const Command& command : commands)
        {
            SCOPED_TRACE(damage.What
                         + (damage.LengthOf >= 0 ? " of " + std::string(1, char('a' + damage.LengthOf)) : "") + ", "
                         + command.Name);
            const std::string path = tmp.save("x.lgp", before);
            std::string failure;
            Changes changes;
            try
            {
                if (command.Whole)
                {
                    command.Whole(path);
                }
                else
                {
                    TRawLGPFile raw(path);
                    changes = command.Run(raw);
                }
            }
            catch (const std::exception& e)
            {
                failure = e.what();
            }
            if (!failure.empty())
            {
                EXPECT_EQ(Load(path), before) << failure;
                EXPECT_THAT(faults::HiddenFiles(tmp.dir()), ::testing::IsEmpty());
                continue;
            }
            const std::vector<std::optional<Bytes>> now = Reached(path);
            ASSERT_EQ(now.size(), read.size());
            for (std::size_t i = 0; i < read.size(); ++i)
            {
                if (!read[i] || std::find(changes.begin(), changes.end(), std::int32_t(i)) != changes.end())
                    continue;
                EXPECT_EQ(now[i], read[i]) << "TOC entry " << TocName(before, i);
            }
        }
    }
    // The refusal is Pack's and Apply Patch's, naming the archive and the entry.
    const std::string path = tmp.save("x.lgp", Damaged({"", 2, 0x7FFFFFFF}));
    EXPECT_EQ(FailureText([&] {
                  TRawLGPFile raw(path);
                  ReplaceEntryData(raw, "a", larger);
              }),
              "The archive " + path
                  + " is damaged: the TOC entry \"d\" (number 4) points at data that the scan of its data entries does "
                    "not reach. Nothing was changed; run Repair on it first.");
}

// Create replaces an archive the way the in-place writers rewrite one: the
// archive is locked while the new one is written, so a pack (or any other
// writer) started meanwhile is refused instead of having its work lost, and a
// create started while a writer holds the archive is refused, unchanged.
TEST(CrashSafety, createShutsOutOtherWritersOfTheArchiveItReplaces)
{
    TempFolder tmp;
    const Bytes before = Loose();
    const std::string path = tmp.save("x.lgp", before);
    const std::string folder = tmp.folder("in");
    Save(tmp / "in" / "aa.bin", B("new data"));

    {
        TRawLGPFile writer(path);
        EXPECT_EQ(FailureText([&] { CreateArchive({.Folder = folder, .Output = path}); }), "Cannot open file " + path);
        EXPECT_EQ(Load(path), before);
        EXPECT_THAT(faults::HiddenFiles(tmp.dir()), ::testing::IsEmpty());
    }

    std::vector<std::string> refusals;
    {
        const ScopedProgressHook hook(
            [&](std::int32_t, std::int32_t) { refusals.push_back(FailureText([&] { PackArchive(path); })); });
        CreateArchive({.Folder = folder, .Output = path});
    }
    ASSERT_FALSE(refusals.empty());
    for (const std::string& refusal : refusals)
        EXPECT_EQ(refusal, "Cannot open file " + path);
    EXPECT_EQ(TLGPFile(path, true).GetEntry(0).Name, "aa.bin");
}

// A hole (zero bytes, as a sparse file reads) is free space: the editor keeps
// no record per 24 bytes of it, holds at most TrailingHeldMax bytes of a long
// trailing text, and its writes move such a text in blocks, byte for byte.
TEST(Holes, zeroBytesAreFreeSpaceAndLongTrailingTextsStayInTheFile)
{
    TempFolder tmp;
    const Archive sample = ArchiveOf({{"a", Pattern(100, 1)}, {"b", Pattern(200, 2)}});
    const Written laid = Lay(sample);
    const std::int64_t hole = 16 << 20;
    const std::int32_t bAt = laid.Positions[1];

    // a, a hole of 16 MB, b: the hole is passed over, b found behind it.
    Bytes head(laid.Content.begin(), laid.Content.begin() + bAt);
    PutI32(head, 16 + 27 + 20, static_cast<std::int32_t>(bAt + hole));
    const std::string path = tmp.save("hole.lgp", head);
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(bAt + hole));
    {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        const Bytes rest(laid.Content.begin() + bAt, laid.Content.end());
        out.write(reinterpret_cast<const char*>(rest.data()), std::streamsize(rest.size()));
    }
    {
        TRawLGPFile raw(path);
        ASSERT_EQ(raw.DataCount(), 2);
        EXPECT_EQ(raw.GetDataEntry(1).Position, bAt + hole);
        EXPECT_EQ(raw.TrailingText(), B("FINAL FANTASY7"));
    }
    PackArchive(path);
    EXPECT_EQ(Load(path), laid.Content);

    // A trailing text of 16 MB: a text, a hole, a text. Append and Pack move
    // it byte for byte.
    const std::string text = "FINAL FANTASY7 - modded by X";
    Bytes body = laid.Content;
    body.resize(body.size() - 14);
    const auto dataEnd = static_cast<std::int64_t>(body.size());
    body.insert(body.end(), text.begin(), text.end());
    const std::string longPath = tmp.save("tail.lgp", body);
    std::filesystem::resize_file(longPath, body.size() + std::uintmax_t(hole));
    {
        std::ofstream out(longPath, std::ios::binary | std::ios::app);
        out << "END";
    }
    const std::int64_t trailingSize = static_cast<std::int64_t>(text.size()) + hole + 3;
    const auto endOf = [](const std::string& p, std::int64_t from) {
        std::ifstream in(p, std::ios::binary);
        in.seekg(from);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    };
    const Bytes trailing = endOf(longPath, dataEnd);
    ASSERT_EQ(static_cast<std::int64_t>(trailing.size()), trailingSize);
    const Bytes added = Pattern(300, 9);
    {
        TRawLGPFile raw(longPath);
        ASSERT_EQ(raw.DataCount(), 2);
        EXPECT_EQ(raw.TrailingSize(), trailingSize);
        EXPECT_EQ(static_cast<std::int64_t>(raw.TrailingText().size()), TRawLGPFile::TrailingHeldMax);
        const std::int32_t index = raw.AppendDataEntry(NewData("c", added));
        EXPECT_EQ(raw.GetDataEntry(index).Position, dataEnd);
        TOCEntry toc = raw.GetTableEntry(1);
        toc.Offset = static_cast<std::int32_t>(dataEnd);
        raw.SetTableEntry(1, toc);
    }
    EXPECT_EQ(endOf(longPath, dataEnd + 24 + 300), trailing);
    const std::vector<std::optional<Bytes>> reached = {Pattern(100, 1), added};
    EXPECT_EQ(Reached(longPath), reached);
    EXPECT_THAT(faults::HiddenFiles(tmp.dir()), ::testing::IsEmpty());
    // Pack drops b's old data and moves c over it; the text follows.
    PackArchive(longPath);
    EXPECT_EQ(Reached(longPath), reached);
    const std::int64_t packedEnd = DataStart(sample) + 2 * 24 + 100 + 300;
    EXPECT_EQ(static_cast<std::int64_t>(std::filesystem::file_size(longPath)), packedEnd + trailingSize);
    EXPECT_EQ(endOf(longPath, packedEnd), trailing);
}

// A run that is stopped leaves its hidden temporary file behind. The next
// writer of the archive deletes those no running process holds and says so;
// Analyse mentions them; a file some writer still holds, or one of another
// archive, is left alone.
TEST(CrashSafety, leftoversOfStoppedRunsAreMentionedAndRemovedByTheNextWrite)
{
    TempFolder tmp;
    const Bytes before = Loose();
    const std::string path = tmp.save("x.lgp", before);
    // A pack ended by the fault seam before it could rename its new file.
    EXPECT_EQ(faults::InChild([&] { PackArchive(path); },
                              [] { Platform::File::Fault::arm(3, Platform::File::Fault::Action::Exit); }),
              Platform::File::Fault::ExitStatus);
    std::vector<std::string> left = faults::HiddenFiles(tmp.dir());
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(Load(path), before);
    Save(tmp / ".x.lgp.held00.tmp", B("a running writer's"));
    const Platform::File::ScopedHandle held(::open(tmp.file(".x.lgp.held00.tmp").c_str(), O_RDONLY));
    ASSERT_EQ(::flock(held.get(), LOCK_EX | LOCK_NB), 0);
    for (const char* other : {".y.lgp.abc123.tmp", ".x.lgp.tmp", ".x.lgp.ABC123.tmp"})
        Save(tmp / other, B("not ours"));

    const std::string line = "Leftover temporary files: 1 (" + left[0]
                             + "), left by runs that were stopped; the next write of the archive removes them.";
    EXPECT_EQ(LeftoverTemporariesLine(path), line);
    EXPECT_THAT(AnalyseArchive(TLGPFile(path, true), "x.lgp"), ::testing::Contains(line));

    std::vector<std::string> notes;
    const TMessageHook previous = MessageHook;
    MessageHook = [&](const std::string& text) { notes.push_back(text); };
    PackArchive(path);
    MessageHook = previous;
    EXPECT_THAT(notes, ::testing::ElementsAre("Removed 1 temporary file that stopped runs had left beside " + path
                                              + ": " + left[0] + "."));
    EXPECT_THAT(
        faults::HiddenFiles(tmp.dir()),
        ::testing::UnorderedElementsAre(".x.lgp.held00.tmp", ".y.lgp.abc123.tmp", ".x.lgp.tmp", ".x.lgp.ABC123.tmp"));
    EXPECT_EQ(LeftoverTemporariesLine(path), "");
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
    EXPECT_EQ(Platform::File::Fault::count(Platform::File::Fault::Counted::DiskWait), 0);
    for (const auto& file : Entries(first))
        ASSERT_EQ(Load(out + file.Name), file.Data) << file.Name;
    EXPECT_THAT(faults::HiddenFiles(out), ::testing::IsEmpty());

    // Over the same files: each batch of replacements goes on the disk with one
    // sync before the files take their names (1,024 files to a batch).
    const Bytes second = ManySmallFiles(1100, 9);
    const TLGPFile again = TLGPFile::Held(tmp.save("b.lgp", second), true);
    Platform::File::Fault::resetCounts();
    ExtractAllEntries(again, out, EveryEntry(again));
    EXPECT_EQ(Platform::File::Fault::count(Platform::File::Fault::Counted::DiskWait), 2);
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

TEST(ExtractAll, readsEachLengthWithItsDataWhenTheIndexHoldsNone)
{
    TempFolder tmp;
    const Bytes bytes = ManySmallFiles(5, 1);
    const TLGPFile archive = TLGPFile::Held(tmp.save("a.lgp", bytes), false);
    const std::string out = tmp.folder("out");
    ExtractAllEntries(archive, out, EveryEntry(archive));
    for (const auto& file : Entries(bytes))
        EXPECT_EQ(Load(out + file.Name), file.Data) << file.Name;

    // What the lengths would have refused stops the run where it stands: an
    // Offset with no room for a header, a negative Length.
    Bytes badOffset = bytes;
    PutI32(badOffset, 16 + 27 * 2 + 20, static_cast<std::int32_t>(bytes.size()) - 10);
    const TLGPFile offset = TLGPFile::Held(tmp.save("offset.lgp", badOffset), false);
    const std::string first = tmp.folder("first");
    EXPECT_EQ(FailureText([&] { ExtractAllEntries(offset, first, EveryEntry(offset)); }),
              "LGP TOC has invalid offset! 2 of 5 files were written to " + first + " before the failure.");
    Bytes badLength = bytes;
    PutI32(badLength, std::size_t(TocOffset(bytes, 3)) + 20, -1);
    const TLGPFile length = TLGPFile::Held(tmp.save("length.lgp", badLength), false);
    const std::string second = tmp.folder("second");
    EXPECT_EQ(FailureText([&] { ExtractAllEntries(length, second, EveryEntry(length)); }),
              "Stream read error. 3 of 5 files were written to " + second + " before the failure.");
}

// Into a new folder, each file is written with no name and named once whole:
// a run killed or failing at any call leaves whole files and nothing else,
// not even a hidden one.
TEST(CrashSafety, extractAllIntoANewFolderLeavesWholeFilesAndNothingHidden)
{
    TempFolder tmp;
    const Bytes bytes = ManySmallFiles(6, 40);
    const TLGPFile archive = TLGPFile::Held(tmp.save("a.lgp", bytes), true);
    const std::string out = tmp.file("out");
    for (const Action action : {Action::Fail, Action::Exit})
    {
        const int calls = faults::AtEveryCall(
            action,
            [&] {
                std::filesystem::remove_all(out);
                std::filesystem::create_directory(out);
            },
            [&] { ExtractAllEntries(archive, out, EveryEntry(archive)); },
            [&](Outcome outcome) {
                std::size_t whole = 0;
                for (const auto& file : Entries(bytes))
                {
                    if (!std::filesystem::exists(out + "/" + file.Name))
                        continue;
                    EXPECT_EQ(Load(out + "/" + file.Name), file.Data) << file.Name;
                    ++whole;
                }
                EXPECT_THAT(faults::HiddenFiles(out), ::testing::IsEmpty());
                EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), {}), std::ptrdiff_t(whole));
                if (outcome == Outcome::Completed)
                {
                    EXPECT_EQ(whole, 6u);
                }
            });
        // A new file, its data and its name: three calls each.
        EXPECT_EQ(calls, 6 * 3);
    }
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
