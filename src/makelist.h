// makelist.h: writing the packing list of a tree on disk.
#ifndef KORLAN_MAKELIST_H_
#define KORLAN_MAKELIST_H_

#include <ostream>

// Writes to `out` the packing list of the tree under the directory `root`:
// an entry "SIZE ./PATH" for every file the walk of the tree finds (see
// walkTree), with the size of a link's target, in the order in which
// verification walks such a list. `root`/packing.lst is left out, under
// any name.
//
// Every path that cannot be listed (a name the format cannot hold, a
// directory that cannot be read, an entry that cannot be examined) is named
// on `err` and left out, and the rest is still written; a link whose target
// is missing or loops is skipped with a warning on `err`. Returns the
// process status: kStatusError when `root` is no readable directory or any
// path could not be listed, else kStatusOk.
int makeList(const char* root, std::ostream& out, std::ostream& err);

#endif  // KORLAN_MAKELIST_H_
