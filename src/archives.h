// archives.h: an archive as a source of entries: what a vendor shipped, as
// it was shipped, read with libarchive without unpacking a byte.
//
// The archive is read once, as it comes (a pipe too), in every format and
// through every filter libarchive reads by itself: tar in all its forms,
// cpio, zip, 7-Zip, ISO 9660, ar, CAB, LHA, RAR, WARC; gzip, bzip2, xz,
// lzma, lzip, zstd, lz4, compress and uuencode, and an RPM package's
// payload. A Debian package, an ar archive whose first member is
// debian-binary, is read through its data.tar member. Not read: mtree
// (libarchive's reader takes the bytes of the files a manifest names from
// the machine that reads it, the very tree a verification looks at); xar,
// whose reader alone would bring libxml2 and ICU into every run; and what
// libarchive can only read by running another program (lrzip, grzip,
// lzop, and any filter whose library it was built without), for a
// verifier runs none.
//
// Each entry is stated as extracting it makes it. Its path: the name as
// tar takes it, "./" and empty components dropped; an absolute name, or
// one with a ".." component, refuses the archive as a manifest's does.
// Names are taken as the bytes the archive holds; those it holds in Unicode
// (pax, zip's UTF-8 names, 7-Zip, Joliet) as UTF-8, whatever the locale;
// a name libarchive cannot give whole refuses the archive, and so does
// anything else it warns of: a verifier must not take an archive it half
// understands for a complete one. What it states: its type, mode, a
// regular file's size and the digests of its bytes, computed as they
// stream through (holes of a sparse file as the zeros extraction writes),
// a link's target; owners, times, link counts, flags and devices only when
// the caller names them, and only where the archive holds them; extended
// attributes wherever the archive holds some (pax's SCHILY.xattr), and of
// every entry, none included, when named. A hard link is stated as the
// entry its first name is, a regular file of that name's size and
// digests; where a format gives the bytes of a set of links with its last
// name (newc cpio), the earlier names wait for them. A hard link to a name
// the archive does not hold before it is stated "not checked", never as a
// match.
#ifndef KORLAN_ARCHIVES_H_
#define KORLAN_ARCHIVES_H_

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "expected.h"
#include "source.h"

// How an archive's entries are read.
struct ArchiveReading {
  // What each entry states besides its type (keyword bits, kKwType ...);
  // 0 for what --make-mtree writes by default (mode, size, link,
  // sha256digest) and the extended attributes of the entries that hold
  // some.
  uint32_t keywords = 0;
  // Leading components dropped from every name, as tar's
  // --strip-components drops them ("." is one); an entry of no more
  // components is passed over.
  unsigned strip = 0;
};

class ArchiveSource : public EntrySource {
 public:
  // The archive open as `fd`, read as it comes (the descriptor is the
  // caller's to close); `name` names it in messages ("NAME:N: ...", N the
  // entry's number from 1).
  ArchiveSource(int fd, std::string name, const ArchiveReading& reading);
  // The archive held in `bytes`, which outlive the source (read whole,
  // its signature checked).
  ArchiveSource(std::string_view bytes, std::string name,
                const ArchiveReading& reading);
  ~ArchiveSource() override;
  ArchiveSource(const ArchiveSource&) = delete;
  ArchiveSource& operator=(const ArchiveSource&) = delete;

  // The next entry: `*line` is its number in the archive, from 1 (in a
  // Debian package, in its data.tar). Throws std::bad_alloc.
  int next(std::string* path, Expected* expected, uint32_t* line,
           std::ostream& err) override;
  const std::string& name() const override;
  const char* kind() const override { return "archive"; }
  // Taken where the caller names no keywords: the bytes are compared, not
  // hashed.
  void compareBytesWith(ByteComparer* comparer) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

#endif  // KORLAN_ARCHIVES_H_
