#pragma once
// The state behind SMTP_OutMail, shared by its three parts: the properties (SMTP_OutMail.cpp),
// the session and its command steps (SmtpSession.cpp), and one message (SmtpTransaction.cpp).
#include "mime/MimeCompose.h"
#include "smtp/SMTP_OutMail.h"
#include "smtp/SmtpSteps.h"
#include "socket/CSocket.h"
#include "socket/MailError.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace smtpimpl {

constexpr int kMaxRecipients = 100;
// Above this many unsent bytes the writer waits for the socket before queuing more.
constexpr long kSendHighWater = 256 * 1024;
// After the last attachment the data is let out down to this before "." is sent.
constexpr long kSendDrained = 4096;
// Message text is handed to the socket in pieces of about this size; a small message goes out
// together with its final "." in one write.
constexpr qsizetype kOutChunk = 64 * 1024;
constexpr int kLoginWaitSeconds = 5;
constexpr int kQuitWaitMs = 2000;
constexpr int kPingTimeoutMs = 1000;
// A reply (or a line of one) longer than this is garbage, not SMTP.
constexpr qsizetype kMaxReplyBytes = 1 << 20;

// Marks the object busy for the length of a public operation: failures outside of one (a
// server closing an idle kept-open connection) are recorded but raise no event.
class BusyScope {
 public:
  explicit BusyScope(bool& flag) : flag_(flag), old_(flag) { flag_ = true; }
  ~BusyScope() { flag_ = old_; }

 private:
  bool& flag_;
  bool old_;
};

}  // namespace smtpimpl

struct SMTP_OutMail::Impl {
  explicit Impl(SMTP_OutMail* owner);

  SMTP_OutMail* q;

  // The public operations that work on the state.
  void SetSMTPHost(const QString& host);
  void SetSMTPPort(long port);
  void SetPOP3Host(const QString& host);
  void SetPOP3Port(long port);
  void SetConnectRetry(int retries);
  void SetTimeOutNSeconds(int& seconds);
  void SetTimeOutNSeconds(int&& seconds);
  void SetSMTPHostValidation(VALIDATE_HOST_METHOD method);
  void SetPriority(int priority);
  void SetDelimiter(const QString& delimiter);
  void Setfrom(const QString& address);
  void SetReplyToAddress(const QString& address);
  void SetMessage(const QString& text);
  void SetContentBase(const QString& base);
  void SetRecipient(const QString& list);
  void SetCcRecipient(const QString& list);
  void SetBccRecipient(const QString& list);
  void SetAttachment(const QString& list);
  bool send();
  bool Connect();
  void Disconnect();

  enum WaitResult { kWaitDone, kWaitAborted, kWaitTimedOut, kWaitClosed };

  QStringList SplitList(const QString& list) const;
  void SetAddressList(QStringList& target, const QString& list, const QString& error);
  bool ValidateHost(const QString& host) const;
  // A property's fault, reported when a message is sent; kind Input unless said otherwise.
  void AddError(const QString& text, mailerr::Kind kind = mailerr::Kind::Input);
  void RemoveError(const QString& text);
  void Fail();
  void FailWith(const mailerr::Error& error);
  void FailWith(mailerr::Kind kind, const QString& text) { FailWith(mailerr::Error::Make(kind, text)); }

  // One message: the steps of send.
  struct Outgoing {
    mimecompose::MessageContent content;
    QByteArray boundary, head;
    QList<QByteArray> rcpts;  // the RCPT TO lines
  };
  bool CheckBeforeConnect();
  bool PrepareMessage(Outgoing& out);
  bool EnsureSession();
  bool SendEnvelope(const Outgoing& out);
  bool SendContent(const Outgoing& out);

  bool ConnectionProcedure();
  bool PopBeforeSmtp();
  bool LogIn();
  bool AttemptConnect(const QString& host, long port);
  void ClosingProcedure();
  void CloseSocket();

  // The step queue: every command sent waits in awaiting_ for its reply, in order. Issue puts
  // the commands' lines on the wire in one write and queues their steps; Await waits until every
  // queued step has its reply, a reply failed one, or the time is up.
  // The steps from aheadFrom on are the next message's, sent before it was asked for: their
  // refusal fails nothing now and makes the next message start on a new connection.
  bool Issue(const QByteArray& lines, const std::vector<smtp::Command>& steps, size_t aheadFrom = SIZE_MAX);
  // Waits until no more than leave steps wait (the ones sent ahead).
  WaitResult Await(int timeoutMs, size_t leave = 0);
  // Issue and Await; a time-out or a closed connection fails the operation.
  bool Run(const QByteArray& lines, const std::vector<smtp::Command>& steps);
  bool AwaitOrFail(size_t leave = 0);
  bool SendRaw(const QByteArray& bytes);
  bool SocketConnected() const;
  bool SinkBlock(const QByteArray& bytes);
  bool FlushOut();
  bool WaitSendBuffer(long limit, int silenceMs);

