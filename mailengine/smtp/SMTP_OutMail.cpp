#include "smtp/SMTP_OutMail.h"

#include "Clock.h"
#include "EventWait.h"
#include "VrlError.h"
#include "mime/Codec.h"
#include "mime/MimeCompose.h"
#include "pop3/POP3_InMail.h"
#include "smtp/SmtpReply.h"
#include "socket/CSocket.h"
#include "socket/IcmpEcho.h"
#include "socket/MSocketSupport.h"
#include "socket/TlsTransport.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <algorithm>
#include <utility>

using codec::WireBytes;

const QString SMTP_OutMail::kErrHost = QStringLiteral("Invalid or Missing SMTP Host Name");
const QString SMTP_OutMail::kErrPop3Host = QStringLiteral("Invalid or Missing POP3 Host Name");
const QString SMTP_OutMail::kErrPort = QStringLiteral("Invalid Remote Port");
const QString SMTP_OutMail::kErrRecipient = QStringLiteral("Missing or Invalid Recipient E-mail Address");
const QString SMTP_OutMail::kErrCc = QStringLiteral("Invalid Cc: Recipient E-mail Address");
const QString SMTP_OutMail::kErrBcc = QStringLiteral("Invalid Bcc: Recipient E-mail Address");
const QString SMTP_OutMail::kErrSender = QStringLiteral("Missing or Invalid Sender E-mail Address");
const QString SMTP_OutMail::kErrNoRecipient = QStringLiteral("No Recipient E-mail Address Specified");
const QString SMTP_OutMail::kErrTooMany = QStringLiteral("Too many recipients");
const QString SMTP_OutMail::kErrHtmlUu = QStringLiteral("Sending HTML requires MIME encoding");
const QString SMTP_OutMail::kErrTimeout =
    QStringLiteral("Timeout occurred: The SMTP Host did not respond to the request");
const QString SMTP_OutMail::kErrAttach = QStringLiteral("The file you tried to attach does not exist");
const QString SMTP_OutMail::kErrSocketNotOpen = QStringLiteral("Socket not Open");
const QString SMTP_OutMail::kErrNoStartTls =
    QStringLiteral("The SMTP server does not offer STARTTLS, which the profile requires: nothing was sent");
const QString SMTP_OutMail::kErrClearLogin =
    QStringLiteral("The SMTP server does not offer STARTTLS: the password would go in clear text, so nothing was "
                   "sent (choose security tls or starttls, or none for a trusted local server)");
const QString SMTP_OutMail::kErrPop3Timeout =
    QStringLiteral("Timeout occurred: The POP3 Host did not respond to the request");

namespace {

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

}  // namespace

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

  enum Flag { kReplyOk, kReadyForData, kLoginOk, kFlagCount };
  enum WaitResult { kWaitDone, kWaitAborted, kWaitTimedOut, kWaitClosed };

  QStringList SplitList(const QString& list) const;
  void SetAddressList(QStringList& target, const QString& list, const QString& error);
  bool ValidateHost(const QString& host) const;
  void AddError(const QString& text);
  void RemoveError(const QString& text);
  void Fail();
  // transient: the failure may pass by itself (no connection, a time-out, a drop, a 4xx reply).
  void FailWith(const QString& text, bool transient = false);

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
  void AbortTransaction(bool serverInSync);

  WaitResult WaitFlag(Flag flag, int timeoutMs, bool needConnection);
  bool Command(const QByteArray& line, Flag flag, int timeoutMs);  // raising wait
  bool SendRaw(const QByteArray& bytes);
  bool SocketConnected() const;
  bool SinkBlock(const QByteArray& bytes);
  bool FlushOut();
  bool WaitSendBuffer(long limit, int silenceMs);

  void OnConnect();
  void OnClose();
  void OnDataArrival(long bytesTotal);
  // Handles the complete replies received; stops after the one an operation waits for, so
  // that a reply after it (a 421 behind the "250" to the final dot) belongs to what follows.
  void ProcessReplies();
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
  QString from_, fromDisplayName_, replyTo_, subject_, message_, contentBase_, username_, password_;
  QStringList to_, toNames_, cc_, ccNames_, bcc_;
  QString attachmentValue_;
  std::vector<mimecompose::AttachmentInfo> attachments_;

  QStringList pendingErrors_;
  QString lastError_;
  bool transient_ = false;  // what LastFailureTransient tells

  bool flags_[kFlagCount] = {};
  bool connected_ = false;
  bool connectSeen_ = false;  // OnConnect came since the last Connect of the socket
  bool keepOpen_ = false;
  bool busy_ = false;  // inside send, Connect or Disconnect
  bool closing_ = false;  // saying QUIT: the message's fate is decided, nothing fails it now
  int awaited_ = -1;      // the flag an operation waits for; -1 none
  bool abort_ = false;
  bool readingExtensions_ = false;  // the reply awaited is the one to EHLO
  smtp::Extensions extensions_;
  vrlsec::Settings security_;
  bool implicitTls_ = false;              // TLS from the connect on
  QByteArray authMech_;     // the mechanism of the AUTH exchange going on
  QString serverAuthError_;  // what an XOAUTH2 server said about a refused token

  bool PutTls(bool implicit);
  bool Hello(const QByteArray& verb, const QString& domain);
  bool SizeFits();
  QByteArray rx_;               // received bytes not yet forming a complete reply
  QByteArray pendingReply_;     // lines of a multi-line reply seen so far
  QByteArray out_;              // message text not yet handed to the socket

  qint64 bytesSent_ = 0;
  long bytesRemaining_ = 0;
  qint64 totalEstimate_ = 0;
  long lastPercent_ = -1;
};

