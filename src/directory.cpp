// directory.cpp: the packing-list tree, the walk and the file probe.
#include "directory.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "report.h"
#include "token.h"

int64_t CountFiles = 0;
int64_t CountErrors = 0;

File::File(const char* fileName, int64_t size)
    : name(shortName), size(size), dir(nullptr), next(nullptr) {
  const size_t length = strlen(fileName);
  if (length >= sizeof shortName) {
    name = static_cast<char*>(malloc(length + 1));
    if (name == nullptr) throw std::bad_alloc();
  }
  memcpy(name, fileName, length + 1);
}

File::~File() {
  if (name != shortName) free(name);
}

void directoryPath(const Directory* root, const Directory* d, char sep,
                   std::string* path) {
  // The chain is gathered from `d` up and written top down, without
  // recursion: a directory may lie deeper than a stack would allow.
  std::vector<const Directory*> chain;
  for (const Directory* p = d; p->parent != nullptr; p = p->parent)
    chain.push_back(p);
  path->assign(root->name);
  for (auto p = chain.rbegin(); p != chain.rend(); ++p)
    appendComponent(path, sep, (*p)->name);
}

std::string File::getExpectedFilename(const Directory* root, char sep) const {
  std::string path;
  directoryPath(root, dir, sep, &path);
  appendComponent(&path, sep, name);
  return path;
}

Directory::Directory(const char* name)
    : subDir(nullptr), peerDir(nullptr), files(nullptr), name(strdup(name)) {
  if (this->name == nullptr) throw std::bad_alloc();
}

Directory::~Directory() {
  for (File* f = files; f != nullptr;) {
    File* next = f->next;
    delete f;
    f = next;
  }
  // The sub-directories below are freed from one work list, threaded through
  // their own peer links: each one's children are spliced in front of the
  // rest, then it is detached and deleted, so nothing recurses and nothing
  // is allocated (the tree may be freed because memory ran out).
  Directory* pending = subDir;
  while (pending != nullptr) {
    Directory* d = pending;
    pending = d->peerDir;
    if (d->subDir != nullptr) {
      d->lastSubDir->peerDir = pending;
      pending = d->subDir;
    }
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

Directory* Directory::child(std::string_view childName) {
  if (Directory* existing = find(childName)) return existing;
  return link(new Directory(std::string(childName).c_str()));
}

Directory* Directory::add(Directory* d) {
  if (Directory* existing = find(d->name)) {
    delete d;
    return existing;
  }
  return link(d);
}

Directory* Directory::link(Directory* d) {
  d->parent = this;
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

int Directory::insert(Token* token, std::istream& in, int64_t size,
                      File** recorded) {
  // A loop, not recursion: the depth of a path is the list's to choose.
  Directory* d = this;
  while (token->isDir() == 0) {
    Directory* s = d->find(token->getName());
    d = s != nullptr ? s : d->link(new Directory(token->getName()));
    token->read(in);
  }
  // Only a file-name or size token names a file: an entry cut short by the
  // end of the list must not become a file named "EOF", nor may a token the
  // reader could not take whole.
  if (token->isFile() != 0 && token->isSize() != 0) return -1;
  File* f = new File(token->getName(), size);
  d->add(f);
  if (recorded != nullptr) *recorded = f;
  return 0;
}

HostFile::HostFile(int dirFd, const char* path)
    : path(path), size(0), status(-1), error(0) {
  struct stat st;
  if (fstatat(dirFd, path, &st, 0) == 0) {
    size = st.st_size;
    status = 0;
    id = {st.st_dev, st.st_ino};
  } else {
    error = errno;
  }
}

void Directory::iterate(const Directory* root, char sep, Report& report,
                        FileComparison& comparison) {
  // One path buffer for the whole walk: formed by directoryPath for this
  // directory, then extended by a component on the way down and cut back on
  // the way up, as directoryPath would form each level. The walk keeps its
  // own stack, one frame per level, each holding the next sub-directory to
  // visit at that level and the length of the path of the directory that
  // holds it.
  std::string path;
  directoryPath(root, this, sep, &path);

  auto compareFiles = [&](const Directory* d) {
    const size_t dirLength = path.size();
    for (const File* f = d->files; f != nullptr; f = f->next) {
      ++CountFiles;
      appendComponent(&path, sep, f->name);
      report.fileWalked(CountFiles);
      if (comparison.compare(*f, path)) ++CountErrors;
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
    appendComponent(&path, sep, d->name);
    compareFiles(d);
    stack.push_back({d->subDir, path.size()});
  }
}

std::string belowRoot(std::string_view root, std::string_view path) {
  std::string joined(root);
  if (!path.empty()) (joined += '/') += path;
  return joined;
}

bool leavesTop(std::string_view path) {
  for (size_t from = 0; from <= path.size();) {
    const size_t slash = std::min(path.find('/', from), path.size());
    if (path.substr(from, slash - from) == "..") return true;
    from = slash + 1;
  }
  return false;
}
