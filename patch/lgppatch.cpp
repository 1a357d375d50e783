// Patch files: building them from a folder of difference files, and applying
// them to an archive in place.

#include "lgppatch.h"

#include "DebugLog.h"
#include "FFLZs.h"
#include "errors/errors.h"
#include "lgppatch_copies.h"
#include "platform/paths.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace
{
    // The data entry Name a written entry carries: the replaced entry's Name
    // plus ".patch". A Name field holds 19 characters and the NUL, so a name
    // with no room for the suffix is cut to make room; the TOC entry finds its
    // data by Offset, not by this name.
    NameField patchedName(const NameField& replaced) { return PatchedDataName(replaced); }

    // What the user reads of new data too large for an archive entry.
    constexpr const char* PatchedDataText = "The patched data";

    // The new contents from the old ones and the difference data, both
    // LZS-decoded when they pass the probe; the result is then stored as
    // literal-only LZS.
    std::vector<std::uint8_t> patchedBytes(std::vector<std::uint8_t> oldBytes, std::vector<std::uint8_t> diffBytes)
    {
        bool lzs = false;
        if (LooksLikeLzs(oldBytes))
        {
            oldBytes = LzsDecode(oldBytes);
            lzs = true;
        }
        if (LooksLikeLzs(diffBytes))
        {
            diffBytes = LzsDecode(diffBytes);
            lzs = true;
        }
        std::vector<std::uint8_t> newBytes = ApplyDifference(oldBytes, diffBytes);
        if (lzs)
            newBytes = LzsEncodeLiterals(newBytes);
        return newBytes;
    }

    [[noreturn]] void failTooLarge(const TRawLGPFile& archive)
    {
        lgp::Fail("Applying the patch would make the archive " + archive.FileName()
                  + " larger than 2,147,483,647 bytes. Nothing was changed.");
    }

    // Which patch entry each TOC entry of the archive takes (-1: none), and
    // how the user reads each TOC entry (its FOLDER/NAME where the name repeats).
    struct PatchMatches
    {
        std::vector<std::int32_t> Entries;
        std::vector<std::string> Labels;
    };

    // A difference for a name goes to the archive's one copy of it; a
    // difference for a copy goes to the copy of the same key. A difference for
    // a name that the archive holds several times can't be placed: the patch
    // is refused before anything is written, rather than give every copy the
    // changes of one.
    PatchMatches matchPatchEntries(TRawLGPFile& archive, const TLGPFile& patch)
    {
        const std::vector<std::optional<std::string>> patchKeys = ReadPatchCopyKeys(ReadArchiveLookupView(patch));
        struct ForName
        {
            std::int32_t Plain = -1; // the first entry for the name
            std::vector<std::int32_t> Copies;
        };
        std::unordered_map<std::string, ForName> byName;
        for (std::int32_t p = 0; p < static_cast<std::int32_t>(patchKeys.size()); ++p)
        {
            ForName& entries = byName[UpperAscii(patch.GetEntry(p).Name)];
            if (patchKeys[std::size_t(p)])
                entries.Copies.push_back(p);
            else if (entries.Plain < 0)
                entries.Plain = p;
        }

        // The archive's conflict table is read only when copies are to be
        // told apart: some name repeats, or the patch names copies.
        ArchiveLookupView view;
        bool needTable =
            std::any_of(patchKeys.begin(), patchKeys.end(), [](const auto& key) { return key.has_value(); });
        std::unordered_set<std::string> seen;
        for (std::int32_t i = 0; i < archive.FileCount(); ++i)
        {
            const TOCEntry toc = archive.GetTableEntry(i);
            view.Names.push_back(toc.NameString());
            view.Conflicts.push_back(toc.Reserved);
            needTable = !seen.insert(UpperAscii(view.Names.back())).second || needTable;
        }
        if (needTable)
            view = ReadArchiveLookupView(archive.File().Source());
        const ArchiveCopies copies = ReadArchiveCopies(view);
        PatchMatches matches;
        const std::int32_t count = archive.FileCount();
        matches.Entries.assign(std::size_t(count), -1);
        matches.Labels = copies.Labels;
        matches.Labels.resize(std::size_t(count));
        std::vector<std::string> unplaced;
        std::unordered_map<std::string, std::vector<std::string>> copiesOf;
        for (std::int32_t i = 0; i < count && std::size_t(i) < copies.Keys.size(); ++i)
        {
            const std::string name = UpperAscii(archive.GetTableEntry(i).NameString());
            const auto found = byName.find(name);
            if (found == byName.end())
                continue;
            const ForName& entries = found->second;
            if (entries.Plain >= 0)
            {
                if (!copies.Repeated[std::size_t(i)])
                    matches.Entries[std::size_t(i)] = entries.Plain;
                else if (copiesOf[name].empty())
                    unplaced.push_back(name);
                if (copies.Repeated[std::size_t(i)])
                    copiesOf[name].push_back(copies.Labels[std::size_t(i)]);
                continue;
            }
            for (const std::int32_t p : entries.Copies)
            {
                if (SameCopyKey(*patchKeys[std::size_t(p)], copies.Keys[std::size_t(i)]))
                {
                    matches.Entries[std::size_t(i)] = p;
                    break;
                }
            }
        }
        if (!unplaced.empty())
        {
            const std::string& name = unplaced.front();
            std::string list;
            for (const std::string& label : copiesOf[name])
                list += (list.empty() ? "" : ", ") + label;
            lgp::Fail("The patch changes \"" + patch.GetEntry(byName[name].Plain).Name
                      + "\" without saying which copy of the name it is for, and the archive " + archive.FileName()
                      + " holds " + std::to_string(copiesOf[name].size()) + " copies of it (" + list
                      + "). Nothing was changed.");
        }
        return matches;
    }
}

