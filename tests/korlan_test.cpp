// End to end: the built program on trees made here, its standard output,
// standard error and exit status compared exactly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

using testutil::Result;

const std::string kReading = "[reading packing.lst]\n";
const std::string kWalking = "[Walking directory tree and comparing files]\n";
const std::string kSucceeded = "Korlan Succeeded: all file comparisons correct\n";

class Korlan : public ::testing::Test {
 protected:
  testutil::TempDir tmp;

  Result korlan(std::vector<std::string> args, const std::string& cwd = "") {
    args.insert(args.begin(), "korlan");
    return testutil::run({KORLAN_BIN, args, cwd}, tmp);
  }
  // Verifies tmp/root against a list written to tmp/list.
  Result verify(const std::string& list) {
    testutil::writeText(tmp / "list", list);
    return korlan({tmp / "root", tmp / "list"});
  }
  std::string root(const std::string& rel) { return tmp / ("root/" + rel); }
};

TEST_F(Korlan, WrongArgumentCountPrintsUsage) {
  const Result usage{"Korlan [ dirname packing.list]\n", "", 255};
  EXPECT_EQ(korlan({"one"}), usage);
  EXPECT_EQ(korlan({"one", "two", "three"}), usage);
}

TEST_F(Korlan, ListThatCannotBeOpened) {
  EXPECT_EQ(korlan({tmp.path(), tmp / "absent"}),
            (Result{"", "can't open " + tmp / "absent" + "\n", 255}));
}

TEST_F(Korlan, EmptyListSucceeds) {
  const Result empty{kReading + "\n" + kWalking + "\n" + kSucceeded, "", 0};
  EXPECT_EQ(verify(""), empty);
  EXPECT_EQ(verify(" \n\t\r\n"), empty);
}

TEST_F(Korlan, CorrectInstallation) {
  testutil::makeFile(root("bin/setup"), 4096);
  testutil::makeFile(root("lib/app/config.txt"), 120);
  testutil::makeFile(root("README"), 0);
  EXPECT_EQ(verify("4096 ./bin/setup\r\n120 ./lib/app/config.txt\r\n"
                   "0 ./README\r\n0120 ./lib/app/../app/config.txt\n"),
            (Result{kReading + "....\n" + kWalking + "\n" + kSucceeded, "", 0}));
}

TEST_F(Korlan, ReportsMissingAndWrongSizesInWalkOrder) {
  for (int i = 0; i < 10; ++i)
    testutil::makeFile(root("d/f" + std::to_string(i)), i);
  testutil::makeFile(root("bin/ls"), 180);
  std::string list = "200 ./bin/ls 0 ./gone ";
  for (int i = 0; i < 10; ++i) list += std::to_string(i) + " ./d/f" + std::to_string(i) + " ";
  list += "1 ./d/gone 5 ./bin/ls";
  // Walk order: top files (gone), then bin (ls, ls), then d (f0..f9, gone).
  // The tenth file, d/f6, writes the dot; the report after it starts a line.
  EXPECT_EQ(verify(list),
            (Result{kReading + std::string(14, '.') + "\n" + kWalking +
                        "\nFile Not Found: " + root("gone") + "\n" +
                        "\nls:\texpected size of 200; actual 180\n" +
                        "\nls:\texpected size of 5; actual 180\n" + "." +
                        "\nFile Not Found: " + root("d/gone") + "\n" +
                        "\nKorlan Failure: 4 out of 14 file comparisons failed\n",
                    "", 0}));
}

TEST_F(Korlan, SizesBeyondThirtyTwoBits) {
  testutil::makeFile(root("big"), 3221225472LL);
  EXPECT_EQ(verify("3221225472 ./big"),
            (Result{kReading + ".\n" + kWalking + "\n" + kSucceeded, "", 0}));
  EXPECT_EQ(verify("4294967296 ./big"),
            (Result{kReading + ".\n" + kWalking +
                        "\nbig:\texpected size of 4294967296; actual 3221225472\n"
                        "\nKorlan Failure: 1 out of 1 file comparisons failed\n",
                    "", 0}));
}

TEST_F(Korlan, DotDirectoryBelowTheTopKeepsItsPath) {
  testutil::makeFile(root("a/b/f"), 3);
  EXPECT_EQ(verify("3 ./a/./b/f 4 ./a/./b/f"),
            (Result{kReading + "..\n" + kWalking +
                        "\nf:\texpected size of 4; actual 3\n"
                        "\nKorlan Failure: 1 out of 2 file comparisons failed\n",
                    "", 0}));
}

TEST_F(Korlan, RootPathIsUsedAsGiven) {
  testutil::makeFile(root("x"), 1);
  testutil::writeText(tmp / "list", "1 ./x 1 ./y");
  EXPECT_EQ(korlan({tmp / "root/", tmp / "list"}),
            (Result{kReading + "..\n" + kWalking + "\nFile Not Found: " +
                        tmp / "root//y" + "\n" +
                        "\nKorlan Failure: 1 out of 2 file comparisons failed\n",
                    "", 0}));
}

TEST_F(Korlan, RelativeListIsTakenFromTheWorkingDirectory) {
  testutil::makeFile(root("x"), 1);
  testutil::writeText(tmp / "cwd/rel.lst", "1 ./x");
  EXPECT_EQ(korlan({"../root", "rel.lst"}, tmp / "cwd"),
            (Result{kReading + ".\n" + kWalking + "\n" + kSucceeded, "", 0}));
}

TEST_F(Korlan, MalformedListsStopBeforeTheWalk) {
  const std::string tooLong(1024, 'z');
  struct {
    const char* what;
    std::string list;
    std::string dots;
    std::string err;
  } cases[] = {
      {"no ./", "5 usr/bin/ls", "", "Expected . directory: actually usr\n"},
      {"entry starts with ./", "./x 5", "", "Expected size: actually .\n"},
      {"ends after the size", "1 ./a 5", ".", "Expected . directory: actually EOF\n"},
      {"file name as size", "1 ./a x ./b", ".", "Expected size: actually x\n"},
      {"negative size", "-5 ./a", "", "Expected size: actually -5\n"},
      {"size beyond 64 bits", "9223372036854775808 ./a", "",
       "Expected size: actually 9223372036854775808\n"},
      {"path cut short", "1 ./a 12 ./lib/", "..",
       "Expected file name: actually EOF\n"},
      {"nothing after ./", "12 ./", ".", "Expected file name: actually EOF\n"},
      {"too long size", tooLong + " ./a", "",
       "packing list holds a token that is too long: " + std::string(40, 'z') + "...\n"},
      {"too long directory", "1 ./" + tooLong + "/x", ".",
       "packing list holds a token that is too long: " + std::string(40, 'z') + "...\n"},
      {"too long second token", "1 " + tooLong, "",
       "packing list holds a token that is too long: " + std::string(40, 'z') + "...\n"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(verify(c.list), (Result{kReading + c.dots, c.err, 255})) << c.what;
}

TEST_F(Korlan, EndlessInputEndsAtOnce) {
  EXPECT_EQ(korlan({tmp.path(), "/dev/zero"}),
            (Result{kReading,
                    "packing list holds a token that is too long: " +
                        std::string(40, '\0') + "...\n",
                    255}));
}

TEST_F(Korlan, ListThatCannotBeRead) {
  EXPECT_EQ(korlan({tmp.path(), tmp.path()}),
            (Result{kReading, "can't read " + tmp.path() + "\n", 255}));
}

}  // namespace
