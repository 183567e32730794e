// comparer.h: a source's bytes compared with the disk's on a thread of
// their own.
//
// An archive's bytes stream past once, on the thread that decompresses
// them; comparing them there with the disk's (a pread and a memcmp of every
// block) would leave that thread doing both. A ComparingThread takes each
// block as it comes, copies it into a ring, and lets another comparer (the
// run's, see ByteComparer) compare it on a thread of its own. The source
// then gets a ticket for each file rather than what was found, and the
// worker that checks the entry asks for the result (settle), waiting for it
// if the thread is behind.
#ifndef KORLAN_COMPARER_H_
#define KORLAN_COMPARER_H_

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "source.h"

class ComparingThread : public ByteComparer {
 public:
  // `inner` compares on the thread, started with the first file: it is
  // used by nothing else while this one is. Where `threaded` is false, or
  // no thread could be started, it compares here, as it would without this
  // one, and end() says what it found.
  ComparingThread(ByteComparer* inner, bool threaded);
  ~ComparingThread() override;
  ComparingThread(const ComparingThread&) = delete;
  ComparingThread& operator=(const ComparingThread&) = delete;

  // The reader's, as ByteComparer's: end() gives Compared::kPending and
  // the comparison's ticket where the thread compares.
  void begin(const std::string& path, int64_t size) override;
  void add(const void* bytes, size_t n) override;
  Compared end() override;

  // The reader, at its end (and before anything waits for the results of
  // a reading given up): the thread compares what it has been given
  // without waiting for more.
  void drain();

  // Any thread: what was found of `*c`, a pending comparison, into it,
  // once the thread has compared it.
  void settle(Compared* c);

  // The ring's blocks: the size of an archive's read, and enough of them
  // that the reader rarely waits for the thread, or the thread for it.
  static constexpr size_t kBlock = 64 << 10;
  static constexpr size_t kBlocks = 32;
  // Neither side is woken for less than this many blocks or results, but
  // at the end: a file's result may wait that long. Both sides woken for
  // each block would spend more than the comparison.
  static constexpr size_t kWake = 8;

 private:
  // A block of the ring: bytes of one file, the first or the last of them
  // where it `begins` or `ends` it.
  struct Block {
    bool begins = false, ends = false;
    std::string path;
    int64_t size = 0;
    size_t n = 0;
    std::unique_ptr<unsigned char[]> bytes;
  };
  // What the thread found of a file: Compared without what the source
  // knows (the name the bytes came with).
  struct Result {
    Compared::State state;
    int error;
    uint64_t device, inode;
    int64_t at;
  };
  // The ring and the thread; false where either could not be had.
  bool start();
  static void* body(void* self);
  void run();
  // Hands the block being filled to the thread.
  void publish();
  Block& filling() { return ring_[head_]; }

  ByteComparer* const inner_;
  bool untried_;  // a thread wanted and not yet started
  bool threaded_ = false;
  pthread_t thread_;
  std::vector<Block> ring_;
  size_t head_ = 0;  // the block the reader fills, which is not the thread's
  uint64_t tickets_ = 0;  // the reader's: the files it has ended

  // Under mutex_: how many blocks are handed over (those before head_);
  // who waits for what; the results.
  std::mutex mutex_;
  std::condition_variable work_, room_, done_;
  size_t count_ = 0;
  bool threadWaits_ = false, readerWaits_ = false;
  bool draining_ = false, closing_ = false;
  int awaiting_ = 0;             // threads in settle()
  bool broken_ = false;          // out of memory for the results
  std::vector<Result> results_;  // by ticket, from 1
};

#endif  // KORLAN_COMPARER_H_
