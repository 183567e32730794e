// digest.cpp: the SHA-256 of a file on disk.
#include "digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

bool Sha256::operator==(const Sha256& o) const {
  return memcmp(bytes, o.bytes, kSize) == 0;
}

std::string Sha256::hex() const {
  static const char kDigits[] = "0123456789abcdef";
  std::string s(2 * kSize, '0');
  for (int i = 0; i < kSize; ++i) {
    s[2 * i] = kDigits[bytes[i] >> 4];
    s[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return s;
}

const char* FileHash::reason() const {
  if (error == kNotRegular) return "not a regular file";
  if (error == kChanged) return "changed while read";
  if (error == kCancelled) return "not read: the run ended";
  return strerror(error);
}

int openForReading(int dirFd, const char* path) {
  const int flags = O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
#ifdef O_NOATIME
  const int fd = openat(dirFd, path, flags | O_NOATIME);
  if (fd >= 0 || errno != EPERM) return fd;
#endif
  return openat(dirFd, path, flags);
}

namespace {

evp_md_st* fetchSha256() {
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
  return EVP_MD_fetch(nullptr, "SHA256", nullptr);
#else
  return const_cast<EVP_MD*>(EVP_sha256());
#endif
}

void freeMd(evp_md_st* md) {
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
  EVP_MD_free(md);
#else
  (void)md;
#endif
}

}  // namespace

Hasher::Hasher(std::atomic<int64_t>* counter, const std::atomic<bool>* cancel)
    : context_(EVP_MD_CTX_new()),
      md_(fetchSha256()),
      buffer_(static_cast<unsigned char*>(malloc(kBufferSize))),
      counter_(counter),
      cancel_(cancel) {
  if (context_ == nullptr || md_ == nullptr || buffer_ == nullptr) {
    EVP_MD_CTX_free(context_);
    freeMd(md_);
    free(buffer_);
    throw std::bad_alloc();
  }
}

Hasher::~Hasher() {
  EVP_MD_CTX_free(context_);
  freeMd(md_);
  free(buffer_);
}

FileHash Hasher::hash(int dirFd, const char* path, int64_t expected) {
  const int fd = openForReading(dirFd, path);
  if (fd < 0) {
    FileHash h;
    h.error = errno;
    return h;
  }
  const FileHash h = hashOpen(fd, expected);
  close(fd);
  return h;
}

FileHash Hasher::hashOpen(int fd, int64_t expected) {
  FileHash h;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    h.error = errno;
    return h;
  }
  // Only a regular file has an end: a FIFO may never be written to, and
  // /dev/zero never runs dry.
  if (!S_ISREG(st.st_mode)) {
    h.error = FileHash::kNotRegular;
    return h;
  }
  if (expected < 0) expected = st.st_size;
  if (st.st_size != expected) {
    h.error = FileHash::kChanged;
    return h;
  }
  // Read-ahead matters only for a file that takes more than one read.
  if (expected > static_cast<int64_t>(kBufferSize))
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  // libcrypto fails only when it cannot allocate; the file is then reported
  // as unread rather than the thread brought down.
  if (EVP_DigestInit_ex(context_, md_, nullptr) != 1) {
    h.error = ENOMEM;
    return h;
  }
  int64_t total = 0;
  for (;;) {
    if (cancel_ != nullptr && cancel_->load(std::memory_order_relaxed)) {
      h.error = FileHash::kCancelled;
      return h;
    }
    const ssize_t n = read(fd, buffer_, kBufferSize);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      h.error = errno;
      return h;
    }
    if (n == 0) break;
    total += n;
    // Past the size expected the file has changed whatever follows: stop
    // rather than read a file that grows as fast as it is read.
    if (total > expected) break;
    if (EVP_DigestUpdate(context_, buffer_, n) != 1) {
      h.error = ENOMEM;
      return h;
    }
    if (counter_ != nullptr) counter_->fetch_add(n, std::memory_order_relaxed);
  }
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_, h.digest.bytes, &length) != 1)
    h.error = ENOMEM;
  else if (total != expected)
    h.error = FileHash::kChanged;
  return h;
}
