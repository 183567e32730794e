// report.h: what a verification writes on standard output.
//
// Every failure a run finds (the walk, the digests, the unlisted files)
// becomes one Difference, and the report writes it in the style the
// options choose: the plain report korlan has always printed (phase lines,
// a flushed dot per entry read and per tenth file walked, a line for each
// failure, each starting and ending with an end-of-line, and the summary);
// the quiet one (failure lines and the summary); one tab-separated record
// per difference (--tsv); one JSON object per line (--json); or, of dpkg's
// database, the lines of dpkg --verify (--dpkg-format). The records
// of --tsv and --json begin with one of the run itself, and a refused run
// writes one of its refusal.
#ifndef KORLAN_REPORT_H_
#define KORLAN_REPORT_H_

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "options.h"

// The kinds of difference. A new kind is an enumerator here and its texts
// in report.cpp; no style changes.
enum class DiffKind : uint8_t {
  kMissing,     // no file at the path: "File Not Found: PATH"
  kSize,        // another size: "NAME:\texpected size of X; actual Y"
  kUnreadable,  // cannot be read whole, or looked at: "Cannot Read: PATH"
  kNoChecksum,  // no digest names it: "No Checksum: PATH"
  kChecksum,    // another digest: "Checksum Mismatch: PATH"
  kUnlisted,    // no listed path reaches it: "Unlisted: PATH"
  // What a manifest says besides: "KEYWORD Mismatch: PATH: expected X;
  // actual Y", the record named by the keyword.
  kType,
  kMode,
  kUid,
  kGid,
  kUname,
  kGname,
  kLink,
  kTime,
  kNlink,
  kFlags,
  kXattr,  // one extended attribute, NAME=TEXT; empty where there is none
  kDevice,
  // A keyword no check here can compare: "Not Checked: PATH: KEYWORD=VALUE:
  // WHY" (the keyword as the list gives it, in `expected`).
  kNotChecked,
  // A conffile of dpkg's with other contents: "Conffile Changed: PATH";
  // none there: "Conffile Not Found: PATH".
  kConffile,
  kConffileMissing,
};
constexpr int kDiffKinds = static_cast<int>(DiffKind::kConffileMissing) + 1;

// One difference between what a list says and what the disk holds.
struct Difference {
  DiffKind kind;
  std::string_view path;  // where, as the run forms it
  std::string expected;   // what the list says; empty when it says nothing
  std::string actual;     // what the disk holds; empty when nothing was read
  std::string reason;     // why the disk could not tell (strerror ...)
  // The path was formed from the packing list and ROOT: the plain and quiet
  // styles write it as it stands, as they always have. Any other path (a
  // name found on the disk, a path that only a sums file names) is written
  // with its control bytes escaped, so that no name can forge a line.
  bool listed = false;
  // The package (or other group) the source names the entry by; empty for
  // none.
  std::string_view package = {};
  // The entry is a conffile, whatever the kind of the difference.
  bool conffile = false;
};

// What a run is of, for the record that begins --tsv and --json: the
// program's version, ROOT, the list (or other source) and its kind, the
// sums file under --sums; the host and the start time are the report's.
struct RunRecord {
  std::string_view root, list, source, sums;
};

struct RunFacts;

class Report {
 public:
  Report(std::ostream& out, const Options& options,
         const RunRecord& record = RunRecord());
  ~Report();
  Report(const Report&) = delete;
  Report& operator=(const Report&) = delete;

  // Before the first entry is read.
  void startReading();
  // Until release(), nothing is written: the reading line and the dots
  // wait (a list whose signature is still being checked).
  void hold() { held_ = true; }
  // Writes what waited, the list's signer after the reading line (a
  // trusted comment, or a key id; in every style, the run record's in
  // --tsv and --json), and goes on as the run goes; the dots held back
  // follow with the next ones, or at catchUp().
  void release(std::string_view signer);
  // Writes the dots still held back.
  void catchUp() {
    for (; heldDots_ > 0; --heldDots_) dot();
  }
  // An entry has been read and accepted.
  void entryRead() {
    if (dots_) dot();
    // Dots held back are caught up with one more a dot, not all at once:
    // the reader, which writes them, keeps the workers fed meanwhile.
    if (heldDots_ > 0 && !held_) {
      --heldDots_;
      dot();
    }
  }
  // The list has been read whole; the walk begins.
  void startWalking();
  // The walk has reached its `count`th file (from 1), before probing it.
  void fileWalked(int64_t count) {
    if (dots_ && count % 10 == 0) dot();
  }
  // After the walk, under --unlisted: the tree on disk is looked at next.
  void startUnlisted();
  void difference(const Difference& d);
  // After the comparisons, before the summary: `failed` of the `compared`
  // entries of package `name` failed (the plain and quiet styles' line).
  void package(std::string_view name, int64_t failed, int64_t compared);
  // After everything.
  void summary(int64_t files, int64_t errors);
  // Standard output could not be written: nothing more will reach anyone,
  // and the run may as well end.
  bool broken() const { return !out_; }

  // One per style: how phases, differences and the summary are written.
  class Style;

 private:
  void dot();

  std::ostream& out_;
  const bool dots_;  // the plain style writes progress dots
  std::unique_ptr<RunFacts> run_;
  bool held_ = false;
  int64_t heldDots_ = 0;
  std::unique_ptr<Style> style_;
};

// Under --tsv and --json, the record of a run refused with `message` (the
// line said on standard error, without "korlan: "): what a script reads
// on standard output, where it would else find nothing.
void writeRefusal(std::ostream& out, const Options& options,
                  std::string_view message);

#endif  // KORLAN_REPORT_H_
