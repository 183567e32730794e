// prober.cpp: what the disk says of each listed file.
#include "prober.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#ifdef KORLAN_HAVE_URING
#include <liburing.h>
#endif

#include "attributes.h"
#include "beneath.h"
#include "comparer.h"
#include "directory.h"
#include "fdstream.h"
#include "owners.h"
#include "pool.h"
#include "treewalk.h"

namespace {

#ifdef KORLAN_HAVE_URING
const bool kHaveRing = true;
#else
const bool kHaveRing = false;
#endif

// The side array's item of a run that reads no file: eight bytes, the file
// before the probe, and after it the size found (>= 0), or minus the errno.
class PlainItem {
 public:
  static const bool kHashed = false;
  static const bool kEntry = false;
  const File* file() const { return found_.file; }
  void setFile(const File* f) { found_.file = f; }
  int64_t result() const { return found_.result; }
  void setResult(int64_t r) { found_.result = r; }
  FileHash* contents() { return nullptr; }

 private:
  union {
    const File* file;
    int64_t result;
  } found_;
};

// The item of a run that reads the files. The file stays beside the
// result: batches are weighed by its size while it is probed.
class HashedItem {
 public:
  static const bool kHashed = true;
  static const bool kEntry = false;
  const File* file() const { return file_; }
  void setFile(const File* f) { file_ = f; }
  int64_t result() const { return result_; }
  void setResult(int64_t r) { result_ = r; }
  FileHash* contents() { return &hash_; }

 private:
  const File* file_;
  int64_t result_;
  FileHash hash_;
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

// The item of every other source: the entry itself, which holds what its
// check finds.
struct EntryItem : Entry {
  static const bool kHashed = false;
  static const bool kEntry = true;
};
static_assert(sizeof(void*) != 8 || sizeof(EntryItem) == 40,
              "an entry waiting costs 40 bytes: the lookup's errno lies in "
              "the padding of what it states, what differs in its detail");

#ifdef KORLAN_HAVE_URING
// One worker's io_uring, for probes kept in flight together.
class Ring {
 public:
  Ring() = default;
  ~Ring() { close(); }
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;

  // Sets the ring up; false where the kernel refuses (too old, a seccomp
  // filter, io_uring disabled, no descriptor left).
  bool open() {
    if (io_uring_queue_init(kEntries, &ring_, 0) != 0) return false;
    // Opens and statx always go to the ring's kernel workers, bounded by
    // default to four per CPU: here one for each request in flight.
    unsigned workers[2] = {kEntries, 0};
    io_uring_register_iowq_max_workers(&ring_, workers);
    open_ = true;
    return true;
  }
  void close() {
    if (open_) io_uring_queue_exit(&ring_);
    open_ = false;
  }
  bool isOpen() const { return open_; }

  // Makes requests 0 to n - 1, up to kEntries in flight: prepare(i, sqe)
  // fills request i in, take(i, result) takes its result as it comes. When
  // take throws, the requests still in flight are waited for first: the
  // kernel writes their results into the caller's memory.
  template <class Prepare, class Take>
  void run(size_t n, Prepare prepare, Take take) {
    size_t next = 0, inFlight = 0;
    try {
      while (next < n || inFlight > 0) {
        for (; next < n && inFlight < kEntries; ++next, ++inFlight) {
          io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
          prepare(next, sqe);
          sqe->user_data = next;
        }
        submitAndWait();
        io_uring_cqe* cqe;
        while (io_uring_peek_cqe(&ring_, &cqe) == 0) {
          const size_t i = static_cast<size_t>(cqe->user_data);
          const int res = cqe->res;
          io_uring_cqe_seen(&ring_, cqe);
          --inFlight;
          take(i, res);
        }
      }
    } catch (...) {
      for (io_uring_cqe* cqe; inFlight > 0; --inFlight) {
        int waited;
        while ((waited = io_uring_wait_cqe(&ring_, &cqe)) == -EINTR) continue;
        if (waited != 0) abort();  // only a ring in pieces fails so
        io_uring_cqe_seen(&ring_, cqe);
      }
      throw;
    }
  }

  static const unsigned kEntries = 64;

 private:
  void submitAndWait() {
    const int submitted = io_uring_submit_and_wait(&ring_, 1);
    if (submitted < 0 && submitted != -EINTR && submitted != -EBUSY &&
        submitted != -EAGAIN)
      abort();  // only a ring in pieces fails so
  }

