// fdstream.h: output to a file descriptor through a buffer of the caller's,
// written with write(2) and nothing else: standard output, and the lists
// --make-lists writes through the descriptor that created them.
#ifndef KORLAN_FDSTREAM_H_
#define KORLAN_FDSTREAM_H_

#include <cstddef>
#include <streambuf>

// A flush is one write call (more only when the descriptor takes part of
// it); between flushes, output gathers in the buffer. A descriptor in
// non-blocking mode (a pipe whose reader set O_NONBLOCK) is waited for
// until it takes more: only a real write error fails, with errno set.
class FdBuf : public std::streambuf {
 public:
  // `buffer`, of `size` bytes, outlives this. What was not flushed when
  // it goes is dropped: the owner flushes, and learns whether that worked.
  FdBuf(int fd, char* buffer, size_t size);
  FdBuf(const FdBuf&) = delete;
  FdBuf& operator=(const FdBuf&) = delete;

  // The errno of the first write that failed, or 0: the stream over it
  // fails from then on, and errno itself will have moved on.
  int error() const { return error_; }

 protected:
  int overflow(int c) override;
  int sync() override;

 private:
  const int fd_;
  char* const buffer_;
  const size_t size_;
  int error_ = 0;
};

#endif  // KORLAN_FDSTREAM_H_
