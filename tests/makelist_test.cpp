// korlan --make-list ROOT, end to end: the built program on trees made here,
// its standard output, standard error and exit status compared exactly, and
// every list it writes read back by `korlan ROOT LIST`.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "packlist.h"
#include "test_util.h"

namespace {

using testutil::Result;

class MakeList : public ::testing::Test {
 protected:
  testutil::TempDir tmp;

  std::string root(const std::string& rel) { return tmp / ("root/" + rel); }
  void file(const std::string& rel, long long size) { testutil::makeFile(root(rel), size); }
  void dir(const std::string& rel) { std::filesystem::create_directories(root(rel)); }

  Result makeList(const std::string& rootArg, std::function<void()> inChild = nullptr,
                  const char* action = "--make-list", const std::string& to = "") {
    // A step in the child gives root up: a copy, that nobody reaches, runs.
    const std::string program = inChild ? testutil::programCopy(tmp) : KORLAN_BIN;
    testutil::Launch l{program, {"korlan", action, rootArg}, "", nullptr, to};
    l.inChild = std::move(inChild);
    return testutil::run(l, tmp);
  }
  // Reads `list` back against the tree: what `korlan ROOT LIST` reports.
  Result verify(const std::string& list) {
    testutil::writeText(tmp / "written.lst", list);
    return testutil::run({KORLAN_BIN, {"korlan", tmp / "root", tmp / "written.lst"}}, tmp);
  }
  // The report of a verification of `entries` entries that all match.
  static Result succeeded(size_t entries) {
    return {"[reading packing.lst]\n" + std::string(entries, '.') +
                "\n[Walking directory tree and comparing files]\n" +
                std::string(entries / 10, '.') +
                "\nKorlan Succeeded: all file comparisons correct\n",
            "", 0};
  }
  static size_t lines(const std::string& s) {
    size_t n = 0;
    for (char c : s) n += c == '\n';
    return n;
  }
};

// Everything a tree may hold, listed in verification order: files before
// sub-directories, both sorted as bytes, links to files with their target's
// size, and nothing else. The chain is deeper than the walk keeps
// directories open, so the way back up goes through "..".
TEST_F(MakeList, ListsATreeInVerificationOrder) {
  file("z", 1);
  file("B", 2);
  file("a", 3);
  file("\xc3\xa1", 4);
  file("packing.lst", 5);
  file("packing.sha256", 5);
  tmp.link("packing.sha256", "root/latest.sha256");
  file("sub/f", 6);
  file("sub/B/g", 7);
  file("sub/a/h", 8);
  file("Sub/i", 9);
  dir("empty");
  ASSERT_EQ(mkfifo(root("fifo").c_str(), 0644), 0);
  tmp.link("sub/f", "root/lnk");
  tmp.link("sub", "root/dlink");
  tmp.link("nowhere", "root/dangling");
  tmp.link("loop", "root/loop");
  tmp.link("packing.lst", "root/latest.lst");  // the list under another name
  std::string wide;
  for (int i = 0; i < 150; ++i) {
    const std::string name = "w" + std::to_string(1000 + i);
    file("wide/" + name, i);
    wide += std::to_string(i) + " ./wide/" + name + "\n";
  }
  // chain/d/d/.../d, 70 levels, with e/x beside the next d at levels 1, 5
  // and 70: each e comes after the d below its level has been walked.
  std::string chain = "chain", deep;
  for (int level = 1; level <= 70; ++level) {
    chain += "/d";
    if (level == 1 || level == 5 || level == 70) {
      file(chain + "/e/x", level);
      deep = std::to_string(level) + " ./" + chain + "/e/x\n" + deep;
    }
  }
  file(chain + "/f", 70);
  deep = "70 ./" + chain + "/f\n" + deep;

  // The kept lists are left out at their own paths only: under another
  // name they are files like any other.
  const std::string list =
      "2 ./B\n3 ./a\n5 ./latest.lst\n5 ./latest.sha256\n6 ./lnk\n1 ./z\n4 ./\xc3\xa1\n"
      "9 ./Sub/i\n" +
      deep + "6 ./sub/f\n7 ./sub/B/g\n8 ./sub/a/h\n" + wide;
  const Result made = makeList(tmp / "root");
  EXPECT_EQ(made, (Result{list,
                          "korlan: skipped link \"" + root("dangling") +
                              "\": No such file or directory\n" + "korlan: skipped link \"" +
                              root("loop") + "\": Too many levels of symbolic links\n",
                          0}));
  // Paths below ROOT are ROOT, "/" and the path, as verification forms
  // them: ROOT given with its "/" shows it.
  Result slashed = made;
  for (size_t at = 0; (at = slashed.err.find("root/", at)) != std::string::npos; at += 6)
    slashed.err.replace(at, 5, "root//");
  EXPECT_EQ(makeList(tmp / "root/"), slashed);
  EXPECT_EQ(verify(made.out), succeeded(lines(list)));
  // Under a low descriptor limit the walk keeps fewer levels open, and it
  // counts those the program inherits.
  EXPECT_EQ(makeList(tmp / "root",
                     [] {
                       const rlimit low = {16, 16};
                       if (setrlimit(RLIMIT_NOFILE, &low) != 0) _exit(126);
                     }),
            made);
  testutil::Launch crowded{KORLAN_BIN, {"korlan", "--make-list", tmp / "root"}};
  crowded.inherited = 24;
  crowded.inChild = [] {
    const rlimit low = {40, 40};
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) _exit(126);
  };
  EXPECT_EQ(testutil::run(crowded, tmp), made);
}

