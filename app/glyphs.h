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

    // The window icon: the installed "tarrowin" icon of the icon theme, else
    // the same pictures built into the program.
    QIcon programIcon();

    // The About box's picture, size x size pixels.
    QPixmap aboutPicture(int size);
}
