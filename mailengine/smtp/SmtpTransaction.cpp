#include "smtp/SMTP_OutMail_p.h"

#include "Clock.h"
#include "mime/Codec.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <utility>

using namespace smtpimpl;
using codec::WireBytes;
using mailerr::Kind;

// ---------------------------------------------------------------- sending one message

bool SMTP_OutMail::Impl::CheckBeforeConnect() {
  if (from_.isEmpty()) AddError(kErrSender);
  if (asHtml_ && encodeType_ == UU_ENCODE) AddError(kErrHtmlUu);
  if (to_.isEmpty() && cc_.isEmpty() && bcc_.isEmpty()) AddError(kErrNoRecipient);
  if (to_.size() + cc_.size() + bcc_.size() > kMaxRecipients) AddError(kErrTooMany);
  toNames_.resize(to_.size());
  ccNames_.resize(cc_.size());
  if (pendingErrors_.empty()) return true;
  Fail();
  return false;
}

bool SMTP_OutMail::Impl::PrepareMessage(Outgoing& out) {
  mimecompose::MessageContent& m = out.content;
  m.from = from_;
  m.fromDisplayName = fromDisplayName_;
  m.replyTo = replyTo_;
  m.subject = subject_;
  m.to = to_;
  m.toNames = toNames_;
  m.cc = cc_;
  m.ccNames = ccNames_;
  m.body = message_;
  m.asHtml = asHtml_;
  m.contentBase = contentBase_;
  m.priority = priority_;
  m.priorityText = priorityText_;
  m.receipt = receipt_;
  m.uuencode = encodeType_ == UU_ENCODE;
  m.attachments = attachments_;
  // An attachment that went away since it was set fails here, before anything is sent.
  for (auto& a : m.attachments) {
    const QFileInfo info(a.path);
    if (!info.isFile()) {
      FailWith(Kind::Local, kErrAttach);
      return false;
    }
    if (!info.isReadable()) {
      FailWith(Kind::Local, QStringLiteral("Cannot read the file to attach: ") + a.path);
      return false;
    }
    a.size = info.size();
    a.embedded = false;
  }
  if (m.asHtml && !m.uuencode && !m.attachments.empty()) mimecompose::MarkEmbedded(m.body, m.attachments);

  const QDateTime now = vrl::Now();
  out.boundary = mimecompose::MakeBoundary(now);
  out.head = mimecompose::ComposeHead(m, out.boundary, now, vrl::UtcOffsetSeconds(now));
  for (const QStringList* list : {&to_, &cc_, &bcc_})
    for (const QString& a : *list) out.rcpts.append("RCPT TO: <" + WireBytes(a.trimmed()) + ">\r\n");
  qint64 envelope = 14 + WireBytes(from_).size() + 6 /* DATA */ + 3 /* . */;
  for (const auto& r : out.rcpts) envelope += r.size();
  totalEstimate_ = envelope + mimecompose::EstimateSize(m, out.head, out.boundary);
  bytesSent_ = 0;
  bytesRemaining_ = 0;
  lastPercent_ = -1;
  return true;
}

bool SMTP_OutMail::Impl::EnsureSession() {
  // A kept-open connection the server has closed meanwhile is noticed here; one that holds an
  // unasked reply (a 421 behind the last message's "250") starts afresh.
  QCoreApplication::processEvents();
  if (SocketConnected() && !rx_.isEmpty()) CloseSocket();
  return SocketConnected() || ConnectionProcedure();
}

QByteArray SMTP_OutMail::Impl::EnvelopeOf(const Outgoing& out) const {
  QByteArray mailFrom = "MAIL FROM: <" + WireBytes(from_) + ">";
  if (extensions_.authEqualsLogin) mailFrom += " AUTH=" + WireBytes(from_);
  return mailFrom + "\r\n" + out.rcpts.join();
}

std::vector<smtp::Command> SMTP_OutMail::Impl::EnvelopeSteps(const Outgoing& out) {
  std::vector<smtp::Command> steps{smtp::Command::MailFrom};
  steps.insert(steps.end(), out.rcpts.size(), smtp::Command::RcptTo);
  steps.push_back(smtp::Command::Data);
  return steps;
}

void SMTP_OutMail::Impl::EnvelopeStatuses() {
  emit q->Status(QStringLiteral("Sending Sender Information..."));
  emit q->Status(QStringLiteral("Sending Recipient Information..."));
  emit q->Status(QStringLiteral("Sending Message..."));
}

