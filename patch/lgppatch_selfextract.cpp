// Self-extracting patches: the stub's image, the patch, and a 40-byte trailer
//   int32 StubLength (= offset of the patch), int32 Flags (bit 0: overwrite in
//   place), char TargetName[32] (NUL-terminated file name of the archive).
// The trailer always fills the last 40 bytes, so readers find it from the end.
//
// Programs made by this version put a digest record in front of the patch,
// where readers that take the patch from StubLength never look:
//   image | 0-7 zero bytes | "Tarrowin SHA-256" (16) | uint64 patch length |
//   SHA-256 of the patch and the trailer (32) | patch | trailer
// The zero bytes make the whole file a multiple of 8 bytes long, so that a
// signature appended by a code-signing tool (whose certificate table starts on
// an 8-byte boundary) begins right behind the trailer. The record lies right
// behind the image, so a download cut short (trailer lost) is still known for
// one made with a digest.

#include "lgppatch.h"

#include "core/lebytes.h"
#include "errors/errors.h"
#include "sha256.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#ifndef _WIN32
#include <filesystem>
#include <system_error>
#endif

namespace
{
    // A self-extracting patch is a program: whoever may read it may run it.
    void MakeRunnable([[maybe_unused]] const std::string& path)
    {
#ifndef _WIN32
        // (Windows runs a program by its name; there is no bit to set.)
        namespace fs = std::filesystem;
        std::error_code ec;
        const fs::perms current = fs::status(path, ec).permissions();
        if (ec)
            return;
        fs::perms add = fs::perms::owner_exec;
        if ((current & fs::perms::group_read) != fs::perms::none)
            add |= fs::perms::group_exec;
        if ((current & fs::perms::others_read) != fs::perms::none)
            add |= fs::perms::others_exec;
        fs::permissions(path, add, fs::perm_options::add, ec);
#endif
    }

    // The unsigned little-endian field of size bytes (2, 4 or 8) at pos;
    // "Stream read error" when it doesn't lie inside bytes.
    std::uint64_t le(std::span<const std::uint8_t> bytes, std::uint64_t pos, unsigned size)
    {
        switch (size)
        {
        case 2: return lgp::GetLE<std::uint16_t>(bytes, pos);
        case 4: return lgp::GetLE<std::uint32_t>(bytes, pos);
        default: return lgp::GetLE<std::uint64_t>(bytes, pos);
        }
    }

    [[noreturn]] void failNotSelfExtracting(const std::string& label)
    {
        lgp::Fail(label + " is not a self-extracting patch.");
    }
}

