// The dispatcher, the preview window, the chooser and the 3D window's logic,
// offscreen. No OpenGL surface is made here; the 3D window shows its
// "no OpenGL" text instead.

#include "core/lgpstruct.h"
#include "errors/errors.h"
#include "platform/media.h"
#include "platform/ui.h"
#include "preview/PSXTex.h"
#include "preview/lgp3dpreview.h"
#include "preview/lgpdispatch.h"
#include "preview/lgppreview.h"
#include "preview/lgpviewas.h"
#include "support/failure.h"
#include "support/scopedenv.h"
#include "support/tempfolder.h"
#include "testwriters.h"

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <filesystem>
#include <memory>

using Platform::Ui::ScriptedPrompter;
using testw::Bytes;
namespace fs = std::filesystem;

namespace
{
    Bytes PaletteTex()
    {
        // 3 x 2, 3 colours; index 5 lies past the palette.
        return testw::Tex(3, 2, 3, {0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, /*pixels*/ 0, 1, 2, 2, 5, 0});
    }

    Bytes DirectTex()
    {
        Bytes body;
        for (std::uint16_t v : {0x7C00, 0x03E0, 0x001F, 0xFFFF})
            body.insert(body.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
        return testw::Tex(2, 2, 0, body);
    }

    Bytes Hrc(const std::string& firstSeparator = "")
    {
        return testlgp::B(":HEADER_BLOCK 2\r\n:SKELETON skel\r\n:BONES 2\r\n" + firstSeparator
                          + "\r\nhip\r\nroot\r\n1.0\r\n1 HIPA\r\n\r\nchest\r\nhip\r\n2.0\r\n0\r\n");
    }

    Bytes Model()
    {
        testw::PModel m;
        m.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
        m.colours = {{0, 0, 205, 0}, {0, 0, 205, 0}, {0, 0, 205, 0}, {0, 0, 0, 0}};
        m.polygons = {{0, 1, 2}};
        return testw::PFile(m);
    }

    // How a test answers the chooser.
    struct ChooserScript
    {
        int runs = 0;
        std::function<int(TfrmViewAs&)> answer = [](TfrmViewAs&) { return int(QDialog::Rejected); };
    };
}

class PreviewGuiTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TempFolder> mDir;
    std::unique_ptr<testlgp::ScopedEnv> mTmpDir; // TMPDIR inside the test's folder
    std::unique_ptr<ScriptedPrompter> mPrompter;
    std::unique_ptr<Platform::Ui::ScopedPrompter> mScope;
    std::unique_ptr<TPreviewDispatcher> mDispatcher;
    std::unique_ptr<TLGPFile> mArchive;
    std::vector<std::string> mNames;
    ChooserScript mChooser;

    void MakeArchive(const std::vector<std::pair<std::string, Bytes>>& entries)
    {
        const auto path = *mDir / "TEST.LGP";
        testlgp::Save(path, testlgp::Write(testlgp::ArchiveOf(entries)));
        mArchive = std::make_unique<TLGPFile>(path.string(), true);
        mNames.clear();
        for (const auto& e : entries)
            mNames.push_back(e.first);
    }

    int IndexOf(const std::string& name) const
    {
        for (std::size_t i = 0; i < mNames.size(); ++i)
            if (mNames[i] == name)
                return int(i);
        return -1;
    }

    void Preview(const std::string& name) { mDispatcher->Preview(*mArchive, IndexOf(name)); }

    QString PreviewFailure(const std::string& name)
    {
        return QString::fromStdString(testlgp::FailureText<ELGPError>([&] { Preview(name); }));
    }

