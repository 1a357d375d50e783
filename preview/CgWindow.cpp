#include "CgWindow.h"

#include <QGuiApplication>
#include <QLabel>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLWidget>
#include <QResizeEvent>
#include <QSurfaceFormat>

namespace
{
    bool gOpenGLDisabled = false;

    // Double-buffered RGBA with a 16-bit depth buffer and no stencil, in a
    // profile that keeps the fixed-function pipeline (glBegin, matrices, GLU).
    QSurfaceFormat PreviewFormat()
    {
        QSurfaceFormat format;
        format.setRenderableType(QSurfaceFormat::OpenGL);
        format.setProfile(QSurfaceFormat::CompatibilityProfile);
        format.setVersion(2, 1);
        format.setSwapBehavior(QSurfaceFormat::DoubleBuffer);
        format.setDepthBufferSize(16);
        format.setStencilBufferSize(0);
        return format;
    }
}

class TCGForm::TSurface : public QOpenGLWidget
{
public:
    explicit TSurface(TCGForm* owner)
        : QOpenGLWidget(owner)
        , mOwner(owner)
    {
        setFormat(PreviewFormat());
    }

protected:
    void initializeGL() override { mOwner->GLCreate(); }
    void resizeGL(int w, int h) override { mOwner->GLResize(w, h); }
    void paintGL() override { mOwner->GLPaint(); }

private:
    TCGForm* mOwner;
};

TCGForm::TCGForm(QWidget* parent)
    : QWidget(parent)
{
}

TCGForm::~TCGForm() { ReleaseGL(); }

bool TCGForm::OpenGLAvailable()
{
    if (gOpenGLDisabled)
        return false;
    const QString platform = QGuiApplication::platformName();
    if (platform == "offscreen" || platform == "minimal")
        return false;
    QOpenGLContext context;
    context.setFormat(PreviewFormat());
    if (!context.create())
        return false;
    QOffscreenSurface surface;
    surface.setFormat(context.format());
    surface.create();
    if (!surface.isValid() || !context.makeCurrent(&surface))
        return false;
    context.doneCurrent();
    return true;
}

void TCGForm::DisableOpenGL(bool disable) { gOpenGLDisabled = disable; }

void TCGForm::InitGL()
{
    if (mSurface || mNoGL)
        return;
    if (OpenGLAvailable())
    {
        mSurface = new TSurface(this);
        mSurface->setObjectName("glSurface");
        mSurface->setGeometry(rect());
        mSurface->lower();
        mSurface->show();
    }
    else
    {
        mNoGL = new QLabel(NoOpenGLText, this);
        mNoGL->setObjectName("lblNoOpenGL");
        mNoGL->setAlignment(Qt::AlignCenter);
        mNoGL->setWordWrap(true);
        mNoGL->setGeometry(rect());
        mNoGL->lower();
        mNoGL->show();
    }
}

void TCGForm::MakeCurrent()
{
    if (mSurface && mSurface->context())
        mSurface->makeCurrent();
}

void TCGForm::SwapGLBuffers()
{
    if (mSurface)
        mSurface->update();
}

void TCGForm::ReleaseGL()
{
    delete mSurface;
    mSurface = nullptr;
}

void TCGForm::resizeEvent(QResizeEvent* event)
{
    if (mSurface)
        mSurface->setGeometry(QRect(QPoint(0, 0), event->size()));
    if (mNoGL)
        mNoGL->setGeometry(QRect(QPoint(0, 0), event->size()));
    QWidget::resizeEvent(event);
}
