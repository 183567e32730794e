// signature.cpp: minisign and signify signatures, parsed here and checked
// by libcrypto.
#include "signature.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "digest.h"
#include "sums.h"

namespace {

const char kUntrusted[] = "untrusted comment: ";
const char kTrusted[] = "trusted comment: ";
const char kTooLargeReason[] = "larger than 64 KiB";

bool fail(std::string* why, std::string reason) {
  *why = std::move(reason);
  return false;
}

// Takes the next line off `rest`, without its "\n" or "\r\n"; false when
// nothing is left.
bool takeLine(std::string_view* rest, std::string_view* line) {
  if (rest->empty()) return false;
  const size_t end = rest->find('\n');
  *line = rest->substr(0, end);
  rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
  if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
  return true;
}

bool startsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// The bytes that `line` encodes in base64, or false. Only the canonical
// form the tools write is taken: padded, no blank (signify skips blanks,
// minisign does not), unused bits zero (signify refuses others, minisign
// does not). EVP_DecodeBlock alone skips blanks and counts the padding as
// bytes, so what it gives is encoded again and must give the line back.
bool decodeBase64(std::string_view line, std::string* bytes) {
  if (line.empty() || line.size() % 4 != 0) return false;
  bytes->assign(line.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes->data()),
                          reinterpret_cast<const unsigned char*>(line.data()),
                          static_cast<int>(line.size()));
  n -= line.back() != '=' ? 0 : line[line.size() - 2] != '=' ? 1 : 2;
  if (n < 0) return false;
  bytes->resize(n);
  std::string again(line.size() + 1, '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(again.data()),
                  reinterpret_cast<const unsigned char*>(bytes->data()), n);
  again.pop_back();
  return again == line;
}

// Decodes line `number`, which must be the base64 of `size` bytes (`what`
// they are, for the message), into `out`.
bool decodeLine(std::string_view line, int number, size_t size,
                const char* what, unsigned char* out, std::string* why) {
  const std::string at = "line " + std::to_string(number) + ": ";
  std::string bytes;
  if (!decodeBase64(line, &bytes)) return fail(why, at + "bad base64");
  if (bytes.size() != size)
    return fail(why, at + std::to_string(bytes.size()) + " bytes, not the " +
                         std::to_string(size) + " of " + what);
  memcpy(out, bytes.data(), size);
  return true;
}

// Checks the size and the first line, common to both files.
bool takeHeader(std::string_view* text, std::string* why) {
  std::string_view line;
  if (text->size() > kLargestSignatureFile) return fail(why, kTooLargeReason);
  if (!takeLine(text, &line)) return fail(why, "empty");
  if (!startsWith(line, kUntrusted))
    return fail(why, "line 1: not an untrusted comment");
  return true;
}

// libcrypto makes a key of any 32 bytes (a bad one fails to verify) and
// a context unless it cannot allocate: its failures are out of memory,
// not a signature refused.
bool ed25519Verify(const unsigned char key[32], const unsigned char sig[64],
                   std::string_view message) {
  EVP_PKEY* pkey =
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key, 32);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (pkey == nullptr || context == nullptr) {
    EVP_PKEY_free(pkey);
    EVP_MD_CTX_free(context);
    throw std::bad_alloc();
  }
  // A null message is no message to libcrypto; an empty list is one.
  const unsigned char* data = reinterpret_cast<const unsigned char*>(
      message.data() != nullptr ? message.data() : "");
  const bool ok =
      EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, pkey) == 1 &&
      EVP_DigestVerify(context, sig, 64, data, message.size()) == 1;
  EVP_MD_CTX_free(context);
  EVP_PKEY_free(pkey);
  return ok;
}

// Files read whole: 0, an errno, or one of these.
const int kNotRegular = -1;
const int kTooLarge = -2;

const char* readError(int error) {
  if (error == kNotRegular) return "not a regular file";
  if (error == kTooLarge) return kTooLargeReason;
  return strerror(error);
}

// Reads a key or signature file whole into `text`. A FIFO, a device or a
// directory is refused before a read could wait or never end, and a file
// that grows while read is refused at the bound.
int readSmallFile(const std::string& path, std::string* text) {
  const int fd = openForReading(AT_FDCWD, path.c_str());
  if (fd < 0) return errno;
  struct stat st;
  int error = 0;
  if (fstat(fd, &st) != 0)
    error = errno;
  else if (!S_ISREG(st.st_mode))
    error = kNotRegular;
  text->resize(kLargestSignatureFile + 1);
  size_t total = 0;
  while (error == 0 && total < text->size()) {
    const ssize_t n = read(fd, text->data() + total, text->size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    total += n;
  }
  close(fd);
  text->resize(total);
  if (error == 0 && total > kLargestSignatureFile) error = kTooLarge;
  return error;
}

// "PATH: WHY", the path escaped as sums messages show it, so that a name
// holding a line end still makes one line.
std::string refusal(const std::string& path, std::string_view why) {
  return sumsEscape(path) + ": " + std::string(why);
}

}  // namespace

std::string keyIdText(const unsigned char id[8]) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (int i = 7; i >= 0; --i) {
    s += kDigits[id[i] >> 4];
    s += kDigits[id[i] & 15];
  }
  // minisign prints the number with "%" PRIX64: no leading zeros.
  return s.substr(std::min(s.find_first_not_of('0'), s.size() - 1));
}

