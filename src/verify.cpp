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

#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "digest.h"
#include "directory.h"
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

  const size_t rootLength_;
  Report& report_;
  const Options& options_;
  Progress& progress_;
  std::unique_ptr<Prober> prober_;
  Sums sums_;
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

bool Run::contentsDiffer(const File& f, const std::string& path,
                         const FileHash& contents, const Sha256* expected) {
  if (contents.error != 0)
    return differ({DiffKind::kUnreadable, path, std::to_string(f.size), "",
                   contents.reason(), true});
  if (expected == nullptr)
    return differ({DiffKind::kNoChecksum, path, "", "", "", true});
  if (*expected != contents.digest)
    return differ({DiffKind::kChecksum, path, expected->hex(),
                   contents.digest.hex(), "", true});
  return false;
}

// Reads the sums file, or, when it was read and verified before the run,
// the bytes that were.
int readSums(const std::string& path, const SignedLists* signedLists,
             Sums* sums, std::ostream& err) {
  if (signedLists != nullptr) {
    MemoryStream in(signedLists->sums);
    return sums->read(in, path.c_str(), err);
  }
  // Named as a list that cannot be opened is, and as --key names it.
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in) {
    err << "can't open " << path << std::endl;
    return kStatusError;
  }
  return sums->read(in, path.c_str(), err);
}

// Under --sums, after the walk: each digest that no listed path named, in
// the sums file's order, is one comparison of the file at ROOT/PATH: found,
// read whole, and of that digest (the list gives no size to compare). The
// files Korlan keeps at the top are not the installation's, and are passed
// over, as the makers leave them out. Keeps the identity of each file
// found, which is then not unlisted.
void verifyUnnamed(const std::string& rootPath, Run& run, Report& report,
                   std::deque<FileId>* found) {
  Hasher hasher;
  for (const Sums::Unnamed& u : run.sums().unnamed()) {
    if (isKeptFile(u.path)) continue;
    const std::string path = belowRoot(rootPath, u.path);
    ++CountFiles;
    report.fileWalked(CountFiles);
    const HostFile host(path.c_str());
    const FileHash contents =
        host.status == 0 ? hasher.hash(AT_FDCWD, path.c_str(), -1) : FileHash();
    if (host.status == 0) found->push_back(host.id);
    const bool failed =
        host.status != 0      ? run.differ({DiffKind::kMissing, path, "", "",
                                            strerror(host.error)})
        : contents.error != 0 ? run.differ({DiffKind::kUnreadable, path, "", "",
                                            contents.reason()})
        : contents.digest != *u.digest
            ? run.differ({DiffKind::kChecksum, path, u.digest->hex(),
                          contents.digest.hex(), ""})
            : false;
    if (failed) ++CountErrors;
  }
}

}  // namespace

int verify(const char* rootPath, std::istream& list, const char* listPath,
           std::ostream& out, std::ostream& err, const Options& options,
           const SignedLists* signedLists) {
  CountFiles = 0;
  CountErrors = 0;
  const Checks checks{options.sums, options.unlisted, options.ring};
  const int workers =
      options.workers < 0 ? proberWorkerCount(checks) : options.workers;
  if (workers < 0) {
    complain(err, kTooFewDescriptors);
    return kStatusError;
  }
  Report report(out, options);
  size_t entries = 0;
  bool walking = false;
  int64_t listed = 0;
  try {
    Directory root(rootPath);
    Directory top(".");
    Progress progress(options.progress, &out);
    // The run's prober, made after the tree and the progress line it
    // counts on, stops before they go.
    Run run(rootPath, report, options, progress, &entries);
    if (options.sums) prepareCrypto();
    run.startProbing(Prober::make(&root, '/', checks, workers,
                                  options.sums ? &progress.bytes : nullptr));
    SignedReading reading(report, signedLists, err);
    run.poll(&reading);
    report.startReading();
    int status = readList(&top, list, listPath, report, run, reading.err());
    if (!reading.settle()) return kStatusError;
    if (status == kStatusOk && options.sums)
      status = readSums(options.sumsFile, signedLists, &run.sums(), err);
    if (status != kStatusOk) return status;
    run.prober().flush();
    report.startWalking();
    walking = true;
    progress.start(entries, options.sums ? run.listedBytes() : -1);
    top.iterate(&root, '/', report, run);
    std::deque<FileId> named;
    if (report.broken()) return kStatusError;  // main says why
    if (options.sums) verifyUnnamed(rootPath, run, report, &named);
    listed = CountFiles;
    if (options.unlisted) {
      // The line counts listed files only; it must not cut through the
      // lines below on a terminal.
      progress.stop();
      std::vector<std::deque<FileId>> parts = run.prober().takeIdentities();
      parts.push_back(std::move(named));
      const ReachedFiles reached(std::move(parts));
      // The files this run reads, which are not the installation's.
      std::vector<std::string> read = {listPath};
      if (options.sums) read.push_back(options.sumsFile);
      const int64_t found =
          reportUnlisted(rootPath, identitiesOf(read), reached, report);
      CountFiles += found;
      CountErrors += found;
    }
  } catch (const std::bad_alloc&) {
    return outOfMemory(err, walking, entries, "files");
  }
  return endRun(report, err, options, listed);
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
    complain(err, options.mtree ? "the manifest names no entry"
                                : "the packing list names no file");
    return kStatusFailed;
  }
  return options.strict && CountErrors > 0 ? kStatusFailed : kStatusOk;
}
