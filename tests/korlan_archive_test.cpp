// End to end, --archive and --make-mtree --archive: archives that bsdtar, GNU
// tar, zip and dpkg-deb write verify the tree they hold; every damage is
// named with its kind; a pipe; a vendor's signed tarball, refused once a
// byte of it changes; archives refused whole.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using testutil::Result;

const std::string kSucceeded = "Korlan Succeeded: all file comparisons correct\n";

// A tree of every type an installation holds, and what an archive must
// carry through: a setuid program and a hard link of it, a link, a FIFO, an
// empty directory, names with white space, a newline and bytes past ASCII,
// an extended attribute where the file system keeps them.
class Archives : public testutil::Korlan {
 protected:
  void build(const std::string& top, bool newline = true) {
    testutil::writeText(top + "/bin/tool", "#!/bin/sh\n");
    ASSERT_EQ(chmod((top + "/bin/tool").c_str(), 04755), 0);
    ASSERT_EQ(link((top + "/bin/tool").c_str(), (top + "/bin/tool2").c_str()), 0);
    testutil::writeText(top + "/etc/app.conf", "conf\n");
    ASSERT_EQ(chmod((top + "/etc/app.conf").c_str(), 0640), 0);
    ASSERT_EQ(symlink("../bin/tool", (top + "/etc/tool.lnk").c_str()), 0);
    std::filesystem::create_directories(top + "/run");
    ASSERT_EQ(mkfifo((top + "/run/pipe").c_str(), 0644), 0);
    std::filesystem::create_directories(top + "/empty");
    for (const std::string name : {"a b", "nl\nx", "\xc3\xa1"})
      if (newline || name != "nl\nx") testutil::writeText(top + "/share/" + name, name);
    xattrs = setxattr((top + "/share/a b").c_str(), "user.k", "v1", 2, 0) == 0;
  }
  void SetUp() override { build(tmp / "root"); }
  // Runs `command` through the shell in `cwd`.
  Result shell(const std::string& command, const std::string& cwd) {
    return testutil::run({"/bin/sh", {"sh", "-c", command}, cwd}, tmp);
  }
  // The records of a --tsv run, KIND<TAB>PATH below `top`, the total left out.
  static std::set<std::string> records(const std::string& out, const std::string& top) {
    std::set<std::string> found;
    std::istringstream tsv(out);
    for (std::string line; std::getline(tsv, line);) {
      const size_t tab = line.find('\t');
      if (line.substr(0, tab) == "total") continue;
      const std::string path = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
      found.insert(line.substr(0, tab) + "\t" + path.substr(std::min(path.size(), top.size() + 1)));
    }
    return found;
  }
  bool xattrs = false;
};

// Each tool's archive of the tree verifies it; those that hold every entry,
// with --unlisted too. ARCHIVE stands for the archive's path in a command.
TEST_F(Archives, WhatTheToolsWriteVerifiesTheTree) {
  const struct {
    std::string tool, archive, command;
    bool whole = true;  // holds every entry, the top and the FIFO too
    unsigned strip = 0;
    bool deb = false;
  } rows[] = {
      {"bsdtar", "app.tgz", "bsdtar --xattrs -czf ARCHIVE ."},
      {"tar", "app.txz", "tar -cJf ARCHIVE ."},
      {"zip", "app.zip", "zip -qry ARCHIVE .", false},  // no FIFO, no top
      {"bsdtar", "app.cpio", "bsdtar --format=newc -cf ARCHIVE ."},
      {"bsdtar", "app.7z", "bsdtar --format=7zip -cf ARCHIVE ."},
      {"bsdtar", "app.tar.zst", "bsdtar --zstd -cf ARCHIVE ."},
      {"bsdtar", "app.tar.lz4", "bsdtar --lz4 -cf ARCHIVE ."},
      {"bsdtar", "app.tbz2", "bsdtar -cjf ARCHIVE ."},
      // Its top's mode is its own: the tree lies one level below.
      {"bsdtar", "app.iso",
       "bsdtar --format=iso9660 --options iso9660:rockridge=strict -cf ARCHIVE -C .. root", false,
       1},
      {"dpkg-deb", "app.deb", "dpkg-deb --root-owner-group -Zxz --build . ARCHIVE >/dev/null",
       false, 0, true},
  };
  std::string missing;
  for (const auto& row : rows) {
    if (access(("/usr/bin/" + row.tool).c_str(), X_OK) != 0) {
      missing += " " + row.tool;
      continue;
    }
    const std::string top = tmp / (row.deb ? "pkg" : "root"), archive = tmp / row.archive;
    if (row.deb) {
      build(top, false);  // dpkg-deb takes no newline in a name
      testutil::writeText(top + "/DEBIAN/control",
                          "Package: app\nVersion: 2.1\nArchitecture: all\nMaintainer: A <a@b.c>\n"
                          "Description: app\n");
    }
    std::string command = row.command;
    command.replace(command.find("ARCHIVE"), 7, "'" + archive + "'");
    const Result made = shell(command, top);
    ASSERT_EQ(made.status, 0) << command << "\n" << made.err;
    std::vector<std::string> args = {"-q", "--archive", top, archive};
    if (row.strip) args.insert(args.begin(), "--strip-components=" + std::to_string(row.strip));
    EXPECT_EQ(korlan(args), (Result{kSucceeded, "", 0})) << command;
    if (!row.whole) continue;
    args.insert(args.begin(), "--unlisted");
    EXPECT_EQ(korlan(args), (Result{kSucceeded, "", 0})) << command;
  }
  // The run's record names the source.
  testutil::Launch json{KORLAN_BIN,
                        {"korlan", "--json", "--archive", tmp / "root", tmp / "app.tgz"}};
  json.keepRun = true;
  const std::string record = testutil::run(json, tmp).out;
  EXPECT_NE(record.find(",\"source\":\"archive\",\"list\":\"" + tmp / "app.tgz" + "\""),
            std::string::npos)
      << record;
  if (!missing.empty()) GTEST_SKIP() << "not installed:" << missing;
}

