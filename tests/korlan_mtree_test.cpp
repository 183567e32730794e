// End to end, --mtree and --make-mtree: manifests written by mtree, bsdtar
// and korlan verify the tree they describe; every damage is named with its
// kind, as mtree -f names it; the rules optional, nochange and ignore.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using testutil::Result;

const char kMtree[] = "/usr/bin/mtree";
const char kBsdtar[] = "/usr/bin/bsdtar";

// A tree with what installations hold and what a manifest must carry
// through: a setuid program and a hard link of it, a world-writable file,
// a link, a FIFO, an empty directory, and names that need escapes.
class Manifests : public testutil::Korlan {
 protected:
  static std::vector<std::string> oddNames() {
    return {"a b", "nl\nx", "back\\slash", "h#sh", "eq=ual", "\xc3\xa1", "na\xc3\xafve"};
  }
  void build(const std::string& top) {
    testutil::writeText(top + "/bin/tool", "#!/bin/sh\n");
    ASSERT_EQ(chmod((top + "/bin/tool").c_str(), 04755), 0);
    ASSERT_EQ(link((top + "/bin/tool").c_str(), (top + "/bin/tool2").c_str()), 0);
    testutil::writeText(top + "/etc/app.conf", "conf\n");
    ASSERT_EQ(chmod((top + "/etc/app.conf").c_str(), 0666), 0);
    ASSERT_EQ(symlink("../bin/tool", (top + "/etc/tool.lnk").c_str()), 0);
    std::filesystem::create_directories(top + "/run");
    ASSERT_EQ(mkfifo((top + "/run/pipe").c_str(), 0644), 0);
    std::filesystem::create_directories(top + "/empty");
    for (const std::string& name : oddNames()) testutil::writeText(top + "/share/" + name, name);
  }
  void SetUp() override { build(tmp / "root"); }
  Result tool(std::vector<std::string> argv, const std::string& cwd = "") {
    return testutil::run({argv[0], argv, cwd}, tmp);
  }
  // Korlan's manifest of `top`, with `keywords` when given.
  std::string made(const std::string& top, const std::string& keywords = "") {
    std::vector<std::string> args = {"--make-mtree", top};
    if (!keywords.empty()) args.insert(args.begin() + 1, "--keywords=" + keywords);
    const Result r = korlan(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  }
};

TEST_F(Manifests, WhatTheToolsWriteVerifies) {
  const std::string root = tmp / "root";
  std::vector<std::pair<std::string, std::string>> manifests = {{"korlan", made(root)}};
  if (access(kMtree, X_OK) == 0)
    manifests.push_back({"mtree -c", tool({kMtree, "-c", "-K", "sha256digest", "-p", root}).out});
  if (access(kBsdtar, X_OK) == 0)
    manifests.push_back(
        {"bsdtar", tool({kBsdtar, "-cf", "-", "--format=mtree",
                         "--options=!all,type,mode,uid,gid,size,link,time,sha256", "."},
                        root)
                       .out});
  for (const auto& [writer, manifest] : manifests) {
    testutil::writeText(tmp / "m", manifest);
    EXPECT_EQ(korlan({"--strict", "-q", "--unlisted", "--mtree", root, tmp / "m"}),
              (Result{"Korlan Succeeded: all file comparisons correct\n", "", 0}))
        << writer << "\n"
        << manifest;
  }
  if (access(kMtree, X_OK) != 0 || access(kBsdtar, X_OK) != 0)
    GTEST_SKIP() << "mtree (mtree-netbsd) or bsdtar (libarchive-tools) is not installed";
  // The tools read what korlan writes and find the tree as it says.
  testutil::writeText(tmp / "m", manifests[0].second);
  EXPECT_EQ(tool({kMtree, "-f", tmp / "m", "-p", root}), (Result{"", "", 0}));
  const Result listed = tool({kBsdtar, "-tf", tmp / "m"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'),
            std::count(manifests[0].second.begin(), manifests[0].second.end(), '\n') - 1);
}

// Each damage is named exactly, with its kind, and mtree -f names the same
// paths; the rules of a manifest spare what they say.
TEST_F(Manifests, DamagesAreNamedWithTheirKind) {
  const std::string keywords = "mode,size,link,sha256digest,uid,gid";
  const std::string pristine = made(tmp / "root", keywords);
  const bool root = geteuid() == 0;
  struct Row {
    std::string what;
    std::function<void(const std::string&)> damage;
    std::set<std::string> records;                           // KIND<TAB>PATH below ROOT
    std::function<std::string(std::string)> rule = nullptr;  // changes the manifest
    bool asMtree = true;  // mtree -f names the same paths (it skips what is ignored)
  };
  const auto file = [](const std::string& path, const std::string& text) {
    testutil::writeText(path, text);
  };
  // bin replaced by a link to a good copy of it: nothing below is judged through the link.
  build(tmp / "copy");
  const auto linkForBin = [&](const std::string& t) {
    std::filesystem::remove_all(t + "/bin");
    symlink((tmp / "copy/bin").c_str(), (t + "/bin").c_str());
  };
  const auto changeAndAdd = [&](const std::string& t) {
    file(t + "/share/h#sh", "h#sH");
    file(t + "/share/new", "x");
  };
  const std::vector<Row> rows = {
      {"setuid dropped",
       [](const std::string& t) { chmod((t + "/bin/tool").c_str(), 0755); },
       {"mode\tbin/tool", "mode\tbin/tool2"}},
      {"world-writable",
       [](const std::string& t) { chmod((t + "/bin/tool").c_str(), 04777); },
       {"mode\tbin/tool", "mode\tbin/tool2"}},
      {"link retargeted",
       [](const std::string& t) {
         unlink((t + "/etc/tool.lnk").c_str());
         symlink("../bin/tool2", (t + "/etc/tool.lnk").c_str());
       },
       {"link\tetc/tool.lnk"}},
      {"a FIFO for a file",
       [](const std::string& t) {
         unlink((t + "/etc/app.conf").c_str());
         mkfifo((t + "/etc/app.conf").c_str(), 0666);
       },
       {"type\tetc/app.conf"}},
      {"same size, other bytes",
       [&](const std::string& t) { file(t + "/share/h#sh", "h#sH"); },
       {"checksum\tshare/h#sh"}},
      {"other size",
       [&](const std::string& t) { file(t + "/share/a b", "a  b"); },
       {"size\tshare/a b"}},
      {"removed",
       [](const std::string& t) { unlink((t + "/share/eq=ual").c_str()); },
       {"missing\tshare/eq=ual"}},
      {"added",
       [&](const std::string& t) { file(t + "/share/new", "x"); },
       {"unlisted\tshare/new"}},
      {"optional and absent",
       [](const std::string& t) { unlink((t + "/share/eq=ual").c_str()); },
       {},
       [](std::string m) { return m + "./share/eq\\075ual type=file optional\n"; }},
      {"nochange, then changed",
       [&](const std::string& t) { file(t + "/etc/app.conf", "other"); },
       {},
       [](std::string m) { return m + "./etc/app.conf type=file nochange\n"; }},
      {"ignored below",
       [&](const std::string& t) { file(t + "/run/log", "x"); },
       {},
       [](std::string m) { return m + "./run type=dir ignore\n"; }},
      {"a link for a directory",
       linkForBin,
       {"type\tbin", "unreadable\tbin/tool", "unreadable\tbin/tool2"}},
      {"a link for a directory the manifest names with no type",
       linkForBin,
       {"unreadable\tbin/tool", "unreadable\tbin/tool2"},
       [](std::string m) { return m + "./bin optional\n"; },
       false},
      // ignore keeps --unlisted out, and weakens no comparison, said after them or at the top.
      {"ignored, said after the entries below",
       changeAndAdd,
       {"checksum\tshare/h#sh"},
       [](std::string m) { return m + "./share type=dir ignore\n"; },
       false},
      {"the top ignored",
       changeAndAdd,
       {"checksum\tshare/h#sh"},
       [](std::string m) { return m + ". type=dir ignore\n"; },
       false},
  };
  std::vector<Row> all = rows;
  if (root)
    all.push_back({"owner changed",
                   [](const std::string& t) {
                     if (lchown((t + "/etc/app.conf").c_str(), 65534, 65534) != 0) abort();
                   },
                   {"uid\tetc/app.conf", "gid\tetc/app.conf"}});
  for (const Row& row : all) {
    const std::string top = tmp / ("t" + std::to_string(&row - all.data()));
    build(top);
    std::string manifest = pristine;
    if (row.rule) {
      // The manifest's own line for the path goes: the rule's replaces it.
      std::istringstream lines(pristine);
      manifest.clear();
      const std::string rule = row.rule("");
      const std::string path = rule.substr(0, rule.find(' ') + 1);
      for (std::string line; std::getline(lines, line);)
        if (line.rfind(path, 0) != 0) manifest += line + "\n";
      manifest = row.rule(manifest);
    }
    testutil::writeText(tmp / "m", manifest);
    row.damage(top);
    const Result r = korlan({"--tsv", "--unlisted", "--mtree", top, tmp / "m"});
    std::set<std::string> records;
    std::istringstream tsv(r.out);
    for (std::string line; std::getline(tsv, line);) {
      const size_t tab = line.find('\t');
      if (line.substr(0, tab) == "total") continue;
      const std::string path = line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1);
      records.insert(line.substr(0, tab) + "\t" + path.substr(top.size() + 1));
    }
    EXPECT_EQ(records, row.records) << row.what << "\n" << r.out << r.err;
    EXPECT_EQ(r.status, 0) << row.what;
    // mtree -f, which knows no nochange, names the same paths.
    if (access(kMtree, X_OK) != 0 || row.what.find("nochange") == 0 || !row.asMtree) continue;
    const Result checked = tool({kMtree, "-f", tmp / "m", "-p", top});
    for (const std::string& record : row.records) {
      const std::string path = record.substr(record.find('\t') + 1);
      EXPECT_NE(checked.out.find(path), std::string::npos) << row.what << ": " << checked.out;
    }
    if (row.records.empty()) {
      EXPECT_EQ(checked.out, "") << row.what;
    }
  }
  if (!root) GTEST_SKIP() << "the owner row needs root, to give a file away";
}

// FreeBSD's own manifests of its directories: the tree mtree -U makes of each verifies, and each
// damage of a table is named by korlan and by mtree -f alike, row by row.
TEST_F(Manifests, FreeBsdsManifestsReportAsMtreeDoes) {
  if (geteuid() != 0 || access(kMtree, X_OK) != 0)
    GTEST_SKIP() << "needs root, to give directories their owners, and mtree (mtree-netbsd)";
  const struct {
    std::string file;
    std::string mode, owner, removed, file_, link;  // the directories each damage befalls
  } manifests[] = {{"BSD.var.dist", "account", "at/jobs", "crash", "cron/tabs", "msgs"},
                   {"BSD.root.dist.1997", "etc/ppp", "etc/uucp", "mnt", "etc/skel", "etc/namedb"}};
  for (const auto& m : manifests) {
    // The users and groups this host lacks (wheel, operator, ...) become root; mtree-netbsd
    // neither sets nor compares flags here, so they go.
    std::ifstream in(KORLAN_SOURCE_DIR "/third_party/peer-manifests/freebsd/" + m.file);
    std::ostringstream manifest;
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      for (std::string word; words >> word;) {
        if (word.rfind("flags=", 0) == 0) continue;
        const size_t eq = word.find('=');
        const std::string key = word.substr(0, eq), name = word.substr(eq + 1);
        if ((key == "uname" && getpwnam(name.c_str()) == nullptr) ||
            (key == "gname" && getgrnam(name.c_str()) == nullptr))
          word = key + "=root";
        manifest << word << " ";
      }
      manifest << "\n";
    }
    const std::string top = tmp / m.file, list = tmp / (m.file + ".m");
    testutil::writeText(list, manifest.str());
    std::filesystem::create_directories(top);
    {
      const Result made = tool({kMtree, "-U", "-f", list, "-p", top});
      ASSERT_EQ(made.status, 0) << m.file << made.err << manifest.str();
    }
    EXPECT_EQ(korlan({"--strict", "-q", "--unlisted", "--mtree", top, list}),
              (Result{"Korlan Succeeded: all file comparisons correct\n", "", 0}))
        << m.file;
    EXPECT_EQ(tool({kMtree, "-f", list, "-p", top}), (Result{"", "", 0})) << m.file;

    ASSERT_EQ(chmod((top + "/" + m.mode).c_str(), 0700), 0);
    ASSERT_EQ(chown((top + "/" + m.owner).c_str(), 65534, -1), 0);
    ASSERT_EQ(rmdir((top + "/" + m.removed).c_str()), 0);
    std::filesystem::remove_all(top + "/" + m.file_);
    testutil::writeText(top + "/" + m.file_, "");
    std::filesystem::remove_all(top + "/" + m.link);
    ASSERT_EQ(symlink(".", (top + "/" + m.link).c_str()), 0);
    std::filesystem::create_directories(top + "/extra");
    const std::set<std::string> expected = {"mode\t" + m.mode,       "uname\t" + m.owner,
                                            "missing\t" + m.removed, "type\t" + m.file_,
                                            "type\t" + m.link,       "unlisted\textra"};

    std::set<std::string> korlans, mtrees;
    std::istringstream tsv(korlan({"--tsv", "--unlisted", "--mtree", top, list}).out);
    for (std::string line; std::getline(tsv, line);) {
      const size_t tab = line.find('\t'), end = line.find('\t', tab + 1);
      if (line.substr(0, tab) != "total")
        korlans.insert(line.substr(0, tab + 1) +
                       line.substr(tab + top.size() + 2, end - tab - top.size() - 2));
    }
    // mtree -f writes "PATH: extra", "missing: ./PATH", or "PATH:" with a line for each
    // difference ("\tpermissions (0755, 0700)"), the first of them on the same line or below.
    const std::map<std::string, std::string> kinds = {
        {"permissions", "mode"}, {"user", "uname"}, {"type", "type"}};
    std::istringstream report(tool({kMtree, "-f", list, "-p", top}).out);
    std::string path;
    for (std::string line; std::getline(report, line);) {
      if (line.rfind("missing: ./", 0) == 0) {
        mtrees.insert("missing\t" + line.substr(11));
        continue;
      }
      if (line[0] != '\t') {
        path = line.substr(0, line.find(':'));
        line = line.substr(line.find(':') + 1);
      }
      if (line == " extra") mtrees.insert("unlisted\t" + path);
      const size_t tab = line.find('\t');
      if (tab == std::string::npos) continue;
      const std::string kind = line.substr(tab + 1, line.find(' ', tab) - tab - 1);
      mtrees.insert((kinds.count(kind) ? kinds.at(kind) : kind) + "\t" + path);
    }
    EXPECT_EQ(korlans, expected) << m.file;
    EXPECT_EQ(mtrees, expected) << m.file;
  }
}

