// The sums reader and the file hasher, module by module: every accepted
// form of a line, every refusal with its line number, and every way a file
// fails to be read whole.
#include "sums.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <sstream>
#include <string>

#include "digest.h"
#include "progress.h"
#include "test_util.h"

namespace {

// SHA-256 of "abc" and of the empty string.
const std::string kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(c));
  return s;
}

TEST(Sums, AcceptsEveryFormSha256sumWrites) {
  const struct {
    std::string line, key, hex;
  } cases[] = {
      {kAbc + "  ./a/b", "a/b", kAbc},
      {kAbc + " *a/b", "a/b", kAbc},
      {upper(kAbc) + "  x y", "x y", kAbc},
      {"\\" + kAbc + "  ./back\\\\slash\\nline\\r", "back\\slash\nline\r", kAbc},
      {"SHA256 (./t) = " + kEmpty, "t", kEmpty},
      {"SHA256 (p) = q) = " + upper(kEmpty), "p) = q", kEmpty},
      {"\\SHA256 (a\\\\b) = " + kEmpty, "a\\b", kEmpty},
      {kAbc + "  a\\b", "a\\b", kAbc},  // unescaped: backslashes as they are
      {kAbc + " a", "a", kAbc},         // one space, as sha256sum -c reads it
      {kAbc + "   a", " a", kAbc},      // after the mode's space, the name
      {kAbc + "  a\r", "a", kAbc},      // a CR belongs to the line end
      {"# made by hand\n" + kAbc + "  ./d//e/./f", "d/e/f", kAbc},
      {"SHA256 (././t) = " + kEmpty + "\r", "t", kEmpty},
      // OpenSSL's dgst, 1.1 and 3.
      {"SHA256(./t)= " + kEmpty, "t", kEmpty},
      {"SHA2-256(p)= q)= " + kEmpty, "p)= q", kEmpty},
  };
  for (const auto& c : cases) {
    for (const char* end : {"\n", ""}) {
      Sums sums;
      std::istringstream in(c.line + end);
      std::ostringstream err;
      ASSERT_EQ(sums.read(in, "S", err), 0) << c.line << err.str();
      const Sha256* d = sums.find(c.key);
      ASSERT_NE(d, nullptr) << c.line;
      EXPECT_EQ(d->hex(), c.hex);
      EXPECT_TRUE(sums.unnamed().empty());
    }
  }
}

TEST(Sums, RefusesAnythingElseNamingTheLine) {
  const std::string ok = kAbc + "  ok\n";
  const struct {
    std::string text, err;
  } cases[] = {
      {ok + "\n", "korlan: S:2: blank line\n"},
      {ok + "\r\n", "korlan: S:2: blank line\n"},
      {ok + ok + kAbc.substr(1) + "  f\n", "korlan: S:3: not a SHA-256 digest of 64 hex digits\n"},
      {kAbc + "0  f\n", "korlan: S:1: not a SHA-256 digest of 64 hex digits\n"},
      {"d41d8cd98f00b204e9800998ecf8427e  f\n",
       "korlan: S:1: not a SHA-256 digest of 64 hex digits\n"},
      {"MD5 (f) = d41d8cd98f00b204e9800998ecf8427e\n",
       "korlan: S:1: not a SHA-256 digest of 64 hex digits\n"},
      {"SHA256 (f) = " + kAbc.substr(2) + "\n",
       "korlan: S:1: line cut short, or a digest that is not SHA-256\n"},
      {"SHA256 (f) = " + kAbc.substr(1) + "g\n", "korlan: S:1: digest is not 64 hex digits\n"},
      {ok + kAbc, "korlan: S:2: line cut short\n"},
      {kAbc + " ", "korlan: S:1: line cut short\n"},
      {kAbc + "\tf", "korlan: S:1: line cut short\n"},
      {kAbc + "  ", "korlan: S:1: no file name\n"},
      {kAbc + std::string("  f\0g\n", 6), "korlan: S:1: holds a NUL byte\n"},
      {kAbc + "  " + std::string(Sums::kLongestLine, 'f'), "korlan: S:1: line too long\n"},
      // Longer than any line sha256sum writes: refused before it is all read.
      {ok + kAbc + "  " + std::string(1 << 20, 'a'), "korlan: S:2: line too long\n"},
      {"\\" + kAbc + "  a\\tb\n", "korlan: S:1: unknown escape in the file name\n"},
      {"\\" + kAbc + "  a\\", "korlan: S:1: unknown escape in the file name\n"},
      {kAbc + "  ./x\n" + ok + kEmpty + "  x\n",
       "korlan: S:3: another digest for x than on line 1\n"},
      {kAbc + "  ./d/x\n" + kEmpty + "  d//./x\n",
       "korlan: S:2: another digest for d/x than on line 1\n"},
      // A name with a line end is shown escaped: one message, one line.
      {"\\" + kAbc + "  a\\nb\n" + "\\" + kEmpty + "  ./a\\nb",
       "korlan: S:2: another digest for a\\nb than on line 1\n"},
  };
  for (const auto& c : cases) {
    Sums sums;
    std::istringstream in(c.text);
    std::ostringstream err;
    EXPECT_EQ(sums.read(in, "S", err), 255) << c.text;
    EXPECT_EQ(err.str(), c.err) << c.text;
  }
}

