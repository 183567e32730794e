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
#include "keywords.h"
#include "report.h"

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

// A digest an entry states: the algorithm, and the value in lowercase hex.
struct StatedDigest {
  DigestAlgorithm algorithm;
  std::string hex;
};

// An extended attribute an entry states: its name and its value's bytes.
struct StatedXattr {
  std::string name, value;
};

// A keyword an entry states that no check here can compare (a flag Linux
// has no equivalent for, a device number of another system): the entry is
// reported so, never taken for a match.
struct Unchecked {
  std::string keyword;  // as the entry gives it, KEYWORD=VALUE
  std::string why;
};

// The Linux inode flags a manifest's flags can state (FS_IOC_GETFLAGS).
const uint32_t kImmutableFlag = 0x10, kAppendFlag = 0x20, kNodumpFlag = 0x40;

// A regular file's bytes as the source compared them with the disk's
// itself, as they came (an archive's, see ByteComparer), where it states no
// digest of them: the file it read, and what it found.
struct Compared {
  enum State : uint8_t {
    kUnused,       // a digest, or no bytes, stand for them
    kNotCompared,  // no regular file of that size was there to compare
    kFailed,       // the file could not be read: `error`
    kSame,
    kDiffers,  // from byte `at`
    kPending,  // on another thread, found by `ticket` (ComparingThread)
  };
  State state = kUnused;
  // The bytes came with another name, of which the entry is a hard link:
  // `first`, its path as EntrySource::next gives it.
  bool byName = false;
  std::string first;
  int error = 0;  // an errno, or a FileHash code
  uint64_t device = 0, inode = 0;
  int64_t at = 0;
  uint64_t ticket = 0;
};

// A difference the check of an entry found, for the report.
struct Found {
  DiffKind kind;
  std::string expected, actual, reason;
};

// What fewer entries state: owners, times, link counts, link targets,
// digests, flags, extended attributes and devices, kept only for the
// entries that state one of them (kDetailed); an entry without it that
// states flags or extended attributes states none.
struct Detail {
  uint32_t uid = 0, gid = 0;
  uint32_t nanoseconds = 0;
  int64_t seconds = 0;
  uint64_t nlink = 0;
  std::string uname, gname, link;
  std::vector<StatedDigest> digests;  // the cksum CRC among them
  uint32_t flags = 0;                 // kImmutableFlag ...
  uint64_t device = 0;                // a device node's number (makedev)
  std::vector<StatedXattr> xattrs;    // all the entry has, under kKwXattr
  std::vector<Unchecked> unchecked;
  Compared compared;
  // What the check of the entry found differs, once it is checked: kept
  // here, where most entries that state little keep nothing.
  std::vector<Found> found;
};

const uint32_t kDetailed = kKwAll & ~(kKwType | kKwMode | kKwSize | kKwRules);

// What a source states of one entry: the keywords it carries (keywordBit
// bits) and their values; a field means something only when `keywords`
// carries its bit. Small, for a million entries wait in a run at once.
struct Expected {
  int64_t size = 0;
  std::unique_ptr<Detail> detail;  // null unless a kDetailed value is stated
  uint32_t keywords = 0;
  uint16_t mode = 0;  // permission bits, setuid, setgid and sticky included
  EntryType type = EntryType::kFile;
};

// A copy of what `e` states, what it details too.
Expected copyOf(const Expected& e);
// What `later` states over what `onto` does, keyword by keyword, the later
// winning: two entries of one path are one, as libarchive and BSD mtree
// read them.
void overlay(Expected* onto, const Expected& later);

#endif  // KORLAN_EXPECTED_H_
