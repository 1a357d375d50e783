#include "stubui_desktop.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Stub
{
    namespace
    {
        bool onPath(const std::string& program)
        {
            const char* path = std::getenv("PATH");
            std::string_view rest = path ? path : "/usr/bin:/bin";
            while (true)
            {
                const std::size_t colon = rest.find(':');
                const std::string folder(rest.substr(0, colon));
                if (!folder.empty() && ::access((folder + "/" + program).c_str(), X_OK) == 0)
                    return true;
                if (colon == std::string_view::npos)
                    return false;
                rest.remove_prefix(colon + 1);
            }
        }

        bool hasDisplay()
        {
            for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
                if (const char* value = std::getenv(name); value && *value)
                    return true;
            return false;
        }

        DialogTool chooseTool()
        {
            if (hasDisplay())
            {
                if (onPath("zenity"))
                    return DialogTool::Zenity;
                if (onPath("kdialog"))
                    return DialogTool::Kdialog;
            }
            if (::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO))
                return DialogTool::Terminal;
            return DialogTool::None;
        }

        // Runs the program with its standard output read through a pipe and
        // its standard error silenced (the tools warn about themes there).
        ToolResult runTool(const std::vector<std::string>& arguments)
        {
            ToolResult result;
            int pipeEnds[2];
            if (arguments.empty() || ::pipe2(pipeEnds, O_CLOEXEC) != 0)
                return result;
            std::vector<char*> argv;
            for (const std::string& argument : arguments)
                argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            const pid_t child = ::fork();
            if (child < 0)
            {
                ::close(pipeEnds[0]);
                ::close(pipeEnds[1]);
                return result;
            }
            if (child == 0)
            {
                ::dup2(pipeEnds[1], STDOUT_FILENO);
                const int null = ::open("/dev/null", O_WRONLY);
                if (null >= 0)
                    ::dup2(null, STDERR_FILENO);
                ::execvp(argv[0], argv.data());
                ::_exit(127);
            }
            ::close(pipeEnds[1]);
            char buffer[4096];
            while (true)
            {
                const ssize_t got = ::read(pipeEnds[0], buffer, sizeof buffer);
                if (got > 0)
                    result.output.append(buffer, static_cast<std::size_t>(got));
                else if (got == 0 || errno != EINTR)
                    break;
            }
            ::close(pipeEnds[0]);
            int status = 0;
            while (::waitpid(child, &status, 0) < 0)
                if (errno != EINTR)
                    return result;
            if (WIFEXITED(status) && WEXITSTATUS(status) != 127)
                result.exitCode = WEXITSTATUS(status);
            return result;
        }

        // zenity reads its texts as Pango markup.
        std::string markupEscaped(const std::string& text)
        {
            std::string escaped;
            for (const char c : text)
            {
                switch (c)
                {
                case '&': escaped += "&amp;"; break;
                case '<': escaped += "&lt;"; break;
                case '>': escaped += "&gt;"; break;
                default: escaped += c;
                }
            }
            return escaped;
        }

        bool isRegularFile(const std::string& path)
        {
            struct stat info
            {};
            return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
        }
    } // namespace

    std::string CaseInsensitivePattern(const OpenRequest& request)
    {
        std::string pattern;
        for (const char c : request.filterPattern)
        {
            const unsigned char u = static_cast<unsigned char>(c);
            if (std::isalpha(u) && u < 0x80)
            {
                pattern += '[';
                pattern += static_cast<char>(std::tolower(u));
                pattern += static_cast<char>(std::toupper(u));
                pattern += ']';
            }
            else if (request.exactName && (c == '*' || c == '?' || c == '[' || c == ']' || c == ' ' || c == '\\'))
                // The dialogs split patterns at blanks and have no escape
                // that every version honours: any one character stands in.
                pattern += '?';
            else if (!request.exactName && c == ';')
                pattern += ' ';
            else
                pattern += c;
        }
        return pattern;
    }

    std::vector<std::string> DialogArguments(DialogTool tool, const std::string& kind, const std::string& caption,
                                             const std::string& text)
    {
        if (tool == DialogTool::Zenity)
            return {"zenity", kind == "error" ? "--error" : "--info", "--title=" + caption,
                    "--text=" + markupEscaped(text), "--no-wrap"};
        if (tool == DialogTool::Kdialog)
            return {"kdialog", "--title", caption, kind == "error" ? "--error" : "--msgbox", text};
        return {};
    }

    std::vector<std::string> OpenFileArguments(DialogTool tool, const OpenRequest& request)
    {
        std::error_code ignored;
        std::string folder = std::filesystem::current_path(ignored).string();
        if (!folder.empty() && folder.back() != '/')
            folder += '/';
        if (tool == DialogTool::Zenity)
            return {"zenity", "--file-selection", "--filename=" + folder,
                    "--file-filter=" + request.filterName + " | " + CaseInsensitivePattern(request)};
        if (tool == DialogTool::Kdialog)
            return {"kdialog", "--getopenfilename", folder, CaseInsensitivePattern(request) + "|" + request.filterName};
        return {};
    }

    DesktopUi::DesktopUi()
        : DesktopUi(chooseTool(), runTool)
    {
    }

    DesktopUi::DesktopUi(DialogTool tool, ToolRunner runner)
        : mTool(tool)
        , mRunner(std::move(runner))
    {
    }

    void DesktopUi::message(const std::string& caption, const std::string& text) { box("message", caption, text); }

    void DesktopUi::error(const std::string& caption, const std::string& text) { box("error", caption, text); }

    void DesktopUi::box(const std::string& kind, const std::string& caption, const std::string& text)
    {
        if (mTool == DialogTool::Zenity || mTool == DialogTool::Kdialog)
        {
            // A tool that fails to show its box (its display gone) leaves the
            // text on standard error rather than nowhere.
            const ToolResult shown = mRunner(DialogArguments(mTool, kind, caption, text));
            if (shown.exitCode == 0 || shown.exitCode == 1)
                return;
        }
        std::cerr << caption << (kind == "error" ? ": error: " : ": ") << text << std::endl;
    }

    std::optional<std::string> DesktopUi::openFile(const OpenRequest& request)
    {
        if (mTool == DialogTool::Zenity || mTool == DialogTool::Kdialog)
        {
            ToolResult chosen = mRunner(OpenFileArguments(mTool, request));
            if (chosen.exitCode != 0)
                return std::nullopt;
            while (!chosen.output.empty() && (chosen.output.back() == '\n' || chosen.output.back() == '\r'))
                chosen.output.pop_back();
            if (chosen.output.empty())
                return std::nullopt;
            return chosen.output;
        }
        if (mTool != DialogTool::Terminal)
            return std::nullopt;
        while (true)
        {
            std::cerr << "File to patch (" << request.filterName << "), or an empty line to cancel: " << std::flush;
            std::string line;
            if (!std::getline(std::cin, line) || line.empty())
                return std::nullopt;
            if (!request.mustExist || isRegularFile(line))
                return line;
            std::cerr << "No such file: " << line << std::endl;
        }
    }
} // namespace Stub
