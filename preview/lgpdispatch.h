#pragma once
// The preview dispatcher behind a double-click on the main window's file list:
// kind by extension (or the "View As..." chooser), music stopped, the preview
// temporary file renewed, then the viewer for the kind. It owns the preview
// window, the chooser, the media player and, from the first model preview on,
// the 3D window.

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>

class QWidget;
class TLGPFile;
class TfrmTexView;
class TfrmViewAs;
class TfrmLGP3dPrev;
namespace Platform::Media
{
    class TMediaPlayer;
}

class TPreviewDispatcher : public QObject
{
    Q_OBJECT

public:
    explicit TPreviewDispatcher(QWidget* mainWindow);
    ~TPreviewDispatcher() override;

    // Previews table entry tableIndex of archive, chosen by the entry's name
    // and shown under it. Failures are thrown as ELGPError with the
    // user's text; the caller shows them in an error box. A MIDI entry whose
    // name is no plain file name ("/" or "\" in it, "", "." or "..") is
    // refused before anything is written. With chooseViewer the "View As..."
    // chooser decides the viewer whatever the name's extension.
    void Preview(const TLGPFile& archive, std::int32_t tableIndex, bool chooseViewer = false);

    // Shut-down: stops and closes the music, deletes the preview temporary file.
    void Shutdown();

    QString PreviewTempFile() const;

    // The windows and the player, for the main window's layout and for tests.
    TfrmTexView& TexView() const;
    TfrmViewAs& ViewAs() const;
    // The 3D window, or nullptr before the first model preview.
    TfrmLGP3dPrev* Preview3D() const;
    Platform::Media::TMediaPlayer& Media() const;

private:
    void StopMusic();

    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

// The system temporary folder with a trailing separator.
QString GetTempDir();
