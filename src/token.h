// token.h: the reader of the packing-list format.
//
// A packing list is a free-form stream of tokens separated by white space; a
// token that ends at "/" names a directory. The reader is the only code that
// looks at the bytes of a list.
#ifndef KORLAN_TOKEN_H_
#define KORLAN_TOKEN_H_

#include <cstdint>
#include <istream>

class Token {
 public:
  // Longest token text the reader accepts; one more byte holds the NUL.
  static const int kMaxLength = 1023;

  // The bytes that separate tokens: white space of the "C" locale, which
  // the program never changes. Testing the six bytes directly keeps the
  // reader's per-byte loop free of calls.
  static bool isSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

  // Reads the next token from `in`.
  explicit Token(std::istream& in) { read(in); }
  Token(const Token&) = delete;
  Token& operator=(const Token&) = delete;

  // Replaces this token with the next one from `in`. The stream then stands
  // just after the byte that ended the token. Nothing is ever put back.
  void read(std::istream& in);

  // Predicates answer 0 for yes and -1 for no: callers compare with 0.
  int isDir() const { return dirFlag; }
  int isSize() const { return sizeFlag; }
  int isFile() const { return fileFlag; }
  int isEOF() const { return eofFlag; }
  // A token longer than kMaxLength: its name holds the first kMaxLength
  // bytes, and the reader stopped there, leaving the rest unread. A list
  // holding one is refused rather than read in pieces.
  int isTooLong() const { return longFlag; }
  // A token holding a NUL byte: no name may hold one, and a C string would
  // silently end there. The reader stops at the NUL; a list holding one is
  // refused.
  int hasNul() const { return nulFlag; }

  // The token's text, without the "/" that ends a directory token; the
  // constant "EOF" for the end of input. Valid until the next read.
  const char* getName() const { return name; }

  // The line the token begins on, from 1.
  uint32_t line = 1;

  // Exactly one flag is 0.
  const char* name;
  int dirFlag;
  int sizeFlag;
  int fileFlag;
  int eofFlag;
  int longFlag;
  int nulFlag;

 private:
  // The token's text lives inside the token: a list of a million entries is
  // read without one allocation per token.
  char text[kMaxLength + 1];
  // The line the stream stands on.
  uint32_t lineAt_ = 1;
};

#endif  // KORLAN_TOKEN_H_
