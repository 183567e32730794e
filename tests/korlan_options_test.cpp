// End to end, the options for scripts: what each changes in the report and
// the exit status, and the command lines refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
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

TEST_F(ScriptOptions, StrictAsksForProof) {
  testutil::writeText(tmp / "empty", "\n");
  testutil::writeText(tmp / "good", "1 ./ok 1 ./c/f1");
  const std::string noFile = "korlan: the packing list names no file\n";
  EXPECT_EQ(korlan({"--strict", tmp / "root", tmp / "empty"}),
            (Result{completed(0, "").out, noFile, 2}));
  EXPECT_EQ(korlan({"--strict", "--tsv", tmp / "root", tmp / "empty"}),
            (Result{"total\t0\t0\n", noFile, 2}));
  testutil::writeText(tmp / "empty.mtree", "#mtree\n");
  EXPECT_EQ(korlan({"--strict", "--mtree", tmp / "root", tmp / "empty.mtree"}),
            (Result{completed(0, "").out, "korlan: the manifest names no entry\n", 2}));
  EXPECT_EQ(korlan({"--strict", tmp / "root", tmp / "good"}), completed(2, ""));
  // Statuses that were never 0 stay as they were.
  EXPECT_EQ(korlan({"--strict", tmp / "root", tmp / "absent"}),
            (Result{"", "can't open " + tmp / "absent" + "\n", 255}));
}

