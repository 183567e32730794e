// test_util.h: temporary trees, a runner for the korlan program and the
// fixture of the end-to-end tests.
#ifndef KORLAN_TESTS_TEST_UTIL_H_
#define KORLAN_TESTS_TEST_UTIL_H_

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace testutil {

inline void asNobody();

// Where the tests make their directories: the first of $TMPDIR, /tmp,
// /var/tmp and /dev/shm not mounted noexec (some tests run copies of the
// program there) and, for root, that nobody may reach (some run it as
// nobody). With none, `problem` says so, and the tests that need one skip.
struct Scratch {
  std::string base, problem;
};

inline bool runnable(const std::string& dir) {
  struct statvfs fs;
  if (statvfs(dir.c_str(), &fs) != 0 || (fs.f_flag & ST_NOEXEC) ||
      access(dir.c_str(), W_OK | X_OK) != 0)
    return false;
  if (geteuid() != 0) return true;
  const pid_t pid = fork();
  if (pid == 0) {
    asNobody();
    _exit(access(dir.c_str(), X_OK) == 0 ? 0 : 1);
  }
  int ws = 0;
  return pid > 0 && waitpid(pid, &ws, 0) == pid && ws == 0;
}

inline const Scratch& scratch() {
  static const Scratch chosen = [] {
    std::vector<std::string> tried = {"/tmp", "/var/tmp", "/dev/shm"};
    const char* tmpdir = getenv("TMPDIR");
    if (tmpdir && *tmpdir) tried.insert(tried.begin(), tmpdir);
    for (const std::string& dir : tried)
      if (runnable(dir)) return Scratch{dir, ""};
    return Scratch{tried[0],
                   "none of $TMPDIR, /tmp, /var/tmp, /dev/shm lets a copy of the program run" +
                       std::string(geteuid() == 0 ? " as nobody" : "")};
  }();
  return chosen;
}

// A directory of its own under the place chosen above, removed with
// everything in it when the object goes, or when the process that made it
// exits without destroying it (a death test's child ends with exit()).
class TempDir {
 public:
  TempDir() : owner_(getpid()) {
    std::string tmpl = scratch().base + "/korlan-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
    // The list is made before the handler is registered, so that it is
    // still there when the handler runs.
    std::vector<TempDir*>& all = live();
    static const bool registered = atexit(removeLeftovers) == 0;
    (void)registered;
    all.push_back(this);
  }
  ~TempDir() {
    remove();
    auto& all = live();
    all.erase(std::find(all.begin(), all.end(), this));
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
  // Makes the symbolic link `rel` (below this directory) to `target`.
  void link(const std::string& target, const std::string& rel) const {
    if (symlink(target.c_str(), (*this / rel).c_str()) != 0)
      throw std::runtime_error("cannot link " + rel);
  }
  // `s` with every "$" replaced by this directory's path: tables of paths
  // below it read as they would at the root.
  std::string expand(const std::string& s) const {
    std::string r;
    for (char c : s) r += c == '$' ? path_ : std::string(1, c);
    return r;
  }

 private:
  static std::vector<TempDir*>& live() {
    static std::vector<TempDir*> all;
    return all;
  }
  // A forked child that exits leaves its parent's directories alone.
  static void removeLeftovers() {
    for (TempDir* d : live())
      if (d->owner_ == getpid()) d->remove();
  }
  void remove() const {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }

  pid_t owner_;
  std::string path_;
};

// Changes the current directory for the life of the object.
class ChangeDir {
 public:
  explicit ChangeDir(const std::string& to) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr || chdir(to.c_str()) != 0)
      throw std::runtime_error("cannot change to " + to);
    saved_ = cwd;
  }
  ~ChangeDir() {
    if (chdir(saved_.c_str()) != 0) std::abort();
  }
  ChangeDir(const ChangeDir&) = delete;
  ChangeDir& operator=(const ChangeDir&) = delete;

 private:
  std::string saved_;
};

// Writes `content` to `path`, creating the directories on the way.
inline void writeText(const std::string& path, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream f(path, std::ios::binary);
  f << content;
  if (!f) throw std::runtime_error("cannot write " + path);
}

// Makes a file of `size` bytes (sparse: only its size matters here).
inline void makeFile(const std::string& path, long long size) {
  writeText(path, "");
  if (truncate(path.c_str(), size) != 0) throw std::runtime_error("cannot size " + path);
}

inline std::string readText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

struct Result {
  std::string out;
  std::string err;
  int status = -1;   // exit status, or -1 when the program did not exit
  long peakKiB = 0;  // the most memory it held (wait4), not compared
};

inline bool operator==(const Result& a, const Result& b) {
  return a.out == b.out && a.err == b.err && a.status == b.status;
}

inline std::ostream& operator<<(std::ostream& os, const Result& r) {
  return os << "{status " << r.status << ", out \"" << r.out << "\", err \"" << r.err << "\"}";
}

