// prober.cpp: probing the listed files ahead of the walk, on worker threads.
#include "prober.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>

#include <new>
#include <system_error>

#include "digest.h"
#include "directory.h"

namespace {

// Files handed over to the workers at a time, and taken by a worker at a
// time: one lock per batch instead of one per file, and batches small enough
// that the workers start while the reader is still at the top of the list.
const int kBatch = 32;

}  // namespace

Prober::Prober(const Directory* root, char sep, int workers,
               bool keepIdentities, std::atomic<int64_t>* hashed)
    : root_(root), sep_(sep), hashed_(hashed) {
  // Sized before any thread starts: each writes only its own part.
  if (keepIdentities) ids_.resize(1 + (workers > 0 ? workers : 0));
  // A worker needs little stack: a path on the heap and a stat call. The
  // default, the stack limit (often 8 MiB), would count against a limit of
  // address space for every worker, memory that a large list may need.
  const size_t kWorkerStack = 256 << 10;
  pthread_attr_t attr;
  // ThreadSanitizer's runtime starts no thread on so small a stack, and a
  // run without workers would leave the threads unchecked.
#if defined(__SANITIZE_THREAD__)
  const bool shrink = false;
#else
  const bool shrink = workers > 0;
#endif
  if (shrink && pthread_getattr_default_np(&attr) == 0) {
    size_t size = 0;
    if (pthread_attr_getstacksize(&attr, &size) == 0 && size > kWorkerStack &&
        pthread_attr_setstacksize(&attr, kWorkerStack) == 0)
      pthread_setattr_default_np(&attr);
    pthread_attr_destroy(&attr);
  }
  for (int i = 0; i < workers; ++i) {
    try {
      threads_.emplace_back(&Prober::work, this, static_cast<size_t>(i));
    } catch (const std::system_error&) {
      break;  // out of threads or memory: the walk probes what is left
    } catch (const std::bad_alloc&) {
      break;
    }
  }
}

Prober::~Prober() { stop(); }

void Prober::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  workAvailable_.notify_all();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
}

std::vector<std::deque<FileId>> Prober::takeIdentities() {
  stop();
  if (idsLost_.load()) throw std::bad_alloc();
  return std::move(ids_);
}

void Prober::add(File* f) {
  if (threads_.empty()) return;
  if (batchTail_ == nullptr)
    batchHead_ = f;
  else
    batchTail_->nextQueued = f;
  batchTail_ = f;
  if (++batchSize_ == kBatch) flush();
}

void Prober::flush() {
  if (batchHead_ == nullptr) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queueTail_ == nullptr)
      queueHead_ = batchHead_;
    else
      queueTail_->nextQueued = batchHead_;
    queueTail_ = batchTail_;
  }
  batchHead_ = batchTail_ = nullptr;
  batchSize_ = 0;
  workAvailable_.notify_one();
}

void Prober::probe(File* f, const char* path, std::deque<FileId>* ids,
                   std::unique_ptr<Hasher>* hasher) {
  const HostFile probe(path);
  f->probeError = probe.status == 0 ? 0 : probe.error;
  f->probedSize = probe.size;
  if (ids != nullptr && probe.status == 0) {
    // A worker cannot throw, and the file must be published all the same;
    // a lost identity would make a listed file look unlisted, so the loss
    // is told to takeIdentities instead.
    try {
      ids->push_back(probe.id);
    } catch (const std::bad_alloc&) {
      idsLost_.store(true);
    }
  }
  // Only a file of the right size is worth reading: any other has failed.
  if (f->hashed && f->probeError == 0 && f->probedSize == f->size) {
    if (*hasher == nullptr) hasher->reset(new Hasher(hashed_));
    static_cast<HashedFile*>(f)->contents =
        (*hasher)->hash(AT_FDCWD, path, f->size);
  }
  publish(f, File::kProbed);
}

void Prober::publish(File* f, unsigned char state) {
  f->probeState.store(state);
  // Wakes the walk if it waits for this file, and only then: a walk waiting
  // for a large file would otherwise be woken by every small one done
  // meanwhile. The walk names the file in awaited_ before it looks at the
  // state, and this thread stores the state before it looks at awaited_:
  // one of the two sees the other.
  if (awaited_.load() == f) {
    { std::lock_guard<std::mutex> lock(mutex_); }
    probed_.notify_all();
  }
}

