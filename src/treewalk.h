// treewalk.h: the walk of a tree on disk, in the order a packing list names
// its files.
//
// The walk is what `korlan --make-list` writes a list from, and what any
// other look at the tree on disk takes its files from, so that every such
// look sees the same files in the same order: a directory's entries sorted
// by name as bytes, its files reported at once, its sub-directories entered
// afterwards in the same order, each with everything below it. That is the
// order in which verification walks such a list.
#ifndef KORLAN_TREEWALK_H_
#define KORLAN_TREEWALK_H_

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "fileid.h"

// A file that a packing list can name: a regular file, or a symbolic link
// that resolves to one.
struct FoundFile {
  std::string_view path;  // below the root: components joined by "/"
  const char* name;       // its last component
  int dirFd;              // the directory that holds it, open for openat
  const struct stat* st;  // of the file; of the target, for a link
  bool throughLink;       // `name` is a link, to the file `st` describes
};

// What the walk meets besides listable files.
enum class Refusal {
  kName,         // a name no list can hold; a directory so named is not
                 // entered. `st` says what it is (null when it could not
                 // be examined).
  kPathTooLong,  // longer than verification could look up (PATH_MAX)
  kUnreadable,   // a directory that cannot be read, an entry that cannot be
                 // examined, a link that cannot be followed
};

// Receives what the walk finds, in walk order. Paths are below the root;
// the root itself is the empty path.
class TreeVisitor {
 public:
  virtual ~TreeVisitor() = default;
  // A file a list can name (the walk for lists).
  virtual void file(const FoundFile&) {}
  // Anything at all, as lstat finds it, with no rule on names (the
  // physical walk): each directory (the root first) before what it holds,
  // with `dirFd` the directory that holds it (the root's own for the
  // root). For a directory, returns whether to walk what it holds.
  virtual bool node(std::string_view /*path*/, const char* /*name*/,
                    int /*dirFd*/, const struct stat& /*st*/) {
    return true;
  }
  // `st` is null when the entry could not be examined.
  virtual void refused(std::string_view path, Refusal kind, const char* why,
                       const struct stat* st) = 0;
  // A link that names no file: its target is missing, or links loop.
  virtual void skippedLink(std::string_view path, const char* why) = 0;
  // Whether the walk leaves out `name`, a file (no directory) at the top,
  // as one of the files Korlan keeps there (the directory open as `dirFd`).
  // By default: every file at a kept name (see isKeptFile).
  virtual bool kept(const char* name, int dirFd);
};

// Whether a link that could not be followed for `error` (an errno) leads
// nowhere (its target is missing, or links loop), and so names no file: a
// list made of a tree passes it over with a warning. Any other failure may
// hide a file the list then lacks.
inline bool leadsNowhere(int error) {
  return error == ENOENT || error == ENOTDIR || error == ELOOP;
}

// Whether the regular file the link `name` in the directory `dirFd` leads
// to lies on a file system whose files are not what stat says of them
// (proc, sysfs ...: a size of 0 or 4096, and any bytes, new ones at each
// read): no list can state it, and the walk for lists passes the link
// over with a warning, as one that leads nowhere.
bool leadsToPseudoFile(int dirFd, const char* name);
extern const char kPseudoFile[];  // the warning's reason

// Globs for paths below a top, matched as tar matches --exclude: each with
// fnmatch(3), "*" matching "/" too, against the path as "./PATH" and
// against each of its trailing parts ("c", "b/c" of "a/b/c"), so that
// "./var/cache" names that one directory and "*.swp" any such file.
class PathPatterns {
 public:
  void add(std::string pattern) { patterns_.push_back(std::move(pattern)); }
  bool empty() const { return patterns_.empty(); }
  // Whether one matches `path` (below the top, without "./"; "" the top).
  bool match(std::string_view path) const;

 private:
  std::vector<std::string> patterns_;
};

// The target of the symbolic link `name` in the directory `dirFd` (or
// AT_FDCWD), as readlink gives it, into `*target`, which lstat found to be
// `size` bytes long. False with errno set when it cannot be read, or reads
// as another length: the link was replaced since, and its target is never
// taken half or empty (ESTALE then). A size of 0, which some file systems
// give every link, takes any length.
bool readLinkAt(int dirFd, const char* name, int64_t size, std::string* target);

// The identities of those of `paths` that lead to a regular file, links
// followed: files a walk is to leave out under any name.
std::vector<FileId> identitiesOf(const std::vector<std::string>& paths);
// Whether `st` describes one of the files `excluded` identifies.
bool isExcluded(const std::vector<FileId>& excluded, const struct stat& st);

// Walks the tree under the directory `root`, telling `visitor` of every
// file a list can name and of every path it cannot list. Directories,
// devices, FIFOs and sockets are not reported, nor files whose identity is
// in `excluded`, nor the files Korlan keeps at the top of an installation
// at exactly their paths that the visitor leaves out (TreeVisitor::kept). Links
// to directories are not followed; mount points are crossed. The walk keeps as
// many directories open as the descriptor limit allows, leaving `reserved`
// descriptors to threads that read meanwhile.
//
// With `physical`, every entry is told of as it is, through node(): links
// are not followed, and every name is taken; the same files are left out.
//
// A path `exclude` matches is left out, and an excluded directory not
// entered.
void walkTree(const char* root, const std::vector<FileId>& excluded,
              TreeVisitor& visitor, int reserved = 0, bool physical = false,
              const PathPatterns* exclude = nullptr);
// The descriptors a walk needs at the least: a directory, its listing and
// the directory it enters. A run that walks refuses to start without them.
const int kWalkDescriptors = 3;

#endif  // KORLAN_TREEWALK_H_
