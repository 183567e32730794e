// korlan.cpp: the choice of action.
#include "korlan.h"

#include <fcntl.h>
#include <sys/resource.h>
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
#include "archives.h"
#include "digest.h"
#include "directory.h"
#include "dpkg.h"
#include "fdstream.h"
#include "makelist.h"
#include "manifest.h"
#include "memstream.h"
#include "message.h"
#include "options.h"
#include "packlist.h"
#include "report.h"
#include "signature.h"
#include "status.h"
#include "unlisted.h"
#include "verify.h"

namespace {

// The buffer a list is read through as it comes. Below 64 KiB: freeing a
// block of that size has malloc sweep every small block freed before it
// into its lists, a million entries' nodes at the end of a run (2 % of it).
const size_t kListBuffer = 1 << 15;

// Says why a list could not be opened: "can't open LIST", as the list's own
// messages say it, or that a list found by its name is no regular file.
void cannotOpen(const std::string& path, std::ostream& err) {
  if (errno == EINVAL)
    complain(err, quoted(path) + ": not a regular file");
  else
    err << "can't open " << path << std::endl;
}

// The most a list read whole may hold: 4 GiB, or half the address space or
// data the process may have, where that is less. A list past it (endless
// input, /dev/zero) is refused before memory runs out.
size_t largestWholeList() {
  size_t most = size_t{4} << 30;
  for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
    struct rlimit limit;
    if (getrlimit(resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
      most = std::min<size_t>(most, limit.rlim_cur / 2);
  }
  return most;
}

// A file read whole into memory, once: a FIFO too. Where the file's size is
// known the buffer is made to measure, neither cleared first nor grown by
// copying: a list of a million entries, read so before the run, costs
// about two milliseconds. (Huge pages, asked for, saved half a millisecond
// at best, and cost ten where the kernel had to compact memory for them.)
class WholeFile {
 public:
  // False after the message on `err` ("can't open" or "can't read" and the
  // path, as the list's own messages say it, or why it is refused).
  // `found`: the run found the file by its name (see openList).
  bool read(const std::string& path, bool found, std::ostream& err) {
    const int fd = openList(path.c_str(), found);
    if (fd < 0) {
      cannotOpen(path, err);
      return false;
    }
    struct stat st;
    size_t chunk = 1 << 16;
    const size_t most = largestWholeList();
    const auto tooLarge = [&] {
      close(fd);
      complain(err, quoted(path) + ": larger than " + std::to_string(most) +
                        " bytes, the most a list read whole may be");
      return false;
    };
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      if (static_cast<uint64_t>(st.st_size) > most) return tooLarge();
      chunk = static_cast<size_t>(st.st_size) + 1;  // one read, and the end
    }
    for (;;) {
      if (size_ > most) return tooLarge();
      // Twice as much room each time, for a FIFO; one byte past the bound
      // at the most, to tell that it was passed (at once, rather than past
      // the bound's size: the old buffer and the new are held together).
      if (size_ == capacity_) {
        const size_t room = std::max(size_ + chunk, 2 * capacity_);
        grow(room >= most ? most + 1 : room);
      }
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
  // Room for `capacity` bytes, what was read kept.
  void grow(size_t capacity) {
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
// Two lists read together are believed only as one release's: both
// signatures carry a trusted comment, and the same one (minisign -t, which
// names the release); the list's check, or the refusal.
SignatureCheck oneRelease(const SignatureCheck& list,
                          const SignatureCheck& sums,
                          const std::string& listPath) {
  if (list.commented && sums.commented && list.signer == sums.signer)
    return list;
  SignatureCheck refused;
  const SignatureCheck& bare = list.commented ? sums : list;
  refused.message =
      !list.commented || !sums.commented
          ? bare.signatureFile +
                ": no trusted comment, which would bind the two lists to one "
                "release (minisign -t)"
          : sums.signatureFile + ": signed as " + quoted(sums.signer) +
                ", and " + listPath + " as " + quoted(list.signer) +
                ": lists of two releases";
  return refused;
}

__attribute__((noinline)) int verifySigned(
    const std::string& rootPath, const std::string& listPath, bool listFound,
    const Options& options, std::ostream& out, std::ostream& err) {
  PublicKey key;
  std::string why;
  if (!readPublicKey(options.keyFile, &key, &why)) {
    complain(err, why);
    return kStatusError;
  }
  WholeFile list, sums;
  if (!list.read(listPath, listFound, err) ||
      (options.sums && !sums.read(options.sumsFile, options.sumsFound, err)))
    return kStatusError;
  SignedLists signedLists;
  signedLists.sums = sums.bytes();
  const auto check = [&]() {
    SignatureCheck checked = verifyList(listPath, list.bytes(), key);
    if (!checked.ok || !options.sums) return checked;
    const SignatureCheck sumsChecked =
        verifyList(options.sumsFile, signedLists.sums, key);
    if (!sumsChecked.ok) return sumsChecked;
    return oneRelease(checked, sumsChecked, listPath);
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
  if (options.archive) {
    ArchiveSource source(list.bytes(), listPath,
                         {options.keywords, options.stripComponents});
    return verifyEntries(rootPath.c_str(), source, listPath.c_str(), out, err,
                         options, &signedLists);
  }
  MemoryStream in(list.bytes());
  return run(rootPath, in, listPath, options, out, err, &signedLists);
}

// Verifies with the lists read as they come, or, under --key, read whole
// and found signed first.
// `listFound`: the list was found by its name (see openList).
int verifyWith(const std::string& rootPath, const std::string& listPath,
               bool listFound, const Options& options, std::ostream& out,
               std::ostream& err) {
  if (!options.keyFile.empty())
    return verifySigned(rootPath, listPath, listFound, options, out, err);
  const Descriptor fd(openList(listPath.c_str(), listFound));
  if (fd.get() < 0) {
    cannotOpen(listPath, err);
    return kStatusError;
  }
  // An archive is read as it comes, a pipe too, through libarchive's own
  // buffer.
  if (options.archive) {
    ArchiveSource source(fd.get(), listPath,
                         {options.keywords, options.stripComponents});
    return verifyEntries(rootPath.c_str(), source, listPath.c_str(), out, err,
                         options);
  }
  std::unique_ptr<char[]> buffer(new char[kListBuffer]);
  FdInBuf buf(fd.get(), buffer.get(), kListBuffer);
  std::istream list(&buf);
  return run(rootPath, list, listPath, options, out, err, nullptr);
}

// --dpkg: the packages the operands name, or all, as dpkg's database
// lists them, installed below --root ("/" without it).
int verifyDpkg(const CommandLine& line, std::ostream& out, std::ostream& err) {
  std::string root = line.dpkgRoot;  // "" for "/": paths begin "/usr"
  while (!root.empty() && root.back() == '/') root.pop_back();
  const std::string admindir =
      line.admindir.empty() ? root + "/var/lib/dpkg" : line.admindir;
  DpkgSource source(admindir, line.operands);
  return verifyEntries(root.c_str(), source, admindir.c_str(), out, err,
                       line.options);
}

// Verifies ROOT against LIST as the operands give them, or, without
// operands, the installation that holds the program: against what it
// ships at its top unless the options choose. The manifest says most;
// else the packing list and the digests beside it; else the list alone.
// Under --key, the manifest or nothing: never a weaker list because the
// signed one went missing.
int verifyInstallation(const CommandLine& line, const char* command,
                       std::ostream& out, std::ostream& err) {
  if (line.options.dpkg) return verifyDpkg(line, out, err);
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
      options.mtree = !options.keyFile.empty() || shipped(kPackingManifest);
      options.sums = !options.mtree && shipped(kPackingSums);
    }
    listPath =
        belowRoot(rootPath, options.mtree ? kPackingManifest : kPackingList);
  } else {
    rootPath = line.operands[0];
    listPath = line.operands[1];
  }
  // --sums alone: the digests lie beside the list, found by their name.
  if (options.sums && options.sumsFile.empty()) {
    options.sumsFile = besideFile(listPath, kPackingSums);
    options.sumsFound = true;
  }
  return verifyWith(rootPath, listPath, line.operands.empty(), options, out,
                    err);
}

// Writes the three lists at the top of ROOT, of the paths --files-from
// names when it is given.
int makeListsAtTop(const CommandLine& line, std::ostream& err) {
  const char* root = line.operands[0].c_str();
  if (line.filesFrom.empty())
    return makeLists(root, line.keywords, nullptr, err, &line.options.exclude,
                     &line.config);
  std::ifstream only(line.filesFrom, std::ios::in | std::ios::binary);
  if (!only) {
    complain(err, "cannot read " + quoted(line.filesFrom));
    return kStatusError;
  }
  return makeLists(root, line.keywords, &only, err, &line.options.exclude,
                   &line.config);
}

// --make-mtree --archive: the manifest of what ARCHIVE holds, its bytes
// read as they come, nothing unpacked.
int makeArchiveManifest(const CommandLine& line, std::ostream& out,
                        std::ostream& err) {
  const std::string& path = line.operands[0];
  const Descriptor fd(openList(path.c_str(), false));
  if (fd.get() < 0) {
    cannotOpen(path, err);
    return kStatusError;
  }
  ArchiveSource source(fd.get(), path,
                       {line.keywords, line.options.stripComponents});
  return makeSourceManifest(source, out, err);
}

// Standard error as it goes, its last line kept: the refusal of a run, for
// the record --tsv and --json end with.
class LastLine : public std::streambuf {
 public:
  explicit LastLine(std::streambuf* to) : to_(to) {}
  std::string_view line() const {
    std::string_view s = done_;
    if (s.compare(0, 8, "korlan: ") == 0) s.remove_prefix(8);
    return s;
  }

 protected:
  int overflow(int c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return 0;
    const char ch = traits_type::to_char_type(c);
    if (ch == '\n') {
      done_.swap(line_);
      line_.clear();
    } else {
      line_ += ch;
    }
    return to_->sputc(ch);
  }
  int sync() override { return to_->pubsync(); }

 private:
  std::streambuf* to_;
  std::string line_, done_;
};

}  // namespace

int runKorlan(int argc, char** argv, std::ostream& out, std::ostream& err) {
  const CommandLine line = parseCommandLine(argc, argv, out, err);
  switch (line.action) {
    case CommandLine::kExit: return line.status;
    case CommandLine::kMakeList:
      return makeList(line.operands[0].c_str(), out, err, STDOUT_FILENO,
                      &line.options.exclude);
    case CommandLine::kMakeSums:
      return makeSums(line.operands[0].c_str(), out, err, STDOUT_FILENO,
                      &line.options.exclude);
    case CommandLine::kMakeMtree:
      if (line.options.archive) return makeArchiveManifest(line, out, err);
      return makeManifest(line.operands[0].c_str(), line.keywords, out, err,
                          STDOUT_FILENO, &line.options.exclude);
    case CommandLine::kMakeLists: return makeListsAtTop(line, err);
    case CommandLine::kVerify: break;
  }
  if (!line.options.json && !line.options.tsv)
    return verifyInstallation(line, argv[0], out, err);
  LastLine said(err.rdbuf());
  std::ostream told(&said);
  const int status = verifyInstallation(line, argv[0], out, told);
  if (status == kStatusError) writeRefusal(out, line.options, said.line());
  return status;
}
