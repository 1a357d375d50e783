#include "toolbarlayout.h"

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>
#include <QMainWindow>
#include <QToolBar>

#include <algorithm>
#include <map>

namespace Tarrowin::ToolbarLayout
{
    namespace
    {
        // The record QMainWindow::saveState writes for a window without dock
        // widgets:
        //   int32 0xff, int32 version, uint8 0xfd, int32 dock widget areas (0),
        //   QSize central area, int32 x4 corners,
        //   uint8 0xfc, int32 line count, per line: int32 area, int32 items,
        //     per item: QString object name, uint8 (1 shown | 2 vertical),
        //     int32 offset, int32 preferred size, uint32 geom0, uint32 geom1.
        // geom0 bit 0 marks a floating toolbar; then geom0 >> 1 holds
        // x + 0x7fff (low 16 bits) and the width, geom1 y + 0x7fff and the height.
        constexpr int VersionMarker = 0xff;
        constexpr quint8 DockWidgetStateMarker = 0xfd;
        constexpr quint8 ToolBarStateMarkerEx = 0xfc;
        // Index of each area in the record.
        constexpr int LeftDock = 0;
        constexpr int TopDock = 2;
        constexpr int BottomDock = 3;

        struct Item
        {
            QString name;
            quint8 shown = 1;
            qint32 pos = 0;
            qint32 preferred = -1;
            quint32 geom0 = 0;
            quint32 geom1 = 0;
            // Set while rebuilding.
            int row = 0;
        };

        struct Line
        {
            qint32 dock = TopDock;
            std::vector<Item> items;
        };

        struct Record
        {
            qint32 marker = 0, version = 0;
            quint8 dockMarker = 0;
            qint32 dockCount = 0;
            QSize central;
            qint32 corners[4] = {};
            std::vector<Line> lines;
        };

        bool parse(const QByteArray& bytes, Record& record)
        {
            QDataStream in(bytes);
            in >> record.marker >> record.version >> record.dockMarker >> record.dockCount;
            if (record.marker != VersionMarker || record.dockMarker != DockWidgetStateMarker || record.dockCount != 0)
                return false;
            in >> record.central >> record.corners[0] >> record.corners[1] >> record.corners[2] >> record.corners[3];
            quint8 toolbarMarker = 0;
            qint32 lineCount = 0;
            in >> toolbarMarker >> lineCount;
            if (toolbarMarker != ToolBarStateMarkerEx || lineCount < 0 || lineCount > 64)
                return false;
            for (int i = 0; i < lineCount; ++i)
            {
                Line line;
                qint32 count = 0;
                in >> line.dock >> count;
                if (count < 0 || count > 64)
                    return false;
                for (int k = 0; k < count; ++k)
                {
                    Item item;
                    in >> item.name >> item.shown >> item.pos >> item.preferred >> item.geom0 >> item.geom1;
                    line.items.push_back(item);
                }
                record.lines.push_back(std::move(line));
            }
            return in.status() == QDataStream::Ok && in.atEnd();
        }

        QByteArray serialize(const Record& record)
        {
            QByteArray bytes;
            QDataStream out(&bytes, QIODevice::WriteOnly);
            out << record.marker << record.version << record.dockMarker << record.dockCount << record.central
                << record.corners[0] << record.corners[1] << record.corners[2] << record.corners[3];
            out << ToolBarStateMarkerEx << qint32(record.lines.size());
            for (const Line& line : record.lines)
            {
                out << line.dock << qint32(line.items.size());
                for (const Item& item : line.items)
                    out << item.name << item.shown << item.pos << item.preferred << item.geom0 << item.geom1;
            }
            return bytes;
        }

        bool floating(const Item& item) { return item.geom0 & 1; }

        QPoint floatPosition(const Item& item)
        {
            const int x = int((item.geom0 >> 1) & 0xffff) - 0x7fff;
            const int y = int(item.geom1 & 0xffff) - 0x7fff;
            return {x, y};
        }

        void setFloating(Item& item, QPoint at, QSize size)
        {
            const quint32 x = quint32(std::clamp(at.x(), -0x7fff, 0x8000) + 0x7fff) & 0xffff;
            const quint32 y = quint32(std::clamp(at.y(), -0x7fff, 0x8000) + 0x7fff) & 0xffff;
            const quint32 w = quint32(std::clamp(size.width(), 0, 0x7fff));
            const quint32 h = quint32(std::clamp(size.height(), 0, 0xffff));
            item.geom0 = ((w << 16 | x) << 1) | 1;
            item.geom1 = h << 16 | y;
        }