static void checkPatchApplies(TRawLGPFile& archive, const TLGPFile& patch, const PatchMatches& matches,
                              bool allowOverwrite)
{
    // A model of the data list as ApplyPatch leaves it after each TOC entry:
    // lengths and rooms after rewrites, entries appended at the end.
    // Appends go behind the last entry, so the model stays in Position order
    // and TRawLGPFile::DataIndexAt answers for it as for the archive.
    std::vector<RawDataEntry> model;
    model.reserve(static_cast<std::size_t>(archive.DataCount()));
    for (std::int32_t k = 0; k < archive.DataCount(); ++k)
        model.push_back(archive.GetDataEntry(k));
    const auto trailing = static_cast<std::int64_t>(archive.TrailingText().size());

    // TOC entries per Offset: where one data entry is reached by several, the
    // later ones read what the earlier ones wrote, so that is kept.
    const std::int32_t count = archive.FileCount();
    std::unordered_map<std::int32_t, std::int32_t> readers;
    for (std::int32_t i = 0; i < count; ++i)
        ++readers[archive.GetTableEntry(i).Offset];
    std::unordered_map<std::int32_t, std::vector<std::uint8_t>> written; // by data index

    for (std::int32_t i = 0; i < count; ++i)
    {
        const TOCEntry toc = archive.GetTableEntry(i);
        --readers[toc.Offset];
        const std::int32_t patchIndex = matches.Entries[std::size_t(i)];
        if (patchIndex < 0)
            continue;
        const std::int32_t dataIndex = TRawLGPFile::DataIndexAt(model, toc.Offset);
        if (dataIndex < 0)
            continue;

        std::vector<std::uint8_t> newBytes;
        try
        {
            TMemoryStream difference;
            patch.ReadEntryData(patchIndex, difference);
            std::vector<std::uint8_t> oldBytes;
            if (const auto done = written.find(dataIndex); done != written.end())
                oldBytes = done->second;
            else
            {
                TMemoryStream oldData;
                archive.ReadEntryData(i, oldData);
                oldBytes = oldData.TakeBytes();
            }
            newBytes = patchedBytes(oldBytes, difference.TakeBytes());
            // ApplyPatch appends nothing for data that is already patched.
            if (!allowOverwrite && newBytes == oldBytes)
                continue;
        }
        catch (const ELGPError& e)
        {
            lgp::Fail("The patch entry \"" + patch.GetEntry(patchIndex).Name + "\" can't be applied to \""
                      + matches.Labels[std::size_t(i)] + "\" in " + archive.FileName() + ": " + e.what()
                      + ". The patch is damaged or was made for other data; nothing was changed.");
        }
        const std::int32_t length = NewDataEntry({}, newBytes, PatchedDataText).Length;

        RawDataEntry& held = model[static_cast<std::size_t>(dataIndex)];
        const bool last = static_cast<std::size_t>(dataIndex) == model.size() - 1;
        if (allowOverwrite && TRawLGPFile::FitsInPlace(archive.Variant(), held, last, length))
        {
            if (!TRawLGPFile::FitsArchiveSize(held.Position, length, trailing))
                failTooLarge(archive);
            held.Length = length;
            if (readers[toc.Offset] > 0)
                written[dataIndex] = std::move(newBytes);
            continue;
        }
        const std::int64_t position = TRawLGPFile::AppendPosition(model);
        if (!TRawLGPFile::FitsArchiveSize(position, length, trailing))
            failTooLarge(archive);
        RawDataEntry appended;
        appended.Length = length;
        const std::int32_t added = TRawLGPFile::RecordAppend(model, position, appended);
        if (readers[static_cast<std::int32_t>(position)] > 0)
            written[added] = std::move(newBytes);
    }
}