    QString TempDirPath() const { return QString::fromStdString(mDir->path().string() + "/tmp/"); }

private slots:
    void init()
    {
        mDir = std::make_unique<TempFolder>(QTest::currentTestFunction());
        fs::create_directories(mDir->path() / "tmp");
        mTmpDir = std::make_unique<testlgp::ScopedEnv>("TMPDIR", (mDir->path() / "tmp").string());
        mPrompter = std::make_unique<ScriptedPrompter>();
        mScope = std::make_unique<Platform::Ui::ScopedPrompter>(*mPrompter);
        Platform::Media::TMediaPlayer::ForceSilentOutput(true);
        TCGForm::DisableOpenGL(true);
        mChooser = {};
        TfrmViewAs::ModalRunner = [this](TfrmViewAs& dialog) {
            ++mChooser.runs;
            return mChooser.answer(dialog);
        };
        mDispatcher = std::make_unique<TPreviewDispatcher>(nullptr);
    }

    void cleanup()
    {
        mDispatcher->Shutdown();
        mDispatcher.reset();
        mArchive.reset();
        TfrmViewAs::ModalRunner = nullptr;
        mScope.reset();
        mPrompter.reset();
        if (QTest::currentTestFailed())
            mDir->keep();
        mDir.reset();
        mTmpDir.reset(); // the runner's own TMPDIR again, for the next test's folder
    }

    void getTempDirEndsWithSeparator() { QCOMPARE(GetTempDir(), TempDirPath()); }

