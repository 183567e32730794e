// End to end, the options for scripts: what each changes in the report and
// the exit status, and the command lines refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using testutil::completed;
using testutil::Korlan;
using testutil::kSucceeded;
using testutil::Result;

// The options for scripts, on one tree holding a missing file, two files of
// one name in different directories with wrong sizes, and correct files.
class ScriptOptions : public Korlan {
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

TEST_F(ScriptOptions, EachChangesOnlyWhatItSays) {
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

TEST_F(ScriptOptions, FileBelowADirectoryWithoutSearchPermission) {
  // Found by nobody who may not search the directory: as root the child
  // gives root up first; the owner of a directory of mode 0 is refused too.
  if (!testutil::scratch().problem.empty()) GTEST_SKIP() << testutil::scratch().problem;
  const std::string program = testutil::programCopy(tmp);
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
    testutil::Launch launch{program, argv};
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

// --unlisted on one tree, the list and the sums file beside it inside ROOT.
// Run as nobody, so that the locked directory cannot be read whoever runs
// the tests; as root, the child gives root up first.
class Unlisted : public Korlan {
 protected:
  void SetUp() override {
    if (!testutil::scratch().problem.empty()) GTEST_SKIP() << testutil::scratch().problem;
    program = testutil::programCopy(tmp);
    for (const char* rel : {"ok", "lib/x", "lib/y", "bin/tool", "deep/a/b/listed", "deep/a/b/core",
                            "old/f1", "old/sub/f2", "a b", "stray", "locked/f"})
      testutil::makeFile(root(rel), strlen(rel));
    testutil::writeText(root("etc/packing.sha256"), "");
    testutil::writeText(root("etc/app.lst"),
                        "2 ./ok 9 ./gone 5 ./lib/x 5 ./lib64/y 8 ./bin/tool "
                        "15 ./lib/../deep/a/b/listed\n");
    tmp.link("lib", "root/lib64");
    ASSERT_EQ(link(root("bin/tool").c_str(), root("bin/tool-hl").c_str()), 0);
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(root("locked").c_str(), 0), 0);
  }
  void TearDown() override { chmod(root("locked").c_str(), 0755); }
  Result with(std::vector<std::string> argv) {
    argv.insert(argv.begin(), "korlan");
    argv.push_back(tmp / "root");
    argv.push_back(root("etc/app.lst"));
    testutil::Launch launch{program, argv};
    launch.inChild = testutil::asNobody;
    return testutil::run(launch, tmp);
  }
  std::string program;  // a copy nobody can run, wherever the build lies
};

TEST_F(Unlisted, ReportsWhatNoListedPathReaches) {
  const std::string gone = "File Not Found: " + root("gone") + "\n";
  const std::vector<std::string> unlisted = {"a b",    "stray",  "deep/a/b/core",
                                             "locked", "old/f1", "old/sub/f2"};
  std::string plain = "\n" + gone + "\n[Looking for unlisted files]\n", quiet = gone, tsv;
  tsv = "missing\t" + root("gone") + "\t9\t\tNo such file or directory\n";
  for (const std::string& rel : unlisted) {
    const std::string line = (rel == "locked" ? "Cannot Read: " : "Unlisted: ") + root(rel) + "\n";
    plain += "\n" + line;
    quiet += line;
    tsv += rel == "locked"
               ? "unreadable\t" + root(rel) + "\t\t\tPermission denied\n"
               : "unlisted\t" + root(rel) + "\t\t" + std::to_string(rel.size()) + "\t\n";
  }
  const std::string summary = "Korlan Failure: 7 out of 12 file comparisons failed\n";
  EXPECT_EQ(with({"--unlisted"}), completed(6, plain, 7, 12));
  EXPECT_EQ(with({"-q", "--unlisted", "--strict"}), (Result{quiet + summary, "", 2}));
  EXPECT_EQ(with({"--unlisted", "--tsv"}), (Result{tsv + "total\t7\t12\n", "", 0}));
  // Without the option, the walk's own failure alone.
  EXPECT_EQ(with({"-q"}),
            (Result{gone + "Korlan Failure: 1 out of 6 file comparisons failed\n", "", 0}));
}

TEST_F(ScriptOptions, StrictAsksForProof) {
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

TEST_F(ScriptOptions, TsvEscapesPaths) {
  const std::string odd = tmp / "t\tn\nb\\";
  testutil::writeText(tmp / "one", "1 ./x");
  EXPECT_EQ(korlan({"--tsv", odd, tmp / "one"}),
            (Result{"missing\t" + tmp.path() +
                        "/t\\tn\\nb\\\\/x\t1\t\tNo such file or directory\n"
                        "total\t1\t1\n",
                    "", 0}));
}

TEST_F(ScriptOptions, OperandsAfterDoubleDash) {
  testutil::makeFile(tmp / "-root/x", 1);
  testutil::writeText(tmp / "one", "1 ./x");
  EXPECT_EQ(korlan({"--", "-root", "one"}, tmp.path()), completed(1, ""));
  EXPECT_EQ(korlan({"-q", "--", "-root", "one"}, tmp.path()), (Result{kSucceeded, "", 0}));
}

TEST_F(ScriptOptions, HelpAndVersion) {
  const Result help = korlan({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("Usage: korlan [OPTION]... ROOT LIST\n", 0), 0u) << help.out;
  for (const char* option : {"--strict", "--full-paths", "--quiet", "--tsv", "--unlisted",
                             "--make-list", "--make-sums", "--sums"})
    EXPECT_NE(help.out.find(std::string("korlan ") + option), std::string::npos) << option;
  EXPECT_EQ(korlan({"--version"}), (Result{"korlan 1.0\n", "", 0}));
}

TEST_F(ScriptOptions, BadCommandLines) {
  const std::string usage = "Korlan [ dirname packing.list]\n";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--bogus", "r", "l"}, "korlan: unknown option --bogus\n"},
      {{"-x", "r", "l"}, "korlan: unknown option -x\n"},
      {{"--strict=yes", "r", "l"}, "korlan: option --strict takes no value\n"},
      {{"--quiet", "-qx", "r", "l"}, "korlan: unknown option -x\n"},
      {{"--strict", "-\xc3\xa9q", "r", "l"}, "korlan: unknown option -\xc3\n"},
      {{"--strict", "r"}, "korlan: expected ROOT and LIST, or no operand\n"},
      {{"-q", "r", "l", "x"}, "korlan: expected ROOT and LIST, or no operand\n"},
      {{"--make-list"}, "korlan: --make-list takes one operand, ROOT\n"},
      {{"--make-list", "r", "l"}, "korlan: --make-list takes one operand, ROOT\n"},
      {{"--make-list", "--strict", "r"}, "korlan: --make-list takes no other option\n"},
      {{"--make-sums"}, "korlan: --make-sums takes one operand, ROOT\n"},
      {{"--make-sums", "--sums", "r"}, "korlan: --make-sums takes no other option\n"},
      {{"--make-list", "--make-sums", "r"}, "korlan: --make-list takes no other option\n"},
      {{"--make-sums", "--make-list", "r"}, "korlan: --make-sums takes no other option\n"},
      {{"--sums=", "r", "l"}, "korlan: option --sums= needs a file name\n"},
      {{"--progress=yes", "r", "l"}, "korlan: option --progress takes no value\n"},
      // Options come before the operands.
      {{"r", "--strict", "l"}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(korlan(c.args), (Result{usage, c.err, 255})) << c.args[0];
}

}  // namespace

namespace {

// --sums, on one tree holding each failure that reading finds besides the
// size failures: a same-size corruption, a file without digest, a FIFO and
// a link to /dev/zero listed with size 0, a file nobody may read; the run
// is made as nobody where the test is root.
class Sums : public Korlan {
 protected:
  const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const std::string abd = "a52d159f262b2c6ddb724a61840befc36eb30c88877a4030b65cbe86298449c9";

  // A copy of the program, which nobody can reach.
  std::string program;

  void SetUp() override {
    if (!testutil::scratch().problem.empty()) GTEST_SKIP() << testutil::scratch().problem;
    program = testutil::programCopy(tmp);
    for (const char* name : {"ok", "bad", "nosum", "locked"})
      testutil::writeText(root(name), "abc");
    testutil::writeText(root("bad"), "abd");
    ASSERT_EQ(mkfifo(root("fifo").c_str(), 0644), 0);
    tmp.link("/dev/zero", "root/zero");
    testutil::makeFile(root("short"), 1);
    ASSERT_EQ(chmod(root("locked").c_str(), 0), 0);
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    testutil::writeText(tmp / "list",
                        "3 ./ok 3 ./bad 3 ./nosum 0 ./fifo 0 ./zero 3 ./locked 3 ./gone 9 ./short");
  }
  // Runs korlan as nobody with `options` on the tree, the list and `sums`.
  Result with(std::vector<std::string> options, const std::string& sums) {
    testutil::writeText(tmp / "packing.sha256", sums);
    options.insert(options.begin(), "korlan");
    options.push_back(tmp / "root");
    options.push_back(tmp / "list");
    testutil::Launch launch{program, options};
    launch.inChild = testutil::asNobody;
    return testutil::run(launch, tmp);
  }
  // The digests in the form `line` makes of a digest and a path.
  std::string sums(const std::function<std::string(std::string, std::string)>& line) {
    std::string s;
    for (const char* path : {"./ok", "./bad", "./locked", "./gone", "./short", "./elsewhere"})
      s += line(abc, path);
    return s;
  }
};

TEST_F(Sums, ReportsWhatReadingFindsInEveryStyleAndForm) {
  // After the walk, the digest of a path the list does not name is checked
  // too: ./elsewhere is missing.
  const auto failures = [&](const std::string& shortName) {
    return std::vector<std::string>{"Checksum Mismatch: " + root("bad"),
                                    "No Checksum: " + root("nosum"),
                                    "Cannot Read: " + root("fifo"),
                                    "Cannot Read: " + root("zero"),
                                    "Cannot Read: " + root("locked"),
                                    "File Not Found: " + root("gone"),
                                    shortName + ":\texpected size of 9; actual 1",
                                    "File Not Found: " + root("elsewhere")};
  };
  std::string walk, quiet, full;
  for (const std::string& f : failures("short")) walk += "\n" + f + "\n", quiet += f + "\n";
  for (const std::string& f : failures(root("short"))) full += "\n" + f + "\n";
  const std::string summary = "Korlan Failure: 8 out of 9 file comparisons failed\n";
  const Result plain{completed(8, walk, 8, 9).out, "", 0};
  const std::string text = sums([](auto d, auto p) { return d + "  " + p + "\n"; });

  EXPECT_EQ(with({"--sums"}, text), plain);
  EXPECT_EQ(with({"--progress", "--sums=" + tmp / "packing.sha256"}, text), plain);
  EXPECT_EQ(with({"--sums", "--strict", "-q"}, text), (Result{quiet + summary, "", 2}));
  EXPECT_EQ(with({"--sums", "--full-paths"}, text), (Result{completed(8, full, 8, 9).out, "", 0}));
  const std::string tsv =
      "checksum\t" + root("bad") + "\t" + abc + "\t" + abd + "\t\n" + "nochecksum\t" +
      root("nosum") + "\t\t\t\n" + "unreadable\t" + root("fifo") + "\t0\t\tnot a regular file\n" +
      "unreadable\t" + root("zero") + "\t0\t\tnot a regular file\n" + "unreadable\t" +
      root("locked") + "\t3\t\tPermission denied\n" + "missing\t" + root("gone") +
      "\t3\t\tNo such file or directory\n" + "size\t" + root("short") + "\t9\t1\t\n" + "missing\t" +
      root("elsewhere") + "\t\t\tNo such file or directory\n" + "total\t8\t9\n";
  EXPECT_EQ(with({"--sums", "--tsv"}, text), (Result{tsv, "", 0}));

  // Every form sha256sum writes, alone and mixed, reads as the same digests.
  const std::function<std::string(std::string, std::string)> forms[] = {
      [](auto d, auto p) { return d + " *" + p + "\n"; },
      [](auto d, auto p) { return "SHA256 (" + p + ") = " + d + "\n"; },
      [](auto d, auto p) { return "\\" + d + "  " + p + "\n"; },
      [](auto d, auto p) {
        for (char& c : d) c = static_cast<char>(toupper(c));
        return "\\SHA256 (" + p.substr(2) + ") = " + d + "\n";
      },
  };
  for (const auto& form : forms) EXPECT_EQ(with({"--sums"}, sums(form)), plain) << sums(form);
  std::string lastWithoutNewline = sums(forms[0]);
  lastWithoutNewline.pop_back();
  EXPECT_EQ(with({"--sums"}, lastWithoutNewline), plain);

  // A sums file cut short leaves the files after the cut without digest.
  const std::string cut = quiet.substr(quiet.find('\n') + 1);
  EXPECT_EQ(with({"--sums", "-q"}, text.substr(0, text.find('\n') + 1)),
            (Result{"No Checksum: " + root("bad") + "\n" + cut.substr(0, cut.rfind("File Not")) +
                        "Korlan Failure: 7 out of 8 file comparisons failed\n",
                    "", 0}));
}

TEST_F(Sums, RefusedFilesStopBeforeTheWalk) {
  const std::string read = testutil::kReading + std::string(8, '.');
  const std::string name = tmp / "packing.sha256";
  const struct {
    std::string sums, err;
  } cases[] = {
      {abc + "  ./ok\n\n", "korlan: " + name + ":2: blank line\n"},
      {abc + "  ./ok\n" + abd + "  ok\n",
       "korlan: " + name + ":2: another digest for ok than on line 1\n"},
      {"d41d8cd98f00b204e9800998ecf8427e  ./ok\n",
       "korlan: " + name + ":1: not a SHA-256 digest of 64 hex digits\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(with({"--sums"}, c.sums), (Result{read, c.err, 255}));
  EXPECT_EQ(with({"--sums=" + tmp / "none"}, ""),
            (Result{read, "can't read " + tmp / "none" + "\n", 255}));
  EXPECT_EQ(with({"--sums=" + tmp.path()}, ""),
            (Result{read, "can't read " + tmp.path() + "\n", 255}));
  // Endless input without a line end is refused at once, not read for ever.
  EXPECT_EQ(with({"--sums=/dev/zero"}, ""),
            (Result{read, "korlan: /dev/zero:1: holds a NUL byte\n", 255}));
}

// --progress draws on a terminal only, and standard output stays the same.
TEST_F(Sums, ProgressOnATerminal) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
    GTEST_SKIP() << "no pseudo-terminal to be had";
  const std::string terminal = ptsname(master);
  const std::string text = sums([](auto d, auto p) { return d + "  " + p + "\n"; });
  const Result plain = with({"--sums"}, text);
  testutil::Launch launch{program, {"korlan", "--progress", "--sums", tmp / "root", tmp / "list"}};
  launch.inChild = [&terminal] {
    const int fd = open(terminal.c_str(), O_RDWR);
    if (fd < 0 || dup2(fd, 2) < 0) _exit(126);
    testutil::asNobody();
  };
  const Result drawn = testutil::run(launch, tmp);
  EXPECT_EQ(drawn.out, plain.out);
  EXPECT_EQ(drawn.status, 0);
  // The terminal hands its output over in pieces, as it passes them on: read
  // until it reports the other side closed.
  std::string screen;
  char buffer[4096];
  for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) screen.append(buffer, n);
  close(master);
  EXPECT_NE(screen.find("\r\033[Kkorlan: "), std::string::npos) << screen;
  EXPECT_NE(screen.find(" of 8 files, "), std::string::npos) << screen;
  // Erased at the end.
  const std::string tail = "\r\033[K";
  ASSERT_GE(screen.size(), tail.size());
  EXPECT_EQ(screen.substr(screen.size() - tail.size()), tail) << screen;
}

}  // namespace
