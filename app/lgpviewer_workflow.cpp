// The main window's everyday conveniences around the classic commands: the
// name filter, several rows extracted at once, the file list's context menu,
// rows dragged out to a file manager and files dropped in to replace entries,
// the lookup check, the archives opened last, and the short note on the status
// line after a command succeeded.

#include "lgpviewer.h"

#include "application.h"
#include "folderdialog.h"

#include "core/lgplookup.h"
#include "core/lgpstruct.h"
#include "core/streams.h"
#include "errors/errors.h"
#include "platform/paths.h"
#include "platform/qtext.h"
#include "preview/lgpdispatch.h"
#include "preview/previewkind.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <set>

namespace
{
    // The text a note stays on the status line.
    constexpr int DoneTimeout = 8000;

    QString plural(qsizetype count, const char* one, const char* many)
    {
        return QString::number(count) + " " + (count == 1 ? one : many);
    }
}

void TfrmLGPEditor::buildWorkflow()
{
    // File menu: the lookup check after the archive commands, the recent
    // archives before Exit; every classic item keeps its place.
    mnuVerify = new QAction("&Verify lookup", this);
    mnuVerify->setObjectName("mnuVerify");
    mnuFile->insertAction(mnuExit, mnuVerify);
    connectAction(mnuVerify, &TfrmLGPEditor::mnuVerifyClick);
    mnuRecent = new QMenu("Recent &archives", mnuFile);
    mnuRecent->setObjectName("mnuRecent");
    mnuFile->insertMenu(mnuExit, mnuRecent);
    mnuFile->insertSeparator(mnuExit);
    fillRecentMenu();

    // The filter sits left of the block chooser, outside the panel's layout,
    // so the chooser stays centred; it takes the room left of the chooser
    // (at most 150 pixels) and hides when there is too little.
    edtFilter = new QLineEdit(Panel2);
    edtFilter->setObjectName("edtFilter");
    edtFilter->setPlaceholderText("Filter: *.tex");
    edtFilter->setToolTip("Show only the files whose names match (* and ? wildcards, any case)");
    edtFilter->setClearButtonEnabled(true);
    Panel2->installEventFilter(this);
    connect(edtFilter, &QLineEdit::textChanged, this, [this] { ApplyFilter(); });

    // Several rows at once: Extract writes them all.
    lstFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lstFiles->setDragEnabled(true);
    lstFiles->setDragDropMode(QAbstractItemView::DragDrop);
    lstFiles->setAcceptDrops(true);
    lstFiles->viewport()->installEventFilter(this);
    lstFiles->viewport()->setAcceptDrops(true);
    lstFiles->DragProvider = [this]() -> QMimeData* {
        QMimeData* carried = nullptr;
        Guarded([this, &carried] { carried = DragRows(); });
        return carried;
    };

    popFiles = new QMenu(lstFiles);
    popFiles->setObjectName("popFiles");
    auto popItem = [this](const char* name, const QString& caption, void (TfrmLGPEditor::*handler)()) {
        QAction* action = popFiles->addAction(caption);
        action->setObjectName(name);
        connectAction(action, handler);
        return action;
    };
    popExtract = popItem("popExtract", "&Extract...", &TfrmLGPEditor::mnuExtractClick);
    popPreview = popItem("popPreview", "&Preview", &TfrmLGPEditor::lstFilesDblClick);
    popViewAs = popItem("popViewAs", "View &As...", &TfrmLGPEditor::lstFilesViewAs);
    popReplace = popItem("popReplace", "&Replace...", &TfrmLGPEditor::popReplaceClick);
    popReplaceFromPicture =
        popItem("popReplaceFromPicture", "Replace from &picture...", &TfrmLGPEditor::mnuReplaceFromPictureClick);
    popFiles->addSeparator();
    popCopyName = popItem("popCopyName", "&Copy name", &TfrmLGPEditor::popCopyNameClick);
    lstFiles->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(lstFiles, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        const QModelIndex index = lstFiles->indexAt(at);
        if (!index.isValid() || !CurrentArchive)
            return;
        if (!lstFiles->selectionModel()->isRowSelected(index.row(), {}))
            lstFiles->SelectRow(index.row());
        const std::vector<int> selected = SelectedTableIndexes();
        const bool one = selected.size() == 1;
        popPreview->setEnabled(one);
        popViewAs->setEnabled(one);
        popReplace->setEnabled(one);
        popReplaceFromPicture->setEnabled(one
                                          && ViewerForKind(PreviewKind(CurrentArchive->GetEntry(selected.front()).Name))
                                                 == PreviewViewer::Texture);
        popFiles->popup(lstFiles->viewport()->mapToGlobal(at));
    });
}

