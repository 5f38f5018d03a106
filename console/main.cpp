// VRL31: the console. Without the options below it opens its window (words it does not know are
// ignored; the one word -DEBUG or /DEBUG switches the agent's debug logging on); these options are
// its command-line face for servers and scripts, driving the agent through the control classes
// (which start the agent on the session bus when it is not running), and need no display.
//   --status [--json]   the agent state, the temporary log's path and the health record
//   --metrics           the health record as figures for monitoring (Prometheus text format)
//   --start | --stop    start the agent / ask it to stop (it stops at its next check)
//   --debug on|off      switch the agent's debug logging
//   --clear-log         delete the temporary log
// --home DIR chooses the application folder for either face.
// Exit status: 0 success, 1 the agent cannot be reached, 2 bad usage, 3 the agent did not start
// or no display for the window.
#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>

#include <cstdio>

#include "AgentControl.h"
#include "AppFolder.h"
#include "ConsoleArguments.h"
#include "FleetDb.h"
#include "FrmQuorvoAgentConsole.h"
#include "Mdl_FicheiroConf.h"
#include "MdlGlbalConf.h"
#include "Metrics.h"
#include "SingleInstance.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitNoDisplay = 3;  // the same in every program with a window
constexpr int kExitNotStarted = 3;

void Fail(const char* what, const AgentClientObject& o) {
  std::fprintf(stderr, "VRL31: %s: the agent cannot be reached: %s\n", what,
               qPrintable(o.LastError()));
}

// The last lines of the temporary log: why a start failed.
void PrintLogTail(const QString& path, int lines) {
  QFile f(path);
  if (path.isEmpty() || !f.open(QIODevice::ReadOnly)) return;
  QList<QByteArray> all = f.readAll().split('\n');
  while (!all.isEmpty() && all.last().trimmed().isEmpty()) all.removeLast();
  for (qsizetype i = std::max<qsizetype>(0, all.size() - lines); i < all.size(); ++i)
    std::fprintf(stderr, "  %s\n", all[i].trimmed().constData());
}

QJsonObject ParseObject(const QByteArray& json) { return QJsonDocument::fromJson(json).object(); }

// The record an agent left in the application folder: health while no agent can be asked.
QJsonObject HealthFromFile() {
  QFile f(vrl::PathInApplicationFolder(QString::fromLatin1(agentbus::kHealthFileName)));
  return f.open(QIODevice::ReadOnly) ? ParseObject(f.readAll()) : QJsonObject();
}

// The profiles of the application folder, for the outbound counts; none when the file cannot be
// read (the counts are then left out).
QList<ProfileRecord> ConfiguredProfiles() {
  QList<ProfileRecord> out;
  ReadAllProfileRecords(out);
  return out;
}

// --metrics: the health record, from the agent or its file, as the agent writes it to MetricsFile.
void PrintMetrics(const QJsonObject& health) {
  std::fputs(metrics::Format(health, metrics::OutboundQueues(ConfiguredProfiles())).constData(), stdout);
}

QString When(const QJsonValue& iso) {
  const QDateTime t = QDateTime::fromString(iso.toString(), Qt::ISODate);
  return t.isValid() ? t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QStringLiteral("-");
}

// The health record as a table: per profile the counts of its last cycle, then their sums.
void PrintHealth(const QJsonObject& health) {
  std::printf("LastCycle: %s\n", qPrintable(When(health.value(QStringLiteral("lastCycle")))));
  if (health.contains(QStringLiteral("lastError")))
    std::printf("LastError: %s %s\n", qPrintable(When(health.value(QStringLiteral("lastErrorTime")))),
                health.value(QStringLiteral("lastError")).toString().toUtf8().constData());
  const QJsonObject profiles = health.value(QStringLiteral("profiles")).toObject();
  if (profiles.isEmpty()) return;
  qsizetype width = 7;
  for (const QString& name : profiles.keys()) width = std::max(width, name.size());
  const char* counts[] = {"sent", "retried", "bad", "received", "errors"};
  std::printf("\n%s  %-19s  %9s  %9s  %9s  %9s  %9s   (last cycle/total)\n",
              qPrintable(QStringLiteral("Profile").leftJustified(width)), "Last cycle", "Sent", "Retried",
              "BAD", "Received", "Errors");
  for (auto it = profiles.begin(); it != profiles.end(); ++it) {
    const QJsonObject p = it.value().toObject(), total = p.value(QStringLiteral("total")).toObject();
    std::printf("%s  %-19s", it.key().leftJustified(width).toUtf8().constData(),
                qPrintable(When(p.value(QStringLiteral("lastCycle")))));
    for (const char* c : counts)
      std::printf("  %9s", qPrintable(QStringLiteral("%1/%2").arg(p.value(QLatin1String(c)).toInteger())
                                          .arg(total.value(QLatin1String(c)).toInteger())));
    std::printf("\n");
    if (p.contains(QStringLiteral("lastError")))
      std::printf("%s  last error %s: %s\n", qPrintable(QString(width, QLatin1Char(' '))),
                  qPrintable(When(p.value(QStringLiteral("lastErrorTime")))),
                  p.value(QStringLiteral("lastError")).toString().toUtf8().constData());
    if (const QJsonObject o = p.value(QStringLiteral("oauth")).toObject(); !o.isEmpty())
      std::printf("%s  OAuth: %s (%s), refresh token renewed %s\n", qPrintable(QString(width, QLatin1Char(' '))),
                  qPrintable(o.value(QStringLiteral("state")).toString()),
                  o.value(QStringLiteral("works")).toBool() ? "works" : "does not work",
                  qPrintable(When(o.value(QStringLiteral("renewed")))));
  }
}

