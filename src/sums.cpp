// sums.cpp: reading a sha256sum file.
#include "sums.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "directory.h"
#include "lines.h"
#include "message.h"
#include "status.h"

namespace {

// The tagged forms: sha256sum --tag's, and OpenSSL's (dgst, 1.1 and 3).
const struct {
  const char* start;
  const char* end;
} kTags[] = {{"SHA256 (", ") = "}, {"SHA256(", ")= "}, {"SHA2-256(", ")= "}};
const size_t kHex = 2 * Sha256::kSize;

// Undoes sha256sum's escapes in a name: "\\" and "\n" (and "\r", which
// newer sha256sum escapes too). False on any other backslash.
bool unescape(std::string_view text, std::string* path) {
  path->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      *path += text[i];
      continue;
    }
    const char next = ++i < text.size() ? text[i] : '\0';
    if (next == '\\')
      *path += '\\';
    else if (next == 'n')
      *path += '\n';
    else if (next == 'r')
      *path += '\r';
    else
      return false;
  }
  return true;
}

}  // namespace

std::string_view foldPath(std::string_view path, std::string* scratch) {
  // Most paths have nothing to fold, and are looked up as they are.
  const bool plain = path.find("//") == std::string_view::npos &&
                     path.find("/./") == std::string_view::npos &&
                     path.compare(0, 2, "./") != 0 && path != "." &&
                     (path.size() < 2 || path.substr(path.size() - 2) != "/.");
  if (plain) return path;
  scratch->clear();
  while (!path.empty()) {
    const size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty() && part != ".") {
      if (!scratch->empty()) *scratch += '/';
      *scratch += part;
    }
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return *scratch;
}

std::string sumsEscape(std::string_view path) {
  std::string s;
  for (const char c : path) {
    if (c == '\\')
      s += "\\\\";
    else if (c == '\n')
      s += "\\n";
    else if (c == '\r')
      s += "\\r";
    else
      s += c;
  }
  return s;
}

void writeSumsLine(std::ostream& out, const Sha256& digest,
                   std::string_view path) {
  const std::string name = sumsEscape(path);
  if (name.size() != path.size()) out << '\\';
  out << digest.hex() << "  ./" << name << '\n';
}

const char* Sums::parse(std::string_view line, std::string* path,
                        Sha256* digest) {
  if (line.empty()) return "blank line";
  if (line.find('\0') != std::string_view::npos) return "holds a NUL byte";
  const bool escaped = line[0] == '\\';
  if (escaped) line.remove_prefix(1);
  std::string_view name;
  const auto* tag =
      std::find_if(std::begin(kTags), std::end(kTags), [line](const auto& t) {
        return line.compare(0, strlen(t.start), t.start) == 0;
      });
  if (tag != std::end(kTags)) {
    // The name may hold the tag's end itself: the digest is the fixed-size
    // tail.
    const size_t start = strlen(tag->start), tail = strlen(tag->end) + kHex;
    if (line.size() < start + tail ||
        line.compare(line.size() - tail, strlen(tag->end), tag->end) != 0)
      return "line cut short, or a digest that is not SHA-256";
    if (!Sha256::fromHex(line.substr(line.size() - kHex), digest))
      return "digest is not 64 hex digits";
    name = line.substr(start, line.size() - tail - start);
  } else {
    const size_t space = line.find(' ');
    if (space == std::string_view::npos) return "line cut short";
    if (!Sha256::fromHex(line.substr(0, space), digest))
      return "not a SHA-256 digest of 64 hex digits";
    // After the digest and a space, a second space or "*" marks the mode
    // (text or binary); without it the name follows the one space.
    if (line.size() < space + 2) return "line cut short";
    const bool marked = line[space + 1] == ' ' || line[space + 1] == '*';
    name = line.substr(space + (marked ? 2 : 1));
  }
  if (name.empty()) return "no file name";
  if (!escaped) {
    path->assign(name);
    return nullptr;
  }
  return unescape(name, path) ? nullptr : "unknown escape in the file name";
}

