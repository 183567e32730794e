// End to end, the two-operand run: the built program on trees made here,
// its standard output, standard error and exit status compared exactly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

using testutil::completed;
using testutil::Korlan;
using testutil::kReading;
using testutil::Result;

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
  const Result empty = completed(0, "");
  EXPECT_EQ(verify(""), empty);
  EXPECT_EQ(verify(" \n\t\r\n"), empty);
}

TEST_F(Korlan, CorrectInstallation) {
  testutil::makeFile(root("bin/setup"), 4096);
  testutil::makeFile(root("lib/app/config.txt"), 120);
  testutil::makeFile(root("README"), 0);
  EXPECT_EQ(verify("4096 ./bin/setup\r\n120 ./lib/app/config.txt\r\n"
                   "0 ./README\r\n0120 ./lib/app/../app/config.txt\n"),
            completed(4, ""));
}

TEST_F(Korlan, ReportsMissingAndWrongSizesInWalkOrder) {
  for (int i = 0; i < 10; ++i) testutil::makeFile(root("d/f" + std::to_string(i)), i);
  testutil::makeFile(root("bin/ls"), 180);
  std::string list = "200 ./bin/ls 0 ./gone ";
  for (int i = 0; i < 10; ++i) list += std::to_string(i) + " ./d/f" + std::to_string(i) + " ";
  list += "1 ./d/gone 5 ./bin/ls";
  // Walk order: top files (gone), then bin (ls, ls), then d (f0..f9, gone).
  // The tenth file, d/f6, writes the dot; the report after it starts a line.
  EXPECT_EQ(verify(list), completed(14,
                                    "\nFile Not Found: " + root("gone") + "\n" +
                                        "\nls:\texpected size of 200; actual 180\n" +
                                        "\nls:\texpected size of 5; actual 180\n" + "." +
                                        "\nFile Not Found: " + root("d/gone") + "\n",
                                    4, 14));
}

TEST_F(Korlan, SizesBeyondThirtyTwoBits) {
  testutil::makeFile(root("big"), 3221225472LL);
  EXPECT_EQ(verify("3221225472 ./big"), completed(1, ""));
  EXPECT_EQ(verify("4294967296 ./big"),
            completed(1, "\nbig:\texpected size of 4294967296; actual 3221225472\n", 1, 1));
}

TEST_F(Korlan, DotDirectoryBelowTheTopKeepsItsPath) {
  testutil::makeFile(root("a/b/f"), 3);
  EXPECT_EQ(verify("3 ./a/./b/f 4 ./a/./b/f"),
            completed(2, "\nf:\texpected size of 4; actual 3\n", 1, 2));
}

TEST_F(Korlan, RootPathIsUsedAsGiven) {
  testutil::makeFile(root("x"), 1);
  testutil::writeText(tmp / "list", "1 ./x 1 ./y");
  EXPECT_EQ(korlan({tmp / "root/", tmp / "list"}),
            completed(2, "\nFile Not Found: " + tmp / "root//y" + "\n", 1, 2));
}

TEST_F(Korlan, RelativeListIsTakenFromTheWorkingDirectory) {
  testutil::makeFile(root("x"), 1);
  testutil::writeText(tmp / "cwd/rel.lst", "1 ./x");
  EXPECT_EQ(korlan({"../root", "rel.lst"}, tmp / "cwd"), completed(1, ""));
}

// Each refusal in the list's own words, and then where, with a hint where the list looks like
// another kind.
TEST_F(Korlan, MalformedListsStopBeforeTheWalk) {
  const std::string tooLong(1024, 'z'), here = "1: refused here";
  const std::string hex(64, 'e');
  struct {
    const char* what;
    std::string list;
    std::string dots;
    std::string err;
    std::string where;
  } cases[] = {
      {"no ./", "5 usr/bin/ls", "", "Expected . directory: actually usr\n", here},
      {"entry starts with ./", "./x 5", "", "Expected size: actually .\n", here},
      {"ends after the size", "1 ./a 5", ".", "Expected . directory: actually EOF\n", here},
      {"file name as size", "1 ./a\n\n x ./b", ".", "Expected size: actually x\n",
       "3: refused here"},
      {"negative size", "-5 ./a", "", "Expected size: actually -5\n", here},
      {"size beyond 64 bits", "9223372036854775808 ./a", "",
       "Expected size: actually 9223372036854775808\n", here},
      {"path cut short", "1 ./a\n12 ./lib/", "..", "Expected file name: actually EOF\n",
       "2: refused here"},
      {"nothing after ./", "12 ./", ".", "Expected file name: actually EOF\n", here},
      {"too long size", tooLong + " ./a", "",
       "packing list holds a token that is too long: " + std::string(40, 'z') + "...\n", here},
      {"too long directory", "1 ./" + tooLong + "/x", ".",
       "packing list holds a token that is too long: " + std::string(40, 'z') + "...\n", here},
      {"too long second token", "1 " + tooLong, "",
       "packing list holds a token that is too long: " + std::string(40, 'z') + "...\n", here},
      {"a manifest", "#mtree\n./a type=file", "", "Expected size: actually #mtree\n",
       "1: a manifest, which --mtree reads?"},
      {"a sums file", hex + "  ./a\n", "", "Expected size: actually " + hex + "\n",
       "1: the digests of a packing list, which --sums=FILE reads beside it?"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(verify(c.list),
              (Result{kReading + c.dots, c.err + "korlan: " + tmp / "list:" + c.where + "\n", 255}))
        << c.what;
}

TEST_F(Korlan, NulBytesRefuseTheList) {
  // A NUL would silently end a name: "./a/b/f<NUL>junk" must not be checked
  // as ./a/b/f. Endless input of NULs ends at once.
  testutil::makeFile(root("a/b/f"), 6);
  const std::string refused = "packing list holds a NUL byte: " + tmp / "list" + "\n" +
                              "korlan: " + tmp / "list" + ":1: refused here\n";
  EXPECT_EQ(verify(std::string("6 ./a/b/f\0junk\n", 15)), (Result{kReading + ".", refused, 255}));
  EXPECT_EQ(verify(std::string("6 ./a/b/f 6 ./a/\0/f", 20)),
            (Result{kReading + "..", refused, 255}));
  EXPECT_EQ(korlan({tmp.path(), "/dev/zero"}),
            (Result{kReading,
                    "packing list holds a NUL byte: /dev/zero\nkorlan: /dev/zero:1: refused here\n",
                    255}));
}

TEST_F(Korlan, ReportThatCannotBeWritten) {
  testutil::writeText(tmp / "list", "1 ./x");
  testutil::Launch full{KORLAN_BIN, {"korlan", tmp.path(), tmp / "list"}, "", nullptr, "/dev/full"};
  EXPECT_EQ(testutil::run(full, tmp), (Result{"", "korlan: cannot write standard output\n", 255}));
  // Nor does it wait for the files its workers began to read: a sparse
  // terabyte would take minutes (the alarm ends a run that waits).
  testutil::makeFile(root("huge"), 1LL << 40);
  std::string list = "1099511627776 ./huge\n",
              manifest = "./huge type=file sha256=" + std::string(64, '0') + "\n";
  for (int i = 0; i < 40; ++i) {
    list += "0 ./f" + std::to_string(i) + "\n";
    manifest += "./f" + std::to_string(i) + " type=file size=0\n";
  }
  testutil::writeText(tmp / "list", list);
  testutil::writeText(tmp / "sums", std::string(64, '0') + "  ./huge\n");
  testutil::writeText(tmp / "m", manifest);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--sums=" + tmp / "sums", root(""), tmp / "list"},
        std::vector<std::string>{"--mtree", root(""), tmp / "m"}}) {
    full.argv = {"korlan"};
    full.argv.insert(full.argv.end(), args.begin(), args.end());
    full.inChild = [] { alarm(60); };
    EXPECT_EQ(testutil::run(full, tmp), (Result{"", "korlan: cannot write standard output\n", 255}))
        << args[0];
  }
}