// A manifest's paths are held as a tree of names: a few hundred kilobytes of short lines below
// a deep directory, each a path of thousands of bytes, cost what their names do.
TEST_F(Manifests, MemoryGrowsWithTheManifestNotItsPaths) {
  std::string deep = "/set optional\n";
  for (int i = 0; i < 2000; ++i) deep += "a type=dir\n";
  for (int i = 0; i < 200000; ++i) deep += "x\n";
  testutil::writeText(tmp / "deep", deep);
  const Result r = korlan({"-q", "--mtree", tmp / "root", tmp / "deep"});
  EXPECT_EQ(r, (Result{"Korlan Succeeded: all file comparisons correct\n", "", 0}));
  // A sanitizer's runtime holds memory of its own.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  EXPECT_LT(r.peakKiB, 64 << 10);
#endif
}

// Entries of one path are one, keyword by keyword, the later winning, checked once where the
// first stands.
TEST_F(Manifests, EntriesOfOnePathAreOne) {
  const std::string conf = root("etc/app.conf");
  const std::string mode = "Mode Mismatch: " + conf + ": expected 0600; actual 0666\n";
  const std::string ok = "Korlan Succeeded: all file comparisons correct\n";
  const auto failed = [](int n, int of) {
    return "Korlan Failure: " + std::to_string(n) + " out of " + std::to_string(of) +
           " file comparisons failed\n";
  };
  const struct {
    std::string manifest, out;
  } cases[] = {
      {"./etc/app.conf size=5\n./bin\n./etc/app.conf mode=0600\n", mode + failed(1, 2)},
      {"./etc/app.conf size=9 mode=0600\n./etc/app.conf size=5\n", mode + failed(1, 1)},
      {"./etc/app.conf mode=0600\n./etc/app.conf mode=0666\n", ok},
      // A later "none" takes the flags and attributes back, a later value gives them.
      {"./etc/app.conf flags=schg xattr.user.a=eA==\n./etc/app.conf flags=none xattr=none\n", ok},
      {"./etc/app.conf flags=arch\n./etc/app.conf flags=none\n", ok},  // no "Not Checked" left
      {"./etc/app.conf flags=none xattr=none\n./etc/app.conf flags=nodump\n",
       "Flags Mismatch: " + conf + ": expected nodump; actual none\n" + failed(1, 1)},
      // The report takes the path where it first stood.
      {"./etc/app.conf mode=0666\n./bin/tool size=10\n./etc/app.conf mode=0600\n"
       "./bin/tool2 size=1\n",
       mode + root("bin/tool2") + ":\texpected size of 1; actual 10\n" + failed(2, 3)},
  };
  for (const auto& c : cases) {
    testutil::writeText(tmp / "m", c.manifest);
    EXPECT_EQ(korlan({"-q", "--mtree", tmp / "root", tmp / "m"}), (Result{c.out, "", 0}))
        << c.manifest;
  }
}