void CheckPatchApplies(TRawLGPFile& archive, const TLGPFile& patch, bool allowOverwrite)
{
    checkPatchApplies(archive, patch, matchPatchEntries(archive, patch), allowOverwrite);
}

void CheckPatchFileStructure(const std::string& patchPath)
{
    const auto notAPatch = [&](const std::string& why) { lgp::Fail(patchPath + " is not a patch file: " + why); };
    const ArchiveBytesCheck check = CheckArchiveBytes(ReadWholeFile(patchPath));
    // A negative file count reads as an empty table, judged below.
    if (check.Fault == ArchiveBytesFault::HeaderCut
        || (check.Fault == ArchiveBytesFault::TocOutside && check.FileCount >= 0))
        notAPatch("its table of contents runs past the end of the file.");
    // Every patch this system writes carries its creator; an empty table with
    // any other creator is just as likely a file of another kind.
    if (check.FileCount <= 0 && check.Creator != "QUENWICK-LGP")
        notAPatch("it holds no entries.");
    if (check.Fault == ArchiveBytesFault::OffsetOutside || check.Fault == ArchiveBytesFault::DataOutside)
        notAPatch("the data of its entry \"" + check.EntryName + "\" does not lie inside the file.");
}

std::string PatchTemplatePath() { return Platform::Paths::programDir() + "LGP.95"; }

void BuildPatchArchive(const std::string& folder, const std::string& output, bool deleteSources)
{
    BuildPatchArchive(folder, output, deleteSources, PatchTemplatePath());
}

void BuildPatchArchive(const std::string& folder, const std::string& output, bool deleteSources,
                       const std::string& templatePath)
{
    BuildPatchArchive(folder, {}, output, deleteSources, templatePath);
}

void BuildPatchArchive(const std::string& folder, const std::vector<PatchCopyFile>& copies, const std::string& output,
                       bool deleteSources, const std::string& templatePath)
{
    std::vector<std::uint8_t> validation;
    try
    {
        validation = ReadWholeFile(templatePath);
    }
    catch (const ELGPError&)
    {
        throw EMissingTemplate(templatePath);
    }

    ArchiveBuildOptions options;
    options.Folder = folder;
    options.Output = output;
    options.DeleteSources = deleteSources;
    options.CreatorField = {'Q', 'U', 'E', 'N', 'W', 'I', 'C', 'K', '-', 'L', 'G', 'P'};
    options.TrailingText = "LGP PATCH FILE";
    if (!copies.empty())
    {
        std::vector<std::string> files = ListArchiveFolder(folder, output);
        std::vector<std::string> names;
        std::vector<std::optional<std::string>> keys;
        const auto fileName = [](const std::string& path) { return path.substr(path.find_last_of('/') + 1); };
        for (const std::string& path : files)
        {
            names.push_back(fileName(path));
            keys.emplace_back();
        }
        for (const PatchCopyFile& copy : copies)
        {
            files.push_back(copy.Path);
            names.push_back(fileName(copy.Path));
            keys.emplace_back(copy.Key);
        }
        PatchCopyLayout layout = LayPatchCopies(validation, names, keys);
        validation = std::move(layout.Validation);
        std::vector<BuildEntry> entries;
        entries.reserve(files.size());
        for (std::size_t i = 0; i < files.size(); ++i)
            entries.push_back({.Path = files[i], .Name = FieldFromName(names[i]), .Conflict = layout.TocFields[i]});
        options.Entries = std::move(entries);
    }
    options.ValidationData = std::move(validation);
    options.ReportProgress = false;
    BuildArchive(options);
}

