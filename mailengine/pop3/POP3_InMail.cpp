#include "pop3/POP3_InMail.h"

#include "socket/MailError.h"

#include "socket/CSocket.h"
#include "socket/TlsTransport.h"
#include "mime/Codec.h"
#include "EventWait.h"
#include "mime/Pop3MimeParser.h"
#include "VrlError.h"

#include <QDeadlineTimer>
#include <QScopeGuard>

#include <algorithm>
#include <cstring>
#include <deque>
#include <utility>

using mailerr::Kind;

namespace {

const QString kErrClearLogin =
    QStringLiteral("The POP3 server does not offer STLS: the password would go in clear text, so nothing was sent "
                   "(choose security tls or starttls, or none for a trusted local server)");
const QString kErrNoStls =
    QStringLiteral("The POP3 server does not offer STLS, which the profile requires: nothing was sent");
const QString kProductName = QStringLiteral("Vorlane POP3 & SMTP Engine 3.1");
// A status line longer than this is handled as it stands (a POP3 status line is at most 512).
constexpr qsizetype kMaxStatusLine = 64 * 1024;
// As much of a server's answer as an error text quotes.
constexpr qsizetype kMaxQuotedAnswer = 200;
// What a retrieval reserves at most on the word of the server, before any byte of it came.
constexpr qint64 kMaxFirstReserve = 256LL << 20;

// A command argument stays on its command's line: a CR or LF in it would start a new command.
QByteArray OneLine(const QString& text) {
  QByteArray bytes = text.toUtf8();
  bytes.replace('\r', QByteArray()).replace('\n', QByteArray());
  return bytes;
}

QByteArray WithoutCR(QByteArray line) {
  if (line.endsWith('\r')) line.chop(1);
  return line;
}

// The first "\n.\r\n" (or "\n.\n") at or after from; the index of its LF, or -1.
qsizetype FindTerminator(const QByteArray& buf, qsizetype from) {
  const char* data = buf.constData();
  const qsizetype n = buf.size();
  for (qsizetype pos = std::max<qsizetype>(from, 0); pos < n;) {
    const void* hit = memmem(data + pos, static_cast<size_t>(n - pos), "\n.", 2);
    if (!hit) return -1;
    const qsizetype i = static_cast<const char*>(hit) - data;
    if (i + 2 < n && data[i + 2] == '\n') return i;
    if (i + 3 < n && data[i + 2] == '\r' && data[i + 3] == '\n') return i;
    pos = i + 1;
  }
  return -1;
}

}  // namespace

struct POP3_InMail::Impl {
  explicit Impl(POP3_InMail* owner);

  enum Operation { OpNone = 0, OpConnect = 1, OpDisconnect = 2, OpCount = 3, OpRetrieve = 4, OpDelete = 5,
                   OpCapa = 6, OpList = 7, OpUidl = 8, OpAuth = 9 };
  // A command sent during read-ahead whose answer has not been read yet.
  struct Pending {
    int index;
    bool dele;
  };
  // A RETR answer read ahead: the message, or refused.
  struct Ahead {
    int index;
    bool refused;
    QByteArray message;
  };

  bool ConnectToPop3Server(const QString& user, const QString& password, const QString& host, quint16& port);
  bool DisConnectFromPop3Server();
  qint16 GetNMailsOnPop3Server(bool force);
  bool GetMail(qint16 index, Pop3Mail& mail, std::vector<Pop3MailAttachments>& Attachments, QByteArray* source);
  bool DelMail(qint16 index);
  bool RetrieveInOrder(std::vector<qint16> order);
  bool SaveAttachmentDataToFile(const Pop3AttachmentData& data, const QString& path, bool flush);

  enum WaitResult { WaitDone, WaitAborted, WaitTimedOut };

  void OnDataArrival(long bytesTotal);
  void OnSocketError(int number, const QString& description, const QString& source);
  void OnSocketClose();

  // The answer handler: every byte the server sends goes through here.
  void HandleAnswerBytes(QByteArrayView bytes);
  void HandleLine(const QByteArray& line);
  void HandleLoginLine(const QByteArray& line);
  void HandleRetrieveBytes(QByteArrayView bytes);
  void CompleteRetrieve(qsizetype terminator);
  void HandleErrorAnswer(const QByteArray& line, const QByteArray& rest = QByteArray());
  void HandleListLine(const QByteArray& line);
  // The answer to the first pending command is read: the next one's turn (rest: bytes after it).
  void AnswerDone(const QByteArray& rest);
  void FollowPending();
  // CAPA, LIST or UIDL: one answer of several lines.
  WaitResult ListOperation(Operation op);
  // LIST or UIDL into sizes_ or uids_, for every message of the count.
  bool ListPerMessage(Operation op);
  void Queue(const QByteArray& command, Pending p);
  void SendAhead();
  bool Flush();
  // Waits until every command sent is answered and ends the read-ahead; false when the session
  // broke (the socket is closed then, since later answers could not be matched).
  bool Drain();
  bool TakeAhead(Pop3Mail& mail, std::vector<Pop3MailAttachments>& Attachments, QByteArray* source);
  void BreakPipeline();
  qint64 AheadSize(int index) const;

  // Login steps: one command and its "+OK" (or a SASL continuation).
  WaitResult Step(const QByteArray& command, bool send = true);
  WaitResult Capabilities();
  bool Offers(const QString& capability) const;
  bool OffersSasl(const QByteArray& mechanism) const;
  bool PutTls(bool implicit);
  WaitResult LogIn();
  WaitResult SaslLogIn(const QByteArray& mechanism, const QByteArray& response);
  void CloseSocket();

  void StartOperation(Operation op);
  bool SendCommand(const QByteArray& command);
  // Runs the event loop until flag is set (true), an abort, or silence for the time-out.
  WaitResult Wait(const bool& flag);
  // kind None: the kind of the failure that caused this one (a refusal, a broken connection).
  void Fail(const QString& text, mailerr::Kind kind, const QByteArray& reply = QByteArray());
  void FailRetrieve(WaitResult r);
  // A "-ERR" answer as an error value; login: it answers USER, PASS or AUTH.
  static mailerr::Error Refusal(const QByteArray& line, bool login);
  void Fail(const mailerr::Error& error) {
    Fail(error.description, error.kind, error.reply);
    failure_ = error;
  }
  // False when the count cannot be had; throws for a bad index.
  bool CheckIndex(qint16 index);

