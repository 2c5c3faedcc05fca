#include "Fwupdate/window/AppIcon.h"

#include <QPainter>
#include <QPixmap>

namespace v62x {
namespace {

QPixmap ChipPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal unit = size / 16.0;

    // Pins: three on each side.
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xC0, 0xC0, 0xC0));
    for (int i = 0; i < 3; ++i) {
        const qreal y = (4 + 3 * i) * unit;
        painter.drawRect(QRectF(1 * unit, y, 2 * unit, 1.5 * unit));
        painter.drawRect(QRectF(13 * unit, y, 2 * unit, 1.5 * unit));
    }
    // Body: navy with a lighter rim, the window's rule colour.
    painter.setBrush(QColor(0x00, 0x00, 0x80));
    painter.setPen(QPen(QColor(0x40, 0x60, 0xC0), unit * 0.75));
    painter.drawRoundedRect(QRectF(3 * unit, 2 * unit, 10 * unit, 12 * unit), unit, unit);
    // A "V" across the body.
    QPen mark(QColor(0xFF, 0xD0, 0x40), unit * 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(mark);
    const QPointF v[3] = {{5.5 * unit, 5 * unit}, {8 * unit, 11 * unit}, {10.5 * unit, 5 * unit}};
    painter.drawPolyline(v, 3);
    return pixmap;
}

}  // namespace

QIcon AppIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64}) icon.addPixmap(ChipPixmap(size));
    return icon;
}

}  // namespace v62x
