#include "filelist.h"

#include "platform/qtext.h"

#include <QDrag>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMimeData>

void TFileListModel::SetEntries(std::vector<LGPEntry> entries)
{
    beginResetModel();
    mEntries = std::move(entries);
    endResetModel();
}

int TFileListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(mEntries.size());
}

int TFileListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 3; }

QString TFileListModel::CellText(const LGPEntry& entry, int column)
{
    switch (column)
    {
    case 0: return Platform::Text::fromArchiveText(entry.Name);
    case 1: return QString::number(entry.Offset);
    default: return entry.Length <= LengthBadOffset ? QStringLiteral("Error") : QString::number(entry.Length);
    }
}

QVariant TFileListModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount() || index.column() >= 3)
        return {};
    return CellText(mEntries[std::size_t(index.row())], index.column());
}

QVariant TFileListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section)
    {
    case 0: return QStringLiteral("Filename");
    case 1: return QStringLiteral("Table Start");
    case 2: return QStringLiteral("File Length");
    default: return {};
    }
}

TFileListView::TFileListView(QWidget* parent)
    : QTreeView(parent)
    , mModel(new TFileListModel(this))
{
    setModel(mModel);
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setItemsExpandable(false);
    setAllColumnsShowFocus(true);
    setSortingEnabled(false);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Clicking a column header does nothing.
    header()->setSectionsClickable(false);
    header()->setStretchLastSection(false);
    setColumnWidth(0, 125);
    setColumnWidth(1, 75);
    setColumnWidth(2, 75);
}

QString TFileListView::CellText(int row, int column) const
{
    if (row < 0 || row >= mModel->rowCount() || column < 0 || column > 2)
        return {};
    return TFileListModel::CellText(mModel->Entries()[std::size_t(row)], column);
}

int TFileListView::SelectedRow() const
{
    const QModelIndex current = currentIndex();
    if (current.isValid() && selectionModel()->isRowSelected(current.row(), {}))
        return current.row();
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void TFileListView::startDrag(Qt::DropActions)
{
    QMimeData* carried = DragProvider ? DragProvider() : nullptr;
    if (!carried)
        return;
    auto* drag = new QDrag(this);
    drag->setMimeData(carried);
    drag->exec(Qt::CopyAction, Qt::CopyAction);
}

void TFileListView::SelectRow(int row)
{
    const QModelIndex index = mModel->index(row, 0);
    setCurrentIndex(index);
    selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void TFileListView::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && SelectedRow() >= 0)
    {
        event->accept();
        emit EnterPressed();
        return;
    }
    QTreeView::keyPressEvent(event);
}
