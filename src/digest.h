// digest.h: the SHA-256 of a file on disk, through OpenSSL's libcrypto.
//
// A verification and --make-sums read every byte of the files they check,
// so the reading is what a run costs: a file larger than the buffer is
// mapped, its pages hashed where the page cache holds them rather than
// copied (the copy was a tenth of --dpkg's CPU time, a quarter of --sums'
// on large files), a smaller one read into one buffer per reader, reused
// for every file. A file shrunk under its map faults with SIGBUS; the
// reader catches it and reports the file changed while read.
#ifndef KORLAN_DIGEST_H_
#define KORLAN_DIGEST_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

struct stat;

struct evp_md_ctx_st;
struct evp_md_st;

// The digests a manifest may give a file, by the algorithms' own names; and
// the CRC of POSIX cksum(1), which is no digest, read in the same pass.
enum class DigestAlgorithm : uint8_t {
  kMd5,
  kSha1,
  kSha256,
  kSha384,
  kSha512,
  kRmd160,
  kSha512256,
  kCksum,
};
const int kDigestAlgorithms = 8;
// The bit of `a` in a set of algorithms.
inline unsigned algorithmBit(DigestAlgorithm a) {
  return 1u << static_cast<int>(a);
}

// A SHA-256 digest.
struct Sha256 {
  static const int kSize = 32;
  unsigned char bytes[kSize];

  bool operator==(const Sha256& o) const;
  bool operator!=(const Sha256& o) const { return !(*this == o); }
  // As 64 lowercase hex digits, the form sha256sum writes.
  std::string hex() const;
  // Reads exactly 64 hex digits, either case; false on anything else.
  static bool fromHex(std::string_view text, Sha256* digest);
};

// How reading a file went. `error` is 0 when `digest` holds the file's
// digest; otherwise an errno, or one of the two failures of our own below.
struct FileHash {
  // Opened, but not a regular file: a FIFO, a device, a directory.
  static const int kNotRegular = -1;
  // The bytes read differ from the size expected: the file changed.
  static const int kChanged = -2;
  // The run ended before the file was read whole.
  static const int kCancelled = -3;
  // The file held more bytes than expected: it grows as it is read. The
  // digests are of its first bytes, as many as expected (a maker may list
  // it so); to a verification it changed while read.
  static const int kGrown = -4;

  int error = 0;
  Sha256 digest;

  // The reason in words: the system's message, "not a regular file" or
  // "changed while read" (kChanged and kGrown alike).
  const char* reason() const;
};

// Sets libcrypto up on the calling thread, SHA-256 fetched once: called
// before any other thread uses it. Left to the first threads that hash, a
// set-up that runs out of memory half way leaves a lock unmade, and the
// next thread to fetch an algorithm dies on it. Throws std::bad_alloc
// when it fails.
void prepareCrypto();

// Hashes files, one at a time, through one buffer of its own: one Hasher
// per thread. libcrypto fails only when it cannot allocate, and a hash
// then throws std::bad_alloc: the run is out of memory, which is no
// difference of the file's.
class Hasher {
 public:
  // `counter`, when given, is advanced by every chunk of bytes hashed, for
  // a progress display; it may be shared by several hashers. When `cancel`
  // is given and becomes true, a file being read is given up (kCancelled):
  // a run that ends early does not wait for a large file to be read.
  explicit Hasher(std::atomic<int64_t>* counter = nullptr,
                  const std::atomic<bool>* cancel = nullptr);
  ~Hasher();
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  // Reads the file at `path` (relative paths from `dirFd`, which may be
  // AT_FDCWD) and hashes it. `expected` is the size the caller found for
  // it; reading stops past it, so a file that grows for ever ends the
  // read, and any other count of bytes is kChanged. -1 expects the size
  // that fstat gives the opened file.
  FileHash hash(int dirFd, const char* path, int64_t expected);
  // The same, read once for every algorithm of `algorithms` (a set of
  // algorithmBit), each digest left in `hex` (lowercase; the cksum CRC in
  // decimal, as cksum(1) prints it) at the index of its algorithm. The
  // returned digest is left empty.
  FileHash hash(int dirFd, const char* path, int64_t expected,
                unsigned algorithms, std::string hex[kDigestAlgorithms]);

  // The file open as `fd`, whose fstat is `st`, read and hashed with each
  // algorithm of `algorithms` as above (SHA-256 alone, into the returned
  // digest, when `hex` is null): the file judged is the file read. Only a
  // regular file is read (else kNotRegular), and no further than its size.
  FileHash hashOpen(int fd, const struct stat& st, unsigned algorithms,
                    std::string hex[kDigestAlgorithms] = nullptr);

