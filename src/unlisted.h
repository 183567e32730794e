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
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fileid.h"

class Report;

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
int64_t reportUnlisted(const char* root, const std::vector<FileId>& excluded,
                       const ReachedFiles& reached, Report& report);

// The paths a manifest names, below the top ("." for the top), kept by
// the caller: a manifest names paths, not files, so another hard link of a
// named file is not named.
class NamedPaths {
 public:
  void add(std::string_view path) { paths_.push_back(path); }
  // Once every path is added.
  void seal();
  bool names(std::string_view path) const;

 private:
  std::vector<std::string_view> paths_;
};

// Under a manifest: looks at the tree under `root` as it is (links not
// followed) and reports, after the phase line, every entry (file,
// directory, link, FIFO, socket, device) that `named` does not name, but
// nothing below the directories of `ignored`, nor the files `excluded`
// identifies; and every place that cannot be read. Returns how many it
// reported.
int64_t reportUnnamed(const char* root, const std::vector<FileId>& excluded,
                      const NamedPaths& named,
                      const std::set<std::string_view>& ignored,
                      Report& report);

#endif  // KORLAN_UNLISTED_H_
