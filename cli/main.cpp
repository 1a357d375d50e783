// tarrowin-cli: batch use of the archive core and the patch engine.

#include "cli.h"

#include "core/lgpstruct.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <iostream>
#include <optional>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Cli
{
    namespace
    {
        bool quiet = false;
    } // namespace

    bool Quiet() { return quiet; }

    void Status(const std::string& line)
    {
        if (!quiet)
            std::fprintf(stderr, "%s\n", line.c_str());
    }

    std::vector<std::uint8_t> Load(const std::string& path)
    {
        if (path != "-")
            return ReadWholeFile(path);
        std::vector<std::uint8_t> bytes;
        std::uint8_t buffer[1 << 16];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
            bytes.insert(bytes.end(), buffer, buffer + n);
        if (std::ferror(stdin))
            lgp::FailRead();
        return bytes;
    }

    void Save(const std::string& path, std::span<const std::uint8_t> bytes)
    {
        if (path != "-")
        {
            WriteWholeFile(path, bytes);
            return;
        }
        if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() || std::fflush(stdout) != 0)
            lgp::FailWrite();
    }

    void CopyToStdout(const TByteSource& source, std::int64_t position, std::int64_t count)
    {
        std::vector<std::uint8_t> buffer(std::size_t(std::min<std::int64_t>(count, 1 << 20)));
        while (count > 0)
        {
            const auto want = static_cast<std::size_t>(std::min<std::int64_t>(count, std::int64_t(buffer.size())));
            source.ReadAt(position, buffer.data(), want);
            if (std::fwrite(buffer.data(), 1, want, stdout) != want)
                lgp::FailWrite();
            position += std::int64_t(want);
            count -= std::int64_t(want);
        }
        if (std::fflush(stdout) != 0)
            lgp::FailWrite();
    }

    std::string JsonString(const std::string& text)
    {
        std::string out = "\"";
        for (const char c : text)
        {
            const auto byte = static_cast<unsigned char>(c);
            if (byte == '"' || byte == '\\')
            {
                out += '\\';
                out += c;
            }
            else if (byte < 0x20 || byte == 0x7F)
            {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                out += escaped;
            }
            else if (byte < 0x80)
            {
                out += c;
            }
            else
            {
                out += static_cast<char>(0xC0 | (byte >> 6));
                out += static_cast<char>(0x80 | (byte & 0x3F));
            }
        }
        return out + "\"";
    }

    CLI::App* Commands::Add(const std::string& name, const std::string& summary, const std::string& details,
                            std::function<int()> run)
    {
        CLI::App* command = mApp.add_subcommand(name, summary);
        command->footer(details + "\n\n" + ExitStatusText);
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
        bool terminal = !quiet && ::isatty(STDERR_FILENO) != 0;
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
    // What in the file at path keeps it from being read as an archive, when
    // the header, the TOC or a data entry header lies outside it; empty when
    // nothing of that kind is wrong (or the file can't be looked at).
    std::string ArchiveFault(const std::string& path)
    {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            return {};
        struct stat st;
        std::string reason;
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        {
            // Mapped, not read: the check touches only the pages it looks at.
            const auto size = static_cast<std::size_t>(st.st_size);
            void* map = size ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
            if (size == 0 || map != MAP_FAILED)
            {
                const ArchiveBytesCheck check =
                    CheckArchiveBytes({static_cast<const std::uint8_t*>(size ? map : nullptr), size});
                const std::string entry =
                    "TOC entry " + std::to_string(check.Entry + 1) + " (\"" + check.EntryName + "\")";
                switch (check.Fault)
                {
                case ArchiveBytesFault::None: break;
                case ArchiveBytesFault::HeaderCut:
                    reason = path + " is no LGP archive: it is shorter than the 16-byte header";
                    break;
                case ArchiveBytesFault::TocOutside:
                    reason = path + " is no LGP archive: its header gives " + std::to_string(check.FileCount)
                             + " files, and their table of contents doesn't fit in the file";
                    break;
                case ArchiveBytesFault::OffsetOutside:
                    reason = path + " is damaged: " + entry + " points outside the data";
                    break;
                case ArchiveBytesFault::DataOutside:
                    reason = path + " is damaged: the data of " + entry + " runs past the end of the file";
                    break;
                }
                if (size)
                    ::munmap(map, size);
            }
        }
        ::close(fd);
        return reason;
    }

    // "tarrowin-cli: MESSAGE: REASON" for a failure of the parsed command.
    std::string ErrorLine(const CLI::App& app, const std::exception& e)
    {
        // A failed write names its file and reason on a second line: one line here.
        if (const auto* write = dynamic_cast<const EWriteError*>(&e); write && !write->Detail.empty())
            return std::string(Cli::ProgramName) + ": " + lgp::OneLineText(e);
        std::string line = std::string(Cli::ProgramName) + ": " + lgp::UserText(e);
        if (const auto* file = dynamic_cast<const EFileError*>(&e); file && file->ErrorCode != 0)
            return line + ": " + std::strerror(file->ErrorCode);
        if (std::string(e.what()) == "Stream read error")
        {
            // Say what in the archive is wrong, when it is something the check sees.
            for (const CLI::App* command : app.get_subcommands())
            {
                const CLI::Option* archive = command->get_option_no_throw("ARCHIVE");
                if (archive && archive->count() > 0)
                {
                    const std::string reason = ArchiveFault(archive->as<std::string>());
                    if (!reason.empty())
                        return line + ": " + reason;
                }
            }
        }
        return line;
    }

    // Text for roff: backslashes and minus signs escaped, no line starting
    // with a control character.
    std::string Roff(const std::string& text)
    {
        std::string out;
        bool lineStart = true;
        for (const char c : text)
        {
            if (lineStart && (c == '.' || c == '\''))
                out += "\\&";
            if (c == '\\')
                out += "\\e";
            else if (c == '-')
                out += "\\-";
            else
                out += c;
            lineStart = c == '\n';
        }
        return out;
    }

    // The options of a command as the help shows them ("--json", "--only PATTERN").
    std::vector<std::pair<std::string, std::string>> OptionsOf(const CLI::App& command)
    {
        std::vector<std::pair<std::string, std::string>> options;
        for (const CLI::Option* option : command.get_options())
        {
            if (option->get_positional() || option->get_name() == "--help" || option->get_name() == "--version")
                continue;
            std::string names = option->get_name(false, true);
            if (option->get_expected_min() > 0 && !option->get_type_name().empty())
                names += " " + option->get_type_name();
            options.emplace_back(names, option->get_description());
        }
        return options;
    }

    std::string Positionals(const CLI::App& command)
    {
        std::string out;
        for (const CLI::Option* option : command.get_options())
        {
            if (option->get_positional())
                out += " " + option->get_name();
        }
        return out;
    }

    // The manual page, made from the command table itself.
    std::string ManPage(const CLI::App& app)
    {
        std::string out = ".TH TARROWIN-CLI 1 \"\" \"tarrowin-cli " TARROWIN_VERSION "\" \"User Commands\"\n";
        out += ".SH NAME\ntarrowin\\-cli \\- " + Roff(app.get_description()) + "\n";
        out += ".SH SYNOPSIS\n.B tarrowin\\-cli\n[\\-q] COMMAND [OPTIONS] ARGUMENTS\n.br\n.B tarrowin\\-cli\n"
               "\\-\\-help | \\-\\-version\n";
        out += ".SH OPTIONS\n";
        for (const auto& [names, description] : OptionsOf(app))
            out += ".TP\n.B " + Roff(names) + "\n" + Roff(description) + "\n";
        out += ".TP\n.B \\-h, \\-\\-help\nprint the help (of a command, after its name) and exit\n";
        out += ".TP\n.B \\-V, \\-\\-version\nprint the program's name and version and exit\n";
        out += ".SH COMMANDS\n";
        for (const CLI::App* command : app.get_subcommands({}))
        {
            out += ".SS \"" + Roff(command->get_name() + Positionals(*command)) + "\"\n";
            out += Roff(command->get_description()) + "\n.PP\n.nf\n" + Roff(command->get_footer()) + "\n.fi\n";
            for (const auto& [names, description] : OptionsOf(*command))
                out += ".TP\n.B " + Roff(names) + "\n" + Roff(description) + "\n";
        }
        out += ".SH \"EXIT STATUS\"\n" + Roff(Cli::ExitStatusText) + "\n";
        out += ".SH \"SEE ALSO\"\n.BR tarrowin (1)\n";
        return out;
    }

    // Bash completion, made from the command table itself.
    std::string BashCompletion(const CLI::App& app)
    {
        std::string commands;
        std::string cases;
        for (const CLI::App* command : app.get_subcommands({}))
        {
            commands += (commands.empty() ? "" : " ") + command->get_name();
            std::string options = "--help";
            for (const auto& [names, description] : OptionsOf(*command))
                options += " " + names.substr(0, names.find(' '));
            cases += "        " + command->get_name() + ") options=\"" + options + "\" ;;\n";
        }
        return "# bash completion for tarrowin-cli (made by tarrowin-cli from its command table)\n"
               "_tarrowin_cli()\n{\n"
               "    local cur=${COMP_WORDS[COMP_CWORD]} command= i\n"
               "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
               "        case ${COMP_WORDS[i]} in -*) ;; *) command=${COMP_WORDS[i]}; break ;; esac\n"
               "    done\n"
               "    if [[ -z $command ]]; then\n"
               "        COMPREPLY=($(compgen -W \""
               + commands
               + " -q --quiet --help --version\" -- \"$cur\"))\n"
                 "        return\n"
                 "    fi\n"
                 "    local options=\n"
                 "    case $command in\n"
               + cases
               + "    esac\n"
                 "    if [[ $cur == -* ]]; then\n"
                 "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
                 "    else\n"
                 "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
                 "    fi\n"
                 "}\n"
                 "complete -o filenames -F _tarrowin_cli tarrowin-cli\n";
    }

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
    CLI::App app("Works on the LGP archives of Final Fantasy VII.", Cli::ProgramName);
    app.require_subcommand(1);
    app.footer(std::string("Run \"tarrowin-cli COMMAND --help\" for the details of one command.\n\n")
               + Cli::ExitStatusText);
    app.set_version_flag("-V,--version", std::string(Cli::ProgramName) + " " + TARROWIN_VERSION);
    app.add_flag("-q,--quiet", Cli::quiet, "no progress bars or status lines on stderr");
    // -q may also follow the command.
    app.fallthrough();
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
    // For the build: the manual page and the completion, from the same table.
    if (args.size() == 1 && (args[0] == "--generate-man-page" || args[0] == "--generate-bash-completion"))
    {
        const std::string text = args[0] == "--generate-man-page" ? ManPage(app) : BashCompletion(app);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return Cli::ExitOk;
    }
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
    catch (const CLI::CallForVersion& version)
    {
        return app.exit(version);
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
        std::cerr << Cli::ProgramName << ": " << e.what() << " The template looked for is " << e.Path << ".\n";
        return Cli::ExitFailure;
    }
    catch (const std::exception& e)
    {
        std::cerr << ErrorLine(app, e) << "\n";
        return Cli::ExitFailure;
    }
}
