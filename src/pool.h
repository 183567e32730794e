// pool.h: an ordered pool of worker threads.
//
// One thread, the producer, adds items in order; worker threads take them
// in that order, a batch at a time, and do each one. The same thread, as
// consumer, takes each result when it needs it, in whatever order it needs:
// it waits for the worker that holds the item, or does the item itself when
// no worker has taken it yet. So a report written by the consumer is the
// same, byte for byte, whatever the workers do and however many of them
// could be started, none included.
//
// What an item is and how it is done belongs to a Job:
//
//   struct Job {
//     using Item = ...;     // default-constructible; holds input and result
//     using Context = ...;  // one per thread: buffers, a hasher ...
//     void run(Item& item, Context& context);   // does one item; may throw
//                                               // std::bad_alloc
//     int64_t weight(const Item& item) const;   // what it costs, for batching;
//                                               // asked once, as it is added
//   };
//
// A job that does a batch better at once than item by item (probes kept in
// flight together) also declares
//
//     static const bool kRunsBatches = true;
//     template <class Done>
//     void runBatch(Item* const* items, size_t n, Context& context, Done done);
//     size_t batchLimit(const Context& context) const;
//
// runBatch does the `n` items a worker took and calls done(k) as soon as
// item k is done; the workers then hand it their batches, the consumer
// still does one item at a time with run(). batchLimit says, before each
// batch, how many items a worker takes at once (at most kChunk).
//
// The producer weighs each item as it adds it: a worker that weighed an
// item the consumer is doing meanwhile (or has done, and freed what it
// points to) would read what changes under it.
//
// A worker that runs out of memory gives its item back and ends; the
// consumer then does the item, and the run fails there, on its own thread,
// if memory is still short.
//
// Items live in chunks that never move, so a worker holds an item by
// reference while the producer adds more, and the chunks the consumer no
// longer needs are freed as it goes (release).
#ifndef KORLAN_POOL_H_
#define KORLAN_POOL_H_

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>
#include <vector>

// Starts `body(arg)` on a new thread with a stack of `stack` bytes (0: the
// system's default). False when the thread could not be started.
bool startThread(pthread_t* thread, size_t stack, void* (*body)(void*),
                 void* arg);

// The CPUs this process may run on, at least 1.
int usableCpus();

// How many workers may each hold `each` file descriptors at once, beside
// the consumer, which holds up to `own`, within the descriptor limit and
// what is open now. -1 when not even the consumer fits: the run must refuse
// to start rather than fail one file at random.
int workersWithinDescriptors(int wanted, int each, int own);
// The descriptors below the limit that are not open now (those inherited
// count); INT_MAX where there is no limit.
long spareDescriptors();

// The plan of every pool: `perCpu` workers per CPU this process may use, at
// most 64 in all, each holding `each` descriptors beside the consumer's
// `own` (see workersWithinDescriptors; -1 when not even the consumer fits).
int plannedWorkers(int perCpu, int each, int own);

// A worker needs little stack: its buffers are on the heap. The default,
// the stack limit (often 8 MiB), would count against a limit of address
// space for every worker, memory that a large list may need.
constexpr size_t kWorkerStack = 256 << 10;

// Whether `Job` declares runBatch (see above).
template <class Job, class = void>
struct RunsBatches : std::false_type {};
template <class Job>
struct RunsBatches<Job, std::void_t<decltype(Job::kRunsBatches)>>
    : std::bool_constant<Job::kRunsBatches> {};

template <class Job>
class OrderedPool {
 public:
  using Item = typename Job::Item;
  using Context = typename Job::Context;

  // Items in a batch that a worker takes at once: one lock per batch
  // rather than per item, and small enough that the workers start while
  // the producer is still at the first items.
  static constexpr size_t kBatch = 32;
  // A batch also ends past this much weight: an item that costs much (a
  // large file to read) must not keep the items behind it from idle
  // workers.
  static constexpr int64_t kBatchWeight = 1 << 20;
  // Weights are kept a byte an item, in units of 4 KiB rounded up, an item
  // of kBatchWeight or more at 255, a batch of its own. A job that runs
  // batches sizes them with batchLimit alone, and keeps none.
  static constexpr int kWeightShift = 12;
  static constexpr uint8_t kHeaviest = 255;
  static_assert(kBatchWeight >> kWeightShift > kHeaviest,
                "a byte's heaviest is a batch's weight");
  // Items in the items' storage unit; no batch is larger (batchLimit).
  static constexpr size_t kChunk = 1024;

