// The archive builder: every ordinary file of one folder behind a header, a
// TOC and (optionally) validation data: copied from a template or an archive,
// or the lookup table computed for the names.
#include "lgplookup.h"
#include "lgpstruct.h"
#include "lgpstruct_internal.h"

#include "platform/folder.h"
#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

using namespace lgp::detail;

namespace
{
    int CompareFolded(const std::string& a, const std::string& b)
    {
        const std::size_t n = std::min(a.size(), b.size());
        for (std::size_t i = 0; i < n; ++i)
        {
            auto x = static_cast<unsigned char>(a[i]);
            auto y = static_cast<unsigned char>(b[i]);
            if (x >= 'a' && x <= 'z')
                x = static_cast<unsigned char>(x - 'a' + 'A');
            if (y >= 'a' && y <= 'z')
                y = static_cast<unsigned char>(y - 'a' + 'A');
            if (x != y)
                return x < y ? -1 : 1;
        }
        return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
    }

    // Case-insensitive order; names equal but for case fall back to the plain
    // byte order so the result never depends on how the folder lists them.
    bool FolderOrder(const std::string& a, const std::string& b)
    {
        const int folded = CompareFolded(a, b);
        return folded != 0 ? folded < 0 : a < b;
    }

    std::string WithSlash(std::string folder)
    {
        if (folder.empty() || folder.back() != '/')
            folder += '/';
        return folder;
    }

    std::string BaseName(const std::string& path)
    {
        const auto slash = path.find_last_of('/');
        return slash == std::string::npos ? path : path.substr(slash + 1);
    }

    const std::string VanishedText = "Couldn't find a file that exists. AARRRRGH.";

    [[noreturn]] void FailTooLarge()
    {
        lgp::Fail("The files are too large for one archive (more than 2,147,483,647 bytes).");
    }

    // Data entries (header and data) gathered in one buffer and written in
    // large writes. A file that doesn't fit the buffer's free room is copied
    // in the kernel from the point the buffer ends.
    class DataWriter
    {
    public:
        DataWriter(TByteSource& out, std::int64_t position)
            : mOut(out)
            , mPosition(position)
            , mBuffer(BufferSize)
        {
        }

        // Where the next byte goes in the archive.
        std::int64_t End() const { return mPosition + static_cast<std::int64_t>(mUsed); }

        // Stores one file as a data entry; returns its length.
        std::int64_t AddFile(const std::string& path, const NameField& name, std::int64_t trailing)
        {
            if (mBuffer.size() - mUsed < MinimumRoom)
                Flush();
            const TFileSource source(
                Platform::File::open(path, Platform::File::Access::Read, Platform::File::Share::DenyNone));
            if (!source.Handle().valid())
            {
                if (errno == ENOENT || errno == ENOTDIR || errno == EISDIR)
                    lgp::Fail(VanishedText);
                lgp::FailOpen(path);
            }
            const std::size_t header = mUsed;
            mUsed += DataHeaderSize;
            std::int64_t length = 0;
            bool ended = false;
            while (mUsed < mBuffer.size())
            {
                const auto got = static_cast<std::int64_t>(
                    source.ReadSomeAt(length, mBuffer.data() + mUsed, mBuffer.size() - mUsed));
                if (got == 0)
                {
                    ended = true;
                    break;
                }
                mUsed += static_cast<std::size_t>(got);
                length += got;
            }
            const std::int64_t inBuffer = length;
            if (!ended)
            {
                // Larger than the room left: the rest goes in the kernel.
                const std::int64_t size = source.Size();
                if (size < inBuffer)
                    lgp::FailRead();
                length = size;
            }
            if (mPosition + static_cast<std::int64_t>(header) + DataHeaderSize + length + trailing > MaxArchiveSize)
                FailTooLarge();
            EncodeDataHeader(name, static_cast<std::int32_t>(length), mBuffer, header);
            if (!ended)
            {
                Flush();
                CopyBytes(source, inBuffer, mOut, mPosition, length - inBuffer);
                mPosition += length - inBuffer;
            }
            return length;
        }

        void Add(const void* bytes, std::size_t count)
        {
            if (mBuffer.size() - mUsed < count)
                Flush();
            if (count > mBuffer.size())
            {
                mOut.WriteAt(mPosition, bytes, count);
                mPosition += static_cast<std::int64_t>(count);
                return;
            }
            std::memcpy(mBuffer.data() + mUsed, bytes, count);
            mUsed += count;
        }

        void Flush()
        {
            if (mUsed == 0)
                return;
            mOut.WriteAt(mPosition, mBuffer.data(), mUsed);
            mPosition += static_cast<std::int64_t>(mUsed);
            mUsed = 0;
        }

    private:
        static constexpr std::size_t BufferSize = std::size_t(8) << 20;
        // A file starts in the buffer only with this much room; smaller files
        // never reach the in-kernel copy, which costs more than it saves on them.
        static constexpr std::size_t MinimumRoom = std::size_t(1) << 20;

        TByteSource& mOut;
        std::int64_t mPosition; // where the buffer's first byte goes
        std::vector<std::uint8_t> mBuffer;
        std::size_t mUsed = 0;
    };

