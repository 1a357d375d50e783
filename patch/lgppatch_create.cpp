// Patch creation: compares a source archive with a modified archive or folder
// and writes one difference file per changed entry into the work folder, then
// builds the patch archive from that folder.

#include "lgppatch.h"

#include "FFLZs.h"
#include "errors/errors.h"
#include "platform/file.h"
#include "platform/paths.h"

#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <span>
#include <system_error>

namespace fs = std::filesystem;

namespace
{
    void status(const PatchCreationCallbacks& callbacks, const std::string& text)
    {
        if (callbacks.Status)
            callbacks.Status(text);
    }

    void barMaximum(const PatchCreationCallbacks& callbacks, std::int32_t maximum)
    {
        if (callbacks.SetBarMaximum)
            callbacks.SetBarMaximum(maximum);
    }

    void barPosition(const PatchCreationCallbacks& callbacks, std::int32_t position)
    {
        if (callbacks.SetBarPosition)
            callbacks.SetBarPosition(position);
    }

    // The work folder of one run: made by this run, so everything in it is
    // this run's own; on every path it loses the files this run wrote and is
    // then removed (it stays only if something else was put into it).
    class WorkFolder
    {
    public:
        WorkFolder()
            : mPath(PatchWorkFolder())
        {
        }
        ~WorkFolder()
        {
            std::error_code ignored;
            for (const auto& [upper, name] : mFiles)
                fs::remove(mPath + name, ignored);
            fs::remove(mPath, ignored);
        }
        WorkFolder(const WorkFolder&) = delete;
        WorkFolder& operator=(const WorkFolder&) = delete;

        const std::string& path() const { return mPath; }

        // Entries whose names differ only in case share one file: the last
        // one written wins.
        void write(const std::string& name, std::span<const std::uint8_t> bytes)
        {
            const std::string upper = UpperAscii(name);
            if (const auto previous = mFiles.find(upper); previous != mFiles.end() && previous->second != name)
            {
                std::error_code ignored;
                fs::remove(mPath + previous->second, ignored);
            }
            mFiles[upper] = name;
            WriteWholeFile(mPath + name, bytes);
        }

    private:
        std::string mPath;
        std::map<std::string, std::string> mFiles; // upper-cased name -> file name
    };

    // Where the modified versions come from: a second archive or a folder of
    // loose files named like the entries.
    class ModifiedSource
    {
    public:
        explicit ModifiedSource(const PatchCreationOptions& options)
            : mFolder(options.ModifiedIsFolder ? options.ModifiedFolder : std::string())
        {
            if (!options.ModifiedIsFolder)
                return;
            if (!mFolder.empty() && mFolder.back() != '/')
                mFolder += '/';
            // Names in the archive are case-insensitive; so is the lookup in
            // the folder, with an exact match preferred.
            std::error_code error;
            for (fs::directory_iterator it(mFolder, error), end; !error && it != end; it.increment(error))
            {
                const std::string file = it->path().filename().string();
                if (Platform::File::isOrdinaryFile(it->path().string()))
                    mByUpperName.emplace(UpperAscii(file), file);
            }
        }

        void openArchive(const std::string& path) { mArchive = std::make_unique<TLGPFile>(path, true); }

        // The names of the modified version (entries of the archive in table
        // order, or visible files of the folder) that no source entry has.
        std::vector<std::string> NamesMissingFrom(const TLGPFile& source) const
        {
            std::vector<std::string> missing;
            std::set<std::string> seen;
            const auto check = [&](const std::string& name) {
                if (source.FindEntry(name) < 0 && seen.insert(UpperAscii(name)).second)
                    missing.push_back(name);
            };
            if (mArchive)
            {
                for (std::int32_t i = 0; i < mArchive->FileCount(); ++i)
                    check(mArchive->GetEntry(i).Name);
            }
            else
            {
                for (const auto& [upper, file] : mByUpperName)
                    check(file);
            }
            return missing;
        }

        // The modified version of the entry, or nothing when it has none.
        std::unique_ptr<TMemoryStream> GetModifiedData(const std::string& name) const
        {
            if (mArchive)
            {
                const std::int32_t index = mArchive->FindEntry(name);
                if (index < 0)
                    return nullptr;
                auto data = std::make_unique<TMemoryStream>();
                mArchive->ReadEntryData(index, *data);
                return data;
            }
            // A name that is no plain file name can't name a file of the folder.
            if (!IsPlainFileName(name))
                return nullptr;
            std::string file = name;
            if (!Platform::File::isOrdinaryFile(mFolder + file))
            {
                const auto found = mByUpperName.find(UpperAscii(name));
                if (found == mByUpperName.end())
                    return nullptr;
                file = found->second;
            }
            auto data = std::make_unique<TMemoryStream>();
            data->LoadFromFile(mFolder + file);
            return data;
        }

