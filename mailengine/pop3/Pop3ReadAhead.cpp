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

// ---- read-ahead ----

bool POP3_InMail::Impl::AskMailbox() {
  if (!connected_ || pipelined_ || !capaAsked_ || !Offers(QStringLiteral("PIPELINING"))) return false;
  StartOperation(OpNone);
  lastError_.clear();
  count_ = NotInitialized;
  haveCount_ = haveUids_ = haveSizes_ = askBroke_ = false;
  multiLine_ = false;
  uids_.clear();
  sizes_.clear();
  Queue("STAT", {0, OpCount});
  Queue("UIDL", {0, OpUidl});
  Queue("LIST", {0, OpList});
  // A failed wait closes the session: later answers could not be matched to their commands.
  askBroke_ = !Drain();
  op_ = OpNone;
  return !askBroke_;
}

void POP3_InMail::Impl::AskedAnswered(bool usable) {
  if (usable && op_ == OpCount) {
    haveCount_ = true;
    // The lists that follow fill one entry per message.
    uids_.assign(static_cast<size_t>(count_) + 1, QByteArray());
    sizes_.assign(static_cast<size_t>(count_) + 1, -1);
  } else if (op_ == OpUidl || op_ == OpList) {
    const bool have = usable && count_ >= 0;
    (op_ == OpUidl ? haveUids_ : haveSizes_) = have;
    if (!have && op_ == OpUidl) uids_.clear();
    if (!have && op_ == OpList) sizes_.clear();  // asked again by the call that needs them
  }
  AnswerDone(QByteArray());
}

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
  if (std::exchange(op == OpUidl ? haveUids_ : haveSizes_, false)) return true;  // AskMailbox's answer
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
  op_ = pending_.empty() ? OpNone : pending_.front().op;
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
    Queue("RETR " + QByteArray::number(index), {index, OpRetrieve});
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

