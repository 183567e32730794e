// report.h: what a verification writes on standard output.
//
// The plain report is the one korlan has always printed: phase lines, a
// flushed dot per entry read and per tenth file walked, a line for each
// failure, each starting and ending with an end-of-line, and the summary.
// The options for scripts change only what this module writes.
#ifndef KORLAN_REPORT_H_
#define KORLAN_REPORT_H_

#include <cstdint>
#include <ostream>
#include <string_view>

#include "options.h"

class Report {
 public:
  Report(std::ostream& out, const Options& options)
      : out_(out), options_(options) {}

  // Before the first entry is read.
  void startReading();
  // An entry has been read and accepted.
  void entryRead();
  // The list has been read whole; the walk begins.
  void startWalking();
  // The walk has reached its `count`th file (from 1), before probing it.
  void fileWalked(int64_t count);
  // The file at `path` could not be probed; `error` is the errno.
  void missing(std::string_view path, int64_t listed, int error);
  // The file named `name` at `path` has `actual` bytes, not `listed`.
  void wrongSize(std::string_view name, std::string_view path, int64_t listed,
                 int64_t actual);
  // After the walk, under --unlisted: the tree on disk is looked at next.
  void startUnlisted();
  // The file at `path`, of `size` bytes, is reached by no listed path.
  void unlisted(std::string_view path, int64_t size);
  // The file at `path` could not be read whole (under --sums), or whether
  // anything at `path` is unlisted cannot be told (under --unlisted), for
  // `reason`. `listed` is the listed size, or -1 for a path no list names.
  void unreadable(std::string_view path, int64_t listed,
                  std::string_view reason);
  // Under --sums: no digest names the file at `path`.
  void noChecksum(std::string_view path);
  // Under --sums: the file at `path` has the digest `actual`, not
  // `expected` (both in lowercase hex).
  void checksumMismatch(std::string_view path, std::string_view expected,
                        std::string_view actual);
  // After the walk.
  void summary(int64_t files, int64_t errors);

 private:
  bool plain() const { return !options_.quiet && !options_.tsv; }
  // A failure line of the plain and quiet reports, "WHAT: PATH".
  void failureLine(const char* what, std::string_view path);
  // A path in a tab-separated record: tab, newline and backslash escaped.
  void writeField(std::string_view text);

  std::ostream& out_;
  const Options& options_;
};

#endif  // KORLAN_REPORT_H_