// With ClusterDatabase: every agent of the fleet and which one holds which profile.
QJsonObject ReadFleet() {
  GlobalRecord g;
  if (!ReadGlobalRecord(g) || g.ClusterDatabase.isEmpty()) return {};
  QString error;
  QJsonObject fleet = fleet::ReadFleetState(g.ClusterDatabase, &error);
  if (fleet.isEmpty()) fleet.insert(QStringLiteral("error"), error);
  return fleet;
}

void PrintFleet(const QJsonObject& fleet) {
  if (fleet.contains(QStringLiteral("error"))) {
    std::printf("\nFleet: the database cannot be read: %s\n",
                fleet.value(QStringLiteral("error")).toString().toUtf8().constData());
    return;
  }
  const QJsonArray agents = fleet.value(QStringLiteral("agents")).toArray();
  std::printf("\nFleet: %d agent%s\n", int(agents.size()), agents.size() == 1 ? "" : "s");
  for (const QJsonValue v : agents) {
    const QJsonObject a = v.toObject();
    std::printf("  %s  pid %d, seen %s (%lld s ago)  %s\n", a.value(QStringLiteral("agent")).toString().toUtf8().constData(),
                a.value(QStringLiteral("pid")).toInt(), qPrintable(a.value(QStringLiteral("seen")).toString()),
                a.value(QStringLiteral("secondsSinceSeen")).toInteger(),
                a.value(QStringLiteral("summary")).toString().toUtf8().constData());
  }
  const QJsonArray leases = fleet.value(QStringLiteral("leases")).toArray();
  qsizetype width = 7;
  for (const QJsonValue v : leases) width = std::max(width, v.toObject().value(QStringLiteral("profile")).toString().size());
  std::printf("\n%s  %7s  %6s  %s\n", qPrintable(QStringLiteral("Profile").leftJustified(width)), "Fence", "Left", "Holder");
  for (const QJsonValue v : leases) {
    const QJsonObject l = v.toObject();
    const QString holder = l.value(QStringLiteral("holder")).toString();
    std::printf("%s  %7lld  %4llds  %s\n", l.value(QStringLiteral("profile")).toString().leftJustified(width).toUtf8().constData(),
                l.value(QStringLiteral("fence")).toInteger(), l.value(QStringLiteral("secondsLeft")).toInteger(),
                holder.isEmpty() ? "(none)" : holder.toUtf8().constData());
  }
}

// --status: the agent's state (absent when it cannot be reached) and its health record.
void PrintStatus(bool json, const QJsonObject& agent, const QJsonObject& health) {
  const QJsonObject fleet = ReadFleet();
  if (json) {
    QJsonObject out = agent;
    out.insert(QStringLiteral("Health"), health);
    if (!fleet.isEmpty()) out.insert(QStringLiteral("Fleet"), fleet);
    std::fputs(QJsonDocument(out).toJson(QJsonDocument::Indented).constData(), stdout);
    return;
  }
  if (!agent.isEmpty())
    std::printf("AgentState: %s\nGetTempLogFileName: %s\nModeDebug: %s\n",
                qPrintable(agent.value(QStringLiteral("AgentState")).toString()),
                agent.value(QStringLiteral("GetTempLogFileName")).toString().toUtf8().constData(),
                agent.value(QStringLiteral("ModeDebug")).toBool() ? "on" : "off");
  PrintHealth(health);
  if (!fleet.isEmpty()) PrintFleet(fleet);
}

