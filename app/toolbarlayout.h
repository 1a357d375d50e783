#pragma once
// Where the main window's toolbars sit: docked in one of the three docks
// ("dockTop", "dockLeft", "dockBottom"; there is no right-hand dock) at a row
// and an offset along it, or floating at a screen position.
//
// The window's toolbar areas keep rows, offsets, floating geometry and each
// floating toolbar's last dock in the layout record that QMainWindow saves;
// these helpers read and rewrite the toolbar part of that record, so a place
// read from a window and written back reproduces the window's layout.

#include <QPoint>
#include <QString>

#include <vector>

class QMainWindow;
class QToolBar;

struct TToolbarPlace
{
    QString DockedTo; // a dock name, or "+" while floating
    QString LastDock; // the dock it was last docked to; empty when none
    int DockRow = 0;  // row within the dock, from the window's edge, counted from 0
    int DockPos = 0;  // offset along the row, in pixels
    QPoint Float;     // top-left corner while floating, screen pixels
    bool Visible = true;
};

namespace Tarrowin::ToolbarLayout
{
    // "dockTop", "dockLeft" or "dockBottom" for a toolbar area; empty otherwise.
    QString dockName(int qtArea);
    // The toolbar area of a dock name, or 0 when no dock has that name.
    int dockArea(const QString& name);

    // The toolbar's place in window. floatWhenDocked is reported as Float for
    // a docked toolbar (the window remembers it for a later float).
    TToolbarPlace read(QMainWindow& window, QToolBar& toolbar, QPoint floatWhenDocked);

    struct Assignment
    {
        QToolBar* toolbar;
        TToolbarPlace place;
    };
    // Moves every listed toolbar to its place in one step: rows and offsets in
    // the docks, floating ones at their position, hidden ones hidden. A
    // floating toolbar keeps LastDock (when it names a dock) as the dock it
    // returns to. False when the window's layout record has a form these
    // helpers don't know; nothing changes then.
    bool apply(QMainWindow& window, const std::vector<Assignment>& places);
}