std::uint64_t ElfImageEnd(std::span<const std::uint8_t> file)
{
    // e_ident: magic, class (1 = 32-bit, 2 = 64-bit), data (1 = little-endian).
    if (file.size() < 64 || file[0] != 0x7F || file[1] != 'E' || file[2] != 'L' || file[3] != 'F' || file[5] != 1)
        return 0;
    const bool wide = file[4] == 2;
    if (!wide && file[4] != 1)
        return 0;
    const unsigned word = wide ? 8 : 4;
    const std::uint64_t size = file.size();
    const std::uint64_t phoff = le(file, wide ? 0x20 : 0x1C, word);
    const std::uint64_t shoff = le(file, wide ? 0x28 : 0x20, word);
    const std::uint64_t phentsize = le(file, wide ? 0x36 : 0x2A, 2);
    const std::uint64_t phnum = le(file, wide ? 0x38 : 0x2C, 2);
    const std::uint64_t shentsize = le(file, wide ? 0x3A : 0x2E, 2);
    const std::uint64_t shnum = le(file, wide ? 0x3C : 0x30, 2);

    // Header tables that don't fit the file: the image claims more bytes
    // than there are, so nothing can follow it. Entry sizes and counts are
    // 16 bits wide, so no product wraps.
    const std::uint64_t phMin = wide ? 56 : 32;
    const std::uint64_t shMin = wide ? 64 : 40;
    if ((phnum && (phentsize < phMin || phoff > size || phnum * phentsize > size - phoff))
        || (shnum && (shentsize < shMin || shoff > size || shnum * shentsize > size - shoff)))
        return size + 1;

    std::uint64_t end = 64;
    auto extend = [&](std::uint64_t offset, std::uint64_t length) {
        if (offset <= size && length <= size - offset)
            end = std::max(end, offset + length);
        else
            end = size + 1; // a region beyond the file: report "ends past it"
    };
    extend(phoff, phnum * phentsize);
    extend(shoff, shnum * shentsize);
    for (std::uint64_t i = 0; i < phnum; ++i)
    {
        const std::uint64_t ph = phoff + i * phentsize;
        extend(le(file, ph + (wide ? 8 : 4), word), le(file, ph + (wide ? 32 : 16), word));
    }
    for (std::uint64_t i = 0; i < shnum; ++i)
    {
        const std::uint64_t sh = shoff + i * shentsize;
        constexpr std::uint64_t NoBits = 8; // .bss and the like occupy no file bytes
        if (le(file, sh + 4, 4) == NoBits)
            continue;
        extend(le(file, sh + (wide ? 0x18 : 0x10), word), le(file, sh + (wide ? 0x20 : 0x14), word));
    }
    return end;
}

std::uint64_t PeImageEnd(std::span<const std::uint8_t> file)
{
    // "MZ", then e_lfanew at 0x3C naming the "PE\0\0" signature.
    const std::uint64_t size = file.size();
    if (size < 64 || file[0] != 'M' || file[1] != 'Z')
        return 0;
    const std::uint64_t pe = le(file, 0x3C, 4);
    if (pe > size || size - pe < 24 || file[pe] != 'P' || file[pe + 1] != 'E' || file[pe + 2] != 0 || file[pe + 3] != 0)
        return 0;
    const std::uint64_t sections = le(file, pe + 6, 2);
    const std::uint64_t symbols = le(file, pe + 12, 4);
    const std::uint64_t symbolCount = le(file, pe + 16, 4);
    const std::uint64_t optionalSize = le(file, pe + 20, 2);
    const std::uint64_t optional = pe + 24;
    const std::uint64_t table = optional + optionalSize;
    // The headers must be present to be measured; a file cut inside them
    // claims more than it has.
    if (table > size || sections * 40 > size - table)
        return size + 1;

    std::uint64_t end = table + sections * 40;
    auto extend = [&](std::uint64_t offset, std::uint64_t length) {
        if (offset <= size && length <= size - offset)
            end = std::max(end, offset + length);
        else
            end = size + 1;
    };
    if (optionalSize >= 64)
        extend(0, le(file, optional + 60, 4)); // SizeOfHeaders
    for (std::uint64_t i = 0; i < sections; ++i)
    {
        const std::uint64_t section = table + i * 40;
        const std::uint64_t rawSize = le(file, section + 16, 4);
        if (rawSize != 0)
            extend(le(file, section + 20, 4), rawSize);
    }
    if (symbols != 0)
    {
        // 18-byte symbols, then a string table that starts with its size.
        extend(symbols, symbolCount * 18 + 4);
        if (end <= size)
            extend(symbols + symbolCount * 18, le(file, symbols + symbolCount * 18, 4));
    }
    // The certificate table (data directory 4) is the one that lies in
    // the file rather than in the loaded image: its address is a file offset.
    const std::uint64_t magic = optionalSize >= 2 ? le(file, optional, 2) : 0;
    const std::uint64_t directories = magic == 0x20B ? 112 : magic == 0x10B ? 96 : 0;
    if (directories != 0 && optionalSize >= directories + 5 * 8 && le(file, optional + directories - 4, 4) >= 5)
    {
        const std::uint64_t certificates = le(file, optional + directories + 4 * 8, 4);
        const std::uint64_t length = le(file, optional + directories + 4 * 8 + 4, 4);
        // A table that starts where the bytes given end is a signature of the
        // whole self-extracting file, cut off by SignedContentEnd: no part of
        // the image.
        if (certificates != 0 && length != 0 && certificates < size)
            extend(certificates, length);
    }
    return end;
}

