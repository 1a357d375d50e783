#pragma once
// The main window's file list: one block of at most 1,000 archive entries in
// three columns ("Filename", "Table Start", "File Length"). The rows are the
// entries copied from the index when the block is filled; their texts are made
// only for the rows on screen, so filling a block costs one copy per entry.

#include "core/lgpstruct.h"

#include <QAbstractTableModel>
#include <QTreeView>

#include <functional>
#include <vector>

class QMimeData;

class TFileListModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    using QAbstractTableModel::QAbstractTableModel;

    // Replaces every row in one reset of the model.
    void SetEntries(std::vector<LGPEntry> entries);
    const std::vector<LGPEntry>& Entries() const { return mEntries; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // A cell's text: the name, the offset in decimal, and the length in
    // decimal (-1 when lengths were not read) or "Error" for a bad offset.
    static QString CellText(const LGPEntry& entry, int column);

private:
    std::vector<LGPEntry> mEntries;
};

class TFileListView : public QTreeView
{
    Q_OBJECT

public:
    explicit TFileListView(QWidget* parent = nullptr);

    TFileListModel& Rows() const { return *mModel; }
    int topLevelItemCount() const { return mModel->rowCount(); }
    QString CellText(int row, int column) const;
    // The selected row (the current one when several are), or -1 when none
    // is selected.
    int SelectedRow() const;
    // What dragging the selected rows out of the list carries (the list takes
    // it over), or nullptr for no drag.
    std::function<QMimeData*()> DragProvider;
    // Makes row the current and only selected row.
    void SelectRow(int row);

signals:
    // Enter or Return on a selected row: the row is to be previewed, as a
    // double-click does.
    void EnterPressed();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void startDrag(Qt::DropActions supportedActions) override;

private:
    TFileListModel* mModel;
};
