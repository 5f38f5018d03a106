#include "local/LocalMsgSession.h"

#include "Clock.h"
#include "FileIo.h"
#include "mime/Codec.h"
#include "mime/MimeCompose.h"
#include "mime/Pop3MimeDecode.h"
#include "mime/Pop3MimeParser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace localmsg {

struct SessionData {
  bool loggedOn = false;
  QString maildir;
  QString senderName, senderAddress;
  bool lastTransient = false;
  std::deque<QString> inbox;  // message files, oldest delivery first, not yet deleted
};

struct RecipientData {
  QString name;
  qint32 type = kPrimaryRecipient;
  QString address, display;
  bool resolved = false;
};

struct AttachmentData {
  QString name;
  qint32 type = kFileData;
  QString source;           // a file to send
  Pop3AttachmentData data;  // a received part
  bool received = false;
};

struct MessageData {
  std::shared_ptr<SessionData> session;
  bool inbox = false;
  bool sent = false;
  QString path;  // the file of a received message
  QString subject, text;
  QByteArray received;  // a received message's text as UTF-8, made a QString only when asked
  std::vector<RecipientData> recipients;
  std::vector<AttachmentData> attachments;
  std::optional<AddressEntry> sender;
};

namespace {

const QString kSource = QStringLiteral("Vorlane Local Messaging 3.1");
// Each wait for sendmail: to start, to take the next block, to end.
constexpr int kSendmailWaitMs = 60000;
// Queuing pauses while this much waits in the pipe.
constexpr qint64 kMaxQueued = 256 * 1024;
// sendmail's "temporary failure" (sysexits EX_TEMPFAIL).
constexpr int kExitTempFail = 75;

[[noreturn]] void Raise(int32_t number, const QString& text) { throw vrl::VrlError(number, text, kSource); }

QString ErrnoText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

SessionData& LoggedOn(const std::shared_ptr<SessionData>& s) {
  if (!s || !s->loggedOn) Raise(kErrCallFailed, QStringLiteral("The session is not logged on"));
  return *s;
}

bool DotAtomChar(QChar c) {
  return (c.unicode() < 128 && c.isLetterOrNumber()) ||
         QStringLiteral("!#$%&'*+-/=?^_`{|}~.").contains(c);
}

// A local name or name@domain, as a local mail transfer agent delivers it.
bool ValidAddress(const QString& a) {
  const qsizetype at = a.indexOf(u'@');
  const QString local = at < 0 ? a : a.left(at);
  if (local.isEmpty() || local.startsWith(u'.') || local.endsWith(u'.') || local.contains(QLatin1String("..")))
    return false;
  if (!std::all_of(local.begin(), local.end(), DotAtomChar)) return false;
  if (at < 0) return true;
  for (const QString& label : a.mid(at + 1).split(u'.')) {
    if (label.isEmpty() || label.size() > 63 || label.startsWith(u'-') || label.endsWith(u'-')) return false;
    for (QChar c : label)
      if (c.unicode() >= 128 || !(c.isLetterOrNumber() || c == u'-')) return false;
  }
  return true;
}

// "Display Name <address>" split in two; a bare address has no display name.
std::pair<QString, QString> SplitNameAddress(const QString& text) {
  const QString t = text.trimmed();
  const qsizetype lt = t.lastIndexOf(u'<');
  if (lt < 0 || !t.endsWith(u'>')) return {QString(), t};
  QString name = t.left(lt).trimmed();
  if (name.size() >= 2 && name.startsWith(u'"') && name.endsWith(u'"'))
    name = name.mid(1, name.size() - 2).replace(QLatin1String("\\\""), QLatin1String("\""));
  return {name, t.mid(lt + 1, t.size() - lt - 2).trimmed()};
}

void ResolveRecipient(RecipientData& r) {
  const auto [display, address] = SplitNameAddress(r.name);
  if (!ValidAddress(address)) Raise(kErrUnresolved, QStringLiteral("The address does not resolve: ") + r.name);
  r.display = display;
  r.address = address;
  r.resolved = true;
}

// True when a received part only refers to content kept elsewhere.
bool RefersToExternalContent(QByteArrayView part) {
  QByteArray value;
  bool inField = false;
  for (QByteArrayView rest = part; !rest.isEmpty();) {
    const qsizetype lf = rest.indexOf('\n');
    QByteArrayView line = lf < 0 ? rest : rest.first(lf);
    rest = lf < 0 ? QByteArrayView() : rest.sliced(lf + 1);
    if (line.endsWith('\r')) line.chop(1);
    if (line.isEmpty()) break;
    if (line.front() == ' ' || line.front() == '\t') {
      if (inField) value += line;
      continue;
    }
    if (inField) break;  // the first Content-Type counts
    inField = line.size() > 13 && line.first(13).toByteArray().toLower() == "content-type:";
    if (inField) value = line.sliced(13).toByteArray();
  }
  return pop3mime::ParseContentField(value).value == "message/external-body";
}

// Delivery order of a Maildir file: the seconds its name starts with (the delivery time a
// delivery agent writes there), else its modification time; then the modification time; then
// the name.
struct InboxEntry {
  qint64 delivered;
  qint64 modifiedMs;
  QString name;
  QString path;
};

std::deque<QString> ListInbox(const QString& maildir) {
  std::vector<InboxEntry> entries;
  for (const char* sub : {"new", "cur"}) {
    const QDir dir(maildir + QLatin1Char('/') + QLatin1String(sub));
    for (const QFileInfo& info : dir.entryInfoList(QDir::Files)) {  // hidden names are not mail
      const qint64 ms = info.lastModified().toMSecsSinceEpoch();
      const QString name = info.fileName();
      bool numeric = false;
      const qint64 stamp = name.section(u'.', 0, 0).toLongLong(&numeric);
      entries.push_back({numeric && name.contains(u'.') ? stamp : ms / 1000, ms, name, info.filePath()});
    }
  }
  std::sort(entries.begin(), entries.end(), [](const InboxEntry& a, const InboxEntry& b) {
    return std::tie(a.delivered, a.modifiedMs, a.name) < std::tie(b.delivered, b.modifiedMs, b.name);
  });
  std::deque<QString> out;
  for (const auto& e : entries) out.push_back(e.path);
  return out;
}

// This user as a sender: the login name, and the full name from the account.
std::pair<QString, QString> CurrentUser() {
  const struct passwd* pw = ::getpwuid(::geteuid());
  if (!pw) return {QString(), QString::number(::geteuid())};
  const QString login = QString::fromLocal8Bit(pw->pw_name);
  const QString full = QString::fromLocal8Bit(pw->pw_gecos ? pw->pw_gecos : "").section(u',', 0, 0).trimmed();
  return {full.isEmpty() ? login : full, login};
}

QString SendmailProgram() {
  const QString named = qEnvironmentVariable("VORLANE_SENDMAIL");
  return named.isEmpty() ? QStringLiteral("/usr/sbin/sendmail") : named;
}

// Streams the composed message to sendmail. The engine writes it as it goes on the wire after
// DATA; sendmail reads a local file: LF line ends and no dot-stuffing (-i: a line with a lone
// dot is text).
void Sendmail(SessionData& s, const mimecompose::MessageContent& m, const QByteArray& head,
              const QByteArray& boundary) {
  const QString program = SendmailProgram();
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(program, {QStringLiteral("-i"), QStringLiteral("-t")});
  if (!p.waitForStarted(kSendmailWaitMs))
    Raise(kErrCallFailed, QStringLiteral("Cannot run ") + program + QStringLiteral(": ") + p.errorString());

  bool lineStart = true, pendingCr = false, stalled = false;
  const auto sink = [&](const QByteArray& block) {
    QByteArray out;
    out.reserve(block.size());
    for (const char c : block) {
      if (pendingCr) {
        pendingCr = false;
        if (c == '\n') {
          out += '\n';
          lineStart = true;
          continue;
        }
        out += '\r';
        lineStart = false;
      }
      if (c == '\r') {
        pendingCr = true;
        continue;
      }
      if (lineStart && c == '.') {  // the stuffed dot
        lineStart = false;
        continue;
      }
      out += c;
      lineStart = c == '\n';
    }
    if (p.write(out) != out.size()) return false;
    while (p.bytesToWrite() > kMaxQueued) {
      if (!p.waitForBytesWritten(kSendmailWaitMs)) {
        stalled = p.state() == QProcess::Running;
        return false;
      }
    }
    return true;
  };
  QString readError;
  const bool written = mimecompose::MessageWriter::Write(m, head, boundary, sink, {}, &readError) &&
                       (!pendingCr || p.write("\r") == 1);
  if (!written && (!readError.isEmpty() || stalled)) {
    // Ended before its input did: sendmail queues nothing.
    p.kill();
    p.waitForFinished(kSendmailWaitMs);
    s.lastTransient = stalled;
    Raise(kErrCallFailed, stalled ? program + QStringLiteral(" stopped reading the message") : readError);
  }
  p.closeWriteChannel();
  if (!p.waitForFinished(kSendmailWaitMs)) {
    p.kill();
    p.waitForFinished(kSendmailWaitMs);
    s.lastTransient = true;
    Raise(kErrCallFailed, program + QStringLiteral(" did not finish within %1 seconds").arg(kSendmailWaitMs / 1000));
  }
  const QString said = QString::fromLocal8Bit(p.readAll()).simplified().left(500);
  if (p.exitStatus() != QProcess::NormalExit)
    Raise(kErrCallFailed, program + QStringLiteral(" ended abnormally: ") + said);
  if (p.exitCode() != 0) {
    s.lastTransient = p.exitCode() == kExitTempFail;
    Raise(kErrCallFailed, program + QStringLiteral(" failed (exit status %1): ").arg(p.exitCode()) + said);
  }
  if (!written) Raise(kErrCallFailed, program + QStringLiteral(" ended before it had read the whole message"));
}

}  // namespace

