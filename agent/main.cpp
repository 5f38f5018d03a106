// VRLEng31: the headless agent.
//   VRLEng31          the agent for a console: serves its control classes on the session bus
//                     (D-Bus activation starts it this way) and does nothing until told to start;
//                     it ends when it is idle and no client holds it, or on SIGINT, SIGTERM, SIGHUP
//   VRLEng31 --run    starts processing at once and ends when the agent stops (SIGINT, SIGTERM or
//                     SIGHUP ask for the orderly stop); serves the bus too when there is one, but
//                     no client ends it
// One agent per application folder: a second one refuses to start. The log keeps the system's
// own texts; the terminal gets one actionable line per problem.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSet>
#include <QDBusConnection>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "AgentLog.h"
#include "AgentService.h"
#include "AppFolder.h"
#include "FrmAgent.h"
#include "InstanceLock.h"
#include "MailHost.h"
#include "ServiceNotify.h"

namespace {

int g_signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: the event loop reads the pipe.
void OnSignal(int sig) {
  const int saved = errno;
  const unsigned char b = static_cast<unsigned char>(sig);
  [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &b, 1);
  errno = saved;
}

bool InstallSignalPipe() {
  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  return ::sigaction(SIGINT, &sa, nullptr) == 0 && ::sigaction(SIGTERM, &sa, nullptr) == 0 &&
         ::sigaction(SIGHUP, &sa, nullptr) == 0;
}

// A process that is just ending may still hold the folder's lock for a moment.
constexpr int kLockWaitMs = 3000;

// Exit statuses.
constexpr int kExitClean = 0;
constexpr int kExitStartFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitErrors = 3;

void Say(const QString& line) {
  std::fprintf(stderr, "VRLEng31: %s\n", line.toUtf8().constData());
  std::fflush(stderr);
}

// Why a start failed, in words a person can act on.
QString StartFailure() {
  const QString folder = vrl::ApplicationFolder();
  const QString hint = QStringLiteral("; write a configuration with: VRLCfg31 --home ") + folder +
                       QStringLiteral(" --import FILE (see demo/demo-config.json)");
  if (!QFileInfo::exists(vrl::PathInApplicationFolder(QStringLiteral("VRL3GCF.GCF"))))
    return QStringLiteral("cannot start: no global options file VRL3GCF.GCF in ") + folder + hint;
  if (!QFileInfo::exists(vrl::PathInApplicationFolder(QStringLiteral("VRL3PF.PCF"))))
    return QStringLiteral("cannot start: no profiles file VRL3PF.PCF in ") + folder + hint;
  return QStringLiteral("cannot start: the configuration in ") + folder +
         QStringLiteral(" cannot be read; check it with: VRLCfg31 --home ") + folder +
         QStringLiteral(" --list");
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("VRLEng31"));
  QCoreApplication::setApplicationVersion(QStringLiteral("3.1.0"));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Vorlane agent. Without --run it serves the console on the D-Bus session bus\n"
      "(org.vorlane.VRLEng31) and waits to be started.\n"
      "Exit status: 0 clean run, 1 the start failed, 2 bad usage, 3 the run logged errors."));
  const QCommandLineOption helpOpt = parser.addHelpOption();
  const QCommandLineOption versionOpt = parser.addVersionOption();
  const QCommandLineOption runOpt(QStringLiteral("run"),
                                  QStringLiteral("Start processing at once and end when the agent "
                                                 "stops; SIGTERM, SIGINT or SIGHUP stop it in "
                                                 "order."));
  const QCommandLineOption homeOpt(
      QStringLiteral("home"),
      QStringLiteral("Application folder holding VRL3GCF.GCF and VRL3PF.PCF (default: "
                     "$VORLANE_HOME, else ${XDG_CONFIG_HOME:-~/.config}/vorlane)."),
      QStringLiteral("DIR"));
  const QCommandLineOption verboseOpt(QStringLiteral("verbose"),
                                      QStringLiteral("Also print every log line to standard "
                                                     "output."));
  parser.addOptions({runOpt, homeOpt, verboseOpt});
  if (!parser.parse(app.arguments())) {
    Say(parser.errorText() + QStringLiteral(" (see VRLEng31 --help)"));
    return kExitUsage;
  }
  if (parser.isSet(helpOpt)) parser.showHelp(kExitClean);
  if (parser.isSet(versionOpt)) parser.showVersion();
  if (!parser.positionalArguments().isEmpty()) {
    Say(QStringLiteral("unexpected argument: ") + parser.positionalArguments().first() +
        QStringLiteral(" (see VRLEng31 --help)"));
    return kExitUsage;
  }
  const bool run = parser.isSet(runOpt);

  if (parser.isSet(homeOpt))
    vrl::SetApplicationFolder(QFileInfo(parser.value(homeOpt)).absoluteFilePath());

  // Two agents on one folder would send the same files twice.
  vrl::InstanceLock lock;
  QString lockError;
  // A mistyped folder must not be created on the way to a failed start.
  if (run && !QFileInfo(vrl::ApplicationFolder()).isDir()) {
    Say(QStringLiteral("cannot start: the application folder ") + vrl::ApplicationFolder() +
        QStringLiteral(" does not exist; check --home or $VORLANE_HOME, or write a configuration "
                       "with: VRLCfg31 --home ") +
        vrl::ApplicationFolder() + QStringLiteral(" --import FILE"));
    return kExitStartFailed;
  }
  if (!vrl::EnsureApplicationFolder()) {
    Say(QStringLiteral("cannot create the application folder ") + vrl::ApplicationFolder() +
        QStringLiteral("; check --home or $VORLANE_HOME"));
    return kExitStartFailed;
  }
  if (!lock.Acquire(vrl::PathInApplicationFolder(QStringLiteral("VRLEng31.lock")), kLockWaitMs,
                    &lockError)) {
    if (lock.HeldElsewhere())
      Say(QStringLiteral("another agent already works on the application folder ") +
          vrl::ApplicationFolder() + QStringLiteral(" (") + lockError +
          QStringLiteral("); only one agent may process its profiles."));
    else
      Say(QStringLiteral("cannot lock the application folder: ") + lockError);
    return kExitStartFailed;
  }
  agent::AgentLog::RemoveStaleTempLogs();

  if (!InstallSignalPipe()) {
    std::perror("VRLEng31: signals");
    return kExitStartFailed;
  }

  agent::AgentLog& log = agent::AgentLog::Instance();
  if (parser.isSet(verboseOpt)) {
    log.SetLineObserver([](const QString& line) {
      std::fputs(line.toUtf8().constData(), stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
    });
  }

  // Each log file that fails is named once per run; the log and its boxes keep their texts.
  QSet<QString> failedFiles;
  log.SetFileErrorObserver([&failedFiles](const QString& path, const QString& reason) {
    if (failedFiles.contains(path)) return;
    failedFiles.insert(path);
    Say(QStringLiteral("cannot write the log ") + path + QStringLiteral(": ") + reason +
        QStringLiteral(" (said once; the run goes on and ends with status 3)"));
  });

  AgentMailWork mailWork;
  FrmAgent agent(log, &mailWork);
  agent::AgentService service(agent, log, run);
  // Boxes go to the console (when one listens) and, each text once, to the terminal.
  QSet<QString> shownBoxes;
  vrl::SetMessageBoxHandler([&](const QString& text, vrl::MsgBoxIcon icon) {
    service.RelayMessageBox(text, icon);
    const QString line = QString(text).replace(QLatin1Char('\r'), QLatin1Char(' '));
    if (shownBoxes.contains(line)) return;
    shownBoxes.insert(line);
    Say(line);
  });
  QString busError;
  if (service.Register(QDBusConnection::sessionBus(), &busError)) {
    if (!run && !qEnvironmentVariableIsSet("DBUS_STARTER_BUS_TYPE"))
      Say(QStringLiteral("waiting for a console on the session bus (org.vorlane.VRLEng31); "
                         "VRL31 --start starts the agent, VRLEng31 --run processes without one"));
  } else if (run) {
    // Servers and cron often have no session bus: that is only worth a word when asked for.
    if (QDBusConnection::sessionBus().isConnected() || parser.isSet(verboseOpt))
      Say(QStringLiteral("running without control over D-Bus: ") + busError);
  } else {
    Say(QStringLiteral("cannot serve the console: ") + busError +
        QStringLiteral(". Use --run to process without one."));
    return kExitStartFailed;
  }
  QObject::connect(&service, &agent::AgentService::Unneeded, &app,
                   [] { QCoreApplication::exit(0); });

  // A signal, or the loss of the bus of an agent that serves a console, ends the program: a
  // running agent first stops in order (at the next tick, or at the next check in a cycle).
  bool endOnStop = run;
  auto end = [&] {
    if (agent.AgentState() == Running) {
      endOnStop = true;
      if (!agent.StopRequest()) agent.CmdStopStart_Click();
    } else {
      QCoreApplication::exit(0);
    }
  };
  QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
    unsigned char buf[16];
    while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
    }
    end();
  });
  if (!run) QObject::connect(&service, &agent::AgentService::BusLost, &app, end);
  // Queued so that the stop finishes first.
  QObject::connect(
      &agent, &FrmAgent::FireEventAgentState, &app,
      [&endOnStop](qint32 state) {
        if (state == NotRunning && endOnStop) QCoreApplication::exit(0);
      },
      Qt::QueuedConnection);

  // Under systemd (Type=notify) the unit's status line shows the last cycle.
  QObject::connect(&agent, &FrmAgent::CycleRecorded, &app, [](const QString& summary) {
    vrl::NotifyServiceManager("STATUS=" + summary.toUtf8());
  });

  if (run) {
    agent.Form_Load();
    if (agent.AgentState() != Running) {
      agent.Form_Unload();
      Say(StartFailure());
      return kExitStartFailed;
    }
    vrl::NotifyServiceManager("READY=1");
  }

  QCoreApplication::exec();
  // The name goes first, so that a new client starts a new agent rather than call this one.
  service.Unregister();
  agent.Form_Unload();
  if (run && (log.ErrorLines() > 0 || log.WriteFailures() > 0)) {
    Say(QStringLiteral("the run ended with %1 error line(s) logged and %2 line(s) that could not "
                       "be written")
            .arg(log.ErrorLines())
            .arg(log.WriteFailures()));
    return kExitErrors;
  }
  return kExitClean;
}