    private:
        std::string mFolder;
        std::unique_ptr<TLGPFile> mArchive;
        std::map<std::string, std::string> mByUpperName;
    };

    std::vector<std::uint8_t> decodedIfLzs(std::vector<std::uint8_t> bytes)
    {
        if (LooksLikeLzs(bytes))
            return LzsDecode(bytes);
        return bytes;
    }
}

std::string PatchWorkFolder()
{
    const std::string folder = Platform::Paths::makePrivateTempFolder("LGPMK.TMP");
    if (folder.empty())
        lgp::FailInOut(errno != 0 ? errno : EIO);
    return folder;
}

std::string DescribeUnpatchableFiles(const std::vector<UnpatchableFile>& files, std::size_t maxLines)
{
    std::string text;
    for (std::size_t i = 0; i < files.size(); ++i)
    {
        if (!text.empty())
            text += '\n';
        if (i + 1 == maxLines && files.size() > maxLines)
        {
            text += "  ... and " + std::to_string(files.size() - i) + " more";
            break;
        }
        const UnpatchableFile& file = files[i];
        text += "  " + file.Name + ": ";
        if (file.OnlyInModified)
            text += "only in the modified version";
        else
            text += std::to_string(file.ModifiedLength) + " bytes in the modified version, "
                    + std::to_string(file.SourceLength) + " in the source";
    }
    return text;
}

bool CreatePatch(const PatchCreationOptions& options, const PatchCreationCallbacks& callbacks)
{
    // Progress has one channel, the callbacks: opening the archives reports
    // nothing, whatever the hook holds.
    const ScopedProgressHook silent{TProgressHook()};
    // The patch may replace none of the files it is made from.
    std::vector<std::string> inputs =
        options.ModifiedIsFolder ? ListArchiveFolder(options.ModifiedFolder) : std::vector<std::string>{};
    inputs.push_back(options.Source);
    if (!options.ModifiedIsFolder)
        inputs.push_back(options.ModifiedArchive);
    RequireOutputIsNoInput(options.Output, inputs);
    ModifiedSource modified(options);
    if (!options.ModifiedIsFolder)
    {
        status(callbacks, "Opening patch file...");
        modified.openArchive(options.ModifiedArchive);
    }
    status(callbacks, "Opening source file...");
    const TLGPFile source(options.Source, true);

    WorkFolder work;

    status(callbacks, "Comparing versions...");
    const std::int32_t count = source.FileCount();
    barMaximum(callbacks, count);

    std::vector<UnpatchableFile> unpatchable;
    for (std::int32_t i = 0; i < count; ++i)
    {
        barPosition(callbacks, i);
        const LGPEntry entry = source.GetEntry(i);
        std::unique_ptr<TMemoryStream> newData = modified.GetModifiedData(entry.Name);
        if (!newData)
            continue;
        if (options.SkipSameLength && newData->Size() == entry.Length)
            continue;

        TMemoryStream oldData;
        source.ReadEntryData(i, oldData);
        const std::vector<std::uint8_t> newBytes = decodedIfLzs(newData->TakeBytes());
        const std::vector<std::uint8_t> oldBytes = decodedIfLzs(oldData.TakeBytes());
        // A patch makes no file longer: rather than cut this one, leave it out.
        if (newBytes.size() > oldBytes.size())
        {
            unpatchable.push_back({entry.Name, false, static_cast<std::int64_t>(oldBytes.size()),
                                   static_cast<std::int64_t>(newBytes.size())});
            continue;
        }
        const auto difference = MakeDifference(oldBytes, newBytes);
        if (!difference)
            continue;

        // The entry's name becomes a file name in the work folder; one that
        // could point outside it (or at the folder itself) is refused.
        CheckPlainFileName(entry.Name);
        // The patch is built from the folder's visible files only; a
        // difference file whose name starts with "." would silently be lost.
        if (entry.Name.front() == '.')
            lgp::Fail("The entry name \"" + entry.Name
                      + "\" starts with \".\"; a patch can't carry a file of that name.");
        work.write(entry.Name, *difference);
    }
    for (const std::string& name : modified.NamesMissingFrom(source))
        unpatchable.push_back({name, true, 0, 0});
    barPosition(callbacks, count);

    if (!unpatchable.empty())
    {
        if (!callbacks.LeaveOut)
            lgp::Fail("A patch can't add files or make a file longer, so it can't carry these files whole:\n"
                      + DescribeUnpatchableFiles(unpatchable) + "\nNo patch was written.");
        if (!callbacks.LeaveOut(unpatchable))
            return false;
    }

    status(callbacks, "Compiling changes...");
    BuildPatchArchive(work.path(), options.Output, true);
    status(callbacks, "Done!");
    return true;
}