// The records escape every field, and begin with the run's own: the version, ROOT, the kind
// of list, the list, the sums file, the host, the start time in UTC, the signer. A refused
// run writes the record of its refusal where a script reads.
TEST_F(ScriptOptions, TsvEscapesPathsAndRecordsTheRun) {
  const std::string odd = tmp / "t\tn\nb\\", escaped = tmp.path() + "/t\\tn\\nb\\\\";
  testutil::writeText(tmp / "one", "1 ./x");
  EXPECT_EQ(korlan({"--tsv", odd, tmp / "one"}), (Result{"missing\t" + escaped +
                                                             "/x\t1\t\tNo such file or directory\n"
                                                             "total\t1\t1\n",
                                                         "", 0}));
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  const auto raw = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "korlan");
    testutil::Launch launch{KORLAN_BIN, args};
    launch.keepRun = true;
    return testutil::run(launch, tmp);
  };
  const std::string tsv = raw({"--tsv", odd, tmp / "one"}).out;
  const std::string start = tsv.substr(tsv.find(host) + strlen(host) + 1, 20);
  EXPECT_EQ(tsv.substr(0, tsv.find('\n') + 1), "run\t1.0\t" + escaped + "\tlist\t" + tmp / "one" +
                                                   "\t\t" + host + "\t" + start + "\t\n");
  struct tm utc = {};
  EXPECT_NE(strptime(start.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc), nullptr) << start;
  const std::string json = raw({"--json", "--sums=" + tmp / "sums", odd, tmp / "one"}).out;
  EXPECT_EQ(json.substr(json.find('\n') + 1),
            "{\"kind\":\"error\",\"message\":\"can't open " + tmp / "sums" + "\"}\n");
  EXPECT_EQ(raw({"--tsv", "--mtree", odd, tmp / "absent"}),
            (Result{"error\tcan't open " + tmp / "absent" + "\n",
                    "can't open " + tmp / "absent" + "\n", 255}));
  testutil::writeText(tmp / "m", "#mtree\n./x type=file\n");
  const std::string manifest = raw({"--json", "--mtree", odd, tmp / "m"}).out;
  EXPECT_EQ(manifest.substr(0, manifest.find(",\"host\"")),
            "{\"kind\":\"run\",\"version\":\"1.0\",\"root\":\"" + tmp.path() +
                "/t\\tn\\nb\\\\\",\"source\":\"mtree\",\"list\":\"" + tmp / "m" +
                "\",\"sums\":\"\"");
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
  for (const char* option : {"--strict", "--full-paths", "--quiet", "--tsv", "--json", "--unlisted",
                             "--make-list", "--make-sums", "--sums"})
    EXPECT_NE(help.out.find(std::string("korlan ") + option), std::string::npos) << option;
  EXPECT_EQ(korlan({"-h"}), help);
  // The manual page is the complete reference: every option the help names.
  std::string page = testutil::readText(KORLAN_SOURCE_DIR "/doc/korlan.1");
  for (size_t at; (at = page.find("\\-")) != std::string::npos;) page.replace(at, 2, "-");
  size_t options = 0;
  std::istringstream words(help.out);
  for (std::string word; words >> word;) {
    word.erase(0, word.find_first_not_of("[("));
    const size_t name = word.find_first_not_of('-');
    if (name == 0 || name > 2 || name == std::string::npos || !islower(word[name])) continue;
    const std::string option =
        word.substr(0, word.find_first_not_of("abcdefghijklmnopqrstuvwxyz-"));
    EXPECT_NE(page.find(option), std::string::npos) << option;
    ++options;
  }
  EXPECT_GT(options, 20u);
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
      {{"--json", "--tsv", "r", "l"}, "korlan: --tsv and --json cannot be used together\n"},
      {{"--make-list", "--json", "r"}, "korlan: --make-list takes no other option\n"},
      {{"--make", "r"},
       "korlan: option --make is ambiguous: --make-list, --make-sums, --make-mtree, "
       "--make-lists\n"},
      {{"--sums", "--mtree", "r", "l"},
       "korlan: --sums and --mtree cannot be used together: a manifest gives its own digests\n"},
      {{"--keywords=uid", "r", "l"},
       "korlan: --keywords goes with --make-mtree, --make-lists or --archive\n"},
      {{"--make-mtree", "--files-from=f", "r"}, "korlan: --files-from goes with --make-lists\n"},
      {{"--make-mtree", "--keywords=uid,bogus", "r"},
       "korlan: option --keywords: unknown keyword bogus\n"},
      {{"--make-mtree", "--keywords=optional", "r"},
       "korlan: option --keywords: optional, nochange and ignore are rules, not keywords to "
       "write\n"},
      {{"--make-mtree", "--keywords=", "r"}, "korlan: option --keywords: a keyword is empty\n"},
      {{"--make-mtree", "--keywords=mode,,size", "r"},
       "korlan: option --keywords: a keyword is empty\n"},
      {{"--make-mtree", "--mtree", "r"}, "korlan: --make-mtree takes no other option\n"},
      {{"--s=x", "r", "l"},
       "korlan: option --s is ambiguous: --strict, --sums, --strip-components, "
       "--strict-conffiles\n"},
      {{"--sums", "f", "r", "l"},
       "korlan: expected ROOT and LIST, or no operand (a sums file is given as --sums=FILE)\n"},
      {{"--make-list", ""}, "korlan: ROOT is empty\n"},
      {{"--make-sums", ""}, "korlan: ROOT is empty\n"},
      {{"--unlisted", "", "l"}, "korlan: ROOT is empty\n"},
      {{"--mtree", "", "l"}, "korlan: ROOT is empty\n"},
      {{"--archive", "r"}, "korlan: --archive takes two operands, ROOT and ARCHIVE\n"},
      {{"--archive", "", "a"}, "korlan: ROOT is empty\n"},
      {{"--archive", "--mtree", "r", "a"},
       "korlan: --archive cannot be used with --mtree or --sums: an archive gives its own entries "
       "and bytes\n"},
      {{"--strip-components=1", "r", "l"}, "korlan: --strip-components goes with --archive\n"},
      {{"--archive", "--strip-components=-1", "r", "a"},
       "korlan: option --strip-components takes a whole number\n"},
      {{"--make-mtree", "--archive"},
       "korlan: --make-mtree --archive takes one operand, ARCHIVE\n"},
      {{"--make-list", "--archive", "r"}, "korlan: --make-list takes no other option\n"},
      {{"--root=/", "r", "l"}, "korlan: --root goes with --dpkg\n"},
      {{"--strict-conffiles"}, "korlan: --strict-conffiles goes with --dpkg\n"},
      {{"--dpkg", "--admindir="}, "korlan: option --admindir needs a directory\n"},
      {{"--dpkg", "--unlisted"},
       "korlan: --unlisted and --dpkg cannot be used together: dpkg's database does not say "
       "what else the packages' directories may hold\n"},
      {{"--dpkg", "--mtree"},
       "korlan: --mtree and --dpkg cannot be used together: dpkg's database gives its own "
       "digests\n"},
      {{"--dpkg", "--key=k"},
       "korlan: --key and --dpkg cannot be used together: dpkg's database carries no "
       "signature\n"},
      {{"--dpkg", "--dpkg-format", "--json"},
       "korlan: --json and --dpkg-format cannot be used together\n"},
      // Options come before the operands.
      {{"r", "--strict", "l"}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(korlan(c.args), (Result{usage, c.err, 255})) << c.args[0];
}

}  // namespace
