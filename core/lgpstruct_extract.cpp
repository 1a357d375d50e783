// Extract and Extract All: entry data written to new files in an output folder.
#include "lgplookup.h"
#include "lgpstruct_internal.h"

#include "platform/outputfolder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <unordered_map>

using namespace lgp::detail;

namespace
{
    using Platform::OutputFolder::Existing;
    using Platform::OutputFolder::Folder;
    using Platform::OutputFolder::Standing;

    // Where an entry's data lies in the archive and how long it is; refuses
    // what describes no data before anything is created.
    struct DataPlace
    {
        std::int64_t Position = 0;
        std::int32_t Length = 0;
    };

    DataPlace LocateData(const TByteSource& archive, const LGPEntry& entry)
    {
        if (entry.Length == LengthBadOffset)
            lgp::Fail("LGP TOC has invalid offset!");
        if (entry.Offset < 0)
            lgp::FailRead();
        std::int32_t length = entry.Length;
        if (length == LengthNotRead)
        {
            std::uint8_t header[DataHeaderSize];
            archive.ReadAt(entry.Offset, header, sizeof header);
            length = lgp::GetLE<std::int32_t>(header, 20);
        }
        // A negative Length describes no data.
        if (length < 0)
            lgp::FailRead();
        return {std::int64_t(entry.Offset) + DataHeaderSize, length};
    }

    [[noreturn]] void FailFolder(const std::string& path, int error)
    {
        throw ELGPError("Cannot create folder " + path + ": " + std::strerror(error));
    }

    // Writes new files into one output folder and its subfolders. A file
    // written where nothing stood takes its name as soon as it is whole, with
    // no wait for the disk (as tar, cp and unzip do). A file that replaces an
    // existing one must be on the disk before it takes the name, so that file
    // keeps its contents until the new one is whole even through a power cut:
    // in batch mode such files wait under their hidden names and a batch goes
    // on the disk with one sync of the file system; otherwise the one file is
    // synced. Files still waiting when the writer goes are deleted.
    class ExtractWriter
    {
    public:
        ExtractWriter(const std::string& folder, bool batch)
            : mBase(folder.empty() || folder.back() == '/' ? folder : folder + "/")
            , mBatch(batch)
        {
            mFolders.push_back(Folder::open(folder));
            if (!mFolders[0].valid())
                FailFolder(folder, errno);
        }
        ExtractWriter(const ExtractWriter&) = delete;
        ExtractWriter& operator=(const ExtractWriter&) = delete;

        ~ExtractWriter()
        {
            for (const Waiting& w : mWaiting)
                mFolders[w.Folder].removeTemp(w.TempName);
        }

        // Writes the entry as path ("name" or "folder/name" below the folder).
        void Write(const TByteSource& archive, const LGPEntry& entry, const std::string& path)
        {
            const DataPlace place = mBatch ? LocateInWindow(archive, entry) : LocateData(archive, entry);
            const std::string shown = mBase + path;
            const auto slash = path.find('/');
            const std::size_t at = slash == std::string::npos ? 0 : SubFolder(path.substr(0, slash));
            const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
            if (!(mUnnamed && WriteUnnamed(archive, place, at, name, shown)))
                WriteNamed(archive, place, at, name, shown);
        }

        // Puts every waiting file on the disk and in its place.
        void Flush()
        {
            if (mWaiting.empty())
                return;
            std::vector<std::uint64_t> synced;
            for (const Waiting& w : mWaiting)
            {
                const Folder& folder = mFolders[w.Folder];
                if (std::find(synced.begin(), synced.end(), folder.device()) != synced.end())
                    continue;
                if (!folder.syncAll())
                    lgp::FailWriting("the new files in " + (mBase.empty() ? std::string(".") : mBase), errno, false);
                synced.push_back(folder.device());
            }
            while (!mWaiting.empty())
            {
                const Waiting w = mWaiting.front();
                mWaiting.erase(mWaiting.begin());
                Commit(w.Folder, w.TempName, w.Name, w.Shown);
            }
            mWaitingBytes = 0;
        }

