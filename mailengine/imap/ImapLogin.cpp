#include "imap/IMAP_InMail_p.h"

#include "VrlError.h"
#include "mime/Codec.h"
#include "socket/TlsTransport.h"

#include <QScopeGuard>

using mailerr::Kind;
using namespace imapimpl;

namespace {
const QString kErrClearLogin =
    QStringLiteral("The IMAP server does not offer STARTTLS: the password would go in clear text, so nothing was sent "
                   "(choose security tls or starttls, or none for a trusted local server)");
const QString kErrNoStartTls =
    QStringLiteral("The IMAP server does not offer STARTTLS, which the profile requires: nothing was sent");
}  // namespace

bool IMAP_InMail::Impl::Connect(const QString& user, const QString& password, const QString& host, quint16& port) {
  if (open_) {
    Fail(QStringLiteral("Already connected to the IMAP server"), Kind::Input);
    return false;
  }
  host_ = host;
  user_ = user;
  password_ = password;
  caps_.clear();
  sizes_.clear();
  aheadTag_.clear();
  aheadSelected_.reset();
  exists_ = 0;
  uidValidity_ = 0;
  nextTag_ = 1;
  pending_.clear();
  greeted_ = loggingOut_ = byeSeen_ = false;
  reader_ = imap::Reader();
  failure_ = {};
  lastError_.clear();
  since_.start();
  bytesSince_ = 0;
  using vrlsec::Security;
  const Security sec = security_.security;
  if (port == 0) port = sec == Security::Tls ? 993 : 143;
  const bool implicitTls = sec == Security::Tls || (sec == Security::Auto && port == 993);
  emit q->Status(QStringLiteral("Connecting to the IMAP server (") + host_ + QStringLiteral(")..."));
  socket_->SetTransport(nullptr);
  if (implicitTls && !PutTls(true)) return false;
  open_ = true;
  broken_ = false;
  try {
    socket_->Connect(host_, port);
  } catch (const vrl::VrlError& e) {
    Fail(e.Description(), Kind::Connection);
    EndSession();
    return false;
  }
  if (!Wait([this] { return greeted_; }, "greeting")) return false;
  if (greeting_.keyword == "BYE" || (greeting_.keyword != "OK" && greeting_.keyword != "PREAUTH")) {
    Fail(QStringLiteral("The IMAP server refused the connection: ") + Said(greeting_.text), Kind::RefusedForNow,
         greeting_.keyword + ' ' + greeting_.text);
    EndSession();
    return false;
  }
  if (!LogIn()) {
    // No half-finished login goes on after the caller was told it failed.
    EndSession();
    return false;
  }
  connected_ = true;
  emit q->Status(QStringLiteral("Connected to the IMAP server"));
  return true;
}

bool IMAP_InMail::Impl::AskCapabilities() {
  caps_.clear();
  return RunOk("CAPABILITY", "CAPABILITY");
}

