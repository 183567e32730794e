// dpkg.h: dpkg's database as a source of entries: the paths of the
// installed packages, the digests of their files and their conffiles.
//
// dpkg keeps in its administrative directory (/var/lib/dpkg) the state of
// every package in `status`: a stanza each, with the conffiles and their
// MD5 digests under Conffiles:. For each package, info/NAME.list names
// every path it installed, directories and links too, and info/NAME.md5sums
// gives the MD5 digest of its regular files ("HEX  PATH", PATH below /); a
// package installed for several architectures at once (Multi-Arch: same)
// has info/NAME:ARCH.* instead. `diversions` says where the files that a
// package diverts are put when another package ships them, `statoverride`
// the owners and mode the administrator chose for some paths, which dpkg
// applies at every unpack.
//
// Each package's paths come in its list's order, as dpkg --verify takes
// them: a path with a digest as a regular file of that MD5 (a conffile
// with the digest of its Conffiles: line, and marked as one), any other
// (a directory, a link) as a path that must be there, whatever it is. A
// file another package diverts is looked at where the diversion puts it;
// a path with a stat override states its owners and mode besides. The
// packages come in the order of `status`, which dpkg keeps sorted by name.
#ifndef KORLAN_DPKG_H_
#define KORLAN_DPKG_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "expected.h"
#include "source.h"

class DpkgSource : public EntrySource {
 public:
  // The packages of the database in `admindir` that `packages` names, as
  // dpkg names them (NAME, or NAME:ARCH for one architecture's); every
  // installed one when it names none. A package is installed when its
  // Status: is "installed", or its triggers are all that is left to do
  // (triggers-awaited, triggers-pending).
  DpkgSource(std::string admindir, std::vector<std::string> packages);
  ~DpkgSource() override;
  DpkgSource(const DpkgSource&) = delete;
  DpkgSource& operator=(const DpkgSource&) = delete;

  // The first call reads `status`, `diversions` and `statoverride`; each
  // package's list and digests are read as its turn comes. A file that is
  // there but cannot be read, a line that is not what dpkg writes, and a
  // named package that is not installed refuse the run ("FILE:LINE: what"
  // for a line); a package without md5sums, or without a list, is named on
  // `err` once and checked for what it has.
  int next(std::string* path, Expected* expected, uint32_t* line,
           std::ostream& err) override;
  // Lines number each file's own: the packages' order is the order.
  bool linesInOrder() const override { return false; }
  const std::string& name() const override { return admindir_; }
  const char* kind() const override { return "dpkg"; }
  // /bin/sh is listed where /bin may be a link to usr/bin.
  Resolve resolve() const override { return Resolve::kLinksInRoot; }
  // The package, "NAME" or, for a package of several architectures,
  // "NAME:ARCH"; and whether the entry is one of its conffiles.
  Origin origin(size_t index) const override;

 private:
  struct State;
  std::string admindir_;
  std::unique_ptr<State> state_;
};

#endif  // KORLAN_DPKG_H_