  // Bytes that come from elsewhere than a file of this system (an entry
  // of an archive, as it is read): begin() with the algorithms, add() each
  // piece in turn, and end() leaves each digest in `hex` as hash() does.
  void begin(unsigned algorithms);
  void add(const void* bytes, size_t n);
  void end(std::string hex[kDigestAlgorithms]);

  // The read buffer's size: what a hasher costs in memory; and the map a
  // larger file is read through at a time.
  static constexpr size_t kBufferSize = 256 << 10;
  static constexpr size_t kMapWindow = 4 << 20;

 private:
  // Starts the digests of `algorithms`, and hashes `n` bytes at `p` into
  // them.
  void start(unsigned algorithms);
  void update(const unsigned char* p, size_t n, unsigned algorithms);
  // Reads the open file `fd`, whose fstat is `st`, into the contexts of
  // `algorithms`.
  FileHash read(int fd, const struct stat& st, unsigned algorithms);
  // Whether the file open as `fd` is read through maps: one large enough,
  // on a file system whose maps are its files' bytes (asked once for each
  // device in turn).
  bool mayMap(int fd, const struct stat& st);
  // Hashes the first `expected` bytes of `fd` through maps of kMapWindow
  // bytes; returns how many were hashed, fewer where a map failed (read()
  // goes on from there) or `h->error` was set.
  int64_t readMapped(int fd, int64_t expected, unsigned algorithms,
                     FileHash* h);
  // Hashes the `length` bytes mapped at `p`; `h->error` is kChanged where
  // the file shrank under the map, kCancelled where the run ended.
  void hashMap(const unsigned char* p, size_t length, unsigned algorithms,
               FileHash* h);
  static constexpr size_t kMapAtLeast = kBufferSize;
  uint64_t mapDevice_ = ~uint64_t{0};
  bool mapsDevice_ = false;
  // Finishes the digests of a file read whole: SHA-256 alone into
  // `h->digest` when `hex` is null.
  void finish(FileHash* h, unsigned algorithms, std::string hex[]);
  // The cksum CRC of the bytes read so far, and their count.
  uint32_t crc_ = 0;
  uint64_t crcLength_ = 0;
  // What begin() started.
  unsigned begun_ = 0;
  // The algorithms fetched, and a context for each: once, on first use.
  bool prepare(unsigned algorithms);
  void release();

  evp_md_ctx_st* contexts_[kDigestAlgorithms] = {};
  // Fetched once: OpenSSL 3 otherwise looks an algorithm up, under a lock
  // all hashers share, for every file.
  evp_md_st* mds_[kDigestAlgorithms] = {};
  unsigned char* buffer_;
  std::atomic<int64_t>* counter_;
  const std::atomic<bool>* cancel_;
};

// The digests of the files a run read, by their identity, so that a file
// reached by several names (hard links of it, links to it) is read once,
// its digests taken for each name. Shared by the threads that hash; only
// files that may well be reached again are kept (see worth), so that a
// tree of a million files costs nothing more.
class DigestCache {
 public:
  // A file of several hard links, or one large enough that reading it again
  // costs more than keeping its digests (links to a library).
  static bool worth(const struct stat& st);

  // The digests of `algorithms` of the file open as `fd`, whose fstat is
  // `st`, into `hex` (see Hasher::hash): read through `hasher` unless they
  // are kept, or waited for while another thread reads that file.
  FileHash hash(Hasher& hasher, int fd, const struct stat& st,
                unsigned algorithms, std::string hex[kDigestAlgorithms]);

 private:
  struct Kept {
    bool done = false;
    unsigned algorithms = 0;
    FileHash read;
    std::string hex[kDigestAlgorithms];
  };
  std::mutex mutex_;
  std::condition_variable done_;
  std::map<std::pair<uint64_t, uint64_t>, Kept> kept_;  // (device, inode)
};

// Opens `path` for reading as a verifier must: never as the controlling
// terminal, never waiting on a FIFO or a lock, closed on exec, and without
// changing the access time where the system allows that (O_NOATIME needs
// the file's owner or privilege; without it the file is opened anyway).
// Without `follow`, a link at the end of `path` is not followed (ELOOP).
int openForReading(int dirFd, const char* path, bool follow = true);

#endif  // KORLAN_DIGEST_H_
