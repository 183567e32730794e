// makelist.cpp: the lists of a tree on disk.
//
// Every maker is one visitor of the tree walk: each file the walk finds
// (each entry, for a manifest), and each path it cannot list, becomes an
// item of an ordered pool (see pool.h). Where files are read, the workers
// read and hash them in walk order, each once for every list that needs
// it; the walking thread writes every item in turn, its lines to the lists
// and its messages to standard error, so that the output is the same
// whatever the threads do. The packing list alone has nothing to do beyond
// the walk's own stat of each file, and its items pass through without a
// worker.
#include "makelist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "attributes.h"
#include "beneath.h"
#include "digest.h"
#include "directory.h"
#include "fdstream.h"
#include "manifest.h"
#include "message.h"
#include "owners.h"
#include "packlist.h"
#include "pool.h"
#include "status.h"
#include "sums.h"
#include "treewalk.h"

namespace {

// The lists a maker writes.
const unsigned kList = 1, kSums = 2, kManifest = 4;

const int kSha256 = static_cast<int>(DigestAlgorithm::kSha256);

// One thing to write, in walk order: a file's lines, or a message. Lean
// for the lists and the sums, which keep thousands waiting: what only a
// manifest says is kept apart, and the flags share the padding after
// `contents`.
struct MadeItem {
  std::string path;  // below the root; "." for the root, in a manifest
  // In a manifest, everything the entry's line may say.
  std::unique_ptr<ManifestEntry> entry;
  int64_t listSize = 0;  // what the packing list gives (a link's target's)
  // Why the packing list cannot hold its name, when it cannot.
  const char* unlistable = nullptr;
  std::string message;  // written instead of lines, when not empty
  FileHash contents;    // how reading went
  // What the walk found there, the file that is read: a link's target
  // when the lists name a link by what it leads to (`throughLink`).
  FileId id = {0, 0};
  bool throughLink = false;
  // The directory that holds it as the walk holds it open, while the
  // walking thread reads it itself; -1 for a worker, which opens its own.
  int walkFd = -1;
  bool listed = false;  // the packing list names it, at `listSize`
  bool summed = false;  // the sums give its contents (a link's target's)
  bool failed = false;  // the message makes the status 255
};

class MakeJob {
 public:
  using Item = MadeItem;
  struct Context {
    ~Context() {
      if (dirFd >= 0) close(dirFd);
    }
    std::unique_ptr<Hasher> hasher;
    std::string hex[kDigestAlgorithms];
    // The directory of the last file read, open, and its path below the top.
    std::string dir;
    int dirFd = -1;
    int dirError = 0;
  };

  // `topFd`: the top, open. `algorithms`: the digests a manifest gives
  // each file.
  // `attributes`: the flags and extended attributes a manifest gives.
  MakeJob(int topFd, unsigned lists, unsigned algorithms, uint32_t attributes)
      : topFd_(topFd),
        lists_(lists),
        algorithms_(algorithms),
        attributes_(attributes) {}

  int64_t weight(const Item& item) const {
    return reads(item) != 0 ? item.listSize : 0;
  }

