#pragma once
// The program's application object and the texts every window shares.

#include <QApplication>
#include <QString>

namespace Tarrowin
{
    // The application's title: the caption of plain message boxes and error boxes.
    inline const QString AppTitle = QStringLiteral("Quenwick's Tarrowin");
    // The main window's caption.
    inline const QString MainCaption = QStringLiteral("Quenwick Tarrowin v1.27");

    // Sets the application's title (start-up step 1) and has the archive
    // core's notes (MessageHook: leftover temporary files it removed) shown
    // in a plain message box once the command that gave them has ended, in
    // every window. Also used by the tests.
    void InitApplication();

    // Plain message box: the application's title as caption, OK, no icon.
    void ShowMessage(QWidget* parent, const QString& text);
}

// Shows any failure that a handler lets escape into the event loop in an
// error box; the command ends and the program goes on.
class TTarrowinApplication : public QApplication
{
public:
    TTarrowinApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};
