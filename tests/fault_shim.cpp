// fault_shim.cpp: loaded with LD_PRELOAD by the end-to-end tests, to make
// the system fail where a test asks it to:
// - KORLAN_TEST_READ_LIMIT=N: read() fails with EIO on every descriptor
//   above standard error once N bytes have been read from such descriptors,
//   so that a list breaks off at a chosen byte as a failing disk would;
// - KORLAN_TEST_THREADS_OUT_OF_MEMORY: every malloc() of a thread other
//   than the main one fails, after a pause long enough for the main thread
//   to be waiting for that thread's work.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern "C" void* __libc_malloc(size_t size);

extern "C" ssize_t read(int fd, void* buf, size_t count) {
  using Read = ssize_t (*)(int, void*, size_t);
  static const Read real = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "read"));
  static const char* limitText = getenv("KORLAN_TEST_READ_LIMIT");
  static size_t done = 0;
  if (fd <= 2 || limitText == nullptr) return real(fd, buf, count);
  const size_t limit = strtoul(limitText, nullptr, 10);
  if (done >= limit) {
    errno = EIO;
    return -1;
  }
  if (count > limit - done) count = limit - done;
  const ssize_t n = real(fd, buf, count);
  if (n > 0) done += n;
  return n;
}

extern "C" void* malloc(size_t size) {
  static const bool threadsFail = getenv("KORLAN_TEST_THREADS_OUT_OF_MEMORY") != nullptr;
  if (threadsFail && gettid() != getpid()) {
    usleep(300000);
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}
