// source.h: where the entries a run checks come from, besides a packing
// list.
//
// A source knows its own bytes (a manifest, dpkg's database, an archive)
// and hands over one entry at a time, in its own order: the path below the
// top, and what it states (see expected.h). It knows nothing of threads or
// reports; the run records each entry in its tree of names and has it
// checked as it is, links not followed (see prober.h). A packing list is
// read into its tree by readList (packlist.h), which keeps the order of
// that tree.
#ifndef KORLAN_SOURCE_H_
#define KORLAN_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "expected.h"

// Compares the bytes of an entry, as a source reads them, with the file of
// its path below ROOT as it is, no link followed: the run's, lent to a
// source whose bytes stream past once (an archive), so that both sides are
// compared byte by byte rather than hashed.
class ByteComparer {
 public:
  virtual ~ByteComparer() = default;
  // The regular file at `path` (as EntrySource::next gives it), of `size`
  // bytes; then each of its bytes in order, a hole's zeros too; then what
  // was found.
  virtual void begin(const std::string& path, int64_t size) = 0;
  virtual void add(const void* bytes, size_t n) = 0;
  virtual Compared end() = 0;
};

class EntrySource {
 public:
  virtual ~EntrySource() = default;
  // The next entry: 1 with `*path` (below the top, its components joined
  // by "/", never "./a"; "." for the top itself), `*expected` and `*line`
  // (where the source gives it, for messages) filled; 0 at the end; -1
  // after the one-line refusal on `err`.
  virtual int next(std::string* path, Expected* expected, uint32_t* line,
                   std::ostream& err) = 0;
  // The source's name in messages ("NAME:LINE: ...").
  virtual const std::string& name() const = 0;
  // What kind of source it is, as the run's record names it: "mtree" ...
  virtual const char* kind() const = 0;
  // How the directories on the way to an entry are looked at: as they are,
  // no link followed (a manifest, an archive: what the vendor shipped); or
  // following links, but only below ROOT, as if it were the root of the
  // file system (dpkg's lists name /bin/sh where /bin may be a link to
  // usr/bin). An entry itself is always looked at as it is.
  enum class Resolve { kNoLinks, kLinksInRoot };
  virtual Resolve resolve() const { return Resolve::kNoLinks; }
  // What the report says of the `index`th entry given (from 0) besides its
  // path: the group it belongs to (dpkg's package), empty for none, valid
  // while the source is; and whether it is a file its administrator may
  // change (a conffile), whose differences are reported as such and fail
  // the run only when asked. The entries of one group come together.
  struct Origin {
    std::string_view group;
    bool conffile = false;
  };
  virtual Origin origin(size_t /*index*/) const { return {}; }
  // Whether `line` orders the entries as the source holds them, where the
  // order they are given in may differ (an archive's hard links given with
  // their bytes, later): of two entries of one path, the later by line
  // wins. Else (dpkg's lines, of a file each package) the later given.
  virtual bool linesInOrder() const { return true; }
  // Offers `comparer` before the first entry: a source that takes it
  // compares the bytes it reads of each regular file with it rather than
  // stating their digests, each such entry carrying what it found
  // (Detail::compared); it stays valid while the source reads.
  virtual void compareBytesWith(ByteComparer* /*comparer*/) {}
};

#endif  // KORLAN_SOURCE_H_
