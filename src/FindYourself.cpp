// FindYourself.cpp: finding the directory that holds the program file.
#include "FindYourself.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "canonpath.h"
#include "status.h"

namespace {

// The longest path the system serves, NUL included. Paths are held in
// strings, not on the stack: a small stack must not limit how deep an
// installation may lie.
const size_t kPathSize = PATH_MAX;

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
  exit(kStatusNotFound);
}

// Copies before it frees: `value` may be the very string it replaces, as in
// setCurDirectory(getCurDirectory()).
void replace(char** slot, const char* value) {
  char* copy = value != nullptr ? strdup(value) : nullptr;
  if (value != nullptr && copy == nullptr) throw std::bad_alloc();
  free(*slot);
  *slot = copy;
}

// Joins `dir` and `file` into `result` and, when that names a file the
// caller may execute, follows its symbolic links to the real file and leaves
// that file's directory in `result`; `resolvedName`, when given, receives the
// position of the file's name in it. Returns 0, or -1 with errno set.
int resolve(const std::string& dir, const char* file, std::string* result,
            size_t* resolvedName) {
  errno = ENAMETOOLONG;
  if (dir.size() + strlen(file) + 2 > kPathSize) return -1;
  *result = dir;
  *result += '/';
  *result += file;

  // Execute permission as the kernel grants it to this process, the test the
  // shell makes: a file of another user that we may not run is not the
  // program that was started, and root may run a file without the owner bit.
  struct stat st;
  if (stat(result->c_str(), &st) != 0) return -1;
  if (S_ISDIR(st.st_mode)) {
    errno = EACCES;
    return -1;
  }
  if (faccessat(AT_FDCWD, result->c_str(), X_OK, AT_EACCESS) != 0) return -1;

  // A relative target is taken from the link's own directory.
  std::string target(kPathSize, '\0');
  int links = 0;
  ssize_t n;
  while ((n = readlink(result->c_str(), &target[0], target.size())) >= 0) {
    if (n == static_cast<ssize_t>(target.size()) || ++links > kMaxLinks) {
      errno = n == static_cast<ssize_t>(target.size()) ? ENAMETOOLONG : ELOOP;
      return -1;
    }
    if (target[0] == '/') {
      result->assign(target, 0, n);
    } else {
      const size_t keep = result->rfind('/') + 1;  // every candidate holds one
      if (keep + n + 1 > kPathSize) {
        errno = ENAMETOOLONG;
        return -1;
      }
      result->replace(keep, std::string::npos, target, 0, n);
    }
  }
  if (errno != EINVAL) return -1;  // EINVAL: not a link, the real file

  const size_t slash = result->rfind('/');
  if (resolvedName != nullptr) *resolvedName = slash + 1;
  result->resize(slash);
  return 0;
}

// Fills `cwd` with the current directory unless it already holds an
// absolute path. Only names that are relative to it need it: a program
// started by absolute name runs from a deleted directory or from one too
// deep for the system to name.
void needCurDirectory(std::string* cwd) {
  if (cwd->empty() || (*cwd)[0] != '/') *cwd = getCurDirectory();
}

// Finds the run directory of `command` into `result`. `cwd` is filled with
// the current directory, when a relative name needs it and it does not hold
// an absolute path. `pathList` is PATH, or null. Returns 0, or -1 with errno
// set.
int find_run_directory(const char* command, std::string* cwd,
                       std::string* result, const char** lastComponent,
                       size_t* resolvedName, const char* pathList) {
  if (command == nullptr || command[0] == '\0' || cwd == nullptr ||
      result == nullptr) {
    errno = EINVAL;
    return -1;
  }

  const char* slash = strrchr(command, '/');
  if (lastComponent != nullptr)
    *lastComponent = slash != nullptr ? slash + 1 : command;

  int found;
  if (command[0] == '/') {
    found = resolve("", command + 1, result, resolvedName);
  } else if (slash != nullptr) {
    needCurDirectory(cwd);
    found = resolve(*cwd, command, result, resolvedName);
  } else {
    // Elements are tried from left to right; an empty one, a ":" at the very
    // end included, is the current directory, as the shell takes it. An
    // element too long for a candidate fails as a candidate, and the search
    // goes on.
    const std::string list =
        pathList != nullptr && pathList[0] != '\0' ? pathList : ".";
    found = -1;
    size_t start = 0;
    for (;;) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      const std::string element = list.substr(start, end - start);
      if (element[0] == '/') {
        found = resolve(element, command, result, resolvedName);
      } else {
        needCurDirectory(cwd);
        if (cwd->size() + element.size() + 2 > kPathSize)
          errno = ENAMETOOLONG;
        else
          found = resolve(*cwd + "/" + element, command, result, resolvedName);
      }
      if (found == 0 || end == list.size()) break;
      start = end + 1;
    }
  }

  // A directory found through the element "." is the current directory.
  if (found == 0) {
    const size_t length = result->size();
    if (length >= 2 && result->compare(length - 2, 2, "/.") == 0)
      result->resize(length - 2);
  }
  return found;
}

}  // namespace

void initFindRunDirectory(const char* command) {
  // Once initialised, names are taken from the recorded directory; before,
  // from the system's, asked for only when a name needs it.
  std::string cwd = inited && cwd_dir != nullptr ? cwd_dir : "";
  std::string result;
  if (find_run_directory(command, &cwd, &result, nullptr, nullptr,
                         getenv("PATH")) != 0) {
    fprintf(stderr, "initFindRunDirectory() failed\n");
    exit(kStatusNotFound);
  }
  inited = 1;
  replace(&run_dir, result.c_str());
  // A directory nobody needed stays unrecorded until getCurDirectory asks.
  replace(&cwd_dir, cwd.empty() ? nullptr : cwd.c_str());

  std::string canonical(kCanonPathSize, '\0');
  canonicalizePath(command, &canonical[0]);
  replace(&commandName,
          getBasename(canonical[0] != '\0' ? canonical.c_str() : command));
}

const char* getRunDirectory() {
  requireInited("getRunDirectory");
  return run_dir;
}

const char* getCurDirectory() {
  if (inited && cwd_dir != nullptr) return cwd_dir;
  std::string cwd(kPathSize, '\0');
  if (getcwd(&cwd[0], cwd.size()) == nullptr) {
    fprintf(stderr, "getcwd() failed - errno %d\n", errno);
    exit(kStatusNotFound);
  }
  replace(&cwd_dir, cwd.c_str());
  return cwd_dir;
}

void setCurDirectory(const char* dir) { replace(&cwd_dir, dir); }

const char* getCommandName() {
  requireInited("getCommandName");
  return commandName;
}
