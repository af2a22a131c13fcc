// The one bounded wait both socket kinds of the Linux backend make: poll a descriptor for reading
// or writing. 1 ready, 0 not within `timeoutMs` (or interrupted by a signal), -1 with errno in
// *error.
#pragma once

#include <poll.h>

#include <cerrno>

namespace zel {

inline int PollOne(int fd, bool forWrite, int timeoutMs, int* error) {
  pollfd p{fd, short(forWrite ? POLLOUT : POLLIN), 0};
  int r = ::poll(&p, 1, timeoutMs);
  if (r < 0) {
    if (errno == EINTR) return 0;
    if (error) *error = errno;
    return -1;
  }
  return r > 0 ? 1 : 0;
}

}  // namespace zel
