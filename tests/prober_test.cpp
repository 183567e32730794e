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
#include <vector>

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

}  // namespace
