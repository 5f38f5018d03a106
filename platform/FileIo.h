#pragma once
// Writing to a file descriptor until everything is written (short writes, EINTR).
#include <QByteArrayView>

namespace vrl {

// False on the first error (errno tells which); a zero-length write counts as an error.
bool WriteAll(int fd, QByteArrayView bytes);

}  // namespace vrl
