// vrlmail fetch: takes every message out of a POP3 mailbox (or an IMAP folder) and writes its attachments into a
// folder, under their safe names made free with an "n-" prefix (n = 1, 2, 3 ...), staged under
// hidden names and put in place together (delivery/Delivery.h), never over a file already there. A message that
// yields no attachment file is kept whole as "<subject>.eml" (every message, with --raw). A
// message is deleted only after all its files are written and flushed to disk (one flush before
// QUIT, which is when deletions take effect), and never with --keep.
//
// Over IMAP the messages come many per command; those delivered are deleted together (UID STORE
// and EXPUNGE) after the flush, before LOGOUT.
//
// Output: one line per message on stdout, fields separated by TAB (the number is the UID over IMAP):
//   <number> TAB <from> TAB <subject> TAB <saved file names separated by "; ">
// With --stats a summary goes to stderr: messages, attachments, bytes retrieved, seconds and the
// peak resident memory (VmHWM, kB).
#include "OneLine.h"
#include "imap/IMAP_InMail.h"
#include "pop3/POP3_InMail.h"
#include "mime/Pop3MimeParser.h"
#include "delivery/Delivery.h"
#include "mime/Pop3MimeDecode.h"
#include "FileIo.h"
#include "VrlError.h"
#include "vrlmail.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

const char kFetchHelp[] =
    "usage: vrlmail fetch --host H --port P --user U --password-file F --dir D [options]\n"
    "       (--password-command C in place of --password-file)\n"
    "Takes every message out of a POP3 mailbox (or an IMAP folder) into folder D: its attachments\n"
    "as files, a message without attachments whole as <subject>.eml. A message is deleted from\n"
    "the server only after its files are written.\n"
    "  --protocol P         pop3 (default) or imap\n"
    "  --folder NAME        the IMAP folder to empty (default INBOX)\n"
    "  --host H             POP3 or IMAP server\n"
    "  --port P             its port, 1..65535 (110 or 143 is usual)\n"
    "  --user U             mailbox user\n"
    "  --password-file F    file whose first line is the password\n"
    "  --password-command C the first line of C's output is the password or token\n"
    "  --security S         auto (default: TLS when offered, no\n"
    "                       password in clear), none, starttls or tls\n"
    "  --ca-file F          trust the CAs of PEM file F instead of the system's\n"
    "  --fingerprint SHA256:HEX  trust exactly the server certificate with this SHA-256\n"
    "  --no-verify          do not check the server's certificate (prints a warning)\n"
    "  --auth M             auto, login (default: USER/PASS or LOGIN), plain or xoauth2\n"
    "  --dir D              existing folder for the files\n"
    "  --keep               leave the messages on the server\n"
    "  --raw                also keep every message whole as <subject>.eml\n"
    "  --timeout N          seconds to wait for an answer, 1..300 (default 30)\n"
    "  --stats              print a summary line on standard error\n"
    "  --help               this text\n"
    "Exit status: 0 done, 1 other failure, 2 bad usage, 3 cannot connect or the connection broke\n"
    "(TLS failures included), 4 login refused, 5 the server refused a command, 6 a local file or\n"
    "folder problem (password, password command).\n";

struct FetchOptions {
  QString host;
  quint16 port = 0;
  QString user;
  QString dir;
  // --password-file, --password-command and the security options, by name.
  std::map<QString, QString> secret;
  bool imap = false;
  QString folder = QStringLiteral("INBOX");
  bool keep = false;
  bool raw = false;
  qint16 timeout = 30;
  bool stats = false;
  bool help = false;
};

