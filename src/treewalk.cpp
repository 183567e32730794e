// treewalk.cpp: the walk of a tree on disk.
//
// The walk is iterative and fd-relative: every directory is opened with
// openat below its parent's descriptor, so neither the depth of the tree nor
// the length of its paths is limited by the stack or by PATH_MAX. A level
// holds only the sorted names of its sub-directories while the walk is below
// it; the files of a directory are reported and forgotten before the walk
// descends. Memory is thus one directory's listing plus the pending
// sub-directory names along the current path, whatever the size of the tree.
#include "treewalk.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "message.h"
#include "packlist.h"
#include "pool.h"

bool readLinkAt(int dirFd, const char* name, int64_t size,
                std::string* target) {
  target->assign(size > 0 ? static_cast<size_t>(size) + 1 : 256, '\0');
  for (;;) {
    const ssize_t n = readlinkat(dirFd, name, &(*target)[0], target->size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < target->size()) {
      target->resize(n);
      if (size <= 0 || n == size) return true;
      errno = ESTALE;
      return false;
    }
    target->resize(2 * target->size());
  }
}

std::vector<FileId> identitiesOf(const std::vector<std::string>& paths) {
  std::vector<FileId> ids;
  struct stat st;
  for (const std::string& path : paths)
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      ids.push_back({st.st_dev, st.st_ino});
  return ids;
}

bool TreeVisitor::kept(const char* name, int) { return isKeptFile(name); }

const char kPseudoFile[] =
    "it leads to a file whose bytes are not what stat says";

bool leadsToPseudoFile(int dirFd, const char* name) {
  const int fd = openat(dirFd, name, O_PATH | O_CLOEXEC);
  struct statfs fs;
  const bool pseudo =
      fd >= 0 && fstatfs(fd, &fs) == 0 &&
      (fs.f_type == PROC_SUPER_MAGIC || fs.f_type == SYSFS_MAGIC ||
       fs.f_type == DEBUGFS_MAGIC || fs.f_type == TRACEFS_MAGIC ||
       fs.f_type == SECURITYFS_MAGIC || fs.f_type == CGROUP_SUPER_MAGIC ||
       fs.f_type == CGROUP2_SUPER_MAGIC);
  if (fd >= 0) close(fd);
  return pseudo;
}

bool PathPatterns::match(std::string_view path) const {
  if (patterns_.empty() || path.empty()) return false;
  const std::string dotted = "./" + std::string(path);
  for (const std::string& p : patterns_) {
    if (fnmatch(p.c_str(), dotted.c_str(), 0) == 0) return true;
    for (size_t from = 2; from < dotted.size();) {
      if (fnmatch(p.c_str(), dotted.c_str() + from, 0) == 0) return true;
      const size_t slash = dotted.find('/', from);
      if (slash == std::string::npos) break;
      from = slash + 1;
    }
  }
  return false;
}

bool isExcluded(const std::vector<FileId>& excluded, const struct stat& st) {
  for (const FileId& id : excluded)
    if (st.st_dev == id.dev && st.st_ino == id.ino) return true;
  return false;
}

namespace {

// Directories whose descriptors stay open at once. Deeper levels close the
// descriptor of the level this far above them and reopen it through ".."
// on the way back, so a tree of any depth needs no more than this many.
// Half of what the descriptor limit leaves, past those open now (inherited
// ones too) and a reserve, goes to the walk: the reserve covers the walk's
// own passing descriptors (a listing, a way back), what the caller keeps for
// its threads, and a few opened meanwhile; the other half stays for
// whatever else the program opens.
int openLevels(int reserved) {
  const long kMost = 64;
  const long free = spareDescriptors();
  if (free == INT_MAX) return kMost;
  const long levels = (free - 8 - (reserved > 0 ? reserved : 0)) / 2;
  return levels < 1 ? 1 : levels > kMost ? kMost : static_cast<int>(levels);
}

// One directory on the current path of the walk.
struct Level {
  int fd = -1;            // -1 while closed to spare descriptors
  dev_t dev = 0;          // identity recorded when fd was closed, to make
  ino_t ino = 0;          // sure ".." leads back to the same directory
  size_t pathLength = 0;  // length of this directory's path below the root
  // The sub-directories still to visit: offsets of NUL-ended names in
  // `names`, sorted; `next` is the one to visit next. One buffer for all
  // names spares an allocation per entry.
  std::string names;
  std::vector<uint32_t> subDirs;
  size_t next = 0;
};

// An entry of the directory being read: its name's offset in the name
// buffer and the type the directory gave (DT_UNKNOWN when it gives none).
struct Entry {
  uint32_t name;
  unsigned char type;
};

class Walker {
 public:
  Walker(const char* root, const std::vector<FileId>& excluded,
         TreeVisitor& visitor, int reserved, bool physical,
         const PathPatterns* exclude)
      : exclude_(exclude != nullptr && !exclude->empty() ? exclude : nullptr),
        root_(root),
        rootLength_(strlen(root)),
        excluded_(excluded),
        visitor_(visitor),
        openLevels_(static_cast<size_t>(openLevels(reserved))),
        physical_(physical) {}

