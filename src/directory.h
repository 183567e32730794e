// directory.h: the packing-list tree, the walk that compares it with the
// disk, the probe of one file, and the verification run that drives them.
#ifndef KORLAN_DIRECTORY_H_
#define KORLAN_DIRECTORY_H_

#include <atomic>
#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>

#include "digest.h"
#include "fileid.h"
#include "options.h"

class Token;
class Sums;
class Progress;
class Prober;
class Report;
struct Directory;

// One expected file: its name, the size the packing list gives, and the
// directory that holds it. Files of a directory form a list through `next`,
// in the order the packing list names them.
struct File {
  File(const char* name, int64_t size);
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // The path at which this file is expected: its directory's path (see
  // directoryPath), the separator and the file's name.
  std::string getExpectedFilename(const Directory* root, char sep) const;

  char* name;
  int64_t size;
  Directory* dir;
  File* next;

  // What the probe of the expected path found: `probeError` 0 and the size
  // in `probedSize`, or the errno of the failed probe. Written once, by a
  // prober thread or by the walk; `probeState` says which has it and when it
  // is there to read.
  enum ProbeState : unsigned char { kUnprobed, kProbing, kProbed };
  std::atomic<unsigned char> probeState{kUnprobed};
  // Set for a HashedFile, whose contents are read too. It sits in what
  // would be padding: a File of a run without --sums is no larger for it.
  bool hashed = false;
  int probeError = 0;
  int64_t probedSize = 0;
  // The next file in reading order waiting for a prober thread.
  File* nextQueued = nullptr;

 private:
  // Most file names are short: they live in the record itself, which spares
  // a list of a million files a million allocations. Longer names go to the
  // heap.
  char shortName[16];
};

// A file whose contents are checked (--sums): the record of a File and
// what reading it gave, written with the probe result and published with
// it. Only runs that hash pay for the digest.
struct HashedFile : File {
  HashedFile(const char* name, int64_t size) : File(name, size) {
    hashed = true;
  }
  // Valid once probed, when the probe found the listed size.
  FileHash contents;
};

// One directory level. Sub-directories form a list from `subDir` through
// `peerDir`, files a list from `files` through `next`; both keep the order in
// which the packing list first names their members.
struct Directory {
  explicit Directory(const char* name);
  // Releases the whole subtree, without recursion: a list may nest deeper
  // than the stack would allow.
  ~Directory();
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  // Records the rest of one packing-list entry below this directory. `token`
  // is the first component of the path below "./"; insert reads the further
  // components into the same token, creating or reusing a sub-directory for
  // each directory token, and records the file named by the first token that
  // is not one, with `size`. Returns 0 when the file is recorded (and, when
  // `recorded` is given, stores the new File there), -1 when the entry ended
  // without a file name (end of input, or a token no name may be), with
  // `token` holding the token that ended it.
  // With `hashed`, the file is recorded as a HashedFile.
  int insert(Token* token, std::istream& in, int64_t size,
             File** recorded = nullptr, bool hashed = false);

  // Finds the sub-directory named like `d` and returns it, deleting `d`; or,
  // when there is none, links `d` as the last sub-directory and returns it.
  Directory* add(Directory* d);
  // Links `f` as the last file of this directory.
  void add(File* f);
  // The sub-directory of that name, or null.
  Directory* find(std::string_view childName) const;

  // Walks this directory and everything below it, depth first: a directory's
  // files in list order, then its sub-directories one after the other. Each
  // file is probed at its expected path (see File::getExpectedFilename), and
  // every file that cannot be found or has another size is reported. Counts
  // in CountFiles and CountErrors. The probes are taken from `prober`, which
  // may have made them ahead of the walk.
  // With `sums`, each file found with its listed size must also have been
  // read whole and have the digest that `sums` gives its path; every path
  // is looked up, so that sums can tell which of its digests no file had.
  // `progress`, when given, counts the files compared.
  void iterate(const Directory* root, char sep, Report& report, Prober& prober,
               Sums* sums = nullptr, Progress* progress = nullptr);

  Directory* subDir;
  Directory* peerDir;
  File* files;
  char* name;
  // The directory that holds this one; null for a node made on its own (the
  // top node), which adds no component to the paths below it.
  Directory* parent = nullptr;

 private:
  // Links `d`, whose name no sub-directory has, as the last sub-directory.
  Directory* link(Directory* d);

  // Tails make every append O(1); a directory of many sub-directories gets an
  // index by name, so that neither the width of a directory nor the length
  // of the list makes reading quadratic.
  Directory* lastSubDir = nullptr;
  File* lastFile = nullptr;
  size_t subDirCount = 0;
  std::unordered_map<std::string_view, Directory*>* index = nullptr;
};

// What the system reports for one path: whether `stat` succeeded (status 0,
// else -1), the size it gave (0 on failure) and why it failed (`error`, the
// errno; 0 on success), and the identity of the file found. `path` is the
// caller's pointer, not a copy.
struct HostFile {
  explicit HostFile(const char* path);

  const char* path;
  int64_t size;
  int status;
  int error;
  FileId id = {0, 0};
};

// The path of directory `d`, written into `path` (its buffer reused): the
// root node's name, then, each added by appendComponent, the names of the
// directories from the first level below the top node down to `d`. The top
// node, which has no parent, adds no component. The walk, the probe workers
// and File::getExpectedFilename form every path with these two, so the path
// a file is probed at is the path the report names.
void directoryPath(const Directory* root, const Directory* d, char sep,
                   std::string* path);
// One level down: appends the separator and `name` to `path`.
inline void appendComponent(std::string* path, char sep, const char* name) {
  *path += sep;
  *path += name;
}

// The comparisons made, and those that failed, by the last walk.
extern int64_t CountFiles;
extern int64_t CountErrors;

// Reads a size token's digits into `*size`. Returns false when the value
// does not fit in 63 bits; a size never wraps around.
bool parseSize(const char* digits, int64_t* size);

// Reads the entries of `list` into `top`, one dot each on `report`, handing
// each new file to `prober`; `*entries` counts the entries recorded. Returns
// kStatusOk at the end of the list, else kStatusError after the message on
// `err` (named `listPath` there). With `hashed`, files are recorded as
// HashedFiles and `*listedBytes` adds up their listed sizes.
int readList(Directory* top, std::istream& list, const char* listPath,
             Report& report, Prober& prober, int64_t* entries,
             std::ostream& err, bool hashed = false,
             int64_t* listedBytes = nullptr);

// One whole verification: reads the packing list from `list` (named
// `listPath` in messages), walks the tree under `rootPath`, writes the report
// to `out` and the errors that stop the run to `err`. Returns the process
// status: 0 after a completed run, whatever it found (with options.strict, 2
// when a comparison failed or none was made); 255 when the list is malformed
// or cannot be read, or memory runs out. With options.sums, the digests are
// read from options.sumsFile after the list, and refused the same way.
int verify(const char* rootPath, std::istream& list, const char* listPath,
           std::ostream& out, std::ostream& err,
           const Options& options = Options());

// The program: `korlan ROOT LIST`, or `korlan` alone to verify its own
// installation. Returns the process status.
int runKorlan(int argc, char** argv, std::ostream& out, std::ostream& err);

#endif  // KORLAN_DIRECTORY_H_