  POP3_InMail* q;
  std::unique_ptr<CSocket> socket_;
  vrlsec::Settings security_;
  qint16 timeoutSeconds_ = 3;
  QString host_;
  QString user_;
  QString password_;
  Operation op_ = OpNone;
  bool connected_ = false;
  bool stepDone_ = false;
  bool continuation_ = false;  // the server answered "+ " to a SASL step
  QByteArray challenge_;       // what came with it
  QString authError_;          // what a refused XOAUTH2 token's challenge said
  bool listRefused_ = false;
  bool disconnectDone_ = false;
  bool countDone_ = false;
  bool retrieveDone_ = false;
  bool deleteDone_ = false;
  bool listDone_ = false;
  bool multiLine_ = false;  // the "+OK" of a CAPA, LIST or UIDL answer arrived, its lines follow
  bool capaAsked_ = false;  // CAPA was answered in this session (capabilities_ holds it)
  QStringList capabilities_;
  std::vector<QByteArray> uids_;
  bool answered_ = false;
  bool handling_ = false;   // inside the answer handler: data arriving meanwhile waits in inbox_
  QByteArray inbox_;
  bool error_ = false;
  bool abort_ = false;
  bool dataSeen_ = false;
  qint16 count_ = NotInitialized;
  bool countFailed_ = false;  // the last GetNMailsOnPop3Server failed
  bool quitConfirmed_ = false;  // the last QUIT was answered +OK
  // The maildrop size STAT announced; -1 unknown. No message can be larger, so a retrieval
  // that grows past it (with slack for dot-stuffing) is a server that never ends its answer.
  // Without it the message's own size from LIST bounds it, and nothing is ever larger than
  // maxMessageBytes_.
  qint64 maildropBytes_ = -1;
  qint64 maxMessageBytes_ = POP3_InMail::kMaxMessageBytes;
  qint16 retrieving_ = 0;  // the message of a RETR without read-ahead
  QString abortReason_;  // why the client itself ended the operation
  QString socketFailure_;  // why the socket layer closed the socket in this session
  QByteArray lineBuffer_;      // answer bytes not yet handled as lines
  qsizetype lineStart_ = 0;    // first byte of lineBuffer_ not yet handled
  QByteArray retrieve_;        // a RETR answer as it arrives
  qsizetype statusEnd_ = -1;   // first byte after the RETR status line, -1 before it arrived
  qsizetype searchFrom_ = 0;   // where the search for the final "." line goes on
  Pop3Mail lastMail_;
  std::vector<Pop3MailAttachments> lastAttachments_;
  QByteArray lastSource_;
  QString lastError_;
  mailerr::Error failure_;  // the last failure as a value (LastFailure)
  bool loggingIn_ = false;  // a refusal now is the login's
  // Read-ahead: the commands in flight (answers come in this order), the RETR answers read and
  // not yet taken, what is still to be sent, and the message sizes LIST announced (-1 unknown).
  bool pipelined_ = false;
  std::deque<Pending> pending_;
  std::deque<Ahead> ahead_;
  QByteArray outgoing_;
  std::vector<qint16> plan_;  // the messages to take, in order
  size_t planSent_ = 0, planTaken_ = 0;
  int aheadCount_ = 0;
  qint64 aheadBytes_ = 0;
  std::vector<qint64> sizes_;
  qint16 refusedDeletion_ = 0;
};

POP3_InMail::Impl::Impl(POP3_InMail* owner) : q(owner), socket_(std::make_unique<CSocket>()) {
  QObject::connect(socket_.get(), &CSocket::OnDataArrival, q, [this](long n) { OnDataArrival(n); });
  QObject::connect(socket_.get(), &CSocket::OnError, q,
                   [this](int n, const QString& d, const QString& s) { OnSocketError(n, d, s); });
  QObject::connect(socket_.get(), &CSocket::OnClose, q, [this] { OnSocketClose(); });
}

POP3_InMail::POP3_InMail(QObject* parent) : QObject(parent), d_(std::make_unique<Impl>(this)) {}

POP3_InMail::~POP3_InMail() {
  d_->socket_->disconnect(this);
  if (d_->socket_->State() != CSocket::sckClosed) d_->socket_->CloseSocket();
}

bool POP3_InMail::ConnectToPop3Server(const QString& strUsername, const QString& strPassword,
                                      const QString& strHost, quint16& intPort) {
  return d_->ConnectToPop3Server(strUsername, strPassword, strHost, intPort);
}
bool POP3_InMail::ConnectToPop3Server(const QString& strUsername, const QString& strPassword,
                                      const QString& strHost) {
  quint16 port = 0;
  return d_->ConnectToPop3Server(strUsername, strPassword, strHost, port);
}
bool POP3_InMail::DisConnectFromPop3Server() { return d_->DisConnectFromPop3Server(); }
qint16 POP3_InMail::GetNMailsOnPop3Server(bool ForceGetFromServer) {
  return d_->GetNMailsOnPop3Server(ForceGetFromServer);
}
bool POP3_InMail::GetMail(qint16 index, Pop3Mail& mail, std::vector<Pop3MailAttachments>& Attachments,
                          QByteArray* source) {
  return d_->GetMail(index, mail, Attachments, source);
}
bool POP3_InMail::DelMail(qint16 index) { return d_->DelMail(index); }
bool POP3_InMail::RetrieveInOrder(qint16 first, qint16 last) {
  std::vector<qint16> order;
  for (int i = first, step = first <= last ? 1 : -1; i != last + step; i += step) order.push_back(qint16(i));
  return d_->RetrieveInOrder(std::move(order));
}
bool POP3_InMail::RetrieveInOrder(std::vector<qint16> order) { return d_->RetrieveInOrder(std::move(order)); }
void POP3_InMail::SetMaxMessageBytes(qint64 bytes) {
  d_->maxMessageBytes_ = bytes > 0 ? std::min(bytes, kMaxMessageBytes) : kMaxMessageBytes;
}
bool POP3_InMail::QuitConfirmed() const { return d_->quitConfirmed_; }
bool POP3_InMail::CountFailed() const { return d_->countFailed_; }
qint16 POP3_InMail::RefusedDeletion() const { return d_->refusedDeletion_; }
bool POP3_InMail::SaveAttachmentDataToFile(const Pop3AttachmentData& AttachmentData,
                                           const QString& FileAndPathName, bool flush) {
  return d_->SaveAttachmentDataToFile(AttachmentData, FileAndPathName, flush);
}
QStringList POP3_InMail::Capabilities() const { return d_->capabilities_; }
void POP3_InMail::SetSecurity(const vrlsec::Settings& settings) { d_->security_ = settings; }
vrlsec::Settings POP3_InMail::Security() const { return d_->security_; }
bool POP3_InMail::IsConectedToServer() const { return d_->connected_; }
qint16 POP3_InMail::TimeOutNSeconds() const { return d_->timeoutSeconds_; }
QString POP3_InMail::GetLastError() const { return d_->lastError_; }
mailerr::Error POP3_InMail::LastFailure() const { return d_->failure_; }

