// Fuzz target: arbitrary bytes as an mtree manifest, read entry by entry as a
// verification would, and each entry written as a line and read back.
#include <cstdint>
#include <sstream>
#include <string>

#include "manifest.h"

namespace {

std::string lineOf(const ManifestEntry& e) {
  std::ostringstream line;
  writeManifestLine(line, e, kKwAll);
  return line.str();
}

// "." or components joined by "/", none of them empty, "." or "..".
bool isPathBelowTop(const std::string& path) {
  if (path == ".") return true;
  const std::string framed = "/" + path + "/";
  return !path.empty() && framed.find("//") == std::string::npos &&
         framed.find("/./") == std::string::npos && framed.find("/../") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::ostringstream err;
  ManifestReader reader(in, "fuzz.mtree");
  ManifestEntry e;
  int got;
  while ((got = reader.next(&e, err)) == 1) {
    if (!err.str().empty() || !isPathBelowTop(e.path) || e.line == 0) __builtin_trap();
    // Any entry survives the writer: its line reads back as the same entry.
    // (Encoding may quadruple a name; no real path comes near the bound.)
    const std::string line = lineOf(e);
    if (line.size() > ManifestReader::kLongestLine) continue;
    std::istringstream again(line);
    std::ostringstream againErr;
    ManifestReader back(again, "line");
    ManifestEntry read;
    if (back.next(&read, againErr) != 1 || read.path != e.path) __builtin_trap();
    read.line = e.line;
    if (lineOf(read) != line || back.next(&read, againErr) != 0) __builtin_trap();
  }
  // A refusal says what is wrong in exactly one line, and of a first line
  // that looks like a packing list's, in one more that says so; an
  // acceptance says nothing; and the reader stays where it stopped.
  const std::string message = err.str();
  if ((got == 0) != message.empty()) __builtin_trap();
  const std::string hint = "korlan: fuzz.mtree:1: a packing list, which is read without --mtree?\n";
  const bool hinted = message.size() > hint.size() &&
                      message.compare(message.size() - hint.size(), hint.size(), hint) == 0;
  const std::string refusal = message.substr(0, message.size() - (hinted ? hint.size() : 0));
  if (got != 0 &&
      (refusal.empty() || refusal.back() != '\n' || refusal.find('\n') != refusal.size() - 1))
    __builtin_trap();
  if (reader.next(&e, err) != got || err.str() != message) __builtin_trap();
  return 0;
}
