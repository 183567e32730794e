// Fuzz target: arbitrary bytes as an archive, read entry by entry as a
// verification reads it, with and without a component stripped.
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>

#include "archives.h"

namespace {

// "." or components joined by "/", none of them empty, "." or "..".
bool isPathBelowTop(const std::string& path) {
  if (path == ".") return true;
  const std::string framed = "/" + path + "/";
  return !path.empty() && framed.find("//") == std::string::npos &&
         framed.find("/./") == std::string::npos && framed.find("/../") == std::string::npos;
}

void read(std::string_view bytes, unsigned strip) {
  ArchiveSource source(bytes, "fuzz.tar", {0, strip});
  std::ostringstream err;
  std::string path;
  Expected x;
  uint32_t line = 0;
  int got;
  while ((got = source.next(&path, &x, &line, err)) == 1) {
    if (!err.str().empty() || !isPathBelowTop(path) || line == 0) __builtin_trap();
    // A regular file states its size and digest, or is said not checked.
    const bool file = (x.keywords & kKwType) && x.type == EntryType::kFile;
    if (file && (x.size < 0 || x.detail == nullptr || x.detail->digests.size() != 1 ||
                 x.detail->digests[0].hex.size() != 64))
      __builtin_trap();
    if (!(x.keywords & kKwType) && (x.detail == nullptr || x.detail->unchecked.empty()))
      __builtin_trap();
  }
  // A refusal says what is wrong in exactly one line; the end says nothing;
  // and the source stays where it stopped.
  const std::string message = err.str();
  if ((got == 0) != message.empty()) __builtin_trap();
  if (got != 0 && (message.back() != '\n' || message.find('\n') != message.size() - 1))
    __builtin_trap();
  if (source.next(&path, &x, &line, err) != got || err.str() != message) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  read(bytes, 0);
  read(bytes, 1);
  return 0;
}
