#pragma once
// A folder that receives new files by name, for Extract and Extract All. The
// folder itself is opened once, as the user named it (a symbolic link to a
// folder is followed); inside it nothing is ever followed: a symbolic link in
// the place of a file or a subfolder is replaced by the file or folder itself,
// and what it points to is never touched. Every new file is written under a
// hidden name (".NAME.XXXXXX.tmp"), or with no name at all where the file
// system allows, and takes its name in one step once it is whole. Its calls
// pass the file layer's fault seam (createTemp and createUnnamed as
// createBeside, commit and linkNew as replace, syncAll as sync).

#include <cstdint>
#include <string>

#include "file.h"

namespace Platform::OutputFolder
{
    // What stands under a name in the folder now.
    enum class Existing
    {
        Nothing,
        File, // an ordinary file the owner may write
        Link, // a symbolic link (never followed)
    };
    struct Standing
    {
        Existing Kind = Existing::Nothing;
        // For a File: its permission bits and owner, which the new file takes.
        unsigned Mode = 0;
        unsigned Owner = 0;
        unsigned Group = 0;
    };

    class Folder
    {
    public:
        Folder() = default;
        Folder(Folder&&) noexcept = default;
        Folder& operator=(Folder&&) noexcept = default;

        // Opens the folder path names, following links; invalid (errno set)
        // when it is no folder.
        static Folder open(const std::string& path);
        bool valid() const { return mHandle.valid(); }

        // The subfolder name, made when missing; a link in its place is
        // replaced by a new folder. Invalid (errno set) when something else
        // stands there or it can't be made.
        Folder sub(const std::string& name) const;

        // What stands under name. False (errno set) when it may not be
        // replaced: a folder (EISDIR), a FIFO or device (EINVAL), a file
        // without owner write permission (EACCES, for root too).
        bool mayReplace(const std::string& name, Standing& standing) const;

        // A new hidden file beside name, created exclusively (never through
        // a link), with the permission bits and, where allowed, the owner of
        // the file standing there (mayReplace's answer), if any. Its name
        // goes to tempName. Not locked: nobody else knows its name yet.
        // Invalid on failure.
        File::ScopedHandle createTemp(const std::string& name, const Standing& standing, std::string& tempName) const;
        // A new file with no name in the folder (O_TMPFILE), with the
        // permissions any new file gets; it vanishes with its last handle,
        // so a run that is killed leaves nothing of it. Invalid (errno set)
        // on failure: EOPNOTSUPP where the file system has no such files.
        File::ScopedHandle createUnnamed() const;
        // Gives a file of createUnnamed the name name where nothing stands:
        // false with errno EEXIST when something does (it is left alone), or
        // ENOTSUP where the system won't name the file (a kernel before 6.10,
        // for a user without the right to link any open file).
        bool linkNew(const File::ScopedHandle& file, const std::string& name) const;
        // Gives tempName the name name in one step (a link there is replaced
        // itself). Not made durable: see syncAll.
        bool commit(const std::string& tempName, const std::string& name) const;
        // The same where nothing stands under name: false with errno EEXIST
        // when something does (it is left alone), or ENOTSUP where the file
        // system can't rename without replacing (use mayReplace and commit).
        bool commitNew(const std::string& tempName, const std::string& name) const;
        // Gives a file of createTemp, made when nothing stood under name, the
        // permission bits and owner of what stands there now (mayReplace's
        // answer), as createTemp would have. False (errno set) on failure.
        bool takeAfter(const File::ScopedHandle& file, const Standing& standing) const;
        // Deletes a temporary file of createTemp.
        void removeTemp(const std::string& tempName) const;
        // Puts everything written to the folder's file system on the disk.
        bool syncAll() const;
        // Puts the folder's own entries (a rename made in it) on the disk; no
        // fault-injection point (nothing depends on it but durability).
        bool syncFolder() const;
        // Identifies the folder's file system: folders that share it share a syncAll.
        std::uint64_t device() const { return mDevice; }

    private:
        // renameat2 within the folder, through the fault seam.
        bool rename(const std::string& tempName, const std::string& name, unsigned flags) const;

        File::ScopedHandle mHandle;
        std::uint64_t mDevice = 0;
    };
} // namespace Platform::OutputFolder
