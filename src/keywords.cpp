// keywords.cpp: the table of a manifest's keywords.
#include "keywords.h"

namespace {

constexpr bool rowsInOrder() {
  for (int i = 0; i < kKeywordCount; ++i)
    if (static_cast<int>(kKeywordTable[i].keyword) != i) return false;
  return true;
}
static_assert(rowsInOrder(), "each keyword's row stands at its place");
static_assert(kKeywordCount <= 32, "a keyword's bit fits an entry's set");

bool named(const KeywordRow& row, std::string_view name) {
  if (name == row.name) return true;
  for (const char* alias : row.aliases)
    if (alias != nullptr && name == alias) return true;
  return false;
}

}  // namespace

const KeywordRow* findKeyword(std::string_view name) {
  if (name.compare(0, 6, "xattr.") == 0 && name.size() > 6)
    return &rowOf(Keyword::kXattr);
  for (const KeywordRow& row : kKeywordTable)
    if (named(row, name)) return &row;
  return nullptr;
}

unsigned algorithmsOf(uint32_t keywords) {
  unsigned algorithms = 0;
  for (const KeywordRow& row : kKeywordTable)
    if ((keywordBit(row.keyword) & kKwContents & keywords) != 0)
      algorithms |= algorithmBit(row.algorithm);
  return algorithms;
}

Keyword keywordOf(DigestAlgorithm a) {
  for (const KeywordRow& row : kKeywordTable)
    if ((keywordBit(row.keyword) & kKwContents) != 0 && row.algorithm == a)
      return row.keyword;
  return Keyword::kSha256;
}
