// unlisted.cpp: the files under ROOT that no path of the packing list
// reaches.
#include "unlisted.h"

#include <sys/stat.h>

#include <algorithm>
#include <string_view>

#include "directory.h"
#include "report.h"
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

// What both looks at the tree report, and how many.
class Reporter : public TreeVisitor {
 public:
  Reporter(const char* root, Report& report) : root_(root), report_(report) {}

  // A link that leads to no file is no file, and a list made of the tree
  // would not name it either.
  void skippedLink(std::string_view, const char*) override {}

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
                       const ReachedFiles& reached, Report& report) {
  report.startUnlisted();
  Finder finder(root, excluded, reached, report);
  walkTree(root, excluded, finder);
  return finder.count;
}

void NamedPaths::seal() {
  std::sort(paths_.begin(), paths_.end());
  paths_.erase(std::unique(paths_.begin(), paths_.end()), paths_.end());
}

bool NamedPaths::names(std::string_view path) const {
  return std::binary_search(paths_.begin(), paths_.end(), path);
}

namespace {

class UnnamedFinder : public Reporter {
 public:
  UnnamedFinder(const char* root, const NamedPaths& named,
                const std::set<std::string_view>& ignored, Report& report)
      : Reporter(root, report), named_(named), ignored_(ignored) {}

  bool node(std::string_view path, const char*, int,
            const struct stat& st) override {
    const std::string_view key = path.empty() ? "." : path;
    if (named_.names(key)) return ignored_.count(key) == 0;
    if (path.empty()) return true;  // the top is no entry under ROOT
    unlisted(path, st.st_size);
    return true;
  }
  void refused(std::string_view path, Refusal kind, const char* why,
               const struct stat* st) override {
    if (kind == Refusal::kUnreadable)
      unreadable(path, why);
    else if (!named_.names(path))
      unlisted(path, st != nullptr ? st->st_size : 0);
  }

 private:
  const NamedPaths& named_;
  const std::set<std::string_view>& ignored_;
};

}  // namespace

int64_t reportUnnamed(const char* root, const std::vector<FileId>& excluded,
                      const NamedPaths& named,
                      const std::set<std::string_view>& ignored,
                      Report& report) {
  report.startUnlisted();
  UnnamedFinder finder(root, named, ignored, report);
  walkTree(root, excluded, finder, 0, true);
  return finder.count;
}