// Parses the options ("--opt value" or "--opt=value"); prints the reason and returns nothing on
// bad usage.
std::optional<FetchOptions> ParseOptions(const QStringList& args) {
  FetchOptions o;
  bool havePort = false;
  for (qsizetype i = 0; i < args.size(); ++i) {
    QString a = args[i];
    const std::optional<QString> inlineValue = TakeInlineValue(a);
    auto value = [&](QString* out) {
      if (inlineValue) {
        *out = *inlineValue;
        return true;
      }
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    auto flag = [&](bool* out) {
      *out = true;
      return !inlineValue;
    };
    QString v;
    bool ok = true;
    if (a == QLatin1String("--keep")) {
      ok = flag(&o.keep);
    } else if (a == QLatin1String("--raw")) {
      ok = flag(&o.raw);
    } else if (a == QLatin1String("--stats")) {
      ok = flag(&o.stats);
    } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
      o.help = true;
      return o;
    } else if (a == QLatin1String("--host")) {
      ok = value(&o.host);
    } else if (a == QLatin1String("--user")) {
      ok = value(&o.user);
    } else if (a == QLatin1String("--password-file") || kSecurityValued.contains(a)) {
      ok = value(&v);
      o.secret[a] = v;
    } else if (kSecuritySwitches.contains(a)) {
      bool on = false;
      ok = flag(&on);
      o.secret[a] = QStringLiteral("1");
    } else if (a == QLatin1String("--protocol")) {
      ok = value(&v) && (v == QLatin1String("pop3") || v == QLatin1String("imap"));
      o.imap = v == QLatin1String("imap");
    } else if (a == QLatin1String("--folder")) {
      ok = value(&o.folder) && !o.folder.isEmpty();
    } else if (a == QLatin1String("--dir")) {
      ok = value(&o.dir);
    } else if (a == QLatin1String("--port")) {
      ok = value(&v);
      const uint p = v.toUInt(&ok);
      ok = ok && p >= 1 && p <= 65535;
      o.port = static_cast<quint16>(p);
      havePort = true;
    } else if (a == QLatin1String("--timeout")) {
      ok = value(&v);
      const int t = v.toInt(&ok);
      ok = ok && t >= 1 && t <= 300;
      o.timeout = static_cast<qint16>(t);
    } else {
      std::fprintf(stderr, "vrlmail fetch: unknown option '%s' (see vrlmail fetch --help)\n",
                   a.toUtf8().constData());
      return std::nullopt;
    }
    if (!ok) {
      std::fprintf(stderr, "vrlmail fetch: bad or missing value for '%s' (see vrlmail fetch --help)\n",
                   a.toUtf8().constData());
      return std::nullopt;
    }
  }
  const bool file = o.secret.count(QStringLiteral("--password-file")) > 0;
  const bool command = o.secret.count(QStringLiteral("--password-command")) > 0;
  if (o.host.isEmpty() || !havePort || o.user.isEmpty() || file == command || o.dir.isEmpty()) {
    std::fputs("vrlmail fetch: --host, --port, --user, --dir and one of --password-file or "
               "--password-command are required (see vrlmail fetch --help)\n",
               stderr);
    return std::nullopt;
  }
  return o;
}

// One line of output must stay one line.
QByteArray Printable(const QString& s) { return vrl::OneLine(s).toUtf8(); }

class Fetcher {
 public:
  explicit Fetcher(const FetchOptions& o) : o_(o) {
    QObject::connect(&pop_, &POP3_InMail::Pop3OperationFailed,
                     [this](const QString& text) { lastFailure_ = text; });
    QObject::connect(&pop_, &POP3_InMail::SecureConnection, [](const QString& text) {
      std::fprintf(stderr, "vrlmail fetch: TLS: %s\n", text.toUtf8().constData());
    });
    QObject::connect(&imap_, &IMAP_InMail::SecureConnection, [](const QString& text) {
      std::fprintf(stderr, "vrlmail fetch: TLS: %s\n", text.toUtf8().constData());
    });
  }

  int RunImap(const QString& password, const vrlsec::Settings& security) {
    imap_.SetSecurity(security);
    qint16 timeout = o_.timeout;
    imap_.SetTimeOutNSeconds(timeout);
    quint16 port = o_.port;
    if (!imap_.Connect(o_.user, password, o_.host, port)) {
      ImapError("connect");
      return imap_.LastFailure().kind == mailerr::Kind::Login ? 4 : 3;
    }
    std::vector<quint32> uids;
    if (!imap_.Select(o_.folder, true)) return ImapFinish(ImapError("selecting the folder"), {});
    if (!imap_.SearchUids(uids)) return ImapFinish(ImapError("listing the messages"), {});
    std::vector<quint32> delivered;
    int status = 0;
    const bool fetched = imap_.FetchMessages(uids, [&](quint32 uid, const QByteArray& message) {
      Pop3Mail mail;
      std::vector<Pop3MailAttachments> atts;
      pop3mime::ParseMessage(message, mail, atts);
      status = Deliver(QByteArray::number(uid), mail, atts, message);
      if (status == 0) delivered.push_back(uid);
      return status == 0;
    });
    if (status == 0 && !fetched) status = ImapError("retrieving messages");
    return ImapFinish(status, delivered);
  }