SMTP_OutMail::Impl::Impl(SMTP_OutMail* owner) : q(owner), socket_(std::make_unique<CSocket>()) {
  QObject::connect(socket_.get(), &CSocket::OnConnect, q, [this] { OnConnect(); });
  QObject::connect(socket_.get(), &CSocket::OnClose, q, [this] { OnClose(); });
  QObject::connect(socket_.get(), &CSocket::OnDataArrival, q, [this](long n) { OnDataArrival(n); });
  QObject::connect(socket_.get(), &CSocket::OnError, q,
                   [this](int n, const QString& text, const QString& source) { OnError(n, text, source); });
  QObject::connect(socket_.get(), &CSocket::OnSendProgress, q,
                   [this](long sent, long remaining) { OnSendProgress(sent, remaining); });
}

SMTP_OutMail::SMTP_OutMail(QObject* parent) : QObject(parent), d_(std::make_unique<Impl>(this)) {}

SMTP_OutMail::~SMTP_OutMail() {
  Impl& d = *d_;
  if (d.socket_->State() != CSocket::sckClosed) {
    if (QCoreApplication::instance()) {
      BusyScope busy(d.busy_);
      d.abort_ = false;
      d.ClosingProcedure();
    } else {
      d.CloseSocket();
    }
  }
  d.socket_->disconnect(this);
  d.socket_.reset();
}

// ---------------------------------------------------------------- the public interface

QString SMTP_OutMail::SMTPHost() const { return d_->smtpHost_; }
long SMTP_OutMail::SMTPPort() const { return d_->smtpPort_; }
QString SMTP_OutMail::POP3Host() const { return d_->pop3Host_; }
long SMTP_OutMail::POP3Port() const { return d_->pop3Port_; }
int SMTP_OutMail::ConnectRetry() const { return d_->connectRetry_; }
int SMTP_OutMail::TimeOutNSeconds() const { return d_->timeOut_; }
SMTP_OutMail::VALIDATE_HOST_METHOD SMTP_OutMail::SMTPHostValidation() const { return d_->hostValidation_; }
SMTP_OutMail::VALIDATE_METHOD SMTP_OutMail::EmailAddressValidation() const { return d_->addressValidation_; }
void SMTP_OutMail::SetEmailAddressValidation(VALIDATE_METHOD method) { d_->addressValidation_ = method; }
SMTP_OutMail::ENCODE_METHOD SMTP_OutMail::EncodeType() const { return d_->encodeType_; }
void SMTP_OutMail::SetEncodeType(ENCODE_METHOD type) { d_->encodeType_ = type; }
int SMTP_OutMail::Priority() const { return d_->priority_; }
QString SMTP_OutMail::Delimiter() const { return d_->delimiter_; }
bool SMTP_OutMail::AsHTML() const { return d_->asHtml_; }
void SMTP_OutMail::SetAsHTML(bool v) { d_->asHtml_ = v; }
bool SMTP_OutMail::Receipt() const { return d_->receipt_; }
void SMTP_OutMail::SetReceipt(bool v) { d_->receipt_ = v; }
bool SMTP_OutMail::UseAuthentication() const { return d_->useAuth_; }
void SMTP_OutMail::SetUseAuthentication(bool v) { d_->useAuth_ = v; }
bool SMTP_OutMail::UsePopAuthentication() const { return d_->usePopAuth_; }
void SMTP_OutMail::SetUsePopAuthentication(bool v) { d_->usePopAuth_ = v; }
QString SMTP_OutMail::from() const { return d_->from_; }
QString SMTP_OutMail::FromDisplayName() const { return d_->fromDisplayName_; }
void SMTP_OutMail::SetFromDisplayName(const QString& name) { d_->fromDisplayName_ = name.trimmed(); }
QString SMTP_OutMail::ReplyToAddress() const { return d_->replyTo_; }
QString SMTP_OutMail::Subject() const { return d_->subject_; }
void SMTP_OutMail::SetSubject(const QString& subject) { d_->subject_ = subject; }
QString SMTP_OutMail::Message() const { return d_->message_; }
QString SMTP_OutMail::ContentBase() const { return d_->contentBase_; }
QString SMTP_OutMail::Username() const { return d_->username_; }
void SMTP_OutMail::SetUsername(const QString& v) { d_->username_ = v; }
QString SMTP_OutMail::Password() const { return d_->password_; }
void SMTP_OutMail::SetPassword(const QString& v) { d_->password_ = v; }
QString SMTP_OutMail::Recipient() const { return d_->to_.join(d_->delimiter_); }
QString SMTP_OutMail::RecipientDisplayName() const { return d_->toNames_.join(d_->delimiter_); }
void SMTP_OutMail::SetRecipientDisplayName(const QString& list) { d_->toNames_ = d_->SplitList(list); }
QString SMTP_OutMail::CcRecipient() const { return d_->cc_.join(d_->delimiter_); }
QString SMTP_OutMail::CcDisplayName() const { return d_->ccNames_.join(d_->delimiter_); }
void SMTP_OutMail::SetCcDisplayName(const QString& list) { d_->ccNames_ = d_->SplitList(list); }
QString SMTP_OutMail::BccRecipient() const { return d_->bcc_.join(d_->delimiter_); }
QString SMTP_OutMail::Attachment() const { return d_->attachmentValue_; }
QString SMTP_OutMail::GetLastError() const { return d_->lastError_; }
bool SMTP_OutMail::LastFailureTransient() const { return d_->transient_; }
void SMTP_OutMail::SetSMTPHost(const QString& host) { d_->SetSMTPHost(host); }
void SMTP_OutMail::SetSMTPPort(long port) { d_->SetSMTPPort(port); }
void SMTP_OutMail::SetPOP3Host(const QString& host) { d_->SetPOP3Host(host); }
void SMTP_OutMail::SetPOP3Port(long port) { d_->SetPOP3Port(port); }
void SMTP_OutMail::SetConnectRetry(int retries) { d_->SetConnectRetry(retries); }
void SMTP_OutMail::SetTimeOutNSeconds(int& seconds) { d_->SetTimeOutNSeconds(seconds); }
void SMTP_OutMail::SetTimeOutNSeconds(int&& seconds) { d_->SetTimeOutNSeconds(std::move(seconds)); }
void SMTP_OutMail::SetSMTPHostValidation(VALIDATE_HOST_METHOD method) { d_->SetSMTPHostValidation(method); }
void SMTP_OutMail::SetPriority(int priority) { d_->SetPriority(priority); }
void SMTP_OutMail::SetDelimiter(const QString& delimiter) { d_->SetDelimiter(delimiter); }
void SMTP_OutMail::Setfrom(const QString& address) { d_->Setfrom(address); }
void SMTP_OutMail::SetReplyToAddress(const QString& address) { d_->SetReplyToAddress(address); }
void SMTP_OutMail::SetMessage(const QString& text) { d_->SetMessage(text); }
void SMTP_OutMail::SetContentBase(const QString& base) { d_->SetContentBase(base); }
void SMTP_OutMail::SetRecipient(const QString& list) { d_->SetRecipient(list); }
void SMTP_OutMail::SetCcRecipient(const QString& list) { d_->SetCcRecipient(list); }
void SMTP_OutMail::SetBccRecipient(const QString& list) { d_->SetBccRecipient(list); }
void SMTP_OutMail::SetAttachment(const QString& list) { d_->SetAttachment(list); }
bool SMTP_OutMail::send() { return d_->send(); }
vrlsec::Settings SMTP_OutMail::Security() const { return d_->security_; }
void SMTP_OutMail::SetSecurity(const vrlsec::Settings& settings) { d_->security_ = settings; }
bool SMTP_OutMail::Connect() { return d_->Connect(); }
void SMTP_OutMail::Disconnect() { d_->Disconnect(); }