// Each damage is named exactly, with its kind, against the archive of the
// pristine tree.
TEST_F(Archives, DamagesAreNamedWithTheirKind) {
  ASSERT_EQ(shell("bsdtar --xattrs -czf ../a.tgz .", tmp / "root").status, 0);
  const auto file = testutil::writeText;
  struct Row {
    std::string what;
    std::function<void(const std::string&)> damage;
    std::set<std::string> records;  // KIND<TAB>PATH below the top
    bool xattr = false;             // needs extended attributes
  };
  const std::vector<Row> rows = {
      {"same size, other bytes",
       [&](const std::string& t) { file(t + "/etc/app.conf", "cOnf\n"); },
       {"checksum\tetc/app.conf"}},
      // Whichever name the archive holds the bytes with, the other is a link to it.
      {"both names of a hard link, other bytes",
       [&](const std::string& t) {
         for (const std::string name : {"/bin/tool", "/bin/tool2"}) {
           unlink((t + name).c_str());
           file(t + name, "#!/bin/Sh\n");
           chmod((t + name).c_str(), 04755);
         }
       },
       {"checksum\tbin/tool", "checksum\tbin/tool2"}},
      // Copied rather than linked, the bytes the same: the archive's bytes all the same.
      {"a hard link's names copies of its bytes",
       [&](const std::string& t) {
         unlink((t + "/bin/tool2").c_str());
         file(t + "/bin/tool2", "#!/bin/sh\n");
         chmod((t + "/bin/tool2").c_str(), 04755);
       },
       {}},
      {"other size",
       [&](const std::string& t) { file(t + "/share/a b", "a  b"); },
       {"size\tshare/a b"}},
      {"setuid dropped",
       [](const std::string& t) { chmod((t + "/bin/tool").c_str(), 0755); },
       {"mode\tbin/tool", "mode\tbin/tool2"}},
      {"link retargeted",
       [](const std::string& t) {
         unlink((t + "/etc/tool.lnk").c_str());
         symlink("../bin/tool2", (t + "/etc/tool.lnk").c_str());
       },
       {"link\tetc/tool.lnk"}},
      {"removed",
       [](const std::string& t) { unlink((t + "/bin/tool").c_str()); },
       {"missing\tbin/tool"}},
      {"added",
       [&](const std::string& t) { file(t + "/share/new", "x"); },
       {"unlisted\tshare/new"}},
      {"a FIFO for a file",
       [](const std::string& t) {
         unlink((t + "/etc/app.conf").c_str());
         mkfifo((t + "/etc/app.conf").c_str(), 0640);
       },
       {"type\tetc/app.conf"}},
      {"an extended attribute changed",
       [](const std::string& t) { setxattr((t + "/share/a b").c_str(), "user.k", "v2", 2, 0); },
       {"xattr\tshare/a b"},
       true},
  };
  for (const Row& row : rows) {
    if (row.xattr && !xattrs) continue;
    const std::string top = tmp / ("t" + std::to_string(&row - rows.data()));
    build(top);
    row.damage(top);
    const Result r = korlan({"--tsv", "--unlisted", "--archive", top, tmp / "a.tgz"});
    EXPECT_EQ(records(r.out, top), row.records) << row.what << "\n" << r.out << r.err;
    EXPECT_EQ(r.status, 0) << row.what;
  }
  if (!xattrs) GTEST_SKIP() << "the file system keeps no user.* extended attributes";
}

