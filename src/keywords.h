// keywords.h: the keywords of a manifest, in one table.
//
// Every keyword that mtree(5), BSD mtree, libarchive and go-mtree write has a
// row: its name and the other names it is read by, how its value is read and
// written, and, for a digest, its algorithm. A keyword's bit in an entry's
// set is its place in the table. Adding a keyword is a row here and its
// comparison in the check (prober.cpp); the reader, the writer, the makers'
// --keywords and the help take it from the table.
#ifndef KORLAN_KEYWORDS_H_
#define KORLAN_KEYWORDS_H_

#include <cstdint>
#include <string_view>

#include "digest.h"

enum class Keyword : uint8_t {
  kType,
  kMode,
  kUid,
  kGid,
  kUname,
  kGname,
  kSize,
  kLink,
  kTime,
  kNlink,
  kCksum,
  kMd5,
  kSha1,
  kRmd160,
  kSha256,
  kSha384,
  kSha512,
  kSha512256,
  kFlags,
  kXattr,
  kDevice,
  kOptional,
  kNochange,
  kIgnore,
  kTags,
  kInode,
  kContents,
  kResdevice,
};
constexpr int kKeywordCount = 28;

// How a keyword's value is read and written.
enum class Value : uint8_t {
  kType,     // file, dir, link, fifo, socket, char, block
  kMode,     // octal, or symbolic as chmod(1) takes it
  kNumber,   // decimal digits
  kName,     // a vis(3)-encoded name, not empty
  kTime,     // SECONDS.NANOSECONDS
  kDigest,   // hex of the algorithm's length
  kFlags,    // file flags by BSD's names, comma separated, or "none"
  kXattr,    // xattr.NAME=BASE64, one attribute; xattr=none, no more
  kDevice,   // FORMAT,MAJOR,MINOR or a number
  kRule,     // no value
  kNothing,  // any value, which says nothing to compare (tags, inode)
  kUnknown,  // any value, which no check here can compare
};

struct KeywordRow {
  Keyword keyword;
  // Views, their lengths known at compile time: a manifest's every word is
  // looked up here.
  std::string_view name;        // as written
  std::string_view aliases[3];  // also read; the unused are empty
  Value value;
  // A digest's algorithm and the length of its hex; a file's size as
  // read too (the cksum CRC).
  DigestAlgorithm algorithm;
  uint8_t hexLength;
  // Written by --make-mtree and --make-lists when --keywords names none.
  bool byDefault;
};

namespace keywords_detail {
using A = DigestAlgorithm;
constexpr A kNone = A::kSha256;  // unused where the value is no digest
}  // namespace keywords_detail

// The first name of a row is the one written; the order is the order in
// which the writer writes them, type first, then what a line of mtree -c
// or bsdtar holds, the rules last.
inline constexpr KeywordRow kKeywordTable[kKeywordCount] = {
    {Keyword::kType, "type", {}, Value::kType, keywords_detail::kNone, 0, true},
    {Keyword::kMode, "mode", {}, Value::kMode, keywords_detail::kNone, 0, true},
    {Keyword::kUid,
     "uid",
     {},
     Value::kNumber,
     keywords_detail::kNone,
     0,
     false},
    {Keyword::kGid,
     "gid",
     {},
     Value::kNumber,
     keywords_detail::kNone,
     0,
     false},
    {Keyword::kUname,
     "uname",
     {},
     Value::kName,
     keywords_detail::kNone,
     0,
     false},
    {Keyword::kGname,
     "gname",
     {},
     Value::kName,
     keywords_detail::kNone,
     0,
     false},
    {Keyword::kSize,
     "size",
     {},
     Value::kNumber,
     keywords_detail::kNone,
     0,
     true},
    {Keyword::kLink, "link", {}, Value::kName, keywords_detail::kNone, 0, true},
    {Keyword::kTime,
     "time",
     {},
     Value::kTime,
     keywords_detail::kNone,
     0,
     false},
    {Keyword::kNlink,
     "nlink",
     {},
     Value::kNumber,
     keywords_detail::kNone,
     0,
     false},
    // The CRC of POSIX cksum(1), in decimal as it prints it.
    {Keyword::kCksum,
     "cksum",
     {},
     Value::kNumber,
     keywords_detail::A::kCksum,
     0,
     false},
    {Keyword::kMd5,
     "md5digest",
     {"md5"},
     Value::kDigest,
     keywords_detail::A::kMd5,
     32,
     false},
    {Keyword::kSha1,
     "sha1digest",
     {"sha1"},
     Value::kDigest,
     keywords_detail::A::kSha1,
     40,
     false},
    {Keyword::kRmd160,
     "rmd160digest",
     {"rmd160", "ripemd160digest"},
     Value::kDigest,
     keywords_detail::A::kRmd160,
     40,
     false},
    {Keyword::kSha256,
     "sha256digest",
     {"sha256"},
     Value::kDigest,
     keywords_detail::A::kSha256,
     64,
     true},
    {Keyword::kSha384,
     "sha384digest",
     {"sha384"},
     Value::kDigest,
     keywords_detail::A::kSha384,
     96,
     false},
    {Keyword::kSha512,
     "sha512digest",
     {"sha512"},
     Value::kDigest,
     keywords_detail::A::kSha512,
     128,
     false},
    {Keyword::kSha512256,
     "sha512256digest",
     {"sha512256"},
     Value::kDigest,
     keywords_detail::A::kSha512256,
     64,
     false},
    {Keyword::kFlags,
     "flags",
     {},
     Value::kFlags,
     keywords_detail::kNone,
     0,
     false},
    {Keyword::kXattr,
     "xattr",
     {},
     Value::kXattr,
     keywords_detail::kNone,
     0,
     false},
    {Keyword::kDevice,
     "device",
     {},
     Value::kDevice,
     keywords_detail::kNone,
     0,
     false},
    {Keyword::kOptional,
     "optional",
     {},
     Value::kRule,
     keywords_detail::kNone,
     0,
     false},
    {Keyword::kNochange,
     "nochange",
     {},
     Value::kRule,
     keywords_detail::kNone,
     0,
     false},
    {Keyword::kIgnore,
     "ignore",
     {},
     Value::kRule,
     keywords_detail::kNone,
     0,
     false},
    // Selects entries for mtree -E and -I; a file's inode number where the
    // manifest was made: neither says anything to compare here.
    {Keyword::kTags,
     "tags",
     {},
     Value::kNothing,
     keywords_detail::kNone,
     0,
     false},
    {Keyword::kInode,
     "inode",
     {},
     Value::kNothing,
     keywords_detail::kNone,
     0,
     false},
    // The file whose contents this one should have, on the machine that
    // made the manifest, and the device a device node lies on there.
    {Keyword::kContents,
     "contents",
     {"content"},
     Value::kUnknown,
     keywords_detail::kNone,
     0,
     false},
    {Keyword::kResdevice,
     "resdevice",
     {},
     Value::kUnknown,
     keywords_detail::kNone,
     0,
     false},
};

