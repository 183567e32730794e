// End to end: the built program on trees made here, its standard output,
// standard error and exit status compared exactly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "test_util.h"

namespace {

using testutil::Result;

const std::string kReading = "[reading packing.lst]\n";
const std::string kWalking = "[Walking directory tree and comparing files]\n";
const std::string kSucceeded = "Korlan Succeeded: all file comparisons correct\n";

// What a completed run prints: a dot per entry, the walk's output and the
// summary of `failed` failures out of `files` comparisons; status 0.
Result completed(size_t entries, const std::string& walk, int failed = 0, int files = 0) {
  const std::string summary = failed == 0
                                  ? kSucceeded
                                  : "Korlan Failure: " + std::to_string(failed) + " out of " +
                                        std::to_string(files) + " file comparisons failed\n";
  return {kReading + std::string(entries, '.') + "\n" + kWalking + walk + "\n" + summary, "", 0};
}

class Korlan : public ::testing::Test {
 protected:
  testutil::TempDir tmp;

  Result korlan(std::vector<std::string> args, const std::string& cwd = "") {
    args.insert(args.begin(), "korlan");
    return testutil::run({KORLAN_BIN, args, cwd}, tmp);
  }
  // Verifies tmp/root against a list written to tmp/list.
  Result verify(const std::string& list) {
    testutil::writeText(tmp / "list", list);
    return korlan({tmp / "root", tmp / "list"});
  }
  std::string root(const std::string& rel) { return tmp / ("root/" + rel); }
};

TEST_F(Korlan, WrongArgumentCountPrintsUsage) {
  const Result usage{"Korlan [ dirname packing.list]\n", "", 255};
  EXPECT_EQ(korlan({"one"}), usage);
  EXPECT_EQ(korlan({"one", "two", "three"}), usage);
}

TEST_F(Korlan, ListThatCannotBeOpened) {
  EXPECT_EQ(korlan({tmp.path(), tmp / "absent"}),
            (Result{"", "can't open " + tmp / "absent" + "\n", 255}));
}

TEST_F(Korlan, EmptyListSucceeds) {
  const Result empty = completed(0, "");
  EXPECT_EQ(verify(""), empty);
  EXPECT_EQ(verify(" \n\t\r\n"), empty);
}

TEST_F(Korlan, CorrectInstallation) {
  testutil::makeFile(root("bin/setup"), 4096);
  testutil::makeFile(root("lib/app/config.txt"), 120);
  testutil::makeFile(root("README"), 0);
  EXPECT_EQ(verify("4096 ./bin/setup\r\n120 ./lib/app/config.txt\r\n"
                   "0 ./README\r\n0120 ./lib/app/../app/config.txt\n"),
            completed(4, ""));
}

TEST_F(Korlan, ReportsMissingAndWrongSizesInWalkOrder) {
  for (int i = 0; i < 10; ++i) testutil::makeFile(root("d/f" + std::to_string(i)), i);
  testutil::makeFile(root("bin/ls"), 180);
  std::string list = "200 ./bin/ls 0 ./gone ";
  for (int i = 0; i < 10; ++i) list += std::to_string(i) + " ./d/f" + std::to_string(i) + " ";
  list += "1 ./d/gone 5 ./bin/ls";
  // Walk order: top files (gone), then bin (ls, ls), then d (f0..f9, gone).
  // The tenth file, d/f6, writes the dot; the report after it starts a line.
  EXPECT_EQ(verify(list), completed(14,
                                    "\nFile Not Found: " + root("gone") + "\n" +
                                        "\nls:\texpected size of 200; actual 180\n" +
                                        "\nls:\texpected size of 5; actual 180\n" + "." +
                                        "\nFile Not Found: " + root("d/gone") + "\n",
                                    4, 14));
}

TEST_F(Korlan, SizesBeyondThirtyTwoBits) {
  testutil::makeFile(root("big"), 3221225472LL);
  EXPECT_EQ(verify("3221225472 ./big"), completed(1, ""));
  EXPECT_EQ(verify("4294967296 ./big"),
            completed(1, "\nbig:\texpected size of 4294967296; actual 3221225472\n", 1, 1));
}

TEST_F(Korlan, DotDirectoryBelowTheTopKeepsItsPath) {
  testutil::makeFile(root("a/b/f"), 3);
  EXPECT_EQ(verify("3 ./a/./b/f 4 ./a/./b/f"),
            completed(2, "\nf:\texpected size of 4; actual 3\n", 1, 2));
}

TEST_F(Korlan, RootPathIsUsedAsGiven) {
  testutil::makeFile(root("x"), 1);
  testutil::writeText(tmp / "list", "1 ./x 1 ./y");
  EXPECT_EQ(korlan({tmp / "root/", tmp / "list"}),
            completed(2, "\nFile Not Found: " + tmp / "root//y" + "\n", 1, 2));
}

TEST_F(Korlan, RelativeListIsTakenFromTheWorkingDirectory) {
  testutil::makeFile(root("x"), 1);
  testutil::writeText(tmp / "cwd/rel.lst", "1 ./x");
  EXPECT_EQ(korlan({"../root", "rel.lst"}, tmp / "cwd"), completed(1, ""));
}

TEST_F(Korlan, MalformedListsStopBeforeTheWalk) {
  const std::string tooLong(1024, 'z');
  struct {
    const char* what;
    std::string list;
    std::string dots;
    std::string err;
  } cases[] = {
      {"no ./", "5 usr/bin/ls", "", "Expected . directory: actually usr\n"},
      {"entry starts with ./", "./x 5", "", "Expected size: actually .\n"},
      {"ends after the size", "1 ./a 5", ".", "Expected . directory: actually EOF\n"},
      {"file name as size", "1 ./a x ./b", ".", "Expected size: actually x\n"},
      {"negative size", "-5 ./a", "", "Expected size: actually -5\n"},
      {"size beyond 64 bits", "9223372036854775808 ./a", "",
       "Expected size: actually 9223372036854775808\n"},
      {"path cut short", "1 ./a 12 ./lib/", "..", "Expected file name: actually EOF\n"},
      {"nothing after ./", "12 ./", ".", "Expected file name: actually EOF\n"},
      {"too long size", tooLong + " ./a", "",
       "packing list holds a token that is too long: " + std::string(40, 'z') + "...\n"},
      {"too long directory", "1 ./" + tooLong + "/x", ".",
       "packing list holds a token that is too long: " + std::string(40, 'z') + "...\n"},
      {"too long second token", "1 " + tooLong, "",
       "packing list holds a token that is too long: " + std::string(40, 'z') + "...\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(verify(c.list), (Result{kReading + c.dots, c.err, 255})) << c.what;
}

TEST_F(Korlan, NulBytesRefuseTheList) {
  // A NUL would silently end a name: "./a/b/f<NUL>junk" must not be checked
  // as ./a/b/f. Endless input of NULs ends at once.
  testutil::makeFile(root("a/b/f"), 6);
  const std::string refused = "packing list holds a NUL byte: " + tmp / "list" + "\n";
  EXPECT_EQ(verify(std::string("6 ./a/b/f\0junk\n", 15)), (Result{kReading + ".", refused, 255}));
  EXPECT_EQ(verify(std::string("6 ./a/b/f 6 ./a/\0/f", 20)),
            (Result{kReading + "..", refused, 255}));
  EXPECT_EQ(korlan({tmp.path(), "/dev/zero"}),
            (Result{kReading, "packing list holds a NUL byte: /dev/zero\n", 255}));
}

TEST_F(Korlan, ReportThatCannotBeWritten) {
  testutil::writeText(tmp / "list", "1 ./x");
  testutil::Launch full{KORLAN_BIN, {"korlan", tmp.path(), tmp / "list"}, "", nullptr, "/dev/full"};
  EXPECT_EQ(testutil::run(full, tmp), (Result{"", "korlan: cannot write standard output\n", 255}));
}

TEST_F(Korlan, ListThatCannotBeRead) {
  EXPECT_EQ(korlan({tmp.path(), tmp.path()}),
            (Result{kReading, "can't read " + tmp.path() + "\n", 255}));
}

TEST_F(Korlan, ReadErrorAnywhereInTheList) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime must be the first library loaded";
#endif
  // The list breaks off at every byte in turn, inside tokens and between
  // them: each time the run says it could not read the list, never that the
  // list is malformed, and never reaches a summary.
  const std::string list = "5 ./a/bb 6 ./cc/d 7 ./e\n";
  testutil::writeText(tmp / "list", list);
  for (size_t limit = 0; limit <= list.size(); ++limit) {
    const std::vector<std::string> env = {"LD_PRELOAD=" KORLAN_FAULT_SHIM,
                                          "KORLAN_TEST_READ_LIMIT=" + std::to_string(limit)};
    const Result r =
        testutil::run({KORLAN_BIN, {"korlan", tmp / "root", tmp / "list"}, "", &env}, tmp);
    const size_t dots = r.out.size() - std::min(r.out.size(), kReading.size());
    EXPECT_EQ(r,
              (Result{kReading + std::string(dots, '.'), "can't read " + tmp / "list" + "\n", 255}))
        << "read fails after " << limit << " bytes";
  }
}

}  // namespace

namespace {

TEST_F(Korlan, BundledDemoInstallationVerifies) {
  const std::string demo = std::string(KORLAN_SOURCE_DIR) + "/demo";
  EXPECT_EQ(korlan({demo + "/installation", demo + "/packing.lst"}), completed(3, ""));
}

// Without arguments: copies of the program placed three levels below the top
// of trees made here, started in each way a shell may start them.
class NoArguments : public Korlan {
 protected:
  std::string top;

