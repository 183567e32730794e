// manifest.cpp: reading and writing mtree(5) manifests.
#include "manifest.h"

#include <sys/stat.h>

// Korlan calls neither strnvis nor strnunvis, whose two incompatible
// versions <bsd/vis.h> otherwise warns about.
#define LIBBSD_NETBSD_VIS
#include <bsd/unistd.h>
#include <bsd/vis.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "message.h"

namespace {

// How a keyword's value is read.
enum class Kind : uint8_t {
  kType,
  kMode,
  kUid,
  kGid,
  kUname,
  kGname,
  kSize,
  kLink,
  kTime,
  kNlink,
  kDigest,     // hex of the algorithm's length
  kRule,       // no value
  kFlags,      // "none" says nothing; any other value is not checked
  kUnchecked,  // any value, not checked
  kDropped,    // steers tools, says nothing about the file
};

struct Keyword {
  const char* name;
  Kind kind;
  uint32_t bit;           // its ManifestKeyword, or 0
  const char* unchecked;  // the name ManifestEntry::unchecked gives it
};

// Every keyword of the format that mtree(5) and mtree(8) document, bsdtar's
// "content" too; the first name of a bit is the one written.
const Keyword kKeywords[] = {
    {"type", Kind::kType, kKwType, nullptr},
    {"mode", Kind::kMode, kKwMode, nullptr},
    {"uid", Kind::kUid, kKwUid, nullptr},
    {"gid", Kind::kGid, kKwGid, nullptr},
    {"uname", Kind::kUname, kKwUname, nullptr},
    {"gname", Kind::kGname, kKwGname, nullptr},
    {"size", Kind::kSize, kKwSize, nullptr},
    {"link", Kind::kLink, kKwLink, nullptr},
    {"time", Kind::kTime, kKwTime, nullptr},
    {"nlink", Kind::kNlink, kKwNlink, nullptr},
    {"sha256digest", Kind::kDigest, kKwSha256, nullptr},
    {"sha256", Kind::kDigest, kKwSha256, nullptr},
    {"sha512digest", Kind::kDigest, kKwSha512, nullptr},
    {"sha512", Kind::kDigest, kKwSha512, nullptr},
    {"sha384digest", Kind::kDigest, kKwSha384, nullptr},
    {"sha384", Kind::kDigest, kKwSha384, nullptr},
    {"sha1digest", Kind::kDigest, kKwSha1, nullptr},
    {"sha1", Kind::kDigest, kKwSha1, nullptr},
    {"md5digest", Kind::kDigest, kKwMd5, nullptr},
    {"md5", Kind::kDigest, kKwMd5, nullptr},
    {"optional", Kind::kRule, kKwOptional, nullptr},
    {"nochange", Kind::kRule, kKwNochange, nullptr},
    {"ignore", Kind::kRule, kKwIgnore, nullptr},
    {"flags", Kind::kFlags, 0, "flags"},
    {"cksum", Kind::kUnchecked, 0, "cksum"},
    {"rmd160digest", Kind::kUnchecked, 0, "rmd160digest"},
    {"rmd160", Kind::kUnchecked, 0, "rmd160digest"},
    {"ripemd160digest", Kind::kUnchecked, 0, "rmd160digest"},
    {"device", Kind::kUnchecked, 0, "device"},
    {"resdevice", Kind::kUnchecked, 0, "resdevice"},
    {"inode", Kind::kUnchecked, 0, "inode"},
    // The file whose contents this one should have, on the machine that
    // made the manifest: not checked, and never taken for a match.
    {"contents", Kind::kUnchecked, 0, "contents"},
    {"content", Kind::kUnchecked, 0, "contents"},
    // Selects entries for mtree -E and -I.
    {"tags", Kind::kDropped, 0, nullptr},
};

const Keyword* findKeyword(std::string_view name) {
  for (const Keyword& k : kKeywords)
    if (name == k.name) return &k;
  return nullptr;
}

struct DigestKind {
  uint32_t bit;
  DigestAlgorithm algorithm;
  size_t hexLength;
};

const DigestKind kDigests[] = {
    {kKwMd5, DigestAlgorithm::kMd5, 32},
    {kKwSha1, DigestAlgorithm::kSha1, 40},
    {kKwSha256, DigestAlgorithm::kSha256, 64},
    {kKwSha384, DigestAlgorithm::kSha384, 96},
    {kKwSha512, DigestAlgorithm::kSha512, 128},
};

}  // namespace

