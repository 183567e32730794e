// End to end, --dpkg: the packages of a database written as dpkg writes
// it, each damage found as dpkg --verify finds it, in every style; lines
// of the database that are not dpkg's refused; the host's own database.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using testutil::Result;

const char kDpkg[] = "/usr/bin/dpkg";
const char kDivert[] = "/usr/bin/dpkg-divert";

std::string md5(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < size; ++i) hex += {kHex[digest[i] >> 4], kHex[digest[i] & 15]};
  return hex;
}

std::vector<std::string> sortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Three installed packages and one removed, their files and database: base
// (a conffile, files, a link, directories), lib (of several architectures,
// its files named lib:ARCH.*) and bare (no md5sums), which share
// /usr/share/doc; gone left only its conffile's record.
class Dpkg : public testutil::Korlan {
 protected:
  std::string arch = "amd64";

  void SetUp() override {
    if (access(kDpkg, X_OK) == 0) {
      const std::string native = tool({kDpkg, "--print-architecture"}).out;
      if (!native.empty()) arch = native.substr(0, native.find('\n'));
    }
    build(tmp / "root");
  }
  Result tool(const std::vector<std::string>& argv) { return testutil::run({argv[0], argv}, tmp); }
  void build(const std::string& top) {
    std::filesystem::remove_all(top);
    const auto file = [&](const std::string& path, const std::string& text) {
      testutil::writeText(top + path, text);
      return md5(text) + "  " + path.substr(1) + "\n";
    };
    std::filesystem::create_directories(top + "/usr/share/base/empty");
    std::filesystem::create_directories(top + "/usr/share/doc/lib");
    const std::string conf = md5("setting=1\n");
    file("/etc/base.conf", "setting=1\n");
    const std::string baseSums = file("/usr/bin/tool", "#!/bin/sh\n") +
                                 file("/usr/share/base/data", "data\n") +
                                 file("/etc/base.conf", "setting=1\n");
    ASSERT_EQ(symlink("tool", (top + "/usr/bin/tool-link").c_str()), 0);
    const std::string libSums = file("/usr/lib/lib.so", "ELF\n");
    file("/usr/share/doc/bare/readme", "read me\n");
    const std::string db = top + "/var/lib/dpkg/";
    testutil::writeText(
        db + "status",
        "Package: bare\nStatus: install ok installed\nArchitecture: all\nVersion: 1\n"
        "Description: no digests\n\n"
        "Package: base\nStatus: install ok installed\nPriority: optional\nArchitecture: all\n"
        "Version: 1.0\nConffiles:\n /etc/base.conf " +
            conf + "\n /etc/old.conf " + md5("old") +
            " obsolete\n"
            "Description: the base\n long description\n .\n more\n\n"
            "Package: gone\nStatus: deinstall ok config-files\nArchitecture: all\nVersion: 1\n"
            "Conffiles:\n /etc/gone.conf " +
            md5("x") + "\n\n" + "Package: lib\nStatus: install ok installed\nArchitecture: " +
            arch + "\nMulti-Arch: same\nVersion: 2\n");
    // Of the database's format that names a package of several architectures' files so.
    testutil::writeText(db + "info/format", "1\n");
    testutil::writeText(db + "info/base.list",
                        "/.\n/etc\n/etc/base.conf\n/usr\n/usr/bin\n/usr/bin/tool\n"
                        "/usr/bin/tool-link\n/usr/share\n/usr/share/base\n/usr/share/base/data\n"
                        "/usr/share/base/empty\n");
    testutil::writeText(db + "info/base.md5sums", baseSums);
    testutil::writeText(db + "info/lib:" + arch + ".list",
                        "/.\n/usr\n/usr/lib\n/usr/lib/lib.so\n/usr/share\n/usr/share/doc\n"
                        "/usr/share/doc/lib\n");
    testutil::writeText(db + "info/lib:" + arch + ".md5sums", libSums);
    testutil::writeText(db + "info/bare.list",
                        "/.\n/usr\n/usr/share\n/usr/share/doc\n/usr/share/doc/bare\n"
                        "/usr/share/doc/bare/readme\n");
  }
  Result dpkgOn(const std::string& top, std::vector<std::string> args) {
    args.insert(args.begin(), {"--dpkg", "--root=" + top});
    return korlan(args);
  }
};

