#pragma once
// What the self-extracting program shows: two kinds of box and one file-open
// dialog, reached through this small interface so that the run logic needs no
// window toolkit. The Linux program answers it with zenity, kdialog or the
// terminal (stubui_desktop), the tests with the installed Qt prompter
// (stubui_qt), the Windows program with MessageBox and GetOpenFileName
// (stubwin32); ScriptUi answers from files for automation on either. Texts
// are UTF-8.

#include <deque>
#include <optional>
#include <string>

namespace Stub
{
    // The file-open dialog: one filter whose description and pattern are
    // given; with exactName the pattern is a file name taken literally
    // (blanks, brackets and all), not a list of wildcard patterns.
    struct OpenRequest
    {
        std::string filterName;
        std::string filterPattern;
        bool exactName = false;
        std::string defaultExt; // without the dot
        bool mustExist = true;
        // The folder the dialog opens in (ending in a separator); empty: the
        // current directory.
        std::string initialFolder;
    };

    class Ui
    {
    public:
        virtual ~Ui() = default;
        // Plain box: caption, text, OK, no icon.
        virtual void message(const std::string& caption, const std::string& text) = 0;
        // Error box: stop icon, OK.
        virtual void error(const std::string& caption, const std::string& text) = 0;
        // The chosen path, or nothing when cancelled.
        virtual std::optional<std::string> openFile(const OpenRequest& request) = 0;
    };

    // Answers from a script file and records to a log file, with the formats
    // of TARROWIN_UI_SCRIPT and TARROWIN_UI_LOG (platform/ui_env.h): one
    // answer per line ("cancel" or a path; an exhausted script cancels), one
    // log line per box ("message|caption|text", "error|caption|text",
    // "open||name|pattern"). Either path may be empty. An answer that is a
    // bare file name is taken from the dialog's initial folder, as a name
    // typed into the dialog would be.
    class ScriptUi : public Ui
    {
    public:
        ScriptUi(const std::string& scriptPath, std::string logPath);

        void message(const std::string& caption, const std::string& text) override;
        void error(const std::string& caption, const std::string& text) override;
        std::optional<std::string> openFile(const OpenRequest& request) override;

    private:
        void log(const std::string& line);

        std::string mLogPath;
        std::deque<std::string> mAnswers;
    };
} // namespace Stub
