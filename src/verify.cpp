// verify.cpp: one verification run.
//
// The road of a run: the reader records each entry of the list in the tree
// and hands it to the prober, whose workers find what the disk says of it
// ahead of the walk; the walk visits the tree and compares each file; under
// --sums, the digests that no listed path named are checked next; under
// --unlisted, the tree on disk is walked for what no listed path reached;
// the summary and the status end it.
#include "verify.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "digest.h"
#include "directory.h"
#include "fdstream.h"
#include "memstream.h"
#include "message.h"
#include "packlist.h"
#include "prober.h"
#include "progress.h"
#include "report.h"
#include "status.h"
#include "sums.h"
#include "treewalk.h"
#include "unlisted.h"

namespace {

class Run : public ListReceiver, public FileComparison {
 public:
  // `*entries` counts the entries read, for a message if memory runs out.
  Run(const char* rootPath, Report& report, const Options& options,
      Progress& progress, size_t* entries)
      : rootLength_(strlen(rootPath)),
        report_(report),
        options_(options),
        progress_(progress),
        entries_(*entries) {}

  void startProbing(std::unique_ptr<Prober> prober) {
    prober_ = std::move(prober);
  }
  Prober& prober() { return *prober_; }
  Sums& sums() { return sums_; }
  int64_t listedBytes() const { return listedBytes_; }

  // A signed list's reading, told of each entry.
  void poll(SignedReading* reading) { reading_ = reading; }

  void recorded(File* f) override {
    ++entries_;
    reading_->poll(entries_);
    // A total for the progress line only: it stops at the largest value
    // rather than wrap around.
    listedBytes_ =
        f->size > INT64_MAX - listedBytes_ ? INT64_MAX : listedBytes_ + f->size;
    prober_->recorded(f);
  }

  bool compare(const File& f, const std::string& path) override;

  // Under --sums, after the walk: each digest that no listed path named, in
  // the sums file's order, is one comparison of the file at ROOT/PATH
  // (`root`'s): found, read whole, and of that digest (the list gives no
  // size to compare). The files Korlan keeps at the top are not the
  // installation's, and are passed over, as the makers leave them out.
  void checkUnnamed(const Directory* root);

  // Reports `d`; true, the comparison failed.
  bool differ(const Difference& d) {
    report_.difference(d);
    return true;
  }

 private:
  // Under --sums, the failures that only reading finds, once the size
  // matched: the file could not be read whole, no digest names it, or its
  // digest differs.
  bool contentsDiffer(const File& f, const std::string& path,
                      const FileHash& contents, const Sha256* expected);
  // The digest the sums give the file the listed link at `path` leads to,
  // under that file's own name, or null: `find -type f | xargs sha256sum`
  // names files, not the links to them. A link is followed by its text,
  // relative targets only, never above the top, eight links at most.
  const Sha256* digestThroughLinks(const std::string& path);