  void SetUp() override { install(top = tmp / "inst"); }
  // Lays out an installation at `at`: the program, a relative link to it
  // in bin/, and a list that names one file too many.
  void install(const std::string& at) {
    const std::string program = at + "/lib/k/bin/korlan";
    testutil::writeText(program, testutil::readText(KORLAN_BIN));
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    std::filesystem::create_directories(at + "/bin");
    ASSERT_EQ(symlink("../lib/k/bin/korlan", (at + "/bin/korlan").c_str()), 0);
    testutil::makeFile(at + "/share/x", 3);
    testutil::writeText(at + "/packing.lst", std::to_string(std::filesystem::file_size(program)) +
                                                 " ./lib/k/bin/korlan 3 ./share/x 1 ./gone\n");
  }
  Result start(const std::string& file, const std::string& argv0, const std::string& path,
               const std::string& cwd, std::function<void()> inChild = nullptr) {
    const std::vector<std::string> env = {"PATH=" + path};
    testutil::Launch launch{file, {argv0}, cwd, &env};
    launch.inChild = std::move(inChild);
    return testutil::run(launch, tmp);
  }
  // The report of a run whose run directory is `runDir`.
  Result report(const std::string& runDir) {
    return completed(3, "\nFile Not Found: " + runDir + "/../../../gone\n", 1, 3);
  }
};

TEST_F(NoArguments, FindsItsInstallation) {
  const std::string program = top + "/lib/k/bin/korlan";
  EXPECT_EQ(start(program, program, "/usr/bin:/bin", tmp.path()), report(top + "/lib/k/bin"));
  EXPECT_EQ(start(program, "lib/k/bin/korlan", "/usr/bin:/bin", top), report(top + "/lib/k/bin"));
  EXPECT_EQ(start(program, "korlan", "/nonexistent:" + top + "/bin", tmp.path()),
            report(top + "/bin/../lib/k/bin"));
  EXPECT_EQ(start(program, "korlan", "", top + "/lib/k/bin"), report(top + "/lib/k/bin"));
}

TEST_F(NoArguments, FailuresBeforeTheRun) {
  const std::string program = top + "/lib/k/bin/korlan";
  EXPECT_EQ(start(program, "korlan", tmp / "nowhere", tmp.path()),
            (Result{"", "initFindRunDirectory() failed\n", 1}));

  const std::string stray = tmp / "stray/a/b/c/korlan";
  testutil::writeText(stray, testutil::readText(KORLAN_BIN));
  ASSERT_EQ(chmod(stray.c_str(), 0755), 0);
  EXPECT_EQ(start(stray, stray, "/usr/bin", tmp.path()),
            (Result{"", "can't open " + tmp / "stray/a/b/c/../../../packing.lst" + "\n", 255}));
}

// Environments a caller may hand Korlan, on purpose or by bad luck: small
// limits, a current directory that is gone, deep paths, a decoy on PATH,
// standard output in non-blocking mode.
class HostileEnvironment : public NoArguments {
 protected:
  std::string program() const { return top + "/lib/k/bin/korlan"; }
};

TEST_F(HostileEnvironment, SmallStack) {
  // As small as the C runtime itself needs: no large buffer on the stack.
  const auto smallStack = [] {
    rlimit limit;
    if (getrlimit(RLIMIT_STACK, &limit) != 0) _exit(126);
    limit.rlim_cur = 32 << 10;
    if (setrlimit(RLIMIT_STACK, &limit) != 0) _exit(126);
  };
  testutil::Launch twoArguments{KORLAN_BIN, {"korlan", top, top + "/packing.lst"}};
  twoArguments.inChild = smallStack;
  EXPECT_EQ(testutil::run(twoArguments, tmp),
            completed(3, "\nFile Not Found: " + top + "/gone\n", 1, 3));
  EXPECT_EQ(start(program(), program(), "/usr/bin", tmp.path(), smallStack),
            report(top + "/lib/k/bin"));
}

TEST_F(HostileEnvironment, MemoryRunsOut) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime needs more address space than the limit";
#endif
  // 20 MB of address space, and a list whose tree needs more: every entry
  // names a directory of its own with a name of 1,000 bytes.
  std::string list;
  const std::string name(990, 'd');
  for (int i = 0; i < 20000; ++i) list += "1 ./" + name + std::to_string(1000000 + i) + "/f\n";
  testutil::writeText(tmp / "list", list);
  testutil::Launch limited{KORLAN_BIN, {"korlan", tmp.path(), tmp / "list"}};
  limited.inChild = [] {
    const rlimit limit = {20000 << 10, 20000 << 10};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
  };
  const Result r = testutil::run(limited, tmp);
  // The last dot stands for the entry that could not be recorded.
  const size_t dots = r.out.size() - kReading.size();
  EXPECT_EQ(
      r, (Result{kReading + std::string(dots, '.'),
                 "korlan: out of memory after reading " + std::to_string(dots - 1) + " entries\n",
                 255}));
  EXPECT_LT(dots, 20000u);
}

TEST_F(HostileEnvironment, ProbeThreadsRunOutOfMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime must be the first library loaded";
#endif
  // Every worker gives up the file it took, after the walk has begun to
  // wait for it: the walk must probe it itself, not wait for ever (the
  // alarm ends a run that hangs).
  // Enough entries that the workers take files while the list is read.
  std::string list;
  for (int i = 0; i < 2000; ++i) list += "0 ./f ";
  testutil::writeText(tmp / "list", list + "1 ./gone");
  testutil::makeFile(tmp / "f", 0);
  const std::vector<std::string> env = {"LD_PRELOAD=" KORLAN_FAULT_SHIM,
                                        "KORLAN_TEST_THREADS_OUT_OF_MEMORY=1"};
  testutil::Launch launch{KORLAN_BIN, {"korlan", tmp.path(), tmp / "list"}, "", &env};
  launch.inChild = [] { alarm(20); };
  EXPECT_EQ(
      testutil::run(launch, tmp),
      completed(2001, std::string(200, '.') + "\nFile Not Found: " + tmp / "gone" + "\n", 1, 2001));
}

TEST_F(HostileEnvironment, DeletedCurrentDirectory) {
  const std::string gone = tmp / "gone";
  const auto fromGone = [&gone] {
    if (mkdir(gone.c_str(), 0700) != 0 || chdir(gone.c_str()) != 0 || rmdir(gone.c_str()) != 0)
      _exit(126);
  };
  // Absolute names need no current directory; a relative PATH element does.
  EXPECT_EQ(start(program(), program(), "/usr/bin", "", fromGone), report(top + "/lib/k/bin"));
  EXPECT_EQ(start(program(), "korlan", top + "/bin", "", fromGone),
            report(top + "/bin/../lib/k/bin"));
  EXPECT_EQ(start(program(), "korlan", ".", "", fromGone),
            (Result{"", "getcwd() failed - errno " + std::to_string(ENOENT) + "\n", 1}));
}

TEST_F(HostileEnvironment, LongPaths) {
  // An installation below a directory of 1,500 bytes, reached by absolute
  // name, through PATH, from its own directory and through a link whose
  // absolute target is that long.
  std::string deep = tmp.path();
  while (deep.size() < 1500) deep += "/" + std::string(200, 'd');
  install(deep);
  const std::string deepProgram = deep + "/lib/k/bin/korlan";
  std::filesystem::create_directories(tmp / "links");
  tmp.link(deepProgram, "links/korlan");

  EXPECT_EQ(start(deepProgram, deepProgram, "/usr/bin", tmp.path()), report(deep + "/lib/k/bin"));
  EXPECT_EQ(start(deepProgram, "korlan", deep + "/bin", tmp.path()),
            report(deep + "/bin/../lib/k/bin"));
  EXPECT_EQ(start(deepProgram, "lib/k/bin/korlan", "/usr/bin", deep), report(deep + "/lib/k/bin"));
  EXPECT_EQ(start(deepProgram, "korlan", tmp / "links", tmp.path()), report(deep + "/lib/k/bin"));
}

TEST_F(HostileEnvironment, DecoyThatTheCallerMayNotExecute) {
  // A complete installation of root's own, its program 0700, earlier on
  // PATH: an unprivileged caller could not have started it.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start another user";
  const std::string decoy = tmp / "decoy";
  install(decoy);
  testutil::writeText(decoy + "/packing.lst", "3 ./share/x\n");
  // What nobody must read or traverse; mkdtemp made the top 0700.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(tmp.path()))
    if (!entry.is_symlink())
      std::filesystem::permissions(
          entry.path(), std::filesystem::perms::others_read | std::filesystem::perms::others_exec,
          std::filesystem::perm_options::add);
  ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod((decoy + "/lib/k/bin/korlan").c_str(), 0700), 0);

