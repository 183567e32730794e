// beneath.h: opening a path below ROOT that whoever can write the tree may
// have changed, without following a symbolic link on the way.
//
// A directory replaced by a link to another (one outside ROOT, or a copy of
// the installation kept good) must not lead a look at the tree anywhere:
// every component is resolved as it is, and a link met on the way is an
// error. The kernel does that in one call, openat2(2) with
// RESOLVE_NO_SYMLINKS and RESOLVE_BENEATH (Linux 5.6); elsewhere, or where
// a filter refuses the call, the path is opened one component at a time
// with O_NOFOLLOW.
#ifndef KORLAN_BENEATH_H_
#define KORLAN_BENEATH_H_

#include <string_view>

// Opens `path`, relative and without "..", below the directory open as
// `topFd`, with `flags` (O_CLOEXEC is added). No symbolic link is followed,
// on the way or at the end: a link met fails with ELOOP. "." and "" open
// the top itself. Returns the descriptor, or -1 with errno set.
int openBeneath(int topFd, std::string_view path, int flags);

// Opens `path` below `topFd` as openBeneath does, but following the links
// met on the way as if `topFd` were the root of the file system (openat2's
// RESOLVE_IN_ROOT): an absolute link, or ".." at the top, stays below it.
// Where the kernel cannot, and `topIsRoot` (the top is "/"), the path is
// opened as it stands; else ENOSYS. A link at the end is not followed.
int openInRoot(int topFd, std::string_view path, int flags, bool topIsRoot);

// The text of a refusal for ELOOP from openBeneath: what a report says of
// an entry that lies below a link standing where a directory should be.
extern const char kLinkOnPath[];

#endif  // KORLAN_BENEATH_H_