  void run();

 private:
  // Reads the directory of levels_[depth] into entries_, sorted by name. A
  // failure is reported; what was read before it is kept.
  void readEntries(size_t depth);
  // Reports the entry if it is a file, records it in levels_[depth] if it
  // is a directory to enter, and passes over anything else.
  void visitEntry(size_t depth, const Entry& e);
  // The same, in the physical walk: every entry is reported.
  void visitPhysical(size_t depth, const char* name);
  // Whether the verification of a list could look up `name` in the current
  // directory: ROOT "/" PATH and a NUL within the system's limit. Refuses
  // it when not.
  bool withinPathMax(const char* name, size_t length, const struct stat& st);
  // Appends `name` to the current relative path.
  void enter(const char* name);
  // Makes sure levels_[depth] has an open descriptor, reopening it through
  // ".." of `childFd`, or by its path below the nearest level still open.
  // False, with the failure reported, when it cannot.
  bool reopen(size_t depth, int childFd);
  // Opens levels_[depth] by its path below the nearest level above it that
  // is open, or below the root.
  int openByPath(size_t depth);
  // Closes levels_[depth]'s descriptor, remembering the directory's
  // identity for reopen.
  void park(size_t depth);

  // `name` below the current directory, or the directory itself for null.
  std::string_view pathOf(const char* name);
  void refuse(const char* name, Refusal kind, const char* why,
              const struct stat* st) {
    visitor_.refused(pathOf(name), kind, why, st);
  }

