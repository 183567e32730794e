// makelist.cpp: the lists of a tree on disk.
//
// The three makers are one visitor of the tree walk: each file the walk
// finds (each entry, for a manifest), and each path it cannot list, becomes
// an item of an ordered pool (see pool.h). Under --make-sums and
// --make-mtree the workers read and hash the files in walk order; the
// walking thread writes every item in turn, a line on standard output or a
// message on standard error, so that the output is the same whatever the
// threads do. --make-list has nothing to do beyond the walk's own stat of
// each file, and its items pass through without a worker.
#include "makelist.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "digest.h"
#include "directory.h"
#include "manifest.h"
#include "message.h"
#include "owners.h"
#include "packlist.h"
#include "pool.h"
#include "status.h"
#include "sums.h"
#include "treewalk.h"

namespace {

enum class Made { kList, kSums, kManifest };

// One thing to write, in walk order: a file's line, or a message.
struct MadeItem {
  // The file: its path below the root ("." for the root, in a manifest) and
  // size; in a manifest, everything its line may say.
  ManifestEntry entry;
  std::string message;  // written instead of a line, when not empty
  bool failed = false;  // the message makes the status 255
  FileHash contents;    // how reading went; the digest under --make-sums
};

class MakeJob {
 public:
  using Item = MadeItem;
  struct Context {
    std::unique_ptr<Hasher> hasher;
    std::string hex[kDigestAlgorithms];
  };

  // `algorithms`: the digests a manifest gives each file.
  MakeJob(const char* root, Made made, unsigned algorithms)
      : root_(root), made_(made), algorithms_(algorithms) {}

  int64_t weight(const Item& item) const {
    return reads(item) ? item.entry.size : 0;
  }

  void run(Item& item, Context& c) {
    if (!reads(item)) return;
    if (c.hasher == nullptr) c.hasher.reset(new Hasher(nullptr, stopping));
    const std::string path = belowRoot(root_, item.entry.path);
    ManifestEntry& e = item.entry;
    if (made_ == Made::kSums) {
      item.contents = c.hasher->hash(AT_FDCWD, path.c_str(), e.size);
      return;
    }
    item.contents =
        c.hasher->hash(AT_FDCWD, path.c_str(), e.size, algorithms_, c.hex);
    for (int a = 0; a < kDigestAlgorithms && item.contents.error == 0; ++a)
      if (algorithms_ & 1u << a)
        e.digests.push_back({static_cast<DigestAlgorithm>(a), c.hex[a]});
  }

  const std::atomic<bool>* stopping = nullptr;

 private:
  // Whether the file is read: every file for the sums, the regular files
  // of a manifest that gives digests.
  bool reads(const Item& item) const {
    if (!item.message.empty()) return false;
    return made_ == Made::kSums ||
           (made_ == Made::kManifest && algorithms_ != 0 &&
            item.entry.type == EntryType::kFile);
  }

  const std::string root_;
  const Made made_;
  const unsigned algorithms_;
};

// The digests of a set of keywords.
unsigned algorithmsOf(uint32_t keywords) {
  const struct {
    uint32_t keyword;
    DigestAlgorithm algorithm;
  } kDigests[] = {{kKwMd5, DigestAlgorithm::kMd5},
                  {kKwSha1, DigestAlgorithm::kSha1},
                  {kKwSha256, DigestAlgorithm::kSha256},
                  {kKwSha384, DigestAlgorithm::kSha384},
                  {kKwSha512, DigestAlgorithm::kSha512}};
  unsigned algorithms = 0;
  for (const auto& d : kDigests)
    if (keywords & d.keyword) algorithms |= algorithmBit(d.algorithm);
  return algorithms;
}

// The link's target, read relative to the directory that holds it.
std::string linkTarget(int dirFd, const char* name) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = readlinkat(dirFd, name, &target[0], target.size());
    if (n < 0) return "";
    if (static_cast<size_t>(n) < target.size()) return target.substr(0, n);
    target.resize(2 * target.size());
  }
}

class Maker : public TreeVisitor {
 public:
  // `keywords`: what a manifest says of each entry, besides its type.
  Maker(const char* root, Made made, uint32_t keywords, int workers,
        std::ostream& out, std::ostream& err)
      : root_(root),
        made_(made),
        keywords_(keywords | kKwType),
        out_(out),
        err_(err),
        job_(root, made, made == Made::kManifest ? algorithmsOf(keywords) : 0),
        pool_(job_, workers, 0) {
    job_.stopping = &pool_.stopping();
    if (made_ == Made::kManifest) out_ << kManifestHeader;
  }

  void file(const FoundFile& f) override {
    MadeItem item;
    item.entry.path.assign(f.path);
    item.entry.size = f.st->st_size;
    push(std::move(item));
  }