TEST_F(Korlan, ListThatCannotBeRead) {
  EXPECT_EQ(korlan({tmp.path(), tmp.path()}),
            (Result{kReading, "can't read " + tmp.path() + "\n", 255}));
}

TEST_F(Korlan, ReadErrorAnywhereInTheList) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime must be the first library loaded";
#endif
  // The list breaks off at every byte in turn, inside tokens and between
  // them: each time the run says it could not read the list, never that the
  // list is malformed, and never reaches a summary.
  const std::string list = "5 ./a/bb 6 ./cc/d 7 ./e\n";
  testutil::writeText(tmp / "list", list);
  for (size_t limit = 0; limit <= list.size(); ++limit) {
    const std::vector<std::string> env = {"LD_PRELOAD=" KORLAN_FAULT_SHIM,
                                          "KORLAN_TEST_READ_LIMIT=" + std::to_string(limit)};
    const Result r =
        testutil::run({KORLAN_BIN, {"korlan", tmp / "root", tmp / "list"}, "", &env}, tmp);
    const size_t dots = r.out.size() - std::min(r.out.size(), kReading.size());
    EXPECT_EQ(r,
              (Result{kReading + std::string(dots, '.'), "can't read " + tmp / "list" + "\n", 255}))
        << "read fails after " << limit << " bytes";
  }
}

// A file reached by several names is read once in a run, its digest taken for each: with
// reads failing past the list, the sums and one reading of it, every name verifies. And the
// link named as such sums name no link: it is checked against the file's own digest.
TEST_F(Korlan, AFileOfSeveralNamesIsReadOnce) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's runtime must be the first library loaded";
#endif
  const std::string bytes(1 << 20, 'b');
  testutil::writeText(root("lib/big.so.1"), bytes);
  ASSERT_EQ(link(root("lib/big.so.1").c_str(), root("lib/hard").c_str()), 0);
  tmp.link("big.so.1", "root/lib/big.so");
  tmp.link("lib/big.so", "root/big");
  const std::string list =
      "1048576 ./big 1048576 ./lib/big.so 1048576 ./lib/big.so.1 "
      "1048576 ./lib/hard\n";
  const std::string digest =
      testutil::run({"/bin/sh", {"sh", "-c", "sha256sum < " + root("lib/big.so.1")}}, tmp)
          .out.substr(0, 64);
  const std::string sums = digest + "  ./lib/big.so.1\n" + digest + "  ./lib/hard\n";
  testutil::writeText(tmp / "list", list);
  testutil::writeText(tmp / "sums", sums);
  const std::vector<std::string> env = {
      "LD_PRELOAD=" KORLAN_FAULT_SHIM,
      // (and libcrypto's configuration, read as it starts)
      "KORLAN_TEST_READ_LIMIT=" +
          std::to_string(list.size() + sums.size() + bytes.size() + (64 << 10))};
  EXPECT_EQ(testutil::run({KORLAN_BIN,
                           {"korlan", "-q", "--sums=" + tmp / "sums", tmp / "root", tmp / "list"},
                           "",
                           &env},
                          tmp),
            (Result{testutil::kSucceeded, "", 0}));
}

TEST_F(Korlan, BundledDemoInstallationVerifies) {
  const std::string demo = std::string(KORLAN_SOURCE_DIR) + "/demo";
  EXPECT_EQ(korlan({demo + "/installation", demo + "/packing.lst"}), completed(3, ""));
}

}  // namespace
