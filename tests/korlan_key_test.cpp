// End to end, --key: lists signed with the real minisign and signify-openbsd
// are believed, with their signer shown; anything else stops the run before
// a byte of the report.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace {

using testutil::completed;
using testutil::Result;

class Key : public testutil::Korlan {
 protected:
  void SetUp() override {
    if (access("/usr/bin/minisign", X_OK) != 0) GTEST_SKIP() << "minisign is not installed";
    testutil::makeFile(root("bin/tool"), 7);
    testutil::makeFile(root("etc/conf"), 3);
    testutil::writeText(tmp / "list", "7 ./bin/tool 3 ./etc/conf 1 ./gone\n");
    tool({"/usr/bin/minisign", "-G", "-W", "-p", "k.pub", "-s", "k.sec"});
    tool({"/usr/bin/minisign", "-G", "-W", "-p", "o.pub", "-s", "o.sec"});
  }
  void tool(std::vector<std::string> argv) {
    const Result r = testutil::run({argv[0], argv, tmp.path()}, tmp);
    ASSERT_EQ(r.status, 0) << argv[0] << ": " << r.err;
  }
  // Signs `file` with minisign; `legacy` over its bytes, else prehashed.
  void minisign(const std::string& file, const std::string& comment, bool legacy = false,
                const std::string& key = "k.sec") {
    std::vector<std::string> argv = {
        "/usr/bin/minisign", "-S", "-s", key, "-m", file, "-t", comment};
    if (legacy) argv.push_back("-l");
    tool(argv);
  }
  Result signedRun(std::vector<std::string> options, const std::string& pub = "k.pub") {
    options.insert(options.begin(), "--key=" + tmp / pub);
    options.push_back(tmp / "root");
    options.push_back(tmp / "list");
    return korlan(options);
  }
  // The report of the tree with the signer's line after the first line.
  Result report(const std::string& signer) {
    Result r = completed(3, "\nFile Not Found: " + root("gone") + "\n", 1, 3);
    r.out.insert(testutil::kReading.size(), "[Signed: " + signer + "]\n");
    return r;
  }
};

TEST_F(Key, SignedListsAreBelievedAndShowTheirSigner) {
  minisign("list", "app\t2.1");  // a tab, shown escaped
  EXPECT_EQ(signedRun({}), report("app\\t2.1"));
  // The signer in every style, where a script reads the report.
  EXPECT_EQ(signedRun({"-q"}), (Result{"[Signed: app\\t2.1]\nFile Not Found: " + root("gone") +
                                           "\nKorlan Failure: 1 out of 3 file comparisons failed\n",
                                       "", 0}));
  EXPECT_EQ(signedRun({"--tsv"}).out, korlan({"--tsv", tmp / "root", tmp / "list"}).out);
  testutil::Launch json{KORLAN_BIN,
                        {"korlan", "--json", "--key=" + tmp / "k.pub", root(""), tmp / "list"}};
  json.keepRun = true;
  const std::string record = testutil::run(json, tmp).out;
  EXPECT_NE(record.find(",\"signer\":\"app\\t2.1\"}\n{\"kind\":\"missing\""), std::string::npos)
      << record;
  minisign("list", "legacy", true);
  EXPECT_EQ(signedRun({}), report("legacy"));
  // A long list, and one that ends malformed: the report held back while
  // the signature is checked comes whole, as the unsigned run's, after the
  // signer's line; and so does the reader's message.
  for (const std::string& tail : {std::string(""), std::string("12 lib/x\n")}) {
    std::string entries;
    for (int i = 0; i < 3000; ++i) entries += "7 ./bin/tool\n";
    testutil::writeText(tmp / "long", entries + tail);
    Result expected = korlan({tmp / "root", tmp / "long"});
    tool({"/usr/bin/minisign", "-S", "-s", "k.sec", "-m", "long", "-t", "long"});
    expected.out.insert(testutil::kReading.size(), "[Signed: long]\n");
    EXPECT_EQ(korlan({"--key=" + tmp / "k.pub", tmp / "root", tmp / "long"}), expected) << tail;
  }
  // A list given as a FIFO is read once, and verified.
  ASSERT_EQ(mkfifo((tmp / "fifo").c_str(), 0600), 0);
  testutil::writeText(tmp / "fifo.minisig", testutil::readText(tmp / "list.minisig"));
  testutil::Launch fed{"/bin/sh",
                       {"sh", "-c",
                        "cat " + tmp / "list" + " > " + tmp / "fifo" + " & exec " + KORLAN_BIN +
                            " --key=" + tmp / "k.pub" + " " + tmp / "root" + " " + tmp / "fifo"}};
  EXPECT_EQ(testutil::run(fed, tmp), report("legacy"));

  // With the digests: both lists signed, the sums file by its own signature.
  const Result sums = korlan({"--make-sums", tmp / "root"});
  testutil::writeText(tmp / "packing.sha256", sums.out);
  const std::string unsigned_ = "korlan: " + tmp / "packing.sha256" + ": no signature: neither " +
                                tmp / "packing.sha256" + ".minisig nor " + tmp / "packing.sha256" +
                                ".sig exists\n";
  EXPECT_EQ(signedRun({"--sums"}), (Result{"", unsigned_, 255}));
  // Two lists are believed together as one release's: with one trusted comment.
  minisign("packing.sha256", "app 2");
  EXPECT_EQ(signedRun({"--sums"}),
            (Result{"",
                    "korlan: " + tmp / "packing.sha256.minisig" + ": signed as \"app 2\", and " +
                        tmp / "list" + " as \"legacy\": lists of two releases\n",
                    255}));
  minisign("packing.sha256", "legacy");
  EXPECT_EQ(signedRun({"--sums"}), report("legacy"));

  if (access("/usr/bin/signify-openbsd", X_OK) != 0)
    GTEST_SKIP() << "signify-openbsd is not installed";
  tool({"/usr/bin/signify-openbsd", "-G", "-n", "-p", "s.pub", "-s", "s.sec"});
  tool({"/usr/bin/signify-openbsd", "-S", "-s", "s.sec", "-m", "list", "-x", "list.sig"});
  // A list.minisig by another key is not passed over for list.sig.
  const Result other = signedRun({}, "s.pub");
  EXPECT_EQ(other.status, 255);
  EXPECT_EQ(other.out, "");
  EXPECT_NE(other.err.find(tmp / "list.minisig: signed by key"), std::string::npos) << other.err;
  ASSERT_EQ(unlink((tmp / "list.minisig").c_str()), 0);
  const Result signify = signedRun({}, "s.pub");
  EXPECT_EQ(signify.err, "");
  EXPECT_EQ(signify.out.substr(0, testutil::kReading.size() + 13),
            testutil::kReading + "[Signed: key ")
      << signify.out;
  // signify's signatures name no release: two such lists are not believed together.
  ASSERT_EQ(unlink((tmp / "packing.sha256.minisig").c_str()), 0);
  tool({"/usr/bin/signify-openbsd", "-S", "-s", "s.sec", "-m", "packing.sha256", "-x",
        "packing.sha256.sig"});
  EXPECT_EQ(signedRun({"--sums"}, "s.pub"),
            (Result{"",
                    "korlan: " + tmp / "list.sig" +
                        ": no trusted comment, which would bind the two lists to one release "
                        "(minisign -t)\n",
                    255}));
}