int Sums::read(std::istream& in, const char* name, std::ostream& err) {
  paths_.clear();
  entries_.clear();
  LineReader lines(in, kLongestLine);
  std::string_view line;
  std::string path, folded;
  bool tooLong = false;
  int got;
  while ((got = lines.next(&line, &tooLong)) == 1) {
    const uint32_t number = lines.number();
    // A comment too long to read whole would leave the rest of the file
    // unread: refused, as any line too long.
    if (!tooLong && !line.empty() && line[0] == '#') continue;
    Sha256 digest;
    const char* wrong = line.find('\0') != std::string_view::npos
                            ? "holds a NUL byte"
                        : tooLong ? "line too long"
                                  : parse(line, &path, &digest);
    // A digest is checked at ROOT/PATH: never outside ROOT, nor at a path
    // that names another place than it says.
    if (wrong == nullptr && leavesTop(path)) wrong = "path leaves the top";
    if (wrong == nullptr && path[0] == '/')
      wrong = "absolute path: a sums file names paths below ROOT";
    // Lines are counted in 32 bits: no real file comes near.
    if (number == UINT32_MAX) wrong = "too many lines";
    if (wrong != nullptr) {
      complain(err,
               std::string(name) + ':' + std::to_string(number) + ": " + wrong);
      return kStatusError;
    }
    const std::string_view key = foldPath(path, &folded);
    entries_.push_back(
        {paths_.size(), static_cast<uint32_t>(key.size()), 0, number, digest});
    paths_ += key;
  }
  if (got < 0) {
    err << "can't read " << name << std::endl;
    return kStatusError;
  }
  return index(name, err) ? kStatusOk : kStatusError;
}

bool Sums::index(const char* name, std::ostream& err) {
  // By path, then by line: the order a stable sort gives, without the
  // buffer of half the entries that one takes.
  std::sort(entries_.begin(), entries_.end(),
            [this](const Entry& a, const Entry& b) {
              const int order = pathOf(a).compare(pathOf(b));
              return order != 0 ? order < 0 : a.line < b.line;
            });
  // Of all the conflicts, the one met first when reading the file is named.
  // The entry kept for a path is its first line.
  uint32_t conflict = 0, first = 0;
  std::string_view conflictPath;
  size_t kept = 0;
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Entry e = entries_[i];
    if (kept > 0 && pathOf(entries_[kept - 1]) == pathOf(e)) {
      const Entry& earlier = entries_[kept - 1];
      if (earlier.digest != e.digest && (conflict == 0 || e.line < conflict)) {
        conflict = e.line;
        first = earlier.line;
        conflictPath = pathOf(e);
      }
      continue;
    }
    entries_[kept++] = e;
  }
  if (conflict != 0) {
    complain(err, std::string(name) + ':' + std::to_string(conflict) +
                      ": another digest for " + sumsEscape(conflictPath) +
                      " than on line " + std::to_string(first));
    return false;
  }
  entries_.resize(kept);
  return true;
}

const Sha256* Sums::find(std::string_view path) {
  auto it = std::lower_bound(
      entries_.begin(), entries_.end(), path,
      [this](const Entry& e, std::string_view p) { return pathOf(e) < p; });
  if (it == entries_.end() || pathOf(*it) != path) return nullptr;
  it->named = true;
  return &it->digest;
}

std::vector<Sums::Unnamed> Sums::unnamed() const {
  std::vector<const Entry*> left;
  for (const Entry& e : entries_)
    if (!e.named) left.push_back(&e);
  std::sort(left.begin(), left.end(),
            [](const Entry* a, const Entry* b) { return a->line < b->line; });
  std::vector<Unnamed> result;
  result.reserve(left.size());
  for (const Entry* e : left) result.push_back({pathOf(*e), &e->digest});
  return result;
}