    std::string QuotedList(const std::vector<std::string>& items, std::size_t limit = 20)
    {
        std::string text;
        for (std::size_t i = 0; i < items.size() && i < limit; ++i)
            text += (i > 0 ? ", \"" : "\"") + items[i] + '"';
        if (items.size() > limit)
            text += " and " + std::to_string(items.size() - limit) + " more";
        return text;
    }

    // Files in folder order sit next to those that differ from them only in case.
    void CheckCaseCollisions(const std::vector<std::string>& names)
    {
        std::vector<std::string> pairs;
        for (std::size_t i = 1; i < names.size(); ++i)
        {
            if (SameNameAscii(names[i - 1], names[i]))
                pairs.push_back("\"" + names[i - 1] + "\" and \"" + names[i] + "\"");
        }
        if (pairs.empty())
            return;
        std::string list;
        for (std::size_t i = 0; i < pairs.size() && i < 20; ++i)
            list += (i > 0 ? ", " : "") + pairs[i];
        if (pairs.size() > 20)
            list += " and " + std::to_string(pairs.size() - 20) + " more";
        lgp::Fail("Names in an archive compare without case, so these files of the folder can't both be stored: " + list
                  + ". Rename or remove one of each.");
    }

    // Positions into names in the TOC order of source, whose validation data
    // indexes that order. The names must be source's names, case aside.
    std::vector<std::size_t> OrderAsArchive(const std::vector<std::string>& names, const TLGPFile& source)
    {
        const std::int32_t count = std::max<std::int32_t>(source.FileCount(), 0);
        std::vector<NameKey> keys(static_cast<std::size_t>(count));
        std::unordered_map<NameKey, std::vector<std::int32_t>, NameKeyHash> byName;
        for (std::int32_t i = 0; i < count; ++i)
        {
            const std::string name = source.GetEntry(i).Name;
            keys[std::size_t(i)] = MakeNameKey(name.data(), std::min(name.size(), NameFieldSize));
            byName[keys[std::size_t(i)]].push_back(i);
        }
        std::unordered_map<NameKey, std::size_t, NameKeyHash> used;
        std::vector<std::pair<std::int32_t, std::size_t>> placed;
        std::vector<std::string> onlyInFolder;
        for (std::size_t k = 0; k < names.size(); ++k)
        {
            const NameKey key = MakeNameKey(names[k].data(), names[k].size());
            const auto found = byName.find(key);
            std::size_t& next = used[key];
            if (found == byName.end() || next >= found->second.size())
            {
                onlyInFolder.push_back(names[k]);
                continue;
            }
            placed.emplace_back(found->second[next++], k);
        }
        std::vector<std::string> onlyInArchive;
        std::vector<bool> matched(static_cast<std::size_t>(count), false);
        for (const auto& p : placed)
            matched[std::size_t(p.first)] = true;
        for (std::int32_t i = 0; i < count; ++i)
        {
            if (!matched[std::size_t(i)])
                onlyInArchive.push_back(source.GetEntry(i).Name);
        }
        if (!onlyInFolder.empty() || !onlyInArchive.empty())
        {
            std::string text = static_cast<std::size_t>(count) != names.size()
                                   ? "The archive " + source.FileName() + " holds " + std::to_string(count)
                                         + " files but the folder holds " + std::to_string(names.size())
                                         + "; its validation data can't be reused."
                                   : "The folder's names are not the names in the archive " + source.FileName()
                                         + "; its validation data can't be reused.";
            if (!onlyInFolder.empty())
                text += " Only in the folder: " + QuotedList(onlyInFolder) + ".";
            if (!onlyInArchive.empty())
                text += " Only in the archive: " + QuotedList(onlyInArchive) + ".";
            lgp::Fail(text);
        }
        std::sort(placed.begin(), placed.end());
        std::vector<std::size_t> order;
        order.reserve(placed.size());
        for (const auto& p : placed)
            order.push_back(p.second);
        return order;
    }
} // namespace

std::vector<std::string> ListArchiveFolder(const std::string& folder, const std::string& exclude)
{
    // An empty path would become "/" once the separator is appended.
    if (folder.empty())
        lgp::Fail("No folder was given to build the archive from.");
    const std::string base = WithSlash(folder);
    std::vector<std::string> files = Platform::Folder::ordinaryFileNames(base, exclude);
    for (auto& name : files)
        name.insert(0, base);
    std::sort(files.begin(), files.end(), FolderOrder);
    return files;
}

std::vector<std::uint8_t> ReadValidationData(const std::string& archivePath)
{
    return ReadArchiveLookupView(archivePath).Validation;
}