  // Reads the file once for every digest its lines need: SHA-256 for the
  // sums, what the manifest gives for a regular file. The file read is the
  // file the walk found: its directory opened below the top without
  // following a link, the file itself opened once (through the link the
  // lists name it by, when they do) and checked to be the one found.
  void run(Item& item, Context& c) {
    const unsigned algorithms = reads(item);
    if (algorithms == 0 && !opens(item)) return;
    if (c.hasher == nullptr) c.hasher.reset(new Hasher(nullptr, stopping));
    const size_t slash = item.path.rfind('/');
    const std::string_view dir =
        slash == std::string::npos
            ? ""
            : std::string_view(item.path).substr(0, slash);
    if (item.walkFd >= 0) {
      if (c.dirFd >= 0) close(c.dirFd);
      c.dirFd = -1;
    } else if (c.dirFd < 0 || dir != c.dir) {
      if (c.dirFd >= 0) close(c.dirFd);
      c.dir.assign(dir);
      c.dirFd = openBeneath(topFd_, dir, O_PATH | O_DIRECTORY);
      c.dirError = c.dirFd < 0 ? errno : 0;
    }
    const int at = item.walkFd >= 0 ? item.walkFd : c.dirFd;
    const Descriptor fd(at < 0
                            ? -1
                            : openForReading(at, item.path.c_str() + slash + 1,
                                             item.throughLink));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0)
      item.contents.error = at < 0 ? c.dirError : errno;
    else if (st.st_dev != item.id.dev || st.st_ino != item.id.ino)
      item.contents.error = FileHash::kChanged;
    else if (algorithms != 0)
      readSteady(fd.get(), &st, algorithms, item, c);
    if (item.contents.error != 0 && item.contents.error != FileHash::kGrown)
      return;
    // The lists hold the size read: fstat's of the descriptor read.
    item.listSize = st.st_size;
    if (item.entry != nullptr && item.entry->type == EntryType::kFile)
      item.entry->size = st.st_size;
    if (algorithms & algorithmBit(DigestAlgorithm::kSha256))
      Sha256::fromHex(c.hex[kSha256], &item.contents.digest);
    ManifestEntry* e = item.entry.get();
    if (e == nullptr || e->type != EntryType::kFile) return;
    for (int a = 0; a < kDigestAlgorithms; ++a)
      if (algorithms & algorithms_ & 1u << a)
        e->digests.push_back({static_cast<DigestAlgorithm>(a), c.hex[a]});
    // The file's flags and extended attributes, of the descriptor read.
    std::vector<std::string> unreadable;
    int error = 0;
    if (attributes_ & kKwFlags) error = readFlags(fd.get(), &e->flags);
    if (error == 0 && (attributes_ & kKwXattr))
      error = readXattrs(fd.get(), &e->xattrs, &unreadable);
    if (error == 0 && !unreadable.empty()) error = EACCES;
    if (error != 0) item.contents.error = error;
  }

  const std::atomic<bool>* stopping = nullptr;

 private:
  // The digests to take of the file, none when it is not read.
  // Reads the file open as `fd`, of `*st`, into the item's digests. A file
  // that changes as it is read (a log being written) is read again at the
  // size it has then, twice at most; one that still grows is listed as its
  // first bytes, as many as fstat said (FileHash::kGrown, said by write()).
  void readSteady(int fd, struct stat* st, unsigned algorithms, Item& item,
                  Context& c) {
    for (int tries = 0;; ++tries) {
      item.contents = DigestCache::worth(*st)
                          ? cache_.hash(*c.hasher, fd, *st, algorithms, c.hex)
                          : c.hasher->hashOpen(fd, *st, algorithms, c.hex);
      const int error = item.contents.error;
      if ((error != FileHash::kChanged && error != FileHash::kGrown) ||
          tries == 2 || lseek(fd, 0, SEEK_SET) != 0 || fstat(fd, st) != 0)
        return;
    }
  }
  // Whether a manifest's regular file is opened for its flags or extended
  // attributes, if not for its bytes.
  bool opens(const Item& item) const {
    return attributes_ != 0 && item.message.empty() && item.entry &&
           item.entry->type == EntryType::kFile;
  }
  unsigned reads(const Item& item) const {
    if (!item.message.empty()) return 0;
    unsigned algorithms = 0;
    if ((lists_ & kSums) && item.summed)
      algorithms |= algorithmBit(DigestAlgorithm::kSha256);
    // (A configuration file's contents are not stated.)
    if ((lists_ & kManifest) && item.entry &&
        item.entry->type == EntryType::kFile &&
        (item.entry->keywords & kKwContents))
      algorithms |= algorithms_;
    return algorithms;
  }

  const int topFd_;
  const unsigned lists_;
  const unsigned algorithms_;
  const uint32_t attributes_;
  // A file reached by several names is read once.
  DigestCache cache_;
};

