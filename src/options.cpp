// options.cpp: the command line.
#include "options.h"

#include <getopt.h>

#include <charconv>
#include <cstring>
#include <fstream>

#include "keywords.h"
#include "manifest.h"
#include "message.h"

#ifndef KORLAN_VERSION
#define KORLAN_VERSION "unknown"
#endif

const char kUsageLine[] = "Korlan [ dirname packing.list]";

namespace {

const char kHelp[] =
    "Usage: korlan [OPTION]... ROOT LIST\n"
    "       korlan [OPTION]... --mtree ROOT MANIFEST\n"
    "       korlan [OPTION]... --archive ROOT ARCHIVE\n"
    "       korlan [OPTION]...\n"
    "       korlan [OPTION]... --dpkg [--root=DIR] [PACKAGE]...\n"
    "       korlan --make-list ROOT\n"
    "       korlan --make-sums ROOT\n"
    "       korlan --make-mtree [--keywords=LIST] ROOT\n"
    "       korlan --make-mtree [--keywords=LIST] --archive ARCHIVE\n"
    "       korlan --make-lists [--keywords=LIST] [--files-from=FILE] ROOT\n"
    "Verify the tree under ROOT against the packing list LIST: report every\n"
    "listed file that is missing or has another size (sizes only; --sums\n"
    "adds the contents, --mtree checks what a manifest says). Without ROOT\n"
    "and LIST, verify the installation that holds this program against what\n"
    "it ships at its top: packing.mtree when it is there, else packing.lst\n"
    "with packing.sha256 beside it when that is there, else packing.lst.\n"
    "\n"
    "  --strict       end with status 2 when a comparison failed or the list\n"
    "                 names no file\n"
    "  --full-paths   name the expected path, not the bare file name, in\n"
    "                 size lines\n"
    "  -q, --quiet    print only the failure lines and the summary\n"
    "  --tsv          print one record per failed file,\n"
    "                 KIND<TAB>PATH<TAB>EXPECTED<TAB>ACTUAL<TAB>REASON,\n"
    "                 then total<TAB>FAILED<TAB>FILES\n"
    "  --json         print the records of --tsv as JSON objects, one per\n"
    "                 line (JSON Lines)\n"
    "  --sums[=FILE]  also read every file of the listed size and compare its\n"
    "                 SHA-256 with the one FILE gives (sha256sum's format);\n"
    "                 FILE is packing.sha256 beside LIST when not given\n"
    "  --mtree        verify against an mtree manifest (mtree -c, bsdtar\n"
    "                 --format=mtree, --make-mtree): type, mode, owners, "
    "size,\n"
    "                 link target, time, link count, digests, as lstat finds\n"
    "                 each entry; without operands, packing.mtree at the top\n"
    "  --archive      verify against an archive as shipped (tar, cpio, zip,\n"
    "                 7z, ISO 9660, .deb, .rpm; compressed or not), read once\n"
    "                 as it comes: type, mode, size, link target and SHA-256\n"
    "                 of every entry, or what --keywords names; under --key,\n"
    "                 signed in ARCHIVE.minisig or ARCHIVE.sig; with\n"
    "                 --make-mtree, write the manifest of ARCHIVE\n"
    "  --strip-components=N  with --archive, drop the first N components of\n"
    "                 every name, as tar does\n"
    "  --progress     draw a progress line on standard error, if a terminal\n"
    "  --key=PUBKEY   believe no list unsigned: LIST, MANIFEST and the sums\n"
    "                 file must carry a signature by the minisign or signify\n"
    "                 public key in PUBKEY, in LIST.minisig or else LIST.sig\n"
    "  --unlisted     after the walk, report every file under ROOT that no\n"
    "                 listed path reaches (by identity: through links and\n"
    "                 hard links too), and every name no list can hold; under\n"
    "                 --mtree, every entry of the tree no entry names; each\n"
    "                 counts as a failed comparison\n"
    "  --dpkg         verify the installed packages named, or all, against\n"
    "                 dpkg's database: every path each lists, the MD5 of its\n"
    "                 files, its conffiles apart, diversions followed\n"
    "  --root=DIR     with --dpkg, the packages are installed below DIR (an\n"
    "                 image, a container's root), their database in\n"
    "                 DIR/var/lib/dpkg\n"
    "  --admindir=DIR  with --dpkg, read dpkg's database in DIR\n"
    "  --strict-conffiles  with --dpkg, a changed or missing conffile counts\n"
    "                 as a failed comparison\n"
    "  --dpkg-format  with --dpkg, print dpkg --verify's lines instead\n"
    "  --make-list    write the packing list of the tree under ROOT\n"
    "  --make-sums    write the SHA-256 of every file --make-list lists, in\n"
    "                 sha256sum's format\n"
    "  --make-mtree   write the manifest of the tree under ROOT: type, mode,\n"
    "                 size, link and sha256digest of every entry\n"
    "  --keywords=LIST  with --make-mtree, write type and the keywords of\n"
    "                 LIST (comma separated:";
// Then the keywords, from their table, and:
const char kHelpAfterKeywords[] =
    ")\n"
    "  --make-lists   write packing.lst, packing.sha256 and packing.mtree at\n"
    "                 the top of ROOT, from one walk that reads each file "
    "once\n"
    "                 (the install step of a self-verifying installation)\n"
    "  --files-from=FILE  with --make-lists, list only the paths FILE names,\n"
    "                 one a line below ROOT, and the directories on the way\n"
    "  --exclude=PATTERN  with a maker or --unlisted, leave out the paths\n"
    "                 PATTERN matches as tar's --exclude does (./var/cache,\n"
    "                 *.swp), directories not entered; repeatable\n"
    "  --exclude-from=FILE  the same, a pattern a line\n"
    "  --config=PATTERN  with --make-lists, the files PATTERN matches (as\n"
    "                 --exclude) are configuration files: packing.mtree\n"
    "                 states their type, mode and owners, not what they hold;\n"
    "                 the other lists leave them out; repeatable\n"
    "  -h, --help     print this help and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Examples:\n"
    "  korlan /opt/app /opt/app/packing.lst\n"
    "  korlan --strict /opt/app app.lst || echo 'not as shipped'\n"
    "  korlan --full-paths /usr/include include.lst\n"
    "  korlan --quiet /opt/app app.lst | head\n"
    "  korlan --tsv --strict /opt/app app.lst > failures.tsv\n"
    "  korlan --json /opt/app app.lst > failures.jsonl\n"
    "  korlan --unlisted --quiet /opt/app /opt/app/packing.lst\n"
    "  korlan --make-list /opt/app > /opt/app/packing.lst\n"
    "  korlan --make-sums /opt/app > /opt/app/packing.sha256\n"
    "  korlan --sums --progress /opt/app /opt/app/packing.lst\n"
    "  korlan --sums=SHA256SUMS /opt/app app.lst\n"
    "  korlan --mtree --unlisted /opt/app /opt/app/packing.mtree\n"
    "  korlan --make-mtree /opt/app > app.mtree\n"
    "  korlan --make-mtree --keywords=mode,uid,gid,size,time /etc > etc.mtree\n"
    "  korlan --key=app.pub --sums /opt/app /opt/app/packing.lst\n"
    "  korlan --archive --unlisted /opt/app app-2.1.tar.gz\n"
    "  korlan --key=vendor.pub --archive --strip-components=1 /opt/app \\\n"
    "         app-2.1.tar.gz\n"
    "  korlan --make-mtree --archive app_2.1_amd64.deb > app.mtree\n"
    "  korlan --dpkg --strict -q || echo 'packages changed'\n"
    "  korlan --dpkg --root=/srv/image --json openssh-server\n"
    "\n"
    "Exit status: 0 the run completed (without --strict, whatever it found);\n"
    "1 the program file could not be found; 2 with --strict, a comparison\n"
    "failed or the list names no file; 255 a bad command line, a list,\n"
    "manifest or sums file that cannot be opened, read, parsed or (under\n"
    "--key) believed, a tree that cannot be listed or hashed whole, or output\n"
    "that cannot be written.\n";

// The keywords --keywords takes, as the help lists them: wrapped at the
// help's width, indented as its text.
std::string keywordNames() {
  std::string names;
  size_t column = 39;  // after "                 LIST (comma separated:"
  for (const KeywordRow& row : kKeywordTable) {
    if (row.value == Value::kRule || row.value == Value::kNothing ||
        row.value == Value::kUnknown || row.keyword == Keyword::kType)
      continue;
    const std::string word = " " + std::string(row.name) + ",";
    if (column + word.size() > 72) {
      names += "\n                ";
      column = 16;
    }
    names += word;
    column += word.size();
  }
  names.pop_back();  // the last comma
  return names;
}

enum LongOnly {
  kStrict = 256,
  kFullPaths,
  kTsv,
  kUnlisted,
  kMakeList,
  kHelpOption,
  kVersion,
  kSums,
  kProgress,
  kMakeSums,
  kJson,
  kKey,
  kMtree,
  kMakeMtree,
  kKeywords,
  kMakeLists,
  kFilesFrom,
  kExclude,
  kExcludeFrom,
  kConfig,
  kArchive,
  kStripComponents,
  kDpkg,
  kRoot,
  kAdmindir,
  kStrictConffiles,
  kDpkgFormat,
};

const struct option kLongOptions[] = {
    {"strict", no_argument, nullptr, kStrict},
    {"full-paths", no_argument, nullptr, kFullPaths},
    {"quiet", no_argument, nullptr, 'q'},
    {"tsv", no_argument, nullptr, kTsv},
    {"unlisted", no_argument, nullptr, kUnlisted},
    {"make-list", no_argument, nullptr, kMakeList},
    {"help", no_argument, nullptr, kHelpOption},
    {"version", no_argument, nullptr, kVersion},
    {"sums", optional_argument, nullptr, kSums},
    {"progress", no_argument, nullptr, kProgress},
    {"make-sums", no_argument, nullptr, kMakeSums},
    {"json", no_argument, nullptr, kJson},
    {"key", required_argument, nullptr, kKey},
    {"mtree", no_argument, nullptr, kMtree},
    {"make-mtree", no_argument, nullptr, kMakeMtree},
    {"keywords", required_argument, nullptr, kKeywords},
    {"make-lists", no_argument, nullptr, kMakeLists},
    {"files-from", required_argument, nullptr, kFilesFrom},
    {"exclude", required_argument, nullptr, kExclude},
    {"exclude-from", required_argument, nullptr, kExcludeFrom},
    {"config", required_argument, nullptr, kConfig},
    {"archive", no_argument, nullptr, kArchive},
    {"strip-components", required_argument, nullptr, kStripComponents},
    {"dpkg", no_argument, nullptr, kDpkg},
    {"root", required_argument, nullptr, kRoot},
    {"admindir", required_argument, nullptr, kAdmindir},
    {"strict-conffiles", no_argument, nullptr, kStrictConffiles},
    {"dpkg-format", no_argument, nullptr, kDpkgFormat},
    {nullptr, 0, nullptr, 0},
};

CommandLine refuse(const std::string& problem, std::ostream& out,
                   std::ostream& err) {
  complain(err, problem);
  out << kUsageLine << std::endl;
  CommandLine line;
  line.action = CommandLine::kExit;
  line.status = kStatusError;
  return line;
}

// An unknown long option, or an abbreviation that fits several ("--make"):
// getopt_long tells the two apart only in a message of its own.
std::string unknownOption(const char* given) {
  std::string_view name(given);
  if (name.compare(0, 2, "--") == 0) {
    name = name.substr(2, name.find('=') - 2);
    std::string fits;
    int count = 0;
    for (const option& o : kLongOptions)
      if (o.name != nullptr && !name.empty() &&
          strncmp(o.name, name.data(), name.size()) == 0) {
        fits += std::string(count++ == 0 ? "" : ", ") + "--" + o.name;
      }
    if (count > 1)
      return "option --" + std::string(name) + " is ambiguous: " + fits;
  }
  return std::string("unknown option ") + given;
}

// The option that asks for a list maker.
std::string makerName(CommandLine::Action action) {
  return action == CommandLine::kMakeList    ? "--make-list"
         : action == CommandLine::kMakeSums  ? "--make-sums"
         : action == CommandLine::kMakeMtree ? "--make-mtree"
                                             : "--make-lists";
}

// Takes --archive and --strip-components as `line` gives them: --archive
// verifies ROOT against ARCHIVE, what --keywords names, or, with
// --make-mtree, writes the manifest of ARCHIVE. What is wrong, or "".
std::string takeArchive(CommandLine* line) {
  Options& o = line->options;
  const std::vector<std::string>& operands = line->operands;
  if (!o.archive) return "--strip-components goes with --archive";
  if (o.mtree || o.sums)
    return "--archive cannot be used with --mtree or --sums: an archive "
           "gives its own entries and bytes";
  if (line->action == CommandLine::kMakeMtree) {
    if (operands.size() != 1)
      return "--make-mtree --archive takes one operand, ARCHIVE";
    return operands[0].empty() ? "ARCHIVE is empty" : "";
  }
  if (line->action != CommandLine::kVerify)
    return makerName(line->action) + " takes no other option";
  if (operands.size() != 2)
    return "--archive takes two operands, ROOT and ARCHIVE";
  if (operands[0].empty()) return "ROOT is empty";
  o.keywords = line->keywords;
  return "";
}

// What is wrong with the options of a run of dpkg's database, or of
// another run given one of its own (`own`, the first given); "" for
// nothing.
std::string dpkgProblem(const CommandLine& line, const char* own) {
  const Options& o = line.options;
  if (!o.dpkg)
    return own == nullptr ? "" : std::string(own) + " goes with --dpkg";
  if (o.mtree || o.sums || o.archive)
    return std::string(o.mtree  ? "--mtree"
                       : o.sums ? "--sums"
                                : "--archive") +
           " and --dpkg cannot be used together: dpkg's database gives its "
           "own digests";
  if (!o.keyFile.empty())
    return "--key and --dpkg cannot be used together: dpkg's database "
           "carries no signature";
  if (o.unlisted)
    return "--unlisted and --dpkg cannot be used together: dpkg's database "
           "does not say what else the packages' directories may hold";
  if (o.dpkgFormat && (o.tsv || o.json))
    return std::string(o.tsv ? "--tsv" : "--json") +
           " and --dpkg-format cannot be used together";
  return "";
}

}  // namespace

