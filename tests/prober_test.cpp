// The prober: a run with worker threads must report exactly what a run
// whose walk probes every file itself reports.
#include "prober.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "comparer.h"
#include "directory.h"
#include "makelist.h"
#include "test_util.h"
#include "verify.h"

namespace {

using testutil::Result;

Result verifyWith(const std::string& root, const std::string& list, int workers,
                  const Options& base, ProbeRing ring = ProbeRing::kNever) {
  Options options = base;
  options.workers = workers;
  options.ring = ring;
  std::istringstream in(list);
  std::ostringstream out, err;
  const int status = verify(root.c_str(), in, "list", out, err, options);
  return {testutil::dropRun(out.str()), err.str(), status};
}

// The records --tsv writes for `entries` ("SIZE ./PATH") below `root`, as
// stat of each whole path answers, sorted.
std::vector<std::string> byStat(const std::string& root, const std::vector<std::string>& entries) {
  std::vector<std::string> records;
  for (const std::string& e : entries) {
    const std::string size = e.substr(0, e.find(' ')), path = root + e.substr(e.find(' ') + 2);
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
      records.push_back("missing\t" + path + "\t" + size + "\t\t" + strerror(errno));
    else if (std::to_string(st.st_size) != size)
      records.push_back("size\t" + path + "\t" + size + "\t" + std::to_string(st.st_size) + "\t");
  }
  std::sort(records.begin(), records.end());
  return records;
}

// The records of a --tsv report, sorted.
std::vector<std::string> records(const std::string& tsv) {
  std::vector<std::string> lines;
  std::istringstream in(tsv);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("total\t", 0) != 0) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// What `body` returns, as nobody where the test runs as root (in a child,
// so that permissions apply), else here.
std::string asNobody(const std::function<std::string()>& body) {
  if (geteuid() != 0) return body();
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    testutil::asNobody();
    const std::string said = body();
    _exit(write(pipeFds[1], said.data(), said.size()) == ssize_t(said.size()) ? 0 : 1);
  }
  close(pipeFds[1]);
  std::string said;
  char buffer[4096];
  for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) said.append(buffer, n);
  close(pipeFds[0]);
  int ws = 0;
  if (pid < 0 || waitpid(pid, &ws, 0) != pid || ws != 0) said += "child failed";
  return said;
}