QString AgentNotStarted() {
  return QStringLiteral("The agent could not be started for the folder \"%1\" (VRLEng31 --home).")
      .arg(vrl::ApplicationFolder());
}

// One agent serves the session: said when it works on another folder than this program.
QString OtherFolder(const QString& served) {
  if (served.isEmpty() || served == vrl::ApplicationFolder()) return {};
  return QStringLiteral("The agent of this session works on the folder \"%1\", not on \"%2\"; stop it "
                        "(VRL31 --home \"%1\" --stop) to work on \"%2\".")
      .arg(served, vrl::ApplicationFolder());
}

// The window: one per application folder; a second console shows the first and ends.
int RunWindow(int argc, char** argv, bool debug) {
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    std::fputs("VRL31: no display for the console window (for a server: VRL31 --status, --start, "
               "--stop; under Xvfb: xvfb-run VRL31).\n",
               stderr);
    return kExitNoDisplay;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("VRL31"));
  QApplication::setApplicationVersion(QStringLiteral("3.1.0"));
  // Hidden into the tray, the console has no window left open and must live on.
  QApplication::setQuitOnLastWindowClosed(false);
  SingleInstance instance;
  bool shown = false;
  if (!instance.Claim(&shown)) {
    if (shown) return 0;
    std::fputs("VRL31: another console is running but does not answer.\n", stderr);
    return 1;
  }
  QString served;
  if (!StartAgentForFolder(vrl::ApplicationFolder(), {}, 5000, &served)) {
    QMessageBox::critical(nullptr, QStringLiteral("Vorlane"), AgentNotStarted());
    return 1;
  }
  if (const QString other = OtherFolder(served); !other.isEmpty())
    QMessageBox::warning(nullptr, QStringLiteral("Vorlane"), other);
  FrmQuorvoAgentConsole window;
  QObject::connect(&instance, &SingleInstance::ShowRequested, &window, &FrmQuorvoAgentConsole::ShowConsole);
  QObject::connect(&window, &FrmQuorvoAgentConsole::Ended, &app, &QCoreApplication::quit, Qt::QueuedConnection);
  if (!window.Load(debug)) return 1;
  return app.exec();
}

// Relative folders are made absolute: the agent and the configuration program are told the
// folder from elsewhere.
bool SetHome(const QString& dir) {
  if (dir.isEmpty()) {
    std::fputs("VRL31: --home needs a folder (see VRL31 --help)\n", stderr);
    return false;
  }
  vrl::SetApplicationFolder(QFileInfo(dir).absoluteFilePath());
  return true;
}

