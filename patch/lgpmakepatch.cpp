#include "lgpmakepatch.h"

#include "core/lgpstruct.h"
#include "patch/lgppatch.h"
#include "platform/qtext.h"
#include "platform/ui.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

#include <exception>

namespace
{
    const QString LGPOpenFilter = QStringLiteral("LGP Files|*.*|All files|*.*");
    const QString PatchSaveFilter = QStringLiteral("LGP Archives|*.LGP|All files|*.*");

    QLineEdit* readOnlyEdit(QWidget* parent, const char* name, int x, int y)
    {
        auto* edit = new QLineEdit(parent);
        edit->setObjectName(name);
        edit->setReadOnly(true);
        edit->setGeometry(x, y, 336, 21);
        return edit;
    }

    QPushButton* browseButton(QWidget* parent, const char* name, int x, int y)
    {
        auto* button = new QPushButton(QStringLiteral("..."), parent);
        button->setObjectName(name);
        button->setGeometry(x, y, 25, 21);
        return button;
    }
}

TfrmLGPPatch::TfrmLGPPatch(QWidget* parent)
    : QDialog(parent)
{
    setObjectName("frmLGPPatch");
    setWindowTitle(QStringLiteral("LGP Patch Creator"));
    setFont(QFont(QStringLiteral("Verdana"), 8));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(400, 284);
    Platform::Ui::centreOnScreenWhenShown(*this);

    grpSource = new QGroupBox(QStringLiteral("Source (Original) LGP File:"), this);
    grpSource->setGeometry(8, 8, 384, 52);
    edtSrc = readOnlyEdit(grpSource, "edtSrc", 8, 22);
    btnSelSrc = browseButton(grpSource, "btnSelSrc", 350, 22);

    grpModified = new QGroupBox(QStringLiteral("Modified file source:"), this);
    grpModified->setGeometry(8, 66, 384, 114);
    radLGP = new QRadioButton(QStringLiteral("Another LGP file"), grpModified);
    radLGP->setObjectName("radLGP");
    radLGP->setGeometry(8, 18, 250, 18);
    radLGP->setChecked(true);
    edtPatLGP = readOnlyEdit(grpModified, "edtPatLGP", 8, 38);
    btnSelPatLGP = browseButton(grpModified, "btnSelPatLGP", 350, 38);
    radFolder = new QRadioButton(QStringLiteral("A folder"), grpModified);
    radFolder->setObjectName("radFolder");
    radFolder->setGeometry(8, 63, 250, 18);
    edtPatFolder = readOnlyEdit(grpModified, "edtPatFolder", 8, 83);
    btnSelPatFolder = browseButton(grpModified, "btnSelPatFolder", 350, 83);

    chkSkip = new QCheckBox(QStringLiteral("&Skip files if they have the same length"), this);
    chkSkip->setObjectName("chkSkip");
    chkSkip->setGeometry(8, 186, 384, 18);

    btnBegin = new QPushButton(QStringLiteral("&Begin"), this);
    btnBegin->setObjectName("btnBegin");
    btnBegin->setGeometry(8, 212, 75, 25);
    btnClose = new QPushButton(QStringLiteral("&Close"), this);
    btnClose->setObjectName("btnClose");
    btnClose->setGeometry(317, 212, 75, 25);

    lblStatus = new QLabel(this);
    lblStatus->setObjectName("lblStatus");
    lblStatus->setGeometry(8, 244, 384, 17);

    Status = new QProgressBar(this);
    Status->setObjectName("Status");
    Status->setRange(0, 100);
    Status->setValue(0);
    Status->setTextVisible(false);
    Status->setGeometry(0, 271, 400, 13);

    connect(btnSelSrc, &QPushButton::clicked, this, &TfrmLGPPatch::btnSelSrcClick);
    connect(btnSelPatLGP, &QPushButton::clicked, this, &TfrmLGPPatch::btnSelPatLGPClick);
    connect(btnSelPatFolder, &QPushButton::clicked, this, &TfrmLGPPatch::btnSelPatFolderClick);
    connect(btnBegin, &QPushButton::clicked, this, &TfrmLGPPatch::btnBeginClick);
    connect(btnClose, &QPushButton::clicked, this, &QDialog::reject);
}