// Each damage, in dpkg --verify's lines: Korlan's are dpkg's, sorted, as
// dpkg takes the packages in the order of a hash table of its own.
TEST_F(Dpkg, DamagesAreDpkgVerifysLines) {
  const auto rm = [](const std::string& path) { std::filesystem::remove_all(path); };
  const auto divert = [&](const std::string& top) {
    if (access(kDivert, X_OK) == 0) {
      const Result r = tool({kDivert, "--root=" + top, "--local", "--divert", "/usr/bin/tool.orig",
                             "--rename", "/usr/bin/tool"});
      ASSERT_EQ(r.status, 0) << r.err;
      return;
    }
    testutil::writeText(top + "/var/lib/dpkg/diversions", "/usr/bin/tool\n/usr/bin/tool.orig\n:\n");
    ASSERT_EQ(rename((top + "/usr/bin/tool").c_str(), (top + "/usr/bin/tool.orig").c_str()), 0);
  };
  struct Row {
    std::string what;
    std::function<void(const std::string&)> damage;
    std::vector<std::string> lines;
    bool dpkgSees = true;  // dpkg checks what the row damages
  };
  const std::vector<Row> rows = {
      {"untouched", [](const std::string&) {}, {}},
      {"a file changed",
       [](const std::string& t) { testutil::writeText(t + "/usr/bin/tool", "#!/bin/bash\n"); },
       {"??5??????   /usr/bin/tool"}},
      {"a file removed",
       [&](const std::string& t) { rm(t + "/usr/share/base/data"); },
       {"missing     /usr/share/base/data"}},
      {"a conffile changed",
       [](const std::string& t) { testutil::writeText(t + "/etc/base.conf", "setting=2\n"); },
       {"??5?????? c /etc/base.conf"}},
      {"a conffile removed",
       [&](const std::string& t) { rm(t + "/etc/base.conf"); },
       {"missing   c /etc/base.conf"}},
      {"a file diverted and moved", divert, {}},
      {"a diverted file removed",
       [&](const std::string& t) {
         divert(t);
         rm(t + "/usr/bin/tool.orig");
       },
       {"missing     /usr/bin/tool.orig"}},
      {"a directory removed",
       [&](const std::string& t) { rm(t + "/usr/share/base"); },
       {"missing     /usr/share/base", "missing     /usr/share/base/data",
        "missing     /usr/share/base/empty"}},
      {"a link removed",
       [&](const std::string& t) { rm(t + "/usr/bin/tool-link"); },
       {"missing     /usr/bin/tool-link"}},
      {"a file of several architectures changed",
       [](const std::string& t) { testutil::writeText(t + "/usr/lib/lib.so", "ELF!"); },
       {"??5??????   /usr/lib/lib.so"}},
      {"files without digests changed and removed",
       [&](const std::string& t) {
         testutil::writeText(t + "/usr/share/doc/bare/readme", "changed\n");
         rm(t + "/usr/share/doc/lib");
       },
       {"missing     /usr/share/doc/lib"}},
      // dpkg applies a stat override and never checks it.
      {"a stat override's mode changed",
       [](const std::string& t) {
         testutil::writeText(t + "/var/lib/dpkg/statoverride", "#" + std::to_string(getuid()) +
                                                                   " #" + std::to_string(getgid()) +
                                                                   " 0700 /usr/share/base\n");
         chmod((t + "/usr/share/base").c_str(), 0755);
       },
       {"?M???????   /usr/share/base"},
       false},
  };
  const bool dpkg = access(kDpkg, X_OK) == 0;
  for (const Row& row : rows) {
    const std::string top = tmp / ("t" + std::to_string(&row - rows.data()));
    build(top);
    row.damage(top);
    const Result r = dpkgOn(top, {"--dpkg-format"});
    EXPECT_EQ(r.status, 0) << row.what << r.err;
    EXPECT_EQ(r.err, "korlan: bare has no md5sums: its files are checked for their presence only\n")
        << row.what;
    EXPECT_EQ(sortedLines(r.out), row.lines) << row.what << "\n" << r.out;
    if (!dpkg) continue;
    const Result verified = tool({kDpkg, "--root=" + top, "--verify"});
    EXPECT_EQ(verified.status, 0) << row.what << verified.err;
    std::vector<std::string> expected = row.dpkgSees ? row.lines : std::vector<std::string>();
    EXPECT_EQ(sortedLines(verified.out), expected) << row.what << "\n" << verified.out;
  }
  if (!dpkg) GTEST_SKIP() << "dpkg is not installed: the lines are not compared with its own";
}

