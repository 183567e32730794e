// Signatures made in the test by minisign and signify-openbsd, and a fixed
// vector of theirs for where they are absent: what is accepted, and every
// refusal with its exact message.
#include "signature.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using testutil::readText;
using testutil::TempDir;

// A key; a list signed with it, prehashed and in the legacy form with the
// trusted comment "legacy"; the trusted comment of the first; another key.
struct Material {
  std::string pub, list, minisig, legacy, comment, otherPub;
};

// Made by minisign 0.11 (-G -W; -S -t "fixed vector"; -S -l -t legacy); the other key's
// id has a leading zero, which minisign does not show.
const Material kFixed = {
    "untrusted comment: minisign public key DF29D60D5763D10B\n"
    "RWQL0WNXDdYp3wakxh+xYC/9thArihylmFAMAUigJgGjVyw7enS8NEZH\n",
    "4096 ./bin/setup\n0 ./README\n",
    "untrusted comment: signature from minisign secret key\n"
    "RUQL0WNXDdYp304qDdk+3gW5dujW7tfoW/"
    "jUuc878o3GyLqVXJWvzE03X9TJpS5hYpPN8JI5+tRLoDQmM+ADs+jZeVum8Jucvgk=\n"
    "trusted comment: fixed vector\n"
    "JDfB86BJbMbbVneGASTMRuQaBA7k1prXIptAXuIPoBkyqYrjoemh0yKJXHXycncy9FfHEhcYSOLlaZjfGJ3wCQ==\n",
    "untrusted comment: signature from minisign secret key\n"
    "RWQL0WNXDdYp36V44Kvo6Ikv53NnBqCUNol68TOjudk02LMjVZtc+pCj/yErq/"
    "daL38U4AlWV3TFoBN65FesHlYhloT6TfDaXwI=\n"
    "trusted comment: legacy\n"
    "GouGFzZp/sZTrOfrbN1LSFHZQCgoOfRNuTYrBexdMOmMt1yfklwL7UUYboIKHFKyD3KKwUgxJPghjG+KFiEiAg==\n",
    "fixed vector",
    "untrusted comment: minisign public key C3608699227172E\n"
    "RWQuFyeSaQg2DNyFVHocnCEkYVKBXE7ItWZu2ZeogJly+5+FvVU+49/S\n"};

