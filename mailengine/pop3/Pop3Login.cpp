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

// ---- login ----

POP3_InMail::Impl::WaitResult POP3_InMail::Impl::Step(const QByteArray& command, bool send) {
  if (op_ != OpAuth) op_ = OpConnect;
  stepDone_ = continuation_ = false;
  if (!send) command_.clear();
  if (send && !SendCommand(command)) return WaitAborted;
  return Wait(stepDone_);
}

POP3_InMail::Impl::WaitResult POP3_InMail::Impl::Capabilities() {
  capaAsked_ = false;
  capabilities_.clear();
  const WaitResult r = ListOperation(OpCapa);
  op_ = OpConnect;
  return r;
}

bool POP3_InMail::Impl::Offers(const QString& capability) const {
  return capabilities_.contains(capability);
}

bool POP3_InMail::Impl::OffersSasl(const QByteArray& mechanism) const {
  for (const QString& c : capabilities_)
    if (c.startsWith(QLatin1String("SASL ")) && c.split(QLatin1Char(' ')).contains(QString::fromLatin1(mechanism)))
      return true;
  return false;
}

POP3_InMail::Impl::WaitResult POP3_InMail::Impl::LogIn() {
  using vrlsec::AuthMethod;
  using vrlsec::Security;
  const Security sec = security_.security;
  const bool underTls = dynamic_cast<const vrlsock::TlsTransport*>(socket_->CurrentTransport()) != nullptr;
  // The original dialogue asks nothing before USER; anything newer reads the capabilities first.
  if (sec != Security::None || security_.auth != AuthMethod::Login) {
    if (const WaitResult r = Capabilities(); r != WaitDone) return r;
  }
  if (!underTls && sec != Security::None) {
    if (Offers(QStringLiteral("STLS"))) {
      if (const WaitResult r = Step("STLS"); r != WaitDone) return r;
      if (!PutTls(false)) return WaitAborted;
      // What the server said before TLS may have been altered on the way: asked again.
      if (const WaitResult r = Capabilities(); r != WaitDone) return r;
    } else if (sec == Security::StartTls) {
      emit q->Pop3Status(QString());
      Fail(kErrNoStls, Kind::Tls);
      return WaitAborted;
    }
  }
  if (const auto* tls = dynamic_cast<const vrlsock::TlsTransport*>(socket_->CurrentTransport())) {
    emit q->SecureConnection(tls->SessionSummary());
    emit q->ServerCertificate(tls->PeerCertificateDetails());
  } else if (sec == Security::Auto) {
    // Automatic security never lets a credential go in clear: a server (or someone in between)
    // that does not offer STLS gets nothing.
    emit q->Pop3Status(QString());
    Fail(kErrClearLogin, Kind::Tls);
    return WaitAborted;
  }

  // Managed tokens reach the client as the password: XOAUTH2 all the same.
  const AuthMethod method = security_.auth == AuthMethod::OAuth2 ? AuthMethod::XOAuth2 : security_.auth;
  QByteArray mech;
  if (method == AuthMethod::Plain || method == AuthMethod::XOAuth2) {
    mech = method == AuthMethod::Plain ? "PLAIN" : "XOAUTH2";
    if (!OffersSasl(mech)) {
      Fail(QStringLiteral("The POP3 server does not offer AUTH ") + QString::fromLatin1(mech) +
               QStringLiteral(", which the profile requires"),
           Kind::Login);
      return WaitAborted;
    }
  } else if (method == AuthMethod::Auto && OffersSasl("PLAIN")) {
    mech = "PLAIN";
  }
  loggingIn_ = true;
  const auto loggedIn = qScopeGuard([this] { loggingIn_ = false; });
  if (mech.isEmpty()) {
    emit q->Pop3Status(QStringLiteral("Authenticate User..."));
    if (const WaitResult r = Step("USER " + OneLine(user_)); r != WaitDone) return r;
    emit q->Pop3Status(QStringLiteral("Send Password..."));
    return Step("PASS " + OneLine(password_));
  }
  // Credentials go as UTF-8 whatever they hold, as the SMTP client sends them.
  const QByteArray response =
      mech == "PLAIN" ? '\0' + user_.toUtf8() + '\0' + password_.toUtf8()
                      : "user=" + user_.toUtf8() + "\x01" "auth=Bearer " + password_.toUtf8() + "\x01\x01";
  emit q->Pop3Status(QStringLiteral("Sending ") + QString::fromLatin1(mech) + QStringLiteral(" Authentication..."));
  return SaslLogIn(mech, response);
}

POP3_InMail::Impl::WaitResult POP3_InMail::Impl::SaslLogIn(const QByteArray& mech, const QByteArray& response) {
  const QByteArray encoded = codec::EncodeBase64Line(response);
  authError_.clear();
  op_ = OpAuth;
  const auto back = qScopeGuard([this] {
    if (op_ == OpAuth) op_ = OpConnect;
    authError_.clear();
  });
  // An initial response only while the command fits in 255 octets (RFC 5034, section 4).
  WaitResult r;
  if (mech.size() + encoded.size() + 8 <= 255) {
    r = Step("AUTH " + mech + ' ' + encoded);
  } else {
    r = Step("AUTH " + mech);
    if (r == WaitDone && continuation_) r = Step(encoded);
  }
  // A challenge after the response is a refusal that says why (XOAUTH2): an empty response ends
  // the exchange, and the server's "-ERR" follows.
  for (int round = 0; r == WaitDone && continuation_ && round < 2; ++round) {
    authError_ = codec::DecodeBase64String(QString::fromLatin1(challenge_)).simplified();
    r = Step(QByteArray());
  }
  if (r == WaitDone && continuation_) {
    Fail(QStringLiteral("The POP3 server did not end the authentication"), Kind::Protocol);
    return WaitAborted;
  }
  return r;
}

bool POP3_InMail::Impl::PutTls(bool implicit) {
  QString error;
  auto tls = vrlsock::TlsTransport::ForServer(host_, security_, &error);
  if (!tls) {
    Fail(error, Kind::Tls);
    return false;
  }
  if (!implicit) {
    // Clear text that came behind the answer to STLS was never protected: it is dropped, not
    // read as answers of the secured session (RFC 2595, section 4).
    socket_->GetData();
    inbox_.clear();
    lineBuffer_.clear();
    lineStart_ = 0;
    emit q->Pop3Status(QStringLiteral("Starting TLS..."));
  }
  socket_->SetTransport(std::move(tls));
  return true;
}

