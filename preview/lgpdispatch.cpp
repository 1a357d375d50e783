#include "lgpdispatch.h"

#include "core/lgpstruct.h"
#include "errors/errors.h"
#include "platform/media.h"
#include "platform/paths.h"
#include "platform/qtext.h"
#include "platform/ui.h"
#include "preview/hrcparse.h"
#include "preview/lgp3dpreview.h"
#include "preview/lgppreview.h"
#include "preview/lgpviewas.h"
#include "preview/previewkind.h"
#include "preview/psxtexdecode.h"

#include <QWidget>

#include <filesystem>

namespace
{
    std::vector<std::string> ReadLines(const TLGPFile& archive, std::int32_t index)
    {
        TMemoryStream stream;
        archive.ReadEntryData(index, stream);
        return SplitTextLines(stream.Bytes());
    }
}

QString GetTempDir() { return Platform::Text::fromPath(Platform::Paths::tempDir()); }

struct TPreviewDispatcher::Impl
{
    QWidget* MainWindow = nullptr;
    std::unique_ptr<TfrmTexView> TexView;
    std::unique_ptr<TfrmViewAs> ViewAs;
    std::unique_ptr<TfrmLGP3dPrev> Preview3D;
    Platform::Media::TMediaPlayer Media;
    std::string PreviewTempFile;
};

TPreviewDispatcher::TPreviewDispatcher(QWidget* mainWindow)
    : QObject(mainWindow)
    , mImpl(std::make_unique<Impl>())
{
    mImpl->MainWindow = mainWindow;
    mImpl->TexView = std::make_unique<TfrmTexView>(mainWindow);
    mImpl->ViewAs = std::make_unique<TfrmViewAs>(mainWindow);
}

TPreviewDispatcher::~TPreviewDispatcher() { mImpl->Media.Close(); }

TfrmTexView& TPreviewDispatcher::TexView() const { return *mImpl->TexView; }

TfrmViewAs& TPreviewDispatcher::ViewAs() const { return *mImpl->ViewAs; }

TfrmLGP3dPrev* TPreviewDispatcher::Preview3D() const { return mImpl->Preview3D.get(); }

Platform::Media::TMediaPlayer& TPreviewDispatcher::Media() const { return mImpl->Media; }

QString TPreviewDispatcher::PreviewTempFile() const { return Platform::Text::fromPath(mImpl->PreviewTempFile); }

void TPreviewDispatcher::StopMusic()
{
    using Platform::Media::Mode;
    auto& media = mImpl->Media;
    if (!media.DeviceOpen())
        return;
    if (media.mode() == Mode::Playing || media.mode() == Mode::Paused)
        media.Stop();
    if (media.mode() == Mode::Stopped || media.mode() == Mode::Open)
        media.Close();
}

void TPreviewDispatcher::Preview(const TLGPFile& archive, std::int32_t tableIndex, bool chooseViewer)
{
    const LGPEntry entry = archive.GetEntry(tableIndex);
    const std::string& name = entry.Name;
    const QString caption = Platform::Text::fromArchiveText(name);
    PreviewViewer viewer = chooseViewer ? PreviewViewer::None : ViewerForKind(PreviewKind(name));
    if (viewer == PreviewViewer::None)
    {
        if (!mImpl->ViewAs->ShowModal())
            return;
        viewer = mImpl->ViewAs->SelectedViewer();
    }

    StopMusic();
    std::error_code ec;
    if (!mImpl->PreviewTempFile.empty())
        std::filesystem::remove(mImpl->PreviewTempFile, ec);
    // The temporary file is the temporary folder plus the entry's name: a name
    // that is no plain file name would point outside the folder, so it leaves
    // no temporary file to delete later.
    mImpl->PreviewTempFile = IsPlainFileName(name) ? Platform::Paths::tempDir() + name : std::string();

    TfrmTexView& view = *mImpl->TexView;
    switch (viewer)
    {
    case PreviewViewer::None: break;
    case PreviewViewer::Texture:
    {
        TMemoryStream stream;
        archive.ReadEntryData(tableIndex, stream);
        const TPSXTexImage texture = PSXTexDecode(stream, TexDataStart);
        view.ShowTexture(texture, caption);
        view.SetTextureSource(archive.FromSource() ? std::string() : archive.FileName(), tableIndex,
                              std::move(stream.Vector()));
        break;
    }
    case PreviewViewer::Music:
    {
        CheckPlainFileName(name);
        const std::string& tempFile = mImpl->PreviewTempFile;
        {
            TFileStream source(archive.FileName(), FileMode::OpenRead, Platform::File::Share::DenyNone);
            ExtractEntry(source, entry, tempFile);
        }
        mImpl->Media.FileName = tempFile;
        try
        {
            mImpl->Media.Open();
            mImpl->Media.Play();
        }
        catch (const ELGPError&)
        {
            throw;
        }
        catch (const std::runtime_error& e)
        {
            throw ELGPError(lgp::UserText(e));
        }
        break;
    }
    case PreviewViewer::Model:
    {
        if (!mImpl->Preview3D)
            mImpl->Preview3D = std::make_unique<TfrmLGP3dPrev>(mImpl->MainWindow);
        TMemoryStream stream;
        archive.ReadEntryData(tableIndex, stream);
        // The old model goes first; a model that fails to load leaves none.
        mImpl->Preview3D->Model.reset();
        mImpl->Preview3D->Model = std::make_unique<TFF7PPart>(stream);
        if (mImpl->Preview3D->isVisible())
            mImpl->Preview3D->raise();
        else
            mImpl->Preview3D->show();
        break;
    }
    case PreviewViewer::Skeleton:
    {
        view.SetText(ReadLines(archive, tableIndex), caption);
        THRCTree tree;
        THRCCallbacks callbacks;
        callbacks.ReadRSD = [&archive](const std::string& rsdName) -> std::optional<std::vector<std::string>> {
            const std::int32_t index = archive.FindEntry(rsdName);
            if (index < 0)
                return std::nullopt;
            return ReadLines(archive, index);
        };
        callbacks.SeparatorFail = [&view] {
            Platform::Ui::prompter().message(&view, "Quenwick's Tarrowin", "HRC fail");
        };
        try
        {
            ParseHRC(view.MemoLines(), tree, callbacks);
        }
        catch (...)
        {
            // The nodes made before the failure stay in the tree view.
            if (!tree.Nodes.empty())
                view.SetTree(tree);
            throw;
        }
        view.SetTree(tree);
        view.ShowTree();
        break;
    }
    case PreviewViewer::Text:
        view.SetText(ReadLines(archive, tableIndex), caption);
        view.ShowText();
        break;
    }
}

void TPreviewDispatcher::Shutdown()
{
    StopMusic();
    mImpl->Media.Close();
    if (!mImpl->PreviewTempFile.empty())
    {
        std::error_code ec;
        std::filesystem::remove(mImpl->PreviewTempFile, ec);
    }
}
