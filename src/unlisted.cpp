// unlisted.cpp: the files under ROOT that no path of the packing list
// reaches.
#include "unlisted.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

#include "directory.h"
#include "fdstream.h"
#include "manifest.h"
#include "packlist.h"
#include "report.h"
#include "signature.h"
#include "status.h"
#include "sums.h"
#include "treewalk.h"

ReachedFiles::ReachedFiles(std::vector<std::deque<FileId>> parts)
    : parts_(std::move(parts)) {
  for (std::deque<FileId>& part : parts_) std::sort(part.begin(), part.end());
}

bool ReachedFiles::contains(const FileId& id) const {
  // A worker probes files a batch at a time, and the tree is looked at in
  // much the order the list was read: the part that held the last file
  // most likely holds the next.
  auto holds = [&id](const std::deque<FileId>& part) {
    return std::binary_search(part.begin(), part.end(), id);
  };
  if (lastHit_ < parts_.size() && holds(parts_[lastHit_])) return true;
  for (size_t i = 0; i < parts_.size(); ++i) {
    if (i != lastHit_ && holds(parts_[i])) {
      lastHit_ = i;
      return true;
    }
  }
  return false;
}

std::string besideFile(const std::string& path, const char* name) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? name : path.substr(0, slash + 1) + name;
}