void Prober::settle(File* f, const char* path) {
  // A worker that takes a file gives it back unprobed when it cannot form
  // its path, so the walk may have to claim a file more than once.
  for (;;) {
    unsigned char state = File::kUnprobed;
    if (f->probeState.compare_exchange_strong(state, File::kProbing)) {
      probe(f, path, ids_.empty() ? nullptr : &ids_[0], &walkHasher_);
      return;
    }
    if (state == File::kProbed) return;
    // A probe takes a few microseconds: yielding a few times usually sees
    // it done, where sleeping on the condition would cost a wake-up each
    // time the walk catches up with a worker. On one CPU the yield lets the
    // worker finish.
    for (int i = 0; i < 64 && state == File::kProbing; ++i) {
      sched_yield();
      state = f->probeState.load();
    }
    if (state == File::kProbing) {
      awaited_.store(f);
      {
        std::unique_lock<std::mutex> lock(mutex_);
        probed_.wait(lock,
                     [f] { return f->probeState.load() != File::kProbing; });
      }
      awaited_.store(nullptr);
    }
  }
}

void Prober::work(size_t worker) {
  std::deque<FileId>* ids = ids_.empty() ? nullptr : &ids_[1 + worker];
  // The expected path of each file, formed as the walk forms it. Files come
  // in reading order, mostly several of one directory in a row, so the
  // directory's part is kept while the directory stays the same.
  std::string path;
  const Directory* pathDir = nullptr;
  size_t dirLength = 0;
  std::unique_ptr<Hasher> hasher;
  for (;;) {
    File* batch;
    bool more;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      workAvailable_.wait(lock,
                          [this] { return closing_ || queueHead_ != nullptr; });
      if (closing_) return;
      // Takes up to a batch; leaves the rest for the other workers. Files
      // to be read are taken up to about a megabyte: reading a large one
      // takes long, and a batch would keep the files behind it from the
      // idle workers.
      batch = queueHead_;
      File* last = batch;
      const int64_t kBatchBytes = 1 << 20;
      int64_t bytes = batch->hashed ? batch->size : 0;
      for (int n = 1;
           n < kBatch && last->nextQueued != nullptr && bytes < kBatchBytes;
           ++n) {
        last = last->nextQueued;
        if (last->hashed) bytes += last->size;
      }
      queueHead_ = last->nextQueued;
      if (queueHead_ == nullptr) queueTail_ = nullptr;
      last->nextQueued = nullptr;
      more = queueHead_ != nullptr;
    }
    if (more) workAvailable_.notify_one();

    for (File* f = batch; f != nullptr; f = f->nextQueued) {
      unsigned char state = File::kUnprobed;
      if (!f->probeState.compare_exchange_strong(state, File::kProbing))
        continue;  // the walk got there first
      try {
        if (f->dir != pathDir) {
          pathDir = nullptr;
          directoryPath(root_, f->dir, sep_, &path);
          dirLength = path.size();
          pathDir = f->dir;
        }
        path.resize(dirLength);
        appendComponent(&path, sep_, f->name);
        if (f->hashed && hasher == nullptr) hasher.reset(new Hasher(hashed_));
      } catch (const std::bad_alloc&) {
        // No memory for the path or the read buffer: hand the file back for
        // the walk to probe, waking the walk if it waits for it, and stop;
        // the rest of the batch was never claimed, and the walk needs no
        // worker to finish.
        publish(f, File::kUnprobed);
        return;
      }
      probe(f, path.c_str(), ids, &hasher);
    }
  }
}

int proberWorkerCount(bool reading) {
  // Two probes in flight per CPU: with the files in the page cache, two
  // workers per CPU keep every CPU busy beside the reader; with a cold
  // cache most probes wait on the disk, and more in flight overlap more of
  // the waiting. Beyond that, warm runs lose more to switching between
  // threads than cold runs gain (measured on bushy 200k: README).
  //
  // Reading and hashing files keeps a CPU busy by itself, so then one per
  // CPU. A second worker would only share the CPU, and the scheduler
  // shares it by threads, not by work left: a large file that shares its
  // CPU with a run of small ones finishes last, alone, while the other CPU
  // has run dry.
  const int kPerCpu = reading ? 1 : 2, kMost = 64;
  cpu_set_t set;
  int cpus = 1;
  if (sched_getaffinity(0, sizeof set, &set) == 0) cpus = CPU_COUNT(&set);
  if (cpus < 1) cpus = 1;
  return cpus * kPerCpu < kMost ? cpus * kPerCpu : kMost;
}
