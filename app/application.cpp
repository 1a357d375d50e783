#include "application.h"
#include "core/lgpstruct.h"
#include "errors/errors.h"

#include "glyphs.h"
#include "platform/qtext.h"
#include "platform/ui.h"

#include <exception>

namespace Tarrowin
{
    void InitApplication()
    {
        // The application name (not the display name, which the desktop would
        // append to every window caption) carries the title.
        QCoreApplication::setApplicationName(AppTitle);
        // Docks and task bars match the windows to the desktop entry
        // tarrowin.desktop by this name (and by the window class, which is the
        // application name on X11: the entry's StartupWMClass).
        QGuiApplication::setDesktopFileName("tarrowin");
        QApplication::setWindowIcon(Glyphs::programIcon());
        // A writer that removes what stopped runs left beside an archive says
        // so; the note shows once the command has ended, whichever window ran it.
        MessageHook = [](const std::string& text) { Platform::Ui::showNoteLater(Platform::Text::fromUtf8(text)); };
    }

    void ShowMessage(QWidget* parent, const QString& text) { Platform::Ui::prompter().message(parent, AppTitle, text); }
}

TTarrowinApplication::TTarrowinApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
}

bool TTarrowinApplication::notify(QObject* receiver, QEvent* event)
{
    try
    {
        return QApplication::notify(receiver, event);
    }
    catch (const std::exception& e)
    {
        Platform::Ui::showError(activeWindow(), Platform::Text::fromUtf8(lgp::UserText(e)));
    }
    return false;
}
