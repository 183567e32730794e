// Fuzz target: arbitrary bytes as a public key file and as a signature
// file; a signature that parses is checked against a fixed key and list,
// as a verification would.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "signature.h"

namespace {

// A refusal is one line, and says something.
void checkReason(bool ok, const std::string& why) {
  if (!ok && (why.empty() || why.find('\n') != std::string::npos)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  PublicKey key;
  std::string why;
  checkReason(parsePublicKey(text, &key, &why), why);
  DetachedSignature sig;
  why.clear();
  const bool parsed = parseSignature(text, &sig, &why);
  checkReason(parsed, why);
  if (!parsed) return 0;
  // A trusted comment is one line of the file; the prehashed form has one.
  if (sig.trustedComment.find('\n') != std::string::npos ||
      (sig.prehashed && !sig.hasTrustedComment))
    __builtin_trap();
  // The key of the seed signatures (minisign's, id DF29D60D5763D10B), so
  // that mutations of them reach the verification.
  static const unsigned char kKey[32] = {0x06, 0xa4, 0xc6, 0x1f, 0xb1, 0x60, 0x2f, 0xfd,
                                         0xb6, 0x10, 0x2b, 0x8a, 0x1c, 0xa5, 0x98, 0x50,
                                         0x0c, 0x01, 0x48, 0xa0, 0x26, 0x01, 0xa3, 0x57,
                                         0x2c, 0x3b, 0x7a, 0x74, 0xbc, 0x34, 0x46, 0x47};
  PublicKey fixed;
  memcpy(fixed.id, sig.keyId, sizeof fixed.id);
  memcpy(fixed.key, kKey, sizeof fixed.key);
  checkSignature(sig, "4096 ./bin/setup\n0 ./README\n", fixed);
  return 0;
}
