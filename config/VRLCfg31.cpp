// The configuration program. Without an action it opens the configuration window, unless the
// agent is processing messages; its actions list, export and import the configuration without a
// display.
#include "AgentControl.h"
#include "AppFolder.h"
#include "CfgTransfer.h"
#include "FileIo.h"
#include "InstanceLock.h"
#include "QorvConf.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QFileInfo>
#include <QMessageBox>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoDisplay = 3;
constexpr int kExitNoFolder = 4;

const char kUsage[] =
    "Usage: VRLCfg31 [--home DIR] [ACTION]\n"
    "\n"
    "Without an action: open the configuration window (refused while the agent processes\n"
    "messages).\n"
    "\n"
    "Actions (no display needed):\n"
    "  --list           list the profiles: slot, name, type, enabled\n"
    "  --export FILE    write the whole configuration as JSON to FILE (\"-\": standard output)\n"
    "  --import FILE    replace the configuration with the JSON document in FILE (\"-\": standard\n"
    "                   input); the document is checked whole, by the editor's rules, before\n"
    "                   anything is written; what the editor would ask about is a warning\n"
    "  --check FILE     check the JSON document in FILE as --import does; write nothing\n"
    "  --help           show this text\n"
    "  --version        show the version\n"
    "\n"
    "Options:\n"
    "  --home DIR       the application folder holding VRL3PF.PCF and VRL3GCF.GCF (default:\n"
    "                   $VORLANE_HOME, else ${XDG_CONFIG_HOME:-~/.config}/vorlane); --import\n"
    "                   creates only its last folder: a missing parent is an error\n"
    "\n"
    "Exit status: 0 success, 1 the document is invalid or a file cannot be read or written\n"
    "(nothing written), or the agent is processing messages (window), 2 bad usage, 3 no display\n"
    "for the window, 4 the application folder does not exist (--list, --export).\n";

void Out(const QString& text) {
  std::fputs(text.toUtf8().constData(), stdout);
}

void Err(const QString& text) {
  std::fputs(("VRLCfg31: " + text + "\n").toUtf8().constData(), stderr);
}

// One line per profile: control characters in names would break the lines.
QString OneLine(QString text) {
  for (QChar& c : text) {
    if (c.category() == QChar::Other_Control) c = QLatin1Char(' ');
  }
  return text;
}

// The global file is read as well: the agent sends people here when it cannot read either.
int List() {
  cfgtransfer::Configuration conf;
  QString error;
  if (!cfgtransfer::ReadConfiguration(conf, error)) {
    Err(error);
    return kExitFailure;
  }
  QString text = QStringLiteral("Slot\tName\tType\tEnabled\n");
  for (const ProfileRecord& p : conf.profiles) {
    text += QStringLiteral("%1\t%2\t%3\t%4\n")
                .arg(p.RecordNumber)
                .arg(OneLine(p.Prfname),
                     p.HostType == 1 ? QStringLiteral("messaging") : QStringLiteral("internet"),
                     p.PrfEnabled ? QStringLiteral("yes") : QStringLiteral("no"));
  }
  Out(text);
  return kExitOk;
}


int Export(const QString& file) {
  cfgtransfer::Configuration conf;
  QString error;
  if (!cfgtransfer::ReadConfiguration(conf, error)) {
    Err(error);
    return kExitFailure;
  }
  const QByteArray json = cfgtransfer::ToJson(conf);
  if (file == QLatin1String("-")) {
    const bool ok = std::fwrite(json.constData(), 1, json.size(), stdout) == size_t(json.size()) &&
                    std::fflush(stdout) == 0;
    return ok ? kExitOk : kExitFailure;
  }
  // The document holds the passwords in plain text: mode 0600, also for an existing file.
  const int fd = vrl::OpenFile(file, O_WRONLY | O_CREAT | O_TRUNC);
  bool ok = fd >= 0 && ::fchmod(fd, 0600) == 0 && vrl::WriteAll(fd, json);
  if (fd >= 0 && ::close(fd) != 0) ok = false;
  if (!ok) {
    Err(QStringLiteral("cannot write \"%1\": %2").arg(file, QString::fromLocal8Bit(std::strerror(errno))));
    return kExitFailure;
  }
  return kExitOk;
}

