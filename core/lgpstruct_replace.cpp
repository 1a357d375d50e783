// Replacing one entry's data in place: the advanced editor's append and link
// done in one step, with the rewrite-in-place rule of patch application.

#include "lgplookup.h"
#include "lgpstruct.h"
#include "lgpstruct_internal.h"

#include <algorithm>
#include <filesystem>
#include <unordered_map>

bool ReplaceEntryData(TRawLGPFile& archive, const std::string& name, std::span<const std::uint8_t> data)
{
    const std::int32_t tableIndex = ResolveEntryName(LookupViewOf(archive), name, EntryUse::Change);
    return ReplaceEntryDataAt(archive, tableIndex, data, name);
}

bool ReplaceEntryDataAt(TRawLGPFile& archive, std::int32_t tableIndex, std::span<const std::uint8_t> data,
                        const std::string& label)
{
    // The same refusal as Pack and Apply Patch: an append behind a damaged
    // entry would move the data that later TOC entries reach.
    archive.RequireScannedTableOffsets();
    TOCEntry toc = archive.GetTableEntry(tableIndex);
    RawDataEntry record =
        NewDataEntry(toc.Name, data, "The file for \"" + (label.empty() ? toc.NameString() : label) + "\"");

    // Rewriting a data entry that another table entry also points at would
    // change that entry too; such data is left alone and the new data appended.
    bool shared = false;
    for (std::int32_t i = 0; i < archive.FileCount() && !shared; ++i)
        shared = i != tableIndex && archive.GetTableEntry(i).Offset == toc.Offset;
    const std::int32_t held = shared ? -1 : archive.DataIndexAt(toc.Offset);
    if (held >= 0)
    {
        record.Name = archive.GetDataEntry(held).Name;
        if (archive.RewriteDataEntry(held, record))
            return true;
        record.Name = toc.Name;
    }

    const std::int32_t appended = archive.AppendDataEntry(record);
    toc.Offset = archive.GetDataEntry(appended).Position;
    try
    {
        archive.SetTableEntry(tableIndex, toc);
    }
    catch (const EWriteError& e)
    {
        // The append stands (complete and synced); say so rather than "Nothing was changed".
        throw EWriteError(e.Headline,
                          e.Detail + " The new data was appended to the archive, but the table entry of \""
                              + (label.empty() ? toc.NameString() : label)
                              + "\" was not pointed at it: the entry still reads its old data (Pack drops the new).",
                          e.ErrorCode);
    }
    return false;
}

// ---------------------------------------------------------------------------
// Replacing many entries in one rewrite

using namespace lgp::detail;

namespace
{
    // Matches names to entries, collecting what nothing matches and what is
    // refused, so that one refusal can list every reason.
    class Planner
    {
    public:
        explicit Planner(const ArchiveLookupView& archive)
            : mNames(archive)
            , mTaken(archive.Names.size(), -1)
        {
        }

        void Add(const std::string& name, const std::string& file)
        {
            if (!mNames.Names(name))
            {
                Unmatched(name);
                return;
            }
            try
            {
                const std::int32_t index = mNames.Resolve(name, EntryUse::Change);
                std::int32_t& taken = mTaken[std::size_t(index)];
                if (taken >= 0)
                {
                    const EntryReplacement& first = mPlan.Replacements[std::size_t(taken)];
                    mRefusals.push_back("\"" + first.Name + "\" and \"" + name + "\" both name TOC entry "
                                        + std::to_string(index + 1) + ".");
                    return;
                }
                taken = static_cast<std::int32_t>(mPlan.Replacements.size());
                mPlan.Replacements.push_back({index, name, file});
            }
            catch (const ELGPError& e)
            {
                mRefusals.push_back(e.what());
            }
        }

        void Unmatched(const std::string& name) { mPlan.Unmatched.push_back(name); }

        ReplacePlan Finish()
        {
            if (!mRefusals.empty())
            {
                std::string text;
                for (const std::string& refusal : mRefusals)
                    text += refusal + " ";
                lgp::Fail(text + "Nothing was changed.");
            }
            std::sort(mPlan.Replacements.begin(), mPlan.Replacements.end(),
                      [](const EntryReplacement& a, const EntryReplacement& b) { return a.Index < b.Index; });
            return std::move(mPlan);
        }

    private:
        TEntryNameIndex mNames;
        std::vector<std::int32_t> mTaken; // per TOC entry: its place in the plan, or -1
        ReplacePlan mPlan;
        std::vector<std::string> mRefusals;
    };
} // namespace

