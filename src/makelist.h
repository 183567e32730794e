// makelist.h: writing the packing list of a tree on disk.
#ifndef KORLAN_MAKELIST_H_
#define KORLAN_MAKELIST_H_

#include <cstdint>
#include <istream>
#include <ostream>

#include "source.h"
#include "treewalk.h"

// Writes to `out` the packing list of the tree under the directory `root`:
// an entry "SIZE ./PATH" for every file the walk of the tree finds (see
// walkTree), with the size of a link's target, in the order in which
// verification walks such a list. `root`/packing.lst and
// `root`/packing.sha256 are left out, under any name, and so is the file
// that `outFd` writes to when it is a regular file (the list redirected
// into the tree it lists).
//
// Each maker leaves out what `exclude` matches (see walkTree).
//
// Every path that cannot be listed (a name the format cannot hold, a
// directory that cannot be read, an entry that cannot be examined) is named
// on `err` and left out, and the rest is still written; a link whose target
// is missing or loops is skipped with a warning on `err`. Returns the
// process status: kStatusError when `root` is no readable directory or any
// path could not be listed, else kStatusOk.
int makeList(const char* root, std::ostream& out, std::ostream& err,
             int outFd = -1, const PathPatterns* exclude = nullptr);

// Writes to `out` the SHA-256 of every file that makeList would list, in
// the same order, as sha256sum writes them when run in `root`: 64
// lowercase hex digits, two spaces and "./PATH" (a line that begins with
// "\", and "\\" for each backslash, when PATH holds one). The files are
// read on threads, one per CPU, and written in walk order. A file
// that cannot be read whole, or is not a regular file once opened, is named
// on `err` and left out. Messages, exclusions and statuses are makeList's.
int makeSums(const char* root, std::ostream& out, std::ostream& err,
             int outFd = -1, const PathPatterns* exclude = nullptr);

// Writes to `out` the manifest of the tree under `root` in mtree's
// full-path form: "#mtree", then a line for every entry as lstat finds it
// (the root as ".", each directory before what it holds, in the order of
// makeList), with its type and the keywords of `keywords` (bits of
// manifest.h; 0: mode, size, link and sha256digest, what a vendor promises
// whatever account installs it). Files are hashed on threads as makeSums
// hashes them. Every name is written, whatever it holds. What is left out,
// messages and statuses are makeList's.
int makeManifest(const char* root, uint32_t keywords, std::ostream& out,
                 std::ostream& err, int outFd = -1,
                 const PathPatterns* exclude = nullptr);

// Writes the three lists of the tree under `root` at its top, from one walk
// that reads each file once: packing.lst as makeList, packing.sha256 as
// makeSums, packing.mtree as makeManifest with `keywords`. With `only`, the
// paths it holds (one a line, below the root) alone, and the directories on
// the way to them, not the whole tree: a name that leaves the root refuses
// the run, a name the walk does not meet fails it. A name the packing list
// cannot hold is named on `err` and left out of it alone. Each list is
// written beside its old self; the three take their places only when all
// are whole, all or none. The status is makeList's.
//
// A regular file `config` matches is a configuration file, the customer's to
// edit: the manifest states its type, mode and the keywords that are no
// size, time or contents (owners, flags, extended attributes), so that it
// may change but not become a link, a directory or world-writable; the
// packing list and the sums leave it out.
int makeLists(const char* root, uint32_t keywords, std::istream* only,
              std::ostream& err, const PathPatterns* exclude = nullptr,
              const PathPatterns* config = nullptr);

// Writes to `out` the manifest of what `source` states, in its order, in
// mtree's full-path form, each entry with the keywords it carries. An
// entry that states what no manifest can say (see Detail::unchecked) is
// named on `err` and left out. Returns kStatusError when one was, or the
// source was refused (after its message on `err`), else kStatusOk.
int makeSourceManifest(EntrySource& source, std::ostream& out,
                       std::ostream& err);

#endif  // KORLAN_MAKELIST_H_