std::uint64_t ImageEnd(std::span<const std::uint8_t> file)
{
    if (const std::uint64_t end = ElfImageEnd(file))
        return end;
    return PeImageEnd(file);
}

std::string TargetNameFromText(const std::string& text)
{
    const auto cut = text.find_last_of("/\\:");
    return cut == std::string::npos ? text : text.substr(cut + 1);
}

std::vector<std::uint8_t> EncodeTrailer(const SelfExtractorTrailer& trailer)
{
    // The field keeps a NUL terminator, which the stub relies on.
    if (trailer.TargetName.size() >= TargetNameFieldSize)
        lgp::Fail("The file name \"" + trailer.TargetName
                  + "\" is too long for a self-extracting patch (at most 31 characters).");
    std::vector<std::uint8_t> bytes(SelfExtractorTrailerSize, 0);
    lgp::PutLE(bytes, 0, trailer.StubLength);
    lgp::PutLE(bytes, 4, trailer.Flags);
    std::memcpy(bytes.data() + 8, trailer.TargetName.data(), trailer.TargetName.size());
    return bytes;
}

SelfExtractorTrailer DecodeTrailer(std::span<const std::uint8_t> file, const std::string& fileLabel)
{
    if (file.size() < SelfExtractorTrailerSize)
        failNotSelfExtracting(fileLabel);
    const std::span<const std::uint8_t> t = file.last(SelfExtractorTrailerSize);
    SelfExtractorTrailer trailer;
    trailer.StubLength = lgp::GetLE<std::int32_t>(t, 0);
    trailer.Flags = lgp::GetLE<std::int32_t>(t, 4);
    // The patch lies between the stub image and the trailer; a StubLength
    // outside that range means these 40 bytes are no trailer.
    if (trailer.StubLength < 0
        || static_cast<std::uint64_t>(trailer.StubLength) > file.size() - SelfExtractorTrailerSize)
        failNotSelfExtracting(fileLabel);
    const char* name = reinterpret_cast<const char*>(t.data() + 8);
    trailer.TargetName.assign(name, strnlen(name, TargetNameFieldSize));
    return trailer;
}

SelfExtractorTrailer DecodeTrailer(std::span<const std::uint8_t> file) { return DecodeTrailer(file, "The file"); }

namespace
{
    constexpr std::size_t DigestRecordSize = 56;
    constexpr char DigestMagic[16] = {'T', 'a', 'r', 'r', 'o', 'w', 'i', 'n', ' ', 'S', 'H', 'A', '-', '2', '5', '6'};

    bool digestRecordAt(std::span<const std::uint8_t> file, std::uint64_t pos)
    {
        return pos <= file.size() && file.size() - pos >= DigestRecordSize
               && std::equal(std::begin(DigestMagic), std::end(DigestMagic), file.begin() + std::ptrdiff_t(pos),
                             [](char m, std::uint8_t b) { return std::uint8_t(m) == b; });
    }

    // The record right behind the image (after its zero padding), if any.
    std::optional<std::size_t> digestRecordBehindImage(std::span<const std::uint8_t> file)
    {
        const std::uint64_t image = ImageEnd(file);
        if (image == 0)
            return std::nullopt;
        for (std::uint64_t pos = image; pos < image + 8 && pos < file.size(); ++pos)
        {
            if (digestRecordAt(file, pos))
                return std::size_t(pos);
            if (file[pos] != 0)
                break;
        }
        return std::nullopt;
    }
} // namespace

