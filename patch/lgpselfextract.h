#pragma once
// The patch converter window "Patch Converter": wraps a patch with the stub
// image into a self-extracting patch program, or takes the patch back out of
// one. The page shown decides which; the source and target boxes are shared
// by both pages.

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QWidget;

class TfrmSelfExtract : public QDialog
{
    Q_OBJECT

public:
    explicit TfrmSelfExtract(QWidget* parent = nullptr);

    QTabWidget* Pages = nullptr;
    QWidget* tabEXELGP = nullptr; // "LGP to Self Extractor"
    QWidget* tabLGPEXE = nullptr; // "Self Extractor to LGP"
    QLineEdit* edtSrc = nullptr;
    QPushButton* btnSelSrc = nullptr;
    QLineEdit* edtTgt = nullptr;
    QPushButton* btnSelTgt = nullptr;
    QLineEdit* edtPatch = nullptr;
    QCheckBox* chkDestroy = nullptr;
    QPushButton* BitBtn1 = nullptr; // "&Convert"
    QPushButton* BitBtn2 = nullptr; // "&Close"

    // The stub image beside the running program for a self-extracting patch
    // named output: "STUBWIN.LGP" (the Windows program) for a name ending in
    // ".exe", "STUB.LGP" (the Linux program) otherwise.
    static QString StubPath(const QString& output);

public slots:
    void btnSelSrcClick();
    void btnSelTgtClick();
    // Runs the conversion of the page shown. Failures go to an error box.
    void BitBtn1Click();

private:
    void PagesChange(int index);
    bool ConverterPageShown() const;
};
