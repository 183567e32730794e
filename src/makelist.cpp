// makelist.cpp: the packing list of a tree on disk.
//
// The walk is iterative and fd-relative: every directory is opened with
// openat below its parent's descriptor, so neither the depth of the tree nor
// the length of its paths is limited by the stack or by PATH_MAX. A level
// holds only the sorted names of its sub-directories while the walk is below
// it; the files of a directory are written and forgotten before the walk
// descends. Memory is thus one directory's listing plus the pending
// sub-directory names along the current path, whatever the size of the tree.
#include "makelist.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "status.h"
#include "token.h"

const char* unlistableName(const char* name, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (Token::isSpace(name[i])) return "name holds white space";
  if (length > static_cast<size_t>(Token::kMaxLength))
    return "name longer than 1023 bytes";
  return nullptr;
}

namespace {

const char kPathTooLong[] = "path longer than the system allows (PATH_MAX)";

// Directories whose descriptors stay open at once. Deeper levels close the
// descriptor of the level this far above them and reopen it through ".."
// on the way back, so a tree of any depth needs no more than this many.
const int kOpenLevels = 64;

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

class Lister {
 public:
  Lister(const char* root, std::ostream& out, std::ostream& err)
      : root_(root), rootLength_(strlen(root)), out_(out), err_(err) {}

  int run();

 private:
  // Reads the directory of levels_[depth], writes its listable files and
  // records its sub-directories, both in name order.
  void readLevel(size_t depth);
  // Appends `name` to the current relative path.
  void enter(const char* name);
  // Makes sure levels_[depth] has an open descriptor, reopening it through
  // ".." of `childFd`. False, with the failure reported, when it cannot.
  bool reopen(size_t depth, int childFd);
  // Closes levels_[depth]'s descriptor, remembering the directory's
  // identity for reopen.
  void park(size_t depth);

  // Reports on err: "korlan: WHAT "PATH": WHY", the path named as the user
  // would reach it, `name` below the current directory (none when null).
  void report(const char* what, const char* name, const char* why);
  void fail(const char* name, const char* why) {
    report("cannot list", name, why);
    status_ = kStatusError;
  }

  const char* root_;
  const size_t rootLength_;
  std::ostream& out_;
  std::ostream& err_;
  int status_ = kStatusOk;
  // What ROOT/packing.lst is, when there is one.
  bool haveList_ = false;
  dev_t listDev_ = 0;
  ino_t listIno_ = 0;
  std::string path_;  // the current directory's path below the root
  std::vector<Level> levels_;
  // Scratch for the directory being read, kept across directories so that
  // its buffers are allocated once.
  std::string entryNames_;
  std::vector<Entry> entries_;
};

// Writes `s` between double quotes, with the bytes a terminal would not show
// as themselves escaped C-style: a name may hold a line end or a tab, and
// one message must stay one line that names the path unambiguously.
void writeQuoted(std::ostream& os, std::string_view s) {
  os << '"';
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': os << "\\\""; break;
      case '\\': os << "\\\\"; break;
      case '\t': os << "\\t"; break;
      case '\n': os << "\\n"; break;
      case '\v': os << "\\v"; break;
      case '\f': os << "\\f"; break;
      case '\r': os << "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          const char octal[] = {'\\', static_cast<char>('0' + (c >> 6)),
                                static_cast<char>('0' + ((c >> 3) & 7)),
                                static_cast<char>('0' + (c & 7))};
          os.write(octal, sizeof octal);
        } else {
          os << ch;
        }
    }
  }
  os << '"';
}

void Lister::report(const char* what, const char* name, const char* why) {
  std::string shown = root_;
  const bool below = !path_.empty() || name != nullptr;
  if (below && (shown.empty() || shown.back() != '/')) shown += '/';
  shown += path_;
  if (name != nullptr) {
    if (!path_.empty()) shown += '/';
    shown += name;
  }
  err_ << "korlan: " << what << ' ';
  writeQuoted(err_, shown);
  err_ << ": " << why << std::endl;
}

void Lister::enter(const char* name) {
  if (!path_.empty()) path_ += '/';
  path_ += name;
}