  const size_t rootLength_;
  Report& report_;
  const Options& options_;
  Progress& progress_;
  std::unique_ptr<Prober> prober_;
  Sums sums_;
  // The paths only the sums name, apart from the list's tree.
  Directory unnamed_{"."};
  std::string folded_;
  size_t& entries_;
  int64_t listedBytes_ = 0;
  SignedReading* reading_ = nullptr;
};

bool Run::compare(const File& f, const std::string& path) {
  // A report nobody can read is no reason to read on: the workers stop,
  // and the walk passes over what is left.
  if (report_.broken()) {
    prober_->stop();
    return false;
  }
  // Every listed path is looked up, found or not: a digest no listed path
  // names is checked on its own after the walk.
  const Sha256* expected =
      options_.sums
          ? sums_.find(foldPath(std::string_view(path).substr(rootLength_ + 1),
                                &folded_))
          : nullptr;
  const ProbeResult probe = prober_->settle(f);
  progress_.fileCompared(CountFiles);
  if (probe.error != 0)
    return differ({DiffKind::kMissing, path, std::to_string(f.size), "",
                   strerror(probe.error), true});
  if (probe.size != f.size)
    return differ({DiffKind::kSize, path, std::to_string(f.size),
                   std::to_string(probe.size), "", true});
  return options_.sums && contentsDiffer(f, path, *probe.contents, expected);
}

void Run::checkUnnamed(const Directory* root) {
  std::vector<std::pair<File*, Sums::Unnamed>> files;
  for (const Sums::Unnamed& u : sums_.unnamed()) {
    if (isKeptFile(u.path)) continue;
    Directory* d = &unnamed_;
    const size_t slash = u.path.rfind('/');
    for (size_t from = 0; slash != std::string_view::npos && from < slash;) {
      const size_t end = std::min(u.path.find('/', from), slash);
      d = d->child(u.path.substr(from, end - from));
      from = end + 1;
    }
    // A path of the top itself ("./.") is the top, which fstatat finds as
    // ".".
    const std::string_view name =
        u.path.empty() ? std::string_view(".") : u.path.substr(slash + 1);
    File* f = new File(std::string(name).c_str(), -1);
    d->add(f);
    f->entry = entries_ + files.size();
    files.push_back({f, u});
    prober_->recorded(f);
  }
  prober_->flush();
  for (const auto& [f, u] : files) {
    const std::string path = belowRoot(root->name, u.path);
    const Sha256* digest = u.digest;
    ++CountFiles;
    report_.fileWalked(CountFiles);
    const ProbeResult probe = prober_->settle(*f);
    const bool failed =
        probe.error != 0
            ? differ({DiffKind::kMissing, path, "", "", strerror(probe.error)})
        : probe.contents->error != 0 ? differ({DiffKind::kUnreadable, path, "",
                                               "", probe.contents->reason()})
        : probe.contents->digest != *digest
            ? differ({DiffKind::kChecksum, path, digest->hex(),
                      probe.contents->digest.hex(), ""})
            : false;
    if (failed) ++CountErrors;
  }
}

const Sha256* Run::digestThroughLinks(const std::string& path) {
  std::string rel = path.substr(rootLength_ + 1), target;
  const std::string root = path.substr(0, rootLength_);
  for (int links = 0; links < 8; ++links) {
    const std::string at = belowRoot(root, rel);
    struct stat st;
    if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode) ||
        !readLinkAt(AT_FDCWD, at.c_str(), st.st_size, &target) ||
        target.empty() || target[0] == '/')
      return nullptr;
    // The target, from the link's directory, its "." and ".." folded.
    const size_t slash = rel.rfind('/');
    std::string joined =
        (slash == std::string::npos ? "" : rel.substr(0, slash + 1)) + target;
    rel.clear();
    for (size_t from = 0; from <= joined.size();) {
      const size_t end = std::min(joined.find('/', from), joined.size());
      const std::string_view part =
          std::string_view(joined).substr(from, end - from);
      from = end + 1;
      if (part.empty() || part == ".") continue;
      if (part == "..") {
        if (rel.empty()) return nullptr;  // above the top
        const size_t last = rel.rfind('/');
        rel.resize(last == std::string::npos ? 0 : last);
        continue;
      }
      (rel.empty() ? rel : rel += '/') += part;
    }
    if (const Sha256* digest = sums_.find(rel)) return digest;
  }
  return nullptr;
}

bool Run::contentsDiffer(const File& f, const std::string& path,
                         const FileHash& contents, const Sha256* expected) {
  if (contents.error != 0)
    return differ({DiffKind::kUnreadable, path, std::to_string(f.size), "",
                   contents.reason(), true});
  if (expected == nullptr) expected = digestThroughLinks(path);
  if (expected == nullptr)
    return differ({DiffKind::kNoChecksum, path, "", "", "", true});
  if (*expected != contents.digest)
    return differ({DiffKind::kChecksum, path, expected->hex(),
                   contents.digest.hex(), "", true});
  return false;
}

// Reads the sums file, or, when it was read and verified before the run,
// the bytes that were.
int readSums(const std::string& path, bool found,
             const SignedLists* signedLists, Sums* sums, std::ostream& err) {
  if (signedLists != nullptr) {
    MemoryStream in(signedLists->sums);
    return sums->read(in, path.c_str(), err);
  }
  // Named as a list that cannot be opened is, and as --key names it.
  const Descriptor fd(openList(path.c_str(), found));
  if (fd.get() < 0) {
    if (errno == EINVAL)
      complain(err, quoted(path) + ": not a regular file");
    else
      err << "can't open " << path << std::endl;
    return kStatusError;
  }
  char buffer[1 << 12];
  FdInBuf buf(fd.get(), buffer, sizeof buffer);
  std::istream in(&buf);
  return sums->read(in, path.c_str(), err);
}

// The files a run reads, which are not the installation's, from its lists:
// each list and the signatures beside it.
std::vector<std::string> readHere(const std::vector<std::string>& lists) {
  std::vector<std::string> read;
  for (const std::string& list : lists)
    for (const char* suffix : {"", ".minisig", ".sig"})
      read.push_back(list + suffix);
  return read;
}