bool parsePublicKey(std::string_view text, PublicKey* key, std::string* why) {
  std::string_view line;
  unsigned char blob[42];
  if (!takeHeader(&text, why)) return false;
  if (!takeLine(&text, &line)) return fail(why, "line 2 missing: no key");
  if (!decodeLine(line, 2, sizeof blob, "a public key", blob, why))
    return false;
  if (memcmp(blob, "Ed", 2) != 0) return fail(why, "line 2: unknown algorithm");
  if (!text.empty()) return fail(why, "junk after line 2");
  memcpy(key->id, blob + 2, sizeof key->id);
  memcpy(key->key, blob + 10, sizeof key->key);
  return true;
}

bool parseSignature(std::string_view text, DetachedSignature* sig,
                    std::string* why) {
  std::string_view line;
  unsigned char blob[74];
  if (!takeHeader(&text, why)) return false;
  if (!takeLine(&text, &line)) return fail(why, "line 2 missing: no signature");
  if (!decodeLine(line, 2, sizeof blob, "a signature", blob, why)) return false;
  if (memcmp(blob, "Ed", 2) != 0 && memcmp(blob, "ED", 2) != 0)
    return fail(why, "line 2: unknown algorithm");
  sig->prehashed = blob[1] == 'D';
  memcpy(sig->keyId, blob + 2, sizeof sig->keyId);
  memcpy(sig->signature, blob + 10, sizeof sig->signature);
  sig->hasTrustedComment = takeLine(&text, &line);
  sig->trustedComment.clear();
  // The prehashed form is minisign's alone, and minisign takes no
  // signature without its trusted comment.
  if (!sig->hasTrustedComment && sig->prehashed)
    return fail(why, "line 3 missing: no trusted comment");
  if (!sig->hasTrustedComment) return true;
  if (!startsWith(line, kTrusted))
    return fail(why, "line 3: not a trusted comment");
  sig->trustedComment = line.substr(sizeof kTrusted - 1);
  if (!takeLine(&text, &line))
    return fail(why, "line 4 missing: no global signature");
  if (!decodeLine(line, 4, sizeof sig->globalSignature, "a global signature",
                  sig->globalSignature, why))
    return false;
  if (!text.empty()) return fail(why, "junk after line 4");
  return true;
}

Verdict checkSignature(const DetachedSignature& sig, std::string_view bytes,
                       const PublicKey& key) {
  if (memcmp(sig.keyId, key.id, sizeof key.id) != 0) return Verdict::kOtherKey;
  unsigned char hash[64];
  if (sig.prehashed) {
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), hash, &length, EVP_blake2b512(),
                   nullptr) != 1)
      throw std::bad_alloc();
    bytes = std::string_view(reinterpret_cast<const char*>(hash), length);
  }
  if (!ed25519Verify(key.key, sig.signature, bytes))
    return Verdict::kBadSignature;
  if (!sig.hasTrustedComment) return Verdict::kGood;
  std::string signedText(reinterpret_cast<const char*>(sig.signature),
                         sizeof sig.signature);
  signedText += sig.trustedComment;
  return ed25519Verify(key.key, sig.globalSignature, signedText)
             ? Verdict::kGood
             : Verdict::kBadTrustedComment;
}

bool readPublicKey(const std::string& path, PublicKey* key, std::string* why) {
  std::string text;
  const int error = readSmallFile(path, &text);
  if (error != 0) return fail(why, refusal(path, readError(error)));
  if (parsePublicKey(text, key, why)) return true;
  return fail(why, refusal(path, *why));
}

SignatureCheck verifyList(const std::string& listPath,
                          std::string_view listBytes, const PublicKey& key) {
  SignatureCheck check;
  std::string text, why;
  check.signatureFile = listPath + ".minisig";
  int error = readSmallFile(check.signatureFile, &text);
  const bool minisig = error != ENOENT;
  if (!minisig) {
    check.signatureFile = listPath + ".sig";
    error = readSmallFile(check.signatureFile, &text);
  }
  const std::string& file = check.signatureFile;
  if (error == ENOENT) {
    check.message = refusal(
        listPath, "no signature: neither " + sumsEscape(listPath) +
                      ".minisig nor " + sumsEscape(listPath) + ".sig exists");
    check.signatureFile.clear();
    return check;
  }
  if (error != 0) {
    check.message = refusal(file, readError(error));
    return check;
  }
  DetachedSignature sig;
  if (!parseSignature(text, &sig, &why)) {
    check.message = refusal(file, why);
    return check;
  }
  if (minisig && !sig.hasTrustedComment) {
    check.message = refusal(file, "line 3 missing: no trusted comment");
    return check;
  }
  switch (checkSignature(sig, listBytes, key)) {
    case Verdict::kGood:
      check.ok = true;
      check.commented = sig.hasTrustedComment;
      check.signer = sig.hasTrustedComment ? sig.trustedComment
                                           : "key " + keyIdText(key.id);
      break;
    case Verdict::kOtherKey:
      check.message =
          refusal(file, "signed by key " + keyIdText(sig.keyId) +
                            ", not by the key given, " + keyIdText(key.id));
      break;
    case Verdict::kBadSignature:
      check.message =
          refusal(listPath, "changed since signed (" + sumsEscape(file) +
                                " does not verify)");
      break;
    case Verdict::kBadTrustedComment:
      check.message = refusal(file,
                              "trusted comment changed since signed (its "
                              "signature does not verify)");
      break;
  }
  return check;
}