  // Starts up to `workers` threads (those that cannot be started are done
  // without), each with a stack of `stack` bytes. Those beyond the first
  // `active` take no item until activate().
  OrderedPool(Job& job, int workers, size_t stack, int active = INT_MAX)
      : job_(job), active_(active < 0 ? 0 : static_cast<size_t>(active)) {
    startWorkers(workers, stack);
  }
  // Starts the workers later, once: when the first items tell what they
  // need (a pool made with none).
  void startWorkers(int workers, size_t stack);
  ~OrderedPool() { stop(); }
  OrderedPool(const OrderedPool&) = delete;
  OrderedPool& operator=(const OrderedPool&) = delete;

  // Producer: appends `item`, not yet offered to the workers.
  void add(Item item);
  // Producer: appends `item`, and offers what was added every few batches.
  // Workers take items faster than a producer reads them, and each offer
  // wakes one: offered four batches at a time, they wake a quarter as often
  // (a tenth of the reader's time on bushy 200k went to waking them).
  void push(Item item) {
    add(std::move(item));
    if (added_ % (4 * kBatch) == 0) offer();
  }
  // Producer: offers what was added since the last offer to the workers.
  void offer();
  size_t size() const { return added_; }
  // How many workers run: none, and the consumer does every item.
  size_t workers() const { return workers_.size(); }

  // Consumer: item `i` once done. Waits for the worker that holds it, or
  // does it here, with `context` (throwing what the job throws).
  Item& settle(size_t i, Context& context);
  // Producer or consumer: item `i` as it is, done or not, for what the job
  // never changes.
  const Item& at(size_t i) const {
    return chunks_[i / kChunk]->items[i % kChunk];
  }
  // Consumer: the items below `end` are no longer needed; their storage
  // goes as soon as no worker holds a batch in it.
  void release(size_t end);

  // Any thread: every worker takes items from now on.
  void activate();

  // Stops the workers at once: each finishes the item it holds (a job that
  // may take long watches stopping()) and takes no other. Items that no
  // worker took stay undone; settle still does them.
  void stop();
  const std::atomic<bool>& stopping() const { return stopping_; }

  // The workers' contexts, for what they gathered; read them once stopped.
  std::vector<std::unique_ptr<Context>>& contexts() { return contexts_; }

 private:
  static_assert(kChunk % kBatch == 0, "a batch never spans two chunks");
  enum State : uint8_t { kWaiting, kTaken, kDone };
  struct Chunk {
    std::atomic<uint8_t> state[kChunk] = {};
    // The job's weights, written as each item is added (see kWeightShift).
    uint8_t weight[RunsBatches<Job>::value ? 1 : kChunk];
    Item items[kChunk];
  };
  struct Worker {
    OrderedPool* pool;
    size_t index;
    pthread_t thread;
  };

  static void* body(void* worker);
  void work(size_t worker);
  // Does the items [first, end) of `chunk` that the consumer has not taken,
  // one by one or as one batch. False when memory ran out: the items not
  // done are given back.
  bool runItems(Chunk* chunk, size_t first, size_t end, size_t worker);
  // A worker's room for the batch it runs at once.
  struct Taken {
    std::vector<Item*> items;
    std::vector<size_t> index;
    std::vector<char> done;
  };
  // Sets the state of item `i` of `chunk` (done, or given back), waking the
  // consumer if it waits for it.
  void finish(Chunk* chunk, size_t i, State state);
  // Frees the released chunks that no worker holds. With mutex_ held.
  void freeReleased();

  Job& job_;
  std::atomic<bool> stopping_{false};
  size_t added_ = 0;    // the producer's own
  size_t offered_ = 0;  // under mutex_
  size_t next_ = 0;     // the next item a worker takes; under mutex_

  std::mutex mutex_;
  std::condition_variable available_;  // items offered, or stopping
  std::condition_variable done_;       // the awaited item is done
  std::condition_variable activated_;  // every worker may take items
  size_t active_;                      // workers below this may; under mutex_
  std::atomic<size_t> awaited_{SIZE_MAX};
  // Written by the producer under mutex_ (workers read it under mutex_);
  // a released chunk is null.
  std::vector<std::unique_ptr<Chunk>> chunks_;
  std::unique_ptr<Chunk>
      spare_;            // a released chunk, for the next; under mutex_
  size_t released_ = 0;  // items below this are released; under mutex_
  size_t freed_ = 0;     // chunks below this are freed; under mutex_
  // The chunk each worker holds a batch in, or SIZE_MAX; under mutex_.
  std::vector<size_t> holding_;

