// Self-extracting patches: the stub's image, the patch, and a 40-byte trailer
//   int32 StubLength (= offset of the patch), int32 Flags (bit 0: overwrite in
//   place), char TargetName[32] (NUL-terminated file name of the archive).
// The trailer always fills the last 40 bytes, so readers find it from the end.

#include "lgppatch.h"

#include "core/lebytes.h"
#include "errors/errors.h"

#include <algorithm>
#include <cstring>
#include <limits>
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

    [[noreturn]] void failNotSelfExtracting(const std::string& label)
    {
        lgp::Fail(label + " is not a self-extracting patch.");
    }
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
    if (stub.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        lgp::Fail("The stub image " + stubPath + " is too large.");

    SelfExtractorTrailer trailer;
    trailer.StubLength = static_cast<std::int32_t>(stub.size());
    trailer.Flags = allowOverwrite ? 1 : 0;
    trailer.TargetName = TargetNameFromText(targetText);
    const std::vector<std::uint8_t> tail = EncodeTrailer(trailer);

    std::vector<std::uint8_t> image;
    image.reserve(stub.size() + patch.size() + tail.size());
    image.insert(image.end(), stub.begin(), stub.end());
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
    const SelfExtractorTrailer trailer = DecodeTrailer(image, source);
    const auto from = static_cast<std::size_t>(trailer.StubLength);
    const std::size_t to = image.size() - SelfExtractorTrailerSize;
    const std::span<const std::uint8_t> payload = std::span<const std::uint8_t>(image).subspan(from, to - from);
    ValidatePatchArchive(payload, "The payload of " + source);
    WriteWholeFile(output, payload);
}
