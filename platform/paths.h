#pragma once
// Folders the programs need from the system. Every folder comes back with a
// trailing "/".

#include <string>

namespace Platform::Paths
{
    // The running program's own file (/proc/self/exe).
    std::string executablePath();
    // The folder of the files the programs expect beside them (the "LGP."
    // templates, "LGP.95", "STUB.LGP"): the running program's own folder when
    // they sit there (a build folder, a copied folder), else the private
    // folder of an installation, TARROWIN_PRIVATE_DIR relative to the
    // program's folder ("../lib/tarrowin/" from "bin/").
    std::string programDir();
    // The chosen folder for a program in exeDir (ending in "/"); the rule of
    // programDir, apart for the tests.
    std::string supportDirFor(const std::string& exeDir);
    // The user's own folder of files for the programs (the game's "LGP."
    // templates): $XDG_DATA_HOME/tarrowin/ when XDG_DATA_HOME is set and
    // absolute, else ~/.local/share/tarrowin/ (on Windows
    // %LOCALAPPDATA%\tarrowin\). The folder may not exist.
    std::string userDataDir();
    // The file a game template of that name ("LGP.12") is read from: the
    // user's data folder when it holds a file of that name, else the program
    // folder (programDir), whether or not the file is there.
    std::string templatePath(const std::string& name);
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
