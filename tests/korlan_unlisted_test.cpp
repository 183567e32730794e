// End to end, --unlisted: the files under ROOT that no listed path reaches,
// in every style.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
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
                            "old/f1", "old/sub/f2", "a b", "stray", "locked/f", kForged, kRedraw})
      testutil::makeFile(root(rel), strlen(rel));
    testutil::writeText(root("etc/packing.sha256"), "");
    testutil::writeText(root("etc/app.lst"),
                        "2 ./ok 9 ./gone 5 ./lib/x 5 ./lib64/y 8 ./bin/tool "
                        "15 ./lib/../deep/a/b/listed\n");
    tmp.link("lib", "root/lib64");
    ASSERT_EQ(link(root("bin/tool").c_str(), root("bin/tool-hl").c_str()), 0);
    // The lists kept at the top are not the installation's, whichever list
    // the run reads; anything else at one of their names is reported: a
    // signature that is none, a program planted as a list.
    testutil::writeText(root("packing.lst"), "1 ./ok\n");
    testutil::writeText(root("packing.lst.minisig"), "");
    testutil::writeText(root("packing.mtree.sig"), "");
    testutil::makeFile(root("bin/backdoor"), 8);
    ASSERT_EQ(link(root("bin/backdoor").c_str(), root("packing.sha256").c_str()), 0);
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
  // Names that would forge a summary line, or redraw a terminal's line.
  static constexpr const char* kForged = "x\nKorlan Succeeded: all file comparisons correct";
  static constexpr const char* kRedraw = "\r\033[2Kcr";
};

TEST_F(Unlisted, ReportsWhatNoListedPathReaches) {
  const std::string gone = "File Not Found: " + root("gone") + "\n";
  // Names found on the disk are written with their control bytes escaped.
  const std::vector<std::pair<std::string, std::string>> unlisted = {
      {kRedraw, "\\r\\033[2Kcr"},
      {"a b", "a b"},
      {"packing.lst.minisig", "packing.lst.minisig"},
      {"packing.mtree.sig", "packing.mtree.sig"},
      {"packing.sha256", "packing.sha256"},
      {"stray", "stray"},
      {kForged, "x\\nKorlan Succeeded: all file comparisons correct"},
      {"bin/backdoor", "bin/backdoor"},
      {"deep/a/b/core", "deep/a/b/core"},
      {"etc/packing.sha256", "etc/packing.sha256"},
      {"locked", "locked"},
      {"old/f1", "old/f1"},
      {"old/sub/f2", "old/sub/f2"}};
  std::string plain = "\n" + gone + "\n[Looking for unlisted files]\n", quiet = gone, tsv;
  tsv = "missing\t" + root("gone") + "\t9\t\tNo such file or directory\n";
  for (const auto& [rel, shown] : unlisted) {
    const std::string line =
        (rel == "locked" ? "Cannot Read: " : "Unlisted: ") + root(shown) + "\n";
    plain += "\n" + line;
    quiet += line;
    const size_t size = rel == "bin/backdoor" || rel == "packing.sha256" ? 8
                        : rel.find("packing.") != std::string::npos      ? 0
                                                                         : rel.size();
    tsv += rel == "locked" ? "unreadable\t" + root(rel) + "\t\t\tPermission denied\n"
                           : "unlisted\t" + root(shown) + "\t\t" + std::to_string(size) + "\t\n";
  }
  const std::string summary = "Korlan Failure: 14 out of 19 file comparisons failed\n";
  EXPECT_EQ(with({"--unlisted"}), completed(6, plain, 14, 19));
  EXPECT_EQ(with({"-q", "--unlisted", "--strict"}), (Result{quiet + summary, "", 2}));
  EXPECT_EQ(with({"--unlisted", "--tsv"}), (Result{tsv + "total\t14\t19\n", "", 0}));
  // Without the option, the walk's own failure alone.
  EXPECT_EQ(with({"-q"}),
            (Result{gone + "Korlan Failure: 1 out of 6 file comparisons failed\n", "", 0}));
}

}  // namespace
