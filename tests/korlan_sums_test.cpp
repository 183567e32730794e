// End to end, --sums: the contents of the listed files against their
// SHA-256 digests, in every style and every form of the sums file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "sums.h"
#include "test_util.h"

namespace {

using testutil::completed;
using testutil::Korlan;
using testutil::Result;

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
      {abc + "  ./ok\n" + abc + "  d/../../secret\n",
       "korlan: " + name + ":2: path leaves the top\n"},
      {abc + "  /tmp/x\n",
       "korlan: " + name + ":1: absolute path: a sums file names paths below ROOT\n"},
      // A comment too long to read whole would leave the rest unread.
      {"#" + std::string(::Sums::kLongestLine, 'x') + "\n" + abc + "  ok\n",
       "korlan: " + name + ":1: line too long\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(with({"--sums"}, c.sums), (Result{read, c.err, 255}));
  EXPECT_EQ(with({"--sums=" + tmp / "none"}, ""),
            (Result{read, "can't open " + tmp / "none" + "\n", 255}));
  EXPECT_EQ(with({"--sums=" + tmp.path()}, ""),
            (Result{read, "can't read " + tmp.path() + "\n", 255}));
  // Endless input without a line end is refused at once, not read for ever.
  EXPECT_EQ(with({"--sums=/dev/zero"}, ""),
            (Result{read, "korlan: /dev/zero:1: holds a NUL byte\n", 255}));
}

// Under a low descriptor limit, a small memory limit, and a refusal beside
// a file too large to read in time, a run either gives the report it gives
// without limits, or refuses at once.
TEST_F(Korlan, SumsHoldUnderLimits) {
  std::string list;
  for (int i = 0; i < 200; ++i) {
    const std::string rel = "d" + std::to_string(i % 7) + "/f" + std::to_string(i);
    testutil::writeText(root(rel), rel);
    list += std::to_string(rel.size()) + " ./" + rel + "\n";
  }
  testutil::writeText(tmp / "list", list + "1 ./gone\n");
  const Result sums = korlan({"--make-sums", tmp / "root"});
  ASSERT_EQ(sums.status, 0) << sums;
  testutil::writeText(tmp / "packing.sha256", sums.out);
  const auto limited = [&](std::vector<std::string> args, rlim_t files, rlim_t memory) {
    args.insert(args.begin(), "korlan");
    testutil::Launch launch{KORLAN_BIN, args};
    launch.inChild = [files, memory] {
      const rlimit nofile = {files, files}, as = {memory, memory};
      if (setrlimit(RLIMIT_NOFILE, &nofile) != 0 || setrlimit(RLIMIT_AS, &as) != 0) _exit(126);
      alarm(60);
    };
    return testutil::run(launch, tmp);
  };
  const rlim_t kNoLimit = RLIM_INFINITY;
  // A sanitizer's runtime needs descriptors and address space of its own.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--sums", "-q", tmp / "root", tmp / "list"},
        std::vector<std::string>{"--make-sums", tmp / "root"}}) {
    const Result free = limited(args, 1024, kNoLimit);
    for (int run = 0; run < 20; ++run) ASSERT_EQ(limited(args, 6, kNoLimit), free) << args[0];
  }

  // A sums file is read line by line, whatever its size says: a sparse
  // gigabyte is refused at its first line, within 64 MiB of address space.
  testutil::makeFile(tmp / "sparse.sha256", 1LL << 30);
  const Result sparse =
      limited({"--sums=" + tmp / "sparse.sha256", tmp / "root", tmp / "list"}, 1024, 64 << 20);
  EXPECT_EQ(sparse.err, "korlan: " + tmp / "sparse.sha256" + ":1: holds a NUL byte\n");
  EXPECT_EQ(sparse.status, 255);

  // A run that hashes, under every address-space limit from the least at
  // which the program gets going (below it the loader or the C++ runtime
  // fails) up 2 MiB in steps of 10 KiB: the free report, or "out of
  // memory". libcrypto set up by the first worker to hash died on a lock it
  // could not make, at one limit in that range.
  testutil::writeText(tmp / "tiny/f", "f");
  testutil::writeText(tmp / "tiny.lst", "1 ./f\n");
  testutil::writeText(tmp / "tiny.sha256", korlan({"--make-sums", tmp / "tiny"}).out);
  testutil::writeText(tmp / "tiny.mtree", korlan({"--make-mtree", tmp / "tiny"}).out);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-q", "--sums=" + tmp / "tiny.sha256", tmp / "tiny",
                                 tmp / "tiny.lst"},
        std::vector<std::string>{"-q", "--mtree", tmp / "tiny", tmp / "tiny.mtree"}}) {
    const Result free = limited(args, 1024, kNoLimit);
    ASSERT_EQ(free.status, 0) << free;
    rlim_t kib = 4 << 10;
    for (Result r; kib < (64 << 10); kib += 100) {
      r = limited(args, 1024, kib << 10);
      if (r.status != -1 && r.status != 127) break;
    }
    int completed = 0;
    for (const rlim_t top = kib + (2 << 10); kib < top; kib += 10) {
      const Result r = limited(args, 1024, kib << 10);
      completed += r.status == 0;
      const bool outOfMemory = r.status == 255 && r.err.find("out of memory") != std::string::npos;
      ASSERT_TRUE(r == free || outOfMemory) << args[1] << " under " << kib << " KiB: " << r;
    }
    EXPECT_GT(completed, 0) << args[1];
  }
