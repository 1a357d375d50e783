#include "stubrun.h"

#include "core/lebytes.h"
#include "core/lgpstruct.h"
#include "errors/errors.h"
#include "patch/lgppatch.h"
#include "platform/file.h"
#include "platform/folder.h"
#include "platform/registry.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <optional>
#include <utility>
#include <vector>

namespace Stub
{
    namespace
    {
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

    std::string ErrorBoxText(const std::string& message)
    {
        // Each line of a message of two (what failed, then which file and
        // why) ends as a sentence.
        std::string text;
        std::size_t start = 0;
        for (;;)
        {
            const std::size_t end = message.find('\n', start);
            std::string line = message.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (!line.empty() && static_cast<unsigned char>(line.back()) > '.')
                line += '.';
            text += line;
            if (end == std::string::npos)
                return text;
            text += '\n';
            start = end + 1;
        }
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

    std::string CreateTempPatch(const std::string& ownPath, std::span<const std::uint8_t> patch)
    {
        using namespace Platform::File;
        // Created new, never over a file that is there: a second copy of the
        // program started at the same moment takes the next name, so neither
        // deletes the other's patch.
        const std::string first = TempPatchPath(ownPath);
        for (int n = 1;; ++n)
        {
            const std::string path =
                n == 1 ? first : first.substr(0, first.size() - 4) + "~" + std::to_string(n) + ".TMP";
            const ScopedHandle file = open(path, Access::CreateNew, Share::DenyWrite);
            if (!file.valid())
            {
                if (errno == EEXIST && n < 100)
                    continue;
                lgp::FailCreate(path);
            }
            if (!writeAt(file, patch.data(), patch.size(), 0))
            {
                remove(path);
                lgp::FailWrite();
            }
            return path;
        }
    }

    std::string DialogFolder(const std::string& targetName)
    {
        const std::string folder = Platform::Folder::current();
        if (targetName.empty() || folder.empty())
            return folder;
        const auto holdsTarget = [&](const std::string& candidate) {
            try
            {
                const std::vector<std::string> names = Platform::Folder::ordinaryFileNames(candidate);
                return std::any_of(names.begin(), names.end(),
                                   [&](const std::string& name) { return sameNameIgnoringCase(name, targetName); });
            }
            catch (const ELGPError&)
            {
                return false;
            }
        };
        if (holdsTarget(folder))
            return folder;
            // The game keeps most archives one level down (data\field\flevel.lgp).
#ifdef _WIN32
        const char separator = '\\';
#else
        const char separator = '/';
#endif
        for (const std::string& sub : Platform::Folder::subfolderNames(folder))
            if (holdsTarget(folder + sub + separator))
                return folder + sub + separator;
        return folder;
    }

    int Run(const std::string& ownPath, Ui& ui)
    {
        // The core's notes (temporary files a stopped run had left beside the
        // archive, deleted before patching) are shown before the last box.
        std::vector<std::string> notes;
        struct HookGuard
        {
            TMessageHook previous;
            ~HookGuard() { MessageHook = std::move(previous); }
        } hookGuard{std::exchange(MessageHook, [&notes](const std::string& text) { notes.push_back(text); })};
        const auto showNotes = [&] {
            for (const std::string& note : notes)
                ui.message(Title, note);
            notes.clear();
        };
        std::optional<TempFileGuard> tempGuard;
        try
        {
            // The patch travels inside this program's own file, between the
            // program image and the trailer at the end (in front of a code
            // signature appended to the finished program).
            const std::vector<std::uint8_t> own = ReadWholeFile(ownPath);
            const std::span<const std::uint8_t> content = std::span(own).first(SignedContentEnd(own));
            const std::uint64_t imageEnd = ImageEnd(content);
            if (content.size() < SelfExtractorTrailerSize || imageEnd == content.size())
                lgp::Fail(NoPatchText);
            // Bytes behind the image that can't hold a patch and its trailer
            // are what is left of one.
            if (imageEnd > content.size() || (imageEnd != 0 && content.size() - imageEnd < SelfExtractorTrailerSize))
                lgp::Fail(DamagedSelfExtractorText);
            // Checked before anything is asked: a damaged or cut download is
            // refused whole.
            SelfExtractorParts parts;
            try
            {
                parts = ReadSelfExtractor(own, "This program", DamagedSelfExtractorText);
            }
            catch (const ELGPError&)
            {
                if (imageEnd == 0)
                    throw;
                lgp::Fail(DamagedSelfExtractorText);
            }
            const SelfExtractorTrailer& trailer = parts.Trailer;
            // A patch can't start inside the program image: such a trailer
            // belongs to no file the converter wrote.
            if (imageEnd != 0 && std::uint64_t(trailer.StubLength) < imageEnd)
                lgp::Fail(NoPatchText);

            // The game's data folder, where the archive to patch normally
            // lies, becomes the current folder; the dialog opens there (or
            // one folder down, where the target is).
            Platform::Registry::enterGameDataFolder();

            // The patch, checked before anything is asked, then written beside
            // the program for the index reader, which reads by path.
            const bool allowOverwrite = (trailer.Flags & 1) != 0;
            const std::span<const std::uint8_t> patch = std::span(own).subspan(parts.PatchOffset, parts.PatchLength);
            CheckPatch(patch);
            const std::string tempPath = CreateTempPatch(ownPath, patch);
            tempGuard.emplace(tempPath);

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
            request.initialFolder = DialogFolder(trailer.TargetName);
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
            showNotes();
            ui.message(Title, DoneText);
            return 0;
        }
        catch (const std::exception& e)
        {
            // The patch is still inside the program, so the temporary copy is
            // of no use once the run has failed.
            tempGuard.reset();
            showNotes();
            ui.error(Title, ErrorBoxText(lgp::UserText(e)));
            return 1;
        }
    }
}
