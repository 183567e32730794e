// canonpath.cpp: path strings in canonical form.
#include "canonpath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "canonpath_cache.h"

namespace {

// What one lookup found.
struct cache_entry {
  char* path;  // the looked-up path, the key
  int exists;  // 1 when lstat succeeded
  char* link;  // the symbolic link's target; null for no link, or none read
};

const int kCacheSize = 5;

// Entry 0 is the newest; entries 0 to nitems - 1 are in use.
cache_entry cache[kCacheSize];
int nitems = 0;

// More splices than this in one call can only be a cycle of links.
const int kMaxSplices = 40;

void release(cache_entry* e) {
  free(e->path);
  free(e->link);
  e->path = nullptr;
  e->link = nullptr;
}

// Looks `path` up, or finds it in the cache. Replacement is first in, first
// out: a hit moves nothing, and a cached answer, a miss included, stands
// until it is evicted or the cache is reset. The entry is valid until the
// next call.
const cache_entry* dotdot(const char* path) {
  for (int i = 0; i < nitems; ++i)
    if (strcmp(cache[i].path, path) == 0) return &cache[i];

  // Everything is looked up and copied before the cache changes, so that
  // running out of memory leaves it as it was.
  char* copy = strdup(path);
  if (copy == nullptr) throw std::bad_alloc();
  char* link = nullptr;
  struct stat st;
  const bool exists = lstat(path, &st) == 0;
  if (exists && (st.st_mode & S_IFMT) == S_IFLNK) {
    char target[kCanonPathSize];
    // A target that fills the buffer may have been cut; it is kept whole
    // enough to be too long for any splice, which then gives up.
    const ssize_t n = readlink(path, target, sizeof target);
    if (n > 0) {
      link = static_cast<char*>(malloc(n + 1));
      if (link == nullptr) {
        free(copy);
        throw std::bad_alloc();
      }
      memcpy(link, target, n);
      link[n] = '\0';
    }
  }

  if (nitems == kCacheSize) {
    release(&cache[kCacheSize - 1]);
    --nitems;
  }
  memmove(&cache[1], &cache[0], nitems * sizeof cache[0]);
  cache_entry* e = &cache[0];
  e->path = copy;
  e->link = link;
  e->exists = exists;
  ++nitems;
  return e;
}

char* unchanged(const char* src, char* out) {
  // The caller guarantees that src fits: it was copied into out before.
  strcpy(out, src);
  return out;
}

}  // namespace

const char* getBasename(const char* path) {
  if (path == nullptr) return nullptr;
  const char* slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

char* getDirname(const char* path) {
  if (path == nullptr || path[0] == '\0' || path[1] == '\0') return nullptr;
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) return nullptr;
  if (slash == path) return strdup("/");
  return strndup(path, slash - path);
}

char* canonicalizePath(const char* src, char* buf) {
  const size_t srcLength = strlen(src);
  if (srcLength >= static_cast<size_t>(kCanonPathSize)) {
    buf[0] = '\0';
    return buf;
  }
  memcpy(buf, src, srcLength + 1);

  // The scan works in place: the input is read at r, the output written at
  // w <= r. No ".." removes anything below floor: the root of an absolute
  // path, or the ".." components a relative path has to keep.
  bool absolute = buf[0] == '/';
  size_t w = 0, r = 0, floor = 0;
  if (absolute) w = r = floor = 1;
  int splices = 0;

  for (;;) {
    while (buf[r] == '/') ++r;
    if (buf[r] == '\0') break;
    const size_t start = r;
    while (buf[r] != '\0' && buf[r] != '/') ++r;
    const size_t length = r - start;
    const bool slashAfter = buf[r] == '/';

    if (length == 1 && buf[start] == '.') continue;

    if (length != 2 || buf[start] != '.' || buf[start + 1] != '.') {
      memmove(buf + w, buf + start, length);
      w += length;
      if (slashAfter) buf[w++] = '/';
      continue;
    }

    if (w == floor) {
      // Nothing to remove. At the root ".." is the root itself; a relative
      // path keeps its leading ".." components.
      if (!absolute) {
        buf[w++] = '.';
        buf[w++] = '.';
        if (slashAfter) buf[w++] = '/';
        floor = w;
      }
      continue;
    }

    // The output ends with the "/" after its last component; the prefix is
    // the output without it.
    char prefix[kCanonPathSize];
    memcpy(prefix, buf, w - 1);
    prefix[w - 1] = '\0';
    const char* lastSlash = strrchr(prefix, '/');
    const size_t lastStart = lastSlash != nullptr ? lastSlash - prefix + 1 : 0;

    const cache_entry* e = dotdot(prefix);
    if (!e->exists) return unchanged(src, buf);
    if (e->link == nullptr) {
      w = lastStart;
      continue;
    }

    // Put the link's target in the place of the component, followed by
    // "/.." and the rest of the input, and scan on from there: the ".." then
    // looks up the target itself, so chains of links resolve link by link.
    if (++splices > kMaxSplices) return unchanged(src, buf);
    const bool fromRoot = e->link[0] == '/';
    const size_t at = fromRoot ? 0 : lastStart;
    const size_t linkLength = strlen(e->link);
    const size_t restLength = strlen(buf + r);
    if (at + linkLength + 3 + restLength >= static_cast<size_t>(kCanonPathSize))
      return unchanged(src, buf);
    char rest[kCanonPathSize];
    memcpy(rest, buf + r, restLength + 1);
    memcpy(buf + at, e->link, linkLength);
    memcpy(buf + at + linkLength, "/..", 3);
    memcpy(buf + at + linkLength + 3, rest, restLength + 1);
    if (fromRoot) {
      absolute = true;
      w = r = floor = 1;
    } else {
      w = r = at;
    }
  }

  if (w > 1 && buf[w - 1] == '/') --w;  // "/" alone is the root
  buf[w] = '\0';
  return buf;
}

void canonicalizeReset() {
  for (int i = 0; i < nitems; ++i) release(&cache[i]);
  nitems = 0;
}

int canonicalizeCacheCount() { return nitems; }

const char* canonicalizeCachePath(int i) {
  return i >= 0 && i < nitems ? cache[i].path : nullptr;
}