#endif

  // A run refused after the list does not wait for the files its workers
  // began to read: a sparse terabyte would take minutes (the alarm ends a
  // run that waits).
  testutil::makeFile(root("huge"), 1LL << 40);
  testutil::writeText(tmp / "huge.lst", "1099511627776 ./huge\n" + list);
  testutil::writeText(tmp / "bad.sha256", "not a digest\n");
  EXPECT_EQ(
      limited({"--sums=" + tmp / "bad.sha256", "-q", tmp / "root", tmp / "huge.lst"}, 1024,
              kNoLimit),
      (Result{"", "korlan: " + tmp / "bad.sha256" + ":1: not a SHA-256 digest of 64 hex digits\n",
              255}));
}

// TSV's escapes undone: what a script reading the records gets.
std::string untab(const std::string& field) {
  std::string s;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != '\\') {
      s += field[i];
      continue;
    }
    const char c = field[++i];
    if (c >= '0' && c <= '7') {
      s += static_cast<char>(std::stoi(field.substr(i, 3), nullptr, 8));
      i += 2;
    } else {
      s += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
  }
  return s;
}

std::string hex(const std::string& bytes) {
  std::string s;
  for (unsigned char c : bytes) s += "0123456789abcdef"[c >> 4], s += "0123456789abcdef"[c & 15];
  return s;
}

// --json writes the records of --tsv, field by field, for every kind of
// record; Python's json module reads them back, and a path that is not
// UTF-8 comes back byte for byte through "surrogateescape".
TEST_F(Sums, JsonHoldsTheRecordsOfTsv) {
  const std::string odd = "odd\t\n\"\xff\xc3\xa1";  // unlisted: found on the disk
  testutil::writeText(root(odd), "x");
  const std::string text = sums([](auto d, auto p) { return d + "  " + p + "\n"; });
  const Result tsv = with({"--sums", "--unlisted", "--tsv"}, text);
  const Result json = with({"--sums", "--unlisted", "--json"}, text);
  EXPECT_EQ(json.status, tsv.status);
  EXPECT_EQ(json.err, "");
  std::string expected;
  std::istringstream records(tsv.out);
  for (std::string line; std::getline(records, line);) {
    std::vector<std::string> fields;
    for (size_t start = 0, tab;; start = tab + 1) {
      tab = line.find('\t', start);
      fields.push_back(line.substr(start, tab - start));
      if (tab == std::string::npos) break;
    }
    expected += fields[0];
    for (size_t i = 1; i < fields.size(); ++i)
      expected += " " + (fields[0] == "total" ? fields[i] : hex(untab(fields[i])));
    expected += "\n";
  }
  for (const char* kind : {"missing", "size", "unreadable", "nochecksum", "checksum", "unlisted"})
    EXPECT_NE(("\n" + expected).find(std::string("\n") + kind + " "), std::string::npos) << kind;
  EXPECT_NE(expected.find(hex(root(odd))), std::string::npos);

  if (testutil::run({"/bin/sh", {"sh", "-c", "command -v python3"}}, tmp).status != 0)
    GTEST_SKIP() << "no python3 to read the JSON back with";
  testutil::writeText(tmp / "records.json", json.out);
  testutil::writeText(tmp / "read.py", R"(import json, sys
for line in open(sys.argv[1], encoding="utf-8"):
    r = json.loads(line)
    if r["kind"] == "total":
        print("total", r["failed"], r["files"])
        continue
    fields = [r[k].encode("utf-8", "surrogateescape").hex()
              for k in ("path", "expected", "actual", "reason")]
    print(r["kind"], *fields)
)");
  const Result read = testutil::run(
      {"/bin/sh", {"sh", "-c", "python3 " + tmp / "read.py" + " " + tmp / "records.json"}}, tmp);
  EXPECT_EQ(read, (Result{expected, "", 0}));
}

