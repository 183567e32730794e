// fileid.h: a file's identity, by which a file is known under any of its
// names: through a link, through "..", or as another hard link of it.
#ifndef KORLAN_FILEID_H_
#define KORLAN_FILEID_H_

#include <sys/types.h>

struct FileId {
  dev_t dev;
  ino_t ino;
};

inline bool operator==(const FileId& a, const FileId& b) {
  return a.dev == b.dev && a.ino == b.ino;
}
inline bool operator<(const FileId& a, const FileId& b) {
  return a.dev != b.dev ? a.dev < b.dev : a.ino < b.ino;
}

#endif  // KORLAN_FILEID_H_
