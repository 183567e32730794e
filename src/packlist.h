// packlist.h: the packing-list format, read and written, and the names of
// the files Korlan keeps beside an installation.
//
// A packing list is a free-form stream of entries "SIZE ./PATH", read
// through Token (see token.h): a size token, the directory token ".", then
// the path, a directory token per level and the file's name. Korlan writes
// one entry per line.
#ifndef KORLAN_PACKLIST_H_
#define KORLAN_PACKLIST_H_

#include <cstdint>
#include <istream>
#include <ostream>
#include <string_view>

class Report;
struct Directory;
struct File;

// The files Korlan reads and writes at the top of an installation: the
// packing list, the digests of its files (sha256sum's format) and its
// manifest (mtree's format).
extern const char kPackingList[];
extern const char kPackingSums[];
extern const char kPackingManifest[];

// Whether `path`, below the top, is a file Korlan keeps at the top of an
// installation: one of the three, or the signature beside one of them
// (".minisig", ".sig").
bool isKeptFile(std::string_view path);

// Receives each file as the reader records it, in reading order.
class ListReceiver {
 public:
  virtual void recorded(File* f) = 0;

 protected:
  ~ListReceiver() = default;
};

// Reads the entries of `list` into the tree below `top`, one dot each on
// `report`, numbering the files from 0 in File::entry and handing each to
// `receiver`. Returns kStatusOk at the end of the list; else kStatusError
// after the message on `err` (the list named `listPath` there).
int readList(Directory* top, std::istream& list, const char* listPath,
             Report& report, ListReceiver& receiver, std::ostream& err);

// Reads a size token's digits into `*size`. Returns false when the value
// does not fit in 63 bits; a size never wraps around.
bool parseSize(const char* digits, int64_t* size);

// Why a packing list cannot hold a file or directory of this name: the
// reason as text, or null when the name can be listed. The format splits
// tokens at white space and reads at most Token::kMaxLength bytes of one,
// so such a name would come back as another path, or not at all.
const char* unlistableName(const char* name, size_t length);
// The same for a path below the top: the reason of its first name that a
// list cannot hold, the directories' included, or null.
const char* unlistablePath(std::string_view path);

// Writes the entry of a file of `size` bytes at `path` below the top (its
// components joined by "/"), as one line.
void writeListEntry(std::ostream& out, int64_t size, std::string_view path);

#endif  // KORLAN_PACKLIST_H_
