// fdstream.h: output to a file descriptor through a buffer of the caller's,
// written with write(2) and nothing else: standard output, and the lists
// --make-lists writes through the descriptor that created them; and input
// from one, the lists a run reads through the descriptor it judged.
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

// A descriptor owned: closed when it goes, whatever leaves the scope (a
// hash that runs out of memory throws).
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1);

 private:
  int fd_;
};

// Input read with read(2) through a buffer of the caller's. A read that
// fails sets the stream's badbit.
class FdInBuf : public std::streambuf {
 public:
  FdInBuf(int fd, char* buffer, size_t size);
  FdInBuf(const FdInBuf&) = delete;
  FdInBuf& operator=(const FdInBuf&) = delete;

 protected:
  int underflow() override;

 private:
  const int fd_;
  char* const buffer_;
  const size_t size_;
};

// Opens a list, a sums file or a manifest to read. One that a run found by
// its name (`found`: in the installation, or beside another list) must be
// a regular file: it is opened and read without waiting, as a FIFO, a
// device or /proc/kmsg would have a run wait for ever, and refused when it
// is anything else (-1 with errno EINVAL). One the caller named may be a pipe.
// Returns the descriptor, or -1 with errno set.
int openList(const char* path, bool found);

#endif  // KORLAN_FDSTREAM_H_
