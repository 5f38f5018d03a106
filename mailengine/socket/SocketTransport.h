#pragma once
// The byte channel a connected CSocket reads and writes through. PlainTransport moves bytes
// straight over the descriptor; a TLS transport (OpenSSL over the same descriptor) fits the same
// interface:
//   handshake() -> SSL_connect / SSL_do_handshake,
//   read()      -> SSL_read,  write() -> SSL_write,
//   SSL_ERROR_WANT_READ / SSL_ERROR_WANT_WRITE -> WouldBlock with wantsRead() / wantsWrite(),
//   SSL_ERROR_ZERO_RETURN -> Closed, shutdown() -> SSL_shutdown then ::shutdown(fd, SHUT_WR).
// Contract kept by CSocket, so that OpenSSL's rules hold:
//   - every call happens on the socket's thread, never concurrently;
//   - after write() returned WouldBlock for n bytes, the next write() repeats the same bytes
//     with the same length (the buffer's address may move: set
//     SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER; SSL_MODE_ENABLE_PARTIAL_WRITE lets write() report
//     partial progress);
//   - on any readiness of the descriptor, CSocket first finishes the handshake, then reads until
//     WouldBlock (which also drains records buffered inside the transport), then writes; so a
//     read blocked on WANT_WRITE or a write blocked on WANT_READ is retried when the other
//     readiness arrives;
//   - CSocket watches for writability while wantsWrite() is true, and always watches
//     readability while connected.
#include <QString>

namespace vrlsock {

enum class Io {
  Done,        // bytes moved (read/write) or the handshake finished
  WouldBlock,  // nothing possible now; wantsRead()/wantsWrite() tell what to wait for
  Closed,      // read: the peer ended the stream in order
  Failed,      // error: number (a socket error number) and text
};

struct IoResult {
  Io status = Io::Done;
  long bytes = 0;  // Done: bytes read or written
  int error = 0;   // Failed: socket error number (10054, ...)
  static IoResult done(long n = 0) { return {Io::Done, n, 0}; }
  static IoResult wouldBlock() { return {Io::WouldBlock, 0, 0}; }
  static IoResult closed() { return {Io::Closed, 0, 0}; }
  static IoResult failed(int err) { return {Io::Failed, 0, err}; }
};

class Transport {
 public:
  virtual ~Transport() = default;
  // The connected descriptor, given once before any other call. The transport does not own it
  // and never closes it.
  virtual void attach(int fd) = 0;
  // Drives the opening exchange. Done when application data can flow (PlainTransport: at once).
  virtual IoResult handshake() = 0;
  // n > 0. Done with bytes > 0, WouldBlock, Closed or Failed.
  virtual IoResult read(char* buf, long n) = 0;
  // n > 0. Done with 0 < bytes <= n, WouldBlock or Failed.
  virtual IoResult write(const char* buf, long n) = 0;
  // What the most recent WouldBlock result (of any call) waits for.
  virtual bool wantsRead() const = 0;
  virtual bool wantsWrite() const = 0;
  // Ends our sending direction. Best effort, never blocks.
  virtual void shutdown() = 0;
  // Text for a Failed result when the number alone does not say enough (certificate problems);
  // empty: the socket error text of the number is used.
  virtual QString errorText() const { return QString(); }
};

class PlainTransport final : public Transport {
 public:
  void attach(int fd) override { fd_ = fd; }
  IoResult handshake() override { return IoResult::done(); }
  IoResult read(char* buf, long n) override;
  IoResult write(const char* buf, long n) override;
  bool wantsRead() const override { return wantRead_; }
  bool wantsWrite() const override { return wantWrite_; }
  void shutdown() override;

 private:
  int fd_ = -1;
  bool wantRead_ = false;
  bool wantWrite_ = false;
};

}  // namespace vrlsock
