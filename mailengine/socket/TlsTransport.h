#pragma once
// TLS over a connected descriptor (OpenSSL 3), for implicit TLS from the connect and for
// STARTTLS/STLS on a connection that has already talked in clear text. The handshake runs
// non-blocking on the socket's event loop, like every read and write.
//
// Trust: the system's CA store with a host-name check, on by default; a CA file replaces the
// system store; a SHA-256 fingerprint of the server's certificate accepts exactly that
// certificate (self-signed servers) instead of a chain. Without verification (only when asked
// for) any certificate is taken.
#include "socket/SecuritySettings.h"
#include "socket/SocketTransport.h"

#include <QByteArray>
#include <QString>
#include <memory>

#include "vrlime_export.h"

namespace vrlsock {

struct TlsSettings {
  QString serverName;      // sent as SNI (names only) and checked against the certificate
  bool verify = true;      // check the chain and the name
  QString caFile;          // PEM file of trusted roots; empty: the system's store
  QByteArray fingerprint;  // SHA-256 of the certificate (32 bytes); empty: no pin

  // "SHA256:" followed by 64 hex digits (colons allowed); empty text gives an empty pin.
  // False for anything else.
  VRLIME_EXPORT static bool ParseFingerprint(const QString& text, QByteArray* out);
};

class TlsTransport final : public Transport {
 public:
  explicit TlsTransport(TlsSettings settings);
  // The transport a client's security settings ask for, toward host; null, with the text for
  // the user in error, when the fingerprint is not "SHA256:" and 64 hex digits.
  static std::unique_ptr<TlsTransport> ForServer(const QString& host, const vrlsec::Settings& security,
                                                 QString* error);
  ~TlsTransport() override;

  void attach(int fd) override;
  IoResult handshake() override;
  IoResult read(char* buf, long n) override;
  IoResult write(const char* buf, long n) override;
  bool wantsRead() const override;
  bool wantsWrite() const override;
  void shutdown() override;
  QString errorText() const override;

  // After the handshake: "TLSv1.3" and the certificate's subject ("CN=mail.example.com, ...").
  QString ProtocolVersion() const;
  QString PeerSubject() const;
  // Subject, issuer, validity, alternative names and the SHA-256 fingerprint in the form the
  // fingerprint setting takes, one per line; empty when no certificate came.
  QString PeerCertificateDetails() const;
  // "TLSv1.3, certificate CN=..." for a client's SecureConnection signal.
  QString SessionSummary() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
};

}  // namespace vrlsock