void POP3_InMail::SetTimeOutNSeconds(qint16& seconds) {
  seconds = std::clamp<qint16>(seconds, 3, 300);
  d_->timeoutSeconds_ = seconds;
}

void POP3_InMail::Impl::Fail(const QString& text, Kind kind, const QByteArray& reply) {
  lastError_ = text;
  // A summary ("Error retrieving message ...") keeps the kind and reply of what caused it.
  if (kind != Kind::None || !failure_) {
    failure_ = mailerr::Error::Make(kind == Kind::None ? Kind::Connection : kind, text, reply);
  } else {
    failure_.description = text;
  }
  emit q->Pop3OperationFailed(text);
}

void POP3_InMail::Impl::FailRetrieve(WaitResult r) {
  if (!abortReason_.isEmpty())
    Fail(std::exchange(abortReason_, QString()), Kind::Protocol);
  else if (r == WaitAborted)
    Fail(QStringLiteral("Error retrieving message from POP3 server!"), Kind::None);
  else
    Fail(QStringLiteral("Timeout retrieving message from POP3 server!"), Kind::Timeout);
}

mailerr::Error POP3_InMail::Impl::Refusal(const QByteArray& line, bool login) {
  // The extended response codes name the refusals that pass by themselves (RFC 2449, 3206).
  const QByteArray code = line.mid(4).trimmed().toUpper();
  const bool passing = code.startsWith("[IN-USE]") || code.startsWith("[LOGIN-DELAY]") || code.startsWith("[SYS/TEMP]");
  const Kind kind = login ? Kind::Login : passing ? Kind::RefusedForNow : Kind::RefusedPermanently;
  return mailerr::Error::Make(kind, QString::fromUtf8(line.mid(5)), line).Transient(passing);
}

void POP3_InMail::Impl::StartOperation(Operation op) {
  op_ = op;
  failure_ = {};
  error_ = false;
  abort_ = false;
  dataSeen_ = false;
  lineBuffer_.clear();
  lineStart_ = 0;
  retrieve_ = QByteArray();
  statusEnd_ = -1;
  searchFrom_ = 0;
}

bool POP3_InMail::Impl::SendCommand(const QByteArray& command) {
  try {
    socket_->SendData(command + "\r\n");
    return true;
  } catch (const vrl::VrlError& e) {
    error_ = abort_ = true;
    op_ = OpNone;
    // A socket closed by a failure (a refused certificate) refuses the next command: the
    // failure is what the caller must see, not the refusal.
    if (socketFailure_.isEmpty()) Fail(e.Description(), Kind::Connection);
    else lastError_ = socketFailure_;
    return false;
  }
}

POP3_InMail::Impl::WaitResult POP3_InMail::Impl::Wait(const bool& flag) {
  // Data keeps the silence time-out from running out, but no server keeps a call waiting
  // longer than ten time-outs plus the announced maildrop at 1 KB/s.
  const qint64 capMs = qint64(timeoutSeconds_) * 10000 +
                       ((op_ == OpRetrieve || !pending_.empty()) && maildropBytes_ > 0 ? maildropBytes_ : 0);
  const QDeadlineTimer cap(capMs);
  bool capped = false;
  const vrl::EventWait::Result r = vrl::EventWait::Until(
      [&flag] { return flag; },
      [&] { return abort_ || (capped = cap.hasExpired()); }, timeoutSeconds_ * 1000,
      [this] { return std::exchange(dataSeen_, false); });
  if (r == vrl::EventWait::Done) return WaitDone;
  if (capped) return WaitTimedOut;
  if (r == vrl::EventWait::Aborted) {
    abort_ = false;
    return WaitAborted;
  }
  return WaitTimedOut;
}

// ---- socket events ----

void POP3_InMail::Impl::OnDataArrival(long) {
  // A handler that lets events run brings more data here before the last is handled: it waits
  // its turn, so that answers are handled in the order they came.
  inbox_.append(socket_->GetData());
  if (handling_) return;
  handling_ = true;
  const auto done = qScopeGuard([this] { handling_ = false; });
  while (!inbox_.isEmpty()) HandleAnswerBytes(std::exchange(inbox_, QByteArray()));
}

void POP3_InMail::Impl::OnSocketError(int, const QString& description, const QString&) {
  // The socket layer has closed the socket: the session is over.
  connected_ = false;
  error_ = abort_ = true;
  lastError_ = socketFailure_ = description;
  failure_ = mailerr::Error::Make(socket_->HandshakeFailed() ? Kind::Tls : Kind::Connection, description);
  emit q->Pop3OperationFailed(description);
}

void POP3_InMail::Impl::OnSocketClose() {
  connected_ = false;
  if (op_ == OpDisconnect) {
    // The server ended the session, which is what QUIT asked for.
    op_ = OpNone;
    disconnectDone_ = true;
    emit q->Pop3Status(QStringLiteral("Successful Disconnected from POP3 Server"));
    return;
  }
  // Between operations the next call reports "Not Connected"; during one, the wait ends now
  // instead of at the time-out, since its answer can no longer come.
  if (op_ == OpNone) return;
  op_ = OpNone;
  error_ = abort_ = true;
  Fail(QStringLiteral("Connection closed by POP3 server!"), Kind::Connection);
}

// ---- answer handling ----

void POP3_InMail::Impl::HandleAnswerBytes(QByteArrayView bytes) {
  // Only a message on its way is progress: lines that answer nothing are not.
  dataSeen_ = op_ == OpRetrieve;
  if (op_ == OpRetrieve) {
    HandleRetrieveBytes(bytes);
    return;
  }
  lineBuffer_.append(bytes);
  // One complete line is one answer. lineStart_ moves past a line before it is handled, so an
  // event handler that lets events run (and so comes back here) continues where this left off.
  for (;;) {
    if (op_ == OpRetrieve) {
      // The rest belongs to a RETR answer (not expected: the server answers only what was asked).
      const QByteArray rest = lineBuffer_.mid(lineStart_);
      lineBuffer_.clear();
      lineStart_ = 0;
      HandleRetrieveBytes(rest);
      return;
    }
    const qsizetype lf = lineBuffer_.indexOf('\n', lineStart_);
    QByteArray line;
    if (lf >= 0) {
      line = WithoutCR(lineBuffer_.mid(lineStart_, lf - lineStart_));
      lineStart_ = lf + 1;
    } else if (lineBuffer_.size() - lineStart_ > kMaxStatusLine) {
      line = lineBuffer_.mid(lineStart_);
      lineStart_ = lineBuffer_.size();
    } else {
      break;
    }
    HandleLine(line);
  }
  lineBuffer_.remove(0, lineStart_);
  lineStart_ = 0;
}

