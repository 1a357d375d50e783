#pragma once
// Files with share modes. The archive programs expect the Windows rules: a
// reader lets everybody else read and write; the in-place editor lets others
// read but refuses a second writer. Here a writer that denies writing takes an
// advisory exclusive lock (flock) on the file; a second such writer finds the
// lock taken and its open fails. Plain readers never lock, so they always work.
//
// Every call that changes a file (writeAt, copyRange, setSize, sync, replace,
// createBeside) passes the fault-injection seam (Fault below), so tests can
// make any one of them fail or end the process.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Platform::File
{
#ifdef _WIN32
    using NativeHandle = void*; // HANDLE
    inline const NativeHandle InvalidHandle = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));
#else
    using NativeHandle = int; // file descriptor
    constexpr NativeHandle InvalidHandle = -1;
#endif

    // Move-only owner of an open file.
    class ScopedHandle
    {
    public:
        ScopedHandle() = default;
        explicit ScopedHandle(NativeHandle handle)
            : mHandle(handle)
        {
        }
        ScopedHandle(ScopedHandle&& other) noexcept
            : mHandle(other.release())
        {
        }
        ScopedHandle& operator=(ScopedHandle&& other) noexcept;
        ScopedHandle(const ScopedHandle&) = delete;
        ScopedHandle& operator=(const ScopedHandle&) = delete;
        ~ScopedHandle();

        NativeHandle get() const { return mHandle; }
        bool valid() const { return mHandle != InvalidHandle; }
        NativeHandle release()
        {
            const NativeHandle handle = mHandle;
            mHandle = InvalidHandle;
            return handle;
        }

    private:
        NativeHandle mHandle = InvalidHandle;
    };

    enum class Access
    {
        Read,      // existing file, read only
        ReadWrite, // existing file, read and write
        Create,    // create or truncate, read and write
        CreateNew, // create a file that isn't there yet (errno EEXIST when it is), read and write
    };

    enum class Share
    {
        DenyNone,  // others may read and write
        DenyWrite, // others may read; a second DenyWrite opener is refused
    };

    // Opens path; returns an invalid handle on failure (errno says why). Only
    // regular files open: a directory, FIFO or device fails at once, without
    // waiting for a FIFO's other end. A ReadWrite or Create open of a file
    // without owner write permission fails (for root too; Create then leaves
    // it as it was), as does a DenyWrite open while another DenyWrite holder
    // has the file. A DenyWrite open holds the file that the path names once
    // the lock is taken (a file put in its place meanwhile is opened instead).
    ScopedHandle open(const std::string& path, Access access, Share share);
    // A Read, DenyNone open that also gives the file's size at the moment it
    // was opened (size is left alone on failure).
    ScopedHandle openForReading(const std::string& path, std::int64_t& size);

    // Exactly count bytes at pos, retrying short transfers; false on failure or end of file.
    bool readAt(const ScopedHandle& file, void* data, std::size_t count, std::int64_t pos);
    // Up to count bytes at pos: the number read (fewer only at the end of the file), -1 on failure.
    std::int64_t readSome(const ScopedHandle& file, void* data, std::size_t count, std::int64_t pos);
    // Exactly count bytes at pos, retrying short transfers; false on failure.
    bool writeAt(const ScopedHandle& file, const void* data, std::size_t count, std::int64_t pos);
    // Bytes copied from src to dst (an in-kernel copy where the system has one); fewer than count
    // when src ends first; -1 on a write failure.
    std::int64_t copyRange(const ScopedHandle& src, std::int64_t srcPos, const ScopedHandle& dst, std::int64_t dstPos,
                           std::int64_t count);
    std::int64_t size(const ScopedHandle& file); // -1 on failure
    // How many names (hard links) the open file has; -1 when it can't be told.
    std::int64_t linkCount(const ScopedHandle& file);
    bool setSize(const ScopedHandle& file, std::int64_t size);
    bool sync(const ScopedHandle& file); // data and size reach the disk
    // Puts `from` in place of `to` in one atomic step (same folder) and makes the change durable.
    bool replace(const std::string& from, const std::string& to);
    // The same, with held the caller's open handle on `to`. Where the system
    // lets a file be replaced while it is open (POSIX), held stays open across
    // the step, so no other writer can take the file in between; where it
    // doesn't (Windows), held is closed first, and a writer that opens the file
    // in that moment makes the replacement fail (nothing is lost either way).
    bool replace(const std::string& from, const std::string& to, ScopedHandle& held);
    // Free bytes for an unprivileged writer in the folder holding path; nullopt when unknown.
    std::optional<std::int64_t> freeSpace(const std::string& path);

    // The file a path finally names, symbolic links resolved; the path itself
    // when it can't be resolved.
    std::string resolvedPath(const std::string& path);

    // Whether path names, once symbolic links are followed, the very file the
    // open file is (same device and inode; volume and file index on Windows).
    // False when either can't be examined (nothing there yet is no file of
    // anyone's).
    bool sameFile(const std::string& path, const ScopedHandle& open);
    // The index of the first of others that path names in that sense; -1
    // when none is. path is examined once, and when nothing is there, none
    // of the others is.
    std::ptrdiff_t firstSameFile(const std::string& path, std::span<const std::string> others);

    // A new, hidden file in the folder of path (".NAME.XXXXXX.tmp"), created
    // exclusively, locked as a DenyWrite opener would lock it, and given the
    // permission bits (and owner, where allowed) of the open file like. Its
    // path goes to tempPath. Invalid handle on failure.
    // An invalid like gives the new file the permissions of any new file.
    ScopedHandle createBeside(const std::string& path, const ScopedHandle& like, std::string& tempPath);
    // The hidden files that createBeside made for path (".NAME.XXXXXX.tmp"
    // beside the file path finally names) and that no running process holds:
    // a writer keeps its new file locked until it is done with it, so an
    // unlocked one was left by a run that was stopped. Their file names, in
    // name order. remove: each is deleted while locked, so no writer can take
    // it up meanwhile; names that can't be deleted are not returned. On
    // Windows a writer's new file counts as held while it is open.
    std::vector<std::string> leftoversBeside(const std::string& path, bool remove);

    // Whether the folder holding path has the sticky bit, where only a
    // file's owner (or the folder's, or root) may rename or delete it; false
    // on Windows.
    bool inStickyFolder(const std::string& path);

    // Deletes a file; false when it can't.
    bool remove(const std::string& path);
    // Whether a new file may take path's place: nothing is there yet, or an
    // ordinary file with owner write permission (the read-only attribute is
    // the user's word, for root too). False with errno set otherwise.
    bool mayReplace(const std::string& path);

    // Whether the file exists and its owner write permission is missing.
    bool isReadOnly(const std::string& path);
    // Gives the owner write permission, keeping every other permission bit.
    // Returns false on failure.
    bool clearReadOnly(const std::string& path);
    // Ordinary, visible file (no directory, no dot file, no device): what the
    // folder listings of the archive programs include.
    bool isOrdinaryFile(const std::string& path);
} // namespace Platform::File

