#include "lgppreview.h"

#include "PSXTex.h"
#include "core/streams.h"
#include "errors/errors.h"
#include "platform/qtext.h"
#include "preview/texpng.h"

#include <QAction>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QResizeEvent>
#include <QScreen>
#include <QTreeWidget>

#include <algorithm>

TfrmTexView::TfrmTexView(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setObjectName("frmTexView");
    setWindowTitle("Preview");
    resize(DesignedWidth, DesignedHeight);

    Image = new QLabel(this);
    Image->setObjectName("Image");
    Image->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Tree = new QTreeWidget(this);
    Tree->setObjectName("Tree");
    Tree->setHeaderHidden(true);
    Tree->setIndentation(19);
    Memo = new QPlainTextEdit(this);
    Memo->setObjectName("Memo");
    Memo->setReadOnly(true);
    Memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Game texts line up in columns: a fixed-width font keeps them.
    Memo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    popBmp = new QMenu(this);
    popBmp->setObjectName("popBmp");
    mnuSaveAsBmp = popBmp->addAction("&Save As");
    mnuSaveAsBmp->setObjectName("mnuSaveAsBmp");
    mnuReplaceFromPicture = popBmp->addAction("&Replace from picture...");
    mnuReplaceFromPicture->setObjectName("mnuReplaceFromPicture");
    mnuReplaceFromPicture->setEnabled(false);
    popText = new QMenu(this);
    popText->setObjectName("popText");
    mnuSaveAsText = popText->addAction("&Save As");
    mnuSaveAsText->setObjectName("mnuSaveAsText");
    connect(mnuSaveAsBmp, &QAction::triggered, this, [this] {
        try
        {
            mnuSaveAsBmpClick();
        }
        catch (const std::exception& e)
        {
            Platform::Ui::showError(this, Platform::Text::fromUtf8(lgp::UserText(e)));
        }
    });
    connect(mnuReplaceFromPicture, &QAction::triggered, this, [this] {
        try
        {
            mnuReplaceFromPictureClick();
        }
        catch (const std::exception& e)
        {
            Platform::Ui::showError(this, Platform::Text::fromUtf8(e.what()));
        }
    });
    connect(mnuSaveAsText, &QAction::triggered, this, [this] {
        try
        {
            mnuSaveAsTextClick();
        }
        catch (const std::exception& e)
        {
            Platform::Ui::showError(this, Platform::Text::fromUtf8(lgp::UserText(e)));
        }
    });

    auto popUp = [](QWidget* w, QMenu* menu) {
        w->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(w, &QWidget::customContextMenuRequested, menu,
                [w, menu](const QPoint& at) { menu->popup(w->mapToGlobal(at)); });
    };
    popUp(Image, popBmp);
    popUp(Tree, popText);
    popUp(Memo, popText);

    savText.filter = "All files|*.*";
    savText.mustExist = true;
    // PNG first (it keeps a palettised texture's palette and indices), then
    // the Windows bitmap. A typed extension picks the format; without one the
    // chosen filter's extension is added.
    savBMP.defaultExt = "PNG";
    savBMP.filter = "PNG images|*.PNG|Bitmaps|*.BMP";
    savBMP.mustExist = true;
    opnPicture.title = "Replace from picture";
    opnPicture.filter = "Pictures|*.PNG;*.BMP|PNG images|*.PNG|Bitmaps|*.BMP|All files|*.*";
    opnPicture.mustExist = true;

    HideViews();
}

void TfrmTexView::resizeEvent(QResizeEvent* event)
{
    const QRect area(QPoint(0, 0), event->size());
    Image->setGeometry(area);
    Tree->setGeometry(area);
    Memo->setGeometry(area);
    // A size the user gives a text or tree preview is the one they keep.
    if (!mSizedByTexture && !Image->isVisible() && (Memo->isVisible() || Tree->isVisible()))
        mTextSize = event->size();
    QWidget::resizeEvent(event);
}

void TfrmTexView::ShowWindow()
{
    // Showing a hidden window brings it to the front; an open one is raised.
    if (isVisible())
        raise();
    else
    {
        placeBesideParent();
        show();
    }
}

