#include "gui/shell/menu_images.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygon>

#include <cmath>
#include <functional>
#include <numbers>

namespace shell {
namespace {

// The classic 16-colour palette (only the colours used here), as Qt names it.
constexpr Qt::GlobalColor Black = Qt::black, Green = Qt::darkGreen, Olive = Qt::darkYellow,
                          Navy = Qt::darkBlue, Gray = Qt::darkGray, Silver = Qt::lightGray,
                          Red = Qt::red, Lime = Qt::green, Yellow = Qt::yellow, Blue = Qt::blue,
                          Aqua = Qt::cyan, White = Qt::white;

QIcon Draw(const std::function<void(QPainter&)>& paint) {
    QPixmap pixmap(MenuImageWidth, MenuImageHeight);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    // Hard edges: every pixel keeps one of the palette's colours.
    p.setRenderHint(QPainter::Antialiasing, false);
    paint(p);
    p.end();
    return QIcon(pixmap);
}

void Box(QPainter& p, int x, int y, int w, int h, const QColor& fill, const QColor& edge) {
    p.fillRect(x, y, w, h, edge);
    p.fillRect(x + 1, y + 1, w - 2, h - 2, fill);
}

void Folder(QPainter& p, int x, int y) {
    Box(p, x, y, 6, 3, Yellow, Olive); // tab
    Box(p, x, y + 2, 12, 9, Yellow, Olive);
}

void Disk(QPainter& p, int x, int y) {
    // 12 x 13 with the top right corner cut
    p.fillRect(x, y, 11, 13, Navy);
    p.fillRect(x + 11, y + 1, 1, 12, Navy);
    p.fillRect(x + 3, y, 6, 4, Silver); // shutter
    p.fillRect(x + 6, y + 1, 2, 2, Navy);
    p.fillRect(x + 2, y + 7, 8, 5, White); // label
    p.fillRect(x + 3, y + 9, 6, 1, Gray);
}

// A horizontal arrow, `right` pointing right, occupying 7 x 9 pixels.
void Arrow(QPainter& p, int x, int y, bool right) {
    QPolygon shape;
    if (right)
        shape << QPoint(x, y + 3) << QPoint(x + 3, y + 3) << QPoint(x + 3, y)
              << QPoint(x + 7, y + 4) << QPoint(x + 3, y + 8) << QPoint(x + 3, y + 5)
              << QPoint(x, y + 5);
    else
        shape << QPoint(x + 7, y + 3) << QPoint(x + 4, y + 3) << QPoint(x + 4, y)
              << QPoint(x, y + 4) << QPoint(x + 4, y + 8) << QPoint(x + 4, y + 5)
              << QPoint(x + 7, y + 5);
    p.setPen(Green);
    p.setBrush(Lime);
    p.drawPolygon(shape);
}

void Gear(QPainter& p, double cx, double cy, double outer, double inner, double hole) {
    constexpr int teeth = 8;
    constexpr double step = 2 * std::numbers::pi / teeth;
    QPolygonF shape;
    for (int k = 0; k < teeth; ++k) {
        const double a = k * step;
        auto at = [&](double r, double angle) {
            return QPointF(cx + r * std::cos(angle), cy + r * std::sin(angle));
        };
        shape << at(inner, a - step * 0.40) << at(outer, a - step * 0.20)
              << at(outer, a + step * 0.20) << at(inner, a + step * 0.40);
    }
    p.setPen(Black);
    p.setBrush(Silver);
    p.drawPolygon(shape);
    p.setBrush(White);
    p.setPen(Gray);
    p.drawEllipse(QPointF(cx, cy), hole, hole);
}

} // namespace

QIcon BackupImage() {
    return Draw([](QPainter& p) {
        Folder(p, 0, 3);
        Arrow(p, 12, 4, true);
        Disk(p, 20, 2);
    });
}

QIcon RestoreImage() {
    return Draw([](QPainter& p) {
        Folder(p, 0, 3);
        Arrow(p, 12, 4, false);
        Disk(p, 20, 2);
    });
}

QIcon SettingsImage() {
    return Draw([](QPainter& p) {
        Gear(p, 7.5, 7.5, 7.2, 5.0, 1.8);
        Gear(p, 22.5, 9.5, 5.4, 3.7, 1.2);
    });
}

QIcon TransportImage() {
    return Draw([](QPainter& p) {
        Box(p, 0, 1, 19, 11, White, Navy); // load
        p.fillRect(2, 4, 15, 1, Silver);
        p.fillRect(2, 7, 15, 1, Silver);
        Box(p, 19, 4, 11, 8, Red, Black); // cab
        Box(p, 24, 5, 5, 4, Aqua, Black); // window
        p.fillRect(0, 11, 31, 2, Black);  // chassis
        p.setPen(Black);
        p.setBrush(Gray);
        p.drawEllipse(QPoint(6, 13), 2, 2);
        p.drawEllipse(QPoint(24, 13), 2, 2);
    });
}

QIcon HelpImage() {
    return Draw([](QPainter& p) {
        p.setPen(Navy);
        p.setBrush(Blue);
        p.drawEllipse(0, 0, 15, 15);
        QFont font("DejaVu Sans");
        font.setPixelSize(13);
        font.setBold(true);
        font.setStyleStrategy(QFont::NoAntialias);
        p.setFont(font);
        p.setPen(White);
        p.drawText(QRect(0, 0, 16, 16), Qt::AlignCenter, "?");
        // an open book
        Box(p, 18, 2, 7, 12, White, Black);
        Box(p, 24, 2, 7, 12, White, Black);
        for (int y = 5; y <= 11; y += 2) {
            p.fillRect(20, y, 3, 1, Gray);
            p.fillRect(26, y, 3, 1, Gray);
        }
    });
}

} // namespace shell
