#include "ConsoleArt.h"

#include <QGuiApplication>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QPalette>
#include <QtMath>

namespace console {

namespace {

// A transparent size x size picture of dpr device pixels per pixel, and its painter in pixels.
QPixmap Canvas(int size, qreal dpr) {
  QPixmap pm(QSize(size, size) * dpr);
  pm.setDevicePixelRatio(dpr);
  pm.fill(Qt::transparent);
  return pm;
}

}  // namespace

QPixmap ImgColors(int index, qreal dpr) {
  static const QColor colors[] = {QColor(0x2e, 0xa0, 0x43), QColor(0xb0, 0x3a, 0x2e), QColor(0xe0, 0xa0, 0x20)};
  QPixmap pm = Canvas(16, dpr);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(colors[qBound(0, index, 2)].darker(150), 1));
  p.setBrush(colors[qBound(0, index, 2)]);
  p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
  return pm;
}

// An envelope; while running, a dot travels along its flap. The light body and the dark outline
// keep it visible on light and dark panels alike.
QPixmap ImgStat(int frame, int size, qreal dpr) {
  QPixmap pm = Canvas(size, dpr);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 32.0, size / 32.0);
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
    p.setPen(QPen(QColor(0x1b, 0x6e, 0x2c), 1));
    p.setBrush(QColor(0x2e, 0xa0, 0x43));
    p.drawEllipse(at, 4, 4);
  }
  return pm;
}

QIcon Image1(int frame) {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) icon.addPixmap(ImgStat(frame, size));
  return icon;
}

namespace {

// A circular arrow on a circle of radius r around c, from angle `from` (degrees, counter-clockwise
// from three o'clock) sweeping `sweep`, its head at the end.
QPainterPath Arrow(QPointF c, double r, double from, double sweep, double width) {
  const QRectF circle(c.x() - r, c.y() - r, 2 * r, 2 * r);
  QPainterPath arc;
  arc.arcMoveTo(circle, from);
  arc.arcTo(circle, from, sweep);
  QPainterPathStroker stroker;
  stroker.setWidth(width);
  stroker.setCapStyle(Qt::FlatCap);
  const double a = qDegreesToRadians(from + sweep);
  const QPointF radial(std::cos(a), -std::sin(a));
  const QPointF ahead = sweep > 0 ? QPointF(-std::sin(a), -std::cos(a)) : QPointF(std::sin(a), std::cos(a));
  const QPointF end = c + radial * r;
  QPainterPath head;
  head.addPolygon(QPolygonF({end + radial * width * 1.2, end + ahead * width * 1.5, end - radial * width * 1.2}));
  head.closeSubpath();
  return stroker.createStroke(arc).united(head);
}

// The glyph's outline in a square of side s at the origin.
QPainterPath GlyphPath(Glyph glyph, double s) {
  QPainterPath path;
  const QPointF c(s / 2, s / 2);
  switch (glyph) {
    case Glyph::Start:
      path.addPolygon(QPolygonF({{s * 0.25, s * 0.15}, {s * 0.85, s * 0.5}, {s * 0.25, s * 0.85}}));
      path.closeSubpath();
      break;
    case Glyph::Stop:
      path.addRoundedRect(QRectF(s * 0.2, s * 0.2, s * 0.6, s * 0.6), s * 0.06, s * 0.06);
      break;
    case Glyph::Refresh:
      path = Arrow(c, s * 0.3, 60, 270, s * 0.13);
      break;
    case Glyph::AutoRefresh:
      path = Arrow(c, s * 0.3, 20, 140, s * 0.12).united(Arrow(c, s * 0.3, 200, 140, s * 0.12));
      break;
  }
  return path;
}

QColor GlyphColor(Glyph glyph) {
  switch (glyph) {
    case Glyph::Start: return QColor(0x2e, 0xa0, 0x43);
    case Glyph::Stop: return QColor(0xd0, 0x45, 0x35);
    default: return QColor(0x2f, 0x80, 0xd0);
  }
}

// Paints the glyph at whatever size is asked, reading the palette at paint time so that a
// disabled icon takes the current palette's disabled colour.
class GlyphEngine : public QIconEngine {
 public:
  explicit GlyphEngine(Glyph glyph) : glyph_(glyph) {}
  QIconEngine* clone() const override { return new GlyphEngine(glyph_); }
  QString key() const override { return QStringLiteral("vrl-console-glyph"); }
  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
    const double s = std::min(rect.width(), rect.height());
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->translate(rect.x() + (rect.width() - s) / 2, rect.y() + (rect.height() - s) / 2);
    if (mode == QIcon::Disabled) {
      painter->setPen(Qt::NoPen);
      painter->setBrush(QGuiApplication::palette().color(QPalette::Disabled, QPalette::ButtonText));
    } else {
      const QColor fill = GlyphColor(glyph_);
      painter->setPen(QPen(fill.darker(170), std::max(1.0, s / 20)));
      painter->setBrush(fill);
    }
    painter->drawPath(GlyphPath(glyph_, s));
    painter->restore();
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    QPixmap pm(size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    paint(&p, QRect(QPoint(0, 0), size), mode, state);
    return pm;
  }

 private:
  Glyph glyph_;
};

}  // namespace

QIcon ToolIcon(const char* themeName, Glyph glyph) {
  return QIcon::fromTheme(QLatin1String(themeName), QIcon(new GlyphEngine(glyph)));
}

}  // namespace console
