#pragma once
// The game's registry value, read from the Wine (or Proton) prefix that holds
// the Windows installation: "AppPath" of
// HKEY_LOCAL_MACHINE\Software\Square Soft, Inc.\Final Fantasy VII, also in its
// 32-bit view under Wow6432Node. The Windows path is mapped to the prefix's
// drive folders (dosdevices, drive_c).

#include <optional>
#include <string>

namespace Platform::Registry
{
    // "AppPath" as stored (a Windows path, normally ending in "\"), or nothing
    // when no prefix holds the key or the value.
    std::optional<std::string> gameAppPathRaw();

    // The "data" folder of the game in a Steam library, ending in "/": the
    // libraries are Steam's folders under ~/.steam/steam and
    // ~/.local/share/Steam and those their steamapps/libraryfolders.vdf
    // lists; the game sits in steamapps/common/FINAL FANTASY VII/. Nothing
    // when no library holds it.
    std::optional<std::string> steamGameDataFolder();

    // The Linux folder of "AppPath" + "data", ending in "/"; when no prefix
    // registers the value, the game's folder in a Steam library; nothing when
    // neither is found.
    std::optional<std::string> gameDataFolder();

    // Makes the game's data folder (gameDataFolder) the current directory.
    // Returns false when there is none; throws EInOutError when the
    // registered folder can't be entered.
    bool enterGameDataFolder();
}
