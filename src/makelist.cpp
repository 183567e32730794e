// makelist.cpp: the packing list of a tree on disk.
#include "makelist.h"

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "status.h"
#include "treewalk.h"

namespace {

// Writes `s` between double quotes, with the bytes a terminal would not show
// as themselves escaped C-style: a name may hold a line end or a tab, and
// one message must stay one line that names the path unambiguously.
void writeQuoted(std::ostream& os, std::string_view s) {
  os << '"';
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': os << "\\\""; break;
      case '\\': os << "\\\\"; break;
      case '\t': os << "\\t"; break;
      case '\n': os << "\\n"; break;
      case '\v': os << "\\v"; break;
      case '\f': os << "\\f"; break;
      case '\r': os << "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          const char octal[] = {'\\', static_cast<char>('0' + (c >> 6)),
                                static_cast<char>('0' + ((c >> 3) & 7)),
                                static_cast<char>('0' + (c & 7))};
          os.write(octal, sizeof octal);
        } else {
          os << ch;
        }
    }
  }
  os << '"';
}

class Lister : public TreeVisitor {
 public:
  Lister(const char* root, std::ostream& out, std::ostream& err)
      : root_(root), out_(out), err_(err) {}

  void file(const FoundFile& f) override {
    out_ << f.st->st_size << " ./" << f.path << '\n';
  }
  void refused(std::string_view path, Refusal, const char* why,
               const struct stat*) override {
    report("cannot list", path, why);
    status = kStatusError;
  }
  void skippedLink(std::string_view path, const char* why) override {
    report("skipped link", path, why);
  }

  int status = kStatusOk;

 private:
  // Reports on err: "korlan: WHAT "PATH": WHY", the path named as the user
  // would reach it, below the root as given.
  void report(const char* what, std::string_view path, const char* why) {
    std::string shown = root_;
    if (!path.empty() && (shown.empty() || shown.back() != '/')) shown += '/';
    shown += path;
    err_ << "korlan: " << what << ' ';
    writeQuoted(err_, shown);
    err_ << ": " << why << std::endl;
  }

  const std::string root_;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace

int makeList(const char* root, std::ostream& out, std::ostream& err) {
  // The list itself, under another name or through a link, changes size as
  // it is written.
  std::vector<FileId> excluded;
  struct stat list;
  const std::string listPath = std::string(root) + "/packing.lst";
  if (stat(listPath.c_str(), &list) == 0 && S_ISREG(list.st_mode))
    excluded.push_back({list.st_dev, list.st_ino});
  Lister lister(root, out, err);
  walkTree(root, excluded, lister);
  return lister.status;
}