void BuildArchive(const ArchiveBuildOptions& options)
{
    const std::vector<std::string> files =
        options.Files ? *options.Files : ListArchiveFolder(options.Folder, options.Output);
    if (files.size() > static_cast<std::size_t>(INT32_MAX / TocEntrySize))
        lgp::Fail("The folder holds too many files for one archive.");
    const auto n = static_cast<std::int32_t>(files.size());

    // Every name must fit its 20-byte field; refuse before the output exists.
    std::vector<NameField> names;
    names.reserve(files.size());
    for (const auto& path : files)
        names.push_back(FieldFromName(BaseName(path)));

    // Another writer of an archive being replaced is shut out, as from any archive being written.
    TNewFileStream output(options.Output, true);
    RemoveLeftoverTemporaries(options.Output);
    TFileSource& out = output.Source();

    // Header, TOC and validation data: written last, in one write, once the
    // lengths are known.
    const std::int64_t validationSize =
        options.ValidationData ? static_cast<std::int64_t>(options.ValidationData->size()) : 0;
    const std::int64_t tocEnd = HeaderSize + std::int64_t(n) * TocEntrySize;
    const std::int64_t dataStart = tocEnd + validationSize;
    const auto trailing = static_cast<std::int64_t>(options.TrailingText.size());
    if (dataStart + trailing > MaxArchiveSize)
        FailTooLarge();
    std::vector<std::uint8_t> head(static_cast<std::size_t>(dataStart));
    std::copy(options.CreatorField.begin(), options.CreatorField.end(), head.begin());
    lgp::PutLE(head, 12, n);
    if (validationSize > 0)
        std::copy(options.ValidationData->begin(), options.ValidationData->end(), head.begin() + tocEnd);

    if (options.ReportProgress)
        ReportProgress(0, n);
    DataWriter data(out, dataStart);
    for (std::int32_t i = 0; i < n; ++i)
    {
        const std::string& path = files[static_cast<std::size_t>(i)];
        TOCEntry entry;
        entry.Name = names[static_cast<std::size_t>(i)];
        entry.Offset = static_cast<std::int32_t>(data.End());
        EncodeTocEntry(entry, head, std::uint64_t(HeaderSize + std::int64_t(i) * TocEntrySize));
        data.AddFile(path, entry.Name, trailing);
        if (options.ReportProgress)
            ReportProgress(i + 1, n);
    }
    data.Add(options.TrailingText.data(), options.TrailingText.size());
    data.Flush();
    out.WriteAt(0, head.data(), head.size());
    output.Commit(options.DeleteSources);
    // Only what has reached the archive in its place is deleted: a build that
    // fails or is killed before this leaves every source where it was.
    if (options.DeleteSources)
    {
        for (const auto& path : files)
        {
            if (!Platform::File::remove(path))
                lgp::FailInOut(errno);
        }
    }
}

bool IsUsableTemplate(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < LookupTableSize)
        return false;
    return std::any_of(bytes.begin(), bytes.begin() + LookupTableSize, [](std::uint8_t b) { return b != 0; });
}

void CreateArchive(const CreateArchiveOptions& options)
{
    // The output is listed like any file of the folder: an archive written
    // over one of its own sources would leave that file out and lose it.
    std::vector<std::string> files = ListArchiveFolder(options.Folder, std::string());
    RequireOutputIsNoInput(options.Output, files);
    std::vector<std::string> names;
    names.reserve(files.size());
    for (const auto& path : files)
        names.push_back(BaseName(path));
    for (const auto& name : names)
        FieldFromName(name);
    CheckCaseCollisions(names);

    ArchiveBuildOptions build;
    build.Folder = options.Folder;
    build.Output = options.Output;
    build.DeleteSources = options.DeleteSources;
    std::vector<std::size_t> order;
    switch (options.Validation)
    {
    case ValidationSource::None: break;
    case ValidationSource::TemplateOrLookup:
    {
        const std::string templatePath = Platform::Paths::programDir() + "LGP." + std::to_string(files.size());
        RequireOutputIsNoInput(options.Output, std::span(&templatePath, 1));
        std::vector<std::uint8_t> bytes;
        try
        {
            bytes = ReadWholeFile(templatePath);
        }
        catch (const ELGPError&)
        {
            bytes.clear(); // no template: the table is computed
        }
        if (IsUsableTemplate(bytes))
        {
            build.ValidationData = std::move(bytes);
            break;
        }
        order = LookupOrder(names);
        std::vector<std::string> tocNames;
        tocNames.reserve(names.size());
        for (const std::size_t k : order)
            tocNames.push_back(names[k]);
        build.ValidationData = ComputeLookupData(tocNames);
        break;
    }
    case ValidationSource::FromArchive:
    {
        RequireOutputIsNoInput(options.Output, std::span(&options.ValidationArchive, 1));
        const TLGPFile source(options.ValidationArchive, false);
        order = OrderAsArchive(names, source);
        build.ValidationData = ReadValidationData(options.ValidationArchive);
        break;
    }
    }
    if (!order.empty())
    {
        std::vector<std::string> ordered;
        ordered.reserve(files.size());
        for (const std::size_t k : order)
            ordered.push_back(std::move(files[k]));
        files = std::move(ordered);
    }
    build.Files = std::move(files);
    BuildArchive(build);
}

void CreateArchiveFromFolder(const std::string& folder, const std::string& output, bool deleteSources,
                             bool useValidationData)
{
    CreateArchive({.Folder = folder,
                   .Output = output,
                   .DeleteSources = deleteSources,
                   .Validation = useValidationData ? ValidationSource::TemplateOrLookup : ValidationSource::None});
}
