#include "pop3/POP3_InMail_p.h"

#include "EventWait.h"
#include "VrlError.h"
#include "mime/Codec.h"
#include "mime/Pop3MimeParser.h"
#include "socket/TlsTransport.h"

#include <QDeadlineTimer>
#include <QScopeGuard>
#include <utility>

using mailerr::Kind;
using namespace pop3impl;

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
bool POP3_InMail::AskMailbox() { return d_->AskMailbox(); }
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
  // A response in the AUTH exchange is no command of its own; a password never becomes a name.
  const qsizetype space = command.indexOf(' ');
  command_ = op_ == OpAuth ? QByteArray("AUTH") : space < 0 ? command : command.left(space);
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
    if (!pending_.empty()) {  // QUIT was the last command queued
      pending_.clear();
      answered_ = true;
    }
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
  disconnectDone_ = false;
  quitConfirmed_ = false;
  if (pipelined_) {
    // QUIT goes right behind the commands still unanswered: its answer comes after theirs, and a
    // refused DELE among them still shows in RefusedDeletion.
    emit q->Pop3Status(QStringLiteral("Disconnecting from POP3 Server..."));
    Queue("QUIT", {0, OpDisconnect});
    const bool drained = Drain();
    count_ = NotInitialized;
    op_ = OpNone;
    return drained && disconnectDone_;
  }
  StartOperation(OpDisconnect);
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
    if (!std::exchange(askBroke_, false)) Fail(QStringLiteral("Not Connected to POP3 Server!"), Kind::Connection);
    return 0;
  }
  const bool asked = std::exchange(haveCount_, false);
  if (!ForceGetFromServer && (count_ > 0 || asked)) {
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
    Queue("DELE " + QByteArray::number(index), {index, OpDelete});
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

bool POP3_InMail::Impl::SaveAttachmentDataToFile(const Pop3AttachmentData& AttachmentData,
                                           const QString& FileAndPathName, bool flush) {
  QString error;
  if (pop3mime::SaveAttachmentData(AttachmentData, FileAndPathName, &error, flush)) return true;
  Fail(error, Kind::Local);
  return false;
}