// Every refusal: status 255, one line naming the file refused, and no byte
// of the report.
TEST_F(Key, UnbelievedListsStopTheRun) {
  minisign("list", "app 2.1");
  const std::string list = testutil::readText(tmp / "list");
  const std::string sig = testutil::readText(tmp / "list.minisig");
  const std::string pub = testutil::readText(tmp / "k.pub");
  const std::string trusted = "\ntrusted comment: ";
  const size_t comment = sig.find(trusted) + trusted.size();
  struct Case {
    std::string list, sig, pub, err;
  } cases[] = {
      {"8" + list.substr(1), sig, pub,
       tmp / "list: changed since signed (" + tmp / "list.minisig does not verify)"},
      {list, sig.substr(0, comment) + "b" + sig.substr(comment + 1), pub,
       tmp / "list.minisig: trusted comment changed since signed (its signature does not verify)"},
      {list, sig, testutil::readText(tmp / "o.pub"), tmp / "list.minisig: signed by key"},
      {list, "", pub, tmp / "list: no signature: neither"},
      {list, sig.substr(0, sig.find(trusted) - 20) + "\n", pub,
       tmp / "list.minisig: line 2: 60 bytes, not the 74 of a signature"},
      {list, sig, pub.substr(0, pub.size() - 5) + "\n",
       tmp / "k.pub: line 2: 39 bytes, not the 42 of a public key"},
  };
  for (const Case& c : cases) {
    testutil::writeText(tmp / "list", c.list);
    testutil::writeText(tmp / "k.pub", c.pub);
    unlink((tmp / "list.minisig").c_str());
    if (!c.sig.empty()) testutil::writeText(tmp / "list.minisig", c.sig);
    const Result r = signedRun({});
    EXPECT_EQ(r.status, 255) << c.err;
    EXPECT_EQ(r.out, "") << c.err;
    EXPECT_EQ(r.err.rfind("korlan: " + c.err, 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Endless input read whole stops at half the address space the process may have.
  testutil::writeText(tmp / "k.pub", pub);
  testutil::Launch zero{KORLAN_BIN,
                        {"korlan", "--key=" + tmp / "k.pub", "--mtree", root(""), "/dev/zero"}};
  zero.inChild = [] {
    const rlimit space = {256 << 20, 256 << 20};
    if (setrlimit(RLIMIT_AS, &space) != 0) _exit(126);
  };
  EXPECT_EQ(testutil::run(zero, tmp),
            (Result{"",
                    "korlan: \"/dev/zero\": larger than 134217728 bytes, the most a list read "
                    "whole may be\n",
                    255}));
#endif
}

}  // namespace
