// TLS through the socket's transport seam, against a local TLS server with certificates made by
// the test: trust by CA file and by pin, the failures a user must see named, and STARTTLS.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "LoopbackPeer.h"
#include "TlsTestServer.h"
#include "socket/CSocket.h"
#include "socket/TlsTransport.h"

using vrltest::TestCa;
using vrltest::TestCert;
using vrltest::TlsEchoServer;

namespace {

struct Outcome {
  bool connected = false;
  QString error;
  QByteArray echoed;
  QString version, subject, details;
};

// Connects with TLS from the start, sends one line and reads the echo.
Outcome Exchange(const TestCert& cert, vrlsock::TlsSettings settings) {
  TlsEchoServer server(cert);
  CSocket s;
  Outcome out;
  QObject::connect(&s, &CSocket::OnError, [&](int, const QString& text, const QString&) { out.error = text; });
  const auto connected = [&] { return s.State() == CSocket::sckConnected; };
  s.SetTransport(std::make_unique<vrlsock::TlsTransport>(settings));
  s.Connect(QStringLiteral("127.0.0.1"), server.Port());
  socktest::WaitFor([&] { return connected() || s.State() == CSocket::sckError; });
  if (connected()) {
    s.SendData("hello\r\n");
    socktest::WaitFor([&] { return s.PeekData().endsWith('\n') || !connected(); });
    out.echoed = s.GetData();
  }
  out.connected = server.HandshakeDone() && !out.echoed.isEmpty();
  // The transport goes with a failed connection: only a live one is asked.
  if (const auto* t = dynamic_cast<const vrlsock::TlsTransport*>(s.CurrentTransport())) {
    out.version = t->ProtocolVersion();
    out.subject = t->PeerSubject();
    out.details = t->PeerCertificateDetails();
  }
  s.CloseSocket();
  return out;
}

QString Pin(const TestCert& cert) { return "SHA256:" + QString::fromLatin1(cert.sha256.toHex().toUpper()); }

}  // namespace

TEST(TlsTransport, TrustAndItsFailures) {
  QTemporaryDir dir;
  TestCa ca;
  const QString caFile = ca.Root().Write(dir.path(), QStringLiteral("ca"));
  const TestCert good = ca.Issue({QStringLiteral("mail.test"), QStringLiteral("127.0.0.1")});
  const TestCert expired = ca.Issue({QStringLiteral("mail.test")}, -1);
  const TestCert self = TestCa::SelfSigned({QStringLiteral("mail.test")});
  struct Case {
    const char* what;
    const TestCert& cert;
    vrlsock::TlsSettings settings;
    const char* error;  // empty: the line comes back
  } cases[] = {
      {"CA file, name", good, {QStringLiteral("mail.test"), true, caFile, {}}, ""},
      {"CA file, address", good, {QStringLiteral("127.0.0.1"), true, caFile, {}}, ""},
      {"wrong name", good, {QStringLiteral("other.test"), true, caFile, {}},
       "TLS certificate verification failed: hostname mismatch"},
      {"system store", good, {QStringLiteral("mail.test"), true, {}, {}},
       "TLS certificate verification failed: unable to get local issuer certificate"},
      {"expired", expired, {QStringLiteral("mail.test"), true, caFile, {}},
       "TLS certificate verification failed: certificate has expired"},
      {"self-signed", self, {QStringLiteral("mail.test"), true, caFile, {}},
       "TLS certificate verification failed: self-signed certificate"},
      {"self-signed, pinned", self, {QStringLiteral("mail.test"), true, {}, self.sha256}, ""},
      {"pin of another", good, {QStringLiteral("mail.test"), true, {}, self.sha256},
       "TLS certificate fingerprint mismatch"},
      {"no verification", self, {QStringLiteral("anything"), false, {}, {}}, ""},
      {"unreadable CA file", good, {QStringLiteral("mail.test"), true, dir.filePath("none.pem"), {}},
       "TLS: the CA file cannot be read"},
  };
  for (const Case& c : cases) {
    const Outcome o = Exchange(c.cert, c.settings);
    if (*c.error == 0) {
      EXPECT_TRUE(o.connected) << c.what << ": " << o.error.toStdString();
      EXPECT_EQ(o.echoed, "echo: hello\r\n") << c.what;
      EXPECT_EQ(o.version, QStringLiteral("TLSv1.3")) << c.what;
      EXPECT_TRUE(o.subject.contains(QStringLiteral("CN=mail.test"))) << c.what << o.subject.toStdString();
      EXPECT_TRUE(o.details.contains("\nNames: DNS:mail.test") && o.details.endsWith("\nFingerprint: " + Pin(c.cert)))
          << c.what << ": " << o.details.toStdString();
    } else {
      EXPECT_FALSE(o.connected) << c.what;
      EXPECT_TRUE(o.error.startsWith(QLatin1String(c.error))) << c.what << ": " << o.error.toStdString();
    }
    // A refused chain names what the server showed, in the form a pin takes.
    if (QByteArray(c.error).startsWith("TLS certificate verification failed")) {
      EXPECT_TRUE(o.error.endsWith("; the server presented CN=mail.test, " + Pin(c.cert))) << o.error.toStdString();
    }
  }
}
