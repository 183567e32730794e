#include "directory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <sstream>
#include <string>

#include "options.h"
#include "packlist.h"
#include "report.h"
#include "status.h"
#include "test_util.h"
#include "token.h"

namespace {

// Numbers the files as the reader hands them over.
class Entries : public ListReceiver {
 public:
  void recorded(File* f) override { EXPECT_EQ(f->entry, count++); }
  size_t count = 0;
};

// Reads entries "SIZE ./PATH" into `top` as the run does; returns the
// reader's status.
int insertAll(Directory* top, const std::string& list) {
  std::istringstream in(list);
  std::ostringstream dots, err;
  const Options plain;
  Report report(dots, plain);
  Entries entries;
  return readList(top, in, "list", report, entries, err);
}

// The plain run's comparison: found, and of the listed size.
class SizeComparison : public FileComparison {
 public:
  explicit SizeComparison(Report& report) : report_(report) {}
  bool compare(const File& f, const std::string& path) override {
    const HostFile h(path.c_str());
    if (h.status != 0)
      report_.difference({DiffKind::kMissing, path, "", "", "", true});
    else if (h.size != f.size)
      report_.difference(
          {DiffKind::kSize, path, std::to_string(f.size), std::to_string(h.size), "", true});
    return h.status != 0 || h.size != f.size;
  }

 private:
  Report& report_;
};

// Walks `top` below the root path `rootPath` with that comparison; returns
// the walk's output.
std::string walk(Directory* top, const char* rootPath) {
  std::ostringstream out;
  const Options plain;
  Report report(out, plain);
  Directory root(rootPath);
  SizeComparison sizes(report);
  CountFiles = CountErrors = 0;
  top->iterate(&root, '/', report, sizes);
  return out.str();
}

// The tree as text: a directory is NAME{files then sub-directories}, a file
// NAME=SIZE, in list order.
std::string dump(const Directory* d) {
  std::string s = std::string(d->name) + "{";
  const char* sep = "";
  for (const File* f = d->files; f; f = f->next, sep = " ") {
    EXPECT_EQ(f->dir, d);
    s += sep + std::string(f->name) + "=" + std::to_string(f->size);
  }
  for (const Directory* c = d->subDir; c; c = c->peerDir, sep = " ") s += sep + dump(c);
  return s + "}";
}

struct TreeCase {
  const char* what;
  const char* list;
  const char* tree;
};

TEST(DirectoryInsert, BuildsTheTreeInListOrder) {
  const TreeCase cases[] = {
      {"shared directory", "1 ./lib/a 2 ./lib/b", ".{lib{a=1 b=2}}"},
      {"first mention fixes the order", "1 ./a/x 2 ./b/y 3 ./b/z 4 ./c/w 5 ./b/v",
       ".{a{x=1} b{y=2 z=3 v=5} c{w=4}}"},
      {"a file listed twice is two files", "1 ./d/f 2 ./d/f", ".{d{f=1 f=2}}"},
      {"digits name a file", "9 ./lib/2048", ".{lib{2048=9}}"},
      {"case matters", "1 ./lib/x 2 ./Lib/y", ".{lib{x=1} Lib{y=2}}"},
      {"empty component", "1 ./a//x", ".{a{{x=1}}}"},
      {"a dot below the top is a directory", "1 ././x", ".{.{x=1}}"},
      {"files of the top node", "0 ./README 5 ./bin/ls 3 ./NEWS", ".{README=0 NEWS=3 bin{ls=5}}"},
      {"sizes reach only files", "7 ./a/b/c", ".{a{b{c=7}}}"},
      {"names short and long",
       "1 ./fifteen-bytes.. 2 ./sixteen-bytes... 3 ./a-name-of-far-more-bytes",
       ".{fifteen-bytes..=1 sixteen-bytes...=2 a-name-of-far-more-bytes=3}"},
  };
  for (const TreeCase& c : cases) {
    Directory top(".");
    EXPECT_EQ(insertAll(&top, c.list), kStatusOk) << c.what;
    EXPECT_EQ(dump(&top), c.tree) << c.what;
  }
}

TEST(DirectoryInsert, EntryCutShortRecordsNothing) {
  for (const char* list : {"12 ./lib/", "12 ./", "12 ./a/b/"}) {
    Directory top(".");
    std::istringstream in(list);
    Token t(in);
    t.read(in);
    t.read(in);
    EXPECT_EQ(top.insert(&t, in, 12), -1) << list;
    EXPECT_EQ(t.isEOF(), 0) << list;
    EXPECT_EQ(top.files, nullptr) << list;
  }
}

TEST(DirectoryInsert, TooLongNameRecordsNothing) {
  Directory top(".");
  std::string list = "1 ./d/" + std::string(Token::kMaxLength + 1, 'n');
  EXPECT_EQ(insertAll(&top, list), kStatusError);
  EXPECT_EQ(dump(&top), ".{d{}}");
}

TEST(DirectoryAdd, FindsByNameInWideDirectories) {
  // Enough sub-directories to go past the size at which a directory is
  // indexed by name; lookups must agree with the list before and after.
  Directory top(".");
  const int kWidth = 100;
  for (int i = 0; i < kWidth; ++i) {
    Directory* d = top.add(new Directory(("d" + std::to_string(i)).c_str()));
    EXPECT_EQ(top.find(d->name), d);
  }
  int n = 0;
  for (Directory* c = top.subDir; c; c = c->peerDir, ++n) {
    EXPECT_EQ(std::string(c->name), "d" + std::to_string(n));
    EXPECT_EQ(top.find(c->name), c);
    EXPECT_EQ(top.add(new Directory(c->name)), c);  // no duplicate linked
  }
  EXPECT_EQ(n, kWidth);
  EXPECT_EQ(top.find("d100"), nullptr);
  EXPECT_EQ(top.find(""), nullptr);
}

TEST(DirectoryInsert, DepthIsNotBoundByTheStack) {
  // Far deeper than any call stack: reading, walking and freeing must all
  // work without recursion.
  const int kDepth = 200000;
  std::string list = "1 ./";
  for (int i = 0; i < kDepth; ++i) list += "d/";
  list += "f";
  Directory top(".");
  ASSERT_EQ(insertAll(&top, list), kStatusOk);
  int depth = 0;
  const Directory* d = &top;
  for (; d->subDir; d = d->subDir) ++depth;
  EXPECT_EQ(depth, kDepth);
  ASSERT_NE(d->files, nullptr);
  EXPECT_EQ(std::string(d->files->name), "f");

  const std::string out = walk(&top, "/nonexistent-korlan-root");
  EXPECT_EQ(CountFiles, 1);
  EXPECT_EQ(CountErrors, 1);
  EXPECT_EQ(out.size(),
            strlen("\nFile Not Found: /nonexistent-korlan-root") + 2 * kDepth + strlen("/f\n"));
}

TEST(FileExpectedFilename, RootThenEveryDirectoryBelowTheTop) {
  Directory top(".");
  ASSERT_EQ(insertAll(&top, "0 ./README 0 ./a/b/c/ls 0 ./a/./b/f"), kStatusOk);
  Directory root("/opt/pkg");
  const Directory* a = top.subDir;
  EXPECT_EQ(top.files->getExpectedFilename(&root, '/'), "/opt/pkg/README");
  EXPECT_EQ(a->subDir->subDir->files->getExpectedFilename(&root, '/'), "/opt/pkg/a/b/c/ls");
  EXPECT_EQ(a->subDir->peerDir->subDir->files->getExpectedFilename(&root, '/'), "/opt/pkg/a/./b/f");
}

TEST(ParseSize, SixtyFourBitsWithoutWrapping) {
  struct {
    const char* digits;
    bool ok;
    int64_t value;
  } cases[] = {
      {"0", true, 0},
      {"007", true, 7},
      {"2147483648", true, 2147483648LL},
      {"3221225472", true, 3221225472LL},
      {"9223372036854775807", true, INT64_MAX},
      {"0009223372036854775807", true, INT64_MAX},
      {"9223372036854775808", false, 0},
      {"18446744073709551616", false, 0},
      {"99999999999999999999999", false, 0},
  };
  for (const auto& c : cases) {
    int64_t v = -1;
    EXPECT_EQ(parseSize(c.digits, &v), c.ok) << c.digits;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.digits;
    }
  }
}