// A configuration is a few KB; the limit stops an endless stream (a device, "yes |") before it
// fills the memory.
constexpr qint64 kMaxDocumentMiB = 4;
constexpr qint64 kMaxDocumentBytes = kMaxDocumentMiB * 1024 * 1024;

enum class Read { Whole, Failed, TooLarge };

// Reads the whole document from fd in bounded chunks, stopping once it passes the limit; err is
// the reason of a failed read.
Read ReadDocument(int fd, QByteArray& out, int& err) {
  constexpr qint64 kChunk = 64 * 1024;
  out.clear();
  while (out.size() <= kMaxDocumentBytes) {
    const qsizetype at = out.size();
    out.resize(at + kChunk);
    const ssize_t n = ::read(fd, out.data() + at, size_t(kChunk));
    err = errno;
    out.truncate(at + std::max<ssize_t>(n, 0));
    if (n == 0) return Read::Whole;
    if (n < 0 && err != EINTR) return Read::Failed;
  }
  out.clear();
  return Read::TooLarge;
}

// Import, or with write false only the check.
int Import(const QString& file, bool write) {
  const bool standardInput = file == QLatin1String("-");
  const int fd = standardInput ? STDIN_FILENO : vrl::OpenFile(file, O_RDONLY);
  QByteArray json;
  int err = errno;
  const Read read = fd >= 0 ? ReadDocument(fd, json, err) : Read::Failed;
  if (fd >= 0 && !standardInput) ::close(fd);
  if (read == Read::Failed) {
    Err(QStringLiteral("cannot read \"%1\": %2").arg(file, QString::fromLocal8Bit(std::strerror(err))));
    return kExitFailure;
  }
  if (read == Read::TooLarge) {
    Err(QStringLiteral("\"%1\" is larger than %2 MiB, far more than any configuration; nothing was written")
            .arg(file)
            .arg(kMaxDocumentMiB));
    return kExitFailure;
  }
  cfgtransfer::Configuration conf;
  QStringList problems, notes, warnings;
  const bool valid = cfgtransfer::FromJson(json, conf, problems, &notes, &warnings);
  // What the editor would have asked about, as many as the problems at most.
  for (qsizetype i = 0; i < std::min<qsizetype>(warnings.size(), cfgtransfer::kMaxProblems); ++i)
    Err(QStringLiteral("warning: ") + warnings[i]);
  if (warnings.size() > cfgtransfer::kMaxProblems)
    Err(QStringLiteral("warning: ... and %1 more").arg(warnings.size() - cfgtransfer::kMaxProblems));
  if (!valid) {
    QString text = QStringLiteral("\"%1\" is not a valid configuration; nothing was written:").arg(file);
    for (const QString& p : problems) text += QStringLiteral("\n  ") + p;
    Err(text);
    return kExitFailure;
  }
  for (const QString& n : notes) Err(QStringLiteral("note: ") + n);
  if (!write) {
    Out(QStringLiteral("%1: a valid configuration with %2 profile(s)\n").arg(file).arg(conf.profiles.size()));
    return kExitOk;
  }
  QString error;
  if (!cfgtransfer::WriteConfiguration(conf, error)) {
    Err(error);
    return kExitFailure;
  }
  return kExitOk;
}

// Why the window must not open: the agent is processing messages. Asked on the session bus
// without starting an agent; when the bus cannot be reached, an agent holding the application
// folder's lock counts. Empty when the configuration is free.
QString AgentInTheWay() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) {
    if (!bus.interface()->isServiceRegistered(QString::fromLatin1(agentbus::kServiceName))) return {};
    if (ClsAgentState(AgentHold::Detached).AgentState() != Running) return {};
    return QStringLiteral("The Vorlane agent is processing messages.\n\nStop the messages processing in the "
                          "console before you change the configuration.");
  }
  const QString why = QStringLiteral("The agent cannot be asked whether it runs: the D-Bus session bus cannot be "
                                     "reached (%1).")
                          .arg(bus.lastError().message());
  Err(why);
  vrl::InstanceLock lock;
  const QString path = vrl::PathInApplicationFolder(QStringLiteral("VRLEng31.lock"));
  if (!QFileInfo::exists(path) || lock.Acquire(path, 0, nullptr) || !lock.HeldElsewhere()) return {};
  return why + QStringLiteral("\n\nAn agent is using the application folder %1; stop it before you change the "
                              "configuration.")
                   .arg(vrl::ApplicationFolder());
}

