// options.h: the command line.
//
// Without options korlan takes no operands (verify its own installation) or
// two (ROOT LIST), exactly as it always has. Options come before the
// operands and only change what a run reports and how it ends; "--" ends
// them, so a ROOT that begins with "-" follows it.
#ifndef KORLAN_OPTIONS_H_
#define KORLAN_OPTIONS_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "status.h"
#include "treewalk.h"

// Whether probe workers may keep many probes in flight through io_uring.
enum class ProbeRing {
  kWhenSlow,  // once their probes show they wait on the disk
  kNever,     // threads only, as where io_uring is refused
  kAlways,    // from the first probe
};

// How a verification reports and ends. The defaults are the plain report.
struct Options {
  // A completed run that found a failure, or compared no file, ends with
  // status 2 instead of 0.
  bool strict = false;
  // A size line names the expected path instead of the bare file name.
  bool fullPaths = false;
  // No phase lines, progress dots or blank lines: failure lines and the
  // summary only.
  bool quiet = false;
  // One tab-separated record per failed file and a total, nothing else.
  bool tsv = false;
  // The same records as JSON objects, one per line.
  bool json = false;
  // After the walk, report the files under ROOT that no listed path
  // reaches, each a failed comparison.
  bool unlisted = false;
  // Under --sums: every file found with its listed size is also read and
  // its SHA-256 compared with the one `sumsFile` gives.
  bool sums = false;
  // The digests' file; empty with --sums alone, for the caller to choose
  // packing.sha256 beside the list.
  std::string sumsFile;
  // The caller found the digests' file by its name, as it chose it: it
  // must be a regular file (see openList).
  bool sumsFound = false;
  // Verify against an mtree manifest instead of a packing list.
  bool mtree = false;
  // Verify against an archive (--archive): what its entries state besides
  // their type (--keywords, bits of keywords.h; 0 for the default ones),
  // and the leading components its names lose (--strip-components).
  bool archive = false;
  uint32_t keywords = 0;
  unsigned stripComponents = 0;
  // Draw a progress line on standard error when it is a terminal.
  bool progress = false;
  // Every list the run reads must be signed by the key in this file
  // (minisign's or signify's public key); empty: no signature is asked for.
  std::string keyFile;
  // Probe threads besides the walk; -1 lets the run choose from the CPUs it
  // may use. Not settable from the command line: tests compare runs.
  int workers = -1;
  // Not settable from the command line either: tests compare the report
  // with and without io_uring.
  ProbeRing ring = ProbeRing::kWhenSlow;
  // The paths --unlisted and the makers leave out (--exclude,
  // --exclude-from), directories not entered.
  PathPatterns exclude;

  // Verify the packages dpkg's database lists (--dpkg): every difference
  // names its package.
  bool dpkg = false;
  // A conffile's difference counts as a failed comparison too.
  bool strictConffiles = false;
  // Print dpkg --verify's lines instead of the report.
  bool dpkgFormat = false;
};

// What the command line asks for.
struct CommandLine {
  enum Action { kVerify, kMakeList, kMakeSums, kMakeMtree, kMakeLists, kExit };
  Action action = kVerify;
  Options options;
  // Under kMakeMtree and kMakeLists: the keywords to write besides type, as
  // --keywords names them (bits of manifest.h); 0 for the default ones.
  uint32_t keywords = 0;
  // Under kMakeLists: the file naming the paths to list (--files-from).
  std::string filesFrom;
  // Under kMakeLists: the configuration files (--config), whose contents
  // the lists do not state.
  PathPatterns config;
  // Under --dpkg: the tree the packages are installed in ("" for /), and
  // dpkg's administrative directory ("" for ROOT/var/lib/dpkg).
  std::string dpkgRoot, admindir;
  // The operands: none or ROOT LIST to verify, ROOT to make a list or sums;
  // ROOT ARCHIVE to verify, ARCHIVE to make a manifest, under --archive;
  // the packages to verify under --dpkg.
  std::vector<std::string> operands;
  // The status to end with when action is kExit (help, version, errors).
  int status = kStatusOk;
};

// Parses argv with getopt_long. Help and version go to `out`; a bad command
// line gets one line naming the problem on `err` and the usage line on
// `out`, and ends with action kExit and status 255.
CommandLine parseCommandLine(int argc, char** argv, std::ostream& out,
                             std::ostream& err);

// The usage line, printed for a wrong command line.
extern const char kUsageLine[];

#endif  // KORLAN_OPTIONS_H_
