#include "socket/TlsTransport.h"

#include "socket/MSocketSupport.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <QStringList>
#include <cerrno>
#include <functional>
#include <cstdint>
#include <arpa/inet.h>
#include <sys/socket.h>

namespace vrlsock {
namespace {

// The socket error number of a TLS failure; the text says what failed.
constexpr int kTlsFailure = 10053;

QString OpenSslReason() {
  const unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return QString();
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return QString::fromLatin1(buf);
}

// OpenSSL's own socket BIO writes with write(2): a peer that went away would raise SIGPIPE and
// end the program. This one sends with MSG_NOSIGNAL, like the plain transport.
int FdOf(BIO* b) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(b))); }

int BioWrite(BIO* b, const char* data, size_t len, size_t* written) {
  BIO_clear_retry_flags(b);
  for (;;) {
    const ssize_t n = ::send(FdOf(b), data, len, MSG_NOSIGNAL);
    if (n >= 0) {
      *written = static_cast<size_t>(n);
      return 1;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(b);
    return 0;
  }
}

int BioRead(BIO* b, char* data, size_t len, size_t* got) {
  BIO_clear_retry_flags(b);
  for (;;) {
    const ssize_t n = ::recv(FdOf(b), data, len, 0);
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return 1;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(b);
    return 0;  // n == 0: the end of the stream, errno 0
  }
}

long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "vrl socket");
    BIO_meth_set_write_ex(m, BioWrite);
    BIO_meth_set_read_ex(m, BioRead);
    BIO_meth_set_ctrl(m, BioCtrl);
    BIO_meth_set_create(m, [](BIO* b) {
      BIO_set_init(b, 1);
      return 1;
    });
    return m;
  }();
  return method;
}

QByteArray CertFingerprint(X509* cert) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (!cert || X509_digest(cert, EVP_sha256(), md, &len) != 1) return QByteArray();
  return QByteArray(reinterpret_cast<const char*>(md), static_cast<qsizetype>(len));
}

QString Printed(const std::function<void(BIO*)>& print) {
  QString text;
  if (BIO* bio = BIO_new(BIO_s_mem())) {
    print(bio);
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    text = QString::fromUtf8(data, len);
    BIO_free(bio);
  }
  return text;
}

QString NameText(const X509_NAME* name) {
  return Printed([name](BIO* bio) { X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB); });
}

// The form the profile's fingerprint setting takes, so that it can be copied there.
QString FingerprintText(X509* cert) {
  return QStringLiteral("SHA256:") + QString::fromLatin1(CertFingerprint(cert).toHex().toUpper());
}

// "CN=mail.example.com, SHA256:..." for an error line.
QString Presented(X509* cert) {
  return NameText(X509_get_subject_name(cert)) + QStringLiteral(", ") + FingerprintText(cert);
}

QString Describe(X509* cert) {
  QStringList lines;
  lines << QStringLiteral("Subject: ") + NameText(X509_get_subject_name(cert));
  lines << QStringLiteral("Issuer: ") + NameText(X509_get_issuer_name(cert));
  lines << QStringLiteral("Valid from: ") + Printed([cert](BIO* b) { ASN1_TIME_print(b, X509_get0_notBefore(cert)); });
  lines << QStringLiteral("Valid until: ") + Printed([cert](BIO* b) { ASN1_TIME_print(b, X509_get0_notAfter(cert)); });
  if (auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr))) {
    QStringList shown;
    for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
      const GENERAL_NAME* n = sk_GENERAL_NAME_value(names, i);
      if (n->type == GEN_DNS) {
        shown << QStringLiteral("DNS:") +
                     QString::fromLatin1(reinterpret_cast<const char*>(ASN1_STRING_get0_data(n->d.dNSName)),
                                         ASN1_STRING_length(n->d.dNSName));
      } else if (n->type == GEN_IPADD) {
        const ASN1_OCTET_STRING* ip = n->d.iPAddress;
        char text[INET6_ADDRSTRLEN] = {};
        const int len = ASN1_STRING_length(ip);
        const int family = len == 4 ? AF_INET : len == 16 ? AF_INET6 : 0;
        if (family && inet_ntop(family, ASN1_STRING_get0_data(ip), text, sizeof text))
          shown << QStringLiteral("IP:") + QString::fromLatin1(text);
      }
    }
    GENERAL_NAMES_free(names);
    if (!shown.isEmpty()) lines << QStringLiteral("Names: ") + shown.join(QStringLiteral(", "));
  }
  lines << QStringLiteral("Fingerprint: ") + FingerprintText(cert);
  return lines.join(QLatin1Char('\n'));
}

}  // namespace

