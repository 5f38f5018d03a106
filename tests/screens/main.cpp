// Renders every registered window into OUTDIR (PNG), offscreen, from the demo configuration.
// usage: vrl_screens OUTDIR [NAME...]   (names: only those registrations)
// VRL_SCREENS_DARK=1 renders them under a dark palette, as a dark desktop theme would;
// QT_SCALE_FACTOR=2 renders them at twice the size, as on a high-density screen.
#include "Screens.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPalette>
#include <QStyle>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <cstdio>

#include "CfgTransfer.h"

namespace {

// A dark desktop theme, as a dark KDE or GNOME palette hands it to Qt: every role of the active
// and inactive groups, and a disabled group whose text is dimmed and whose frames stay quiet.
QPalette DarkPalette() {
  const QColor text(0xe6, 0xe6, 0xe6), dimmed(0x80, 0x80, 0x80), window(0x2b, 0x2b, 0x2b);
  const std::pair<QPalette::ColorRole, QColor> active[] = {
      {QPalette::Window, window},           {QPalette::WindowText, text},
      {QPalette::Base, {0x1e, 0x1e, 0x1e}}, {QPalette::AlternateBase, {0x26, 0x26, 0x26}},
      {QPalette::ToolTipBase, {0x3a, 0x3a, 0x3a}}, {QPalette::ToolTipText, text},
      {QPalette::PlaceholderText, {0x9a, 0x9a, 0x9a}}, {QPalette::Text, text},
      {QPalette::Button, {0x35, 0x35, 0x35}}, {QPalette::ButtonText, text},
      {QPalette::BrightText, {0xff, 0x6b, 0x6b}}, {QPalette::Light, {0x50, 0x50, 0x50}},
      {QPalette::Midlight, {0x40, 0x40, 0x40}}, {QPalette::Dark, {0x1a, 0x1a, 0x1a}},
      {QPalette::Mid, {0x24, 0x24, 0x24}},  {QPalette::Shadow, {0x0a, 0x0a, 0x0a}},
      {QPalette::Highlight, {0x3d, 0x6e, 0xb4}}, {QPalette::HighlightedText, {0xff, 0xff, 0xff}},
      {QPalette::Link, {0x6a, 0xa7, 0xff}}, {QPalette::LinkVisited, {0xb4, 0x8c, 0xe6}},
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
      {QPalette::Accent, {0x3d, 0x6e, 0xb4}},
#endif
  };
  const std::pair<QPalette::ColorRole, QColor> disabled[] = {
      {QPalette::WindowText, dimmed}, {QPalette::Text, dimmed}, {QPalette::ButtonText, dimmed},
      {QPalette::PlaceholderText, {0x5c, 0x5c, 0x5c}}, {QPalette::Base, window},
      {QPalette::Light, window}, {QPalette::Highlight, {0x4a, 0x4a, 0x4a}}, {QPalette::HighlightedText, dimmed},
      {QPalette::Link, dimmed}, {QPalette::LinkVisited, dimmed}};
  QPalette dark;
  for (const auto& [role, color] : active) dark.setColor(role, color);  // every group
  for (const auto& [role, color] : disabled) dark.setColor(QPalette::Disabled, role, color);
  return dark;
}

// The offscreen screen has 800 x 600 device pixels. Scaled (QT_SCALE_FACTOR), it gets as many
// more, so that message boxes, which keep to a share of the screen, wrap as they do unscaled.
QByteArray Offscreen(QTemporaryFile& config) {
  const double scale = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble();
  if (scale <= 1 || !config.open()) return "offscreen";
  const QJsonObject one{{"name", "scaled"},     {"x", 0},          {"y", 0},
                        {"width", 800 * scale}, {"height", 600 * scale}, {"logicalDpi", 96},
                        {"logicalBaseDpi", 96}, {"dpr", 1}};
  config.write(QJsonDocument(QJsonObject{{"screens", QJsonArray{one}}}).toJson());
  config.close();
  return "offscreen:configfile=" + QFile::encodeName(config.fileName());
}

}  // namespace

int main(int argc, char** argv) {
  QTemporaryFile screen;
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  if (platform.isEmpty() || platform == "offscreen") qputenv("QT_QPA_PLATFORM", Offscreen(screen));
  QApplication app(argc, argv);
  if (qEnvironmentVariableIntValue("VRL_SCREENS_DARK") == 1) {
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setPalette(DarkPalette());
  }
  const QStringList args = app.arguments().mid(1);
  if (args.isEmpty()) {
    std::fputs("usage: vrl_screens OUTDIR [NAME...]\n", stderr);
    return 2;
  }
  const QString out = args[0];
  QDir().mkpath(out);
  int rendered = 0;
  for (const auto& [name, render] : vrlscreens::Registry::All()) {
    if (args.size() > 1 && !args.mid(1).contains(name)) continue;
    // Each window sees a fresh application folder filled from the demo configuration.
    QTemporaryDir home;
    qputenv("VORLANE_HOME", home.path().toUtf8());
    QFile demo(QStringLiteral(VRL_SOURCE_DIR "/demo/demo-config.json"));
    cfgtransfer::Configuration conf;
    QString error;
    // The demo's folders live under a placeholder the demo script replaces: here, /srv/vorlane.
    if (!demo.open(QIODevice::ReadOnly) ||
        !cfgtransfer::FromJson(demo.readAll().replace("@DEMO@", "/srv/vorlane"), conf, error) ||
        !cfgtransfer::WriteConfiguration(conf, error)) {
      std::fprintf(stderr, "vrl_screens: cannot import the demo configuration: %s\n", error.toUtf8().constData());
      return 1;
    }
    render(out);
    ++rendered;
    std::printf("%s\n", name.toUtf8().constData());
  }
  return rendered > 0 ? 0 : 1;
}