// Where the lists go.
struct Outputs {
  std::ostream* list = nullptr;
  std::ostream* sums = nullptr;
  std::ostream* manifest = nullptr;
};

// The paths a maker is to list, when not the whole tree: those named, and
// the directories on the way to them. Each name the walk does not meet is
// said after it: a file installed and gone must not leave the lists
// without a word.
class Selection {
 public:
  void add(std::string_view path) {
    named_.emplace_back(path);
    for (size_t slash = path.find('/'); slash != std::string_view::npos;
         slash = path.find('/', slash + 1))
      onTheWay_.emplace_back(path.substr(0, slash));
  }
  void seal() {
    for (std::vector<std::string>* v : {&named_, &onTheWay_}) {
      std::sort(v->begin(), v->end());
      v->erase(std::unique(v->begin(), v->end()), v->end());
    }
    met_.assign(named_.size(), false);
  }
  // Whether `path` is named; it is then met.
  bool names(std::string_view path) {
    const auto it = std::lower_bound(named_.begin(), named_.end(), path);
    if (it == named_.end() || *it != path) return false;
    met_[it - named_.begin()] = true;
    return true;
  }
  // The names not met, in order.
  std::vector<std::string_view> unmet() const {
    std::vector<std::string_view> names;
    for (size_t i = 0; i < named_.size(); ++i)
      if (!met_[i]) names.push_back(named_[i]);
    return names;
  }
  bool leadsTo(std::string_view path) const {
    return path.empty() ||
           std::binary_search(onTheWay_.begin(), onTheWay_.end(), path);
  }

 private:
  std::vector<std::string> named_, onTheWay_;
  std::vector<bool> met_;
};

class Maker : public TreeVisitor {
 public:
  // `keywords`: what a manifest says of each entry, besides its type.
  // `topFd`: the top, open, below which files are read.
  Maker(const char* root, int topFd, const Outputs& outputs, uint32_t keywords,
        Selection* only, const PathPatterns* config, int workers,
        std::ostream& err)
      : config_(config != nullptr && !config->empty() ? config : nullptr),
        root_(root),
        outputs_(outputs),
        keywords_(keywords | kKwType),
        only_(only),
        err_(err),
        job_(topFd,
             (outputs.list ? kList : 0u) | (outputs.sums ? kSums : 0u) |
                 (outputs.manifest ? kManifest : 0u),
             outputs.manifest ? algorithmsOf(keywords) : 0,
             outputs.manifest ? keywords & (kKwFlags | kKwXattr) : 0),
        pool_(job_, workers, kWorkerStack) {
    job_.stopping = &pool_.stopping();
    if (outputs_.manifest) *outputs_.manifest << kManifestHeader;
  }

  // A file the packing list and the sums can name (the walk for lists).
  void file(const FoundFile& f) override {
    // Nothing to read and nobody to wait for: the line goes at once, the
    // cost of the walk alone.
    if (outputs_.sums == nullptr && pool_.workers() == 0) {
      writeListEntry(*outputs_.list, f.st->st_size, f.path);
      return;
    }
    MadeItem item;
    item.path.assign(f.path);
    item.listed = item.summed = true;
    item.listSize = f.st->st_size;
    item.id = {f.st->st_dev, f.st->st_ino};
    item.throughLink = f.throughLink;
    if (pool_.workers() == 0) item.walkFd = f.dirFd;
    push(std::move(item));
  }

  // Anything, as lstat finds it (the walk for a manifest).
  bool node(std::string_view path, const char* name, int dirFd,
            const struct stat& st) override {
    // Of a selection, what it names and the directories on the way.
    const bool wanted = only_ == nullptr || only_->names(path) ||
                        (S_ISDIR(st.st_mode) && only_->leadsTo(path));
    if (wanted) describe(path, name, dirFd, st);
    return wanted;
  }

  void refused(std::string_view path, Refusal, const char* why,
               const struct stat*) override {
    message("cannot list", path, why, true);
  }
  void skippedLink(std::string_view path, const char* why) override {
    message("skipped link", path, why, false);
  }