// The archive read as it comes, through a pipe; a vendor's tarball, its
// version's directory at the top, believed under --key only as signed.
TEST_F(Archives, PipesAndSignedTarballs) {
  ASSERT_EQ(shell("bsdtar -czf app-2.1.tgz root && zip -qry app.zip root", tmp.path()).status, 0);
  const auto piped = [&](const std::string& archive) {
    return testutil::run({"/bin/bash",
                          {"bash", "-c",
                           "exec '" + std::string(KORLAN_BIN) +
                               "' -q --strip-components=1 --archive root <(cat " + archive + ")"},
                          tmp.path()},
                         tmp);
  };
  EXPECT_EQ(piped("app-2.1.tgz"), (Result{kSucceeded, "", 0}));
  const Result zip = piped("app.zip");
  EXPECT_EQ(zip.status, 255);
  EXPECT_NE(zip.err.find(": a zip archive is read as a file, not a pipe"), std::string::npos)
      << zip.err;

  if (access("/usr/bin/minisign", X_OK) != 0) GTEST_SKIP() << "minisign is not installed";
  ASSERT_EQ(shell("minisign -G -W -p k.pub -s k.sec >/dev/null && "
                  "minisign -S -s k.sec -m app-2.1.tgz -t 'app 2.1' >/dev/null",
                  tmp.path())
                .status,
            0);
  const std::vector<std::string> args = {
      "--key=" + tmp / "k.pub", "-q", "--strip-components=1", "--archive", tmp / "root",
      tmp / "app-2.1.tgz"};
  EXPECT_EQ(korlan(args), (Result{"[Signed: app 2.1]\n" + kSucceeded, "", 0}));
  // One byte of the compressed stream changed: refused before a word of the report.
  std::string bytes = testutil::readText(tmp / "app-2.1.tgz");
  bytes[bytes.size() / 2] ^= 1;
  testutil::writeText(tmp / "app-2.1.tgz", bytes);
  EXPECT_EQ(korlan(args), (Result{"",
                                  "korlan: " + tmp / "app-2.1.tgz" + ": changed since signed (" +
                                      tmp / "app-2.1.tgz.minisig does not verify)\n",
                                  255}));
}

// What cannot be read whole, or leaves the top, refuses the archive: one
// line, status 255, nothing of the report.
TEST_F(Archives, RefusedArchivesStopTheRun) {
  const struct {
    std::string command, err;  // the command writes the archive `x` in tmp
    int status = 255;
  } rows[] = {
      {"echo not an archive > x", "x: Unrecognized archive format"},
      {"bsdtar -P -cf x \"$PWD/root/etc/app.conf\"", "x:1: path leaves the top"},
      {"cd root/bin && bsdtar -P -cf ../../x tool ../etc/app.conf", "x:2: path leaves the top"},
      {"printf '2.0\\n' > debian-binary && bsdtar --format=ar -cf x debian-binary",
       "x: a Debian package without a data.tar member"},
      {"head -c 99999 /dev/zero > z && tar -cf x z && head -c 50000 x > y && mv y x",
       "x:1: Truncated tar archive"},
      // An archive of nothing compares nothing.
      {"tar -cf x -T /dev/null", "the archive holds no entry", 2},
  };
  for (const auto& row : rows) {
    ASSERT_EQ(shell(row.command, tmp.path()).status, 0) << row.command;
    const Result r = korlan({"-q", "--strict", "--archive", tmp / "root", "x"}, tmp.path());
    EXPECT_EQ(r.err, "korlan: " + row.err + "\n") << row.command;
    EXPECT_EQ(r.status, row.status) << row.command;
    if (row.status == 255) {
      EXPECT_EQ(r.out, "") << row.command;
    }
  }
}