void TfrmLGPPatch::SetStatusText(const QString& text)
{
    lblStatus->setText(text);
    // The whole run stays on the user-interface thread, so the label must be
    // drawn now rather than when the event loop next runs.
    lblStatus->repaint();
}

void TfrmLGPPatch::btnSelSrcClick()
{
    Platform::Ui::FileDialogOptions options;
    options.filter = LGPOpenFilter;
    options.mustExist = true;
    if (const auto path = Platform::Ui::prompter().openFile(this, options))
        edtSrc->setText(*path);
}

void TfrmLGPPatch::btnSelPatLGPClick()
{
    Platform::Ui::FileDialogOptions options;
    options.filter = LGPOpenFilter;
    options.mustExist = true;
    if (const auto path = Platform::Ui::prompter().openFile(this, options))
    {
        edtPatLGP->setText(*path);
        radLGP->setChecked(true);
    }
}

void TfrmLGPPatch::btnSelPatFolderClick()
{
    auto folder = Platform::Ui::prompter().chooseFolder(this, QString());
    if (!folder || folder->isEmpty())
        return;
    // File names are appended to the folder's path as they are.
    if (!folder->endsWith('/'))
        folder->append('/');
    edtPatFolder->setText(*folder);
    radFolder->setChecked(true);
}

void TfrmLGPPatch::btnBeginClick()
{
    PatchCreationOptions options;
    options.ModifiedIsFolder = radFolder->isChecked();
    // What is missing is said before anything is asked. Without a chosen
    // folder the file names alone would be looked up in the current directory,
    // comparing against whatever files happen to be there.
    QString missing;
    if (edtSrc->text().isEmpty())
        missing = QStringLiteral("Choose the source (original) LGP file first.");
    else if (options.ModifiedIsFolder && edtPatFolder->text().isEmpty())
        missing = QStringLiteral("Choose the folder that holds the modified files first.");
    else if (!options.ModifiedIsFolder && edtPatLGP->text().isEmpty())
        missing = QStringLiteral("Choose the modified LGP file first.");
    if (!missing.isEmpty())
    {
        Platform::Ui::showError(this, missing);
        return;
    }

    Platform::Ui::FileDialogOptions dialog;
    dialog.filter = PatchSaveFilter;
    dialog.mustExist = true;
    const auto output = Platform::Ui::prompter().saveFile(this, dialog);
    if (!output)
        return;

    options.Source = Platform::Text::toPath(edtSrc->text());
    options.ModifiedArchive = Platform::Text::toPath(edtPatLGP->text());
    options.ModifiedFolder = Platform::Text::toPath(edtPatFolder->text());
    options.SkipSameLength = chkSkip->isChecked();
    options.Output = Platform::Text::toPath(*output);

    PatchCreationCallbacks callbacks;
    callbacks.Status = [this](const std::string& text) { SetStatusText(Platform::Text::fromUtf8(text)); };
    // All of the run's progress comes through these; ProgressHook stays as
    // it was.
    callbacks.SetBarMaximum = [this](std::int32_t maximum) { Status->setMaximum(maximum); };
    callbacks.SetBarPosition = [this](std::int32_t position) { Status->setValue(position); };
    // A file the patch can't carry whole is left out, never cut; the user
    // decides whether a patch without it is worth making.
    callbacks.LeaveOut = [this](const std::vector<UnpatchableFile>& files) {
        const std::string text = "A patch can't add files or make a file longer, so it can't carry these files whole:\n"
                                 + DescribeUnpatchableFiles(files, 20) + "\n\nMake the patch without them?";
        return Platform::Ui::prompter().question(this, QStringLiteral("Warning!"), Platform::Text::fromUtf8(text));
    };

    try
    {
        CreatePatch(options, callbacks);
    }
    catch (const std::exception& e)
    {
        Platform::Ui::showError(this, Platform::Text::fromUtf8(lgp::UserText(e)));
    }
}