// The report names the package of each difference: a column of --tsv, a field of --json, a
// line of each package that failed. A conffile's difference fails the run only when asked.
TEST_F(Dpkg, DifferencesNameTheirPackage) {
  const std::string r = tmp / "root";
  testutil::writeText(r + "/etc/base.conf", "setting=2\n");
  const std::string bare =
      "korlan: bare has no md5sums: its files are checked for their "
      "presence only\n";
  const std::string conffile = "Conffile Changed: " + r + "/etc/base.conf\n";
  const std::string ok = "Korlan Succeeded: all file comparisons correct\n";
  const std::string libSo = r + "/usr/lib/lib.so";
  // Shared paths are checked once, for the first package that lists them: bare's 6 paths,
  // "/.", /usr, /usr/share and /usr/share/doc among them; base has 8 of its own, lib 3.
  const struct {
    std::vector<std::string> args;
    bool damageLib;
    Result expected;
  } cases[] = {
      {{"-q"}, false, {conffile + ok, bare, 0}},
      {{"-q", "--strict"}, false, {conffile + ok, bare, 0}},
      {{"-q", "--strict", "--strict-conffiles"},
       false,
       {conffile + "Package base: 1 of 8 failed\nKorlan Failure: 1 out of 17 file comparisons "
                   "failed\n",
        bare, 2}},
      {{"-q", "--strict"},
       true,
       {conffile + "Checksum Mismatch: " + libSo + "\nPackage lib:" + arch +
            ": 1 of 3 failed\nKorlan Failure: 1 out of 17 file comparisons failed\n",
        bare, 2}},
      {{"--tsv"},
       true,
       {"conffile\t" + r + "/etc/base.conf\t" + md5("setting=1\n") + "\t" + md5("setting=2\n") +
            "\t\tbase\nchecksum\t" + libSo + "\t" + md5("ELF\n") + "\t" + md5("ELF!") +
            "\t\tlib:" + arch + "\ntotal\t1\t17\n",
        bare, 0}},
      {{"--json", "bare", "lib"},
       true,
       {"{\"kind\":\"checksum\",\"path\":\"" + libSo + "\",\"expected\":\"" + md5("ELF\n") +
            "\",\"actual\":\"" + md5("ELF!") + "\",\"reason\":\"\",\"package\":\"lib:" + arch +
            "\"}\n{\"kind\":\"total\",\"failed\":1,\"files\":9}\n",
        bare, 0}},
      {{"-q", "base", "lib:" + arch}, false, {conffile + ok, "", 0}},
  };
  for (const auto& c : cases) {
    build(r);
    testutil::writeText(r + "/etc/base.conf", "setting=2\n");
    if (c.damageLib) testutil::writeText(libSo, "ELF!");
    EXPECT_EQ(dpkgOn(r, c.args), c.expected) << c.args[0] << " " << c.args.back();
  }
  // The plain report, and a missing conffile.
  std::filesystem::remove(r + "/etc/base.conf");
  EXPECT_EQ(dpkgOn(r, {"base"}),
            (Result{"[reading packing.lst]\n" + std::string(11, '.') +
                        "\n[Walking directory tree and comparing files]\n\nConffile Not Found: " +
                        r + "/etc/base.conf\n.\n" + ok,
                    "", 0}));
}

