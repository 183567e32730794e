// The mtree(5) reader and writer: every refusal with its one line, the odd cases of both
// dialects, what `mtree -c` and bsdtar write about a tree read as lstat sees it, and the
// writer's lines read by both tools.
#include "manifest.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <climits>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>

#include "test_util.h"

namespace {

std::string lineOf(const ManifestEntry& e, uint32_t keywords) {
  std::ostringstream s;
  writeManifestLine(s, e, keywords);
  return s.str();
}

// An entry as one line: its line number, the writer's line, its unchecked keywords after "!".
std::string describe(const ManifestEntry& e) {
  std::string s = std::to_string(e.line) + " " + lineOf(e, kKwAll);
  s.pop_back();
  for (const Unchecked& u : e.unchecked) s += " !" + u.keyword;
  return s + "\n";
}

// Every entry of `in` described, or the refusal; `entries` gets the entries.
std::string readAll(std::istream&& in, std::vector<ManifestEntry>* entries = nullptr) {
  ManifestReader reader(in, "M");
  std::ostringstream all, err;
  ManifestEntry e;
  int got;
  while ((got = reader.next(&e, err)) == 1) {
    all << describe(e);
    if (entries) entries->push_back(e);
  }
  const std::string message = err.str();
  EXPECT_EQ(reader.next(&e, err), got);  // and says nothing more
  EXPECT_EQ(err.str(), message);
  return got == 0 ? all.str() : message;
}

TEST(Manifest, RefusesWithOneLineNamingWhereTheLineStarts) {
  const std::string top = "#mtree\n\n. type=dir\n", x63(63, 'a');
  const struct {
    std::string text;
    int line;
    std::string what;
  } cases[] = {
      {top + "a type=bogus\n", 4, "unknown type bogus"},
      {"a size=1 foo=1\n", 1, "unknown keyword foo"},
      {"a mode=17777\n", 1, "bad mode 17777"},
      {"a size=-1\n", 1, "bad size -1"},
      {"a uid=4294967296\n", 1, "bad uid 4294967296"},
      {"a time=1.1000000000\n", 1, "bad time 1.1000000000"},
      {"a md5digest=" + x63.substr(32) + "g\n", 1, "bad md5digest " + x63.substr(32) + "g"},
      {"a sha256=" + x63 + "\n", 1, "bad sha256 " + x63},
      // A backslash that begins no escape continues the line, a word's last one too.
      {"a link=x\\\n", 1, "continued line at the end of the file"},
      {"a optional=1\n", 1, "keyword optional takes no value"},
      {"a size\n", 1, "keyword size needs a value"},
      {"ha#sh\n", 1, "bad name ha#sh"},
      {"a\\057b\n", 1, "bad name a\\057b"},
      {"./a\\000\n", 1, "bad name ./a\\000"},
      {"\\056\\056\n", 1, "bad name \\056\\056"},
      {"d type=dir\n\\.\n", 2, "bad name \\."},
      {"/sets type=file\n", 1, "unknown command /sets"},
      {top + "./a/../../b\n", 4, "path leaves the top"},
      // One ".." closes the top, as mtree -c ends a manifest; nothing follows it.
      {"d type=dir\n..\n..\n..\n", 4, "path leaves the top"},
      {"d\n..\ne\n", 3, "entry after the top's closing .."},
      {"d type=dir\n.. size=1\n", 2, ".. takes no keywords"},
      // mtree -f would take f as d/f, bsdtar as f.
      {"./d type=dir\nf\n", 2, "relative name after a full path is ambiguous"},
      {top + "a size=1 \\\n  time=1.0 \\", 4, "continued line at the end of the file"},
      {std::string("a\0b\n", 4), 1, "holds a NUL byte"},
      {"a \\\n" + std::string(ManifestReader::kLongestLine - 1, 'x'), 1, "line too long"},
      // Two bytes a line, each a directory deeper: the paths, not the lines, grow.
      {"/set type=dir\n" +
           [] {
             std::string deep;
             for (int i = 0; i < PATH_MAX / 2 + 1; ++i) deep += "a\n";
             return deep;
           }(),
       PATH_MAX / 2 + 2, "path longer than the system allows (PATH_MAX)"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(readAll(std::istringstream(c.text)),
              "korlan: M:" + std::to_string(c.line) + ": " + c.what + "\n");
  // Endless input, and input that cannot be read.
  EXPECT_EQ(readAll(std::ifstream("/dev/zero")), "korlan: M:1: line too long\n");
  EXPECT_EQ(readAll(std::ifstream("/")), "can't read M\n");
}

TEST(Manifest, ReadsTheOddCasesOfBothDialects) {
  const std::string a64(64, 'A'), b64(64, 'b');
  const struct {
    std::string text, entries;
  } cases[] = {
      // mtree -c: defaults, a continued line, a directory and "..", comments, a flag.
      {"#\t   user: x\n/set type=file uid=0 gid=0 mode=0644 nlink=1 flags=none\n"
       ".               type=dir mode=0755 nlink=4 time=1.000000005\n"
       "    a\\sb size=2 \\\n                nlink=2\n"
       "d type=dir # a comment\n    f optional flags=uchg\n..\n\n# ./d\ng\n",
       "3 . type=dir mode=0755 uid=0 gid=0 time=1.000000005 nlink=4 flags=none\n"
       "4 ./a\\040b type=file mode=0644 uid=0 gid=0 size=2 nlink=2 flags=none\n"
       "6 ./d type=dir mode=0644 uid=0 gid=0 nlink=1 flags=none\n"
       "7 ./d/f type=file mode=0644 uid=0 gid=0 nlink=1 flags=schg optional\n"
       "11 ./g type=file mode=0644 uid=0 gid=0 nlink=1 flags=none\n"},
      {"/set uid=1 flags=uarch cksum=1 sha1=" + std::string(40, 'c') +
           "\n/unset uid flags sha1digest\na\n"
           "/unset all\nb flags=uarch flags=none\nc nochange ignore\n",
       "3 ./a cksum=1\n5 ./b flags=none\n6 ./c nochange ignore\n"},
      // Every vis form the two writers use; a name ending in a backslash, or in "\M-\".
      {"\\M-C\\M-!\n\\^A\\s\\t\\n\\\\\\#\\075\n\\303\\241\\040\nx\\\\\na\\M-\\\n",
       "1 ./\\303\\241\n2 ./\\001\\040\\011\\012\\134\\043\\075\n3 ./\\303\\241\\040\n4 ./x\\134\n"
       "5 ./a\\334\n"},
      // "\M-/", the byte 0xaf of "ï" in UTF-8, is no separator in either dialect.
      {"na\\M-C\\M-/ve\n./d\\M-/x/f\\M-/\n", "1 ./na\\303\\257ve\n2 ./d\\257x/f\\257\n"},
      {"l type=link link=..\\s/x\\#y uname=r\\157ot gname=\\M-C\\M-!\n",
       "1 ./l type=link uname=root gname=\\303\\241 link=..\\040/x\\043y\n"},
      // "\$" stands for no byte; the ".." that closes the top.
      {". type=dir\ntest\\$\\$ing\n..\n", "1 . type=dir\n2 ./testing\n"},
      // Lines ended as on Windows, as libarchive reads them, continued within a word.
      {"#mtree\r\n. type=dir\r\n./a mode=0644 \\\r\n size=1 uname=\\\r\nroot\r\n",
       "2 . type=dir\n3 ./a mode=0644 uname=root size=1\n"},
      // NetBSD's mtree -D: the keywords first, the path last.
      {"#\ntype=file mode=0644 ./x\\040y\ntype=dir ./d\n",
       "2 ./x\\040y type=file mode=0644\n3 ./d type=dir\n"},
      // bsdtar: full paths, "." and empty components folded, times before 1970.
      {"#mtree\n. type=dir\n.//a/./b type=file mode=755 time=-5.300000000\n./c/ type=dir\n",
       "2 . type=dir\n3 ./a/b type=file mode=0755 time=-5.300000000\n4 ./c type=dir\n"},
      // Full paths among relative names, where both tools read them alike.
      {"d type=dir\n./d/x\ny\n..\n./z\nw\n. mode=0700\n",
       "1 ./d type=dir\n2 ./d/x\n3 ./d/y\n5 ./z\n6 ./w\n7 . mode=0700\n"},
      // The digits after the dot count nanoseconds; modes in octal or symbolic.
      {"a time=1000.5 mode=u=rwxs,go=rx\nb time=1000 mode=a=rwx,+t\nc time=7.0500000000 "
       "mode=u+rw\n",
       "1 ./a mode=04755 time=1000.000000005\n2 ./b mode=01777 time=1000.000000000\n"
       "3 ./c mode=0600 time=7.500000000\n"},
      {"a sha256=" + a64 + " sha256digest=" + b64 + " md5=" + std::string(32, 'E') +
           " sha384=" + std::string(96, '0') + " sha512digest=" + std::string(128, 'f') + "\n",
       "1 ./a md5digest=" + std::string(32, 'e') + " sha256digest=" + b64 + " sha384digest=" +
           std::string(96, '0') + " sha512digest=" + std::string(128, 'f') + "\n"},
      // What the field writes besides: the cksum CRC, go-mtree's digests and extended
      // attributes (xattr=none: no more than those named after it), flags Linux has and has
      // not, devices of this system and others, what says nothing to compare.
      {"a cksum=1 rmd160=" + std::string(40, 'A') + " ripemd160digest=" + std::string(40, 'd') +
           " sha512256=" + b64 +
           " device=native,1,3 resdevice=1 inode=5 content=/x tags=t "
           "flags=uarch,nodump xattr.user.a=eA== xattr=none xattr.user.\\075=YWJj\n"
           "b device=hpux,1,2 flags=schg,uappnd xattr.security.capability=AQAAAg== "
           "xattr.system.posix_acl_access=\n",
       "1 ./a cksum=1 rmd160digest=" + std::string(40, 'd') + " sha512256digest=" + b64 +
           " flags=nodump xattr.user.\\075=YWJj device=native,1,3 !resdevice=1 !contents=/x "
           "!flags=uarch\n"
           "2 ./b flags=schg,sappnd xattr.security.capability=AQAAAg== "
           "xattr.system.posix_acl_access= !device=hpux,1,2\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(readAll(std::istringstream(c.text)), c.entries) << c.text;
}

// The manifests other projects wrote (third_party/peer-manifests): each read, so many entries,
// or refused for a reason its peer's own documentation or reading supports.
TEST(Manifest, ReadsWhatThePeersWrite) {
  const std::string dir = KORLAN_SOURCE_DIR "/third_party/peer-manifests/";
  const std::string ambiguous = "relative name after a full path is ambiguous";
  const struct {
    const char* file;
    int entries;          // -1: refused
    std::string refusal;  // "LINE: what"
  } peers[] = {
      {"freebsd/BSD.root.dist.1997", 24, ""},
      {"freebsd/BSD.var.dist", 45, ""},
      {"gomtree/check_test.L114.mtree", 2, ""},
      {"gomtree/check_test.L144.mtree", 2, ""},
      {"gomtree/check_test.L183.mtree", 2, ""},
      {"gomtree/check_test.L209.mtree", 2, ""},
      {"gomtree/cmd_gomtree_cmd_mutate_test.L148.mtree", 2, ""},
      // A digest of 9 digits: SHA-1's has 40.
      {"gomtree/hierarchy_test.L19.mtree", -1, "9: bad sha1digest dead0face"},
      {"gomtree/hierarchy_test.L34.mtree", 2, ""},
      // A relative name after a full path: NetBSD's mtree puts it below the
      // full path's directory, libarchive at the top (see the peers' README).
      {"gomtree/relative.mtree", -1, "10: " + ambiguous},
      {"gomtree/source.casync-mtree", -1, "43: " + ambiguous},
      {"gomtree/source.mtree", 45, ""},
      {"libarchive/test_crlf_mtree.content.mtree", 2, ""},
      {"libarchive/test_empty_mtree.test1.mtree", 0, ""},
      {"libarchive/test_option_C_mtree.content.mtree", 1, ""},
      {"libarchive/test_read_format_mtree.mtree", -1, "11: " + ambiguous},
      {"libarchive/test_read_format_mtree.test_read_format_mtree2.archive.mtree", 1, ""},
      {"libarchive/test_read_format_mtree.test_read_format_mtree3.archive.mtree", 3, ""},
      {"libarchive/test_read_format_mtree.test_read_format_mtree_filenames_only.archive.mtree", 6,
       ""},
      {"libarchive/"
       "test_read_format_mtree.test_read_format_mtree_global_set_no_value.archive.mtree",
       1, ""},
      // Nanoseconds past 999,999,999: mtree(5) times are seconds and nanoseconds.
      {"libarchive/test_read_format_mtree.test_read_format_mtree_nano.archive.mtree", -1,
       "2: bad time 1234567890.1000000000000"},
      {"libarchive/test_read_format_mtree.test_read_format_mtree_nochange.archive.mtree", 3, ""},
      {"libarchive/test_read_format_mtree.test_read_format_mtree_nochange.archive2.mtree", 3, ""},
      {"libarchive/"
       "test_read_format_mtree.test_read_format_mtree_nonexistent_contents_file.archive.mtree",
       1, ""},
      {"libarchive/test_read_format_mtree.test_read_format_mtree_tab.archive.mtree", 1, ""},
      {"libarchive/test_read_format_mtree_nomagic.mtree", -1, "10: " + ambiguous},
      {"libarchive/test_read_format_mtree_nomagic2.mtree", 6, ""},
      {"libarchive/test_read_format_mtree_nomagic3.mtree", 6, ""},
      {"libarchive/test_read_format_mtree_noprint.mtree", 2, ""},
      // Meant to be refused, by libarchive's own test.
      {"libarchive/test_write_format_mtree_null_deref.bin", -1, "1: holds a NUL byte"},
  };
  size_t named = 0;
  for (const auto& p : peers) {
    std::vector<ManifestEntry> entries;
    const std::string read = readAll(std::ifstream(dir + p.file), &entries);
    if (p.entries < 0) {
      EXPECT_EQ(read, "korlan: M:" + p.refusal + "\n") << p.file;
    } else {
      EXPECT_EQ(entries.size(), static_cast<size_t>(p.entries)) << p.file << read;
      // Every keyword is checked but the one naming where an archiver
      // finds the file's bytes.
      for (const ManifestEntry& e : entries)
        for (const Unchecked& u : e.unchecked)
          EXPECT_EQ(u.keyword.rfind("content", 0), 0u) << p.file << ": " << describe(e);
    }
    ++named;
  }
  // Every one of them is in the table.
  size_t files = 0;
  for (const auto& d : std::filesystem::recursive_directory_iterator(dir))
    files += d.is_regular_file() && d.path().filename() != "README.md";
  EXPECT_EQ(named, files);
}

TEST(Manifest, KeywordNamesAndLists) {
  uint32_t keywords = 0;
  std::string bad;
  for (const KeywordRow& row : kKeywordTable) {
    const bool written = row.value != Value::kNothing && row.value != Value::kUnknown;
    EXPECT_EQ(parseKeywordList(row.name, &keywords, &bad), written) << row.name;
    if (written) {
      EXPECT_EQ(keywords, keywordBit(row.keyword)) << row.name;
    }
  }
  EXPECT_TRUE(parseKeywordList("uid,sha256,md5digest,optional", &keywords, &bad));
  EXPECT_EQ(keywords, kKwUid | kKwSha256 | kKwMd5 | kKwOptional);
  for (const char* list : {"uid,,gid", "size,tags", ""}) {
    EXPECT_FALSE(parseKeywordList(list, &keywords, &bad));
    EXPECT_EQ(bad, strstr(list, "tags") ? "tags" : "") << list;
  }
}

// The program `name` where Debian installs it, or "".
std::string tool(const std::string& name) {
  return access(("/usr/bin/" + name).c_str(), X_OK) == 0 ? "/usr/bin/" + name : "";
}

// A tree of every type Korlan checks, a setuid program, a world-writable file, hard links, names
// with every byte the encodings escape, and a time 5 ns past a second; `paths`
// gets its paths below the top, "." included.
void makeTree(const std::string& root, std::set<std::string>* paths) {
  for (const char* name :
       {"sp ace", "new\nline", "ta\tb", "back\\slash", "ha#sh", "eq=ual", "\xc3\xa1"})
    testutil::writeText(root + "/" + name, name);
  testutil::writeText(root + "/prog", "#!/bin/sh\n");
  testutil::writeText(root + "/ww", "w");
  testutil::writeText(root + "/sub/deeper/f", "f");
  ASSERT_EQ(chmod((root + "/prog").c_str(), 04755), 0);
  ASSERT_EQ(chmod((root + "/ww").c_str(), 0666), 0);
  ASSERT_EQ(link((root + "/sub/deeper/f").c_str(), (root + "/hard").c_str()), 0);
  ASSERT_EQ(mkdir((root + "/emptyd").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((root + "/ff").c_str(), 0644), 0);
  ASSERT_EQ(symlink("prog", (root + "/lnk").c_str()), 0);
  ASSERT_EQ(symlink("sp ace", (root + "/lnk sp").c_str()), 0);
  const timespec times[2] = {{0, UTIME_OMIT}, {1000, 5}};
  ASSERT_EQ(utimensat(AT_FDCWD, (root + "/sp ace").c_str(), times, 0), 0);
  paths->insert(".");
  for (const auto& p : std::filesystem::recursive_directory_iterator(root))
    paths->insert(p.path().string().substr(root.size() + 1));
}

// What lstat, readlink and sha256sum say of `rel` below `root`, as an entry.
ManifestEntry fromDisk(const std::string& root, const std::string& rel,
                       const std::string& sha256sum, const testutil::TempDir& tmp) {
  const std::string path = root + "/" + rel;
  struct stat st;
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  ManifestEntry e;
  e.path = rel;
  // No file of the test's tree has flags.
  e.keywords = kKwType | kKwMode | kKwUid | kKwGid | kKwTime | kKwNlink | kKwFlags;
  e.type = S_ISDIR(st.st_mode)    ? EntryType::kDir
           : S_ISLNK(st.st_mode)  ? EntryType::kLink
           : S_ISFIFO(st.st_mode) ? EntryType::kFifo
                                  : EntryType::kFile;
  e.mode = st.st_mode & 07777;
  e.uid = st.st_uid;
  e.gid = st.st_gid;
  e.seconds = st.st_mtim.tv_sec;
  e.nanoseconds = st.st_mtim.tv_nsec;
  e.nlink = st.st_nlink;
  if (const passwd* pw = getpwuid(st.st_uid)) e.uname = pw->pw_name, e.keywords |= kKwUname;
  if (const group* gr = getgrgid(st.st_gid)) e.gname = gr->gr_name, e.keywords |= kKwGname;
  if (S_ISREG(st.st_mode)) {
    e.size = st.st_size;
    // sha256sum begins its line with "\" when the name holds one, or a line end.
    const std::string out = testutil::run({sha256sum, {"sha256sum", path}}, tmp).out;
    e.digests.push_back({DigestAlgorithm::kSha256, out.substr(out.rfind('\\', 0) == 0, 64)});
    e.keywords |= kKwSize | kKwSha256;
  } else if (S_ISLNK(st.st_mode)) {
    e.link = std::filesystem::read_symlink(path).string();
    e.keywords |= kKwLink;
  }
  return e;
}

TEST(Manifest, AgreesWithMtreeAndBsdtarAndLstatOnATree) {
  const std::string sha256sum = tool("sha256sum"), mtree = tool("mtree"), bsdtar = tool("bsdtar");
  if (sha256sum.empty() || mtree.empty() || bsdtar.empty())
    GTEST_SKIP() << "needs sha256sum, mtree (mtree-netbsd) and bsdtar (libarchive-tools)";
  testutil::TempDir tmp;
  const std::string root = tmp / "tree", file = tmp / "w.mtree";
  const std::vector<std::string> env = {"LC_ALL=C"};
  std::set<std::string> paths;
  ASSERT_NO_FATAL_FAILURE(makeTree(root, &paths));
  // The lines written of the tree read back as they were, a directory before what it holds
  // (mtree -f needs that): "." first, then in order of path.
  std::string written = kManifestHeader, described;
  for (const std::string& path : paths) {
    ManifestEntry e = fromDisk(root, path, sha256sum, tmp);
    e.line = 1 + std::count(written.begin(), written.end(), '\n');
    written += lineOf(e, kKwAll);
    described += describe(e);
  }
  testutil::writeText(file, written);
  EXPECT_EQ(readAll(std::istringstream(written)), described);
  // mtree finds nothing missing, extra or different (it exits 0 for missing and extra files).
  EXPECT_EQ(testutil::run({mtree, {"mtree", "-f", file, "-p", root}, "", &env}, tmp),
            (testutil::Result{"", "", 0}));
  // What each tool writes of the tree names every path and agrees with lstat in all it says;
  // bsdtar also reads the lines written, each file's contents in the tree, and writes the names.
  const uint32_t always = kKwType | kKwMode | kKwUid | kKwGid | kKwTime | kKwSize | kKwLink;
  const struct {
    testutil::Launch launch;
    uint32_t carried;  // what the tool writes of every entry that has it
  } writers[] = {
      {{mtree, {"mtree", "-c", "-K", "sha256digest", "-p", root}, "", &env},
       always | kKwNlink | kKwSha256},
      {{bsdtar,
        {"bsdtar", "-cf", "-", "--format=mtree",
         "--options=!all,type,mode,uid,gid,uname,gname,size,link,time,nlink,sha256", "-C", root,
         "."},
        "",
        &env},
       always | kKwUname | kKwGname | kKwSha256},
      {{bsdtar, {"bsdtar", "-cf", "-", "--format=mtree", "--options=!all", "@" + file}, root, &env},
       0},
  };
  for (const auto& w : writers) {
    const testutil::Result r = testutil::run(w.launch, tmp);
    ASSERT_EQ(r.status, 0) << r;
    std::vector<ManifestEntry> entries;
    const std::string read = readAll(std::istringstream(r.out), &entries);
    std::set<std::string> named;
    for (const ManifestEntry& e : entries) {
      named.insert(e.path);
      ManifestEntry disk = fromDisk(root, e.path, sha256sum, tmp);
      EXPECT_EQ(e.keywords & w.carried & disk.keywords, w.carried & disk.keywords) << describe(e);
      disk.keywords &= e.keywords;
      EXPECT_EQ(lineOf(e, kKwAll), lineOf(disk, kKwAll)) << w.launch.argv[1];
      EXPECT_TRUE(e.unchecked.empty()) << describe(e);
    }
    EXPECT_EQ(named, paths) << w.launch.argv[1] << " " << read;
  }
}

}  // namespace
