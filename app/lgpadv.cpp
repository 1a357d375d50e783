#include "lgpadv.h"

#include "lgpadvlinks.h"

#include "core/lgpstruct.h"
#include "platform/file.h"
#include "platform/qtext.h"
#include "platform/ui.h"

#include <QComboBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QShowEvent>
#include <QTreeWidget>

#include <exception>
#include <filesystem>
#include <system_error>

namespace
{
    constexpr int BlockSize = 1000;

    const QString AppTitle = QStringLiteral("Quenwick's Tarrowin");
    const QString WarningText = QStringLiteral(
        "Warning! Edits to the LGP file in this mode are IMMEDIATE and CANNOT be undone. I recommend you keep a "
        "backup copy of any files to be edited!");
    const QString ReadOnlyText = QStringLiteral(
        "This file is read-only. You can only use advanced edit on files that are writeable. Do you want to "
        "remove the read-only property of this file?");
    const QString BlocksText = QStringLiteral(
        "The editor can only display 1,000 (!) files at once. Archives with more files in them are split up "
        "into 1,000 file 'blocks'.");

    // "first-last" with 1-based numbers, as every block chooser labels its entries.
    QString BlockLabel(int block, int count)
    {
        return QStringLiteral("%1-%2").arg(block * BlockSize + 1).arg(std::min(block * BlockSize + BlockSize, count));
    }

    int BlockCount(int count) { return count / BlockSize + 1; }

    void SetShownBlock(QComboBox* chooser, int block) { chooser->setProperty("tag", block); }

    QTreeWidget* ReportList(QWidget* parent, const char* name, const QStringList& columns, const QList<int>& widths)
    {
        auto* list = new QTreeWidget(parent);
        list->setObjectName(name);
        list->setRootIsDecorated(false);
        list->setUniformRowHeights(true);
        list->setItemsExpandable(false);
        list->setEditTriggers(QAbstractItemView::NoEditTriggers);
        list->setSelectionMode(QAbstractItemView::SingleSelection);
        list->setSelectionBehavior(QAbstractItemView::SelectRows);
        list->setHeaderLabels(columns);
        list->header()->setSectionsClickable(false);
        list->header()->setSectionsMovable(false);
        list->header()->setStretchLastSection(false);
        for (int i = 0; i < widths.size(); ++i)
            list->setColumnWidth(i, widths[i]);
        // The selected row stays highlighted when the list loses the focus.
        QPalette palette = list->palette();
        palette.setColor(QPalette::Inactive, QPalette::Highlight, palette.color(QPalette::Active, QPalette::Highlight));
        palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                         palette.color(QPalette::Active, QPalette::HighlightedText));
        list->setPalette(palette);
        return list;
    }

    int SelectedRow(const QTreeWidget* list)
    {
        const QList<QTreeWidgetItem*> selected = list->selectedItems();
        return selected.isEmpty() ? -1 : list->indexOfTopLevelItem(selected.first());
    }
}