CommandLine parseCommandLine(int argc, char** argv, std::ostream& out,
                             std::ostream& err) {
  CommandLine line;
  bool verifying = false;  // an option that only a verification takes
  bool keywords = false;   // --keywords, which only manifest makers take
  bool filesFrom = false;  // --files-from, which only --make-lists takes
  bool excluding = false;  // --exclude, which makers and --unlisted take
  bool config = false;     // --config, which only --make-lists takes
  bool strip = false;      // --strip-components, which only --archive takes
  const char* dpkgOwn = nullptr;  // the first option only --dpkg takes
  // "+": options end at the first operand. getopt's own messages are off:
  // they would name the program by argv[0], and the usage line must follow.
  optind = 0;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "+qh", kLongOptions, nullptr)) != -1) {
    switch (c) {
      case kStrict: line.options.strict = verifying = true; break;
      case kFullPaths: line.options.fullPaths = verifying = true; break;
      case 'q': line.options.quiet = verifying = true; break;
      case kTsv: line.options.tsv = verifying = true; break;
      case kJson: line.options.json = verifying = true; break;
      case kUnlisted: line.options.unlisted = verifying = true; break;
      case kMakeList:
      case kMakeSums:
      case kMakeMtree:
      case kMakeLists: {
        // One maker at a time: the first named refuses the other.
        const auto action = c == kMakeList    ? CommandLine::kMakeList
                            : c == kMakeSums  ? CommandLine::kMakeSums
                            : c == kMakeMtree ? CommandLine::kMakeMtree
                                              : CommandLine::kMakeLists;
        if (line.action != CommandLine::kVerify && line.action != action)
          return refuse(makerName(line.action) + " takes no other option", out,
                        err);
        line.action = action;
        break;
      }
      case kSums:
        if (optarg != nullptr && *optarg == '\0')
          return refuse("option --sums= needs a file name", out, err);
        line.options.sums = verifying = true;
        line.options.sumsFile = optarg != nullptr ? optarg : "";
        break;
      case kProgress: line.options.progress = true; break;
      case kMtree: line.options.mtree = verifying = true; break;
      case kKeywords: {
        std::string bad;
        if (!parseKeywordList(optarg, &line.keywords, &bad))
          return refuse("option --keywords: " +
                            (bad.empty() ? std::string("a keyword is empty")
                                         : "unknown keyword " + bad),
                        out, err);
        if (line.keywords & (kKwOptional | kKwNochange | kKwIgnore))
          return refuse(
              "option --keywords: optional, nochange and ignore are rules, "
              "not keywords to write",
              out, err);
        keywords = true;
        break;
      }
      case kFilesFrom:
        line.filesFrom = optarg;
        filesFrom = true;
        break;
      case kExclude:
        if (*optarg == '\0')
          return refuse("option --exclude needs a pattern", out, err);
        line.options.exclude.add(optarg);
        excluding = true;
        break;
      case kConfig:
        if (*optarg == '\0')
          return refuse("option --config needs a pattern", out, err);
        line.config.add(optarg);
        config = true;
        break;
      case kExcludeFrom: {
        // One pattern a line, blank lines passed over.
        std::ifstream patterns(optarg, std::ios::in | std::ios::binary);
        std::string pattern;
        while (patterns && std::getline(patterns, pattern))
          if (!pattern.empty()) line.options.exclude.add(pattern);
        if (!patterns.eof())
          return refuse("cannot read " + quoted(optarg), out, err);
        excluding = true;
        break;
      }
      case kArchive: line.options.archive = true; break;
      case kStripComponents: {
        const char* end = optarg + strlen(optarg);
        unsigned n = 0;
        const auto parsed = std::from_chars(optarg, end, n);
        if (*optarg < '0' || *optarg > '9' || parsed.ec != std::errc() ||
            parsed.ptr != end)
          return refuse("option --strip-components takes a whole number", out,
                        err);
        line.options.stripComponents = n;
        strip = true;
        break;
      }
      case kDpkg: line.options.dpkg = verifying = true; break;
      case kRoot:
      case kAdmindir:
        if (*optarg == '\0')
          return refuse(std::string("option --") +
                            (c == kRoot ? "root" : "admindir") +
                            " needs a directory",
                        out, err);
        (c == kRoot ? line.dpkgRoot : line.admindir) = optarg;
        if (dpkgOwn == nullptr) dpkgOwn = c == kRoot ? "--root" : "--admindir";
        verifying = true;
        break;
      case kStrictConffiles:
      case kDpkgFormat:
        (c == kDpkgFormat ? line.options.dpkgFormat
                          : line.options.strictConffiles) = verifying = true;
        if (dpkgOwn == nullptr)
          dpkgOwn = c == kDpkgFormat ? "--dpkg-format" : "--strict-conffiles";
        break;
      case kKey:
        if (*optarg == '\0')
          return refuse("option --key needs a key file", out, err);
        line.options.keyFile = optarg;
        verifying = true;
        break;
      case 'h':
      case kHelpOption:
        out << kHelp << keywordNames() << kHelpAfterKeywords << std::flush;
        line.action = CommandLine::kExit;
        return line;
      case kVersion:
        out << "korlan " KORLAN_VERSION << std::endl;
        line.action = CommandLine::kExit;
        return line;
      default:
        // getopt_long leaves in optopt the byte of an unknown short option
        // (negative past ASCII, where char is signed), the value of a long
        // one given a value it does not take, and 0 for an unknown long one.
        if (optopt != 0 && optopt < kStrict)
          return refuse(
              std::string("unknown option -") + static_cast<char>(optopt), out,
              err);
        for (const option& o : kLongOptions)
          if (o.name != nullptr && o.val == optopt)
            return refuse(
                std::string("option --") + o.name +
                    (o.has_arg == required_argument ? " needs a value"
                                                    : " takes no value"),
                out, err);
        return refuse(unknownOption(argv[optind - 1]), out, err);
    }
  }
  line.operands.assign(argv + optind, argv + argc);
  const size_t count = line.operands.size();
  if (line.options.tsv && line.options.json)
    return refuse("--tsv and --json cannot be used together", out, err);
  if (line.options.sums && line.options.mtree)
    return refuse(
        "--sums and --mtree cannot be used together: a manifest "
        "gives its own digests",
        out, err);
  if (line.options.archive || strip) {
    const std::string problem = takeArchive(&line);
    if (!problem.empty()) return refuse(problem, out, err);
  }
  if (keywords && line.action != CommandLine::kMakeMtree &&
      line.action != CommandLine::kMakeLists && !line.options.archive)
    return refuse(
        "--keywords goes with --make-mtree, --make-lists or --archive", out,
        err);
  if (filesFrom && line.action != CommandLine::kMakeLists)
    return refuse("--files-from goes with --make-lists", out, err);
  if (config && line.action != CommandLine::kMakeLists)
    return refuse("--config goes with --make-lists", out, err);
  if (excluding && line.action == CommandLine::kVerify &&
      !line.options.unlisted)
    return refuse("--exclude goes with --unlisted or a maker", out, err);
  if (line.action != CommandLine::kVerify) {
    const std::string maker = makerName(line.action);
    if (verifying) return refuse(maker + " takes no other option", out, err);
    if (count != 1) return refuse(maker + " takes one operand, ROOT", out, err);
    if (line.operands[0].empty()) return refuse("ROOT is empty", out, err);
  } else if (const std::string problem = dpkgProblem(line, dpkgOwn);
             !problem.empty()) {
    return refuse(problem, out, err);
  } else if (line.options.dpkg) {
    // The operands name packages, any number of them.
  } else if (count != 0 && count != 2) {
    // Without options a wrong count is answered by the usage line alone, as
    // it always has been.
    if (optind <= 1) {
      out << kUsageLine << std::endl;
      line.action = CommandLine::kExit;
      line.status = kStatusError;
      return line;
    }
    // "--sums FILE ROOT LIST" takes FILE for ROOT.
    const bool sumsSpaced = line.options.sums && line.options.sumsFile.empty();
    return refuse(
        std::string("expected ROOT and LIST, or no operand") +
            (sumsSpaced ? " (a sums file is given as --sums=FILE)" : ""),
        out, err);
  } else if ((line.options.unlisted || line.options.mtree) && count == 2 &&
             line.operands[0].empty()) {
    // The plain verification takes ROOT as it comes, empty too; a walk of
    // the tree on disk needs a directory to walk.
    return refuse("ROOT is empty", out, err);
  }
  return line;
}
