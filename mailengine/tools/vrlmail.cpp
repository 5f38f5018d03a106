#include "vrlmail.h"

#include "PasswordCommand.h"
#include "socket/TlsTransport.h"

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

const QStringList kSecurityValued = {"--security", "--ca-file", "--fingerprint", "--auth", "--password-command"};
const QStringList kSecuritySwitches = {"--no-verify"};

bool SecurityFromOptions(const std::map<QString, QString>& opt, vrlsec::Settings* s, QString* error) {
  auto get = [&](const char* k) -> std::optional<QString> {
    const auto it = opt.find(QString::fromLatin1(k));
    return it == opt.end() ? std::nullopt : std::optional<QString>(it->second);
  };
  *s = vrlsec::Settings();
  // TLS whenever the server offers it, and never a password in clear unless asked for.
  s->security = vrlsec::Security::Auto;
  if (const auto v = get("--security"); v && !vrlsec::ParseSecurity(*v, &s->security)) {
    *error = QStringLiteral("--security must be auto, none, starttls or tls");
    return false;
  }
  if (s->security == vrlsec::Security::None && (get("--password-file") || get("--password-command")))
    std::fputs("vrlmail: warning: --security none: the password goes in clear text\n", stderr);
  // The tokens of a signed-in profile are the agent's: here a token comes as the password.
  if (const auto v = get("--auth"); v && (!vrlsec::ParseAuth(*v, &s->auth) || s->auth == vrlsec::AuthMethod::OAuth2)) {
    *error = QStringLiteral("--auth must be auto, login, plain or xoauth2");
    return false;
  }
  if (const auto v = get("--ca-file")) {
    if (!QFile::exists(*v)) {
      *error = QStringLiteral("--ca-file: there is no file ") + *v;
      return false;
    }
    s->caFile = *v;
  }
  if (const auto v = get("--fingerprint")) {
    QByteArray pin;
    if (!vrlsock::TlsSettings::ParseFingerprint(*v, &pin) || pin.isEmpty()) {
      *error = QStringLiteral("--fingerprint must be SHA256: followed by 64 hex digits");
      return false;
    }
    s->certFingerprint = *v;
  }
  if (get("--no-verify")) {
    s->verifyCertificate = false;
    std::fputs("vrlmail: warning: --no-verify: the server's certificate is not checked\n", stderr);
  }
  return true;
}

bool PasswordFromOptions(const std::map<QString, QString>& opt, QString* password, QString* error) {
  if (const auto it = opt.find(QStringLiteral("--password-command")); it != opt.end())
    return vrl::RunPasswordCommand(it->second, password, error);
  const auto it = opt.find(QStringLiteral("--password-file"));
  if (it == opt.end()) return true;
  QFile f(it->second);
  if (!f.open(QIODevice::ReadOnly)) {
    *error = QStringLiteral("cannot read ") + f.fileName() + QStringLiteral(": ") + f.errorString();
    return false;
  }
  // A password is one short line, whatever else the file holds.
  *password = QString::fromUtf8(f.readLine(64 * 1024)).remove(u'\r').remove(u'\n');
  return true;
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
