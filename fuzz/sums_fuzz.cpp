// Fuzz target: arbitrary bytes as a sums file, read into the lookup, then
// looked up by a few paths and counted, as a verification would.
#include <cstdint>
#include <sstream>
#include <string>

#include "sums.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  std::ostringstream err;
  Sums sums;
  const int status = sums.read(in, "fuzz.sha256", err);
  // A refusal says what is wrong in exactly one line; an accepted file
  // says nothing.
  const std::string message = err.str();
  if ((status == 0) != message.empty()) __builtin_trap();
  if (status != 0 && (message.back() != '\n' || message.find('\n') != message.size() - 1))
    __builtin_trap();
  if (status != 0) return 0;
  for (const char* path : {"a", "a/b", "", "x y", "back\\slash"}) sums.find(path);
  if (sums.unnamed().size() > sums.size()) __builtin_trap();
  return 0;
}
