// verify.h: one verification run, from the options to the summary and the
// exit status.
#ifndef KORLAN_VERIFY_H_
#define KORLAN_VERIFY_H_

#include <istream>
#include <ostream>
#include <string>

#include "options.h"

// Lists read whole and found signed before the run began (--key): the run
// reads these bytes, not the files again.
struct SignedLists {
  std::string signer;  // of the packing list: shown as "[Signed: SIGNER]"
  std::string sums;    // the sums file's bytes, under --sums
};

// Verifies the tree under `rootPath` against the packing list read from
// `list` (named `listPath` in messages): reads the list, walks its tree,
// writes the report to `out` and the errors that stop the run to `err`.
// Returns the process status: 0 after a completed run, whatever it found
// (with options.strict, 2 when a comparison failed or none was made); 255
// when the list or the sums file (options.sumsFile, under options.sums) is
// malformed or cannot be read, or memory runs out. With `signedLists`,
// `list` holds the verified bytes of the list, and the sums are read from
// signedLists->sums.
int verify(const char* rootPath, std::istream& list, const char* listPath,
           std::ostream& out, std::ostream& err,
           const Options& options = Options(),
           const SignedLists* signedLists = nullptr);

class Report;

// The end of a completed run: the summary of CountFiles and CountErrors on
// `report`, and the status (see verify); `compared` is how many of the
// comparisons the list or manifest itself asked for.
int endRun(Report& report, std::ostream& err, const Options& options,
           int64_t compared);

#endif  // KORLAN_VERIFY_H_
