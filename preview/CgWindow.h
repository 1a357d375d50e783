#pragma once
// TCGForm: a window that draws with OpenGL 1.1 (compatibility profile) on a
// surface filling its client area. Where no OpenGL context can be made (no
// display, a platform without OpenGL) the window shows a text saying so
// instead, and every drawing hook stays uncalled.
//
// The surface asks for double-buffered RGBA with a 16-bit depth buffer; the
// toolkit picks the closest format, so no colour-index palette is ever built.
// No floating-point control word is set either: on x86-64 the arithmetic runs
// on SSE with every floating-point exception masked by default, so drawing
// with infinities or NaNs yields those values and never traps.

#include <QWidget>

class QLabel;
class QOpenGLWidget;

class TCGForm : public QWidget
{
    Q_OBJECT

public:
    explicit TCGForm(QWidget* parent = nullptr);
    ~TCGForm() override;

    // Makes the drawing surface (or the "no OpenGL" text); once.
    void InitGL();
    // Makes the surface's context current, when there is one.
    void MakeCurrent();
    // Asks for the next frame; the surface swaps its buffers itself.
    void SwapGLBuffers();
    // Drops the context and the surface.
    void ReleaseGL();

    bool HasGL() const { return mSurface != nullptr; }
    QOpenGLWidget* Surface() const { return mSurface; }
    QLabel* NoGLLabel() const { return mNoGL; }

    // True when an OpenGL context can be made on this display. The offscreen
    // and minimal platforms cannot host the surface and count as none.
    static bool OpenGLAvailable();
    // Tests: act as if no OpenGL context could be made.
    static void DisableOpenGL(bool disable);

    static constexpr const char* NoOpenGLText =
        "OpenGL is not available on this display, so the 3D preview cannot be drawn.";

protected:
    // With the context current: once when made, on each resize, on each frame.
    virtual void GLCreate() {}
    virtual void GLResize(int width, int height) { (void)width, (void)height; }
    virtual void GLPaint() {}

    void resizeEvent(QResizeEvent* event) override;

private:
    class TSurface;
    QOpenGLWidget* mSurface = nullptr;
    QLabel* mNoGL = nullptr;
};