int RunCommandLine(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("VRL31"));
  QCoreApplication::setApplicationVersion(QStringLiteral("3.1.0"));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Vorlane console: starts, stops and watches the agent on the D-Bus session bus.\n"
      "Without an option the console window opens; words it does not know are ignored, and\n"
      "the one word -DEBUG or /DEBUG switches the agent's debug logging on.\n"
      "Exit status: 0 success, 1 the agent cannot be reached, 2 bad usage, 3 the agent did\n"
      "not start or no display for the window."));
  const QCommandLineOption helpOpt = parser.addHelpOption();
  const QCommandLineOption versionOpt = parser.addVersionOption();
  const QCommandLineOption statusOpt(
      QStringLiteral("status"),
      QStringLiteral("Print the agent state, the temporary log's path and each profile's "
                     "health (from the agent's record file when the agent cannot be "
                     "reached)."));
  const QCommandLineOption jsonOpt(QStringLiteral("json"),
                                   QStringLiteral("With --status: print it as one JSON object."));
  const QCommandLineOption metricsOpt(
      QStringLiteral("metrics"),
      QStringLiteral("Print each profile's health as figures for monitoring, in the "
                     "Prometheus text format (as the agent writes them to MetricsFile)."));
  const QCommandLineOption startOpt(QStringLiteral("start"), QStringLiteral("Start the agent."));
  const QCommandLineOption stopOpt(QStringLiteral("stop"),
                                   QStringLiteral("Ask the agent to stop; it stops at its next "
                                                  "check."));
  const QCommandLineOption debugOpt(QStringLiteral("debug"),
                                    QStringLiteral("Switch the agent's debug logging on or off."),
                                    QStringLiteral("on|off"));
  const QCommandLineOption clearOpt(QStringLiteral("clear-log"),
                                    QStringLiteral("Delete the agent's temporary log."));
  const QCommandLineOption homeOpt(
      QStringLiteral("home"),
      QStringLiteral("The application folder (default: $VORLANE_HOME, else "
                     "${XDG_CONFIG_HOME:-~/.config}/vorlane)."),
      QStringLiteral("DIR"));
  parser.addOptions({statusOpt, jsonOpt, metricsOpt, startOpt, stopOpt, debugOpt, clearOpt, homeOpt});
  if (!parser.parse(app.arguments())) {
    std::fprintf(stderr, "VRL31: %s (see VRL31 --help)\n", qPrintable(parser.errorText()));
    return kExitUsage;
  }
  if (parser.isSet(helpOpt)) parser.showHelp(0);
  if (parser.isSet(versionOpt)) parser.showVersion();
  if (parser.isSet(homeOpt) && !SetHome(parser.value(homeOpt))) return kExitUsage;

  const bool any = parser.isSet(statusOpt) || parser.isSet(metricsOpt) || parser.isSet(startOpt) ||
                   parser.isSet(stopOpt) || parser.isSet(debugOpt) || parser.isSet(clearOpt);
  if (!parser.positionalArguments().isEmpty() || !any ||
      (parser.isSet(startOpt) && parser.isSet(stopOpt)) ||
      (parser.isSet(jsonOpt) && !parser.isSet(statusOpt)) ||
      (parser.isSet(metricsOpt) && parser.isSet(statusOpt))) {
    std::fputs("VRL31: give one or more of --status [--json] or --metrics, --start, --stop, --debug on|off, "
               "--clear-log, or no option for the console window.\n",
               stderr);
    return kExitUsage;
  }
  bool debugOn = false;
  if (parser.isSet(debugOpt)) {
    const QString v = parser.value(debugOpt).toLower();
    if (v != QLatin1String("on") && v != QLatin1String("off")) {
      std::fputs("VRL31: --debug takes on or off.\n", stderr);
      return kExitUsage;
    }
    debugOn = v == QLatin1String("on");
  }

  QString served;
  if (!StartAgentForFolder(vrl::ApplicationFolder(), {}, 5000, &served)) {
    std::fprintf(stderr, "VRL31: %s\n", AgentNotStarted().toUtf8().constData());
    return 1;
  }
  if (const QString other = OtherFolder(served); !other.isEmpty())
    std::fprintf(stderr, "VRL31: %s\n", other.toUtf8().constData());
  // Detached: the agent keeps running after this program ends.
  ClsStartStopEng control(AgentHold::Detached);
  if (!control.IsValid()) {
    Fail("connect", control);
    if (parser.isSet(statusOpt)) PrintStatus(parser.isSet(jsonOpt), {}, HealthFromFile());
    if (parser.isSet(metricsOpt)) PrintMetrics(HealthFromFile());
    return 1;
  }
  ClsAgentState state(AgentHold::Detached);
  ClsGetLog log(AgentHold::Detached);

  if (parser.isSet(debugOpt) && !control.SetModeDebug(debugOn)) {
    Fail("--debug", control);
    return 1;
  }
  if (parser.isSet(clearOpt) && !log.ClearLogFile()) {
    Fail("--clear-log", log);
    return 1;
  }
  if (parser.isSet(startOpt)) {
    if (!control.StartMailAgent()) {
      Fail("--start", control);
      return 1;
    }
    // The call returns after the start sequence: a failed start has already stopped.
    if (state.AgentState() != Running) {
      std::fputs("VRL31: the agent did not start; its log ends:\n", stderr);
      PrintLogTail(log.GetTempLogFileName(), 6);
      return kExitNotStarted;
    }
  }
  if (parser.isSet(stopOpt) && !control.StopMailAgent()) {
    Fail("--stop", control);
    return 1;
  }
  if (parser.isSet(statusOpt)) {
    const AgentStateConsts s = state.AgentState();
    if (!state.LastError().isEmpty()) {
      Fail("--status", state);
      return 1;
    }
    const QJsonObject agent{{QStringLiteral("AgentState"), s == Running ? "Running" : "NotRunning"},
                            {QStringLiteral("GetTempLogFileName"), log.GetTempLogFileName()},
                            {QStringLiteral("ModeDebug"), control.ModeDebug()}};
    PrintStatus(parser.isSet(jsonOpt), agent, ParseObject(state.Health().toUtf8()));
  }
  if (parser.isSet(metricsOpt)) {
    const QString health = state.Health();
    if (!state.LastError().isEmpty()) {
      Fail("--metrics", state);
      return 1;
    }
    PrintMetrics(ParseObject(health.toUtf8()));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QStringList arguments;
  for (int i = 1; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  const ConsoleArguments a = ReadConsoleArguments(arguments);
  if (!a.window) return RunCommandLine(argc, argv);
  if (a.home && !SetHome(*a.home)) return kExitUsage;
  return RunWindow(argc, argv, a.debug);
}
