// memstream.h: an input stream over bytes already in memory, without a
// copy of them: a list read whole to be verified is read from there.
#ifndef KORLAN_MEMSTREAM_H_
#define KORLAN_MEMSTREAM_H_

#include <istream>
#include <streambuf>
#include <string_view>

class MemoryStream : private std::streambuf, public std::istream {
 public:
  explicit MemoryStream(std::string_view bytes) : std::istream(this) {
    char* begin = const_cast<char*>(bytes.data());
    setg(begin, begin, begin + bytes.size());
  }
};

#endif  // KORLAN_MEMSTREAM_H_