// Only the list file itself is left out: a directory named like it is
// listed like any other.
TEST_F(MakeList, ADirectoryNamedLikeTheListIsListed) {
  file("packing.lst/f", 1);
  file("packing.lst/packing.lst", 2);
  EXPECT_EQ(makeList(tmp / "root"),
            (Result{"1 ./packing.lst/f\n2 ./packing.lst/packing.lst\n", "", 0}));
}

// Names the format cannot hold are named on standard error, never written
// nor cut; a directory so named is reported once and its subtree skipped.
// The rest is still listed, and still verifies. Messages follow the walk.
TEST_F(MakeList, NamesWithWhiteSpaceAreReportedNotListed) {
  file("a b", 1);
  file("tab\there", 2);
  file("line\nend", 3);
  file("ok", 4);
  file("dir with space/inner", 5);
  file("sub/trailing ", 6);
  file("sub/fine", 7);
  tmp.link("ok", "root/link to ok");
  ASSERT_EQ(mkfifo(root("fifo space").c_str(), 0644), 0);

  const std::string why = "\": name holds white space\n";
  const Result made = makeList(tmp / "root");
  EXPECT_EQ(made,
            (Result{"4 ./ok\n7 ./sub/fine\n",
                    "korlan: cannot list \"" + root("a b") + why + "korlan: cannot list \"" +
                        root("dir with space") + why + "korlan: cannot list \"" +
                        root("line\\nend") + why + "korlan: cannot list \"" + root("link to ok") +
                        why + "korlan: cannot list \"" + root("tab\\there") + why +
                        "korlan: cannot list \"" + root("sub/trailing ") + why,
                    255}));
  EXPECT_EQ(verify(made.out), succeeded(2));
}

TEST_F(MakeList, RootThatIsNoDirectory) {
  file("plain", 1);
  EXPECT_EQ(makeList(root("plain")),
            (Result{"", "korlan: cannot list \"" + root("plain") + "\": Not a directory\n", 255}));
  EXPECT_EQ(
      makeList(root("absent")),
      (Result{"", "korlan: cannot list \"" + root("absent") + "\": No such file or directory\n",
              255}));
}

