// End to end: the built program on trees made here, its standard output,
// standard error and exit status compared exactly.
#include <fcntl.h>
#include <grp.h>
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
Result completed(size_t entries, const std::string& walk, int failed = 0,
                 int files = 0) {
  const std::string summary =
      failed == 0 ? kSucceeded
                  : "Korlan Failure: " + std::to_string(failed) + " out of " +
                        std::to_string(files) + " file comparisons failed\n";
  return {kReading + std::string(entries, '.') + "\n" + kWalking + walk + "\n" + summary,
          "", 0};
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
  for (int i = 0; i < 10; ++i)
    testutil::makeFile(root("d/f" + std::to_string(i)), i);
  testutil::makeFile(root("bin/ls"), 180);
  std::string list = "200 ./bin/ls 0 ./gone ";
  for (int i = 0; i < 10; ++i) list += std::to_string(i) + " ./d/f" + std::to_string(i) + " ";
  list += "1 ./d/gone 5 ./bin/ls";
  // Walk order: top files (gone), then bin (ls, ls), then d (f0..f9, gone).
  // The tenth file, d/f6, writes the dot; the report after it starts a line.
  EXPECT_EQ(verify(list),
            completed(14,
                      "\nFile Not Found: " + root("gone") + "\n" +
                          "\nls:\texpected size of 200; actual 180\n" +
                          "\nls:\texpected size of 5; actual 180\n" + "." +
                          "\nFile Not Found: " + root("d/gone") + "\n",
                      4, 14));
}

TEST_F(Korlan, SizesBeyondThirtyTwoBits) {
  testutil::makeFile(root("big"), 3221225472LL);
  EXPECT_EQ(verify("3221225472 ./big"),
            completed(1, ""));
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
  EXPECT_EQ(korlan({"../root", "rel.lst"}, tmp / "cwd"),
            completed(1, ""));
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
      {"path cut short", "1 ./a 12 ./lib/", "..",
       "Expected file name: actually EOF\n"},
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

TEST_F(Korlan, EndlessInputEndsAtOnce) {
  EXPECT_EQ(korlan({tmp.path(), "/dev/zero"}),
            (Result{kReading,
                    "packing list holds a token that is too long: " +
                        std::string(40, '\0') + "...\n",
                    255}));
}

TEST_F(Korlan, ReportThatCannotBeWritten) {
  testutil::writeText(tmp / "list", "1 ./x");
  testutil::Launch full{KORLAN_BIN, {"korlan", tmp.path(), tmp / "list"}, "", nullptr,
                        "/dev/full"};
  EXPECT_EQ(testutil::run(full, tmp),
            (Result{"", "korlan: cannot write standard output\n", 255}));
}

TEST_F(Korlan, ListThatCannotBeRead) {
  EXPECT_EQ(korlan({tmp.path(), tmp.path()}),
            (Result{kReading, "can't read " + tmp.path() + "\n", 255}));
}

}  // namespace

namespace {

TEST_F(Korlan, BundledDemoInstallationVerifies) {
  const std::string demo = std::string(KORLAN_SOURCE_DIR) + "/demo";
  EXPECT_EQ(korlan({demo + "/installation", demo + "/packing.lst"}),
            completed(3, ""));
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
    testutil::writeText(at + "/packing.lst",
                        std::to_string(std::filesystem::file_size(program)) +
                            " ./lib/k/bin/korlan 3 ./share/x 1 ./gone\n");
  }
  Result start(const std::string& file, const std::string& argv0,
               const std::string& path, const std::string& cwd,
               std::function<void()> inChild = nullptr) {
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
  EXPECT_EQ(start(program, program, "/usr/bin:/bin", tmp.path()),
            report(top + "/lib/k/bin"));
  EXPECT_EQ(start(program, "lib/k/bin/korlan", "/usr/bin:/bin", top),
            report(top + "/lib/k/bin"));
  EXPECT_EQ(start(program, "korlan", "/nonexistent:" + top + "/bin", tmp.path()),
            report(top + "/bin/../lib/k/bin"));
  EXPECT_EQ(start(program, "korlan", "", top + "/lib/k/bin"),
            report(top + "/lib/k/bin"));
}

TEST_F(NoArguments, FailuresBeforeTheRun) {
  const std::string program = top + "/lib/k/bin/korlan";
  EXPECT_EQ(start(program, "korlan", tmp / "nowhere", tmp.path()),
            (Result{"", "initFindRunDirectory() failed\n", 1}));

  const std::string stray = tmp / "stray/a/b/c/korlan";
  testutil::writeText(stray, testutil::readText(KORLAN_BIN));
  ASSERT_EQ(chmod(stray.c_str(), 0755), 0);
  EXPECT_EQ(start(stray, stray, "/usr/bin", tmp.path()),
            (Result{"",
                    "can't open " + tmp / "stray/a/b/c/../../../packing.lst" + "\n",
                    255}));
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

TEST_F(HostileEnvironment, DeletedCurrentDirectory) {
  const std::string gone = tmp / "gone";
  const auto fromGone = [&gone] {
    if (mkdir(gone.c_str(), 0700) != 0 || chdir(gone.c_str()) != 0 ||
        rmdir(gone.c_str()) != 0)
      _exit(126);
  };
  // Absolute names need no current directory; a relative PATH element does.
  EXPECT_EQ(start(program(), program(), "/usr/bin", "", fromGone),
            report(top + "/lib/k/bin"));
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

  EXPECT_EQ(start(deepProgram, deepProgram, "/usr/bin", tmp.path()),
            report(deep + "/lib/k/bin"));
  EXPECT_EQ(start(deepProgram, "korlan", deep + "/bin", tmp.path()),
            report(deep + "/bin/../lib/k/bin"));
  EXPECT_EQ(start(deepProgram, "lib/k/bin/korlan", "/usr/bin", deep),
            report(deep + "/lib/k/bin"));
  EXPECT_EQ(start(deepProgram, "korlan", tmp / "links", tmp.path()),
            report(deep + "/lib/k/bin"));
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
      std::filesystem::permissions(entry.path(),
                                   std::filesystem::perms::others_read |
                                       std::filesystem::perms::others_exec,
                                   std::filesystem::perm_options::add);
  ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod((decoy + "/lib/k/bin/korlan").c_str(), 0700), 0);

  const auto asNobody = [] {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
      _exit(126);
  };
  EXPECT_EQ(start(program(), "korlan", decoy + "/bin:" + top + "/bin", tmp.path(),
                  asNobody),
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
      {KORLAN_CMAKE, {"cmake", "--install", KORLAN_BUILD_DIR, "--prefix", prefix}},
      tmp);
  ASSERT_EQ(install.status, 0) << install;

  const std::vector<std::string> env = {"PATH=" + prefix + "/bin:/usr/bin:/bin"};
  const testutil::Launch launch{prefix + "/bin/korlan", {"korlan"}, tmp.path(), &env};
  EXPECT_EQ(testutil::run(launch, tmp),
            completed(3, ""));

  const std::string page = prefix + "/share/man/man1/korlan.1";
  const std::string text = testutil::readText(page);
  testutil::writeText(page, text + "\n");
  EXPECT_EQ(testutil::run(launch, tmp),
            completed(3,
                      "\nkorlan.1:\texpected size of " + std::to_string(text.size()) +
                          "; actual " + std::to_string(text.size() + 1) + "\n",
                      1, 3));
}

}  // namespace
