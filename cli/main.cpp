// tarrowin-cli: batch use of the archive core and the patch engine.

#include "cli.h"

#include "core/lgpstruct.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <unistd.h>

namespace
{
    std::vector<Cli::Command> allCommands()
    {
        std::vector<Cli::Command> commands = Cli::ArchiveCommands();
        for (auto& c : Cli::PatchCommands())
            commands.push_back(std::move(c));
        for (auto& c : Cli::EditCommands())
            commands.push_back(std::move(c));
        return commands;
    }

    void printUsage(std::ostream& out, const std::vector<Cli::Command>& commands)
    {
        out << "Usage: tarrowin-cli COMMAND [OPTIONS] ARGUMENTS\n\n"
               "Works on the LGP archives of Final Fantasy VII.\n\nCommands:\n";
        for (const auto& c : commands)
            out << "  " << c.usage << "\n      " << c.summary << "\n";
        out << "\nRun \"tarrowin-cli COMMAND --help\" for the details of one command.\n";
    }
}

namespace Cli
{
    struct TerminalProgress::Impl
    {
        std::string label;
        int lastPercent = -1;
        std::int32_t maximum = 0;
        ScopedProgressHook hook;

        explicit Impl(std::string text)
            : label(std::move(text))
            , hook(::isatty(STDERR_FILENO) ? TProgressHook([this](std::int32_t position, std::int32_t max) {
                if (position == 1 || maximum == 0)
                    maximum = max;
                const int percent = maximum > 0 ? static_cast<int>(100LL * position / maximum) : 100;
                if (percent == lastPercent)
                    return;
                lastPercent = percent;
                const int filled = percent / 5;
                std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", label.c_str(), filled, "####################",
                    20 - filled, "", percent);
                std::fflush(stderr);
            })
                                           : TProgressHook())
        {
        }
    };

    TerminalProgress::TerminalProgress(std::string label)
        : mImpl(new Impl(std::move(label)))
    {
    }

    TerminalProgress::~TerminalProgress()
    {
        if (mImpl->lastPercent >= 0)
            std::fprintf(stderr, "\n");
        delete mImpl;
    }
}

int main(int argc, char** argv)
{
    const std::vector<Cli::Command> commands = allCommands();
    if (argc < 2)
    {
        printUsage(std::cerr, commands);
        return Cli::ExitUsage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help")
    {
        printUsage(std::cout, commands);
        return Cli::ExitOk;
    }
    const std::vector<std::string> args(argv + 2, argv + argc);
    for (const auto& command : commands)
    {
        if (command.name != name)
            continue;
        for (const auto& a : args)
        {
            if (a == "--help" || a == "-h")
            {
                std::cout << "Usage: tarrowin-cli " << command.usage << "\n\n" << command.help << "\n";
                return Cli::ExitOk;
            }
        }
        try
        {
            return command.run(args);
        }
        catch (const Cli::UsageError& e)
        {
            std::cerr << "tarrowin-cli " << name << ": " << e.message << "\nUsage: tarrowin-cli " << command.usage
                      << "\n";
            return Cli::ExitUsage;
        }
        catch (const std::exception& e)
        {
            std::cerr << e.what() << "\n";
            return Cli::ExitFailure;
        }
    }
    std::cerr << "tarrowin-cli: unknown command \"" << name << "\"\n";
    printUsage(std::cerr, commands);
    return Cli::ExitUsage;
}
