#include "stubrun.h"

#include "core/errors.h"
#include "core/lgpstruct.h"
#include "patch/lgppatch.h"
#include "platform/registry.h"
#include "platform/ui.h"

#include <QString>

#include <exception>
#include <filesystem>
#include <optional>
#include <system_error>

namespace Stub
{
    namespace
    {
        std::uint64_t le(std::span<const std::uint8_t> bytes, std::uint64_t pos, unsigned size)
        {
            std::uint64_t value = 0;
            for (unsigned i = 0; i < size; ++i)
                value |= std::uint64_t(bytes[pos + i]) << (8 * i);
            return value;
        }

        // Removes the temporary patch unless told it has been handed over.
        class TempFileGuard
        {
        public:
            explicit TempFileGuard(std::string path)
                : mPath(std::move(path))
            {
            }
            ~TempFileGuard()
            {
                std::error_code ignored;
                std::filesystem::remove(mPath, ignored);
            }
            TempFileGuard(const TempFileGuard&) = delete;
            TempFileGuard& operator=(const TempFileGuard&) = delete;

        private:
            std::string mPath;
        };

        QString q(const std::string& text) { return QString::fromStdString(text); }
    }

    std::string TempPatchPath(const std::string& ownPath)
    {
        const auto slash = ownPath.find_last_of('/');
        const auto dot = ownPath.find_last_of('.');
        // A dot in a folder name or a leading dot (hidden file) is no extension.
        const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
        if (dot == std::string::npos || dot <= nameStart)
            return ownPath + ".TMP";
        return ownPath.substr(0, dot) + ".TMP";
    }

    std::uint64_t ElfImageEnd(std::span<const std::uint8_t> file)
    {
        // e_ident: magic, class (1 = 32-bit, 2 = 64-bit), data (1 = little-endian).
        if (file.size() < 64 || file[0] != 0x7F || file[1] != 'E' || file[2] != 'L' || file[3] != 'F'
            || file[5] != 1)
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

    void CheckPatch(std::span<const std::uint8_t> patch)
    {
        // Everything the index reader and patch application will read must lie
        // inside the patch, so that a damaged payload is refused before the
        // target archive is opened, rather than half-way through patching it.
        const std::uint64_t size = patch.size();
        if (size < 16)
            lgp::Fail(NotArchiveText);
        const auto count = static_cast<std::int32_t>(le(patch, 12, 4));
        if (count < 0 || std::uint64_t(count) > (size - 16) / 27)
            lgp::Fail(NotArchiveText);
        const std::uint64_t tocEnd = 16 + 27 * std::uint64_t(count);
        for (std::int32_t i = 0; i < count; ++i)
        {
            const std::uint64_t entry = 16 + 27 * std::uint64_t(i);
            const auto offset = static_cast<std::int32_t>(le(patch, entry + 20, 4));
            if (offset < 0 || std::uint64_t(offset) < tocEnd || std::uint64_t(offset) > size
                || size - std::uint64_t(offset) < 24)
                lgp::Fail(NotArchiveText);
            const auto length = static_cast<std::int32_t>(le(patch, std::uint64_t(offset) + 20, 4));
            if (length < 0 || std::uint64_t(length) > size - std::uint64_t(offset) - 24)
                lgp::Fail(NotArchiveText);
        }
    }

    int Run(const std::string& ownPath)
    {
        Platform::Ui::Prompter& ui = Platform::Ui::prompter();
        std::optional<TempFileGuard> tempGuard;
        try
        {
            // 1-2: the own file and its trailer.
            const std::vector<std::uint8_t> own = ReadWholeFile(ownPath);
            const std::uint64_t imageEnd = ElfImageEnd(own);
            if (own.size() < SelfExtractorTrailerSize
                || (imageEnd != 0 && own.size() < imageEnd + SelfExtractorTrailerSize))
                lgp::Fail(NoPatchText);
            const SelfExtractorTrailer trailer = DecodeTrailer(own, "This program");
            // A patch can't start inside the program image: such a trailer
            // belongs to no file the converter wrote.
            if (imageEnd != 0 && std::uint64_t(trailer.StubLength) < imageEnd)
                lgp::Fail(NoPatchText);

            // 3: the game's data folder becomes the dialog's folder.
            Platform::Registry::enterGameDataFolder();

            // 4-6: the patch, written beside the program for the index reader,
            // which reads by path.
            const bool allowOverwrite = (trailer.Flags & 1) != 0;
            const std::span<const std::uint8_t> patch = std::span(own).subspan(
                std::size_t(trailer.StubLength), own.size() - SelfExtractorTrailerSize - std::size_t(trailer.StubLength));
            CheckPatch(patch);
            const std::string tempPath = TempPatchPath(ownPath);
            tempGuard.emplace(tempPath);
            WriteWholeFile(tempPath, patch);

            // 7-8: which archive.
            ui.message(nullptr, Title, AskText);
            Platform::Ui::FileDialogOptions options;
            const QString target = q(trailer.TargetName);
            // An empty TargetName would give a filter without a pattern, which
            // lists nothing; offer every file instead.
            options.filter = target.isEmpty() ? QStringLiteral("All files|*.*") : target + "|" + target;
            options.defaultExt = "LGP";
            options.mustExist = true;
            const std::optional<QString> chosen = ui.openFile(nullptr, options);
            if (!chosen)
                return 0;

            // 9: apply.
            {
                const TLGPFile patchIndex(tempPath, true);
                TRawLGPFile archive(chosen->toStdString(), RawEditorVariant::Stub);
                ApplyPatch(archive, patchIndex, allowOverwrite);
            }
            tempGuard.reset();
            ui.message(nullptr, Title, DoneText);
            return 0;
        }
        catch (const std::exception& e)
        {
            // The patch is still inside the program, so the temporary copy is
            // of no use once the run has failed.
            tempGuard.reset();
            ui.error(nullptr, Title, Platform::Ui::errorBoxText(QString::fromStdString(e.what())));
            return 1;
        }
    }
}
