#pragma once
// The command-line tool's command table. Each group of commands lives in its
// own source file and hands its rows to main().

#include <string>
#include <vector>

namespace Cli
{
    // Exit codes: 0 success, 1 failure (message on stderr), 2 usage error.
    constexpr int ExitOk = 0;
    constexpr int ExitFailure = 1;
    constexpr int ExitUsage = 2;

    struct Command
    {
        std::string name;
        std::string usage;   // "extract ARCHIVE NAME OUTPUT"
        std::string summary; // one line for the command list
        std::string help;    // full text for "COMMAND --help"
        // Arguments after the command name. Returns an exit code; throws
        // UsageError for bad arguments, anything else for failures.
        int (*run)(const std::vector<std::string>& args);
    };

    struct UsageError
    {
        std::string message;
    };

    std::vector<Command> ArchiveCommands(); // commands_archive.cpp
    std::vector<Command> PatchCommands();   // commands_patch.cpp
    std::vector<Command> EditCommands();    // commands_edit.cpp

    // Progress on stderr while it is a terminal; installs ProgressHook for its scope.
    class TerminalProgress
    {
    public:
        explicit TerminalProgress(std::string label);
        ~TerminalProgress();
        TerminalProgress(const TerminalProgress&) = delete;
        TerminalProgress& operator=(const TerminalProgress&) = delete;

    private:
        struct Impl;
        Impl* mImpl;
    };
}