// ---------------------------------------------------------------- the Maildir

QString MaildirPath(const QString& profileName) {
  const QString n = profileName.trimmed();
  if (n.startsWith(u'/')) return QDir::cleanPath(n);
  if (n == QLatin1String("~") || n.startsWith(QLatin1String("~/"))) return QDir::cleanPath(QDir::homePath() + n.mid(1));
  return QDir::cleanPath(QDir::homePath() + QLatin1Char('/') + n);
}

QString MaildirProblem(const QString& profileName) {
  if (profileName.trimmed().isEmpty()) return QStringLiteral("No Maildir is named");
  const QString path = MaildirPath(profileName);
  const QFileInfo info(path);
  if (!info.exists()) return path + QStringLiteral(" does not exist");
  if (!info.isDir()) return path + QStringLiteral(" is not a folder");
  for (const char* sub : {"new", "cur", "tmp"}) {
    const QString dir = path + QLatin1Char('/') + QLatin1String(sub);
    if (!QFileInfo(dir).isDir())
      return path + QStringLiteral(" is not a Maildir (it has no %1/ folder)").arg(QLatin1String(sub));
    if (::access(QFile::encodeName(dir).constData(), R_OK | W_OK | X_OK) != 0)
      return path + QStringLiteral(" is a Maildir this user may not read and write (%1/: %2)")
                        .arg(QLatin1String(sub), ErrnoText(errno));
  }
  return {};
}

