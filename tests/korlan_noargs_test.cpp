// End to end, the form without operands: copies of the program placed three
// levels below the top of trees made here find their installation, in each
// way a shell may start them and in hostile environments.
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

using testutil::completed;
using testutil::Korlan;
using testutil::kReading;
using testutil::Result;

// Without arguments: copies of the program placed three levels below the top
// of trees made here, started in each way a shell may start them.
class NoArguments : public Korlan {
 protected:
  std::string top;

  void SetUp() override {
    if (!testutil::scratch().problem.empty()) GTEST_SKIP() << testutil::scratch().problem;
    install(top = tmp / "inst");
  }
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

// Its own list at the top is never unlisted, nor the link in bin/ to the
// listed program.
TEST_F(NoArguments, LooksForUnlistedFiles) {
  testutil::makeFile(top + "/share/stray", 2);
  const std::string program = top + "/lib/k/bin/korlan", root = top + "/lib/k/bin/../../..";
  const std::vector<std::string> env = {"PATH=/usr/bin"};
  EXPECT_EQ(testutil::run({program, {program, "-q", "--unlisted"}, tmp.path(), &env}, tmp),
            (Result{"File Not Found: " + root + "/gone\nUnlisted: " + root +
                        "/share/stray\nKorlan Failure: 2 out of 4 file comparisons failed\n",
                    "", 0}));
}

// Without an option, what the installation ships at its top: the manifest,
// else the list and its digests, else the list; an option chooses.
TEST_F(NoArguments, ChecksWhatTheInstallationShips) {
  const std::string program = top + "/lib/k/bin/korlan", root = top + "/lib/k/bin/../../..";
  const std::vector<std::string> env = {"PATH=/usr/bin"};
  const auto run = [&](const std::string& option) {
    std::vector<std::string> argv = {program, "-q"};
    if (!option.empty()) argv.push_back(option);
    return testutil::run({program, argv, tmp.path(), &env}, tmp).out;
  };
  const std::string gone = "File Not Found: " + root + "/gone\n";
  const std::string sums = "0000000000000000000000000000000000000000000000000000000000000000";
  testutil::writeText(top + "/packing.sha256", sums + "  ./share/x\n");
  const std::string withSums = gone + "No Checksum: " + root + "/lib/k/bin/korlan\n" +
                               "Checksum Mismatch: " + root +
                               "/share/x\nKorlan Failure: 3 out of 3 file comparisons failed\n";
  EXPECT_EQ(run(""), withSums);
  testutil::writeText(top + "/packing.mtree", "#mtree\n./share/x type=file size=3 mode=0600\n");
  ASSERT_EQ(chmod((top + "/share/x").c_str(), 0644), 0);
  const std::string withManifest = "Mode Mismatch: " + root +
                                   "/share/x: expected 0600; actual 0644\n"
                                   "Korlan Failure: 1 out of 1 file comparisons failed\n";
  EXPECT_EQ(run(""), withManifest);
  EXPECT_EQ(run("--mtree"), withManifest);
  EXPECT_EQ(run("--sums"), withSums);
}

// With --key, the manifest at its top is the one list believed: signed alone, it names the two
// other lists with their digests. Whatever list goes missing, the run never falls back to a
// weaker one: it is refused, or reports the loss.
TEST_F(NoArguments, BelievesOnlyItsSignedManifest) {
  if (access("/usr/bin/minisign", X_OK) != 0) GTEST_SKIP() << "minisign is not installed";
  const std::string minisign = "/usr/bin/minisign", program = top + "/lib/k/bin/korlan";
  const std::vector<std::string> env = {"PATH=/usr/bin"};
  const auto run = [&](std::vector<std::string> argv) {
    return testutil::run({argv[0], argv, tmp.path(), &env}, tmp);
  };
  testutil::makeFile(top + "/share/y", 1);
  ASSERT_EQ(run({minisign, "-G", "-W", "-p", tmp / "k.pub", "-s", tmp / "k.sec"}).status, 0);
  ASSERT_EQ(run({program, "--make-lists", top}), (Result{"", "", 0}));
  for (const char* list : {"packing.lst", "packing.sha256", "packing.mtree"})
    ASSERT_EQ(
        run({minisign, "-S", "-s", tmp / "k.sec", "-m", top + "/" + list, "-t", "k 1.0"}).status,
        0);
  // A setuid bit and a byte that a list of sizes alone cannot see, a file become a link.
  testutil::writeText(top + "/share/x", "abc");
  ASSERT_EQ(chmod((top + "/share/x").c_str(), 04755), 0);
  ASSERT_EQ(unlink((top + "/share/y").c_str()), 0);
  ASSERT_EQ(symlink("x", (top + "/share/y").c_str()), 0);
  const std::string root = top + "/lib/k/bin/../../..";
  const std::string damages = "Mode Mismatch: " + root + "/share/x: expected 0644; actual 04755\n" +
                              "Checksum Mismatch: " + root + "/share/x\n" +
                              "Type Mismatch: " + root + "/share/y: expected file; actual link\n";
  const std::vector<std::string> checked = {program, "-q", "--strict", "--key=" + tmp / "k.pub"};
  EXPECT_EQ(run(checked), (Result{"[Signed: k 1.0]\n" + damages +
                                      "Korlan Failure: 2 out of 12 file comparisons failed\n",
                                  "", 2}));
  struct Loss {
    std::vector<std::string> gone;
    Result result;
  } losses[] = {
      {{"packing.mtree", "packing.mtree.minisig"},
       {"", "can't open " + root + "/packing.mtree\n", 255}},
      {{"packing.mtree.minisig"},
       {"",
        "korlan: " + root + "/packing.mtree: no signature: neither " + root +
            "/packing.mtree.minisig nor " + root + "/packing.mtree.sig exists\n",
        255}},
      {{"packing.sha256", "packing.sha256.minisig"},
       {"[Signed: k 1.0]\n" + damages + "File Not Found: " + root +
            "/packing.sha256\nKorlan Failure: 3 out of 12 file comparisons failed\n",
        "", 2}},
  };
  for (const Loss& loss : losses) {
    const std::string kept = tmp / "kept";
    std::filesystem::create_directories(kept);
    for (const std::string& name : loss.gone)
      std::filesystem::rename(top + "/" + name, kept + "/" + name);
    EXPECT_EQ(run(checked), loss.result) << loss.gone[0];
    for (const std::string& name : loss.gone)
      std::filesystem::rename(kept + "/" + name, top + "/" + name);
  }
}

// A FIFO at a name the installation's lists are found by ends the run at once, refused, with
// or without --key: a job that waits for the status would wait for ever.
TEST_F(NoArguments, ListsFoundByNameAreRegularFiles) {
  const std::string program = top + "/lib/k/bin/korlan", root = top + "/lib/k/bin/../../..";
  const bool keys = access("/usr/bin/minisign", X_OK) == 0;
  if (keys)
    testutil::run(
        {"/usr/bin/minisign", {"minisign", "-G", "-W", "-p", tmp / "k.pub", "-s", tmp / "k.sec"}},
        tmp);
  const std::string notRegular = "\": not a regular file\n";
  struct {
    const char* fifo;
    std::string plain, keyed;  // standard error, without --key and with it
  } cases[] = {
      {"packing.mtree", "korlan: \"" + root + "/packing.mtree" + notRegular,
       "korlan: \"" + root + "/packing.mtree" + notRegular},
      {"packing.sha256", "korlan: \"" + root + "/packing.sha256" + notRegular,
       "can't open " + root + "/packing.mtree\n"},
      {"packing.lst", "korlan: \"" + root + "/packing.lst" + notRegular,
       "can't open " + root + "/packing.mtree\n"},
  };
  for (const auto& c : cases) {
    const std::string at = top + "/" + c.fifo;
    const bool list = std::string(c.fifo) == "packing.lst";
    if (list) {
      ASSERT_EQ(rename(at.c_str(), (tmp / "lst").c_str()), 0);
    }
    ASSERT_EQ(mkfifo(at.c_str(), 0644), 0);
    for (const bool keyed : {false, true}) {
      if (keyed && !keys) continue;
      testutil::Launch launch{program, {program}, tmp.path()};
      if (keyed) launch.argv.push_back("--key=" + tmp / "k.pub");
      launch.inChild = [] { alarm(20); };
      const Result r = testutil::run(launch, tmp);
      EXPECT_EQ(r.err, keyed ? c.keyed : c.plain) << c.fifo;
      EXPECT_EQ(r.status, 255) << c.fifo;
    }
    ASSERT_EQ(unlink(at.c_str()), 0);
    if (list) {
      ASSERT_EQ(rename((tmp / "lst").c_str(), at.c_str()), 0);
    }
  }
  if (!keys) GTEST_SKIP() << "minisign is not installed: no run with --key";
}

// What a setuid bit's mode cannot show: a file capability, an ACL, an extended attribute, the
// immutable and append-only flags. Each added to a file of a self-checking installation, and
// each taken away from one that shipped with it, fails the self-check with one line.
TEST_F(NoArguments, SelfCheckSeesCapabilitiesAclsAttributesAndFlags) {
  if (geteuid() != 0) GTEST_SKIP() << "setting capabilities and flags needs root";
  const std::string program = top + "/lib/k/bin/korlan", root = top + "/lib/k/bin/../../..";
  const std::string x = top + "/share/x";
  const auto sh = [this](const std::string& command) {
    return testutil::run({"/bin/sh", {"sh", "-c", command + " 2>&1"}}, tmp);
  };
  const struct {
    std::string add, remove, line;
  } cases[] = {
      {"setcap cap_setuid+ep", "setcap -r",
       "Xattr Mismatch: " + root +
           "/share/x: expected none; "
           "actual security.capability=cap_setuid=ep"},
      {"setfacl -m u:nobody:rwx", "setfacl -b",
       "Xattr Mismatch: " + root +
           "/share/x: expected none; actual "
           "system.posix_acl_access=u::rw-,u:nobody:rwx,g::r--,m::rwx,o::r--"},
      {"setfattr -n user.x -v 1", "setfattr -x user.x",
       "Xattr Mismatch: " + root + "/share/x: expected none; actual user.x=1"},
      {"chattr +i", "chattr -i",
       "Flags Mismatch: " + root + "/share/x: expected none; actual schg"},
      {"chattr +a", "chattr -a",
       "Flags Mismatch: " + root + "/share/x: expected none; actual sappnd"},
  };
  std::string refused;
  for (const auto& c : cases) {
    const Result applied = sh(c.add + " " + x);
    if (applied.status != 0) {
      refused += c.add + ": " + applied.out;
      continue;
    }
    // Added to a file that shipped without, then shipped with it and taken away.
    for (const bool shipped : {false, true}) {
      if (shipped) {
        ASSERT_EQ(sh(c.add + " " + x).status, 0) << c.add;
        ASSERT_EQ(sh(program + " --make-lists " + top).status, 0);
        ASSERT_EQ(sh(c.remove + " " + x).status, 0) << c.remove;
      } else {
        ASSERT_EQ(sh(c.remove + " " + x).status, 0) << c.remove;
        ASSERT_EQ(sh(program + " --make-lists " + top).status, 0);
        ASSERT_EQ(sh(c.add + " " + x).status, 0) << c.add;
      }
      std::string line = c.line;
      if (shipped) {  // expected and actual change places
        const size_t expected = line.find(": expected ") + 11, actual = line.find("; actual ");
        line = line.substr(0, expected) + line.substr(actual + 9) + "; actual none";
      }
      const Result r = testutil::run({program, {program, "-q"}, tmp.path()}, tmp);
      // (An ACL's mask shows in the mode's group bits too.)
      EXPECT_EQ(r.out.substr(r.out.find(line)),
                line + "\nKorlan Failure: 1 out of 11 file comparisons failed\n")
          << c.add << r.out;
      sh(c.remove + " " + x);
    }
  }
  if (!refused.empty()) GTEST_SKIP() << "the file system refused: " << refused;
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
  // AddressSanitizer's redzones make a frame several times larger (some
  // of ours pass 6 KiB under it): there the bound is four times as high.
#if defined(__SANITIZE_ADDRESS__)
  const rlim_t kStack = 128 << 10;
#else
  const rlim_t kStack = 32 << 10;
#endif
  const auto smallStack = [kStack] {
    rlimit limit;
    if (getrlimit(RLIMIT_STACK, &limit) != 0) _exit(126);
    limit.rlim_cur = kStack;
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
  if (!testutil::scratch().problem.empty()) GTEST_SKIP() << testutil::scratch().problem;
  const std::string prefix = tmp / "prefix";
  Result install = testutil::run(
      {KORLAN_CMAKE, {"cmake", "--install", KORLAN_BUILD_DIR, "--prefix", prefix}}, tmp);
  ASSERT_EQ(install.status, 0) << install;

  const std::vector<std::string> env = {"PATH=" + prefix + "/bin:/usr/bin:/bin"};
  const testutil::Launch launch{prefix + "/bin/korlan", {"korlan"}, tmp.path(), &env};
  // packing.mtree: the program, its link, the manual page, the six files of the CMake package,
  // the ten directories on their way and the two other lists.
  EXPECT_EQ(testutil::run(launch, tmp), completed(21, ".."));

  const std::string page = prefix + "/share/man/man1/korlan.1";
  std::string text = testutil::readText(page);
  // Its contents too: one byte changed, the size kept.
  const testutil::Launch sums{prefix + "/bin/korlan", {"korlan", "--sums"}, tmp.path(), &env};
  EXPECT_EQ(testutil::run(sums, tmp), completed(9, ""));
  text[0] ^= 1;
  testutil::writeText(page, text);
  EXPECT_EQ(testutil::run(sums, tmp),
            completed(9,
                      "\nChecksum Mismatch: " + prefix +
                          "/bin/../lib/korlan/bin/../../../share/man/man1/korlan.1\n",
                      1, 9));
  testutil::writeText(page, text + "\n");
  EXPECT_EQ(testutil::run(launch, tmp),
            completed(21,
                      ".\n" + prefix + "/bin/../lib/korlan/bin/../../../share/man/man1/" +
                          "korlan.1:\texpected size of " + std::to_string(text.size()) +
                          "; actual " + std::to_string(text.size() + 1) + "\n.",
                      1, 21));
}

}  // namespace
