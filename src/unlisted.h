// unlisted.h: the files under ROOT that no path of the packing list reaches.
//
// A listed path reaches a file when its probe found that file: by identity,
// not by spelling, so a path through a linked directory or through "..", or
// another hard link of the file, reaches it too. The tree on disk is looked
// at with the walk that makes lists (see walkTree): the files looked at are
// those a list made of the tree would name, in the same order, and the
// names no list can hold, which are unlisted whatever they are.
#ifndef KORLAN_UNLISTED_H_
#define KORLAN_UNLISTED_H_

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "fileid.h"
#include "treewalk.h"

class Report;
struct Directory;

// The identities of the files that the listed paths reached, as the prober
// kept them: a few parts, each sorted here and searched on its own, so that
// nothing is copied and no memory is held twice.
class ReachedFiles {
 public:
  explicit ReachedFiles(std::vector<std::deque<FileId>> parts);
  bool contains(const FileId& id) const;

 private:
  std::vector<std::deque<FileId>> parts_;
  mutable size_t lastHit_ = 0;
};

// The file `name` in the directory that holds the file at `path`.
std::string besideFile(const std::string& path, const char* name);

// Looks at the tree under `root` and reports through `report`, after its
// phase line, every file that `reached` does not hold and `excluded` does
// not name, every name no list can hold, and every place that cannot be
// read, with paths formed as the walk forms them: ROOT, "/", the path below
// it. Returns how many it reported; each is a comparison that failed.
// Nothing `exclude` matches is looked at (see walkTree).
int64_t reportUnlisted(const char* root, const std::vector<FileId>& excluded,
                       const ReachedFiles& reached, Report& report,
                       const PathPatterns* exclude = nullptr);

// The entries a source names: by the directory that holds each in the
// run's tree of names and its name there ("." in the top for the top
// itself), the caller's. A source names paths, not files, so another hard
// link of a named file is not named.
class NamedEntries {
 public:
  explicit NamedEntries(const Directory* top) : top_(top) {}
  // `ignore`: the entry says that nothing below it is to be searched.
  void add(const Directory* dir, const char* name, bool ignore);
  // Once every entry is added.
  void seal();
  // Whether an entry names `path` (below the top; empty for the top), and
  // in `*ignore` whether one that names it says "ignore".
  bool names(std::string_view path, bool* ignore) const;

 private:
  struct Key {
    const Directory* dir;
    const char* name;
  };
  static bool before(const Key& a, const Key& b);
  static void sortUnique(std::vector<Key>* keys);
  bool holds(const std::vector<Key>& keys, const Key& key) const;

  const Directory* top_;
  std::vector<Key> keys_, ignored_;
  // The directory of the last path asked for, found again only when the
  // next path lies elsewhere.
  mutable std::string lastParent_;
  mutable const Directory* lastDir_ = nullptr;
};

// Under a manifest: looks at the tree under `root` as it is (links not
// followed) and reports, after the phase line, every entry (file,
// directory, link, FIFO, socket, device) that `named` does not name, but
// nothing below an entry that says "ignore", nor the files `excluded`
// identifies; and every place that cannot be read. Returns how many it
// reported.
int64_t reportUnnamed(const char* root, const std::vector<FileId>& excluded,
                      const NamedEntries& named, Report& report,
                      const PathPatterns* exclude = nullptr);

#endif  // KORLAN_UNLISTED_H_
