// attributes.h: what a file carries besides its bytes and its mode: its
// inode flags and its extended attributes (file capabilities, ACLs,
// security labels), read of the entry as it is, and shown as people read
// them.
//
// A capability gives root as surely as a setuid bit, an ACL makes a file
// writable as surely as a mode does, and an immutable or append-only flag
// changes what root itself may do: a manifest may state each, and the
// check and the makers read them here.
#ifndef KORLAN_ATTRIBUTES_H_
#define KORLAN_ATTRIBUTES_H_

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "expected.h"

// The flags of a manifest (kImmutableFlag, kAppendFlag, kNodumpFlag) that
// the entry `name` in the directory `dirFd`, found as `st`, carries, a link
// not followed: as statx reports them, else through FS_IOC_GETFLAGS on a
// descriptor of its own, of a regular file or a directory (EOPNOTSUPP for
// another type). 0, or an errno (ESTALE: not the file found); a file
// system that has no flags answers none.
int readFlags(int dirFd, const char* name, const struct stat& st,
              uint32_t* flags);
// The same of the file open as `fd`.
int readFlags(int fd, uint32_t* flags);

// The extended attributes of the file open as `fd` (not with O_PATH),
// sorted by name, into `*found`; those that exist but may not be read
// (another namespace's, a file that may not be read) are named in
// `*unreadable`. 0, or an errno.
int readXattrs(int fd, std::vector<StatedXattr>* found,
               std::vector<std::string>* unreadable);

// An entry looked at as it is, through a descriptor of its own (O_PATH, a
// link not followed), so that what lstat says of it, its flags and its
// extended attributes are all of one file, whatever its name is given to
// meanwhile.
class HeldEntry {
 public:
  HeldEntry() = default;
  ~HeldEntry();
  HeldEntry(const HeldEntry&) = delete;
  HeldEntry& operator=(const HeldEntry&) = delete;

  // Looks at `name` in the directory `dirFd`: 0, or the errno (as lstat's).
  int look(int dirFd, const char* name);
  // What lstat would say of it.
  const struct stat& st() const { return st_; }
  // Its flags, as readFlags reads them.
  int flags(uint32_t* flags) const;
  // Its extended attributes, sorted by name, into `*found`; those that
  // exist but may not be read are named in `*unreadable`. 0, or an errno
  // (ENOSYS where /proc, through which they are read, is not mounted).
  int xattrs(std::vector<StatedXattr>* found,
             std::vector<std::string>* unreadable) const;
  // Whether its extended attribute `attribute` may be read: 0, or the errno
  // (EPERM, EACCES).
  int xattrReadable(const std::string& attribute) const;

 private:
  int dirFd_ = -1;
  const char* name_ = nullptr;
  int fd_ = -1;
  struct stat st_ = {};
  bool flagsKnown_ = false;
  uint32_t flags_ = 0;
};

// An extended attribute as a report shows it, NAME=TEXT: a file capability
// as libcap writes it ("cap_setuid=ep"), an ACL as libacl does
// ("u::rw-,u:nobody:rwx,..."), text as it is when it is printable, else
// the bytes in base64.
std::string xattrText(const StatedXattr& x);

// Inode flags by BSD's names, as manifests write them: "schg", "sappnd",
// "nodump", comma separated, or "none".
std::string flagsText(uint32_t flags);

#endif  // KORLAN_ATTRIBUTES_H_
