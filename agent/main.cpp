// VRLEng31: the headless agent.
//   VRLEng31            waits idle (as when started for the console) until SIGINT or SIGTERM
//   VRLEng31 --run      starts processing at once; SIGINT or SIGTERM asks for the orderly stop
// The program ends whenever the agent stops: 0 after a clean run, 1 when the start failed.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "AgentLog.h"
#include "AppFolder.h"
#include "FrmAgent.h"
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

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("VRLEng31"));
  QCoreApplication::setApplicationVersion(QStringLiteral("3.1.0"));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Vorlane agent. Without --run it waits idle until SIGINT or SIGTERM."));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption runOpt(QStringLiteral("run"),
                                  QStringLiteral("Start processing at once; SIGINT or SIGTERM "
                                                 "stops the agent in order."));
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

  if (parser.isSet(homeOpt))
    vrl::SetApplicationFolder(QFileInfo(parser.value(homeOpt)).absoluteFilePath());

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
  const bool run = parser.isSet(runOpt);

  QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, &app, [&] {
    unsigned char buf[16];
    while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
    }
    if (agent.AgentState() == Running) {
      // The orderly stop: at the next tick, or at the next check inside a cycle.
      if (!agent.StopRequest()) agent.CmdStopStart_Click();
    } else {
      QCoreApplication::exit(0);
    }
  });

  if (run) {
    // The program lives as long as the agent runs; queued so that the stop finishes first.
    QObject::connect(
        &agent, &FrmAgent::FireEventAgentState, &app,
        [](qint32 state) {
          if (state == NotRunning) QCoreApplication::exit(0);
        },
        Qt::QueuedConnection);
    agent.Form_Load();
    if (agent.AgentState() != Running) {
      agent.Form_Unload();
      return 1;
    }
  }

  const int status = QCoreApplication::exec();
  agent.Form_Unload();
  return status;
}