  io_uring ring_;
  bool open_ = false;
};
#endif

// The file `name` in `dirFd` opened for reading, no link followed, its
// fstat in `*opened`: it must be the file that `found`, lstat of the name,
// is. Else -1, and in `*error` FileHash::kChanged, or the errno.
int openFound(int dirFd, const char* name, const struct stat& found,
              struct stat* opened, int* error) {
  const int fd = openForReading(dirFd, name, false);
  if (fd < 0 || fstat(fd, opened) != 0) {
    *error = errno;
    if (fd >= 0) ::close(fd);
    return -1;
  }
  if (opened->st_dev != found.st_dev || opened->st_ino != found.st_ino ||
      (opened->st_mode & S_IFMT) != (found.st_mode & S_IFMT)) {
    ::close(fd);
    *error = FileHash::kChanged;
    return -1;
  }
  return fd;
}

// A path below the top as its directory ("." where it has none) and name.
struct SplitPath {
  explicit SplitPath(const std::string& path) {
    const size_t slash = path.rfind('/');
    dir = slash == std::string::npos ? std::string_view(".")
                                     : std::string_view(path).substr(0, slash);
    name = path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
  }
  std::string_view dir;
  const char* name;
};

// Where `n` bytes at `a` and at `b` first differ; `n` where they do not.
size_t firstDifference(const unsigned char* a, const unsigned char* b,
                       size_t n) {
  if (memcmp(a, b, n) == 0) return n;
  size_t i = 0;
  while (a[i] == b[i]) ++i;
  return i;
}

template <class ItemType>
class ProbeJob {
 public:
  using Item = ItemType;
  static const int kUnopened = -1;
  // The directory a thread probes in. Its files come in reading order,
  // mostly several of one directory in a row: it stays open while they do.
  struct Context {
    Context() = default;
    ~Context() { release(); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    // Closes what the thread holds: the directory and the ring.
    void release() {
      if (dirFd >= 0) ::close(dirFd);
      dirFd = kUnopened;
      dir = nullptr;
#ifdef KORLAN_HAVE_URING
      ring.close();
#endif
    }

    std::string path;  // the directory's path, or a file's when by path
    const Directory* dir = nullptr;  // whose path `path` begins with
    size_t dirLength = 0;
    // The directory open, AT_FDCWD when its files are probed by their
    // whole path, or kUnopened (then `dirError` says why).
    int dirFd = kUnopened;
    int dirError = 0;
    std::unique_ptr<Hasher> hasher;
    std::deque<FileId> ids;
    // An entry's digests, and its owners' names.
    std::string hex[kDigestAlgorithms];
    OwnerNames owners;
#ifdef KORLAN_HAVE_URING
    Ring ring;
    bool ringTried = false;
    bool onRing = false;
    // What a probe alone has cost lately, and how many batches to probe
    // alone before the ring may be tried again, and after that.
    std::chrono::nanoseconds aloneCost{0};
    int backOff = 0, nextBackOff = 16;
    // A batch on the ring: its directories, open at once, and what statx
    // found of each file.
    struct Place {
      const Directory* dir;
      std::string path;
      size_t length;  // of the directory's path, before the separator
      int fd;         // or kUnopened: its files go to run()
    };
    std::vector<Place> places;
    std::vector<struct statx> found;
    std::vector<size_t> queued;  // item << 8 | place
#endif
  };

  // `topFd`: the top, open, below which entries are looked at as they are
  // (for an EntryItem; -1 otherwise).
  ProbeJob(const Directory* root, char sep, const Checks& checks,
           std::atomic<int64_t>* hashed, int topFd = -1)
      : root_(root),
        sep_(sep),
        identities_(checks.identities),
        ring_(checks.ring),
        hashed_(hashed),
        topFd_(topFd),
        rootLength_(strlen(root->name)) {}

  // Files to read weigh their size (a file whose size no list states, a
  // batch of its own); probes alone weigh nothing, and go in batches of a
  // fixed count.
  int64_t weight(const Item& item) const {
    if constexpr (Item::kEntry) {
      // A size no entry states, a batch of its own; bytes compared by the
      // source are not read here.
      if (!(item.keywords & kKwContents) || item.detail == nullptr ||
          item.detail->digests.empty())
        return 0;
      return item.keywords & kKwSize ? item.size
                                     : OrderedPool<ProbeJob>::kBatchWeight;
    } else if constexpr (Item::kHashed) {
      const int64_t size = item.file()->size;
      return size >= 0 ? size : OrderedPool<ProbeJob>::kBatchWeight;
    } else {
      return 0;
    }
  }

  // The pool's flag, watched while a file is read.
  const std::atomic<bool>* stopping = nullptr;
  // Where a source's bytes are compared as it reads them.
  ComparingThread* comparing = nullptr;
  std::atomic<bool> idsLost{false};

  void run(Item& item, Context& c) {
    if constexpr (Item::kEntry) {
      runEntry(item, c);
    } else {
      probe(item, c);
    }
  }

  // A listed file: what stat finds at its path, links followed, and under
  // Checks::contents the digest of the file that is there, opened once.
  void probe(Item& item, Context& c) {
    const File& f = *item.file();
    enter(f.dir, c);
    if (c.dirLength + 1 + strlen(f.name) >= PATH_MAX) {
      // What stat of the whole path answers before it looks at any part.
      item.setResult(-ENAMETOOLONG);
      return;
    }
    if (c.dirFd == kUnopened) {
      item.setResult(-static_cast<int64_t>(c.dirError));
      return;
    }
    // A name is never empty (the list's reader takes none): it is a file
    // below its directory, which fstatat takes.
    const int at = c.dirFd;
    const char* name = f.name;
    if (at == AT_FDCWD) {
      c.path.resize(c.dirLength);
      appendComponent(&c.path, sep_, f.name);
      name = c.path.c_str();
    }
    const HostFile host(at, name);
    if (host.status != 0) {
      item.setResult(-static_cast<int64_t>(host.error));
      return;
    }
    keep(host.id, c);
    int64_t size = host.size;
    // Only a file of the right size is worth reading: any other has failed.
    // A size no list states (a digest alone) reads any.
    if (FileHash* contents = item.contents()) {
      if (size == f.size || f.size < 0)
        size = readFound(at, name, host, c, contents);
    }
    item.setResult(size);
  }

  // Opens the file found as `host` and hashes it into `*contents`, once that
  // descriptor is known to be that file; returns the size to judge, fstat's
  // of the descriptor read (the one found when it could not be opened).
  int64_t readFound(int at, const char* name, const HostFile& host, Context& c,
                    FileHash* contents) {
    const Descriptor fd(openForReading(at, name));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
      contents->error = errno;
      return host.size;
    }
    if (st.st_dev != host.id.dev || st.st_ino != host.id.ino) {
      contents->error = FileHash::kChanged;  // another file since the stat
      return host.size;
    }
    if (c.hasher == nullptr) c.hasher.reset(new Hasher(hashed_, stopping));
    const unsigned sha256 = algorithmBit(DigestAlgorithm::kSha256);
    if (S_ISREG(st.st_mode) && DigestCache::worth(st)) {
      *contents = cache_.hash(*c.hasher, fd.get(), st, sha256, c.hex);
      if (contents->error == 0)
        Sha256::fromHex(c.hex[static_cast<int>(DigestAlgorithm::kSha256)],
                        &contents->digest);
    } else {
      *contents = c.hasher->hashOpen(fd.get(), st, sha256);
    }
    return S_ISREG(st.st_mode) ? st.st_size : host.size;
  }