// --progress draws on a terminal only, cut to its width, and standard
// output stays the same; on the terminal that standard output goes to, it
// draws beside the dots and never goes back over them.
TEST_F(Sums, ProgressOnATerminal) {
  const std::string text = sums([](auto d, auto p) { return d + "  " + p + "\n"; });
  const Result plain = with({"--sums"}, text);
  for (const bool both : {false, true}) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
      GTEST_SKIP() << "no pseudo-terminal to be had";
    const winsize narrow = {24, 40, 0, 0};
    ASSERT_EQ(ioctl(master, TIOCSWINSZ, &narrow), 0);
    const std::string terminal = ptsname(master);
    testutil::Launch launch{program,
                            {"korlan", "--progress", "--sums", tmp / "root", tmp / "list"}};
    launch.inChild = [&terminal, both] {
      const int fd = open(terminal.c_str(), O_RDWR);
      if (fd < 0 || dup2(fd, 2) < 0 || (both && dup2(fd, 1) < 0)) _exit(126);
      testutil::asNobody();
    };
    const Result drawn = testutil::run(launch, tmp);
    EXPECT_EQ(drawn.status, 0);
    // The terminal hands its output over in pieces, as it passes them on:
    // read until it reports the other side closed.
    std::string screen;
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) screen.append(buffer, n);
    close(master);
    EXPECT_NE(screen.find(" of 8 files, "), std::string::npos) << screen;
    // Each line drawn ends before the last column, ahead of the next escape.
    const std::string start = both ? "\0337 korlan: " : "\r\033[Kkorlan: ";
    size_t lines = 0;
    for (size_t at = screen.find(start); at != std::string::npos;
         at = screen.find(start, at + 1), ++lines) {
      const size_t from = at + (both ? 2 : 4);
      EXPECT_LT(screen.find_first_of("\r\033", from) - from, 40u) << screen;
    }
    EXPECT_GT(lines, 0u) << screen;
    if (!both) {
      EXPECT_EQ(drawn.out, plain.out);
      // Erased at the end.
      EXPECT_EQ(screen.substr(screen.size() - 4), "\r\033[K") << screen;
      continue;
    }
    // The report is all there, line ends as the terminal shows them, and
    // the line never went back to the start of a row.
    std::string shown;
    for (size_t i = 0; i < screen.size(); ++i) {
      if (screen.compare(i, 3, "\033[K") == 0) {
        i += 2;
      } else if (screen.compare(i, 2, "\0337") == 0) {
        i = screen.find("\0338", i) + 1;
      } else if (screen.compare(i, 2, "\r\n") == 0) {
        shown += '\n';
        ++i;
      } else {
        EXPECT_NE(screen[i], '\r') << screen;
        shown += screen[i];
      }
    }
    EXPECT_EQ(shown, plain.out);
  }
}

}  // namespace
