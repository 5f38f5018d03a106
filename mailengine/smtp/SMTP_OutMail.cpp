#include "smtp/SMTP_OutMail_p.h"

#include "mime/Codec.h"
#include "socket/IcmpEcho.h"
#include "socket/MSocketSupport.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <algorithm>
#include <utility>

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

using namespace smtpimpl;

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
bool SMTP_OutMail::LastFailureTransient() const { return d_->error_.transient; }
mailerr::Error SMTP_OutMail::LastFailure() const { return d_->error_; }
bool SMTP_OutMail::Pipelining() const { return d_->pipelining_; }
void SMTP_OutMail::SetPipelining(bool on) { d_->pipelining_ = on; }
void SMTP_OutMail::SetAnotherFollows(bool follows) { d_->anotherFollows_ = follows; }
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

void SMTP_OutMail::Impl::AddError(const QString& text, mailerr::Kind kind) {
  // A property's fault fails the next message only: it is never transient.
  const auto same = [&](const mailerr::Error& e) { return e.description == text; };
  if (std::none_of(pendingErrors_.begin(), pendingErrors_.end(), same))
    pendingErrors_.push_back(mailerr::Error::Make(kind, text).Transient(false));
  lastError_ = text;
}

void SMTP_OutMail::Impl::RemoveError(const QString& text) {
  std::erase_if(pendingErrors_, [&](const mailerr::Error& e) { return e.description == text; });
}

void SMTP_OutMail::Impl::Fail() {
  error_ = pendingErrors_.empty() ? mailerr::Error::Make(mailerr::Kind::Input, QString()) : pendingErrors_.back();
  abort_ = true;
  pendingErrors_.clear();
  emit q->SendFailed(error_.description);
}

void SMTP_OutMail::Impl::FailWith(const mailerr::Error& error) {
  // One failure per operation: what follows from it (a closed socket after a 421) is not news.
  if (abort_) return;
  lastError_ = error.description;
  abort_ = true;
  // Nothing is being sent: keep the text for GetLastError, fail nothing.
  if (!busy_ || closing_) return;
  error_ = error;
  pendingErrors_.clear();
  emit q->SendFailed(error.description);
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
    AddError(kErrHost, mailerr::Kind::Connection);
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
    AddError(kErrPop3Host, mailerr::Kind::Connection);
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
      AddError(kErrAttach, mailerr::Kind::Local);
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

