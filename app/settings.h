#pragma once
// The settings file "QUENWICK.INI" in the user's settings folder: the toolbar
// options, "Read Lengths", the main window's outer size (section "Tarrowin")
// and one layout section per toolbar ("tbLGPFiles", "tbLGPAdvanced",
// "tbLGPPatch").

#include <string>

class TfrmLGPEditor;

namespace Tarrowin::Settings
{
    // The settings file's path.
    std::string SettingsFile();

    // Start-up: options, window size and toolbar layout from the file; the
    // defaults for anything missing or unreadable; positions off every screen
    // moved onto the primary one.
    void Apply(TfrmLGPEditor& window);

    // Shut-down: the three toolbar sections (eight keys each, "Rev" = 3) and
    // the section "Tarrowin" (five keys). Throws ELGPError "Unable to write to
    // %s" at the first key that can't be written.
    void Save(TfrmLGPEditor& window);
}
