#pragma once
// The About box: a fixed black window with a drawn picture on the left and
// the program's lines on the right, two of them links.

#include <QDialog>
#include <QUrl>

class QLabel;

namespace Tarrowin
{
    // The folder of the project's documents for a program in programFolder:
    // the installed documentation folder ("share/doc/tarrowin" beside the
    // program's "bin") when it holds README.md, else the nearest folder at or
    // above programFolder that holds README.md (a build), else programFolder.
    QString DocumentationFolder(const QString& programFolder);
}

class TfrmAboutLGP : public QDialog
{
    Q_OBJECT

public:
    explicit TfrmAboutLGP(QWidget* parent = nullptr);

    QLabel* Image1 = nullptr;
    QLabel* Label11 = nullptr; // "Quenwick"
    QLabel* Label12 = nullptr; // "Quenwick's website"

    // Where the two links lead: the project's own documents
    // (DocumentationFolder: its README, then the docs folder), as file://
    // addresses.
    QUrl AuthorUrl() const;
    QUrl WebsiteUrl() const;

    void Label11Click();
    void Label12Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