TEST(Sums, LooksUpByFoldedPathAndTellsWhatNoFileAskedFor) {
  Sums sums;
  std::istringstream in(kEmpty + "  d\n" + kAbc + "  ./a\n" + kAbc + " *a\n" + kEmpty + "  b//c\n");
  std::ostringstream err;
  ASSERT_EQ(sums.read(in, "S", err), 0);
  EXPECT_EQ(sums.size(), 3u);  // the same digest twice is one
  EXPECT_EQ(sums.find("b"), nullptr);
  EXPECT_EQ(sums.find("./a"), nullptr);  // the caller folds its keys
  ASSERT_NE(sums.find("b/c"), nullptr);
  const auto left = sums.unnamed();  // in the order of their lines
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].path, "d");
  EXPECT_EQ(left[1].path, "a");
  EXPECT_EQ(left[1].digest->hex(), kAbc);
  EXPECT_EQ(sums.find("a")->hex(), kAbc);
  EXPECT_EQ(sums.unnamed().size(), 1u);

  std::string scratch;
  const struct {
    const char *path, *folded;
  } folds[] = {
      {"x/y", "x/y"}, {"./x/y", "x/y"}, {"././x", "x"},       {"x//y/./z/.", "x/y/z"},
      {".x", ".x"},   {"x/..", "x/.."}, {"x/../y", "x/../y"}, {".", ""},
  };
  for (const auto& f : folds) EXPECT_EQ(foldPath(f.path, &scratch), f.folded) << f.path;
}

TEST(Hasher, DigestsAndEveryWayAFileFailsToBeReadWhole) {
  testutil::TempDir tmp;
  testutil::writeText(tmp / "abc", "abc");
  testutil::makeFile(tmp / "big", 3 * Hasher::kBufferSize + 5);
  ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0600), 0);
  std::atomic<int64_t> counted{0};
  Hasher hasher(&counted);
  const struct {
    std::string path;
    int64_t expected;
    int error;
    const char* reason;
  } cases[] = {
      {tmp / "abc", 3, 0, nullptr},
      {tmp / "abc", -1, 0, nullptr},
      {tmp / "abc", 2, FileHash::kChanged, "changed while read"},
      {tmp / "abc", 4, FileHash::kChanged, "changed while read"},
      {tmp / "fifo", 0, FileHash::kNotRegular, "not a regular file"},
      {"/dev/zero", 0, FileHash::kNotRegular, "not a regular file"},
      {tmp.path(), -1, FileHash::kNotRegular, "not a regular file"},
      {tmp / "none", 0, ENOENT, "No such file or directory"},
  };
  for (const auto& c : cases) {
    const FileHash h = hasher.hash(AT_FDCWD, c.path.c_str(), c.expected);
    EXPECT_EQ(h.error, c.error) << c.path << " " << c.expected;
    if (c.error == 0)
      EXPECT_EQ(h.digest.hex(), kAbc);
    else
      EXPECT_STREQ(h.reason(), c.reason);
  }
  EXPECT_EQ(counted.load(), 6);
  // Files larger than the buffer are mapped, one of them through several maps. A file that
  // shrinks or grows between its fstat and its reading (an fstat that says more or less than it
  // holds) is changed while read: shrunk by pages, its map faults where they were.
  testutil::makeFile(tmp / "huge", 2 * Hasher::kMapWindow + 7);
  for (const char* name : {"big", "huge"}) {
    const std::string path = tmp / name;
    const std::string sum =
        testutil::run({"/bin/sh", {"sh", "-c", "sha256sum " + path + " | cut -c1-64"}}, tmp).out;
    const FileHash whole = hasher.hash(AT_FDCWD, path.c_str(), -1);
    EXPECT_EQ(whole.error, 0) << name;
    EXPECT_EQ(whole.digest.hex(), sum.substr(0, 64)) << name;
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    const off_t size = st.st_size;
    const struct {
      off_t stated;
      int error;
    } changes[] = {
        {size + 3 * 4096, FileHash::kChanged},
        {size + 1, FileHash::kChanged},
        {size - 1, FileHash::kGrown},
        {size, 0},
    };
    for (const auto& c : changes) {
      st.st_size = c.stated;
      EXPECT_EQ(hasher.hashOpen(fd, st, 1u << static_cast<int>(DigestAlgorithm::kSha256)).error,
                c.error)
          << name << " stated " << c.stated;
    }
    close(fd);
  }
  // SIGBUS anywhere else, a fault or a signal sent, keeps its default action.
  EXPECT_EXIT(raise(SIGBUS), testing::KilledBySignal(SIGBUS), "");
}

TEST(Progress, LineSaysHowFarAndHowLong) {
  EXPECT_EQ(progressLine(3, 10, 0, -1, 1), "korlan: 3 of 10 files");
  // No rate yet: the walk's first second.
  EXPECT_EQ(progressLine(3, 10, 0, 2048, -1), "korlan: 3 of 10 files, 0 B of 2.0 KiB hashed");
  EXPECT_EQ(progressLine(1, 2, 3 << 20, 63 << 20, 1.5 * (1 << 20)),
            "korlan: 1 of 2 files, 3.0 MiB of 63.0 MiB hashed, 1.5 MiB/s, 0:40 left");
  EXPECT_EQ(progressLine(0, 1, 1, INT64_MAX, 0.01),
            "korlan: 0 of 1 files, 1 B of 8192.0 PiB hashed, 0 B/s, 153722867280912930:07 left");
}

}  // namespace