std::size_t SignedContentEnd(std::span<const std::uint8_t> file)
{
    // The PE certificate table (data directory 4) is addressed by file
    // offset. Authenticode signing appends it to the file; a table that ends
    // the file was added after whatever precedes it.
    const std::uint64_t size = file.size();
    if (size < 64 || file[0] != 'M' || file[1] != 'Z')
        return file.size();
    const std::uint64_t pe = le(file, 0x3C, 4);
    if (pe > size || size - pe < 24 || file[pe] != 'P' || file[pe + 1] != 'E' || file[pe + 2] != 0 || file[pe + 3] != 0)
        return file.size();
    const std::uint64_t optionalSize = le(file, pe + 20, 2);
    const std::uint64_t optional = pe + 24;
    if (optionalSize < 2 || optional + optionalSize > size)
        return file.size();
    const std::uint64_t magic = le(file, optional, 2);
    const std::uint64_t directories = magic == 0x20B ? 112 : magic == 0x10B ? 96 : 0;
    if (directories == 0 || optionalSize < directories + 5 * 8 || le(file, optional + directories - 4, 4) < 5)
        return file.size();
    const std::uint64_t certificates = le(file, optional + directories + 4 * 8, 4);
    const std::uint64_t length = le(file, optional + directories + 4 * 8 + 4, 4);
    if (certificates == 0 || length == 0 || certificates > size || length != size - certificates)
        return file.size();
    return std::size_t(certificates);
}

SelfExtractorParts ReadSelfExtractor(std::span<const std::uint8_t> file, const std::string& fileLabel,
                                     const std::string& damagedText)
{
    const std::span<const std::uint8_t> content = file.first(SignedContentEnd(file));
    const auto damaged = [&] { lgp::Fail(damagedText); };

    SelfExtractorParts parts;
    std::optional<std::size_t> record = digestRecordBehindImage(content);
    if (record)
    {
        // Made with a digest: whatever doesn't add up is damage.
        const std::uint64_t length = lgp::GetLE<std::uint64_t>(content, *record + 16);
        const std::uint64_t start = *record + DigestRecordSize;
        if (content.size() - start < SelfExtractorTrailerSize
            || length != content.size() - start - SelfExtractorTrailerSize)
            damaged();
        try
        {
            parts.Trailer = DecodeTrailer(content, fileLabel);
        }
        catch (const ELGPError&)
        {
            damaged();
        }
        if (std::uint64_t(parts.Trailer.StubLength) != start)
            damaged();
    }
    else
    {
        parts.Trailer = DecodeTrailer(content, fileLabel);
        const std::uint64_t start = std::uint64_t(parts.Trailer.StubLength);
        if (start >= DigestRecordSize && digestRecordAt(content, start - DigestRecordSize))
            record = std::size_t(start - DigestRecordSize);
    }
    parts.PatchOffset = std::size_t(parts.Trailer.StubLength);
    parts.PatchLength = content.size() - SelfExtractorTrailerSize - parts.PatchOffset;
    const std::span<const std::uint8_t> patch = content.subspan(parts.PatchOffset, parts.PatchLength);
    if (record)
    {
        // Programs made before the digest carry none and are taken as they are.
        const Sha256::Digest digest = Sha256::of(content.subspan(parts.PatchOffset));
        if (lgp::GetLE<std::uint64_t>(content, *record + 16) != patch.size()
            || !std::equal(digest.begin(), digest.end(), content.begin() + std::ptrdiff_t(*record + 24)))
            damaged();
        parts.Digest = true;
    }
    return parts;
}

std::string StubImageName(const std::string& output)
{
    const std::string ext = ".exe";
    const bool windows =
        output.size() >= ext.size()
        && std::equal(ext.begin(), ext.end(), output.end() - std::ptrdiff_t(ext.size()),
                      [](char e, char c) { return e == (c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c); });
    return windows ? "STUBWIN.LGP" : "STUB.LGP";
}