  EXPECT_EQ(
      start(program(), "korlan", decoy + "/bin:" + top + "/bin", tmp.path(), testutil::asNobody),
      report(top + "/bin/../lib/k/bin"));
}

TEST_F(HostileEnvironment, NonBlockingStandardOutputReadLate) {
  // A report far larger than a pipe holds, into a pipe whose writing end is
  // non-blocking and whose reader starts late.
  const int kFiles = 3000;
  const std::string name(100, 'n');
  std::string list, walk;
  for (int i = 1; i <= kFiles; ++i) {
    const std::string file = name + std::to_string(i);
    list += "1 ./" + file + "\n";
    if (i % 10 == 0) walk += ".";
    walk += "\nFile Not Found: " + root(file) + "\n";
  }
  testutil::writeText(tmp / "list", list);

  int pipeEnds[2];
  ASSERT_EQ(pipe2(pipeEnds, O_CLOEXEC), 0);
  ASSERT_EQ(fcntl(pipeEnds[1], F_SETFL, O_NONBLOCK), 0);
  std::string piped;
  std::thread reader([&piped, in = pipeEnds[0]] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    char chunk[4096];
    ssize_t n;
    while ((n = read(in, chunk, sizeof chunk)) > 0) piped.append(chunk, n);
  });
  testutil::Launch launch{KORLAN_BIN, {"korlan", tmp / "root", tmp / "list"}};
  launch.inChild = [out = pipeEnds[1]] {
    if (dup2(out, STDOUT_FILENO) < 0) _exit(126);
  };
  Result r = testutil::run(launch, tmp);
  close(pipeEnds[1]);
  reader.join();
  close(pipeEnds[0]);
  r.out = piped;
  EXPECT_EQ(r, completed(kFiles, walk, kFiles, kFiles));
}

