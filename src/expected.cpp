// expected.cpp: the types of entries.
#include "expected.h"

#include <sys/stat.h>

#include <algorithm>

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

Expected copyOf(const Expected& e) {
  Expected copy;
  copy.size = e.size;
  copy.keywords = e.keywords;
  copy.mode = e.mode;
  copy.type = e.type;
  if (e.detail != nullptr) {
    copy.detail.reset(new Detail(*e.detail));
    copy.detail->found.clear();
  }
  return copy;
}

void overlay(Expected* onto, const Expected& later) {
  const uint32_t k = later.keywords;
  onto->keywords |= k;
  if (k & kKwType) onto->type = later.type;
  if (k & kKwMode) onto->mode = later.mode;
  if (k & kKwSize) onto->size = later.size;
  if (later.detail == nullptr && onto->detail == nullptr) return;
  static const Detail kNone;  // what an entry without its detail states
  if (onto->detail == nullptr) onto->detail.reset(new Detail);
  Detail& d = *onto->detail;
  const Detail& l = later.detail != nullptr ? *later.detail : kNone;
  for (const KeywordRow& row : kKeywordTable) {
    if (!(k & keywordBit(row.keyword))) continue;
    switch (row.keyword) {
      case Keyword::kUid: d.uid = l.uid; break;
      case Keyword::kGid: d.gid = l.gid; break;
      case Keyword::kUname: d.uname = l.uname; break;
      case Keyword::kGname: d.gname = l.gname; break;
      case Keyword::kLink: d.link = l.link; break;
      case Keyword::kTime:
        d.seconds = l.seconds;
        d.nanoseconds = l.nanoseconds;
        break;
      case Keyword::kNlink: d.nlink = l.nlink; break;
      case Keyword::kFlags: d.flags = l.flags; break;
      case Keyword::kXattr: d.xattrs = l.xattrs; break;
      case Keyword::kDevice: d.device = l.device; break;
      default:
        if (keywordBit(row.keyword) & kKwContents) {
          d.compared = l.compared;
          d.digests.erase(std::remove_if(d.digests.begin(), d.digests.end(),
                                         [&row](const StatedDigest& s) {
                                           return s.algorithm == row.algorithm;
                                         }),
                          d.digests.end());
          for (const StatedDigest& s : l.digests)
            if (s.algorithm == row.algorithm) d.digests.push_back(s);
        }
    }
  }
  // What the later states of a keyword replaces the earlier's "not
  // checked" of it ("flags=arch", then "flags=none").
  d.unchecked.erase(
      std::remove_if(d.unchecked.begin(), d.unchecked.end(),
                     [k](const Unchecked& u) {
                       const KeywordRow* row =
                           findKeyword(std::string_view(u.keyword).substr(
                               0, u.keyword.find('=')));
                       return row != nullptr && (k & keywordBit(row->keyword));
                     }),
      d.unchecked.end());
  d.unchecked.insert(d.unchecked.end(), l.unchecked.begin(), l.unchecked.end());
}