  // An entry of any other source: what lstat finds there, compared with
  // what the entry states.
  void runEntry(Item& e, Context& c) {
    enter(e.dir, c);
    struct stat st;
    if (c.dirLength + 1 + strlen(e.name) >= PATH_MAX)
      absent(e, ENAMETOOLONG);
    else if (c.dirFd == kUnopened && c.dirError == ELOOP)
      differ(e, DiffKind::kUnreadable, listedSize(e), "", kLinkOnPath);
    else if (c.dirFd == kUnopened)
      absent(e, c.dirError);
    else if (e.keywords & (kKwFlags | kKwXattr))
      lookHeld(e, c);
    else if (fstatat(c.dirFd, e.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      absent(e, errno);
    else
      checkEntry(e, st, c, nullptr);
  }
  // An entry whose flags or extended attributes are stated: looked at
  // through a descriptor of its own, all that is judged of one file.
  void lookHeld(Entry& e, Context& c) {
    HeldEntry held;
    if (const int error = held.look(c.dirFd, e.name); error != 0)
      absent(e, error);
    else
      checkEntry(e, held.st(), c, &held);
  }

  // Nothing is there, for the reason `error`: an optional entry may be
  // absent, a comparison that passed.
  static void absent(Entry& e, int error) {
    if (!(e.keywords & kKwOptional)) e.error = static_cast<uint8_t>(error);
  }

  // Probes that only stat go to a worker as a batch, which it may keep in
  // flight at once; files to read and entries go one by one.
  static const bool kRunsBatches = !Item::kHashed && !Item::kEntry;
  // A batch on the ring, and the directories of it open at once (see
  // runOnRing).
  static const size_t kRingBatch = 1024;
  static const size_t kPlaces = 16;

  size_t batchLimit(const Context& c) const {
#ifdef KORLAN_HAVE_URING
    if (c.onRing) return kRingBatch;
#endif
    (void)c;
    return OrderedPool<ProbeJob>::kBatch;
  }

  template <class Done>
  void runBatch(Item* const* items, size_t n, Context& c, Done done) {
    if (n == 0) return;
#ifdef KORLAN_HAVE_URING
    if (!c.ringTried && ring_ != ProbeRing::kNever) {
      c.ringTried = true;
      c.onRing = c.ring.open() && ring_ == ProbeRing::kAlways;
    }
    const auto start = std::chrono::steady_clock::now();
    if (c.onRing) {
      runOnRing(items, n, c, done);
      if (ring_ == ProbeRing::kWhenSlow) leaveRingUnlessFaster(c, start, n);
      return;
    }
#endif
    const long waitsBefore = waits();
    for (size_t k = 0; k < n; ++k) {
      run(*items[k], c);
      done(k);
    }
    // A batch that took long may have waited for the processor, taken by
    // another thread; one that waited on the disk went to sleep.
    const bool waited = waits() - waitsBefore >= kDiskWaits;
    // Probes wait on the disk: every worker probes, each wait overlapping
    // the others'.
    if (waited && !activated_.exchange(true)) activateAll();
#ifdef KORLAN_HAVE_URING
    if (c.ring.isOpen() && ring_ == ProbeRing::kWhenSlow)
      takeRingIfSlow(c, (std::chrono::steady_clock::now() - start) / n, waited);
#endif
  }

  // Starts the workers that wait (see proberWorkerCount).
  std::function<void()> activateAll;
  // An entry's directories are opened following links below the top (see
  // EntrySource::Resolve); `topIsRoot`: the top is the root itself.
  bool inRoot = false, topIsRoot = false;

 private:
  static void differ(Entry& e, DiffKind kind, std::string expected,
                     std::string actual, std::string reason = "") {
    if (e.detail == nullptr) e.detail.reset(new Detail);
    e.detail->found.push_back(
        {kind, std::move(expected), std::move(actual), std::move(reason)});
  }
  // The file looked at was another by the time it was read.
  static void changed(Entry& e) {
    differ(e, DiffKind::kUnreadable, listedSize(e), "",
           FileHash{FileHash::kChanged, {}}.reason());
  }
  // The size an entry states, as a report shows it: empty when none.
  static std::string listedSize(const Entry& e) {
    return e.keywords & kKwSize ? std::to_string(e.size) : std::string();
  }

  // Compares what `e` states with `st`, what lstat found. A file read for
  // its digests is opened here, once, without following a link, and
  // judged by fstat of that descriptor: it must be the file lstat found.
  void checkEntry(Entry& e, struct stat st, Context& c, const HeldEntry* held) {
    const Expected& x = e;
    const uint32_t k = x.keywords;
    const EntryType actual = entryTypeOf(st.st_mode);
    if ((k & kKwType) && actual != x.type) {
      differ(e, DiffKind::kType, typeName(x.type), typeName(actual));
      return;
    }
    if (k & kKwNochange) return;
    const Detail* d = x.detail.get();
    const bool digests = d != nullptr && !d->digests.empty();
    Descriptor fd;
    int readError = 0;
    if (digests && S_ISREG(st.st_mode) &&
        !((k & kKwSize) && st.st_size != x.size)) {
      struct stat opened;
      int error = 0;
      fd.reset(openFound(c.dirFd, e.name, st, &opened, &error));
      if (fd.get() >= 0) {
        st = opened;
      } else if (error == FileHash::kChanged) {
        changed(e);
        return;
      } else {
        readError = error;
      }
    }
    compareAttributes(e, st, c, held);
    // A file of another size has failed already: it is not read.
    if (digests && !((k & kKwSize) && st.st_size != x.size))
      compareDigests(e, st, fd.get(), readError, c);
    if (d != nullptr && d->compared.state != Compared::kUnused &&
        S_ISREG(st.st_mode) && !((k & kKwSize) && st.st_size != x.size))
      checkCompared(e, st, c);
  }

  // A regular file whose bytes the source compared as it read them: what
  // was found holds of the file looked at here if it is the file compared.
  // A hard link's name that is another file is compared with the file of
  // the name compared, which must still be that file.
  void checkCompared(Entry& e, const struct stat& st, Context& c) {
    Compared& f = e.detail->compared;
    if (f.state == Compared::kPending) comparing->settle(&f);
    if (f.state == Compared::kFailed) {
      differ(e, DiffKind::kUnreadable, listedSize(e), "",
             FileHash{f.error, {}}.reason());
      return;
    }
    const bool same = f.state != Compared::kNotCompared &&
                      f.device == st.st_dev && f.inode == st.st_ino;
    if (!same && !f.byName) {
      changed(e);  // not there, or another file, when the bytes came by
      return;
    }
    // Where the file's bytes part from the archive's; -1: nowhere.
    int64_t at = f.state == Compared::kDiffers ? f.at : -1;
    if (!same) {
      if (f.state == Compared::kNotCompared) {
        differ(e, DiffKind::kNotChecked, "hardlink=" + f.first, "",
               "its first name was no file to compare when the archive's "
               "bytes came by");
        return;
      }
      int64_t apart = -1;
      if (const int error = compareWithFirst(e, st, c, &apart); error != 0) {
        differ(e, DiffKind::kUnreadable, listedSize(e), "",
               FileHash{error, {}}.reason());
        return;
      }
      if (apart >= 0 && apart == at) {
        differ(e, DiffKind::kNotChecked, "hardlink=" + f.first, "",
               "another file than its first name, which differs from the "
               "archive's bytes where this one differs from it");
        return;
      }
      // Before both places the first name's bytes are the archive's.
      if (apart >= 0 && (at < 0 || apart < at)) at = apart;
    }
    if (at >= 0)
      differ(e, DiffKind::kChecksum, "", "",
             "the bytes differ from byte " + std::to_string(at));
  }

  // Compares the file of `e`, found as `st`, with the file of the name its
  // bytes were compared at, which must be the file compared: 0 with where
  // they part in `*apart` (-1: nowhere), or why they could not be read.
  int compareWithFirst(const Entry& e, const struct stat& st, Context& c,
                       int64_t* apart) const {
    const Compared& f = e.detail->compared;
    const SplitPath path(f.first);
    const Descriptor firstDir(
        openBeneath(topFd_, path.dir, O_PATH | O_DIRECTORY));
    struct stat found, opened;
    if (firstDir.get() < 0 ||
        fstatat(firstDir.get(), path.name, &found, AT_SYMLINK_NOFOLLOW) != 0 ||
        found.st_dev != f.device || found.st_ino != f.inode ||
        found.st_size != st.st_size)
      return FileHash::kChanged;
    int error = 0;
    const Descriptor first(
        openFound(firstDir.get(), path.name, found, &opened, &error));
    if (first.get() < 0) return error;
    const Descriptor mine(openFound(c.dirFd, e.name, st, &opened, &error));
    if (mine.get() < 0) return error;
    const size_t kBlock = 64 << 10;
    std::unique_ptr<unsigned char[]> a(new unsigned char[2 * kBlock]);
    unsigned char* b = a.get() + kBlock;
    *apart = -1;
    for (int64_t at = 0; at < st.st_size;) {
      if (stopping != nullptr && stopping->load(std::memory_order_relaxed))
        return FileHash::kCancelled;
      const size_t n =
          static_cast<size_t>(std::min<int64_t>(kBlock, st.st_size - at));
      const ssize_t x = pread(first.get(), a.get(), n, at);
      const ssize_t y = pread(mine.get(), b, n, at);
      if (x < 0 || y < 0) return errno;
      if (static_cast<size_t>(x) != n || static_cast<size_t>(y) != n)
        return FileHash::kChanged;
      if (const size_t i = firstDifference(a.get(), b, n); i < n) {
        *apart = at + static_cast<int64_t>(i);
        return 0;
      }
      at += static_cast<int64_t>(n);
    }
    return 0;
  }

  // `held`: the entry held open, where its flags or extended attributes are
  // stated.
  void compareAttributes(Entry& e, const struct stat& st, Context& c,
                         const HeldEntry* held) {
    const Expected& x = e;
    const uint32_t k = x.keywords;
    const Detail* d = x.detail.get();
    if ((k & kKwMode) && (st.st_mode & 07777) != x.mode)
      differ(e, DiffKind::kMode, octal(x.mode), octal(st.st_mode & 07777));
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
    if ((k & kKwSize) && st.st_size != x.size)
      differ(e, DiffKind::kSize, std::to_string(x.size),
             std::to_string(st.st_size));
    if (k & kKwLink) {
      std::string target;
      if (S_ISLNK(st.st_mode) &&
          !readLinkAt(c.dirFd, e.name, st.st_size, &target))
        differ(e, DiffKind::kUnreadable, listedSize(e), "",
               errno == ESTALE ? FileHash{FileHash::kChanged, {}}.reason()
                               : strerror(errno));
      else if (target != d->link)
        differ(e, DiffKind::kLink, d->link, target);
    }
    if ((k & kKwTime) && (st.st_mtim.tv_sec != d->seconds ||
                          st.st_mtim.tv_nsec != d->nanoseconds))
      differ(e, DiffKind::kTime, timeText(d->seconds, d->nanoseconds),
             timeText(st.st_mtim.tv_sec, st.st_mtim.tv_nsec));
    // A directory's link count changes whenever a directory comes or goes
    // below it, which is an entry of its own: as BSD mtree, not compared.
    if ((k & kKwNlink) && st.st_nlink != d->nlink && !S_ISDIR(st.st_mode))
      differ(e, DiffKind::kNlink, std::to_string(d->nlink),
             std::to_string(st.st_nlink));
    if (k & kKwFlags) compareFlags(e, *held);
    if (k & kKwXattr) compareXattrs(e, *held);
    if ((k & kKwDevice) && st.st_rdev != d->device)
      differ(e, DiffKind::kDevice, deviceText(d->device),
             S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? deviceText(st.st_rdev)
                                                        : "");
    if (d != nullptr)
      for (const Unchecked& u : d->unchecked)
        differ(e, DiffKind::kNotChecked, u.keyword, "", u.why);
  }

  static std::string deviceText(uint64_t device) {
    return "native," + std::to_string(major(device)) + "," +
           std::to_string(minor(device));
  }

  // Flags that cannot be read of a file that is neither a regular file nor
  // a directory (see readFlags) are none, as stated; any other is not
  // checked.
  void compareFlags(Entry& e, const HeldEntry& held) {
    const uint32_t stated = e.detail != nullptr ? e.detail->flags : 0;
    uint32_t flags = 0;
    int error = held.flags(&flags);
    if (error == EOPNOTSUPP && stated == 0) error = 0;
    if (error == ESTALE)
      changed(e);
    else if (error != 0)
      differ(e, DiffKind::kNotChecked, "flags=" + flagsText(stated), "",
             std::string("its flags cannot be read: ") + strerror(error));
    else if (flags != stated)
      differ(e, DiffKind::kFlags, flagsText(stated), flagsText(flags));
  }

  // The extended attributes stated are all the entry may have: each one
  // stated, added or taken away is a difference, one line each.
  void compareXattrs(Entry& e, const HeldEntry& held) {
    static const std::vector<StatedXattr> kNone;
    const std::vector<StatedXattr>& stated =
        e.detail != nullptr ? e.detail->xattrs : kNone;
    std::vector<StatedXattr> found;
    std::vector<std::string> unreadable;
    const int error = held.xattrs(&found, &unreadable);
    if (error == ESTALE) {
      changed(e);
      return;
    }
    if (error != 0) {
      differ(e, DiffKind::kNotChecked, "xattr", "",
             std::string("its extended attributes cannot be read: ") +
                 strerror(error));
      return;
    }
    for (const StatedXattr& x : stated) {
      const auto it =
          std::find_if(found.begin(), found.end(),
                       [&](const StatedXattr& f) { return f.name == x.name; });
      if (it != found.end()) {
        if (it->value != x.value)
          differ(e, DiffKind::kXattr, xattrText(x), xattrText(*it));
        continue;
      }
      const bool hidden = std::find(unreadable.begin(), unreadable.end(),
                                    x.name) != unreadable.end();
      const int why = hidden ? EACCES : held.xattrReadable(x.name);
      if (why != 0)
        differ(e, DiffKind::kNotChecked, "xattr." + x.name, "",
               std::string("it may not be read: ") + strerror(why));
      else
        differ(e, DiffKind::kXattr, xattrText(x), "");
    }
    const auto isStated = [&stated](const std::string& name) {
      return std::any_of(stated.begin(), stated.end(),
                         [&](const StatedXattr& x) { return x.name == name; });
    };
    for (const StatedXattr& f : found)
      if (!isStated(f.name)) differ(e, DiffKind::kXattr, "", xattrText(f));
    for (const std::string& name : unreadable)
      if (!isStated(name))
        differ(e, DiffKind::kXattr, "", name + "=(unreadable)");
  }

  // The digests of a file found with the size the entry states, read from
  // `fd` (or why it could not be opened, `readError`).
  void compareDigests(Entry& e, const struct stat& st, int fd, int readError,
                      Context& c) {
    const Detail& d = *e.detail;
    if (!S_ISREG(st.st_mode)) {
      differ(e, DiffKind::kUnreadable, listedSize(e), "", "not a regular file");
      return;
    }
    unsigned algorithms = 0;
    for (const StatedDigest& digest : d.digests)
      algorithms |= algorithmBit(digest.algorithm);
    FileHash read;
    read.error = readError;
    if (fd >= 0) {
      if (c.hasher == nullptr) c.hasher.reset(new Hasher(hashed_, stopping));
      read = DigestCache::worth(st)
                 ? cache_.hash(*c.hasher, fd, st, algorithms, c.hex)
                 : c.hasher->hashOpen(fd, st, algorithms, c.hex);
    }
    if (read.error != 0) {
      differ(e, DiffKind::kUnreadable, listedSize(e), "", read.reason());
      return;
    }
    for (const StatedDigest& digest : d.digests) {
      const std::string& actual = c.hex[static_cast<int>(digest.algorithm)];
      if (actual != digest.hex)
        differ(e, DiffKind::kChecksum, digest.hex, actual);
    }
  }

  // Makes `d` the directory `c` probes in: its path formed as the walk
  // forms it, and the directory opened through it, which needs search
  // permission only, as stat through it does. The separator ends the path:
  // an empty ROOT's top is then "/", and a link to a directory is
  // followed, as a path that goes on below it is.
  //
  // An entry's directory is opened below the top instead, no link followed
  // on the way; out of descriptors, its entries cannot be looked at without
  // following one, and are not.
  void enter(const Directory* d, Context& c) const {
    if (d == c.dir) return;
    if (c.dirFd >= 0) ::close(c.dirFd);
    c.dirFd = -1;  // closed, whatever the path below costs
    c.dir = nullptr;
    directoryPath(root_, d, sep_, &c.path);
    c.dirLength = c.path.size();
    c.path += sep_;
    if (Item::kEntry) {
      const std::string_view below =
          std::string_view(c.path).substr(rootLength_ + 1);
      c.dirFd = inRoot
                    ? openInRoot(topFd_, below, O_PATH | O_DIRECTORY, topIsRoot)
                    : openBeneath(topFd_, below, O_PATH | O_DIRECTORY);
      c.dirError = c.dirFd < 0 ? errno : 0;
      c.dir = d;
      return;
    }
    c.dirFd = open(c.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    c.dirError = c.dirFd < 0 ? errno : 0;
    // Out of descriptors or memory: stat of each whole path still answers.
    if (c.dirError == EMFILE || c.dirError == ENFILE || c.dirError == ENOMEM)
      c.dirFd = AT_FDCWD;
    c.dir = d;
  }

  void keep(const FileId& id, Context& c) {
    if (!identities_) return;
    try {
      c.ids.push_back(id);
    } catch (const std::bad_alloc&) {
      // A lost identity would make a listed file look unlisted.
      idsLost.store(true);
    }
  }

#ifdef KORLAN_HAVE_URING
  // A batch on the ring. Files of one directory share the disk's blocks,
  // its own and those of their inodes, and wait for the same reads: what
  // may be read at once is many directories' blocks. So the batch is
  // large, and its directories go up to kPlaces at a time: all opened at
  // once through the ring, then all their files probed at once. A file the
  // ring cannot probe as run() would (its directory could not be opened,
  // its path is too long) is probed by run(), which says why.
  template <class Done>
  void runOnRing(Item* const* items, size_t n, Context& c, Done done) {
    if (c.found.size() < n) c.found.resize(kRingBatch);
    for (size_t k = 0; k < n;) {
      // The next items, of up to kPlaces runs of one directory each.
      c.places.clear();
      size_t end = k;
      for (; end < n; ++end) {
        const Directory* d = items[end]->file()->dir;
        if (!c.places.empty() && c.places.back().dir == d) continue;
        if (c.places.size() == kPlaces) break;
        c.places.push_back({d, std::string(), 0, kUnopened});
        auto& p = c.places.back();
        directoryPath(root_, d, sep_, &p.path);
        p.length = p.path.size();
        p.path += sep_;
      }
      c.ring.run(
          c.places.size(),
          [&](size_t i, io_uring_sqe* sqe) {
            io_uring_prep_openat(sqe, AT_FDCWD, c.places[i].path.c_str(),
                                 O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
          },
          [&](size_t i, int res) {
            c.places[i].fd = res >= 0 ? res : kUnopened;
          });
      // The files: ring-worthy ones go in flight, the rest to run().
      std::vector<size_t>& queued = c.queued;
      queued.clear();
      for (size_t j = k, place = 0; j < end; ++j) {
        const File& f = *items[j]->file();
        if (f.dir != c.places[place].dir) ++place;
        const auto& p = c.places[place];
        if (p.fd >= 0 && p.length + 1 + strlen(f.name) < PATH_MAX) {
          queued.push_back(j << 8 | place);
        } else {
          run(*items[j], c);
          done(j);
        }
      }
      c.ring.run(
          queued.size(),
          [&](size_t i, io_uring_sqe* sqe) {
            const size_t j = queued[i] >> 8, place = queued[i] & 0xff;
            io_uring_prep_statx(sqe, c.places[place].fd, items[j]->file()->name,
                                AT_STATX_SYNC_AS_STAT, STATX_SIZE | STATX_INO,
                                &c.found[j]);
          },
          [&](size_t i, int res) {
            const size_t j = queued[i] >> 8;
            Item& item = *items[j];
            const struct statx& st = c.found[j];
            if (res == 0) {
              keep({makedev(st.stx_dev_major, st.stx_dev_minor), st.stx_ino},
                   c);
              item.setResult(static_cast<int64_t>(st.stx_size));
            } else if (res == -EAGAIN || res == -EINTR || res == -ECANCELED) {
              run(item, c);  // no answer about the file: ask again
            } else {
              item.setResult(res);
            }
            done(j);
          });
      for (const auto& p : c.places)
        if (p.fd >= 0) ::close(p.fd);
      k = end;
    }
  }

  // The ring's statx always goes through the kernel's worker threads: on
  // a tree in memory a probe costs three times a probe alone, and where
  // waiting on the disk costs less than the processor's work (a disk of a
  // virtual machine, cached by its host) the workers only add their own.
  // So a worker probes alone until a batch of its probes took long each
  // (kSlowAlone), as they do when they wait on a slow disk, then tries the
  // ring, and keeps it only while a probe in flight costs at most half
  // what one alone used to and more than one of a tree in memory. A ring
  // that did not pay is tried again after twice as many batches as last
  // time.
  static constexpr std::chrono::nanoseconds kInMemory{5000};
  static constexpr int kMostBackOff = 1 << 12;

  void takeRingIfSlow(Context& c, std::chrono::nanoseconds cost,
                      bool waited) const {
    // The ring is measured against the batches before, not against this
    // one, which may be one of the slowest.
    if (c.aloneCost.count() == 0) c.aloneCost = cost;
    if (c.backOff > 0) {
      --c.backOff;
    } else if (waited && cost >= kSlowAlone) {
      c.onRing = true;
      return;
    }
    c.aloneCost = (3 * c.aloneCost + cost) / 4;
  }

  void leaveRingUnlessFaster(Context& c,
                             std::chrono::steady_clock::time_point start,
                             size_t n) const {
    const auto cost = (std::chrono::steady_clock::now() - start) / n;
    if (cost < kInMemory || 2 * cost > c.aloneCost) {
      c.onRing = false;
      c.backOff = c.nextBackOff;
      c.nextBackOff = std::min(2 * c.nextBackOff, kMostBackOff);
    }
  }
#endif

  // How often this thread went to sleep so far: a probe of a tree in
  // memory never does, one that reads the disk does.
  static long waits() {
    struct rusage usage;
    return getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_nvcsw : 0;
  }
  // A batch of probes that slept this often waited on the disk (once may
  // be for a lock).
  static const long kDiskWaits = 2;
  // A probe alone that takes this long on average over a batch that waited
  // on the disk waits long: a probe of a tree in memory takes about a
  // microsecond, one on the disk of a virtual machine, cached by its host,
  // about ten.
  static constexpr std::chrono::nanoseconds kSlowAlone{50000};

  const Directory* root_;
  const char sep_;
  const bool identities_;
  [[maybe_unused]] const ProbeRing ring_;  // unread without liburing
  std::atomic<int64_t>* hashed_;
  const int topFd_;
  const size_t rootLength_;
  std::atomic<bool> activated_{false};
  // A file reached by several names is read once.
  DigestCache cache_;
};

template <class Item>
class PooledProber : public Prober {
 public:
  PooledProber(const Directory* root, char sep, const Checks& checks,
               int workers, std::atomic<int64_t>* hashed)
      : job_(root, sep, checks, hashed),
        pool_(job_, workers, kWorkerStack,
              Item::kHashed ? workers : usableCpus()) {
    job_.stopping = &pool_.stopping();
    job_.activateAll = [this] { pool_.activate(); };
  }
  ~PooledProber() override { pool_.stop(); }

  void recorded(File* f) override {
    Item item;
    item.setFile(f);
    pool_.push(item);
  }
  void flush() override { pool_.offer(); }

  ProbeResult settle(const File& f) override {
    Item* item = &pool_.settle(f.entry, own_);
    const int64_t r = item->result();
    ProbeResult result{r < 0 ? static_cast<int>(-r) : 0, r < 0 ? 0 : r,
                       nullptr};
    if (r == f.size || (f.size < 0 && r >= 0))
      result.contents = item->contents();
    return result;
  }

  void stop() override { pool_.stop(); }

  std::vector<std::deque<FileId>> takeIdentities() override {
    pool_.stop();
    // The walk of the disk that follows needs the descriptors.
    own_.release();
    for (auto& c : pool_.contexts()) c->release();
    if (job_.idsLost.load()) throw std::bad_alloc();
    std::vector<std::deque<FileId>> parts;
    parts.push_back(std::move(own_.ids));
    for (auto& c : pool_.contexts()) parts.push_back(std::move(c->ids));
    return parts;
  }

 private:
  using Job = ProbeJob<Item>;
  using Pool = OrderedPool<Job>;
#ifdef KORLAN_HAVE_URING
  static_assert(Job::kRingBatch <= Pool::kChunk, "a ring's batch is taken");
  static_assert(Job::kPlaces <= 0x100, "a place's number fits in 8 bits");
#endif
  Job job_;
  Pool pool_;
  typename Job::Context own_;  // the walk's, for the files it probes itself
};

}  // namespace

// The run's side of a source's bytes (see ByteComparer), on the thread
// that compares them (see ComparingThread): each file opened below the top as
// the workers open it, no link followed, judged by fstat of its descriptor, and
// read in step with the bytes given. The worker that checks the entry later
// finds by its identity whether the file it looks at is the one compared.
class DiskComparer : public ByteComparer {
 public:
  explicit DiskComparer(int topFd) : topFd_(topFd) {}
  ~DiskComparer() override {
    closeFile();
    if (dirFd_ >= 0) ::close(dirFd_);
  }

  void begin(const std::string& path, int64_t size) override {
    closeFile();
    found_ = Compared();
    found_.state = Compared::kNotCompared;
    at_ = 0;
    const SplitPath split(path);
    if (split.dir != dirPath_ || dirFd_ < 0) {
      if (dirFd_ >= 0) ::close(dirFd_);
      dirPath_.assign(split.dir);
      dirFd_ = openBeneath(topFd_, split.dir, O_PATH | O_DIRECTORY);
    }
    // What is not a regular file of that size is the worker's to report.
    struct stat st, opened;
    if (dirFd_ < 0 ||
        fstatat(dirFd_, split.name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || (size >= 0 && st.st_size != size))
      return;
    int error = 0;
    fd_ = openFound(dirFd_, split.name, st, &opened, &error);
    if (fd_ < 0) {
      fail(error);
      return;
    }
    found_.state = Compared::kSame;
    found_.device = opened.st_dev;
    found_.inode = opened.st_ino;
  }

  void add(const void* bytes, size_t n) override {
    const auto* p = static_cast<const unsigned char*>(bytes);
    while (n > 0 && found_.state == Compared::kSame) {
      const ssize_t got = pread(fd_, buffer_, std::min(n, sizeof buffer_), at_);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        fail(got < 0 ? errno : FileHash::kChanged);
        return;
      }
      if (const size_t i = firstDifference(p, buffer_, got);
          i < static_cast<size_t>(got)) {
        found_.state = Compared::kDiffers;
        found_.at = at_ + static_cast<int64_t>(i);
        return;
      }
      at_ += got;
      p += got;
      n -= got;
    }
  }

  Compared end() override {
    // Every byte given, and not one more on disk.
    unsigned char more;
    if (found_.state == Compared::kSame) {
      const ssize_t got = pread(fd_, &more, 1, at_);
      if (got != 0) fail(got < 0 ? errno : FileHash::kGrown);
    }
    closeFile();
    return found_;
  }

 private:
  void fail(int error) {
    found_.state = Compared::kFailed;
    found_.error = error;
  }
  void closeFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  const int topFd_;
  std::string dirPath_;
  int dirFd_ = -1;
  int fd_ = -1;
  int64_t at_ = 0;
  Compared found_;
  // A block the size of the ring's: both still in the cache compared.
  unsigned char buffer_[ComparingThread::kBlock];
};

struct EntryChecker::Impl {
  using Job = ProbeJob<EntryItem>;
  using Pool = OrderedPool<Job>;
  Impl(const Directory* root, int topFd, int workers,
       std::atomic<int64_t>* hashed)
      : top(topFd),
        workers(workers),
        job(root, '/', Checks(), hashed, topFd),
        pool(job, 0, kWorkerStack),
        comparer(topFd),
        comparing(&comparer, workers > 0) {
    job.stopping = &pool.stopping();
    job.comparing = &comparing;
  }
  // Starts the workers, once.
  void start() {
    if (!started) pool.startWorkers(workers, kWorkerStack);
    started = true;
  }
  ~Impl() {
    comparing.drain();  // for the workers that may wait for it
    pool.stop();
    if (top >= 0) ::close(top);
  }
  const int top;
  const int workers;
  bool started = false;
  Job job;
  Pool pool;
  Job::Context own;  // the report's, for the entries it checks itself
  DiskComparer comparer;
  ComparingThread comparing;  // which compares with `comparer`, on its thread
};

ByteComparer& EntryChecker::comparer() { return impl_->comparing; }

EntryChecker::EntryChecker(const Directory* root, int workers,
                           std::atomic<int64_t>* hashed,
                           EntrySource::Resolve resolve) {
  // The top itself is ROOT as given, a link to a directory followed: it is
  // the caller's to name. A top that cannot be opened leaves every entry
  // below it as open() of its directory would.
  const int top = open((std::string(root->name) + "/").c_str(),
                       O_PATH | O_DIRECTORY | O_CLOEXEC);
  impl_.reset(new Impl(root, top, workers, hashed));
  impl_->job.inRoot = resolve == EntrySource::Resolve::kLinksInRoot;
  impl_->job.topIsRoot =
      strcmp(root->name, "") == 0 || strcmp(root->name, "/") == 0;
}

EntryChecker::~EntryChecker() = default;

void EntryChecker::add(Entry entry) {
  // The workers start with the first entry that is no directory: a file
  // with digests has libcrypto set up by then (see prepareCrypto), before
  // their stacks take the memory it needs.
  const Expected& x = entry;
  if (!(x.keywords & kKwType) || x.type != EntryType::kDir) impl_->start();
  EntryItem item;
  static_cast<Entry&>(item) = std::move(entry);
  impl_->pool.push(std::move(item));
}
void EntryChecker::flush() {
  impl_->comparing.drain();
  impl_->start();
  impl_->pool.offer();
}
size_t EntryChecker::size() const { return impl_->pool.size(); }
const Entry& EntryChecker::at(size_t i) const { return impl_->pool.at(i); }
Entry& EntryChecker::settle(size_t i) {
  return impl_->pool.settle(i, impl_->own);
}
Entry& EntryChecker::recheck(size_t i, Expected expected) {
  EntryItem& item = impl_->pool.settle(i, impl_->own);
  static_cast<Expected&>(item) = std::move(expected);
  item.error = 0;
  impl_->job.run(item, impl_->own);
  return item;
}
void EntryChecker::release(size_t end) { impl_->pool.release(end); }
void EntryChecker::stop() {
  impl_->comparing.drain();
  impl_->pool.stop();
}

std::unique_ptr<Prober> Prober::make(const Directory* root, char sep,
                                     const Checks& checks, int workers,
                                     std::atomic<int64_t>* hashed) {
  if (checks.contents)
    return std::make_unique<PooledProber<HashedItem>>(root, sep, checks,
                                                      workers, hashed);
  return std::make_unique<PooledProber<PlainItem>>(root, sep, checks, workers,
                                                   nullptr);
}

int proberWorkerCount(const Checks& checks) {
  // Two probes in flight per CPU: with a cold cache most probes wait on the
  // disk, and more in flight overlap more of the waiting. Beyond that, warm
  // runs lose more to switching between threads than cold runs gain
  // (measured on bushy 200k: see the developers' notes). With the files in
  // the page cache, one worker per CPU keeps every CPU busy beside the
  // reader, and a second one only takes the CPU from the reader, which
  // the run waits for: the second ones wait until a batch of probes shows
  // that they wait on the disk (see ProbeJob::runBatch).
  //
  // Reading and hashing files keeps a CPU busy by itself, so then one per
  // CPU. A second worker would only share the CPU, and the scheduler
  // shares it by threads, not by work left: a large file that shares its
  // CPU with a run of small ones finishes last, alone, while the other CPU
  // has run dry.
  //
  // Each reader holds its directory and the file it reads; the walk as
  // many, the sums file before the files. A run that only probes needs no
  // descriptor: a directory that cannot be opened for want of one is
  // probed by whole paths, a ring that cannot be set up or open its
  // directories leaves its worker to probe alone. So its workers are
  // counted their directory, ring and the directories of a batch on the
  // ring, which makes them fast, or else their directory alone.
  // The walk for unlisted files comes while the workers still hold theirs.
  const int walk = checks.identities ? kWalkDescriptors : 0;
  if (checks.contents) return plannedWorkers(1, 2, 2 + walk);
  const int wanted = plannedWorkers(2, 0, 0);
  const int each = 2 + ProbeJob<PlainItem>::kPlaces;
  if (kHaveRing && checks.ring != ProbeRing::kNever &&
      workersWithinDescriptors(wanted, each, walk) == wanted)
    return wanted;
  return workersWithinDescriptors(wanted, 1, walk);
}

int entryWorkerCount(bool walk) {
  // Each holds its directory, the entry it holds open (its flags or
  // extended attributes stated) and the file it reads, as the report does,
  // and the run holds the top: a worker that hashes keeps its CPU busy, and
  // on a warm tree so does one that only looks, beside the reader.
  return plannedWorkers(1, 3, 4 + (walk ? kWalkDescriptors : 0));
}
