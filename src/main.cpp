// main.cpp: the korlan program.
#include <iostream>

#include "directory.h"

int main(int argc, char** argv) {
  // The report flushes exactly where a user must see progress; between those
  // points output is buffered, which needs the streams unhooked from stdio.
  std::ios::sync_with_stdio(false);
  return runKorlan(argc, argv, std::cout, std::cerr);
}
