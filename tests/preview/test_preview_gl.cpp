// One real frame of the 3D window, on a display with OpenGL (a virtual X
// server in CI). Skips cleanly where no OpenGL context can be made.
//
// With TARROWIN_SCREENSHOTS naming a folder, it also saves pictures of the
// preview window (texture, skeleton tree, text) and of the 3D window showing
// a demo model.

#include "core/lgpstruct.h"
#include "platform/ui.h"
#include "preview/lgp3dpreview.h"
#include "preview/lgpdispatch.h"
#include "preview/lgppreview.h"
#include "samples/demodata.h"
#include "support/tempfolder.h"
#include "testwriters.h"

#include <QApplication>
#include <QComboBox>
#include <QOpenGLWidget>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>

// The OpenGL driver keeps allocations until the process ends, and it is
// unloaded before the leak check runs, so its frames could not even be named.
// PinOpenGLDriver keeps it loaded; these names then suppress its own leaks
// (and nothing of ours) in sanitizer builds.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:_dri.so\nleak:libgallium\nleak:libLLVM\nleak:libglapi\n";
}

namespace
{
    void PinOpenGLDriver()
    {
        dl_iterate_phdr(
            [](dl_phdr_info* info, std::size_t, void*) {
                const char* name = info->dlpi_name;
                if (name
                    && (std::strstr(name, "_dri.so") || std::strstr(name, "libgallium") || std::strstr(name, "libLLVM")
                        || std::strstr(name, "libglapi")))
                    dlopen(name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
                return 0;
            },
            nullptr);
    }

    // A flat square in the model's x-z plane, every corner in one colour.
    testw::Bytes Square(std::uint8_t r, std::uint8_t g, std::uint8_t b, float xLow = -5)
    {
        testw::PModel m;
        m.vertices = {{xLow, 0, -5}, {5, 0, -5}, {5, 0, 5}, {xLow, 0, 5}};
        m.colours = {{b, g, r, 0}, {b, g, r, 0}, {b, g, r, 0}, {b, g, r, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}};
        m.polygons = {{0, 1, 2}, {0, 2, 3}};
        return testw::PFile(m);
    }

    bool Near(QRgb pixel, int r, int g, int b)
    {
        return std::abs(qRed(pixel) - r) <= 3 && std::abs(qGreen(pixel) - g) <= 3 && std::abs(qBlue(pixel) - b) <= 3;
    }
}

class PreviewGlTest : public QObject
{
    Q_OBJECT

private slots:
    void oneFrameShowsTheModelOverTheClearColour()
    {
        TfrmLGP3dPrev win;
        if (!win.HasGL())
            QSKIP("No OpenGL context can be made on this display.");
        win.Timer1->stop();
        TMemoryStream stream(Square(205, 0, 0));
        win.Model = std::make_unique<TFF7PPart>(stream);
        win.resize(320, 240);
        win.show();
        QVERIFY(QTest::qWaitForWindowExposed(&win));
        PinOpenGLDriver();
        const QImage frame = win.Surface()->grabFramebuffer();
        QVERIFY(!frame.isNull());
        const int w = frame.width(), h = frame.height();
        // Camera at (0, -30, 0) looking at the origin with +x up: screen right is
        // -z. The square, doubled and moved by -4 in z (z from -14 to 6), spans a
        // third of the height each way and -0.15 to 0.35 of the half-width; the
        // corners show the clear colour (0, 0.5, 0.2).
        for (QPoint corner : {QPoint(2, 2), QPoint(w - 3, 2), QPoint(2, h - 3), QPoint(w - 3, h - 3)})
            QVERIFY2(Near(frame.pixel(corner), 0, 128, 51), qPrintable(QString::number(frame.pixel(corner), 16)));
        QVERIFY2(Near(frame.pixel(w / 2 + w / 8, h / 2), 255, 0, 0),
                 qPrintable(QString::number(frame.pixel(w / 2 + w / 8, h / 2), 16)));
        // A quarter left of centre (world z near 10) is beyond the square.
        QVERIFY(Near(frame.pixel(w / 2 - w / 8, h / 2), 0, 128, 51));

        // Turning the model 180 degrees about y (a1 of the Free rotate record)
        // mirrors it to the left of centre.
        win.View.Views[ModeFreeRotate].Rotation[1] = 180;
        const QImage turned = win.Surface()->grabFramebuffer();
        QVERIFY(Near(turned.pixel(w / 2 - w / 8, h / 2), 255, 0, 0));
        QVERIFY(Near(turned.pixel(w / 2 + w / 4, h / 2), 0, 128, 51));

        // The screen's up direction is the model's +x: a square on x >= 0 only
        // fills the upper half.
        win.View.Views[ModeFreeRotate].Rotation[1] = 0;
        TMemoryStream upper(Square(205, 0, 0, 0));
        win.Model = std::make_unique<TFF7PPart>(upper);
        const QImage half = win.Surface()->grabFramebuffer();
        QVERIFY(Near(half.pixel(w / 2 + w / 8, h / 2 - h / 8), 255, 0, 0));
        QVERIFY(Near(half.pixel(w / 2 + w / 8, h / 2 + h / 8), 0, 128, 51));

        // Any window shape keeps the 4/3 projection: the picture stretches, so
        // the square covers the same fractions of a wide frame.
        TMemoryStream whole(Square(205, 0, 0));
        win.Model = std::make_unique<TFF7PPart>(whole);
        win.resize(480, 160);
        QTest::qWait(50);
        const QImage wide = win.Surface()->grabFramebuffer();
        const int ww = wide.width(), wh = wide.height();
        QCOMPARE(ww, 480 * int(win.Surface()->devicePixelRatio()));
        QVERIFY(Near(wide.pixel(ww / 2 + 3 * ww / 20, wh / 2 - wh / 8), 255, 0, 0)); // 0.3 right, 0.25 up
        QVERIFY(Near(wide.pixel(ww / 2 + 3 * ww / 10, wh / 2), 0, 128, 51));         // 0.6 right: past it
        QVERIFY(Near(wide.pixel(ww / 2 + ww / 10, wh / 4), 0, 128, 51));             // 0.5 up: above it

        // Without a model only the background is drawn.
        win.Model.reset();
        const QImage empty = win.Surface()->grabFramebuffer();
        QVERIFY(Near(empty.pixel(w / 2 + w / 8, h / 2), 0, 128, 51));
    }

