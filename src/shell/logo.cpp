#include "shell/logo.h"

#include <QPainter>
#include <QPainterPath>

namespace vessamo::shell {

QPixmap logoPixmap(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);

    // Envelope.
    p.setPen(QPen(QColor(0x1f, 0x3b, 0x5c), 2.5));
    p.setBrush(QColor(0xf4, 0xf1, 0xe8));
    const QRectF body(4, 14, 44, 32);
    p.drawRoundedRect(body, 3, 3);
    QPainterPath flap;
    flap.moveTo(5, 16);
    flap.lineTo(26, 32);
    flap.lineTo(47, 16);
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);

    // Forwarding arrow.
    QPainterPath arrow;
    arrow.moveTo(30, 44);
    arrow.lineTo(46, 44);
    arrow.lineTo(46, 36);
    arrow.lineTo(60, 50);
    arrow.lineTo(46, 64 - 0.5);
    arrow.lineTo(46, 56);
    arrow.lineTo(30, 56);
    arrow.closeSubpath();
    p.setPen(QPen(QColor(0x0b, 0x5d, 0x1e), 1.5));
    p.setBrush(QColor(0x2e, 0xa0, 0x44));
    p.drawPath(arrow);
    return pixmap;
}

QIcon logoIcon()
{
    QIcon icon;
    for (int size : {16, 22, 32, 48, 64})
        icon.addPixmap(logoPixmap(size));
    return icon;
}

} // namespace vessamo::shell
