#include "pop3/POP3_InMail.h"

#include "socket/CSocket.h"
#include "EventWait.h"
#include "mime/Pop3MimeParser.h"
#include "VrlError.h"

#include <QDeadlineTimer>
#include <QScopeGuard>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

const QString kProductName = QStringLiteral("Vorlane POP3 & SMTP Engine 3.1");
// A status line longer than this is handled as it stands (a POP3 status line is at most 512).
constexpr qsizetype kMaxStatusLine = 64 * 1024;

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

POP3_InMail::POP3_InMail(QObject* parent) : QObject(parent), socket_(new CSocket(this)) {
  connect(socket_, &CSocket::OnDataArrival, this, &POP3_InMail::OnDataArrival);
  connect(socket_, &CSocket::OnError, this, &POP3_InMail::OnSocketError);
  connect(socket_, &CSocket::OnClose, this, &POP3_InMail::OnSocketClose);
}

POP3_InMail::~POP3_InMail() {
  socket_->disconnect(this);
  if (socket_->State() != CSocket::sckClosed) socket_->CloseSocket();
}

void POP3_InMail::SetTimeOutNSeconds(qint16& seconds) {
  seconds = std::clamp<qint16>(seconds, 3, 300);
  timeoutSeconds_ = seconds;
}

void POP3_InMail::Fail(const QString& text) {
  lastError_ = text;
  emit Pop3OperationFailed(text);
}

void POP3_InMail::StartOperation(Operation op) {
  op_ = op;
  error_ = false;
  abort_ = false;
  dataSeen_ = false;
  lineBuffer_.clear();
  lineStart_ = 0;
  retrieve_ = QByteArray();
  statusEnd_ = -1;
  searchFrom_ = 0;
}

bool POP3_InMail::SendCommand(const QByteArray& command) {
  try {
    socket_->SendData(command + "\r\n");
    return true;
  } catch (const vrl::VrlError& e) {
    error_ = abort_ = true;
    op_ = OpNone;
    Fail(e.Description());
    return false;
  }
}

