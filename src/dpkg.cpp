// dpkg.cpp: reading dpkg's database.
#include "dpkg.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <unordered_map>
#include <utility>

#include "fdstream.h"
#include "keywords.h"
#include "lines.h"
#include "message.h"

namespace {

// A path and its digest fit many times over; a field of `status` (a long
// Depends:, a description's line) too.
const size_t kLongestLine = 64 << 10;
const size_t kMd5Hex = 32;

// What `status` says of one package.
struct Package {
  std::string name, arch, shown;  // shown: NAME, or NAME:ARCH
  bool multiArchSame = false;
  bool installed = false;
  struct Conffile {
    std::string path;  // absolute, as the list gives it
    std::string hex;   // empty for a new conffile, no digest recorded yet
    uint32_t line;
  };
  std::vector<Conffile> conffiles;
};

struct Diversion {
  std::string to, package;  // package ":" for a local diversion
};

struct Override {
  std::string user, group;  // a name, or "#NUMBER"
  uint16_t mode;
};

bool isHex(std::string_view s) {
  return s.find_first_not_of("0123456789abcdefABCDEF") ==
         std::string_view::npos;
}

// A stat override's owner: a name, or "#" and a number for an owner
// without one.
bool isOwner(std::string_view s) {
  if (s.empty() || s[0] != '#') return !s.empty();
  uint32_t id;
  const auto [end, ec] = std::from_chars(s.data() + 1, s.data() + s.size(), id);
  return ec == std::errc() && end == s.data() + s.size() && s.size() > 1;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

// `s` is an absolute path dpkg could have written: "/" and names, none
// empty, "." or "..", no slash at the end. "/." is the top, as every list
// begins: it is "/" here.
bool cleanPath(std::string_view s, std::string* path) {
  if (s == "/." || s == "/") {
    *path = "/";
    return true;
  }
  if (s.empty() || s[0] != '/') return false;
  for (size_t from = 1; from <= s.size();) {
    const size_t slash = std::min(s.find('/', from), s.size());
    const std::string_view part = s.substr(from, slash - from);
    if (part.empty() || part == "." || part == "..") return false;
    from = slash + 1;
  }
  path->assign(s);
  return true;
}

// "field:" at the start of `line`, its name as deb822 reads it, any case.
bool isField(std::string_view line, const char* field) {
  const size_t n = strlen(field);
  return line.size() > n && line[n] == ':' &&
         strncasecmp(line.data(), field, n) == 0;
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
    s.remove_suffix(1);
  return s;
}

// The last word of `*s`, taken off it; empty when there is none.
std::string_view lastWord(std::string_view* s) {
  *s = trimmed(*s);
  const size_t space = s->find_last_of(" \t");
  const std::string_view word =
      space == std::string_view::npos ? *s : s->substr(space + 1);
  s->remove_suffix(word.size());
  *s = trimmed(*s);
  return word;
}

// The first word of `*s`, taken off it with the blanks after it.
std::string_view firstWord(std::string_view* s) {
  const size_t space = s->find_first_of(" \t");
  const std::string_view word = s->substr(0, space);
  s->remove_prefix(space == std::string_view::npos ? s->size() : space);
  while (!s->empty() && (s->front() == ' ' || s->front() == '\t'))
    s->remove_prefix(1);
  return word;
}

// One file of the database read line by line: opened as a file found by
// its name (see openList), named in messages by its path.
class DbFile {
 public:
  explicit DbFile(std::string path)
      : path_(std::move(path)),
        fd_(openList(path_.c_str(), true)),
        error_(fd_.get() < 0 ? errno : 0),
        buf_(fd_.get(), buffer_, sizeof buffer_),
        in_(&buf_),
        lines_(in_, kLongestLine, true) {}
  // 0 when open, else the errno of the open.
  int error() const { return error_; }
  const std::string& path() const { return path_; }
  // Says why it cannot be opened: "can't open PATH" as the other lists
  // say it, or that it is no regular file.
  int cannotOpen(std::ostream& err) const {
    if (error_ == EINVAL)
      complain(err, quoted(path_) + ": not a regular file");
    else
      err << "can't open " << path_ << std::endl;
    return -1;
  }
  // The next line: 1, 0 at the end, -1 after the message on `err`.
  int next(std::string_view* line, std::ostream& err) {
    bool tooLong = false;
    const int read = lines_.next(line, &tooLong);
    if (read < 0) {
      err << "can't read " << path_ << std::endl;
      return -1;
    }
    if (read > 0 && tooLong)
      return refuse(
          err, "line longer than " + std::to_string(kLongestLine) + " bytes");
    // dpkg writes none, and a path cut at one would name another file.
    if (read > 0 && line->find('\0') != std::string_view::npos)
      return refuse(err, "holds a NUL byte");
    return read;
  }
  uint32_t number() const { return lines_.number(); }
  // "korlan: PATH:LINE: what", of the last line read.
  int refuse(std::ostream& err, const std::string& what) const {
    complain(err, path_ + ':' + std::to_string(number()) + ": " + what);
    return -1;
  }

 private:
  const std::string path_;
  Descriptor fd_;
  const int error_;
  char buffer_[1 << 14];
  FdInBuf buf_;
  std::istream in_;
  LineReader lines_;
};

}  // namespace

struct DpkgSource::State {
  std::vector<std::string> named;
  std::vector<Package> packages;  // those to verify, in the order of status
  std::unordered_map<std::string, Diversion> diversions;  // by original path
  std::unordered_map<std::string, Override> overrides;    // by path on disk