constexpr uint32_t keywordBit(Keyword k) { return 1u << static_cast<int>(k); }
inline const KeywordRow& rowOf(Keyword k) {
  return kKeywordTable[static_cast<int>(k)];
}
// The row of a keyword's name or alias; null when there is none. A name
// "xattr.NAME" is the row of xattr.
const KeywordRow* findKeyword(std::string_view name);

// Every keyword, as bits of an entry's set.
constexpr uint32_t kKwType = keywordBit(Keyword::kType);
constexpr uint32_t kKwMode = keywordBit(Keyword::kMode);
constexpr uint32_t kKwUid = keywordBit(Keyword::kUid);
constexpr uint32_t kKwGid = keywordBit(Keyword::kGid);
constexpr uint32_t kKwUname = keywordBit(Keyword::kUname);
constexpr uint32_t kKwGname = keywordBit(Keyword::kGname);
constexpr uint32_t kKwSize = keywordBit(Keyword::kSize);
constexpr uint32_t kKwLink = keywordBit(Keyword::kLink);
constexpr uint32_t kKwTime = keywordBit(Keyword::kTime);
constexpr uint32_t kKwNlink = keywordBit(Keyword::kNlink);
constexpr uint32_t kKwCksum = keywordBit(Keyword::kCksum);
constexpr uint32_t kKwMd5 = keywordBit(Keyword::kMd5);
constexpr uint32_t kKwSha1 = keywordBit(Keyword::kSha1);
constexpr uint32_t kKwRmd160 = keywordBit(Keyword::kRmd160);
constexpr uint32_t kKwSha256 = keywordBit(Keyword::kSha256);
constexpr uint32_t kKwSha384 = keywordBit(Keyword::kSha384);
constexpr uint32_t kKwSha512 = keywordBit(Keyword::kSha512);
constexpr uint32_t kKwSha512256 = keywordBit(Keyword::kSha512256);
constexpr uint32_t kKwFlags = keywordBit(Keyword::kFlags);
constexpr uint32_t kKwXattr = keywordBit(Keyword::kXattr);
constexpr uint32_t kKwDevice = keywordBit(Keyword::kDevice);
constexpr uint32_t kKwOptional = keywordBit(Keyword::kOptional);
constexpr uint32_t kKwNochange = keywordBit(Keyword::kNochange);
constexpr uint32_t kKwIgnore = keywordBit(Keyword::kIgnore);
constexpr uint32_t kKwAll = (1u << kKeywordCount) - 1;
// The keywords that read a file's bytes.
constexpr uint32_t kKwContents = kKwCksum | kKwMd5 | kKwSha1 | kKwRmd160 |
                                 kKwSha256 | kKwSha384 | kKwSha512 |
                                 kKwSha512256;
// The rules: a value of their own, none.
constexpr uint32_t kKwRules = kKwOptional | kKwNochange | kKwIgnore;

// The algorithms (a set of algorithmBit) of the content keywords of
// `keywords`.
unsigned algorithmsOf(uint32_t keywords);
// The content keyword of algorithm `a`.
Keyword keywordOf(DigestAlgorithm a);

#endif  // KORLAN_KEYWORDS_H_