// ---------------------------------------------------------------- errors

void SMTP_OutMail::Impl::AddError(const QString& text) {
  if (!pendingErrors_.contains(text)) pendingErrors_.append(text);
  lastError_ = text;
}

void SMTP_OutMail::Impl::RemoveError(const QString& text) { pendingErrors_.removeAll(text); }

void SMTP_OutMail::Impl::Fail() {
  const QString text = pendingErrors_.isEmpty() ? QString() : pendingErrors_.last();
  abort_ = true;
  pendingErrors_.clear();
  emit q->SendFailed(text);
}

void SMTP_OutMail::Impl::FailWith(const QString& text, bool transient) {
  // One failure per operation: what follows from it (a closed socket after a 421) is not news.
  if (abort_) return;
  if (!busy_ || closing_) {
    // Nothing is being sent: keep the text for GetLastError, fail nothing.
    lastError_ = text;
    abort_ = true;
    return;
  }
  transient_ = transient;
  RemoveError(text);
  AddError(text);
  Fail();
}

// ---------------------------------------------------------------- properties

QStringList SMTP_OutMail::Impl::SplitList(const QString& list) const {
  QStringList out;
  if (list.isEmpty()) return out;
  const QStringList parts = delimiter_.isEmpty() ? QStringList{list} : list.split(delimiter_);
  for (const QString& p : parts) out.append(codec::StripLineBreaks(p).trimmed());
  return out;
}

namespace {

// What may stand between the angle brackets of MAIL FROM and RCPT TO whatever the validation: no
// control character (a NUL or a line break would end or split the command) and no bracket.
bool FitsInEnvelope(const QString& address) {
  return std::none_of(address.begin(), address.end(), [](QChar c) {
    return c.unicode() < 0x20 || c.unicode() == 0x7F || c == u'<' || c == u'>';
  });
}

}  // namespace

void SMTP_OutMail::Impl::SetAddressList(QStringList& target, const QString& list, const QString& error) {
  target = SplitList(list);
  for (const QString& a : target) {
    if (!FitsInEnvelope(a) || (addressValidation_ == VALIDATE_SYNTAX && !q->IsValidEmailAddress(a))) {
      AddError(error);
      return;
    }
  }
  RemoveError(error);
}

void SMTP_OutMail::Impl::SetRecipient(const QString& list) { SetAddressList(to_, list, kErrRecipient); }
void SMTP_OutMail::Impl::SetCcRecipient(const QString& list) { SetAddressList(cc_, list, kErrCc); }
void SMTP_OutMail::Impl::SetBccRecipient(const QString& list) { SetAddressList(bcc_, list, kErrBcc); }

void SMTP_OutMail::Impl::Setfrom(const QString& address) {
  from_ = codec::StripLineBreaks(address).trimmed();
  if (FitsInEnvelope(from_) && (addressValidation_ != VALIDATE_SYNTAX || q->IsValidEmailAddress(from_)))
    RemoveError(kErrSender);
  else
    AddError(kErrSender);
}

void SMTP_OutMail::Impl::SetReplyToAddress(const QString& address) {
  replyTo_ = codec::StripLineBreaks(address).trimmed();
}

void SMTP_OutMail::Impl::SetDelimiter(const QString& delimiter) { delimiter_ = delimiter.left(1); }