// Random trees: files of the right size, of another size, missing, listed
// twice, directories listed as files, files below a missing directory and
// below a file, dangling and looping links, directories without search
// permission, paths about PATH_MAX bytes long, odd paths, ROOTs with "..";
// entries in random order, so that the walk's order differs from the
// reading order the workers follow. Every run, by the walk alone, by
// workers and by workers with io_uring, reports what stat of each whole
// path answers.
TEST(Prober, WorkersAndRingsReportWhatStatOfEachPathAnswers) {
  if (geteuid() == 0 && !testutil::scratch().problem.empty())
    GTEST_SKIP() << testutil::scratch().problem;
  std::mt19937 random(20261207);
  for (int round = 0; round < 12; ++round) {
    testutil::TempDir tmp;
    chmod(tmp.path().c_str(), 0755);  // for nobody
    Options tsv, sums, sumsTsv, unlisted;
    tsv.tsv = tsv.strict = sumsTsv.tsv = true;
    sums.sums = sumsTsv.sums = unlisted.sums = true;
    sums.sumsFile = sumsTsv.sumsFile = unlisted.sumsFile = tmp / "sums";
    unlisted.unlisted = true;  // the identities the workers keep, beside digests
    const Options styles[] = {Options(), tsv, sums, sumsTsv, unlisted};
    std::vector<std::string> entries;
    const int dirs = 1 + random() % 30;
    const int files = random() % 600;
    for (int i = 0; i < files; ++i) {
      const std::string dir =
          "d" + std::to_string(random() % dirs) + "/e" + std::to_string(random() % 3);
      const std::string rel = dir + "/f" + std::to_string(i);
      const long size = random() % 50;
      switch (random() % 8) {
        case 0:  // missing
          break;
        case 1:  // another size
          testutil::makeFile(tmp / rel, size + 1);
          break;
        case 2:  // listed twice, once wrong
          testutil::makeFile(tmp / rel, size);
          entries.push_back(std::to_string(size + 2) + " ./" + rel);
          break;
        case 3:  // a directory listed as a file
          testutil::makeFile(tmp / (rel + "/inside"), 0);
          entries.push_back("0 ./" + rel);
          continue;
        case 4:  // below a file
          testutil::makeFile(tmp / rel, size);
          entries.push_back(std::to_string(size) + " ./" + rel + "/under");
          break;
        case 6:  // a dangling link, a looping one, as files or as directories
        case 7:
          std::filesystem::create_directories(tmp / dir);
          tmp.link(random() % 2 ? "gone" : "f" + std::to_string(i), rel);
          if (random() % 2) entries.push_back(std::to_string(size) + " ./" + rel + "/under");
          break;
        default: testutil::makeFile(tmp / rel, size);
      }
      entries.push_back(std::to_string(size) + " ./" + rel);
    }
    // Paths the workers must form exactly as the walk does: a "." and an
    // empty component below the top, a file of the top node, a name longer
    // than NAME_MAX.
    testutil::makeFile(tmp / "a/b/f", 3);
    testutil::makeFile(tmp / "top", 1);
    entries.insert(entries.end(), {"3 ./a/./b/f", "3 ./a//b/f", "1 ./top", "2 ./top",
                                   "1 ./a/" + std::string(300, 'n')});
    const std::string root =
        tmp.path() + std::vector<std::string>{"", "/a/..", "/a/b/../.."}[round % 3];
    // Whole paths of PATH_MAX - 1, PATH_MAX and PATH_MAX + 1 bytes.
    for (size_t length = PATH_MAX - 1; length <= PATH_MAX + 1; ++length) {
      std::string rel = "/long";
      while (root.size() + rel.size() + 201 < length) rel += "/" + std::string(200, 'c');
      entries.push_back("1 ." + rel + "/" +
                        std::string(length - root.size() - rel.size() - 1, 'f'));
    }
    std::shuffle(entries.begin(), entries.end(), random);
    std::string list;
    for (const std::string& e : entries) list += e + "\n";

    // Digests of the tree as it is, every third one dropped and every fifth
    // one of the rest made wrong: files that match, that have no digest and
    // whose digest differs, among all the failures above.
    std::ostringstream made, madeErr;
    makeSums(tmp.path().c_str(), made, madeErr);
    std::istringstream lines(made.str());
    std::string line, digests;
    for (int n = 0; std::getline(lines, line); ++n)
      if (n % 3 != 0) digests += (n % 5 == 0 ? "0" + line.substr(1) : line) + "\n";
    testutil::writeText(tmp / "sums", digests);

    // Directories without search permission (with read permission, or
    // none), once the digests are made.
    const std::string shut[] = {"d" + std::to_string(random() % dirs) + "/e0", "a/b"};
    chmod((tmp / shut[0]).c_str(), 0);
    chmod((tmp / shut[1]).c_str(), 0644);

    EXPECT_EQ(
        asNobody([&] {
          std::ostringstream differences;
          for (const Options& style : styles) {
            const Result alone = verifyWith(root, list, 0, style);
            const std::vector<std::string> found = records(alone.out), stat = byStat(root, entries);
            if (style.tsv && !style.sums && found != stat) {
              auto first = std::mismatch(found.begin(), found.end(), stat.begin(), stat.end());
              differences << "run: " << (first.first == found.end() ? "" : *first.first)
                          << "\nstat: " << (first.second == stat.end() ? "" : *first.second)
                          << "\n";
            }
            for (int workers : {1, 3, 8})
              for (ProbeRing ring : {ProbeRing::kNever, ProbeRing::kAlways})
                if (!(verifyWith(root, list, workers, style, ring) == alone))
                  differences << workers << " workers, ring " << int(ring) << "\n";
          }
          return differences.str();
        }),
        "")
        << "round " << round;
    for (const std::string& dir : shut) chmod((tmp / dir).c_str(), 0755);
  }
}

// Where the kernel refuses io_uring (a seccomp filter of a container, an
// old kernel), and where descriptors are few (the directories, rings and
// files a run would open then fail), the program's report is the one it
// writes where it has both. A run that cannot do without descriptors (the
// walk for unlisted files, a manifest's entries) refuses at once instead.
TEST(Prober, ProgramReportsTheSameWhereIoUringOrDescriptorsAreRefused) {
  testutil::TempDir tmp;
  std::string list;
  for (int i = 0; i < 300; ++i) {
    const std::string rel = "d" + std::to_string(i % 9) + "/f" + std::to_string(i);
    if (i % 5 != 0) testutil::makeFile(tmp / ("root/" + rel), i % 7);
    list += std::to_string(i % 3) + " ./" + rel + "\n";
  }
  testutil::writeText(tmp / "list", list);
  const testutil::Launch plain{KORLAN_BIN, {"korlan", tmp / "root", tmp / "list"}};
  const Result allowed = testutil::run(plain, tmp);
  ASSERT_EQ(allowed.status, 0) << allowed;
  testutil::writeText(
      tmp / "manifest",
      testutil::run({KORLAN_BIN, {"korlan", "--make-mtree", tmp / "root"}}, tmp).out);
  const Result tooFew = {"", "korlan: too few file descriptors to read the files (ulimit -n)\n",
                         255};
  std::vector<testutil::Launch> needing;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--unlisted", tmp / "root", tmp / "list"},
        {"--mtree", "--unlisted", tmp / "root", tmp / "manifest"}}) {
    needing.push_back(plain);
    needing.back().argv = {"korlan"};
    needing.back().argv.insert(needing.back().argv.end(), args.begin(), args.end());
  }
  std::vector<Result> needingAllowed;
  for (const testutil::Launch& l : needing) needingAllowed.push_back(testutil::run(l, tmp));
  struct Refusal {
    int error;     // of io_uring_setup, or 0
    rlim_t files;  // the descriptor limit, or 0
  };
  std::vector<Refusal> refusals = {{EPERM, 0}, {ENOSYS, 0}};
  // A sanitizer's runtime needs descriptors of its own.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  for (rlim_t files : {4, 5, 6, 8, 12}) refusals.push_back({0, files});
