#include "ConsoleArt.h"

#include <QPainter>
#include <QPainterPath>

namespace console {

QPixmap ImgColors(int index) {
  static const QColor colors[] = {QColor(0x2e, 0xa0, 0x43), QColor(0xb0, 0x3a, 0x2e), QColor(0xe0, 0xa0, 0x20)};
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(colors[qBound(0, index, 2)].darker(150), 1));
  p.setBrush(colors[qBound(0, index, 2)]);
  p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
  return pm;
}

// An envelope; while running, a dot travels along its flap.
QPixmap ImgStat(int frame) {
  QPixmap pm(32, 32);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const QRectF body(3.5, 8.5, 25, 17);
  p.setPen(QPen(QColor(0x30, 0x40, 0x60), 1.5));
  p.setBrush(QColor(0xf4, 0xf1, 0xe6));
  p.drawRect(body);
  QPainterPath flap;
  flap.moveTo(body.topLeft());
  flap.lineTo(16, 18);
  flap.lineTo(body.topRight());
  p.drawPath(flap);
  if (frame > 0) {
    const double t = (frame - 1) / 3.0;
    const QPointF at = t < 0.5 ? QPointF(body.left() + (16 - body.left()) * t * 2, body.top() + (18 - body.top()) * t * 2)
                               : QPointF(16 + (body.right() - 16) * (t - 0.5) * 2, 18 - (18 - body.top()) * (t - 0.5) * 2);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2e, 0xa0, 0x43));
    p.drawEllipse(at, 4, 4);
  }
  return pm;
}

QIcon Image1(int frame) { return QIcon(ImgStat(frame)); }

}  // namespace console