void Lister::readLevel(size_t depth) {
  Level& level = levels_[depth];
  level.names.clear();
  level.subDirs.clear();
  level.next = 0;
  entryNames_.clear();
  entries_.clear();

  // The stream gets a descriptor of its own: closedir closes it, and the
  // level's descriptor must outlive the listing to open sub-directories.
  const int streamFd = dup(level.fd);
  DIR* dir = streamFd < 0 ? nullptr : fdopendir(streamFd);
  if (dir == nullptr) {
    const int error = errno;
    if (streamFd >= 0) close(streamFd);
    fail(nullptr, strerror(error));
    return;
  }
  for (;;) {
    errno = 0;
    const dirent* e = readdir(dir);
    if (e == nullptr) {
      if (errno != 0) fail(nullptr, strerror(errno));
      break;
    }
    const char* name = e->d_name;
    if (name[0] == '.' &&
        (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
      continue;
    // The list at the top is being written, or will be replaced: listing it
    // would give a size that is wrong as soon as it is written.
    if (depth == 0 && strcmp(name, "packing.lst") == 0) continue;
    // Special files are never listed, nor named in a message.
    const unsigned char type = e->d_type;
    if (type != DT_DIR && type != DT_REG && type != DT_LNK &&
        type != DT_UNKNOWN)
      continue;
    entries_.push_back({static_cast<uint32_t>(entryNames_.size()), type});
    entryNames_.append(name, strlen(name) + 1);
  }
  closedir(dir);

  // Sorted once, the entries are examined in the order they are written,
  // and the messages about them come in that order too.
  const char* base = entryNames_.data();
  std::sort(entries_.begin(), entries_.end(),
            [base](const Entry& a, const Entry& b) {
              return strcmp(base + a.name, base + b.name) < 0;
            });
  for (const Entry& e : entries_) {
    const char* name = base + e.name;
    const size_t length = strlen(name);
    // The type from the directory spares directories a stat call; files
    // need one for their size anyway.
    bool isDir = e.type == DT_DIR, isLink = e.type == DT_LNK;
    struct stat st;
    if (!isDir && !isLink) {
      if (fstatat(level.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        fail(name, strerror(errno));
        continue;
      }
      isDir = S_ISDIR(st.st_mode);
      isLink = S_ISLNK(st.st_mode);
      if (!isDir && !isLink && !S_ISREG(st.st_mode)) continue;
    }
    // A link is listed as verification will see it, through the link;
    // links to directories are not followed.
    if (isLink) {
      if (fstatat(level.fd, name, &st, 0) != 0) {
        // A link that leads nowhere or into a loop names no file; one that
        // cannot be followed (a directory on the way that may not be
        // searched) may well name one, which the list then lacks.
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP)
          report("skipped link", name, strerror(errno));
        else
          fail(name, strerror(errno));
        continue;
      }
      if (!S_ISREG(st.st_mode)) continue;
    }
    if (const char* why = unlistableName(name, length)) {
      fail(name, why);
      continue;
    }
    if (isDir) {
      level.subDirs.push_back(static_cast<uint32_t>(level.names.size()));
      level.names.append(name, length + 1);
      continue;
    }
    // The list itself, under another name or through a link, changes size
    // as it is written.
    if (haveList_ && st.st_dev == listDev_ && st.st_ino == listIno_) continue;
    // Verification looks a file up by its whole path, which the system
    // refuses beyond its limit; this walk goes one directory at a time and
    // would not notice.
    if (rootLength_ + 1 + path_.size() + 1 + length >= PATH_MAX) {
      fail(name, kPathTooLong);
      continue;
    }
    out_ << st.st_size << " ./";
    if (!path_.empty()) out_ << path_ << '/';
    out_ << name << '\n';
  }
}

void Lister::park(size_t depth) {
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

bool Lister::reopen(size_t depth, int childFd) {
  Level& level = levels_[depth];
  if (level.fd >= 0) return true;
  const int fd = openat(childFd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
  fail(nullptr, why);
  return false;
}

int Lister::run() {
  const int rootFd = open(root_, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) {
    fail(nullptr, strerror(errno));
    return status_;
  }
  struct stat list;
  if (fstatat(rootFd, "packing.lst", &list, 0) == 0 && S_ISREG(list.st_mode)) {
    haveList_ = true;
    listDev_ = list.st_dev;
    listIno_ = list.st_ino;
  }
  levels_.resize(1);
  levels_[0].fd = rootFd;
  readLevel(0);

  // The walk keeps its own stack, one Level per directory on the current
  // path; Levels past the top keep their buffers for the next descent.
  size_t depth = 0;
  for (;;) {
    Level& level = levels_[depth];
    if (level.next == level.subDirs.size()) {
      if (depth == 0) break;
      const bool back = reopen(depth - 1, level.fd);
      close(level.fd);
      level.fd = -1;
      // Without a way back the rest of the tree cannot be reached: what is
      // written is complete up to here, and the status says it is not all.
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
      fail(name, strerror(errno));
      continue;
    }
    enter(name);
    ++depth;
    if (levels_.size() == depth) levels_.emplace_back();
    levels_[depth].fd = fd;
    levels_[depth].pathLength = path_.size();
    if (depth >= static_cast<size_t>(kOpenLevels) &&
        levels_[depth - kOpenLevels].fd >= 0)
      park(depth - kOpenLevels);
    readLevel(depth);
  }
  for (Level& l : levels_)
    if (l.fd >= 0) close(l.fd);
  return status_;
}

}  // namespace

int makeList(const char* root, std::ostream& out, std::ostream& err) {
  return Lister(root, out, err).run();
}
