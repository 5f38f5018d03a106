// Renders every registered window into OUTDIR (PNG), offscreen, from the demo configuration.
// usage: vrl_screens OUTDIR [NAME...]   (names: only those registrations)
// VRL_SCREENS_DARK=1 renders them under a dark palette, as a dark desktop theme would.
#include "Screens.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPalette>
#include <QStyle>
#include <QTemporaryDir>
#include <cstdio>

#include "CfgTransfer.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  if (qEnvironmentVariableIntValue("VRL_SCREENS_DARK") == 1) {
    // A dark desktop theme, as a dark KDE or GNOME palette hands it to Qt.
    QApplication::setStyle(QStringLiteral("Fusion"));
    QPalette dark;
    const QColor window(0x2b, 0x2b, 0x2b), base(0x1e, 0x1e, 0x1e), text(0xe6, 0xe6, 0xe6);
    for (auto [role, color] : {std::pair{QPalette::Window, window}, {QPalette::Base, base},
                               {QPalette::AlternateBase, window}, {QPalette::Button, window},
                               {QPalette::WindowText, text}, {QPalette::Text, text}, {QPalette::ButtonText, text},
                               {QPalette::ToolTipBase, base}, {QPalette::ToolTipText, text},
                               {QPalette::Highlight, QColor(0x3d, 0x6e, 0xb4)}, {QPalette::HighlightedText, text}})
      dark.setColor(role, color);
    dark.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
    dark.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
    dark.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
    QApplication::setPalette(dark);
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
