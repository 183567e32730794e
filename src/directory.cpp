// directory.cpp: the packing-list tree, the walk, the file probe and the
// verification run.
#include "directory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <vector>

#include "FindYourself.h"
#include "makelist.h"
#include "prober.h"
#include "progress.h"
#include "report.h"
#include "status.h"
#include "sums.h"
#include "token.h"
#include "treewalk.h"
#include "unlisted.h"

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
    if (f->hashed)
      delete static_cast<HashedFile*>(f);
    else
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
                      File** recorded, bool hashed) {
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
  File* f = hashed ? new HashedFile(token->getName(), size)
                   : new File(token->getName(), size);
  d->add(f);
  if (recorded != nullptr) *recorded = f;
  return 0;
}

HostFile::HostFile(const char* path)
    : path(path), size(0), status(-1), error(0) {
  struct stat st;
  if (stat(path, &st) == 0) {
    size = st.st_size;
    status = 0;
    id = {st.st_dev, st.st_ino};
  } else {
    error = errno;
  }
}

namespace {

// Under --sums, the failures that only reading a file finds, after the size
// matched: it could not be read whole, no digest names it, or its digest
// differs. Returns true when it reported one.
bool contentsFail(const HashedFile& f, const Sha256* expected,
                  const std::string& path, Report& report) {
  if (f.contents.error != 0)
    report.unreadable(path, f.size, f.contents.reason());
  else if (expected == nullptr)
    report.noChecksum(path);
  else if (*expected != f.contents.digest)
    report.checksumMismatch(path, expected->hex(), f.contents.digest.hex());
  else
    return false;
  return true;
}

}  // namespace

