// VRLEng31: the headless agent.
//   VRLEng31          the agent for a console: serves its control classes on the session bus
//                     (D-Bus activation starts it this way) and does nothing until told to start;
//                     it ends when it is idle and no client holds it, or on SIGINT or SIGTERM
//   VRLEng31 --run    starts processing at once and ends when the agent stops (SIGINT or SIGTERM
//                     ask for the orderly stop); serves the bus too when there is one, but no
//                     client ends it
// One agent per application folder: a second one refuses to start.
// Exit status: 0 after a clean run, 1 when the agent could not start.
#include <QCommandLineParser>
#include <QCoreApplication>
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
  return ::sigaction(SIGINT, &sa, nullptr) == 0 && ::sigaction(SIGTERM, &sa, nullptr) == 0;
}

// A process that is just ending may still hold the folder's lock for a moment.
constexpr int kLockWaitMs = 3000;

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("VRLEng31"));
  QCoreApplication::setApplicationVersion(QStringLiteral("3.1.0"));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Vorlane agent. Without --run it serves the console on the D-Bus session bus "
      "(org.vorlane.VRLEng31) and waits to be started."));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption runOpt(QStringLiteral("run"),
                                  QStringLiteral("Start processing at once and end when the agent "
                                                 "stops; SIGINT or SIGTERM stops it in order."));
  const QCommandLineOption homeOpt(
      QStringLiteral("home"),
      QStringLiteral("Application folder holding VRL3GCF.GCF and VRL3PF.PCF (default: "
                     "$VORLANE_HOME, else ${XDG_CONFIG_HOME:-~/.config}/vorlane)."),
      QStringLiteral("DIR"));
  const QCommandLineOption verboseOpt(QStringLiteral("verbose"),
                                      QStringLiteral("Also print every log line to standard "
                                                     "output."));
  parser.addOptions({runOpt, homeOpt, verboseOpt});
  parser.process(app);
  if (!parser.positionalArguments().isEmpty()) {
    std::fprintf(stderr, "VRLEng31: unexpected argument: %s\n",
                 qPrintable(parser.positionalArguments().first()));
    return 2;
  }
  const bool run = parser.isSet(runOpt);

  if (parser.isSet(homeOpt))
    vrl::SetApplicationFolder(QFileInfo(parser.value(homeOpt)).absoluteFilePath());

  // Two agents on one folder would send the same files twice.
  vrl::InstanceLock lock;
  QString lockError;
  if (!vrl::EnsureApplicationFolder() ||
      !lock.Acquire(vrl::PathInApplicationFolder(QStringLiteral("VRLEng31.lock")), kLockWaitMs,
                    &lockError)) {
    if (lockError.isEmpty()) lockError = QStringLiteral("the folder cannot be created");
    std::fprintf(stderr,
                 "VRLEng31: another agent already works on the application folder %s (%s); "
                 "only one agent may process its profiles.\n",
                 qPrintable(vrl::ApplicationFolder()), qPrintable(lockError));
    return 1;
  }

  if (!InstallSignalPipe()) {
    std::perror("VRLEng31: signals");
    return 1;
  }

  agent::AgentLog& log = agent::AgentLog::Instance();
  if (parser.isSet(verboseOpt)) {
    log.SetLineObserver([](const QString& line) {
      std::fputs(line.toUtf8().constData(), stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
    });
  }

  AgentMailWork mailWork;
  FrmAgent agent(log, &mailWork);
  agent::AgentService service(agent, log, run);
  QString busError;
  if (service.Register(QDBusConnection::sessionBus(), &busError)) {
    vrl::SetMessageBoxHandler(
        [&service](const QString& text, vrl::MsgBoxIcon icon) { service.RelayMessageBox(text, icon); });
  } else if (run) {
    // Servers and cron often have no session bus: that is only worth a word when asked for.
    if (QDBusConnection::sessionBus().isConnected() || parser.isSet(verboseOpt))
      std::fprintf(stderr, "VRLEng31: running without control over D-Bus: %s\n",
                   qPrintable(busError));
  } else {
    std::fprintf(stderr,
                 "VRLEng31: cannot serve the console: %s. Use --run to process without one.\n",
                 qPrintable(busError));
    return 1;
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

  if (run) {
    agent.Form_Load();
    if (agent.AgentState() != Running) {
      agent.Form_Unload();
      return 1;
    }
  }

  const int status = QCoreApplication::exec();
  // The name goes first, so that a new client starts a new agent rather than call this one.
  service.Unregister();
  agent.Form_Unload();
  return status;
}
