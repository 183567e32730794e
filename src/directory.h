// directory.h: the packing-list tree, the walk that compares it with the
// disk, and the probe of one file.
#ifndef KORLAN_DIRECTORY_H_
#define KORLAN_DIRECTORY_H_

#include <fcntl.h>

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <unordered_map>

#include "fileid.h"

class Token;
class Report;
struct Directory;

// One expected file: its name, the size the packing list gives, and the
// directory that holds it. Files of a directory form a list through `next`,
// in the order the packing list names them.
struct File {
  File(const char* name, int64_t size);
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // The path at which this file is expected: its directory's path (see
  // directoryPath), the separator and the file's name.
  std::string getExpectedFilename(const Directory* root, char sep) const;

  char* name;
  int64_t size;
  Directory* dir;
  File* next;
  // Its place in the list, from 0: what the disk says of it is kept apart,
  // in reading order (see prober.h), and found there by this.
  size_t entry = 0;

 private:
  // Most file names are short: they live in the record itself, which spares
  // a list of a million files a million allocations. Longer names go to the
  // heap.
  char shortName[16];
};

// One directory level. Sub-directories form a list from `subDir` through
// `peerDir`, files a list from `files` through `next`; both keep the order in
// which the packing list first names their members.
struct Directory {
  explicit Directory(const char* name);
  // Releases the whole subtree, without recursion: a list may nest deeper
  // than the stack would allow.
  ~Directory();
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // Records the rest of one packing-list entry below this directory. `token`
  // is the first component of the path below "./"; insert reads the further
  // components into the same token, creating or reusing a sub-directory for
  // each directory token, and records the file named by the first token that
  // is not one, with `size`. Returns 0 when the file is recorded (and, when
  // `recorded` is given, stores the new File there), -1 when the entry ended
  // without a file name (end of input, or a token no name may be), with
  // `token` holding the token that ended it.
  int insert(Token* token, std::istream& in, int64_t size,
             File** recorded = nullptr);

  // Finds the sub-directory named like `d` and returns it, deleting `d`; or,
  // when there is none, links `d` as the last sub-directory and returns it.
  Directory* add(Directory* d);
  // Links `f` as the last file of this directory.
  void add(File* f);
  // The sub-directory of that name, or null.
  Directory* find(std::string_view childName) const;
  // The sub-directory of that name, made and linked as the last one when
  // there is none.
  Directory* child(std::string_view childName);

  // Walks this directory and everything below it, depth first: a directory's
  // files in list order, then its sub-directories one after the other. Each
  // file is compared at its expected path (see File::getExpectedFilename)
  // by `comparison`, which reports what differs. Counts in CountFiles and
  // CountErrors, and writes the progress dots on `report`.
  void iterate(const Directory* root, char sep, Report& report,
               class FileComparison& comparison);

  Directory* subDir;
  Directory* peerDir;
  File* files;
  char* name;
  // The directory that holds this one; null for a node made on its own (the
  // top node), which adds no component to the paths below it.
  Directory* parent = nullptr;

 private:
  // Links `d`, whose name no sub-directory has, as the last sub-directory.
  Directory* link(Directory* d);

  // Tails make every append O(1); a directory of many sub-directories gets an
  // index by name, so that neither the width of a directory nor the length
  // of the list makes reading quadratic.
  Directory* lastSubDir = nullptr;
  File* lastFile = nullptr;
  size_t subDirCount = 0;
  std::unordered_map<std::string_view, Directory*>* index = nullptr;
};

// What the system reports for one path: whether `stat` succeeded (status 0,
// else -1), the size it gave (0 on failure) and why it failed (`error`, the
// errno; 0 on success), and the identity of the file found. `path` is the
// caller's pointer, not a copy.
struct HostFile {
  explicit HostFile(const char* path) : HostFile(AT_FDCWD, path) {}
  // The same for `path` relative to the directory open as `dirFd`
  // (AT_FDCWD: the current one), as fstatat answers.
  HostFile(int dirFd, const char* path);

  const char* path;
  int64_t size;
  int status;
  int error;
  FileId id = {0, 0};
};

// The path of directory `d`, written into `path` (its buffer reused): the
// root node's name, then, each added by appendComponent, the names of the
// directories from the first level below the top node down to `d`. The top
// node, which has no parent, adds no component. The walk, the probe workers
// and File::getExpectedFilename form every path with these two, so the path
// a file is probed at is the path the report names.
void directoryPath(const Directory* root, const Directory* d, char sep,
                   std::string* path);
// One level down: appends the separator and `name` to `path`.
inline void appendComponent(std::string* path, char sep, const char* name) {
  *path += sep;
  *path += name;
}

// The one way a path below ROOT is named outside the walk (a file found on
// the disk, a path a sums file names): `root`, "/" and `path`; `root`
// alone for the empty path. ROOT stays as given, so such a path begins as
// the walk's paths do.
std::string belowRoot(std::string_view root, std::string_view path);
// Whether a path below ROOT has a ".." component, and so may name a file
// outside it.
bool leavesTop(std::string_view path);

// What the walk does with each file.
class FileComparison {
 public:
  // Compares the disk with the list for `f`, expected at `path`, and
  // reports what differs. True when the comparison failed.
  virtual bool compare(const File& f, const std::string& path) = 0;

 protected:
  ~FileComparison() = default;
};

// The comparisons made, and those that failed, by the last walk.
extern int64_t CountFiles;
extern int64_t CountErrors;

#endif  // KORLAN_DIRECTORY_H_
