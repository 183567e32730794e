// beneath.cpp: opening a path below ROOT without following links.
#include "beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

const char kLinkOnPath[] = "a symbolic link stands on its path";

namespace {

// Whether openat2 answered once: a kernel without it (ENOSYS), or a filter
// that refuses it (EPERM), is not asked again.
std::atomic<bool> noOpenat2{false};

int byOpenat2(int topFd, const char* path, int flags,
              uint64_t resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH |
                                 RESOLVE_NO_MAGICLINKS) {
#ifdef SYS_openat2
  open_how how = {};
  how.flags = static_cast<uint64_t>(flags);
  how.resolve = resolve;
  for (int tries = 0;; ++tries) {
    const long fd = syscall(SYS_openat2, topFd, path, &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    // EAGAIN: a rename elsewhere in the tree raced the resolution.
    if (errno == EAGAIN && tries < 16) continue;
    if (errno == ENOSYS || errno == EPERM) {
      noOpenat2.store(true, std::memory_order_relaxed);
      errno = ENOSYS;
    }
    return -1;
  }
#else
  (void)topFd, (void)path, (void)flags, (void)resolve;
  noOpenat2.store(true, std::memory_order_relaxed);
  errno = ENOSYS;
  return -1;
#endif
}

// One component at a time from `topFd`: each directory opened O_PATH with
// O_NOFOLLOW, then the last component with `flags` and O_NOFOLLOW.
int byComponents(int topFd, std::string_view path, int flags) {
  int dirFd = topFd;
  std::string part;
  const auto fail = [&dirFd, topFd](int error) {
    if (dirFd != topFd) close(dirFd);
    errno = error;
    return -1;
  };
  for (;;) {
    const size_t slash = path.find('/');
    part.assign(path.substr(0, slash));
    path.remove_prefix(slash == std::string_view::npos ? path.size()
                                                       : slash + 1);
    const bool last = path.find_first_not_of('/') == std::string_view::npos;
    if (part.empty() || part == ".") {
      if (!last) continue;
      part = ".";
    }
    const int next =
        last ? openat(dirFd, part.c_str(), flags | O_NOFOLLOW)
             : openat(dirFd, part.c_str(),
                      O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      int error = errno;
      // O_NOFOLLOW with O_DIRECTORY (or O_PATH) says ENOTDIR of a link, or
      // opens the link itself: either is a link on the way.
      struct stat st;
      if ((error == ENOTDIR || error == ELOOP) &&
          fstatat(dirFd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode))
        error = ELOOP;
      return fail(error);
    }
    if (dirFd != topFd) close(dirFd);
    dirFd = next;
    if (last) break;
  }
  // O_PATH without O_DIRECTORY opens a link at the end as itself.
  struct stat st;
  if ((flags & O_PATH) && fstat(dirFd, &st) == 0 && S_ISLNK(st.st_mode))
    return fail(ELOOP);
  return dirFd;
}

}  // namespace

int openBeneath(int topFd, std::string_view path, int flags) {
  flags |= O_CLOEXEC;
  if (path.empty()) path = ".";
  if (!noOpenat2.load(std::memory_order_relaxed)) {
    const int fd = byOpenat2(topFd, std::string(path).c_str(), flags);
    if (fd >= 0 || errno != ENOSYS) return fd;
  }
  return byComponents(topFd, path, flags);
}

int openInRoot(int topFd, std::string_view path, int flags, bool topIsRoot) {
  flags |= O_CLOEXEC;
  if (path.empty()) path = ".";
  const std::string p(path);
  if (!noOpenat2.load(std::memory_order_relaxed)) {
    const int fd = byOpenat2(topFd, p.c_str(), flags | O_NOFOLLOW,
                             RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS);
    if (fd >= 0 || errno != ENOSYS) return fd;
  }
  if (topIsRoot) return openat(topFd, p.c_str(), flags | O_NOFOLLOW);
  errno = ENOSYS;
  return -1;
}