bool IMAP_InMail::Impl::LogIn() {
  using vrlsec::AuthMethod;
  using vrlsec::Security;
  const Security sec = security_.security;
  auto underTls = [this] { return dynamic_cast<const vrlsock::TlsTransport*>(socket_->CurrentTransport()); };
  const bool preauth = greeting_.keyword == "PREAUTH";
  if (caps_.isEmpty() && !AskCapabilities()) return false;
  if (!underTls() && sec != Security::None && !preauth) {
    if (Offers("STARTTLS")) {
      if (!RunOk("STARTTLS", "STARTTLS") || !PutTls(false)) return false;
      // What the server said before TLS may have been altered on the way: asked again.
      if (!AskCapabilities()) return false;
    } else if (sec == Security::StartTls) {
      Fail(kErrNoStartTls, Kind::Tls);
      return false;
    }
  }
  if (const auto* tls = underTls()) {
    emit q->SecureConnection(tls->SessionSummary());
    emit q->ServerCertificate(tls->PeerCertificateDetails());
  } else if (preauth && sec == Security::StartTls) {
    Fail(kErrNoStartTls, Kind::Tls);
    return false;
  } else if (sec == Security::Auto && !preauth) {
    // Automatic security never lets a credential go in clear.
    Fail(kErrClearLogin, Kind::Tls);
    return false;
  }
  if (preauth) return true;

  // Managed tokens reach the client as the password: XOAUTH2 all the same.
  const AuthMethod method = security_.auth == AuthMethod::OAuth2 ? AuthMethod::XOAuth2 : security_.auth;
  QByteArray mech;
  if (method == AuthMethod::Plain || method == AuthMethod::XOAuth2) {
    mech = method == AuthMethod::Plain ? "PLAIN" : "XOAUTH2";
    if (!Offers(("AUTH=" + mech).constData())) {
      Fail(QStringLiteral("The IMAP server does not offer AUTHENTICATE ") + QString::fromLatin1(mech) +
               QStringLiteral(", which the profile requires"),
           Kind::Login);
      return false;
    }
  } else if (method == AuthMethod::Auto && Offers("AUTH=PLAIN")) {
    mech = "PLAIN";
  }
  loggingIn_ = true;
  const auto done = qScopeGuard([this] { loggingIn_ = false; });
  imap::Response answer;
  if (mech.isEmpty()) {
    if (Offers("LOGINDISABLED")) {
      Fail(QStringLiteral("The IMAP server refuses LOGIN on this connection (LOGINDISABLED): nothing was sent"),
           Kind::Login);
      return false;
    }
    emit q->Status(QStringLiteral("Logging in..."));
    const QByteArray tag = Send("LOGIN", "LOGIN", {user_.toUtf8(), password_.toUtf8()});
    if (tag.isEmpty()) return false;
    SendBehindLogin();
    if (!Await(tag)) return false;
    answer = Take();
    if (answer.keyword != "OK") {
      Refused("LOGIN", answer);
      return false;
    }
  } else {
    // Credentials go as UTF-8 whatever they hold.
    const QByteArray response =
        mech == "PLAIN" ? '\0' + user_.toUtf8() + '\0' + password_.toUtf8()
                        : "user=" + user_.toUtf8() + "\x01" "auth=Bearer " + password_.toUtf8() + "\x01\x01";
    emit q->Status(QStringLiteral("Sending ") + QString::fromLatin1(mech) + QStringLiteral(" authentication..."));
    if (!SaslLogIn(mech, response, &answer)) return false;
  }
  // What went behind the login is answered before anything else is asked.
  if (!aheadTag_.isEmpty()) {
    imap::Response selected;
    if (!FinishSelect(std::exchange(aheadTag_, {}), &selected)) return false;
    aheadSelected_ = std::move(selected);
  }
  // A server may announce other capabilities once logged in.
  if (answer.code != "CAPABILITY" && !AskCapabilities()) return false;
  return true;
}

void IMAP_InMail::Impl::SendBehindLogin() {
  // A refused login gets its SELECT refused too; the session ends either way.
  if (!aheadFolder_.isEmpty()) aheadTag_ = SendSelect(aheadFolder_);
}

bool IMAP_InMail::Impl::SaslLogIn(const QByteArray& mech, const QByteArray& response, imap::Response* answer) {
  const QByteArray encoded = codec::EncodeBase64Line(response);
  continuation_ = false;
  // An initial response in the command when the server takes one (RFC 4959).
  const bool initial = Offers("SASL-IR");
  const QByteArray tag = Send("AUTHENTICATE", "AUTHENTICATE " + mech + (initial ? ' ' + encoded : QByteArray()));
  if (tag.isEmpty()) return false;
  // PLAIN says everything in its initial response; XOAUTH2 may answer a refusal with a challenge,
  // which a command behind it would be taken to answer.
  if (initial && mech == "PLAIN") SendBehindLogin();
  if (!Await(tag, true)) return false;
  if (!initial && continuation_) {
    continuation_ = false;
    if (!SendRaw(encoded + "\r\n") || !Await(tag, true)) return false;
  }
  // A challenge after the response is a refusal that says why (XOAUTH2): an empty response ends
  // the exchange, and the server's NO follows.
  QString why;
  for (int round = 0; continuation_ && round < 2; ++round) {
    why = codec::DecodeBase64String(QString::fromLatin1(challenge_)).simplified();
    continuation_ = false;
    if (!SendRaw("\r\n") || !Await(tag, true)) return false;
  }
  if (continuation_) {
    Fail(QStringLiteral("The IMAP server did not end the authentication"), Kind::Protocol);
    return false;
  }
  imap::Response r = Take();
  if (r.keyword != "OK") {
    Refused("AUTHENTICATE", r);
    if (!why.isEmpty()) {
      lastError_ += QLatin1Char(' ') + Said(why.toUtf8());
      failure_.description = lastError_;
    }
    return false;
  }
  *answer = std::move(r);
  return true;
}

bool IMAP_InMail::Impl::PutTls(bool implicit) {
  QString error;
  auto tls = vrlsock::TlsTransport::ForServer(host_, security_, &error);
  if (!tls) {
    Fail(error, Kind::Tls);
    EndSession();
    return false;
  }
  if (!implicit) {
    // Clear text that came behind the answer to STARTTLS was never protected: it is dropped, not
    // read as responses of the secured session (RFC 3501, section 6.2.1).
    socket_->GetData();
    reader_.Clear();
    emit q->Status(QStringLiteral("Starting TLS..."));
  }
  socket_->SetTransport(std::move(tls));
  return true;
}
