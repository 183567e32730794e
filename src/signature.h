// signature.h: detached signatures of the lists a run reads, as minisign
// and signify write them, checked with an Ed25519 public key through
// OpenSSL's libcrypto.
//
// A key file and a signify signature are two lines: "untrusted comment: "
// and any text, then the base64 of the algorithm "Ed", the 8-byte key id and
// the key (32 bytes) or the signature (64). minisign's signature adds
// "trusted comment: TEXT" and the base64 of the global signature, Ed25519
// over the 64 signature bytes followed by TEXT; its algorithm "ED" signs
// the file's BLAKE2b-512 rather than the file. A line ends in "\n" or
// "\r\n" (both tools take either), the last one may lack its end (minisign
// takes that), and anything else refuses the file: a missing line, base64
// that is not the canonical form, a wrong length, another algorithm, and
// any text after the last line.
#ifndef KORLAN_SIGNATURE_H_
#define KORLAN_SIGNATURE_H_

#include <cstddef>
#include <string>
#include <string_view>

// No key or signature file the tools write comes near this (minisign
// refuses a trusted comment of 8000 bytes); a larger one is refused
// unread, so that a key given by mistake cannot fill the memory.
const size_t kLargestSignatureFile = 64 << 10;

struct PublicKey {
  unsigned char id[8];
  unsigned char key[32];
};

struct DetachedSignature {
  bool prehashed = false;  // "ED": over the BLAKE2b-512 of the bytes
  unsigned char keyId[8];
  unsigned char signature[64];
  bool hasTrustedComment = false;  // the minisign form: two more lines
  std::string trustedComment;      // TEXT, as it is signed
  unsigned char globalSignature[64];
};

// A key id as minisign shows it, in its key file's comment and in its
// messages: the 8 bytes as one little-endian number in uppercase hex
// without leading zeros ("DF29D60D5763D10B", "C3608699227172E"). signify
// shows none.
std::string keyIdText(const unsigned char id[8]);

// Reads the public key file at `path`. False after filling *why with the
// one-line refusal, "PATH: " and the reason (see complain()).
bool readPublicKey(const std::string& path, PublicKey* key, std::string* why);

// The parsers of a key file's and a signature file's text. False with the
// reason in *why, one line without "korlan: ".
bool parsePublicKey(std::string_view text, PublicKey* key, std::string* why);
bool parseSignature(std::string_view text, DetachedSignature* sig,
                    std::string* why);

enum class Verdict {
  kGood,
  kOtherKey,           // the key ids differ
  kBadSignature,       // the bytes are not what was signed
  kBadTrustedComment,  // the global signature does not verify
};
// Checks `sig` over `bytes` with `key`, the trusted comment too when the
// signature has one.
Verdict checkSignature(const DetachedSignature& sig, std::string_view bytes,
                       const PublicKey& key);

struct SignatureCheck {
  bool ok = false;
  // On success, what "[Signed: ...]" shows: the trusted comment's TEXT as
  // it is (control bytes are the caller's to escape), or for a signature
  // without one "key " and the key id.
  std::string signer;
  // The signature carries a trusted comment (then `signer`).
  bool commented = false;
  // The one-line refusal otherwise, "PATH: ...", for complain().
  std::string message;
  // The signature file read: LIST.minisig, or LIST.sig when there is no
  // LIST.minisig; empty when neither exists.
  std::string signatureFile;
};

// Verifies `listBytes`, the contents of the list at `listPath`, against
// LIST.minisig, or LIST.sig when there is no LIST.minisig: a LIST.minisig
// that exists is the only one read, so a bad one is refused even beside a
// good LIST.sig. A LIST.minisig must have its trusted comment, as minisign
// requires; a LIST.sig may have one.
SignatureCheck verifyList(const std::string& listPath,
                          std::string_view listBytes, const PublicKey& key);

#endif  // KORLAN_SIGNATURE_H_