TfrmAdvanced::TfrmAdvanced(QWidget* parent)
    : QDialog(parent)
{
    setObjectName("frmAdvanced");
    setWindowTitle(QStringLiteral("Advanced LGP Editor"));
    setFont(QFont(QStringLiteral("Verdana"), 8));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(542, 313);

    lstInfo = new QListWidget(this);
    lstInfo->setObjectName("lstInfo");
    lstInfo->setGeometry(8, 8, 289, 73);
    {
        QPalette palette = lstInfo->palette();
        // The silver background with black text, whatever the theme's colours.
        palette.setColor(QPalette::Base, QColor(0xC0, 0xC0, 0xC0));
        palette.setColor(QPalette::Text, Qt::black);
        lstInfo->setPalette(palette);
    }

    btnQuit = new QPushButton(QStringLiteral("Quit"), this);
    btnQuit->setObjectName("btnQuit");
    btnQuit->setGeometry(341, 8, 193, 25);
    btnAppend = new QPushButton(QStringLiteral("Append file to LGP"), this);
    btnAppend->setObjectName("btnAppend");
    btnAppend->setGeometry(341, 32, 193, 25);
    btnTruncate = new QPushButton(QStringLiteral("Truncate file (delete data)"), this);
    btnTruncate->setObjectName("btnTruncate");
    btnTruncate->setGeometry(341, 56, 193, 25);

    lblListed = new QLabel(QStringLiteral("Listed files"), this);
    lblListed->setGeometry(8, 88, 241, 14);
    lblAvailable = new QLabel(QStringLiteral("Available data"), this);
    lblAvailable->setGeometry(284, 88, 250, 14);

    lstTable = ReportList(this, "lstTable", {QStringLiteral("Filename"), QStringLiteral("Data")}, {100, 120});
    lstTable->setGeometry(8, 104, 241, 150);
    lstHeader = ReportList(this, "lstHeader",
                           {QStringLiteral("#"), QStringLiteral("Name"), QStringLiteral("File length")}, {35, 105, 90});
    lstHeader->setGeometry(284, 104, 250, 150);

    lblLink = new QLabel(QStringLiteral("Link"), this);
    lblLink->setAlignment(Qt::AlignHCenter);
    lblLink->setGeometry(249, 152, 35, 14);
    btnLink = new QPushButton(QStringLiteral("->"), this);
    btnLink->setObjectName("btnLink");
    btnLink->setGeometry(254, 168, 25, 25);

    cmbTable = new QComboBox(this);
    cmbTable->setObjectName("cmbTable");
    cmbTable->setGeometry(8, 262, 129, 21);
    cmbHeader = new QComboBox(this);
    cmbHeader->setObjectName("cmbHeader");
    cmbHeader->setGeometry(405, 262, 129, 21);
    SetShownBlock(cmbTable, -1);
    SetShownBlock(cmbHeader, -1);

    lblBlocks = new QLabel(BlocksText, this);
    lblBlocks->setObjectName("lblBlocks");
    lblBlocks->setWordWrap(true);
    lblBlocks->setAlignment(Qt::AlignCenter);
    lblBlocks->setGeometry(145, 258, 252, 50);

    connect(btnQuit, &QPushButton::clicked, this, &TfrmAdvanced::btnQuitClick);
    connect(btnAppend, &QPushButton::clicked, this, &TfrmAdvanced::btnAppendClick);
    connect(btnTruncate, &QPushButton::clicked, this, &TfrmAdvanced::btnTruncateClick);
    connect(btnLink, &QPushButton::clicked, this, &TfrmAdvanced::btnLinkClick);
    connect(lstTable, &QTreeWidget::itemClicked, this, &TfrmAdvanced::lstTableClick);
    connect(cmbTable, &QComboBox::activated, this, &TfrmAdvanced::cmbTableChange);
    connect(cmbHeader, &QComboBox::activated, this, &TfrmAdvanced::cmbHeaderChange);
}

TfrmAdvanced::~TfrmAdvanced() = default;

int TfrmAdvanced::ShownBlock(const QComboBox* chooser)
{
    const QVariant tag = chooser->property("tag");
    return tag.isValid() ? tag.toInt() : -1;
}

bool TfrmAdvanced::OpenArchive(const QString& path)
{
    const std::string file = Platform::Text::toPath(path);
    std::error_code ec;
    const auto status = std::filesystem::status(file, ec);
    if (ec || !std::filesystem::exists(status))
        lgp::Fail("Couldn't retrieve file properties!");

    if (Platform::File::isReadOnly(file))
    {
        if (!Platform::Ui::prompter().question(this, QStringLiteral("Error!"), ReadOnlyText))
            return false;
        // Only the write permission is added; the other bits stay. Should it
        // fail, opening for writing below reports why.
        Platform::File::clearReadOnly(file);
    }

    // The previous editor is released first: it may hold this very file, and
    // a second writer of one file is refused even within one program.
    mRawArchive.reset();
    mRawArchive = std::make_unique<TRawLGPFile>(file);

    lstInfo->clear();
    lstInfo->addItem(QStringLiteral("File: ") + QFileInfo(path).fileName());
    lstInfo->addItem(QStringLiteral("Creator: ") + Platform::Text::fromArchiveText(mRawArchive->Creator()));
    const std::vector<std::uint8_t>& trailing = mRawArchive->TrailingText();
    lstInfo->addItem(
        QStringLiteral("Description: ")
        + Platform::Text::fromArchiveText({reinterpret_cast<const char*>(trailing.data()), trailing.size()}));
    lstInfo->addItem(QString());
    lstInfo->addItem(QString());
    RenewCountLines();

    cmbTable->clear();
    cmbHeader->clear();
    FillBlockLists();
    return true;
}

void TfrmAdvanced::RenewCountLines()
{
    if (!mRawArchive)
        return;
    for (int i = 0; i < 2 && lstInfo->count() > 0; ++i)
        delete lstInfo->takeItem(lstInfo->count() - 1);
    lstInfo->addItem(QStringLiteral("File has %1 active files.").arg(mRawArchive->FileCount()));
    lstInfo->addItem(QStringLiteral("File has %1 data files in it.").arg(mRawArchive->DataCount()));
}

