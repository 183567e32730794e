// FindYourself.cpp: finding the directory that holds the program file.
#include "FindYourself.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "canonpath.h"

namespace {

const int kPathSize = 1024;

// A chain of links longer than this is a cycle.
const int kMaxLinks = 40;

int inited = 0;
char* run_dir = nullptr;
char* cwd_dir = nullptr;
char* commandName = nullptr;

// Ends the process when `accessor` is called before initFindRunDirectory.
void requireInited(const char* accessor) {
  if (inited) return;
  fprintf(stderr,
          "%s() called without initFindRunDirectory() being called first\n",
          accessor);
  exit(1);
}

// Copies before it frees: `value` may be the very string it replaces, as in
// setCurDirectory(getCurDirectory()).
void replace(char** slot, const char* value) {
  char* copy = strdup(value);
  free(*slot);
  *slot = copy;
}

// Joins `dir` and `file` into `result` (kPathSize bytes) and, when that names
// an executable file (owner-execute bit set, not a directory), follows its
// symbolic links to the real file and leaves that file's directory in
// `result`. Returns 0, or -1 with errno set.
int resolve(const char* dir, const char* file, char* result,
            char** resolvedName) {
  const size_t dirLength = strlen(dir), fileLength = strlen(file);
  errno = ENAMETOOLONG;
  if (dirLength + fileLength + 2 > static_cast<size_t>(kPathSize)) return -1;
  memcpy(result, dir, dirLength);
  result[dirLength] = '/';
  memcpy(result + dirLength + 1, file, fileLength + 1);

  struct stat st;
  if (stat(result, &st) != 0) return -1;
  if (S_ISDIR(st.st_mode) || (st.st_mode & S_IXUSR) == 0) {
    errno = EACCES;
    return -1;
  }

  // A relative target is taken from the link's own directory.
  char target[kPathSize];
  int links = 0;
  ssize_t n;
  while ((n = readlink(result, target, sizeof target)) >= 0) {
    if (n == static_cast<ssize_t>(sizeof target) || ++links > kMaxLinks) {
      errno = n == static_cast<ssize_t>(sizeof target) ? ENAMETOOLONG : ELOOP;
      return -1;
    }
    target[n] = '\0';
    if (target[0] == '/') {
      memcpy(result, target, n + 1);
    } else {
      char* slash = strrchr(result, '/');  // every candidate holds one
      const size_t keep = slash - result + 1;
      if (keep + n + 1 > static_cast<size_t>(kPathSize)) {
        errno = ENAMETOOLONG;
        return -1;
      }
      memcpy(result + keep, target, n + 1);
    }
  }
  if (errno != EINVAL) return -1;  // EINVAL: not a link, the real file

  char* slash = strrchr(result, '/');
  *slash = '\0';
  if (resolvedName != nullptr) *resolvedName = slash + 1;
  return 0;
}

// Finds the run directory of `command` into `result` (kPathSize bytes).
// `cwd` (kPathSize bytes) is filled with the current directory when it does
// not hold an absolute path. `pathList` is PATH, or null. Returns 0, or -1
// with errno set.
int find_run_directory(const char* command, char* cwd, char* result,
                       const char** lastComponent, char** resolvedName,
                       const char* pathList) {
  if (command == nullptr || command[0] == '\0' || cwd == nullptr ||
      result == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (cwd[0] != '/' && getcwd(cwd, kPathSize) == nullptr) return -1;

  const char* slash = strrchr(command, '/');
  if (lastComponent != nullptr)
    *lastComponent = slash != nullptr ? slash + 1 : command;

  int found;
  if (command[0] == '/') {
    found = resolve("", command + 1, result, resolvedName);
  } else if (slash != nullptr) {
    found = resolve(cwd, command, result, resolvedName);
  } else {
    // Elements are tried from left to right; an empty one is the current
    // directory, and a ":" at the very end adds none. PATH is not copied
    // into a fixed buffer: an element too long for a candidate fails as a
    // candidate, and the search goes on.
    std::string list = pathList != nullptr && pathList[0] != '\0' ? pathList : ".";
    if (list.back() == ':') list.pop_back();
    found = -1;
    size_t start = 0;
    for (;;) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      const std::string element = list.substr(start, end - start);
      if (element[0] == '/') {
        found = resolve(element.c_str(), command, result, resolvedName);
      } else if (strlen(cwd) + element.size() + 2 > static_cast<size_t>(kPathSize)) {
        errno = ENAMETOOLONG;
      } else {
        const std::string dir = std::string(cwd) + "/" + element;
        found = resolve(dir.c_str(), command, result, resolvedName);
      }
      if (found == 0 || end == list.size()) break;
      start = end + 1;
    }
  }

  // A directory found through the element "." is the current directory.
  if (found == 0) {
    const size_t length = strlen(result);
    if (length >= 2 && strcmp(result + length - 2, "/.") == 0)
      result[length - 2] = '\0';
  }
  return found;
}

}  // namespace

void initFindRunDirectory(const char* command) {
  char cwd[kPathSize];
  const char* current = getCurDirectory();
  if (strlen(current) < sizeof cwd)
    strcpy(cwd, current);
  else
    cwd[0] = '\0';  // too long to hold: find_run_directory asks the system
  char result[kPathSize];
  if (find_run_directory(command, cwd, result, nullptr, nullptr,
                         getenv("PATH")) != 0) {
    fprintf(stderr, "initFindRunDirectory() failed\n");
    exit(1);
  }
  inited = 1;
  replace(&run_dir, result);
  replace(&cwd_dir, cwd);

  char canonical[kCanonPathSize];
  canonicalizePath(command, canonical);
  replace(&commandName,
          getBasename(canonical[0] != '\0' ? canonical : command));
}

const char* getRunDirectory() {
  requireInited("getRunDirectory");
  return run_dir;
}

const char* getCurDirectory() {
  if (inited) return cwd_dir;
  char cwd[kPathSize];
  if (getcwd(cwd, sizeof cwd) == nullptr) {
    fprintf(stderr, "getcwd() failed - errno %d\n", errno);
    exit(1);
  }
  replace(&cwd_dir, cwd);
  return cwd_dir;
}

void setCurDirectory(const char* dir) { replace(&cwd_dir, dir); }

const char* getCommandName() {
  requireInited("getCommandName");
  return commandName;
}