POP3_InMail::WaitResult POP3_InMail::Wait(const bool& flag) {
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

void POP3_InMail::OnDataArrival(long) {
  // A handler that lets events run brings more data here before the last is handled: it waits
  // its turn, so that answers are handled in the order they came.
  inbox_.append(socket_->GetData());
  if (handling_) return;
  handling_ = true;
  const auto done = qScopeGuard([this] { handling_ = false; });
  while (!inbox_.isEmpty()) HandleAnswerBytes(std::exchange(inbox_, QByteArray()));
}

void POP3_InMail::OnSocketError(int, const QString& description, const QString&) {
  // The socket layer has closed the socket: the session is over.
  connected_ = false;
  error_ = abort_ = true;
  lastError_ = description;
  emit Pop3OperationFailed(description);
}

void POP3_InMail::OnSocketClose() {
  connected_ = false;
  if (op_ == OpDisconnect) {
    // The server ended the session, which is what QUIT asked for.
    op_ = OpNone;
    disconnectDone_ = true;
    emit Pop3Status(QStringLiteral("Successful Disconnected from POP3 Server"));
    return;
  }
  // Between operations the next call reports "Not Connected"; during one, the wait ends now
  // instead of at the time-out, since its answer can no longer come.
  if (op_ == OpNone) return;
  op_ = OpNone;
  error_ = abort_ = true;
  Fail(QStringLiteral("Connection closed by POP3 server!"));
}

// ---- answer handling ----

void POP3_InMail::HandleAnswerBytes(QByteArrayView bytes) {
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

void POP3_InMail::HandleErrorAnswer(const QByteArray& line, const QByteArray& rest) {
  if (!pending_.empty()) {
    // Read ahead: one refused command, the next answer follows.
    const Pending p = pending_.front();
    if (!p.dele) ahead_.push_back({p.index, true, {}});
    emit Pop3Status(QString());
    Fail(QString::fromUtf8(line.mid(5)));
    if (p.dele && refusedDeletion_ == 0) {
      refusedDeletion_ = static_cast<qint16>(p.index);
      Fail(QStringLiteral("Error deleting message from POP3 server!"));
    }
    AnswerDone(rest);
    return;
  }
  abort_ = error_ = true;
  op_ = OpNone;
  emit Pop3Status(QString());
  Fail(QString::fromUtf8(line.mid(5)));
}

void POP3_InMail::HandleListLine(const QByteArray& line) {
  if (!multiLine_) {
    multiLine_ = line.startsWith("+OK");
    if (!multiLine_) {  // refused: no capabilities, no sizes
      op_ = OpNone;
      listDone_ = true;
    }
    return;
  }
  if (line == ".") {
    multiLine_ = false;
    op_ = OpNone;
    listDone_ = true;
  } else if (op_ == OpCapa) {
    if (line.trimmed().toUpper() == "PIPELINING") canPipeline_ = true;
  } else {
    const QList<QByteArray> f = line.simplified().split(' ');
    bool ok1 = false, ok2 = false;
    const int n = f.value(0).toInt(&ok1);
    const qint64 size = f.value(1).toLongLong(&ok2);
    if (ok1 && ok2 && n >= 1 && n < static_cast<int>(sizes_.size()) && size >= 0) sizes_[static_cast<size_t>(n)] = size;
  }
}

void POP3_InMail::HandleLine(const QByteArray& line) {
  if (op_ == OpCapa || op_ == OpList) {
    HandleListLine(line);
    return;
  }
  if (line.startsWith("-ERR")) {
    HandleErrorAnswer(line);
    return;
  }
  if (!line.startsWith("+OK")) return;
  switch (op_) {
    case OpConnect:
      if (loginStep_ == 0) {
        loginStep_ = 1;
        emit Pop3Status(QStringLiteral("Authenticate User..."));
        SendCommand("USER " + OneLine(user_));
      } else if (loginStep_ == 1) {
        loginStep_ = 2;
        emit Pop3Status(QStringLiteral("Send Password..."));
        SendCommand("PASS " + OneLine(password_));
      } else {
        op_ = OpNone;
        connected_ = true;
        connectDone_ = true;
        emit Pop3Status(QStringLiteral("Successful connected to pop3 Server"));
      }
      break;
    case OpDisconnect:
      op_ = OpNone;
      connected_ = false;
      disconnectDone_ = true;
      socket_->CloseSocket();
      emit Pop3Status(QStringLiteral("Successful Disconnected from POP3 Server"));
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
        abort_ = error_ = true;
        op_ = OpNone;
        break;
      }
      count_ = static_cast<qint16>(std::min<qulonglong>(n, 32767));
      maildropBytes_ = sizeOk ? static_cast<qint64>(std::min<qulonglong>(size, 1ULL << 50)) : -1;
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

void POP3_InMail::HandleRetrieveBytes(QByteArrayView bytes) {
  const qsizetype old = retrieve_.size();
  const qsizetype need = old + bytes.size();
  if (need > retrieve_.capacity()) retrieve_.reserve(std::max(need, retrieve_.capacity() * 2));
  retrieve_.append(bytes);
  if (maildropBytes_ >= 0 && retrieve_.size() > maildropBytes_ + maildropBytes_ / 10 + 65536) {
    // The answer cannot be the message: end the session without QUIT, so that nothing is
    // deleted, and leave the message on the server.
    retrieve_ = QByteArray();
    op_ = OpNone;
    abortReason_ = QStringLiteral("The POP3 server sent more than the %1 bytes its mailbox holds; "
                                  "the message stays on the server")
                       .arg(maildropBytes_);
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

void POP3_InMail::CompleteRetrieve(qsizetype terminator) {
  // The message is [statusEnd_, terminator + 1): the lines before the final ".", each with its
  // line end. A line starting ".." loses one dot. Done in place: the text only moves forward.
  char* buf = retrieve_.data();
  const qsizetype end = terminator + 1;
  // What follows the "." line answers the next command read ahead.
  const QByteArray rest =
      pending_.empty() ? QByteArray() : retrieve_.mid(terminator + (buf[terminator + 2] == '\r' ? 4 : 3));
  qsizetype w = 0;
  for (qsizetype r = statusEnd_; r < end;) {
    if (buf[r] == '.' && r + 1 < end && buf[r + 1] == '.') ++r;
    const void* lf = std::memchr(buf + r, '\n', static_cast<size_t>(end - r));
    const qsizetype next = lf ? static_cast<const char*>(lf) - buf + 1 : end;
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

bool POP3_InMail::ConnectToPop3Server(const QString& strUsername, const QString& strPassword,
                                      const QString& strHost) {
  quint16 port = 0;
  return ConnectToPop3Server(strUsername, strPassword, strHost, port);
}

bool POP3_InMail::ConnectToPop3Server(const QString& strUsername, const QString& strPassword,
                                      const QString& strHost, quint16& intPort) {
  if (connected_) {
    Fail(QStringLiteral("Already Connected to POP3 Server!"));
    return false;
  }
  host_ = strHost;
  user_ = strUsername;
  password_ = strPassword;
  count_ = NotInitialized;
  maildropBytes_ = -1;
  abortReason_.clear();
  BreakPipeline();  // nothing of an earlier session's read-ahead goes on
  refusedDeletion_ = 0;
  StartOperation(OpConnect);
  loginStep_ = 0;
  connectDone_ = false;
  if (intPort == 0) intPort = 110;

  emit Pop3Status(QStringLiteral("Connecting to POP3 Server...(") + host_ + QStringLiteral(")..."));
  try {
    socket_->Connect(host_, intPort);
  } catch (const vrl::VrlError& e) {
    op_ = OpNone;
    Fail(e.Description());
    return false;
  }
  const WaitResult r = Wait(connectDone_);
  if (r == WaitDone) {
    op_ = OpNone;
    return connected_;
  }
  // No half-finished login may go on after the caller was told it failed.
  op_ = OpNone;
  if (socket_->State() != CSocket::sckClosed) socket_->CloseSocket();
  if (r == WaitAborted) return false;  // reported where it happened
  Fail(QStringLiteral("Timeout connecting to POP3 server!"));
  return false;
}

bool POP3_InMail::DisConnectFromPop3Server() {
  if (!connected_) {
    Fail(QStringLiteral("Not Connected to POP3 Server!"));
    return false;
  }
  if (pipelined_ && !Drain()) {
    count_ = NotInitialized;
    return false;
  }
  StartOperation(OpDisconnect);
  disconnectDone_ = false;
  emit Pop3Status(QStringLiteral("Disconnecting from POP3 Server..."));
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
  if (r == WaitTimedOut) Fail(QStringLiteral("Timeout Disconnecting from POP3 server!"));
  return false;
}

qint16 POP3_InMail::GetNMailsOnPop3Server(bool ForceGetFromServer) {
  if (!connected_) {
    Fail(QStringLiteral("Not Connected to POP3 Server!"));
    return 0;
  }
  if (!ForceGetFromServer && count_ > 0) return count_;
  if (pipelined_ && !Drain()) return 0;
  StartOperation(OpCount);
  countDone_ = false;
  const WaitResult r = SendCommand("STAT") ? Wait(countDone_) : WaitAborted;
  if (r == WaitDone) return count_;
  op_ = OpNone;
  count_ = ErrorOcurred;
  Fail(r == WaitAborted ? QStringLiteral("Error Retrieving Number of Mails from POP3 Server!")
                        : QStringLiteral("Timeout Retrieving Number of Mails from POP3 Server!"));
  return 0;
}

bool POP3_InMail::CheckIndex(qint16 index) {
  GetNMailsOnPop3Server(false);
  if (count_ < 0) return false;
  if (index < 1 || index > count_)
    throw vrl::VrlError(vrl::ErrNum(0x8004020Eu), QStringLiteral("Bad Mail Index!"), kProductName);
  return true;
}

bool POP3_InMail::GetMail(qint16 index, Pop3Mail& mail,
                          std::vector<Pop3MailAttachments>& Attachments, QByteArray* source) {
  if (!connected_) {
    Fail(QStringLiteral("Not Connected to POP3 Server!"));
    return false;
  }
  if (!CheckIndex(index)) return false;
  if (pipelined_ && index == takeNext_ && takeNext_ != planEnd_) return TakeAhead(mail, Attachments, source);
  if (pipelined_ && !Drain()) return false;
  StartOperation(OpRetrieve);
  retrieveDone_ = false;
  const WaitResult r =
      SendCommand("RETR " + QByteArray::number(index)) ? Wait(retrieveDone_) : WaitAborted;
  if (r != WaitDone) {
    op_ = OpNone;
    retrieve_ = QByteArray();
    Fail(!abortReason_.isEmpty() ? std::exchange(abortReason_, QString())
         : r == WaitAborted      ? QStringLiteral("Error retrieving message from POP3 server!")
                                 : QStringLiteral("Timeout retrieving message from POP3 server!"));
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

bool POP3_InMail::DelMail(qint16 index) {
  if (!connected_) {
    Fail(QStringLiteral("Not Connected to POP3 Server!"));
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
                        : QStringLiteral("Timeout deleting message from POP3 server!"));
  return false;
}

// ---- read-ahead ----

bool POP3_InMail::ListOperation(Operation op) {
  StartOperation(op);
  multiLine_ = false;
  listDone_ = false;
  const WaitResult r = SendCommand(op == OpCapa ? "CAPA" : "LIST") ? Wait(listDone_) : WaitAborted;
  op_ = OpNone;
  return r == WaitDone;
}

bool POP3_InMail::RetrieveInOrder(qint16 first, qint16 last) {
  if (!connected_ || pipelined_ || GetNMailsOnPop3Server(false) < std::max(first, last) ||
      std::min(first, last) < 1)
    return false;
  canPipeline_ = false;
  if (!ListOperation(OpCapa) || !canPipeline_) return false;
  // Without sizes every message is read ahead alone.
  sizes_.assign(static_cast<size_t>(count_) + 1, -1);
  if (!ListOperation(OpList)) return false;
  pipelined_ = true;
  planStep_ = first <= last ? 1 : -1;
  planNext_ = takeNext_ = first;
  planEnd_ = last + planStep_;
  aheadCount_ = 0;
  aheadBytes_ = 0;
  refusedDeletion_ = 0;
  return true;
}

qint64 POP3_InMail::AheadSize(int index) const {
  const qint64 size = index >= 0 && index < static_cast<int>(sizes_.size()) ? sizes_[static_cast<size_t>(index)] : -1;
  return size < 0 ? kAheadBytes : size;
}

void POP3_InMail::FollowPending() {
  op_ = pending_.empty() ? OpNone : pending_.front().dele ? OpDelete : OpRetrieve;
}

void POP3_InMail::Queue(const QByteArray& command, Pending p) {
  outgoing_ += command + "\r\n";
  pending_.push_back(p);
  if (pending_.size() == 1) FollowPending();
}

void POP3_InMail::AnswerDone(const QByteArray& rest) {
  pending_.pop_front();
  answered_ = true;
  FollowPending();
  if (!rest.isEmpty()) HandleAnswerBytes(rest);
}

void POP3_InMail::SendAhead() {
  // Bounded by count and by the announced sizes; the next message always goes, however large.
  while (planNext_ != planEnd_) {
    const qint64 size = AheadSize(planNext_);
    if (aheadCount_ > 0 && (aheadCount_ >= kAheadCount || aheadBytes_ + size > kAheadBytes)) break;
    Queue("RETR " + QByteArray::number(planNext_), {planNext_, false});
    ++aheadCount_;
    aheadBytes_ += size;
    planNext_ += planStep_;
  }
}

bool POP3_InMail::Flush() {
  if (outgoing_.isEmpty()) return true;
  try {
    socket_->SendData(std::exchange(outgoing_, QByteArray()));
    return true;
  } catch (const vrl::VrlError& e) {
    abort_ = false;
    BreakPipeline();
    Fail(e.Description());
    return false;
  }
}

void POP3_InMail::BreakPipeline() {
  pipelined_ = false;
  pending_.clear();
  ahead_.clear();
  outgoing_.clear();
  op_ = OpNone;
  connected_ = false;
  if (socket_->State() != CSocket::sckClosed) socket_->CloseSocket();
}

bool POP3_InMail::Drain() {
  if (!Flush()) return false;
  while (!pending_.empty()) {
    answered_ = false;
    const WaitResult r = Wait(answered_);
    if (r == WaitDone) continue;
    BreakPipeline();
    if (r == WaitTimedOut) Fail(QStringLiteral("Timeout waiting for the answers of the POP3 server!"));
    return false;
  }
  pipelined_ = false;
  ahead_.clear();
  return true;
}

bool POP3_InMail::TakeAhead(Pop3Mail& mail, std::vector<Pop3MailAttachments>& Attachments,
                            QByteArray* source) {
  SendAhead();
  if (!Flush()) return false;
  while (ahead_.empty()) {
    answered_ = false;
    const WaitResult r = Wait(answered_);
    if (r == WaitDone) continue;
    BreakPipeline();
    Fail(!abortReason_.isEmpty() ? std::exchange(abortReason_, QString())
         : r == WaitAborted      ? QStringLiteral("Error retrieving message from POP3 server!")
                                 : QStringLiteral("Timeout retrieving message from POP3 server!"));
    return false;
  }
  Ahead got = std::move(ahead_.front());
  ahead_.pop_front();
  --aheadCount_;
  aheadBytes_ -= AheadSize(got.index);
  takeNext_ += planStep_;
  if (got.refused) {
    Fail(QStringLiteral("Error retrieving message from POP3 server!"));
    return false;
  }
  pop3mime::ParseMessage(got.message, mail, Attachments);
  if (source) *source = std::move(got.message);
  return true;
}

bool POP3_InMail::SaveAttachmentDataToFile(const Pop3AttachmentData& AttachmentData,
                                           const QString& FileAndPathName, bool flush) {
  QString error;
  if (pop3mime::SaveAttachmentData(AttachmentData, FileAndPathName, &error, flush)) return true;
  Fail(error);
  return false;
}

// ---- internal entry points ----

void POP3_InMailInternal::BeginRetrieve(POP3_InMail& client) {
  client.StartOperation(POP3_InMail::OpRetrieve);
  client.retrieveDone_ = false;
}

void POP3_InMailInternal::Feed(POP3_InMail& client, QByteArrayView bytes) {
  client.HandleAnswerBytes(bytes);
}

bool POP3_InMailInternal::RetrieveDone(const POP3_InMail& client) { return client.retrieveDone_; }

void POP3_InMailInternal::TakeMessage(POP3_InMail& client, Pop3Mail& mail,
                                      std::vector<Pop3MailAttachments>& attachments) {
  mail = std::move(client.lastMail_);
  attachments = std::move(client.lastAttachments_);
  client.lastMail_ = Pop3Mail();
  client.lastAttachments_.clear();
  client.lastSource_ = QByteArray();
}

qsizetype POP3_InMailInternal::RetrieveCapacity(const POP3_InMail& client) {
  return client.retrieve_.capacity();
}
