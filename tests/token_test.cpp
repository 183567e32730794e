#include "token.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

// One token as "kind:name": D directory, S size, F file name, L too long,
// N holding a NUL byte, E end of input. Also checks that exactly one flag answers yes.
std::string describe(const Token& t) {
  const int flags[] = {t.isDir(), t.isSize(), t.isFile(), t.isEOF(), t.isTooLong(), t.hasNul()};
  int yes = 0;
  for (int f : flags) {
    EXPECT_TRUE(f == 0 || f == -1) << "flag holds " << f;
    yes += f == 0;
  }
  EXPECT_EQ(yes, 1);
  if (t.isEOF() == 0) return "E";
  const char kind = t.isDir() == 0       ? 'D'
                    : t.isSize() == 0    ? 'S'
                    : t.isFile() == 0    ? 'F'
                    : t.isTooLong() == 0 ? 'L'
                                         : 'N';
  return std::string(1, kind) + ":" + t.getName();
}

// Every token of `input`, up to and including two end-of-input tokens (the
// second shows that end of input stays the end).
std::vector<std::string> tokens(const std::string& input) {
  std::istringstream in(input);
  std::vector<std::string> seen;
  Token t(in);
  for (int eofs = 0; eofs < 2 && seen.size() < 100; t.read(in)) {
    seen.push_back(describe(t));
    eofs += t.isEOF() == 0;
  }
  return seen;
}

using V = std::vector<std::string>;

struct Case {
  const char* what;
  std::string input;
  V expected;
};

TEST(Token, ReadsTheFormat) {
  const Case cases[] = {
      {"empty input", "", {"E", "E"}},
      {"white space only", " \t\r\n\v\f ", {"E", "E"}},
      {"one entry", "4096 ./bin/setup\n", {"S:4096", "D:.", "D:bin", "F:setup", "E", "E"}},
      {"no final newline", "12 ./x", {"S:12", "D:.", "F:x", "E", "E"}},
      {"lone slash is an empty directory", " / ", {"D:", "E", "E"}},
      {"double slash", "a//b", {"D:a", "D:", "F:b", "E", "E"}},
      {"digits ending at slash are a directory", "123/ 123", {"D:123", "S:123", "E", "E"}},
      {"not sizes", "12a -5 +5 1.5", {"F:12a", "F:-5", "F:+5", "F:1.5", "E", "E"}},
      {"leading zeros stay in the name", "007 0", {"S:007", "S:0", "E", "E"}},
      {"every white space separates",
       "1\t2\r\n3\v4\f5",
       {"S:1", "S:2", "S:3", "S:4", "S:5", "E", "E"}},
      {"white space after a slash", "./lib/ x", {"D:.", "D:lib", "F:x", "E", "E"}},
      {"high bytes are ordinary", "caf\xc3\xa9 \xff", {"F:caf\xc3\xa9", "F:\xff", "E", "E"}},
      {"several entries on one line",
       "1 ./a 2 ./b",
       {"S:1", "D:.", "F:a", "S:2", "D:.", "F:b", "E", "E"}},
  };
  for (const Case& c : cases) EXPECT_EQ(tokens(c.input), c.expected) << c.what;
}

TEST(Token, NulByteMarksTheToken) {
  // Whatever kind the token would have been, a NUL in it makes it one that no
  // entry may hold; the name holds what came before the NUL.
  EXPECT_EQ(tokens(std::string("12\0003", 4)).front(), "N:12");
  EXPECT_EQ(tokens(std::string("\0a/", 3)).front(), "N:");
  EXPECT_EQ(tokens(std::string("f\0", 2)).front(), "N:f");
}

TEST(Token, LengthLimit) {
  const std::string longest(Token::kMaxLength, 'x');
  EXPECT_EQ(tokens(longest + " 7"), (V{"F:" + longest, "S:7", "E", "E"}));
  EXPECT_EQ(tokens(longest + "/"), (V{"D:" + longest, "E", "E"}));

  // One byte more is refused, and the reader has not gone past it.
  std::istringstream in(longest + "yz rest");
  Token t(in);
  EXPECT_EQ(describe(t), "L:" + longest);
  EXPECT_EQ(in.get(), 'z');
}

TEST(Token, ReadErrorEndsInputAndLeavesTheStreamBad) {
  testutil::TempDir dir;
  std::ifstream in(dir.path(), std::ios::binary);  // opens, but cannot be read
  ASSERT_TRUE(in.is_open());
  Token t(in);
  EXPECT_EQ(describe(t), "E");
  EXPECT_TRUE(in.bad());

  std::istringstream plain("x");
  Token u(plain);
  u.read(plain);
  EXPECT_EQ(describe(u), "E");
  EXPECT_FALSE(plain.bad());
}

}  // namespace
