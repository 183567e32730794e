// Fuzz target: canonicalizePath, getDirname and getBasename on arbitrary
// paths, over a small tree with symbolic links (cycles included) made in a
// temporary directory. An input that starts with "@" is taken below that
// directory by its absolute path, one that starts with "%" by its path
// relative to the current directory, so that both kinds of lookup reach it.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "canonpath.h"

namespace {

std::string tree, treeFromCwd;

void setUp() {
  char tmpl[] = "/tmp/korlan-fuzz-canon-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) abort();
  tree = tmpl;
  atexit([] { std::filesystem::remove_all(tree); });
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr) abort();
  for (const char* p = cwd; *p != '\0'; ++p)
    if (*p == '/' && p[1] != '\0') treeFromCwd += "../";
  treeFromCwd += tree.substr(1);
  const std::string mk = "cd " + tree + " && mkdir -p a/b/c t/u p/q";
  if (system(mk.c_str()) != 0) abort();
  const char* links[][2] = {
      {"a/b", "rl"},  {"/", "root"},      {".", "dot"},      {"self", "self"},
      {"c2", "c1"},   {"c1", "c2"},       {"../rl", "a/up"}, {"/nowhere/x", "dang"},
      {"t/u/", "tl"}, {"r2/../r3", "r1"}, {"r3/.", "r2"},    {"r1", "r3"},
  };
  for (auto& l : links)
    if (symlink(l[0], (tree + "/" + l[1]).c_str()) != 0) abort();
  if (symlink((tree + "/t/u").c_str(), (tree + "/al").c_str()) != 0) abort();
}

// The canonical form of a path that holds no ".." component: runs of "/",
// "." components and a trailing "/" removed; no lookup is needed.
bool simpleForm(const std::string& src, std::string* out) {
  std::string r = !src.empty() && src[0] == '/' ? "/" : "";
  size_t i = 0;
  while (i < src.size()) {
    while (i < src.size() && src[i] == '/') ++i;
    size_t j = src.find('/', i);
    if (j == std::string::npos) j = src.size();
    const std::string c = src.substr(i, j - i);
    if (c == "..") return false;
    if (!c.empty() && c != ".") {
      if (!r.empty() && r.back() != '/') r += '/';
      r += c;
    }
    i = j;
  }
  *out = r;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (setUp(), true);
  (void)ready;
  std::string src(reinterpret_cast<const char*>(data),
                  strnlen(reinterpret_cast<const char*>(data), size));
  if (!src.empty() && src[0] == 'R') canonicalizeReset();
  if (!src.empty() && src[0] == '@') src = tree + src.substr(1);
  if (!src.empty() && src[0] == '%') src = treeFromCwd + src.substr(1);
  char out[kCanonPathSize];
  canonicalizePath(src.c_str(), out);
  const size_t length = strnlen(out, sizeof out);
  if (length == sizeof out) abort();  // not terminated inside the buffer
  if (src.size() >= sizeof out) {
    if (length != 0) abort();
  } else {
    std::string expected;
    if (simpleForm(src, &expected) && expected != out) abort();
  }

  char* d = getDirname(src.c_str());
  if (d != nullptr && strlen(d) >= src.size()) abort();
  free(d);
  const char* b = getBasename(src.c_str());
  if (b < src.c_str() || b > src.c_str() + src.size()) abort();
  return 0;
}
