#pragma once
// The Linux program's own boxes and file dialog, with nothing to install for a
// player: a graphical session gets zenity's dialogs (GNOME, and most other
// desktops ship it), else kdialog's (KDE); without a display or either program
// the terminal the patch was started from asks and answers; with neither the
// texts go to standard error and the file dialog counts as cancelled.

#include "stubui.h"

#include <functional>
#include <string>
#include <vector>

namespace Stub
{
    // One program run with arguments: its exit code (-1 when it could not be
    // started) and what it wrote to standard output.
    struct ToolResult
    {
        int exitCode = -1;
        std::string output;
    };
    using ToolRunner = std::function<ToolResult(const std::vector<std::string>& arguments)>;

    enum class DialogTool
    {
        Zenity,
        Kdialog,
        Terminal,
        None
    };

    // The arguments that ask the tool for each box (the program's name first).
    std::vector<std::string> DialogArguments(DialogTool tool, const std::string& kind, const std::string& caption,
                                             const std::string& text);
    std::vector<std::string> OpenFileArguments(DialogTool tool, const OpenRequest& request);
    // A file pattern that matches the request's names in any case (letters as
    // "[aA]"); an exact name keeps every other character literal.
    std::string CaseInsensitivePattern(const OpenRequest& request);

    class DesktopUi : public Ui
    {
    public:
        // The tool chosen from the environment: a display ($DISPLAY or
        // $WAYLAND_DISPLAY) and zenity or kdialog on the PATH, else the
        // terminal when standard input and error are one, else none.
        DesktopUi();
        // For tests: the tool and how programs are run.
        DesktopUi(DialogTool tool, ToolRunner runner);

        DialogTool tool() const { return mTool; }

        void message(const std::string& caption, const std::string& text) override;
        void error(const std::string& caption, const std::string& text) override;
        std::optional<std::string> openFile(const OpenRequest& request) override;

    private:
        void box(const std::string& kind, const std::string& caption, const std::string& text);

        DialogTool mTool;
        ToolRunner mRunner;
    };
} // namespace Stub
