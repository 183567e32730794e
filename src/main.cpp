// main.cpp: the korlan program.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <new>
#include <streambuf>

#include "korlan.h"
#include "message.h"
#include "status.h"

namespace {

// The buffer lives in static storage, not on the stack: Korlan must run
// wherever the C runtime itself can start, under the smallest stack limit.
char stdoutBuffer[1 << 16];

// Standard output as a plain buffer over file descriptor 1. The report
// flushes exactly where a user must see progress: at every dot and every
// end of line. A flush here is one write call and nothing else, which is
// what a list of a million entries needs; between flushes, output gathers
// in the buffer. A descriptor in non-blocking mode (a pipe whose reader
// set O_NONBLOCK) is waited for until it takes more: only a real write
// error loses the report.
class StdoutBuf : public std::streambuf {
 public:
  StdoutBuf() { setp(stdoutBuffer, stdoutBuffer + sizeof stdoutBuffer); }
  ~StdoutBuf() override { sync(); }

 protected:
  int overflow(int c) override {
    if (sync() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      *pptr() = traits_type::to_char_type(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }

  int sync() override {
    const char* p = pbase();
    while (p < pptr()) {
      const ssize_t n = write(STDOUT_FILENO, p, pptr() - p);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd writable = {STDOUT_FILENO, POLLOUT, 0};
        if (poll(&writable, 1, -1) < 0 && errno != EINTR) return -1;
        continue;
      }
      if (n <= 0) return -1;
      p += n;
    }
    setp(stdoutBuffer, stdoutBuffer + sizeof stdoutBuffer);
    return 0;
  }
};

}  // namespace

int main(int argc, char** argv) {
  StdoutBuf buf;
  std::ostream out(&buf);
  int status;
  try {
    status = runKorlan(argc, argv, out, std::cerr);
  } catch (const std::bad_alloc&) {
    // A verification says how far it got; this is for the rest of the
    // program (finding itself, making a list).
    complain(std::cerr, "out of memory");
    status = kStatusError;
  }
  // A report that could not be written is no report: a script must not take
  // the status of a completed run for a result nobody could read.
  if (!out.flush()) {
    complain(std::cerr, "cannot write standard output");
    return kStatusError;
  }
  return status;
}
