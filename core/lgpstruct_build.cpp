// The archive builder: every ordinary file of one folder, in case-insensitive
// name order, behind a header, a TOC and (optionally) copied validation data.
#include "lgpstruct.h"
#include "lgpstruct_internal.h"

#include "platform/paths.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

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

    const std::string MissingTemplateText =
        "Couldn't find an appropriate file validation data. Perhaps you are trying to make an LGP with an "
        "unsupported number of files in it.";
}

std::vector<std::string> ListArchiveFolder(const std::string& folder, const std::string& exclude)
{
    // An empty path would become "/" once the separator is appended.
    if (folder.empty())
        lgp::Fail("No folder was given to build the archive from.");
    const std::string base = WithSlash(folder);
    struct stat excluded{};
    const bool haveExcluded = !exclude.empty() && ::stat(exclude.c_str(), &excluded) == 0;

    DIR* dir = ::opendir(base.c_str());
    if (!dir)
        lgp::FailInOut(errno);
    std::vector<std::string> files;
    try
    {
        while (const dirent* item = ::readdir(dir))
        {
            std::string path = base + item->d_name;
            if (!Platform::File::isOrdinaryFile(path))
                continue;
            if (haveExcluded)
            {
                struct stat st;
                if (::stat(path.c_str(), &st) == 0 && st.st_dev == excluded.st_dev && st.st_ino == excluded.st_ino)
                    continue;
            }
            files.push_back(std::move(path));
        }
    }
    catch (...)
    {
        ::closedir(dir);
        throw;
    }
    ::closedir(dir);
    std::sort(files.begin(), files.end(), FolderOrder);
    return files;
}

std::vector<std::uint8_t> ReadValidationData(const std::string& archivePath)
{
    TFileStream file(archivePath, FileMode::OpenRead);
    const std::int64_t size = file.Size();
    std::uint8_t header[HeaderSize];
    ReadAt(file.Handle(), header, sizeof header, 0);
    const std::int64_t count = std::max<std::int32_t>(GetLE32(header + 12), 0);
    if (count > (size - HeaderSize) / TocEntrySize)
        lgp::FailRead();
    std::vector<std::uint8_t> toc(static_cast<std::size_t>(count * TocEntrySize));
    if (!toc.empty())
        ReadAt(file.Handle(), toc.data(), toc.size(), HeaderSize);
    std::int64_t smallest = size;
    for (std::int64_t i = 0; i < count; ++i)
        smallest = std::min<std::int64_t>(smallest, GetLE32(toc.data() + i * TocEntrySize + 20));
    const std::int64_t tocEnd = HeaderSize + count * TocEntrySize;
    std::vector<std::uint8_t> data;
    if (smallest > tocEnd)
    {
        data.resize(static_cast<std::size_t>(smallest - tocEnd));
        ReadAt(file.Handle(), data.data(), data.size(), tocEnd);
    }
    return data;
}

void BuildArchive(const ArchiveBuildOptions& options)
{
    const std::vector<std::string> files = ListArchiveFolder(options.Folder, options.Output);
    if (files.size() > static_cast<std::size_t>(INT32_MAX / TocEntrySize))
        lgp::Fail("The folder holds too many files for one archive.");
    const auto n = static_cast<std::int32_t>(files.size());

    // Every name must fit its 20-byte field; refuse before the output exists.
    std::vector<NameField> names;
    names.reserve(files.size());
    for (const auto& path : files)
        names.push_back(FieldFromName(BaseName(path)));

    TFileStream output(options.Output, FileMode::Create);
    const auto& out = output.Handle();

    std::uint8_t header[HeaderSize];
    std::copy(options.CreatorField.begin(), options.CreatorField.end(), header);
    PutLE32(header + 12, n);
    WriteAt(out, header, sizeof header, 0);

    const std::int64_t validationSize =
        options.ValidationData ? static_cast<std::int64_t>(options.ValidationData->size()) : 0;
    std::int64_t position = HeaderSize + std::int64_t(n) * TocEntrySize + validationSize;
    std::vector<std::uint8_t> toc(static_cast<std::size_t>(std::int64_t(n) * TocEntrySize));
    for (std::int32_t i = 0; i < n; ++i)
    {
        const std::string& path = files[static_cast<std::size_t>(i)];
        TOCEntry entry;
        entry.Name = names[static_cast<std::size_t>(i)];
        entry.Offset = static_cast<std::int32_t>(std::min<std::int64_t>(position, MaxArchiveSize));
        EncodeTocEntry(entry, toc.data() + std::int64_t(i) * TocEntrySize);
        struct stat st;
        if (!Platform::File::isOrdinaryFile(path) || ::stat(path.c_str(), &st) != 0)
        {
            WriteAt(out, toc.data(), static_cast<std::size_t>(std::int64_t(i + 1) * TocEntrySize), HeaderSize);
            lgp::Fail("Couldn't find a file that exists. AARRRRGH.");
        }
        position += std::int64_t(st.st_size) + DataHeaderSize;
        // Offsets are signed 32-bit: the data must end within 2,147,483,647 bytes.
        if (position + static_cast<std::int64_t>(options.TrailingText.size()) > MaxArchiveSize)
            lgp::Fail("The files are too large for one archive (more than 2,147,483,647 bytes).");
    }
    if (!toc.empty())
        WriteAt(out, toc.data(), toc.size(), HeaderSize);
    std::int64_t at = HeaderSize + std::int64_t(n) * TocEntrySize;
    if (options.ValidationData && !options.ValidationData->empty())
        WriteAt(out, options.ValidationData->data(), options.ValidationData->size(), at);
    at += validationSize;

    if (options.ReportProgress)
        ReportProgress(0, n);
    for (std::int32_t i = 0; i < n; ++i)
    {
        const std::string& path = files[static_cast<std::size_t>(i)];
        {
            TFileStream source(path, FileMode::OpenRead);
            const std::int64_t size = source.Size();
            if (at + DataHeaderSize + size > MaxArchiveSize)
                lgp::Fail("The files are too large for one archive (more than 2,147,483,647 bytes).");
            std::uint8_t dataHeader[DataHeaderSize];
            EncodeDataHeader(names[static_cast<std::size_t>(i)], static_cast<std::int32_t>(size), dataHeader);
            WriteAt(out, dataHeader, sizeof dataHeader, at);
            CopyFileBytes(source.Handle(), 0, out, at + DataHeaderSize, size);
            at += DataHeaderSize + size;
        }
        if (options.DeleteSources && ::unlink(path.c_str()) != 0)
            lgp::FailInOut(errno);
        if (options.ReportProgress)
            ReportProgress(i + 1, n);
    }
    if (!options.TrailingText.empty())
        WriteAt(out, options.TrailingText.data(), options.TrailingText.size(), at);
    // A replaced output may have been longer; it ends here.
    output.SetSize(at + static_cast<std::int64_t>(options.TrailingText.size()));
}

void CreateArchiveFromFolder(const std::string& folder, const std::string& output, bool deleteSources,
    bool useValidationData)
{
    ArchiveBuildOptions options;
    options.Folder = folder;
    options.Output = output;
    options.DeleteSources = deleteSources;
    if (useValidationData)
    {
        const auto count = ListArchiveFolder(folder, output).size();
        const std::string templatePath = Platform::Paths::programDir() + "LGP." + std::to_string(count);
        try
        {
            options.ValidationData = ReadWholeFile(templatePath);
        }
        catch (const ELGPError&)
        {
            // Nothing has been created: the message is the whole outcome.
            if (MessageHook)
                MessageHook(MissingTemplateText);
            return;
        }
    }
    BuildArchive(options);
}