// Fault injection for tests: the mutating calls above are counted once armed,
// and the chosen one fails (with an input/output error, a full disk or a
// refused rename) or ends the process at once, before doing anything, as a
// kill or a power cut would. Setting TARROWIN_FAULT=k:fail, k:full,
// k:fullcreate, k:refuse or k:exit arms it for a whole program run. Unarmed, the seam costs one
// count and one test of a flag per call.
namespace Platform::File::Fault
{
    enum class Action
    {
        Fail,     // the k-th mutating call fails (errno EIO)
        Exit,     // the process ends at the k-th mutating call
        DiskFull, // the k-th data write (writeAt, copyRange) fails with ENOSPC
        // the k-th new file (createBeside, an output folder's createTemp)
        // can't be made: ENOSPC
        FullOnCreate,
        Refuse, // the k-th rename (replace, an output folder's commit) fails with EPERM
    };
    // The status a process ended by the seam exits with.
    constexpr int ExitStatus = 86;

    // The k-th call from now on (k >= 1) that the action strikes gets it.
    void arm(std::int64_t k, Action action);
    void disarm();
    // Whether the armed call was reached.
    bool fired();
    // What freeSpace reports from now on (nullopt: the real answer).
    void setFreeSpace(std::optional<std::int64_t> bytes);

    // Kinds of mutating call the seam tells apart when counting.
    enum class Counted
    {
        DiskWait, // sync, and every other call that waits for the disk
        Other,
    };
    // How many calls of the kind passed the seam since the last resetCounts
    // (armed or not).
    std::int64_t count(Counted kind);
    void resetCounts();

    // Recording, for tests of the order of the writes: while on, each
    // mutating call is logged with the file it changes, named by its path at
    // that moment (POSIX backend), and so is the folder sync after a rename.
    enum class Call
    {
        WriteAt,   // at: the position
        CopyRange, // into file, at: the position
        SetSize,   // at: the new size
        Sync,
        Replace,      // file renamed to target
        FolderSync,   // file: the folder
        CreateBeside, // file: the path it was made beside
    };
    struct Record
    {
        Call call;
        std::string file;
        std::int64_t at = -1;
        std::string target;
    };
    void startRecording();
    std::vector<Record> stopRecording();

    // What a mutating call does, for the actions that strike one kind only.
    enum class Kind
    {
        Other,
        Write,  // adds data: writeAt, copyRange
        Rename, // gives a new file its name: replace, an output folder's commit
        Create, // makes a new file: createBeside, an output folder's createTemp
    };

    namespace detail
    {
        extern bool recording;
        void note(Record record);
        extern bool armed;
        extern bool freeSpaceSet;
        extern std::int64_t freeSpaceValue;
        extern std::int64_t counts[2];
        // The errno value a failing call leaves (EIO, ENOSPC or EPERM).
        extern int error;
        // Counts a call of its kind; true when it is the one to fail (ends
        // the process for Exit).
        bool hit(Kind kind);
    } // namespace detail

    // Called first by every mutating call of a backend: true means "fail now,
    // with errno detail::error".
    inline bool inject(Counted counted = Counted::Other, Kind kind = Kind::Other)
    {
        ++detail::counts[static_cast<int>(counted)];
        return detail::armed && detail::hit(kind);
    }
} // namespace Platform::File::Fault
