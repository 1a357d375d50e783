// The stub program: applies the patch appended to its own file.

#include "stubrun.h"
#include "stubui_qt.h"

#include "platform/paths.h"
#include "platform/ui_env.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("stub");
    // Error boxes carry the stub's own title.
    QApplication::setApplicationDisplayName(Stub::Title);
    Platform::Ui::installPrompterFromEnvironment();
    Stub::PrompterUi ui;
    return Stub::Run(Platform::Paths::executablePath(), ui);
}
