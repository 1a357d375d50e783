#include "lgpviewer.h"

#include "aboutlgp.h"
#include "application.h"
#include "filelist.h"
#include "folderdialog.h"
#include "glyphs.h"
#include "lgpadv.h"
#include "settings.h"

#include "core/lgplookup.h"
#include "core/lgpstruct.h"
#include "patch/lgpmakepatch.h"
#include "patch/lgppatch.h"
#include "patch/lgpselfextract.h"
#include "platform/qtext.h"
#include "platform/registry.h"
#include "preview/PSXTex.h"
#include "preview/lgpdispatch.h"
#include "preview/lgppreview.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QProxyStyle>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace
{
    const QString LgpFilter = QStringLiteral("LGP Archives|*.LGP|All files|*.*");

    const char* const CreateWarning =
        "WARNING! The \"Create LGP\" function will only create LGP's that contain UNCOMPRESSED, STANDARD data, "
        "with normal file validation. Also, it makes an LGP from all files in one folder, using their filenames "
        "as the name to store them in the archive. It will by default set the creator to SQUARESOFT and the "
        "description to FINAL FANTASY7. Don't save your new LGP in the same folder as the source files or it "
        "will mess up!";

    bool samePath(const std::string& a, const std::string& b)
    {
        std::error_code ec;
        const bool same = std::filesystem::equivalent(a, b, ec);
        return !ec && same;
    }
}