// Directories the lister may not read. Run as an unprivileged user: as root,
// the child gives up root before it starts the program.
TEST_F(MakeList, UnreadableDirectoriesAreReported) {
  if (!testutil::scratch().problem.empty()) GTEST_SKIP() << testutil::scratch().problem;
  file("before/f", 1);
  file("locked/hidden", 2);
  file("nosearch/unseen", 3);
  dir("nosearch/below");
  file("open/g", 4);
  tmp.link("../locked/hidden", "root/open/cfg");  // names a file, unreachable
  ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
  for (const char* d : {"", "before", "open", "nosearch/below"})
    ASSERT_EQ(chmod(root(d).c_str(), 0755), 0);
  ASSERT_EQ(chmod(root("locked").c_str(), 0), 0);
  ASSERT_EQ(chmod(root("nosearch").c_str(), 0644), 0);

  const Result made = makeList(tmp / "root", testutil::asNobody);
  const std::string denied = "\": Permission denied\n";
  EXPECT_EQ(made, (Result{"1 ./before/f\n4 ./open/g\n",
                          "korlan: cannot list \"" + root("locked") + denied +
                              "korlan: cannot list \"" + root("nosearch/unseen") + denied +
                              "korlan: cannot list \"" + root("nosearch/below") + denied +
                              "korlan: cannot list \"" + root("open/cfg") + denied,
                          255}));
  EXPECT_EQ(verify(made.out), succeeded(2));
  // One rule in every maker: the link that cannot be followed fails each that lists files by
  // what links lead to; a manifest names it as a link.
  for (const char* maker : {"--make-sums", "--make-mtree", "--make-lists"}) {
    const Result r = makeList(tmp / "root", testutil::asNobody, maker);
    EXPECT_EQ(r.status, 255) << maker;
    EXPECT_EQ(r.err.find("cannot list \"" + root("open/cfg") + denied) != std::string::npos,
              std::string(maker) != "--make-mtree")
        << maker << r.err;
  }
  // With one level open the walk climbs back by "..", which "nosearch"
  // refuses (it may be listed, not searched): the rest of the tree follows.
  EXPECT_EQ(makeList(tmp / "root",
                     [] {
                       const rlimit low = {8, 8};
                       if (setrlimit(RLIMIT_NOFILE, &low) != 0) _exit(126);
                       testutil::asNobody();
                     }),
            made);
  ASSERT_EQ(chmod(root("locked").c_str(), 0755), 0);
  ASSERT_EQ(chmod(root("nosearch").c_str(), 0755), 0);
}

