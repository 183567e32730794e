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

// The length and the first byte first: most rows differ there, and a
// manifest's every word is looked up.
bool same(std::string_view a, std::string_view b) {
  return a.size() == b.size() && !a.empty() && a[0] == b[0] && a == b;
}

bool named(const KeywordRow& row, std::string_view name) {
  if (same(name, row.name)) return true;
  for (std::string_view alias : row.aliases)
    if (same(name, alias)) return true;
  return false;
}

}  // namespace

namespace {

// The rows whose name or an alias begins with each byte: a lookup compares
// two or three names, not the table's thirty.
struct ByFirstByte {
  uint32_t rows[256];
};

constexpr ByFirstByte byFirstByte() {
  ByFirstByte index = {};
  for (int i = 0; i < kKeywordCount; ++i) {
    index.rows[static_cast<unsigned char>(kKeywordTable[i].name[0])] |= 1u << i;
    for (int a = 0; a < 3; ++a)
      if (!kKeywordTable[i].aliases[a].empty())
        index
            .rows[static_cast<unsigned char>(kKeywordTable[i].aliases[a][0])] |=
            1u << i;
  }
  return index;
}
constexpr ByFirstByte kByFirstByte = byFirstByte();

}  // namespace

const KeywordRow* findKeyword(std::string_view name) {
  if (name.empty()) return nullptr;
  if (name.compare(0, 6, "xattr.") == 0 && name.size() > 6)
    return &rowOf(Keyword::kXattr);
  for (uint32_t rows = kByFirstByte.rows[static_cast<unsigned char>(name[0])];
       rows != 0; rows &= rows - 1) {
    const KeywordRow& row = kKeywordTable[__builtin_ctz(rows)];
    if (named(row, name)) return &row;
  }
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
