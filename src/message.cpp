// message.cpp: Korlan's own messages on standard error.
#include "message.h"

namespace {

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

void appendOctal(std::string* s, unsigned char c) {
  *s += '\\';
  *s += static_cast<char>('0' + (c >> 6));
  *s += static_cast<char>('0' + ((c >> 3) & 7));
  *s += static_cast<char>('0' + (c & 7));
}

}  // namespace

const char kPathTooLong[] = "path longer than the system allows (PATH_MAX)";

void complain(std::ostream& err, std::string_view text) {
  std::string line = "korlan: ";
  for (const char ch : text) {
    if (isControl(static_cast<unsigned char>(ch)))
      appendOctal(&line, static_cast<unsigned char>(ch));
    else
      line += ch;
  }
  err << line << std::endl;
}

std::string quoted(std::string_view path) {
  std::string s = "\"";
  for (const char ch : path) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': s += "\\\""; break;
      case '\\': s += "\\\\"; break;
      case '\t': s += "\\t"; break;
      case '\n': s += "\\n"; break;
      case '\v': s += "\\v"; break;
      case '\f': s += "\\f"; break;
      case '\r': s += "\\r"; break;
      default:
        if (isControl(c))
          appendOctal(&s, c);
        else
          s += ch;
    }
  }
  return s + '"';
}