// A small installation on disk, for the probe and the walk.
class OnDisk : public ::testing::Test {
 protected:
  testutil::TempDir tmp;
  std::string root() const { return tmp.path(); }
};

TEST_F(OnDisk, HostFileProbes) {
  testutil::makeFile(tmp / "empty", 0);
  testutil::makeFile(tmp / "five", 5);
  testutil::makeFile(tmp / "big", 3221225472LL);
  ASSERT_EQ(symlink("five", (tmp / "link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (tmp / "dangling").c_str()), 0);
  struct {
    const char* rel;
    int status;
    int64_t size;
  } cases[] = {
      {"empty", 0, 0},     {"five", 0, 5},    {"big", 0, 3221225472LL}, {"link", 0, 5},
      {"dangling", -1, 0}, {"five/x", -1, 0}, {"missing", -1, 0},
  };
  for (const auto& c : cases) {
    const std::string path = tmp / c.rel;
    HostFile h(path.c_str());
    EXPECT_EQ(h.status, c.status) << c.rel;
    EXPECT_EQ(h.size, c.size) << c.rel;
  }
  HostFile dir(root().c_str());
  EXPECT_EQ(dir.status, 0);
}

TEST_F(OnDisk, WalkReportsInDepthFirstOrder) {
  testutil::makeFile(tmp / "top", 1);
  testutil::makeFile(tmp / "a/ok", 2);
  testutil::makeFile(tmp / "a/short", 3);
  testutil::makeFile(tmp / "a/./b/f", 4);
  testutil::makeFile(tmp / "c/big", 3221225472LL);
  Directory top(".");
  ASSERT_EQ(insertAll(&top,
                      "1 ./top 2 ./a/ok 9 ./a/short 4 ./a/./b/f "
                      "3221225472 ./c/big 5 ./c/gone 3221225473 ./c/big"),
            kStatusOk);
  EXPECT_EQ(walk(&top, root().c_str()),
            "\nshort:\texpected size of 9; actual 3\n"
            "\nFile Not Found: " +
                tmp / "c/gone" +
                "\n"
                "\nbig:\texpected size of 3221225473; actual 3221225472\n");
  EXPECT_EQ(CountFiles, 7);
  EXPECT_EQ(CountErrors, 3);
}

TEST_F(OnDisk, WalkWritesADotEveryTenthFile) {
  std::string list;
  for (int i = 0; i < 25; ++i) {
    const std::string name = "d" + std::to_string(i % 3) + "/f" + std::to_string(i);
    testutil::makeFile(tmp / name, i);
    list += std::to_string(i == 9 ? 99 : i) + " ./" + name + " ";
  }
  Directory top(".");
  ASSERT_EQ(insertAll(&top, list), kStatusOk);
  // f9 is the 4th file of d0, walked 4th; the dots come at the 10th and 20th.
  EXPECT_EQ(walk(&top, root().c_str()), "\nf9:\texpected size of 99; actual 9\n..");
  EXPECT_EQ(CountFiles, 25);
  EXPECT_EQ(CountErrors, 1);
}

}  // namespace
