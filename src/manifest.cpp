// manifest.cpp: reading and writing mtree(5) manifests.
#include "manifest.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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

#include "attributes.h"
#include "message.h"

namespace {

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

// Whether `s` holds `a` or `b`. find_first_of asks memchr of its set for
// every byte: a tenth of the instructions --mtree spent reading a manifest
// of short names.
bool holdsEither(std::string_view s, char a, char b) {
  for (const char c : s)
    if (c == a || c == b) return true;
  return false;
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
  if (!holdsEither(text, '\\', '#')) {
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

// Sets the digest of `d`'s algorithm in `e`, replacing one said before.
void setDigest(ManifestEntry* e, StatedDigest d) {
  auto same = std::find_if(
      e->digests.begin(), e->digests.end(),
      [&](const StatedDigest& o) { return o.algorithm == d.algorithm; });
  if (same != e->digests.end())
    *same = std::move(d);
  else
    e->digests.push_back(std::move(d));
}

// The CRC of cksum(1), in decimal, within 32 bits.
bool parseCksum(std::string_view s, ManifestEntry* e) {
  uint32_t crc;
  if (!parseNumber(s, &crc)) return false;
  setDigest(e, {DigestAlgorithm::kCksum, std::to_string(crc)});
  return true;
}

bool parseDigest(std::string_view s, const KeywordRow& row, ManifestEntry* e) {
  if (s.size() != row.hexLength ||
      s.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
    return false;
  StatedDigest d{row.algorithm, std::string(s)};
  for (char& c : d.hex)
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  setDigest(e, std::move(d));
  return true;
}

// Forgets what `e` says under keyword `row`, as /unset does, or as a later
// value of it replaces.
void forget(const KeywordRow& row, ManifestEntry* e) {
  e->keywords &= ~keywordBit(row.keyword);
  if (keywordBit(row.keyword) & kKwContents)
    e->digests.erase(std::remove_if(e->digests.begin(), e->digests.end(),
                                    [&row](const StatedDigest& d) {
                                      return d.algorithm == row.algorithm;
                                    }),
                     e->digests.end());
  if (row.keyword == Keyword::kXattr) e->xattrs.clear();
  const std::string prefix = std::string(row.name) + "=";
  e->unchecked.erase(
      std::remove_if(e->unchecked.begin(), e->unchecked.end(),
                     [&](const Unchecked& u) {
                       return u.keyword.compare(0, prefix.size(), prefix) ==
                                  0 ||
                              (row.keyword == Keyword::kFlags &&
                               u.keyword.compare(0, 6, "flags=") == 0);
                     }),
      e->unchecked.end());
}

// File flags by BSD's names (strtofflags(3)), as mtree writes them: those
// Linux has (the immutable and append-only flags, by the system's and the
// user's names alike; nodump) become its inode flags; the others are
// named in `*others`. False on a name that is no flag.
bool parseFlags(std::string_view s, uint32_t* flags, std::string* others) {
  static const struct {
    const char* name;
    uint32_t flag;  // 0: none on Linux
  } kFlags[] = {
      {"schg", kImmutableFlag},
      {"schange", kImmutableFlag},
      {"simmutable", kImmutableFlag},
      {"uchg", kImmutableFlag},
      {"uchange", kImmutableFlag},
      {"uimmutable", kImmutableFlag},
      {"sappnd", kAppendFlag},
      {"sappend", kAppendFlag},
      {"uappnd", kAppendFlag},
      {"uappend", kAppendFlag},
      {"nodump", kNodumpFlag},
      {"arch", 0},
      {"archived", 0},
      {"opaque", 0},
      {"snapshot", 0},
      {"sunlnk", 0},
      {"sunlink", 0},
      {"uunlnk", 0},
      {"uunlink", 0},
      {"hidden", 0},
      {"uhidden", 0},
      {"offline", 0},
      {"uoffline", 0},
      {"sparse", 0},
      {"usparse", 0},
      {"system", 0},
      {"usystem", 0},
      {"reparse", 0},
      {"ureparse", 0},
      {"rdonly", 0},
      {"urdonly", 0},
      {"readonly", 0},
      {"uarch", 0},
      {"uarchive", 0},
  };
  *flags = 0;
  others->clear();
  if (s == "none") return true;
  for (size_t from = 0; from <= s.size();) {
    const size_t comma = std::min(s.find(',', from), s.size());
    const std::string_view name = s.substr(from, comma - from);
    from = comma + 1;
    const auto* f =
        std::find_if(std::begin(kFlags), std::end(kFlags),
                     [name](const auto& f) { return name == f.name; });
    if (f == std::end(kFlags)) return false;
    if (f->flag != 0)
      *flags |= f->flag;
    else
      (others->empty() ? * others : * others += ',') += f->name;
  }
  return true;
}

// A device number: FORMAT,MAJOR,MINOR as mtree writes it (the format
// "native" or "linux" is this system's), or the number itself.
bool parseDevice(std::string_view s, uint64_t* device, bool* native) {
  const size_t comma = s.find(',');
  if (comma == std::string_view::npos) {
    *native = true;
    return parseNumber(s, device);
  }
  const std::string_view format = s.substr(0, comma),
                         rest = s.substr(comma + 1);
  const size_t second = rest.find(',');
  uint32_t major = 0, minor = 0;
  if (second == std::string_view::npos ||
      !parseNumber(rest.substr(0, second), &major) ||
      !parseNumber(rest.substr(second + 1), &minor))
    return false;
  *native = format == "native" || format == "linux";
  *device = makedev(major, minor);
  return true;
}

// An extended attribute's value, base64 as go-mtree writes it, through
// libcrypto's decoder.
bool parseXattr(std::string_view name, std::string_view value,
                ManifestEntry* e) {
  std::string bytes(value.size() / 4 * 3 + 3, '\0');
  if (value.size() % 4 != 0) return false;
  const int n =
      EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                      reinterpret_cast<const unsigned char*>(value.data()),
                      static_cast<int>(value.size()));
  if (n < 0 || name.empty()) return false;
  // The decoder counts the padding's bytes as zeros.
  const size_t padding = value.size() - value.find_last_not_of('=') - 1;
  if (padding > 2 || value.find('=') < value.size() - padding) return false;
  bytes.resize(n - padding);
  std::string decoded;
  if (!decodeText(name, &decoded)) return false;
  auto same =
      std::find_if(e->xattrs.begin(), e->xattrs.end(),
                   [&](const StatedXattr& x) { return x.name == decoded; });
  if (same != e->xattrs.end())
    same->value = std::move(bytes);
  else
    e->xattrs.push_back({std::move(decoded), std::move(bytes)});
  return true;
}

// Applies one "keyword=value", or a rule without a value, to `e`. Returns
// what is wrong, or "".
std::string apply(std::string_view word, ManifestEntry* e) {
  const size_t eq = word.find('=');
  const std::string_view key = word.substr(0, eq);
  const KeywordRow* row = findKeyword(key);
  if (row == nullptr) return "unknown keyword " + shown(key);
  if (row->value == Value::kRule) {
    if (eq != std::string_view::npos)
      return "keyword " + shown(key) + " takes no value";
    e->keywords |= keywordBit(row->keyword);
    return "";
  }
  if (eq == std::string_view::npos)
    return "keyword " + shown(key) + " needs a value";
  const std::string_view value = word.substr(eq + 1);
  const Keyword k = row->keyword;
  bool ok = true;
  std::string others;
  switch (row->value) {
    case Value::kType:
      if (!parseType(value, &e->type)) return "unknown type " + shown(value);
      break;
    case Value::kMode: ok = parseMode(value, &e->mode); break;
    case Value::kNumber:
      ok = k == Keyword::kUid     ? parseNumber(value, &e->uid)
           : k == Keyword::kGid   ? parseNumber(value, &e->gid)
           : k == Keyword::kSize  ? parseNumber(value, &e->size)
           : k == Keyword::kNlink ? parseNumber(value, &e->nlink)
                                  : parseCksum(value, e);
      break;
    case Value::kName:
      ok = decodeText(value, k == Keyword::kUname   ? &e->uname
                             : k == Keyword::kGname ? &e->gname
                                                    : &e->link);
      break;
    case Value::kTime:
      ok = parseTime(value, &e->seconds, &e->nanoseconds);
      break;
    case Value::kDigest: ok = parseDigest(value, *row, e); break;
    case Value::kFlags:
      forget(*row, e);
      ok = parseFlags(value, &e->flags, &others);
      if (ok && !others.empty())
        e->unchecked.push_back({"flags=" + others, "no such flag on Linux"});
      break;
    case Value::kXattr:
      // xattr=none: the xattr.NAME keywords are all the entry has.
      if (key == row->name) {
        ok = value == "none";
        if (ok) e->xattrs.clear();
      } else {
        ok = parseXattr(key.substr(6), value, e);
      }
      break;
    case Value::kDevice: {
      bool native = true;
      ok = parseDevice(value, &e->device, &native);
      if (ok && !native) {
        e->unchecked.push_back({"device=" + std::string(value),
                                "the number of a device of another system"});
        return "";
      }
      break;
    }
    case Value::kNothing: return "";
    case Value::kUnknown:
      forget(*row, e);
      e->unchecked.push_back({std::string(row->name) + "=" + std::string(value),
                              "no check here compares it"});
      break;
    case Value::kRule: break;
  }
  if (!ok) return "bad " + shown(key) + " " + shown(value);
  e->keywords |= keywordBit(k);
  return "";
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
  if (n == 0 || line[n - 1] != '\\') return false;
  for (size_t i = 0; i < n; ++i)
    if (line[i] == '#' && (i == 0 || isBlank(line[i - 1]))) return false;
  // The last word's escapes, from its start: a backslash that begins no
  // escape ends the line ("uname=\\" as libarchive reads it); one that an
  // escape ends ("a\\\\", "\\M-\\") is a part of the name.
  size_t i = n;
  while (i > 0 && !isBlank(line[i - 1])) --i;
  while (i < n) {
    if (line[i] != '\\') {
      ++i;
    } else if (i == n - 1) {
      return true;
    } else {
      const std::string_view rest = line.substr(i + 1);
      i += rest.compare(0, 2, "M-") == 0 ? 4 : rest[0] == '^' ? 3 : 2;
    }
  }
  return false;
}

std::string_view parentOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return path == "." || slash == std::string_view::npos ? ""
                                                        : path.substr(0, slash);
}

}  // namespace

bool parseKeywordList(std::string_view list, uint32_t* keywords,
                      std::string* bad) {
  uint32_t bits = 0;
  for (;;) {
    const size_t comma = list.find(',');
    const std::string_view name = list.substr(0, comma);
    const KeywordRow* row =
        name.find('.') == std::string_view::npos ? findKeyword(name) : nullptr;
    if (row == nullptr || row->value == Value::kNothing ||
        row->value == Value::kUnknown) {
      bad->assign(name);
      return false;
    }
    bits |= keywordBit(row->keyword);
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
      // NetBSD's mtree -D writes the keywords first and the path last.
      if (words_.size() > 1 && words_[0].find('=') != std::string_view::npos &&
          words_.back().find('=') == std::string_view::npos)
        std::rotate(words_.begin(), words_.end() - 1, words_.end());
      wrong = words_[0][0] == '/' ? command(words_)
                                  : parseEntry(words_, entry, &isEntry);
      if (wrong.empty()) {
        if (isEntry) return 1;
        continue;
      }
    }
    complain(err, name_ + ':' + std::to_string(start_) + ": " + wrong);
    // A first line "SIZE ./PATH" is a packing list's.
    if (start_ == 1 && words_.size() >= 2 &&
        words_[0].find_first_not_of("0123456789") == std::string_view::npos &&
        words_[1].compare(0, 2, "./") == 0)
      complain(err,
               name_ + ":1: a packing list, which is read without --mtree?");
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
      const KeywordRow* row = findKeyword(words[i]);
      if (row == nullptr) return "unknown keyword " + shown(words[i]);
      forget(*row, &defaults_);
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
          holdsEither(part, '/', '\0'))
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
    : name_(std::move(name)), reader_(in, name_) {}

int ManifestSource::next(std::string* path, Expected* expected, uint32_t* line,
                         std::ostream& err) {
  const int read = reader_.next(&entry_, err);
  if (read != 1) return read;
  ManifestEntry& e = entry_;
  *line = e.line;
  path->swap(e.path);
  expected->keywords = e.keywords;
  expected->type = e.type;
  expected->mode = static_cast<uint16_t>(e.mode);
  expected->size = e.size;
  expected->detail.reset();
  // "flags=none xattr=none", which every entry of a baseline may state, is
  // what an entry without its detail states.
  const uint32_t stated = e.keywords & kDetailed &
                          ~(e.flags == 0 ? kKwFlags : 0) &
                          ~(e.xattrs.empty() ? kKwXattr : 0);
  if (stated != 0 || !e.unchecked.empty())
    expected->detail.reset(new Detail(std::move(static_cast<Detail&>(e))));
  return 1;
}

const char kManifestHeader[] = "#mtree\n";

namespace {

void appendBase64(std::string* line, std::string_view bytes) {
  const size_t at = line->size();
  line->resize(at + 4 * ((bytes.size() + 2) / 3) + 1);
  const int n =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&(*line)[at]),
                      reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int>(bytes.size()));
  line->resize(at + n);
}

}  // namespace

