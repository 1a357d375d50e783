#pragma once
// The 3D window's view state and its arithmetic, apart from any OpenGL
// context so it can be checked on its own.

#include <array>
#include <cstdint>

struct TViewRecord
{
    std::array<float, 3> Rotation{};    // a0, a1, a2 in degrees
    std::array<float, 3> Translation{}; // p0, p1, p2
    bool operator==(const TViewRecord&) const = default;
};

enum class TDragState
{
    None,
    Left,
    Right,
};

enum class TMouseButton
{
    Left,
    Right,
    Middle,
};

// Modes, in the order of the window's mode list.
constexpr int ModeSpin = 0;
constexpr int ModeFreeRotate = 1;
constexpr int ModeFreeMove = 2;

// One set for the one window. Drawing takes the model's rotation from the
// Free rotate record and the camera from the Free move record; the Spin record
// changes on drags but shows nothing.
struct TView3DState
{
    std::array<TViewRecord, 3> Views{};
    TDragState DragState = TDragState::None;
    std::int32_t LastX = 0;
    std::int32_t LastY = 0;

    // Each showing: no drag, every angle and translation 0.
    void Reset();
    // A timer tick: in Spin mode the model turns 1 degree about x.
    void TimerTick(int mode);
    // Left and right presses start their drag (a press during a drag switches
    // it); any other button keeps the drag as it is. The position is kept.
    void MouseDown(TMouseButton button, std::int32_t x, std::int32_t y);
    // Applies the drag to the record of mode, then keeps the position.
    void MouseMove(int mode, std::int32_t x, std::int32_t y);
    void MouseUp();
};
