#pragma once
// The advanced editor "Advanced LGP Editor": edits the archive in its file
// through the in-place editor. It shows the table of contents ("Listed files")
// and the data entries found in the file ("Available data"), each in blocks of
// 1,000, and links a table entry to a data entry, appends a file as a new data
// entry, or cuts the archive off at a data entry. Every edit is immediate.
//
// Use: OpenArchive(path), then show the window modally. Closing it (Quit, the
// close box, reject()) releases the archive.

#include <QDialog>

#include <memory>

class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTreeWidget;
class TRawLGPFile;

class TfrmAdvanced : public QDialog
{
    Q_OBJECT

public:
    explicit TfrmAdvanced(QWidget* parent = nullptr);
    ~TfrmAdvanced() override;

    QListWidget* lstInfo = nullptr;
    QPushButton* btnQuit = nullptr;
    QPushButton* btnAppend = nullptr;
    QPushButton* btnTruncate = nullptr;
    QLabel* lblListed = nullptr;
    QLabel* lblAvailable = nullptr;
    QTreeWidget* lstTable = nullptr;
    QTreeWidget* lstHeader = nullptr;
    QLabel* lblLink = nullptr;
    QPushButton* btnLink = nullptr;
    QComboBox* cmbTable = nullptr;
    QComboBox* cmbHeader = nullptr;
    QLabel* lblBlocks = nullptr;

    // Prepares the editor on path. False when the user keeps a read-only file
    // read-only (nothing changed). Throws ELGPError "Couldn't retrieve file
    // properties!" when the file can't be examined, and the in-place editor's
    // failures ("Cannot open file %s", ...) when it can't be opened.
    bool OpenArchive(const QString& path);

    // The archive being edited, or none.
    TRawLGPFile* RawArchive() const { return mRawArchive.get(); }

    void FillBlockLists();
    void FillTableList();
    void FillDataList();

    // The shown block of a chooser (-1 = none).
    static int ShownBlock(const QComboBox* chooser);

public slots:
    void btnQuitClick();
    void btnLinkClick();
    void btnAppendClick();
    void btnTruncateClick();
    void lstTableClick();
    void cmbTableChange();
    void cmbHeaderChange();

protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;

private:
    void FormShow();
    void FormClose();
    // The last two info lines, with the current counts.
    void RenewCountLines();
    // Brings the data chooser's entries in line with DataCount, keeping its
    // selection and shown block.
    void RefreshDataChooser();

    std::unique_ptr<TRawLGPFile> mRawArchive;
};