// The toolbars' own metrics: a 2-pixel frame and no item margin around the
// 32-pixel buttons, so a dock holding a toolbar is 36 pixels deep.
class TToolbarStyle : public QProxyStyle
{
public:
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override
    {
        if (metric == PM_ToolBarFrameWidth)
            return (TfrmLGPEditor::DockDepth - TfrmLGPEditor::ButtonHeight) / 2;
        if (metric == PM_ToolBarItemMargin)
            return 0;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

// Points ProgressHook at the window's bar for one command and, on every way
// out, restores the previous hook and draws the last position reported.
class ProgressScope
{
public:
    explicit ProgressScope(TfrmLGPEditor& window)
        : mWindow(window)
        , mHook([&window](std::int32_t position, std::int32_t maximum) { window.ShowProgress(position, maximum); })
    {
        window.startProgress();
    }
    ~ProgressScope() { mWindow.flushProgress(); }
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;

private:
    TfrmLGPEditor& mWindow;
    ScopedProgressHook mHook;
};

TfrmLGPEditor::TfrmLGPEditor(QWidget* parent)
    : QMainWindow(parent)
{
    setObjectName("frmLGPEditor");
    setWindowTitle(Tarrowin::MainCaption);
    // Sizeable, with a system menu and a minimise box but no maximise box.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);
    setFont(QFont("Verdana", 8));
    setWindowIcon(Tarrowin::Glyphs::programIcon());
    setContextMenuPolicy(Qt::NoContextMenu);
    // Toolbars dock top, left and bottom; there is no right-hand dock.
    setDockOptions(QMainWindow::AnimatedDocks);
    setAcceptDrops(true);

    buildMenus();
    buildToolbars();
    buildClientArea();
    buildWorkflow();

    opnLGP.defaultExt = "LGP";
    opnLGP.filter = LgpFilter;
    opnLGP.mustExist = true;
    savLGP.defaultExt = "LGP";
    savLGP.filter = LgpFilter;
    savLGP.mustExist = true;
    savAny.filter = "All files|*.*";
    savAny.mustExist = true;
    selFolder = new TFolderDialog(this);
    // The other windows in their start-up order: advanced editor, patch
    // creator, About box, patch converter.
    frmAdvanced = new TfrmAdvanced(this);
    frmLGPPatch = new TfrmLGPPatch(this);
    frmAboutLGP = new TfrmAboutLGP(this);
    frmSelfExtract = new TfrmSelfExtract(this);
    Previewer = new TPreviewDispatcher(this);
    // A texture replaced from the preview window changed the archive's index.
    connect(&Previewer->TexView(), &TfrmTexView::textureReplaced, this, [this](const QString& path) {
        if (CurrentArchive && Platform::Text::toPath(path) == CurrentArchive->FileName())
            Guarded([this] { ReloadArchive(); });
    });

    connectLaterWindows();
    resize(DesignedWidth, DesignedHeight);
    mWantedOuter = QSize(DesignedWidth, DesignedHeight);

    Guarded([this] { FormCreate(); });
    updateLeftDockSpace();
}

TfrmLGPEditor::~TfrmLGPEditor()
{
    try
    {
        FormDestroy();
    }
    catch (...)
    {
        // FormDestroy reports its own failures; nothing may leave a destructor.
    }
}

// ---------------------------------------------------------------------------
// Building the window

void TfrmLGPEditor::connectAction(QAction* action, void (TfrmLGPEditor::*handler)())
{
    connect(action, &QAction::triggered, this, [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
}

void TfrmLGPEditor::buildMenus()
{
    auto item = [this](QMenu* menu, const char* name, const QString& caption, void (TfrmLGPEditor::*handler)(),
                       const QKeySequence& shortcut = {}) {
        QAction* action = menu->addAction(caption);
        action->setObjectName(name);
        if (!shortcut.isEmpty())
            action->setShortcut(shortcut);
        connectAction(action, handler);
        return action;
    };

    mnuFile = menuBar()->addMenu("&File");
    mnuFile->setObjectName("mnuFile");
    mnuCreatenew = item(mnuFile, "mnuCreatenew", "Create &New", &TfrmLGPEditor::mnuCreateClick, QKeySequence("Ctrl+N"));
    mnuFile->addSeparator();
    mnuOpenLGP = item(mnuFile, "mnuOpenLGP", "&Open LGP", &TfrmLGPEditor::mnuOpenClick, QKeySequence("Ctrl+O"));
    mnuFile->addSeparator();
    mnuExtract = item(mnuFile, "mnuExtract", "&Extract", &TfrmLGPEditor::mnuExtractClick, QKeySequence("Ctrl+E"));
    mnuExtractAll =
        item(mnuFile, "mnuExtractAll", "Extract &All", &TfrmLGPEditor::mnuExtractAllClick, QKeySequence("Ctrl+A"));
    mnuReplaceFromPicture =
        item(mnuFile, "mnuReplaceFromPicture", "Replace from &picture...", &TfrmLGPEditor::mnuReplaceFromPictureClick);
    mnuReplaceFromFolder =
        item(mnuFile, "mnuReplaceFromFolder", "Replace from fol&der...", &TfrmLGPEditor::mnuReplaceFromFolderClick);
    mnuAnalyze = item(mnuFile, "mnuAnalyze", "Ana&lyze", &TfrmLGPEditor::mnuAnalyseClick);
    mnuRepairarchive = item(mnuFile, "mnuRepairarchive", "&Repair archive", &TfrmLGPEditor::mnuRepairarchiveClick);
    mnuPackArchive = item(mnuFile, "mnuPackArchive", "&Pack Archive", &TfrmLGPEditor::mnuPackArchiveClick);
    mnuFile->addSeparator();
    mnuExit = item(mnuFile, "mnuExit", "E&xit", &TfrmLGPEditor::mnuExitClick);

    mnuOptions = menuBar()->addMenu("&Options");
    mnuOptions->setObjectName("mnuOptions");
    mnuReadLengths = item(mnuOptions, "mnuReadLengths", "&Read Lengths", &TfrmLGPEditor::mnuReadLengthsClick);
    mnuReadLengths->setCheckable(true);
    mnuReadLengths->setChecked(true);
    mnuOptions->addSeparator();
    // Connected in connectLaterWindows.
    mnuCreatePatch = mnuOptions->addAction("&Create Patch");
    mnuCreatePatch->setObjectName("mnuCreatePatch");
    mnuPatchConverter = mnuOptions->addAction("&Patch Converter");
    mnuPatchConverter->setObjectName("mnuPatchConverter");
    mnuApplyPatch = item(mnuOptions, "mnuApplyPatch", "&Apply Patch", &TfrmLGPEditor::mnuApplyPatchClick);
    mnuOptions->addSeparator();
    mnuAdvancedEditor = mnuOptions->addAction("A&dvanced Editor");
    mnuAdvancedEditor->setObjectName("mnuAdvancedEditor");
    mnuOptions->addSeparator();
    mnuToolbars = mnuOptions->addMenu("&Toolbars");
    mnuToolbars->setObjectName("mnuToolbars");
    mnuText = item(mnuToolbars, "mnuText", "&Text", &TfrmLGPEditor::mnuTextClick);
    mnuFlatbuttons = item(mnuToolbars, "mnuFlatbuttons", "F&lat buttons", &TfrmLGPEditor::mnuFlatbuttonsClick);
    mnuToolbars->addSeparator();
    mnuFiletoolbar = item(mnuToolbars, "mnuFiletoolbar", "&File toolbar", &TfrmLGPEditor::mnuFiletoolbarClick);
    mnuAdvancedtoolbar =
        item(mnuToolbars, "mnuAdvancedtoolbar", "&Advanced toolbar", &TfrmLGPEditor::mnuAdvancedtoolbarClick);
    mnuPatchtoolbar = item(mnuToolbars, "mnuPatchtoolbar", "&Patch toolbar", &TfrmLGPEditor::mnuPatchtoolbarClick);
    for (QAction* check : {mnuText, mnuFlatbuttons, mnuFiletoolbar, mnuAdvancedtoolbar, mnuPatchtoolbar})
        check->setCheckable(true);
    mnuText->setChecked(true);

    mnuHelp = menuBar()->addMenu("&Help");
    mnuHelp->setObjectName("mnuHelp");
    mnuAbout = item(mnuHelp, "mnuAbout", "&About", &TfrmLGPEditor::mnuAboutClick);
}

QToolButton* TfrmLGPEditor::makeButton(QToolBar* bar, const char* name, const QString& caption, const QString& hint,
                                       int glyph, bool disabledImage, void (TfrmLGPEditor::*handler)())
{
    auto* button = new QToolButton(bar);
    button->setObjectName(name);
    button->setText(caption);
    button->setToolTip(hint);
    button->setIcon(Tarrowin::Glyphs::toolbarIcon(static_cast<Tarrowin::Glyphs::Glyph>(glyph), disabledImage));
    button->setIconSize(QSize(16, 16));
    button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    button->setAutoRaise(false);
    button->setFixedSize(TextButtonWidth, ButtonHeight);
    if (handler)
        connect(button, &QToolButton::clicked, this,
                [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
    bar->addWidget(button);
    return button;
}

void TfrmLGPEditor::buildToolbars()
{
    using G = Tarrowin::Glyphs::Glyph;
    // The docks are 36 pixels deep: the 32-pixel buttons and a 2-pixel frame.
    auto* barStyle = new TToolbarStyle;
    barStyle->setParent(this);
    auto toolbar = [this, barStyle](const char* name, const QString& title) {
        auto* bar = new QToolBar(title, this);
        bar->setStyle(barStyle);
        bar->setObjectName(name);
        bar->setAllowedAreas(Qt::TopToolBarArea | Qt::LeftToolBarArea | Qt::BottomToolBarArea);
        bar->setMovable(true);
        bar->setFloatable(true);
        bar->setIconSize(QSize(16, 16));
        bar->toggleViewAction()->setVisible(false);
        return bar;
    };

    tbLGPFiles = toolbar("tbLGPFiles", "Files");
    btnCreate = makeButton(tbLGPFiles, "btnCreate", "Create", "Create a new archive from a folder", int(G::Create),
                           false, &TfrmLGPEditor::mnuCreateClick);
    btnOpen = makeButton(tbLGPFiles, "btnOpen", "Open", "Open an LGP archive", int(G::Open), false,
                         &TfrmLGPEditor::mnuOpenClick);
    btnExtract = makeButton(tbLGPFiles, "btnExtract", "Extract", "Extract one file to disk", int(G::Extract), false,
                            &TfrmLGPEditor::mnuExtractClick);
    btnExtractAll = makeButton(tbLGPFiles, "btnExtractAll", "Extr. All", "Extract all files to disk",
                               int(G::ExtractAll), false, &TfrmLGPEditor::mnuExtractAllClick);

    tbLGPAdvanced = toolbar("tbLGPAdvanced", "Advanced");
    btnAnalyse = makeButton(tbLGPAdvanced, "btnAnalyse", "Analyse", "Analyse an archive", int(G::Analyse), true,
                            &TfrmLGPEditor::mnuAnalyseClick);
    btnRepair = makeButton(tbLGPAdvanced, "btnRepair", "Repair", "Repair an archive", int(G::Repair), true,
                           &TfrmLGPEditor::mnuRepairarchiveClick);
    // "Pack" runs the pack command its caption and hint promise.
    btnPack = makeButton(tbLGPAdvanced, "btnPack", "Pack", "Pack an archive", int(G::Pack), true,
                         &TfrmLGPEditor::mnuPackArchiveClick);
    btnAdvanced =
        makeButton(tbLGPAdvanced, "btnAdvanced", "Advanced", "Advanced LGP Editor", int(G::Advanced), true, nullptr);

    tbLGPPatch = toolbar("tbLGPPatch", "Patches");
    btnCreatePatch =
        makeButton(tbLGPPatch, "btnCreatePatch", "Create", "Create an LGP patch", int(G::CreatePatch), true, nullptr);
    btnConvert = makeButton(tbLGPPatch, "btnConvert", "Convert", "Convert an LGP patch to/from a self-extractor",
                            int(G::Convert), true, nullptr);
    btnApply = makeButton(tbLGPPatch, "btnApply", "Apply", "Apply an LGP Patch", int(G::Apply), true,
                          &TfrmLGPEditor::mnuApplyPatchClick);

    addToolBar(Qt::TopToolBarArea, tbLGPFiles);
    addToolBar(Qt::BottomToolBarArea, tbLGPAdvanced);
    addToolBar(Qt::BottomToolBarArea, tbLGPPatch);

    QAction* menuItems[3] = {mnuFiletoolbar, mnuAdvancedtoolbar, mnuPatchtoolbar};
    for (int i = 0; i < 3; ++i)
    {
        QToolBar* bar = Toolbar(i);
        // A floating toolbar gets a close box at its end; docked, it has none.
        auto* close = new QToolButton(bar);
        close->setObjectName(bar->objectName() + "Close");
        close->setText(QString(QChar(0x00D7)));
        close->setToolTip("Close");
        close->setAutoRaise(true);
        close->setFixedSize(16, 16);
        connect(close, &QToolButton::clicked, bar, &QToolBar::hide);
        mCloseBox[i] = bar->addWidget(close);
        mCloseBox[i]->setVisible(false);
        connect(bar, &QToolBar::topLevelChanged, this,
                [this, i](bool floating) { toolbarFloatingChanged(i, floating); });
        connect(bar, &QToolBar::visibilityChanged, this,
                [this, i](bool visible) { toolbarVisibilityChanged(i, visible); });
        // The left dock is the only vertical one: a toolbar turning vertical or
        // horizontal has entered or left it. Queued, so the window's layout
        // already knows the toolbar's new place.
        connect(
            bar, &QToolBar::orientationChanged, this, [this] { updateLeftDockSpace(); }, Qt::QueuedConnection);
        connect(
            bar, &QToolBar::topLevelChanged, this, [this] { updateLeftDockSpace(); }, Qt::QueuedConnection);
        connect(
            bar, &QToolBar::visibilityChanged, this, [this] { updateLeftDockSpace(); }, Qt::QueuedConnection);
        menuItems[i]->setChecked(true);
    }
}

void TfrmLGPEditor::updateLeftDockSpace()
{
    if (!dockLeftSpace)
        return;
    bool occupied = false;
    for (int i = 0; i < 3; ++i)
    {
        QToolBar* bar = Toolbar(i);
        if (bar && !bar->isHidden() && !bar->isFloating() && toolBarArea(bar) == Qt::LeftToolBarArea)
            occupied = true;
    }
    dockLeftSpace->setVisible(!occupied);
}

void TfrmLGPEditor::buildClientArea()
{
    Panel1 = new QWidget(this);
    Panel1->setObjectName("Panel1");
    auto* column = new QVBoxLayout(Panel1);
    column->setContentsMargins(0, 10, 0, 0);
    column->setSpacing(0);

    lstFiles = new TFileListView(Panel1);
    lstFiles->setObjectName("lstFiles");
    lstFiles->setToolTip("Doubleclick to preview");
    connect(lstFiles, &QTreeView::doubleClicked, this, [this] { Guarded([this] { lstFilesDblClick(); }); });
    connect(lstFiles, &TFileListView::EnterPressed, this, [this] { Guarded([this] { lstFilesDblClick(); }); });
    auto* filesRow = new QHBoxLayout;
    filesRow->setContentsMargins(10, 0, 10, 0);
    filesRow->addWidget(lstFiles);
    column->addLayout(filesRow, 1);
    column->addSpacing(10);

    lstInfo = new QListWidget(Panel1);
    lstInfo->setObjectName("lstInfo");
    lstInfo->setFixedHeight(57);
    QPalette silver = lstInfo->palette();
    // The silver background with black text, whatever the theme's colours.
    silver.setColor(QPalette::Base, QColor(0xC0, 0xC0, 0xC0));
    silver.setColor(QPalette::Text, Qt::black);
    lstInfo->setPalette(silver);
    column->addWidget(lstInfo);

    Panel2 = new QWidget(Panel1);
    Panel2->setObjectName("Panel2");
    Panel2->setFixedHeight(41);
    cmbList = new QComboBox(Panel2);
    cmbList->setObjectName("cmbList");
    cmbList->setFixedWidth(129);
    auto* chooserRow = new QHBoxLayout(Panel2);
    chooserRow->setContentsMargins(0, 0, 0, 0);
    // Kept centred in its panel whatever the window's width.
    chooserRow->addStretch(1);
    chooserRow->addWidget(cmbList);
    chooserRow->addStretch(1);
    connect(cmbList, &QComboBox::activated, this, [this] { Guarded([this] { cmbListChange(); }); });
    column->addWidget(Panel2);

    Label5 = new QLabel("The editor can only display 1,000 (!) files at once. Archives with more files in them are "
                        "split up into 1,000 file 'blocks'.",
                        Panel1);
    Label5->setObjectName("Label5");
    Label5->setFixedHeight(45);
    Label5->setAlignment(Qt::AlignCenter);
    Label5->setWordWrap(true);
    column->addWidget(Label5);

    auto* middle = new QWidget(this);
    auto* band = new QHBoxLayout(middle);
    band->setContentsMargins(0, 0, 0, 0);
    band->setSpacing(0);
    dockLeftSpace = new QWidget(middle);
    dockLeftSpace->setObjectName("dockLeft");
    dockLeftSpace->setFixedWidth(9);
    band->addWidget(dockLeftSpace);
    band->addWidget(Panel1, 1);
    setCentralWidget(middle);

    Status = new QProgressBar(this);
    Status->setObjectName("Status");
    Status->setRange(0, 100);
    Status->setValue(0);
    Status->setTextVisible(false);
    Status->setFixedHeight(13);
    auto* bar = new QStatusBar(this);
    bar->setSizeGripEnabled(false);
    bar->setContentsMargins(0, 0, 0, 0);
    bar->addWidget(Status, 1);
    // The status bar keeps a few pixels above its widgets; it is as high as
    // they need, so the bar's bottom border stays on screen.
    bar->setFixedHeight(bar->sizeHint().height());
    setStatusBar(bar);
}

// The patch creator, the patch converter and the advanced editor are separate
// windows; their commands are connected here, in one place.
void TfrmLGPEditor::connectLaterWindows()
{
    connectAction(mnuCreatePatch, &TfrmLGPEditor::mnuCreatePatchClick);
    connectAction(mnuPatchConverter, &TfrmLGPEditor::mnuPatchConverterClick);
    connectAction(mnuAdvancedEditor, &TfrmLGPEditor::mnuAdvancedClick);
    const std::pair<QToolButton*, void (TfrmLGPEditor::*)()> buttons[] = {
        {btnCreatePatch, &TfrmLGPEditor::mnuCreatePatchClick},
        {btnConvert, &TfrmLGPEditor::mnuPatchConverterClick},
        {btnAdvanced, &TfrmLGPEditor::mnuAdvancedClick},
    };
    for (const auto& [button, handler] : buttons)
        connect(button, &QToolButton::clicked, this,
                [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
}

void TfrmLGPEditor::mnuCreatePatchClick() { frmLGPPatch->exec(); }
void TfrmLGPEditor::mnuPatchConverterClick() { frmSelfExtract->exec(); }

// The advanced editor works on the open archive's file; once it has closed,
// this window's index of that file may be stale, so it is released.
void TfrmLGPEditor::mnuAdvancedClick()
{
    if (!CurrentArchive)
    {
        Tarrowin::ShowMessage(this, "Open an LGP file first!");
        return;
    }
    if (!frmAdvanced->OpenArchive(Platform::Text::fromPath(CurrentArchive->FileName())))
        return;
    frmAdvanced->exec();
    CloseArchive();
}

// ---------------------------------------------------------------------------
// Start-up and shut-down

void TfrmLGPEditor::FormCreate()
{
    CurrentArchive.reset();

    // The game's data folder becomes every file dialog's starting folder. A
    // registered folder that can't be entered is reported, and start-up goes
    // on with the settings.
    try
    {
        Platform::Registry::enterGameDataFolder();
    }
    catch (const std::exception& e)
    {
        Platform::Ui::showError(this, Platform::Text::fromUtf8(lgp::UserText(e)));
    }

    // "Patches" starts floating over the window, with the bottom dock as its
    // last dock; once the window is shown it moves over the explanation
    // below the block chooser, where it hides no data (unless the settings
    // place it).
    const QRect screenArea = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->availableGeometry()
                                                              : QRect(0, 0, 1024, 768);
    TToolbarPlace patches;
    patches.DockedTo = "+";
    patches.LastDock = "dockBottom";
    patches.Float = screenArea.center() + QPoint(-DesignedWidth / 2 + 150, -DesignedHeight / 2 + 120);
    mFloatPos[2] = patches.Float;
    PlaceToolbars({{tbLGPPatch, patches}});
    mPatchesAtDesignedPlace = true;

    Tarrowin::Settings::Apply(*this);
    if (tbLGPPatch->pos() != patches.Float || !tbLGPPatch->isFloating())
        mPatchesAtDesignedPlace = false;

    mnuFiletoolbar->setChecked(!tbLGPFiles->isHidden());
    mnuAdvancedtoolbar->setChecked(!tbLGPAdvanced->isHidden());
    mnuPatchtoolbar->setChecked(!tbLGPPatch->isHidden());
}

void TfrmLGPEditor::FormDestroy()
{
    if (mDestroyed)
        return;
    mDestroyed = true;
    // A settings file that can't be written is reported; the archive is
    // still released and the preview's temporary file still deleted.
    try
    {
        Tarrowin::Settings::Save(*this);
    }
    catch (const std::exception& e)
    {
        Platform::Ui::showError(this, Platform::Text::fromUtf8(lgp::UserText(e)));
    }
    CurrentArchive.reset();
    for (const std::string& folder : mDragFolders)
    {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    mDragFolders.clear();
    if (Previewer)
    {
        const QString temp = Previewer->PreviewTempFile();
        try
        {
            Previewer->Shutdown();
        }
        catch (const std::exception& e)
        {
            Platform::Ui::showError(this, Platform::Text::fromUtf8(lgp::UserText(e)));
        }
        if (!temp.isEmpty() && QFileInfo::exists(temp))
            QFile::remove(temp);
    }
}

void TfrmLGPEditor::closeEvent(QCloseEvent* event)
{
    // The settings record the window as it is on screen, so they are saved
    // while it still is.
    FormDestroy();
    event->accept();
}

void TfrmLGPEditor::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (!mFirstShow)
        return;
    mFirstShow = false;
    fitOuterSize();
    if (const QScreen* s = screen())
    {
        const QRect area = s->availableGeometry();
        move(area.center() - QPoint(mWantedOuter.width() / 2, mWantedOuter.height() / 2));
        // The place kept from the last run, when it is still on a screen.
        if (mWantedPos)
            for (const QScreen* each : QGuiApplication::screens())
                if (each->availableGeometry().contains(*mWantedPos + QPoint(40, 10)))
                {
                    move(*mWantedPos);
                    break;
                }
    }
    placePatchesOverExplanation();
    mShownClock.start();
    for (int i = 0; i < 3; ++i)
        keepToolbarAbove(i);
    // A window manager reports the frame's size a little after the window
    // appears (with a move or a resize, see below); until then the frame
    // counts as none.
    for (const int delay : {0, 250})
        QTimer::singleShot(delay, this, [this] { fitOuterSize(); });
}

void TfrmLGPEditor::moveEvent(QMoveEvent* event)
{
    QMainWindow::moveEvent(event);
    // A window manager may move the window under its title bar a moment
    // after it appears, and its frame makes the client area smaller: the
    // floating toolbar keeps its place over the explanation then (later
    // moves and sizes are the user's, and it stays put).
    if (mShownClock.isValid() && mShownClock.elapsed() < 2000)
    {
        fitOuterSize();
        placePatchesOverExplanation();
    }
}

void TfrmLGPEditor::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    // The client size shrinks by the frame once the window manager tells it.
    if (mShownClock.isValid() && mShownClock.elapsed() < 2000)
    {
        fitOuterSize();
        placePatchesOverExplanation();
    }
}

void TfrmLGPEditor::placePatchesOverExplanation()
{
    // Over the explanation label, centred on it, unless the settings placed
    // it (called only in the first moments after the window appears).
    if (!mPatchesAtDesignedPlace || !tbLGPPatch->isFloating())
        return;
    if (layout())
        layout()->activate();
    const QPoint corner = Label5->mapToGlobal(
        QPoint((Label5->width() - tbLGPPatch->width()) / 2, (Label5->height() - tbLGPPatch->height()) / 2));
    tbLGPPatch->move(corner);
    mFloatPos[2] = corner;
}

void TfrmLGPEditor::fitOuterSize()
{
    // The stored size is the outer size, frame included. The frame is taken
    // off the client size once, when it is first known, so the size read back
    // at shut-down is the size that was stored.
    if (mFrameFitted)
        return;
    const QSize frame = frameGeometry().size() - geometry().size();
    if (frame.width() < 0 || frame.height() < 0 || frame.isNull())
        return;
    mFrameFitted = true;
    resize(mWantedOuter - frame);
}

void TfrmLGPEditor::SetOuterSize(QSize size)
{
    QSize limit(16384, 16384);
    if (const QScreen* s = QGuiApplication::primaryScreen())
        limit = limit.boundedTo(s->availableGeometry().size());
    // Never smaller than a usable window, never larger than the screen.
    const QSize minimum(200, 200);
    mWantedOuter = size.expandedTo(minimum).boundedTo(limit.expandedTo(minimum));
    resize(mWantedOuter);
}

QSize TfrmLGPEditor::OuterSize() const
{
    if (isVisible())
        return frameGeometry().size();
    return mWantedOuter;
}

// ---------------------------------------------------------------------------
// Helpers

void TfrmLGPEditor::Guarded(const std::function<void()>& handler)
{
    try
    {
        handler();
    }
    catch (const std::exception& e)
    {
        Platform::Ui::showError(this, Platform::Text::fromUtf8(lgp::UserText(e)));
    }
}

QToolBar* TfrmLGPEditor::Toolbar(int index) const
{
    switch (index)
    {
    case 0: return tbLGPFiles;
    case 1: return tbLGPAdvanced;
    default: return tbLGPPatch;
    }
}

QAction* TfrmLGPEditor::ToolbarMenuItem(int index) const
{
    switch (index)
    {
    case 0: return mnuFiletoolbar;
    case 1: return mnuAdvancedtoolbar;
    default: return mnuPatchtoolbar;
    }
}

bool TfrmLGPEditor::PlaceToolbars(const std::vector<Tarrowin::ToolbarLayout::Assignment>& places)
{
    for (const auto& assignment : places)
    {
        const int index = assignment.toolbar == tbLGPFiles ? 0 : assignment.toolbar == tbLGPAdvanced ? 1 : 2;
        if (assignment.place.DockedTo == "+")
            mCloseBox[index]->setVisible(true);
    }
    const bool placed = Tarrowin::ToolbarLayout::apply(*this, places);
    for (int i = 0; i < 3; ++i)
    {
        mCloseBox[i]->setVisible(Toolbar(i)->isWindow());
        if (Toolbar(i)->isWindow())
            Toolbar(i)->adjustSize();
    }
    return placed;
}

void TfrmLGPEditor::toolbarVisibilityChanged(int index, bool visible)
{
    // tbLGPFilesVisibleChanged and its two siblings: the menu item follows the
    // toolbar, also when its close box hid it.
    if (!visible && !Toolbar(index)->isHidden())
        return; // the whole window was hidden, not the toolbar
    ToolbarMenuItem(index)->setChecked(visible);
}

void TfrmLGPEditor::toolbarFloatingChanged(int index, bool floating)
{
    mCloseBox[index]->setVisible(floating);
    if (floating)
    {
        // Floating toolbars are horizontal, so the layout saved is the one
        // that comes back.
        Toolbar(index)->setOrientation(Qt::Horizontal);
        Toolbar(index)->adjustSize();
        keepToolbarAbove(index);
    }
}

bool TfrmLGPEditor::event(QEvent* event)
{
    // A window manager links a tool window to its main window when it maps
    // it, and only to a window it already manages: a toolbar floating before
    // this window first appeared is mapped again once this window is active.
    if (event->type() == QEvent::WindowActivate && !mToolbarsRemapped)
    {
        mToolbarsRemapped = true;
        for (int i = 0; i < 3; ++i)
        {
            QToolBar* bar = Toolbar(i);
            if (bar->isWindow() && bar->isVisible())
            {
                bar->hide();
                bar->show();
            }
        }
    }
    return QMainWindow::event(event);
}

void TfrmLGPEditor::keepToolbarAbove(int index)
{
    // A floating toolbar is a tool window of this window: the window manager
    // keeps it above the window. A toolbar made floating before this window
    // had a window of its own misses that link; it is made here.
    QToolBar* bar = Toolbar(index);
    if (!bar->isWindow() || !bar->windowHandle() || !windowHandle())
        return;
    if (bar->windowHandle()->transientParent() != windowHandle())
        bar->windowHandle()->setTransientParent(windowHandle());
    if (bar->isVisible())
        bar->raise();
}

void TfrmLGPEditor::ApplyTextOption(bool showText)
{
    for (QToolBar* bar : {tbLGPFiles, tbLGPAdvanced, tbLGPPatch})
    {
        for (QToolButton* button : bar->findChildren<QToolButton*>(QString(), Qt::FindDirectChildrenOnly))
        {
            if (button->objectName().endsWith("Close") || !button->objectName().startsWith("btn"))
                continue;
            button->setToolButtonStyle(showText ? Qt::ToolButtonTextUnderIcon : Qt::ToolButtonIconOnly);
            button->setFixedSize(showText ? TextButtonWidth : GlyphButtonWidth, ButtonHeight);
        }
        if (bar->isWindow())
            bar->adjustSize();
    }
}

void TfrmLGPEditor::ApplyFlatOption(bool flat)
{
    for (QToolBar* bar : {tbLGPFiles, tbLGPAdvanced, tbLGPPatch})
        for (QToolButton* button : bar->findChildren<QToolButton*>(QString(), Qt::FindDirectChildrenOnly))
            if (button->objectName().startsWith("btn"))
                button->setAutoRaise(flat);
}

// ---------------------------------------------------------------------------
// Progress

void TfrmLGPEditor::showProgressStep(std::int32_t position, std::int32_t maximum)
{
    if (position == 1)
    {
        Status->setMaximum(maximum);
        mCheckStep = std::max(1, maximum / 1000);
    }
    setProgressPosition(position, false);
}

void TfrmLGPEditor::startProgress()
{
    mPendingPosition = -1;
    mLastChecked = 0;
    mProgressClock.start();
}

void TfrmLGPEditor::setProgressPosition(int position, bool force)
{
    // A long command calls this for every entry; drawing the bar each time
    // would cost more than the work itself. The clock is looked at once per
    // thousandth of the range and the bar drawn at most every 40 ms of the
    // command; the last position is drawn with the rest of the window when
    // the command ends.
    mPendingPosition = position;
    if (!force)
    {
        if (position >= mLastChecked && position - mLastChecked < mCheckStep)
            return;
        mLastChecked = position;
        if (mProgressClock.isValid() && mProgressClock.elapsed() < 40)
            return;
    }
    mLastChecked = position;
    Status->setValue(position); // draws the bar at once when its look changes
    mProgressClock.start();
    mPendingPosition = -1;
}

void TfrmLGPEditor::flushProgress()
{
    if (mPendingPosition >= 0)
    {
        // Not drawn now: the window is drawn as a whole once the command ends.
        Status->setUpdatesEnabled(false);
        Status->setValue(mPendingPosition);
        Status->setUpdatesEnabled(true);
        Status->update();
    }
    mPendingPosition = -1;
    mLastChecked = 0;
    mProgressClock.invalidate();
}

// ---------------------------------------------------------------------------
// Commands

void TfrmLGPEditor::mnuOpenClick()
{
    opnLGP.title = "Open LGP archive";
    const std::optional<QString> chosen = Platform::Ui::prompter().openFile(this, opnLGP);
    if (chosen)
        OpenArchive(*chosen);
}

void TfrmLGPEditor::OpenFromArguments(const QStringList& arguments)
{
    if (arguments.size() > 1 && !arguments[1].isEmpty())
        Guarded([this, &arguments] { OpenArchive(arguments[1]); });
}

void TfrmLGPEditor::dragEnterEvent(QDragEnterEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() == 1 && urls[0].isLocalFile())
        event->acceptProposedAction();
}

void TfrmLGPEditor::dropEvent(QDropEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (urls.size() != 1 || !urls[0].isLocalFile())
        return;
    event->acceptProposedAction();
    const QString path = urls[0].toLocalFile();
    Guarded([this, &path] { OpenArchive(path); });
}

void TfrmLGPEditor::OpenArchive(const QString& path)
{
    std::unique_ptr<TLGPFile> archive;
    {
        ProgressScope progress(*this);
        archive = std::make_unique<TLGPFile>(TLGPFile::Held(Platform::Text::toPath(path), mnuReadLengths->isChecked()));
    }
    CurrentArchive = std::move(archive);

    const int count = std::max(0, CurrentArchive->FileCount());
    cmbList->clear();
    for (int block = 0; block <= count / BlockSize; ++block)
        cmbList->addItem(QString::number(block * BlockSize + 1) + "-"
                         + QString::number(std::min(block * BlockSize + BlockSize, count)));
    mShownBlock = -1;
    cmbList->setCurrentIndex(0);
    cmbListChange();

    lstInfo->clear();
    lstInfo->addItem("File: " + QFileInfo(path).fileName());
    lstInfo->addItem("# of files in archive: " + QString::number(CurrentArchive->FileCount()));
    lstInfo->addItem("Creator: " + Platform::Text::fromArchiveText(CurrentArchive->Creator()));
    lstInfo->addItem("Description: " + Platform::Text::fromArchiveText(CurrentArchive->Description()));
    rememberRecent(path);
}

void TfrmLGPEditor::cmbListChange()
{
    const int chosen = cmbList->currentIndex();
    if (chosen == mShownBlock)
        return;
    mShownBlock = chosen;
    FillFileList();
}

void TfrmLGPEditor::FillFileList()
{
    std::vector<LGPEntry> rows;
    if (CurrentArchive && mShownBlock >= 0)
    {
        const std::int64_t first = std::int64_t(mShownBlock) * BlockSize;
        const std::int64_t last = std::min<std::int64_t>(CurrentArchive->FileCount() - 1, first + BlockSize - 1);
        if (last >= first)
            rows.reserve(std::size_t(last - first + 1));
        for (std::int64_t i = first; i <= last; ++i)
            rows.push_back(CurrentArchive->GetEntry(std::int32_t(i)));
    }
    lstFiles->Rows().SetEntries(std::move(rows));
    ApplyFilter();
}

int TfrmLGPEditor::SelectedTableIndex() const
{
    const int row = lstFiles->SelectedRow();
    if (row < 0 || mShownBlock < 0)
        return -1;
    return row + BlockSize * mShownBlock;
}

void TfrmLGPEditor::mnuExtractClick()
{
    if (CurrentArchive && SelectedTableIndexes().size() > 1)
    {
        ExtractRows(SelectedTableIndexes());
        return;
    }
    const int index = SelectedTableIndex();
    if (index < 0 || !CurrentArchive)
    {
        Tarrowin::ShowMessage(this, "Select a file to extract first!");
        return;
    }
    const LGPEntry entry = CurrentArchive->GetEntry(index);
    savAny.fileName = Platform::Text::fromPath(entry.Name);
    const std::optional<QString> target = Platform::Ui::prompter().saveFile(this, savAny);
    if (!target)
        return;
    ExtractEntry(*CurrentArchive->Source(), entry, Platform::Text::toPath(*target), CurrentArchive->FileName());
    ShowDone("Extracted " + Platform::Text::fromArchiveText(entry.Name) + " to " + *target);
}

void TfrmLGPEditor::mnuReplaceFromPictureClick()
{
    if (CurrentArchive && RefuseSeveralRows("Replace from picture"))
        return;
    const int index = SelectedTableIndex();
    if (index < 0 || !CurrentArchive)
    {
        Tarrowin::ShowMessage(this, "Select a texture to replace first!");
        return;
    }
    ReplaceFromPicture(index);
}

void TfrmLGPEditor::ReplaceFromPicture(int tableIndex)
{
    if (!CurrentArchive || CurrentArchive->FromSource())
        return;
    const std::optional<QString> picture = Platform::Ui::prompter().openFile(this, Previewer->TexView().opnPicture);
    if (!picture)
        return;
    const TTextureReplacement replacement =
        ReplaceTextureFromPicture(CurrentArchive->FileName(), tableIndex, ReadPictureFile(*picture));
    if (!replacement.Changed)
    {
        Tarrowin::ShowMessage(this, "The picture shows the texture as it is; nothing was changed.");
        return;
    }
    ReloadArchive();
    Previewer->Preview(*CurrentArchive, tableIndex);
}

void TfrmLGPEditor::mnuReplaceFromFolderClick()
{
    if (!CurrentArchive || CurrentArchive->FromSource())
    {
        Tarrowin::ShowMessage(this, "Open an archive before choosing Replace from folder!");
        return;
    }
    const std::optional<QString> chosen =
        Platform::Ui::prompter().chooseFolder(this, "Replace entries with the files of a folder");
    if (!chosen || chosen->isEmpty())
        return;
    const auto count = [](std::size_t n, const char* one, const char* many) {
        return QString::number(qulonglong(n)) + " " + (n == 1 ? one : many);
    };
    const QString archiveName = QFileInfo(Platform::Text::fromPath(CurrentArchive->FileName())).fileName();
    QString unmatched;
    ReplacePlan plan;
    {
        // Held from the plan to the rewrite, so no other writer changes what was planned.
        TRawLGPFile archive(CurrentArchive->FileName());
        plan = PlanReplaceFromFolder(LookupViewOf(archive), Platform::Text::toPath(*chosen));
        constexpr std::size_t listed = 20;
        for (std::size_t i = 0; i < plan.Unmatched.size() && i < listed; ++i)
            unmatched += (i > 0 ? ", " : "") + Platform::Text::fromPath(plan.Unmatched[i]);
        if (plan.Unmatched.size() > listed)
            unmatched += " and " + QString::number(qulonglong(plan.Unmatched.size() - listed)) + " more";
        if (plan.Replacements.empty())
        {
            Tarrowin::ShowMessage(this, "No file in " + *chosen + " is named after an entry of " + archiveName
                                            + "; nothing was changed.");
            return;
        }
        QString question = "Replace " + count(plan.Replacements.size(), "entry", "entries") + " of " + archiveName
                           + " with the files of " + *chosen + "? The archive is rewritten and packed.";
        if (!plan.Unmatched.empty())
            question += " " + count(plan.Unmatched.size(), "file matches", "files match")
                        + " no entry and will be left out: " + unmatched + ".";
        if (!Platform::Ui::prompter().question(this, "Replace from folder", question))
            return;
        ProgressScope progress(*this);
        ReplaceEntries(archive, plan.Replacements);
    }
    ReloadArchive();
    ShowDone("Replaced " + count(plan.Replacements.size(), "entry", "entries") + " from " + *chosen);
    if (!plan.Unmatched.empty())
        Tarrowin::ShowMessage(this, count(plan.Unmatched.size(), "file", "files") + " of " + *chosen
                                        + " matched no entry and " + (plan.Unmatched.size() == 1 ? "was" : "were")
                                        + " left out: " + unmatched + ".");
}

void TfrmLGPEditor::ReloadArchive()
{
    if (!CurrentArchive)
        return;
    const int block = cmbList->currentIndex();
    OpenArchive(Platform::Text::fromPath(CurrentArchive->FileName()));
    if (block > 0 && block < cmbList->count())
    {
        cmbList->setCurrentIndex(block); // activated is not emitted for a change made here
        cmbListChange();
    }
}

void TfrmLGPEditor::mnuExtractAllClick()
{
    if (!CurrentArchive)
    {
        Tarrowin::ShowMessage(this, "Open an archive before choosing Extract All!");
        return;
    }
    if (!selFolder->Execute())
        return;
    // Without a chosen folder there is nowhere safe to write to.
    if (selFolder->Path.isEmpty())
        return;

    // Every entry's place is decided, and unsafe or shared names refused,
    // before anything is written.
    const std::vector<ExtractTarget> plan = PlanExtractAll(*CurrentArchive, {});
    struct Flush
    {
        TfrmLGPEditor& window;
        ~Flush() { window.flushProgress(); }
    } flush{*this};
    Status->setMaximum(std::max(0, CurrentArchive->FileCount()));
    mCheckStep = std::max(1, Status->maximum() / 1000);
    startProgress();
    ExtractAllEntries(*CurrentArchive, Platform::Text::toPath(selFolder->Path), plan,
                      [this](std::int32_t done, std::int32_t) { setProgressPosition(done, false); });
    ShowDone("Extracted " + QString::number(plan.size()) + (plan.size() == 1 ? " file to " : " files to ")
             + selFolder->Path);
}

void TfrmLGPEditor::mnuAnalyseClick()
{
    if (!CurrentArchive)
    {
        Tarrowin::ShowMessage(this, "Open an archive before choosing Analyse!");
        return;
    }
    std::unique_ptr<TLGPFile> fresh;
    {
        ProgressScope progress(*this);
        fresh = std::make_unique<TLGPFile>(TLGPFile::Held(CurrentArchive->FileName(), true));
    }
    CurrentArchive = std::move(fresh);
    // The report names the archive analysed (not whatever file a dialog
    // chose last).
    const std::string label = std::filesystem::path(CurrentArchive->FileName()).filename().string();
    const std::vector<std::string> lines = AnalyseArchive(*CurrentArchive, label);
    lstInfo->clear();
    // The first line names the file; the others show the archive's text.
    for (std::size_t i = 0; i < lines.size(); ++i)
        lstInfo->addItem(i == 0 ? Platform::Text::fromPath(lines[i]) : Platform::Text::fromArchiveText(lines[i]));
}

void TfrmLGPEditor::mnuRepairarchiveClick()
{
    opnLGP.title = "Repair LGP archive";
    const std::optional<QString> chosen = Platform::Ui::prompter().openFile(this, opnLGP);
    if (!chosen)
        return;
    ProgressScope progress(*this);
    RepairArchive(Platform::Text::toPath(*chosen));
}

void TfrmLGPEditor::mnuPackArchiveClick()
{
    opnLGP.title = "Pack LGP archive";
    const std::optional<QString> chosen = Platform::Ui::prompter().openFile(this, opnLGP);
    if (!chosen)
        return;
    const std::string path = Platform::Text::toPath(*chosen);
    try
    {
        ProgressScope progress(*this);
        PackArchive(path);
    }
    catch (...)
    {
        // A pack that stopped half way has moved data of the open archive:
        // its index no longer describes the file.
        if (CurrentArchive && samePath(CurrentArchive->FileName(), path))
            CloseArchive();
        throw;
    }
    CloseArchive();
}

void TfrmLGPEditor::CloseArchive()
{
    CurrentArchive.reset();
    lstInfo->clear();
    lstInfo->addItem("No file open.");
    lstFiles->Rows().SetEntries({});
    // The closed archive's blocks have nothing left to show.
    cmbList->clear();
    mShownBlock = -1;
}

void TfrmLGPEditor::mnuApplyPatchClick()
{
    opnLGP.title = "Select ORIGINAL file:";
    const std::optional<QString> original = Platform::Ui::prompter().openFile(this, opnLGP);
    if (!original)
        return;
    TRawLGPFile archive(Platform::Text::toPath(*original));
    opnLGP.title = "Select PATCH file:";
    const std::optional<QString> patchFile = Platform::Ui::prompter().openFile(this, opnLGP);
    if (!patchFile)
        return;
    const TLGPFile patch(Platform::Text::toPath(*patchFile), true);
    ApplyPatch(archive, patch, true);
}

void TfrmLGPEditor::mnuCreateClick()
{
    Tarrowin::ShowMessage(this, CreateWarning);
    if (!selFolder->Execute())
        return;
    savLGP.title.clear();
    const std::optional<QString> output = Platform::Ui::prompter().saveFile(this, savLGP);
    if (!output)
        return;
    // No folder with a path has been chosen: nothing to build from.
    if (selFolder->Path.isEmpty())
        return;
    std::vector<std::string> notes;
    {
        ProgressScope progress(*this);
        notes = CreateArchive({.Folder = Platform::Text::toPath(selFolder->Path),
                               .Output = Platform::Text::toPath(*output),
                               .Validation = ValidationSource::TemplateOrLookup});
    }
    // What was left out, or a template that didn't fit, is said, never passed over.
    if (!notes.empty())
    {
        std::string text;
        for (const auto& note : notes)
            text += (text.empty() ? "" : "\n\n") + note;
        Tarrowin::ShowMessage(this, Platform::Text::fromUtf8(text));
    }
    // The new archive is one click away: first among the recent archives.
    rememberRecent(*output);
    ShowDone("Created " + QFileInfo(*output).fileName() + " (File > Recent archives opens it)");
}

void TfrmLGPEditor::mnuExitClick() { close(); }

void TfrmLGPEditor::mnuReadLengthsClick()
{
    // The check mark toggles itself; the next Open reads it.
}

void TfrmLGPEditor::mnuTextClick() { ApplyTextOption(mnuText->isChecked()); }

void TfrmLGPEditor::mnuFlatbuttonsClick() { ApplyFlatOption(mnuFlatbuttons->isChecked()); }

void TfrmLGPEditor::mnuFiletoolbarClick() { tbLGPFiles->setVisible(mnuFiletoolbar->isChecked()); }

void TfrmLGPEditor::mnuAdvancedtoolbarClick() { tbLGPAdvanced->setVisible(mnuAdvancedtoolbar->isChecked()); }

void TfrmLGPEditor::mnuPatchtoolbarClick() { tbLGPPatch->setVisible(mnuPatchtoolbar->isChecked()); }

void TfrmLGPEditor::mnuAboutClick() { frmAboutLGP->exec(); }

void TfrmLGPEditor::lstFilesDblClick()
{
    if (!CurrentArchive || RefuseSeveralRows("Preview"))
        return;
    const int index = SelectedTableIndex();
    if (index < 0)
        return;
    Previewer->Preview(*CurrentArchive, index);
}