// An archive's ACLs, which libarchive gives apart from extended attributes, are the attributes
// Linux keeps them as: a tree unpacked without them, or with another, fails; the mode's group
// bits are the mask's.
TEST_F(Archives, ACLsAreCompared) {
  if (shell("setfacl -m u:nobody:rwx root/etc/app.conf && setfacl -d -m u:nobody:rx root/run",
            tmp.path())
          .status != 0)
    GTEST_SKIP() << "setfacl (acl) is not installed, or " << tmp.path() << " keeps no ACLs";
  ASSERT_EQ(shell("bsdtar --acls -cf x -C root . && mkdir t u && bsdtar --acls -xpf x -C t && "
                  "bsdtar -xpf x -C u --no-acls && setfacl -m u:daemon:r t/share/a\\ b",
                  tmp.path())
                .status,
            0);
  const Result r = korlan({"--tsv", "--archive", tmp / "t", tmp / "x"});
  EXPECT_EQ(records(r.out, tmp / "t"), (std::set<std::string>{"xattr\tshare/a b"})) << r.out;
  EXPECT_EQ(records(korlan({"--tsv", "--archive", tmp / "u", tmp / "x"}).out, tmp / "u"),
            (std::set<std::string>{"mode\tetc/app.conf", "xattr\tetc/app.conf", "xattr\trun"}));
}

// A path an archive holds twice is what its later entry says, though the earlier waits for
// the bytes of its hard links (newc) and is given last: f, of two links and no bytes, then f
// with "evil\n", is "evil\n", as bsdtar extracts it.
TEST_F(Archives, APathHeldTwiceIsItsLaterEntry) {
  testutil::writeText(tmp / "newc.py", R"(
def ent(name, ino, nlink, data=b''):
    nb = name.encode() + b'\0'
    out = b'070701' + b''.join(b'%08X' % v for v in
        [ino, 0o100644, 0, 0, nlink, 0, len(data), 0, 0, 0, 0, len(nb), 0]) + nb
    out += b'\0' * (-len(out) % 4) + data
    return out + b'\0' * (-len(data) % 4)
open('x', 'wb').write(ent('f', 10, 2) + ent('f', 11, 1, b'evil\n') + ent('TRAILER!!!', 0, 1))
)");
  ASSERT_EQ(shell("python3 newc.py && mkdir t && bsdtar -xf x -C t", tmp.path()).status, 0);
  ASSERT_EQ(testutil::readText(tmp / "t/f"), "evil\n");
  EXPECT_EQ(korlan({"-q", "--archive", tmp / "t", tmp / "x"}), (Result{kSucceeded, "", 0}));
  testutil::writeText(tmp / "t/f", "");
  EXPECT_EQ(korlan({"-q", "--archive", tmp / "t", tmp / "x"}).out,
            tmp / "t/f" + ":\texpected size of 5; actual 0\n" +
                "Korlan Failure: 1 out of 1 file comparisons failed\n");
}

// --make-mtree --archive writes what the archive holds, digests included,
// without unpacking it: the manifest verifies the tree under --mtree, and
// the tools read it.
TEST_F(Archives, TheManifestOfAnArchive) {
  ASSERT_EQ(shell("tar -czf ../a.tgz .", tmp / "root").status, 0);
  for (const std::string keywords : {"", "--keywords=mode,uid,gid,uname,gname,size,sha512"}) {
    std::vector<std::string> args = {"--make-mtree", "--archive", tmp / "a.tgz"};
    if (!keywords.empty()) args.insert(args.begin() + 1, keywords);
    const Result made = korlan(args);
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err, "");
    EXPECT_NE(made.out.find("./bin/tool2 type=file mode=04755"), std::string::npos) << made.out;
    testutil::writeText(tmp / "m", made.out);
    EXPECT_EQ(korlan({"-q", "--unlisted", "--mtree", tmp / "root", tmp / "m"}),
              (Result{kSucceeded, "", 0}))
        << made.out;
  }
  const std::string manifest = testutil::readText(tmp / "m");
  const Result listed = testutil::run({"/usr/bin/bsdtar", {"bsdtar", "-tf", tmp / "m"}}, tmp);
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'),
            std::count(manifest.begin(), manifest.end(), '\n') - 1)
      << listed.out;
  if (access("/usr/bin/mtree", X_OK) != 0) GTEST_SKIP() << "mtree (mtree-netbsd) is not installed";
  EXPECT_EQ(testutil::run({"/usr/bin/mtree", {"mtree", "-f", tmp / "m", "-p", tmp / "root"}}, tmp),
            (Result{"", "", 0}));
}

}  // namespace