void POP3_InMail::Impl::HandleErrorAnswer(const QByteArray& line, const QByteArray& rest) {
  if (!pending_.empty()) {
    // Read ahead: one refused command, the next answer follows.
    const Pending p = pending_.front();
    if (!p.dele) ahead_.push_back({p.index, true, {}});
    emit q->Pop3Status(QString());
    Fail(Refusal(line, false));
    if (p.dele && refusedDeletion_ == 0) {
      refusedDeletion_ = static_cast<qint16>(p.index);
      Fail(QStringLiteral("Error deleting message from POP3 server!"), Kind::None);
    }
    AnswerDone(rest);
    return;
  }
  abort_ = error_ = true;
  op_ = OpNone;
  emit q->Pop3Status(QString());
  Fail(Refusal(line, false));
}

void POP3_InMail::Impl::HandleListLine(const QByteArray& line) {
  if (!multiLine_) {
    multiLine_ = line.startsWith("+OK");
    listRefused_ = !multiLine_;
    if (!multiLine_) {  // refused: no capabilities, no sizes, no ids
      op_ = OpNone;
      listDone_ = true;
    } else if (op_ == OpCapa) {
      capaAsked_ = true;
    }
    return;
  }
  if (line == ".") {
    multiLine_ = false;
    op_ = OpNone;
    listDone_ = true;
    return;
  }
  if (op_ == OpCapa) {
    if (capabilities_.size() < 100) capabilities_.append(QString::fromLatin1(line.simplified().toUpper()));
    return;
  }
  // "n size" (LIST) or "n id" (UIDL)
  const QList<QByteArray> f = line.simplified().split(' ');
  bool ok = false;
  const int n = f.value(0).toInt(&ok);
  if (!ok || n < 1 || f.size() < 2) return;
  if (op_ == OpUidl) {
    if (n < static_cast<int>(uids_.size()) && f[1].size() <= 70) uids_[static_cast<size_t>(n)] = f[1];
    return;
  }
  const qint64 size = f[1].toLongLong(&ok);
  if (ok && n < static_cast<int>(sizes_.size()) && size >= 0) sizes_[static_cast<size_t>(n)] = size;
}

void POP3_InMail::Impl::HandleLoginLine(const QByteArray& line) {
  // One line answers one step; anything the server sends before the next step is not an answer.
  if (stepDone_) return;
  const bool refused = line.startsWith("-ERR");
  if (refused) {
    QString text = QString::fromUtf8(line.mid(5));
    if (!authError_.isEmpty()) text += QLatin1Char(' ') + authError_;
    abort_ = error_ = true;
    op_ = OpNone;
    emit q->Pop3Status(QString());
    mailerr::Error refusal = Refusal(line, loggingIn_);
    refusal.description = text;
    Fail(refusal);
  } else if (line.startsWith("+OK")) {
    stepDone_ = true;
  } else if (op_ == OpAuth && line.startsWith('+')) {
    continuation_ = true;
    challenge_ = line.mid(1).trimmed();
    stepDone_ = true;
  }
}

void POP3_InMail::Impl::HandleLine(const QByteArray& line) {
  if (op_ == OpCapa || op_ == OpList || op_ == OpUidl) {
    HandleListLine(line);
    return;
  }
  if (op_ == OpConnect || op_ == OpAuth) {
    HandleLoginLine(line);
    return;
  }
  if (line.startsWith("-ERR")) {
    HandleErrorAnswer(line);
    return;
  }
  if (!line.startsWith("+OK")) return;
  switch (op_) {
    case OpDisconnect:
      quitConfirmed_ = true;
      op_ = OpNone;
      connected_ = false;
      disconnectDone_ = true;
      socket_->CloseSocket();
      emit q->Pop3Status(QStringLiteral("Successful Disconnected from POP3 Server"));
      break;
    case OpCount: {
      // "+OK 3 1200": the count (kept within the counter) and the maildrop size.
      const QList<QByteArray> fields = line.mid(4).simplified().split(' ');
      const QByteArray first = fields.value(0);
      const bool countOk =
          !first.isEmpty() && std::all_of(first.begin(), first.end(), [](char c) { return c >= '0' && c <= '9'; });
      bool fits = false, sizeOk = false;
      qulonglong n = first.toULongLong(&fits);
      if (!fits) n = ~0ULL;  // digits beyond any counter: capped below
      const qulonglong size = fields.value(1).toULongLong(&sizeOk);
      if (!countOk) {
        // Not an answer to STAT: an error, never an empty mailbox.
        lastError_ = QStringLiteral("Not a count: ") + QString::fromUtf8(line.left(kMaxQuotedAnswer));
        failure_ = mailerr::Error::Make(Kind::Protocol, lastError_, line.left(kMaxQuotedAnswer));
        abort_ = error_ = true;
        op_ = OpNone;
        break;
      }
      count_ = static_cast<qint16>(std::min<qulonglong>(n, 32767));
      maildropBytes_ = sizeOk && size < (1ULL << 50) ? static_cast<qint64>(size) : -1;
      op_ = OpNone;
      countDone_ = true;
      break;
    }
    case OpDelete:
      if (!pending_.empty()) {
        AnswerDone(QByteArray());
        break;
      }
      op_ = OpNone;
      deleteDone_ = true;
      break;
    default:
      break;
  }
}