  // Writes what is left; returns the status.
  int finish() {
    pool_.offer();
    writeUpTo(pool_.size());
    pool_.stop();
    return status_;
  }

 private:
  // Items waiting at once, up to twice this many: enough to keep every
  // worker busy across a run of small files, few enough that their paths
  // cost little memory.
  static constexpr size_t kMostWaiting = 2048;

  // Reads the flags and extended attributes the manifest gives of the entry
  // `name` (no regular file) in the directory `dirFd` into `e`; false after
  // the message when they cannot be read.
  bool attributesOf(std::string_view path, const char* name, int dirFd,
                    const struct stat& st, ManifestEntry* e) {
    if (!(keywords_ & (kKwFlags | kKwXattr))) return true;
    std::vector<std::string> unreadable;
    HeldEntry held;
    int error = held.look(dirFd, path.empty() ? "." : name);
    // Of the file the walk found, or of none.
    if (error == 0 &&
        (held.st().st_dev != st.st_dev || held.st().st_ino != st.st_ino))
      error = ESTALE;
    if (error == 0 && (keywords_ & kKwFlags)) {
      error = held.flags(&e->flags);
      if (error == EOPNOTSUPP) error = 0;  // a link or a FIFO: none read
    }
    if (error == 0 && (keywords_ & kKwXattr))
      error = held.xattrs(&e->xattrs, &unreadable);
    if (error == 0 && !unreadable.empty()) error = EACCES;
    if (error == 0) return true;
    message("cannot read", path,
            error == ESTALE ? "changed while read" : strerror(error), true);
    return false;
  }
  // Makes the entry's item: its manifest line, and whether the packing
  // list and the sums name it.
  void describe(std::string_view path, const char* name, int dirFd,
                const struct stat& st);
  // Without workers (the packing list alone, or no descriptor to spare)
  // an item is done and written at once, never queued; with them, past
  // twice as many waiting, the older half is written.
  void push(MadeItem item) {
    if (pool_.workers() == 0) {
      job_.run(item, own_);
      return write(item);
    }
    pool_.push(std::move(item));
    if (pool_.size() - written_ > 2 * kMostWaiting)
      writeUpTo(pool_.size() - kMostWaiting);
  }
  void message(const char* what, std::string_view path, const char* why,
               bool failed) {
    MadeItem item;
    item.message =
        std::string(what) + ' ' + quoted(belowRoot(root_, path)) + ": " + why;
    item.failed = failed;
    push(std::move(item));
  }
  // Writes the items below `end` in turn, each once done; their storage
  // goes a chunk at a time, which takes the pool's lock.
  void writeUpTo(size_t end) {
    for (; written_ < end; ++written_) write(pool_.settle(written_, own_));
    if (written_ - released_ >= OrderedPool<MakeJob>::kChunk)
      pool_.release(released_ = written_);
  }
  void write(MadeItem& item);

  const PathPatterns* config_;  // configuration files; null: none
  const std::string root_;
  const Outputs outputs_;
  const uint32_t keywords_;
  Selection* only_;
  std::ostream& err_;
  OwnerNames owners_;
  MakeJob job_;
  OrderedPool<MakeJob> pool_;
  MakeJob::Context own_;
  MadeItem scratch_;  // the item written at once, without workers
  size_t written_ = 0, released_ = 0;
  int status_ = kStatusOk;
};

