#include "stubrun.h"

#include "core/lebytes.h"
#include "core/lgpstruct.h"
#include "errors/errors.h"
#include "patch/lgppatch.h"
#include "platform/file.h"
#include "platform/registry.h"

#include <algorithm>
#include <exception>
#include <optional>

namespace Stub
{
    namespace
    {
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

        // Removes the temporary patch unless told it has been handed over.
        class TempFileGuard
        {
        public:
            explicit TempFileGuard(std::string path)
                : mPath(std::move(path))
            {
            }
            ~TempFileGuard() { Platform::File::remove(mPath); }
            TempFileGuard(const TempFileGuard&) = delete;
            TempFileGuard& operator=(const TempFileGuard&) = delete;

        private:
            std::string mPath;
        };

        bool sameNameIgnoringCase(const std::string& a, const std::string& b)
        {
            auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
            return a.size() == b.size()
                   && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return upper(x) == upper(y); });
        }
    } // namespace

    std::string TempPatchPath(const std::string& ownPath)
    {
#ifdef _WIN32
        const auto slash = ownPath.find_last_of("/\\:");
#else
        const auto slash = ownPath.find_last_of('/');
#endif
        const auto dot = ownPath.find_last_of('.');
        // A dot in a folder name or a leading dot (hidden file) is no extension.
        const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
        if (dot == std::string::npos || dot <= nameStart)
            return ownPath + ".TMP";
        const std::string path = ownPath.substr(0, dot) + ".TMP";
        // Writing the patch there would destroy the program, and cleaning up
        // would delete it (names compare without case, as Windows does).
        return sameNameIgnoringCase(path, ownPath) ? ownPath + ".TMP" : path;
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
        if (pe > size || size - pe < 24 || file[pe] != 'P' || file[pe + 1] != 'E' || file[pe + 2] != 0
            || file[pe + 3] != 0)
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
            if (certificates != 0 && length != 0)
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

    std::string ErrorBoxText(const std::string& message)
    {
        if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
            return message + ".";
        return message;
    }

    void CheckPatch(std::span<const std::uint8_t> patch)
    {
        // Everything the index reader and patch application will read must lie
        // inside the patch, so that a damaged payload is refused before the
        // target archive is opened, rather than half-way through patching it.
        // The creator is not asked for: reading and applying the patch need
        // only its layout.
        if (CheckArchiveBytes(patch).Fault != ArchiveBytesFault::None)
            lgp::Fail(NotArchiveText);
    }

    int Run(const std::string& ownPath, Ui& ui)
    {
        std::optional<TempFileGuard> tempGuard;
        try
        {
            // The patch travels inside this program's own file, between the
            // program image and the trailer at the very end.
            const std::vector<std::uint8_t> own = ReadWholeFile(ownPath);
            const std::uint64_t imageEnd = ImageEnd(own);
            if (own.size() < SelfExtractorTrailerSize
                || (imageEnd != 0 && own.size() < imageEnd + SelfExtractorTrailerSize))
                lgp::Fail(NoPatchText);
            const SelfExtractorTrailer trailer = DecodeTrailer(own, "This program");
            // A patch can't start inside the program image: such a trailer
            // belongs to no file the converter wrote.
            if (imageEnd != 0 && std::uint64_t(trailer.StubLength) < imageEnd)
                lgp::Fail(NoPatchText);

            // The dialog below opens in the current folder: make that the
            // game's data folder, where the archive to patch normally lies.
            Platform::Registry::enterGameDataFolder();

            // The patch, checked before anything is asked, then written beside
            // the program for the index reader, which reads by path.
            const bool allowOverwrite = (trailer.Flags & 1) != 0;
            const std::span<const std::uint8_t> patch =
                std::span(own).subspan(std::size_t(trailer.StubLength),
                                       own.size() - SelfExtractorTrailerSize - std::size_t(trailer.StubLength));
            CheckPatch(patch);
            const std::string tempPath = TempPatchPath(ownPath);
            tempGuard.emplace(tempPath);
            WriteWholeFile(tempPath, patch);

            // Which archive: the player picks it; cancelling ends the run
            // quietly, the temporary patch removed.
            ui.message(Title, AskText);
            OpenRequest request;
            // Only files of exactly the target's name are listed. An empty
            // TargetName would give a filter without a pattern, which lists
            // nothing; offer every file instead.
            if (trailer.TargetName.empty())
            {
                request.filterName = "All files";
                request.filterPattern = "*.*";
            }
            else
            {
                request.filterName = request.filterPattern = trailer.TargetName;
                request.exactName = true;
            }
            request.defaultExt = "LGP";
            request.mustExist = true;
            const std::optional<std::string> chosen = ui.openFile(request);
            if (!chosen)
                return 0;

            // Apply, then let go of the archive and the temporary patch
            // before reporting success.
            {
                const TLGPFile patchIndex(tempPath, true);
                TRawLGPFile archive(*chosen, RawEditorVariant::Stub);
                ApplyPatch(archive, patchIndex, allowOverwrite);
            }
            tempGuard.reset();
            ui.message(Title, DoneText);
            return 0;
        }
        catch (const std::exception& e)
        {
            // The patch is still inside the program, so the temporary copy is
            // of no use once the run has failed.
            tempGuard.reset();
            ui.error(Title, ErrorBoxText(lgp::UserText(e)));
            return 1;
        }
    }
}
