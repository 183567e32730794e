// korlan.cpp: the choice of action.
#include "korlan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "FindYourself.h"
#include "makelist.h"
#include "memstream.h"
#include "message.h"
#include "options.h"
#include "packlist.h"
#include "signature.h"
#include "status.h"
#include "unlisted.h"
#include "verify.h"

namespace {

// Reads the file at `path` whole into `bytes`, once: a FIFO too. False
// after the message on `err` ("can't open" or "can't read" and the path,
// as the list's own messages say it).
bool readWhole(const std::string& path, std::string* bytes, std::ostream& err) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    err << "can't open " << path << std::endl;
    return false;
  }
  struct stat st;
  size_t chunk = 1 << 16;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    chunk = static_cast<size_t>(st.st_size) + 1;  // one read, and the end
  bytes->clear();
  for (;;) {
    const size_t used = bytes->size();
    bytes->resize(used + chunk);
    const ssize_t n = read(fd, &(*bytes)[used], chunk);
    if (n < 0 && errno == EINTR) {
      bytes->resize(used);
      continue;
    }
    bytes->resize(used + (n > 0 ? n : 0));
    if (n == 0) break;
    if (n < 0) {
      close(fd);
      err << "can't read " << path << std::endl;
      return false;
    }
    chunk = 1 << 16;
  }
  close(fd);
  return true;
}

// Under --key: the key, then each list the run reads, read whole and
// checked against its signature before anything is written; the run then
// reads those bytes.
int verifySigned(const std::string& rootPath, const std::string& listPath,
                 const Options& options, std::ostream& out, std::ostream& err) {
  PublicKey key;
  std::string why, listBytes;
  if (!readPublicKey(options.keyFile, &key, &why)) {
    complain(err, why);
    return kStatusError;
  }
  if (!readWhole(listPath, &listBytes, err)) return kStatusError;
  const SignatureCheck list = verifyList(listPath, listBytes, key);
  if (!list.ok) {
    complain(err, list.message);
    return kStatusError;
  }
  SignedLists signedLists{list.signer, ""};
  if (options.sums) {
    if (!readWhole(options.sumsFile, &signedLists.sums, err))
      return kStatusError;
    const SignatureCheck sums =
        verifyList(options.sumsFile, signedLists.sums, key);
    if (!sums.ok) {
      complain(err, sums.message);
      return kStatusError;
    }
  }
  MemoryStream in(listBytes);
  return verify(rootPath.c_str(), in, listPath.c_str(), out, err, options,
                &signedLists);
}

// Verifies ROOT against LIST as the operands give them, or, without
// operands, the installation that holds the program.
int verifyInstallation(const CommandLine& line, const char* command,
                       std::ostream& out, std::ostream& err) {
  std::string rootPath, listPath;
  if (line.operands.empty()) {
    // The program file sits three levels below the top of its installation.
    // The ".." components stay in every path the report shows: the file
    // system resolves them, through whatever links the run directory holds.
    initFindRunDirectory(command);
    rootPath = std::string(getRunDirectory()) + "/../../..";
    listPath = rootPath + "/" + kPackingList;
  } else {
    rootPath = line.operands[0];
    listPath = line.operands[1];
  }
  // --sums alone: the digests lie beside the list.
  Options options = line.options;
  if (options.sums && options.sumsFile.empty())
    options.sumsFile = besideFile(listPath, kPackingSums);
  if (!options.keyFile.empty())
    return verifySigned(rootPath, listPath, options, out, err);
  std::ifstream list(listPath, std::ios::in | std::ios::binary);
  if (!list) {
    err << "can't open " << listPath << std::endl;
    return kStatusError;
  }
  return verify(rootPath.c_str(), list, listPath.c_str(), out, err, options);
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
    case CommandLine::kVerify: break;
  }
  return verifyInstallation(line, argv[0], out, err);
}
