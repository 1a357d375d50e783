// Patch creation: compares a source archive with a modified archive or folder
// and writes one difference file per changed entry into the work folder, then
// builds the patch archive from that folder.

#include "lgppatch.h"

#include "FFLZs.h"
#include "core/errors.h"
#include "platform/file.h"
#include "platform/paths.h"

#include <cerrno>
#include <filesystem>
#include <map>
#include <system_error>

namespace fs = std::filesystem;

namespace
{
    [[noreturn]] void failFolder(const std::error_code& error)
    {
        lgp::FailInOut(error.value() != 0 ? error.value() : EIO);
    }

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

    // Creates the work folder when missing and empties it of the files an
    // earlier, failed run left: the patch is built from everything in it, so
    // a stale difference file would end up in an unrelated patch.
    void prepareWorkFolder(const std::string& folder)
    {
        std::error_code error;
        const fs::path path(folder);
        if (!fs::is_directory(path, error))
        {
            if (!fs::create_directory(path, error) && error)
                failFolder(error);
        }
        for (fs::directory_iterator it(path, error), end; !error && it != end; it.increment(error))
        {
            std::error_code kindError;
            if (!it->is_regular_file(kindError))
                continue;
            if (!fs::remove(it->path(), kindError) && kindError)
                failFolder(kindError);
        }
        if (error)
            failFolder(error);
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

        void openArchive(const std::string& path) { mArchive = std::make_unique<TLGPFile>(path, true); }

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

std::string PatchWorkFolder() { return Platform::Paths::tempDir() + "LGPMK.TMP/"; }

void CreatePatch(const PatchCreationOptions& options, const PatchCreationCallbacks& callbacks)
{
    ModifiedSource modified(options);
    if (!options.ModifiedIsFolder)
    {
        status(callbacks, "Opening patch file...");
        modified.openArchive(options.ModifiedArchive);
    }
    status(callbacks, "Opening source file...");
    const TLGPFile source(options.Source, true);

    const std::string work = PatchWorkFolder();
    prepareWorkFolder(work);

    status(callbacks, "Comparing versions...");
    const std::int32_t count = source.FileCount();
    barMaximum(callbacks, count);

    // Difference files written so far, by upper-cased name: entries whose
    // names differ only in case share one file, the last one written wins.
    std::map<std::string, std::string> written;
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
        const auto difference = MakeDifference(oldBytes, newBytes);
        if (!difference)
            continue;

        // The entry's name becomes a file name in the work folder; one that
        // could point outside it (or at the folder itself) is refused.
        CheckPlainFileName(entry.Name);
        // The patch is built from the folder's visible files only; a
        // difference file whose name starts with "." would silently be lost.
        if (entry.Name.front() == '.')
            lgp::Fail("The entry name \"" + entry.Name +
                "\" starts with \".\"; a patch can't carry a file of that name.");
        const std::string upper = UpperAscii(entry.Name);
        if (const auto previous = written.find(upper); previous != written.end() && previous->second != entry.Name)
        {
            std::error_code ignored;
            fs::remove(work + previous->second, ignored);
        }
        WriteWholeFile(work + entry.Name, *difference);
        written[upper] = entry.Name;
    }
    barPosition(callbacks, count);

    status(callbacks, "Compiling changes...");
    BuildPatchArchive(work, options.Output, true);

    std::error_code error;
    if (!fs::remove(work, error) && error)
        failFolder(error);
    status(callbacks, "Done!");
}
