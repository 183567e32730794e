// makelist.h: writing the packing list of a tree on disk.
#ifndef KORLAN_MAKELIST_H_
#define KORLAN_MAKELIST_H_

#include <cstddef>
#include <ostream>

// Why a packing list cannot hold a file or directory of this name: the
// reason as text, or null when the name can be listed. The list format
// splits tokens at white space and reads at most Token::kMaxLength bytes of
// one, so such a name would come back as another path, or not at all.
const char* unlistableName(const char* name, size_t length);

// Writes to `out` the packing list of the tree under the directory `root`:
// an entry "SIZE ./PATH" for every regular file and every symbolic link that
// resolves to one (with the size of its target), in the order in which
// verification walks such a list: a directory's files sorted by name as
// bytes, then its sub-directories in the same order, each with everything
// below it. Directories, devices, FIFOs, sockets, links to anything but a
// regular file and `root`/packing.lst are left out. Links to directories are
// not followed; mount points are crossed.
//
// Every path that cannot be listed (a name the format cannot hold, a
// directory that cannot be read, an entry that cannot be examined) is named
// on `err` and left out, and the rest is still written; a link whose target
// is missing or loops is skipped with a warning on `err`. Returns the
// process status: 255 when `root` is no readable directory or any path
// could not be listed, else 0.
int makeList(const char* root, std::ostream& out, std::ostream& err);

#endif  // KORLAN_MAKELIST_H_
