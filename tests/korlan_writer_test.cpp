// End to end, against whoever can write the tree while a run goes: a file and a directory
// exchanged with links in a loop, a link retargeted. A run never says "Succeeded" of a tree
// that held a difference at every instant, and a maker never writes what it must not read.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using testutil::Result;

// Exchanges two paths (renameat2 RENAME_EXCHANGE) over and over while it lives.
class Exchanger {
 public:
  Exchanger(const std::string& a, const std::string& b)
      : thread_([this, a, b] {
          while (!stop_)
            if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) != 0) return;
        }) {}
  ~Exchanger() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

const int kRuns = 200;

class Writer : public testutil::Korlan {
 protected:
  // Runs korlan `kRuns` times with `args` while `a` and `b` are exchanged; the outputs.
  std::vector<Result> racing(const std::string& a, const std::string& b,
                             const std::vector<std::string>& args) {
    std::vector<Result> results;
    const Exchanger exchanger(a, b);
    for (int i = 0; i < kRuns; ++i) results.push_back(korlan(args));
    return results;
  }
  std::string sha256(const std::string& text) {
    testutil::writeText(tmp / "h/f", text);
    const std::string line = korlan({"--make-sums", tmp / "h"}).out;
    return line.substr(0, 64);
  }
};

TEST_F(Writer, SwapsWithLinksNeverPassUnderMtreeOrArchive) {
  const std::string good = "good bytes\n", bad = "evil bytes\n";
  testutil::writeText(tmp / "good/f", good);
  testutil::writeText(tmp / "good/d/g", good);
  testutil::writeText(root("f"), bad);
  testutil::writeText(root("d/g"), bad);
  tmp.link(tmp / "good/f", "flink");
  tmp.link(tmp / "good/d", "dlink");
  const std::string digest = " size=11 sha256digest=" + sha256(good) + "\n";
  // The directory named, and not: bsdtar names only the files it was given.
  for (const std::string& manifest :
       {"#mtree\n./f type=file" + digest, "#mtree\n./d type=dir\n./d/g type=file" + digest,
        "#mtree\n./d/g type=file" + digest}) {
    testutil::writeText(tmp / "m", manifest);
    const bool file = manifest.find("./f") != std::string::npos;
    int succeeded = 0;
    for (const Result& r : racing(root(file ? "f" : "d"), tmp / (file ? "flink" : "dlink"),
                                  {"-q", "--strict", "--mtree", root(""), tmp / "m"}))
      succeeded += r.status == 0;
    EXPECT_EQ(succeeded, 0) << manifest;
  }
  // An archive of the good tree: its bytes, compared as they stream, are of the file then
  // judged, never of one exchanged for it (a link; a file of the good bytes and another mode).
  if (access("/usr/bin/tar", X_OK) != 0) GTEST_SKIP() << "GNU tar is not installed";
  testutil::writeText(tmp / "fgood", good);
  ASSERT_EQ(chmod((tmp / "good/f").c_str(), 0644), 0);
  ASSERT_EQ(chmod(root("f").c_str(), 0644), 0);
  ASSERT_EQ(chmod((tmp / "fgood").c_str(), 0600), 0);
  const struct {
    std::string member, a, b;
  } swaps[] = {{"./f", root("f"), tmp / "flink"},
               {"./d", root("d"), tmp / "dlink"},
               {"./f", root("f"), tmp / "fgood"}};
  for (const auto& swap : swaps) {
    const std::string archive = tmp / "good.tar";
    ASSERT_EQ(testutil::run(
                  {"/usr/bin/tar", {"tar", "-cf", archive, "-C", tmp / "good", swap.member}}, tmp)
                  .status,
              0);
    int succeeded = 0;
    for (const Result& r :
         racing(swap.a, swap.b, {"-q", "--strict", "--archive", root(""), archive}))
      succeeded += r.status == 0;
    EXPECT_EQ(succeeded, 0) << swap.b;
  }
}

// What is judged of one entry is of one file: a file of the mode stated and an extended
// attribute it must not have, exchanged with one of neither, never passes.
TEST_F(Writer, AttributesAreOfTheFileLookedAt) {
  testutil::writeText(root("x"), "x");
  testutil::writeText(tmp / "other", "x");
  ASSERT_EQ(chmod((tmp / "other").c_str(), 0600), 0);
  ASSERT_EQ(chmod(root("x").c_str(), 0644), 0);
  if (setxattr(root("x").c_str(), "user.evil", "1", 1, 0) != 0)
    GTEST_SKIP() << "the file system of " << tmp.path() << " keeps no user attributes";
  testutil::writeText(tmp / "m", "./x type=file mode=0644 size=1 flags=none xattr=none\n");
  int succeeded = 0;
  for (const Result& r :
       racing(root("x"), tmp / "other", {"-q", "--strict", "--mtree", root(""), tmp / "m"}))
    succeeded += r.status == 0;
  EXPECT_EQ(succeeded, 0);
}

TEST_F(Writer, MakersNeverReadThroughALinkTheyDidNotList) {
  // A secret outside ROOT, and a file of its name in a directory that is exchanged with a
  // link to the secret's directory while the makers run.
  testutil::writeText(tmp / "outside/secret", "the secret\n");
  ASSERT_EQ(chmod((tmp / "outside/secret").c_str(), 0600), 0);
  testutil::writeText(root("d/secret"), "not secret\n");
  testutil::writeText(root("l"), "");
  tmp.link(tmp / "outside", "dlink");
  // A link retargeted between targets of two lengths.
  ASSERT_EQ(unlink(root("l").c_str()), 0);
  tmp.link("a", "root/l");
  tmp.link("bbbbbbbb", "other");
  const std::string secret = sha256("the secret\n");
  for (const char* maker : {"--make-sums", "--make-mtree", "--make-lists"}) {
    const Exchanger links(root("l"), tmp / "other");
    for (const Result& r : racing(root("d"), tmp / "dlink", {maker, root("")})) {
      const std::string written = std::string(maker) != "--make-lists"
                                      ? r.out
                                      : testutil::readText(root("packing.sha256")) +
                                            testutil::readText(root("packing.mtree"));
      EXPECT_EQ(written.find(secret), std::string::npos) << maker << "\n" << written;
      // A link's target whole, or the entry refused: never an empty one.
      EXPECT_EQ(written.find("link= "), std::string::npos) << written;
      EXPECT_EQ(written.find("link=\n"), std::string::npos) << written;
    }
  }
}

}  // namespace
