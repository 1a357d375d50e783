#pragma once
// The "View As..." chooser: six fixed kinds; the selection stays from one use
// to the next.

#include "preview/previewkind.h"

#include <QDialog>

#include <functional>
#include <optional>

class QPushButton;
class QTreeWidget;

class TfrmViewAs : public QDialog
{
    Q_OBJECT

public:
    explicit TfrmViewAs(QWidget* parent = nullptr);

    // Runs the dialog modally; true when it closed with OK (View). Tests
    // install ModalRunner to answer without a modal loop.
    bool ShowModal();
    // Closes with OK when a row is selected; otherwise the dialog stays open.
    void btnViewClick();
    // The selected row's Extension ("HRC", "MID", ...), empty when none.
    QString SelectedExtension() const;
    // The selected row's viewer, PreviewViewer::None when none is selected.
    PreviewViewer SelectedViewer() const;

    // Replaces exec() when set: gets the dialog, returns its result code.
    static std::function<int(TfrmViewAs&)> ModalRunner;

    QTreeWidget* lstTypes;
    QPushButton* btnView;
    QPushButton* btnCancel;
};