bool SMTP_OutMail::Impl::TakeAhead(const Outgoing& out) {
  if (aheadEnvelope_.isEmpty()) return false;
  const bool same = std::exchange(aheadEnvelope_, QByteArray()) == EnvelopeOf(out);
  aheadMissed_ = aheadMissed_ || !same;
  if (same && SocketConnected()) {
    EnvelopeStatuses();
    // Their replies came with the last message's, as a rule. A failure while waiting for them
    // (a dropped connection) is not this message's: it starts again on a new connection.
    busy_ = false;
    const QString before = lastError_;
    const bool open = Await(timeOut_ * 1000) == kWaitDone && !aheadRefused_;
    busy_ = true;
    lastError_ = before;
    abort_ = false;
    if (open) return true;
  }
  // Another envelope, or the one sent ahead was refused: dropping the connection ends its
  // transaction without a message.
  CloseSocket();
  return false;
}

bool SMTP_OutMail::Impl::SendEnvelope(const Outgoing& out) {
  using smtp::Command;
  const QByteArray envelope = EnvelopeOf(out);
  const QByteArray mailFrom = envelope.left(envelope.indexOf('\n') + 1);
  if (PipeliningOn()) {
    // One write, one wait: the replies come in the order of the commands, and the first that
    // refuses ends the message (a DATA the server took anyway is never followed by text).
    EnvelopeStatuses();
    return Run(envelope + "DATA\r\n", EnvelopeSteps(out));
  }
  emit q->Status(QStringLiteral("Sending Sender Information..."));
  if (!Run(mailFrom, {Command::MailFrom})) return false;

  emit q->Status(QStringLiteral("Sending Recipient Information..."));
  for (const auto& r : out.rcpts)
    if (!Run(r, {Command::RcptTo})) return false;
  emit q->Status(QStringLiteral("Sending Message..."));
  return Run("DATA\r\n", {Command::Data});
}

bool SMTP_OutMail::Impl::SendContent(const Outgoing& out) {
  out_.clear();
  QString writeError;
  const bool written = mimecompose::MessageWriter::Write(
      out.content, out.head, out.boundary, [this](const QByteArray& b) { return SinkBlock(b); },
      [this](const QString& text) { emit q->Status(text); }, &writeError);
  if (!written) {
    out_.clear();
    if (!abort_) {
      if (writeError.isEmpty())
        FailWith(Kind::Connection, kErrSocketNotOpen);
      else
        FailWith(Kind::Local, writeError);
    }
    return false;
  }
  // A large message is let out down to a few KB before "." so that the wait for the reply does
  // not start while much is still on its way; a small one goes out in one piece with ".".
  if (socket_->BytesToSend() + out_.size() > kSendDrained) {
    if (!FlushOut()) return false;
    if (socket_->BytesToSend() > kSendDrained && !WaitSendBuffer(kSendDrained, timeOut_ * 1000)) return false;
  }
  // The reply to the final dot decides the message's fate. When another message follows on this
  // connection, its envelope goes right behind the dot, assumed the same as this one's.
  using smtp::Command;
  QByteArray last = std::exchange(out_, QByteArray()) + ".\r\n";
  std::vector<Command> steps{Command::EndOfData};
  if (anotherFollows_ && keepOpen_ && PipeliningOn() && !aheadMissed_) {
    aheadEnvelope_ = EnvelopeOf(out);
    last += aheadEnvelope_ + "DATA\r\n";
    const std::vector<Command> next = EnvelopeSteps(out);
    steps.insert(steps.end(), next.begin(), next.end());
  }
  // One write; every step after the first is the next message's.
  if (!Issue(last, steps, 1)) return false;
  return AwaitOrFail(steps.size() - 1);
}

bool SMTP_OutMail::Impl::send() {
  BusyScope busy(busy_);
  abort_ = false;
  error_ = {};
  if (!CheckBeforeConnect()) return false;
  Outgoing out;
  if (!PrepareMessage(out)) return false;
  const bool open = TakeAhead(out);
  if (!open && !EnsureSession()) return false;
  if (!SizeFits()) {
    if (open) CloseSocket();
    return false;
  }
  // Any failure from here on closes the connection: the server may be in the middle of a
  // transaction, and the next message starts on a fresh one.
  if ((!open && !SendEnvelope(out)) || !SendContent(out)) {
    CloseSocket();
    return false;
  }
  lastPercent_ = 100;
  emit q->Progress(100);
  emit q->Status(QStringLiteral("Transmission Complete..."));
  if (!keepOpen_) ClosingProcedure();
  emit q->SendSuccesful();
  return true;
}