void Maker::describe(std::string_view path, const char* name, int dirFd,
                     const struct stat& st) {
  // Without workers the entry is written at once, from an item used again
  // and again: its strings keep their room, and a million entries cost no
  // allocation each.
  const bool atOnce = pool_.workers() == 0;
  MadeItem fresh;
  MadeItem& item = atOnce ? scratch_ : fresh;
  item.listed = item.summed = item.throughLink = false;
  item.unlistable = nullptr;
  item.contents = FileHash();
  item.id = {st.st_dev, st.st_ino};
  item.path.assign(path.empty() ? std::string_view(".") : path);
  if (item.entry == nullptr) item.entry.reset(new ManifestEntry);
  ManifestEntry& e = *item.entry;
  e.link.clear();
  e.digests.clear();
  e.xattrs.clear();
  e.flags = 0;
  e.device = st.st_rdev;
  e.type = entryTypeOf(st.st_mode);
  e.mode = st.st_mode & 07777;
  e.uid = st.st_uid;
  e.gid = st.st_gid;
  e.size = item.listSize = st.st_size;
  e.seconds = st.st_mtim.tv_sec;
  e.nanoseconds = static_cast<uint32_t>(st.st_mtim.tv_nsec);
  e.nlink = st.st_nlink;
  e.keywords = kKwType | kKwMode | kKwUid | kKwGid | kKwUname | kKwGname |
               kKwTime | kKwNlink | kKwFlags | kKwXattr;
  if (e.type == EntryType::kFile) e.keywords |= kKwSize | kKwContents;
  if (e.type == EntryType::kChar || e.type == EntryType::kBlock)
    e.keywords |= kKwDevice;
  // A regular file's flags and extended attributes are read with its bytes,
  // of the descriptor read; any other entry's here, as it is.
  if (e.type != EntryType::kFile && !attributesOf(path, name, dirFd, st, &e))
    return;
  if (e.type == EntryType::kLink) {
    // A target is written whole, or the entry not at all: a link replaced
    // since lstat is looked at again, a few times at most.
    struct stat again = st;
    for (int tries = 0; !readLinkAt(dirFd, name, again.st_size, &e.link);) {
      if (++tries == 3 || errno != ESTALE ||
          fstatat(dirFd, name, &again, AT_SYMLINK_NOFOLLOW) != 0 ||
          !S_ISLNK(again.st_mode)) {
        message("cannot read", path,
                errno == ESTALE ? "changed while read" : strerror(errno), true);
        return;
      }
    }
    e.keywords |= kKwLink;
  }
  // The packing list and the sums name what a verification of them would
  // find: a regular file, or a link that leads to one, at its target's size.
  struct stat target = st;
  if (e.type == EntryType::kLink && (outputs_.list || outputs_.sums)) {
    // The rule of every maker, the walk's for lists: a link that leads
    // nowhere names no file; one that cannot be followed may name one the
    // lists then lack, which fails the run.
    if (fstatat(dirFd, name, &target, 0) != 0) {
      const int error = errno;
      if (leadsNowhere(error))
        message("skipped link", path, strerror(error), false);
      else
        message("cannot list", path, strerror(error), true);
      target.st_mode = 0;
    } else if (S_ISREG(target.st_mode) && leadsToPseudoFile(dirFd, name)) {
      message("skipped link", path, kPseudoFile, false);
      target.st_mode = 0;
    }
  }
  // A configuration file is the customer's to edit: the manifest keeps
  // what it is, not what it holds, and the other lists leave it out.
  if (e.type == EntryType::kFile && config_ != nullptr &&
      config_->match(path)) {
    e.keywords &= ~(kKwSize | kKwTime | kKwContents);
    target.st_mode = 0;
  }
  if ((e.type == EntryType::kFile || e.type == EntryType::kLink) &&
      S_ISREG(target.st_mode)) {
    item.listed = item.summed = true;
    item.listSize = target.st_size;
    item.id = {target.st_dev, target.st_ino};
    item.throughLink = e.type == EntryType::kLink;
    if (outputs_.list) item.unlistable = unlistablePath(item.path);
  }
  if (!atOnce) return push(std::move(item));
  item.walkFd = dirFd;
  job_.run(item, own_);
  write(item);
}