// ---------------------------------------------------------------------------
// Filter and selection

void TfrmLGPEditor::ApplyFilter()
{
    const std::string pattern = Platform::Text::toUtf8(edtFilter ? edtFilter->text().trimmed() : QString());
    const std::vector<LGPEntry>& rows = lstFiles->Rows().Entries();
    // A pattern without wildcards finds the names that hold it.
    const bool wild = pattern.find_first_of("*?[") != std::string::npos;
    const std::string effective = pattern.empty() || wild ? pattern : "*" + pattern + "*";
    for (std::size_t row = 0; row < rows.size(); ++row)
    {
        const bool shown = effective.empty() || MatchesNamePattern(rows[row].Name, effective);
        lstFiles->setRowHidden(int(row), QModelIndex(), !shown);
    }
    // Hidden rows leave the selection, so no command reaches a row not shown.
    for (const QModelIndex& index : lstFiles->selectionModel()->selectedRows())
        if (lstFiles->isRowHidden(index.row(), QModelIndex()))
            lstFiles->selectionModel()->select(index, QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
}

std::vector<int> TfrmLGPEditor::SelectedTableIndexes() const
{
    std::vector<int> indexes;
    if (mShownBlock < 0)
        return indexes;
    for (const QModelIndex& index : lstFiles->selectionModel()->selectedRows())
        if (!lstFiles->isRowHidden(index.row(), QModelIndex()))
            indexes.push_back(index.row() + BlockSize * mShownBlock);
    std::sort(indexes.begin(), indexes.end());
    return indexes;
}

bool TfrmLGPEditor::RefuseSeveralRows(const QString& command)
{
    const std::size_t count = SelectedTableIndexes().size();
    if (count <= 1)
        return false;
    Tarrowin::ShowMessage(this,
                          command + " works on one file at a time; " + QString::number(count) + " files are selected.");
    return true;
}

void TfrmLGPEditor::ExtractRows(const std::vector<int>& tableIndexes)
{
    if (!selFolder->Execute() || selFolder->Path.isEmpty())
        return;
    // The places Extract All would give these entries, every name checked
    // before anything is written.
    const std::set<int> wanted(tableIndexes.begin(), tableIndexes.end());
    std::vector<ExtractTarget> plan;
    for (const ExtractTarget& target : PlanExtractAll(*CurrentArchive, {}))
        if (wanted.count(target.Index))
            plan.push_back(target);
    ExtractAllEntries(*CurrentArchive, Platform::Text::toPath(selFolder->Path), plan);
    ShowDone("Extracted " + plural(qsizetype(plan.size()), "file", "files") + " to " + selFolder->Path);
}

// ---------------------------------------------------------------------------
// Context menu

void TfrmLGPEditor::lstFilesViewAs()
{
    const std::vector<int> selected = SelectedTableIndexes();
    if (!CurrentArchive || RefuseSeveralRows("View As") || selected.size() != 1)
        return;
    Previewer->Preview(*CurrentArchive, selected.front(), true);
}

void TfrmLGPEditor::popCopyNameClick()
{
    QStringList names;
    for (const int index : SelectedTableIndexes())
        names << Platform::Text::fromArchiveText(CurrentArchive->GetEntry(index).Name);
    if (!names.isEmpty())
        QApplication::clipboard()->setText(names.join('\n'));
}

void TfrmLGPEditor::popReplaceClick()
{
    const std::vector<int> selected = SelectedTableIndexes();
    if (!CurrentArchive || RefuseSeveralRows("Replace") || selected.size() != 1)
        return;
    Platform::Ui::FileDialogOptions options;
    options.title = "Replace " + Platform::Text::fromArchiveText(CurrentArchive->GetEntry(selected.front()).Name);
    options.filter = "All files|*.*";
    options.mustExist = true;
    const std::optional<QString> chosen = Platform::Ui::prompter().openFile(this, options);
    if (!chosen)
        return;
    replaceEntries({{selected.front(), *chosen}});
}

void TfrmLGPEditor::ReplaceFromFiles(const QStringList& files)
{
    if (!CurrentArchive)
        return;
    // Each file replaces the first entry of its name (compared without case).
    std::vector<std::pair<int, QString>> replacements;
    QStringList names;
    QStringList unknown;
    for (const QString& file : files)
    {
        const std::string name = Platform::Text::toPath(QFileInfo(file).fileName());
        int found = -1;
        for (std::int32_t i = 0; i < CurrentArchive->FileCount() && found < 0; ++i)
        {
            const std::string& entry = CurrentArchive->GetEntry(i).Name;
            if (entry.size() == name.size() && std::equal(entry.begin(), entry.end(), name.begin(), [](char a, char b) {
                    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
                }))
                found = i;
        }
        if (found < 0)
            unknown << QFileInfo(file).fileName();
        else
        {
            replacements.emplace_back(found, file);
            names << QFileInfo(file).fileName();
        }
    }
    if (replacements.empty())
    {
        Tarrowin::ShowMessage(this, "The archive holds no entry named " + unknown.join(", ") + ".");
        return;
    }
    QString question = "Replace " + plural(names.size(), "entry", "entries") + " of "
                       + QFileInfo(Platform::Text::fromPath(CurrentArchive->FileName())).fileName()
                       + " with the dropped files (" + names.join(", ") + ")?";
    if (!unknown.isEmpty())
        question += " The archive holds no entry named " + unknown.join(", ") + "; those are left out.";
    if (!Platform::Ui::prompter().question(this, Tarrowin::AppTitle, question))
        return;
    replaceEntries(replacements);
}

void TfrmLGPEditor::replaceEntries(const std::vector<std::pair<int, QString>>& replacements)
{
    const std::string archivePath = CurrentArchive->FileName();
    {
        // Every new file is read first: a missing one changes nothing.
        std::vector<std::pair<std::string, std::vector<std::uint8_t>>> contents;
        for (const auto& [index, file] : replacements)
            contents.emplace_back(CurrentArchive->GetEntry(index).Name, ReadWholeFile(Platform::Text::toPath(file)));
        TRawLGPFile archive(archivePath);
        for (const auto& [name, bytes] : contents)
            ReplaceEntryData(archive, name, bytes);
    }
    // The index describes the old file: it is read again, the block kept.
    const int block = std::max(0, mShownBlock);
    OpenArchive(Platform::Text::fromPath(archivePath));
    if (block > 0 && block < cmbList->count())
    {
        cmbList->setCurrentIndex(block);
        cmbListChange();
    }
    ShowDone("Replaced " + plural(qsizetype(replacements.size()), "entry", "entries"));
}

// ---------------------------------------------------------------------------
// Drag out, drop in

void TfrmLGPEditor::placeFilter()
{
    const int margin = 10;
    const int room = cmbList->geometry().left() - 2 * margin;
    const int width = std::min(150, room);
    edtFilter->setGeometry(margin, (Panel2->height() - edtFilter->sizeHint().height()) / 2, std::max(0, width),
                           edtFilter->sizeHint().height());
    // A filter that narrows rows stays in sight as long as it can.
    edtFilter->setVisible(width >= 60 || !edtFilter->text().isEmpty());
}

bool TfrmLGPEditor::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Panel2 && (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest))
    {
        // After the layout has centred the chooser.
        QTimer::singleShot(0, this, [this] { placeFilter(); });
        return QMainWindow::eventFilter(watched, event);
    }
    if (watched != lstFiles->viewport())
        return QMainWindow::eventFilter(watched, event);
    switch (event->type())
    {
    case QEvent::DragEnter:
    case QEvent::DragMove:
    {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        // Rows of this list dropped back onto it do nothing.
        if (drag->source() == lstFiles || !drag->mimeData()->hasUrls())
        {
            drag->ignore();
            return true;
        }
        drag->setDropAction(Qt::CopyAction);
        drag->accept();
        return true;
    }
    case QEvent::Drop:
    {
        auto* drop = static_cast<QDropEvent*>(event);
        if (drop->source() == lstFiles)
            return true;
        QStringList files;
        for (const QUrl& url : drop->mimeData()->urls())
            if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile())
                files << url.toLocalFile();
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        if (!files.isEmpty())
        {
            // Without an open archive a dropped archive is opened, as on the window.
            if (!CurrentArchive && files.size() == 1)
                Guarded([this, &files] { OpenArchive(files.front()); });
            else
                Guarded([this, &files] { ReplaceFromFiles(files); });
        }
        return true;
    }
    default: break;
    }
    return QMainWindow::eventFilter(watched, event);
}

