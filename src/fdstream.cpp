// fdstream.cpp: output to a file descriptor.
#include "fdstream.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

FdBuf::FdBuf(int fd, char* buffer, size_t size)
    : fd_(fd), buffer_(buffer), size_(size) {
  setp(buffer_, buffer_ + size_);
}

int FdBuf::overflow(int c) {
  if (sync() != 0) return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

int FdBuf::sync() {
  const char* p = pbase();
  while (p < pptr()) {
    const ssize_t n = write(fd_, p, pptr() - p);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd writable = {fd_, POLLOUT, 0};
      if (poll(&writable, 1, -1) < 0 && errno != EINTR) return -1;
      continue;
    }
    if (n == 0) errno = ENOSPC;  // nothing taken: no room
    if (n <= 0) {
      if (error_ == 0) error_ = errno;
      return -1;
    }
    p += n;
  }
  setp(buffer_, buffer_ + size_);
  return 0;
}