// ---------------------------------------------------------------- recipients

QString Recipient::Name() const { return m_->recipients[i_].name; }
void Recipient::SetName(const QString& name) {
  m_->recipients[i_].name = name;
  m_->recipients[i_].resolved = false;
}
qint32 Recipient::Type() const { return m_->recipients[i_].type; }
void Recipient::SetType(qint32 type) {
  if (type != kPrimaryRecipient && type != kCopyRecipient)
    Raise(kErrNoSupport, QStringLiteral("Recipient type %1 is not supported").arg(type));
  m_->recipients[i_].type = type;
}
QString Recipient::Address() const { return m_->recipients[i_].address; }
void Recipient::Resolve() { ResolveRecipient(m_->recipients[i_]); }

Recipient RecipientList::Add() {
  m_->recipients.emplace_back();
  return Recipient(m_, m_->recipients.size() - 1);
}
long RecipientList::Count() const { return static_cast<long>(m_->recipients.size()); }
Recipient RecipientList::Item(long index) const {
  if (index < 1 || index > Count()) Raise(kErrNotFound, QStringLiteral("No recipient %1").arg(index));
  return Recipient(m_, static_cast<size_t>(index - 1));
}

// ---------------------------------------------------------------- attachments

qint32 Attachment::Type() const { return m_->attachments[i_].type; }
QString Attachment::Name() const { return m_->attachments[i_].name; }

QString Attachment::Fields(quint32 id) const {
  if (id != kAttachLongFilename) Raise(kErrNotFound, QStringLiteral("No field 0x%1").arg(id, 8, 16, QLatin1Char('0')));
  return m_->attachments[i_].name;
}

