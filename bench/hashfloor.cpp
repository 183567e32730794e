// hashfloor: the least `korlan --sums` can do on one CPU. Reads a packing
// list of entries "SIZE ./PATH" and, one file after the other on one
// thread, stats each, reads it through one buffer as large as each of
// korlan's and hashes it with libcrypto's SHA-256; prints the number of
// files missing, of another size or unreadable. A program of its own, so
// that the plain floor does not carry libcrypto.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "listloop.h"

namespace {

// Reads and hashes the file at `path`; false when it cannot be read whole.
bool hashFile(const char* path, long long size, EVP_MD_CTX* context, const EVP_MD* md) {
  static unsigned char buffer[256 << 10];
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  EVP_DigestInit_ex(context, md, nullptr);
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

}  // namespace

int main(int argc, char** argv) {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (argc != 3 || context == nullptr || md == nullptr) {
    fprintf(stderr, "usage: hashfloor ROOT LIST\n");
    return 2;
  }
  const int status =
      checkEachEntry(argv[1], argv[2], [context, md](const char* path, long long size, long) {
        struct stat st;
        return stat(path, &st) == 0 && st.st_size == size && hashFile(path, size, context, md);
      });
  EVP_MD_free(md);
  EVP_MD_CTX_free(context);
  return status;
}