// Paths that verification could not look up, being longer than the system
// allows, are named and left out; so the list still verifies.
TEST_F(MakeList, PathsBeyondTheSystemLimit) {
  file("short", 1);
  std::string deep = root("");
  for (int i = 0; i < 19; ++i) {
    deep += std::string(200, 'd') + "/";
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  // The last directory and its file lie past the limit: they are made, and
  // removed, relative to the directory above them.
  testutil::ChangeDir in(deep);
  const std::string last(250, 'e');
  ASSERT_EQ(mkdir(last.c_str(), 0755), 0);
  testutil::makeFile(last + "/f", 2);
  const Result made = makeList(tmp / "root");
  EXPECT_EQ(made, (Result{"1 ./short\n",
                          "korlan: cannot list \"" + deep + last +
                              "/f\": path longer than the system allows (PATH_MAX)\n",
                          255}));
  EXPECT_EQ(verify(made.out), succeeded(1));
  EXPECT_EQ(unlink((last + "/f").c_str()), 0);
  EXPECT_EQ(rmdir(last.c_str()), 0);
}

// A file directly below ROOT: ROOT, "/" and its name, with the NUL, fit in
// PATH_MAX up to 4,095 bytes.
TEST_F(MakeList, FileBelowALongRoot) {
  const std::string name(255, 'n');
  for (const size_t rootLength : {size_t{3839}, size_t{3840}}) {
    std::string top = tmp / "r" + std::to_string(rootLength);
    ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
    // Components of 150 bytes, then one of what is left: never 0 bytes.
    for (size_t left; (left = rootLength - top.size()) > 0;) {
      top += "/" + std::string(left > 201 ? 150 : left - 1, 'd');
      ASSERT_EQ(mkdir(top.c_str(), 0755), 0);
    }
    {
      testutil::ChangeDir in(top);  // ROOT/NAME may be past the limit
      std::ofstream(name) << "abc";
    }
    const Result expected = rootLength == 3839
                                ? Result{"3 ./" + name + "\n", "", 0}
                                : Result{"",
                                         "korlan: cannot list \"" + top + "/" + name +
                                             "\": path longer than the system allows (PATH_MAX)\n",
                                         255};
    EXPECT_EQ(makeList(top), expected);
  }
}

// No file system here holds a component over 1023 bytes (their limit is far
// lower), so the length rule is checked on the name test alone.
TEST(UnlistableName, WhiteSpaceAndLength) {
  const std::string longest(1023, 'n'), tooLong(1024, 'n');
  struct {
    std::string name;
    const char* why;
  } cases[] = {
      {"plain.txt", nullptr},
      {"\xc3\xa1-\x01\x7f", nullptr},
      {longest, nullptr},
      {tooLong, "name longer than 1023 bytes"},
      {"a b", "name holds white space"},
      {"\tx", "name holds white space"},
      {"x\n", "name holds white space"},
      {"x\v", "name holds white space"},
      {"x\f", "name holds white space"},
      {"x\r", "name holds white space"},
      {tooLong + " ", "name holds white space"},
  };
  for (const auto& c : cases) {
    const char* why = unlistableName(c.name.c_str(), c.name.size());
    EXPECT_STREQ(why, c.why) << c.name.substr(0, 20);
  }
}

// --make-sums writes what sha256sum writes for the files --make-list lists,
// in the same order; both leave out the file their output goes to, and a
// file that cannot be read is named, not written.
TEST_F(MakeList, SumsAreWhatSha256sumWritesForTheListedFiles) {
  testutil::writeText(root("a"), "abc");
  testutil::writeText(root("back\\slash"), "\\");
  file("sub/b", 70000);
  file("packing.sha256", 1);
  tmp.link("a", "root/link");
  const Result list = makeList(tmp / "root");
  ASSERT_EQ(list.status, 0) << list;
  EXPECT_EQ(makeList(tmp / "root", nullptr, "--make-list", root("MANIFEST")), (Result{"", "", 0}));
  EXPECT_EQ(testutil::readText(root("MANIFEST")), list.out);
  EXPECT_EQ(makeList(tmp / "root", nullptr, "--make-sums", root("MANIFEST")), (Result{"", "", 0}));
  const std::string sums = testutil::readText(root("MANIFEST"));
  // The same paths, in the same order.
  std::istringstream listed(list.out), summed(sums);
  std::string entry, line;
  while (std::getline(listed, entry) && std::getline(summed, line)) {
    std::string path = line.substr(line.find("  ./") + 2);
    if (line[0] == '\\') path.erase(path.find('\\'), 1);
    EXPECT_EQ(path, entry.substr(entry.find(' ') + 1)) << line;
  }
  EXPECT_EQ(lines(sums), lines(list.out));
  // A name with a backslash: the line marked, the backslash doubled.
  EXPECT_NE(sums.find("\\a9253dc8529dd214e5f22397888e78d3390daa47593e26f68c18f97fd7a3876b"
                      "  ./back\\\\slash\n"),
            std::string::npos)
      << sums;
  if (access("/usr/bin/sha256sum", X_OK) != 0)
    GTEST_SKIP() << "no /usr/bin/sha256sum to check with";
  EXPECT_EQ(
      testutil::run(
          {"/usr/bin/sha256sum", {"sha256sum", "-c", "--strict", "--quiet", "MANIFEST"}, root("")},
          tmp),
      (Result{"", "", 0}));

  if (!testutil::scratch().problem.empty()) GTEST_SKIP() << testutil::scratch().problem;
  ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(root("a").c_str(), 0), 0);
  ASSERT_EQ(chmod(root("MANIFEST").c_str(), 0644), 0);
  const Result unreadable = makeList(tmp / "root", testutil::asNobody, "--make-sums");
  EXPECT_EQ(unreadable.err, "korlan: cannot read \"" + root("a") +
                                "\": Permission denied\n"
                                "korlan: cannot read \"" +
                                root("link") + "\": Permission denied\n");
  EXPECT_EQ(unreadable.status, 255);
  EXPECT_EQ(lines(unreadable.out), lines(sums) - 1);  // MANIFEST in, a and link out
  EXPECT_NE(unreadable.out.find("  ./MANIFEST\n"), std::string::npos);
}