QMimeData* TfrmLGPEditor::DragRows()
{
    const std::vector<int> selected = SelectedTableIndexes();
    if (!CurrentArchive || selected.empty())
        return nullptr;
    // The rows are extracted into a private folder of their own; the file
    // manager copies them from there.
    const std::string folder = Platform::Paths::makePrivateTempFolder("tarrowin-drag");
    if (folder.empty())
        throw ELGPError("Cannot create a temporary folder for the dragged files.");
    mDragFolders.push_back(folder);
    const std::set<int> wanted(selected.begin(), selected.end());
    std::vector<ExtractTarget> plan;
    for (const ExtractTarget& target : PlanExtractAll(*CurrentArchive, {}))
        if (wanted.count(target.Index))
            plan.push_back(target);
    ExtractAllEntries(*CurrentArchive, folder, plan);
    QList<QUrl> urls;
    for (const ExtractTarget& target : plan)
        urls << QUrl::fromLocalFile(Platform::Text::fromPath(folder + target.Path));
    auto* mime = new QMimeData;
    mime->setUrls(urls);
    return mime;
}

// ---------------------------------------------------------------------------
// Verify

void TfrmLGPEditor::mnuVerifyClick()
{
    if (!CurrentArchive)
    {
        Tarrowin::ShowMessage(this, "Open an archive before choosing Verify!");
        return;
    }
    const std::string path = CurrentArchive->FileName();
    const LookupCheck check = CheckLookup(ReadArchiveLookupView(path));
    QString text;
    for (const std::string& line : check.Lines)
        text += Platform::Text::fromArchiveText(line) + "\n";

    auto* box = new QDialog(this);
    box->setObjectName("frmVerify");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle("Verify " + QFileInfo(Platform::Text::fromPath(path)).fileName());
    box->setSizeGripEnabled(true);
    auto* column = new QVBoxLayout(box);
    auto* report = new QPlainTextEdit(text, box);
    report->setObjectName("memVerify");
    report->setReadOnly(true);
    report->setLineWrapMode(QPlainTextEdit::NoWrap);
    report->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    column->addWidget(report);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, box);
    connect(buttons, &QDialogButtonBox::rejected, box, &QDialog::close);
    column->addWidget(buttons);
    box->resize(560, 360);
    box->show();
    ShowDone(check.Lost > 0 ? "Verify: the game cannot find " + plural(check.Lost, "file", "files")
                            : QString("Verify: the game finds every file"));
}