int OpenWindow(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    Err(QStringLiteral("the configuration window needs a graphical session (neither DISPLAY nor "
                       "WAYLAND_DISPLAY is set); without one use --list, --export and --import"));
    return kExitNoDisplay;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("VRLCfg31"));
  if (const QString text = AgentInTheWay(); !text.isEmpty()) {
    Err(QString(text).replace(QStringLiteral("\n\n"), QStringLiteral(" ")));
    QMessageBox::warning(nullptr, QStringLiteral("Vorlane"), text);
    return kExitFailure;
  }
  QorvConf conf;
  bool modal = true;
  conf.ShowConf(modal);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);

  QCommandLineParser parser;
  const QCommandLineOption home(QStringLiteral("home"), QString(), QStringLiteral("DIR"));
  const QCommandLineOption list(QStringLiteral("list"));
  const QCommandLineOption exportOpt(QStringLiteral("export"), QString(), QStringLiteral("FILE"));
  const QCommandLineOption importOpt(QStringLiteral("import"), QString(), QStringLiteral("FILE"));
  const QCommandLineOption checkOpt(QStringLiteral("check"), QString(), QStringLiteral("FILE"));
  const QCommandLineOption help(QStringLiteral("help"));
  const QCommandLineOption version(QStringLiteral("version"));
  parser.addOptions({home, list, exportOpt, importOpt, checkOpt, help, version});
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);

  auto usageError = [](const QString& text) {
    Err(text);
    std::fputs(kUsage, stderr);
    return kExitUsage;
  };
  if (!parser.parse(arguments)) return usageError(parser.errorText());
  if (!parser.positionalArguments().isEmpty()) {
    return usageError(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));
  }
  if (parser.isSet(help)) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (parser.isSet(version)) {
    Out(QStringLiteral("VRLCfg31 3.1.0\n"));
    return kExitOk;
  }
  for (const QCommandLineOption* o : {&home, &exportOpt, &importOpt, &checkOpt}) {
    if (parser.values(*o).size() > 1) {
      return usageError(QStringLiteral("--%1 given more than once").arg(o->names().first()));
    }
  }
  QCoreApplication::setApplicationName(QStringLiteral("VRLCfg31"));
  if (parser.isSet(home)) {
    const QString dir = parser.value(home);
    if (dir.isEmpty()) return usageError(QStringLiteral("--home needs a folder"));
    vrl::SetApplicationFolder(dir);
  }

  const int actions = int(parser.isSet(list)) + int(parser.isSet(exportOpt)) +
                      int(parser.isSet(importOpt)) + int(parser.isSet(checkOpt));
  if (actions == 0) return OpenWindow(argc, argv);
  QCoreApplication app(argc, argv);
  if (actions > 1) return usageError(QStringLiteral("give one of --list, --export, --import, --check"));
  if (parser.isSet(exportOpt) && parser.value(exportOpt).isEmpty())
    return usageError(QStringLiteral("--export needs a file"));

  // A mistyped folder must not pass for an empty configuration.
  if ((parser.isSet(list) || parser.isSet(exportOpt)) && !QFileInfo(vrl::ApplicationFolder()).isDir()) {
    Err(QStringLiteral("the application folder %1 does not exist; check --home or $VORLANE_HOME, "
                       "or create a configuration with --import")
            .arg(vrl::ApplicationFolder()));
    return kExitNoFolder;
  }
  if (parser.isSet(list)) return List();
  if (parser.isSet(exportOpt)) return Export(parser.value(exportOpt));
  const QCommandLineOption& action = parser.isSet(importOpt) ? importOpt : checkOpt;
  if (parser.value(action).isEmpty())
    return usageError(QStringLiteral("--%1 needs a file").arg(action.names().first()));
  return Import(parser.value(action), parser.isSet(importOpt));
}
