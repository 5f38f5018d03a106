// Renders every registered window into OUTDIR (PNG), offscreen, from the demo configuration.
// usage: vrl_screens OUTDIR [NAME...]   (names: only those registrations)
#include "Screens.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>

#include "CfgTransfer.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
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