TEST_F(Korlan, InstallationVerifiesItself) {
  const std::string prefix = tmp / "prefix";
  Result install = testutil::run(
      {KORLAN_CMAKE, {"cmake", "--install", KORLAN_BUILD_DIR, "--prefix", prefix}}, tmp);
  ASSERT_EQ(install.status, 0) << install;

  const std::vector<std::string> env = {"PATH=" + prefix + "/bin:/usr/bin:/bin"};
  const testutil::Launch launch{prefix + "/bin/korlan", {"korlan"}, tmp.path(), &env};
  EXPECT_EQ(testutil::run(launch, tmp), completed(3, ""));

  const std::string page = prefix + "/share/man/man1/korlan.1";
  const std::string text = testutil::readText(page);
  testutil::writeText(page, text + "\n");
  EXPECT_EQ(testutil::run(launch, tmp),
            completed(3,
                      "\nkorlan.1:\texpected size of " + std::to_string(text.size()) + "; actual " +
                          std::to_string(text.size() + 1) + "\n",
                      1, 3));
}

}  // namespace

namespace {

// The options for scripts, on one tree holding a missing file, two files of
// one name in different directories with wrong sizes, and correct files.
class Options : public Korlan {
 protected:
  void SetUp() override {
    testutil::makeFile(root("ok"), 1);
    testutil::makeFile(root("a/types.h"), 1668);
    testutil::makeFile(root("b/types.h"), 7);
    for (int i = 0; i < 8; ++i) testutil::makeFile(root("c/f" + std::to_string(i)), i);
    std::string list = "1 ./ok 9 ./gone 1669 ./a/types.h 8 ./b/types.h ";
    for (int i = 0; i < 8; ++i) list += std::to_string(i) + " ./c/f" + std::to_string(i) + " ";
    testutil::writeText(tmp / "list", list);
  }
  Result with(std::vector<std::string> options) {
    options.push_back(tmp / "root");
    options.push_back(tmp / "list");
    return korlan(options);
  }
};

TEST_F(Options, EachChangesOnlyWhatItSays) {
  const std::string gone = "File Not Found: " + root("gone") + "\n";
  const std::string a = "types.h:\texpected size of 1669; actual 1668\n";
  const std::string b = "types.h:\texpected size of 8; actual 7\n";
  const std::string summary = "Korlan Failure: 3 out of 12 file comparisons failed\n";
  const Result plain = completed(12, "\n" + gone + "\n" + a + "\n" + b + ".", 3, 12);
  EXPECT_EQ(with({}), plain);
  EXPECT_EQ(with({"--strict"}), (Result{plain.out, "", 2}));

  const std::string fullA = root("a/types.h") + ":\texpected size of 1669; actual 1668\n";
  const std::string fullB = root("b/types.h") + ":\texpected size of 8; actual 7\n";
  EXPECT_EQ(with({"--full-paths"}),
            completed(12, "\n" + gone + "\n" + fullA + "\n" + fullB + ".", 3, 12));

  const Result quiet{gone + a + b + summary, "", 0};
  EXPECT_EQ(with({"-q"}), quiet);
  EXPECT_EQ(with({"--quiet"}), quiet);
  EXPECT_EQ(with({"--quiet", "--full-paths", "--strict"}),
            (Result{gone + fullA + fullB + summary, "", 2}));

  const std::string tsv = "missing\t" + root("gone") + "\t9\t\tNo such file or directory\n" +
                          "size\t" + root("a/types.h") + "\t1669\t1668\t\n" + "size\t" +
                          root("b/types.h") + "\t8\t7\t\n" + "total\t3\t12\n";
  EXPECT_EQ(with({"--tsv"}), (Result{tsv, "", 0}));
  EXPECT_EQ(with({"--tsv", "--strict"}), (Result{tsv, "", 2}));
}

TEST_F(Options, FileBelowADirectoryWithoutSearchPermission) {
  // Found by nobody who may not search the directory: as root the child
  // gives root up first; the owner of a directory of mode 0 is refused too.
  testutil::makeFile(root("locked/secret"), 1);
  testutil::writeText(tmp / "closed", "1 ./locked/secret 1 ./ok");
  ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(root("locked").c_str(), 0), 0);
  const std::string secret = root("locked/secret");
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"--tsv", "--strict"}, std::vector<std::string>{"-q"}}) {
    std::vector<std::string> argv = {"korlan"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(tmp / "root");
    argv.push_back(tmp / "closed");
    testutil::Launch launch{KORLAN_BIN, argv};
    launch.inChild = testutil::asNobody;
    const Result expected =
        options[0] == "--tsv"
            ? Result{"missing\t" + secret + "\t1\t\tPermission denied\ntotal\t1\t2\n", "", 2}
            : Result{"File Not Found: " + secret +
                         "\nKorlan Failure: 1 out of 2 file comparisons failed\n",
                     "", 0};
    EXPECT_EQ(testutil::run(launch, tmp), expected) << options[0];
  }
  ASSERT_EQ(chmod(root("locked").c_str(), 0755), 0);
}

