#include "preview/previewkind.h"
#include "preview/view3d.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(PreviewKind, extensionsAreUpperCasedAndNumberedPartsAreModels)
{
    for (const char* name : {"FIELD.TEX", "field.tex", "Field.Tex"})
        EXPECT_EQ(PreviewKind(name), ".TEX") << name;
    for (const char* name : {"X.P", "X.P0", "X.P00", "X.P1", "X.P12A", "X.P123", "X.P-2", "x.p01", "X.P$A"})
        EXPECT_EQ(PreviewKind(name), ".P") << name;
    EXPECT_EQ(PreviewKind("X.PAL"), ".PAL");
    EXPECT_EQ(PreviewKind("X.P-1"), ".P-1");
    EXPECT_EQ(PreviewKind("X.PXY"), ".PXY");
    EXPECT_EQ(PreviewKind("NOEXT"), "");
    EXPECT_EQ(PreviewKind("A.B.hrc"), ".HRC");
    EXPECT_EQ(PreviewKind("DIR.X\\FILE"), "");
}

TEST(PreviewKind, onlySixKindsHaveViewers)
{
    for (const char* kind : {".RSD", ".TXT", ".HRC", ".P", ".MID", ".TEX"})
        EXPECT_TRUE(IsKnownPreviewKind(kind)) << kind;
    for (const char* kind : {"", ".PAL", ".P-1", ".BIN", ".MIDI", ".tex"})
        EXPECT_FALSE(IsKnownPreviewKind(kind)) << kind;
}

TEST(TView3DState, spinTurnsTheFreeRotateRecordOneDegreePerTick)
{
    TView3DState s;
    for (int i = 0; i < 20; ++i)
        s.TimerTick(ModeSpin);
    EXPECT_EQ(s.Views[ModeFreeRotate].Rotation[0], 20.0f);
    s.TimerTick(ModeFreeRotate);
    s.TimerTick(ModeFreeMove);
    EXPECT_EQ(s.Views[ModeFreeRotate].Rotation[0], 20.0f);
    EXPECT_EQ(s.Views[ModeSpin], TViewRecord{});
}

TEST(TView3DState, rightDragTurnsByPixelDifferences)
{
    TView3DState s;
    s.MouseDown(TMouseButton::Right, 100, 50);
    s.MouseMove(ModeFreeRotate, 90, 50); // 10 pixels to the left
    EXPECT_EQ(s.Views[ModeFreeRotate].Rotation[0], 10.0f);
    s.MouseMove(ModeFreeRotate, 90, 53); // 3 down
    EXPECT_EQ(s.Views[ModeFreeRotate].Rotation[1], -3.0f);
    EXPECT_EQ(s.Views[ModeFreeRotate].Translation, (std::array<float, 3>{0, 0, 0}));
    EXPECT_EQ(s.LastX, 90);
    EXPECT_EQ(s.LastY, 53);
}

TEST(TView3DState, leftDragMovesAlongTheViewDirectionAndRolls)
{
    TView3DState s;
    s.MouseDown(TMouseButton::Left, 10, 30);
    s.MouseMove(ModeFreeMove, 10, 20); // 10 up
    EXPECT_EQ(s.Views[ModeFreeMove].Translation, (std::array<float, 3>{0, 0, 10}));

    // With a0 = 90 and a1 = 30 the move splits between p0, p1 and p2.
    TView3DState t;
    t.Views[ModeFreeMove].Rotation = {90, 30, 0};
    t.MouseDown(TMouseButton::Left, 0, 10);
    t.MouseMove(ModeFreeMove, 4, 0); // dx = -4, dy = 10
    const auto& p = t.Views[ModeFreeMove].Translation;
    EXPECT_NEAR(p[2], 0.0, 1e-5);
    EXPECT_FLOAT_EQ(p[1], 5.0f);
    EXPECT_FLOAT_EQ(p[0], float(-std::cos(30.0 * 3.14159265358979323846 / 180.0) * 10.0));
    EXPECT_EQ(t.Views[ModeFreeMove].Rotation[2], -4.0f);
}

TEST(TView3DState, buttonsStartSwitchAndEndDrags)
{
    TView3DState s;
    s.MouseDown(TMouseButton::Middle, 5, 5);
    EXPECT_EQ(s.DragState, TDragState::None);
    s.MouseMove(ModeFreeRotate, 0, 0);
    EXPECT_EQ(s.Views[ModeFreeRotate], TViewRecord{});
    EXPECT_EQ(s.LastX, 0); // moves without a drag still keep the position
    s.MouseDown(TMouseButton::Left, 0, 0);
    s.MouseDown(TMouseButton::Right, 0, 0);
    EXPECT_EQ(s.DragState, TDragState::Right);
    s.MouseDown(TMouseButton::Middle, 0, 0);
    EXPECT_EQ(s.DragState, TDragState::Right);
    s.MouseUp();
    EXPECT_EQ(s.DragState, TDragState::None);

    s.Views[ModeSpin].Rotation = {1, 2, 3};
    s.Views[ModeFreeMove].Translation = {4, 5, 6};
    s.MouseDown(TMouseButton::Left, 1, 1);
    s.Reset();
    EXPECT_EQ(s.DragState, TDragState::None);
    for (const TViewRecord& r : s.Views)
        EXPECT_EQ(r, TViewRecord{});
}
