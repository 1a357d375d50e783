#pragma once
// The main window: one open archive, its header lines, its files in blocks of
// 1,000, and every command of the program through the menus and three
// dockable toolbars ("Files", "Advanced", "Patches").
//
// Every handler runs to its end on the user-interface thread. A failure that
// leaves a handler is shown in an error box (through Platform::Ui) and ends
// only that command.

#include "filelist.h"
#include "platform/ui.h"
#include "toolbarlayout.h"

#include <QElapsedTimer>
#include <QMainWindow>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QMimeData;
class QProgressBar;
class QToolBar;
class QToolButton;
class TFolderDialog;
class TLGPFile;
class TPreviewDispatcher;
class TfrmAboutLGP;
class TfrmAdvanced;
class TfrmLGPPatch;
class TfrmSelfExtract;

class TfrmLGPEditor : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int DesignedWidth = 519;
    static constexpr int DesignedHeight = 464;
    static constexpr int BlockSize = 1000;
    static constexpr int ButtonHeight = 32;
    static constexpr int DockDepth = 36;
    static constexpr int TextButtonWidth = 75;
    static constexpr int GlyphButtonWidth = 32;

    // Builds the window and runs FormCreate (game folder, settings).
    explicit TfrmLGPEditor(QWidget* parent = nullptr);
    // Runs FormDestroy when it hasn't run yet.
    ~TfrmLGPEditor() override;

    // --- Menus --------------------------------------------------------------
    QMenu* mnuFile = nullptr;
    QMenu* mnuOptions = nullptr;
    QMenu* mnuToolbars = nullptr;
    QMenu* mnuHelp = nullptr;
    QAction* mnuCreatenew = nullptr;
    QAction* mnuOpenLGP = nullptr;
    QAction* mnuExtract = nullptr;
    QAction* mnuExtractAll = nullptr;
    QAction* mnuReplaceFromPicture = nullptr;
    QAction* mnuReplaceFromFolder = nullptr;
    QAction* mnuAnalyze = nullptr;
    QAction* mnuRepairarchive = nullptr;
    QAction* mnuPackArchive = nullptr;
    QAction* mnuExit = nullptr;
    QAction* mnuReadLengths = nullptr;
    QAction* mnuCreatePatch = nullptr;
    QAction* mnuPatchConverter = nullptr;
    QAction* mnuApplyPatch = nullptr;
    QAction* mnuAdvancedEditor = nullptr;
    QAction* mnuText = nullptr;
    QAction* mnuFlatbuttons = nullptr;
    QAction* mnuFiletoolbar = nullptr;
    QAction* mnuAdvancedtoolbar = nullptr;
    QAction* mnuPatchtoolbar = nullptr;
    QAction* mnuAbout = nullptr;
    // Beyond the classic menus: the lookup check and the archives opened last.
    QAction* mnuVerify = nullptr;
    QMenu* mnuRecent = nullptr;

    // --- Toolbars -----------------------------------------------------------
    QToolBar* tbLGPFiles = nullptr;
    QToolBar* tbLGPAdvanced = nullptr;
    QToolBar* tbLGPPatch = nullptr;
    QToolButton* btnCreate = nullptr;
    QToolButton* btnOpen = nullptr;
    QToolButton* btnExtract = nullptr;
    QToolButton* btnExtractAll = nullptr;
    QToolButton* btnAnalyse = nullptr;
    QToolButton* btnRepair = nullptr;
    QToolButton* btnPack = nullptr;
    QToolButton* btnAdvanced = nullptr;
    QToolButton* btnCreatePatch = nullptr;
    QToolButton* btnConvert = nullptr;
    QToolButton* btnApply = nullptr;

    // --- Client area --------------------------------------------------------
    // Stands for the empty left dock: 9 pixels wide while no toolbar is docked there.
    QWidget* dockLeftSpace = nullptr;
    QWidget* Panel1 = nullptr;
    TFileListView* lstFiles = nullptr;
    QListWidget* lstInfo = nullptr;
    QWidget* Panel2 = nullptr;
    QComboBox* cmbList = nullptr;
    QLabel* Label5 = nullptr;
    QProgressBar* Status = nullptr;
    // Shows only the rows of the shown block whose names match its wildcard
    // pattern, compared without case; empty shows every row.
    QLineEdit* edtFilter = nullptr;
    // The file list's context menu.
    QMenu* popFiles = nullptr;
    QAction* popExtract = nullptr;
    QAction* popPreview = nullptr;
    QAction* popViewAs = nullptr;
    QAction* popReplace = nullptr;
    QAction* popReplaceFromPicture = nullptr;
    QAction* popCopyName = nullptr;

    // --- Dialogs ------------------------------------------------------------
    Platform::Ui::FileDialogOptions opnLGP;
    Platform::Ui::FileDialogOptions savLGP;
    Platform::Ui::FileDialogOptions savAny;
    TFolderDialog* selFolder = nullptr;
    TfrmAboutLGP* frmAboutLGP = nullptr;
    TfrmAdvanced* frmAdvanced = nullptr;
    TfrmLGPPatch* frmLGPPatch = nullptr;
    TfrmSelfExtract* frmSelfExtract = nullptr;
    TPreviewDispatcher* Previewer = nullptr;

    // The open archive, or none.
    std::unique_ptr<TLGPFile> CurrentArchive;

    // --- Handlers -----------------------------------------------------------
    void FormCreate();
    // Shut-down: settings saved (a failure is shown in an error box and the
    // remaining steps still run), the archive released, the preview's
    // temporary file deleted. Runs once.
    void FormDestroy();

    void mnuCreateClick();
    void mnuOpenClick();
    // Open's work after its dialog: reads the archive at path and shows it;
    // a failure leaves the previous archive and lists.
    void OpenArchive(const QString& path);
    // Start-up with a file argument ("tarrowin ARCHIVE", as a file manager
    // starts it): opens that archive as Open would, errors shown the same way.
    void OpenFromArguments(const QStringList& arguments);
    void mnuExtractClick();
    void mnuExtractAllClick();
    // Replace from picture on the selected entry.
    void mnuReplaceFromPictureClick();
    // Asks for a picture (PNG or BMP) and puts it into TEX entry tableIndex
    // of the open archive, converted against its current data and written
    // through the crash-safe replace; then reopens the archive and previews
    // the entry. For the menu, the list's context menu and tests.
    void ReplaceFromPicture(int tableIndex);
    // Asks for a folder laid out as Extract All writes one and, after a
    // question naming the count, puts the file of each entry that has one
    // into the open archive in one rewrite that leaves it packed (as
    // "tarrowin-cli replace --from"); reports the count on the status line and
    // the files that match no entry in a box, and reads the archive again.
    void mnuReplaceFromFolderClick();
    // Reopens the open archive after its file changed, keeping the block shown.
    void ReloadArchive();
    void mnuAnalyseClick();
    void mnuRepairarchiveClick();
    void mnuPackArchiveClick();
    void mnuExitClick();
    void mnuReadLengthsClick();
    void mnuCreatePatchClick();
    void mnuPatchConverterClick();
    void mnuApplyPatchClick();
    void mnuAdvancedClick();
    void mnuTextClick();
    void mnuFlatbuttonsClick();
    void mnuFiletoolbarClick();
    void mnuAdvancedtoolbarClick();
    void mnuPatchtoolbarClick();
    void mnuAboutClick();
    void lstFilesDblClick();
    void cmbListChange();

    // Refills lstFiles with the shown block.
    void FillFileList();
    // Hides the rows whose names don't match edtFilter.
    void ApplyFilter();
    // Lookup check of the open archive, shown in a window of its own.
    void mnuVerifyClick();
    // Extract of several selected rows: into a chosen folder, names as Extract All writes them.
    void ExtractRows(const std::vector<int>& tableIndexes);
    // Preview through the "View As..." chooser, whatever the name's extension.
    void lstFilesViewAs();
    // Replaces the data of the selected entry, or of every entry named as one
    // of files (asked first), in the archive file itself; the archive is read again.
    void popReplaceClick();
    void ReplaceFromFiles(const QStringList& files);
    void popCopyNameClick();
    // Table indexes of the selected visible rows, in table order.
    std::vector<int> SelectedTableIndexes() const;
    // For the commands that work on one row: with several rows selected,
    // says that command works on one file at a time and returns true.
    bool RefuseSeveralRows(const QString& command);
    // A short note on the status line after a command succeeded.
    void ShowDone(const QString& text);
    QString DoneText() const;
    // Archives opened last, newest first (at most RecentCount).
    static constexpr int RecentCount = 10;
    QStringList RecentFiles() const { return mRecent; }
    void SetRecentFiles(const QStringList& files);
    // Outer position kept by the settings: none for a window centred on the
    // screen (the first start). Read back: where the window is, or the kept
    // position while it was never shown.
    void SetOuterPosition(std::optional<QPoint> at) { mWantedPos = at; }
    std::optional<QPoint> OuterPosition() const;
    // The selected rows extracted into a new private temporary folder, as
    // the file URLs a drag carries (nullptr without rows). The folders go at
    // shut-down.
    QMimeData* DragRows();
    // ProgressHook target: the bar's maximum at position 1, its position always
    // (drawn at most every 40 ms; the last one when the command ends). The
    // reader calls it for every entry, so the common case stays inline.
    void ShowProgress(std::int32_t position, std::int32_t maximum)
    {
        if (position != 1 && position >= mLastChecked && position - mLastChecked < mCheckStep)
        {
            mPendingPosition = position;
            return;
        }
        showProgressStep(position, maximum);
    }

    // The number of the block on show, -1 before the first fill.
    int ShownBlock() const { return mShownBlock; }
    // Table index of lstFiles' current row, or -1 when no row is selected.
    int SelectedTableIndex() const;

    // The closed state: archive released, "No file open.", empty file list,
    // empty block chooser. Used after packing and by the advanced editor.
    void CloseArchive();

    // Runs handler; a failure it throws is shown in an error box.
    void Guarded(const std::function<void()>& handler);

    // Toolbar options, as the check marks say.
    void ApplyTextOption(bool showText);
    void ApplyFlatOption(bool flat);
    QToolBar* Toolbar(int index) const; // 0 Files, 1 Advanced, 2 Patches
    QAction* ToolbarMenuItem(int index) const;
    // Floating position remembered for each toolbar while docked.
    QPoint RememberedFloat(int index) const { return mFloatPos[index]; }
    void SetRememberedFloat(int index, QPoint at) { mFloatPos[index] = at; }
    // Outer size wanted by the settings; applied (frame included) when shown.
    void SetOuterSize(QSize size);
    QSize OuterSize() const;
    // The window's layout record changed by the settings: toolbars placed.
    bool PlaceToolbars(const std::vector<Tarrowin::ToolbarLayout::Assignment>& places);

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // An archive file dropped onto the window is opened; files dropped onto
    // the list of an open archive replace the entries of their names.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildMenus();
    void buildToolbars();
    void buildClientArea();
    void updateLeftDockSpace();
    QToolButton* makeButton(QToolBar* bar, const char* name, const QString& caption, const QString& hint, int glyph,
                            bool disabledImage, void (TfrmLGPEditor::*handler)());
    void connectAction(QAction* action, void (TfrmLGPEditor::*handler)());
    void connectLaterWindows();
    void toolbarVisibilityChanged(int index, bool visible);
    void toolbarFloatingChanged(int index, bool floating);
    void keepToolbarAbove(int index);
    void showProgressStep(std::int32_t position, std::int32_t maximum);
    void setProgressPosition(int position, bool force);
    void startProgress();
    void flushProgress();
    void fitOuterSize();
    void placePatchesOverExplanation();
    void rememberRecent(const QString& path);
    void fillRecentMenu();
    void buildWorkflow();
    void placeFilter();
    void replaceEntries(const std::vector<std::pair<int, QString>>& replacements);

    int mShownBlock = -1;
    bool mDestroyed = false;
    bool mFirstShow = true;
    bool mFrameFitted = false;
    bool mToolbarsRemapped = false;
    QSize mWantedOuter;
    std::optional<QPoint> mWantedPos;
    QStringList mRecent;
    std::vector<std::string> mDragFolders;
    bool mPatchesAtDesignedPlace = false;
    QPoint mFloatPos[3];
    QAction* mCloseBox[3] = {};
    QElapsedTimer mProgressClock;
    QElapsedTimer mShownClock; // since the window first appeared
    int mPendingPosition = -1;
    int mLastChecked = 0;
    int mCheckStep = 1;

    friend class ProgressScope;
};