  std::vector<Worker> workers_;
  std::vector<std::unique_ptr<Context>> contexts_;
  std::vector<Taken> taken_;  // each worker's own
};

template <class Job>
void OrderedPool<Job>::startWorkers(int workers, size_t stack) {
  if (workers <= 0 || !workers_.empty()) return;
  // Sized before any thread starts: a thread touches only its own.
  workers_.reserve(workers);
  holding_.assign(workers, SIZE_MAX);
  for (int i = 0; i < workers; ++i) contexts_.emplace_back(new Context());
  if constexpr (RunsBatches<Job>::value) {
    taken_.resize(workers);
    for (Taken& t : taken_) {
      t.items.resize(kChunk);
      t.index.resize(kChunk);
      t.done.resize(kChunk);
    }
  }
  for (int i = 0; i < workers; ++i) {
    workers_.push_back({this, static_cast<size_t>(i), pthread_t()});
    if (!startThread(&workers_.back().thread, stack, &body, &workers_.back())) {
      workers_.pop_back();  // out of threads: the consumer does the rest
      break;
    }
  }
  offer();  // what was added before
}

template <class Job>
void* OrderedPool<Job>::body(void* worker) {
  Worker* w = static_cast<Worker*>(worker);
  w->pool->work(w->index);
  return nullptr;
}

template <class Job>
void OrderedPool<Job>::add(Item item) {
  if (added_ % kChunk == 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A released chunk is used again, its states cleared: a pool that
    // goes through a million items allocates a few chunks, not a thousand.
    std::unique_ptr<Chunk> chunk = std::move(spare_);
    if (chunk != nullptr) {
      for (std::atomic<uint8_t>& state : chunk->state) state.store(kWaiting);
    } else {
      chunk.reset(new Chunk);
    }
    chunks_.push_back(std::move(chunk));
  }
  Chunk& chunk = *chunks_[added_ / kChunk];
  if constexpr (!RunsBatches<Job>::value) {
    const int64_t w = std::clamp<int64_t>(job_.weight(item), 0, kBatchWeight);
    chunk.weight[added_ % kChunk] = static_cast<uint8_t>(std::min<int64_t>(
        kHeaviest, (w + (1 << kWeightShift) - 1) >> kWeightShift));
  }
  chunk.items[added_ % kChunk] = std::move(item);
  ++added_;
}

template <class Job>
void OrderedPool<Job>::offer() {
  if (workers_.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (offered_ == added_) return;
    offered_ = added_;
  }
  available_.notify_one();
}

template <class Job>
typename OrderedPool<Job>::Item& OrderedPool<Job>::settle(size_t i,
                                                          Context& context) {
  Chunk* chunk = chunks_[i / kChunk].get();
  std::atomic<uint8_t>& state = chunk->state[i % kChunk];
  Item& item = chunk->items[i % kChunk];
  // A worker may give the item back: then it is the consumer's to do.
  for (;;) {
    uint8_t s = kWaiting;
    if (state.compare_exchange_strong(s, kTaken)) {
      job_.run(item, context);
      state.store(kDone);
      return item;
    }
    // A worker holds it. An item takes microseconds: yielding a few times
    // usually sees it done, where sleeping would cost a wake-up each time
    // the consumer catches up with a worker; on one CPU the yield lets the
    // worker finish.
    for (int n = 0; n < 64 && s == kTaken; ++n) {
      sched_yield();
      s = state.load();
    }
    if (s == kTaken) {
      // The consumer names the item before it looks at the state, and a
      // worker stores the state before it looks at the name: one of the
      // two sees the other.
      awaited_.store(i);
      std::unique_lock<std::mutex> lock(mutex_);
      done_.wait(lock, [&state] { return state.load() != kTaken; });
      awaited_.store(SIZE_MAX);
      s = state.load();
    }
    if (s == kDone) return item;
  }
}

