#include "smtp/SMTP_OutMail_p.h"

#include "EventWait.h"
#include "VrlError.h"
#include "mime/Codec.h"
#include "pop3/POP3_InMail.h"
#include "socket/TlsTransport.h"

#include <QCoreApplication>
#include <algorithm>
#include <utility>

using namespace smtpimpl;
using codec::WireBytes;
using mailerr::Kind;

// ---------------------------------------------------------------- socket events

void SMTP_OutMail::Impl::OnConnect() {
  connected_ = true;
  connectSeen_ = true;
  rx_.clear();
  pendingReply_.clear();
}

void SMTP_OutMail::Impl::OnClose() { connected_ = false; }

void SMTP_OutMail::Impl::OnError(int /*number*/, const QString& description, const QString& /*source*/) {
  FailWith(mailerr::Error::Make(socket_->HandshakeFailed() ? Kind::Tls : Kind::Connection, description).Transient(true));
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

void SMTP_OutMail::Impl::ProcessReplies(bool unasked) {
  // Act on complete replies only: a reply ends with a line whose fourth character is not "-".
  while ((unasked || !awaiting_.empty()) && !abort_) {
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
    FailWith(mailerr::Error::Make(Kind::Protocol, smtp::Reply::Parse(junk).Text(), junk));
  }
}

void SMTP_OutMail::Impl::HandleReply(const QByteArray& raw) {
  const smtp::Reply reply = smtp::Reply::Parse(raw);
  if (awaiting_.empty()) {
    // Nothing was asked: a server ending the session (421), or one out of step with us.
    if (reply.code >= 400 && reply.code < 600) {
      FailWith(mailerr::Error::Make(reply.code < 500 ? Kind::RefusedForNow : Kind::RefusedPermanently, reply.Text(), raw)
                   .Transient(reply.code < 500));
    } else {
      FailWith(mailerr::Error::Make(Kind::Protocol, QStringLiteral("The SMTP server sent a reply to no command: \"") +
                                                        reply.Text().left(200) + QStringLiteral("\""), raw));
    }
    return;
  }
  const Step front = awaiting_.front();
  const smtp::Command step = front.command;
  awaiting_.pop_front();
  const smtp::Verdict verdict = smtp::Judge(step, reply);
  if (front.ahead) {
    // The next message's: it fails nothing now, the next send starts on a new connection.
    if (verdict != smtp::Verdict::Done && verdict != smtp::Verdict::Continue) aheadRefused_ = true;
    return;
  }
  if (verdict == smtp::Verdict::Done || verdict == smtp::Verdict::Continue) {
    lastReply_ = reply;
    if (step == smtp::Command::Ehlo) extensions_ = smtp::Extensions::FromEhlo(reply);
    if (step == smtp::Command::Auth && verdict == smtp::Verdict::Continue) {
      awaiting_.push_front(front);  // the answer to the challenge gets the next reply
      AnswerChallenge(reply);
    }
    return;
  }
  mailerr::Error error = smtp::ErrorFor(step, verdict, reply);
  if (step == smtp::Command::Auth && !serverAuthError_.isEmpty())
    error.description += QStringLiteral(" ") + serverAuthError_;
  FailWith(error);
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

// ---------------------------------------------------------------- the step queue

bool SMTP_OutMail::Impl::SocketConnected() const {
  return connected_ && socket_->State() == CSocket::sckConnected;
}

bool SMTP_OutMail::Impl::SendRaw(const QByteArray& bytes) {
  if (!SocketConnected()) {
    FailWith(Kind::Connection, kErrSocketNotOpen);
    return false;
  }
  try {
    socket_->SendData(bytes);
  } catch (const vrl::VrlError& e) {
    FailWith(Kind::Connection, e.Description());
    return false;
  }
  return true;
}

bool SMTP_OutMail::Impl::Issue(const QByteArray& lines, const std::vector<smtp::Command>& steps, size_t aheadFrom) {
  // A reply that came behind the last awaited one (a 421) ends the session before this command.
  if (awaiting_.empty() && !rx_.isEmpty()) {
    ProcessReplies(true);
    if (abort_) return false;
  }
  for (size_t i = 0; i < steps.size(); ++i) awaiting_.push_back({steps[i], i >= aheadFrom});
  return SendRaw(lines);
}

SMTP_OutMail::Impl::WaitResult SMTP_OutMail::Impl::Await(int timeoutMs, size_t leave) {
  ProcessReplies();  // what arrived before the wait comes first
  const auto r = vrl::EventWait::Until([&] { return awaiting_.size() <= leave; },
                                       [&] { return abort_ || !SocketConnected(); }, timeoutMs);
  if (r == vrl::EventWait::Done && !abort_) return kWaitDone;
  // The steps left have no reply to come that would still count.
  awaiting_.clear();
  if (abort_) return kWaitAborted;
  return r == vrl::EventWait::TimedOut ? kWaitTimedOut : kWaitClosed;
}

bool SMTP_OutMail::Impl::Run(const QByteArray& lines, const std::vector<smtp::Command>& steps) {
  return Issue(lines, steps) && AwaitOrFail();
}

bool SMTP_OutMail::Impl::AwaitOrFail(size_t leave) {
  switch (Await(timeOut_ * 1000, leave)) {
    case kWaitDone:
      return true;
    case kWaitAborted:
      return false;
    case kWaitClosed:
      FailWith(Kind::Connection, kErrSocketNotOpen);
      return false;
    case kWaitTimedOut:
      FailWith(Kind::Timeout, kErrTimeout);
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
  if (r == vrl::EventWait::TimedOut)
    FailWith(Kind::Timeout, kErrTimeout);
  else
    FailWith(Kind::Connection, kErrSocketNotOpen);
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
  aheadEnvelope_.clear();
  aheadRefused_ = false;
  awaiting_.clear();
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
        FailWith(Kind::Connection, e.Description());
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
    FailWith(mailerr::Error::Make(Kind::Connection, kErrPop3Host).Transient(false));
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
    // The POP3 server's refusal is a login refused like the SMTP server's; any other failure
    // may pass.
    const mailerr::Error popError = pop.LastFailure();
    const Kind kind = popError.kind == Kind::None ? Kind::Timeout : popError.kind;
    FailWith(mailerr::Error::Make(kind, pop.GetLastError().isEmpty() ? kErrPop3Timeout : pop.GetLastError(),
                                  popError.reply)
                 .Transient(true));
    return false;
  }
  pop.DisConnectFromPop3Server();
  emit q->Status(QStringLiteral("POP3 Authentication Successful..."));
  return true;
}

bool SMTP_OutMail::Impl::LogIn() {
  // The whole EHLO reply has been read by now: the extensions are known.
  using vrlsec::AuthMethod;
  // Managed tokens reach the client as the password: XOAUTH2 all the same.
  const AuthMethod method = security_.auth == AuthMethod::OAuth2 ? AuthMethod::XOAuth2 : security_.auth;
  QByteArray mech;
  if (method == AuthMethod::Plain || method == AuthMethod::XOAuth2) {
    mech = method == AuthMethod::Plain ? "PLAIN" : "XOAUTH2";
    if (!extensions_.HasAuth(QString::fromLatin1(mech))) {
      FailWith(Kind::Login, QStringLiteral("The SMTP server does not offer AUTH ") + QString::fromLatin1(mech) +
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
  if (Issue(command, {smtp::Command::Auth})) wait = Await(std::max(kLoginWaitSeconds, timeOut_) * 1000);
  authMech_.clear();
  if (wait != kWaitDone) {
    emit q->Status(QStringLiteral("Host Login Failed!"));
    if (!abort_) {
      // No verdict came: the login may pass another time. No event: the caller reports it.
      lastError_ = QStringLiteral("Host Login Failed!");
      error_ = mailerr::Error::Make(wait == kWaitTimedOut ? Kind::Timeout : Kind::Connection, lastError_);
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
    FailWith(Kind::Tls, error);
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

bool SMTP_OutMail::Impl::Hello(smtp::Command verb, const QString& domain) {
  const QByteArray word = verb == smtp::Command::Ehlo ? "EHLO " : "HELO ";
  return Run(word + WireBytes(domain) + "\r\n", {verb});
}

bool SMTP_OutMail::Impl::SizeFits() {
  // Known only after EHLO; 0 means the server names no limit.
  if (!extensions_.size || *extensions_.size <= 0 || totalEstimate_ <= *extensions_.size) return true;
  FailWith(Kind::RefusedPermanently, QStringLiteral("The message is too large for the SMTP server: about %1 bytes, the server accepts at most %2 bytes")
               .arg(totalEstimate_)
               .arg(*extensions_.size));
  return false;
}

bool SMTP_OutMail::Impl::ConnectionProcedure() {
  if (SocketConnected()) return true;
  if (socket_->State() != CSocket::sckClosed) CloseSocket();
  if (smtpHost_.isEmpty()) {
    FailWith(mailerr::Error::Make(Kind::Connection, kErrHost).Transient(false));
    return false;
  }
  if (usePopAuth_) {
    abort_ = false;
    if (!PopBeforeSmtp()) return false;
  }

  awaiting_.clear();
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
  WaitResult greeting = kWaitClosed;
  if (connectSeen_) {
    awaiting_.push_back({smtp::Command::Greeting, false});
    greeting = Await(timeOut_ * 1000);
  }
  if (greeting != kWaitDone) {
    if (greeting != kWaitAborted) FailWith(greeting == kWaitTimedOut ? Kind::Timeout : Kind::Connection, kErrTimeout);
    CloseSocket();
    return false;
  }

  emit q->Status(QStringLiteral("Initializing Communications..."));
  const qsizetype at = from_.indexOf(u'@');
  const QString domain = at >= 0 ? from_.mid(at + 1) : from_;
  // The original dialogue says HELO unless it logs in; anything newer needs the extensions.
  const bool ehlo = useAuth_ || sec != Security::None;
  if (!Hello(ehlo ? smtp::Command::Ehlo : smtp::Command::Helo, domain)) {
    CloseSocket();
    return false;
  }
  if (!implicitTls && sec != Security::None) {
    if (extensions_.startTls) {
      // After STARTTLS the session starts again: the extensions are read anew, under TLS.
      if (!Run("STARTTLS\r\n", {smtp::Command::StartTls}) || !PutTls(false) || !Hello(smtp::Command::Ehlo, domain)) {
        CloseSocket();
        return false;
      }
    } else if (sec == Security::StartTls) {
      FailWith(Kind::Tls, kErrNoStartTls);
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
    // Counted as passing: the server, or what stands between, may offer it again.
    FailWith(mailerr::Error::Make(Kind::Tls, kErrClearLogin).Transient(true));
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
  // A next message's envelope went ahead and no message came: QUIT cannot end an open DATA, the
  // dropped connection ends it without a message (RFC 5321, section 4.1.1.4).
  if (SocketConnected() && aheadEnvelope_.isEmpty()) {
    closing_ = true;
    try {
      awaiting_.assign(1, {smtp::Command::Quit, false});
      socket_->SendData("QUIT\r\n");
      Await(kQuitWaitMs);
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
  error_ = {};
  keepOpen_ = true;
  return ConnectionProcedure();
}

void SMTP_OutMail::Impl::Disconnect() {
  BusyScope busy(busy_);
  abort_ = false;
  keepOpen_ = false;
  ClosingProcedure();
}