// The program `name` in PATH, or "".
std::string tool(const std::string& name) {
  std::istringstream dirs(getenv("PATH") ? getenv("PATH") : "");
  for (std::string dir; std::getline(dirs, dir, ':');)
    if (access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
  return "";
}

// Runs `file` with `args` in `dir`; what it writes on standard output.
std::string runTool(const std::string& file, std::vector<std::string> args, const TempDir& dir) {
  args.insert(args.begin(), file);
  const testutil::Result r = testutil::run({file, args, dir.path()}, dir);
  EXPECT_EQ(r.status, 0) << args[1] << ": " << r.err;
  return r.out;
}

// The material made now by minisign, the prehashed signature with its
// default trusted comment as `minisign -V -Q` shows it.
bool madeByMinisign(Material* m) {
  const std::string minisign = tool("minisign");
  if (minisign.empty()) return false;
  TempDir t;
  testutil::writeText(t / "l", kFixed.list);
  runTool(minisign, {"-G", "-W", "-p", "k.pub", "-s", "k.sec"}, t);
  runTool(minisign, {"-G", "-W", "-p", "o.pub", "-s", "o.sec"}, t);
  runTool(minisign, {"-S", "-s", "k.sec", "-m", "l"}, t);
  runTool(minisign, {"-S", "-l", "-s", "k.sec", "-m", "l", "-x", "legacy", "-t", "legacy"}, t);
  const std::string shown = runTool(minisign, {"-V", "-Q", "-p", "k.pub", "-m", "l"}, t);
  const auto read = [&t](const char* name) { return readText(t / name); };
  *m = {read("k.pub"),
        kFixed.list,
        read("l.minisig"),
        read("legacy"),
        shown.substr(0, shown.size() - 1),
        read("o.pub")};
  return true;
}

// The key id that minisign writes in the comment of a key file it made.
std::string shownId(const std::string& pub) {
  const std::string line = pub.substr(0, pub.find('\n'));
  return line.substr(line.rfind(' ') + 1);
}

std::string put(std::string s, size_t at, char c) { return s[at] = c, s; }
std::string crlf(const std::string& s) {
  std::string r;
  for (char c : s) r += c == '\n' ? "\r\n" : std::string(1, c);
  return r;
}

TEST(Signature, AcceptsWhatMinisignWritesRefusesAllElseNamingTheFile) {
  std::vector<Material> materials = {kFixed};
  Material made;
  if (madeByMinisign(&made)) materials.push_back(made);
  for (const Material& m : materials) {
    const std::string& s = m.minisig;
    const std::string ok = "$/l.minisig signed: " + m.comment, id = shownId(m.pub);
    const std::string sig = m.legacy.substr(0, m.legacy.find("\ntrusted") + 1);
    const std::string badComment = put(s, s.find("\ntrusted comment: ") + 18, '~');
    const std::string changed =
        "$/l.minisig: trusted comment changed since signed (its "
        "signature does not verify)";
    const size_t line2 = s.find('\n') + 1;
    const struct {
      std::string minisig, sig, expected, list = "", pub = "";  // "": m's
    } cases[] = {
        {s, "", ok},
        {crlf(s), sig, ok, "", crlf(m.pub)},
        {s.substr(0, s.size() - 1), "", ok, "", m.pub.substr(0, m.pub.size() - 1)},
        {m.legacy, "", "$/l.minisig signed: legacy"},
        {"", sig, "$/l.sig signed: key " + id},
        {s, "", "$/l: changed since signed ($/l.minisig does not verify)", put(m.list, 3, '7')},
        {"", sig, "$/l: changed since signed ($/l.sig does not verify)", put(m.list, 3, '7')},
        {badComment, "", changed},
        {badComment, sig, changed},  // no downgrade to the good .sig
        {s, "",
         "$/l.minisig: signed by key " + id + ", not by the key given, " + shownId(m.otherPub), "",
         m.otherPub},
        {"", "", "$/l: no signature: neither $/l.minisig nor $/l.sig exists"},
        {sig, "", "$/l.minisig: line 3 missing: no trusted comment"},
        {s.substr(0, s.size() - 9), "",
         "$/l.minisig: line 4: 60 bytes, not the 64 of a global signature"},
        {s, "", "$/k.pub: line 2: 39 bytes, not the 42 of a public key", "",
         m.pub.substr(0, m.pub.size() - 5) + "\n"},
        {put(s, line2 + 9, '*'), "", "$/l.minisig: line 2: bad base64"},
        // The last digit before "==" +1: an unused bit set, the same bytes.
        {put(s, s.size() - 4, s[s.size() - 4] + 1), "", "$/l.minisig: line 4: bad base64"},
        {put(s, line2, 'S'), "", "$/l.minisig: line 2: unknown algorithm"},
        {"", put(sig, line2 + 1, 'U'), "$/l.sig: line 3 missing: no trusted comment"},
        {s + "\n", "", "$/l.minisig: junk after line 4"},
        {"", sig + " ", "$/l.sig: line 3: not a trusted comment"},
    };
    for (const auto& c : cases) {
      TempDir t;
      testutil::writeText(t / "k.pub", c.pub.empty() ? m.pub : c.pub);
      if (!c.minisig.empty()) testutil::writeText(t / "l.minisig", c.minisig);
      if (!c.sig.empty()) testutil::writeText(t / "l.sig", c.sig);
      PublicKey key;
      std::string got;
      if (readPublicKey(t / "k.pub", &key, &got)) {
        const SignatureCheck r = verifyList(t / "l", c.list.empty() ? m.list : c.list, key);
        got = r.ok ? r.signatureFile + " signed: " + r.signer : r.message;
      }
      EXPECT_EQ(got, t.expand(c.expected)) << c.minisig << c.sig << c.pub;
    }
  }
  if (materials.size() == 1) GTEST_SKIP() << "minisign is not installed: fixed vector only";
}

TEST(Signature, VerifiesSignify) {
  const std::string signify = tool("signify-openbsd");
  if (signify.empty()) GTEST_SKIP() << "signify-openbsd is not installed";
  TempDir t;
  testutil::writeText(t / "l", kFixed.list);
  runTool(signify, {"-G", "-n", "-p", "k.pub", "-s", "k.sec"}, t);
  runTool(signify, {"-S", "-s", "k.sec", "-m", "l", "-x", "l.sig"}, t);
  PublicKey key;
  std::string why;
  ASSERT_TRUE(readPublicKey(t / "k.pub", &key, &why)) << why;
  const SignatureCheck r = verifyList(t / "l", kFixed.list, key);
  EXPECT_EQ(r.signatureFile + " signed: " + r.signer, t / "l.sig signed: key " + keyIdText(key.id))
      << r.message;
}

TEST(Signature, ReadsKeyFilesWithABound) {
  TempDir t;
  testutil::writeText(t / "big", kFixed.pub + std::string(kLargestSignatureFile, '\n'));
  PublicKey key;
  std::string why;
  for (const char* expected : {"/dev/zero: not a regular file", "$/big: larger than 64 KiB",
                               "$/none: No such file or directory"}) {
    const std::string refused = t.expand(expected);
    EXPECT_FALSE(readPublicKey(refused.substr(0, refused.find(':')), &key, &why));
    EXPECT_EQ(why, "" + refused);
  }
  // A signify key's id as minisign shows it, on a signature by another key.
  ASSERT_TRUE(
      parsePublicKey("untrusted comment: signify public key\n"
                     "RWTXUEFOL0ZQx8eXrpqVhWKEIIcF8OyG7EcYqT+zRPWJ8YTt3ngPzESa\n",
                     &key, &why));
  EXPECT_EQ(keyIdText(key.id), "C750462F4E4150D7");
}

}  // namespace