template <class Job>
void OrderedPool<Job>::finish(Chunk* chunk, size_t i, State state) {
  chunk->state[i % kChunk].store(state);
  // Only the item the consumer waits for wakes it: waking it for every
  // item done would cost a switch each time.
  if (awaited_.load() == i) {
    { std::lock_guard<std::mutex> lock(mutex_); }
    done_.notify_all();
  }
}

template <class Job>
void OrderedPool<Job>::release(size_t end) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (end > released_) released_ = end;
  // No worker takes a released item: the consumer has done it.
  if (next_ < released_) next_ = released_;
  freeReleased();
}

template <class Job>
void OrderedPool<Job>::freeReleased() {
  for (; freed_ < chunks_.size() && (freed_ + 1) * kChunk <= released_;
       ++freed_) {
    for (size_t held : holding_)
      if (held == freed_) return;  // freed once that worker moves on
    if (spare_ == nullptr)
      spare_ = std::move(chunks_[freed_]);
    else
      chunks_[freed_].reset();
  }
}

template <class Job>
void OrderedPool<Job>::work(size_t worker) {
  Context& context = *contexts_[worker];
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    holding_[worker] = SIZE_MAX;
    freeReleased();
    activated_.wait(lock, [&] { return stopping_ || worker < active_; });
    available_.wait(lock, [this] { return stopping_ || next_ < offered_; });
    if (stopping_) return;
    const size_t first = next_, chunkIndex = first / kChunk;
    Chunk* chunk = chunks_[chunkIndex].get();
    const size_t chunkEnd = (chunkIndex + 1) * kChunk;
    size_t end = first, most = kBatch;
    if constexpr (RunsBatches<Job>::value) {
      most = std::min(job_.batchLimit(context), kChunk);
      end = std::min({offered_, chunkEnd, first + most});
    } else {
      // An item the consumer has taken weighs nothing: the batch has it
      // done already.
      for (int weight = 0; end < offered_ && end < chunkEnd &&
                           end - first < most && weight < kHeaviest;
           ++end)
        if (chunk->state[end % kChunk].load() == kWaiting)
          weight += chunk->weight[end % kChunk];
    }
    next_ = end;
    holding_[worker] = chunkIndex;
    const bool more = next_ < offered_;
    lock.unlock();
    if (more) available_.notify_one();
    const bool ran = runItems(chunk, first, end, worker);
    lock.lock();
    if (!ran) {
      holding_[worker] = SIZE_MAX;
      return;
    }
  }
}

template <class Job>
bool OrderedPool<Job>::runItems(Chunk* chunk, size_t first, size_t end,
                                size_t worker) {
  Context& context = *contexts_[worker];
  if constexpr (RunsBatches<Job>::value) {
    Item** items = taken_[worker].items.data();
    size_t* taken = taken_[worker].index.data();
    char* done = taken_[worker].done.data();
    size_t n = 0;
    for (size_t i = first; i < end && !stopping_.load(); ++i) {
      uint8_t s = kWaiting;
      if (!chunk->state[i % kChunk].compare_exchange_strong(s, kTaken))
        continue;  // the consumer got there first
      items[n] = &chunk->items[i % kChunk];
      done[n] = false;
      taken[n++] = i;
    }
    try {
      job_.runBatch(items, n, context, [&](size_t k) {
        done[k] = true;
        finish(chunk, taken[k], kDone);
      });
    } catch (const std::bad_alloc&) {
      for (size_t k = 0; k < n; ++k)
        if (!done[k]) finish(chunk, taken[k], kWaiting);
      return false;
    }
    return true;
  } else {
    for (size_t i = first; i < end && !stopping_.load(); ++i) {
      uint8_t s = kWaiting;
      if (!chunk->state[i % kChunk].compare_exchange_strong(s, kTaken))
        continue;  // the consumer got there first
      try {
        job_.run(chunk->items[i % kChunk], context);
      } catch (const std::bad_alloc&) {
        // The rest of the batch is still waiting: the consumer does it all.
        finish(chunk, i, kWaiting);
        return false;
      }
      finish(chunk, i, kDone);
    }
    return true;
  }
}

template <class Job>
void OrderedPool<Job>::activate() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    active_ = SIZE_MAX;
  }
  activated_.notify_all();
}

template <class Job>
void OrderedPool<Job>::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  available_.notify_all();
  activated_.notify_all();
  for (Worker& w : workers_) pthread_join(w.thread, nullptr);
  workers_.clear();
}

#endif  // KORLAN_POOL_H_
