#include "canonpath.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "canonpath_cache.h"
#include "test_util.h"

namespace {

using V = std::vector<std::string>;

struct Row {
  const char* src;
  const char* result;
  V lookups;  // the looked-up prefixes, in order
};

// A tree of directories and links under a temporary directory T, with the
// current directory T/home/u. In sources and results below, "$" stands for T.
class Canon : public ::testing::Test {
 protected:
  testutil::TempDir tmp;
  std::string T;
  std::optional<testutil::ChangeDir> cwd;

  void SetUp() override {
    T = tmp.path();
    for (const char* d : {"a/b/c", "home/u/a/b", "t/u", "p/q", "p/r", "p/s", "p/t", "p/v", "p/w"})
      std::filesystem::create_directories(tmp / d);
    link(T + "/t/u", "a/lnk");
    link("b/c", "a/rl");
    link("a/b", "home/u/rl");
    link(T + "/t/u", "home/u/al");
    link("q/", "p/tl");
    link("/", "r");
    link(".", "d");
    link(T + "/nowhere/x", "a/dang");
    link("u/a", "home/lnk");
    link(T + "/t/u", "home/al2");
    cwd.emplace(tmp / "home/u");
    canonicalizeReset();
  }
  void TearDown() override {
    cwd.reset();
    canonicalizeReset();
  }

