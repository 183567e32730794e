// manifestcheck.h: verifying a tree against an mtree manifest.
//
// Each entry of the manifest is one comparison, made in manifest order, of
// what lstat finds at ROOT/PATH (ROOT itself for "."): links are compared
// as links and never followed, directories like any entry. An entry that
// differs in several keywords writes a line for each and counts as one
// failed comparison; after a type that differs nothing else of the entry
// is compared, and a file whose size differs is not read.
#ifndef KORLAN_MANIFESTCHECK_H_
#define KORLAN_MANIFESTCHECK_H_

#include <istream>
#include <ostream>

#include "options.h"
#include "verify.h"

// Verifies the tree under `rootPath` against the manifest read from `in`
// (named `name` in messages), as verify() does with a packing list: the
// same report, options and statuses. With `signedLists`, `in` holds the
// manifest's verified bytes.
int verifyManifest(const char* rootPath, std::istream& in, const char* name,
                   std::ostream& out, std::ostream& err, const Options& options,
                   const SignedLists* signedLists = nullptr);

#endif  // KORLAN_MANIFESTCHECK_H_