// --make-lists writes the three lists at the top from one walk: each
// verifies the tree; a name the packing list cannot hold is left out of it
// alone; --files-from lists the paths it names and the directories on the
// way, and says each one it does not meet; a run that fails, at the walk or
// at the last list's place, leaves the three lists that were there.
TEST_F(MakeList, TheThreeListsAtTheTop) {
  file("bin/tool", 7);
  testutil::writeText(root("share/two words"), "x");
  file("share/doc/README", 3);
  tmp.link("../bin/tool", "root/share/tool.lnk");
  // Short names, a path past a token's length: the list holds it.
  std::string deep;
  for (int level = 0; level < 6; ++level) deep += std::string(200, 'x') + "/";
  file(deep + "f", 1);
  const Result made = makeList(tmp / "root", nullptr, "--make-lists");
  EXPECT_EQ(made, (Result{"",
                          "korlan: left out of packing.lst: \"" + root("share/two words") +
                              "\": name holds white space\n",
                          0}));
  const std::string whole =
      "7 ./bin/tool\n7 ./share/tool.lnk\n3 ./share/doc/README\n1 ./" + deep + "f\n";
  EXPECT_EQ(testutil::readText(root("packing.lst")), whole);
  // Standard error closed: its warning goes nowhere, and not into a list.
  testutil::Launch noErr{KORLAN_BIN, {"korlan", "--make-lists", root("")}};
  noErr.inChild = [] { close(2); };
  EXPECT_EQ(testutil::run(noErr, tmp).status, 0);
  EXPECT_EQ(testutil::readText(root("packing.lst")), whole);
  for (const char* options : {"--sums", "--mtree"}) {
    const std::string list = root(options[2] == 's' ? "packing.lst" : "packing.mtree");
    const Result r = testutil::run(
        {KORLAN_BIN, {"korlan", "-q", "--strict", "--unlisted", options, root(""), list}}, tmp);
    EXPECT_EQ(r.status, options[2] == 's' ? 2 : 0) << options << r.out;  // "two words"
  }
  testutil::writeText(tmp / "only", "./bin/tool\nshare/doc/README\n");
  EXPECT_EQ(
      testutil::run(
          {KORLAN_BIN, {"korlan", "--make-lists", "--files-from=" + tmp / "only", root("")}}, tmp),
      (Result{"", "", 0}));
  const std::string manifest = testutil::readText(root("packing.mtree"));
  // "#mtree", then ., bin, bin/tool, share, share/doc, share/doc/README, and
  // the two other lists.
  EXPECT_EQ(lines(manifest), 9u) << manifest;
  EXPECT_EQ(manifest.find("tool.lnk"), std::string::npos) << manifest;
  EXPECT_EQ(testutil::readText(root("packing.lst")), "7 ./bin/tool\n3 ./share/doc/README\n");
  testutil::writeText(tmp / "only", "gone\n");
  const Result failed = testutil::run(
      {KORLAN_BIN, {"korlan", "--make-lists", "--files-from=" + tmp / "nowhere", root("")}}, tmp);
  EXPECT_EQ(failed.status, 255);
  const std::string kept = "7 ./bin/tool\n3 ./share/doc/README\n";
  EXPECT_EQ(testutil::readText(root("packing.lst")), kept);
  const std::string sums = testutil::readText(root("packing.sha256"));
  const auto refused = [&](const std::string& only, const std::string& err,
                           std::function<void()> inChild = nullptr) {
    testutil::writeText(tmp / "only", only);
    testutil::Launch l{inChild ? testutil::programCopy(tmp) : KORLAN_BIN,
                       {"korlan", "--make-lists", "--files-from=" + tmp / "only", root("")}};
    l.inChild = std::move(inChild);
    EXPECT_EQ(testutil::run(l, tmp), (Result{"", err, 255})) << only;
    EXPECT_EQ(testutil::readText(root("packing.lst")), kept) << only;
    EXPECT_EQ(testutil::readText(root("packing.sha256")), sums) << only;
  };
  refused("bin/tool\ngone\n", "korlan: cannot list \"" + root("/gone") + "\": not in the tree\n");
  refused("bin/tool\nbin/../../x\n",
          "korlan: cannot list \"" + root("/bin/../../x") + "\": not a path below the top\n");
  refused("/etc/passwd\n",
          "korlan: cannot list \"" + root("//etc/passwd") + "\": not a path below the top\n");
  const std::string mtree = root("packing.mtree");
  std::filesystem::rename(mtree, tmp / "packing.mtree");
  std::filesystem::create_directory(mtree);
  refused("bin/tool\n",
          "korlan: cannot write \"" + root("/packing.mtree") + "\": Is a directory\n");
  std::filesystem::remove(mtree);
  std::filesystem::rename(tmp / "packing.mtree", mtree);
  // The last list cannot take its place: in a sticky directory, another
  // owner's manifest. The two placed before it go back.
  if (geteuid() != 0) GTEST_SKIP() << "giving the lists to two owners needs root";
  for (const char* mine : {"packing.lst", "packing.sha256"})
    ASSERT_EQ(chown(root(mine).c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(root("").c_str(), 01777), 0);
  refused("bin/tool\n",
          "korlan: cannot write \"" + root("/packing.mtree") + "\": Operation not permitted\n",
          testutil::asNobody);
  size_t entries = 0;
  for (auto it = std::filesystem::directory_iterator(root("")); it != decltype(it)(); ++it)
    ++entries;
  EXPECT_EQ(entries, 6u);  // bin, share, xxx... and the three lists: no new list left
}

}  // namespace