void POP3_InMail::Impl::HandleRetrieveBytes(QByteArrayView bytes) {
  const qsizetype old = retrieve_.size();
  const qsizetype need = old + bytes.size();
  const int index = pending_.empty() ? retrieving_ : pending_.front().index;
  const qint64 own = index > 0 && size_t(index) < sizes_.size() ? sizes_[size_t(index)] : -1;
  // The size the message is said to have, with room for the status line and dot-stuffing, is
  // taken at once: a buffer doubling as it grows would hold up to twice the message.
  const qint64 expected = own >= 0 ? own : count_ == 1 ? maildropBytes_ : -1;
  if (old == 0 && expected > 0)
    retrieve_.reserve(qsizetype(std::min<qint64>(expected + expected / 64 + 1024, kMaxFirstReserve)));
  if (need > retrieve_.capacity()) retrieve_.reserve(std::max(need, retrieve_.capacity() * 2));
  retrieve_.append(bytes);
  const qint64 announced = maildropBytes_ >= 0 ? maildropBytes_ : own;
  const bool overAnnounced = announced >= 0 && retrieve_.size() > announced + announced / 10 + 65536;
  if (overAnnounced || retrieve_.size() > maxMessageBytes_ + maxMessageBytes_ / 10 + 65536) {
    // The answer cannot be the message: end the session without QUIT, so that nothing is
    // deleted, and leave the message on the server.
    retrieve_ = QByteArray();
    op_ = OpNone;
    abortReason_ = !overAnnounced ? QStringLiteral("The POP3 server sent more than the %1 bytes a message may have; "
                                                   "the message stays on the server").arg(maxMessageBytes_)
                   : maildropBytes_ >= 0 ? QStringLiteral("The POP3 server sent more than the %1 bytes its mailbox holds; "
                                                          "the message stays on the server").arg(maildropBytes_)
                                         : QStringLiteral("The POP3 server sent more than the %1 bytes it announced for "
                                                          "message %2; the message stays on the server").arg(own).arg(index);
    connected_ = false;
    if (socket_->State() != CSocket::sckClosed) socket_->CloseSocket();
    abort_ = error_ = true;
    return;
  }

  if (statusEnd_ < 0) {
    const qsizetype lf = retrieve_.indexOf('\n', old);
    if (lf < 0) {
      if (retrieve_.startsWith("-ERR") && retrieve_.size() > kMaxStatusLine)
        HandleErrorAnswer(std::exchange(retrieve_, QByteArray()));
      return;
    }
    if (retrieve_.startsWith("-ERR")) {
      const QByteArray line = WithoutCR(retrieve_.left(lf));
      const QByteArray rest = retrieve_.mid(lf + 1);
      retrieve_ = QByteArray();
      HandleErrorAnswer(line, rest);
      return;
    }
    statusEnd_ = lf + 1;
    searchFrom_ = lf;  // an empty message ends right after the status line
  }
  const qsizetype t = FindTerminator(retrieve_, searchFrom_);
  if (t < 0) {
    // Only the new bytes are searched next time, with an overlap for a split terminator.
    searchFrom_ = std::max(searchFrom_, retrieve_.size() - 4);
    return;
  }
  CompleteRetrieve(t);
}

void POP3_InMail::Impl::CompleteRetrieve(qsizetype terminator) {
  // The message is [statusEnd_, terminator + 1): the lines before the final ".", each with its
  // line end. A line starting ".." loses one dot. Done in place: the text only moves forward.
  char* buf = retrieve_.data();
  const qsizetype end = terminator + 1;
  // What follows the "." line answers the next command read ahead.
  const QByteArray rest =
      pending_.empty() ? QByteArray() : retrieve_.mid(terminator + (buf[terminator + 2] == '\r' ? 4 : 3));
  // Moved in blocks between stuffed dots: a line starting ".." loses its first dot.
  qsizetype w = 0;
  for (qsizetype r = statusEnd_; r < end;) {
    if (buf[r] == '.' && r + 1 < end && buf[r + 1] == '.') ++r;
    const void* hit = memmem(buf + r, static_cast<size_t>(end - r), "\n..", 3);
    const qsizetype next = hit ? static_cast<const char*>(hit) - buf + 1 : end;
    std::memmove(buf + w, buf + r, static_cast<size_t>(next - r));
    w += next - r;
    r = next;
  }
  QByteArray message = std::exchange(retrieve_, QByteArray());
  message.truncate(w);
  message.squeeze();
  statusEnd_ = -1;
  searchFrom_ = 0;
  if (!pending_.empty()) {
    ahead_.push_back({pending_.front().index, false, std::move(message)});
    AnswerDone(rest);
    return;
  }
  pop3mime::ParseMessage(message, lastMail_, lastAttachments_);
  lastSource_ = std::move(message);
  op_ = OpNone;
  retrieveDone_ = true;
}

// ---- operations ----

bool POP3_InMail::Impl::ConnectToPop3Server(const QString& strUsername, const QString& strPassword,
                                            const QString& strHost, quint16& intPort) {
  if (connected_) {
    Fail(QStringLiteral("Already Connected to POP3 Server!"), Kind::Input);
    return false;
  }
  host_ = strHost;
  user_ = strUsername;
  password_ = strPassword;
  count_ = NotInitialized;
  maildropBytes_ = -1;
  sizes_.clear();
  socketFailure_.clear();
  abortReason_.clear();
  capaAsked_ = false;
  capabilities_.clear();
  BreakPipeline();  // nothing of an earlier session's read-ahead goes on
  socket_->SetTransport(nullptr);
  refusedDeletion_ = 0;
  using vrlsec::Security;
  const Security sec = security_.security;
  if (intPort == 0) intPort = sec == Security::Tls ? 995 : 110;
  const bool implicitTls = sec == Security::Tls || (sec == Security::Auto && intPort == 995);

  emit q->Pop3Status(QStringLiteral("Connecting to POP3 Server...(") + host_ + QStringLiteral(")..."));
  StartOperation(OpConnect);
  if (implicitTls && !PutTls(true)) {
    op_ = OpNone;
    return false;
  }
  try {
    socket_->Connect(host_, intPort);
  } catch (const vrl::VrlError& e) {
    op_ = OpNone;
    CloseSocket();
    Fail(e.Description(), Kind::Connection);
    return false;
  }
  WaitResult r = Step(QByteArray(), false);  // the greeting
  if (r == WaitDone) r = LogIn();
  if (r == WaitDone) {
    op_ = OpNone;
    connected_ = true;
    emit q->Pop3Status(QStringLiteral("Successful connected to pop3 Server"));
    return true;
  }
  // No half-finished login may go on after the caller was told it failed.
  op_ = OpNone;
  CloseSocket();
  if (r == WaitAborted) return false;  // reported where it happened
  Fail(QStringLiteral("Timeout connecting to POP3 server!"), Kind::Timeout);
  return false;
}

POP3_InMail::Impl::WaitResult POP3_InMail::Impl::Step(const QByteArray& command, bool send) {
  if (op_ != OpAuth) op_ = OpConnect;
  stepDone_ = continuation_ = false;
  if (send && !SendCommand(command)) return WaitAborted;
  return Wait(stepDone_);
}

POP3_InMail::Impl::WaitResult POP3_InMail::Impl::Capabilities() {
  capaAsked_ = false;
  capabilities_.clear();
  const WaitResult r = ListOperation(OpCapa);
  op_ = OpConnect;
  return r;
}