  const PathPatterns* exclude_;  // null: nothing is left out by its path
  const char* root_;
  const size_t rootLength_;
  const std::vector<FileId>& excluded_;
  TreeVisitor& visitor_;
  const size_t openLevels_;
  const bool physical_;
  std::string path_;   // the current directory's path below the root
  std::string named_;  // scratch for pathOf
  std::vector<Level> levels_;
  // Scratch for the directory being read, kept across directories so that
  // its buffers are allocated once.
  std::string entryNames_;
  std::vector<Entry> entries_;
};

std::string_view Walker::pathOf(const char* name) {
  if (name == nullptr) return path_;
  named_ = path_;
  if (!named_.empty()) named_ += '/';
  return named_ += name;
}

void Walker::enter(const char* name) {
  if (!path_.empty()) path_ += '/';
  path_ += name;
}

void Walker::readEntries(size_t depth) {
  entryNames_.clear();
  entries_.clear();
  // The stream gets a descriptor of its own: closedir closes it, and the
  // level's descriptor must outlive the listing to open sub-directories.
  const int streamFd = dup(levels_[depth].fd);
  DIR* dir = streamFd < 0 ? nullptr : fdopendir(streamFd);
  if (dir == nullptr) {
    const int error = errno;
    if (streamFd >= 0) close(streamFd);
    refuse(nullptr, Refusal::kUnreadable, strerror(error), nullptr);
    return;
  }
  for (;;) {
    errno = 0;
    const dirent* e = readdir(dir);
    if (e == nullptr) {
      if (errno != 0)
        refuse(nullptr, Refusal::kUnreadable, strerror(errno), nullptr);
      break;
    }
    const char* name = e->d_name;
    if (name[0] == '.' &&
        (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
      continue;
    // Special files are never listed, nor named in a message.
    const unsigned char type = e->d_type;
    if (!physical_ && type != DT_DIR && type != DT_REG && type != DT_LNK &&
        type != DT_UNKNOWN)
      continue;
    entries_.push_back({static_cast<uint32_t>(entryNames_.size()), type});
    entryNames_.append(name, strlen(name) + 1);
  }
  closedir(dir);

  // Sorted once, the entries are examined in the order they are reported,
  // and the messages about them come in that order too.
  const char* base = entryNames_.data();
  std::sort(entries_.begin(), entries_.end(),
            [base](const Entry& a, const Entry& b) {
              return strcmp(base + a.name, base + b.name) < 0;
            });
}

bool Walker::withinPathMax(const char* name, size_t length,
                           const struct stat& st) {
  // Verification looks a file up by its whole path, ROOT "/" PATH and a
  // NUL, which the system refuses beyond its limit; this walk goes one
  // directory at a time and would not notice. A file of the top directory
  // has no separator of its own.
  const size_t dirPart = path_.empty() ? 0 : path_.size() + 1;
  if (rootLength_ + 1 + dirPart + length + 1 <= PATH_MAX) return true;
  refuse(name, Refusal::kPathTooLong, kPathTooLong, &st);
  return false;
}

void Walker::visitPhysical(size_t depth, const char* name) {
  Level& level = levels_[depth];
  if (exclude_ != nullptr && exclude_->match(pathOf(name))) return;
  struct stat st;
  if (fstatat(level.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    refuse(name, Refusal::kUnreadable, strerror(errno), nullptr);
    return;
  }
  const bool isDir = S_ISDIR(st.st_mode);
  if (!isDir && ((depth == 0 && visitor_.kept(name, level.fd)) ||
                 isExcluded(excluded_, st)))
    return;
  if (!withinPathMax(name, strlen(name), st)) return;
  if (isDir) {
    // Told of when the walk enters it, before what it holds.
    level.subDirs.push_back(static_cast<uint32_t>(level.names.size()));
    level.names.append(name, strlen(name) + 1);
    return;
  }
  visitor_.node(pathOf(name), name, level.fd, st);
}

void Walker::visitEntry(size_t depth, const Entry& e) {
  Level& level = levels_[depth];
  const char* name = entryNames_.data() + e.name;
  if (physical_) return visitPhysical(depth, name);
  if (exclude_ != nullptr && exclude_->match(pathOf(name))) return;
  const size_t length = strlen(name);
  // The type from the directory spares directories a stat call; files
  // need one for their size anyway.
  bool isDir = e.type == DT_DIR, isLink = e.type == DT_LNK;
  struct stat st;
  if (!isDir && !isLink) {
    if (fstatat(level.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      refuse(name, Refusal::kUnreadable, strerror(errno), nullptr);
      return;
    }
    isDir = S_ISDIR(st.st_mode);
    isLink = S_ISLNK(st.st_mode);
    if (!isDir && !isLink && !S_ISREG(st.st_mode)) return;
  }
  // A link is listed as verification will see it, through the link;
  // links to directories are not followed.
  if (isLink) {
    if (fstatat(level.fd, name, &st, 0) != 0) {
      // A link that leads nowhere or into a loop names no file; one that
      // cannot be followed (a directory on the way that may not be
      // searched) may well name one, which the list then lacks.
      if (leadsNowhere(errno))
        visitor_.skippedLink(pathOf(name), strerror(errno));
      else
        refuse(name, Refusal::kUnreadable, strerror(errno), nullptr);
      return;
    }
    if (!S_ISREG(st.st_mode)) return;
    if (leadsToPseudoFile(level.fd, name)) {
      visitor_.skippedLink(pathOf(name), kPseudoFile);
      return;
    }
  }
  if (const char* why = unlistableName(name, length)) {
    // A directory known from its entry alone is examined only now: such
    // names are rare, and a visitor may want to say what is there.
    const bool examined =
        !isDir || e.type != DT_DIR ||
        fstatat(level.fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    refuse(name, Refusal::kName, why, examined ? &st : nullptr);
    return;
  }
  if (isDir) {
    level.subDirs.push_back(static_cast<uint32_t>(level.names.size()));
    level.names.append(name, length + 1);
    return;
  }
  // The files Korlan keeps at the top, at exactly their paths, and a file
  // to leave out under any name: the list being written, say, which
  // changes size as it is written.
  if ((depth == 0 && visitor_.kept(name, level.fd)) ||
      isExcluded(excluded_, st))
    return;
  if (!withinPathMax(name, length, st)) return;
  visitor_.file({pathOf(name), name, level.fd, &st, isLink});
}

void Walker::park(size_t depth) {
  Level& level = levels_[depth];
  struct stat st;
  // Without its identity the level could not be checked when reopened:
  // keep it open then, at the cost of one more descriptor.
  if (fstat(level.fd, &st) != 0) return;
  level.dev = st.st_dev;
  level.ino = st.st_ino;
  close(level.fd);
  level.fd = -1;
}

int Walker::openByPath(size_t depth) {
  size_t above = depth;  // the open level is above - 1; none when 0
  while (above > 0 && levels_[above - 1].fd < 0) --above;
  const size_t base = above == 0 ? 0 : levels_[above - 1].pathLength;
  const size_t from = base == 0 ? 0 : base + 1;  // past its "/"
  std::string path = from >= levels_[depth].pathLength
                         ? std::string(".")
                         : path_.substr(from, levels_[depth].pathLength - from);
  if (above == 0) path = std::string(root_) + "/" + path;
  return openat(above == 0 ? AT_FDCWD : levels_[above - 1].fd, path.c_str(),
                O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool Walker::reopen(size_t depth, int childFd) {
  Level& level = levels_[depth];
  if (level.fd >= 0) return true;
  // ".." needs search permission on the child: a directory that can be
  // listed but not searched has none, and the level is opened again by
  // its path. Its identity, either way, says it is the same directory.
  int fd = openat(childFd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) fd = openByPath(depth);
  struct stat st;
  const char* why = nullptr;
  if (fd < 0 || fstat(fd, &st) != 0)
    why = strerror(errno);
  else if (st.st_dev != level.dev || st.st_ino != level.ino)
    why = "directory moved during the listing";
  if (why == nullptr) {
    level.fd = fd;
    return true;
  }
  if (fd >= 0) close(fd);
  path_.resize(level.pathLength);
  refuse(nullptr, Refusal::kUnreadable, why, nullptr);
  return false;
}

void Walker::run() {
  const int rootFd = open(root_, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) {
    refuse(nullptr, Refusal::kUnreadable, strerror(errno), nullptr);
    return;
  }
  levels_.resize(1);
  levels_[0].fd = rootFd;
  struct stat rootSt;
  if (physical_ && (fstat(rootFd, &rootSt) != 0 ||
                    !visitor_.node(path_, ".", rootFd, rootSt))) {
    close(rootFd);
    return;
  }

  // The walk keeps its own stack, one Level per directory on the current
  // path; Levels past the top keep their buffers for the next descent.
  size_t depth = 0;
  bool entered = true;  // levels_[depth] is new and yet to be read
  for (;;) {
    Level& level = levels_[depth];
    if (entered) {
      entered = false;
      level.names.clear();
      level.subDirs.clear();
      level.next = 0;
      readEntries(depth);
      for (const Entry& e : entries_) visitEntry(depth, e);
      continue;
    }
    if (level.next == level.subDirs.size()) {
      if (depth == 0) break;
      const bool back = reopen(depth - 1, level.fd);
      close(level.fd);
      level.fd = -1;
      // Without a way back the rest of the tree cannot be reached: what is
      // reported is complete up to here, and the refusal says it is not all.
      if (!back) break;
      --depth;
      continue;
    }
    const char* name = level.names.data() + level.subDirs[level.next++];
    path_.resize(level.pathLength);
    // O_NOFOLLOW: a directory replaced by a link since it was read must not
    // lead the walk out of the tree.
    const int fd =
        openat(level.fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      refuse(name, Refusal::kUnreadable, strerror(errno), nullptr);
      continue;
    }
    struct stat st;
    if (physical_) {
      const bool examined = fstat(fd, &st) == 0;
      if (!examined)
        refuse(name, Refusal::kUnreadable, strerror(errno), nullptr);
      if (!examined || !visitor_.node(pathOf(name), name, level.fd, st)) {
        close(fd);
        continue;
      }
    }
    enter(name);
    ++depth;
    if (levels_.size() == depth) levels_.emplace_back();
    levels_[depth].fd = fd;
    levels_[depth].pathLength = path_.size();
    if (depth >= openLevels_ && levels_[depth - openLevels_].fd >= 0)
      park(depth - openLevels_);
    entered = true;
  }
  for (Level& l : levels_)
    if (l.fd >= 0) close(l.fd);
}

}  // namespace

void walkTree(const char* root, const std::vector<FileId>& excluded,
              TreeVisitor& visitor, int reserved, bool physical,
              const PathPatterns* exclude) {
  Walker(root, excluded, visitor, reserved, physical, exclude).run();
}