unsigned algorithmsOf(uint32_t keywords) {
  unsigned algorithms = 0;
  for (const DigestKind& d : kDigests)
    if (keywords & d.bit) algorithms |= algorithmBit(d.algorithm);
  return algorithms;
}

namespace {

const DigestKind& digestKind(uint32_t bit) {
  return *std::find_if(std::begin(kDigests), std::end(kDigests),
                       [bit](const DigestKind& d) { return d.bit == bit; });
}

const DigestKind& digestKind(DigestAlgorithm a) {
  return *std::find_if(std::begin(kDigests), std::end(kDigests),
                       [a](const DigestKind& d) { return d.algorithm == a; });
}

const char kAmbiguous[] = "relative name after a full path is ambiguous";

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// `s` as a message shows it: as in the manifest, backslashes too, but bytes
// that are not printable in octal, so that the message stays one line.
std::string shown(std::string_view s) {
  std::string out(4 * s.size() + 1, '\0');
  out.resize(strsvisx(out.data(), s.data(), s.size(),
                      VIS_OCTAL | VIS_NOSLASH | VIS_NOLOCALE, ""));
  return out;
}

// Appends `s` vis-encoded as bsdtar writes names: octal, white space, '#',
// '=' and '\' included, every byte past ASCII too whatever the locale.
void appendEncoded(std::string* out, std::string_view s) {
  // Most names are printable ASCII without a character to escape: they are
  // written as they stand, as vis would write them.
  const bool plain = std::all_of(s.begin(), s.end(), [](char c) {
    return c > ' ' && c < 0x7f && c != '#' && c != '=' && c != '\\';
  });
  if (plain) {
    out->append(s);
    return;
  }
  const size_t at = out->size();
  out->resize(at + 4 * s.size() + 1);
  out->resize(at + strsvisx(&(*out)[at], s.data(), s.size(),
                            VIS_OCTAL | VIS_WHITE | VIS_NOLOCALE, " \t\n#=\\"));
}

// Appends `value` in `base`, without the locale or a format string.
template <class Number>
void appendNumber(std::string* out, Number value, int base = 10) {
  char text[24];
  const auto end = std::to_chars(text, text + sizeof text, value, base).ptr;
  out->append(text, end - text);
}

// Decodes `text` as vis(3) encodes it, in any of its styles, through
// libbsd's unvis() one byte at a time: strunvis() takes a trailing "\" or
// an unfinished "\M-" for nothing. "\$" stands for no byte, as NetBSD's
// mtree and go-mtree read it ("test\$\$ing" is "testing"). False on a bad
// or unfinished escape, and on a '#' that is not escaped, which mtree -f
// takes for the start of a comment and bsdtar for a part of the name.
// State 0 is unvis()'s ground state, between escapes.
bool decode(std::string_view text, std::string* out) {
  // Most names hold nothing encoded.
  if (text.find_first_of("\\#") == std::string_view::npos) {
    out->assign(text);
    return true;
  }
  out->clear();
  int state = 0;
  char c;
  for (size_t i = 0; i < text.size();) {
    const unsigned char byte = text[i];
    if (state == 0 && byte == '#') return false;
    switch (unvis(&c, byte, &state, 0)) {
      case 0: ++i; break;
      case UNVIS_NOCHAR: ++i; break;
      case UNVIS_VALID:
        *out += c;
        ++i;
        break;
      case UNVIS_VALIDPUSH: *out += c; break;  // `byte` begins the next one
      default: return false;
    }
  }
  if (state == 0) return true;
  if (unvis(&c, '\0', &state, UNVIS_END) != UNVIS_VALID) return false;
  *out += c;
  return true;
}

// Decodes a name, link target, user or group name: not empty, no NUL.
bool decodeText(std::string_view text, std::string* out) {
  return decode(text, out) && !out->empty() &&
         out->find('\0') == std::string::npos;
}

// Digits only, in `base`, no sign, within T.
template <typename T>
bool parseNumber(std::string_view s, T* value, int base = 10) {
  if (s.empty() || s[0] == '-') return false;
  const auto [end, ec] =
      std::from_chars(s.data(), s.data() + s.size(), *value, base);
  return ec == std::errc() && end == s.data() + s.size();
}

// SECONDS or SECONDS.NANOSECONDS. Both tools write the digits after the dot
// as the nanoseconds' integer, without leading zeros (`mtree -c` and bsdtar
// write 5 ns as "1000.5") and both read them so: "1000.500000000" is half a
// second. Seconds may be negative, as struct timespec holds a time before
// 1970: "-5.300000000" is 4.7 s before it.
bool parseTime(std::string_view s, int64_t* seconds, uint32_t* nanoseconds) {
  const size_t dot = s.find('.');
  const bool before = !s.empty() && s[0] == '-';
  if (!parseNumber(s.substr(before, dot - before), seconds)) return false;
  if (before) *seconds = -*seconds;
  *nanoseconds = 0;
  return dot == std::string_view::npos ||
         (parseNumber(s.substr(dot + 1), nanoseconds) &&
          *nanoseconds < 1000000000);
}

// Octal, or symbolic as chmod(1) takes it, through libbsd's setmode(),
// applied to no bits at all, as mtree -f does ("u+rw" is 0600). setmode()
// changes the process's umask for a moment, so octal modes (all that the
// tools write) do without it.
bool parseMode(std::string_view s, uint32_t* mode) {
  if (!s.empty() && s.find_first_not_of("01234567") == std::string_view::npos)
    return parseNumber(s, mode, 8) && *mode <= 07777;
  void* set = setmode(std::string(s).c_str());
  if (set == nullptr) return false;
  *mode = getmode(set, 0) & 07777;
  free(set);
  return true;
}

bool parseType(std::string_view s, EntryType* type) {
  for (uint8_t i = 0; i < kEntryTypes; ++i)
    if (s == typeName(static_cast<EntryType>(i))) {
      *type = static_cast<EntryType>(i);
      return true;
    }
  return false;
}

bool parseDigest(std::string_view s, uint32_t bit, ManifestEntry* e) {
  const DigestKind& kind = digestKind(bit);
  if (s.size() != kind.hexLength ||
      s.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
    return false;
  ManifestEntry::Digest d{kind.algorithm, std::string(s)};
  for (char& c : d.hex)
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  auto same =
      std::find_if(e->digests.begin(), e->digests.end(),
                   [&](const auto& o) { return o.algorithm == d.algorithm; });
  if (same != e->digests.end())
    *same = std::move(d);
  else
    e->digests.push_back(std::move(d));
  return true;
}

void markUnchecked(ManifestEntry* e, const char* name, bool present) {
  auto it = std::find(e->unchecked.begin(), e->unchecked.end(), name);
  if (present && it == e->unchecked.end()) e->unchecked.push_back(name);
  if (!present && it != e->unchecked.end()) e->unchecked.erase(it);
}

// Applies one "keyword=value", or a rule without a value, to `e`. Returns
// what is wrong, or "".
std::string apply(std::string_view word, ManifestEntry* e) {
  const size_t eq = word.find('=');
  const std::string_view key = word.substr(0, eq);
  const Keyword* k = findKeyword(key);
  if (k == nullptr) return "unknown keyword " + shown(key);
  if (k->kind == Kind::kRule) {
    if (eq != std::string_view::npos)
      return "keyword " + shown(key) + " takes no value";
    e->keywords |= k->bit;
    return "";
  }
  if (eq == std::string_view::npos)
    return "keyword " + shown(key) + " needs a value";
  const std::string_view value = word.substr(eq + 1);
  bool ok = true;
  switch (k->kind) {
    case Kind::kType:
      if (!parseType(value, &e->type)) return "unknown type " + shown(value);
      break;
    case Kind::kMode: ok = parseMode(value, &e->mode); break;
    case Kind::kUid: ok = parseNumber(value, &e->uid); break;
    case Kind::kGid: ok = parseNumber(value, &e->gid); break;
    case Kind::kUname: ok = decodeText(value, &e->uname); break;
    case Kind::kGname: ok = decodeText(value, &e->gname); break;
    case Kind::kSize: ok = parseNumber(value, &e->size); break;
    case Kind::kLink: ok = decodeText(value, &e->link); break;
    case Kind::kTime:
      ok = parseTime(value, &e->seconds, &e->nanoseconds);
      break;
    case Kind::kNlink: ok = parseNumber(value, &e->nlink); break;
    case Kind::kDigest: ok = parseDigest(value, k->bit, e); break;
    case Kind::kFlags: markUnchecked(e, k->unchecked, value != "none"); break;
    case Kind::kUnchecked: markUnchecked(e, k->unchecked, true); break;
    case Kind::kRule:
    case Kind::kDropped: break;
  }
  if (!ok) return "bad " + shown(key) + " " + shown(value);
  e->keywords |= k->bit;
  return "";
}

// Takes keyword `k` back from `e`, as /unset does.
void unset(const Keyword& k, ManifestEntry* e) {
  e->keywords &= ~k.bit;
  if (k.kind == Kind::kDigest) {
    const DigestAlgorithm a = digestKind(k.bit).algorithm;
    e->digests.erase(
        std::remove_if(e->digests.begin(), e->digests.end(),
                       [a](const auto& d) { return d.algorithm == a; }),
        e->digests.end());
  }
  if (k.unchecked != nullptr) markUnchecked(e, k.unchecked, false);
}

// Splits `line` into its words, up to a word that begins a comment.
void splitWords(std::string_view line, std::vector<std::string_view>* words) {
  words->clear();
  size_t i = 0;
  for (;;) {
    while (i < line.size() && isBlank(line[i])) ++i;
    if (i == line.size() || line[i] == '#') return;
    const size_t start = i;
    while (i < line.size() && !isBlank(line[i])) ++i;
    words->push_back(line.substr(start, i - start));
  }
}

// Whether `line` goes on on the next line: it ends in a lone "\", outside a
// comment. A backslash that ends a word ("a\\", "\M-\") is a part of it.
bool continues(std::string_view line) {
  const size_t n = line.size();
  if (n == 0 || line[n - 1] != '\\' || (n > 1 && !isBlank(line[n - 2])))
    return false;
  for (size_t i = 0; i < n; ++i)
    if (line[i] == '#' && (i == 0 || isBlank(line[i - 1]))) return false;
  return true;
}

std::string_view parentOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return path == "." || slash == std::string_view::npos ? ""
                                                        : path.substr(0, slash);
}

}  // namespace

