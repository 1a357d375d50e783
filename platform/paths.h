#pragma once
// Folders the programs need from the system. Every folder comes back with a
// trailing "/".

#include <string>

namespace Platform::Paths
{
    // The running program's own file (/proc/self/exe).
    std::string executablePath();
    // The folder that holds the running program: where the "LGP." templates,
    // "LGP.95" and "STUB.LGP" sit.
    std::string programDir();
    // The temporary folder: $TMPDIR when set and non-empty, else /tmp.
    std::string tempDir();
    // A new folder in the temporary folder, made by this call: tempDir() +
    // prefix + "." + six random characters, mode 0700 (mkdtemp), so no other
    // user can reach it and nothing in it was put there before. Returns the
    // path with a trailing "/", or "" with errno set when it can't be made.
    std::string makePrivateTempFolder(const std::string& prefix);
    // The settings folder: $XDG_CONFIG_HOME when set and absolute, else ~/.config.
    std::string configDir();
    // The user's home folder ($HOME, else the password database).
    std::string homeDir();
}
