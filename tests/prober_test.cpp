// The prober: a run with worker threads must report exactly what a run
// whose walk probes every file itself reports.
#include "prober.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>

#include "directory.h"
#include "makelist.h"
#include "test_util.h"
#include "verify.h"

namespace {

using testutil::Result;

Result verifyWith(const std::string& root, const std::string& list, int workers,
                  const Options& base) {
  Options options = base;
  options.workers = workers;
  std::istringstream in(list);
  std::ostringstream out, err;
  const int status = verify(root.c_str(), in, "list", out, err, options);
  return {out.str(), err.str(), status};
}

// Random trees: files of the right size, of another size, missing, listed
// twice, directories listed as files, files below a missing directory and
// below a file, odd paths; entries in random order, so that the walk's order differs
// from the reading order the workers follow.
TEST(Prober, WorkersReportExactlyWhatTheWalkAloneReports) {
  std::mt19937 random(20261207);
  for (int round = 0; round < 12; ++round) {
    testutil::TempDir tmp;
    Options tsv, sums, sumsTsv, unlisted;
    tsv.tsv = tsv.strict = sumsTsv.tsv = true;
    sums.sums = sumsTsv.sums = unlisted.sums = true;
    sums.sumsFile = sumsTsv.sumsFile = unlisted.sumsFile = tmp / "sums";
    unlisted.unlisted = true;  // the identities the workers keep, beside digests
    const Options styles[] = {Options(), tsv, sums, sumsTsv, unlisted};
    std::vector<std::string> entries;
    const int dirs = 1 + random() % 30;
    const int files = random() % 600;
    for (int i = 0; i < files; ++i) {
      const std::string dir =
          "d" + std::to_string(random() % dirs) + "/e" + std::to_string(random() % 3);
      const std::string rel = dir + "/f" + std::to_string(i);
      const long size = random() % 50;
      switch (random() % 6) {
        case 0:  // missing
          break;
        case 1:  // another size
          testutil::makeFile(tmp / rel, size + 1);
          break;
        case 2:  // listed twice, once wrong
          testutil::makeFile(tmp / rel, size);
          entries.push_back(std::to_string(size + 2) + " ./" + rel);
          break;
        case 3:  // a directory listed as a file
          testutil::makeFile(tmp / (rel + "/inside"), 0);
          entries.push_back("0 ./" + rel);
          continue;
        case 4:  // below a file
          testutil::makeFile(tmp / rel, size);
          entries.push_back(std::to_string(size) + " ./" + rel + "/under");
          break;
        default: testutil::makeFile(tmp / rel, size);
      }
      entries.push_back(std::to_string(size) + " ./" + rel);
    }
    // Paths the workers must form exactly as the walk does: a "." and an
    // empty component below the top, a file of the top node.
    testutil::makeFile(tmp / "a/b/f", 3);
    testutil::makeFile(tmp / "top", 1);
    for (const char* odd : {"3 ./a/./b/f", "3 ./a//b/f", "1 ./top", "2 ./top"})
      entries.push_back(odd);
    std::shuffle(entries.begin(), entries.end(), random);
    std::string list;
    for (const std::string& e : entries) list += e + "\n";

    // Digests of the tree as it is, every third one dropped and every fifth
    // one of the rest made wrong: files that match, that have no digest and
    // whose digest differs, among all the failures above.
    std::ostringstream made, madeErr;
    makeSums(tmp.path().c_str(), made, madeErr);
    std::istringstream lines(made.str());
    std::string line, digests;
    for (int n = 0; std::getline(lines, line); ++n)
      if (n % 3 != 0) digests += (n % 5 == 0 ? "0" + line.substr(1) : line) + "\n";
    testutil::writeText(tmp / "sums", digests);

    for (const Options& style : styles) {
      const Result alone = verifyWith(tmp.path(), list, 0, style);
      for (int workers : {1, 3, 8})
        EXPECT_EQ(verifyWith(tmp.path(), list, workers, style), alone)
            << "round " << round << ", " << workers << " workers";
    }
  }
}

}  // namespace
