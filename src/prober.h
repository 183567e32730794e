// prober.h: probing the listed files ahead of the walk, on worker threads.
//
// A probe is one stat call, and most of a run's time is spent waiting for
// them one after another. Worker threads therefore probe every file as soon
// as the reader has recorded it, in reading order, and keep the result in
// the File record; the walk, which alone writes the report, then takes the
// results in its own order. So the report is the same, byte for byte and
// flush for flush, whatever the number of workers and however the threads
// are scheduled.
#ifndef KORLAN_PROBER_H_
#define KORLAN_PROBER_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fileid.h"

struct Directory;
struct File;
class Hasher;

class Prober {
 public:
  // Starts up to `workers` threads that probe the files given to add(), at
  // their expected paths below `root` (the root node; see
  // File::getExpectedFilename). With no workers, the walk probes every file
  // itself. Threads that cannot be started are done without. With
  // `keepIdentities`, the identity of every file found is kept for
  // takeIdentities.
  //
  // A HashedFile found with its listed size is read and hashed in the same
  // step, by whoever probes it, each thread through a Hasher of its own;
  // `hashed`, when given, counts the bytes read.
  Prober(const Directory* root, char sep, int workers,
         bool keepIdentities = false, std::atomic<int64_t>* hashed = nullptr);
  // Stops the workers and waits for them.
  ~Prober();
  Prober(const Prober&) = delete;
  Prober& operator=(const Prober&) = delete;

  // Reader: `f` has been recorded in the tree, its path is final.
  void add(File* f);
  // Reader: hands the files added since the last handover to the workers.
  void flush();

  // Walk: returns when `f` holds its probe result. A file that no worker has
  // taken yet is probed here, at `path`, rather than waited for; a file that
  // a worker is probing is waited for.
  void settle(File* f, const char* path);

  // Walk, once every file is settled: stops the workers and hands over the
  // identities of the files found, in no order, as one part per thread.
  // Throws std::bad_alloc when a worker had no memory to keep one.
  std::vector<std::deque<FileId>> takeIdentities();

 private:
  void work(size_t worker);
  void stop();
  // Probes `f` at `path` (hashing it through `*hasher`, made when first
  // needed) and publishes the result, keeping the identity of a file found
  // in `ids` when given.
  void probe(File* f, const char* path, std::deque<FileId>* ids,
             std::unique_ptr<Hasher>* hasher);
  // Sets `f`'s probe state, waking the walk if it waits for `f`.
  void publish(File* f, unsigned char state);

  const Directory* root_;
  const char sep_;
  std::atomic<int64_t>* hashed_;
  // The walk's own, for the files it probes itself.
  std::unique_ptr<Hasher> walkHasher_;

  // Files added but not yet handed over: the reader's own, unlocked.
  File* batchHead_ = nullptr;
  File* batchTail_ = nullptr;
  int batchSize_ = 0;

  std::mutex mutex_;
  // Handed over, not yet taken by a worker; linked through File::nextQueued.
  File* queueHead_ = nullptr;
  File* queueTail_ = nullptr;
  bool closing_ = false;
  std::condition_variable workAvailable_;
  // The file whose result the walk waits for, from a worker, here.
  std::atomic<const File*> awaited_{nullptr};
  std::condition_variable probed_;

  std::vector<std::thread> threads_;

  // Under keepIdentities: the walk's own part, then one per worker, each
  // written by its thread alone. A deque grows without copying or slack.
  std::vector<std::deque<FileId>> ids_;
  std::atomic<bool> idsLost_{false};
};

// How many workers to start: from the CPUs this process may run on, fewer
// when they also read and hash the files (`reading`).
int proberWorkerCount(bool reading = false);

#endif  // KORLAN_PROBER_H_