ReplacePlan PlanReplaceFromFolder(const ArchiveLookupView& archive, const std::string& folder)
{
    namespace fs = std::filesystem;
    // The files of the folder and of its sub-folders, relative to it, with
    // '/' between. Extract All writes no deeper than one folder: a folder
    // further down is not walked (it could be any size) but named whole, with
    // a '/' at its end, among what matches nothing.
    std::vector<std::pair<std::string, std::string>> files; // relative, path ("" for a deeper folder)
    std::error_code ec;
    const fs::path root(folder);
    fs::recursive_directory_iterator it(root, ec);
    if (ec)
        lgp::FailOpen(folder);
    for (; it != fs::recursive_directory_iterator(); it.increment(ec))
    {
        if (ec)
            lgp::FailOpen(folder);
        std::error_code kind;
        const std::string relative = it->path().lexically_relative(root).generic_string();
        if (it.depth() >= 1 && it->is_directory(kind) && !it->is_symlink(kind))
        {
            it.disable_recursion_pending();
            files.emplace_back(relative + "/", std::string());
        }
        else if (it->is_regular_file(kind))
            files.emplace_back(relative, it->path().string());
    }
    if (ec)
        lgp::FailOpen(folder);
    std::sort(files.begin(), files.end());
    Planner planner(archive);
    for (const auto& [relative, path] : files)
    {
        if (path.empty())
            planner.Unmatched(relative);
        else
            planner.Add(relative, path);
    }
    return planner.Finish();
}

ReplacePlan PlanReplacePairs(const ArchiveLookupView& archive,
                             const std::vector<std::pair<std::string, std::string>>& pairs)
{
    Planner planner(archive);
    for (const auto& [name, file] : pairs)
        planner.Add(name, file);
    return planner.Finish();
}