bool POP3_InMail::Impl::Offers(const QString& capability) const {
  return capabilities_.contains(capability);
}

bool POP3_InMail::Impl::OffersSasl(const QByteArray& mechanism) const {
  for (const QString& c : capabilities_)
    if (c.startsWith(QLatin1String("SASL ")) && c.split(QLatin1Char(' ')).contains(QString::fromLatin1(mechanism)))
      return true;
  return false;
}

POP3_InMail::Impl::WaitResult POP3_InMail::Impl::LogIn() {
  using vrlsec::AuthMethod;
  using vrlsec::Security;
  const Security sec = security_.security;
  const bool underTls = dynamic_cast<const vrlsock::TlsTransport*>(socket_->CurrentTransport()) != nullptr;
  // The original dialogue asks nothing before USER; anything newer reads the capabilities first.
  if (sec != Security::None || security_.auth != AuthMethod::Login) {
    if (const WaitResult r = Capabilities(); r != WaitDone) return r;
  }
  if (!underTls && sec != Security::None) {
    if (Offers(QStringLiteral("STLS"))) {
      if (const WaitResult r = Step("STLS"); r != WaitDone) return r;
      if (!PutTls(false)) return WaitAborted;
      // What the server said before TLS may have been altered on the way: asked again.
      if (const WaitResult r = Capabilities(); r != WaitDone) return r;
    } else if (sec == Security::StartTls) {
      emit q->Pop3Status(QString());
      Fail(kErrNoStls, Kind::Tls);
      return WaitAborted;
    }
  }
  if (const auto* tls = dynamic_cast<const vrlsock::TlsTransport*>(socket_->CurrentTransport())) {
    emit q->SecureConnection(tls->SessionSummary());
    emit q->ServerCertificate(tls->PeerCertificateDetails());
  } else if (sec == Security::Auto) {
    // Automatic security never lets a credential go in clear: a server (or someone in between)
    // that does not offer STLS gets nothing.
    emit q->Pop3Status(QString());
    Fail(kErrClearLogin, Kind::Tls);
    return WaitAborted;
  }

  const AuthMethod method = security_.auth;
  QByteArray mech;
  if (method == AuthMethod::Plain || method == AuthMethod::XOAuth2) {
    mech = method == AuthMethod::Plain ? "PLAIN" : "XOAUTH2";
    if (!OffersSasl(mech)) {
      Fail(QStringLiteral("The POP3 server does not offer AUTH ") + QString::fromLatin1(mech) +
               QStringLiteral(", which the profile requires"),
           Kind::Login);
      return WaitAborted;
    }
  } else if (method == AuthMethod::Auto && OffersSasl("PLAIN")) {
    mech = "PLAIN";
  }
  loggingIn_ = true;
  const auto loggedIn = qScopeGuard([this] { loggingIn_ = false; });
  if (mech.isEmpty()) {
    emit q->Pop3Status(QStringLiteral("Authenticate User..."));
    if (const WaitResult r = Step("USER " + OneLine(user_)); r != WaitDone) return r;
    emit q->Pop3Status(QStringLiteral("Send Password..."));
    return Step("PASS " + OneLine(password_));
  }
  // Credentials go as UTF-8 whatever they hold, as the SMTP client sends them.
  const QByteArray response =
      mech == "PLAIN" ? '\0' + user_.toUtf8() + '\0' + password_.toUtf8()
                      : "user=" + user_.toUtf8() + "\x01" "auth=Bearer " + password_.toUtf8() + "\x01\x01";
  emit q->Pop3Status(QStringLiteral("Sending ") + QString::fromLatin1(mech) + QStringLiteral(" Authentication..."));
  return SaslLogIn(mech, response);
}

POP3_InMail::Impl::WaitResult POP3_InMail::Impl::SaslLogIn(const QByteArray& mech, const QByteArray& response) {
  const QByteArray encoded = codec::EncodeBase64Line(response);
  authError_.clear();
  op_ = OpAuth;
  const auto back = qScopeGuard([this] {
    if (op_ == OpAuth) op_ = OpConnect;
    authError_.clear();
  });
  // An initial response only while the command fits in 255 octets (RFC 5034, section 4).
  WaitResult r;
  if (mech.size() + encoded.size() + 8 <= 255) {
    r = Step("AUTH " + mech + ' ' + encoded);
  } else {
    r = Step("AUTH " + mech);
    if (r == WaitDone && continuation_) r = Step(encoded);
  }
  // A challenge after the response is a refusal that says why (XOAUTH2): an empty response ends
  // the exchange, and the server's "-ERR" follows.
  for (int round = 0; r == WaitDone && continuation_ && round < 2; ++round) {
    authError_ = codec::DecodeBase64String(QString::fromLatin1(challenge_)).simplified();
    r = Step(QByteArray());
  }
  if (r == WaitDone && continuation_) {
    Fail(QStringLiteral("The POP3 server did not end the authentication"), Kind::Protocol);
    return WaitAborted;
  }
  return r;
}

bool POP3_InMail::Impl::PutTls(bool implicit) {
  QString error;
  auto tls = vrlsock::TlsTransport::ForServer(host_, security_, &error);
  if (!tls) {
    Fail(error, Kind::Tls);
    return false;
  }
  if (!implicit) {
    // Clear text that came behind the answer to STLS was never protected: it is dropped, not
    // read as answers of the secured session (RFC 2595, section 4).
    socket_->GetData();
    inbox_.clear();
    lineBuffer_.clear();
    lineStart_ = 0;
    emit q->Pop3Status(QStringLiteral("Starting TLS..."));
  }
  socket_->SetTransport(std::move(tls));
  return true;
}

void POP3_InMail::Impl::CloseSocket() {
  if (socket_->State() != CSocket::sckClosed) socket_->CloseSocket();
  // A transport waiting for a connection that never came must not serve the next one.
  socket_->SetTransport(nullptr);
}

bool POP3_InMail::Impl::DisConnectFromPop3Server() {
  if (!connected_) {
    Fail(QStringLiteral("Not Connected to POP3 Server!"), Kind::Connection);
    return false;
  }
  if (pipelined_ && !Drain()) {
    count_ = NotInitialized;
    return false;
  }
  StartOperation(OpDisconnect);
  disconnectDone_ = false;
  quitConfirmed_ = false;
  emit q->Pop3Status(QStringLiteral("Disconnecting from POP3 Server..."));
  const WaitResult r = SendCommand("QUIT") ? Wait(disconnectDone_) : WaitAborted;
  if (r == WaitDone) {
    count_ = NotInitialized;
    op_ = OpNone;
    return true;
  }
  // The session ends either way; a socket left open would make the next connect refuse.
  op_ = OpNone;
  connected_ = false;
  count_ = NotInitialized;
  if (socket_->State() != CSocket::sckClosed) socket_->CloseSocket();
  if (r == WaitTimedOut) Fail(QStringLiteral("Timeout Disconnecting from POP3 server!"), Kind::Timeout);
  return false;
}