void SMTP_OutMail::Impl::SetConnectRetry(int retries) {
  if (retries >= 1 && retries <= 20) connectRetry_ = retries;
}

void SMTP_OutMail::Impl::SetTimeOutNSeconds(int& seconds) {
  seconds = std::clamp(seconds, 3, 300);
  timeOut_ = seconds;
}

void SMTP_OutMail::Impl::SetTimeOutNSeconds(int&& seconds) { timeOut_ = std::clamp(seconds, 3, 300); }

void SMTP_OutMail::Impl::SetSMTPPort(long port) {
  if (port >= 1 && port <= 65535) {
    smtpPort_ = port;
    RemoveError(kErrPort);
  } else {
    AddError(kErrPort);
  }
}

void SMTP_OutMail::Impl::SetPOP3Port(long port) {
  if (port >= 1 && port <= 65535) {
    pop3Port_ = port;
    RemoveError(kErrPort);
  } else {
    AddError(kErrPort);
  }
}

bool SMTP_OutMail::Impl::ValidateHost(const QString& host) const {
  if (host.trimmed().isEmpty()) return false;
  switch (hostValidation_) {
    case VALIDATE_HOST_NONE:
      return true;
    case VALIDATE_HOST_SYNTAX:
      return IsValidHostSyntax(host);
    case VALIDATE_HOST_PING:
      return q->Ping(host);
    case VALIDATE_HOST_DNS:
    default:
      return !q->GetIPAddress(host.trimmed()).isEmpty();
  }
}

void SMTP_OutMail::Impl::SetSMTPHost(const QString& host) {
  const QString h = codec::StripLineBreaks(host).trimmed();
  if (ValidateHost(h)) {
    smtpHost_ = h;
    RemoveError(kErrHost);
  } else {
    AddError(kErrHost);
  }
}

void SMTP_OutMail::Impl::SetPOP3Host(const QString& host) {
  const QString h = codec::StripLineBreaks(host).trimmed();
  // No POP3 server is no error while POP-before-SMTP is off (it is checked when it is used):
  // a profile that only sends must not lose its first message to it.
  if (h.isEmpty()) {
    pop3Host_.clear();
    RemoveError(kErrPop3Host);
  } else if (ValidateHost(h)) {
    pop3Host_ = h;
    RemoveError(kErrPop3Host);
  } else {
    AddError(kErrPop3Host);
  }
}

void SMTP_OutMail::Impl::SetSMTPHostValidation(VALIDATE_HOST_METHOD method) {
  hostValidation_ = method;
  if (!smtpHost_.isEmpty()) SetSMTPHost(smtpHost_);
}

void SMTP_OutMail::Impl::SetPriority(int priority) {
  priority_ = priority;
  if (priority == HIGH_PRIORITY)
    priorityText_ = QStringLiteral("High");
  else if (priority == NORMAL_PRIORITY)
    priorityText_ = QStringLiteral("Normal");
  else if (priority == LOW_PRIORITY)
    priorityText_ = QStringLiteral("Low");
}

void SMTP_OutMail::Impl::SetMessage(const QString& text) {
  message_ = codec::ProcessBodyLines(text, !codec::FitsLatin1(text));
}

void SMTP_OutMail::Impl::SetContentBase(const QString& base) {
  QString b = codec::StripLineBreaks(base);
  if (!b.isEmpty()) {
    b.replace(u'\\', u'/');
    if (!b.contains(QLatin1String("http://"), Qt::CaseInsensitive)) b.prepend(QLatin1String("http://"));
    if (!b.endsWith(u'/')) b.append(u'/');
  }
  contentBase_ = b;
}

void SMTP_OutMail::Impl::SetAttachment(const QString& list) {
  attachmentValue_ = list;
  attachments_.clear();
  RemoveError(kErrAttach);
  if (list.isEmpty()) return;
  const QStringList paths = delimiter_.isEmpty() ? QStringList{list} : list.split(delimiter_);
  for (const QString& raw : paths) {
    const QString path = raw.trimmed();
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isFile()) {
      AddError(kErrAttach);
      return;
    }
    mimecompose::AttachmentInfo a;
    a.path = path;
    a.name = path.mid(path.lastIndexOf(u'/') + 1);
    a.size = info.size();
    attachments_.push_back(a);
  }
}

// ---------------------------------------------------------------- lookups

bool SMTP_OutMail::IsValidHostSyntax(const QString& host) { return MSocketSupport::IsValidHostSyntax(host); }

bool SMTP_OutMail::IsValidEmailAddress(const QString& AddressString) const {
  const QStringList parts = AddressString.split(u'@');
  return parts.size() == 2 && FitsInEnvelope(parts[0]) && IsValidHostSyntax(parts[1]);
}

QString SMTP_OutMail::GetIPHost() const { return MSocketSupport::LocalHostName(); }

QString SMTP_OutMail::GetIPAddress(QString& sHostName) const {
  if (sHostName.isEmpty()) sHostName = GetIPHost();
  if (sHostName.isEmpty()) return QString();
  return MSocketSupport::FirstAddress(sHostName);
}

QString SMTP_OutMail::GetIPAddress(QString&& sHostName) const {
  QString name = std::move(sHostName);
  return GetIPAddress(name);
}

bool SMTP_OutMail::Ping(const QString& Address, QString* RoundTripTime, QString* DataSize,
                        bool* DataMatch) const {
  vrl::IcmpReply reply;
  const bool ok = vrl::IcmpEcho(Address.trimmed(), kPingTimeoutMs, &reply);
  if (RoundTripTime) *RoundTripTime = ok ? QString::number(reply.roundTripMs) : QString();
  if (DataSize) *DataSize = ok ? QString::number(reply.dataSize) : QString();
  if (DataMatch) *DataMatch = ok && reply.dataMatched;
  return ok;
}