TEST_F(Options, StrictAsksForProof) {
  testutil::writeText(tmp / "empty", "\n");
  testutil::writeText(tmp / "good", "1 ./ok 1 ./c/f1");
  const std::string noFile = "korlan: the packing list names no file\n";
  EXPECT_EQ(korlan({"--strict", tmp / "root", tmp / "empty"}),
            (Result{completed(0, "").out, noFile, 2}));
  EXPECT_EQ(korlan({"--strict", "--tsv", tmp / "root", tmp / "empty"}),
            (Result{"total\t0\t0\n", noFile, 2}));
  EXPECT_EQ(korlan({"--strict", tmp / "root", tmp / "good"}), completed(2, ""));
  // Statuses that were never 0 stay as they were.
  EXPECT_EQ(korlan({"--strict", tmp / "root", tmp / "absent"}),
            (Result{"", "can't open " + tmp / "absent" + "\n", 255}));
}

TEST_F(Options, TsvEscapesPaths) {
  const std::string odd = tmp / "t\tn\nb\\";
  testutil::writeText(tmp / "one", "1 ./x");
  EXPECT_EQ(korlan({"--tsv", odd, tmp / "one"}),
            (Result{"missing\t" + tmp.path() +
                        "/t\\tn\\nb\\\\/x\t1\t\tNo such file or directory\n"
                        "total\t1\t1\n",
                    "", 0}));
}