        // Files that have their names so far.
        std::int32_t Written() const { return mWritten; }

    private:
        // The file is written with no name and takes its name only where
        // nothing stands: there is no hidden name to make, rename, or leave
        // behind when the run is killed. False where the folder can't have
        // unnamed files, or where something stands under the name: the run
        // is then taken for one over files already there, and this file and
        // the rest are written under hidden names (WriteNamed) instead.
        bool WriteUnnamed(const TByteSource& archive, const DataPlace& place, std::size_t at, const std::string& name,
                          const std::string& shown)
        {
            const Folder& folder = mFolders[at];
            Platform::File::ScopedHandle handle = folder.createUnnamed();
            if (!handle.valid())
            {
                if (errno != EOPNOTSUPP)
                    lgp::FailCreateNew(shown, !mBatch);
                mUnnamed = false;
                return false;
            }
            TFileSource output(std::move(handle));
            output.Describe(shown, !mBatch);
            WriteData(archive, place, output);
            if (folder.linkNew(output.Handle(), name))
            {
                ++mWritten;
                return true;
            }
            if (errno != EEXIST && errno != ENOTSUP)
                FailCommit(at, {}, shown, errno);
            mUnnamed = false;
            return false;
        }

        // The file is written under a hidden name beside its own.
        void WriteNamed(const TByteSource& archive, const DataPlace& place, std::size_t at, const std::string& name,
                        const std::string& shown)
        {
            const Folder& folder = mFolders[at];
            // Where the folder can rename without replacing, what stands under
            // the name is looked at only when something does: the rename says so.
            Standing standing;
            if (!mRenameNew && !folder.mayReplace(name, standing))
                lgp::FailCreate(shown);
            std::string tempName;
            Platform::File::ScopedHandle handle = folder.createTemp(name, standing, tempName);
            if (!handle.valid())
                lgp::FailCreateNew(shown, !mBatch);
            try
            {
                TFileSource output(std::move(handle));
                // One file alone leaves nothing changed when it fails; Extract
                // All says what it had written.
                output.Describe(shown, !mBatch);
                WriteData(archive, place, output);
                if (standing.Kind == Existing::Nothing && mRenameNew)
                {
                    if (folder.commitNew(tempName, name))
                    {
                        ++mWritten;
                        return;
                    }
                    if (errno == ENOTSUP)
                        mRenameNew = false;
                    else if (errno != EEXIST)
                        FailCommit(at, tempName, shown, errno);
                    // Something stands there: it lends the new file its
                    // permissions, or refuses to be replaced.
                    if (!folder.mayReplace(name, standing) || !folder.takeAfter(output.Handle(), standing))
                        lgp::FailCreate(shown);
                }
                if (standing.Kind != Existing::Nothing && !mBatch)
                    output.Sync();
            }
            catch (...)
            {
                folder.removeTemp(tempName);
                throw;
            }
            const Existing existing = standing.Kind;
            if (existing == Existing::Nothing || !mBatch)
            {
                Commit(at, tempName, name, shown);
                // A single file that replaced one goes on the disk under its
                // name too; the file is whole in its place either way, so a
                // folder that can't be synced is no failure.
                if (existing != Existing::Nothing)
                    (void)folder.syncFolder();
                return;
            }
            mWaiting.push_back({at, tempName, name, shown});
            mWaitingBytes += place.Length;
            if (mWaiting.size() >= MaxWaiting || mWaitingBytes >= MaxWaitingBytes)
                Flush();
        }

        static constexpr std::size_t MaxWaiting = 1024;
        // Small enough that a file's bytes are still in the processor's cache
        // when they are written out (a 4 MB window cost a tenth more).
        static constexpr std::size_t WindowSize = std::size_t(256) << 10;