// How far a run got, for the message if memory runs out, and how many
// comparisons the list itself asked for.
struct RunState {
  size_t entries = 0;
  bool walking = false;
  int64_t compared = 0;
};

// What every run shares: its counts from zero, its workers within the
// descriptors, its report, and the message if memory runs out. `body`
// reads and compares, and returns a status; the summary and the status end
// a run it completes.
template <class Body>
int runWith(int workers, const char* compared, const RunRecord& record,
            std::ostream& out, std::ostream& err, const Options& options,
            Body body) {
  CountFiles = 0;
  CountErrors = 0;
  if (workers < 0) {
    complain(err, kTooFewDescriptors);
    return kStatusError;
  }
  Report report(out, options, record);
  RunState state;
  try {
    const int status = body(report, state);
    if (status != kStatusOk) return status;
  } catch (const std::bad_alloc&) {
    return outOfMemory(err, state.walking, state.entries, compared);
  }
  return endRun(report, err, options, state.compared);
}

// A packing list, in its tree's order.
int checkList(const char* rootPath, std::istream& list, const char* listPath,
              std::ostream& out, std::ostream& err, const Options& options,
              const SignedLists* signedLists, int workers, Report& report,
              RunState& state) {
  const Checks checks{options.sums, options.unlisted, options.ring};
  Directory root(rootPath);
  Directory top(".");
  Progress progress(options.progress, &out);
  // The run's prober, made after the tree and the progress line it
  // counts on, stops before they go.
  Run run(rootPath, report, options, progress, &state.entries);
  if (options.sums) prepareCrypto();
  run.startProbing(Prober::make(&root, '/', checks, workers,
                                options.sums ? &progress.bytes : nullptr));
  SignedReading reading(report, signedLists, err);
  run.poll(&reading);
  report.startReading();
  int status = readList(&top, list, listPath, report, run, reading.err());
  if (!reading.settle()) return kStatusError;
  if (status == kStatusOk && options.sums)
    status = readSums(options.sumsFile, options.sumsFound, signedLists,
                      &run.sums(), err);
  if (status != kStatusOk) return status;
  run.prober().flush();
  report.startWalking();
  state.walking = true;
  progress.start(state.entries, options.sums ? run.listedBytes() : -1);
  top.iterate(&root, '/', report, run);
  if (report.broken()) return kStatusError;  // main says why
  if (options.sums) run.checkUnnamed(&root);
  state.compared = CountFiles;
  if (options.unlisted) {
    // The line counts listed files only; it must not cut through the
    // lines below on a terminal.
    progress.stop();
    const ReachedFiles reached(run.prober().takeIdentities());
    std::vector<std::string> read = {listPath};
    if (options.sums) read.push_back(options.sumsFile);
    const int64_t found = reportUnlisted(rootPath, identitiesOf(readHere(read)),
                                         reached, report, &options.exclude);
    CountFiles += found;
    CountErrors += found;
  }
  return kStatusOk;
}

// Names kept for the whole run in blocks that never move: an entry holds
// its name by pointer.
class NameArena {
 public:
  const char* keep(std::string_view s) {
    if (s.size() + 1 > left_) {
      const size_t size = std::max(kBlock, s.size() + 1);
      blocks_.emplace_back(new char[size]);
      next_ = blocks_.back().get();
      left_ = size;
    }
    memcpy(next_, s.data(), s.size());
    next_[s.size()] = '\0';
    const char* kept = next_;
    next_ += s.size() + 1;
    left_ -= s.size() + 1;
    return kept;
  }

 private:
  static constexpr size_t kBlock = 64 << 10;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* next_ = nullptr;
  size_t left_ = 0;
};

// Where each path a source names lies in the run's tree of names: the
// directory that holds it and its name, "." in the top for the top. A
// source names most entries of one directory in a row: its directory is
// found again only when the next lies elsewhere.
class Places {
 public:
  explicit Places(Directory* top) : top_(top), last_(top) {}
  void place(std::string_view path, const Directory** dir, const char** name) {
    const size_t slash = path.rfind('/');
    const std::string_view parent =
        slash == std::string_view::npos || path == "." ? std::string_view()
                                                       : path.substr(0, slash);
    if (parent != lastParent_) {
      Directory* d = top_;
      for (size_t from = 0; from < parent.size();) {
        const size_t end = std::min(parent.find('/', from), parent.size());
        d = d->child(parent.substr(from, end - from));
        from = end + 1;
      }
      lastParent_.assign(parent);
      last_ = d;
    }
    *dir = last_;
    *name = names_.keep(slash == std::string_view::npos || path == "."
                            ? path
                            : path.substr(slash + 1));
  }