TEST_F(Manifests, RefusedManifestsStopBeforeTheWalk) {
  const struct {
    std::string manifest, err;
  } cases[] = {
      {"#mtree\n./a type=file\nnot a line=\n", "m:3: unknown keyword a"},
      {"./a type=socks\n", "m:1: unknown type socks"},
      {"./a/../../etc type=dir\n", "m:1: path leaves the top"},
      {"./a type=file \\\n", "m:1: continued line at the end of the file"},
      {"12 ./a\n",
       "m:1: unknown keyword ./a\nkorlan: m:1: a packing list, which is read without --mtree?"},
      {"./a type=file\n./b\n./a type=dir\n", "m:3: ./a is a dir here, and a file on line 1"},
  };
  for (const auto& c : cases) {
    testutil::writeText(tmp / "m", c.manifest);
    const Result r = korlan({"--mtree", tmp / "root", "m"}, tmp.path());
    EXPECT_EQ(r.status, 255) << c.manifest;
    EXPECT_EQ(r.err, "korlan: " + c.err + "\n") << c.manifest;
    EXPECT_EQ(r.out.find("[Walking"), std::string::npos) << c.manifest;
  }
  // A keyword no check here can compare fails its entry, named in the report.
  testutil::writeText(tmp / "m", ". type=dir flags=uarch\n./bin type=dir device=hpux,1,2\n");
  EXPECT_EQ(korlan({"-q", "--mtree", tmp / "root", "m"}, tmp.path()),
            (Result{"Not Checked: " + tmp / "root" + ": flags=uarch: no such flag on Linux\n" +
                        "Not Checked: " + root("bin") +
                        ": device=hpux,1,2: the number of a device of another system\n" +
                        "Korlan Failure: 2 out of 2 file comparisons failed\n",
                    "", 0}));
}