std::vector<std::string> PatchNamesNotHeld(const TRawLGPFile& archive, const TLGPFile& patch)
{
    std::unordered_set<std::string> held;
    for (std::int32_t i = 0; i < archive.FileCount(); ++i)
        held.insert(UpperAscii(archive.GetTableEntry(i).NameString()));
    std::vector<std::string> missing;
    for (std::int32_t j = 0; j < patch.FileCount(); ++j)
        if (!held.contains(UpperAscii(patch.GetEntry(j).Name)))
            missing.push_back(patch.GetEntry(j).Name);
    return missing;
}

// The changes of ApplyPatch, entry by entry; adds what it did to report.
static void applyEntries(TRawLGPFile& archive, const TLGPFile& patch, const PatchMatches& matches, bool allowOverwrite,
                         PatchReport& report)
{
    const std::int32_t count = archive.FileCount();
    for (std::int32_t i = 0; i < count; ++i)
    {
        TOCEntry toc = archive.GetTableEntry(i);
        const std::int32_t patchIndex = matches.Entries[std::size_t(i)];
        if (patchIndex < 0)
        {
            DebugLog("No matching file in patch for " + UpperAscii(matches.Labels[std::size_t(i)]));
            continue;
        }

        // New data only ever replaces a data entry the scan found; a TOC entry
        // pointing anywhere else is left as it is (looked up before reading,
        // so a stray Offset can't end the run half-way).
        const std::int32_t dataIndex = archive.DataIndexAt(toc.Offset);
        if (dataIndex < 0)
            continue;

        TMemoryStream difference;
        patch.ReadEntryData(patchIndex, difference);
        TMemoryStream oldData;
        archive.ReadEntryData(i, oldData);
        const std::vector<std::uint8_t> oldBytes = oldData.TakeBytes();
        std::vector<std::uint8_t> newBytes = patchedBytes(oldBytes, difference.TakeBytes());
        // Appending the data an earlier run already appended would only grow
        // the archive by the patch with every run.
        if (!allowOverwrite && newBytes == oldBytes)
        {
            ++report.AlreadyPatched;
            continue;
        }
        ++report.Patched;

        const RawDataEntry record =
            NewDataEntry(patchedName(archive.GetDataEntry(dataIndex).Name), newBytes, PatchedDataText);

        if (allowOverwrite && archive.RewriteDataEntry(dataIndex, record))
            continue;

        const std::int32_t appended = archive.AppendDataEntry(record);
        toc.Offset = archive.GetDataEntry(appended).Position;
        archive.SetTableEntry(i, toc);
    }
}

PatchReport ApplyPatch(TRawLGPFile& archive, const TLGPFile& patch, bool allowOverwrite)
{
    // Nothing is written, not even the copy below, unless every TOC entry's
    // data is where the scan found it, the archive holds a file of the patch
    // (a player who picked the wrong archive must not believe the mod is
    // installed) and every entry of the patch applies.
    archive.RequireScannedTableOffsets();
    // A patch of two identical versions holds nothing to apply: that is said
    // as such, and is no success either.
    if (patch.FileCount() <= 0)
        lgp::Fail("This patch holds no files; nothing was changed.");
    const PatchMatches matches = matchPatchEntries(archive, patch);
    PatchReport report;
    report.NotHeld = PatchNamesNotHeld(archive, patch);
    if (std::none_of(matches.Entries.begin(), matches.Entries.end(), [](std::int32_t p) { return p >= 0; }))
        lgp::Fail(archive.FileName() + " holds none of this patch's files; nothing was changed.");
    checkPatchApplies(archive, patch, matches, allowOverwrite);
    // Every change goes to a copy of the archive that replaces it in one step:
    // killed part-way, the archive is the old one or the patched one.
    archive.RewriteAtomically([&] { applyEntries(archive, patch, matches, allowOverwrite, report); });
    return report;
}
