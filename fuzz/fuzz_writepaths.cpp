// The write paths: from the input, a scratch archive (plain and LZS entries,
// shared offsets, a long or short trailing text) and a patch (made by our own
// creator or taken raw from the input, so often damaged), then a sequence of
// in-place commands: Apply Patch (both editor variants, in place and append
// only), append and link, rewrite, truncate, Repair and Pack. After each
// command every TOC entry that read before still reads, whole (the same bytes,
// or the bytes the command meant to give it), or the command failed and the
// file is byte for byte as it was.

#include "core/lgpstruct.h"
#include "patch/FFLZs.h"
#include "patch/lgppatch.h"
#include "support/lgpwriter.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
    namespace fs = std::filesystem;
    using Bytes = std::vector<std::uint8_t>;

    std::string gFolder;

    class Input
    {
    public:
        Input(const std::uint8_t* data, std::size_t size)
            : mData(data)
            , mSize(size)
        {
        }
        std::uint8_t byte() { return mPos < mSize ? mData[mPos++] : 0; }
        Bytes bytes(std::size_t n)
        {
            Bytes out;
            while (n-- > 0 && mPos < mSize)
                out.push_back(mData[mPos++]);
            return out;
        }
        bool done() const { return mPos >= mSize; }

    private:
        const std::uint8_t* mData;
        std::size_t mSize;
        std::size_t mPos = 0;
    };

    void writeFile(const std::string& path, const Bytes& bytes)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    Bytes readFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    // What each TOC entry reads now (none where it can't be read whole).
    std::vector<std::optional<Bytes>> readAll(const std::string& path)
    {
        std::vector<std::optional<Bytes>> out;
        try
        {
            const TLGPFile index(path, true);
            for (std::int32_t i = 0; i < index.FileCount(); ++i)
            {
                try
                {
                    TMemoryStream data;
                    index.ReadEntryData(i, data);
                    out.emplace_back(data.TakeBytes());
                }
                catch (const ELGPError&)
                {
                    out.emplace_back(std::nullopt);
                }
            }
        }
        catch (const ELGPError&)
        {
        }
        return out;
    }

    const char* const Names[] = {"a.bin", "B.TEX", "c.p", "long_name_here.tex", "e.lzs"};

    struct Scratch
    {
        Bytes archive;
        Bytes patch;
        std::vector<std::string> patchNames; // upper-cased
    };

    Scratch build(Input& in)
    {
        testlgp::Archive archive;
        const int n = 1 + in.byte() % 5;
        for (int k = 0; k < n; ++k)
        {
            Bytes data = in.bytes(in.byte() % 64);
            if (k == 4)
                data = LzsEncodeLiterals(data);
            archive.Files.push_back({Names[k], data});
        }
        const std::uint8_t shape = in.byte();
        if (shape & 1)
            archive.Trailing = testlgp::B("FINAL FANTASY7 - modded by X");
        Scratch s;
        s.archive = testlgp::Write(archive);
        // The last TOC entry shares the first one's data.
        if ((shape & 2) && n >= 2)
        {
            const std::size_t last = 16 + 27 * std::size_t(n - 1) + 20;
            std::copy_n(s.archive.begin() + 16 + 20, 4, s.archive.begin() + static_cast<std::ptrdiff_t>(last));
        }

        testlgp::Archive patch;
        patch.Creator = "QUENWICK-LGP";
        patch.Trailing = testlgp::B("LGP PATCH FILE");
        const int m = in.byte() % 4;
        for (int k = 0; k < m; ++k)
        {
            const int target = in.byte() % n;
            Bytes difference;
            if (in.byte() & 1)
            {
                Bytes old = archive.Files[static_cast<std::size_t>(target)].Data;
                if (target == 4)
                    old = LzsDecode(old);
                Bytes changed = old;
                for (auto& b : changed)
                    b = static_cast<std::uint8_t>(b ^ (in.byte() & 0x11));
                difference = MakeDifference(old, changed).value_or(Bytes{0x01, 'z'});
            }
            else
                difference = in.bytes(in.byte() % 32);
            patch.Files.push_back({Names[target], difference});
            s.patchNames.push_back(UpperAscii(Names[target]));
        }
        s.patch = testlgp::Write(patch);
        return s;
    }

    [[noreturn]] void broken(const char* what)
    {
        std::fprintf(stderr, "write path broke the rule: %s\n", what);
        std::abort();
    }
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gFolder = (fs::temp_directory_path() / ("tarrowin-fuzz-writepaths-" + std::to_string(::getpid()))).string();
    fs::create_directories(gFolder);
    if (const char* folder = std::getenv("TARROWIN_WRITE_SEEDS"))
    {
        // Inputs that make well-formed archives and patches with our own
        // creator, then run every command once.
        const Bytes seeds[] = {
            {4,   8,   'a',  'b',  'c',  'd',  'e', 'f', 'g',  'h', 10,  '0', '1', '2', '3', '4', '5', '6', '7',
             '8', '9', 3,    'x',  'y',  'z',  0,   9,   '1',  '2', '3', '4', '5', '6', '7', '8', '9', 2,   2,
             0,   1,   0x11, 0x11, 0x11, 0x11, 1,   1,   0x10, 0,   1,   2,   3,   4,   5,   6,   7},
            {1,   20,  'L', 'Z', 'S', '-', 'd', 'a', 't', 'a',  '-',  'x', 'x',  'x', 'x', 'x', 'x', 'x',
             'x', 'x', 'x', 'x', 3,   1,   0,   0,   4,   0x02, 0x03, 'X', 0x02, 3,   7,   6,   5,   4},
            {2,    16,   'p',  'q',  'r',  's',  't',  'u',  'v',  'w',  'p',  'q',  'r',  's',  't',  'u',
             'v',  'w',  16,   'P',  'Q',  'R',  'S',  'T',  'U',  'V',  'W',  'P',  'Q',  'R',  'S',  'T',
             'U',  'V',  'W',  1,    1,    1,    1,    0x11, 0x10, 0x01, 0x00, 0x11, 0x10, 0x01, 0x00, 0x11,
             0x10, 0x01, 0x00, 0x11, 0x10, 0x01, 0x00, 4,    0,    3,    1,    2,    6,    7},
        };
        int k = 0;
        for (const Bytes& seed : seeds)
            writeFile(std::string(folder) + "/writepaths" + std::to_string(k++), seed);
    }
    std::atexit([] {
        std::error_code ignored;
        fs::remove_all(gFolder, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    const Scratch scratch = build(in);
    // The archive is a file (the commands put new versions in its place by
    // renaming); the patch is read in place.
    const std::string archivePath = gFolder + "/target.lgp";
    writeFile(archivePath, scratch.archive);
    const auto patchBytes = std::make_shared<TMemorySource>(scratch.patch);

    for (int step = 0; step < 6 && !in.done(); ++step)
    {
        const std::uint8_t op = in.byte();
        const std::uint8_t arg = in.byte();
        const Bytes before = readFile(archivePath);
        const std::vector<std::optional<Bytes>> reads = readAll(archivePath);

        // TOC entries whose new contents the command may choose: any whole
        // bytes will do for them; all others must read exactly as before.
        std::vector<bool> free(reads.size(), false);
        // TOC entries whose exact new bytes are known.
        std::vector<std::optional<Bytes>> exact(reads.size());
        // TOC entries the command may leave unreadable (data cut off by truncation).
        std::vector<bool> dropped(reads.size(), false);
        bool failed = false;
        // What a failed command must leave: the file as it was, or for Append
        // then Link (two commands of the editor) the file the Append made.
        std::optional<Bytes> unchangedAs;
        try
        {
            switch (op % 8)
            {
            case 0:
            case 1:
            case 2:
            {
                const TLGPFile patch(patchBytes, "patch.lgp", true);
                TRawLGPFile archive(archivePath, op % 8 == 2 ? RawEditorVariant::Stub : RawEditorVariant::Main);
                // An entry named by the patch, or sharing data with one, may change.
                std::vector<std::int32_t> offsets;
                for (std::int32_t i = 0; i < archive.FileCount(); ++i)
                {
                    const std::string name = UpperAscii(archive.GetTableEntry(i).NameString());
                    for (const auto& p : scratch.patchNames)
                        if (p == name)
                            offsets.push_back(archive.GetTableEntry(i).Offset);
                }
                for (std::int32_t i = 0; i < archive.FileCount(); ++i)
                    for (const std::int32_t o : offsets)
                        free[static_cast<std::size_t>(i)] =
                            free[static_cast<std::size_t>(i)] || archive.GetTableEntry(i).Offset == o;
                ApplyPatch(archive, patch, op % 8 != 1);
                break;
            }
            case 3:
            case 4:
            case 5:
            {
                TRawLGPFile archive(archivePath);
                // The in-place edits keep to archives whose scan covers the TOC,
                // as Pack and Apply Patch do.
                archive.RequireScannedTableOffsets();
                if (archive.DataCount() == 0 || archive.FileCount() <= 0)
                    break;
                const std::int32_t d = arg % archive.DataCount();
                const Bytes bytes(static_cast<std::size_t>(arg % 40), static_cast<std::uint8_t>(arg));
                RawDataEntry entry;
                entry.Name = FieldFromName("NEW");
                entry.Length = static_cast<std::int32_t>(bytes.size());
                entry.Data = bytes;
                const std::int32_t position = archive.GetDataEntry(d).Position;
                if (op % 8 == 3)
                {
                    const std::int32_t t = arg % archive.FileCount();
                    const std::int32_t index = archive.AppendDataEntry(entry);
                    unchangedAs = readFile(archivePath);
                    TOCEntry toc = archive.GetTableEntry(t);
                    toc.Offset = archive.GetDataEntry(index).Position;
                    archive.SetTableEntry(t, toc);
                    exact[static_cast<std::size_t>(t)] = bytes;
                }
                else if (op % 8 == 4)
                {
                    if (archive.RewriteDataEntry(d, entry))
                        for (std::int32_t i = 0; i < archive.FileCount(); ++i)
                            if (archive.GetTableEntry(i).Offset == position)
                                exact[static_cast<std::size_t>(i)] = bytes;
                }
                else
                {
                    for (std::int32_t i = 0; i < archive.FileCount(); ++i)
                        dropped[static_cast<std::size_t>(i)] = archive.GetTableEntry(i).Offset >= position;
                    archive.TruncateData(d);
                }
                break;
            }
            case 6:
                // Repair may point an entry at other data of its name.
                free.assign(free.size(), true);
                RepairArchive(archivePath);
                break;
            default: PackArchive(archivePath); break;
            }
        }
        catch (const ELGPError&)
        {
            failed = true;
        }

        if (failed)
        {
            if (readFile(archivePath) != (unchangedAs ? *unchangedAs : before))
                broken("a failed command changed the file");
            continue;
        }
        const std::vector<std::optional<Bytes>> after = readAll(archivePath);
        if (after.size() != reads.size())
            broken("the TOC changed size");
        for (std::size_t i = 0; i < reads.size(); ++i)
        {
            if (exact[i])
            {
                if (after[i] != exact[i])
                    broken("an entry did not get its new bytes");
                continue;
            }
            if (!reads[i] || dropped[i])
                continue;
            if (!after[i])
                broken("an entry that read before no longer reads");
            if (!free[i] && after[i] != reads[i])
                broken("an entry's bytes changed");
        }
    }
    return 0;
}