void writeManifestLine(std::ostream& out, const ManifestEntry& e,
                       uint32_t keywords) {
  const uint32_t has = e.keywords & (keywords | kKwType);
  std::string line;
  line.reserve(128 + e.path.size());
  if (e.path == ".") {
    line += '.';
  } else {
    line += "./";
    appendEncoded(&line, e.path);
  }
  for (const KeywordRow& row : kKeywordTable) {
    if (!(has & keywordBit(row.keyword))) continue;
    const auto key = [&line, &row] { ((line += ' ') += row.name) += '='; };
    switch (row.keyword) {
      case Keyword::kType: key(), line += typeName(e.type); break;
      case Keyword::kMode:
        key(), line += '0', appendNumber(&line, e.mode, 8);
        break;
      case Keyword::kUid: key(), appendNumber(&line, e.uid); break;
      case Keyword::kGid: key(), appendNumber(&line, e.gid); break;
      case Keyword::kUname: key(), appendEncoded(&line, e.uname); break;
      case Keyword::kGname: key(), appendEncoded(&line, e.gname); break;
      case Keyword::kSize: key(), appendNumber(&line, e.size); break;
      case Keyword::kLink: key(), appendEncoded(&line, e.link); break;
      case Keyword::kTime: {
        key(), appendNumber(&line, e.seconds);
        char nanoseconds[16];
        snprintf(nanoseconds, sizeof nanoseconds, ".%09u", e.nanoseconds);
        line += nanoseconds;
        break;
      }
      case Keyword::kNlink: key(), appendNumber(&line, e.nlink); break;
      case Keyword::kFlags: key(), line += flagsText(e.flags); break;
      case Keyword::kXattr:
        if (e.xattrs.empty()) line += " xattr=none";
        for (const StatedXattr& x : e.xattrs) {
          line += " xattr.";
          appendEncoded(&line, x.name);
          line += '=';
          appendBase64(&line, x.value);
        }
        break;
      case Keyword::kDevice:
        key(), line += "native,", appendNumber(&line, major(e.device)),
            line += ',', appendNumber(&line, minor(e.device));
        break;
      default:
        if (row.value == Value::kRule) {
          (line += ' ') += row.name;
        } else if (keywordBit(row.keyword) & kKwContents) {
          for (const StatedDigest& d : e.digests)
            if (d.algorithm == row.algorithm) key(), line += d.hex;
        }
    }
  }
  line += '\n';
  out << line;
}
