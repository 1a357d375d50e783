#include "view3d.h"

#include <cmath>
#include <numbers>

void TView3DState::Reset()
{
    DragState = TDragState::None;
    Views = {};
}

void TView3DState::TimerTick(int mode)
{
    if (mode == ModeSpin)
        Views[ModeFreeRotate].Rotation[0] += 1.0f;
}

void TView3DState::MouseDown(TMouseButton button, std::int32_t x, std::int32_t y)
{
    if (button == TMouseButton::Left)
        DragState = TDragState::Left;
    else if (button == TMouseButton::Right)
        DragState = TDragState::Right;
    LastX = x;
    LastY = y;
}

void TView3DState::MouseMove(int mode, std::int32_t x, std::int32_t y)
{
    if (mode >= 0 && mode < int(Views.size()))
    {
        TViewRecord& r = Views[std::size_t(mode)];
        // Differences in 64 bits: positions far apart cannot overflow.
        const double dx = double(std::int64_t(LastX) - x);
        const double dy = double(std::int64_t(LastY) - y);
        // Sums are worked in double and stored as float, one field at a time.
        if (DragState == TDragState::Right)
        {
            r.Rotation[0] = float(double(r.Rotation[0]) + dx);
            r.Rotation[1] = float(double(r.Rotation[1]) + dy);
        }
        else if (DragState == TDragState::Left)
        {
            const double theta = double(r.Rotation[0]) * std::numbers::pi / 180.0;
            const double phi = double(r.Rotation[1]) * std::numbers::pi / 180.0;
            r.Translation[2] = float(double(r.Translation[2]) + std::cos(phi) * std::cos(theta) * dy);
            r.Translation[1] = float(double(r.Translation[1]) + std::sin(phi) * dy);
            r.Translation[0] = float(double(r.Translation[0]) - std::cos(phi) * std::sin(theta) * dy);
            r.Rotation[2] = float(double(r.Rotation[2]) + dx);
        }
    }
    LastX = x;
    LastY = y;
}

void TView3DState::MouseUp() { DragState = TDragState::None; }
