#include "app/aboutpicture.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace {

constexpr int kWidth = 115;
constexpr int kHeight = 81;

void drawSky(QPainter& p) {
    QLinearGradient sky(0, 0, 0, kHeight);
    sky.setColorAt(0.0, QColor(8, 16, 52));
    sky.setColorAt(1.0, QColor(36, 70, 140));
    p.fillRect(0, 0, kWidth, kHeight, sky);
    p.setPen(QColor(230, 236, 255));
    const QPoint stars[] = {{8, 6},    {24, 30}, {52, 5},  {70, 18}, {95, 9},
                            {108, 26}, {60, 36}, {84, 40}, {12, 44}, {40, 16}};
    for (const QPoint& s : stars) p.drawPoint(s);
}

void drawEarth(QPainter& p) {
    QRadialGradient earth(QPointF(57, 150), 95);
    earth.setColorAt(0.0, QColor(40, 150, 90));
    earth.setColorAt(0.85, QColor(30, 110, 170));
    earth.setColorAt(1.0, QColor(140, 200, 240));
    p.setPen(Qt::NoPen);
    p.setBrush(earth);
    p.drawEllipse(QPointF(57, 150), 95, 88);
}

void drawSatellite(QPainter& p) {
    p.save();
    p.translate(30, 22);
    p.rotate(-25);
    // Solar panels with their cell grid.
    p.setPen(QPen(QColor(150, 170, 200), 1));
    p.setBrush(QColor(30, 60, 150));
    for (int side : {-1, 1}) {
        const QRectF panel(side < 0 ? -24 : 8, -5, 16, 10);
        p.drawRect(panel);
        for (int i = 1; i < 4; ++i)
            p.drawLine(QPointF(panel.left() + i * 4, panel.top()),
                       QPointF(panel.left() + i * 4, panel.bottom()));
        p.drawLine(QPointF(panel.left(), 0), QPointF(panel.right(), 0));
    }
    // Booms and body.
    p.setPen(QPen(QColor(200, 200, 210), 1));
    p.drawLine(QPointF(-8, 0), QPointF(8, 0));
    p.setPen(QPen(QColor(120, 90, 20), 1));
    p.setBrush(QColor(235, 190, 60));
    p.drawRoundedRect(QRectF(-5, -6, 10, 12), 2, 2);
    // Transmitting antenna pointing down to the receiver.
    p.setPen(QPen(QColor(220, 220, 230), 1));
    p.drawLine(QPointF(0, 6), QPointF(0, 10));
    p.setBrush(QColor(220, 220, 230));
    p.drawEllipse(QPointF(0, 11), 2.5, 1.5);
    p.restore();
}

void drawSignal(QPainter& p) {
    p.setBrush(Qt::NoBrush);
    const QColor wave(255, 230, 120);
    for (int i = 0; i < 3; ++i) {
        QColor c = wave;
        c.setAlpha(230 - i * 60);
        p.setPen(QPen(c, 1.5, Qt::SolidLine, Qt::RoundCap));
        const double r = 20 + i * 10;
        // Arcs centred on the satellite, opening towards the receiver.
        p.drawArc(QRectF(32 - r, 26 - r, 2 * r, 2 * r), -45 * 16, 40 * 16);
    }
}

void drawReceiver(QPainter& p) {
    // Antenna stub, then the case, its screen with a fix mark, and two keys.
    p.setPen(QPen(QColor(30, 30, 30), 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(97, 44), QPointF(97, 36));
    p.setPen(QPen(QColor(25, 25, 25), 1));
    p.setBrush(QColor(70, 72, 80));
    p.drawRoundedRect(QRectF(81, 43, 24, 34), 4, 4);
    p.setBrush(QColor(170, 220, 170));
    p.drawRect(QRectF(85, 47, 16, 14));
    p.setPen(QPen(QColor(20, 90, 30), 1));
    p.drawLine(QPointF(93, 49), QPointF(93, 59));
    p.drawLine(QPointF(87, 54), QPointF(99, 54));
    p.drawEllipse(QPointF(93, 54), 3, 3);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 60, 50));
    p.drawEllipse(QPointF(88, 68), 2.5, 2.5);
    p.setBrush(QColor(60, 170, 80));
    p.drawEllipse(QPointF(98, 68), 2.5, 2.5);
}

}  // namespace

QPixmap aboutPicture() {
    QPixmap pixmap(kWidth, kHeight);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    drawSky(p);
    drawEarth(p);
    drawSignal(p);
    drawSatellite(p);
    drawReceiver(p);
    p.end();
    return pixmap;
}
