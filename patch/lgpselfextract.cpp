#include "lgpselfextract.h"

#include "patch/lgppatch.h"
#include "platform/paths.h"
#include "platform/qtext.h"
#include "platform/ui.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

#include <exception>
#include <filesystem>
#include <system_error>

namespace
{
    const QString LGPFilter = QStringLiteral("LGP Archives|*.LGP|All files|*.*");
    const QString EXEFilter = QStringLiteral("Executables|*.EXE|All files|*.*");

    QLabel* label(QWidget* parent, const QString& text, int x, int y)
    {
        auto* result = new QLabel(text, parent);
        result->setGeometry(x, y, 300, 16);
        return result;
    }
}

TfrmSelfExtract::TfrmSelfExtract(QWidget* parent)
    : QDialog(parent)
{
    setObjectName("frmSelfExtract");
    setWindowTitle(QStringLiteral("Patch Converter"));
    setFont(QFont(QStringLiteral("Verdana"), 8));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(400, 240);
    Platform::Ui::centreOnScreenWhenShown(*this);

    Pages = new QTabWidget(this);
    Pages->setObjectName("Pages");
    Pages->setGeometry(8, 8, 384, 190);

    tabEXELGP = new QWidget;
    tabEXELGP->setObjectName("tabEXELGP");
    label(tabEXELGP, QStringLiteral("Source LGP Patch:"), 8, 8);
    label(tabEXELGP, QStringLiteral("Target EXE file:"), 8, 52);
    label(tabEXELGP, QStringLiteral("Filename to patch:"), 8, 96);
    edtPatch = new QLineEdit(tabEXELGP);
    edtPatch->setObjectName("edtPatch");
    edtPatch->setGeometry(8, 112, 330, 21);
    chkDestroy = new QCheckBox(QStringLiteral("&Allow old data to be overwritten"), tabEXELGP);
    chkDestroy->setObjectName("chkDestroy");
    chkDestroy->setGeometry(8, 140, 330, 18);
    Pages->addTab(tabEXELGP, QStringLiteral("LGP to Self Extractor"));

    tabLGPEXE = new QWidget;
    tabLGPEXE->setObjectName("tabLGPEXE");
    label(tabLGPEXE, QStringLiteral("Source EXE:"), 8, 8);
    label(tabLGPEXE, QStringLiteral("Target LGP file:"), 8, 52);
    Pages->addTab(tabLGPEXE, QStringLiteral("Self Extractor to LGP"));

    // One pair of boxes serves both pages; they move to the page shown and
    // keep their text.
    edtSrc = new QLineEdit(tabEXELGP);
    edtSrc->setObjectName("edtSrc");
    btnSelSrc = new QPushButton(QStringLiteral("..."), tabEXELGP);
    btnSelSrc->setObjectName("btnSelSrc");
    edtTgt = new QLineEdit(tabEXELGP);
    edtTgt->setObjectName("edtTgt");
    btnSelTgt = new QPushButton(QStringLiteral("..."), tabEXELGP);
    btnSelTgt->setObjectName("btnSelTgt");

    BitBtn1 = new QPushButton(QStringLiteral("&Convert"), this);
    BitBtn1->setObjectName("BitBtn1");
    BitBtn1->setGeometry(232, 206, 75, 25);
    BitBtn2 = new QPushButton(QStringLiteral("&Close"), this);
    BitBtn2->setObjectName("BitBtn2");
    BitBtn2->setGeometry(317, 206, 75, 25);

    Pages->setCurrentWidget(tabEXELGP);
    PagesChange(Pages->currentIndex());

    connect(Pages, &QTabWidget::currentChanged, this, &TfrmSelfExtract::PagesChange);
    connect(btnSelSrc, &QPushButton::clicked, this, &TfrmSelfExtract::btnSelSrcClick);
    connect(btnSelTgt, &QPushButton::clicked, this, &TfrmSelfExtract::btnSelTgtClick);
    connect(BitBtn1, &QPushButton::clicked, this, &TfrmSelfExtract::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
}

QString TfrmSelfExtract::StubPath(const QString& output)
{
    return Platform::Text::fromPath(Platform::Paths::programDir() + StubImageName(Platform::Text::toPath(output)));
}

void TfrmSelfExtract::PagesChange(int index)
{
    QWidget* page = Pages->widget(index);
    if (!page)
        return;
    for (QWidget* w : {static_cast<QWidget*>(edtSrc), static_cast<QWidget*>(btnSelSrc), static_cast<QWidget*>(edtTgt),
                       static_cast<QWidget*>(btnSelTgt)})
        w->setParent(page);
    edtSrc->setGeometry(8, 24, 330, 21);
    btnSelSrc->setGeometry(342, 24, 25, 21);
    edtTgt->setGeometry(8, 68, 330, 21);
    btnSelTgt->setGeometry(342, 68, 25, 21);
    for (QWidget* w : {static_cast<QWidget*>(edtSrc), static_cast<QWidget*>(btnSelSrc), static_cast<QWidget*>(edtTgt),
                       static_cast<QWidget*>(btnSelTgt)})
        w->show();
}

bool TfrmSelfExtract::ConverterPageShown() const { return Pages->currentWidget() == tabEXELGP; }

void TfrmSelfExtract::btnSelSrcClick()
{
    Platform::Ui::FileDialogOptions options;
    if (ConverterPageShown())
        options.filter = LGPFilter;
    else
    {
        options.filter = EXEFilter;
        options.defaultExt = QStringLiteral("EXE");
    }
    options.mustExist = true;
    if (const auto path = Platform::Ui::prompter().openFile(this, options))
        edtSrc->setText(*path);
}

void TfrmSelfExtract::btnSelTgtClick()
{
    Platform::Ui::FileDialogOptions options;
    if (ConverterPageShown())
    {
        options.filter = EXEFilter;
        options.defaultExt = QStringLiteral("EXE");
    }
    else
    {
        options.filter = LGPFilter;
        options.defaultExt = QStringLiteral("LGP");
    }
    options.mustExist = true;
    if (const auto path = Platform::Ui::prompter().saveFile(this, options))
        edtTgt->setText(*path);
}

void TfrmSelfExtract::BitBtn1Click()
{
    const std::string source = Platform::Text::toPath(edtSrc->text());
    const std::string target = Platform::Text::toPath(edtTgt->text());
    try
    {
        if (ConverterPageShown())
        {
            MakeSelfExtractor(Platform::Text::toPath(StubPath(edtTgt->text())), source,
                              Platform::Text::toPath(edtPatch->text()), chkDestroy->isChecked(), target);
        }
        else
            ExtractPatch(source, target);
    }
    catch (const std::exception& e)
    {
        Platform::Ui::showError(this, Platform::Text::fromUtf8(lgp::UserText(e)));
    }
}
