// floor: the least a verifier can do. Reads a packing list of entries
// "SIZE ./PATH", one stat call per entry and a size comparison; prints the
// number of files missing or of another size. The benchmark measures korlan
// against it.
//
// With --lstat it looks at each path as lstat does, for manifests.
//
// With --dots it also writes korlan's progress the way korlan must: one
// flushed "." per entry read and one per tenth file probed, each a write
// call of its own. That is the floor for any verifier that shows progress so.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "listloop.h"

static void dot() {
  if (write(1, ".", 1) != 1) exit(2);
}

int main(int argc, char** argv) {
  const bool dots = argc == 4 && strcmp(argv[1], "--dots") == 0;
  // --lstat: each path as it is, a link not followed, as a manifest's
  // entries are looked at.
  const bool physical = argc == 4 && strcmp(argv[1], "--lstat") == 0;
  if (dots || physical) {
    --argc;
    ++argv;
  }
  if (argc != 3) {
    fprintf(stderr, "usage: floor [--dots|--lstat] ROOT LIST\n");
    return 2;
  }
  return checkEachEntry(
      argv[1], argv[2], [dots, physical](const char* path, long long size, long files) {
        if (dots) {
          dot();                       // the entry read
          if (files % 10 == 0) dot();  // the tenth file probed
        }
        struct stat st;
        return (physical ? lstat(path, &st) : stat(path, &st)) == 0 && st.st_size == size;
      });
}