namespace {

// Whether the file `name` in the directory `dirFd`, at one of the names
// Korlan keeps at the top, is what its name says: a regular file that the
// reader of its kind takes whole, a packing list, a sums file, a manifest
// or a signature. Anything planted there (a program, a FIFO) is not.
bool isWhatItsNameSays(int dirFd, const char* name) {
  const Descriptor fd(openat(
      dirFd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0) return false;
  bool is = false;
  if (fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
      fcntl(fd.get(), F_SETFL, O_RDONLY) == 0) {
    char buffer[1 << 12];
    FdInBuf buf(fd.get(), buffer, sizeof buffer);
    std::istream in(&buf);
    std::ostream nowhere(nullptr);
    const std::string_view n(name);
    const auto endsWith = [&n](std::string_view end) {
      return n.size() > end.size() && n.substr(n.size() - end.size()) == end;
    };
    if (endsWith(".minisig") || endsWith(".sig")) {
      std::string text(kLargestSignatureFile + 1, '\0');
      in.read(text.data(), text.size());
      text.resize(in.gcount());
      DetachedSignature signature;
      std::string why;
      is = text.size() <= kLargestSignatureFile &&
           parseSignature(text, &signature, &why);
    } else if (n == kPackingSums) {
      Sums sums;
      is = sums.read(in, name, nowhere) == kStatusOk;
    } else if (n == kPackingManifest) {
      ManifestReader reader(in, name);
      ManifestEntry entry;
      int read;
      while ((read = reader.next(&entry, nowhere)) == 1) continue;
      is = read == 0;
    } else {
      Directory top(".");
      Options options;
      options.quiet = true;
      Report report(nowhere, options);
      struct Nothing : ListReceiver {
        void recorded(File*) override {}
      } nothing;
      is = readList(&top, in, name, report, nothing, nowhere) == kStatusOk;
    }
  }
  return is;
}

// What both looks at the tree report, and how many.
class Reporter : public TreeVisitor {
 public:
  Reporter(const char* root, Report& report) : root_(root), report_(report) {}

  // A link that leads to no file is no file, and a list made of the tree
  // would not name it either.
  void skippedLink(std::string_view, const char*) override {}

  // A kept name hides nothing that is not kept: only what its name says.
  bool kept(const char* name, int dirFd) override {
    return isKeptFile(name) && isWhatItsNameSays(dirFd, name);
  }

  int64_t count = 0;

 protected:
  void unlisted(std::string_view path, int64_t size) {
    ++count;
    report_.difference({DiffKind::kUnlisted, belowRoot(root_, path), "",
                        std::to_string(size), ""});
  }
  void unreadable(std::string_view path, const char* why) {
    ++count;
    report_.difference(
        {DiffKind::kUnreadable, belowRoot(root_, path), "", "", why});
  }

 private:
  const std::string root_;
  Report& report_;
};

class Finder : public Reporter {
 public:
  Finder(const char* root, const std::vector<FileId>& excluded,
         const ReachedFiles& reached, Report& report)
      : Reporter(root, report), excluded_(excluded), reached_(reached) {}

  void file(const FoundFile& f) override {
    if (!reached_.contains({f.st->st_dev, f.st->st_ino}))
      unlisted(f.path, f.st->st_size);
  }
  void refused(std::string_view path, Refusal kind, const char* why,
               const struct stat* st) override {
    switch (kind) {
      case Refusal::kName:
        // No list can name it, so nothing the list names is it; but the
        // files the run reads are left out under any name.
        if (st == nullptr || !isExcluded(excluded_, *st))
          unlisted(path, st != nullptr ? st->st_size : 0);
        break;
      case Refusal::kPathTooLong:
        if (!reached_.contains({st->st_dev, st->st_ino}))
          unlisted(path, st->st_size);
        break;
      case Refusal::kUnreadable: unreadable(path, why); break;
    }
  }

 private:
  const std::vector<FileId>& excluded_;
  const ReachedFiles& reached_;
};

}  // namespace

int64_t reportUnlisted(const char* root, const std::vector<FileId>& excluded,
                       const ReachedFiles& reached, Report& report,
                       const PathPatterns* exclude) {
  report.startUnlisted();
  Finder finder(root, excluded, reached, report);
  walkTree(root, excluded, finder, 0, false, exclude);
  return finder.count;
}

void NamedEntries::add(const Directory* dir, const char* name, bool ignore) {
  keys_.push_back({dir, name});
  if (ignore) ignored_.push_back({dir, name});
}

bool NamedEntries::before(const Key& a, const Key& b) {
  return a.dir != b.dir ? std::less<const Directory*>()(a.dir, b.dir)
                        : strcmp(a.name, b.name) < 0;
}

void NamedEntries::sortUnique(std::vector<Key>* keys) {
  std::sort(keys->begin(), keys->end(), before);
  keys->erase(std::unique(keys->begin(), keys->end(),
                          [](const Key& a, const Key& b) {
                            return !before(a, b) && !before(b, a);
                          }),
              keys->end());
}

void NamedEntries::seal() {
  sortUnique(&keys_);
  sortUnique(&ignored_);
}

bool NamedEntries::holds(const std::vector<Key>& keys, const Key& key) const {
  return std::binary_search(keys.begin(), keys.end(), key, before);
}

bool NamedEntries::names(std::string_view path, bool* ignore) const {
  *ignore = false;
  const size_t slash = path.rfind('/');
  const std::string_view parent =
      slash == std::string_view::npos ? "" : path.substr(0, slash);
  const std::string name(path.empty() ? std::string_view(".")
                                      : path.substr(slash + 1));
  if (lastDir_ == nullptr || parent != lastParent_) {
    const Directory* d = top_;
    for (size_t from = 0; d != nullptr && from < parent.size();) {
      const size_t end = std::min(parent.find('/', from), parent.size());
      d = d->find(parent.substr(from, end - from));
      from = end + 1;
    }
    lastParent_.assign(parent);
    lastDir_ = d;
  }
  if (lastDir_ == nullptr) return false;
  const Key key{lastDir_, name.c_str()};
  if (!holds(keys_, key)) return false;
  *ignore = !ignored_.empty() && holds(ignored_, key);
  return true;
}

namespace {

class UnnamedFinder : public Reporter {
 public:
  UnnamedFinder(const char* root, const NamedEntries& named, Report& report)
      : Reporter(root, report), named_(named) {}

  bool node(std::string_view path, const char*, int,
            const struct stat& st) override {
    bool ignore = false;
    if (named_.names(path, &ignore)) return !ignore;
    if (path.empty()) return true;  // the top is no entry under ROOT
    unlisted(path, st.st_size);
    return true;
  }
  void refused(std::string_view path, Refusal kind, const char* why,
               const struct stat* st) override {
    bool ignore = false;
    if (kind == Refusal::kUnreadable)
      unreadable(path, why);
    else if (!named_.names(path, &ignore))
      unlisted(path, st != nullptr ? st->st_size : 0);
  }

 private:
  const NamedEntries& named_;
};

}  // namespace

int64_t reportUnnamed(const char* root, const std::vector<FileId>& excluded,
                      const NamedEntries& named, Report& report,
                      const PathPatterns* exclude) {
  report.startUnlisted();
  UnnamedFinder finder(root, named, report);
  walkTree(root, excluded, finder, 0, true, exclude);
  return finder.count;
}