  int Run(const QString& password, const vrlsec::Settings& security) {
    pop_.SetSecurity(security);
    qint16 timeout = o_.timeout;
    pop_.SetTimeOutNSeconds(timeout);
    quint16 port = o_.port;
    if (!pop_.ConnectToPop3Server(o_.user, password, o_.host, port)) {
      // Refused after USER, PASS or AUTH is a login refused; anything earlier, the connection.
      Error("connect");
      return pop_.LastFailure().kind == mailerr::Kind::Login ? 4 : 3;
    }
    const qint16 n = pop_.GetNMailsOnPop3Server(false);
    if (n == 0 && pop_.CountFailed()) return Finish(Error("counting messages", 5));
    if (n == 32767)
      std::fputs("vrlmail fetch: the mailbox may hold more than 32767 messages; this run takes the "
                 "first 32767\n",
                 stderr);
    // Retrieving ahead pays from the second message on.
    if (n > 1) pop_.RetrieveInOrder(1, n);
    for (int i = 1; i <= n; ++i) {
      if (pop_.RefusedDeletion() != 0) return Finish(DeletionRefused());
      const int status = FetchOne(static_cast<qint16>(i));
      if (status != 0) return Finish(status);
    }
    return Finish(0);
  }

  void PrintStats(double seconds) const {
    std::fprintf(stderr,
                 "vrlmail fetch: stats: messages=%d attachments=%d bytes=%lld seconds=%.3f "
                 "peak_rss_kb=%ld\n",
                 messages_, attachments_, static_cast<long long>(bytes_), seconds, ProcStatusKb("VmHWM"));
  }

 private:
  int ImapError(const char* what, int status = 5) {
    std::fprintf(stderr, "vrlmail fetch: %s failed: %s\n", what, imap_.GetLastError().toUtf8().constData());
    return imap_.IsConnected() ? status : 3;
  }

  // Deletes what was delivered once it is on disk, and logs out; keeps the worse status.
  int ImapFinish(int status, const std::vector<quint32>& delivered) {
    if (!imap_.IsConnected()) return status;
    if (written_ && !vrl::FlushFileSystemOf(o_.dir)) {
      std::fprintf(stderr, "vrlmail fetch: cannot flush %s to disk: %s\n", o_.dir.toUtf8().constData(),
                   std::strerror(errno));
      imap_.Logout();
      return status != 0 ? status : 6;
    }
    if (!o_.keep && !delivered.empty() && !imap_.Delete(delivered)) {
      const int failed = ImapError("deleting messages");
      if (status == 0) status = failed;
    }
    if (imap_.IsConnected()) imap_.Logout();
    return status;
  }

  // Prints the failure; returns status, or 3 when the connection is gone.
  int Error(const char* what, int status = 5) {
    const QString reason = pop_.GetLastError().isEmpty() ? lastFailure_ : pop_.GetLastError();
    std::fprintf(stderr, "vrlmail fetch: %s failed: %s\n", what, reason.toUtf8().constData());
    return pop_.IsConectedToServer() ? status : 3;
  }

  // The server refused a command, also when the refusal is read only with QUIT.
  int DeletionRefused() {
    Error(QByteArray("deleting message " + QByteArray::number(pop_.RefusedDeletion())).constData());
    return 5;
  }

  // Logs out so that the messages already processed are deleted; keeps the worse status. QUIT
  // makes the deletions take effect, so everything written must be on disk first: one flush for
  // the whole run; when it fails the session ends without QUIT and the server keeps them all.
  int Finish(int status) {
    if (!pop_.IsConectedToServer()) return status;
    if (written_ && !vrl::FlushFileSystemOf(o_.dir)) {
      std::fprintf(stderr, "vrlmail fetch: cannot flush %s to disk: %s\n", o_.dir.toUtf8().constData(),
                   std::strerror(errno));
      return status != 0 ? status : 6;
    }
    if (!pop_.DisConnectFromPop3Server()) {
      const int failed = Error("disconnect", 3);
      return status != 0 ? status : failed;
    }
    if (status == 0 && pop_.RefusedDeletion() != 0) return DeletionRefused();
    return status;
  }

  // Stages one attachment of the message; false (printed) on failure.
  bool Stage(delivery::MessageFiles& files, const Pop3MailAttachments& a) {
    const QString target = files.FreeTarget(a.Name);
    const QString temp = files.NewTemporary();
    QString why;
    try {
      // Flushed with everything else before QUIT (or the deletions over IMAP).
      const bool saved = o_.imap ? IMAP_InMail::SaveAttachmentDataToFile(a.Data, temp, &why, false)
                                 : pop_.SaveAttachmentDataToFile(a.Data, temp, false);
      if (saved && files.Add(temp, target)) return true;
      if (!o_.imap) why = pop_.GetLastError();
    } catch (const vrl::VrlError& e) {
      why = e.Description();
    }
    QFile::remove(temp);
    std::fprintf(stderr, "vrlmail fetch: cannot create %s: %s\n", target.toUtf8().constData(), why.toUtf8().constData());
    return false;
  }