// A copy of a real /etc, with a link into /proc whose file grows as it is read: every maker
// succeeds on it, and it verifies against each list.
TEST_F(MakeList, EveryMakerSucceedsOnACopyOfEtc) {
  if (geteuid() != 0) GTEST_SKIP() << "the copy of /etc is read whole as root";
  const std::string etc = tmp / "etc";
  ASSERT_EQ(testutil::run({"/bin/cp", {"cp", "-a", "/etc", etc}}, tmp).status, 0);
  unlink((etc + "/mounts").c_str());
  tmp.link("/proc/mounts", "etc/mounts");
  std::string lists;
  for (const char* maker : {"--make-list", "--make-sums", "--make-mtree"}) {
    const Result r = testutil::run({KORLAN_BIN, {"korlan", maker, etc}}, tmp);
    EXPECT_EQ(r.status, 0) << maker << r.err;
    testutil::writeText(tmp / maker, r.out);
  }
  EXPECT_EQ(testutil::run({KORLAN_BIN, {"korlan", "--make-lists", etc}}, tmp).status, 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{etc, tmp / "--make-list"},
        {"--sums=" + tmp / "--make-sums", etc, tmp / "--make-list"},
        {"--mtree", etc, tmp / "--make-mtree"},
        {"--mtree", etc, etc + "/packing.mtree"},
        {"--sums", etc, etc + "/packing.lst"}}) {
    std::vector<std::string> argv = {"korlan", "-q", "--strict", "--unlisted"};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(testutil::run({KORLAN_BIN, argv}, tmp),
              (Result{"Korlan Succeeded: all file comparisons correct\n", "", 0}))
        << args[0];
  }
}