QString SMTP_OutMail::GetContentType(const QString& strFile, const QString& strDefault) const {
  return mimecompose::GetContentType(strFile, strDefault);
}

QString SMTP_OutMail::DecodeBase64String(const QString& str2Decode) const {
  return codec::DecodeBase64String(str2Decode);
}

// ---------------------------------------------------------------- socket events

void SMTP_OutMail::Impl::OnConnect() {
  connected_ = true;
  connectSeen_ = true;
  rx_.clear();
  pendingReply_.clear();
}

void SMTP_OutMail::Impl::OnClose() { connected_ = false; }

void SMTP_OutMail::Impl::OnError(int /*number*/, const QString& description, const QString& /*source*/) {
  FailWith(description, true);
}

void SMTP_OutMail::Impl::OnSendProgress(long bytesSent, long bytesRemaining) {
  bytesSent_ += bytesSent;
  bytesRemaining_ = bytesRemaining;
  if (totalEstimate_ <= 0) return;
  const long percent = static_cast<long>(std::min<qint64>(100, bytesSent_ * 100 / totalEstimate_));
  if (percent != lastPercent_ && connected_) {
    lastPercent_ = percent;
    emit q->Progress(percent);
  }
}

void SMTP_OutMail::Impl::OnDataArrival(long /*bytesTotal*/) {
  if (!connected_) return;
  rx_ += socket_->GetData();
  ProcessReplies();
}

void SMTP_OutMail::Impl::ProcessReplies() {
  // Act on complete replies only: a reply ends with a line whose fourth character is not "-".
  for (;;) {
    if (awaited_ >= 0 && flags_[awaited_]) return;
    const qsizetype nl = rx_.indexOf('\n');
    if (nl < 0) break;
    QByteArray line = rx_.left(nl + 1);
    rx_.remove(0, nl + 1);
    pendingReply_ += line;
    QByteArray bare = line;
    while (bare.endsWith('\n') || bare.endsWith('\r')) bare.chop(1);
    if (bare.size() >= 4 && bare[3] == '-' && pendingReply_.size() <= kMaxReplyBytes) continue;
    const QByteArray reply = pendingReply_;
    pendingReply_.clear();
    HandleReply(reply);
    if (!connected_) return;
  }
  if (rx_.size() > kMaxReplyBytes) {
    const QByteArray junk = rx_.left(512);
    rx_.clear();
    FailWith(smtp::Reply::Parse(junk).Text());
  }
}

void SMTP_OutMail::Impl::HandleReply(const QByteArray& raw) {
  const smtp::Reply reply = smtp::Reply::Parse(raw);
  switch (reply.code) {
    case 220:
    case 221:
    case 251:
      flags_[kReplyOk] = true;
      return;
    case 250:
      flags_[kReplyOk] = true;
      if (readingExtensions_) {
        extensions_ = smtp::Extensions::FromEhlo(reply);
        readingExtensions_ = false;
      }
      return;
    case 235:
      flags_[kLoginOk] = true;
      return;
    case 334:
      AnswerChallenge(reply);
      return;
    case 354:
      flags_[kReadyForData] = true;
      return;
    case 211:
    case 214:
      return;  // informational
    default:
      FailWith(serverAuthError_.isEmpty() ? reply.Text() : reply.Text() + QStringLiteral(" ") + serverAuthError_,
               reply.code >= 400 && reply.code < 500);
  }
}

void SMTP_OutMail::Impl::AnswerChallenge(const smtp::Reply& reply) {
  const QByteArray challenge = reply.lines.isEmpty() ? QByteArray() : reply.lines.front().trimmed();
  if (authMech_ == "XOAUTH2") {
    // A refused token: the server says why in JSON and waits for an empty line, then refuses.
    serverAuthError_ = codec::DecodeBase64String(QString::fromLatin1(challenge)).simplified();
    SendRaw("\r\n");
    return;
  }
  const QString decoded = codec::DecodeBase64String(QString::fromLatin1(challenge)).toLower();
  // Credentials go as UTF-8 whatever they hold: servers compare them as UTF-8 today.
  if (decoded.contains(QLatin1String("username")))
    SendRaw(codec::EncodeBase64Line(username_.toUtf8()) + "\r\n");
  else if (decoded.contains(QLatin1String("password")))
    SendRaw(codec::EncodeBase64Line(password_.toUtf8()) + "\r\n");
  else
    SendRaw("\r\n*\r\n");
}

// ---------------------------------------------------------------- sending and waiting

bool SMTP_OutMail::Impl::SocketConnected() const {
  return connected_ && socket_->State() == CSocket::sckConnected;
}

bool SMTP_OutMail::Impl::SendRaw(const QByteArray& bytes) {
  if (!SocketConnected()) {
    FailWith(kErrSocketNotOpen, true);
    return false;
  }
  try {
    socket_->SendData(bytes);
  } catch (const vrl::VrlError& e) {
    FailWith(e.Description(), true);
    return false;
  }
  return true;
}

SMTP_OutMail::Impl::WaitResult SMTP_OutMail::Impl::WaitFlag(Flag flag, int timeoutMs, bool needConnection) {
  awaited_ = flag;
  ProcessReplies();  // what arrived behind the last awaited reply comes first
  const auto r = vrl::EventWait::Until([&] { return flags_[flag]; },
                                       [&] { return abort_ || (needConnection && !SocketConnected()); },
                                       timeoutMs);
  awaited_ = -1;
  if (r == vrl::EventWait::Done) return kWaitDone;
  if (r == vrl::EventWait::TimedOut) return kWaitTimedOut;
  return abort_ ? kWaitAborted : kWaitClosed;
}

