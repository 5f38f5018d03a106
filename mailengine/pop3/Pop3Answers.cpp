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
  if (!pending_.empty() && pending_.front().op == OpDisconnect) pending_.clear();  // a refused QUIT ends it all
  if (!pending_.empty() && pending_.front().op == OpCount) return AskedAnswered(false);
  if (!pending_.empty()) {
    // Read ahead: one refused command, the next answer follows.
    const Pending p = pending_.front();
    const bool dele = p.op == OpDelete;
    if (!dele) ahead_.push_back({p.index, true, {}});
    emit q->Pop3Status(QString());
    Fail(Refusal(line, false));
    if (dele && refusedDeletion_ == 0) {
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

void POP3_InMail::Impl::WrongAnswer(const QByteArray& command, const QByteArray& line, bool report) {
  abort_ = error_ = true;
  op_ = OpNone;
  connected_ = false;
  if (socket_->State() != CSocket::sckClosed) socket_->CloseSocket();
  if (!report) return;
  emit q->Pop3Status(QString());
  Fail(pop3::WrongAnswerText(command, line), Kind::Protocol, line.left(kMaxQuotedAnswer));
}

void POP3_InMail::Impl::HandleListLine(const QByteArray& line) {
  if (!multiLine_) {
    const pop3::Verdict verdict = pop3::Judge(line, false);
    if (verdict == pop3::Verdict::WrongAnswer) return WrongAnswer(Awaited(), line);
    multiLine_ = verdict == pop3::Verdict::Done;
    listRefused_ = !multiLine_;
    if (!multiLine_ && !pending_.empty()) return AskedAnswered(false);
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
    if (!pending_.empty()) return AskedAnswered(true);
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
  const pop3::Verdict verdict = pop3::Judge(line, op_ == OpAuth);
  if (verdict == pop3::Verdict::WrongAnswer) return WrongAnswer(command_, line);
  if (verdict == pop3::Verdict::Refused) {
    QString text = QString::fromUtf8(line.mid(5));
    if (!authError_.isEmpty()) text += QLatin1Char(' ') + authError_;
    abort_ = error_ = true;
    op_ = OpNone;
    emit q->Pop3Status(QString());
    mailerr::Error refusal = Refusal(line, loggingIn_);
    refusal.description = text;
    Fail(refusal);
  } else if (verdict == pop3::Verdict::Done) {
    stepDone_ = true;
  } else {
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
  const pop3::Verdict verdict = pop3::Judge(line, false);
  if (verdict == pop3::Verdict::Refused) return HandleErrorAnswer(line);
  if (verdict == pop3::Verdict::WrongAnswer) {
    // Only an operation's answer can be wrong; a line between operations is nobody's.
    if (!pending_.empty()) return WrongAnswer(CommandOf(pending_.front().op), line);
    if (op_ != OpNone) WrongAnswer(command_, line);
    return;
  }
  switch (op_) {
    case OpDisconnect:
      if (!pending_.empty()) {  // QUIT was the last command queued
        pending_.clear();
        answered_ = true;
      }
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
      if (!countOk && !pending_.empty()) return AskedAnswered(false);
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
      if (!pending_.empty()) return AskedAnswered(true);
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
    if (const QByteArray status = WithoutCR(retrieve_.left(lf));
        pop3::Judge(status, false) == pop3::Verdict::WrongAnswer) {
      // Not the start of a message: the session ends without QUIT, the message stays; the
      // retrieval reports it.
      retrieve_ = QByteArray();
      abortReason_ = pop3::WrongAnswerText("RETR", status);
      WrongAnswer("RETR", status, false);
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