void TfrmTexView::placeBesideParent()
{
    const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    if (!owner || !owner->isVisible())
        return;
    const QRect main = owner->frameGeometry();
    const QScreen* screen = owner->screen() ? owner->screen() : QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(main.topLeft(), QSize(4096, 4096));
    const QSize outer = frameGeometry().size().expandedTo(size());
    const int gap = 8;
    int left = main.right() + 1 + gap;
    if (left + outer.width() > area.right() + 1 && main.left() - gap - outer.width() >= area.left())
        left = main.left() - gap - outer.width();
    left = std::clamp(left, area.left(), std::max(area.left(), area.right() + 1 - outer.width()));
    const int top = std::clamp(main.top(), area.top(), std::max(area.top(), area.bottom() + 1 - outer.height()));
    move(left, top);
}

void TfrmTexView::HideViews()
{
    Image->setVisible(false);
    Tree->setVisible(false);
    Memo->setVisible(false);
}

void TfrmTexView::ShowTexture(const TPSXTexImage& texture, const QString& entryName)
{
    const QImage image = TexImageToQImage(texture);
    // A window of no size is never mapped although it counts as visible, and
    // would keep every later preview out of sight: at least one pixel.
    mSizedByTexture = true;
    resize(std::max(1, texture.Width), std::max(1, texture.Height));
    mTexture = texture;
    Image->setPixmap(QPixmap::fromImage(image));
    HideViews();
    Image->setVisible(true);
    // The entry's own extension (".TEX") never goes with a picture.
    const int dot = entryName.lastIndexOf('.');
    savBMP.fileName = dot > 0 ? entryName.left(dot) : entryName;
    mTextureArchive.clear();
    mTextureIndex = -1;
    mTextureBytes.clear();
    Image->setToolTip({});
    mnuReplaceFromPicture->setEnabled(false);
    ShowWindow();
}

void TfrmTexView::SetTextureSource(const std::string& archivePath, std::int32_t tableIndex,
                                   std::vector<std::uint8_t> tex)
{
    mTextureArchive = archivePath;
    mTextureIndex = tableIndex;
    mTextureBytes = std::move(tex);
    Image->setToolTip(TextureFacts());
    mnuReplaceFromPicture->setEnabled(!mTextureArchive.empty() && mTextureIndex >= 0);
}

QString TfrmTexView::TextureFacts() const
{
    if (mTextureBytes.size() < TexHeaderSize)
        return {};
    return Platform::Text::fromUtf8(DescribeTexture(ReadTexHeader(mTextureBytes)));
}

void TfrmTexView::SetText(const std::vector<std::string>& lines, const QString& entryName)
{
    savText.fileName = entryName;
    mMemoLines = lines;
    QStringList text;
    text.reserve(qsizetype(lines.size()));
    for (const std::string& line : lines)
        text << Platform::Text::fromArchiveText(line);
    Memo->setPlainText(text.join('\n'));
}

void TfrmTexView::FitForText()
{
    // Text and trees keep the size the user gave the window; a size a texture
    // gave it (a 64 x 48 texture leaves a window too small to read) gives way
    // to the size text and trees had last, at first the designed one.
    if (mSizedByTexture || width() < SmallestTextSide || height() < SmallestTextSide)
        resize(mTextSize);
    mSizedByTexture = false;
}

void TfrmTexView::ShowText()
{
    FitForText();
    HideViews();
    Memo->setVisible(true);
    ShowWindow();
}

