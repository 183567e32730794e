// fdstream.cpp: output to a file descriptor.
#include "fdstream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

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

void Descriptor::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

FdInBuf::FdInBuf(int fd, char* buffer, size_t size)
    : fd_(fd), buffer_(buffer), size_(size) {
  setg(buffer_, buffer_, buffer_);
}

int FdInBuf::underflow() {
  for (;;) {
    const ssize_t n = read(fd_, buffer_, size_);
    if (n < 0 && errno == EINTR) continue;
    // The stream catches what its buffer throws, and sets badbit.
    if (n < 0) throw std::system_error(errno, std::generic_category());
    if (n == 0) return traits_type::eof();
    setg(buffer_, buffer_, buffer_ + n);
    return traits_type::to_int_type(*buffer_);
  }
}

int openList(const char* path, bool found) {
  const int flags = O_RDONLY | O_NOCTTY | O_CLOEXEC;
  if (!found) return open(path, flags);
  const int fd = open(path, flags | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st;
  int error = 0;
  if (fstat(fd, &st) != 0)
    error = errno;
  else if (!S_ISREG(st.st_mode))
    error = EINVAL;
  // Left non-blocking: a regular file reads as ever, and one of /proc whose
  // read would wait (/proc/kmsg) fails at once (EAGAIN).
  if (error == 0) return fd;
  close(fd);
  errno = error;
  return -1;
}
