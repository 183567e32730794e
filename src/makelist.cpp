// makelist.cpp: the packing list of a tree on disk.
#include "makelist.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "digest.h"
#include "prober.h"
#include "status.h"
#include "sums.h"
#include "treewalk.h"

namespace {

// Writes `s` between double quotes, with the bytes a terminal would not show
// as themselves escaped C-style: a name may hold a line end or a tab, and
// one message must stay one line that names the path unambiguously.
void writeQuoted(std::ostream& os, std::string_view s) {
  os << '"';
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': os << "\\\""; break;
      case '\\': os << "\\\\"; break;
      case '\t': os << "\\t"; break;
      case '\n': os << "\\n"; break;
      case '\v': os << "\\v"; break;
      case '\f': os << "\\f"; break;
      case '\r': os << "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          const char octal[] = {'\\', static_cast<char>('0' + (c >> 6)),
                                static_cast<char>('0' + ((c >> 3) & 7)),
                                static_cast<char>('0' + (c & 7))};
          os.write(octal, sizeof octal);
        } else {
          os << ch;
        }
    }
  }
  os << '"';
}

// The messages of both makers: "korlan: WHAT "PATH": WHY", the path named
// as the user would reach it, below the root as given.
void reportPath(std::ostream& err, const std::string& root, const char* what,
                std::string_view path, const char* why) {
  std::string shown = root;
  if (!path.empty() && (shown.empty() || shown.back() != '/')) shown += '/';
  shown += path;
  err << "korlan: " << what << ' ';
  writeQuoted(err, shown);
  err << ": " << why << std::endl;
}

class Lister : public TreeVisitor {
 public:
  Lister(const char* root, std::ostream& out, std::ostream& err)
      : root_(root), out_(out), err_(err) {}

  void file(const FoundFile& f) override {
    out_ << f.st->st_size << " ./" << f.path << '\n';
  }
  void refused(std::string_view path, Refusal, const char* why,
               const struct stat*) override {
    report("cannot list", path, why);
    status = kStatusError;
  }
  void skippedLink(std::string_view path, const char* why) override {
    report("skipped link", path, why);
  }

  int status = kStatusOk;

 private:
  void report(const char* what, std::string_view path, const char* why) {
    reportPath(err_, root_, what, path, why);
  }

  const std::string root_;
  std::ostream& out_;
  std::ostream& err_;
};
// What the makers leave out wherever it lies: the list and the sums at the
// top, under any name or through a link, and the file being written (a
// list redirected into its own tree), all of which change as they are
// written.
std::vector<FileId> excludedFiles(const std::string& root, int outFd) {
  std::vector<FileId> excluded =
      identitiesOf({root + "/packing.lst", root + "/packing.sha256"});
  struct stat st;
  if (outFd >= 0 && fstat(outFd, &st) == 0 && S_ISREG(st.st_mode))
    excluded.push_back({st.st_dev, st.st_ino});
  return excluded;
}

// The sums maker: each file the walk finds becomes a job, hashed by a pool
// of workers in any order and written in walk order by the walking thread,
// so that the output is the same whatever the threads do. Refusals and
// skipped links travel as jobs too, so that messages keep walk order.
class Summer : public TreeVisitor {
 public:
  Summer(const char* root, std::ostream& out, std::ostream& err)
      : root_(root), out_(out), err_(err), own_(nullptr) {}
  ~Summer() override { finish(); }

  void startWorkers(int count);
  // Lets the workers hash what is left, then writes it.
  void finish();

  void file(const FoundFile& f) override {
    Job job;
    job.path.assign(f.path);
    job.size = f.st->st_size;
    job.claimed = job.done = false;
    push(std::move(job));
    ready_.notify_one();
  }
  void refused(std::string_view path, Refusal, const char* why,
               const struct stat*) override {
    message("cannot list", path, why, true);
  }
  void skippedLink(std::string_view path, const char* why) override {
    message("skipped link", path, why, false);
  }

  int status = kStatusOk;

 private:
  struct Job {
    std::string path;  // below the root
    int64_t size = 0;
    bool claimed = true;  // taken by a worker, or by the walk
    bool done = true;     // `contents` is there
    std::string message;  // written in turn, instead of a line
    bool failed = false;  // the message makes the status 255
    FileHash contents;
  };

  // Appends a job, first writing what is done, and when too many are
  // waiting, what must be waited for.
  void push(Job&& job);
  void message(const char* what, std::string_view path, const char* why,
               bool failed);
  // Writes the jobs at the front that are done; then, until no more than
  // `keep` are left, hashes or waits for each in turn. Called with `lock`
  // held.
  void drain(std::unique_lock<std::mutex>& lock, size_t keep);
  void write(const Job& job);
  void work();
  FileHash hash(Hasher& hasher, const Job& job);

