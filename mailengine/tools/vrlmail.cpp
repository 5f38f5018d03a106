#include "vrlmail.h"

#include <QCoreApplication>
#include <cstdio>

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
