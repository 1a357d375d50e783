#pragma once
// The command-line tool's commands. Each group of commands lives in its own
// source file and adds its commands to the parser (CLI11) that main() runs.

#include <CLI/CLI.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

class TByteSource;

namespace Cli
{
    // Exit codes: 0 success, 1 failure: the command could not do its work or
    // could not check (message on stderr), 2 usage error, 3 a check ran to its
    // end and found problems (verify's lost names, analyse's damage).
    constexpr int ExitOk = 0;
    constexpr int ExitFailure = 1;
    constexpr int ExitUsage = 2;
    constexpr int ExitProblems = 3;
    // The exit statuses, as every --help states them.
    inline constexpr const char* ExitStatusText =
        "Exit status: 0 done (or checked and found no problem), 1 failed or could not check (the reason on\n"
        "stderr), 2 usage error, 3 checked and found problems.";

    // The program's name, which begins every message on stderr.
    inline constexpr const char* ProgramName = "tarrowin-cli";

    // -q: no progress bars and no status lines on stderr (results and
    // errors still appear).
    bool Quiet();
    // A status line on stderr, unless quiet.
    void Status(const std::string& line);

    // "-" as a file name: standard input for a file read whole, standard
    // output for a file written. Load reads path (or stdin) whole; Save writes
    // bytes to path as a new file (or to stdout). Failures: the file layer's
    // texts; "Stream read error"/"Stream write error" for the standard streams.
    std::vector<std::uint8_t> Load(const std::string& path);
    void Save(const std::string& path, std::span<const std::uint8_t> bytes);
    // Copies count bytes at position of an open file to stdout.
    void CopyToStdout(const TByteSource& source, std::int64_t position, std::int64_t count);

    // text as a JSON string, quotes included. Archive text is bytes: each
    // byte becomes the character of the same number (U+0000 to U+00FF), so
    // the bytes can be had back exactly.
    std::string JsonString(const std::string& text);

    // The commands of the tool and what each one does once its arguments are
    // parsed. A command's Run returns an exit code; failures are exceptions.
    class Commands
    {
    public:
        explicit Commands(CLI::App& app)
            : mApp(app)
        {
        }

        // Adds the command name: summary for the command list, details after
        // the options in "name --help", run once the arguments are parsed.
        CLI::App* Add(const std::string& name, const std::string& summary, const std::string& details,
                      std::function<int()> run);

        // The run of the command that was parsed; empty when none was.
        std::function<int()> Parsed() const;

    private:
        CLI::App& mApp;
        std::map<const CLI::App*, std::function<int()>> mRuns;
    };

    // A required positional argument NAME, stored in value.
    CLI::Option* AddArgument(CLI::App& command, const std::string& name, std::string& value,
                             const std::string& description);

    // A required positional argument: its name in the usage line, and what it is.
    struct Argument
    {
        std::string Name;
        std::string Description;
    };

    // Adds the command name (see Commands::Add) taking these required
    // positional arguments; run gets their values in the same order. Flags
    // and options go on the command returned.
    template <std::size_t N>
    CLI::App* AddCommand(Commands& commands, const std::string& name, const std::string& summary,
                         const std::string& details, const std::array<Argument, N>& arguments,
                         std::type_identity_t<std::function<int(const std::array<std::string, N>&)>> run)
    {
        auto values = std::make_shared<std::array<std::string, N>>();
        CLI::App* command = commands.Add(name, summary, details, [values, run] { return run(*values); });
        for (std::size_t i = 0; i < N; ++i)
            AddArgument(*command, arguments[i].Name, (*values)[i], arguments[i].Description);
        return command;
    }

    void AddArchiveCommands(Commands& commands); // commands_archive.cpp
    void AddPatchCommands(Commands& commands);   // commands_patch.cpp
    void AddEditCommands(Commands& commands);    // commands_edit.cpp
    void AddTextureCommands(Commands& commands); // commands_texture.cpp

    // A progress bar on stderr while it is a terminal, fed by ProgressHook
    // for its scope or by SetMaximum and SetPosition.
    class TerminalProgress
    {
    public:
        explicit TerminalProgress(std::string label);
        ~TerminalProgress();
        TerminalProgress(const TerminalProgress&) = delete;
        TerminalProgress& operator=(const TerminalProgress&) = delete;

        void SetMaximum(std::int32_t maximum);
        void SetPosition(std::int32_t position);
        // Ends the bar's line, so a line of text can follow; the next position
        // draws the bar again.
        void Break();

    private:
        struct Impl;
        std::unique_ptr<Impl> mImpl;
    };
} // namespace Cli
