#pragma once
// The patch creator window "LGP Patch Creator": a source archive, a modified
// archive or folder, and "&Begin", which writes a patch of every changed entry
// through CreatePatch.

#include <QDialog>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

class TfrmLGPPatch : public QDialog
{
    Q_OBJECT

public:
    explicit TfrmLGPPatch(QWidget* parent = nullptr);

    QGroupBox* grpSource = nullptr;
    QLineEdit* edtSrc = nullptr;
    QPushButton* btnSelSrc = nullptr;
    QGroupBox* grpModified = nullptr;
    QRadioButton* radLGP = nullptr;
    QLineEdit* edtPatLGP = nullptr;
    QPushButton* btnSelPatLGP = nullptr;
    QRadioButton* radFolder = nullptr;
    QLineEdit* edtPatFolder = nullptr;
    QPushButton* btnSelPatFolder = nullptr;
    QCheckBox* chkSkip = nullptr;
    QPushButton* btnBegin = nullptr;
    QPushButton* btnClose = nullptr;
    QLabel* lblStatus = nullptr;
    QProgressBar* Status = nullptr;

public slots:
    void btnSelSrcClick();
    void btnSelPatLGPClick();
    void btnSelPatFolderClick();
    // Asks for the patch file and creates it. Failures are shown in an error
    // box; the status label keeps the text of the step that failed.
    void btnBeginClick();

private:
    void SetStatusText(const QString& text);
};
