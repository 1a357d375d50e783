#pragma once
// The 3D preview window ("3d Preview"): one polygon model turned by a 50 ms
// timer ("Spin") or by mouse drags ("Free rotate", "Free move").

#include "preview/CgWindow.h"
#include "preview/ff7pmodel.h"
#include "preview/view3d.h"

#include <memory>

class QComboBox;
class QTimer;

class TfrmLGP3dPrev : public TCGForm
{
    Q_OBJECT

public:
    explicit TfrmLGP3dPrev(QWidget* parent = nullptr);
    ~TfrmLGP3dPrev() override;

    // The model on show, owned by the window; none draws only the background.
    std::unique_ptr<TFF7PPart> Model;

    QComboBox* cmbMode;
    QTimer* Timer1;

    // The one view state; public so the dispatcher's tests can read it.
    TView3DState View;

    void Timer1Timer();
    int Mode() const;

    // The projection every resize sets: 90 degrees, 4/3, planes at 1 and 10000.
    static constexpr double FieldOfView = 90.0;
    static constexpr double Aspect = 4.0 / 3.0;
    static constexpr double NearPlane = 1.0;
    static constexpr double FarPlane = 10000.0;
    // Clear colour (red, green, blue).
    static constexpr float ClearRed = 0.0f, ClearGreen = 0.5f, ClearBlue = 0.2f;

protected:
    void GLCreate() override;
    void GLResize(int width, int height) override;
    void GLPaint() override;

    void showEvent(QShowEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};