 private:
  Directory* top_;
  Directory* last_;
  std::string lastParent_;
  NameArena names_;
};

// The path a report names an entry by: its directory's, and its name
// unless it is the top itself.
void entryPath(const Directory* root, const Entry& e, std::string* path) {
  directoryPath(root, e.dir, '/', path);
  if (strcmp(e.name, ".") != 0) appendComponent(path, '/', e.name);
}

// Entries of one path, which a manifest may give more than once: they are
// one entry, keyword by keyword the later winning, checked where the first
// stands (see overlay). Found once the source is read: each entry's
// directory node and name hashed as it comes, the hashes sorted at the end.
class Duplicates {
 public:
  explicit Duplicates(bool byLine) : byLine_(byLine) {}
  void add(const Directory* dir, const char* name, uint32_t line) {
    const uint64_t hash =
        std::hash<std::string_view>()(name) ^
        reinterpret_cast<uintptr_t>(dir) * 0x9e3779b97f4a7c15u;
    keys_.push_back({static_cast<uint32_t>(hash ^ hash >> 32),
                     static_cast<uint32_t>(keys_.size()), line});
  }
  // Merges the entries of each path that `checker` holds more than once,
  // each settled first; false after the refusal of two types for one path.
  bool merge(EntryChecker& checker, const std::string& name,
             std::ostream& err) {
    sortKeys();
    for (size_t i = 0; i + 1 < keys_.size(); ++i) {
      if (keys_[i].hash != keys_[i + 1].hash) continue;
      // A run of one hash, and in it the entries of one path, in order.
      size_t end = i + 1;
      while (end < keys_.size() && keys_[end].hash == keys_[i].hash) ++end;
      for (size_t first = i; first < end; ++first) {
        if (skipped(keys_[first].index)) continue;  // merged already
        const Entry& a = checker.settle(keys_[first].index);
        Expected merged;
        bool same = false;
        for (size_t j = first + 1; j < end; ++j) {
          const Entry& b = checker.settle(keys_[j].index);
          if (b.dir != a.dir || strcmp(b.name, a.name) != 0) continue;
          if (!same) merged = copyOf(a);
          same = true;
          if ((merged.keywords & b.keywords & kKwType) &&
              merged.type != b.type) {
            const Directory dot(".");
            std::string shown;
            entryPath(&dot, b, &shown);
            complain(err, name + ':' + std::to_string(keys_[j].line) + ": " +
                              shown + " is a " + typeName(b.type) +
                              " here, and a " + typeName(merged.type) +
                              " on line " + std::to_string(keys_[first].line));
            return false;
          }
          overlay(&merged, b);
          skipped_.insert(keys_[j].index);
        }
        if (same) merged_.emplace(keys_[first].index, std::move(merged));
      }
      i = end - 1;
    }
    std::vector<Key>().swap(keys_);
    return true;
  }
  // Entry `i` stands for a path an earlier entry merged.
  bool skipped(size_t i) const {
    return !skipped_.empty() && skipped_.count(i) > 0;
  }
  // Entry `i` is the first of a path given more than once: what they state
  // together, in `*merged`.
  bool merged(size_t i, Expected* merged) {
    if (merged_.empty()) return false;
    const auto it = merged_.find(i);
    if (it == merged_.end()) return false;
    *merged = std::move(it->second);
    merged_.erase(it);
    return true;
  }

