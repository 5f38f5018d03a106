#include "FileIo.h"

#include <cerrno>
#include <unistd.h>

namespace vrl {

bool WriteAll(int fd, QByteArrayView bytes) {
  const char* p = bytes.data();
  qsizetype left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= n;
  }
  return true;
}

}  // namespace vrl