// Times to the nanosecond, link counts (not a directory's) and owners by name: each is
// compared, and only what changed is named.
TEST_F(Manifests, TimesLinkCountsAndOwnerNamesAreCompared) {
  testutil::writeText(tmp / "m", made(tmp / "root", "time,nlink,uname,gname"));
  const std::string conf = root("etc/app.conf");
  const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 5}};
  ASSERT_EQ(utimensat(AT_FDCWD, conf.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  // Another link of the file, and a directory below etc: its link count is etc's own, not
  // compared (its time is set back).
  struct stat etc;
  ASSERT_EQ(stat(root("etc").c_str(), &etc), 0);
  ASSERT_EQ(link(conf.c_str(), root("etc/app.conf.2").c_str()), 0);
  ASSERT_EQ(mkdir(root("etc/sub").c_str(), 0755), 0);
  const timespec back[2] = {{0, UTIME_OMIT}, etc.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, root("etc").c_str(), back, 0), 0);
  std::string owners;
  if (geteuid() == 0 && lchown(root("etc/tool.lnk").c_str(), 65534, 65534) == 0) {
    const auto name = [](bool user) {
      const std::string n =
          testutil::run({"/usr/bin/id", {"id", user ? "-nu" : "-ng", "65534"}}, testutil::TempDir())
              .out;
      return n.substr(0, n.size() - 1);
    };
    owners = "uname\t" + root("etc/tool.lnk") + "\troot\t" + name(true) + "\t\n" + "gname\t" +
             root("etc/tool.lnk") + "\troot\t" + name(false) + "\t\n";
  }
  const Result r = korlan({"--tsv", "--mtree", tmp / "root", tmp / "m"});
  EXPECT_EQ(r.out.substr(0, r.out.rfind("total")),
            "time\t" + conf + "\t" + r.out.substr(r.out.find(conf) + conf.size() + 1, 20) +
                "\t1000000000.000000005\t\nnlink\t" + conf + "\t1\t2\t\n" + owners)
      << r.out;
  // The plain report shows a time as people read it too.
  EXPECT_NE(korlan({"-q", "--mtree", tmp / "root", tmp / "m"})
                .out.find("; actual 1000000000.000000005 (2001-09-09 01:46:40.000000005 UTC)\n"),
            std::string::npos);
  if (owners.empty())
    GTEST_SKIP() << "the owners' names are compared as root, who may give a file away";
}

// What the field writes of a file's bytes besides SHA-256: the CRC of cksum(1), as it prints
// it, and RIPEMD-160; each alone catches bytes changed, their size kept.
TEST_F(Manifests, EveryContentKeywordCatchesAChangedByte) {
  const std::string crc = tool({"/usr/bin/cksum", root("share/h#sh")}).out;
  const std::string manifest = made(tmp / "root", "cksum,rmd160digest,sha512256digest");
  EXPECT_NE(manifest.find("/h\\043sh type=file cksum=" + crc.substr(0, crc.find(' ')) + " "),
            std::string::npos)
      << manifest << crc;
  testutil::writeText(tmp / "m", manifest);
  testutil::writeText(root("share/h#sh"), "h#sH");
  const Result r = korlan({"--tsv", "--strict", "--mtree", tmp / "root", tmp / "m"});
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << r.out;
  EXPECT_NE(r.out.find("checksum\t" + root("share/h#sh") + "\t"), std::string::npos) << r.out;
}

}  // namespace