 private:
  // 12 bytes an entry, for as long as the source is read.
  struct Key {
    uint32_t hash, index, line;
  };
  bool before(const Key& a, const Key& b) const {
    if (a.hash != b.hash) return a.hash < b.hash;
    if (byLine_ && a.line != b.line) return a.line < b.line;
    return a.index < b.index;
  }
  // Sorts the keys by hash, then by line or entry. std::sort took 15 ms for the
  // 200,000 keys of bushy 200k's manifest, 6 % of its run, between the
  // reading and the report: one pass that counts the keys of each of 65,536
  // buckets of the hash's top bits, one that moves each into its bucket,
  // in place, and a sort of each bucket's few take 3.
  void sortKeys() {
    constexpr size_t kBuckets = 1 << 16;
    std::vector<uint32_t> start(kBuckets + 1), next(kBuckets);
    for (const Key& k : keys_) ++start[(k.hash >> 16) + 1];
    for (size_t b = 0; b < kBuckets; ++b) start[b + 1] += start[b];
    std::copy(start.begin(), start.end() - 1, next.begin());
    for (size_t b = 0; b < kBuckets; ++b) {
      while (next[b] < start[b + 1]) {
        Key& k = keys_[next[b]];
        const size_t home = k.hash >> 16;
        if (home == b)
          ++next[b];
        else
          std::swap(k, keys_[next[home]++]);
      }
    }
    for (size_t b = 0; b < kBuckets; ++b) {
      const auto first = keys_.begin() + start[b],
                 last = keys_.begin() + start[b + 1];
      if (last - first > 1)
        std::sort(first, last,
                  [this](const Key& a, const Key& b) { return before(a, b); });
    }
  }
  const bool byLine_;
  std::vector<Key> keys_;
  std::unordered_set<size_t> skipped_;
  std::unordered_map<size_t, Expected> merged_;
};

// Any other source, in its own order.
int checkEntries(const char* rootPath, EntrySource& source, const char* name,
                 std::ostream& out, std::ostream& err, const Options& options,
                 const SignedLists* signedLists, int workers, Report& report,
                 RunState& state) {
  Directory root(rootPath);
  Directory top(".");
  Places places(&top);
  NamedEntries named(&top);
  Progress progress(options.progress, &out);
  EntryChecker checker(&root, workers, &progress.bytes, source.resolve());
  source.compareBytesWith(&checker.comparer());
  int64_t hashedBytes = 0;
  bool hashing = false;
  SignedReading reading(report, signedLists, err);
  std::ostream& readErr = reading.err();
  report.startReading();
  std::string path;
  Expected expected;
  Duplicates duplicates(source.linesInOrder());
  uint32_t line = 0;
  int read;
  while ((read = source.next(&path, &expected, &line, readErr)) == 1) {
    report.entryRead();
    reading.poll(++state.entries);
    Entry e;
    places.place(path, &e.dir, &e.name);
    duplicates.add(e.dir, e.name, line);
    const Detail* d = expected.detail.get();
    if (d != nullptr && !d->digests.empty()) {
      if (!hashing) prepareCrypto();  // before a worker hashes
      hashing = true;
      hashedBytes = expected.size > INT64_MAX - hashedBytes
                        ? INT64_MAX
                        : hashedBytes + expected.size;
    }
    if (options.unlisted)
      named.add(e.dir, e.name, expected.keywords & kKwIgnore);
    static_cast<Expected&>(e) = std::move(expected);
    checker.add(std::move(e));
  }
  if (!reading.settle() || read < 0) return kStatusError;
  checker.flush();
  if (!duplicates.merge(checker, source.name(), err)) return kStatusError;

  report.startWalking();
  state.walking = true;
  progress.start(state.entries, hashedBytes > 0 ? hashedBytes : -1);
  std::string shown;
  // The entries of each package (see EntrySource::Origin), compared and
  // failed, for the line of each that failed.
  struct Group {
    std::string_view name;
    int64_t compared, failed;
  };
  std::vector<Group> groups;
  for (size_t i = 0; i < checker.size() && !report.broken(); ++i) {
    // The entries compared go a chunk at a time.
    if (i % 1024 == 0) checker.release(i);
    if (duplicates.skipped(i)) continue;
    Expected merged;
    Entry& e = duplicates.merged(i, &merged)
                   ? checker.recheck(i, std::move(merged))
                   : checker.settle(i);
    ++CountFiles;
    report.fileWalked(CountFiles);
    progress.fileCompared(CountFiles);
    const EntrySource::Origin origin = source.origin(i);
    if (!origin.group.empty() &&
        (groups.empty() || groups.back().name != origin.group))
      groups.push_back({origin.group, 0, 0});
    if (!origin.group.empty()) ++groups.back().compared;
    if (e.error == 0 && !e.differs()) continue;
    entryPath(&root, e, &shown);
    // A conffile is its administrator's to change: reported, and failed
    // only when asked.
    if (!origin.conffile || options.strictConffiles) {
      ++CountErrors;
      if (!origin.group.empty()) ++groups.back().failed;
    }
    const auto tell = [&](DiffKind kind, std::string expected,
                          std::string actual, const std::string& reason) {
      if (origin.conffile && kind == DiffKind::kChecksum)
        kind = DiffKind::kConffile;
      if (origin.conffile && kind == DiffKind::kMissing)
        kind = DiffKind::kConffileMissing;
      Difference d{kind, shown, std::move(expected), std::move(actual), reason};
      d.package = origin.group;
      d.conffile = origin.conffile;
      report.difference(d);
    };
    if (e.error != 0)
      tell(DiffKind::kMissing,
           e.keywords & kKwSize ? std::to_string(e.size) : "", "",
           strerror(e.error));
    else
      for (const Found& f : e.detail->found)
        tell(f.kind, f.expected, f.actual, f.reason);
  }
  checker.stop();
  if (report.broken()) return kStatusError;  // main says why
  for (const Group& g : groups)
    if (g.failed > 0) report.package(g.name, g.failed, g.compared);
  state.compared = CountFiles;
  if (options.unlisted) {
    progress.stop();
    named.seal();
    const int64_t found =
        reportUnnamed(rootPath, identitiesOf(readHere({name})), named, report,
                      &options.exclude);
    CountFiles += found;
    CountErrors += found;
  }
  return kStatusOk;
}

}  // namespace

