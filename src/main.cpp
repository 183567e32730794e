// main.cpp: the korlan program.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <new>

#include "fdstream.h"
#include "korlan.h"
#include "message.h"
#include "status.h"

namespace {

// Opens each of descriptors 0, 1 and 2 that is closed on /dev/null, for
// reading only: a file the run creates must not take the number of
// standard error and receive its messages, and a write to it still fails,
// as to a closed one (a report that cannot be written is still said so).
void holdStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", O_RDONLY);
}

// The buffer lives in static storage, not on the stack: Korlan must run
// wherever the C runtime itself can start, under the smallest stack limit.
char stdoutBuffer[1 << 16];

}  // namespace

int main(int argc, char** argv) {
  holdStandardDescriptors();
  // The report flushes exactly where a user must see progress: at every
  // dot and every end of line; a flush is one write call, which is what a
  // list of a million entries needs.
  FdBuf buf(STDOUT_FILENO, stdoutBuffer, sizeof stdoutBuffer);
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