TEST_F(Dpkg, LinesNotDpkgsAreRefused) {
  const std::string db = tmp / "root/var/lib/dpkg/";
  const struct {
    std::string file, content, err;
  } cases[] = {
      {"info/base.md5sums", md5("a") + "  usr/a\n" + md5("b") + " usr/b\n",
       "info/base.md5sums:2: expected an MD5 digest, two spaces and a path below /"},
      {"info/base.md5sums", "d41d8cd98f00b204e9800998ecf8427  usr/a\n",
       "info/base.md5sums:1: expected an MD5 digest, two spaces and a path below /"},
      {"info/base.md5sums", md5("a") + "  usr/../../etc/passwd\n",
       "info/base.md5sums:1: expected an MD5 digest, two spaces and a path below /"},
      {"info/base.list", "/.\nusr\n", "info/base.list:2: not an absolute path"},
      {"status", "Package: base\nStatus install ok installed\n",
       "status:2: not a field: no NAME: before its value"},
      {"status", "Package: base\nStatus: install ok installed\nConffiles:\n /etc/x 123\n",
       "status:4: expected a conffile's path and its MD5 digest"},
      {"diversions", "/usr/bin/tool\n/usr/bin/tool.orig\n",
       "diversions:2: a diversion ends "
       "before its package"},
      {"statoverride", "root root 99 /usr/bin/tool\n",
       "statoverride:1: expected USER GROUP MODE PATH"},
      {"statoverride", "root root 0755 /usr/bin/tool\n#1x root 0644 /usr/bin/tool\n",
       "statoverride:2: expected USER GROUP MODE PATH"},
      // A path cut at a NUL would name another file.
      {"info/base.list", std::string("/.\n/usr/bin/tool\0x\n", 19),
       "info/base.list:2: holds a NUL byte"},
  };
  for (const auto& c : cases) {
    build(tmp / "root");
    testutil::writeText(db + c.file, c.content);
    const Result r = dpkgOn(tmp / "root", {"-q", "base"});
    EXPECT_EQ(r, (Result{"", "korlan: " + db + c.err + "\n", 255})) << c.content;
  }
  // A CR ends no line of dpkg's: the path holds it, and names no file here.
  build(tmp / "root");
  testutil::writeText(db + "info/bare.list", "/.\n/usr/share/doc/bare/readme\r\n");
  EXPECT_EQ(
      dpkgOn(tmp / "root", {"-q", "bare"}).out,
      "File Not Found: " + tmp / "root/usr/share/doc/bare/readme\\r\n" +
          "Package bare: 1 of 2 failed\nKorlan Failure: 1 out of 2 file comparisons failed\n");
  build(tmp / "root");
  EXPECT_EQ(dpkgOn(tmp / "root", {"-q", "base", "nope", "lib:other"}),
            (Result{"", "korlan: package \"nope\" is not installed\n", 255}));
  EXPECT_EQ(dpkgOn(tmp / "root", {"--tsv", "--admindir=" + tmp / "none"}),
            (Result{"error\tcan't open " + tmp / "none/status\n",
                    "can't open " + tmp / "none/status\n", 255}));
}

// The host's database is read whole, every package's files looked for below an empty root:
// none is there, and nothing of the database is refused.
TEST_F(Dpkg, TheHostsDatabaseIsReadWhole) {
  if (access("/var/lib/dpkg/status", R_OK) != 0)
    GTEST_SKIP() << "no dpkg database here (/var/lib/dpkg/status)";
  std::filesystem::create_directories(tmp / "empty");
  const Result r = korlan(
      {"--dpkg", "--tsv", "--strict", "--root=" + tmp / "empty", "--admindir=/var/lib/dpkg"});
  EXPECT_EQ(r.status, 2) << r.err;
  std::istringstream err(r.err);
  for (std::string line; std::getline(err, line);)
    EXPECT_NE(line.find(" has no md5sums: "), std::string::npos) << line;
  EXPECT_GT(std::count(r.out.begin(), r.out.end(), '\n'), 100) << r.out.substr(0, 1000);
}

}  // namespace