void ReplaceEntries(TRawLGPFile& raw, std::span<const EntryReplacement> replacements)
{
    using Platform::File::Access;
    using Platform::File::Share;
    // The same refusal as Pack: the new archive keeps only what the scan found.
    raw.RequireScannedTableOffsets();
    if (replacements.empty())
        return;
    const std::string& path = raw.FileName();
    const std::int32_t count = std::max<std::int32_t>(raw.FileCount(), 0);

    // Every file checked before anything is written: readable, not the
    // archive, small enough; its size fixes the layout.
    std::vector<std::int32_t> replacing(std::size_t(count), -1);
    std::vector<std::int64_t> sizes;
    for (std::size_t r = 0; r < replacements.size(); ++r)
    {
        const EntryReplacement& replacement = replacements[r];
        if (replacement.Index < 0 || replacement.Index >= count)
            lgp::FailListIndex(replacement.Index);
        if (replacing[std::size_t(replacement.Index)] >= 0)
            lgp::Fail("\"" + replacements[std::size_t(replacing[std::size_t(replacement.Index)])].Name + "\" and \""
                      + replacement.Name + "\" both name TOC entry " + std::to_string(replacement.Index + 1)
                      + ". Nothing was changed.");
        replacing[std::size_t(replacement.Index)] = static_cast<std::int32_t>(r);
        RequireOutputIsNoInput(path, std::span(&replacement.File, 1));
        const TFileSource file(Platform::File::open(replacement.File, Access::Read, Share::DenyNone));
        if (!file.Handle().valid())
            lgp::FailOpen(replacement.File);
        const std::int64_t size = file.Size();
        if (size > WholeFileMax)
            lgp::Fail(replacement.File + " is " + std::to_string(size)
                      + " bytes long, more than the 2,147,483,647 bytes an archive can address. Nothing was changed.");
        sizes.push_back(size);
    }

    // The layout, as Pack plans it, with each replaced entry's new data
    // where its old data was.
    struct Piece
    {
        std::int64_t To = 0;
        std::int64_t Size = 0;      // the whole data entry, header included
        std::int64_t From = -1;     // old data at this position of the archive, or
        std::int32_t Replaced = -1; // the new data of this replacement
        NameField Name{};           // its header's name (new data only)
    };
    std::vector<TOCEntry> toc(static_cast<std::size_t>(count));
    std::unordered_map<std::int32_t, std::vector<std::int32_t>> byOffset;
    byOffset.reserve(std::size_t(count));
    for (std::int32_t k = 0; k < count; ++k)
    {
        toc[std::size_t(k)] = raw.GetTableEntry(k);
        byOffset[toc[std::size_t(k)].Offset].push_back(k);
    }
    TFileStream& stream = raw.File();
    const TFileSource& archive = stream.Source();
    const std::int64_t fileSize = stream.Size();
    const std::int32_t dataCount = raw.DataCount();
    const std::int64_t start = dataCount > 0 ? raw.GetDataEntry(0).Position : fileSize - raw.TrailingSize();
    std::vector<Piece> pieces;
    std::int64_t w = start;
    const auto addNew = [&](std::int32_t tableIndex, const NameField& name) {
        const std::int32_t r = replacing[std::size_t(tableIndex)];
        pieces.push_back({w, DataHeaderSize + sizes[std::size_t(r)], -1, r, name});
        toc[std::size_t(tableIndex)].Offset = static_cast<std::int32_t>(std::min<std::int64_t>(w, MaxArchiveSize));
        w += pieces.back().Size;
    };
    for (std::int32_t k = 0; k < dataCount; ++k)
    {
        const RawDataEntry data = raw.GetDataEntry(k);
        const auto found = byOffset.find(data.Position);
        if (found == byOffset.end())
            continue;
        const std::vector<std::int32_t>& users = found->second;
        const bool kept =
            std::any_of(users.begin(), users.end(), [&](std::int32_t i) { return replacing[std::size_t(i)] < 0; });
        if (kept)
        {
            const std::int64_t entrySize = DataHeaderSize + std::int64_t(data.Length);
            // An entry that runs past the end of the file can't be read whole.
            if (data.Position + entrySize > fileSize)
                lgp::FailRead();
            // Entries that lie one after the other stay one copy.
            if (!pieces.empty() && pieces.back().Replaced < 0
                && pieces.back().From + pieces.back().Size == data.Position)
                pieces.back().Size += entrySize;
            else
                pieces.push_back({w, entrySize, data.Position, -1, {}});
            for (const std::int32_t i : users)
                if (replacing[std::size_t(i)] < 0)
                    toc[std::size_t(i)].Offset = static_cast<std::int32_t>(std::min<std::int64_t>(w, MaxArchiveSize));
            w += entrySize;
        }
        for (const std::int32_t i : users)
            if (replacing[std::size_t(i)] >= 0)
                addNew(i, users.size() == 1 ? data.Name : toc[std::size_t(i)].Name);
        byOffset.erase(found);
    }
    // Replaced entries whose Offset reached no data entry get theirs behind the rest.
    for (std::int32_t k = 0; k < count; ++k)
        if (replacing[std::size_t(k)] >= 0 && byOffset.count(raw.GetTableEntry(k).Offset) != 0)
            addNew(k, toc[std::size_t(k)].Name);
    const std::int64_t newSize = w + raw.TrailingSize();
    if (newSize > MaxArchiveSize)
        lgp::Fail("With the new data, " + path + " would be " + std::to_string(newSize)
                  + " bytes long, more than the 2,147,483,647 bytes an archive can address. Nothing was changed.");

    ArchiveReplacement replacement(path, archive.Handle(), newSize);
    TFileSource& out = replacement.File();
    WriteHeadWithToc(archive, out, start, toc);
    const auto total = static_cast<std::int32_t>(pieces.size());
    for (std::int32_t p = 0; p < total; ++p)
    {
        ReportProgress(p, total);
        const Piece& piece = pieces[std::size_t(p)];
        if (piece.Replaced < 0)
        {
            CopyBytes(archive, piece.From, out, piece.To, piece.Size);
            continue;
        }
        const EntryReplacement& from = replacements[std::size_t(piece.Replaced)];
        const TFileSource file(Platform::File::open(from.File, Access::Read, Share::DenyNone));
        if (!file.Handle().valid())
            lgp::FailOpen(from.File);
        const std::int64_t length = piece.Size - DataHeaderSize;
        // A file that changed its size since it was measured would shift the entries behind it.
        if (file.Size() != length)
            lgp::Fail(from.File + " changed while the archive was rewritten. Nothing was changed.");
        std::uint8_t header[DataHeaderSize];
        EncodeDataHeader(piece.Name, static_cast<std::int32_t>(length), header);
        out.WriteAt(piece.To, header, sizeof header);
        CopyBytes(file, 0, out, piece.To + DataHeaderSize, length);
    }
    raw.CopyTrailingText(out, w);
    // The archive stays open (and locked) until its new version has its name.
    ScopedHandle original = stream.ExchangeHandle(ScopedHandle());
    replacement.Commit(out, original);
    ReportProgress(total, total);
}
