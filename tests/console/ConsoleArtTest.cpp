// The console's drawn command icons (used when the icon theme has none): coloured while enabled,
// in the palette's disabled text colour while disabled, and apart from the window's colour under
// a light and a dark palette alike.
#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QPalette>
#include <QStyle>
#include <gtest/gtest.h>

#include "ConsoleArt.h"

namespace {

// The mean colour of the icon's opaque pixels (its inside, without the smoothed edge).
QColor Inside(const QPixmap& pm) {
  const QImage img = pm.toImage().convertToFormat(QImage::Format_ARGB32);
  qint64 sum[3] = {}, n = 0;
  for (int y = 0; y < img.height(); ++y) {
    for (int x = 0; x < img.width(); ++x) {
      const QRgb p = img.pixel(x, y);
      if (qAlpha(p) < 255) continue;
      sum[0] += qRed(p), sum[1] += qGreen(p), sum[2] += qBlue(p);
      ++n;
    }
  }
  return n == 0 ? QColor() : QColor(int(sum[0] / n), int(sum[1] / n), int(sum[2] / n));
}

int Distance(const QColor& a, const QColor& b) {
  return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())});
}

TEST(ConsoleArt, DrawnIconsLookEnabledOrDisabledOnLightAndDark) {
  const QPalette saved = QApplication::palette();
  const QPalette palettes[] = {QApplication::style()->standardPalette(),
                               QPalette(QColor(0x35, 0x35, 0x35), QColor(0x2b, 0x2b, 0x2b))};
  for (const QPalette& palette : palettes) {
    QApplication::setPalette(palette);
    const QColor window = palette.color(QPalette::Window);
    const QColor dimmed = palette.color(QPalette::Disabled, QPalette::ButtonText);
    for (console::Glyph glyph : {console::Glyph::Start, console::Glyph::Stop, console::Glyph::Refresh,
                                 console::Glyph::AutoRefresh}) {
      SCOPED_TRACE(QString("glyph %1 on %2").arg(int(glyph)).arg(window.name()).toStdString());
      const QIcon icon = console::ToolIcon("vrl-no-such-theme-icon", glyph);
      const QColor on = Inside(icon.pixmap(24, QIcon::Normal)), off = Inside(icon.pixmap(24, QIcon::Disabled));
      ASSERT_TRUE(on.isValid() && off.isValid());
      EXPECT_GT(on.hsvSaturationF(), 0.4);
      EXPECT_GT(Distance(on, window), 60);
      EXPECT_LE(Distance(off, dimmed), 2);
      EXPECT_GT(Distance(off, window), 40);
    }
  }
  QApplication::setPalette(saved);
}

}  // namespace
