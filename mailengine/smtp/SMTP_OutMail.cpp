#include "smtp/SMTP_OutMail.h"

#include "Clock.h"
#include "EventWait.h"
#include "VrlError.h"
#include "mime/Codec.h"
#include "pop3/POP3_InMail.h"
#include "smtp/SmtpReply.h"
#include "socket/CSocket.h"
#include "socket/IcmpEcho.h"
#include "socket/MSocketSupport.h"

#include <QCoreApplication>
#include <QFileInfo>
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

SMTP_OutMail::SMTP_OutMail(QObject* parent) : QObject(parent), socket_(std::make_unique<CSocket>()) {
  connect(socket_.get(), &CSocket::OnConnect, this, &SMTP_OutMail::OnConnect);
  connect(socket_.get(), &CSocket::OnClose, this, &SMTP_OutMail::OnClose);
  connect(socket_.get(), &CSocket::OnDataArrival, this, &SMTP_OutMail::OnDataArrival);
  connect(socket_.get(), &CSocket::OnError, this, &SMTP_OutMail::OnError);
  connect(socket_.get(), &CSocket::OnSendProgress, this, &SMTP_OutMail::OnSendProgress);
}

SMTP_OutMail::~SMTP_OutMail() {
  if (socket_->State() != CSocket::sckClosed) {
    if (QCoreApplication::instance()) {
      BusyScope busy(busy_);
      abort_ = false;
      ClosingProcedure();
    } else {
      CloseSocket();
    }
  }
  socket_->disconnect(this);
  socket_.reset();
}

// ---------------------------------------------------------------- errors

void SMTP_OutMail::AddError(const QString& text) {
  if (!pendingErrors_.contains(text)) pendingErrors_.append(text);
  lastError_ = text;
}

void SMTP_OutMail::RemoveError(const QString& text) { pendingErrors_.removeAll(text); }

void SMTP_OutMail::Fail() {
  const QString text = pendingErrors_.isEmpty() ? QString() : pendingErrors_.last();
  abort_ = true;
  pendingErrors_.clear();
  emit SendFailed(text);
}

void SMTP_OutMail::FailWith(const QString& text) {
  // One failure per operation: what follows from it (a closed socket after a 421) is not news.
  if (abort_) return;
  if (!busy_ || closing_) {
    // Nothing is being sent: keep the text for GetLastError, fail nothing.
    lastError_ = text;
    abort_ = true;
    return;
  }
  RemoveError(text);
  AddError(text);
  Fail();
}

// ---------------------------------------------------------------- properties

QStringList SMTP_OutMail::SplitList(const QString& list) const {
  QStringList out;
  if (list.isEmpty()) return out;
  const QStringList parts = delimiter_.isEmpty() ? QStringList{list} : list.split(delimiter_);
  for (const QString& p : parts) out.append(codec::StripLineBreaks(p).trimmed());
  return out;
}

void SMTP_OutMail::SetAddressList(QStringList& target, const QString& list, const QString& error) {
  target = SplitList(list);
  if (addressValidation_ != VALIDATE_SYNTAX) return;
  for (const QString& a : target) {
    if (!IsValidEmailAddress(a)) {
      AddError(error);
      return;
    }
  }
  RemoveError(error);
}

void SMTP_OutMail::SetRecipient(const QString& list) { SetAddressList(to_, list, kErrRecipient); }
void SMTP_OutMail::SetCcRecipient(const QString& list) { SetAddressList(cc_, list, kErrCc); }
void SMTP_OutMail::SetBccRecipient(const QString& list) { SetAddressList(bcc_, list, kErrBcc); }

void SMTP_OutMail::Setfrom(const QString& address) {
  from_ = codec::StripLineBreaks(address).trimmed();
  if (addressValidation_ != VALIDATE_SYNTAX) return;
  if (IsValidEmailAddress(from_))
    RemoveError(kErrSender);
  else
    AddError(kErrSender);
}

void SMTP_OutMail::SetReplyToAddress(const QString& address) {
  replyTo_ = codec::StripLineBreaks(address).trimmed();
}

void SMTP_OutMail::SetDelimiter(const QString& delimiter) { delimiter_ = delimiter.left(1); }

void SMTP_OutMail::SetConnectRetry(int retries) {
  if (retries >= 1 && retries <= 20) connectRetry_ = retries;
}

