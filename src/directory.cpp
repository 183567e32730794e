// directory.cpp: the packing-list tree, the walk, the file probe and the
// verification run.
#include "directory.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "FindYourself.h"
#include "makelist.h"
#include "token.h"

int64_t CountFiles = 0;
int64_t CountErrors = 0;

File::File(const char* fileName, int64_t size)
    : name(shortName), size(size), dir(nullptr), next(nullptr) {
  const size_t length = strlen(fileName);
  if (length >= sizeof shortName) name = static_cast<char*>(malloc(length + 1));
  memcpy(name, fileName, length + 1);
}

File::~File() {
  if (name != shortName) free(name);
}

namespace {

// The path of a directory that lies at `relPath` below the root; the top
// node's relPath is empty, so the top adds no component of its own.
std::string directoryPath(const Directory* root, const char* relPath,
                          char sep) {
  std::string path = root->name;
  if (*relPath != '\0') {
    path += sep;
    path += relPath;
  }
  return path;
}

}  // namespace

std::string File::getExpectedFilename(const Directory* root,
                                      const char* relPath, char sep) const {
  std::string path = directoryPath(root, relPath, sep);
  path += sep;
  return path += name;
}

Directory::Directory(const char* name)
    : subDir(nullptr), peerDir(nullptr), files(nullptr), name(strdup(name)) {}

Directory::~Directory() {
  for (File* f = files; f != nullptr;) {
    File* next = f->next;
    delete f;
    f = next;
  }
  // The sub-directories are detached before they are deleted, so each of
  // their destructors finds no children and nothing recurses.
  std::vector<Directory*> doomed;
  for (Directory* c = subDir; c != nullptr; c = c->peerDir) doomed.push_back(c);
  while (!doomed.empty()) {
    Directory* d = doomed.back();
    doomed.pop_back();
    for (Directory* c = d->subDir; c != nullptr; c = c->peerDir)
      doomed.push_back(c);
    d->subDir = nullptr;
    delete d;
  }
  delete index;
  free(name);
}

Directory* Directory::find(std::string_view childName) const {
  // Packing lists are usually grouped by directory, so the sub-directory
  // named last is the likeliest one.
  if (lastSubDir != nullptr && childName == lastSubDir->name) return lastSubDir;
  if (index != nullptr) {
    auto it = index->find(childName);
    return it == index->end() ? nullptr : it->second;
  }
  for (Directory* c = subDir; c != nullptr; c = c->peerDir)
    if (childName == c->name) return c;
  return nullptr;
}

Directory* Directory::add(Directory* d) {
  if (Directory* existing = find(d->name)) {
    delete d;
    return existing;
  }
  return link(d);
}

Directory* Directory::link(Directory* d) {
  if (lastSubDir == nullptr)
    subDir = d;
  else
    lastSubDir->peerDir = d;
  lastSubDir = d;
  ++subDirCount;

  // Below this many sub-directories a scan of the list is as fast as a hash.
  const size_t kIndexFrom = 16;
  if (index != nullptr) {
    index->emplace(d->name, d);
  } else if (subDirCount == kIndexFrom) {
    index = new std::unordered_map<std::string_view, Directory*>;
    for (Directory* c = subDir; c != nullptr; c = c->peerDir)
      index->emplace(c->name, c);
  }
  return d;
}

void Directory::add(File* f) {
  f->dir = this;
  if (lastFile == nullptr)
    files = f;
  else
    lastFile->next = f;
  lastFile = f;
}

int Directory::insert(Token* token, std::istream& in, int64_t size) {
  // A loop, not recursion: the depth of a path is the list's to choose.
  Directory* d = this;
  while (token->isDir() == 0) {
    Directory* s = d->find(token->getName());
    d = s != nullptr ? s : d->link(new Directory(token->getName()));
    token->read(in);
  }
  // An entry cut short by the end of the list must not become a file named
  // "EOF"; nor may a token the reader could not take whole name a file.
  if (token->isEOF() == 0 || token->isTooLong() == 0) return -1;
  d->add(new File(token->getName(), size));
  return 0;
}

HostFile::HostFile(const char* path) : path(path), size(0), status(-1) {
  struct stat st;
  if (stat(path, &st) == 0) {
    size = st.st_size;
    status = 0;
  }
}