qint16 POP3_InMail::Impl::GetNMailsOnPop3Server(bool ForceGetFromServer) {
  countFailed_ = true;
  if (!connected_) {
    Fail(QStringLiteral("Not Connected to POP3 Server!"), Kind::Connection);
    return 0;
  }
  if (!ForceGetFromServer && count_ > 0) {
    countFailed_ = false;
    return count_;
  }
  if (pipelined_ && !Drain()) return 0;
  StartOperation(OpCount);
  countDone_ = false;
  lastError_.clear();
  const WaitResult r = SendCommand("STAT") ? Wait(countDone_) : WaitAborted;
  if (r == WaitDone) {
    countFailed_ = false;
    return count_;
  }
  op_ = OpNone;
  count_ = ErrorOcurred;
  // The server's own words (a refusal, or an answer that is no count) say what is wrong.
  const QString said = lastError_;
  Fail(r == WaitAborted ? QStringLiteral("Error Retrieving Number of Mails from POP3 Server!")
                        : QStringLiteral("Timeout Retrieving Number of Mails from POP3 Server!"),
       r == WaitAborted ? Kind::None : Kind::Timeout);
  if (!said.isEmpty()) lastError_ += QLatin1Char(' ') + said.left(kMaxQuotedAnswer);
  return 0;
}

bool POP3_InMail::Impl::CheckIndex(qint16 index) {
  GetNMailsOnPop3Server(false);
  if (count_ < 0) return false;
  if (index < 1 || index > count_)
    throw vrl::VrlError(vrl::ErrNum(0x8004020Eu), QStringLiteral("Bad Mail Index!"), kProductName);
  return true;
}

bool POP3_InMail::Impl::GetMail(qint16 index, Pop3Mail& mail,
                          std::vector<Pop3MailAttachments>& Attachments, QByteArray* source) {
  if (!connected_) {
    Fail(QStringLiteral("Not Connected to POP3 Server!"), Kind::Connection);
    return false;
  }
  if (!CheckIndex(index)) return false;
  if (pipelined_ && planTaken_ < plan_.size() && index == plan_[planTaken_]) return TakeAhead(mail, Attachments, source);
  if (pipelined_ && !Drain()) return false;
  // Without a maildrop size, the message's own size bounds its answer (LIST, asked once).
  if (maildropBytes_ < 0 && sizes_.empty()) {
    sizes_.assign(static_cast<size_t>(std::max<qint16>(count_, 0)) + 1, -1);
    if (ListOperation(OpList) != WaitDone) {  // a refused LIST leaves the sizes unknown
      Fail(QStringLiteral("Timeout waiting for the answer of the POP3 server!"), Kind::Timeout);
      return false;
    }
  }
  retrieving_ = index;
  StartOperation(OpRetrieve);
  retrieveDone_ = false;
  const WaitResult r =
      SendCommand("RETR " + QByteArray::number(index)) ? Wait(retrieveDone_) : WaitAborted;
  if (r != WaitDone) {
    op_ = OpNone;
    retrieve_ = QByteArray();
    FailRetrieve(r);
    return false;
  }
  mail = std::move(lastMail_);
  Attachments = std::move(lastAttachments_);
  if (source) *source = std::move(lastSource_);
  lastMail_ = Pop3Mail();
  lastAttachments_.clear();
  lastSource_ = QByteArray();
  return true;
}

bool POP3_InMail::Impl::DelMail(qint16 index) {
  if (!connected_) {
    Fail(QStringLiteral("Not Connected to POP3 Server!"), Kind::Connection);
    return false;
  }
  if (!CheckIndex(index)) return false;
  if (pipelined_) {
    // Its answer is read with the next ones; DELE takes effect only at QUIT anyway.
    Queue("DELE " + QByteArray::number(index), {index, true});
    return true;
  }
  StartOperation(OpDelete);
  deleteDone_ = false;
  const WaitResult r =
      SendCommand("DELE " + QByteArray::number(index)) ? Wait(deleteDone_) : WaitAborted;
  if (r == WaitDone) return true;
  op_ = OpNone;
  Fail(r == WaitAborted ? QStringLiteral("Error deleting message from POP3 server!")
                        : QStringLiteral("Timeout deleting message from POP3 server!"),
       r == WaitAborted ? Kind::None : Kind::Timeout);
  return false;
}

// ---- read-ahead ----

POP3_InMail::Impl::WaitResult POP3_InMail::Impl::ListOperation(Operation op) {
  StartOperation(op);
  multiLine_ = false;
  listDone_ = false;
  listRefused_ = false;
  const QByteArray command = op == OpCapa ? "CAPA" : op == OpList ? "LIST" : "UIDL";
  const WaitResult r = SendCommand(command) ? Wait(listDone_) : WaitAborted;
  op_ = OpNone;
  return r;
}

bool POP3_InMail::Impl::ListPerMessage(Operation op) {
  if (!connected_) {
    Fail(QStringLiteral("Not Connected to POP3 Server!"), Kind::Connection);
    return false;
  }
  if (pipelined_ && !Drain()) return false;
  if (GetNMailsOnPop3Server(false) < 0 || count_ < 0) return false;
  const size_t n = static_cast<size_t>(std::max<qint16>(count_, 0)) + 1;
  if (op == OpUidl)
    uids_.assign(n, QByteArray());
  else
    sizes_.assign(n, -1);
  const WaitResult r = ListOperation(op);
  if (r == WaitDone && !listRefused_) return true;
  if (r == WaitTimedOut) Fail(QStringLiteral("Timeout waiting for the answer of the POP3 server!"), Kind::Timeout);
  else if (listRefused_) Fail(op == OpUidl ? QStringLiteral("The POP3 server does not support UIDL")
                                           : QStringLiteral("The POP3 server refused LIST"),
                              Kind::RefusedPermanently);
  return false;
}

bool POP3_InMail::GetUniqueIds(std::vector<QByteArray>& ids) {
  if (!d_->ListPerMessage(Impl::OpUidl)) return false;
  ids = d_->uids_;
  return true;
}