  void link(const std::string& target, const std::string& rel) { tmp.link(target, rel); }
  std::string expand(const std::string& s) const { return tmp.expand(s); }
  std::string canon(const std::string& src) {
    char out[kCanonPathSize];
    return canonicalizePath(src.c_str(), out);
  }
  // The lookups made since the last reset, oldest first (while they fit).
  V lookups() const {
    V seen;
    for (int i = canonicalizeCacheCount() - 1; i >= 0; --i)
      seen.push_back(canonicalizeCachePath(i));
    return seen;
  }
  // Canonicalises the row's source from an empty cache, "$" expanded.
  void check(const Row& row) {
    V expected;
    for (const std::string& l : row.lookups) expected.push_back(expand(l));
    canonicalizeReset();
    EXPECT_EQ(canon(expand(row.src)), expand(row.result)) << row.src;
    EXPECT_EQ(lookups(), expected) << row.src;
  }
};

TEST_F(Canon, Components) {
  const Row rows[] = {
      {"/", "/", {}},
      {"//", "/", {}},
      {"$/a/", "$/a", {}},
      {"$/a//b", "$/a/b", {}},
      {"$/a/./b", "$/a/b", {}},
      {"$/a/.", "$/a", {}},
      {"/.", "/", {}},
      {"$/a/b/..", "$/a", {"$/a/b"}},
      {"$/a/b/../", "$/a", {"$/a/b"}},
      {"$/a/b/../..", "$", {"$/a/b", "$/a"}},
      {"$/a/b/c/../../..", "$", {"$/a/b/c", "$/a/b", "$/a"}},
      {"/..", "/", {}},
      {"/../a", "/a", {}},
      {"", "", {}},
      {"a", "a", {}},
      {"a/", "a", {}},
      {"a//b", "a/b", {}},
      {".", "", {}},
      {"./", "", {}},
      {"./a", "a", {}},
      {"a/./b", "a/b", {}},
      {"..", "..", {}},
      {"../a", "../a", {}},
      {"..//a", "../a", {}},
      {"../../a", "../../a", {}},
      {"./..", "..", {}},
      {"a/..", "", {"a"}},
      {"a/../b", "b", {"a"}},
      {"a/../../b", "../b", {"a"}},
      {"a/b/..", "a", {"a/b"}},
      {"a/b/../..", "", {"a/b", "a"}},
      {"a/b/../../..", "..", {"a/b", "a"}},
      {"a/b/./../c", "a/c", {"a/b"}},
      {".x", ".x", {}},
      {"..x", "..x", {}},
      {"...", "...", {}},
      {"a/..x/b", "a/..x/b", {}},
      {"x/..", "x/..", {"x"}},
      {"a/x/../b", "a/x/../b", {"a/x"}},
      {"$/nonexist/..", "$/nonexist/..", {"$/nonexist"}},
      {"$/a//./nonexist/../b", "$/a//./nonexist/../b", {"$/a/nonexist"}},
  };
  for (const Row& row : rows) check(row);
}

TEST_F(Canon, SymbolicLinks) {
  const std::string parentOfT = std::filesystem::path(T).parent_path();
  const Row rows[] = {
      {"$/a/lnk/..", "$/t", {"$/a/lnk", "$/t/u"}},
      {"$/a/lnk/../c", "$/t/c", {"$/a/lnk", "$/t/u"}},
      {"$/a/rl/..", "$/a/b", {"$/a/rl", "$/a/b/c"}},
      {"$/a/rl/../x", "$/a/b/x", {"$/a/rl", "$/a/b/c"}},
      {"rl/../z", "a/z", {"rl", "a/b"}},
      {"al/../z", "$/t/z", {"al", "$/t/u"}},
      {"../lnk/..", "../u", {"../lnk", "../u/a"}},
      {"$/p/tl/..", "$/p", {"$/p/tl", "$/p/q"}},
      {"$/r/..", "/", {"$/r"}},
      {"$/a/dang/..", "$/a/dang/..", {"$/a/dang", "$/nowhere/x"}},
      {"../../home/al2/..", "$/t", {"../../home/al2", "$/t/u"}},
  };
  for (const Row& row : rows) check(row);
  // A link to "." names its own directory, whose parent is the parent of T.
  canonicalizeReset();
  EXPECT_EQ(canon(T + "/d/.."), parentOfT);
  EXPECT_EQ(lookups(), (V{T + "/d", T}));
}

TEST_F(Canon, CacheIsFirstInFirstOut) {
  for (const char* d : {"q", "r", "q", "s", "t", "v"}) canon(T + "/p/" + d + "/..");
  const V five = {T + "/p/q", T + "/p/r", T + "/p/s", T + "/p/t", T + "/p/v"};
  EXPECT_EQ(lookups(), five);  // the second q was a hit and moved nothing

  canon(T + "/p/w/..");
  EXPECT_EQ(lookups(), (V{T + "/p/r", T + "/p/s", T + "/p/t", T + "/p/v", T + "/p/w"}));
  canon(T + "/p/q/..");
  EXPECT_EQ(lookups(), (V{T + "/p/s", T + "/p/t", T + "/p/v", T + "/p/w", T + "/p/q"}));
}

TEST_F(Canon, CachedAnswersStandUntilEvictedOrReset) {
  const std::string late = T + "/p/late/..";
  EXPECT_EQ(canon(late), late);  // missing: the source comes back
  std::filesystem::create_directory(tmp / "p/late");
  EXPECT_EQ(canon(late), late);  // the cached miss is not looked at again
  canonicalizeReset();
  EXPECT_EQ(canon(late), T + "/p");

  // A cached directory that becomes a link keeps its old answer until five
  // newer lookups have pushed it out.
  std::filesystem::remove(tmp / "p/late");
  link("../t/u", "p/late");
  EXPECT_EQ(canon(late), T + "/p");
  for (const char* d : {"q", "r", "s", "t"}) canon(T + "/p/" + d + "/..");
  EXPECT_EQ(canon(late), T + "/p");  // still cached: only four newer
  canon(T + "/p/v/..");
  EXPECT_EQ(canon(late), T + "/t");
}

TEST_F(Canon, CyclesAndOversizedSplicesGiveTheSourceBack) {
  link("c1", "c1");
  link("c3", "c2");
  link("c2", "c3");
  link("ring2", "ring1");
  link("ring3", "ring2");
  link("ring1", "ring3");
  link("sub/../self", "self");
  link(std::string(1000, 'y'), "a/long");
  link(T + "/" + std::string(900, 'z'), "a/abslong");
  for (const char* rel : {"c1/..", "c2/..", "ring1/../x", "self/..", "a/long/..", "a/abslong/.."}) {
    canonicalizeReset();
    EXPECT_EQ(canon(T + "/" + rel), T + "/" + rel) << rel;
  }
}

TEST_F(Canon, LengthLimits) {
  const std::string longest = "/" + std::string(kCanonPathSize - 2, 'a');
  EXPECT_EQ(canon(longest), longest);
  EXPECT_EQ(canon(longest + "a"), "");
  const std::string dots = std::string(kCanonPathSize - 3, '/') + "..";
  EXPECT_EQ(canon(dots), "/");
}

TEST(PathParts, DirnameAndBasename) {
  struct {
    const char* path;
    const char* dirname;  // null: none
    const char* basename;
  } rows[] = {
      {"a/b", "a", "b"},     {"/a", "/", "a"},  {"//", "/", ""},
      {"/a/b/", "/a/b", ""}, {"a/", "a", ""},   {"/", nullptr, ""},
      {"ab", nullptr, "ab"}, {"", nullptr, ""}, {"/a/b", "/a", "b"},
  };
  for (const auto& row : rows) {
    // A writable copy: a function that cut its argument in place would
    // change it here, where a literal would only crash.
    std::string path = row.path;
    char* d = getDirname(path.data());
    if (row.dirname == nullptr)
      EXPECT_EQ(d, nullptr) << row.path;
    else
      EXPECT_STREQ(d, row.dirname) << row.path;
    free(d);
    EXPECT_EQ(path, row.path);
    const char* b = getBasename(path.c_str());
    EXPECT_STREQ(b, row.basename) << row.path;
    EXPECT_TRUE(b >= path.c_str() && b <= path.c_str() + path.size());
  }
  EXPECT_EQ(getDirname(nullptr), nullptr);
  EXPECT_EQ(getBasename(nullptr), nullptr);
}

}  // namespace