bool SMTP_OutMail::Impl::Command(const QByteArray& line, Flag flag, int timeoutMs) {
  // A reply that came behind the last awaited one (a 421) ends the session before this command.
  if (!rx_.isEmpty()) {
    ProcessReplies();
    if (abort_) return false;
  }
  flags_[flag] = false;
  if (!SendRaw(line)) return false;
  switch (WaitFlag(flag, timeoutMs, true)) {
    case kWaitDone:
      return !abort_;
    case kWaitAborted:
      return false;
    case kWaitClosed:
      FailWith(kErrSocketNotOpen, true);
      return false;
    case kWaitTimedOut:
      FailWith(kErrTimeout, true);
      return false;
  }
  return false;
}

bool SMTP_OutMail::Impl::WaitSendBuffer(long limit, int silenceMs) {
  long seen = socket_->BytesToSend();
  const auto r = vrl::EventWait::Until(
      [&] { return socket_->BytesToSend() <= limit; }, [&] { return abort_ || !SocketConnected(); }, silenceMs,
      [&] {
        const long now = socket_->BytesToSend();
        const bool moved = now != seen;
        seen = now;
        return moved;
      });
  if (r == vrl::EventWait::Done) return true;
  if (abort_) return false;
  FailWith(r == vrl::EventWait::TimedOut ? kErrTimeout : kErrSocketNotOpen, true);
  return false;
}

bool SMTP_OutMail::Impl::SinkBlock(const QByteArray& bytes) {
  if (abort_) return false;
  out_ += bytes;
  return out_.size() < kOutChunk || FlushOut();
}

bool SMTP_OutMail::Impl::FlushOut() {
  if (out_.isEmpty()) return true;
  const QByteArray chunk = std::exchange(out_, QByteArray());
  if (!SendRaw(chunk)) return false;
  if (socket_->BytesToSend() > kSendHighWater) return WaitSendBuffer(kSendHighWater, timeOut_ * 1000);
  // Let progress and other events through while a long message streams.
  QCoreApplication::processEvents();
  return !abort_;
}

void SMTP_OutMail::Impl::CloseSocket() {
  if (socket_->State() != CSocket::sckClosed) {
    try {
      socket_->CloseSocket();
    } catch (const vrl::VrlError&) {
      // closing a socket that is already gone
    }
  }
  // A transport waiting for a connection that never came must not serve the next one.
  socket_->SetTransport(nullptr);
  connected_ = false;
  rx_.clear();
  pendingReply_.clear();
}

// ---------------------------------------------------------------- sessions

bool SMTP_OutMail::Impl::AttemptConnect(const QString& host, long port) {
  for (int attempt = 0; attempt < connectRetry_; ++attempt) {
    if (socket_->State() == CSocket::sckConnected) {
      connected_ = true;
      return true;
    }
    if (socket_->State() == CSocket::sckClosed) {
      // Every attempt gets its own TLS transport: a failed one is gone with its connection.
      if (implicitTls_ && !PutTls(true)) return false;
      try {
        connectSeen_ = false;
        socket_->Connect(host, port);
      } catch (const vrl::VrlError& e) {
        FailWith(e.Description(), true);
        return false;
      }
    }
    // The connection may open and close again within one batch of events: what counts is that
    // it opened. A socket that is closed again without opening has failed this attempt.
    vrl::EventWait::Until(
        [&] { return connectSeen_; },
        [&] { return abort_ || socket_->State() == CSocket::sckClosed || socket_->State() == CSocket::sckError; },
        timeOut_ * 1000);
    if (connectSeen_) return true;
    if (abort_) return false;
    if (socket_->State() == CSocket::sckError) CloseSocket();
  }
  return false;
}

bool SMTP_OutMail::Impl::PopBeforeSmtp() {
  emit q->Status(QStringLiteral("Connecting to POP3 Server (") + pop3Host_ + QStringLiteral(")..."));
  if (pop3Host_.isEmpty()) {
    FailWith(kErrPop3Host);
    return false;
  }
  // The server lets this address send once it has logged in: the POP3 client's own login.
  POP3_InMail pop;
  // Its password is the SMTP login's: protected as that one is, on the POP3 server's own terms.
  if (security_.security != vrlsec::Security::None) {
    vrlsec::Settings popSecurity = security_;
    popSecurity.security = vrlsec::Security::Auto;
    popSecurity.auth = vrlsec::AuthMethod::Auto;
    pop.SetSecurity(popSecurity);
  }
  qint16 seconds = static_cast<qint16>(timeOut_);
  pop.SetTimeOutNSeconds(seconds);
  quint16 port = static_cast<quint16>(pop3Port_);
  if (!pop.ConnectToPop3Server(username_, password_, pop3Host_, port)) {
    FailWith(pop.GetLastError().isEmpty() ? kErrPop3Timeout : pop.GetLastError(), true);
    return false;
  }
  pop.DisConnectFromPop3Server();
  emit q->Status(QStringLiteral("POP3 Authentication Successful..."));
  return true;
}

