#include "aboutlgp.h"

#include "glyphs.h"
#include "platform/paths.h"
#include "platform/qtext.h"
#include "platform/ui.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QVBoxLayout>

namespace
{
    QString projectFolder() { return Tarrowin::DocumentationFolder(QCoreApplication::applicationDirPath()); }

    QLabel* textLabel(const QString& text, QWidget* parent)
    {
        auto* label = new QLabel(text, parent);
        label->setWordWrap(true);
        return label;
    }
}

TfrmAboutLGP::TfrmAboutLGP(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName("frmAboutLGP");
    setWindowTitle("About Tarrowin");
    setFixedSize(417, 250);
    Platform::Ui::centreOnScreenWhenShown(*this);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::black);
    pal.setColor(QPalette::WindowText, Qt::white);
    setPalette(pal);
    setFont(QFont("Verdana", 10));

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 8, 0);
    row->setSpacing(10);

    Image1 = new QLabel(this);
    Image1->setObjectName("Image1");
    Image1->setFixedSize(250, 250);
    Image1->setPixmap(Tarrowin::Glyphs::aboutPicture(250));
    row->addWidget(Image1);

    auto* column = new QVBoxLayout;
    column->setSpacing(6);
    column->addStretch(1);
    column->addWidget(textLabel("Tarrowin v1.27", this));
    column->addWidget(textLabel("LGP archive tool for the PC edition of Final Fantasy VII.", this));
    column->addSpacing(8);
    column->addWidget(textLabel("Written by", this));

    auto link = [this](const QString& text, const char* name) {
        auto* label = new QLabel(text, this);
        label->setObjectName(name);
        QPalette linkPalette = label->palette();
        linkPalette.setColor(QPalette::WindowText, QColor(0, 255, 255));
        label->setPalette(linkPalette);
        QFont f = label->font();
        f.setUnderline(true);
        label->setFont(f);
        label->setCursor(Qt::PointingHandCursor);
        label->installEventFilter(this);
        return label;
    };
    Label11 = link("Quenwick", "Label11");
    Label12 = link("Quenwick's website", "Label12");
    Label11->setToolTip(AuthorUrl().toString());
    Label12->setToolTip(WebsiteUrl().toString());
    column->addWidget(Label11);
    column->addWidget(Label12);
    column->addStretch(1);
    row->addLayout(column, 1);
}

QString Tarrowin::DocumentationFolder(const QString& programFolder)
{
    const QDir installed(programFolder + "/../share/doc/tarrowin");
    if (QFileInfo::exists(installed.filePath("README.md")))
        return QDir::cleanPath(installed.absolutePath());
    QDir dir(programFolder);
    for (int level = 0; level < 4; ++level)
    {
        if (QFileInfo::exists(dir.filePath("README.md")))
            return dir.absolutePath();
        if (!dir.cdUp())
            break;
    }
    return programFolder;
}

QUrl TfrmAboutLGP::AuthorUrl() const { return QUrl::fromLocalFile(QDir(projectFolder()).filePath("README.md")); }

QUrl TfrmAboutLGP::WebsiteUrl() const
{
    const QDir project(projectFolder());
    if (QFileInfo(project.filePath("docs")).isDir())
        return QUrl::fromLocalFile(project.filePath("docs") + "/");
    return AuthorUrl();
}

void TfrmAboutLGP::Label11Click() { QDesktopServices::openUrl(AuthorUrl()); }

void TfrmAboutLGP::Label12Click() { QDesktopServices::openUrl(WebsiteUrl()); }

bool TfrmAboutLGP::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonRelease && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
    {
        if (watched == Label11)
        {
            Label11Click();
            return true;
        }
        if (watched == Label12)
        {
            Label12Click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}