  const std::string root_;
  std::ostream& out_;
  std::ostream& err_;
  Hasher own_;  // the walk's, for jobs no worker has taken

  std::mutex mutex_;
  // Jobs in walk order; `next_` is the first that no worker has claimed.
  // A deque keeps the jobs in place while others are added and removed.
  std::deque<Job> jobs_;
  size_t next_ = 0;
  bool closing_ = false;
  std::condition_variable ready_;  // a job for the workers, or closing
  std::condition_variable done_;   // the front job done, for the walk
  std::vector<std::thread> threads_;
};

// Jobs waiting at once: enough to keep every worker busy across a run of
// small files, few enough that their paths cost little memory.
const size_t kMostJobs = 4096;

void Summer::startWorkers(int count) {
  for (int i = 0; i < count; ++i) {
    try {
      threads_.emplace_back(&Summer::work, this);
    } catch (const std::exception&) {
      break;  // the walk hashes what no worker takes
    }
  }
}

void Summer::push(Job&& job) {
  std::unique_lock<std::mutex> lock(mutex_);
  drain(lock, kMostJobs - 1);
  jobs_.push_back(std::move(job));
}

void Summer::message(const char* what, std::string_view path, const char* why,
                     bool failed) {
  std::ostringstream text;
  reportPath(text, root_, what, path, why);
  Job job;
  job.message = text.str();
  job.failed = failed;
  push(std::move(job));
}

FileHash Summer::hash(Hasher& hasher, const Job& job) {
  const std::string path = belowRoot(root_, job.path);
  return hasher.hash(AT_FDCWD, path.c_str(), job.size);
}

void Summer::work() {
  std::unique_ptr<Hasher> hasher;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    while (next_ < jobs_.size() && jobs_[next_].claimed) ++next_;
    if (next_ == jobs_.size()) {
      if (closing_) return;
      ready_.wait(lock);
      continue;
    }
    Job& job = jobs_[next_++];
    job.claimed = true;
    lock.unlock();
    FileHash contents;
    try {
      if (hasher == nullptr) hasher.reset(new Hasher);
      contents = hash(*hasher, job);
    } catch (const std::bad_alloc&) {
      contents.error = ENOMEM;
    }
    lock.lock();
    job.contents = contents;
    job.done = true;
    // The walk waits only for the job at the front: waking it for any other
    // would cost a switch for every small file done behind a large one.
    if (&job == &jobs_.front()) done_.notify_one();
  }
}

void Summer::drain(std::unique_lock<std::mutex>& lock, size_t keep) {
  while (!jobs_.empty()) {
    Job& job = jobs_.front();
    if (!job.done) {
      if (jobs_.size() <= keep) return;
      if (job.claimed) {
        done_.wait(lock);
        continue;
      }
      // No worker took it: the walk reads it itself.
      job.claimed = true;
      lock.unlock();
      const FileHash contents = hash(own_, job);
      lock.lock();
      job.contents = contents;
      job.done = true;
    }
    write(job);
    jobs_.pop_front();
    if (next_ > 0) --next_;
  }
}

void Summer::write(const Job& job) {
  if (!job.message.empty()) {
    err_ << job.message << std::flush;
    if (job.failed) status = kStatusError;
    return;
  }
  if (job.contents.error != 0) {
    reportPath(err_, root_, "cannot read", job.path, job.contents.reason());
    status = kStatusError;
    return;
  }
  // sha256sum marks a line whose name it escaped by a leading backslash.
  const std::string name = sumsEscape(job.path);
  if (name.size() != job.path.size()) out_ << '\\';
  out_ << job.contents.digest.hex() << "  ./" << name << '\n';
}

// The walk done, the workers take the jobs left before they stop, and the
// walk writes them all at the end: written as they came, the walk would
// wait for each job in turn just behind the workers, and a wake-up for
// every small file costs the workers their CPUs.
void Summer::finish() {
  std::unique_lock<std::mutex> lock(mutex_);
  closing_ = true;
  ready_.notify_all();
  lock.unlock();
  for (std::thread& t : threads_) t.join();
  threads_.clear();
  lock.lock();
  drain(lock, 0);
}

}  // namespace

int makeList(const char* root, std::ostream& out, std::ostream& err,
             int outFd) {
  Lister lister(root, out, err);
  walkTree(root, excludedFiles(root, outFd), lister);
  return lister.status;
}

int makeSums(const char* root, std::ostream& out, std::ostream& err,
             int outFd) {
  Summer summer(root, out, err);
  summer.startWorkers(proberWorkerCount(true));
  walkTree(root, excludedFiles(root, outFd), summer);
  summer.finish();
  return summer.status;
}
