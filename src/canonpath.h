// canonpath.h: path strings in canonical form.
//
// canonicalizePath collapses runs of "/", drops "." components and a
// trailing "/", and resolves ".." against the file system: before a
// component is removed by the ".." after it, the path up to it is looked up,
// and a symbolic link is replaced by its target first, so that "x/.." is the
// parent of what x really is. A cache of the last five lookups spares
// repeated lstat and readlink calls; it is never invalidated except by
// canonicalizeReset, so a result may reflect the file system as it was when
// a lookup was cached.
#ifndef KORLAN_CANONPATH_H_
#define KORLAN_CANONPATH_H_

// Size of the caller's output buffer for canonicalizePath, NUL included.
const int kCanonPathSize = 1024;

// The last component of `path`: the text after its last "/", or `path`
// itself when it holds none; null for null. Points into `path`.
const char* getBasename(const char* path);

// The directory part of `path`: the text before its last "/", or "/" when
// that is the first character. Null for null, for a path of fewer than two
// characters and for a path without "/". The caller frees the result.
char* getDirname(const char* path);

// Writes the canonical form of `src` into `out` (kCanonPathSize bytes) and
// returns `out`. `src` and `out` must not overlap. When a looked-up path is
// missing, a link target does not fit, or links form a cycle, the result is
// `src` unchanged. A `src` longer than kCanonPathSize - 1 gives "".
char* canonicalizePath(const char* src, char* out);

// Forgets every cached lookup.
void canonicalizeReset();

#endif  // KORLAN_CANONPATH_H_
