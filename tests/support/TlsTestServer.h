#pragma once
// TLS for the far end of tests: certificates made on the spot (a test CA, server certificates
// for chosen names and validity), and a one-connection TLS echo server on 127.0.0.1 that can
// first talk in clear text (STARTTLS). Bounded: every wait has a time limit.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <memory>

namespace vrltest {

// A certificate with its key, PEM encoded.
struct TestCert {
  QByteArray certPem, keyPem;
  QByteArray sha256;  // fingerprint of the certificate (32 bytes)
  // Files written into dir: <stem>.crt and <stem>.key; returns the certificate's path.
  QString Write(const QString& dir, const QString& stem) const;
};

// A CA that signs server certificates. names: DNS names or IP addresses (subjectAltName).
// daysValid < 0 makes a certificate that has expired.
class TestCa {
 public:
  TestCa();
  ~TestCa();
  const TestCert& Root() const;
  TestCert Issue(const QStringList& names, int daysValid = 30) const;
  // A self-signed server certificate, outside this CA.
  static TestCert SelfSigned(const QStringList& names);

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

// Accepts one connection and, after the handshake, echoes every line back with "echo: " in front
// until the client closes. A failed handshake ends the connection.
class TlsEchoServer {
 public:
  explicit TlsEchoServer(const TestCert& cert);
  ~TlsEchoServer();
  quint16 Port() const;
  bool HandshakeDone() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

}  // namespace vrltest
