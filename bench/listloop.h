// listloop.h: the loop both floors share. Reads a packing list of entries
// "SIZE ./PATH" and hands each file's path below ROOT and its listed size
// to `check`, which says whether the file passed; prints how many failed.
// A template, so that each floor's check is inlined as if written in place.
#ifndef KORLAN_BENCH_LISTLOOP_H_
#define KORLAN_BENCH_LISTLOOP_H_

#include <cstdio>
#include <string>

// Returns the process status: 2 when the list cannot be opened, else 0.
template <typename Check>
int checkEachEntry(const char* root, const char* listPath, Check check) {
  FILE* list = fopen(listPath, "r");
  if (list == nullptr) {
    perror(listPath);
    return 2;
  }
  std::string path = root;
  const size_t rootLength = path.size();
  long files = 0, failed = 0;
  long long size;
  static char rel[65536];
  while (fscanf(list, "%lld %65535s", &size, rel) == 2) {
    path.resize(rootLength);
    path.append(rel + 1);  // "./a/b" -> "/a/b"
    ++files;
    if (!check(path.c_str(), size, files)) ++failed;
  }
  fclose(list);
  printf("%ld of %ld failed\n", failed, files);
  return 0;
}

#endif  // KORLAN_BENCH_LISTLOOP_H_
