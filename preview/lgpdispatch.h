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

class TPreviewDispatcher : public QObject
{
    Q_OBJECT

public:
    explicit TPreviewDispatcher(QWidget* mainWindow);
    ~TPreviewDispatcher() override;

    // Previews table entry tableIndex of archive; rowCaption is the row's
    // caption (the entry's name). Failures are thrown as ELGPError with the
    // user's text; the caller shows them in an error box.
    void Preview(const TLGPFile& archive, std::int32_t tableIndex, const QString& rowCaption);

    // Shut-down: stops and closes the music, deletes the preview temporary file.
    void Shutdown();

    QString PreviewTempFile() const;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};