void TfrmTexView::SetTree(const THRCTree& tree)
{
    Tree->clear();
    if (tree.Nodes.empty())
        return;
    // The tree view lays out, expands and deletes its items recursively, one
    // call per level: a skeleton thousands of bones deep would exhaust the
    // stack. Levels below MaxShownTreeDepth are not made into items; a note
    // line under the deepest shown node says how many lines were left out.
    std::vector<QTreeWidgetItem*> items(tree.Nodes.size(), nullptr);
    std::vector<int> depth(tree.Nodes.size(), 0);
    // For a node below the shown depth: the shown ancestor its lines are counted under.
    std::vector<std::int32_t> cutAt(tree.Nodes.size(), -1);
    std::vector<std::int64_t> leftOut(tree.Nodes.size(), 0);
    for (std::size_t i = 0; i < tree.Nodes.size(); ++i)
    {
        const THRCTree::Node& node = tree.Nodes[i];
        const QString text = Platform::Text::fromArchiveText(node.Text);
        // Parents always come before their children in the node list.
        if (node.Parent < 0)
        {
            items[i] = new QTreeWidgetItem(Tree, QStringList{text});
            continue;
        }
        const auto parent = std::size_t(node.Parent);
        depth[i] = depth[parent] + 1;
        if (depth[i] <= MaxShownTreeDepth)
        {
            items[i] = new QTreeWidgetItem(items[parent], QStringList{text});
            continue;
        }
        cutAt[i] = cutAt[parent] >= 0 ? cutAt[parent] : node.Parent;
        ++leftOut[std::size_t(cutAt[i])];
    }
    for (std::size_t i = 0; i < tree.Nodes.size(); ++i)
    {
        if (leftOut[i] > 0)
            new QTreeWidgetItem(
                items[i], QStringList{QString("... %1 more lines below, not shown (the tree is deeper than %2 levels)")
                                          .arg(leftOut[i])
                                          .arg(MaxShownTreeDepth)});
    }
    Tree->expandAll();
}

void TfrmTexView::ShowTree()
{
    FitForText();
    HideViews();
    Tree->setVisible(true);
    ShowWindow();
}

void TfrmTexView::mnuSaveAsTextClick()
{
    const std::optional<QString> path = Platform::Ui::prompter().saveFile(this, savText);
    if (!path)
        return;
    std::vector<std::uint8_t> bytes;
    for (const std::string& line : mMemoLines)
    {
        bytes.insert(bytes.end(), line.begin(), line.end());
        bytes.push_back('\r');
        bytes.push_back('\n');
    }
    WriteWholeFile(Platform::Text::toPath(*path), bytes);
}

void TfrmTexView::mnuSaveAsBmpClick()
{
    const std::optional<QString> path = Platform::Ui::prompter().saveFile(this, savBMP);
    if (!path)
        return;
    QString target = *path;
    if (QFileInfo(target).suffix().isEmpty())
        target += "." + savBMP.defaultExt.toLower();
    const QString suffix = QFileInfo(target).suffix();
    if (suffix.compare("PNG", Qt::CaseInsensitive) == 0)
    {
        // Through the texture module: a palette PNG with the texture's own
        // indices, so the picture goes back into the texture unchanged.
        const TTexPicture picture = mTextureBytes.empty() ? TTexPicture{} : TexToPicture(mTextureBytes);
        if (!mTextureBytes.empty())
            WriteWholeFile(Platform::Text::toPath(target), PictureToPng(picture));
        else if (!TexImageToQImage(mTexture).save(target, "PNG"))
            lgp::FailCreate(Platform::Text::toPath(target));
        return;
    }
    if (suffix.compare("BMP", Qt::CaseInsensitive) != 0)
        lgp::Fail("A picture is saved as a .png or .bmp file; \"" + Platform::Text::toPath(QFileInfo(target).fileName())
                  + "\" is neither.");
    WriteWholeFile(Platform::Text::toPath(target), TexImageToBmp(mTexture));
}

void TfrmTexView::mnuReplaceFromPictureClick()
{
    if (mTextureArchive.empty() || mTextureIndex < 0)
        return;
    const std::optional<QString> path = Platform::Ui::prompter().openFile(this, opnPicture);
    if (!path)
        return;
    if (!ReplaceFromPicture(*path))
        Platform::Ui::prompter().message(this, windowTitle(),
                                         "The picture shows the texture as it is; nothing was changed.");
}

bool TfrmTexView::ReplaceFromPicture(const QString& picturePath)
{
    const TTexPicture picture = ReadPictureFile(picturePath);
    const TTextureReplacement replacement = ReplaceTextureFromPicture(mTextureArchive, mTextureIndex, picture);
    if (!replacement.Changed)
        return false;
    TMemoryStream stream(replacement.Data);
    const TPSXTexImage texture = PSXTexDecode(stream, TexDataStart);
    const QString name = savBMP.fileName;
    const std::string archive = mTextureArchive;
    const std::int32_t index = mTextureIndex;
    ShowTexture(texture, name);
    SetTextureSource(archive, index, replacement.Data);
    emit textureReplaced(Platform::Text::fromPath(archive));
    return true;
}
