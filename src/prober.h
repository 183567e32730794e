// prober.h: the check of every expected entry, made ahead of the report on
// worker threads: what the disk says of each listed file, and of each entry
// of a manifest or any other source, compared with what it states.
//
// A probe is one stat call, and most of a run's time is spent waiting for
// them one after another. Worker threads of an ordered pool (see pool.h)
// therefore probe every file as soon as the reader has recorded it, in
// reading order, and keep the result apart from the tree, in reading order
// too; the walk, which alone writes the report, then takes the results in
// its own order (settle). So the report is the same, byte for byte and
// flush for flush, whatever the number of workers and however the threads
// are scheduled.
//
// Each probe is made relative to its directory, opened once per run of its
// files (the list's order groups them), so that the kernel resolves one
// component per probe rather than the whole path; it answers exactly what
// stat of the whole path answers: a directory that cannot be opened gives
// its files the errno of that open, a path of PATH_MAX bytes or more gets
// ENAMETOOLONG. On a slow disk a worker that sees its probes wait keeps
// many of them, of many directories, in flight through io_uring.
//
// Every other source's entries are looked at as they are (lstat), and no
// link is followed on the way to them: each directory is opened below ROOT
// without following links (see openBeneath), and a file read for its
// digests is opened once, without following a link, and judged by fstat of
// that descriptor, which must be the file that lstat found.
#ifndef KORLAN_PROBER_H_
#define KORLAN_PROBER_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "digest.h"
#include "expected.h"
#include "fileid.h"
#include "options.h"
#include "packlist.h"
#include "report.h"
#include "source.h"

struct Directory;
struct File;

// What a run must find out of each listed file besides its size.
struct Checks {
  // Read it whole and hash it, when it has the listed size (--sums).
  bool contents = false;
  // Keep the identity of every file found (--unlisted).
  bool identities = false;
  // Whether workers that only probe may keep many probes in flight through
  // io_uring (built with liburing, and where the kernel allows it).
  ProbeRing ring = ProbeRing::kWhenSlow;
};

// What the disk says of one listed file.
struct ProbeResult {
  int error;  // 0 when found, else the errno of the failed stat
  int64_t size;
  // Under Checks::contents, how reading went, for a file found with its
  // listed size; else null.
  const FileHash* contents;
};

class Prober : public ListReceiver {
 public:
  // A prober of the files below `root` (the root node; see
  // File::getExpectedFilename), with up to `workers` threads (none: the
  // walk probes every file itself). `hashed`, when given, counts the bytes
  // read under Checks::contents.
  static std::unique_ptr<Prober> make(const Directory* root, char sep,
                                      const Checks& checks, int workers,
                                      std::atomic<int64_t>* hashed = nullptr);
  // Stops the workers at once: a run that ends early waits for none.
  virtual ~Prober() = default;

  // Reader: `f` is recorded, its path final (ListReceiver).
  void recorded(File* f) override = 0;
  // Reader, at the end of the list: hands every file over to the workers.
  virtual void flush() = 0;

  // Walk: what the disk says of `f`, probed here when no worker has it.
  virtual ProbeResult settle(const File& f) = 0;
  // Stops the workers at once, a file being read given up.
  virtual void stop() = 0;

  // Walk, once every file is settled: stops the workers and hands over the
  // identities of the files found, in no order, as one part per thread.
  // Throws std::bad_alloc when a thread had no memory to keep one.
  virtual std::vector<std::deque<FileId>> takeIdentities() = 0;
};

// One entry of a source other than a packing list: what it states, and
// what its check found.
struct Entry : Expected {
  // Once settled: the errno of the lookup when nothing is there that the
  // entry may not lack (an optional entry may be absent), else 0. In the
  // padding of what the entry states: a million entries wait at once.
  uint8_t error = 0;
  const Directory* dir = nullptr;  // that holds it; the top for "."
  const char* name = nullptr;      // "." for the top itself
  // Once settled, what else differs is in the detail (Detail::found): an
  // entry waits in 40 bytes, a million at once.
  bool differs() const { return detail != nullptr && !detail->found.empty(); }
};

// The checks of the entries of a manifest or any other source, in the
// source's order: the reader adds them, the report settles each in turn.
class EntryChecker {
 public:
  // Checks the entries below `root` (the root node; paths are formed as
  // directoryPath forms them) with up to `workers` threads. `hashed`, when
  // given, counts the bytes read for digests. Throws std::bad_alloc.
  EntryChecker(const Directory* root, int workers, std::atomic<int64_t>* hashed,
               EntrySource::Resolve resolve = EntrySource::Resolve::kNoLinks);
  ~EntryChecker();
  EntryChecker(const EntryChecker&) = delete;
  EntryChecker& operator=(const EntryChecker&) = delete;

  // Reader: appends an entry; the workers take it up soon.
  void add(Entry entry);
  // Reader, at the end: hands every entry over to the workers.
  void flush();
  size_t size() const;
  // Entry `i` as the source stated it (not what its check found).
  const Entry& at(size_t i) const;
  // Entry `i`, checked here when no worker has it.
  Entry& settle(size_t i);
  // Entry `i`, settled, checked again here as stating `expected`.
  Entry& recheck(size_t i, Expected expected);
  // The entries below `end` are no longer needed.
  void release(size_t end);
  // Stops the workers at once, a file being read given up.
  void stop();
  // The reader's comparer of a source's bytes with the disk's (see
  // EntrySource::compareBytesWith), below the same top.
  ByteComparer& comparer();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// How many workers to start: two per CPU this process may use, one when
// they also read and hash the files; within the descriptor limit, -1 when
// even the walk could not read a file (see workersWithinDescriptors). Each
// worker holds its directory and, when it only probes, its ring and the
// directories of a batch on the ring; the walk its directory, which only a
// run that reads files needs; the walk for unlisted files what it needs
// (kWalkDescriptors).
int proberWorkerCount(const Checks& checks);
// How many workers an EntryChecker starts: one per CPU this process may
// use, within the descriptor limit; -1 as above. `walk`: the search for
// unlisted entries comes while they hold their descriptors.
int entryWorkerCount(bool walk);

#endif  // KORLAN_PROBER_H_
