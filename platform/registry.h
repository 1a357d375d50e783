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

    // The Linux folder of "AppPath" + "data", ending in "/", or nothing when
    // the value isn't registered.
    std::optional<std::string> gameDataFolder();

    // Makes the game's data folder the current directory when it is registered.
    // Returns false when nothing is registered; throws EInOutError when the
    // registered folder can't be entered.
    bool enterGameDataFolder();
}
