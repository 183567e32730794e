// korlan.cpp: the choice of action.
#include "korlan.h"

#include <unistd.h>

#include <fstream>
#include <string>

#include "FindYourself.h"
#include "makelist.h"
#include "options.h"
#include "packlist.h"
#include "status.h"
#include "unlisted.h"
#include "verify.h"

namespace {

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