#endif
  for (const Refusal& r : refusals) {
    testutil::Launch refused = plain;
    refused.inChild = [r] {
      const rlimit nofile = {r.files, r.files};
      if (r.files != 0 && setrlimit(RLIMIT_NOFILE, &nofile) != 0) _exit(126);
      if (r.error == 0) return;
      sock_filter filter[] = {
          BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | r.error),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      };
      const sock_fprog program = {sizeof filter / sizeof filter[0], filter};
      if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
          prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(125);
    };
    for (int run = 0; run < 5; ++run) {
      const Result result = testutil::run(refused, tmp);
      if (result.status == 125) GTEST_SKIP() << "no seccomp filter may be set here";
      EXPECT_EQ(result, allowed) << strerror(r.error) << ", " << r.files << " descriptors";
    }
    if (r.files == 0) continue;
    for (size_t i = 0; i < needing.size(); ++i) {
      testutil::Launch limited = needing[i];
      limited.inChild = refused.inChild;
      const Result result = testutil::run(limited, tmp);
      EXPECT_TRUE(result == needingAllowed[i] || result == tooFew)
          << limited.argv[1] << ", " << r.files << " descriptors: " << result;
    }
  }
}

// Takes down what a comparer is given: each file's bytes as a checksum, in
// the order given, and how many.
class Tally : public ByteComparer {
 public:
  void begin(const std::string& path, int64_t size) override {
    name_ = std::hash<std::string>()(path) ^ static_cast<uint64_t>(size);
    sum_ = 14695981039346656037u;
    n_ = 0;
  }
  void add(const void* bytes, size_t n) override {
    for (size_t i = 0; i < n; ++i)
      sum_ = (sum_ ^ static_cast<const unsigned char*>(bytes)[i]) * 1099511628211u;
    n_ += static_cast<int64_t>(n);
  }
  Compared end() override {
    Compared c;
    c.state = Compared::kSame;
    c.device = sum_;
    c.inode = name_;
    c.at = n_;
    return c;
  }

 private:
  uint64_t name_ = 0, sum_ = 0;
  int64_t n_ = 0;
};

// Files of every size about the ring's blocks, given in pieces of several
// sizes, more of them than the ring holds: the thread must be given each
// byte in its file and order, and each file's result under its ticket,
// while another thread takes the results as they come.
TEST(Prober, ComparingThreadHandsEveryByteOverInItsFile) {
  const size_t block = ComparingThread::kBlock;
  const size_t sizes[] = {0, 1, 4096, block - 1, block, block + 1, 5 * block + 17, 70 * block + 3};
  const size_t pieces[] = {1000, 7777, block, 200 << 10};
  std::vector<unsigned char> bytes(70 * block + 5);  // each file begins at one of 3 places
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<unsigned char>(i * 131 + i / 977);
  const auto give = [&](ByteComparer& c, size_t file, size_t size, size_t piece) {
    c.begin("f" + std::to_string(file), static_cast<int64_t>(size));
    for (size_t at = 0; at < size; at += piece)
      c.add(bytes.data() + file % 3 + at, std::min(piece, size - at));
    return c.end();
  };
  Tally inner, direct;
  ComparingThread inline_(&direct, false), threaded(&inner, true);
  std::vector<Compared> expected, pending;
  for (int round = 0; round < 3; ++round)
    for (size_t size : sizes)
      for (size_t piece : pieces) {
        const size_t file = expected.size();
        expected.push_back(give(inline_, file, size, piece));
        ASSERT_EQ(Compared::kSame, expected.back().state);
        pending.push_back(give(threaded, file, size, piece));
        ASSERT_EQ(Compared::kPending, pending.back().state);
        ASSERT_EQ(file + 1, pending.back().ticket);
      }
  // Settled from two threads, and not before the reader's end: the last
  // few blocks are compared only then.
  std::thread other([&] {
    for (size_t i = 1; i < pending.size(); i += 2) threaded.settle(&pending[i]);
  });
  threaded.drain();
  for (size_t i = 0; i < pending.size(); i += 2) threaded.settle(&pending[i]);
  other.join();
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("file " + std::to_string(i));
    EXPECT_EQ(Compared::kSame, pending[i].state);
    EXPECT_EQ(expected[i].at, pending[i].at);
    EXPECT_EQ(expected[i].device, pending[i].device);
    EXPECT_EQ(expected[i].inode, pending[i].inode);
  }
}

}  // namespace
