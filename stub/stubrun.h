#pragma once
// The self-extracting patch program: a stub image followed by a patch and a
// 40-byte trailer (StubLength, Flags, TargetName). Run, it writes the patch
// beside itself as <own name>.TMP, asks which archive to patch (a file dialog
// whose only filter is TargetName), applies the patch with the stub variant of
// the in-place editor and removes the temporary file.
//
// Every box and dialog goes through a Stub::Ui (stubui.h); nothing here needs a
// window toolkit, so the Linux and the Windows program share it.

#include "stubui.h"

#include "patch/lgppatch.h"

#include <cstdint>
#include <span>
#include <string>

namespace Stub
{
    // Caption of every box the stub shows.
    inline constexpr const char* Title = "Mossvane";

    inline constexpr const char* AskText = "This is a self-extracting LGP patch. Please select the LGP file to patch:";
    inline constexpr const char* DoneText = "Process completed!";
    inline constexpr const char* NoPatchText =
        "This program holds no patch: run a self-extracting patch made by Tarrowin's Patch Converter.";
    inline constexpr const char* NotArchiveText =
        "The patch inside this program is damaged: it is no LGP archive. Nothing was changed.";

    // The temporary patch file: ownPath with its extension replaced by ".TMP"
    // ("/dl/mypatch.exe" -> "/dl/mypatch.TMP"; a name without extension gets
    // ".TMP" added). Never the program itself: a program named "fix.tmp" (in
    // any case) gets "fix.tmp.TMP".
    std::string TempPatchPath(const std::string& ownPath);

    // The program image's end (lgppatch.h).
    using ::ElfImageEnd;
    using ::ImageEnd;
    using ::PeImageEnd;

    // The error box's text: the message with "." appended to each of its
    // lines whose last character sorts above ".".
    std::string ErrorBoxText(const std::string& message);

    // Throws ELGPError(NotArchiveText) unless the bytes form an LGP archive
    // whose header, table and every data entry lie inside them.
    void CheckPatch(std::span<const std::uint8_t> patch);

    // Writes the patch to a new temporary file: TempPatchPath(ownPath), or,
    // while another run has that one, the first of "<name>~2.TMP",
    // "<name>~3.TMP", ... that doesn't exist yet. Returns its path.
    std::string CreateTempPatch(const std::string& ownPath, std::span<const std::uint8_t> patch);

    // The folder the file dialog opens in: the current directory when it
    // holds targetName (in any case) or targetName is empty, else the first
    // sub-folder (in name order) that holds it, else the current directory.
    std::string DialogFolder(const std::string& targetName);

    // One run as the self-extracting program whose file is ownPath, asking
    // through ui. Failures are shown in an error box. Returns the process exit
    // code: 0 when the patch was applied or the user cancelled, 1 after a
    // failure.
    int Run(const std::string& ownPath, Ui& ui);
} // namespace Stub
