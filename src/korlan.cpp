// korlan.cpp: the choice of action.
#include "korlan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <system_error>

#include "FindYourself.h"
#include "digest.h"
#include "directory.h"
#include "makelist.h"
#include "manifest.h"
#include "memstream.h"
#include "message.h"
#include "options.h"
#include "packlist.h"
#include "signature.h"
#include "status.h"
#include "unlisted.h"
#include "verify.h"

namespace {

// A file read whole into memory, once: a FIFO too. Where the file's size is
// known the buffer is made to measure, neither cleared first nor grown by
// copying: a list of a million entries, read so before the run, costs
// about two milliseconds. (Huge pages, asked for, saved half a millisecond
// at best, and cost ten where the kernel had to compact memory for them.)
class WholeFile {
 public:
  // False after the message on `err` ("can't open" or "can't read" and the
  // path, as the list's own messages say it).
  bool read(const std::string& path, std::ostream& err) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      err << "can't open " << path << std::endl;
      return false;
    }
    struct stat st;
    size_t chunk = 1 << 16;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
      chunk = static_cast<size_t>(st.st_size) + 1;  // one read, and the end
    for (;;) {
      if (size_ == capacity_) grow(size_ + chunk);
      const ssize_t n = ::read(fd, data_.get() + size_, capacity_ - size_);
      if (n < 0 && errno == EINTR) continue;
      if (n == 0) break;
      if (n < 0) {
        close(fd);
        err << "can't read " << path << std::endl;
        return false;
      }
      size_ += n;
      chunk = 1 << 16;
    }
    close(fd);
    return true;
  }
  std::string_view bytes() const { return {data_.get(), size_}; }

 private:
  // Room for `size` bytes at least, what was read kept.
  void grow(size_t size) {
    const size_t capacity = std::max(size, 2 * capacity_);
    std::unique_ptr<char[]> bigger(new char[capacity]);
    if (size_ > 0) memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;
  size_t size_ = 0, capacity_ = 0;
};

// The run of a packing list or a manifest, on the list read from `in`.
int run(const std::string& rootPath, std::istream& in,
        const std::string& listPath, const Options& options, std::ostream& out,
        std::ostream& err, const SignedLists* signedLists) {
  if (!options.mtree)
    return verify(rootPath.c_str(), in, listPath.c_str(), out, err, options,
                  signedLists);
  ManifestSource source(in, listPath);
  return verifyEntries(rootPath.c_str(), source, listPath.c_str(), out, err,
                       options, signedLists);
}

// Under --key: the key, then each list the run reads, read whole; the run
// reads those bytes while a thread checks their signatures, and writes
// nothing before they are found good (see SignedLists). A function of its
// own, and not inlined: its frame is no part of the plain run's, which must
// start on the smallest stack.
__attribute__((noinline)) int verifySigned(const std::string& rootPath,
                                           const std::string& listPath,
                                           const Options& options,
                                           std::ostream& out,
                                           std::ostream& err) {
  PublicKey key;
  std::string why;
  if (!readPublicKey(options.keyFile, &key, &why)) {
    complain(err, why);
    return kStatusError;
  }
  WholeFile list, sums;
  if (!list.read(listPath, err) ||
      (options.sums && !sums.read(options.sumsFile, err)))
    return kStatusError;
  SignedLists signedLists;
  signedLists.sums = sums.bytes();
  const auto check = [&]() {
    SignatureCheck checked = verifyList(listPath, list.bytes(), key);
    if (checked.ok && options.sums) {
      const SignatureCheck sumsChecked =
          verifyList(options.sumsFile, signedLists.sums, key);
      if (!sumsChecked.ok) return sumsChecked;
    }
    return checked;
  };
  prepareCrypto();
  std::future<SignatureCheck> checked;
  try {
    checked = std::async(std::launch::async, check);
  } catch (const std::system_error&) {
    checked = std::async(std::launch::deferred, check);  // no thread: here
  }
  signedLists.checked = [&checked]() {
    return checked.wait_for(std::chrono::seconds(0)) ==
           std::future_status::ready;
  };
  signedLists.believed = [&](std::string* signer) {
    const SignatureCheck result = checked.get();
    if (!result.ok) complain(err, result.message);
    *signer = result.signer;
    return result.ok;
  };
  MemoryStream in(list.bytes());
  return run(rootPath, in, listPath, options, out, err, &signedLists);
}

// Verifies with the lists read as they come, or, under --key, read whole
// and found signed first.
int verifyWith(const std::string& rootPath, const std::string& listPath,
               const Options& options, std::ostream& out, std::ostream& err) {
  if (!options.keyFile.empty())
    return verifySigned(rootPath, listPath, options, out, err);
  std::ifstream list(listPath, std::ios::in | std::ios::binary);
  if (!list) {
    err << "can't open " << listPath << std::endl;
    return kStatusError;
  }
  return run(rootPath, list, listPath, options, out, err, nullptr);
}

// Verifies ROOT against LIST as the operands give them, or, without
// operands, the installation that holds the program: against what it
// ships at its top unless the options choose. The manifest says most;
// else the packing list and the digests beside it; else the list alone.
int verifyInstallation(const CommandLine& line, const char* command,
                       std::ostream& out, std::ostream& err) {
  Options options = line.options;
  std::string rootPath, listPath;
  if (line.operands.empty()) {
    // The program file sits three levels below the top of its installation.
    // The ".." components stay in every path the report shows: the file
    // system resolves them, through whatever links the run directory holds.
    initFindRunDirectory(command);
    rootPath = std::string(getRunDirectory()) + "/../../..";
    const auto shipped = [&rootPath](const char* name) {
      return access(belowRoot(rootPath, name).c_str(), F_OK) == 0;
    };
    if (!options.sums && !options.mtree) {
      options.mtree = shipped(kPackingManifest);
      options.sums = !options.mtree && shipped(kPackingSums);
    }
    listPath =
        belowRoot(rootPath, options.mtree ? kPackingManifest : kPackingList);
  } else {
    rootPath = line.operands[0];
    listPath = line.operands[1];
  }
  // --sums alone: the digests lie beside the list.
  if (options.sums && options.sumsFile.empty())
    options.sumsFile = besideFile(listPath, kPackingSums);
  return verifyWith(rootPath, listPath, options, out, err);
}

// Writes the three lists at the top of ROOT, of the paths --files-from
// names when it is given.
int makeListsAtTop(const CommandLine& line, std::ostream& err) {
  const char* root = line.operands[0].c_str();
  if (line.filesFrom.empty())
    return makeLists(root, line.keywords, nullptr, err);
  std::ifstream only(line.filesFrom, std::ios::in | std::ios::binary);
  if (!only) {
    complain(err, "cannot read " + quoted(line.filesFrom));
    return kStatusError;
  }
  return makeLists(root, line.keywords, &only, err);
}

}  // namespace

int runKorlan(int argc, char** argv, std::ostream& out, std::ostream& err) {
  const CommandLine line = parseCommandLine(argc, argv, out, err);
  switch (line.action) {
    case CommandLine::kExit: return line.status;
    case CommandLine::kMakeList:
      return makeList(line.operands[0].c_str(), out, err, STDOUT_FILENO);
    case CommandLine::kMakeSums:
      return makeSums(line.operands[0].c_str(), out, err, STDOUT_FILENO);
    case CommandLine::kMakeMtree:
      return makeManifest(line.operands[0].c_str(), line.keywords, out, err,
                          STDOUT_FILENO);
    case CommandLine::kMakeLists: return makeListsAtTop(line, err);
    case CommandLine::kVerify: break;
  }
  return verifyInstallation(line, argv[0], out, err);
}