bool POP3_InMail::GetSizes(std::vector<qint64>& sizes) {
  if (!d_->ListPerMessage(Impl::OpList)) return false;
  sizes = d_->sizes_;
  return true;
}

bool POP3_InMail::Impl::RetrieveInOrder(std::vector<qint16> order) {
  if (!connected_ || pipelined_ || order.empty()) return false;
  const qint16 count = GetNMailsOnPop3Server(false);
  std::vector<bool> seen(static_cast<size_t>(std::max<qint16>(count, 0)) + 1);
  for (qint16 i : order) {
    if (i < 1 || i > count || seen[static_cast<size_t>(i)]) return false;
    seen[static_cast<size_t>(i)] = true;
  }
  // The capabilities of this session, when the login asked already.
  if (!capaAsked_ && Capabilities() != WaitDone) return false;
  op_ = OpNone;
  if (!Offers(QStringLiteral("PIPELINING"))) return false;
  // Without sizes every message is read ahead alone. Sizes this session has read already (the
  // caller's GetSizes) are not asked for again.
  if (sizes_.size() != static_cast<size_t>(count_) + 1) {
    sizes_.assign(static_cast<size_t>(count_) + 1, -1);
    if (ListOperation(OpList) != WaitDone) return false;
  }
  pipelined_ = true;
  plan_ = std::move(order);
  planSent_ = planTaken_ = 0;
  aheadCount_ = 0;
  aheadBytes_ = 0;
  refusedDeletion_ = 0;
  return true;
}

qint64 POP3_InMail::Impl::AheadSize(int index) const {
  const qint64 size = index >= 0 && index < static_cast<int>(sizes_.size()) ? sizes_[static_cast<size_t>(index)] : -1;
  return size < 0 ? kAheadBytes : size;
}

void POP3_InMail::Impl::FollowPending() {
  op_ = pending_.empty() ? OpNone : pending_.front().dele ? OpDelete : OpRetrieve;
}

void POP3_InMail::Impl::Queue(const QByteArray& command, Pending p) {
  outgoing_ += command + "\r\n";
  pending_.push_back(p);
  if (pending_.size() == 1) FollowPending();
}

void POP3_InMail::Impl::AnswerDone(const QByteArray& rest) {
  pending_.pop_front();
  answered_ = true;
  FollowPending();
  if (!rest.isEmpty()) HandleAnswerBytes(rest);
}

void POP3_InMail::Impl::SendAhead() {
  // Bounded by count and by the announced sizes; the next message always goes, however large.
  for (; planSent_ < plan_.size(); ++planSent_) {
    const qint16 index = plan_[planSent_];
    const qint64 size = AheadSize(index);
    if (aheadCount_ > 0 && (aheadCount_ >= kAheadCount || aheadBytes_ + size > kAheadBytes)) break;
    Queue("RETR " + QByteArray::number(index), {index, false});
    ++aheadCount_;
    aheadBytes_ += size;
  }
}

bool POP3_InMail::Impl::Flush() {
  if (outgoing_.isEmpty()) return true;
  try {
    socket_->SendData(std::exchange(outgoing_, QByteArray()));
    return true;
  } catch (const vrl::VrlError& e) {
    abort_ = false;
    BreakPipeline();
    Fail(e.Description(), Kind::Connection);
    return false;
  }
}

void POP3_InMail::Impl::BreakPipeline() {
  pipelined_ = false;
  pending_.clear();
  ahead_.clear();
  outgoing_.clear();
  op_ = OpNone;
  connected_ = false;
  if (socket_->State() != CSocket::sckClosed) socket_->CloseSocket();
}

bool POP3_InMail::Impl::Drain() {
  if (!Flush()) return false;
  while (!pending_.empty()) {
    answered_ = false;
    const WaitResult r = Wait(answered_);
    if (r == WaitDone) continue;
    BreakPipeline();
    if (r == WaitTimedOut) Fail(QStringLiteral("Timeout waiting for the answers of the POP3 server!"), Kind::Timeout);
    return false;
  }
  pipelined_ = false;
  ahead_.clear();
  return true;
}

bool POP3_InMail::Impl::TakeAhead(Pop3Mail& mail, std::vector<Pop3MailAttachments>& Attachments,
                            QByteArray* source) {
  // Commands go out in batches, once half the window is taken: the server then reads many at a
  // time instead of being woken for each one, and still has the other half to send meanwhile.
  if (aheadCount_ <= kAheadCount / 2) {
    SendAhead();
    if (!Flush()) return false;
  }
  while (ahead_.empty()) {
    answered_ = false;
    const WaitResult r = Wait(answered_);
    if (r == WaitDone) continue;
    BreakPipeline();
    FailRetrieve(r);
    return false;
  }
  Ahead got = std::move(ahead_.front());
  ahead_.pop_front();
  --aheadCount_;
  aheadBytes_ -= AheadSize(got.index);
  ++planTaken_;
  if (got.refused) {
    Fail(QStringLiteral("Error retrieving message from POP3 server!"), Kind::RefusedPermanently);
    return false;
  }
  pop3mime::ParseMessage(got.message, mail, Attachments);
  if (source) *source = std::move(got.message);
  return true;
}

bool POP3_InMail::Impl::SaveAttachmentDataToFile(const Pop3AttachmentData& AttachmentData,
                                           const QString& FileAndPathName, bool flush) {
  QString error;
  if (pop3mime::SaveAttachmentData(AttachmentData, FileAndPathName, &error, flush)) return true;
  Fail(error, Kind::Local);
  return false;
}

// ---- internal entry points ----

void POP3_InMailInternal::BeginRetrieve(POP3_InMail& client) {
  client.d_->StartOperation(POP3_InMail::Impl::OpRetrieve);
  client.d_->retrieveDone_ = false;
}

void POP3_InMailInternal::Feed(POP3_InMail& client, QByteArrayView bytes) {
  client.d_->HandleAnswerBytes(bytes);
}

bool POP3_InMailInternal::RetrieveDone(const POP3_InMail& client) { return client.d_->retrieveDone_; }

void POP3_InMailInternal::TakeMessage(POP3_InMail& client, Pop3Mail& mail,
                                      std::vector<Pop3MailAttachments>& attachments) {
  POP3_InMail::Impl& d = *client.d_;
  mail = std::move(d.lastMail_);
  attachments = std::move(d.lastAttachments_);
  d.lastMail_ = Pop3Mail();
  d.lastAttachments_.clear();
  d.lastSource_ = QByteArray();
}

qsizetype POP3_InMailInternal::RetrieveCapacity(const POP3_InMail& client) {
  return client.d_->retrieve_.capacity();
}