bool SMTP_OutMail::Impl::LogIn() {
  // The whole EHLO reply has been read by now: the extensions are known.
  using vrlsec::AuthMethod;
  const AuthMethod method = security_.auth;
  QByteArray mech;
  if (method == AuthMethod::Plain || method == AuthMethod::XOAuth2) {
    mech = method == AuthMethod::Plain ? "PLAIN" : "XOAUTH2";
    if (!extensions_.HasAuth(QString::fromLatin1(mech))) {
      FailWith(QStringLiteral("The SMTP server does not offer AUTH ") + QString::fromLatin1(mech) +
               QStringLiteral(", which the profile requires"));
      return false;
    }
  } else if (method == AuthMethod::Auto && extensions_.HasAuth(QStringLiteral("PLAIN"))) {
    mech = "PLAIN";
  } else if (extensions_.HasAuth(QStringLiteral("LOGIN"))) {
    mech = "LOGIN";
  } else {
    emit q->Status(QStringLiteral("Login Not Supported by Host, Continuing..."));
    return true;
  }
  emit q->Status(mech == "LOGIN" ? QStringLiteral("Sending Login Authentication...")
                                 : QStringLiteral("Sending ") + QString::fromLatin1(mech) + QStringLiteral(" Authentication..."));
  flags_[kLoginOk] = false;
  authMech_ = mech;
  serverAuthError_.clear();
  // Credentials go as UTF-8 whatever they hold: servers compare them as UTF-8 today.
  QByteArray command = "AUTH Login\r\n";
  if (mech == "PLAIN")
    command = "AUTH PLAIN " + codec::EncodeBase64Line('\0' + username_.toUtf8() + '\0' + password_.toUtf8()) + "\r\n";
  else if (mech == "XOAUTH2")
    command = "AUTH XOAUTH2 " +
              codec::EncodeBase64Line("user=" + username_.toUtf8() + "\x01" "auth=Bearer " + password_.toUtf8() + "\x01\x01") +
              "\r\n";
  WaitResult wait = kWaitAborted;
  if (SendRaw(command)) wait = WaitFlag(kLoginOk, std::max(kLoginWaitSeconds, timeOut_) * 1000, true);
  authMech_.clear();
  if (!flags_[kLoginOk]) {
    emit q->Status(QStringLiteral("Host Login Failed!"));
    if (!abort_) {
      lastError_ = QStringLiteral("Host Login Failed!");
      transient_ = wait == kWaitTimedOut || wait == kWaitClosed;
    }
    return false;
  }
  emit q->Status(QStringLiteral("Host Login OK!"));
  return !abort_;
}

bool SMTP_OutMail::Impl::PutTls(bool implicit) {
  QString error;
  auto tls = vrlsock::TlsTransport::ForServer(smtpHost_, security_, &error);
  if (!tls) {
    FailWith(error);
    return false;
  }
  if (!implicit) {
    // Clear text that came behind the reply to STARTTLS was never protected: it is dropped, not
    // read as replies of the secured session (RFC 3207, section 5).
    socket_->GetData();
    rx_.clear();
    pendingReply_.clear();
  }
  socket_->SetTransport(std::move(tls));
  if (!implicit) emit q->Status(QStringLiteral("Starting TLS..."));
  return true;
}

bool SMTP_OutMail::Impl::Hello(const QByteArray& verb, const QString& domain) {
  readingExtensions_ = verb == "EHLO";
  const bool ok = Command(verb + ' ' + WireBytes(domain) + "\r\n", kReplyOk, timeOut_ * 1000);
  readingExtensions_ = false;
  return ok;
}

bool SMTP_OutMail::Impl::SizeFits() {
  // Known only after EHLO; 0 means the server names no limit.
  if (!extensions_.size || *extensions_.size <= 0 || totalEstimate_ <= *extensions_.size) return true;
  FailWith(QStringLiteral("The message is too large for the SMTP server: about %1 bytes, the server accepts at most %2 bytes")
               .arg(totalEstimate_)
               .arg(*extensions_.size));
  return false;
}

bool SMTP_OutMail::Impl::ConnectionProcedure() {
  if (SocketConnected()) return true;
  if (socket_->State() != CSocket::sckClosed) CloseSocket();
  if (smtpHost_.isEmpty()) {
    FailWith(kErrHost);
    return false;
  }
  if (usePopAuth_) {
    abort_ = false;
    if (!PopBeforeSmtp()) return false;
  }

  for (bool& f : flags_) f = false;
  extensions_ = smtp::Extensions();
  abort_ = false;
  connected_ = false;
  CloseSocket();
  socket_->SetRemoteHost(smtpHost_);
  socket_->SetRemotePort(smtpPort_);
  emit q->Status(QStringLiteral("Connecting to SMTP Server (") + smtpHost_ + QStringLiteral(")..."));

  using vrlsec::Security;
  const Security sec = security_.security;
  const bool implicitTls = sec == Security::Tls || (sec == Security::Auto && smtpPort_ == 465);
  implicitTls_ = implicitTls;
  if (!AttemptConnect(smtpHost_, smtpPort_) && abort_) {
    CloseSocket();
    return false;
  }
  // The greeting may have come with the connection; a server that closed at once never greets.
  const WaitResult greeting = connectSeen_ ? WaitFlag(kReplyOk, timeOut_ * 1000, true) : kWaitTimedOut;
  if (greeting != kWaitDone) {
    if (greeting != kWaitAborted) FailWith(kErrTimeout, true);
    CloseSocket();
    return false;
  }

  emit q->Status(QStringLiteral("Initializing Communications..."));
  const qsizetype at = from_.indexOf(u'@');
  const QString domain = at >= 0 ? from_.mid(at + 1) : from_;
  // The original dialogue says HELO unless it logs in; anything newer needs the extensions.
  const bool ehlo = useAuth_ || sec != Security::None;
  if (!Hello(ehlo ? "EHLO" : "HELO", domain)) {
    CloseSocket();
    return false;
  }
  if (!implicitTls && sec != Security::None) {
    if (extensions_.startTls) {
      // After STARTTLS the session starts again: the extensions are read anew, under TLS.
      if (!Command("STARTTLS\r\n", kReplyOk, timeOut_ * 1000) || !PutTls(false) || !Hello("EHLO", domain)) {
        CloseSocket();
        return false;
      }
    } else if (sec == Security::StartTls) {
      FailWith(kErrNoStartTls);
      CloseSocket();
      return false;
    }
  }
  // The transport lives as long as the connection: asked for here, never kept.
  if (const auto* tls = dynamic_cast<const vrlsock::TlsTransport*>(socket_->CurrentTransport())) {
    emit q->SecureConnection(tls->SessionSummary());
    emit q->ServerCertificate(tls->PeerCertificateDetails());
  }
  // Automatic security never lets a credential go in clear: a server (or someone in between)
  // that does not offer STARTTLS gets nothing.
  if (useAuth_ && sec == Security::Auto && !dynamic_cast<const vrlsock::TlsTransport*>(socket_->CurrentTransport())) {
    FailWith(kErrClearLogin, true);
    CloseSocket();
    return false;
  }
  if (useAuth_ && !LogIn()) {
    CloseSocket();
    return false;
  }
  return true;
}