void Directory::iterate(const Directory* root, const char* relPath, char sep,
                        std::ostream& out) {
  // One path buffer for the whole walk: extended by a component on the way
  // down, cut back on the way up. The walk keeps its own stack, one frame per
  // level, each holding the next sub-directory to visit at that level and the
  // length of the path of the directory that holds it.
  std::string path = directoryPath(root, relPath, sep);

  auto compareFiles = [&](const Directory* d) {
    const size_t dirLength = path.size();
    for (const File* f = d->files; f != nullptr; f = f->next) {
      ++CountFiles;
      path += sep;
      path += f->name;
      if (CountFiles % 10 == 0) out << '.' << std::flush;
      HostFile probe(path.c_str());
      if (probe.status != 0) {
        ++CountErrors;
        out << std::endl << "File Not Found: " << path << std::endl;
      } else if (probe.size != f->size) {
        ++CountErrors;
        out << std::endl
            << f->name << ":\texpected size of " << f->size << "; actual "
            << probe.size << std::endl;
      }
      path.resize(dirLength);
    }
  };

  struct Frame {
    const Directory* next;
    size_t length;
  };
  std::vector<Frame> stack;
  compareFiles(this);
  stack.push_back({subDir, path.size()});
  while (!stack.empty()) {
    Frame& top = stack.back();
    const Directory* d = top.next;
    if (d == nullptr) {
      stack.pop_back();
      continue;
    }
    top.next = d->peerDir;
    path.resize(top.length);
    path += sep;
    path += d->name;
    compareFiles(d);
    stack.push_back({d->subDir, path.size()});
  }
}

bool parseSize(const char* digits, int64_t* size) {
  int64_t value = 0;
  for (const char* p = digits; *p != '\0'; ++p) {
    const int digit = *p - '0';
    if (value > (INT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *size = value;
  return true;
}

namespace {

const int kStatusError = 255;

// Reports a token that no place in an entry may hold: one too long to read,
// or an end of input that a read error brought. Returns true when it did.
bool listFault(const Token& token, const std::istream& list,
               const char* listPath, std::ostream& err) {
  if (token.isTooLong() == 0) {
    const int kShown = 40;
    err << "packing list holds a token that is too long: "
        << std::string_view(token.getName(), kShown) << "..." << std::endl;
    return true;
  }
  if (token.isEOF() == 0 && list.bad()) {
    err << "can't read " << listPath << std::endl;
    return true;
  }
  return false;
}

}  // namespace

int verify(const char* rootPath, std::istream& list, const char* listPath,
           std::ostream& out, std::ostream& err) {
  CountFiles = 0;
  CountErrors = 0;
  Directory root(rootPath);
  Directory top(".");
  out << "[reading packing.lst]" << std::endl;

  Token token(list);
  for (;;) {
    if (listFault(token, list, listPath, err)) return kStatusError;
    if (token.isEOF() == 0) break;
    int64_t size = 0;
    if (token.isSize() != 0 || !parseSize(token.getName(), &size)) {
      err << "Expected size: actually " << token.getName() << std::endl;
      return kStatusError;
    }
    token.read(list);
    if (listFault(token, list, listPath, err)) return kStatusError;
    if (token.isDir() != 0 || strcmp(token.getName(), ".") != 0) {
      err << "Expected . directory: actually " << token.getName()
          << std::endl;
      return kStatusError;
    }
    token.read(list);
    out << '.' << std::flush;
    if (top.insert(&token, list, size) != 0) {
      if (!listFault(token, list, listPath, err))
        err << "Expected file name: actually " << token.getName()
            << std::endl;
      return kStatusError;
    }
    token.read(list);
  }

  out << std::endl
      << "[Walking directory tree and comparing files]" << std::endl;
  top.iterate(&root, "", '/', out);
  out << std::endl;
  if (CountErrors == 0)
    out << "Korlan Succeeded: all file comparisons correct" << std::endl;
  else
    out << "Korlan Failure: " << CountErrors << " out of " << CountFiles
        << " file comparisons failed" << std::endl;
  return 0;
}

int runKorlan(int argc, char** argv, std::ostream& out, std::ostream& err) {
  if (argc == 3 && strcmp(argv[1], "--make-list") == 0) return makeList(argv[2], out, err);
  if (argc != 3 && argc != 1) {
    out << "Korlan [ dirname packing.list]" << std::endl;
    return kStatusError;
  }
  std::string rootPath, listPath;
  if (argc == 1) {
    // The program file sits three levels below the top of its installation.
    // The ".." components stay in every path the report shows: the file
    // system resolves them, through whatever links the run directory holds.
    initFindRunDirectory(argv[0]);
    rootPath = std::string(getRunDirectory()) + "/../../..";
    listPath = rootPath + "/packing.lst";
  } else {
    rootPath = argv[1];
    listPath = argv[2];
  }
  std::ifstream list(listPath, std::ios::in | std::ios::binary);
  if (!list) {
    err << "can't open " << listPath << std::endl;
    return kStatusError;
  }
  return verify(rootPath.c_str(), list, listPath.c_str(), out, err);
}
