#pragma once
// Every message box, question and file or folder dialog of the windowed
// programs goes through the installed Prompter. The default one shows Qt
// dialogs; tests install a ScriptedPrompter that answers from a queue and
// records what was shown, so nothing waits for a person.

#include <QString>
#include <QStringList>

#include <deque>
#include <optional>
#include <variant>
#include <vector>

class QFileDialog;
class QWidget;

namespace Platform::Ui
{
    struct FileDialogOptions
    {
        QString title;          // empty: the system's default title
        QString filter;         // "LGP Archives|*.LGP|All files|*.*"
        QString defaultExt;     // without the dot; added when the typed name has none
        QString fileName;       // preset file name (may carry a folder)
        QString directory;      // empty: the current directory
        bool mustExist = false; // open: the file must exist; save: its folder must exist
        // The filter's pattern is one file name taken literally (blanks and
        // wildcard characters are part of it); names match without case.
        bool exactName = false;
    };

    class Prompter
    {
    public:
        virtual ~Prompter() = default;
        // Plain message box: caption, text, OK, no icon.
        virtual void message(QWidget* parent, const QString& caption, const QString& text) = 0;
        // Question box: Yes and No, No the default. True for Yes.
        virtual bool question(QWidget* parent, const QString& caption, const QString& text) = 0;
        // Error box: stop icon, OK.
        virtual void error(QWidget* parent, const QString& caption, const QString& text) = 0;
        // Chosen path, or nothing when cancelled.
        virtual std::optional<QString> openFile(QWidget* parent, const FileDialogOptions& options) = 0;
        virtual std::optional<QString> saveFile(QWidget* parent, const FileDialogOptions& options) = 0;
        // Chosen folder (any form; callers add the trailing "/"), or nothing.
        virtual std::optional<QString> chooseFolder(QWidget* parent, const QString& title) = 0;
    };

    // The installed prompter (Qt dialogs unless something else was installed).
    Prompter& prompter();
    // Installs p (not owned); nullptr restores the Qt dialogs.
    void setPrompter(Prompter* p);

    class ScopedPrompter
    {
    public:
        explicit ScopedPrompter(Prompter& p) { setPrompter(&p); }
        ~ScopedPrompter() { setPrompter(nullptr); }
        ScopedPrompter(const ScopedPrompter&) = delete;
        ScopedPrompter& operator=(const ScopedPrompter&) = delete;
    };

    // "Desc|*.a|Other|*.b;*.c" -> "Desc (*.a);;Other (*.b *.c)"; "*.*" (every
    // file) becomes "*", which also lists names without a dot.
    QString qtFilter(const QString& pipeFilter);
    // Gives a Qt file dialog the options' filter, default extension, folder
    // and file name (what the Qt prompter does before showing it).
    void configureFileDialog(QFileDialog& dialog, const FileDialogOptions& options);
    // The error box's text: the message with "." appended when its last
    // character sorts above ".".
    QString errorBoxText(const QString& message);
    // Shows a failure in an error box captioned with the application's title.
    void showError(QWidget* parent, const QString& message);
    // Shows a note in a plain message box captioned with the application's
    // title, over the active window, once the event loop runs again: after
    // the command that gave it has ended (notes given meanwhile share one
    // box, a line each). For notes that arise in the middle of a command, as
    // the archive core's MessageHook texts do.
    void showNoteLater(const QString& text);

    // Moves window (frame included, once known) to the centre of the screen
    // its parent window is on (else its own, else the primary screen).
    void centreOnScreen(QWidget& window);
    // Centres window on the screen every time it is shown, rather than over
    // its parent as dialogs otherwise open.
    void centreOnScreenWhenShown(QWidget& window);

    // Answers from queues and records everything shown. An empty queue answers
    // No / Cancel, so a test that forgot an answer fails instead of hanging.
    class ScriptedPrompter : public Prompter
    {
    public:
        enum class Kind
        {
            Message,
            Question,
            Error,
            OpenFile,
            SaveFile,
            Folder,
        };
        struct Shown
        {
            Kind kind;
            QString caption; // title for dialogs
            QString text;    // filter for file dialogs
            FileDialogOptions options;
        };

        std::deque<bool> questionAnswers;
        std::deque<std::optional<QString>> fileAnswers; // open and save dialogs, in order
        std::deque<std::optional<QString>> folderAnswers;
        std::vector<Shown> shown;

        void message(QWidget*, const QString& caption, const QString& text) override;
        bool question(QWidget*, const QString& caption, const QString& text) override;
        void error(QWidget*, const QString& caption, const QString& text) override;
        std::optional<QString> openFile(QWidget*, const FileDialogOptions& options) override;
        std::optional<QString> saveFile(QWidget*, const FileDialogOptions& options) override;
        std::optional<QString> chooseFolder(QWidget*, const QString& title) override;

        // Texts shown of one kind, in order.
        QStringList texts(Kind kind) const;
    };
}