  // An entry of a manifest: everything the line may say, the keywords
  // that apply to its type; the names of its owners and its digests are
  // found later.
  bool node(std::string_view path, const char* name, int dirFd,
            const struct stat& st) override {
    MadeItem item;
    ManifestEntry& e = item.entry;
    e.path = path.empty() ? "." : std::string(path);
    e.type = entryTypeOf(st.st_mode);
    e.mode = st.st_mode & 07777;
    e.uid = st.st_uid;
    e.gid = st.st_gid;
    e.size = st.st_size;
    e.seconds = st.st_mtim.tv_sec;
    e.nanoseconds = static_cast<uint32_t>(st.st_mtim.tv_nsec);
    e.nlink = st.st_nlink;
    e.keywords = kKwType | kKwMode | kKwUid | kKwGid | kKwUname | kKwGname |
                 kKwTime | kKwNlink;
    if (e.type == EntryType::kFile) e.keywords |= kKwSize | kDigestKeywords;
    if (e.type == EntryType::kLink) {
      e.link = linkTarget(dirFd, name);
      e.keywords |= kKwLink;
    }
    push(std::move(item));
    return true;
  }
  void refused(std::string_view path, Refusal, const char* why,
               const struct stat*) override {
    message("cannot list", path, why, true);
  }
  void skippedLink(std::string_view path, const char* why) override {
    message("skipped link", path, why, false);
  }

  static const uint32_t kDigestKeywords =
      kKwSha256 | kKwSha512 | kKwSha384 | kKwSha1 | kKwMd5;

  // Writes what is left; returns the status.
  int finish() {
    pool_.offer();
    writeUpTo(pool_.size());
    pool_.stop();
    return status_;
  }

 private:
  // Items waiting at once: enough to keep every worker busy across a run of
  // small files, few enough that their paths cost little memory.
  static const size_t kMostWaiting = 4096;

  void push(MadeItem item) {
    pool_.add(std::move(item));
    if (pool_.size() % OrderedPool<MakeJob>::kBatch == 0) pool_.offer();
    if (pool_.size() - written_ > kMostWaiting)
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

  // Writes the items below `end` in turn, each once done.
  void writeUpTo(size_t end) {
    for (; written_ < end; ++written_) write(pool_.settle(written_, own_));
    pool_.release(written_);
  }

  void write(MadeItem& item) {
    ManifestEntry& e = item.entry;
    if (!item.message.empty()) {
      complain(err_, item.message);
      if (item.failed) status_ = kStatusError;
    } else if (item.contents.error != 0) {
      const std::string path = belowRoot(root_, e.path == "." ? "" : e.path);
      complain(err_,
               "cannot read " + quoted(path) + ": " + item.contents.reason());
      status_ = kStatusError;
    } else if (made_ == Made::kList) {
      writeListEntry(out_, e.size, e.path);
    } else if (made_ == Made::kSums) {
      writeSumsLine(out_, item.contents.digest, e.path);
    } else {
      if (keywords_ & kKwUname) e.uname = owners_.user(e.uid);
      if (keywords_ & kKwGname) e.gname = owners_.group(e.gid);
      writeManifestLine(out_, e, keywords_);
    }
  }

  const std::string root_;
  const Made made_;
  const uint32_t keywords_;
  std::ostream& out_;
  std::ostream& err_;
  OwnerNames owners_;
  MakeJob job_;
  OrderedPool<MakeJob> pool_;
  MakeJob::Context own_;
  size_t written_ = 0;
  int status_ = kStatusOk;
};

// What the makers leave out under any name, besides the files Korlan keeps
// at the top (see walkTree): the file being written (a list redirected
// into its own tree), which changes as it is written.
std::vector<FileId> excludedFiles(int outFd) {
  std::vector<FileId> excluded;
  struct stat st;
  if (outFd >= 0 && fstat(outFd, &st) == 0 && S_ISREG(st.st_mode))
    excluded.push_back({st.st_dev, st.st_ino});
  return excluded;
}

int make(const char* root, Made made, uint32_t keywords, std::ostream& out,
         std::ostream& err, int outFd) {
  // One reader per CPU, each holding a descriptor while it reads, beside
  // the walk's few and the walking thread's own read; where the limit
  // leaves no room for them, the walking thread reads every file itself.
  const bool reading = made == Made::kSums ||
                       (made == Made::kManifest && algorithmsOf(keywords) != 0);
  const int kWalkOwn = 8;
  const int workers =
      reading ? std::max(0, workersWithinDescriptors(usableCpus(), 1, kWalkOwn))
              : 0;
  Maker maker(root, made, keywords, workers, out, err);
  walkTree(root, excludedFiles(outFd), maker, workers, made == Made::kManifest);
  return maker.finish();
}

}  // namespace

int makeList(const char* root, std::ostream& out, std::ostream& err,
             int outFd) {
  return make(root, Made::kList, 0, out, err, outFd);
}

int makeSums(const char* root, std::ostream& out, std::ostream& err,
             int outFd) {
  return make(root, Made::kSums, 0, out, err, outFd);
}

int makeManifest(const char* root, uint32_t keywords, std::ostream& out,
                 std::ostream& err, int outFd) {
  if (keywords == 0)
    keywords = kKwMode | kKwSize | kKwLink | kKwSha256;  // a vendor's promise
  return make(root, Made::kManifest, keywords, out, err, outFd);
}