    void screenshots()
    {
        const char* folder = std::getenv("TARROWIN_SCREENSHOTS");
        if (!folder || !*folder)
            QSKIP("TARROWIN_SCREENSHOTS is not set.");
        const QString out = QString::fromLocal8Bit(folder) + "/";
        TempFolder dir("PreviewGlTest.screenshots");
        qputenv("TMPDIR", dir.path().string().c_str());
        const auto files = demo::Files();
        testlgp::Save(dir / "DEMO.LGP", testlgp::Write(testlgp::ArchiveOf(files)));
        TLGPFile archive((dir / "DEMO.LGP").string(), true);
        Platform::Ui::ScriptedPrompter prompter;
        Platform::Ui::ScopedPrompter scope(prompter);
        TPreviewDispatcher dispatcher(nullptr);
        auto index = [&](const std::string& name) { return archive.FindEntry(name); };

        for (const char* name : {"DEMO8.TEX", "DEMO16.TEX", "DEMO.HRC", "README.TXT"})
        {
            // Text and trees keep the window's size: give them room.
            if (!QString(name).endsWith(".TEX"))
                dispatcher.TexView().resize(290, 218);
            dispatcher.Preview(archive, index(name));
            QVERIFY(QTest::qWaitForWindowExposed(&dispatcher.TexView()));
            QTest::qWait(100);
            QVERIFY(dispatcher.TexView().grab().save(out + "preview-" + QString(name).toLower() + ".png"));
        }
        dispatcher.Preview(archive, index("HIPA.P"));
        TfrmLGP3dPrev* win = dispatcher.Preview3D();
        QVERIFY(win);
        QVERIFY(QTest::qWaitForWindowExposed(win));
        win->View.Views[ModeFreeRotate].Rotation = {30, 20, 0};
        win->Timer1Timer();
        QTest::qWait(200);
        QVERIFY(win->grab().save(out + "preview-3d.png"));
        dispatcher.Shutdown();
        qunsetenv("TMPDIR");
    }
};

int main(int argc, char** argv)
{
    // Without a display the xcb platform cannot start: report a skip.
    const char* display = std::getenv("DISPLAY");
    if (qEnvironmentVariable("QT_QPA_PLATFORM") == "xcb" && (!display || !*display))
    {
        std::puts("SKIP: no X display for the OpenGL frame test");
        return 77;
    }
    QApplication app(argc, argv);
    PreviewGlTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_preview_gl.moc"
