// floor: the least a verifier can do. Reads a packing list of entries
// "SIZE ./PATH", one stat call per entry and a size comparison; prints the
// number of files missing or of another size. The benchmark measures korlan
// against it.
//
// With --dots it also writes korlan's progress the way korlan must: one
// flushed "." per entry read and one per tenth file probed, each a write
// call of its own. That is the floor for any verifier that shows progress so.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static void dot() {
  if (write(1, ".", 1) != 1) exit(2);
}

int main(int argc, char** argv) {
  const bool dots = argc == 4 && strcmp(argv[1], "--dots") == 0;
  if (dots) {
    --argc;
    ++argv;
  }
  if (argc != 3) {
    fprintf(stderr, "usage: floor [--dots] ROOT LIST\n");
    return 2;
  }
  FILE* list = fopen(argv[2], "r");
  if (list == nullptr) {
    perror(argv[2]);
    return 2;
  }
  std::string path = argv[1];
  const size_t rootLength = path.size();
  long files = 0, failed = 0;
  long long size;
  char rel[65536];
  while (fscanf(list, "%lld %65535s", &size, rel) == 2) {
    path.resize(rootLength);
    path.append(rel + 1);  // "./a/b" -> "/a/b"
    struct stat st;
    ++files;
    if (dots) {
      dot();                       // the entry read
      if (files % 10 == 0) dot();  // the tenth file probed
    }
    if (stat(path.c_str(), &st) != 0 || st.st_size != size) ++failed;
  }
  fclose(list);
  printf("%ld of %ld failed\n", failed, files);
  return 0;
}
