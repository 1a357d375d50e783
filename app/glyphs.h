#pragma once
// The toolbar glyphs, the program icon and the About picture, all drawn by
// this program's own code so no image files are needed.

#include <QIcon>
#include <QPixmap>

namespace Tarrowin::Glyphs
{
    enum class Glyph
    {
        Create,
        Open,
        Extract,
        ExtractAll,
        Analyse,
        Repair,
        Pack,
        Advanced,
        CreatePatch,
        Convert,
        Apply,
    };

    // A 16 x 16 glyph. withDisabledImage adds a drawn grey image for the
    // disabled state (the Advanced and Patches buttons carry one).
    QIcon toolbarIcon(Glyph glyph, bool withDisabledImage);

    // The window icon: an archive box with a tag, at 16, 32 and 48 pixels.
    QIcon programIcon();

    // The About box's picture, size x size pixels.
    QPixmap aboutPicture(int size);
}