        // Entries lie one after the other in most archives, so their data is
        // read in large pieces into a window and each file is written from
        // there in one write; larger entries are copied in the kernel.
        void WriteData(const TByteSource& archive, const DataPlace& place, TFileSource& output)
        {
            if (place.Length == 0)
                return;
            if (const std::uint8_t* memory = archive.Memory())
            {
                if (place.Position + place.Length > archive.Size())
                    lgp::FailRead();
                output.WriteAt(0, memory + place.Position, std::size_t(place.Length));
                return;
            }
            if (std::size_t(place.Length) > WindowSize / 2)
            {
                if (output.CopyIn(0, archive, place.Position, place.Length) < place.Length)
                    lgp::FailRead();
                return;
            }
            const std::uint8_t* bytes = Window(archive, place.Position, std::size_t(place.Length));
            output.WriteAt(0, bytes, std::size_t(place.Length));
        }

        // The count bytes at position, read into the window unless they are
        // in it already. One file alone reads only its own bytes.
        const std::uint8_t* Window(const TByteSource& archive, std::int64_t position, std::size_t count)
        {
            if (&archive != mWindowSource || position < mWindowStart
                || position + std::int64_t(count) > mWindowStart + std::int64_t(mWindowLength))
            {
                mWindow.resize(mBatch ? WindowSize : count);
                mWindowSource = &archive;
                mWindowStart = position;
                mWindowLength = archive.ReadSomeAt(position, mWindow.data(), mWindow.size());
                if (mWindowLength < count)
                    lgp::FailRead();
            }
            return mWindow.data() + (position - mWindowStart);
        }

        // LocateData for Extract All, whose index need not hold the lengths:
        // a data entry's header is read through the window, with its data.
        DataPlace LocateInWindow(const TByteSource& archive, const LGPEntry& entry)
        {
            if (entry.Length != LengthNotRead || archive.Memory())
                return LocateData(archive, entry);
            if (&archive != mSizeSource)
            {
                mSizeSource = &archive;
                mArchiveSize = archive.Size();
            }
            if (entry.Offset < 0 || std::int64_t(entry.Offset) + DataHeaderSize > mArchiveSize)
                lgp::Fail("LGP TOC has invalid offset!");
            const std::uint8_t* header = Window(archive, entry.Offset, DataHeaderSize);
            const auto length = lgp::GetLE<std::int32_t>(std::span<const std::uint8_t>(header, DataHeaderSize), 20);
            // A negative Length describes no data.
            if (length < 0)
                lgp::FailRead();
            return {std::int64_t(entry.Offset) + DataHeaderSize, length};
        }
        static constexpr std::int64_t MaxWaitingBytes = std::int64_t(64) << 20;

        struct Waiting
        {
            std::size_t Folder;
            std::string TempName;
            std::string Name;
            std::string Shown;
        };

        std::size_t SubFolder(const std::string& name)
        {
            const auto found = mSubFolders.find(name);
            if (found != mSubFolders.end())
                return found->second;
            Folder sub = mFolders[0].sub(name);
            if (!sub.valid())
                FailFolder(mBase + name, errno);
            mFolders.push_back(std::move(sub));
            mSubFolders.emplace(name, mFolders.size() - 1);
            return mFolders.size() - 1;
        }

        void Commit(std::size_t at, const std::string& tempName, const std::string& name, const std::string& shown)
        {
            if (!mFolders[at].commit(tempName, name))
                FailCommit(at, tempName, shown, errno);
            ++mWritten;
        }

        // tempName is deleted (none for an unnamed file).
        [[noreturn]] void FailCommit(std::size_t at, const std::string& tempName, const std::string& shown, int error)
        {
            if (!tempName.empty())
                mFolders[at].removeTemp(tempName);
            lgp::FailReplacing("Cannot create file " + shown, shown, error, Platform::File::inStickyFolder(shown),
                               !mBatch);
        }

        std::string mBase;
        bool mBatch;
        bool mUnnamed = true;         // until the file system or the kernel says it can't
        bool mRenameNew = true;       // until the file system says it can't
        std::vector<Folder> mFolders; // the output folder first
        std::unordered_map<std::string, std::size_t> mSubFolders;
        std::vector<Waiting> mWaiting;
        std::int64_t mWaitingBytes = 0;
        std::int32_t mWritten = 0;
        std::vector<std::uint8_t> mWindow;
        const TByteSource* mWindowSource = nullptr;
        const TByteSource* mSizeSource = nullptr;
        std::int64_t mArchiveSize = 0;
        std::int64_t mWindowStart = 0;
        std::size_t mWindowLength = 0;
    };