void Maker::write(MadeItem& item) {
  if (!item.message.empty()) {
    complain(err_, item.message);
    if (item.failed) status_ = kStatusError;
    return;
  }
  const std::string shown = belowRoot(root_, item.path == "." ? "" : item.path);
  if (item.contents.error == FileHash::kGrown) {
    complain(err_, quoted(shown) +
                       ": grows as it is read: listed as its first " +
                       std::to_string(item.listSize) + " bytes");
  } else if (item.contents.error != 0) {
    complain(err_,
             "cannot read " + quoted(shown) + ": " + item.contents.reason());
    status_ = kStatusError;
    return;
  }
  if (outputs_.list && item.listed) {
    if (item.unlistable == nullptr)
      writeListEntry(*outputs_.list, item.listSize, item.path);
    else
      complain(err_, "left out of " + std::string(kPackingList) + ": " +
                         quoted(belowRoot(root_, item.path)) + ": " +
                         item.unlistable);
  }
  if (outputs_.sums && item.summed)
    writeSumsLine(*outputs_.sums, item.contents.digest, item.path);
  if (outputs_.manifest && item.entry) {
    ManifestEntry& e = *item.entry;
    e.path = item.path;
    if (keywords_ & kKwUname) e.uname = owners_.user(e.uid);
    if (keywords_ & kKwGname) e.gname = owners_.group(e.gid);
    writeManifestLine(*outputs_.manifest, e, keywords_);
  }
}

// What the makers leave out under any name, besides the files Korlan keeps
// at the top (see walkTree): the files being written (a list redirected
// into its own tree), which change as they are written.
std::vector<FileId> excludedFiles(const std::vector<int>& outFds) {
  std::vector<FileId> excluded;
  struct stat st;
  for (const int fd : outFds)
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
      excluded.push_back({st.st_dev, st.st_ino});
  return excluded;
}

int make(const char* root, const Outputs& outputs, uint32_t keywords,
         Selection* only, std::ostream& err, const std::vector<int>& outFds,
         const PathPatterns* exclude, const PathPatterns* config) {
  // One reader per CPU, each holding a descriptor while it reads, beside
  // the walk's few and the walking thread's own read; where the limit
  // leaves no room for them, the walking thread reads every file itself.
  const bool reading =
      outputs.sums || (outputs.manifest && algorithmsOf(keywords) != 0);
  if (reading) prepareCrypto();
  // Each reader holds the directory of the files it reads and the file;
  // the walking thread its own, and an entry it holds for its attributes.
  const int kWalkOwn = 10;
  const int workers = reading ? std::max(0, plannedWorkers(1, 2, kWalkOwn)) : 0;
  // Without workers the walking thread reads each file where the walk
  // holds its directory open.
  const int topFd =
      workers > 0 ? open(root, O_PATH | O_DIRECTORY | O_CLOEXEC) : -1;
  Maker maker(root, topFd, outputs, keywords, only, config, workers, err);
  walkTree(root, excludedFiles(outFds), maker, 2 * workers,
           outputs.manifest != nullptr, exclude);
  const int status = maker.finish();
  if (topFd >= 0) close(topFd);
  return status;
}

// The default keywords of a manifest: what a vendor promises whatever
// account installs it (those of the table's own default), and, in an
// installation's own manifest, its flags and extended attributes too (file
// capabilities, ACLs, labels): BSD mtree and bsdtar do not read those.
uint32_t manifestKeywords(uint32_t keywords, bool installation) {
  if (keywords != 0) return keywords;
  uint32_t defaults = installation ? kKwFlags | kKwXattr : 0;
  for (const KeywordRow& row : kKeywordTable)
    if (row.byDefault) defaults |= keywordBit(row.keyword);
  return defaults & ~kKwType;
}

}  // namespace

int makeList(const char* root, std::ostream& out, std::ostream& err, int outFd,
             const PathPatterns* exclude) {
  Outputs outputs;
  outputs.list = &out;
  return make(root, outputs, 0, nullptr, err, {outFd}, exclude, nullptr);
}

int makeSums(const char* root, std::ostream& out, std::ostream& err, int outFd,
             const PathPatterns* exclude) {
  Outputs outputs;
  outputs.sums = &out;
  return make(root, outputs, 0, nullptr, err, {outFd}, exclude, nullptr);
}

