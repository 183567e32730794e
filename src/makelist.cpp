// makelist.cpp: the lists of a tree on disk.
//
// Both makers are one visitor of the tree walk: each file the walk finds,
// and each path it cannot list, becomes an item of an ordered pool (see
// pool.h). Under --make-sums the workers read and hash the files in walk
// order; the walking thread writes every item in turn, a line on standard
// output or a message on standard error, so that the output is the same
// whatever the threads do. --make-list has nothing to do beyond the walk's
// own stat of each file, and its items pass through without a worker.
#include "makelist.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "digest.h"
#include "directory.h"
#include "message.h"
#include "packlist.h"
#include "pool.h"
#include "status.h"
#include "sums.h"
#include "treewalk.h"

namespace {

// One thing to write, in walk order: a file's line, or a message.
struct MadeItem {
  std::string path;     // below the root
  int64_t size = 0;     // of the file
  std::string message;  // written instead of a line, when not empty
  bool failed = false;  // the message makes the status 255
  FileHash contents;    // under --make-sums
};

class MakeJob {
 public:
  using Item = MadeItem;
  struct Context {
    std::unique_ptr<Hasher> hasher;
  };

  MakeJob(const char* root, bool hashing) : root_(root), hashing_(hashing) {}

  int64_t weight(const Item& item) const { return hashing_ ? item.size : 0; }

  void run(Item& item, Context& c) {
    if (!hashing_ || !item.message.empty()) return;
    if (c.hasher == nullptr) c.hasher.reset(new Hasher(nullptr, stopping));
    const std::string path = belowRoot(root_, item.path);
    item.contents = c.hasher->hash(AT_FDCWD, path.c_str(), item.size);
  }

  const std::atomic<bool>* stopping = nullptr;

 private:
  const std::string root_;
  const bool hashing_;
};

class Maker : public TreeVisitor {
 public:
  Maker(const char* root, bool hashing, int workers, std::ostream& out,
        std::ostream& err)
      : root_(root),
        hashing_(hashing),
        out_(out),
        err_(err),
        job_(root, hashing),
        pool_(job_, workers, 0) {
    job_.stopping = &pool_.stopping();
  }

  void file(const FoundFile& f) override {
    MadeItem item;
    item.path.assign(f.path);
    item.size = f.st->st_size;
    push(std::move(item));
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

  void write(const MadeItem& item) {
    if (!item.message.empty()) {
      complain(err_, item.message);
      if (item.failed) status_ = kStatusError;
    } else if (!hashing_) {
      writeListEntry(out_, item.size, item.path);
    } else if (item.contents.error != 0) {
      complain(err_, "cannot read " + quoted(belowRoot(root_, item.path)) +
                         ": " + item.contents.reason());
      status_ = kStatusError;
    } else {
      writeSumsLine(out_, item.contents.digest, item.path);
    }
  }

  const std::string root_;
  const bool hashing_;
  std::ostream& out_;
  std::ostream& err_;
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

int make(const char* root, bool hashing, std::ostream& out, std::ostream& err,
         int outFd) {
  // One reader per CPU, each holding a descriptor while it reads, beside
  // the walk's few and the walking thread's own read; where the limit
  // leaves no room for them, the walking thread reads every file itself.
  const int kWalkOwn = 8;
  const int workers =
      hashing ? std::max(0, workersWithinDescriptors(usableCpus(), 1, kWalkOwn))
              : 0;
  Maker maker(root, hashing, workers, out, err);
  walkTree(root, excludedFiles(outFd), maker, workers);
  return maker.finish();
}

}  // namespace

int makeList(const char* root, std::ostream& out, std::ostream& err,
             int outFd) {
  return make(root, false, out, err, outFd);
}

int makeSums(const char* root, std::ostream& out, std::ostream& err,
             int outFd) {
  return make(root, true, out, err, outFd);
}
