// Patch creation: compares a source archive with a modified archive or folder
// and writes one difference file per changed entry into the work folder, then
// builds the patch archive from that folder.

#include "lgppatch.h"
#include "lgppatch_copies.h"

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
#include <unordered_map>

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
    // this run's own; on every path it loses the files and subfolders this run
    // wrote and is then removed (it stays only if something else was put into it).
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
            for (const std::string& file : mCopyFiles)
                fs::remove(file, ignored);
            for (std::size_t k = mCopyFolders; k > 0; --k)
                fs::remove(copyFolder(k), ignored);
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

        // The difference for one copy of a repeated name, in a subfolder of
        // its own (".1", ".2", ...: the K-th difference of a name goes into
        // folder K, so no two share a file, and no difference of a name,
        // which never starts with ".", meets a folder); returns the file's path.
        std::string writeCopy(const std::string& name, std::span<const std::uint8_t> bytes)
        {
            const std::size_t k = ++mCopiesOf[UpperAscii(name)];
            for (; mCopyFolders < k; ++mCopyFolders)
            {
                std::error_code error;
                if (!fs::create_directory(copyFolder(mCopyFolders + 1), error) || error)
                    lgp::FailInOut(error ? error.value() : EEXIST);
            }
            const std::string file = copyFolder(k) + "/" + name;
            mCopyFiles.push_back(file);
            WriteWholeFile(file, bytes);
            return file;
        }

    private:
        std::string copyFolder(std::size_t k) const { return mPath + "." + std::to_string(k); }

        std::string mPath;
        std::map<std::string, std::string> mFiles; // upper-cased name -> file name
        std::map<std::string, std::size_t> mCopiesOf;
        std::vector<std::string> mCopyFiles;
        std::size_t mCopyFolders = 0;
    };

    // Which copy of its name a source entry is (ReadArchiveCopies).
    struct SourceCopy
    {
        const std::string& Key;
        bool Repeated = false;
        std::int32_t Place = 1;
    };

    // The file of folder (ending in "/") named name, an exact match preferred
    // over one that differs in case; empty when there is none.
    std::string findIn(const std::string& folder, const std::string& name, bool wantFolder)
    {
        const auto fits = [&](const std::string& path) {
            return wantFolder ? fs::is_directory(path) : Platform::File::isOrdinaryFile(path);
        };
        if (!IsPlainFileName(name))
            return {};
        if (fits(folder + name))
            return folder + name;
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        {
            const std::string file = it->path().filename().string();
            if (SameNameAscii(file, name) && fits(folder + file))
                return folder + file;
        }
        return {};
    }

    // "name (2).ext": where Extract All --numbered puts a further copy of a
    // name that has no folder.
    std::string numberedName(const std::string& name, std::int32_t number)
    {
        const auto dot = name.find_last_of('.');
        const std::string suffix = " (" + std::to_string(number) + ")";
        if (dot == std::string::npos || dot == 0)
            return name + suffix;
        return name.substr(0, dot) + suffix + name.substr(dot);
    }

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

        void openArchive(const std::string& path)
        {
            mArchive = std::make_unique<TLGPFile>(path, true);
            mCopies = ReadArchiveCopies(ReadArchiveLookupView(*mArchive));
            for (std::int32_t i = 0; i < mArchive->FileCount() && std::size_t(i) < mCopies.Keys.size(); ++i)
                mByName[UpperAscii(mArchive->GetEntry(i).Name)].push_back(i);
            mPaired.assign(mCopies.Keys.size(), false);
        }

        // The copies of the modified version that no source entry has: every
        // copy of a name the source lacks (one line per name, in table order,
        // or the folder's visible files not taken as a copy's version), and in
        // an archive each further copy of a name that no source copy pairs with
        // (as "FOLDER/NAME").
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
                for (std::int32_t i = 0; i < static_cast<std::int32_t>(mPaired.size()); ++i)
                {
                    const std::string name = mArchive->GetEntry(i).Name;
                    if (source.FindEntry(name) < 0)
                        check(name);
                    else if (!mPaired[std::size_t(i)])
                        missing.push_back(mCopies.Labels[std::size_t(i)]);
                }
            }
            else
            {
                // A file taken as a copy's modified version ("NAME (2).EXT") is no new file.
                for (const auto& [upper, file] : mByUpperName)
                {
                    if (!mUsedFiles.contains(mFolder + file))
                        check(file);
                }
            }
            return missing;
        }

        // The modified version of the source entry, or nothing when it has
        // none. A name that repeats in either version pairs its copies by key
        // (their folders, else their order); in a folder, a copy of a repeated
        // name is FOLDER/NAME, the first copy falling back to NAME and a
        // further copy without a folder to "NAME (K).EXT", as Extract All
        // writes them.
        std::unique_ptr<TMemoryStream> GetModifiedData(const std::string& name, const SourceCopy& copy)
        {
            if (mArchive)
            {
                const auto found = mByName.find(UpperAscii(name));
                if (found == mByName.end())
                    return nullptr;
                std::int32_t index = -1;
                if (!copy.Repeated && found->second.size() == 1)
                    index = found->second.front();
                for (std::size_t k = 0; index < 0 && k < found->second.size(); ++k)
                {
                    if (SameCopyKey(mCopies.Keys[std::size_t(found->second[k])], copy.Key))
                        index = found->second[k];
                }
                if (index < 0)
                    return nullptr;
                mPaired[std::size_t(index)] = true;
                auto data = std::make_unique<TMemoryStream>();
                mArchive->ReadEntryData(index, *data);
                return data;
            }
            // A name that is no plain file name can't name a file of the folder.
            if (!IsPlainFileName(name))
                return nullptr;
            std::string file;
            if (copy.Repeated)
            {
                if (!copy.Key.starts_with("/"))
                {
                    if (const std::string folder = findIn(mFolder, copy.Key, true); !folder.empty())
                        file = findIn(folder + "/", name, false);
                }
                else if (copy.Place > 1)
                    file = findIn(mFolder, numberedName(name, copy.Place), false);
                if (file.empty() && copy.Place > 1)
                    return nullptr;
            }
            if (file.empty())
            {
                file = mFolder + name;
                if (!Platform::File::isOrdinaryFile(file))
                {
                    const auto found = mByUpperName.find(UpperAscii(name));
                    if (found == mByUpperName.end())
                        return nullptr;
                    file = mFolder + found->second;
                }
            }
            mUsedFiles.insert(file);
            auto data = std::make_unique<TMemoryStream>();
            data->LoadFromFile(file);
            return data;
        }

    private:
        std::string mFolder;
        std::unique_ptr<TLGPFile> mArchive;
        ArchiveCopies mCopies;
        std::unordered_map<std::string, std::vector<std::int32_t>> mByName;
        std::vector<bool> mPaired;
        std::map<std::string, std::string> mByUpperName;
        std::set<std::string> mUsedFiles; // paths of the folder's files taken as modified versions
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

    const ArchiveCopies copies = ReadArchiveCopies(ReadArchiveLookupView(source));
    const std::int32_t count = source.FileCount();
    if (copies.Keys.size() != static_cast<std::size_t>(std::max(count, 0)))
        lgp::FailRead();

    WorkFolder work;

    status(callbacks, "Comparing versions...");
    barMaximum(callbacks, count);

    std::vector<UnpatchableFile> unpatchable;
    std::vector<PatchCopyFile> copyFiles;
    for (std::int32_t i = 0; i < count; ++i)
    {
        barPosition(callbacks, i);
        const LGPEntry entry = source.GetEntry(i);
        const SourceCopy copy{copies.Keys[std::size_t(i)], copies.Repeated[std::size_t(i)],
                              copies.Places[std::size_t(i)]};
        const std::string& label = copies.Labels[std::size_t(i)];
        std::unique_ptr<TMemoryStream> newData = modified.GetModifiedData(entry.Name, copy);
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
            unpatchable.push_back(
                {label, false, static_cast<std::int64_t>(oldBytes.size()), static_cast<std::int64_t>(newBytes.size())});
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
        // A copy of a repeated name gets its own difference, marked with its key.
        if (copy.Repeated)
            copyFiles.push_back({work.writeCopy(entry.Name, *difference), copy.Key});
        else
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
    BuildPatchArchive(work.path(), copyFiles, options.Output, true, PatchTemplatePath());
    status(callbacks, "Done!");
    return true;
}
