#pragma once
// The shared preview window ("Preview"): one of an image, a skeleton tree or
// a text fills its client area, with "&Save As" on each.

#include "platform/ui.h"
#include "preview/hrcparse.h"
#include "preview/psxtexdecode.h"

#include <QWidget>

#include <string>
#include <vector>

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QTreeWidget;

class TfrmTexView : public QWidget
{
    Q_OBJECT

public:
    static constexpr int DesignedWidth = 290;
    static constexpr int DesignedHeight = 218;
    // Text and trees get the designed size in a window smaller than this.
    static constexpr int SmallestTextSide = 32;

    explicit TfrmTexView(QWidget* parent = nullptr);

    // Shows the window, or brings it to the front when it is open. A window
    // shown anew opens beside its parent window (right of it, else left of
    // it, on the parent's screen).
    void ShowWindow();
    // Hides every view of the client area.
    void HideViews();

    // Shows the texture unscaled, the client area sized to it; savBMP is preset
    // with entryName's stem (a picture never gets the entry's extension).
    void ShowTexture(const TPSXTexImage& texture, const QString& entryName);
    // Where the texture on show came from: its TEX bytes (their facts become
    // the image's tooltip) and, for "Replace from picture...", the archive
    // file and table entry (an empty path: no archive file to write).
    void SetTextureSource(const std::string& archivePath, std::int32_t tableIndex, std::vector<std::uint8_t> tex);
    // The tooltip: size, bit depth, palettes ("" before a texture).
    QString TextureFacts() const;
    // Puts the lines into Memo (kept for "Save As") and presets savText.
    void SetText(const std::vector<std::string>& lines, const QString& entryName);
    // Shows Memo.
    void ShowText();
    // Copies the tree into Tree (cleared first), expanded; shows nothing.
    // Nodes deeper than MaxShownTreeDepth levels below the root are left out,
    // with a note line under the deepest shown node saying how many.
    void SetTree(const THRCTree& tree);
    static constexpr int MaxShownTreeDepth = 200;
    // Shows Tree.
    void ShowTree();

    void mnuSaveAsTextClick();
    // Writes PNG or BMP by the file name's extension (the chosen filter's
    // when none is typed); any other extension is refused.
    void mnuSaveAsBmpClick();
    // Asks for a picture and puts it into the texture's entry (see
    // ReplaceTextureFromPicture), then shows the new texture.
    void mnuReplaceFromPictureClick();
    // The same with the picture given; false when nothing changed.
    bool ReplaceFromPicture(const QString& picturePath);

signals:
    // The texture's entry in archivePath was rewritten: the archive's index changed.
    void textureReplaced(const QString& archivePath);

public:
    // The texture on show in Image (as decoded) and Memo's lines.
    const TPSXTexImage& Texture() const { return mTexture; }
    const std::vector<std::string>& MemoLines() const { return mMemoLines; }

    QLabel* Image;
    QTreeWidget* Tree;
    QPlainTextEdit* Memo;
    QMenu* popBmp;
    QMenu* popText;
    QAction* mnuSaveAsBmp;
    QAction* mnuSaveAsText;
    QAction* mnuReplaceFromPicture;
    Platform::Ui::FileDialogOptions savText;
    Platform::Ui::FileDialogOptions savBMP;
    Platform::Ui::FileDialogOptions opnPicture;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void FitForText();
    void placeBesideParent();

    // The texture, not the user, gave the window its size; the size a text
    // or tree preview had last (at first the designed one).
    bool mSizedByTexture = false;
    QSize mTextSize{DesignedWidth, DesignedHeight};
    TPSXTexImage mTexture;
    std::string mTextureArchive;
    std::int32_t mTextureIndex = -1;
    std::vector<std::uint8_t> mTextureBytes;
    std::vector<std::string> mMemoLines;
};