bool TlsSettings::ParseFingerprint(const QString& text, QByteArray* out) {
  out->clear();
  const QString t = text.trimmed();
  if (t.isEmpty()) return true;
  if (!t.startsWith(QLatin1String("SHA256:"), Qt::CaseInsensitive)) return false;
  QString hex = t.mid(7);
  hex.remove(u':');
  if (hex.size() != 64) return false;
  for (QChar c : hex)
    if (!isxdigit(c.toLatin1())) return false;
  *out = QByteArray::fromHex(hex.toLatin1());
  return out->size() == 32;
}

struct TlsTransport::Impl {
  TlsSettings settings;
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  int fd = -1;
  bool wantRead = false;
  bool wantWrite = false;
  QString error;
  // The server's certificate as the chain check saw it, also when the check refuses it.
  X509* leaf = nullptr;

  ~Impl() {
    if (ssl) SSL_free(ssl);
    if (ctx) SSL_CTX_free(ctx);
    X509_free(leaf);
  }

  static int CaptureLeaf(int ok, X509_STORE_CTX* store) {
    auto* s = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self = s ? static_cast<Impl*>(SSL_get_app_data(s)) : nullptr;
    X509* cert = X509_STORE_CTX_get0_cert(store);
    if (self && cert && !self->leaf && X509_up_ref(cert) == 1) self->leaf = cert;
    return ok;
  }

  // The server's certificate (a reference the caller frees); null before the handshake got it.
  X509* PeerCertificate() const {
    if (ssl)
      if (X509* cert = SSL_get1_peer_certificate(ssl)) return cert;
    if (leaf && X509_up_ref(leaf) == 1) return leaf;
    return nullptr;
  }

  bool setUp() {
    ERR_clear_error();
    ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return fail(QStringLiteral("TLS is not available: ") + OpenSslReason());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
    // A pin replaces the chain: the certificate is compared after the handshake.
    const bool chain = settings.verify && settings.fingerprint.isEmpty();
    if (chain) {
      const bool loaded = settings.caFile.isEmpty()
                              ? SSL_CTX_set_default_verify_paths(ctx) == 1
                              : SSL_CTX_load_verify_locations(ctx, settings.caFile.toLocal8Bit().constData(), nullptr) == 1;
      if (!loaded)
        return fail(settings.caFile.isEmpty() ? QStringLiteral("TLS: the system's certificate store cannot be read")
                                              : QStringLiteral("TLS: the CA file cannot be read: ") + settings.caFile);
    }
    SSL_CTX_set_verify(ctx, chain ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, chain ? CaptureLeaf : nullptr);
    ssl = SSL_new(ctx);
    if (!ssl) return fail(QStringLiteral("TLS is not available: ") + OpenSslReason());
    SSL_set_app_data(ssl, this);
    const QByteArray name = settings.serverName.toUtf8();
    MSocketSupport::SockAddr literal;
    const bool isAddress = MSocketSupport::ParseNumericHost(settings.serverName, &literal);
    if (!name.isEmpty() && !isAddress) SSL_set_tlsext_host_name(ssl, name.constData());
    if (chain && !name.isEmpty()) {
      X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      const int ok = isAddress ? X509_VERIFY_PARAM_set1_ip_asc(param, MSocketSupport::AddressToString(literal).toLatin1().constData())
                               : X509_VERIFY_PARAM_set1_host(param, name.constData(), 0);
      if (ok != 1) return fail(QStringLiteral("TLS: cannot check the name ") + settings.serverName);
    }
    return true;
  }

  bool fail(const QString& text) {
    error = text;
    return false;
  }

  // The result of an SSL call that did not succeed.
  IoResult failure(int rc, bool reading) {
    const int e = SSL_get_error(ssl, rc);
    wantRead = e == SSL_ERROR_WANT_READ;
    wantWrite = e == SSL_ERROR_WANT_WRITE;
    if (wantRead || wantWrite) return IoResult::wouldBlock();
    if (e == SSL_ERROR_ZERO_RETURN) return IoResult::closed();
    if (e == SSL_ERROR_SYSCALL) {
      const int err = errno;
      const QString reason = OpenSslReason();
      if (err != 0) return IoResult::failed(MSocketSupport::ErrnoToWsa(err));
      // The peer went away without closing TLS: an end of stream for a reader.
      if (reading) return IoResult::closed();
      error = reason.isEmpty() ? QStringLiteral("TLS: the connection ended unexpectedly") : QStringLiteral("TLS: ") + reason;
      return IoResult::failed(kTlsFailure);
    }
    error = QStringLiteral("TLS: ") + OpenSslReason();
    return IoResult::failed(kTlsFailure);
  }
};

