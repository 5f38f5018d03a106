// vrlmail send: one message (or --count copies over one kept-open connection) through
// SMTP_OutMail, printing its Status and SendFailed events as lines.
#include "vrlmail.h"

#include "smtp/SMTP_OutMail.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <cstdio>
#include <map>
#include <optional>

namespace {

const char kSendHelp[] =
    "usage: vrlmail send --host H --port P --from A --to A[;A...] [options]\n"
    "Sends one message (or --count copies over one connection) and prints the engine's status\n"
    "lines; failures also go to standard error.\n"
    "  --host H              SMTP server\n"
    "  --port P              its port, 1..65535 (default 25)\n"
    "  --user U              log in as U (with --password-file or --password-command)\n"
    "  --password-file F     file whose first line is the password\n"
    "  --password-command C  the first line of C's output is the password or token\n"
    "  --security S          auto (default: TLS when offered, no\n"
    "                        password in clear), none, starttls or tls\n"
    "  --ca-file F           trust the CAs of PEM file F instead of the system's\n"
    "  --fingerprint SHA256:HEX  trust exactly the server certificate with this SHA-256\n"
    "  --no-verify           do not check the server's certificate (prints a warning)\n"
    "  --auth M              auto, login (default), plain or xoauth2\n"
    "  --pop-before-smtp     log in to POP3 first instead (with --pop-host)\n"
    "  --pop-host H          POP3 server for --pop-before-smtp\n"
    "  --pop-port P          its port, 1..65535 (default 110)\n"
    "  --from A              sender address\n"
    "  --from-name N         sender's display name\n"
    "  --to A[;A...]         recipients\n"
    "  --cc A[;A...]         copy recipients\n"
    "  --bcc A[;A...]        blind copy recipients\n"
    "  --subject S           subject\n"
    "  --text-file F         message text from file F (UTF-8)\n"
    "  --attach F[;F...]     files to attach\n"
    "  --html                the text is HTML\n"
    "  --uuencode            attachments uuencoded instead of MIME base64\n"
    "  --validate-addresses  check the addresses' syntax before sending\n"
    "  --timeout N           seconds to wait for an answer, 1..300 (default 30)\n"
    "  --count N             send N copies over one connection (default 1)\n"
    "  --quiet               no status lines\n"
    "  --stats               print time, rate and memory figures\n"
    "  --help                this text\n"
    "Exit status: 0 sent, 1 other failure, 2 bad usage or a refused address, 3 cannot connect,\n"
    "the connection broke (TLS failures included) or the server answered out of protocol, 4 login\n"
    "refused, 5 the server refused the message, 6 a local file problem (password, password\n"
    "command, text or attachment file).\n";

int BadUsage(const QString& why) {
  std::fprintf(stderr, "vrlmail send: %s (see vrlmail send --help)\n", why.toUtf8().constData());
  return 2;
}

int LocalFileError(const QFile& f) {
  std::fprintf(stderr, "vrlmail send: cannot read %s: %s\n", f.fileName().toUtf8().constData(),
               f.errorString().toUtf8().constData());
  return 6;
}

// The exit status for the engine's last failure.
int StatusFor(const mailerr::Error& error) {
  using mailerr::Kind;
  switch (error.kind) {
    case Kind::None: return 1;
    case Kind::Input: return 2;
    case Kind::Local: return 6;
    case Kind::Login: return 4;
    case Kind::RefusedPermanently:
    case Kind::RefusedForNow: {
      // Refused for want of a login, whichever command it answers.
      const int code = error.ReplyCode();
      return code == 530 || code == 534 || code == 535 || code == 538 ? 4 : 5;
    }
    case Kind::Connection:
    case Kind::Timeout:
    case Kind::Tls:
    case Kind::Protocol: return 3;
  }
  return 1;
}

void PrintLine(const char* kind, const QString& text) {
  std::printf("%s: %s\n", kind, text.toUtf8().constData());
  std::fflush(stdout);
}

}  // namespace

