#pragma once
// The folder chooser: a non-visual component owned by a window. Execute shows
// the folder dialog (through the installed prompter) with Title as its text.

#include <QObject>
#include <QString>

class QWidget;

class TFolderDialog : public QObject
{
    Q_OBJECT

public:
    explicit TFolderDialog(QWidget* owner);

    // Text shown with the dialog; empty in every use in this program.
    QString Title;
    // The chosen folder, always ending in "/"; empty until a folder has been
    // chosen. Kept as it was when the dialog is cancelled or answers nothing.
    QString Path;
    // The chosen folder's own name (its last path component).
    QString SimpleName;

    // False (nothing changed) when cancelled; true otherwise.
    bool Execute();

private:
    QWidget* mOwner;
};