const char* keywordName(ManifestKeyword k) {
  for (const Keyword& kw : kKeywords)
    if (kw.bit == k && k != 0) return kw.name;
  return nullptr;
}

bool parseKeywordList(std::string_view list, uint32_t* keywords,
                      std::string* bad) {
  uint32_t bits = 0;
  for (;;) {
    const size_t comma = list.find(',');
    const std::string_view name = list.substr(0, comma);
    const Keyword* k = findKeyword(name);
    if (k == nullptr || k->bit == 0) {
      bad->assign(name);
      return false;
    }
    bits |= k->bit;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  *keywords = bits;
  return true;
}

ManifestReader::ManifestReader(std::istream& in, std::string name)
    : lines_(in, kLongestLine), name_(std::move(name)) {}

int ManifestReader::readLine(std::string* wrong) {
  line_.clear();
  start_ = lines_.number() + 1;
  for (;;) {
    std::string_view text;
    bool tooLong = false;
    const int got = lines_.next(&text, &tooLong);
    if (got < 0) return -2;
    if (got == 0) {
      if (start_ == lines_.number() + 1) return 0;
      *wrong = "continued line at the end of the file";
      return -1;
    }
    if (lines_.number() == UINT32_MAX) {
      *wrong = "too many lines";
      return -1;
    }
    if (tooLong || line_.size() + text.size() > kLongestLine) {
      *wrong = "line too long";
      return -1;
    }
    if (text.find('\0') != std::string_view::npos) {
      *wrong = "holds a NUL byte";
      return -1;
    }
    if (!continues(text)) {
      line_ += text;
      return 1;
    }
    line_ += text.substr(0, text.size() - 1);
  }
}

int ManifestReader::next(ManifestEntry* entry, std::ostream& err) {
  while (state_ > 0) {
    std::string wrong;
    const int got = readLine(&wrong);
    if (got == 0) {
      state_ = 0;
      break;
    }
    if (got == -2) {
      err << "can't read " << name_ << std::endl;
      state_ = -1;
      break;
    }
    if (got == 1) {
      splitWords(line_, &words_);
      if (words_.empty()) continue;
      bool isEntry = false;
      wrong = words_[0][0] == '/' ? command(words_)
                                  : parseEntry(words_, entry, &isEntry);
      if (wrong.empty()) {
        if (isEntry) return 1;
        continue;
      }
    }
    complain(err, name_ + ':' + std::to_string(start_) + ": " + wrong);
    state_ = -1;
  }
  return state_;
}

std::string ManifestReader::command(
    const std::vector<std::string_view>& words) {
  const bool set = words[0] == "/set";
  if (!set && words[0] != "/unset") return "unknown command " + shown(words[0]);
  for (size_t i = 1; i < words.size(); ++i) {
    if (set) {
      std::string wrong = apply(words[i], &defaults_);
      if (!wrong.empty()) return wrong;
    } else if (words[i] == "all") {
      defaults_ = ManifestEntry();
    } else {
      const Keyword* k = findKeyword(words[i]);
      if (k == nullptr) return "unknown keyword " + shown(words[i]);
      unset(*k, &defaults_);
    }
  }
  return "";
}

namespace {

// The first "/" of an encoded name at or after `from` that separates names:
// the one of "\M-/" (the byte 0xaf, which UTF-8 uses often) is part of a
// name.
size_t findSeparator(std::string_view name, size_t from) {
  for (size_t i = from; i < name.size();) {
    if (name[i] == '/') return i;
    if (name[i] != '\\')
      ++i;
    else
      i += name.compare(i, 3, "\\M-") == 0 ? 4 : 2;
  }
  return std::string_view::npos;
}

}  // namespace

std::string ManifestReader::parseEntry(
    const std::vector<std::string_view>& words, ManifestEntry* entry,
    bool* isEntry) {
  const std::string_view name = words[0];
  const bool full = findSeparator(name, 0) != std::string_view::npos;
  std::string path, part;
  if (full) {
    // Each component decoded on its own: an encoded "/" ("\057") is a
    // byte of a name, which no name can hold.
    for (size_t from = 0; from <= name.size();) {
      const size_t slash = std::min(findSeparator(name, from), name.size());
      if (!decode(name.substr(from, slash - from), &part) ||
          part.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
        return "bad name " + shown(name);
      from = slash + 1;
      if (part.empty() || part == ".") continue;
      if (part == "..") return "path leaves the top";
      if (!path.empty()) path += '/';
      path += part;
    }
    if (path.empty()) path = ".";
  } else {
    // "." and ".." move only as they stand: escaped, they would be names,
    // which no file can have.
    if (!decodeText(name, &part) || part.find('/') != std::string::npos ||
        ((part == "." || part == "..") && part != name))
      return "bad name " + shown(name);
    if (part == "..") {
      if (words.size() > 1) return ".. takes no keywords";
      if (ambiguous_) return kAmbiguous;
      // One ".." at the top closes the top, as mtree -c ends what it
      // writes; a second would leave it.
      if (closed_) return "path leaves the top";
      if (cwd_.empty()) closed_ = true;
      cwd_ = std::string(parentOf(cwd_));
      return "";
    }
    if (closed_) return "entry after the top's closing ..";
    // "." is the top wherever it stands, for mtree -f as for bsdtar.
    if (part == ".")
      path = ".";
    else if (ambiguous_)
      return kAmbiguous;
    else
      path = cwd_.empty() ? part : cwd_ + "/" + part;
  }
  // No path the system could look up is as long: and in the hierarchical
  // form a line of two bytes below a deep directory makes one, so that a
  // manifest of a few hundred kilobytes would hold gigabytes of paths.
  if (path.size() >= PATH_MAX) return kPathTooLong;
  *entry = defaults_;
  entry->path = std::move(path);
  entry->line = start_;
  for (size_t i = 1; i < words.size(); ++i) {
    std::string wrong = apply(words[i], entry);
    if (!wrong.empty()) return wrong;
  }
  const bool dir =
      (entry->keywords & kKwType) && entry->type == EntryType::kDir;
  if (full) {
    // mtree -f moves into a full path's directory, or the one it is in.
    const std::string_view theirs = !dir                 ? parentOf(entry->path)
                                    : entry->path == "." ? std::string_view()
                                                         : entry->path;
    ambiguous_ = theirs != cwd_;
  } else if (dir && entry->path != ".") {
    cwd_ = entry->path;
  }
  *isEntry = true;
  return "";
}

ManifestSource::ManifestSource(std::istream& in, std::string name)
    : reader_(in, name), name_(std::move(name)) {}

int ManifestSource::next(std::string* path, Expected* expected,
                         std::ostream& err) {
  const int read = reader_.next(&entry_, err);
  if (read != 1) return read;
  for (const std::string& keyword : entry_.unchecked)
    if (noted_.insert(keyword).second)
      complain(err, name_ + ": keyword " + keyword + " is not checked");
  ManifestEntry& e = entry_;
  path->swap(e.path);
  expected->keywords = e.keywords;
  expected->type = e.type;
  expected->mode = static_cast<uint16_t>(e.mode);
  expected->size = e.size;
  expected->detail.reset();
  if (e.keywords & kDetailed)
    expected->detail.reset(new Detail{
        e.uid, e.gid, e.nanoseconds, e.seconds, e.nlink, std::move(e.uname),
        std::move(e.gname), std::move(e.link), std::move(e.digests)});
  return 1;
}

const char kManifestHeader[] = "#mtree\n";

void writeManifestLine(std::ostream& out, const ManifestEntry& e,
                       uint32_t keywords) {
  const uint32_t has = e.keywords & keywords;
  std::string line;
  line.reserve(128 + e.path.size());
  if (e.path == ".") {
    line += '.';
  } else {
    line += "./";
    appendEncoded(&line, e.path);
  }
  if (e.keywords & kKwType) (line += " type=") += typeName(e.type);
  if (has & kKwMode) {
    line += " mode=0";
    appendNumber(&line, e.mode, 8);
  }
  const auto number = [&line](const char* keyword, auto value) {
    line += keyword;
    appendNumber(&line, value);
  };
  const auto text = [&line](const char* keyword, std::string_view value) {
    line += keyword;
    appendEncoded(&line, value);
  };
  if (has & kKwUid) number(" uid=", e.uid);
  if (has & kKwGid) number(" gid=", e.gid);
  if (has & kKwUname) text(" uname=", e.uname);
  if (has & kKwGname) text(" gname=", e.gname);
  if (has & kKwSize) number(" size=", e.size);
  if (has & kKwLink) text(" link=", e.link);
  if (has & kKwTime) {
    number(" time=", e.seconds);
    char nanoseconds[16];
    snprintf(nanoseconds, sizeof nanoseconds, ".%09u", e.nanoseconds);
    line += nanoseconds;
  }
  if (has & kKwNlink) number(" nlink=", e.nlink);
  for (const ManifestEntry::Digest& d : e.digests) {
    const DigestKind& kind = digestKind(d.algorithm);
    if (has & kind.bit)
      ((line += ' ') += keywordName(static_cast<ManifestKeyword>(kind.bit)))
          .append("=")
          .append(d.hex);
  }
  for (const ManifestKeyword rule : {kKwOptional, kKwNochange, kKwIgnore})
    if (has & rule) (line += ' ') += keywordName(rule);
  line += '\n';
  out << line;
}
