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
    // with entryName.
    void ShowTexture(const TPSXTexImage& texture, const QString& entryName);
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
    void mnuSaveAsBmpClick();

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
    Platform::Ui::FileDialogOptions savText;
    Platform::Ui::FileDialogOptions savBMP;

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
    std::vector<std::string> mMemoLines;
};
