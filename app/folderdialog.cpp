#include "folderdialog.h"

#include "platform/ui.h"

#include <QDir>
#include <QFileInfo>
#include <QWidget>

TFolderDialog::TFolderDialog(QWidget* owner)
    : QObject(owner)
    , mOwner(owner)
{
}

bool TFolderDialog::Execute()
{
    const std::optional<QString> chosen = Platform::Ui::prompter().chooseFolder(mOwner, Title);
    if (!chosen)
        return false;
    // An answer without a usable path (nothing chosen) leaves Path as it was.
    QString folder = chosen->trimmed();
    if (folder.isEmpty())
        return true;
    folder = QDir::cleanPath(QDir::fromNativeSeparators(folder));
    SimpleName = folder == "/" ? folder : QFileInfo(folder).fileName();
    if (!folder.endsWith('/'))
        folder += '/';
    Path = folder;
    return true;
}
