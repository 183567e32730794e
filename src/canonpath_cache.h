// canonpath_cache.h: a look into the lookup cache of canonpath, for the
// tests alone: which paths were looked up, and in what order, is part of
// what canonicalizePath promises, and no result shows it.
#ifndef KORLAN_CANONPATH_CACHE_H_
#define KORLAN_CANONPATH_CACHE_H_

// The cached lookups, newest first: the number in use, and the path of
// entry `i` (0 to count - 1).
int canonicalizeCacheCount();
const char* canonicalizeCachePath(int i);

#endif  // KORLAN_CANONPATH_CACHE_H_
