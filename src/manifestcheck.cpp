// manifestcheck.cpp: verifying a tree against an mtree manifest.
//
// The road is a list's: the reader hands each entry to an ordered pool,
// whose workers look at the disk ahead of the walk and compare there, each
// entry against what lstat finds; the walk then takes the entries in
// manifest order and reports what differs. Only what differs is kept
// beside an entry, so a manifest's entries cost little more than their
// paths.
#include "manifestcheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "digest.h"
#include "directory.h"
#include "manifest.h"
#include "message.h"
#include "owners.h"
#include "pool.h"
#include "progress.h"
#include "report.h"
#include "status.h"
#include "treewalk.h"
#include "unlisted.h"

namespace {

// Paths kept for the whole run in blocks that never move: an entry holds
// its path by pointer, and the unlisted files are looked up among them.
class PathArena {
 public:
  std::string_view keep(std::string_view s) {
    if (s.size() + 1 > left_) {
      const size_t size = std::max(kBlock, s.size() + 1);
      blocks_.emplace_back(new char[size]);
      next_ = blocks_.back().get();
      left_ = size;
    }
    memcpy(next_, s.data(), s.size());
    next_[s.size()] = '\0';
    const std::string_view kept(next_, s.size());
    next_ += s.size() + 1;
    left_ -= s.size() + 1;
    return kept;
  }

 private:
  static constexpr size_t kBlock = 64 << 10;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  size_t left_ = 0;
};

// What fewer entries say: owners, times, link counts, link targets and
// digests, kept only for the entries that say it.
struct Detail {
  uint32_t uid = 0, gid = 0;
  uint32_t nanoseconds = 0;
  int64_t seconds = 0;
  uint64_t nlink = 0;
  std::string uname, gname, link;
  std::vector<ManifestEntry::Digest> digests;
};

const uint32_t kDetailed = kKwUid | kKwGid | kKwUname | kKwGname | kKwLink |
                           kKwTime | kKwNlink | kKwSha256 | kKwSha512 |
                           kKwSha384 | kKwSha1 | kKwMd5;

// A difference found by a worker, written by the walk.
struct Found {
  DiffKind kind;
  std::string expected, actual, reason;
};

struct EntryItem {
  const char* path = nullptr;  // below the top; "." for the top
  uint32_t keywords = 0;
  uint32_t mode = 0;
  EntryType type = EntryType::kFile;
  int error = 0;  // of lstat, once looked at
  int64_t size = 0;
  std::unique_ptr<Detail> detail;
  // What differs, once compared; null when nothing does.
  std::unique_ptr<std::vector<Found>> found;
};

// A mode as the report writes it: octal, with a leading 0.
std::string octal(uint32_t mode) {
  char text[16];
  snprintf(text, sizeof text, "%#o", mode);
  return text;
}

// A time as SECONDS.NANOSECONDS, nine digits of nanoseconds.
std::string timeText(int64_t seconds, long nanoseconds) {
  char text[40];
  snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(seconds),
           nanoseconds);
  return text;
}

class EntryJob {
 public:
  using Item = EntryItem;
  // An entry is looked at relative to its directory, opened once for the
  // entries of one directory in a row: the kernel resolves one name per
  // entry rather than the whole path again.
  struct Context {
    std::string directory;  // "a/b" of "a/b/c": the open one's
    std::string path;       // ROOT/DIRECTORY/, then the entry's name
    size_t directoryLength = 0;
    int dirFd = -1;  // AT_FDCWD: out of descriptors, the whole path serves
    int dirError = 0;
    bool opened = false;
    ~Context() {
      if (dirFd >= 0) close(dirFd);
    }
    std::unique_ptr<Hasher> hasher;
    std::string hex[kDigestAlgorithms];
    OwnerNames owners;
  };

  EntryJob(const char* root, std::atomic<int64_t>* hashed)
      : root_(root), hashed_(hashed) {}

  int64_t weight(const Item& item) const {
    return item.detail != nullptr && !item.detail->digests.empty() ? item.size
                                                                   : 0;
  }