void TfrmAdvanced::FillBlockLists()
{
    if (!mRawArchive)
        return;
    const QSignalBlocker blockTable(cmbTable);
    const QSignalBlocker blockHeader(cmbHeader);
    cmbTable->clear();
    cmbHeader->clear();
    const int dataCount = mRawArchive->DataCount();
    for (int b = 0; b < BlockCount(dataCount); ++b)
        cmbHeader->addItem(BlockLabel(b, dataCount));
    const int fileCount = mRawArchive->FileCount();
    for (int b = 0; b < BlockCount(fileCount); ++b)
        cmbTable->addItem(BlockLabel(b, fileCount));
    SetShownBlock(cmbTable, -1);
    SetShownBlock(cmbHeader, -1);
    cmbTable->setCurrentIndex(0);
    cmbHeader->setCurrentIndex(0);
    cmbTableChange();
    cmbHeaderChange();
}

void TfrmAdvanced::RefreshDataChooser()
{
    const QSignalBlocker block(cmbHeader);
    const int dataCount = mRawArchive->DataCount();
    const int wanted = BlockCount(dataCount);
    while (cmbHeader->count() > wanted)
        cmbHeader->removeItem(cmbHeader->count() - 1);
    for (int b = 0; b < wanted; ++b)
    {
        if (b < cmbHeader->count())
            cmbHeader->setItemText(b, BlockLabel(b, dataCount));
        else
            cmbHeader->addItem(BlockLabel(b, dataCount));
    }
}

void TfrmAdvanced::cmbTableChange()
{
    if (cmbTable->currentIndex() == ShownBlock(cmbTable))
        return;
    SetShownBlock(cmbTable, cmbTable->currentIndex());
    FillTableList();
}

void TfrmAdvanced::cmbHeaderChange()
{
    if (cmbHeader->currentIndex() == ShownBlock(cmbHeader))
        return;
    SetShownBlock(cmbHeader, cmbHeader->currentIndex());
    FillDataList();
}

void TfrmAdvanced::FillTableList()
{
    lstTable->setUpdatesEnabled(false);
    lstTable->clear();
    if (mRawArchive && ShownBlock(cmbTable) >= 0)
    {
        const int first = ShownBlock(cmbTable) * BlockSize;
        const int last = std::min(mRawArchive->FileCount() - 1, first + BlockSize - 1);
        const std::vector<std::int32_t> linked = LinkedDataIndexes(*mRawArchive, first, last);
        QList<QTreeWidgetItem*> rows;
        rows.reserve(qsizetype(linked.size()));
        for (int t = first; t <= last; ++t)
        {
            auto* row = new QTreeWidgetItem;
            row->setText(0, Platform::Text::fromArchiveText(mRawArchive->GetTableEntry(t).NameString()));
            if (const std::int32_t d = linked[std::size_t(t - first)]; d >= 0)
                row->setText(1, QStringLiteral("%1) ").arg(d + 1)
                                    + Platform::Text::fromArchiveText(mRawArchive->GetDataEntry(d).NameString()));
            rows.append(row);
        }
        lstTable->addTopLevelItems(rows);
    }
    lstTable->setUpdatesEnabled(true);
}

void TfrmAdvanced::FillDataList()
{
    lstHeader->setUpdatesEnabled(false);
    lstHeader->clear();
    if (mRawArchive && ShownBlock(cmbHeader) >= 0)
    {
        const int first = ShownBlock(cmbHeader) * BlockSize;
        const int last = std::min(mRawArchive->DataCount() - 1, first + BlockSize - 1);
        QList<QTreeWidgetItem*> rows;
        rows.reserve(std::max(0, last - first + 1));
        for (int d = first; d <= last; ++d)
        {
            const RawDataEntry entry = mRawArchive->GetDataEntry(d);
            rows.append(
                new QTreeWidgetItem({QString::number(d + 1), Platform::Text::fromArchiveText(entry.NameString()),
                                     QString::number(entry.Length)}));
        }
        lstHeader->addTopLevelItems(rows);
    }
    lstHeader->setUpdatesEnabled(true);
}

void TfrmAdvanced::lstTableClick()
{
    const int row = SelectedRow(lstTable);
    if (row < 0)
        return;
    const QString linked = lstTable->topLevelItem(row)->text(1);
    if (linked.isEmpty())
        return;
    bool ok = false;
    const int d = linked.left(linked.indexOf(')')).toInt(&ok) - 1;
    const int block = ShownBlock(cmbHeader);
    if (!ok || block < 0 || d < block * BlockSize || d > block * BlockSize + BlockSize - 1)
        return;
    QTreeWidgetItem* target = lstHeader->topLevelItem(d - block * BlockSize);
    if (!target)
        return;
    lstHeader->setCurrentItem(target);
    lstHeader->scrollToItem(target);
}