    std::pair<std::string, std::string> SplitPath(const std::string& path)
    {
        const auto slash = path.find_last_of('/');
        if (slash == std::string::npos)
            return {".", path};
        return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
    }
} // namespace

void ExtractEntry(const TByteSource& archive, const LGPEntry& entry, const std::string& outputPath,
                  const std::string& archiveName)
{
    // Refused before the folder is even looked at.
    (void)LocateData(archive, entry);
    RequireOutputIsNoInput(outputPath, archive, archiveName.empty() ? std::string("the archive") : archiveName);
    const auto [folder, name] = SplitPath(outputPath);
    if (name.empty() || name == "." || name == "..")
        lgp::FailCreate(outputPath);
    std::optional<ExtractWriter> writer;
    try
    {
        writer.emplace(folder, false);
    }
    catch (const ELGPError&)
    {
        lgp::FailCreate(outputPath);
    }
    writer->Write(archive, entry, name);
}

void ExtractEntry(TStream& archive, const LGPEntry& entry, const std::string& outputPath)
{
    const auto* named = dynamic_cast<const TFileStream*>(&archive);
    ExtractEntry(archive.Source(), entry, outputPath, named ? named->FileName() : std::string());
}

void ExtractAllEntries(const TLGPFile& archive, const std::string& folder, const std::vector<ExtractTarget>& plan,
                       const std::function<void(std::int32_t done, std::int32_t total)>& progress)
{
    const auto total = static_cast<std::int32_t>(plan.size());
    // The data is read through the file the index was read from; an archive
    // read by path is opened once here.
    std::optional<TFileStream> opened;
    const TByteSource* source = archive.Source();
    if (!source)
        source = &opened.emplace(archive.FileName(), FileMode::OpenRead).Source();
    // An entry named like the archive, extracted into the archive's own folder,
    // would replace the archive part-way: refused before the first file.
    // Links inside the folder are replaced, never followed, so an output can
    // be the archive only under the archive's own name (without case, for
    // file systems that fold it) or, when the archive has more names, under
    // any: only those outputs are looked at.
    const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
    const Platform::File::ScopedHandle* handle = source->FileHandle();
    if (handle)
    {
        const std::string own = SplitPath(Platform::File::resolvedPath(archive.FileName())).second;
        const bool oneName = Platform::File::linkCount(*handle) == 1;
        for (const ExtractTarget& target : plan)
            if (!oneName || SameNameAscii(SplitPath(target.Path).second, own))
                RequireOutputIsNoInput(base + target.Path, *source, archive.FileName());
    }

    ExtractWriter writer(folder, true);
    try
    {
        for (std::int32_t k = 0; k < total; ++k)
        {
            const ExtractTarget& target = plan[std::size_t(k)];
            writer.Write(*source, archive.GetEntry(target.Index), target.Path);
            if (progress)
                progress(k + 1, total);
        }
        writer.Flush();
    }
    catch (const ELGPError& e)
    {
        const std::int32_t written = writer.Written();
        const std::string where = folder.empty() ? std::string(".") : folder;
        const std::string done = written == 0 ? " Nothing was written to " + where + "."
                                              : " " + std::to_string(written) + " of " + std::to_string(total)
                                                    + " files were written to " + where + " before the failure.";
        // A failed write keeps its two lines: the byte layer's text, then the
        // file, the reason and what was written.
        if (const auto* write = dynamic_cast<const EWriteError*>(&e); write && !write->Detail.empty())
            throw EWriteError(write->Headline, write->Detail + done, write->ErrorCode);
        std::string text = e.what();
        // The reason of a file failure goes before what was written.
        if (const auto* file = dynamic_cast<const EFileError*>(&e); file && file->ErrorCode != 0)
            text += std::string(": ") + std::strerror(file->ErrorCode);
        if (!text.empty() && text.back() != '.' && text.back() != '!')
            text += '.';
        throw ELGPError(text + done);
    }
}
