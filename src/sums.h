// sums.h: a file of SHA-256 digests as sha256sum writes it, read into a
// lookup by path.
//
// Lines are "HEX  PATH" or "HEX *PATH" (text or binary mode, the same
// digest), "HEX PATH" as `sha256sum -c` reads it too, "SHA256 (PATH) = HEX"
// as `sha256sum --tag` writes them, "SHA256(PATH)= HEX" and
// "SHA2-256(PATH)= HEX" as OpenSSL's dgst does, and any form preceded by "\"
// when PATH holds a backslash or a line end, written "\\" and "\n". A CR before
// the line end belongs to the line end, and a line that begins with "#" is
// a comment. Anything else refuses the whole file: a verifier must not take
// a file it half understands for a complete one.
#ifndef KORLAN_SUMS_H_
#define KORLAN_SUMS_H_

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "digest.h"

class Sums {
 public:
  // No line of a sums file is longer: a digest, a tag and a path the
  // system could look up, escaped, fit many times over.
  static const size_t kLongestLine = 64 << 10;

  // Reads the digests from `in`, named `name` in messages. Returns
  // kStatusOk, or kStatusError after one line on `err`: "can't read NAME"
  // when the stream fails, else "korlan: NAME:LINE: " and what is wrong.
  int read(std::istream& in, const char* name, std::ostream& err);

  // The digest of `path` (folded, see foldPath), or null. Marks it as
  // named, for unnamed().
  const Sha256* find(std::string_view path);

  // A digest that no call of find() asked for.
  struct Unnamed {
    std::string_view path;  // folded
    const Sha256* digest;
  };
  // Those digests, in the order of their lines.
  std::vector<Unnamed> unnamed() const;
  // How many distinct paths have a digest.
  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    size_t path;           // offset of the path in paths_
    uint32_t length : 31;  // of the path
    uint32_t named : 1;    // asked for by find()
    uint32_t line;         // where the file gives it
    Sha256 digest;
  };
  std::string_view pathOf(const Entry& e) const {
    return std::string_view(paths_).substr(e.path, e.length);
  }
  // Parses one line into its path and digest; returns null, or what is
  // wrong with the line.
  static const char* parse(std::string_view line, std::string* path,
                           Sha256* digest);
  // Sorts the entries by path and drops repeats; returns false after the
  // message on `err` when a path has two different digests.
  bool index(const char* name, std::ostream& err);

  // Every path in one buffer, and the entries sorted by path: a digest
  // costs its path's bytes and a fixed record, without an allocation each.
  std::string paths_;
  std::vector<Entry> entries_;
};

// The path a sums line or a packing-list entry names below the top, as the
// lookup keys it: its "." and empty components dropped, so that "./a/b",
// "a//b", "a/./b" and "././a/b" are one file, as the system finds them.
// Returns `path` itself when there is nothing to fold, else the folded
// path, kept in `*scratch`.
std::string_view foldPath(std::string_view path, std::string* scratch);

// Writes the line of `digest` for the file at `path` below the top, as
// sha256sum writes it when run at the top: "HEX  ./PATH", escaped as
// sumsEscape says, and then begun with "\\".
void writeSumsLine(std::ostream& out, const Sha256& digest,
                   std::string_view path);

// `path` as sha256sum writes it in a line: "\\" for a backslash, "\n" and
// "\r" for line ends; a line whose name this changes begins with "\". A
// message shows a path so too, and stays one line whatever the name holds.
std::string sumsEscape(std::string_view path);

#endif  // KORLAN_SUMS_H_
