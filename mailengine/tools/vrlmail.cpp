#include "vrlmail.h"

#include <QCoreApplication>
#include <QFile>
#include <cstdio>

std::optional<QString> TakeInlineValue(QString& arg) {
  const qsizetype eq = arg.indexOf(u'=');
  if (!arg.startsWith(QLatin1String("--")) || eq <= 2) return std::nullopt;
  QString value = arg.mid(eq + 1);
  arg.truncate(eq);
  return value;
}

long ProcStatusKb(const char* field) {
  QFile f(QStringLiteral("/proc/self/status"));
  if (!f.open(QIODevice::ReadOnly)) return -1;
  const QByteArray prefix = QByteArray(field) + ':';
  for (const QByteArray& line : f.readAll().split('\n'))
    if (line.startsWith(prefix)) return line.mid(prefix.size()).trimmed().split(' ').value(0).toLong();
  return -1;
}

namespace {
const char kHelp[] =
    "usage: vrlmail send --host H --port P --from A --to A[;A...] [options]\n"
    "       vrlmail fetch --host H --port P --user U --password-file F --dir D [options]\n"
    "       vrlmail --version\n"
    "The mail engine from a shell. \"vrlmail send --help\" and \"vrlmail fetch --help\" list\n"
    "every option and exit status.\n";
}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QStringList args = app.arguments();
  args.removeFirst();
  if (args.isEmpty()) {
    std::fputs(kHelp, stderr);
    return 2;
  }
  if (args.first() == QLatin1String("--help") || args.first() == QLatin1String("-h")) {
    std::fputs(kHelp, stdout);
    return 0;
  }
  if (args.first() == QLatin1String("--version")) {
    std::puts("vrlmail 3.1.0");
    return 0;
  }
  const QString command = args.takeFirst();
  if (command == QLatin1String("send")) return RunSend(args);
  if (command == QLatin1String("fetch")) return RunFetch(args);
  std::fprintf(stderr, "vrlmail: unknown command '%s' (see vrlmail --help)\n",
               command.toUtf8().constData());
  return 2;
}