void Directory::iterate(const Directory* root, char sep, Report& report,
                        Prober& prober, Sums* sums, Progress* progress) {
  // One path buffer for the whole walk: formed by directoryPath for this
  // directory, then extended by a component on the way down and cut back on
  // the way up, as directoryPath would form each level. The walk keeps its
  // own stack, one frame per level, each holding the next sub-directory to
  // visit at that level and the length of the path of the directory that
  // holds it.
  std::string path;
  directoryPath(root, this, sep, &path);
  // A sums path is the file's path below the root node's name.
  const size_t keyStart = strlen(root->name) + 1;

  auto compareFiles = [&](const Directory* d) {
    const size_t dirLength = path.size();
    for (File* f = d->files; f != nullptr; f = f->next) {
      ++CountFiles;
      appendComponent(&path, sep, f->name);
      report.fileWalked(CountFiles);
      prober.settle(f, path.c_str());
      if (progress != nullptr) progress->fileCompared(CountFiles);
      const Sha256* expected =
          sums != nullptr ? sums->find(std::string_view(path).substr(keyStart))
                          : nullptr;
      if (f->probeError != 0) {
        ++CountErrors;
        report.missing(path, f->size, f->probeError);
      } else if (f->probedSize != f->size) {
        ++CountErrors;
        report.wrongSize(f->name, path, f->size, f->probedSize);
      } else if (sums != nullptr && contentsFail(*static_cast<HashedFile*>(f),
                                                 expected, path, report)) {
        ++CountErrors;
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
    appendComponent(&path, sep, d->name);
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

// Reports what makes a list unreadable wherever it strikes: a read error
// (whatever token it cut short), a token too long to read whole, or a NUL
// byte. Returns true when it did.
bool listFault(const Token& token, const std::istream& list,
               const char* listPath, std::ostream& err) {
  if (list.bad()) {
    err << "can't read " << listPath << std::endl;
    return true;
  }
  if (token.isTooLong() == 0) {
    const int kShown = 40;
    err << "packing list holds a token that is too long: "
        << std::string_view(token.getName(), kShown) << "..." << std::endl;
    return true;
  }
  if (token.hasNul() == 0) {
    err << "packing list holds a NUL byte: " << listPath << std::endl;
    return true;
  }
  return false;
}

}  // namespace

int readList(Directory* top, std::istream& list, const char* listPath,
             Report& report, Prober& prober, int64_t* entries,
             std::ostream& err, bool hashed, int64_t* listedBytes) {
  Token token(list);
  for (;;) {
    if (listFault(token, list, listPath, err)) return kStatusError;
    if (token.isEOF() == 0) return kStatusOk;
    int64_t size = 0;
    if (token.isSize() != 0 || !parseSize(token.getName(), &size)) {
      err << "Expected size: actually " << token.getName() << std::endl;
      return kStatusError;
    }
    token.read(list);
    if (listFault(token, list, listPath, err)) return kStatusError;
    if (token.isDir() != 0 || strcmp(token.getName(), ".") != 0) {
      err << "Expected . directory: actually " << token.getName() << std::endl;
      return kStatusError;
    }
    token.read(list);
    report.entryRead();
    File* recorded = nullptr;
    if (top->insert(&token, list, size, &recorded, hashed) != 0) {
      if (!listFault(token, list, listPath, err))
        err << "Expected file name: actually " << token.getName() << std::endl;
      return kStatusError;
    }
    ++*entries;
    // A total for the progress line only: it stops at the largest value
    // rather than wrap around.
    if (listedBytes != nullptr)
      *listedBytes =
          size > INT64_MAX - *listedBytes ? INT64_MAX : *listedBytes + size;
    prober.add(recorded);
    token.read(list);
  }
}

namespace {

int readSums(const std::string& path, Sums* sums, std::ostream& err) {
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in) {
    err << "can't read " << path << std::endl;
    return kStatusError;
  }
  return sums->read(in, path.c_str(), err);
}

}  // namespace

int verify(const char* rootPath, std::istream& list, const char* listPath,
           std::ostream& out, std::ostream& err, const Options& options) {
  CountFiles = 0;
  CountErrors = 0;
  Report report(out, options);
  int64_t entries = 0, listedBytes = 0;
  bool walking = false;
  int64_t listed = 0;
  Sums sums;
  try {
    Directory root(rootPath);
    Directory top(".");
    Progress progress(options.progress);
    // Declared after the tree: its workers stop before the tree is freed.
    Prober prober(
        &root, '/',
        options.workers < 0 ? proberWorkerCount(options.sums) : options.workers,
        options.unlisted, &progress.bytes);
    report.startReading();
    int status = readList(&top, list, listPath, report, prober, &entries, err,
                          options.sums, &listedBytes);
    if (status == kStatusOk && options.sums)
      status = readSums(options.sumsFile, &sums, err);
    if (status != kStatusOk) return status;
    prober.flush();
    report.startWalking();
    walking = true;
    progress.start(entries, options.sums ? listedBytes : -1);
    top.iterate(&root, '/', report, prober, options.sums ? &sums : nullptr,
                &progress);
    listed = CountFiles;
    if (options.unlisted) {
      // The line counts listed files only; it must not cut through the
      // lines below on a terminal.
      progress.stop();
      const ReachedFiles reached(prober.takeIdentities());
      // The files this run reads, which are not the installation's.
      std::vector<std::string> read = {listPath,
                                       besideFile(listPath, "packing.sha256")};
      if (options.sums) read.push_back(options.sumsFile);
      const int64_t found =
          reportUnlisted(rootPath, identitiesOf(read), reached, report);
      CountFiles += found;
      CountErrors += found;
    }
  } catch (const std::bad_alloc&) {
    if (walking)
      err << "korlan: out of memory after comparing " << CountFiles << " files"
          << std::endl;
    else
      err << "korlan: out of memory after reading " << entries << " entries"
          << std::endl;
    return kStatusError;
  }
  report.summary(CountFiles, CountErrors);
  if (const int64_t unnamed = options.sums ? sums.unnamed() : 0)
    err << "korlan: " << options.sumsFile << " holds " << unnamed
        << (unnamed == 1 ? " digest" : " digests")
        << " for paths the packing list does not name" << std::endl;
  if (options.strict && listed == 0) {
    err << "korlan: the packing list names no file" << std::endl;
    return kStatusFailed;
  }
  return options.strict && CountErrors > 0 ? kStatusFailed : kStatusOk;
}

int runKorlan(int argc, char** argv, std::ostream& out, std::ostream& err) {
  const CommandLine line = parseCommandLine(argc, argv, out, err);
  if (line.action == CommandLine::kExit) return line.status;
  if (line.action == CommandLine::kMakeList)
    return makeList(line.operands[0].c_str(), out, err, STDOUT_FILENO);
  if (line.action == CommandLine::kMakeSums)
    return makeSums(line.operands[0].c_str(), out, err, STDOUT_FILENO);
  std::string rootPath, listPath;
  if (line.operands.empty()) {
    // The program file sits three levels below the top of its installation.
    // The ".." components stay in every path the report shows: the file
    // system resolves them, through whatever links the run directory holds.
    initFindRunDirectory(argv[0]);
    rootPath = std::string(getRunDirectory()) + "/../../..";
    listPath = rootPath + "/packing.lst";
  } else {
    rootPath = line.operands[0];
    listPath = line.operands[1];
  }
  // --sums alone: the digests lie beside the list.
  Options options = line.options;
  if (options.sums && options.sumsFile.empty())
    options.sumsFile = besideFile(listPath, "packing.sha256");
  std::ifstream list(listPath, std::ios::in | std::ios::binary);
  if (!list) {
    err << "can't open " << listPath << std::endl;
    return kStatusError;
  }
  return verify(rootPath.c_str(), list, listPath.c_str(), out, err, options);
}
