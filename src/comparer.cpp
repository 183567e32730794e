// comparer.cpp: the ring between a source's reader and the comparing
// thread.
#include "comparer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "pool.h"

ComparingThread::ComparingThread(ByteComparer* inner, bool threaded)
    : inner_(inner), untried_(threaded) {}

bool ComparingThread::start() {
  // Only a run that compares has the ring, which it may not have room for.
  try {
    ring_.resize(kBlocks);
    for (Block& b : ring_) b.bytes.reset(new unsigned char[kBlock]);
  } catch (const std::bad_alloc&) {
    ring_.clear();
    return false;
  }
  // The thread needs no more stack than a worker.
  if (startThread(&thread_, kWorkerStack, body, this)) return true;
  ring_.clear();
  return false;
}

ComparingThread::~ComparingThread() {
  if (!threaded_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    draining_ = closing_ = true;
  }
  work_.notify_one();
  pthread_join(thread_, nullptr);
}

void ComparingThread::begin(const std::string& path, int64_t size) {
  if (untried_) {
    untried_ = false;
    threaded_ = start();
  }
  if (!threaded_) return inner_->begin(path, size);
  Block& b = filling();
  b.begins = true;
  b.path = path;
  b.size = size;
}

void ComparingThread::add(const void* bytes, size_t n) {
  if (!threaded_) return inner_->add(bytes, n);
  const auto* p = static_cast<const unsigned char*>(bytes);
  while (n > 0) {
    if (filling().n == kBlock) publish();
    Block& b = filling();
    const size_t take = std::min(n, kBlock - b.n);
    memcpy(b.bytes.get() + b.n, p, take);
    b.n += take;
    p += take;
    n -= take;
  }
}

Compared ComparingThread::end() {
  if (!threaded_) return inner_->end();
  filling().ends = true;
  publish();
  Compared pending;
  pending.state = Compared::kPending;
  pending.ticket = ++tickets_;
  return pending;
}

void ComparingThread::publish() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (count_ == kBlocks - 1) {
    // Full, but for the block being filled: the thread makes room.
    readerWaits_ = true;
    room_.wait(lock, [&] { return count_ <= kBlocks - kWake; });
    readerWaits_ = false;
  }
  ++count_;
  const bool wake = threadWaits_ && (count_ >= kWake || draining_);
  lock.unlock();
  if (wake) work_.notify_one();
  head_ = (head_ + 1) % kBlocks;
  Block& next = filling();
  next.begins = next.ends = false;
  next.n = 0;
}

void ComparingThread::drain() {
  if (!threaded_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  draining_ = true;
  if (threadWaits_) work_.notify_one();
}

void ComparingThread::settle(Compared* c) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto ready = [&] { return results_.size() >= c->ticket || broken_; };
  if (!ready()) {
    ++awaiting_;
    done_.wait(lock, ready);
    --awaiting_;
  }
  if (results_.size() < c->ticket) {
    c->state = Compared::kFailed;
    c->error = ENOMEM;
    return;
  }
  const Result& r = results_[c->ticket - 1];
  c->state = r.state;
  c->error = r.error;
  c->device = r.device;
  c->inode = r.inode;
  c->at = r.at;
}

void* ComparingThread::body(void* self) {
  static_cast<ComparingThread*>(self)->run();
  return nullptr;
}

void ComparingThread::run() {
  size_t at = 0;        // the ring's block the thread takes next
  bool failed = false;  // out of memory in the file being compared
  size_t untold = 0;    // results no one waiting has been woken for
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Once woken, the thread takes every block there is; then it sleeps
    // until there are a few, or the last.
    if (count_ == 0) {
      if (untold > 0 && awaiting_ > 0) done_.notify_all();
      untold = 0;
      if (closing_) return;
      threadWaits_ = true;
      work_.wait(lock, [&] {
        return count_ >= kWake || (draining_ && count_ > 0) || closing_;
      });
      threadWaits_ = false;
      continue;
    }
    lock.unlock();
    Block& b = ring_[at];
    Result r{};
    try {
      if (b.begins) {
        failed = false;
        inner_->begin(b.path, b.size);
      }
      if (!failed) inner_->add(b.bytes.get(), b.n);
      if (b.ends && !failed) {
        const Compared c = inner_->end();
        r = {c.state, c.error, c.device, c.inode, c.at};
      }
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    if (b.ends && failed) r = {Compared::kFailed, ENOMEM, 0, 0, 0};
    lock.lock();
    if (b.ends) {
      // A result lost would give the later ones the wrong tickets.
      try {
        if (!broken_) results_.push_back(r);
      } catch (const std::bad_alloc&) {
        broken_ = true;
      }
      if (++untold >= kWake && awaiting_ > 0) {
        done_.notify_all();
        untold = 0;
      }
    }
    at = (at + 1) % kBlocks;
    --count_;
    if (readerWaits_ && count_ <= kBlocks - kWake) room_.notify_one();
  }
}
