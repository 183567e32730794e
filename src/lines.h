// lines.h: a text file read one line at a time, within a bound.
//
// The readers of sums files, manifests and dpkg's files take their input
// line by line, and any of them may be given endless input without a line
// end (/dev/zero, a FIFO): a line longer than the bound is cut there, the
// rest left unread, so that it costs neither time nor memory past it. A CR
// before the line end belongs to the line end (files written on Windows),
// unless the reader keeps it (dpkg's files, whose paths may end in one).
#ifndef KORLAN_LINES_H_
#define KORLAN_LINES_H_

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string_view>
#include <vector>

class LineReader {
 public:
  LineReader(std::istream& in, size_t longest, bool keepCr = false)
      : in_(in), longest_(longest), keepCr_(keepCr) {}

  // The next line, without its end, in `*line` (valid until the next
  // call): 1, with `*tooLong` set when the line went on past the bound; 0
  // at the end of the input; -1 when the stream fails.
  int next(std::string_view* line, bool* tooLong);
  // The number of the last line read, from 1; lines past UINT32_MAX are
  // all numbered so.
  uint32_t number() const { return number_; }

 private:
  std::istream& in_;
  const size_t longest_;
  const bool keepCr_;
  std::vector<char> buffer_;
  uint32_t number_ = 0;
};

#endif  // KORLAN_LINES_H_
