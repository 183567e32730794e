// digest.cpp: the SHA-256 of a file on disk.
#include "digest.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
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

bool Sha256::fromHex(std::string_view text, Sha256* digest) {
  const auto value = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.size() != 2 * kSize) return false;
  for (int i = 0; i < kSize; ++i) {
    const int high = value(text[2 * i]), low = value(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    digest->bytes[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return true;
}

const char* FileHash::reason() const {
  if (error == kNotRegular) return "not a regular file";
  if (error == kChanged || error == kGrown) return "changed while read";
  if (error == kCancelled) return "not read: the run ended";
  return strerror(error);
}

int openForReading(int dirFd, const char* path, bool follow) {
  const int flags =
      O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
#ifdef O_NOATIME
  const int fd = openat(dirFd, path, flags | O_NOATIME);
  if (fd >= 0 || errno != EPERM) return fd;
#endif
  return openat(dirFd, path, flags);
}

namespace {

// libcrypto's names; the cksum CRC is no digest of libcrypto's.
const char* const kAlgorithmNames[] = {"MD5",        "SHA1",   "SHA256",
                                       "SHA384",     "SHA512", "RIPEMD160",
                                       "SHA512-256", nullptr};
static_assert(sizeof kAlgorithmNames / sizeof kAlgorithmNames[0] ==
                  kDigestAlgorithms,
              "a name for every algorithm");
const int kCksum = static_cast<int>(DigestAlgorithm::kCksum);

// POSIX cksum's CRC: the polynomial 0x04C11DB7, most significant bit
// first, over the bytes and then over their count. libcrypto has none, and
// zlib's CRC-32 is another (reflected, with another end).
struct CrcTable {
  uint32_t entries[256];
  constexpr CrcTable() : entries() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int bit = 0; bit < 8; ++bit)
        c = c & 0x80000000u ? (c << 1) ^ 0x04C11DB7u : c << 1;
      entries[i] = c;
    }
  }
};
constexpr CrcTable kCrc;

uint32_t crcUpdate(uint32_t crc, const unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    crc = (crc << 8) ^ kCrc.entries[((crc >> 24) ^ p[i]) & 0xff];
  return crc;
}

evp_md_st* fetch(int algorithm) {
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
  return EVP_MD_fetch(nullptr, kAlgorithmNames[algorithm], nullptr);
#else
  return const_cast<EVP_MD*>(EVP_get_digestbyname(kAlgorithmNames[algorithm]));
#endif
}

void freeMd(evp_md_st* md) {
#if OPENSSL_VERSION_NUMBER >= 0x30000000L
  EVP_MD_free(md);
#else
  (void)md;
#endif
}

const int kSha256 = static_cast<int>(DigestAlgorithm::kSha256);
const unsigned kSha256Bit = 1u << kSha256;

// A file shrunk while it is mapped raises SIGBUS where its pages were. The
// thread hashing the map watches its window: the handler jumps back to it,
// and the file is reported changed while read; a fault anywhere else is
// left to the default action.
struct MapWatch {
  sigjmp_buf jump;
  const unsigned char* begin;
  const unsigned char* end;
};
thread_local MapWatch* tWatch = nullptr;

void onBusError(int sig, siginfo_t* info, void*) {
  MapWatch* watch = tWatch;
  const auto* at = static_cast<const unsigned char*>(info->si_addr);
  // The kernel's fault in the window watched; not a signal sent.
  if (watch != nullptr && info->si_code > 0 && at >= watch->begin &&
      at < watch->end)
    siglongjmp(watch->jump, 1);
  // Any other: the default action, as if there were no handler; the signal
  // is delivered again once the handler returns.
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
  raise(sig);
}

bool watchingBusErrors() {
  static const bool installed = [] {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = onBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, nullptr) == 0;
  }();
  return installed;
}

// Whether a file system's regular files map their bytes. Elsewhere a
// regular file may map what no read gives: a device's memory (sysfs's PCI
// resources), a kernel's state.
bool mapsFileBytes(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:  // and ext2, ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case OVERLAYFS_SUPER_MAGIC:
    case SQUASHFS_MAGIC:
    case F2FS_SUPER_MAGIC:
    case 0x2fc12fc1:  // ZFS
      return true;
    default: return false;
  }
}

}  // namespace

void prepareCrypto() {
  if (OPENSSL_init_crypto(0, nullptr) != 1) throw std::bad_alloc();
  evp_md_st* md = fetch(kSha256);
  if (md == nullptr) throw std::bad_alloc();
  freeMd(md);
}

Hasher::Hasher(std::atomic<int64_t>* counter, const std::atomic<bool>* cancel)
    : buffer_(static_cast<unsigned char*>(malloc(kBufferSize))),
      counter_(counter),
      cancel_(cancel) {
  if (buffer_ == nullptr || !prepare(kSha256Bit)) {
    release();
    throw std::bad_alloc();
  }
}

