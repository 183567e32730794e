// expected.cpp: the types of entries.
#include "expected.h"

#include <sys/stat.h>

namespace {

const char* const kTypeNames[] = {"file",   "dir",  "link", "fifo",
                                  "socket", "char", "block"};
static_assert(sizeof kTypeNames / sizeof kTypeNames[0] == kEntryTypes,
              "a name for every type");

}  // namespace

const char* typeName(EntryType t) { return kTypeNames[static_cast<size_t>(t)]; }

EntryType entryTypeOf(uint32_t mode) {
  switch (mode & S_IFMT) {
    case S_IFDIR: return EntryType::kDir;
    case S_IFLNK: return EntryType::kLink;
    case S_IFIFO: return EntryType::kFifo;
    case S_IFSOCK: return EntryType::kSocket;
    case S_IFCHR: return EntryType::kChar;
    case S_IFBLK: return EntryType::kBlock;
    default: return EntryType::kFile;
  }
}
