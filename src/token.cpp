// token.cpp: the reader of the packing-list format.
#include "token.h"

#include <streambuf>

namespace {

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads one byte straight from the stream buffer: a list of a million entries
// is tens of millions of bytes, and the istream's per-call sentry would cost
// more than everything else the reader does. A failing read (a directory
// given as the list, an I/O error) ends the input as end of file does, and
// leaves the stream bad so that the caller can tell the two apart.
inline int next(std::istream& in, std::streambuf* buf) {
  try {
    return buf->sbumpc();
  } catch (...) {
    in.setstate(std::ios::badbit);
    return std::char_traits<char>::eof();
  }
}

}  // namespace

void Token::read(std::istream& in) {
  const int kEOF = std::char_traits<char>::eof();
  dirFlag = sizeFlag = fileFlag = eofFlag = longFlag = nulFlag = -1;
  std::streambuf* buf = in.rdbuf();
  int c = kEOF;
  if (buf != nullptr && in.good()) {
    do {
      c = next(in, buf);
      if (c == '\n') ++lineAt_;
    } while (c != kEOF && isSpace(c));
  }
  line = lineAt_;
  if (c == kEOF) {
    in.setstate(std::ios::eofbit);
    name = "EOF";
    eofFlag = 0;
    return;
  }

  int len = 0;
  bool endedAtSlash = false;
  for (;;) {
    if (c == '/') {
      endedAtSlash = true;
      break;
    }
    if (c == kEOF) {
      in.setstate(std::ios::eofbit);
      break;
    }
    if (isSpace(c)) {
      if (c == '\n') ++lineAt_;
      break;
    }
    if (c == '\0') {
      nulFlag = 0;
      break;
    }
    if (len == kMaxLength) {
      longFlag = 0;
      break;
    }
    text[len++] = static_cast<char>(c);
    c = next(in, buf);
  }
  text[len] = '\0';
  name = text;

  if (longFlag == 0 || nulFlag == 0) return;
  if (endedAtSlash) {
    dirFlag = 0;
    return;
  }
  bool digitsOnly = true;
  for (int i = 0; i < len; ++i) {
    if (!isDigit(text[i])) {
      digitsOnly = false;
      break;
    }
  }
  if (digitsOnly)
    sizeFlag = 0;
  else
    fileFlag = 0;
}