  // What lstat of ROOT/PATH answers (ROOT/. for the top: ROOT itself, a
  // link to a directory followed), asked of the entry's directory.
  void run(Item& item, Context& c) {
    const std::string_view path(item.path);
    const size_t slash = path.rfind('/');
    const std::string_view dir =
        slash == std::string_view::npos ? "" : path.substr(0, slash);
    const char* name =
        slash == std::string_view::npos ? item.path : item.path + slash + 1;
    enter(dir, c);
    c.path.resize(c.directoryLength);
    c.path += name;
    struct stat st;
    if (c.path.size() >= PATH_MAX) {
      item.error = ENAMETOOLONG;
    } else if (c.dirFd == -1) {
      item.error = c.dirError;
    } else if (fstatat(c.dirFd, at(c, name), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      item.error = errno;
    } else {
      compare(item, st, name, c);
    }
  }

  const std::atomic<bool>* stopping = nullptr;

 private:
  // Opens the directory `dir` (below the top) for the entries that follow.
  void enter(std::string_view dir, Context& c) const {
    if (c.opened && dir == c.directory) return;
    if (c.dirFd >= 0) close(c.dirFd);
    c.dirFd = -1;  // closed, whatever the path below costs
    c.opened = false;
    c.directory.assign(dir);
    c.path = belowRoot(root_, dir) + "/";
    c.directoryLength = c.path.size();
    c.dirFd = open(c.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    c.dirError = c.dirFd < 0 ? errno : 0;
    // Out of descriptors or memory: lstat of each whole path still answers.
    if (c.dirError == EMFILE || c.dirError == ENFILE || c.dirError == ENOMEM)
      c.dirFd = AT_FDCWD;
    c.opened = true;
  }
  // The name to ask of c.dirFd for the entry `name`: the whole path when no
  // directory is open.
  static const char* at(const Context& c, const char* name) {
    return c.dirFd == AT_FDCWD ? c.path.c_str() : name;
  }
  void compare(Item& e, const struct stat& st, const char* name, Context& c);
  // The digests of a file found with the size the manifest gives.
  void compareDigests(Item& e, const struct stat& st, const char* name,
                      Context& c);

  const std::string root_;
  std::atomic<int64_t>* hashed_;
};

void differ(EntryItem& e, DiffKind kind, std::string expected,
            std::string actual, std::string reason = "") {
  if (e.found == nullptr) e.found.reset(new std::vector<Found>);
  e.found->push_back(
      {kind, std::move(expected), std::move(actual), std::move(reason)});
}

void EntryJob::compare(Item& e, const struct stat& st, const char* name,
                       Context& c) {
  const EntryType actual = entryTypeOf(st.st_mode);
  const uint32_t k = e.keywords;
  if ((k & kKwType) && actual != e.type) {
    differ(e, DiffKind::kType, typeName(e.type), typeName(actual));
    return;
  }
  if (k & kKwNochange) return;
  const Detail* d = e.detail.get();
  if ((k & kKwMode) && (st.st_mode & 07777) != e.mode)
    differ(e, DiffKind::kMode, octal(e.mode), octal(st.st_mode & 07777));
  if ((k & kKwUid) && st.st_uid != d->uid)
    differ(e, DiffKind::kUid, std::to_string(d->uid),
           std::to_string(st.st_uid));
  if ((k & kKwGid) && st.st_gid != d->gid)
    differ(e, DiffKind::kGid, std::to_string(d->gid),
           std::to_string(st.st_gid));
  if (k & kKwUname) {
    const std::string& user = c.owners.user(st.st_uid);
    if (user != d->uname) differ(e, DiffKind::kUname, d->uname, user);
  }
  if (k & kKwGname) {
    const std::string& group = c.owners.group(st.st_gid);
    if (group != d->gname) differ(e, DiffKind::kGname, d->gname, group);
  }
  const bool sizeDiffers = (k & kKwSize) && st.st_size != e.size;
  if (sizeDiffers)
    differ(e, DiffKind::kSize, std::to_string(e.size),
           std::to_string(st.st_size));
  if (k & kKwLink) {
    const std::string target =
        S_ISLNK(st.st_mode) ? readLinkAt(c.dirFd, at(c, name)) : std::string();
    if (target != d->link) differ(e, DiffKind::kLink, d->link, target);
  }
  if ((k & kKwTime) &&
      (st.st_mtim.tv_sec != d->seconds || st.st_mtim.tv_nsec != d->nanoseconds))
    differ(e, DiffKind::kTime, timeText(d->seconds, d->nanoseconds),
           timeText(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
  if ((k & kKwNlink) && st.st_nlink != d->nlink)
    differ(e, DiffKind::kNlink, std::to_string(d->nlink),
           std::to_string(st.st_nlink));
  // A file of another size has failed already: it is not read.
  if (d != nullptr && !d->digests.empty() && !sizeDiffers)
    compareDigests(e, st, name, c);
}

void EntryJob::compareDigests(Item& e, const struct stat& st, const char* name,
                              Context& c) {
  const std::string listed =
      e.keywords & kKwSize ? std::to_string(e.size) : std::string();
  if (!S_ISREG(st.st_mode)) {
    differ(e, DiffKind::kUnreadable, listed, "", "not a regular file");
    return;
  }
  unsigned algorithms = 0;
  for (const ManifestEntry::Digest& digest : e.detail->digests)
    algorithms |= algorithmBit(digest.algorithm);
  if (c.hasher == nullptr) c.hasher.reset(new Hasher(hashed_, stopping));
  const FileHash read =
      c.hasher->hash(c.dirFd, at(c, name), st.st_size, algorithms, c.hex);
  if (read.error != 0) {
    differ(e, DiffKind::kUnreadable, listed, "", read.reason());
    return;
  }
  for (const ManifestEntry::Digest& digest : e.detail->digests) {
    const std::string& actual = c.hex[static_cast<int>(digest.algorithm)];
    if (actual != digest.hex)
      differ(e, DiffKind::kChecksum, digest.hex, actual);
  }
}

// The directories whose entry says "ignore": nothing below one is
// compared, nor reported unlisted.
class Ignored {
 public:
  void add(std::string_view path) { paths_.insert(path); }
  bool empty() const { return paths_.empty(); }
  // Whether `path` lies below an ignored directory.
  bool below(std::string_view path) const {
    if (paths_.empty() || path == ".") return false;
    for (size_t slash = path.find('/'); slash != std::string_view::npos;
         slash = path.find('/', slash + 1))
      if (paths_.count(path.substr(0, slash))) return true;
    return paths_.count(".") > 0;
  }
  const std::set<std::string_view>& paths() const { return paths_; }

 private:
  std::set<std::string_view> paths_;
};

// A worker per CPU: one that hashes keeps its CPU busy, and on a warm tree
// so does one that only looks, beside the reader. -1 when the reader
// itself has too few descriptors (see workersWithinDescriptors).
int entryWorkers(bool unlisted) {
  const int kMost = 64;
  const int wanted = std::min(usableCpus(), kMost);
  // Each holds its directory and the file it reads, as the reader does;
  // the walk for unlisted entries comes while they hold them.
  return workersWithinDescriptors(wanted, 2,
                                  2 + (unlisted ? kWalkDescriptors : 0));
}

const size_t kWorkerStack = 256 << 10;

}  // namespace

int verifyManifest(const char* rootPath, std::istream& in, const char* name,
                   std::ostream& out, std::ostream& err, const Options& options,
                   const SignedLists* signedLists) {
  CountFiles = 0;
  CountErrors = 0;
  const int workers =
      options.workers >= 0 ? options.workers : entryWorkers(options.unlisted);
  if (workers < 0) {
    complain(err, kTooFewDescriptors);
    return kStatusError;
  }
  Report report(out, options);
  size_t entries = 0;
  bool walking = false;
  try {
    PathArena arena;
    Ignored ignored;
    NamedPaths named;
    int64_t hashedBytes = 0;
    bool hashing = false;
    Progress progress(options.progress, &out);
    EntryJob job(rootPath, &progress.bytes);
    OrderedPool<EntryJob> pool(job, 0, kWorkerStack);
    job.stopping = &pool.stopping();
    bool started = false;
    std::set<std::string> noted;

    SignedReading reading(report, signedLists, err);
    std::ostream& readErr = reading.err();
    report.startReading();
    ManifestReader reader(in, name);
    ManifestEntry entry;
    int read;
    while ((read = reader.next(&entry, readErr)) == 1) {
      report.entryRead();
      reading.poll(++entries);
      for (const std::string& keyword : entry.unchecked)
        if (noted.insert(keyword).second)
          complain(readErr, std::string(name) + ": keyword " + keyword +
                                " is not checked");
      EntryItem item;
      const std::string_view path = arena.keep(entry.path);
      item.path = path.data();
      item.keywords = entry.keywords;
      item.mode = entry.mode;
      item.type = entry.type;
      item.size = entry.size;
      if (entry.keywords & kDetailed) {
        item.detail.reset(new Detail{
            entry.uid, entry.gid, entry.nanoseconds, entry.seconds, entry.nlink,
            std::move(entry.uname), std::move(entry.gname),
            std::move(entry.link), std::move(entry.digests)});
        if (!item.detail->digests.empty()) {
          if (!hashing) prepareCrypto();  // before a worker hashes
          hashing = true;
          hashedBytes = entry.size > INT64_MAX - hashedBytes
                            ? INT64_MAX
                            : hashedBytes + entry.size;
        }
      }
      if (entry.keywords & kKwIgnore) ignored.add(path);
      if (options.unlisted) named.add(path);
      // The first file tells whether the workers read files or only look.
      if (!started &&
          (!(entry.keywords & kKwType) || entry.type == EntryType::kFile)) {
        started = true;
        pool.startWorkers(workers, kWorkerStack);
      }
      pool.add(std::move(item));
      // Offered four batches at a time: a worker woken takes one, and the
      // reader wakes them a quarter as often.
      if (pool.size() % (4 * OrderedPool<EntryJob>::kBatch) == 0) pool.offer();
    }
    if (!reading.settle() || read < 0) return kStatusError;
    if (!started) pool.startWorkers(workers, kWorkerStack);
    pool.offer();

    report.startWalking();
    walking = true;
    progress.start(entries, hashedBytes > 0 ? hashedBytes : -1);
    EntryJob::Context own;
    for (size_t i = 0; i < pool.size() && !report.broken(); ++i) {
      // The entries compared go a chunk at a time.
      if (i % 1024 == 0) pool.release(i);
      const std::string_view path(pool.at(i).path);
      if (ignored.below(path)) continue;
      EntryItem& e = pool.settle(i, own);
      ++CountFiles;
      report.fileWalked(CountFiles);
      progress.fileCompared(CountFiles);
      if (e.error == 0 && e.found == nullptr) continue;
      const std::string shown = belowRoot(rootPath, path == "." ? "" : path);
      if (e.error != 0) {
        // An optional entry may be absent: a comparison that passed.
        if (!(e.keywords & kKwOptional)) {
          ++CountErrors;
          report.difference({DiffKind::kMissing, shown,
                             e.keywords & kKwSize ? std::to_string(e.size) : "",
                             "", strerror(e.error)});
        }
      } else if (e.found != nullptr) {
        ++CountErrors;
        for (const Found& f : *e.found)
          report.difference({f.kind, shown, f.expected, f.actual, f.reason});
      }
    }
    pool.stop();
    if (report.broken()) return kStatusError;  // main says why
    const int64_t compared = CountFiles;
    if (options.unlisted) {
      progress.stop();
      named.seal();
      const int64_t found = reportUnnamed(rootPath, identitiesOf({name}), named,
                                          ignored.paths(), report);
      CountFiles += found;
      CountErrors += found;
    }
    progress.stop();
    return endRun(report, err, options, compared);
  } catch (const std::bad_alloc&) {
    return outOfMemory(err, walking, entries, "entries");
  }
}