    void dispatchTableByName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("viewer");
        for (const char* n : {"FIELD.TEX", "field.tex", "Field.Tex"})
            QTest::newRow(n) << n << "image";
        for (const char* n : {"X.P00", "X.P1", "X.P12A", "X.P-2", "X.P"})
            QTest::newRow(n) << n << "3d";
        for (const char* n : {"X.PAL", "X.P-1", "X.PXY", "NOEXT", "X.BIN"})
            QTest::newRow(n) << n << "chooser";
        for (const char* n : {"A.RSD", "a.txt"})
            QTest::newRow(n) << n << "text";
        QTest::newRow("S.HRC") << QString("S.HRC") << "tree";
    }

    void dispatchTableByName()
    {
        QFETCH(QString, name);
        QFETCH(QString, viewer);
        const std::string n = name.toStdString();
        Bytes data = viewer == "image"  ? PaletteTex()
                     : viewer == "3d"   ? Model()
                     : viewer == "tree" ? Hrc()
                                        : Bytes{'t'};
        MakeArchive({{n, data}});
        Preview(n);
        TfrmTexView& view = mDispatcher->TexView();
        QCOMPARE(mChooser.runs, viewer == "chooser" ? 1 : 0);
        QCOMPARE(view.isVisible(), viewer == "image" || viewer == "text" || viewer == "tree");
        QCOMPARE(view.Image->isVisible(), viewer == "image");
        QCOMPARE(view.Memo->isVisible(), viewer == "text");
        QCOMPARE(view.Tree->isVisible(), viewer == "tree");
        QCOMPARE(mDispatcher->Preview3D() != nullptr, viewer == "3d");
        if (viewer == "3d")
        {
            QVERIFY(mDispatcher->Preview3D()->isVisible());
            QVERIFY(mDispatcher->Preview3D()->Model);
        }
        // Every preview that passes the chooser renews the temporary file's name.
        QCOMPARE(mDispatcher->PreviewTempFile(), viewer == "chooser" ? QString() : TempDirPath() + name);
    }

    void chooserRowsAndLayout()
    {
        TfrmViewAs& dialog = mDispatcher->ViewAs();
        QCOMPARE(dialog.windowTitle(), QString("View As..."));
        QCOMPARE(dialog.lstTypes->topLevelItemCount(), 6);
        const QStringList expected = {
            "HRC|Skeleton hierarchy|Formatted text", "MID|Midi music|Standard midi",  "P|Polygon data|Binary",
            "RSD|Resource data|Plain text",          "TEX|Texture data|Standard PSX", "TXT|Text|Plain text"};
        for (int i = 0; i < 6; ++i)
        {
            const QTreeWidgetItem* item = dialog.lstTypes->topLevelItem(i);
            QCOMPARE(item->text(0) + "|" + item->text(1) + "|" + item->text(2), expected[i]);
        }
        QCOMPARE(dialog.btnView->text(), QString("&View"));
    }

    void chooserViewNeedsARowAndRemembersIt()
    {
        MakeArchive({{"PIC.BIN", PaletteTex()}, {"OTHER", PaletteTex()}});
        // View with nothing selected keeps the dialog open; the test then cancels it.
        bool stayedOpen = false;
        mChooser.answer = [&](TfrmViewAs& d) {
            d.btnViewClick();
            stayedOpen = d.result() != QDialog::Accepted;
            d.reject();
            return d.result();
        };
        Preview("PIC.BIN");
        QVERIFY(stayedOpen);
        QVERIFY(!mDispatcher->TexView().isVisible());

        // Choosing TEX decodes the entry as a texture whatever its name.
        mChooser.answer = [](TfrmViewAs& d) {
            d.lstTypes->setCurrentItem(d.lstTypes->topLevelItem(4));
            d.btnViewClick();
            return d.result();
        };
        Preview("PIC.BIN");
        QVERIFY(mDispatcher->TexView().Image->isVisible());
        QCOMPARE(mDispatcher->TexView().size(), QSize(3, 2));

        // The selection stays: View alone repeats the choice.
        mDispatcher->TexView().hide();
        mChooser.answer = [](TfrmViewAs& d) {
            d.btnViewClick();
            return d.result();
        };
        Preview("OTHER");
        QCOMPARE(mChooser.runs, 3);
        QCOMPARE(mDispatcher->ViewAs().SelectedExtension(), QString("TEX"));
        QVERIFY(mDispatcher->TexView().isVisible());
    }

    void musicStopsAndTempFileIsRenewed()
    {
        MakeArchive({{"ONE.MID", testw::Midi({60, 62, 64, 65, 67}, 960)},
                     {"TWO.MID", testw::Midi({72, 71}, 960)},
                     {"PIC.TEX", PaletteTex()},
                     {"ODD.BIN", Bytes{1}}});
        Preview("ONE.MID");
        const QString one = TempDirPath() + "ONE.MID";
        QCOMPARE(mDispatcher->PreviewTempFile(), one);
        QVERIFY(fs::exists(one.toStdString()));
        QCOMPARE(testlgp::Load(one.toStdString()), testw::Midi({60, 62, 64, 65, 67}, 960));
        auto& media = mDispatcher->Media();
        QCOMPARE(media.mode(), Platform::Media::Mode::Playing);
        QCOMPARE(QString::fromStdString(media.FileName), one);

        // Cancelling the chooser changes nothing: music plays, the file stays.
        Preview("ODD.BIN");
        QCOMPARE(media.mode(), Platform::Media::Mode::Playing);
        QVERIFY(fs::exists(one.toStdString()));

        // A second MIDI entry stops the first, deletes its file and plays.
        Preview("TWO.MID");
        const QString two = TempDirPath() + "TWO.MID";
        QVERIFY(!fs::exists(one.toStdString()));
        QVERIFY(fs::exists(two.toStdString()));
        QCOMPARE(media.mode(), Platform::Media::Mode::Playing);
        QCOMPARE(QString::fromStdString(media.FileName), two);

        // Any other preview stops the music and deletes the file.
        Preview("PIC.TEX");
        QVERIFY(!media.DeviceOpen());
        QVERIFY(!fs::exists(two.toStdString()));
        QCOMPARE(mDispatcher->PreviewTempFile(), TempDirPath() + "PIC.TEX");

        // The file is named by the entry's own bytes, also when they are no UTF-8.
        const std::string odd = "\xE9T\xC9.MID";
        MakeArchive({{odd, testw::Midi({60}, 240)}});
        Preview(odd);
        const std::string oddFile = mDir->path().string() + "/tmp/" + odd;
        QVERIFY(media.FileName == oddFile);
        QCOMPARE(testlgp::Load(oddFile), testw::Midi({60}, 240));
    }

    void midiChosenForAnotherNameFailsToOpen()
    {
        MakeArchive({{"SONG.DAT", testw::Midi({60}, 240)}});
        mChooser.answer = [](TfrmViewAs& d) {
            d.lstTypes->setCurrentItem(d.lstTypes->topLevelItem(1));
            d.btnViewClick();
            return d.result();
        };
        QCOMPARE(PreviewFailure("SONG.DAT"), QString("There is no player for files of the kind \".DAT\"."));
        // The temporary file was written under the entry's name and stays until the next preview.
        QVERIFY(fs::exists((TempDirPath() + "SONG.DAT").toStdString()));
        QVERIFY(!mDispatcher->Media().DeviceOpen());
    }

    void midiNameOutsideTheTempFolderIsRefused()
    {
        MakeArchive({{"../ESCAPE.MID", testw::Midi({60}, 240)}, {"PIC.TEX", PaletteTex()}});
        QCOMPARE(
            PreviewFailure("../ESCAPE.MID"),
            QString("The entry name \"../ESCAPE.MID\" is not a plain file name; it cannot be written to a folder."));
        QVERIFY(!fs::exists(mDir->path() / "ESCAPE.MID"));
        QCOMPARE(mDispatcher->PreviewTempFile(), QString());
        Preview("PIC.TEX"); // nothing outside the folder is deleted either
        QCOMPARE(mDispatcher->PreviewTempFile(), TempDirPath() + "PIC.TEX");
    }

    void texturePixelsSizeAndSaveAsBmpAndPng()
    {
        MakeArchive({{"PAL.TEX", PaletteTex()}, {"RGB.TEX", DirectTex()}});
        TfrmTexView& view = mDispatcher->TexView();
        Preview("PAL.TEX");
        Preview("PAL.TEX");
        QCOMPARE(view.size(), QSize(3, 2));
        QCOMPARE(view.windowTitle(), QString("Preview"));
        const QImage shown = view.Image->pixmap().toImage();
        QCOMPARE(shown.size(), QSize(3, 2));
        const QRgb expected[2][3] = {{qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255)},
                                     {qRgb(0, 0, 255), qRgb(0, 0, 0), qRgb(255, 0, 0)}};
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                QCOMPARE(shown.pixel(x, y), expected[y][x]);
        // A picture is never proposed under the entry's own extension.
        QCOMPARE(view.savBMP.fileName, QString("PAL"));
        QCOMPARE(view.savBMP.filter, QString("PNG images|*.PNG|Bitmaps|*.BMP"));
        QCOMPARE(view.Image->toolTip(), QString("3 x 2 pixels, 8 bits per pixel, 1 palette of 3 colours"));

        // Save As writes a real Windows bitmap: 8 bits, the palette as colour table.
        const QString bmpPath = QString::fromStdString((*mDir / "pal.bmp").string());
        mPrompter->fileAnswers.push_back(bmpPath);
        view.mnuSaveAsBmp->trigger();
        const Bytes bmp = testlgp::Load(bmpPath.toStdString());
        QVERIFY(bmp.size() > 54);
        QCOMPARE(int(bmp[0]), int('B'));
        QCOMPARE(int(bmp[28]), 8);
        QImage loaded(bmpPath);
        QCOMPARE(loaded.format(), QImage::Format_Indexed8);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x)
                QCOMPARE(loaded.pixel(x, y), expected[y][x]);

        Preview("RGB.TEX");
        QCOMPARE(view.size(), QSize(2, 2));
        const QImage rgb = view.Image->pixmap().toImage();
        QCOMPARE(rgb.pixel(0, 0), qRgb(255, 0, 0));
        QCOMPARE(rgb.pixel(1, 0), qRgb(0, 255, 0));
        QCOMPARE(rgb.pixel(0, 1), qRgb(0, 0, 255));
        QCOMPARE(rgb.pixel(1, 1), qRgb(255, 255, 255)); // bit 15 ignored
        QCOMPARE(view.Image->toolTip(), QString("2 x 2 pixels, 16 bits per pixel, direct colour (5-5-5)"));
        const QString rgbPath = QString::fromStdString((*mDir / "rgb.bmp").string());
        const QString pngPath = QString::fromStdString((*mDir / "rgb").string()); // default extension PNG
        mPrompter->fileAnswers.push_back(rgbPath);
        mPrompter->fileAnswers.push_back(pngPath);
        view.mnuSaveAsBmp->trigger();
        view.mnuSaveAsBmp->trigger();
        const Bytes bmp16 = testlgp::Load(rgbPath.toStdString());
        QVERIFY(bmp16.size() >= 54 + 8);
        QCOMPARE(int(bmp16[28]), 16);
        QCOMPARE(testlgp::Load((pngPath + ".png").toStdString())[25], std::uint8_t(2)); // RGB PNG
        for (const QString& path : {rgbPath, pngPath + ".png"})
        {
            QImage again(path);
            QVERIFY2(!again.isNull(), qPrintable(path));
            // Readers widen five bits to eight in their own way (248 or 255).
            QVERIFY(qRed(again.pixel(0, 0)) >= 248 && qGreen(again.pixel(0, 0)) == 0 && qBlue(again.pixel(0, 0)) == 0);
            QVERIFY(qRed(again.pixel(0, 1)) == 0 && qGreen(again.pixel(0, 1)) == 0 && qBlue(again.pixel(0, 1)) >= 248);
            QVERIFY(qGreen(again.pixel(1, 0)) >= 248 && qRed(again.pixel(1, 0)) == 0);
        }
        QCOMPARE(Bytes(bmp16.begin() + 4, bmp16.begin() + 6), (Bytes{0, 0}));

        // Another extension than the two formats' is refused, nothing written.
        mPrompter->fileAnswers.push_back(QString::fromStdString((*mDir / "rgb.tex").string()));
        view.mnuSaveAsBmp->trigger();
        QCOMPARE(mPrompter->texts(ScriptedPrompter::Kind::Error),
                 QStringList{"A picture is saved as a .png or .bmp file; \"rgb.tex\" is neither."});
        QVERIFY(!std::filesystem::exists(*mDir / "rgb.tex"));
    }

    // Save As PNG, repaint, "Replace from picture...": the entry is rewritten
    // through the archive's replace, the preview shows the new texture and the
    // window announces it; an unchanged picture writes nothing.
    void replaceFromPictureRewritesTheEntryAndRefreshes()
    {
        MakeArchive({{"PAL.TEX", PaletteTex()}, {"RGB.TEX", DirectTex()}});
        const std::string archivePath = (*mDir / "TEST.LGP").string();
        TfrmTexView& view = mDispatcher->TexView();
        Preview("PAL.TEX");
        QVERIFY(view.mnuReplaceFromPicture->isEnabled());
        const QString png = QString::fromStdString((*mDir / "pal.png").string());
        mPrompter->fileAnswers.push_back(png);
        view.mnuSaveAsBmp->trigger();
        QSignalSpy replaced(&view, &TfrmTexView::textureReplaced);

        const Bytes before = testlgp::Load(archivePath);
        mPrompter->fileAnswers.push_back(png);
        view.mnuReplaceFromPicture->trigger();
        QCOMPARE(testlgp::Load(archivePath), before);
        QCOMPARE(mPrompter->texts(ScriptedPrompter::Kind::Message),
                 QStringList{"The picture shows the texture as it is; nothing was changed."});
        QCOMPARE(replaced.count(), 0);

        // Pixel (1, 1) (index 5, past the palette) painted red: index 0.
        QImage edited(png);
        edited = edited.convertToFormat(QImage::Format_RGB32);
        edited.setPixel(1, 1, qRgb(255, 0, 0));
        const QString bmp = QString::fromStdString((*mDir / "edited.bmp").string());
        QVERIFY(edited.save(bmp, "BMP"));
        mPrompter->fileAnswers.push_back(bmp);
        view.mnuReplaceFromPicture->trigger();
        QCOMPARE(replaced.count(), 1);
        QCOMPARE(replaced.at(0).at(0).toString(), QString::fromStdString(archivePath));
        Bytes expected = PaletteTex();
        expected[236 + 12 + 4] = 0;
        QCOMPARE(testlgp::Entries(testlgp::Load(archivePath))[0].Data, expected);
        QCOMPARE(view.Image->pixmap().toImage().pixel(1, 1), qRgb(255, 0, 0));
        QVERIFY(view.mnuReplaceFromPicture->isEnabled());

        // A picture of another size is refused in an error box.
        QImage wrong(5, 5, QImage::Format_RGB32);
        wrong.fill(Qt::red);
        const QString wrongPath = QString::fromStdString((*mDir / "wrong.png").string());
        QVERIFY(wrong.save(wrongPath, "PNG"));
        mPrompter->fileAnswers.push_back(wrongPath);
        view.mnuReplaceFromPicture->trigger();
        QCOMPARE(
            mPrompter->texts(ScriptedPrompter::Kind::Error),
            QStringList{"The picture is 5 x 5 pixels but the texture is 3 x 2; a texture's size cannot be changed."});
    }

    void shortDirectTextureShowsNoWindow()
    {
        MakeArchive({{"BAD.TEX", testw::Tex(4, 4, 0, Bytes(10, 0))}});
        QCOMPARE(PreviewFailure("BAD.TEX"), QString("Stream read error"));
        QVERIFY(!mDispatcher->TexView().isVisible());
    }

    void laterPreviewsShowAfterAnEmptyTexture()
    {
        MakeArchive({{"EMPTY.TEX", testw::Tex(0, 0, 0, {})},
                     {"A.TXT", testlgp::B("after\r\n")},
                     {"S.HRC", Hrc()},
                     {"PIC.TEX", PaletteTex()}});
        Preview("EMPTY.TEX");
        TfrmTexView& view = mDispatcher->TexView();
        QVERIFY(view.isVisible());
        QVERIFY(!view.size().isEmpty());
        Preview("A.TXT");
        QVERIFY(view.Memo->isVisible());
        QCOMPARE(view.size(), QSize(TfrmTexView::DesignedWidth, TfrmTexView::DesignedHeight));
        QCOMPARE(view.Memo->size(), view.size());
        Preview("PIC.TEX");
        QCOMPARE(view.size(), QSize(3, 2));
        Preview("S.HRC");
        QVERIFY(view.Tree->isVisible());
        QCOMPARE(view.Tree->size(), QSize(TfrmTexView::DesignedWidth, TfrmTexView::DesignedHeight));
    }

    void skeletonTreeTextAndSave()
    {
        MakeArchive({{"S.HRC", Hrc("junk")}, {"HIPA.RSD", testlgp::B("@RSD\r\nply=HIPS.PLY\r\n")}});
        Preview("S.HRC");
        TfrmTexView& view = mDispatcher->TexView();
        QCOMPARE(mPrompter->texts(ScriptedPrompter::Kind::Message), QStringList{"HRC fail"});
        QVERIFY(view.Tree->isVisible());
        QCOMPARE(view.Tree->topLevelItemCount(), 1);
        const QTreeWidgetItem* root = view.Tree->topLevelItem(0);
        QCOMPARE(root->text(0), QString("skel"));
        QCOMPARE(root->childCount(), 1);
        const QTreeWidgetItem* hip = root->child(0);
        QCOMPARE(hip->text(0), QString("hip"));
        QCOMPARE(hip->childCount(), 3);
        QCOMPARE(hip->child(0)->text(0), QString("Bone length 1.0"));
        QCOMPARE(hip->child(1)->text(0), QString("Polygon object HIPS.P"));
        QCOMPARE(hip->child(2)->text(0), QString("chest"));
        QCOMPARE(view.savText.fileName, QString("S.HRC"));

        // Saving from the tree saves the HRC's own lines, each ended by CR LF.
        const auto out = *mDir / "saved.hrc";
        mPrompter->fileAnswers.push_back(QString::fromStdString(out.string()));
        view.mnuSaveAsText->trigger();
        QCOMPARE(testlgp::Load(out), testlgp::B(":HEADER_BLOCK 2\r\n:SKELETON skel\r\n:BONES 2\r\njunk\r\nhip\r\n"
                                                "root\r\n1.0\r\n1 HIPA\r\n\r\nchest\r\nhip\r\n2.0\r\n0\r\n"));
    }

    void skeletonThirtyThousandBonesDeepIsShown()
    {
        constexpr int Depth = 30000;
        std::string text = ":HEADER_BLOCK 2\r\n:SKELETON deep\r\n:BONES 30000\r\n";
        for (int i = 0; i < Depth; ++i)
            text += "\r\nb" + std::to_string(i) + "\r\n" + (i == 0 ? std::string("root") : "b" + std::to_string(i - 1))
                    + "\r\n1\r\n0\r\n";
        MakeArchive({{"DEEP.HRC", testlgp::B(text)}});
        Preview("DEEP.HRC");
        TfrmTexView& view = mDispatcher->TexView();
        QVERIFY(view.Tree->isVisible());
        QVERIFY(view.grab().width() > 0);
        // Expanded from the root down as far as the tree shows bones.
        const QTreeWidgetItem* item = view.Tree->topLevelItem(0);
        QVERIFY(item && item->isExpanded());
        int shownDepth = 0;
        while (item->childCount() > 0 && item->child(item->childCount() - 1)->text(0).startsWith('b'))
        {
            QVERIFY(item->isExpanded());
            item = item->child(item->childCount() - 1);
            ++shownDepth;
        }
        QCOMPARE(shownDepth, TfrmTexView::MaxShownTreeDepth);
        // Below the deepest shown bone: a note of what was left out (its own
        // length line, and two lines for each of the 29,800 deeper bones).
        QCOMPARE(item->child(item->childCount() - 1)->text(0),
                 QString("... 59601 more lines below, not shown (the tree is deeper than 200 levels)"));
        view.Tree->scrollToItem(item);
        QVERIFY(view.grab().width() > 0);
        // Another preview replaces the deep tree.
        MakeArchive({{"S.HRC", Hrc()}});
        Preview("S.HRC");
        QCOMPARE(view.Tree->topLevelItem(0)->text(0), QString("skel"));
    }

    void skeletonFailuresShowNoWindow()
    {
        MakeArchive({{"TWO.HRC", testlgp::B("a\r\n0123456789root")},
                     {"BADCOUNT.HRC", testlgp::B("h\r\n:SKELETON s\r\nh\r\n\r\nb\r\np\r\n1\r\nX AAAA\r\n")}});
        QCOMPARE(PreviewFailure("TWO.HRC"), QString("List index out of bounds (0)"));
        TfrmTexView& view = mDispatcher->TexView();
        QVERIFY(!view.isVisible());
        QCOMPARE(view.MemoLines(), (std::vector<std::string>{"a", "0123456789root"}));
        QCOMPARE(view.Tree->topLevelItem(0)->text(0), QString("root"));
        QCOMPARE(PreviewFailure("BADCOUNT.HRC"), QString("'X' is not a valid integer value"));
        QVERIFY(!view.isVisible());
        QCOMPARE(view.Tree->topLevelItem(0)->child(0)->text(0), QString("b"));
    }

    void textStopsAtZeroByte()
    {
        MakeArchive({{"A.TXT", Bytes{'o', 'n', 'e', '\r', '\n', 't', 'w', 'o', 0, 'x', '\n', 'y'}}});
        Preview("A.TXT");
        TfrmTexView& view = mDispatcher->TexView();
        QVERIFY(view.Memo->isVisible());
        QCOMPARE(view.Memo->toPlainText(), QString("one\ntwo"));
        QCOMPARE(view.MemoLines(), (std::vector<std::string>{"one", "two"}));
    }

    void modelWindowWithoutOpenGLSaysSo()
    {
        Bytes broken = Model();
        broken.resize(150);
        MakeArchive({{"A.P", Model()}, {"B.P01", broken}});
        Preview("A.P");
        TfrmLGP3dPrev* win = mDispatcher->Preview3D();
        QVERIFY(win);
        QCOMPARE(win->windowTitle(), QString("3d Preview"));
        QVERIFY(!win->HasGL());
        QVERIFY(win->NoGLLabel());
        QCOMPARE(win->NoGLLabel()->text(), QString(TCGForm::NoOpenGLText));
        QCOMPARE(win->Model->PolygonCount, 1);
        QCOMPARE(win->cmbMode->count(), 3);
        QCOMPARE(win->cmbMode->itemText(0), QString("Spin"));
        QCOMPARE(win->cmbMode->itemText(2), QString("Free move"));
        QCOMPARE(win->cmbMode->currentIndex(), 1);
        QCOMPARE(win->Timer1->interval(), 50);
        QVERIFY(win->Timer1->isActive());

        // A model that fails to load leaves the window without one.
        QCOMPARE(PreviewFailure("B.P01"), QString("Stream read error"));
        QCOMPARE(mDispatcher->Preview3D(), win);
        QVERIFY(!win->Model);
    }

    void modelWindowTimerAndShowingReset()
    {
        MakeArchive({{"A.P", Model()}});
        Preview("A.P");
        TfrmLGP3dPrev* win = mDispatcher->Preview3D();
        win->Timer1->stop(); // ticks are driven by hand
        win->cmbMode->setCurrentIndex(0);
        for (int i = 0; i < 20; ++i)
            win->Timer1Timer();
        QCOMPARE(win->View.Views[ModeFreeRotate].Rotation[0], 20.0f);
        // A model handed over while shown keeps the view.
        Preview("A.P");
        QCOMPARE(win->View.Views[ModeFreeRotate].Rotation[0], 20.0f);
        // Hiding and showing resets the view and keeps the mode.
        win->View.Views[ModeFreeMove].Translation = {1, 2, 3};
        win->hide();
        Preview("A.P");
        QCOMPARE(win->View.Views[ModeFreeRotate], TViewRecord{});
        QCOMPARE(win->View.Views[ModeFreeMove], TViewRecord{});
        QCOMPARE(win->cmbMode->currentIndex(), 0);

        // Mouse drags reach the view state in client coordinates.
        win->cmbMode->setCurrentIndex(1);
        QTest::mousePress(win, Qt::RightButton, {}, QPoint(100, 100));
        QMouseEvent move(QEvent::MouseMove, QPointF(90, 100), win->mapToGlobal(QPointF(90, 100)), Qt::NoButton,
                         Qt::RightButton, Qt::NoModifier);
        QApplication::sendEvent(win, &move);
        QTest::mouseRelease(win, Qt::RightButton, {}, QPoint(90, 100));
        QCOMPARE(win->View.Views[ModeFreeRotate].Rotation[0], 10.0f);
        QCOMPARE(win->View.DragState, TDragState::None);
    }
};

QTEST_MAIN(PreviewGuiTest)
#include "test_preview_gui.moc"
