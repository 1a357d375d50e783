#include "glyphs.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>

// The icon resources live in a static library: nothing would pull them in.
static void initIconResources()
{
    static bool done = false;
    if (!done)
        Q_INIT_RESOURCE(icons);
    done = true;
}

namespace Tarrowin::Glyphs
{
    namespace
    {
        const QColor Ink(30, 30, 60);
        const QColor Paper(250, 250, 240);
        const QColor Folder(230, 190, 70);
        const QColor Arrow(40, 140, 60);
        const QColor Accent(60, 110, 200);
        const QColor Warn(200, 70, 50);

        void page(QPainter& p, const QRectF& r)
        {
            QPainterPath path;
            path.moveTo(r.left(), r.top());
            path.lineTo(r.right() - 3, r.top());
            path.lineTo(r.right(), r.top() + 3);
            path.lineTo(r.right(), r.bottom());
            path.lineTo(r.left(), r.bottom());
            path.closeSubpath();
            p.setBrush(Paper);
            p.setPen(QPen(Ink, 1));
            p.drawPath(path);
        }

        void folder(QPainter& p, const QRectF& r)
        {
            p.setPen(QPen(Ink, 1));
            p.setBrush(Folder.darker(115));
            p.drawRect(QRectF(r.left(), r.top(), r.width() * 0.45, 3));
            p.setBrush(Folder);
            p.drawRect(QRectF(r.left(), r.top() + 2, r.width(), r.height() - 2));
        }

        void box(QPainter& p, const QRectF& r)
        {
            p.setPen(QPen(Ink, 1));
            p.setBrush(QColor(190, 140, 80));
            p.drawRect(r);
            p.setBrush(QColor(160, 110, 60));
            p.drawRect(QRectF(r.left(), r.top(), r.width(), 3));
        }

