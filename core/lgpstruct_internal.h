#pragma once
// Helpers shared by the archive core's sources: the record sizes, records
// from and into bytes, and the safe rewrite of an archive. Not part of the
// public API.

#include "lebytes.h"
#include "lgpstruct.h"

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace lgp::detail
{
    constexpr std::int64_t HeaderSize = 16;
    constexpr std::int64_t TocEntrySize = 27;
    constexpr std::int64_t DataHeaderSize = 24;
    constexpr std::int64_t GapMarkerSize = 8;
    constexpr std::uint32_t GapMagic = 0x5F6A04E8u;
    constexpr std::int64_t MaxArchiveSize = 2147483647;

    // The 20-byte name field at offset; "Stream read error" when it doesn't
    // lie inside bytes.
    inline NameField FieldAt(std::span<const std::uint8_t> bytes, std::uint64_t offset = 0)
    {
        if (!lgp::FieldFits(bytes.size(), offset, NameFieldSize))
            lgp::FailRead();
        NameField field;
        std::memcpy(field.data(), bytes.data() + offset, NameFieldSize);
        return field;
    }

    // The creator text of a header: from the first non-NUL byte of its
    // 12-byte field to the field's end.
    std::string CreatorFromField(std::span<const std::uint8_t> header);

    // A TOC entry from, or into, the 27 bytes at offset.
    TOCEntry DecodeTocEntry(std::span<const std::uint8_t> bytes, std::uint64_t offset);
    void EncodeTocEntry(const TOCEntry& entry, std::span<std::uint8_t> bytes, std::uint64_t offset);
    // A data entry header into the 24 bytes at offset.
    void EncodeDataHeader(const NameField& name, std::int32_t length, std::span<std::uint8_t> bytes,
                          std::uint64_t offset = 0);

    // One value per name key in a flat open-addressing table (8 bytes a slot,
    // keys and values in their own arrays): a repair of 100,000 entries stays
    // within a few arrays instead of one allocation per name.
    class FlatNameIndex
    {
    public:
        explicit FlatNameIndex(std::size_t expected)
        {
            std::size_t capacity = 16;
            while (capacity < expected * 2)
                capacity *= 2;
            mSlots.assign(capacity, Slot{});
            mKeys.reserve(expected);
            mValues.reserve(expected);
        }

        // The value slot of key, added with initial when the key is new.
        std::int32_t& Insert(const NameKey& key, std::int32_t initial)
        {
            if ((mKeys.size() + 1) * 2 > mSlots.size())
                Grow();
            const auto hash = static_cast<std::uint32_t>(NameKeyHash{}(key));
            for (std::size_t i = hash & (mSlots.size() - 1);; i = (i + 1) & (mSlots.size() - 1))
            {
                Slot& slot = mSlots[i];
                if (slot.item < 0)
                {
                    slot.hash = hash;
                    slot.item = static_cast<std::int32_t>(mKeys.size());
                    mKeys.push_back(key);
                    mValues.push_back(initial);
                    return mValues.back();
                }
                if (slot.hash == hash && mKeys[static_cast<std::size_t>(slot.item)] == key)
                    return mValues[static_cast<std::size_t>(slot.item)];
            }
        }

        // The value stored for key, or nullptr.
        std::int32_t* Find(const NameKey& key)
        {
            const auto hash = static_cast<std::uint32_t>(NameKeyHash{}(key));
            for (std::size_t i = hash & (mSlots.size() - 1);; i = (i + 1) & (mSlots.size() - 1))
            {
                const Slot& slot = mSlots[i];
                if (slot.item < 0)
                    return nullptr;
                if (slot.hash == hash && mKeys[static_cast<std::size_t>(slot.item)] == key)
                    return &mValues[static_cast<std::size_t>(slot.item)];
            }
        }

    private:
        struct Slot
        {
            std::uint32_t hash = 0;
            std::int32_t item = -1;
        };

        void Grow()
        {
            std::vector<Slot> old(mSlots.size() * 2);
            old.swap(mSlots);
            for (const Slot& slot : old)
            {
                if (slot.item < 0)
                    continue;
                std::size_t i = slot.hash & (mSlots.size() - 1);
                while (mSlots[i].item >= 0)
                    i = (i + 1) & (mSlots.size() - 1);
                mSlots[i] = slot;
            }
        }

        std::vector<Slot> mSlots;
        std::vector<NameKey> mKeys;
        std::vector<std::int32_t> mValues;
    };

    using Platform::File::ScopedHandle;

    // The first start bytes of archive (header, TOC, validation data) into
    // out, with toc written over the TOC: the head of a packed rewrite.
    void WriteHeadWithToc(const TByteSource& archive, TFileSource& out, std::int64_t start,
                          const std::vector<TOCEntry>& toc);

    // The one way an archive is rewritten safely: its new version is written
    // into a new hidden file beside it (beside the real file when the path is a
    // symbolic link), synced, and put in the archive's place in one step, so
    // that killed at any moment the archive is the old or the new one. The
    // archive stays open and locked meanwhile; the new file carries its
    // permission bits (and owner where allowed) and its own lock.
    class ArchiveReplacement
    {
    public:
        // Refuses, before creating anything, when the folder lacks room for
        // size bytes.
        ArchiveReplacement(const std::string& path, const ScopedHandle& archive, std::int64_t size);
        // Deletes the new file unless it was committed.
        ~ArchiveReplacement();
        ArchiveReplacement(const ArchiveReplacement&) = delete;
        ArchiveReplacement& operator=(const ArchiveReplacement&) = delete;

        // The new file while it is written; TakeFile hands it to another owner.
        TFileSource& File() { return mFile; }
        ScopedHandle TakeFile() { return mFile.Exchange(ScopedHandle()); }
        // Syncs file (the new file, wherever it is held now) and puts it in the
        // archive's place. "Stream write error" when the sync fails; "Cannot
        // open file %s" (the path as given) when the archive can't be
        // replaced, as when another program holds it without letting it be
        // deleted or a folder with the sticky bit refuses the rename, with
        // the reason on a second line: the archive is then unchanged.
        // original: the caller's handle on the archive (see
        // Platform::File::replace for when it is closed).
        void Commit(const TFileSource& file, ScopedHandle& original);

    private:
        std::string mPath;
        std::string mTarget;
        std::string mTempPath;
        TFileSource mFile;
        bool mCommitted = false;
    };

    // The header and the whole TOC of an archive of size bytes: the creator
    // text, the file count as stored, and count x 27 TOC bytes (none for a
    // count of 0 or less). A count the file can't hold fails with "Stream read
    // error" before anything is allocated for it.
    struct ArchiveHead
    {
        std::string Creator;
        std::int32_t FileCount = 0;
        std::vector<std::uint8_t> Toc;
    };
    ArchiveHead ReadArchiveHead(const TByteSource& file, std::int64_t size);

    // Appends to dest the data of the entry whose data entry header lies at
    // offset in file: exactly the header's Length bytes. What the file holds is
    // copied before "Stream read error" reports a Length running past its end.
    void ReadDataEntryAt(const TByteSource& file, std::int32_t offset, TStream& dest);
} // namespace lgp::detail
