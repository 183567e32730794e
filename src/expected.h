// expected.h: what a list states of one entry below ROOT, whatever its
// format, and what the check of it found.
//
// A manifest says most of an entry: its type, mode, owners, size, link
// target, time, link count and digests, each a keyword that it carries or
// not. Every source of entries other than a packing list (whose entries
// state a size alone, see directory.h) hands the check its entries in this
// one form, and the check compares what each states and nothing else.
#ifndef KORLAN_EXPECTED_H_
#define KORLAN_EXPECTED_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "digest.h"

enum class EntryType : uint8_t {
  kFile,
  kDir,
  kLink,
  kFifo,
  kSocket,
  kChar,
  kBlock
};
const int kEntryTypes = 7;

// The type's keyword value: "file", "dir", "link", "fifo", "socket", "char",
// "block".
const char* typeName(EntryType t);
// The type of a file of mode `mode` (st_mode).
EntryType entryTypeOf(uint32_t mode);

// The keywords an entry can carry that Korlan understands, as bits.
enum ManifestKeyword : uint32_t {
  kKwType = 1u << 0,
  kKwMode = 1u << 1,
  kKwUid = 1u << 2,
  kKwGid = 1u << 3,
  kKwUname = 1u << 4,
  kKwGname = 1u << 5,
  kKwSize = 1u << 6,
  kKwLink = 1u << 7,
  kKwTime = 1u << 8,
  kKwNlink = 1u << 9,
  kKwSha256 = 1u << 10,
  kKwSha512 = 1u << 11,
  kKwSha384 = 1u << 12,
  kKwSha1 = 1u << 13,
  kKwMd5 = 1u << 14,
  // Rules without a value: the file may be absent; only its existence is
  // checked; nothing below it is searched for unlisted entries.
  kKwOptional = 1u << 15,
  kKwNochange = 1u << 16,
  kKwIgnore = 1u << 17,
};
// Every bit above.
const uint32_t kKwAll = (1u << 18) - 1;

// A digest an entry states: the algorithm, and the value in lowercase hex.
struct StatedDigest {
  DigestAlgorithm algorithm;
  std::string hex;
};

// What fewer entries state: owners, times, link counts, link targets and
// digests, kept only for the entries that state one of them (kDetailed).
struct Detail {
  uint32_t uid = 0, gid = 0;
  uint32_t nanoseconds = 0;
  int64_t seconds = 0;
  uint64_t nlink = 0;
  std::string uname, gname, link;
  std::vector<StatedDigest> digests;
};

const uint32_t kDetailed = kKwUid | kKwGid | kKwUname | kKwGname | kKwLink |
                           kKwTime | kKwNlink | kKwSha256 | kKwSha512 |
                           kKwSha384 | kKwSha1 | kKwMd5;

// What a source states of one entry: the keywords it carries (ManifestKeyword
// bits) and their values; a field means something only when `keywords`
// carries its bit. Small, for a million entries wait in a run at once.
struct Expected {
  int64_t size = 0;
  std::unique_ptr<Detail> detail;  // null unless a kDetailed bit is carried
  uint32_t keywords = 0;
  uint16_t mode = 0;  // permission bits, setuid, setgid and sticky included
  EntryType type = EntryType::kFile;
};

#endif  // KORLAN_EXPECTED_H_