        int recordDock(int qtArea)
        {
            switch (qtArea)
            {
            case Qt::LeftToolBarArea: return LeftDock;
            case Qt::BottomToolBarArea: return BottomDock;
            default: return TopDock;
            }
        }

        QString recordDockName(int dock)
        {
            switch (dock)
            {
            case LeftDock: return "dockLeft";
            case TopDock: return "dockTop";
            case BottomDock: return "dockBottom";
            default: return {};
            }
        }
    }

    QString dockName(int qtArea)
    {
        switch (qtArea)
        {
        case Qt::TopToolBarArea: return "dockTop";
        case Qt::LeftToolBarArea: return "dockLeft";
        case Qt::BottomToolBarArea: return "dockBottom";
        default: return {};
        }
    }

    int dockArea(const QString& name)
    {
        if (name == "dockTop")
            return Qt::TopToolBarArea;
        if (name == "dockLeft")
            return Qt::LeftToolBarArea;
        if (name == "dockBottom")
            return Qt::BottomToolBarArea;
        return 0;
    }

    TToolbarPlace read(QMainWindow& window, QToolBar& toolbar, QPoint floatWhenDocked)
    {
        TToolbarPlace place;
        place.Visible = !toolbar.isHidden();
        place.Float = floatWhenDocked;
        place.DockedTo = dockName(window.toolBarArea(&toolbar));
        place.LastDock = place.DockedTo;
        Record record;
        if (!parse(window.saveState(), record))
            return place;
        std::map<int, int> rowsSeen;
        for (const Line& line : record.lines)
        {
            const int row = rowsSeen[line.dock]++;
            for (const Item& item : line.items)
            {
                if (item.name != toolbar.objectName())
                    continue;
                place.LastDock = recordDockName(line.dock);
                place.DockRow = row;
                place.DockPos = item.pos;
                if (toolbar.isWindow())
                {
                    place.DockedTo = "+";
                    place.Float = toolbar.pos();
                }
                else
                {
                    place.DockedTo = place.LastDock;
                    if (floating(item))
                        place.Float = floatPosition(item);
                }
                return place;
            }
        }
        return place;
    }

    bool apply(QMainWindow& window, const std::vector<Assignment>& places)
    {
        Record record;
        if (!parse(window.saveState(), record))
            return false;

        // Every item with its dock and row; listed toolbars get their new place.
        std::map<int, std::vector<Item>> byDock;
        std::map<int, int> rowsSeen;
        for (const Line& line : record.lines)
        {
            const int row = rowsSeen[line.dock]++;
            for (Item item : line.items)
            {
                const auto assigned = std::find_if(places.begin(), places.end(), [&](const Assignment& a) {
                    return a.toolbar->objectName() == item.name;
                });
                int dock = line.dock;
                item.row = row;
                if (assigned != places.end())
                {
                    const TToolbarPlace& place = assigned->place;
                    const bool floats = place.DockedTo == "+";
                    const QString target = floats ? place.LastDock : place.DockedTo;
                    if (const int area = dockArea(target))
                        dock = recordDock(area);
                    item.row = std::clamp(place.DockRow, 0, 64);
                    item.pos = std::clamp(place.DockPos, 0, 0x7fff);
                    item.shown = place.Visible ? 1 : 0;
                    // Floating toolbars are horizontal, whatever their last dock.
                    if (dock == LeftDock && !floats)
                        item.shown |= 2;
                    if (floats)
                        setFloating(item, place.Float, assigned->toolbar->sizeHint());
                    else
                        item.geom0 = item.geom1 = 0;
                }
                byDock[dock].push_back(item);
            }
        }

        // Rows are renumbered densely in their order; within a row, toolbars
        // are ordered by offset.
        record.lines.clear();
        for (auto& [dock, items] : byDock)
        {
            std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
                return a.row != b.row ? a.row < b.row : a.pos < b.pos;
            });
            for (std::size_t i = 0; i < items.size(); ++i)
            {
                if (i == 0 || items[i].row != items[i - 1].row)
                    record.lines.push_back(Line{dock, {}});
                record.lines.back().items.push_back(items[i]);
            }
        }
        return window.restoreState(serialize(record));
    }
}