int makeManifest(const char* root, uint32_t keywords, std::ostream& out,
                 std::ostream& err, int outFd, const PathPatterns* exclude) {
  Outputs outputs;
  outputs.manifest = &out;
  return make(root, outputs, manifestKeywords(keywords, false), nullptr, err,
              {outFd}, exclude, nullptr);
}

namespace {

// A list written beside its old self, through the descriptor that made the
// file (never reopened by its name, which another user of the directory
// could have replaced by a link meanwhile), and put in its place with the
// others, all or none (see placeAll).
class NewList {
 public:
  explicit NewList(const std::string& path)
      : path_(path),
        temporary_(path + ".XXXXXX"),
        buffer_(new char[kBuffer]),
        fd_(mkostemp(&temporary_[0], O_CLOEXEC)),
        buf_(fd_, buffer_.get(), kBuffer),
        out_(&buf_) {
    if (fd_ < 0) error_ = errno;
  }
  ~NewList() {
    if (fd_ >= 0) close(fd_);
    // Not placed, the file is the new list; exchanged, the old one.
    if (fd_ >= 0 && (!placed_ || exchanged_)) unlink(temporary_.c_str());
  }
  NewList(const NewList&) = delete;
  NewList& operator=(const NewList&) = delete;

  int fd() const { return fd_; }
  std::ostream* stream() { return &out_; }
  const std::string& path() const { return path_; }

  // The manifest's entry of this list, once finished: its type, mode,
  // size and SHA-256, read back through its descriptor. False after the
  // message.
  bool describe(ManifestEntry* e, std::ostream& err) {
    struct stat st;
    Hasher hasher;
    if (lseek(fd_, 0, SEEK_SET) != 0 || fstat(fd_, &st) != 0) {
      error_ = errno;
      return fail(err);
    }
    const FileHash h =
        hasher.hashOpen(fd_, st, algorithmBit(DigestAlgorithm::kSha256));
    if (h.error != 0) {
      error_ = h.error > 0 ? h.error : EIO;
      return fail(err);
    }
    e->path = path_.substr(path_.rfind('/') + 1);
    e->keywords = kKwType | kKwMode | kKwSize | kKwSha256;
    e->type = EntryType::kFile;
    e->mode = st.st_mode & 07777;
    e->size = st.st_size;
    e->digests = {{DigestAlgorithm::kSha256, h.digest.hex()}};
    return true;
  }

  // Writes out what is buffered, to the disk, readable by all; false after
  // the message when that fails or a directory stands where the list goes.
  bool finish(std::ostream& err) {
    struct stat st;
    if (error_ == 0 && !out_.flush())
      error_ = buf_.error() ? buf_.error() : EIO;
    if (error_ == 0 && (fsync(fd_) != 0 || fchmod(fd_, 0644) != 0))
      error_ = errno;
    if (error_ == 0 && lstat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      error_ = EISDIR;
    return error_ == 0 || fail(err);
  }
  // Puts the list in place: exchanged with the old one where the system
  // can, so that undo() brings the old one back.
  bool place(std::ostream& err) {
    if (renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, path_.c_str(),
                  RENAME_EXCHANGE) == 0) {
      placed_ = exchanged_ = true;
      return true;
    }
    // No old list (ENOENT), or a file system that cannot exchange.
    const int why = errno;
    if ((why == ENOENT || why == EINVAL || why == ENOSYS) &&
        rename(temporary_.c_str(), path_.c_str()) == 0) {
      placed_ = true;
      absent_ = why == ENOENT;
      return true;
    }
    error_ = errno;
    return fail(err);
  }
  // Takes the list placed back out: the old one returns, or none where
  // there was none. An old list replaced where the system could not
  // exchange is gone.
  void undo() {
    if (exchanged_)
      placed_ = renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, path_.c_str(),
                          RENAME_EXCHANGE) != 0;
    else if (placed_ && absent_)
      placed_ = rename(path_.c_str(), temporary_.c_str()) != 0;
    exchanged_ = exchanged_ && placed_;
  }

 private:
  static const size_t kBuffer = 1 << 16;

  bool fail(std::ostream& err) {
    complain(err, "cannot write " + quoted(path_) + ": " + strerror(error_));
    return false;
  }

