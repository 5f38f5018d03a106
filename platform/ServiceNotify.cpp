#include "ServiceNotify.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vrl {

bool NotifyServiceManager(const QByteArray& state) {
  const QByteArray path = qgetenv("NOTIFY_SOCKET");
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() < 2 || (path[0] != '/' && path[0] != '@') ||
      static_cast<size_t>(path.size()) >= sizeof addr.sun_path) {
    errno = EINVAL;
    return false;
  }
  std::memcpy(addr.sun_path, path.constData(), static_cast<size_t>(path.size()));
  // "@name" is the abstract namespace: the name starts with a zero byte and has no terminator.
  if (path[0] == '@') addr.sun_path[0] = '\0';
  const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() +
                                               (path[0] == '@' ? 0 : 1));
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const ssize_t sent = ::sendto(fd, state.constData(), static_cast<size_t>(state.size()),
                                MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), len);
  const int err = errno;
  ::close(fd);
  errno = err;
  return sent == state.size();
}

}  // namespace vrl
