#include "app/appicon.h"

#include <QPainter>
#include <QPixmap>

namespace {

// A satellite in the upper right sending two signal arcs down to a
// receiver's target, a crosshair over a blue disc.  Drawn on a 32-unit grid
// and scaled.
QPixmap drawIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);

    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal scale = size / 32.0;
    painter.scale(scale, scale);
    // Lines no thinner than one device pixel, so the 16-pixel image stays crisp.
    auto width = [scale](qreal units) { return qMax(units, 1.0 / scale); };

    const QPointF satellite(26.0, 6.0);
    const QPointF target(11.0, 21.0);

    // Signal arcs from the satellite towards the target (lower left).
    painter.setPen(QPen(QColor(0xE0, 0x7A, 0x00), width(2.4), Qt::SolidLine, Qt::RoundCap));
    painter.setBrush(Qt::NoBrush);
    for (qreal radius : {6.0, 10.5}) {
        const QRectF box(satellite.x() - radius, satellite.y() - radius, 2 * radius, 2 * radius);
        painter.drawArc(box, 195 * 16, 60 * 16);
    }

    // The target: a blue disc with a white ring, a crosshair and a red centre.
    painter.setPen(QPen(QColor(0x10, 0x33, 0x66), width(1.0)));
    painter.setBrush(QColor(0x1E, 0x5A, 0xA8));
    painter.drawEllipse(target, 9.5, 9.5);
    painter.setPen(QPen(Qt::white, width(1.8)));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(target, 5.5, 5.5);
    painter.setPen(QPen(Qt::white, width(1.4), Qt::SolidLine, Qt::FlatCap));
    const qreal x = target.x(), y = target.y();
    painter.drawLine(QPointF(x - 9.0, y), QPointF(x - 2.8, y));
    painter.drawLine(QPointF(x + 2.8, y), QPointF(x + 9.0, y));
    painter.drawLine(QPointF(x, y - 9.0), QPointF(x, y - 2.8));
    painter.drawLine(QPointF(x, y + 2.8), QPointF(x, y + 9.0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xE0, 0x20, 0x20));
    painter.drawEllipse(target, 2.3, 2.3);

    // The satellite: a body with two solar panels, turned across the arcs.
    painter.translate(satellite);
    painter.rotate(45);
    painter.setBrush(QColor(0x4A, 0x4A, 0x4A));
    painter.drawRect(QRectF(-2.0, -2.0, 4.0, 4.0));
    painter.setBrush(QColor(0x2B, 0x7B, 0xD6));
    painter.drawRect(QRectF(-7.0, -1.5, 4.4, 3.0));
    painter.drawRect(QRectF(2.6, -1.5, 4.4, 3.0));
    return pixmap;
}

}  // namespace

QIcon appIcon() {
    QIcon icon;
    icon.addPixmap(drawIcon(16));
    icon.addPixmap(drawIcon(32));
    return icon;
}
