#include "lgp3dpreview.h"

#include <QComboBox>
#include <QMouseEvent>
#include <QOpenGLWidget>
#include <QTimer>

#include <GL/gl.h>
#include <GL/glu.h>

namespace
{
    void SetProjection()
    {
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        gluPerspective(TfrmLGP3dPrev::FieldOfView, TfrmLGP3dPrev::Aspect, TfrmLGP3dPrev::NearPlane,
                       TfrmLGP3dPrev::FarPlane);
        glMatrixMode(GL_MODELVIEW);
    }
}

TfrmLGP3dPrev::TfrmLGP3dPrev(QWidget* parent)
    : TCGForm(parent)
{
    setObjectName("frmLGP3dPrev");
    setWindowFlags(Qt::Tool | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle("3d Preview");
    resize(288, 240);

    InitGL();
    cmbMode = new QComboBox(this);
    cmbMode->setObjectName("cmbMode");
    cmbMode->addItems({"Spin", "Free rotate", "Free move"});
    cmbMode->setGeometry(0, 0, 145, 21);
    cmbMode->setCurrentIndex(ModeFreeRotate);
    cmbMode->raise();

    Timer1 = new QTimer(this);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(50);
    connect(Timer1, &QTimer::timeout, this, &TfrmLGP3dPrev::Timer1Timer);
    Timer1->start();
}

TfrmLGP3dPrev::~TfrmLGP3dPrev()
{
    // The surface goes before the model it draws.
    ReleaseGL();
}

int TfrmLGP3dPrev::Mode() const { return cmbMode->currentIndex(); }

void TfrmLGP3dPrev::GLCreate()
{
    SetProjection();
    glEnable(GL_DEPTH_TEST);
    glDisable(GL_DITHER);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_LIGHTING);
}

void TfrmLGP3dPrev::GLResize(int width, int height)
{
    // The surface's own pixels: the picture fills the client area, stretched
    // to its shape since the projection keeps 4/3.
    const qreal ratio = Surface() ? Surface()->devicePixelRatioF() : 1.0;
    glViewport(0, 0, GLsizei(width * ratio), GLsizei(height * ratio));
    SetProjection();
}

void TfrmLGP3dPrev::GLPaint()
{
    const TViewRecord& camera = View.Views[ModeFreeMove];
    const TViewRecord& turn = View.Views[ModeFreeRotate];
    glClearColor(ClearRed, ClearGreen, ClearBlue, 1.0f);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    // The camera turns its a1 about x before its a0 about y ...
    glRotatef(camera.Rotation[1], 1, 0, 0);
    glRotatef(camera.Rotation[0], 0, 1, 0);
    glRotatef(camera.Rotation[2], 0, 0, 1);
    glTranslatef(camera.Translation[0], camera.Translation[1], camera.Translation[2]);
    gluLookAt(0, -30, 0, 0, 0, 0, 1, 0, 0);
    // ... while the model turns a0 about x first.
    glRotatef(turn.Rotation[0], 1, 0, 0);
    glRotatef(turn.Rotation[1], 0, 1, 0);
    glRotatef(turn.Rotation[2], 0, 0, 1);
    glTranslatef(0, 0, -4);
    glScalef(2, 2, 2);
    if (Model)
        Model->Draw();
}

void TfrmLGP3dPrev::Timer1Timer()
{
    View.TimerTick(Mode());
    SwapGLBuffers();
}

void TfrmLGP3dPrev::showEvent(QShowEvent* event)
{
    if (!event->spontaneous())
        View.Reset();
    TCGForm::showEvent(event);
}

namespace
{
    QPoint ClientPos(const QMouseEvent* event) { return event->position().toPoint(); }
}

void TfrmLGP3dPrev::mousePressEvent(QMouseEvent* event)
{
    const TMouseButton button = event->button() == Qt::LeftButton    ? TMouseButton::Left
                                : event->button() == Qt::RightButton ? TMouseButton::Right
                                                                     : TMouseButton::Middle;
    const QPoint at = ClientPos(event);
    View.MouseDown(button, at.x(), at.y());
}

void TfrmLGP3dPrev::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint at = ClientPos(event);
    View.MouseMove(Mode(), at.x(), at.y());
}

void TfrmLGP3dPrev::mouseReleaseEvent(QMouseEvent*) { View.MouseUp(); }
