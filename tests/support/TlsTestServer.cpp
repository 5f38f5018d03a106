#include "TlsTestServer.h"

#include <QDir>
#include <QFile>

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace vrltest {
namespace {

template <typename Write>
QByteArray Pem(Write write) {
  BIO* bio = BIO_new(BIO_s_mem());
  write(bio);
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  QByteArray out(data, n);
  BIO_free(bio);
  return out;
}

void AddExt(X509* cert, X509* issuer, int nid, const QByteArray& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.constData());
  if (ext) X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
}

// Signs a new certificate for key; issuer null: self-signed. No names: a CA.
X509* MakeCert(EVP_PKEY* key, const QByteArray& cn, X509* issuer, EVP_PKEY* issuerKey, const QStringList& names,
               int days) {
  static std::atomic<long> serial{1000};
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
  X509_gmtime_adj(X509_getm_notBefore(x), days < 0 ? -10L * 86400 : -3600);
  X509_gmtime_adj(X509_getm_notAfter(x), static_cast<long>(days) * 86400);
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.constData()), -1, -1, 0);
  X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name);
  X509* signer = issuer ? issuer : x;
  QByteArray san;
  for (const QString& n : names) {
    const bool ip = !n.isEmpty() && (n[0].isDigit() || n.contains(u':'));
    san += (san.isEmpty() ? "" : ",") + QByteArray(ip ? "IP:" : "DNS:") + n.toUtf8();
  }
  if (names.isEmpty()) {
    AddExt(x, signer, NID_basic_constraints, "critical,CA:TRUE");
    AddExt(x, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExt(x, signer, NID_subject_alt_name, san);
  }
  X509_sign(x, issuerKey ? issuerKey : key, EVP_sha256());
  return x;
}

TestCert Finish(X509* cert, EVP_PKEY* key) {
  TestCert c;
  c.certPem = Pem([cert](BIO* b) { PEM_write_bio_X509(b, cert); });
  c.keyPem = Pem([key](BIO* b) { PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr); });
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  X509_digest(cert, EVP_sha256(), md, &len);
  c.sha256 = QByteArray(reinterpret_cast<const char*>(md), len);
  return c;
}

// A new key and a certificate for the names, signed by the issuer (none: self-signed).
TestCert IssueCert(const QStringList& names, int days, X509* issuer, EVP_PKEY* issuerKey) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* x = MakeCert(key, names.value(0).toUtf8(), issuer, issuerKey, names, days);
  TestCert c = Finish(x, key);
  X509_free(x);
  EVP_PKEY_free(key);
  return c;
}

}  // namespace

QString TestCert::Write(const QString& dir, const QString& stem) const {
  const QString crt = QDir(dir).filePath(stem + QStringLiteral(".crt"));
  QFile f(crt), k(QDir(dir).filePath(stem + QStringLiteral(".key")));
  if (f.open(QIODevice::WriteOnly)) f.write(certPem);
  if (k.open(QIODevice::WriteOnly)) k.write(keyPem);
  return crt;
}

struct TestCa::Impl {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = MakeCert(key, "Vorlane Test CA", nullptr, nullptr, {}, 30);
  TestCert root = Finish(cert, key);
  ~Impl() {
    X509_free(cert);
    EVP_PKEY_free(key);
  }
};

TestCa::TestCa() : d_(std::make_unique<Impl>()) {}
TestCa::~TestCa() = default;
const TestCert& TestCa::Root() const { return d_->root; }
TestCert TestCa::Issue(const QStringList& names, int daysValid) const {
  return IssueCert(names, daysValid, d_->cert, d_->key);
}
TestCert TestCa::SelfSigned(const QStringList& names) { return IssueCert(names, 30, nullptr, nullptr); }

struct TlsEchoServer::Impl {
  int listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  quint16 port = 0;
  std::thread thread;
  std::atomic<bool> handshakeDone{false};

  void Serve(const TestCert& cert) {
    // A client that hangs up must not end the test program through this thread's writes.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    pollfd p{listenFd, POLLIN, 0};
    const int fd = ::poll(&p, 1, 10000) == 1 ? ::accept(listenFd, nullptr, nullptr) : -1;
    if (fd < 0) return;
    timeval tv{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    BIO* cb = BIO_new_mem_buf(cert.certPem.constData(), static_cast<int>(cert.certPem.size()));
    BIO* kb = BIO_new_mem_buf(cert.keyPem.constData(), static_cast<int>(cert.keyPem.size()));
    X509* x = PEM_read_bio_X509(cb, nullptr, nullptr, nullptr);
    EVP_PKEY* k = PEM_read_bio_PrivateKey(kb, nullptr, nullptr, nullptr);
    SSL_CTX_use_certificate(ctx, x);
    SSL_CTX_use_PrivateKey(ctx, k);
    X509_free(x);
    EVP_PKEY_free(k);
    BIO_free(cb);
    BIO_free(kb);
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      handshakeDone = true;
      QByteArray pending;
      char buf[16384];
      for (int n; (n = SSL_read(ssl, buf, sizeof buf)) > 0;) {
        pending.append(buf, n);
        for (qsizetype nl; (nl = pending.indexOf('\n')) >= 0;) {
          const QByteArray reply = "echo: " + pending.left(nl + 1);
          pending.remove(0, nl + 1);
          SSL_write(ssl, reply.constData(), static_cast<int>(reply.size()));
        }
      }
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    ERR_clear_error();
    ::close(fd);
  }
};

TlsEchoServer::TlsEchoServer(const TestCert& cert) : d_(std::make_unique<Impl>()) {
  sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof a;
  if (::bind(d_->listenFd, reinterpret_cast<sockaddr*>(&a), len) == 0 && ::listen(d_->listenFd, 4) == 0 &&
      ::getsockname(d_->listenFd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    d_->port = ntohs(a.sin_port);
  d_->thread = std::thread([this, cert] { d_->Serve(cert); });
}

TlsEchoServer::~TlsEchoServer() {
  ::shutdown(d_->listenFd, SHUT_RDWR);
  d_->thread.join();
  ::close(d_->listenFd);
}

quint16 TlsEchoServer::Port() const { return d_->port; }
bool TlsEchoServer::HandshakeDone() const { return d_->handshakeDone; }

}  // namespace vrltest
