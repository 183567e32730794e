// Fuzz target: arbitrary bytes as a packing list, verified in-process against
// a small fixed tree: reading, tree building, walking and reporting. The
// first byte chooses the options: bit 0 --quiet, 1 --tsv, 2 --full-paths,
// 3 --strict, 4 two probe workers, 5 --unlisted, 6 --json (without --tsv).
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
#include "verify.h"

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
  if (system(("mkdir -p " + root + "/bin " + root + "/lib/a/b").c_str()) != 0) abort();
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

  if (size == 0) return 0;
  Options options;
  options.quiet = data[0] & 1;
  options.tsv = data[0] & 2;
  options.fullPaths = data[0] & 4;
  options.strict = data[0] & 8;
  options.workers = data[0] & 16 ? 2 : 0;
  options.unlisted = data[0] & 32;
  options.json = (data[0] & 64) && !options.tsv;
  std::istringstream list(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  const int status = verify(root.c_str(), list, "fuzz.lst", null, null, options);
  if (status == 255) return 0;
  if (CountErrors > CountFiles) abort();
  // Without --strict a completed run ends with 0; with it, 2 exactly when a
  // comparison failed or none was made. The fixed tree holds files that
  // some lists leave unlisted, so --unlisted makes comparisons of its own.
  const bool failed = CountErrors > 0 || CountFiles == 0;
  if (options.unlisted && CountFiles == 0) abort();
  if (status != (options.strict && failed ? 2 : 0)) abort();
  return 0;
}
