// The configuration program. Without an action it opens the configuration window, unless the
// agent is processing messages; its actions list, export and import the configuration and sign a
// profile in with OAuth without a display.
#include "AgentControl.h"
#include "AppFolder.h"
#include "CfgTransfer.h"
#include "FileIo.h"
#include "OneLine.h"
#include "InstanceLock.h"
#include "ProfileOAuth.h"
#include "ProfileSecurity.h"
#include "QorvConf.h"
#include "oauth/AuthCodeGrant.h"
#include "oauth/SignIn.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QFileInfo>
#include <QMessageBox>
#include <QThread>

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
constexpr int kExitSignInFailed = 5;

const char kUsage[] =
    "Usage: VRLCfg31 [--home DIR] [ACTION]\n"
    "       VRLCfg31 [--home DIR] --oauth-login NAME [--browser]\n"
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
    "  --oauth-login NAME\n"
    "                   sign the profile NAME (AuthMethod oauth2) in: show a code to enter on\n"
    "                   the provider's page (any device), or with --browser, or when the\n"
    "                   provider has no device sign-in, a page to open in a browser on this\n"
    "                   machine; the tokens go to the application folder, the agent renews them\n"
    "  --help           show this text\n"
    "  --version        show the version\n"
    "\n"
    "Options:\n"
    "  --home DIR       the application folder holding VRL3PF.PCF and VRL3GCF.GCF (default:\n"
    "                   $VORLANE_HOME, else ${XDG_CONFIG_HOME:-~/.config}/vorlane); --import\n"
    "                   creates only its last folder: a missing parent is an error\n"
    "  --browser        with --oauth-login: sign in in a browser even when the provider has a\n"
    "                   device sign-in\n"
    "\n"
    "Exit status: 0 success, 1 the document is invalid or a file cannot be read or written\n"
    "(nothing written), or the agent is processing messages (window), or the profile cannot sign\n"
    "in with OAuth (--oauth-login), 2 bad usage, 3 no display for the window, 4 the application\n"
    "folder does not exist (--list, --export, --oauth-login), 5 the sign-in failed, was refused\n"
    "or expired.\n";

void Out(const QString& text) {
  std::fputs(text.toUtf8().constData(), stdout);
}

void Err(const QString& text) {
  std::fputs(("VRLCfg31: " + text + "\n").toUtf8().constData(), stderr);
}

// One line per profile: control characters in names would break the lines.
using vrl::OneLine;

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

void Flushed(const QString& text) {
  Out(text);
  std::fflush(stdout);
}