  // The entries of the package being handed out, and the next one.
  struct Pending {
    std::string path;  // absolute
    Expected expected;
    uint32_t line;
  };
  std::vector<Pending> pending;
  size_t nextPending = 0;
  size_t nextPackage = 0;
  int ended = 1;  // what next() returns once it is 0 or -1
  bool started = false;

  // Where each package's entries begin, in the order given, and the
  // conffiles among them, for origin().
  std::vector<std::pair<size_t, size_t>> starts;  // first entry, package
  std::vector<size_t> conffiles;
  size_t given = 0;

  int readStatus(const std::string& admindir, std::ostream& err);
  int readDiversions(const std::string& admindir, std::ostream& err);
  int readOverrides(const std::string& admindir, std::ostream& err);
  int load(const std::string& admindir, const Package& p, std::ostream& err);
  void add(const Package& p, const std::string& path, uint32_t line,
           const std::string* md5, bool conffile);
};

DpkgSource::DpkgSource(std::string admindir, std::vector<std::string> packages)
    : admindir_(std::move(admindir)), state_(new State) {
  state_->named = std::move(packages);
}

DpkgSource::~DpkgSource() = default;

int DpkgSource::State::readStatus(const std::string& admindir,
                                  std::ostream& err) {
  DbFile file(admindir + "/status");
  if (file.error() != 0) return file.cannotOpen(err);
  std::vector<bool> found(named.size());
  Package p;
  bool inConffiles = false;
  // Ends the stanza read: keeps its package when it is one to verify.
  const auto endStanza = [&] {
    if (!p.name.empty() && p.installed) {
      p.shown = p.multiArchSame ? p.name + ':' + p.arch : p.name;
      bool wanted = named.empty();
      for (size_t i = 0; i < named.size(); ++i)
        if (named[i] == p.name || named[i] == p.name + ':' + p.arch)
          wanted = found[i] = true;
      if (wanted) packages.push_back(std::move(p));
    }
    p = Package();
    inConffiles = false;
  };
  std::string_view line;
  int read;
  while ((read = file.next(&line, err)) == 1) {
    if (line.empty()) {
      endStanza();
      continue;
    }
    if (line[0] == ' ' || line[0] == '\t') {
      if (!inConffiles) continue;  // a description's, a field's lines
      // " PATH HEX", then flags; HEX is "newconffile" until dpkg records
      // the digest of a conffile just unpacked.
      std::string_view rest = line;
      std::string_view hex = lastWord(&rest);
      // An obsolete conffile belongs to no file the package ships now; one
      // to remove on upgrade is never shipped (deb-conffiles(5)).
      bool shipped = true;
      while (hex == "obsolete" || hex == "remove-on-upgrade") {
        shipped = false;
        hex = lastWord(&rest);
      }
      std::string path;
      if (!cleanPath(rest, &path) ||
          !(hex == "newconffile" || (hex.size() == kMd5Hex && isHex(hex))))
        return file.refuse(err,
                           "expected a conffile's path and its MD5 digest");
      if (shipped)
        p.conffiles.push_back(
            {path, hex == "newconffile" ? "" : lower(hex), file.number()});
      continue;
    }
    inConffiles = false;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
      return file.refuse(err, "not a field: no NAME: before its value");
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (isField(line, "Package")) {
      p.name.assign(value);
    } else if (isField(line, "Architecture")) {
      p.arch.assign(value);
    } else if (isField(line, "Multi-Arch")) {
      p.multiArchSame = value == "same";
    } else if (isField(line, "Status")) {
      // WANT FLAG STATUS: the files are all there once unpacked and
      // configured, what triggers are left to run aside.
      std::string_view words = value;
      const std::string_view status = lastWord(&words);
      p.installed = status == "installed" || status == "triggers-awaited" ||
                    status == "triggers-pending";
    } else if (isField(line, "Conffiles")) {
      inConffiles = true;
    }
  }
  if (read < 0) return -1;
  endStanza();
  for (size_t i = 0; i < named.size(); ++i)
    if (!found[i]) {
      complain(err, "package " + quoted(named[i]) + " is not installed");
      return -1;
    }
  return 0;
}

int DpkgSource::State::readDiversions(const std::string& admindir,
                                      std::ostream& err) {
  DbFile file(admindir + "/diversions");
  if (file.error() == ENOENT) return 0;  // none made yet
  if (file.error() != 0) return file.cannotOpen(err);
  // Three lines each: the file, where it is diverted to, and the package
  // that diverts it (":" for the administrator).
  std::string_view line;
  std::string from, to;
  int read;
  for (uint32_t n = 0; (read = file.next(&line, err)) == 1; ++n) {
    if (n % 3 == 2) {
      if (line.empty())
        return file.refuse(err, "a diversion without its package");
      diversions[from] = {to, std::string(line)};
      continue;
    }
    if (!cleanPath(line, n % 3 == 0 ? &from : &to) || line == "/")
      return file.refuse(err, "not an absolute path to a file");
  }
  if (read < 0) return -1;
  if (file.number() % 3 != 0)
    return file.refuse(err, "a diversion ends before its package");
  return 0;
}

int DpkgSource::State::readOverrides(const std::string& admindir,
                                     std::ostream& err) {
  DbFile file(admindir + "/statoverride");
  if (file.error() == ENOENT) return 0;
  if (file.error() != 0) return file.cannotOpen(err);
  std::string_view line;
  int read;
  while ((read = file.next(&line, err)) == 1) {
    if (trimmed(line).empty()) continue;
    std::string_view rest = line;
    const std::string_view user = firstWord(&rest), group = firstWord(&rest),
                           mode = firstWord(&rest);
    unsigned bits = 0;
    const auto [end, ec] =
        std::from_chars(mode.data(), mode.data() + mode.size(), bits, 8);
    std::string path;
    if (!isOwner(user) || !isOwner(group) || ec != std::errc() ||
        end != mode.data() + mode.size() || bits > 07777 ||
        !cleanPath(rest, &path))
      return file.refuse(err, "expected USER GROUP MODE PATH");
    overrides[path] = {std::string(user), std::string(group),
                       static_cast<uint16_t>(bits)};
  }
  return read < 0 ? -1 : 0;
}

// Adds the entry of `path` (absolute, as the package ships it) to the
// pending ones: diverted where another package's diversion puts it, a
// regular file of `md5` when given, with the owners and mode of its stat
// override.
void DpkgSource::State::add(const Package& p, const std::string& path,
                            uint32_t line, const std::string* md5,
                            bool conffile) {
  Pending e{path, Expected(), line};
  const auto diverted = diversions.find(path);
  if (diverted != diversions.end() && diverted->second.package != p.name)
    e.path = diverted->second.to;
  Expected& x = e.expected;
  if (md5 != nullptr) {
    x.keywords = kKwType;
    x.type = EntryType::kFile;
    if (!md5->empty()) {
      x.keywords |= kKwMd5;
      x.detail.reset(new Detail);
      x.detail->digests.push_back({DigestAlgorithm::kMd5, *md5});
    }
  }
  const auto over = overrides.find(e.path);
  if (over != overrides.end()) {
    const Override& o = over->second;
    if (x.detail == nullptr) x.detail.reset(new Detail);
    x.keywords |= kKwMode;
    x.mode = o.mode;
    // "#NUMBER" for an owner with no name.
    if (o.user[0] == '#') {
      x.keywords |= kKwUid;
      x.detail->uid =
          static_cast<uint32_t>(strtoul(o.user.c_str() + 1, nullptr, 10));
    } else {
      x.keywords |= kKwUname;
      x.detail->uname = o.user;
    }
    if (o.group[0] == '#') {
      x.keywords |= kKwGid;
      x.detail->gid =
          static_cast<uint32_t>(strtoul(o.group.c_str() + 1, nullptr, 10));
    } else {
      x.keywords |= kKwGname;
      x.detail->gname = o.group;
    }
  }
  if (conffile) conffiles.push_back(given + pending.size());
  pending.push_back(std::move(e));
}

int DpkgSource::State::load(const std::string& admindir, const Package& p,
                            std::ostream& err) {
  pending.clear();
  nextPending = 0;
  // The files' names: NAME.*, NAME:ARCH.* for a package of several
  // architectures at once; the other where the one is not there.
  const std::string info = admindir + "/info/";
  const std::string qualified = p.name + ':' + p.arch;
  std::string base = info + (p.multiArchSame ? qualified : p.name);
  auto list = std::make_unique<DbFile>(base + ".list");
  if (list->error() == ENOENT) {
    auto other = std::make_unique<DbFile>(
        info + (p.multiArchSame ? p.name : qualified) + ".list");
    if (other->error() != ENOENT) {
      base = info + (p.multiArchSame ? p.name : qualified);
      list = std::move(other);
    }
  }
  if (list->error() != 0 && list->error() != ENOENT)
    return list->cannotOpen(err);

  // The digests, by path; each marked once its list names it.
  struct Digest {
    std::string path, hex;
    uint32_t line;
    bool listed;
  };
  std::vector<Digest> digests;
  std::unordered_map<std::string_view, size_t> byPath;
  DbFile md5sums(base + ".md5sums");
  if (md5sums.error() == ENOENT) {
    complain(err, p.shown +
                      " has no md5sums: its files are checked for their "
                      "presence only" +
                      (p.conffiles.empty() ? "" : ", its conffiles by digest"));
  } else if (md5sums.error() != 0) {
    return md5sums.cannotOpen(err);
  } else {
    std::string_view line;
    int read;
    while ((read = md5sums.next(&line, err)) == 1) {
      // "HEX  PATH" as md5sum(1) writes it ("HEX *PATH" in binary mode),
      // PATH below /.
      std::string path;
      std::string_view name = line.size() > kMd5Hex + 2
                                  ? line.substr(kMd5Hex + 2)
                                  : std::string_view();
      if (name.compare(0, 2, "./") == 0) name.remove_prefix(2);
      if (!name.empty() && name[0] == '/') name.remove_prefix(1);
      if (name.empty() || !isHex(line.substr(0, kMd5Hex)) ||
          line[kMd5Hex] != ' ' ||
          (line[kMd5Hex + 1] != ' ' && line[kMd5Hex + 1] != '*') ||
          !cleanPath("/" + std::string(name), &path) || path == "/")
        return md5sums.refuse(
            err, "expected an MD5 digest, two spaces and a path below /");
      digests.push_back(
          {path, lower(line.substr(0, kMd5Hex)), md5sums.number(), false});
    }
    if (read < 0) return -1;
    // Paths found once the vector holds them all: their bytes stay put.
    for (size_t i = 0; i < digests.size(); ++i)
      byPath.emplace(digests[i].path, i);
  }
  std::unordered_map<std::string_view, size_t> conffileAt;
  std::vector<bool> conffileListed(p.conffiles.size());
  for (size_t i = 0; i < p.conffiles.size(); ++i)
    conffileAt.emplace(p.conffiles[i].path, i);

  if (list->error() == ENOENT) {
    complain(err, p.shown +
                      " has no list of its files: only those with a "
                      "digest are checked");
  } else {
    std::string_view line;
    std::string path;
    int read;
    while ((read = list->next(&line, err)) == 1) {
      if (!cleanPath(line, &path))
        return list->refuse(err, "not an absolute path");
      // A conffile's digest is its Conffiles: line's, whether or not the
      // md5sums repeat it.
      const auto c = conffileAt.find(path);
      if (c != conffileAt.end()) {
        conffileListed[c->second] = true;
        add(p, path, list->number(), &p.conffiles[c->second].hex, true);
        continue;
      }
      const auto d = byPath.find(path);
      if (d != byPath.end()) digests[d->second].listed = true;
      add(p, path, list->number(),
          d != byPath.end() ? &digests[d->second].hex : nullptr, false);
    }
    if (read < 0) return -1;
  }
  // What a digest or Conffiles: names that the list does not.
  for (const Digest& d : digests)
    if (!d.listed && conffileAt.count(d.path) == 0)
      add(p, d.path, d.line, &d.hex, false);
  for (size_t i = 0; i < p.conffiles.size(); ++i)
    if (!conffileListed[i])
      add(p, p.conffiles[i].path, p.conffiles[i].line, &p.conffiles[i].hex,
          true);
  return 0;
}

int DpkgSource::next(std::string* path, Expected* expected, uint32_t* line,
                     std::ostream& err) {
  State& s = *state_;
  if (s.ended <= 0) return s.ended;
  if (!s.started) {
    s.started = true;
    if (s.readStatus(admindir_, err) < 0 ||
        s.readDiversions(admindir_, err) < 0 ||
        s.readOverrides(admindir_, err) < 0)
      return s.ended = -1;
  }
  while (s.nextPending == s.pending.size()) {
    if (s.nextPackage == s.packages.size()) {
      s.pending.clear();
      return s.ended = 0;
    }
    const size_t p = s.nextPackage++;
    s.starts.push_back({s.given, p});
    if (s.load(admindir_, s.packages[p], err) < 0) return s.ended = -1;
  }
  State::Pending& e = s.pending[s.nextPending++];
  // Below the top, as every source names its entries.
  if (e.path == "/")
    path->assign(".");
  else
    path->assign(e.path, 1, std::string::npos);
  *expected = std::move(e.expected);
  *line = e.line;
  ++s.given;
  return 1;
}

EntrySource::Origin DpkgSource::origin(size_t index) const {
  const State& s = *state_;
  const auto after =
      std::upper_bound(s.starts.begin(), s.starts.end(), index,
                       [](size_t i, const std::pair<size_t, size_t>& start) {
                         return i < start.first;
                       });
  if (after == s.starts.begin()) return {};
  Origin o;
  o.group = s.packages[std::prev(after)->second].shown;
  o.conffile =
      std::binary_search(s.conffiles.begin(), s.conffiles.end(), index);
  return o;
}
