// pool.cpp: starting the pool's threads, and how many of them a run may
// have.
#include "pool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

bool startThread(pthread_t* thread, size_t stack, void* (*body)(void*),
                 void* arg) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
    // ThreadSanitizer's runtime starts no thread on a small stack.
#if !defined(__SANITIZE_THREAD__)
  if (stack > 0) pthread_attr_setstacksize(&attr, stack);
#else
  (void)stack;
#endif
  const bool started = pthread_create(thread, &attr, body, arg) == 0;
  pthread_attr_destroy(&attr);
  return started;
}

int usableCpus() {
  cpu_set_t set;
  int cpus = 1;
  if (sched_getaffinity(0, sizeof set, &set) == 0) cpus = CPU_COUNT(&set);
  return cpus < 1 ? 1 : cpus;
}

namespace {

// The descriptors open now below `limit`: the new ones take the free
// numbers below it (one inherited above it takes none of them).
// /proc/self/fd names them; without it, each possible descriptor is asked,
// up to a bound that any real process stays far below.
int openDescriptors(rlim_t limit) {
  if (DIR* dir = opendir("/proc/self/fd")) {
    const int own = dirfd(dir);
    int n = 0;
    while (const dirent* e = readdir(dir)) {
      if (e->d_name[0] == '.') continue;
      const long fd = strtol(e->d_name, nullptr, 10);
      if (fd != own && static_cast<rlim_t>(fd) < limit) ++n;
    }
    closedir(dir);
    return n;
  }
  const rlim_t kMostAsked = 1 << 16;
  int n = 0;
  for (rlim_t fd = 0; fd < limit && fd < kMostAsked; ++fd)
    if (fcntl(static_cast<int>(fd), F_GETFD) != -1) ++n;
  return n;
}

}  // namespace

long spareDescriptors() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return INT_MAX;
  return static_cast<long>(limit.rlim_cur) - openDescriptors(limit.rlim_cur);
}

int plannedWorkers(int perCpu, int each, int own) {
  const int kMost = 64;
  return workersWithinDescriptors(std::min(usableCpus() * perCpu, kMost), each,
                                  own);
}

int workersWithinDescriptors(int wanted, int each, int own) {
  const long free = spareDescriptors();
  if (free == INT_MAX) return wanted;
  const long spare = free - own;
  if (spare < 0) return -1;
  if (each <= 0) return wanted;
  const long fit = spare / each;
  return fit < wanted ? static_cast<int>(fit) : wanted;
}