void TfrmAdvanced::btnLinkClick()
{
    const int tableRow = SelectedRow(lstTable);
    const int dataRow = SelectedRow(lstHeader);
    if (tableRow < 0 || dataRow < 0)
    {
        Platform::Ui::prompter().message(this, AppTitle,
                                         QStringLiteral("Select an item in BOTH lists before trying to link them!"));
        return;
    }
    if (!mRawArchive)
        return;
    try
    {
        const int t = tableRow + BlockSize * ShownBlock(cmbTable);
        const int d = dataRow + BlockSize * ShownBlock(cmbHeader);
        TOCEntry entry = mRawArchive->GetTableEntry(t);
        entry.Offset = mRawArchive->GetDataEntry(d).Position;
        mRawArchive->SetTableEntry(t, entry);
        const QTreeWidgetItem* dataItem = lstHeader->topLevelItem(dataRow);
        lstTable->topLevelItem(tableRow)->setText(1, dataItem->text(0) + QStringLiteral(") ") + dataItem->text(1));
    }
    catch (const std::exception& e)
    {
        Platform::Ui::showError(this, Platform::Text::fromUtf8(lgp::UserText(e)));
    }
}

void TfrmAdvanced::btnAppendClick()
{
    if (!mRawArchive)
        return;
    Platform::Ui::FileDialogOptions options;
    options.filter = QStringLiteral("All files|*.*");
    options.mustExist = true;
    const auto chosen = Platform::Ui::prompter().openFile(this, options);
    if (!chosen)
        return;
    try
    {
        // A name that doesn't fit the 20-byte field is refused rather than
        // shortened: a shortened name would no longer match the table entry
        // the user means to link it to.
        const QString name = QFileInfo(*chosen).fileName();
        // The entry is named by the file name's own bytes, as the builder names it.
        const std::string fileName = Platform::Text::toPath(name);
        const NameField field = FieldFromName(fileName);
        const std::vector<std::uint8_t> bytes = ReadWholeFile(Platform::Text::toPath(*chosen));
        const RawDataEntry entry = NewDataEntry(field, bytes, "The file \"" + fileName + "\"");
        const std::int32_t index = mRawArchive->AppendDataEntry(entry);

        RefreshDataChooser();
        const int block = ShownBlock(cmbHeader);
        if (block >= 0 && index / BlockSize == block)
            lstHeader->addTopLevelItem(
                new QTreeWidgetItem({QString::number(index + 1), Platform::Text::fromArchiveText(entry.NameString()),
                                     QString::number(entry.Length)}));
        RenewCountLines();
    }
    catch (const std::exception& e)
    {
        Platform::Ui::showError(this, Platform::Text::fromUtf8(lgp::UserText(e)));
    }
}

void TfrmAdvanced::btnTruncateClick()
{
    const int dataRow = SelectedRow(lstHeader);
    if (dataRow < 0)
    {
        Platform::Ui::prompter().message(this, AppTitle, QStringLiteral("Select an item to start deletion from!"));
        return;
    }
    if (!mRawArchive)
        return;
    try
    {
        const int d = dataRow + BlockSize * ShownBlock(cmbHeader);
        const RawDataEntry entry = mRawArchive->GetDataEntry(d);
        const QString question = QStringLiteral("This will delete item ") + QString::number(d + 1)
                                 + QStringLiteral(" (") + Platform::Text::fromArchiveText(entry.NameString())
                                 + QStringLiteral(") and all ") + QString::number(mRawArchive->DataCount() - d - 1)
                                 + QStringLiteral(" of the items following it from the file. YOU WILL NOT BE ")
                                 + QStringLiteral("ABLE TO RESTORE THE DATA AT ALL, IT WILL BE LOST. Continue?");
        if (!Platform::Ui::prompter().question(this, QStringLiteral("Warning!"), question))
            return;
        mRawArchive->TruncateData(d);
        FillBlockLists();
        RenewCountLines();
    }
    catch (const std::exception& e)
    {
        Platform::Ui::showError(this, Platform::Text::fromUtf8(lgp::UserText(e)));
    }
}

void TfrmAdvanced::btnQuitClick() { reject(); }

void TfrmAdvanced::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TfrmAdvanced::FormShow() { Platform::Ui::prompter().message(this, AppTitle, WarningText); }

void TfrmAdvanced::done(int result)
{
    FormClose();
    QDialog::done(result);
}

void TfrmAdvanced::FormClose() { mRawArchive.reset(); }