void SMTP_OutMail::SetTimeOutNSeconds(int& seconds) {
  seconds = std::clamp(seconds, 3, 300);
  timeOut_ = seconds;
}

void SMTP_OutMail::SetTimeOutNSeconds(int&& seconds) { timeOut_ = std::clamp(seconds, 3, 300); }

void SMTP_OutMail::SetSMTPPort(long port) {
  if (port >= 1 && port <= 65535) {
    smtpPort_ = port;
    RemoveError(kErrPort);
  } else {
    AddError(kErrPort);
  }
}

void SMTP_OutMail::SetPOP3Port(long port) {
  if (port >= 1 && port <= 65535) {
    pop3Port_ = port;
    RemoveError(kErrPort);
  } else {
    AddError(kErrPort);
  }
}

bool SMTP_OutMail::ValidateHost(const QString& host) const {
  if (host.trimmed().isEmpty()) return false;
  switch (hostValidation_) {
    case VALIDATE_HOST_NONE:
      return true;
    case VALIDATE_HOST_SYNTAX:
      return IsValidHostSyntax(host);
    case VALIDATE_HOST_PING:
      return Ping(host);
    case VALIDATE_HOST_DNS:
    default:
      return !GetIPAddress(host.trimmed()).isEmpty();
  }
}

void SMTP_OutMail::SetSMTPHost(const QString& host) {
  const QString h = codec::StripLineBreaks(host).trimmed();
  if (ValidateHost(h)) {
    smtpHost_ = h;
    RemoveError(kErrHost);
  } else {
    AddError(kErrHost);
  }
}

