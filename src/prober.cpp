// prober.cpp: what the disk says of each listed file.
#include "prober.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <string>

#include "directory.h"
#include "pool.h"

namespace {

// A worker needs little stack: a path on the heap and a stat call. The
// default, the stack limit (often 8 MiB), would count against a limit of
// address space for every worker, memory that a large list may need.
const size_t kWorkerStack = 256 << 10;

// The side array's item of a run that reads no file: eight bytes, the file
// before the probe, and after it the size found (>= 0), or minus the errno.
class PlainItem {
 public:
  static const bool kHashed = false;
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

template <class ItemType>
class ProbeJob {
 public:
  using Item = ItemType;
  struct Context {
    std::string path;
    const Directory* dir = nullptr;  // whose path `path` begins with
    size_t dirLength = 0;
    std::unique_ptr<Hasher> hasher;
    std::deque<FileId> ids;
  };

  ProbeJob(const Directory* root, char sep, bool identities,
           std::atomic<int64_t>* hashed)
      : root_(root), sep_(sep), identities_(identities), hashed_(hashed) {}

  // Files to read weigh their size; probes alone weigh nothing, and go in
  // batches of a fixed count.
  int64_t weight(const Item& item) const {
    return Item::kHashed ? item.file()->size : 0;
  }

  // The pool's flag, watched while a file is read.
  const std::atomic<bool>* stopping = nullptr;
  std::atomic<bool> idsLost{false};

  void run(Item& item, Context& c) {
    const File& f = *item.file();
    // Files come in reading order, mostly several of one directory in a
    // row: the directory's part of the path is kept while it stays.
    if (f.dir != c.dir) {
      c.dir = nullptr;
      directoryPath(root_, f.dir, sep_, &c.path);
      c.dirLength = c.path.size();
      c.dir = f.dir;
    }
    c.path.resize(c.dirLength);
    appendComponent(&c.path, sep_, f.name);
    const HostFile host(c.path.c_str());
    if (host.status != 0) {
      item.setResult(-static_cast<int64_t>(host.error));
      return;
    }
    if (identities_) {
      try {
        c.ids.push_back(host.id);
      } catch (const std::bad_alloc&) {
        // A lost identity would make a listed file look unlisted.
        idsLost.store(true);
      }
    }
    // Only a file of the right size is worth reading: any other has failed.
    if (FileHash* contents = item.contents()) {
      if (host.size == f.size) {
        if (c.hasher == nullptr) c.hasher.reset(new Hasher(hashed_, stopping));
        *contents = c.hasher->hash(AT_FDCWD, c.path.c_str(), f.size);
      }
    }
    item.setResult(host.size);
  }

  const Directory* root_;
  const char sep_;
  const bool identities_;
  std::atomic<int64_t>* hashed_;
};

template <class Item>
class PooledProber : public Prober {
 public:
  PooledProber(const Directory* root, char sep, bool identities, int workers,
               std::atomic<int64_t>* hashed)
      : job_(root, sep, identities, hashed),
        pool_(job_, workers, kWorkerStack) {
    job_.stopping = &pool_.stopping();
  }
  ~PooledProber() override { pool_.stop(); }

  void recorded(File* f) override {
    Item item;
    item.setFile(f);
    pool_.add(item);
    if (pool_.size() % Pool::kBatch == 0) pool_.offer();
  }
  void flush() override { pool_.offer(); }

  ProbeResult settle(const File& f) override {
    Item* item = &pool_.settle(f.entry, own_);
    const int64_t r = item->result();
    ProbeResult result{r < 0 ? static_cast<int>(-r) : 0, r < 0 ? 0 : r,
                       nullptr};
    if (r == f.size) result.contents = item->contents();
    return result;
  }

  void stop() override { pool_.stop(); }

  std::vector<std::deque<FileId>> takeIdentities() override {
    pool_.stop();
    if (job_.idsLost.load()) throw std::bad_alloc();
    std::vector<std::deque<FileId>> parts;
    parts.push_back(std::move(own_.ids));
    for (auto& c : pool_.contexts()) parts.push_back(std::move(c->ids));
    return parts;
  }

 private:
  using Job = ProbeJob<Item>;
  using Pool = OrderedPool<Job>;
  Job job_;
  Pool pool_;
  typename Job::Context own_;  // the walk's, for the files it probes itself
};

}  // namespace

std::unique_ptr<Prober> Prober::make(const Directory* root, char sep,
                                     const Checks& checks, int workers,
                                     std::atomic<int64_t>* hashed) {
  if (checks.contents)
    return std::make_unique<PooledProber<HashedItem>>(
        root, sep, checks.identities, workers, hashed);
  return std::make_unique<PooledProber<PlainItem>>(root, sep, checks.identities,
                                                   workers, nullptr);
}

int proberWorkerCount(const Checks& checks) {
  // Two probes in flight per CPU: with the files in the page cache, two
  // workers per CPU keep every CPU busy beside the reader; with a cold
  // cache most probes wait on the disk, and more in flight overlap more of
  // the waiting. Beyond that, warm runs lose more to switching between
  // threads than cold runs gain (measured on bushy 200k: see the
  // developers' notes).
  //
  // Reading and hashing files keeps a CPU busy by itself, so then one per
  // CPU. A second worker would only share the CPU, and the scheduler
  // shares it by threads, not by work left: a large file that shares its
  // CPU with a run of small ones finishes last, alone, while the other CPU
  // has run dry. Each reader holds a descriptor; the walk holds one more,
  // for the sums file and then for the files it reads itself.
  const int kPerCpu = checks.contents ? 1 : 2, kMost = 64;
  const int wanted = std::min(usableCpus() * kPerCpu, kMost);
  return workersWithinDescriptors(wanted, checks.contents ? 1 : 0,
                                  checks.contents ? 1 : 0);
}