int verify(const char* rootPath, std::istream& list, const char* listPath,
           std::ostream& out, std::ostream& err, const Options& options,
           const SignedLists* signedLists) {
  const Checks checks{options.sums, options.unlisted, options.ring};
  const int workers =
      options.workers < 0 ? proberWorkerCount(checks) : options.workers;
  const RunRecord record{
      rootPath, listPath, "list",
      options.sums ? std::string_view(options.sumsFile) : std::string_view()};
  return runWith(workers, "files", record, out, err, options,
                 [&](Report& report, RunState& state) {
                   return checkList(rootPath, list, listPath, out, err, options,
                                    signedLists, workers, report, state);
                 });
}

int verifyEntries(const char* rootPath, EntrySource& source, const char* name,
                  std::ostream& out, std::ostream& err, const Options& options,
                  const SignedLists* signedLists) {
  const int workers = options.workers >= 0 ? options.workers
                                           : entryWorkerCount(options.unlisted);
  // A size line names the path, as every other line of the report does:
  // a packing list's bare file name is the packing list's.
  Options named = options;
  named.fullPaths = true;
  // The host's root is "" to the run, whose paths then begin "/usr".
  const std::string_view root = *rootPath != '\0' ? rootPath : "/";
  return runWith(workers, "entries", {root, name, source.kind(), ""}, out, err,
                 named, [&](Report& report, RunState& state) {
                   return checkEntries(rootPath, source, name, out, err,
                                       options, signedLists, workers, report,
                                       state);
                 });
}

const char kTooFewDescriptors[] =
    "too few file descriptors to read the files (ulimit -n)";

int outOfMemory(std::ostream& err, bool walking, size_t entries,
                const char* compared) {
  complain(
      err,
      "out of memory after " +
          (walking ? "comparing " + std::to_string(CountFiles) + " " + compared
                   : "reading " + std::to_string(entries) + " entries"));
  return kStatusError;
}

SignedReading::SignedReading(Report& report, const SignedLists* signedLists,
                             std::ostream& err)
    : report_(report),
      signedLists_(signedLists),
      err_(err),
      held_(signedLists != nullptr) {
  if (!held_) return;
  heldErr_ = std::make_unique<std::ostringstream>();
  report_.hold();
}

bool SignedReading::settle() {
  if (held_) {
    held_ = false;
    std::string signer;
    believed_ = signedLists_->believed(&signer);
    if (believed_) report_.release(signer);
  }
  if (believed_) report_.catchUp();
  // What the reader said while held, or since the report was let go
  // through the stream it was given then.
  if (heldErr_ != nullptr) {
    if (believed_) err_ << heldErr_->str() << std::flush;
    heldErr_->str("");
  }
  return believed_;
}

int endRun(Report& report, std::ostream& err, const Options& options,
           int64_t compared) {
  report.summary(CountFiles, CountErrors);
  if (options.strict && compared == 0) {
    complain(err, options.dpkg      ? "dpkg's database names no installed path"
                  : options.archive ? "the archive holds no entry"
                  : options.mtree   ? "the manifest names no entry"
                                    : "the packing list names no file");
    return kStatusFailed;
  }
  return options.strict && CountErrors > 0 ? kStatusFailed : kStatusOk;
}