// Signs a profile in at the provider and stores its tokens. The codes to type and pages to open
// are printed; Ctrl+C ends the wait.
int OAuthLogin(const QString& name, bool browser) {
  QList<ProfileRecord> profiles;
  QString error;
  if (!cfgtransfer::ReadProfiles(profiles, error)) {
    Err(error);
    return kExitFailure;
  }
  const auto it = std::find_if(profiles.cbegin(), profiles.cend(), [&](const ProfileRecord& p) { return p.Prfname == name; });
  const QString shown = OneLine(name);
  if (it == profiles.cend()) {
    Err(QStringLiteral("there is no profile \"%1\"").arg(shown));
    return kExitFailure;
  }
  if (!conf::ReadProfileSecurity(*it).UsesOAuth()) {
    Err(QStringLiteral("profile \"%1\" does not sign in with OAuth (AuthMethod oauth2)").arg(shown));
    return kExitFailure;
  }
  const ProfileOAuth o = conf::ReadProfileOAuth(*it).Resolved();
  if (o.ClientId.trimmed().isEmpty() || o.TokenUrl.trimmed().isEmpty()) {
    Err(QStringLiteral("profile \"%1\" has no OAuth client id or token URL (OAuthClientId, OAuthTokenUrl)").arg(shown));
    return kExitFailure;
  }
  oauth::SignInSettings s;
  s.profile = it->Prfname;
  s.deviceUrl = QUrl(o.DeviceUrl.trimmed());
  s.authorizeUrl = QUrl(o.AuthorizeUrl.trimmed());
  s.tokenUrl = QUrl(o.TokenUrl.trimmed());
  s.clientId = o.ClientId.trimmed();
  s.clientSecret = o.ClientSecret;
  s.scopes = o.Scopes.simplified();
  s.browser = browser;

  oauth::SignInUi ui;
  ui.showCode = [](const oauth::DeviceCode& code) {
    const int minutes = (code.expiresInSecs + 59) / 60;
    Flushed((code.message.isEmpty()
                 ? QStringLiteral("Open %1 and enter the code %2\n").arg(code.verificationUri, code.userCode)
                 : code.message + u'\n') +
            QStringLiteral("Waiting for the sign-in (the code is valid for %1 minute%2)...\n")
                .arg(minutes)
                .arg(minutes == 1 ? QString() : QStringLiteral("s")));
  };
  ui.openPage = [](const QUrl& page) {
    Flushed(QStringLiteral("Open this page to sign in: %1\n").arg(page.toString(QUrl::FullyEncoded)));
    oauth::OpenInBrowser(page);
    Flushed(QStringLiteral("Waiting for the browser (at most %1 minutes)...\n").arg(oauth::kBrowserWaitSecs / 60));
  };
  // The device grant bounds the polls; the browser grant asks with 0 between its checks.
  ui.wait = [](int secs) {
    if (secs > 0) QThread::sleep(static_cast<unsigned long>(secs));
    return true;
  };
  const oauth::TokenStore store(vrl::ApplicationFolder());
  const oauth::TokenAnswer answer = oauth::SignIn(store, s, ui);
  if (answer.outcome != oauth::TokenAnswer::Outcome::Tokens) {
    Err(QStringLiteral("sign-in for profile \"%1\" failed: %2").arg(shown, answer.error));
    return kExitSignInFailed;
  }
  Out(QStringLiteral("Signed in: profile \"%1\". The agent renews the tokens from now on.\n").arg(shown));
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
  const QCommandLineOption oauthLogin(QStringLiteral("oauth-login"), QString(), QStringLiteral("NAME"));
  const QCommandLineOption browser(QStringLiteral("browser"));
  const QCommandLineOption help(QStringLiteral("help"));
  const QCommandLineOption version(QStringLiteral("version"));
  parser.addOptions({home, list, exportOpt, importOpt, checkOpt, oauthLogin, browser, help, version});
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
  for (const QCommandLineOption* o : {&home, &exportOpt, &importOpt, &checkOpt, &oauthLogin}) {
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

  const int actions = int(parser.isSet(list)) + int(parser.isSet(exportOpt)) + int(parser.isSet(importOpt)) +
                      int(parser.isSet(checkOpt)) + int(parser.isSet(oauthLogin));
  if (parser.isSet(browser) && !parser.isSet(oauthLogin))
    return usageError(QStringLiteral("--browser goes with --oauth-login"));
  if (actions == 0) return OpenWindow(argc, argv);
  QCoreApplication app(argc, argv);
  if (actions > 1) return usageError(QStringLiteral("give one of --list, --export, --import, --check, --oauth-login"));
  if (parser.isSet(exportOpt) && parser.value(exportOpt).isEmpty())
    return usageError(QStringLiteral("--export needs a file"));

  if (parser.isSet(oauthLogin) && parser.value(oauthLogin).isEmpty())
    return usageError(QStringLiteral("--oauth-login needs a profile name"));

  // A mistyped folder must not pass for an empty configuration.
  if ((parser.isSet(list) || parser.isSet(exportOpt) || parser.isSet(oauthLogin)) &&
      !QFileInfo(vrl::ApplicationFolder()).isDir()) {
    Err(QStringLiteral("the application folder %1 does not exist; check --home or $VORLANE_HOME, "
                       "or create a configuration with --import")
            .arg(vrl::ApplicationFolder()));
    return kExitNoFolder;
  }
  if (parser.isSet(list)) return List();
  if (parser.isSet(oauthLogin)) return OAuthLogin(parser.value(oauthLogin), parser.isSet(browser));
  if (parser.isSet(exportOpt)) return Export(parser.value(exportOpt));
  const QCommandLineOption& action = parser.isSet(importOpt) ? importOpt : checkOpt;
  if (parser.value(action).isEmpty())
    return usageError(QStringLiteral("--%1 needs a file").arg(action.names().first()));
  return Import(parser.value(action), parser.isSet(importOpt));
}