Hasher::~Hasher() { release(); }

void Hasher::release() {
  for (int a = 0; a < kDigestAlgorithms; ++a) {
    EVP_MD_CTX_free(contexts_[a]);
    freeMd(mds_[a]);
  }
  free(buffer_);
}

bool Hasher::prepare(unsigned algorithms) {
  for (int a = 0; a < kDigestAlgorithms; ++a) {
    if (!(algorithms & 1u << a) || contexts_[a] != nullptr || a == kCksum)
      continue;
    mds_[a] = fetch(a);
    contexts_[a] = EVP_MD_CTX_new();
    if (mds_[a] == nullptr || contexts_[a] == nullptr) return false;
  }
  return true;
}

FileHash Hasher::hash(int dirFd, const char* path, int64_t expected) {
  return hash(dirFd, path, expected, kSha256Bit, nullptr);
}

FileHash Hasher::hash(int dirFd, const char* path, int64_t expected,
                      unsigned algorithms, std::string hex[]) {
  FileHash h;
  const int fd = openForReading(dirFd, path);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    h.error = errno;
    if (fd >= 0) close(fd);
    return h;
  }
  // The size the caller found is the size to read: a file that has another
  // now changed since.
  if (S_ISREG(st.st_mode) && expected >= 0 && st.st_size != expected)
    h.error = FileHash::kChanged;
  else
    h = hashOpen(fd, st, algorithms, hex);
  close(fd);
  return h;
}

FileHash Hasher::hashOpen(int fd, const struct stat& st, unsigned algorithms,
                          std::string hex[]) {
  FileHash h;
  // Only a regular file has an end: a FIFO may never be written to, and
  // /dev/zero never runs dry.
  if (!S_ISREG(st.st_mode)) {
    h.error = FileHash::kNotRegular;
    return h;
  }
  if (!prepare(algorithms)) throw std::bad_alloc();
  h = read(fd, st, algorithms);
  if (h.error == 0 || h.error == FileHash::kGrown) finish(&h, algorithms, hex);
  return h;
}

void Hasher::finish(FileHash* h, unsigned algorithms, std::string hex[]) {
  if (hex == nullptr) {
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(contexts_[kSha256], h->digest.bytes, &length) != 1)
      throw std::bad_alloc();
    return;
  }
  static const char kDigits[] = "0123456789abcdef";
  for (int a = 0; a < kDigestAlgorithms; ++a) {
    if (!(algorithms & 1u << a)) continue;
    if (a == kCksum) {
      uint32_t crc = crc_;
      for (uint64_t n = crcLength_; n != 0; n >>= 8) {
        const unsigned char byte = static_cast<unsigned char>(n & 0xff);
        crc = crcUpdate(crc, &byte, 1);
      }
      hex[a] = std::to_string(~crc & 0xffffffffu);
      continue;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(contexts_[a], digest, &length) != 1)
      throw std::bad_alloc();
    hex[a].clear();
    for (unsigned int i = 0; i < length; ++i)
      (hex[a] += kDigits[digest[i] >> 4]) += kDigits[digest[i] & 15];
  }
}

void Hasher::start(unsigned algorithms) {
  // libcrypto fails only when it cannot allocate: the run is out of
  // memory, which is no difference of the file's.
  for (int a = 0; a < kDigestAlgorithms; ++a)
    if ((algorithms & 1u << a) && a != kCksum &&
        EVP_DigestInit_ex(contexts_[a], mds_[a], nullptr) != 1)
      throw std::bad_alloc();
  crc_ = 0;
  crcLength_ = 0;
}

void Hasher::update(const unsigned char* p, size_t n, unsigned algorithms) {
  for (int a = 0; a < kDigestAlgorithms; ++a) {
    if (!(algorithms & 1u << a)) continue;
    if (a == kCksum) {
      crc_ = crcUpdate(crc_, p, n);
      crcLength_ += n;
    } else if (EVP_DigestUpdate(contexts_[a], p, n) != 1) {
      throw std::bad_alloc();
    }
  }
  if (counter_ != nullptr) counter_->fetch_add(n, std::memory_order_relaxed);
}

void Hasher::begin(unsigned algorithms) {
  if (!prepare(algorithms)) throw std::bad_alloc();
  start(algorithms);
  begun_ = algorithms;
}

void Hasher::add(const void* bytes, size_t n) {
  update(static_cast<const unsigned char*>(bytes), n, begun_);
}

void Hasher::end(std::string hex[kDigestAlgorithms]) {
  FileHash h;
  finish(&h, begun_, hex);
}

bool Hasher::mayMap(int fd, const struct stat& st) {
  if (st.st_size < static_cast<off_t>(kMapAtLeast)) return false;
  if (st.st_dev != mapDevice_) {
    mapDevice_ = st.st_dev;
    mapsDevice_ = mapsFileBytes(fd) && watchingBusErrors();
  }
  return mapsDevice_;
}

