#include "socket/SocketTransport.h"

#include "socket/MSocketSupport.h"

#include <cerrno>
#include <sys/socket.h>

namespace vrlsock {

IoResult PlainTransport::read(char* buf, long n) {
  for (;;) {
    const ssize_t got = ::recv(fd_, buf, static_cast<size_t>(n), 0);
    if (got > 0) return IoResult::done(got);
    if (got == 0) return IoResult::closed();
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      wantRead_ = true;
      wantWrite_ = false;
      return IoResult::wouldBlock();
    }
    return IoResult::failed(MSocketSupport::ErrnoToWsa(errno));
  }
}

IoResult PlainTransport::write(const char* buf, long n) {
  for (;;) {
    // MSG_NOSIGNAL: a peer that went away is an error, not a SIGPIPE.
    const ssize_t put = ::send(fd_, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
    if (put >= 0) return IoResult::done(put);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      wantRead_ = false;
      wantWrite_ = true;
      return IoResult::wouldBlock();
    }
    return IoResult::failed(MSocketSupport::ErrnoToWsa(errno));
  }
}

void PlainTransport::shutdown() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

}  // namespace vrlsock