void SMTP_OutMail::SetPOP3Host(const QString& host) {
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

void SMTP_OutMail::SetSMTPHostValidation(VALIDATE_HOST_METHOD method) {
  hostValidation_ = method;
  if (!smtpHost_.isEmpty()) SetSMTPHost(smtpHost_);
}

void SMTP_OutMail::SetPriority(int priority) {
  priority_ = priority;
  if (priority == HIGH_PRIORITY)
    priorityText_ = QStringLiteral("High");
  else if (priority == NORMAL_PRIORITY)
    priorityText_ = QStringLiteral("Normal");
  else if (priority == LOW_PRIORITY)
    priorityText_ = QStringLiteral("Low");
}

void SMTP_OutMail::SetMessage(const QString& text) {
  message_ = codec::ProcessBodyLines(text, !codec::FitsLatin1(text));
}

void SMTP_OutMail::SetContentBase(const QString& base) {
  QString b = codec::StripLineBreaks(base);
  if (!b.isEmpty()) {
    b.replace(u'\\', u'/');
    if (!b.contains(QLatin1String("http://"), Qt::CaseInsensitive)) b.prepend(QLatin1String("http://"));
    if (!b.endsWith(u'/')) b.append(u'/');
  }
  contentBase_ = b;
}

void SMTP_OutMail::SetAttachment(const QString& list) {
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
  return parts.size() == 2 && IsValidHostSyntax(parts[1]);
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

void SMTP_OutMail::OnConnect() {
  connected_ = true;
  connectSeen_ = true;
  rx_.clear();
  pendingReply_.clear();
}

void SMTP_OutMail::OnClose() { connected_ = false; }

void SMTP_OutMail::OnError(int /*number*/, const QString& description, const QString& /*source*/) {
  FailWith(description);
}

void SMTP_OutMail::OnSendProgress(long bytesSent, long bytesRemaining) {
  bytesSent_ += bytesSent;
  bytesRemaining_ = bytesRemaining;
  if (totalEstimate_ <= 0) return;
  const long percent = static_cast<long>(std::min<qint64>(100, bytesSent_ * 100 / totalEstimate_));
  if (percent != lastPercent_ && connected_) {
    lastPercent_ = percent;
    emit Progress(percent);
  }
}

void SMTP_OutMail::OnDataArrival(long /*bytesTotal*/) {
  if (!connected_) return;
  rx_ += socket_->GetData();
  ProcessReplies();
}

void SMTP_OutMail::ProcessReplies() {
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

void SMTP_OutMail::HandleReply(const QByteArray& raw) {
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
      FailWith(reply.Text());
  }
}

void SMTP_OutMail::AnswerChallenge(const smtp::Reply& reply) {
  const QByteArray challenge = reply.lines.isEmpty() ? QByteArray() : reply.lines.front().trimmed();
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

bool SMTP_OutMail::SocketConnected() const {
  return connected_ && socket_->State() == CSocket::sckConnected;
}

bool SMTP_OutMail::SendRaw(const QByteArray& bytes) {
  if (!SocketConnected()) {
    FailWith(kErrSocketNotOpen);
    return false;
  }
  try {
    socket_->SendData(bytes);
  } catch (const vrl::VrlError& e) {
    FailWith(e.Description());
    return false;
  }
  return true;
}

SMTP_OutMail::WaitResult SMTP_OutMail::WaitFlag(Flag flag, int timeoutMs, bool needConnection) {
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

bool SMTP_OutMail::Command(const QByteArray& line, Flag flag, int timeoutMs) {
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
      FailWith(kErrSocketNotOpen);
      return false;
    case kWaitTimedOut:
      FailWith(kErrTimeout);
      return false;
  }
  return false;
}

bool SMTP_OutMail::WaitSendBuffer(long limit, int silenceMs) {
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
  FailWith(r == vrl::EventWait::TimedOut ? kErrTimeout : kErrSocketNotOpen);
  return false;
}

bool SMTP_OutMail::SinkBlock(const QByteArray& bytes) {
  if (abort_) return false;
  out_ += bytes;
  return out_.size() < kOutChunk || FlushOut();
}

bool SMTP_OutMail::FlushOut() {
  if (out_.isEmpty()) return true;
  const QByteArray chunk = std::exchange(out_, QByteArray());
  if (!SendRaw(chunk)) return false;
  if (socket_->BytesToSend() > kSendHighWater) return WaitSendBuffer(kSendHighWater, timeOut_ * 1000);
  // Let progress and other events through while a long message streams.
  QCoreApplication::processEvents();
  return !abort_;
}

void SMTP_OutMail::CloseSocket() {
  if (socket_->State() != CSocket::sckClosed) {
    try {
      socket_->CloseSocket();
    } catch (const vrl::VrlError&) {
      // closing a socket that is already gone
    }
  }
  connected_ = false;
  rx_.clear();
  pendingReply_.clear();
}

// ---------------------------------------------------------------- sessions

bool SMTP_OutMail::AttemptConnect(const QString& host, long port) {
  for (int attempt = 0; attempt < connectRetry_; ++attempt) {
    if (socket_->State() == CSocket::sckConnected) {
      connected_ = true;
      return true;
    }
    if (socket_->State() == CSocket::sckClosed) {
      try {
        connectSeen_ = false;
        socket_->Connect(host, port);
      } catch (const vrl::VrlError& e) {
        FailWith(e.Description());
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

bool SMTP_OutMail::PopBeforeSmtp() {
  emit Status(QStringLiteral("Connecting to POP3 Server (") + pop3Host_ + QStringLiteral(")..."));
  if (pop3Host_.isEmpty()) {
    FailWith(kErrPop3Host);
    return false;
  }
  // The server lets this address send once it has logged in: the POP3 client's own login.
  POP3_InMail pop;
  qint16 seconds = static_cast<qint16>(timeOut_);
  pop.SetTimeOutNSeconds(seconds);
  quint16 port = static_cast<quint16>(pop3Port_);
  if (!pop.ConnectToPop3Server(username_, password_, pop3Host_, port)) {
    FailWith(pop.GetLastError().isEmpty() ? kErrPop3Timeout : pop.GetLastError());
    return false;
  }
  pop.DisConnectFromPop3Server();
  emit Status(QStringLiteral("POP3 Authentication Successful..."));
  return true;
}

bool SMTP_OutMail::LogIn() {
  // The whole EHLO reply has been read by now: the extensions are known.
  if (!extensions_.HasAuth(QStringLiteral("LOGIN"))) {
    emit Status(QStringLiteral("Login Not Supported by Host, Continuing..."));
    return true;
  }
  emit Status(QStringLiteral("Sending Login Authentication..."));
  flags_[kLoginOk] = false;
  if (SendRaw("AUTH Login\r\n")) WaitFlag(kLoginOk, std::max(kLoginWaitSeconds, timeOut_) * 1000, true);
  if (!flags_[kLoginOk]) {
    emit Status(QStringLiteral("Host Login Failed!"));
    if (!abort_) lastError_ = QStringLiteral("Host Login Failed!");
    return false;
  }
  emit Status(QStringLiteral("Host Login OK!"));
  return !abort_;
}

bool SMTP_OutMail::ConnectionProcedure() {
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
  emit Status(QStringLiteral("Connecting to SMTP Server (") + smtpHost_ + QStringLiteral(")..."));

  if (!AttemptConnect(smtpHost_, smtpPort_) && abort_) {
    CloseSocket();
    return false;
  }
  // The greeting may have come with the connection; a server that closed at once never greets.
  const WaitResult greeting = connectSeen_ ? WaitFlag(kReplyOk, timeOut_ * 1000, true) : kWaitTimedOut;
  if (greeting != kWaitDone) {
    if (greeting != kWaitAborted) FailWith(kErrTimeout);
    CloseSocket();
    return false;
  }

  emit Status(QStringLiteral("Initializing Communications..."));
  const qsizetype at = from_.indexOf(u'@');
  const QString domain = at >= 0 ? from_.mid(at + 1) : from_;
  const QByteArray hello = (useAuth_ ? "EHLO " : "HELO ") + WireBytes(domain) + "\r\n";
  readingExtensions_ = useAuth_;
  const bool greeted = Command(hello, kReplyOk, timeOut_ * 1000);
  readingExtensions_ = false;
  if (!greeted || (useAuth_ && !LogIn())) {
    CloseSocket();
    return false;
  }
  return true;
}

void SMTP_OutMail::ClosingProcedure() {
  if (socket_->State() != CSocket::sckClosed) emit Status(QStringLiteral("Closing Connection..."));
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

bool SMTP_OutMail::Connect() {
  BusyScope busy(busy_);
  abort_ = false;
  keepOpen_ = true;
  return ConnectionProcedure();
}

void SMTP_OutMail::Disconnect() {
  BusyScope busy(busy_);
  abort_ = false;
  keepOpen_ = false;
  ClosingProcedure();
}

// ---------------------------------------------------------------- sending one message

bool SMTP_OutMail::CheckBeforeConnect() {
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

bool SMTP_OutMail::PrepareMessage(Outgoing& out) {
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

bool SMTP_OutMail::EnsureSession() {
  // A kept-open connection the server has closed meanwhile is noticed here; one that holds an
  // unasked reply (a 421 behind the last message's "250") starts afresh.
  QCoreApplication::processEvents();
  if (SocketConnected() && !rx_.isEmpty()) CloseSocket();
  return SocketConnected() || ConnectionProcedure();
}

bool SMTP_OutMail::SendEnvelope(const Outgoing& out) {
  emit Status(QStringLiteral("Sending Sender Information..."));
  QByteArray mailFrom = "MAIL FROM: <" + WireBytes(from_) + ">";
  if (extensions_.authEqualsLogin) mailFrom += " AUTH=" + WireBytes(from_);
  if (!Command(mailFrom + "\r\n", kReplyOk, timeOut_ * 1000)) return false;

  emit Status(QStringLiteral("Sending Recipient Information..."));
  for (const auto& r : out.rcpts)
    if (!Command(r, kReplyOk, timeOut_ * 1000)) return false;
  return true;
}

bool SMTP_OutMail::SendContent(const Outgoing& out) {
  emit Status(QStringLiteral("Sending Message..."));
  if (!Command("DATA\r\n", kReadyForData, timeOut_ * 1000)) return false;

  out_.clear();
  QString writeError;
  const bool written = mimecompose::MessageWriter::Write(
      out.content, out.head, out.boundary, [this](const QByteArray& b) { return SinkBlock(b); },
      [this](const QString& text) { emit Status(text); }, &writeError);
  if (!written) {
    out_.clear();
    if (!abort_) FailWith(writeError.isEmpty() ? kErrSocketNotOpen : writeError);
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

bool SMTP_OutMail::send() {
  BusyScope busy(busy_);
  abort_ = false;
  if (!CheckBeforeConnect()) return false;
  Outgoing out;
  if (!PrepareMessage(out) || !EnsureSession()) return false;
  // Any failure from here on closes the connection: the server may be in the middle of a
  // transaction, and the next message starts on a fresh one.
  if (!SendEnvelope(out) || !SendContent(out)) {
    CloseSocket();
    return false;
  }
  lastPercent_ = 100;
  emit Progress(100);
  emit Status(QStringLiteral("Transmission Complete..."));
  if (!keepOpen_) ClosingProcedure();
  emit SendSuccesful();
  return true;
}