  const std::string path_;
  std::string temporary_;
  // Allocated before the file is made: nothing that may throw comes after.
  std::unique_ptr<char[]> buffer_;
  const int fd_;
  int error_ = 0;
  bool placed_ = false, exchanged_ = false, absent_ = false;
  FdBuf buf_;
  std::ostream out_;
};

// Puts the new lists in place of the old ones, all or none: a run that
// fails at the last leaves the lists that were there, which still agree
// with one another. The manifest, last, names the others with their
// digests: a signature of the manifest covers all three, and a list of
// another release, or a list changed, is a checksum mismatch of its entry.
// False after the message.
bool placeAll(NewList* const* lists, size_t n, std::ostream& err) {
  ManifestEntry e;
  for (size_t i = 0; i + 1 < n; ++i) {
    if (!lists[i]->finish(err) || !lists[i]->describe(&e, err)) return false;
    writeManifestLine(*lists[n - 1]->stream(), e, e.keywords);
  }
  if (!lists[n - 1]->finish(err)) return false;
  for (size_t placed = 0; placed < n; ++placed) {
    if (lists[placed]->place(err)) continue;
    while (placed-- > 0) lists[placed]->undo();
    return false;
  }
  return true;
}

}  // namespace

int makeLists(const char* root, uint32_t keywords, std::istream* only,
              std::ostream& err, const PathPatterns* exclude,
              const PathPatterns* config) {
  Selection selection;
  if (only != nullptr) {
    for (std::string line; std::getline(*only, line);) {
      const std::string_view path =
          std::string_view(line).substr(line.compare(0, 2, "./") == 0 ? 2 : 0);
      if (path.empty()) continue;
      if (path[0] == '/' || leavesTop(path)) {
        complain(err, "cannot list " + quoted(belowRoot(root, path)) +
                          ": not a path below the top");
        return kStatusError;
      }
      selection.add(path);
    }
    if (only->bad()) {
      complain(err, "cannot read the files to list");
      return kStatusError;
    }
    selection.seal();
  }
  NewList list(belowRoot(root, kPackingList)),
      sums(belowRoot(root, kPackingSums)),
      manifest(belowRoot(root, kPackingManifest));
  Outputs outputs;
  outputs.list = list.stream();
  outputs.sums = sums.stream();
  outputs.manifest = manifest.stream();
  int status = make(root, outputs, manifestKeywords(keywords, true),
                    only != nullptr ? &selection : nullptr, err,
                    {list.fd(), sums.fd(), manifest.fd()}, exclude, config);
  if (only != nullptr) {
    for (const std::string_view name : selection.unmet()) {
      if (isKeptFile(name)) continue;  // never listed, as without a selection
      complain(err, "cannot list " + quoted(belowRoot(root, name)) +
                        ": not in the tree");
      status = kStatusError;
    }
  }
  NewList* const lists[] = {&list, &sums, &manifest};
  if (status == kStatusOk && !placeAll(lists, 3, err)) status = kStatusError;
  return status;
}

int makeSourceManifest(EntrySource& source, std::ostream& out,
                       std::ostream& err) {
  out << kManifestHeader;
  int status = kStatusOk;
  ManifestEntry e;
  Expected x;
  uint32_t line = 0;
  int read;
  while ((read = source.next(&e.path, &x, &line, err)) == 1) {
    static_cast<Detail&>(e) =
        x.detail != nullptr ? std::move(*x.detail) : Detail();
    if (!e.unchecked.empty()) {
      for (const Unchecked& u : e.unchecked)
        complain(err, source.name() + ':' + std::to_string(line) + ": " +
                          quoted(e.path) + ": " + u.keyword + ": " + u.why);
      status = kStatusError;
      continue;
    }
    e.keywords = x.keywords;
    e.type = x.type;
    e.mode = x.mode;
    e.size = x.size;
    writeManifestLine(out, e, kKwAll);
  }
  return read < 0 ? kStatusError : status;
}