  // 0, or the exit status of the failure.
  int FetchOne(qint16 i) {
    Pop3Mail mail;
    std::vector<Pop3MailAttachments> atts;
    QByteArray source;
    try {
      if (!pop_.GetMail(i, mail, atts, &source))
        return Error(QByteArray("retrieving message " + QByteArray::number(i)).constData());
    } catch (const vrl::VrlError& e) {
      std::fprintf(stderr, "vrlmail fetch: message %d: %s\n", i, e.Description().toUtf8().constData());
      return 1;
    }
    if (const int status = Deliver(QByteArray::number(i), mail, atts, source); status != 0) return status;
    atts.clear();  // release the message before the next one
    source.clear();
    if (!o_.keep && !pop_.DelMail(i))
      return Error(QByteArray("deleting message " + QByteArray::number(i)).constData());
    return 0;
  }

  // Writes the files of one message and prints its line: 0, or the exit status of the failure.
  int Deliver(const QByteArray& number, const Pop3Mail& mail, const std::vector<Pop3MailAttachments>& atts,
              const QByteArray& source) {
    // Every file of the message is staged, then all are put in place: the message stays on the
    // server when any of them cannot be made.
    delivery::MessageFiles files(o_.dir);
    written_ = true;
    for (int k = 0; k < mail.AttachedFiles && k < static_cast<int>(atts.size()); ++k)
      if (!Stage(files, atts[static_cast<size_t>(k)])) return 6;
    // A message must never leave the server without something kept of it.
    if (files.Files().isEmpty() || o_.raw) {
      const QString subject = mail.Subject.trimmed();
      const QString name = pop3mime::SafeAttachmentName(
          (subject.isEmpty() ? QStringLiteral("message") : subject) + QStringLiteral(".eml"));
      QString why;
      if (files.AddBytes(name, {source}, &why).isEmpty()) {
        std::fprintf(stderr, "vrlmail fetch: cannot create %s\n", why.toUtf8().constData());
        return 6;
      }
    }
    QString why;
    if (!files.Place(&why)) {
      std::fprintf(stderr, "vrlmail fetch: cannot create %s\n", why.toUtf8().constData());
      return 6;
    }
    QStringList saved;
    for (const QString& path : files.Placed()) saved << QFileInfo(path).fileName();
    ++messages_;
    attachments_ += static_cast<int>(saved.size());
    bytes_ += mail.Size;
    std::printf("%s\t%s\t%s\t%s\n", number.constData(), Printable(mail.from).constData(),
                Printable(mail.Subject).constData(), Printable(saved.join(QStringLiteral("; "))).constData());
    std::fflush(stdout);
    return 0;
  }

  const FetchOptions& o_;
  POP3_InMail pop_;
  IMAP_InMail imap_;
  bool written_ = false;
  QString lastFailure_;
  int messages_ = 0;
  int attachments_ = 0;
  qint64 bytes_ = 0;
};

}  // namespace

int RunFetch(const QStringList& args) {
  const std::optional<FetchOptions> o = ParseOptions(args);
  if (!o) return 2;
  if (o->help) {
    std::fputs(kFetchHelp, stdout);
    return 0;
  }
  vrlsec::Settings security;
  QString why;
  if (!SecurityFromOptions(o->secret, &security, &why)) {
    std::fprintf(stderr, "vrlmail fetch: %s (see vrlmail fetch --help)\n", why.toUtf8().constData());
    return 2;
  }
  QString password;
  if (!PasswordFromOptions(o->secret, &password, &why)) {
    std::fprintf(stderr, "vrlmail fetch: %s\n", why.toUtf8().constData());
    return 6;
  }
  if (!QFileInfo(o->dir).isDir()) {
    std::fprintf(stderr, "vrlmail fetch: no such folder %s\n", o->dir.toUtf8().constData());
    return 6;
  }
  QElapsedTimer clock;
  clock.start();
  Fetcher fetcher(*o);
  const int status = o->imap ? fetcher.RunImap(password, security) : fetcher.Run(password, security);
  if (o->stats) fetcher.PrintStats(static_cast<double>(clock.nsecsElapsed()) / 1e9);
  return status;
}