        void arrowDown(QPainter& p, QPointF top, double length, const QColor& color)
        {
            p.setPen(QPen(color, 2, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(top, top + QPointF(0, length));
            p.setBrush(color);
            p.setPen(Qt::NoPen);
            const QPointF tip = top + QPointF(0, length + 2);
            p.drawPolygon(QPolygonF({tip, tip + QPointF(-3.5, -4), tip + QPointF(3.5, -4)}));
        }

        void plus(QPainter& p, QPointF c, const QColor& color)
        {
            p.setPen(QPen(color, 2));
            p.drawLine(c + QPointF(-3, 0), c + QPointF(3, 0));
            p.drawLine(c + QPointF(0, -3), c + QPointF(0, 3));
        }

        void draw(QPainter& p, Glyph glyph)
        {
            p.setRenderHint(QPainter::Antialiasing);
            switch (glyph)
            {
            case Glyph::Create:
                box(p, QRectF(1.5, 6.5, 11, 8));
                plus(p, QPointF(12, 4), Arrow);
                break;
            case Glyph::Open:
                folder(p, QRectF(1.5, 4.5, 13, 9));
                p.setPen(QPen(Ink, 1));
                p.setBrush(Folder.lighter(120));
                p.drawPolygon(
                    QPolygonF({QPointF(3.5, 8.5), QPointF(15.5, 8.5), QPointF(13.5, 13.5), QPointF(1.5, 13.5)}));
                break;
            case Glyph::Extract:
                box(p, QRectF(1.5, 9.5, 13, 5));
                page(p, QRectF(5.5, 1.5, 6, 7));
                arrowDown(p, QPointF(8, 3), 5, Arrow);
                break;
            case Glyph::ExtractAll:
                box(p, QRectF(1.5, 10.5, 13, 4));
                arrowDown(p, QPointF(5, 1.5), 5, Arrow);
                arrowDown(p, QPointF(11, 1.5), 5, Arrow);
                break;
            case Glyph::Analyse:
                page(p, QRectF(1.5, 1.5, 9, 12));
                p.setPen(QPen(Accent, 2));
                p.setBrush(QColor(220, 235, 255));
                p.drawEllipse(QPointF(10, 9), 3.5, 3.5);
                p.drawLine(QPointF(12.5, 11.5), QPointF(15, 14.5));
                break;
            case Glyph::Repair:
            {
                p.setPen(QPen(QColor(110, 110, 120), 3, Qt::SolidLine, Qt::RoundCap));
                p.drawLine(QPointF(4, 12), QPointF(10, 6));
                p.setPen(QPen(QColor(110, 110, 120), 2));
                p.setBrush(Qt::NoBrush);
                p.drawArc(QRectF(8.5, 1.5, 6, 6), 200 * 16, 270 * 16);
                p.setPen(Qt::NoPen);
                p.setBrush(Warn);
                p.drawEllipse(QPointF(3.5, 12.5), 1.8, 1.8);
                break;
            }
            case Glyph::Pack:
                box(p, QRectF(3.5, 5.5, 9, 9));
                p.setPen(QPen(Ink, 1.5));
                p.drawLine(QPointF(1, 2), QPointF(4, 5));
                p.drawLine(QPointF(15, 2), QPointF(12, 5));
                break;
            case Glyph::Advanced:
            {
                p.setPen(QPen(Ink, 1));
                p.setBrush(QColor(150, 150, 170));
                QPainterPath gear;
                for (int i = 0; i < 16; ++i)
                {
                    const double angle = i * M_PI / 8;
                    const double radius = (i % 2 == 0) ? 7.0 : 5.0;
                    const QPointF pt(8 + radius * std::cos(angle), 8 + radius * std::sin(angle));
                    if (i == 0)
                        gear.moveTo(pt);
                    else
                        gear.lineTo(pt);
                }
                gear.closeSubpath();
                p.drawPath(gear);
                p.setBrush(Paper);
                p.drawEllipse(QPointF(8, 8), 2, 2);
                break;
            }
            case Glyph::CreatePatch:
                page(p, QRectF(1.5, 1.5, 10, 13));
                p.setPen(QPen(Accent, 1));
                for (int y = 5; y <= 11; y += 3)
                    p.drawLine(QPointF(3.5, y), QPointF(9.5, y));
                plus(p, QPointF(12, 12), Arrow);
                break;
            case Glyph::Convert:
                p.setPen(QPen(Accent, 2, Qt::SolidLine, Qt::RoundCap));
                p.drawLine(QPointF(2, 5), QPointF(12, 5));
                p.drawLine(QPointF(14, 11), QPointF(4, 11));
                p.setPen(Qt::NoPen);
                p.setBrush(Accent);
                p.drawPolygon(QPolygonF({QPointF(15, 5), QPointF(11, 1.5), QPointF(11, 8.5)}));
                p.drawPolygon(QPolygonF({QPointF(1, 11), QPointF(5, 7.5), QPointF(5, 14.5)}));
                break;
            case Glyph::Apply:
                page(p, QRectF(1.5, 1.5, 10, 13));
                p.setPen(QPen(Arrow, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
                p.setBrush(Qt::NoBrush);
                p.drawPolyline(QPolygonF({QPointF(6, 9), QPointF(9, 13), QPointF(15, 4)}));
                break;
            }
        }

        QPixmap render(Glyph glyph, int size)
        {
            QPixmap pixmap(size, size);
            pixmap.fill(Qt::transparent);
            QPainter p(&pixmap);
            p.scale(size / 16.0, size / 16.0);
            draw(p, glyph);
            return pixmap;
        }

        // The disabled image: the glyph's shape in one flat grey with a light
        // shadow, as disabled buttons look on the classic desktop.
        QPixmap greyed(const QPixmap& source)
        {
            QImage image = source.toImage().convertToFormat(QImage::Format_ARGB32);
            QImage result(image.size(), QImage::Format_ARGB32);
            result.fill(Qt::transparent);
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                {
                    const int alpha = qAlpha(image.pixel(x, y));
                    if (alpha > 60)
                    {
                        if (x + 1 < result.width() && y + 1 < result.height())
                            result.setPixel(x + 1, y + 1, qRgba(255, 255, 255, 255));
                    }
                }
            for (int y = 0; y < image.height(); ++y)
                for (int x = 0; x < image.width(); ++x)
                    if (qAlpha(image.pixel(x, y)) > 60)
                        result.setPixel(x, y, qRgba(128, 128, 128, 255));
            return QPixmap::fromImage(result);
        }
    }

    QIcon toolbarIcon(Glyph glyph, bool withDisabledImage)
    {
        QIcon icon;
        const QPixmap normal = render(glyph, 16);
        icon.addPixmap(normal, QIcon::Normal);
        icon.addPixmap(render(glyph, 32), QIcon::Normal);
        if (withDisabledImage)
        {
            icon.addPixmap(greyed(normal), QIcon::Disabled);
            icon.addPixmap(greyed(render(glyph, 32)), QIcon::Disabled);
        }
        return icon;
    }

    QIcon programIcon()
    {
        initIconResources();
        // The icon the package installs (its PNG sizes are built into the
        // program as well, so a program run from its build looks the same).
        QIcon embedded;
        for (const int size : {16, 22, 24, 32, 48, 64, 128, 256})
            embedded.addFile(QString(":/icons/%1x%1/tarrowin.png").arg(size), QSize(size, size));
        return QIcon::fromTheme("tarrowin", embedded);
    }

    QPixmap aboutPicture(int size)
    {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::black);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);

        // A night sky over a stack of archive boxes.
        QRadialGradient glow(QPointF(size * 0.5, size * 0.35), size * 0.55);
        glow.setColorAt(0, QColor(40, 70, 130));
        glow.setColorAt(1, Qt::black);
        p.fillRect(pixmap.rect(), glow);

        p.setPen(Qt::NoPen);
        unsigned seed = 2718281u;
        for (int i = 0; i < 60; ++i)
        {
            seed = seed * 1103515245u + 12345u;
            const double x = (seed >> 8) % unsigned(size);
            seed = seed * 1103515245u + 12345u;
            const double y = (seed >> 8) % unsigned(size * 0.55);
            p.setBrush(QColor(255, 255, 255, 90 + int(seed % 150)));
            p.drawEllipse(QPointF(x, y), 0.9, 0.9);
        }

        const double unit = size / 250.0;
        auto crate = [&](double x, double y, double w, double h, const QColor& c) {
            QLinearGradient g(QPointF(x, y), QPointF(x, y + h));
            g.setColorAt(0, c.lighter(125));
            g.setColorAt(1, c.darker(130));
            p.setBrush(g);
            p.setPen(QPen(QColor(20, 20, 20), 2 * unit));
            p.drawRoundedRect(QRectF(x, y, w, h), 4 * unit, 4 * unit);
            p.setPen(QPen(c.darker(160), 1.5 * unit));
            p.drawLine(QPointF(x + 6 * unit, y + 10 * unit), QPointF(x + w - 6 * unit, y + 10 * unit));
        };
        crate(35 * unit, 165 * unit, 90 * unit, 60 * unit, QColor(170, 120, 60));
        crate(125 * unit, 165 * unit, 90 * unit, 60 * unit, QColor(150, 100, 50));
        crate(80 * unit, 105 * unit, 90 * unit, 60 * unit, QColor(190, 140, 70));

        p.setPen(QPen(QColor(120, 200, 255), 3 * unit));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(60 * unit, 30 * unit, 130 * unit, 130 * unit), 30 * 16, 120 * 16);

        QFont font("Verdana");
        font.setPixelSize(int(20 * unit));
        font.setBold(true);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(QRectF(0, 232 * unit - 18 * unit, size, 24 * unit), Qt::AlignCenter, "Tarrowin");
        return pixmap;
    }
}
