// vrlmail fetch: takes every message out of a POP3 mailbox and writes its attachments into a
// folder, under their safe names made free with an "n-" prefix (n = 1, 2, 3 ...). A message is
// deleted only after all its files are written, and never with --keep.
//
// Output: one line per message on stdout, fields separated by TAB:
//   <number> TAB <from> TAB <subject> TAB <saved file names separated by "; ">
// With --stats a summary goes to stderr: messages, attachments, bytes retrieved, seconds and the
// peak resident memory (VmHWM, kB).
// Exit status: 0 all done, 1 a failure (messages already processed are still deleted), 2 bad usage.
#include "POP3_InMail.h"
#include "VrlError.h"
#include "vrlmail.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <optional>

namespace {

constexpr int kMaxUniqueTries = 32767;

void FetchUsage() {
  std::fputs(
      "usage: vrlmail fetch --host H --port P --user U --password-file F --dir D [--keep]\n"
      "                    [--timeout N] [--stats]\n",
      stderr);
}

struct FetchOptions {
  QString host;
  quint16 port = 0;
  QString user;
  QString passwordFile;
  QString dir;
  bool keep = false;
  qint16 timeout = 30;
  bool stats = false;
};

// Parses the options; prints the reason and returns nothing on bad usage.
std::optional<FetchOptions> ParseOptions(const QStringList& args) {
  FetchOptions o;
  bool havePort = false;
  for (qsizetype i = 0; i < args.size(); ++i) {
    const QString& a = args[i];
    auto value = [&](QString* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    QString v;
    bool ok = true;
    if (a == QLatin1String("--keep")) {
      o.keep = true;
    } else if (a == QLatin1String("--stats")) {
      o.stats = true;
    } else if (a == QLatin1String("--host")) {
      ok = value(&o.host);
    } else if (a == QLatin1String("--user")) {
      ok = value(&o.user);
    } else if (a == QLatin1String("--password-file")) {
      ok = value(&o.passwordFile);
    } else if (a == QLatin1String("--dir")) {
      ok = value(&o.dir);
    } else if (a == QLatin1String("--port")) {
      ok = value(&v);
      const uint p = v.toUInt(&ok);
      ok = ok && p <= 65535;
      o.port = static_cast<quint16>(p);
      havePort = true;
    } else if (a == QLatin1String("--timeout")) {
      ok = value(&v);
      const int t = v.toInt(&ok);
      ok = ok && t > 0;
      o.timeout = static_cast<qint16>(std::min(t, 300));
    } else {
      std::fprintf(stderr, "vrlmail fetch: unknown option '%s'\n", a.toUtf8().constData());
      return std::nullopt;
    }
    if (!ok) {
      std::fprintf(stderr, "vrlmail fetch: bad or missing value for '%s'\n", a.toUtf8().constData());
      return std::nullopt;
    }
  }
  if (o.host.isEmpty() || !havePort || o.user.isEmpty() || o.passwordFile.isEmpty() ||
      o.dir.isEmpty()) {
    std::fputs("vrlmail fetch: --host, --port, --user, --password-file and --dir are required\n",
               stderr);
    return std::nullopt;
  }
  return o;
}

long PeakRssKb() {
  QFile f(QStringLiteral("/proc/self/status"));
  if (!f.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray& line : f.readAll().split('\n'))
    if (line.startsWith("VmHWM:")) return line.mid(6).trimmed().split(' ').value(0).toLong();
  return -1;
}

// One line of output must stay one line.
QByteArray Printable(const QString& s) {
  QString out = s;
  for (QChar& c : out)
    if (c.category() == QChar::Other_Control) c = u' ';
  return out.toUtf8();
}

class Fetcher {
 public:
  explicit Fetcher(const FetchOptions& o) : o_(o) {
    QObject::connect(&pop_, &POP3_InMail::Pop3OperationFailed, [this](const QString& text) {
      failed_ = true;
      lastFailure_ = text;
    });
  }

  int Run(const QString& password) {
    qint16 timeout = o_.timeout;
    pop_.SetTimeOutNSeconds(timeout);
    quint16 port = o_.port;
    if (!pop_.ConnectToPop3Server(o_.user, password, o_.host, port)) return Error("connect");
    failed_ = false;
    const qint16 n = pop_.GetNMailsOnPop3Server(false);
    if (n == 0 && failed_) return Finish(Error("counting messages"));
    for (int i = 1; i <= n; ++i) {
      if (!FetchOne(static_cast<qint16>(i))) return Finish(1);
    }
    return Finish(0);
  }

  void PrintStats(double seconds) const {
    std::fprintf(stderr,
                 "vrlmail fetch: stats: messages=%d attachments=%d bytes=%lld seconds=%.3f "
                 "peak_rss_kb=%ld\n",
                 messages_, attachments_, static_cast<long long>(bytes_), seconds, PeakRssKb());
  }

 private:
  int Error(const char* what) {
    const QString reason = pop_.GetLastError().isEmpty() ? lastFailure_ : pop_.GetLastError();
    std::fprintf(stderr, "vrlmail fetch: %s failed: %s\n", what, reason.toUtf8().constData());
    return 1;
  }

  // Logs out so that the messages already processed are deleted; keeps the worse status.
  int Finish(int status) {
    if (pop_.IsConectedToServer() && !pop_.DisConnectFromPop3Server()) {
      Error("disconnect");
      return 1;
    }
    return status;
  }

  // Writes one attachment under a free name; returns the name used, or nothing on failure.
  std::optional<QString> Save(const Pop3MailAttachments& a) {
    for (int k = 0; k <= kMaxUniqueTries; ++k) {
      const QString name = k == 0 ? a.Name : QString::number(k) + QLatin1Char('-') + a.Name;
      const QString path = QDir(o_.dir).filePath(name);
      try {
        if (pop_.SaveAttachmentDataToFile(a.Data, path)) return name;
        std::fprintf(stderr, "vrlmail fetch: cannot create %s: %s\n", path.toUtf8().constData(),
                     pop_.GetLastError().toUtf8().constData());
        return std::nullopt;
      } catch (const vrl::VrlError& e) {
        if (e.Number() == vrl::ErrNum(0x80040210u)) continue;  // taken: next counter
        std::fprintf(stderr, "vrlmail fetch: cannot create %s: %s\n", path.toUtf8().constData(),
                     e.Description().toUtf8().constData());
        return std::nullopt;
      }
    }
    std::fprintf(stderr, "vrlmail fetch: no free name for %s\n", a.Name.toUtf8().constData());
    return std::nullopt;
  }

  bool FetchOne(qint16 i) {
    Pop3Mail mail;
    std::vector<Pop3MailAttachments> atts;
    try {
      if (!pop_.GetMail(i, mail, atts)) {
        Error(QByteArray("retrieving message " + QByteArray::number(i)).constData());
        return false;
      }
    } catch (const vrl::VrlError& e) {
      std::fprintf(stderr, "vrlmail fetch: message %d: %s\n", i, e.Description().toUtf8().constData());
      return false;
    }
    QStringList saved;
    for (int k = 0; k < mail.AttachedFiles && k < static_cast<int>(atts.size()); ++k) {
      const std::optional<QString> name = Save(atts[static_cast<size_t>(k)]);
      if (!name) return false;  // the message stays on the server
      saved << *name;
    }
    ++messages_;
    attachments_ += static_cast<int>(saved.size());
    bytes_ += mail.Size;
    std::printf("%d\t%s\t%s\t%s\n", i, Printable(mail.from).constData(),
                Printable(mail.Subject).constData(), Printable(saved.join(QStringLiteral("; "))).constData());
    std::fflush(stdout);
    atts.clear();  // release the message before the next one
    if (!o_.keep && !pop_.DelMail(i)) {
      Error(QByteArray("deleting message " + QByteArray::number(i)).constData());
      return false;
    }
    return true;
  }

  const FetchOptions& o_;
  POP3_InMail pop_;
  bool failed_ = false;
  QString lastFailure_;
  int messages_ = 0;
  int attachments_ = 0;
  qint64 bytes_ = 0;
};

}  // namespace

int RunFetch(const QStringList& args) {
  const std::optional<FetchOptions> o = ParseOptions(args);
  if (!o) {
    FetchUsage();
    return 2;
  }
  QFile pwFile(o->passwordFile);
  if (!pwFile.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "vrlmail fetch: cannot read the password file %s\n",
                 o->passwordFile.toUtf8().constData());
    return 1;
  }
  QByteArray pw = pwFile.readLine();
  while (pw.endsWith('\n') || pw.endsWith('\r')) pw.chop(1);
  if (!QFileInfo(o->dir).isDir()) {
    std::fprintf(stderr, "vrlmail fetch: no such folder %s\n", o->dir.toUtf8().constData());
    return 1;
  }
  QElapsedTimer clock;
  clock.start();
  Fetcher fetcher(*o);
  const int status = fetcher.Run(QString::fromUtf8(pw));
  if (o->stats) fetcher.PrintStats(static_cast<double>(clock.nsecsElapsed()) / 1e9);
  return status;
}
