// verify.h: one verification run, from the options to the summary and the
// exit status.
#ifndef KORLAN_VERIFY_H_
#define KORLAN_VERIFY_H_

#include <functional>
#include <istream>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

#include "options.h"
#include "source.h"

// Lists read whole before the run began (--key): the run reads these
// bytes, not the files again. Their signatures are checked meanwhile, on a
// thread of their own, and the run writes nothing before they are found
// good: until then it reads the list without a word.
struct SignedLists {
  std::string_view sums;  // the sums file's bytes, under --sums
  // Whether the signatures are checked yet, without waiting.
  std::function<bool()> checked;
  // Waits for the signatures. True with the list's signer (shown as
  // "[Signed: SIGNER]") in `*signer`; false after the refusal.
  std::function<bool(std::string* signer)> believed;
};

class Report;

// The reading of a list whose signature is being checked: the report and
// the reader's messages are held back until it is found good, then
// written as they would have been, and the run goes on aloud; dropped when
// it is refused. Without `signedLists`, nothing is held.
class SignedReading {
 public:
  SignedReading(Report& report, const SignedLists* signedLists,
                std::ostream& err);
  // Where the reader writes its messages.
  std::ostream& err() { return held_ ? *heldErr_ : err_; }
  // Between entries (the `entries`th read): lets the report go as soon as
  // the signature is known good.
  void poll(size_t entries) {
    if (held_ && entries % 1024 == 0 && signedLists_->checked()) settle();
  }
  // Once the list is read: waits for the signature. False after the
  // refusal; the run must end.
  bool settle();

 private:
  Report& report_;
  const SignedLists* signedLists_;
  std::ostream& err_;
  // On the heap: a plain run starts on the smallest stack.
  std::unique_ptr<std::ostringstream> heldErr_;
  bool held_;
  bool believed_ = true;
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

// Verifies the tree under `rootPath` against the entries of `source` (named
// `name` in messages; its file, which is not the installation's), as
// verify() does with a packing list: the same report, options and
// statuses, entries compared in the source's order, each as it is.
int verifyEntries(const char* rootPath, EntrySource& source, const char* name,
                  std::ostream& out, std::ostream& err,
                  const Options& options = Options(),
                  const SignedLists* signedLists = nullptr);

// The refusal of a run that could not hold the descriptors it needs at
// once (the workers' are counted down to none first).
extern const char kTooFewDescriptors[];

// The end of a completed run: the summary of CountFiles and CountErrors on
// `report`, and the status (see verify); `compared` is how many of the
// comparisons the list or manifest itself asked for.
int endRun(Report& report, std::ostream& err, const Options& options,
           int64_t compared);

// A run that ran out of memory: says how far it got (`entries` read, or
// CountFiles `compared` when `walking`) and gives the status.
int outOfMemory(std::ostream& err, bool walking, size_t entries,
                const char* compared);

#endif  // KORLAN_VERIFY_H_