// ---------------------------------------------------------------------------
// Recent archives, notes

void TfrmLGPEditor::SetRecentFiles(const QStringList& files)
{
    mRecent.clear();
    for (const QString& file : files)
        if (!file.isEmpty() && !mRecent.contains(file) && mRecent.size() < RecentCount)
            mRecent << file;
    fillRecentMenu();
}

void TfrmLGPEditor::rememberRecent(const QString& path)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QStringList files = mRecent;
    files.removeAll(absolute);
    files.prepend(absolute);
    SetRecentFiles(files);
}

void TfrmLGPEditor::fillRecentMenu()
{
    if (!mnuRecent)
        return;
    mnuRecent->clear();
    for (int i = 0; i < mRecent.size(); ++i)
    {
        const QString file = mRecent[i];
        QAction* action = mnuRecent->addAction(QString("&%1 %2").arg((i + 1) % 10).arg(file));
        connect(action, &QAction::triggered, this, [this, file] { Guarded([this, &file] { OpenArchive(file); }); });
    }
    mnuRecent->setEnabled(!mRecent.isEmpty());
}

void TfrmLGPEditor::ShowDone(const QString& text) { statusBar()->showMessage(text, DoneTimeout); }

QString TfrmLGPEditor::DoneText() const { return statusBar()->currentMessage(); }

std::optional<QPoint> TfrmLGPEditor::OuterPosition() const
{
    if (isVisible())
        return frameGeometry().topLeft();
    return mWantedPos;
}