void MakeSelfExtractor(const std::string& stubPath, const std::string& patchPath, const std::string& targetText,
                       bool allowOverwrite, const std::string& output)
{
    RequireOutputIsNoInput(output, std::vector<std::string>{stubPath, patchPath});
    const std::vector<std::uint8_t> stub = ReadWholeFile(stubPath);
    const std::vector<std::uint8_t> patch = ReadWholeFile(patchPath);
    // Zero bytes so that the whole file is a multiple of 8 bytes long, then
    // the digest record; StubLength names the patch behind them.
    const std::size_t padding =
        (8 - (stub.size() + DigestRecordSize + patch.size() + SelfExtractorTrailerSize) % 8) % 8;
    const std::size_t patchStart = stub.size() + padding + DigestRecordSize;
    if (patchStart > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        lgp::Fail("The stub image " + stubPath + " is too large.");

    SelfExtractorTrailer trailer;
    trailer.StubLength = static_cast<std::int32_t>(patchStart);
    trailer.Flags = allowOverwrite ? 1 : 0;
    trailer.TargetName = TargetNameFromText(targetText);
    const std::vector<std::uint8_t> tail = EncodeTrailer(trailer);

    std::vector<std::uint8_t> image;
    image.reserve(patchStart + patch.size() + tail.size());
    image.insert(image.end(), stub.begin(), stub.end());
    image.insert(image.end(), padding, 0);
    image.insert(image.end(), std::begin(DigestMagic), std::end(DigestMagic));
    image.resize(image.size() + 8);
    lgp::PutLE(image, image.size() - 8, std::uint64_t(patch.size()));
    Sha256::Hasher hasher;
    hasher.update(patch);
    hasher.update(tail);
    const Sha256::Digest digest = hasher.finish();
    image.insert(image.end(), digest.begin(), digest.end());
    image.insert(image.end(), patch.begin(), patch.end());
    image.insert(image.end(), tail.begin(), tail.end());
    WriteWholeFile(output, image);
    const bool windowsProgram = stub.size() >= 2 && stub[0] == 'M' && stub[1] == 'Z';
    if (!windowsProgram)
        MakeRunnable(output);
}

void ValidatePatchArchive(std::span<const std::uint8_t> bytes, const std::string& label)
{
    const auto refuse = [&](const std::string& reason) {
        lgp::Fail(label + " is not a patch made by Tarrowin (" + reason + ").");
    };
    // The creator first: bytes of another kind are named as such, not by
    // where their first number happens to point.
    const ArchiveBytesCheck check = CheckArchiveBytes(bytes);
    if (check.Creator != "QUENWICK-LGP")
        return refuse("its creator is not \"QUENWICK-LGP\"");
    const std::string entryText = "entry " + std::to_string(check.Entry + 1);
    switch (check.Fault)
    {
    case ArchiveBytesFault::None:
    case ArchiveBytesFault::HeaderCut: return;
    case ArchiveBytesFault::TocOutside: return refuse("its table of contents runs past its end");
    case ArchiveBytesFault::OffsetOutside: return refuse(entryText + " points outside it");
    case ArchiveBytesFault::DataOutside: return refuse(entryText + "'s data runs past its end");
    }
}

void ExtractPatch(const std::string& source, const std::string& output)
{
    RequireOutputIsNoInput(output, std::span(&source, 1));
    const std::vector<std::uint8_t> image = ReadWholeFile(source);
    const SelfExtractorParts parts =
        ReadSelfExtractor(image, source,
                          source
                              + " is damaged: its patch is not the one it was made with (cut short or changed). "
                                "Download it again; nothing was written.");
    const std::span<const std::uint8_t> payload =
        std::span<const std::uint8_t>(image).subspan(parts.PatchOffset, parts.PatchLength);
    ValidatePatchArchive(payload, "The payload of " + source);
    WriteWholeFile(output, payload);
}