TEST_F(Options, OperandsAfterDoubleDash) {
  testutil::makeFile(tmp / "-root/x", 1);
  testutil::writeText(tmp / "one", "1 ./x");
  EXPECT_EQ(korlan({"--", "-root", "one"}, tmp.path()), completed(1, ""));
  EXPECT_EQ(korlan({"-q", "--", "-root", "one"}, tmp.path()), (Result{kSucceeded, "", 0}));
}

TEST_F(Options, HelpAndVersion) {
  const Result help = korlan({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("Usage: korlan [OPTION]... ROOT LIST\n", 0), 0u) << help.out;
  for (const char* option : {"--strict", "--full-paths", "--quiet", "--tsv", "--make-list"})
    EXPECT_NE(help.out.find(std::string("korlan ") + option), std::string::npos) << option;
  EXPECT_EQ(korlan({"--version"}), (Result{"korlan 1.0\n", "", 0}));
}

TEST_F(Options, BadCommandLines) {
  const std::string usage = "Korlan [ dirname packing.list]\n";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--bogus", "r", "l"}, "korlan: unknown option --bogus\n"},
      {{"-x", "r", "l"}, "korlan: unknown option -x\n"},
      {{"--strict=yes", "r", "l"}, "korlan: option --strict takes no value\n"},
      {{"--quiet", "-qx", "r", "l"}, "korlan: unknown option -x\n"},
      {{"--strict", "r"}, "korlan: expected ROOT and LIST, or no operand\n"},
      {{"-q", "r", "l", "x"}, "korlan: expected ROOT and LIST, or no operand\n"},
      {{"--make-list"}, "korlan: --make-list takes one operand, ROOT\n"},
      {{"--make-list", "r", "l"}, "korlan: --make-list takes one operand, ROOT\n"},
      {{"--make-list", "--strict", "r"}, "korlan: --make-list takes no other option\n"},
      // Options come before the operands.
      {{"r", "--strict", "l"}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(korlan(c.args), (Result{usage, c.err, 255})) << c.args[0];
}

}  // namespace