  void OnConnect();
  void OnClose();
  void OnDataArrival(long bytesTotal);
  // Judges the complete replies received, each by the step at the front of the queue; stops when
  // no step waits, so that a reply after them (a 421 behind the "250" to the final dot) belongs to
  // what follows.
  void ProcessReplies(bool unasked = false);  // unasked: judge replies also when no step waits
  void OnError(int number, const QString& description, const QString& source);
  void OnSendProgress(long bytesSent, long bytesRemaining);
  void HandleReply(const QByteArray& raw);
  void AnswerChallenge(const smtp::Reply& reply);

  std::unique_ptr<CSocket> socket_;

  QString smtpHost_;
  long smtpPort_ = 25;
  QString pop3Host_;
  long pop3Port_ = 110;
  int connectRetry_ = 3;
  int timeOut_ = 30;
  VALIDATE_HOST_METHOD hostValidation_ = VALIDATE_HOST_DNS;
  VALIDATE_METHOD addressValidation_ = VALIDATE_SYNTAX;
  ENCODE_METHOD encodeType_ = MIME_ENCODE;
  int priority_ = NORMAL_PRIORITY;
  QString priorityText_ = QStringLiteral("Normal");
  QString delimiter_ = QStringLiteral(";");
  bool asHtml_ = false, receipt_ = false, useAuth_ = false, usePopAuth_ = false;
  bool pipelining_ = false;  // allowed by the caller; used when the server offers it
  QString from_, fromDisplayName_, replyTo_, subject_, message_, contentBase_, username_, password_;
  QStringList to_, toNames_, cc_, ccNames_, bcc_;
  QString attachmentValue_;
  std::vector<mimecompose::AttachmentInfo> attachments_;

  std::vector<mailerr::Error> pendingErrors_;  // of the properties, in the order they were found
  QString lastError_;
  mailerr::Error error_;  // the last failure of send, Connect or Disconnect

  struct Step {
    smtp::Command command;
    bool ahead;
  };
  std::deque<Step> awaiting_;
  // The next message's envelope: MAIL, RCPT and DATA sent behind this message's final dot when
  // the caller says another message follows (anotherFollows_). The next send takes it when its
  // envelope is the same; otherwise, and when it was refused, the connection is dropped, which
  // ends the transaction without a message.
  bool anotherFollows_ = false;
  QByteArray aheadEnvelope_;
  bool aheadRefused_ = false;
  bool aheadMissed_ = false;  // a next message had another envelope: no more guessing
  QByteArray EnvelopeOf(const Outgoing& out) const;
  bool TakeAhead(const Outgoing& out);  // true: the envelope is accepted, DATA is open
  static std::vector<smtp::Command> EnvelopeSteps(const Outgoing& out);  // MAIL, each RCPT, DATA
  void EnvelopeStatuses();  // the three status events of an envelope sent in one write
  bool PipeliningOn() const { return pipelining_ && extensions_.pipelining; }
  smtp::Reply lastReply_;  // the last reply that completed a step
  bool connected_ = false;
  bool connectSeen_ = false;  // OnConnect came since the last Connect of the socket
  bool keepOpen_ = false;
  bool busy_ = false;  // inside send, Connect or Disconnect
  bool closing_ = false;  // saying QUIT: the message's fate is decided, nothing fails it now
  bool abort_ = false;
  smtp::Extensions extensions_;
  vrlsec::Settings security_;
  bool implicitTls_ = false;              // TLS from the connect on
  QByteArray authMech_;     // the mechanism of the AUTH exchange going on
  QString serverAuthError_;  // what an XOAUTH2 server said about a refused token

  bool PutTls(bool implicit);
  bool Hello(smtp::Command verb, const QString& domain);
  bool SizeFits();
  QByteArray rx_;               // received bytes not yet forming a complete reply
  QByteArray pendingReply_;     // lines of a multi-line reply seen so far
  QByteArray out_;              // message text not yet handed to the socket

  qint64 bytesSent_ = 0;
  long bytesRemaining_ = 0;
  qint64 totalEstimate_ = 0;
  long lastPercent_ = -1;
};
