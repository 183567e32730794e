// floor: the least a verifier can do. Reads a packing list of entries
// "SIZE ./PATH", one stat call per entry and a size comparison; prints the
// number of files missing or of another size. The benchmark measures korlan
// against it.
//
// With --dots it also writes korlan's progress the way korlan must: one
// flushed "." per entry read and one per tenth file probed, each a write
// call of its own. That is the floor for any verifier that shows progress so.
//
// With --hash it also reads every file of the listed size and hashes it
// with libcrypto's SHA-256, one file after the other on one thread, through
// one buffer as large as each of korlan's: the floor for `korlan --sums` on
// one CPU.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static void dot() {
  if (write(1, ".", 1) != 1) exit(2);
}

// Reads and hashes the file at `path`; false when it cannot be read whole.
static bool hashFile(const char* path, long long size, EVP_MD_CTX* context) {
  static unsigned char buffer[256 << 10];
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
  long long total = 0;
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    EVP_DigestUpdate(context, buffer, n);
    total += n;
  }
  close(fd);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context, digest, &length);
  return n == 0 && total == size;
}

int main(int argc, char** argv) {
  const bool dots = argc == 4 && strcmp(argv[1], "--dots") == 0;
  const bool hash = argc == 4 && strcmp(argv[1], "--hash") == 0;
  if (dots || hash) {
    --argc;
    ++argv;
  }
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (argc != 3 || context == nullptr) {
    fprintf(stderr, "usage: floor [--dots|--hash] ROOT LIST\n");
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
    if (stat(path.c_str(), &st) != 0 || st.st_size != size ||
        (hash && !hashFile(path.c_str(), size, context)))
      ++failed;
  }
  fclose(list);
  EVP_MD_CTX_free(context);
  printf("%ld of %ld failed\n", failed, files);
  return 0;
}