// How to start a program: its file, its argument vector (argv[0] included),
// and optionally a working directory, a whole environment and a step run in
// the child just before the program starts.
struct Launch {
  Launch(std::string file, std::vector<std::string> argv, std::string cwd = "",
         const std::vector<std::string>* env = nullptr, std::string stdoutFile = "")
      : file(std::move(file)),
        argv(std::move(argv)),
        cwd(std::move(cwd)),
        env(env),
        stdoutFile(std::move(stdoutFile)) {}

  std::string file;
  std::vector<std::string> argv;
  std::string cwd;                      // empty: the test's own
  const std::vector<std::string>* env;  // null: the test's own
  std::string stdoutFile;               // empty: caught for the result
  // Run in the child after the standard descriptors and the working
  // directory are set, before exec: limits, credentials, another current
  // directory or standard output. It may call only what is safe after fork
  // and ends the child with _exit when a step fails.
  std::function<void()> inChild;
  // Descriptors the program inherits beside the standard three, on
  // /dev/null.
  int inherited = 0;
  // The output keeps the run record of --tsv and --json (see dropRun).
  bool keepRun = false;
};

// A step for Launch::inChild: a root caller gives root up for the user
// nobody (65534), so that permissions apply; any other caller already meets
// them and goes on as it is.
inline void asNobody() {
  if (geteuid() != 0) return;
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
}

// A copy of the built program in `dir`, for a test that runs it as nobody,
// who may not reach the build tree (below a home directory of mode 0700).
inline std::string programCopy(const TempDir& dir) {
  const std::string copy = dir / "korlan";
  writeText(copy, readText(KORLAN_BIN));
  if (chmod(copy.c_str(), 0755) != 0) throw std::runtime_error("cannot chmod " + copy);
  return copy;
}

// `out` without the run's own record, the first of --tsv and --json, whose
// host and start time differ from run to run: the records a test compares.
// (The record itself is checked where the options for scripts are.)
inline std::string dropRun(std::string out) {
  if (out.rfind("run\t", 0) == 0 || out.rfind("{\"kind\":\"run\"", 0) == 0)
    out.erase(0, out.find('\n') + 1);
  return out;
}

// Runs a program to its end, its standard output and standard error caught
// in files of `scratch`, standard input closed; the run record dropped
// from its output unless the launch keeps it.
inline Result run(const Launch& l, const TempDir& scratch) {
  const std::string outPath = scratch / ".out", errPath = scratch / ".err";
  std::vector<char*> argv, envp;
  for (const std::string& a : l.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (l.env) {
    for (const std::string& e : *l.env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
  }
  pid_t pid = fork();
  if (pid == 0) {
    const std::string& to = l.stdoutFile.empty() ? outPath : l.stdoutFile;
    int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (!l.cwd.empty() && chdir(l.cwd.c_str()) != 0) _exit(126);
    if (l.inChild) l.inChild();
    // The program starts with the three standard descriptors alone, as from
    // a shell: a test of the descriptor limit counts on it.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    for (int i = 0; i < l.inherited; ++i) open("/dev/null", O_RDONLY);
    if (l.env)
      execve(l.file.c_str(), argv.data(), envp.data());
    else
      execv(l.file.c_str(), argv.data());
    _exit(127);
  }
  Result r;
  int ws = 0;
  struct rusage usage = {};
  if (pid < 0 || wait4(pid, &ws, 0, &usage) != pid) return r;
  r.peakKiB = usage.ru_maxrss;
  if (WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
  r.out = l.keepRun ? readText(outPath) : dropRun(readText(outPath));
  r.err = readText(errPath);
  unlink(outPath.c_str());
  unlink(errPath.c_str());
  return r;
}

// The report of the plain two-operand run, in parts.
const std::string kReading = "[reading packing.lst]\n";
const std::string kWalking = "[Walking directory tree and comparing files]\n";
const std::string kSucceeded = "Korlan Succeeded: all file comparisons correct\n";

// What a completed run prints: a dot per entry, the walk's output and the
// summary of `failed` failures out of `files` comparisons; status 0.
inline Result completed(size_t entries, const std::string& walk, int failed = 0, int files = 0) {
  const std::string summary = failed == 0
                                  ? kSucceeded
                                  : "Korlan Failure: " + std::to_string(failed) + " out of " +
                                        std::to_string(files) + " file comparisons failed\n";
  return {kReading + std::string(entries, '.') + "\n" + kWalking + walk + "\n" + summary, "", 0};
}

// The built program, run on trees made below `tmp`.
class Korlan : public ::testing::Test {
 protected:
  TempDir tmp;

  Result korlan(std::vector<std::string> args, const std::string& cwd = "") {
    args.insert(args.begin(), "korlan");
    return run({KORLAN_BIN, args, cwd}, tmp);
  }
  // Verifies tmp/root against a list written to tmp/list.
  Result verify(const std::string& list) {
    writeText(tmp / "list", list);
    return korlan({tmp / "root", tmp / "list"});
  }
  std::string root(const std::string& rel) { return tmp / ("root/" + rel); }
};

}  // namespace testutil

#endif  // KORLAN_TESTS_TEST_UTIL_H_
