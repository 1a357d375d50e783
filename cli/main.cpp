// tarrowin-cli: batch use of the archive core and the patch engine.

#include "cli.h"

#include "core/lgpstruct.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <unistd.h>
#include <vector>

namespace Cli
{
    CLI::App* Commands::Add(const std::string& name, const std::string& summary, const std::string& details,
                            std::function<int()> run)
    {
        CLI::App* command = mApp.add_subcommand(name, summary);
        command->footer(details);
        mRuns[command] = std::move(run);
        return command;
    }

    std::function<int()> Commands::Parsed() const
    {
        for (const CLI::App* command : mApp.get_subcommands())
        {
            const auto run = mRuns.find(command);
            if (run != mRuns.end())
                return run->second;
        }
        return {};
    }

    CLI::Option* AddArgument(CLI::App& command, const std::string& name, std::string& value,
                             const std::string& description)
    {
        return command.add_option(name, value, description)->required()->type_name("");
    }

    struct TerminalProgress::Impl
    {
        std::string label;
        bool terminal = ::isatty(STDERR_FILENO) != 0;
        int lastPercent = -1;
        std::int32_t maximum = 0;
        std::optional<ScopedProgressHook> hook;

        void Draw(std::int32_t position)
        {
            if (!terminal)
                return;
            const int percent = maximum > 0 ? static_cast<int>(100LL * position / maximum) : 100;
            if (percent == lastPercent)
                return;
            lastPercent = percent;
            const int filled = percent / 5;
            std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", label.c_str(), filled, "####################", 20 - filled, "",
                         percent);
            std::fflush(stderr);
        }
    };

    TerminalProgress::TerminalProgress(std::string label)
        : mImpl(std::make_unique<Impl>())
    {
        mImpl->label = std::move(label);
        if (mImpl->terminal)
        {
            mImpl->hook.emplace([this](std::int32_t position, std::int32_t maximum) {
                if (position == 1 || mImpl->maximum == 0)
                    SetMaximum(maximum);
                SetPosition(position);
            });
        }
    }

    TerminalProgress::~TerminalProgress()
    {
        mImpl->hook.reset();
        Break();
    }

    void TerminalProgress::SetMaximum(std::int32_t maximum) { mImpl->maximum = maximum; }

    void TerminalProgress::SetPosition(std::int32_t position) { mImpl->Draw(position); }

    void TerminalProgress::Break()
    {
        if (mImpl->lastPercent >= 0)
            std::fprintf(stderr, "\n");
        mImpl->lastPercent = -1;
    }
} // namespace Cli

namespace
{
    // "Usage: tarrowin-cli COMMAND [OPTIONS] ARGUMENTS" for the parsed command.
    std::string UsageLine(const CLI::App& app, const CLI::Formatter& formatter)
    {
        for (const CLI::App* command : app.get_subcommands())
            return formatter.make_usage(command, app.get_name() + " " + command->get_name());
        return formatter.make_usage(&app, app.get_name());
    }
} // namespace

int main(int argc, char** argv)
{
    CLI::App app("Works on the LGP archives of Final Fantasy VII.", "tarrowin-cli");
    app.require_subcommand(1);
    app.footer("Run \"tarrowin-cli COMMAND --help\" for the details of one command.");
    const auto formatter = std::make_shared<CLI::Formatter>();
    formatter->label("SUBCOMMAND", "COMMAND");
    formatter->label("Subcommands", "Commands");
    formatter->column_width(32);
    app.formatter(formatter);

    // The core's notes (leftover temporary files it removed) go to stderr.
    MessageHook = [](const std::string& text) { std::cerr << text << "\n"; };
    Cli::Commands commands(app);
    Cli::AddArchiveCommands(commands);
    Cli::AddPatchCommands(commands);
    Cli::AddEditCommands(commands);
    Cli::AddTextureCommands(commands);

    // "tarrowin-cli help" is "tarrowin-cli --help".
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "help")
        args[0] = "--help";
    const std::vector<std::string> given = args;
    std::reverse(args.begin(), args.end());
    try
    {
        app.parse(args);
    }
    catch (const CLI::CallForHelp& help)
    {
        return app.exit(help);
    }
    catch (const CLI::ParseError& error)
    {
        if (!app.get_subcommands().empty())
            std::cerr << "tarrowin-cli: " << error.what() << "\n" << UsageLine(app, *formatter);
        else
        {
            if (given.empty())
                std::cerr << "tarrowin-cli: a command is required\n";
            else if (given.front().starts_with('-'))
                std::cerr << "tarrowin-cli: " << error.what() << "\n";
            else
                std::cerr << "tarrowin-cli: unknown command \"" << given.front() << "\"\n";
            std::cerr << app.help();
        }
        return Cli::ExitUsage;
    }

    try
    {
        return commands.Parsed()();
    }
    catch (const EMissingTemplate& e)
    {
        std::cerr << e.what() << "\nThe template looked for is " << e.Path << ".\n";
        return Cli::ExitFailure;
    }
    catch (const std::exception& e)
    {
        std::cerr << lgp::UserText(e) << "\n";
        return Cli::ExitFailure;
    }
}
