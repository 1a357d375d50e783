// The program's entry: the application and its title, the main window (whose
// creation finds the game's data folder and applies the settings), the archive
// named on the command line, the event loop, and the shut-down that saves the settings.

#include "application.h"
#include "lgpviewer.h"

#include "platform/ui_env.h"

int main(int argc, char** argv)
{
    TTarrowinApplication app(argc, argv);
    Tarrowin::InitApplication();
    Platform::Ui::installPrompterFromEnvironment(); // automation only: answers boxes from a script
    TfrmLGPEditor window;
    window.show();
    window.OpenFromArguments(QCoreApplication::arguments());
    const int result = app.exec();
    window.FormDestroy();
    return result;
}
