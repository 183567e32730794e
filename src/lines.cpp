// lines.cpp: a text file read one line at a time.
#include "lines.h"

int LineReader::next(std::string_view* line, bool* tooLong) {
  // Room for the longest line, its end and getline's NUL.
  buffer_.resize(longest_ + 2);
  in_.getline(buffer_.data(), buffer_.size());
  const std::streamsize n = in_.gcount();
  if (in_.bad()) return -1;
  if (n == 0) return 0;
  if (number_ < UINT32_MAX) ++number_;
  // A full buffer with no line end sets failbit alone; eofbit means the
  // last line lacks its end, which is fine.
  *tooLong = in_.fail() && !in_.eof();
  const bool ended = !in_.eof() && !*tooLong;
  *line = std::string_view(buffer_.data(), n - (ended ? 1 : 0));
  if (!keepCr_ && !*tooLong && !line->empty() && line->back() == '\r')
    line->remove_suffix(1);
  if (line->size() > longest_) {
    *tooLong = true;
    *line = line->substr(0, longest_);
  }
  return 1;
}
