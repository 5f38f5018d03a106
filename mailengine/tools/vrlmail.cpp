#include "vrlmail.h"

#include <QCoreApplication>
#include <cstdio>

namespace {
void Usage(FILE* out) {
  std::fputs(
      "usage: vrlmail send --host H --port P [--user U --password-file F]\n"
      "                    [--pop-before-smtp --pop-host H --pop-port P]\n"
      "                    --from A --to A[;A...] [--cc A[;A...]] [--subject S] [--text-file F]\n"
      "                    [--attach F[;F...]] [--html] [--uuencode] [--timeout N] [--count N]\n"
      "       vrlmail fetch --host H --port P --user U --password-file F --dir D [--keep]\n"
      "                    [--timeout N]\n",
      out);
}
}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QStringList args = app.arguments();
  args.removeFirst();
  if (args.isEmpty() || args.first() == QLatin1String("--help") || args.first() == QLatin1String("-h")) {
    Usage(args.isEmpty() ? stderr : stdout);
    return args.isEmpty() ? 2 : 0;
  }
  const QString command = args.takeFirst();
  if (command == QLatin1String("send")) return RunSend(args);
  if (command == QLatin1String("fetch")) return RunFetch(args);
  std::fprintf(stderr, "vrlmail: unknown command '%s'\n", command.toUtf8().constData());
  Usage(stderr);
  return 2;
}