int RunSend(const QStringList& args) {
  static const QStringList kValued = {"--host", "--port", "--user", "--password-file", "--pop-host",
                                      "--pop-port", "--from", "--from-name", "--to", "--cc", "--bcc",
                                      "--subject", "--text-file", "--attach", "--timeout", "--count"};
  static const QStringList kSwitches = {"--pop-before-smtp", "--html", "--uuencode", "--validate-addresses",
                                        "--quiet", "--stats", "--no-verify"};
  std::map<QString, QString> opt;
  for (qsizetype i = 0; i < args.size(); ++i) {
    QString a = args[i];
    if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
      std::fputs(kSendHelp, stdout);
      return 0;
    }
    const std::optional<QString> inlineValue = TakeInlineValue(a);
    if (kSwitches.contains(a)) {
      if (inlineValue) return BadUsage(a + QStringLiteral(" takes no value"));
      opt[a] = QStringLiteral("1");
    } else if (kValued.contains(a) || kSecurityValued.contains(a)) {
      if (inlineValue) {
        opt[a] = *inlineValue;
        continue;
      }
      if (i + 1 >= args.size()) return BadUsage(a + QStringLiteral(" needs a value"));
      opt[a] = args[++i];
    } else {
      return BadUsage(QStringLiteral("unknown argument '") + a + QStringLiteral("'"));
    }
  }
  auto has = [&](const char* k) { return opt.count(QString::fromLatin1(k)) > 0; };
  auto val = [&](const char* k) { return has(k) ? opt[QString::fromLatin1(k)] : QString(); };
  auto number = [&](const char* k, long def, long* out) {
    if (!has(k)) {
      *out = def;
      return true;
    }
    bool ok = false;
    *out = val(k).toLong(&ok);
    return ok;
  };

  for (const char* k : {"--host", "--from", "--to"})
    if (!has(k)) return BadUsage(QStringLiteral("missing ") + QLatin1String(k));
  long port = 25, popPort = 110, timeout = 30, count = 1;
  if (!number("--port", 25, &port) || port < 1 || port > 65535)
    return BadUsage(QStringLiteral("--port must be 1..65535"));
  if (!number("--pop-port", 110, &popPort) || popPort < 1 || popPort > 65535)
    return BadUsage(QStringLiteral("--pop-port must be 1..65535"));
  if (!number("--timeout", 30, &timeout) || timeout < 1 || timeout > 300)
    return BadUsage(QStringLiteral("--timeout must be 1..300"));
  if (!number("--count", 1, &count) || count < 1) return BadUsage(QStringLiteral("--count must be 1 or more"));
  if (has("--pop-before-smtp") && !has("--pop-host")) return BadUsage(QStringLiteral("--pop-before-smtp needs --pop-host"));
  if (has("--user") != (has("--password-file") || has("--password-command")))
    return BadUsage(QStringLiteral("--user goes with --password-file or --password-command"));
  if (has("--password-file") && has("--password-command"))
    return BadUsage(QStringLiteral("--password-file and --password-command exclude each other"));
  vrlsec::Settings security;
  QString why;
  if (!SecurityFromOptions(opt, &security, &why)) return BadUsage(why);

  QString password;
  if (!PasswordFromOptions(opt, &password, &why)) {
    std::fprintf(stderr, "vrlmail send: %s\n", why.toUtf8().constData());
    return 6;
  }
  QString text;
  if (has("--text-file")) {
    QFile f(val("--text-file"));
    if (!f.open(QIODevice::ReadOnly)) return LocalFileError(f);
    text = QString::fromUtf8(f.readAll());
  }

  const bool quiet = has("--quiet");
  const bool stats = has("--stats");

  SMTP_OutMail mail;
  QObject::connect(&mail, &SMTP_OutMail::Status, [quiet](const QString& s) {
    if (!quiet) PrintLine("status", s);
  });
  QObject::connect(&mail, &SMTP_OutMail::SendFailed, [](const QString& s) {
    PrintLine("failed", s);
    std::fprintf(stderr, "vrlmail send: failed: %s\n", s.toUtf8().constData());
  });

  // Host names go through the system resolver, so "localhost" and dotted addresses both pass.
  // Addresses are checked only on request: local test domains ("user@localhost") are not in
  // the list of top-level domains.
  mail.SetSMTPPort(port);
  mail.SetSecurity(security);
  mail.SetPipelining(true);
  QObject::connect(&mail, &SMTP_OutMail::SecureConnection, [quiet](const QString& s) {
    if (!quiet) PrintLine("status", QStringLiteral("TLS: ") + s);
  });
  mail.SetSMTPHostValidation(SMTP_OutMail::VALIDATE_HOST_DNS);
  mail.SetEmailAddressValidation(has("--validate-addresses") ? SMTP_OutMail::VALIDATE_SYNTAX
                                                             : SMTP_OutMail::validate_none);
  mail.SetDelimiter(QStringLiteral(";"));
  int t = static_cast<int>(std::clamp<long>(timeout, -100000, 100000));
  mail.SetTimeOutNSeconds(t);
  mail.SetSMTPHost(val("--host"));
  mail.Setfrom(val("--from"));
  mail.SetFromDisplayName(val("--from-name"));
  if (has("--user")) {
    mail.SetUseAuthentication(!has("--pop-before-smtp"));
    mail.SetUsername(val("--user"));
    mail.SetPassword(password);
  }
  if (has("--pop-before-smtp")) {
    mail.SetUsePopAuthentication(true);
    mail.SetPOP3Port(popPort);
    mail.SetPOP3Host(val("--pop-host"));
  }
  mail.SetRecipient(val("--to"));
  if (has("--cc")) mail.SetCcRecipient(val("--cc"));
  if (has("--bcc")) mail.SetBccRecipient(val("--bcc"));
  mail.SetSubject(val("--subject"));
  mail.SetMessage(text);
  if (has("--attach")) mail.SetAttachment(val("--attach"));
  mail.SetAsHTML(has("--html"));
  mail.SetEncodeType(has("--uuencode") ? SMTP_OutMail::UU_ENCODE : SMTP_OutMail::MIME_ENCODE);

  const long idleKb = ProcStatusKb("VmRSS");
  QElapsedTimer clock;
  clock.start();
  long sent = 0;
  if (count == 1) {
    sent = mail.send() ? 1 : 0;
  } else if (mail.Connect()) {
    for (long i = 0; i < count; ++i) {
      mail.SetAnotherFollows(i + 1 < count);
      if (mail.send()) ++sent;
    }
    mail.Disconnect();
  }
  const double seconds = clock.nsecsElapsed() / 1e9;

  if (count > 1) std::printf("sent: %ld of %ld\n", sent, count);
  if (stats) {
    std::printf("elapsed: %.3f s\n", seconds);
    if (seconds > 0) std::printf("rate: %.1f msg/s\n", sent / seconds);
    std::printf("rss_idle: %ld kB\n", idleKb);
    std::printf("rss_peak: %ld kB\n", ProcStatusKb("VmHWM"));
  }
  std::fflush(stdout);
  if (sent != count && !mail.GetLastError().isEmpty() && count > 1)
    PrintLine("last error", mail.GetLastError());
  return sent == count ? 0 : StatusFor(mail.LastFailure());
}