void Attachment::WriteToFile(const QString& path, bool flush) const {
  const AttachmentData& a = m_->attachments[i_];
  if (!a.received || a.type != kFileData)
    Raise(kErrNoSupport, QStringLiteral("The attachment holds no received file data: ") + a.name);
  QString error;
  bool saved = false;
  try {
    saved = pop3mime::SaveAttachmentData(a.data, path, &error, flush);
  } catch (const vrl::VrlError& e) {
    if (e.Number() == vrl::kErrPathNotFound) Raise(kErrPathNotFound, QStringLiteral("Path not found"));
    error = e.Description();
  }
  if (!saved) Raise(kErrCallFailed, QStringLiteral("Cannot write ") + path + QStringLiteral(": ") + error);
}

Attachment AttachmentList::Add(const QString& name, std::optional<long> position,
                               std::optional<qint32> type, const QString& source) {
  (void)position;
  if (type.value_or(kFileData) != kFileData)
    Raise(kErrNoSupport, QStringLiteral("Only file data can be attached"));
  if (!QFileInfo(source).isFile()) Raise(kErrNotFound, QStringLiteral("No such file: ") + source);
  AttachmentData a;
  a.name = name.isEmpty() ? QFileInfo(source).fileName() : name;
  a.source = source;
  m_->attachments.push_back(std::move(a));
  return Attachment(m_, m_->attachments.size() - 1);
}
long AttachmentList::Count() const { return static_cast<long>(m_->attachments.size()); }
Attachment AttachmentList::Item(long index) const {
  if (index < 1 || index > Count()) Raise(kErrNotFound, QStringLiteral("No attachment %1").arg(index));
  return Attachment(m_, static_cast<size_t>(index - 1));
}

// ---------------------------------------------------------------- messages

Message::Message(std::unique_ptr<MessageData> d) : d_(std::move(d)) {}
Message::~Message() = default;

RecipientList Message::Recipients() { return RecipientList(d_.get()); }
AttachmentList Message::Attachments() { return AttachmentList(d_.get()); }
QString Message::Subject() const { return d_->subject; }
void Message::SetSubject(const QString& subject) { d_->subject = subject; }
QString Message::Text() const { return d_->received.isNull() ? d_->text : QString::fromUtf8(d_->received); }
QByteArray Message::TextUtf8() const { return d_->received.isNull() ? d_->text.toUtf8() : d_->received; }
void Message::SetText(const QString& text) {
  d_->text = text;
  d_->received = QByteArray();
}
void Message::Update() {}
std::optional<AddressEntry> Message::Sender() const { return d_->sender; }

void Message::Send(bool showDialog) {
  (void)showDialog;
  MessageData& d = *d_;
  SessionData& s = LoggedOn(d.session);
  if (d.inbox || d.sent) Raise(kErrNoSupport, QStringLiteral("Only a new message can be sent"));
  s.lastTransient = false;
  mimecompose::MessageContent m;
  for (RecipientData& r : d.recipients) {
    if (!r.resolved) ResolveRecipient(r);
    (r.type == kCopyRecipient ? m.cc : m.to) << r.address;
    (r.type == kCopyRecipient ? m.ccNames : m.toNames) << r.display;
  }
  if (m.to.isEmpty() && m.cc.isEmpty()) Raise(kErrUnresolved, QStringLiteral("The message has no recipient"));
  m.from = s.senderAddress;
  m.fromDisplayName = s.senderName;
  m.subject = d.subject;
  const QString text = d.received.isNull() ? d.text : QString::fromUtf8(d.received);
  m.body = codec::ProcessBodyLines(text, !codec::FitsLatin1(text));
  for (const AttachmentData& a : d.attachments) {
    const QFileInfo info(a.source);
    if (!info.isFile()) Raise(kErrNotFound, QStringLiteral("No such file: ") + a.source);
    m.attachments.push_back({a.source, a.name, info.size(), false});
  }
  const QDateTime now = vrl::Now();
  const QByteArray boundary = mimecompose::MakeBoundary(now);
  Sendmail(s, m, mimecompose::ComposeHead(m, boundary, now, vrl::UtcOffsetSeconds(now)), boundary);
  d.sent = true;
}

void Message::Delete() {
  MessageData& d = *d_;
  if (!d.inbox) return;  // a new message is simply not sent
  SessionData& s = LoggedOn(d.session);
  if (::unlink(QFile::encodeName(d.path).constData()) != 0) {
    const int err = errno;
    if (err != ENOENT) Raise(kErrCallFailed, QStringLiteral("Cannot remove ") + d.path + QStringLiteral(": ") + ErrnoText(err));
    std::erase(s.inbox, d.path);
    Raise(kErrNotFound, QStringLiteral("The message is gone: ") + d.path);
  }
  std::erase(s.inbox, d.path);
}

