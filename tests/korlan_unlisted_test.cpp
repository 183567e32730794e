// End to end, --unlisted: the files under ROOT that no listed path reaches,
// in every style.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using testutil::completed;
using testutil::Korlan;
using testutil::Result;

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

}  // namespace