TlsTransport::TlsTransport(TlsSettings settings) : d_(std::make_unique<Impl>()) {
  d_->settings = std::move(settings);
}

TlsTransport::~TlsTransport() = default;

std::unique_ptr<TlsTransport> TlsTransport::ForServer(const QString& host, const vrlsec::Settings& security,
                                                      QString* error) {
  TlsSettings t;
  t.serverName = host;
  t.verify = security.verifyCertificate;
  t.caFile = security.caFile;
  if (!TlsSettings::ParseFingerprint(security.certFingerprint, &t.fingerprint)) {
    *error = QStringLiteral("The certificate fingerprint is not \"SHA256:\" followed by 64 hex digits");
    return nullptr;
  }
  return std::make_unique<TlsTransport>(std::move(t));
}

void TlsTransport::attach(int fd) {
  d_->fd = fd;
  if (!d_->setUp()) return;
  BIO* bio = BIO_new(SocketBioMethod());
  if (!bio) {
    d_->error = QStringLiteral("TLS is not available: ") + OpenSslReason();
    SSL_free(d_->ssl);
    d_->ssl = nullptr;
    return;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  SSL_set_bio(d_->ssl, bio, bio);
}

IoResult TlsTransport::handshake() {
  Impl& d = *d_;
  if (!d.ssl) return IoResult::failed(kTlsFailure);
  ERR_clear_error();
  errno = 0;
  const int rc = SSL_connect(d.ssl);
  if (rc != 1) {
    const long verify = SSL_get_verify_result(d.ssl);
    IoResult r = d.failure(rc, false);
    if (r.status == Io::Closed) {
      d.error = QStringLiteral("TLS: the server closed the connection during the handshake");
      return IoResult::failed(kTlsFailure);
    }
    if (r.status == Io::Failed && verify != X509_V_OK) {
      // What the server showed goes with the refusal: its fingerprint is what a pin needs.
      d.error = QStringLiteral("TLS certificate verification failed: ") +
                QString::fromLatin1(X509_verify_cert_error_string(verify));
      if (d.leaf) d.error += QStringLiteral("; the server presented ") + Presented(d.leaf);
    }
    return r;
  }
  if (!d.settings.fingerprint.isEmpty()) {
    X509* cert = SSL_get1_peer_certificate(d.ssl);
    const QByteArray seen = CertFingerprint(cert);
    X509_free(cert);
    if (seen != d.settings.fingerprint) {
      d.error = QStringLiteral("TLS certificate fingerprint mismatch: the server presented SHA256:") +
                QString::fromLatin1(seen.toHex().toUpper());
      return IoResult::failed(kTlsFailure);
    }
  }
  d.wantRead = d.wantWrite = false;
  return IoResult::done();
}

IoResult TlsTransport::read(char* buf, long n) {
  ERR_clear_error();
  errno = 0;
  size_t got = 0;
  const int rc = SSL_read_ex(d_->ssl, buf, static_cast<size_t>(n), &got);
  if (rc == 1) return IoResult::done(static_cast<long>(got));
  return d_->failure(rc, true);
}

IoResult TlsTransport::write(const char* buf, long n) {
  ERR_clear_error();
  errno = 0;
  size_t put = 0;
  const int rc = SSL_write_ex(d_->ssl, buf, static_cast<size_t>(n), &put);
  if (rc == 1) return IoResult::done(static_cast<long>(put));
  return d_->failure(rc, false);
}

bool TlsTransport::wantsRead() const { return d_->wantRead; }
bool TlsTransport::wantsWrite() const { return d_->wantWrite; }

void TlsTransport::shutdown() {
  if (d_->ssl && SSL_is_init_finished(d_->ssl)) {
    ERR_clear_error();
    SSL_shutdown(d_->ssl);  // our close_notify; the peer's is not awaited
  }
  if (d_->fd >= 0) ::shutdown(d_->fd, SHUT_WR);
}

QString TlsTransport::errorText() const { return d_->error; }

QString TlsTransport::ProtocolVersion() const {
  return d_->ssl ? QString::fromLatin1(SSL_get_version(d_->ssl)) : QString();
}

QString TlsTransport::PeerSubject() const {
  X509* cert = d_->PeerCertificate();
  if (!cert) return QString();
  const QString subject = NameText(X509_get_subject_name(cert));
  X509_free(cert);
  return subject;
}

QString TlsTransport::SessionSummary() const {
  return ProtocolVersion() + QStringLiteral(", certificate ") + PeerSubject();
}

QString TlsTransport::PeerCertificateDetails() const {
  X509* cert = d_->PeerCertificate();
  if (!cert) return QString();
  const QString details = Describe(cert);
  X509_free(cert);
  return details;
}

}  // namespace vrlsock