void Message::Keep() {
  if (d_->inbox) std::erase(LoggedOn(d_->session).inbox, d_->path);
}

QByteArray Message::Id() const {
  if (!d_->inbox) return {};
  const QString name = QFileInfo(d_->path).fileName();
  return QFile::encodeName(name.left(name.indexOf(QLatin1Char(':')) < 0 ? name.size() : name.indexOf(QLatin1Char(':'))));
}

std::shared_ptr<Message> MessageList::Add() {
  LoggedOn(s_);
  if (inbox_) Raise(kErrNoSupport, QStringLiteral("New messages go into the Outbox"));
  auto d = std::make_unique<MessageData>();
  d->session = s_;
  return std::shared_ptr<Message>(new Message(std::move(d)));
}

long MessageList::Count() const {
  if (!inbox_) return 0;  // a message leaves the Outbox as it is sent
  return static_cast<long>(LoggedOn(s_).inbox.size());
}

std::shared_ptr<Message> MessageList::GetFirst() {
  if (!inbox_) return nullptr;
  SessionData& s = LoggedOn(s_);
  while (!s.inbox.empty()) {
    const QString path = s.inbox.front();
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
      if (!f.exists()) {  // taken meanwhile (another reader, or flags changed its name)
        s.inbox.pop_front();
        continue;
      }
      Raise(kErrCallFailed, QStringLiteral("Cannot read ") + path + QStringLiteral(": ") + f.errorString());
    }
    const QByteArray raw = f.readAll();
    if (f.error() != QFileDevice::NoError)
      Raise(kErrCallFailed, QStringLiteral("Cannot read ") + path + QStringLiteral(": ") + f.errorString());
    Pop3Mail mail;
    std::vector<Pop3MailAttachments> parts;
    pop3mime::ParseMessage(raw, mail, parts);
    auto d = std::make_unique<MessageData>();
    d->session = s_;
    d->inbox = true;
    d->path = path;
    d->subject = mail.Subject;
    d->received = mail.Message.isNull() ? QByteArray("") : std::move(mail.Message);
    if (!mail.from.trimmed().isEmpty()) {
      const auto [name, address] = SplitNameAddress(mail.from);
      d->sender = AddressEntry{name.isEmpty() ? address : name, address};
    }
    for (Pop3MailAttachments& part : parts) {
      AttachmentData a;
      a.name = part.Name;
      a.received = true;
      a.type = RefersToExternalContent(part.Data.Part()) ? kFileLink : kFileData;
      a.data = std::move(part.Data);
      d->attachments.push_back(std::move(a));
    }
    return std::shared_ptr<Message>(new Message(std::move(d)));
  }
  return nullptr;
}

MessageList Folder::Messages() {
  SessionData& s = LoggedOn(s_);
  if (inbox_) s.inbox = ListInbox(s.maildir);
  return MessageList(s_, inbox_);
}

// ---------------------------------------------------------------- the session

Session::Session() : d_(std::make_shared<SessionData>()) {}
Session::~Session() { Logoff(); }

void Session::Logon(const QString& profileName, const QString& password, bool showDialog,
                    bool newSession, long parentWindow) {
  (void)password, (void)showDialog, (void)newSession, (void)parentWindow;
  const QString problem = MaildirProblem(profileName);
  if (!problem.isEmpty()) Raise(kErrLogonFailed, problem);
  // A new session object each time: handles of an earlier logon see it logged off.
  Logoff();
  d_ = std::make_shared<SessionData>();
  d_->maildir = MaildirPath(profileName);
  std::tie(d_->senderName, d_->senderAddress) = CurrentUser();
  d_->loggedOn = true;
}

void Session::Logoff() {
  d_->loggedOn = false;
  d_->inbox.clear();
}

Folder Session::Outbox() {
  LoggedOn(d_);
  return Folder(d_, false);
}
Folder Session::Inbox() {
  LoggedOn(d_);
  return Folder(d_, true);
}
void Session::DeliverNow() { LoggedOn(d_); }

void Session::SetSender(const QString& name, const QString& address) {
  d_->senderName = name;
  d_->senderAddress = address;
}
QString Session::MaildirFolder() const { return d_->maildir; }
bool Session::LastFailureTransient() const { return d_->lastTransient; }

}  // namespace localmsg
