// Fuzz target: arbitrary bytes as a packing list, verified in-process against
// a small fixed tree: reading, tree building, walking and reporting.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <streambuf>
#include <string>

#include "directory.h"

namespace {

// Swallows the report: only the run's behaviour matters here.
class NullBuf : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

std::string made;

void removeRoot() { std::filesystem::remove_all(made); }

std::string makeRoot() {
  char tmpl[] = "/tmp/korlan-fuzz-root-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) abort();
  const std::string root = made = tmpl;
  atexit(removeRoot);
  if (system(("mkdir -p " + root + "/bin " + root + "/lib/a/b").c_str()) != 0)
    abort();
  std::ofstream(root + "/bin/ls") << "12345";
  std::ofstream(root + "/lib/a/b/f") << "";
  std::ofstream(root + "/README") << "readme\n";
  if (symlink("../README", (root + "/lib/link").c_str()) != 0) abort();
  if (symlink("nowhere", (root + "/lib/dangling").c_str()) != 0) abort();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string root = makeRoot();
  static NullBuf nullBuf;
  static std::ostream null(&nullBuf);

  std::istringstream list(std::string(reinterpret_cast<const char*>(data), size));
  const int status = verify(root.c_str(), list, "fuzz.lst", null, null);
  if (status != 0 && status != 255) abort();
  if (status == 0 && CountErrors > CountFiles) abort();
  return 0;
}
