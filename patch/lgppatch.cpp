// Patch files: building them from a folder of difference files, and applying
// them to an archive in place.

#include "lgppatch.h"

#include "DebugLog.h"
#include "FFLZs.h"
#include "core/errors.h"
#include "platform/paths.h"

#include <limits>
#include <unordered_map>

namespace
{
    const char* const PatchSuffix = ".patch";

    // The data entry Name a written entry carries: the replaced entry's Name
    // plus ".patch". A Name field holds 19 characters and the NUL, so a name
    // with no room for the suffix is cut to make room; the TOC entry finds its
    // data by Offset, not by this name.
    NameField patchedName(const NameField& replaced)
    {
        constexpr std::size_t suffixLength = 6;
        constexpr std::size_t maxName = NameFieldSize - 1;
        std::string name = NameFromField(replaced);
        if (name.size() + suffixLength > maxName)
            name.resize(maxName - suffixLength);
        return FieldFromName(name + PatchSuffix);
    }

    std::int32_t checkedLength(std::size_t size)
    {
        if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
            lgp::Fail("The patched data is too large for an archive entry.");
        return static_cast<std::int32_t>(size);
    }
}

std::string PatchTemplatePath() { return Platform::Paths::programDir() + "LGP.95"; }

void BuildPatchArchive(const std::string& folder, const std::string& output, bool deleteSources)
{
    BuildPatchArchive(folder, output, deleteSources, PatchTemplatePath());
}

void BuildPatchArchive(const std::string& folder, const std::string& output, bool deleteSources,
    const std::string& templatePath)
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
    options.ValidationData = std::move(validation);
    options.ReportProgress = false;
    BuildArchive(options);
}

// The changes of ApplyPatch, entry by entry.
static void applyEntries(TRawLGPFile& archive, const TLGPFile& patch, bool allowOverwrite)
{
    // Data entries by Position, first in scan order. Rewrites keep positions;
    // appends add the new entry's position.
    std::unordered_map<std::int32_t, std::int32_t> dataAt;
    for (std::int32_t k = archive.DataCount() - 1; k >= 0; --k)
        dataAt[archive.GetDataEntry(k).Position] = k;

    const std::int32_t count = archive.FileCount();
    for (std::int32_t i = 0; i < count; ++i)
    {
        TOCEntry toc = archive.GetTableEntry(i);
        const std::string name = UpperAscii(toc.NameString());
        const std::int32_t patchIndex = patch.FindEntry(name);
        if (patchIndex < 0)
        {
            DebugLog("No matching file in patch for " + name);
            continue;
        }

        // New data only ever replaces a data entry the scan found; a TOC entry
        // pointing anywhere else is left as it is (looked up before reading,
        // so a stray Offset can't end the run half-way).
        const auto found = dataAt.find(toc.Offset);
        if (found == dataAt.end())
            continue;
        const std::int32_t dataIndex = found->second;

        TMemoryStream difference;
        patch.ReadEntryData(patchIndex, difference);
        TMemoryStream oldData;
        archive.ReadEntryData(i, oldData);

        bool lzs = false;
        std::vector<std::uint8_t> oldBytes = oldData.TakeBytes();
        std::vector<std::uint8_t> diffBytes = difference.TakeBytes();
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

        RawDataEntry record;
        record.Name = patchedName(archive.GetDataEntry(dataIndex).Name);
        record.Length = checkedLength(newBytes.size());
        record.Data = newBytes;

        if (allowOverwrite && archive.RewriteDataEntry(dataIndex, record))
            continue;

        const std::int32_t appended = archive.AppendDataEntry(record);
        toc.Offset = archive.GetDataEntry(appended).Position;
        archive.SetTableEntry(i, toc);
        dataAt.emplace(toc.Offset, appended);
    }
}

void ApplyPatch(TRawLGPFile& archive, const TLGPFile& patch, bool allowOverwrite)
{
    // Every change goes to a copy of the archive that replaces it in one step:
    // killed part-way, the archive is the old one or the patched one.
    archive.RewriteAtomically([&] { applyEntries(archive, patch, allowOverwrite); });
}
