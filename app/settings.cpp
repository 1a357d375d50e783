#include "settings.h"

#include "lgpviewer.h"

#include "platform/inifile.h"
#include "platform/paths.h"
#include "platform/qtext.h"

#include <climits>
#include <cstdlib>

#include <QAction>
#include <QGuiApplication>
#include <QScreen>
#include <QStringList>
#include <QToolBar>

namespace Tarrowin::Settings
{
    namespace
    {
        const char* const MainSection = "Tarrowin";
        // Kept beside the classic keys, in sections of their own: the
        // window's outer position and the archives opened last.
        const char* const WindowSection = "TarrowinWindow";
        const char* const RecentSection = "TarrowinRecent";
        const std::int32_t NoPosition = INT32_MIN;

        // A floating toolbar whose corner lies on no screen would be lost.
        QPoint onScreen(QPoint at)
        {
            const QPoint probe = at + QPoint(8, 8);
            for (const QScreen* s : QGuiApplication::screens())
                if (s->availableGeometry().contains(probe))
                    return at;
            const QScreen* primary = QGuiApplication::primaryScreen();
            const QRect area = primary ? primary->availableGeometry() : QRect(0, 0, 640, 480);
            return area.topLeft() + QPoint(40, 40);
        }
    }

    std::string SettingsFile() { return Platform::Paths::configDir() + "QUENWICK.INI"; }

    void Apply(TfrmLGPEditor& window)
    {
        using namespace Platform::Ini;
        const std::string file = SettingsFile();

        const bool flat = ReadBool(file, MainSection, "FlatBtn", false);
        window.mnuFlatbuttons->setChecked(flat);
        window.ApplyFlatOption(flat);
        const bool text = ReadBool(file, MainSection, "TextBtn", true);
        window.mnuText->setChecked(text);
        window.ApplyTextOption(text);
        window.mnuReadLengths->setChecked(ReadBool(file, MainSection, "ReadLengths", true));

        // Sizes that are no sizes at all give the designed ones; others are
        // kept within what a screen can show.
        int width = ReadInteger(file, MainSection, "Width", TfrmLGPEditor::DesignedWidth);
        int height = ReadInteger(file, MainSection, "Height", TfrmLGPEditor::DesignedHeight);
        if (width <= 0 || width > 16384)
            width = TfrmLGPEditor::DesignedWidth;
        if (height <= 0 || height > 16384)
            height = TfrmLGPEditor::DesignedHeight;
        window.SetOuterSize(QSize(width, height));
        const std::int32_t left = ReadInteger(file, WindowSection, "Left", NoPosition);
        const std::int32_t top = ReadInteger(file, WindowSection, "Top", NoPosition);
        if (left != NoPosition && top != NoPosition && std::abs(left) <= 65536 && std::abs(top) <= 65536)
            window.SetOuterPosition(QPoint(left, top));
        QStringList recent;
        for (int i = 1; i <= TfrmLGPEditor::RecentCount; ++i)
            recent << Platform::Text::fromUtf8(ReadString(file, RecentSection, "File" + std::to_string(i), ""));
        window.SetRecentFiles(recent);

        std::vector<ToolbarLayout::Assignment> places;
        for (int i = 0; i < 3; ++i)
        {
            QToolBar* bar = window.Toolbar(i);
            const std::string section = Platform::Text::toUtf8(bar->objectName());
            const int rev = ReadInteger(file, section, "Rev", 0);
            // Records of other revisions describe another layout.
            if (rev != 2 && rev != 3)
                continue;
            TToolbarPlace place = ToolbarLayout::read(window, *bar, window.RememberedFloat(i));
            place.Visible = ReadInteger(file, section, "Visible", place.Visible ? 1 : 0) != 0;
            const QString dockedTo = Platform::Text::fromUtf8(ReadString(file, section, "DockedTo", ""));
            if (dockedTo == "+")
            {
                place.DockedTo = "+";
                place.DockRow = ReadInteger(file, section, "DockRow", place.DockRow);
                place.DockPos = ReadInteger(file, section, "DockPos", place.DockPos);
                place.Float = onScreen(
                    QPoint(ReadInteger(file, section, "FloatLeft", 0), ReadInteger(file, section, "FloatTop", 0)));
                if (rev == 3)
                {
                    const QString lastDock = Platform::Text::fromUtf8(ReadString(file, section, "LastDock", ""));
                    if (ToolbarLayout::dockArea(lastDock))
                        place.LastDock = lastDock;
                }
            }
            else if (ToolbarLayout::dockArea(dockedTo))
            {
                place.DockedTo = dockedTo;
                place.LastDock = dockedTo;
                place.DockRow = ReadInteger(file, section, "DockRow", place.DockRow);
                place.DockPos = ReadInteger(file, section, "DockPos", place.DockPos);
                place.Float = onScreen(
                    QPoint(ReadInteger(file, section, "FloatLeft", 0), ReadInteger(file, section, "FloatTop", 0)));
                window.SetRememberedFloat(i, place.Float);
            }
            // An empty or unknown dock name leaves the place; "Visible" still applies.
            places.push_back({bar, place});
        }
        if (!places.empty())
            window.PlaceToolbars(places);
    }

    void Save(TfrmLGPEditor& window)
    {
        using namespace Platform::Ini;
        const std::string file = SettingsFile();
        for (int i = 0; i < 3; ++i)
        {
            QToolBar* bar = window.Toolbar(i);
            const std::string section = Platform::Text::toUtf8(bar->objectName());
            const TToolbarPlace place = ToolbarLayout::read(window, *bar, window.RememberedFloat(i));
            WriteInteger(file, section, "Rev", 3);
            WriteInteger(file, section, "Visible", place.Visible ? 1 : 0);
            WriteString(file, section, "DockedTo", Platform::Text::toUtf8(place.DockedTo));
            WriteString(file, section, "LastDock", Platform::Text::toUtf8(place.LastDock));
            WriteInteger(file, section, "DockRow", place.DockRow);
            WriteInteger(file, section, "DockPos", place.DockPos);
            WriteInteger(file, section, "FloatLeft", place.Float.x());
            WriteInteger(file, section, "FloatTop", place.Float.y());
        }
        const QSize outer = window.OuterSize();
        WriteBool(file, MainSection, "FlatBtn", window.mnuFlatbuttons->isChecked());
        WriteBool(file, MainSection, "TextBtn", window.mnuText->isChecked());
        WriteInteger(file, MainSection, "Width", outer.width());
        WriteInteger(file, MainSection, "Height", outer.height());
        WriteBool(file, MainSection, "ReadLengths", window.mnuReadLengths->isChecked());
        if (const std::optional<QPoint> at = window.OuterPosition())
        {
            WriteInteger(file, WindowSection, "Left", at->x());
            WriteInteger(file, WindowSection, "Top", at->y());
        }
        // Written once there is something to remember (or to forget).
        const QStringList recent = window.RecentFiles();
        if (!recent.isEmpty() || !ReadString(file, RecentSection, "File1", "").empty())
            for (int i = 0; i < TfrmLGPEditor::RecentCount; ++i)
                WriteString(file, RecentSection, "File" + std::to_string(i + 1),
                            i < recent.size() ? Platform::Text::toUtf8(recent[i]) : std::string());
    }
}
