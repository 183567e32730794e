// manifest.h: the mtree(5) manifest format, read entry by entry and written
// one line at a time.
//
// Two dialects are read, both as the tools write them. `mtree -c` writes the
// hierarchical one: relative names, a directory entry descends into it and
// ".." goes back up, "/set" and "/unset" give defaults for the entries that
// follow, and long lines are continued with a trailing " \". `bsdtar
// --format=mtree` writes the full-path one: "#mtree", then "./a/b keyword=value
// ...". A name holding "/" is a path from the top and changes no current
// directory; `mtree -f` moves into its directory instead, so a relative name
// whose place the two readings would put apart refuses the manifest. Names,
// link targets and user and group names are decoded as vis(3) encodes them,
// by libbsd.
//
// Anything the reader does not understand refuses the whole manifest: a
// verifier must not take a manifest it half understands for a complete one.
// Keywords of the format that Korlan cannot check (flags other than "none",
// cksum, rmd160digest, device, inode ...) are not refused but named in the
// entry's `unchecked`, so that a verification says so rather than taking
// them for a match. "tags", which selects entries for mtree -E and -I and
// says nothing about a file, is dropped.
#ifndef KORLAN_MANIFEST_H_
#define KORLAN_MANIFEST_H_

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "digest.h"
#include "expected.h"
#include "lines.h"
#include "source.h"

// One entry of a manifest: its path, and what it states (its owners, time,
// link count, link target, digests, flags, extended attributes and device
// in the Detail it is). A field means something only when `keywords`
// carries its bit.
struct ManifestEntry : Detail {
  std::string path;       // below the top: "." or "a/b", never "./a"
  uint32_t line = 0;      // where the entry's line starts
  uint32_t keywords = 0;  // the keyword bits it carries, /set's too
  EntryType type = EntryType::kFile;
  uint32_t mode = 0;  // permission bits, setuid, setgid and sticky included
  int64_t size = 0;
  using Digest = StatedDigest;
};

// Reads a manifest one entry at a time: memory for one line and one entry,
// whatever the manifest's size.
class ManifestReader {
 public:
  // No line is longer, continued lines joined: a path the system could
  // look up and every digest, encoded, fit many times over. Endless input
  // without a line end (/dev/zero given as the manifest) is refused at once.
  static const size_t kLongestLine = 64 << 10;

  // Reads from `in`; `name` names the manifest in messages.
  ManifestReader(std::istream& in, std::string name);

  // Returns 1 with `*entry` filled, 0 at the end of the manifest, or -1
  // after one line on `err`: "can't read NAME" when the stream fails, else
  // "korlan: NAME:LINE: " and what is wrong with the line that starts at
  // LINE. After the end or a refusal, it returns the same again and writes
  // nothing.
  int next(ManifestEntry* entry, std::ostream& err);

 private:
  // Reads the next line, continued lines joined, into line_; returns 1, 0
  // at the end, -1 with `*wrong` set, or -2 when the stream fails.
  int readLine(std::string* wrong);
  // What is wrong with the /set or /unset line `words`, or "".
  std::string command(const std::vector<std::string_view>& words);
  // Parses the entry line `words` into `*entry`, or moves up for "..";
  // returns what is wrong, or "".
  std::string parseEntry(const std::vector<std::string_view>& words,
                         ManifestEntry* entry, bool* isEntry);

  LineReader lines_;
  std::string name_;
  int state_ = 1;       // what next() returns once it is 0 or -1
  uint32_t start_ = 0;  // where line_ starts
  std::string line_;    // the line, continued lines joined
  std::vector<std::string_view> words_;
  // The directory relative names are in ("" at the top), and whether
  // `mtree -c`'s own reader would put them elsewhere (it follows a full
  // path into its directory; bsdtar does not): then a relative name is
  // refused, for the tools disagree where it lies.
  std::string cwd_;
  bool ambiguous_ = false;
  // The top was closed by the ".." that ends mtree -c's manifests: no
  // entry follows.
  bool closed_ = false;
  ManifestEntry defaults_;  // from /set
};

// A manifest as a source of entries to check: each entry's path and what
// it states.
class ManifestSource : public EntrySource {
 public:
  ManifestSource(std::istream& in, std::string name);
  int next(std::string* path, Expected* expected, uint32_t* line,
           std::ostream& err) override;
  const char* kind() const override { return "mtree"; }
  const std::string& name() const override { return name_; }

 private:
  const std::string name_;
  ManifestReader reader_;
  ManifestEntry entry_;
};

// Parses a comma-separated list of keyword names such as
// "uid,gid,uname,gname,time,nlink" into `*keywords` (the digests by either
// name, "sha256" or "sha256digest"). False, with the bad name in `*bad`,
// on a name that is not one of the keywords (see keywords.h), or an empty
// one.
bool parseKeywordList(std::string_view list, uint32_t* keywords,
                      std::string* bad);

// The first line of a manifest in the full-path dialect.
extern const char kManifestHeader[];  // "#mtree\n"

// Writes `e` as one line of the full-path dialect, "./path keyword=value
// ...\n" (the top as "."), with the keywords of `keywords` that the entry
// carries, in the order of the table of keywords, its type first. Names,
// link targets and user and group names are vis(3)-encoded in the octal
// style, white space, '#', '=' and '\' included, as bsdtar writes them
// ("\040", "\043", "\075", "\134"), so that any byte survives; modes in
// octal with a leading 0 ("0755", "04755"); times as SECONDS.NANOSECONDS
// with nine digits, which both tools read as the nanoseconds they are;
// digests in lowercase hex under their "...digest" keyword; flags by BSD's
// names ("schg", "sappnd", "nodump", "none"); extended attributes as
// go-mtree writes them, xattr.NAME=BASE64, or xattr=none for none.
void writeManifestLine(std::ostream& out, const ManifestEntry& e,
                       uint32_t keywords);

#endif  // KORLAN_MANIFEST_H_