void Hasher::hashMap(const unsigned char* p, size_t length, unsigned algorithms,
                     FileHash* h) {
  MapWatch watch;
  watch.begin = p;
  watch.end = p + length;
  // The jump restores the signal mask, which the handler's SIGBUS is in (a
  // sanitizer's handler around ours may block more).
  if (sigsetjmp(watch.jump, 1) != 0) {
    tWatch = nullptr;
    h->error = FileHash::kChanged;
    return;
  }
  tWatch = &watch;
  try {
    for (size_t done = 0; done < length;) {
      if (cancel_ != nullptr && cancel_->load(std::memory_order_relaxed)) {
        h->error = FileHash::kCancelled;
        break;
      }
      const size_t n = std::min(kBufferSize, length - done);
      update(p + done, n, algorithms);
      done += n;
    }
  } catch (...) {
    tWatch = nullptr;
    throw;
  }
  tWatch = nullptr;
}

int64_t Hasher::readMapped(int fd, int64_t expected, unsigned algorithms,
                           FileHash* h) {
  int64_t total = 0;
  while (total < expected) {
    const size_t length =
        static_cast<size_t>(std::min<int64_t>(kMapWindow, expected - total));
    void* map =
        mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, total);
    // Out of address space, or a file that will not map: read() does.
    if (map == MAP_FAILED) return total;
    const struct Unmap {
      void* map;
      size_t length;
      ~Unmap() { munmap(map, length); }
    } unmap{map, length};
    hashMap(static_cast<const unsigned char*>(map), length, algorithms, h);
    if (h->error != 0) return total;
    total += length;
  }
  return total;
}

FileHash Hasher::read(int fd, const struct stat& st, unsigned algorithms) {
  FileHash h;
  const int64_t expected = st.st_size;
  start(algorithms);
  int64_t total = 0;
  if (mayMap(fd, st)) {
    total = readMapped(fd, expected, algorithms, &h);
    if (h.error != 0) return h;
    if (total == expected) {
      // A map reads as far as the size it was given: the file must still
      // have it.
      struct stat now;
      if (fstat(fd, &now) != 0) {
        h.error = errno;
      } else if (now.st_size != expected) {
        h.error =
            now.st_size > expected ? FileHash::kGrown : FileHash::kChanged;
      }
      return h;
    }
  }
  // Read-ahead matters only for a file that takes more than one read.
  if (expected - total > static_cast<int64_t>(kBufferSize))
    posix_fadvise(fd, total, 0, POSIX_FADV_SEQUENTIAL);
  for (;;) {
    if (cancel_ != nullptr && cancel_->load(std::memory_order_relaxed)) {
      h.error = FileHash::kCancelled;
      return h;
    }
    const ssize_t n = ::pread(fd, buffer_, kBufferSize, total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      h.error = errno;
      return h;
    }
    if (n == 0) break;
    // Past the size expected the file has changed whatever follows: stop
    // rather than read a file that grows as fast as it is read, the bytes
    // expected hashed.
    const size_t taken = total + n > expected ? expected - total : n;
    total += n;
    update(buffer_, taken, algorithms);
    // A read of a regular file falls short only at its end: one that ends
    // where the file should needs no other read to see it.
    if (total > expected ||
        (total == expected && static_cast<size_t>(n) < kBufferSize))
      break;
  }
  if (total != expected)
    h.error = total > expected ? FileHash::kGrown : FileHash::kChanged;
  return h;
}

bool DigestCache::worth(const struct stat& st) {
  return st.st_nlink > 1 ||
         st.st_size >= static_cast<off_t>(4 * Hasher::kBufferSize);
}

FileHash DigestCache::hash(Hasher& hasher, int fd, const struct stat& st,
                           unsigned algorithms, std::string hex[]) {
  const std::pair<uint64_t, uint64_t> key(st.st_dev, st.st_ino);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    auto it = kept_.find(key);
    if (it == kept_.end()) break;
    Kept& k = it->second;
    if (!k.done) {
      done_.wait(lock);
      continue;
    }
    if ((k.algorithms & algorithms) != algorithms || k.read.error != 0) break;
    for (int a = 0; a < kDigestAlgorithms; ++a)
      if (algorithms & 1u << a) hex[a] = k.hex[a];
    return k.read;
  }
  kept_[key].done = false;
  lock.unlock();
  FileHash read;
  try {
    read = hasher.hashOpen(fd, st, algorithms, hex);
  } catch (...) {
    lock.lock();
    kept_.erase(key);
    done_.notify_all();
    throw;
  }
  lock.lock();
  Kept& k = kept_[key];
  k.done = true;
  k.algorithms = algorithms;
  k.read = read;
  for (int a = 0; a < kDigestAlgorithms; ++a)
    if (algorithms & 1u << a) k.hex[a] = hex[a];
  done_.notify_all();
  return read;
}