void SMTP_OutMail::Impl::ClosingProcedure() {
  if (socket_->State() != CSocket::sckClosed) emit q->Status(QStringLiteral("Closing Connection..."));
  if (SocketConnected()) {
    flags_[kReplyOk] = false;
    closing_ = true;
    try {
      socket_->SendData("QUIT\r\n");
      WaitFlag(kReplyOk, kQuitWaitMs, true);
    } catch (const vrl::VrlError&) {
      // the connection is gone already
    }
    closing_ = false;
  }
  CloseSocket();
}

bool SMTP_OutMail::Impl::Connect() {
  BusyScope busy(busy_);
  abort_ = false;
  transient_ = false;
  keepOpen_ = true;
  return ConnectionProcedure();
}

void SMTP_OutMail::Impl::Disconnect() {
  BusyScope busy(busy_);
  abort_ = false;
  keepOpen_ = false;
  ClosingProcedure();
}

// ---------------------------------------------------------------- sending one message

bool SMTP_OutMail::Impl::CheckBeforeConnect() {
  if (from_.isEmpty()) AddError(kErrSender);
  if (asHtml_ && encodeType_ == UU_ENCODE) AddError(kErrHtmlUu);
  if (to_.isEmpty() && cc_.isEmpty() && bcc_.isEmpty()) AddError(kErrNoRecipient);
  if (to_.size() + cc_.size() + bcc_.size() > kMaxRecipients) AddError(kErrTooMany);
  toNames_.resize(to_.size());
  ccNames_.resize(cc_.size());
  if (pendingErrors_.isEmpty()) return true;
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
      FailWith(kErrAttach);
      return false;
    }
    if (!info.isReadable()) {
      FailWith(QStringLiteral("Cannot read the file to attach: ") + a.path);
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

bool SMTP_OutMail::Impl::SendEnvelope(const Outgoing& out) {
  emit q->Status(QStringLiteral("Sending Sender Information..."));
  QByteArray mailFrom = "MAIL FROM: <" + WireBytes(from_) + ">";
  if (extensions_.authEqualsLogin) mailFrom += " AUTH=" + WireBytes(from_);
  if (!Command(mailFrom + "\r\n", kReplyOk, timeOut_ * 1000)) return false;

  emit q->Status(QStringLiteral("Sending Recipient Information..."));
  for (const auto& r : out.rcpts)
    if (!Command(r, kReplyOk, timeOut_ * 1000)) return false;
  return true;
}

bool SMTP_OutMail::Impl::SendContent(const Outgoing& out) {
  emit q->Status(QStringLiteral("Sending Message..."));
  if (!Command("DATA\r\n", kReadyForData, timeOut_ * 1000)) return false;

  out_.clear();
  QString writeError;
  const bool written = mimecompose::MessageWriter::Write(
      out.content, out.head, out.boundary, [this](const QByteArray& b) { return SinkBlock(b); },
      [this](const QString& text) { emit q->Status(text); }, &writeError);
  if (!written) {
    out_.clear();
    if (!abort_) FailWith(writeError.isEmpty() ? kErrSocketNotOpen : writeError, writeError.isEmpty());
    return false;
  }
  // A large message is let out down to a few KB before "." so that the wait for the reply does
  // not start while much is still on its way; a small one goes out in one piece with ".".
  if (socket_->BytesToSend() + out_.size() > kSendDrained) {
    if (!FlushOut()) return false;
    if (socket_->BytesToSend() > kSendDrained && !WaitSendBuffer(kSendDrained, timeOut_ * 1000)) return false;
  }
  // The reply to the final dot decides the message's fate.
  const QByteArray last = std::exchange(out_, QByteArray()) + ".\r\n";
  return Command(last, kReplyOk, timeOut_ * 1000);
}

bool SMTP_OutMail::Impl::send() {
  BusyScope busy(busy_);
  abort_ = false;
  transient_ = false;
  if (!CheckBeforeConnect()) return false;
  Outgoing out;
  if (!PrepareMessage(out) || !EnsureSession() || !SizeFits()) return false;
  // Any failure from here on closes the connection: the server may be in the middle of a
  // transaction, and the next message starts on a fresh one.
  if (!SendEnvelope(out) || !SendContent(out)) {
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
