// status.h: the exit statuses of the korlan program, in one place, so that
// every module ends a run with the value its callers and scripts rely on.
#ifndef KORLAN_STATUS_H_
#define KORLAN_STATUS_H_

enum ExitStatus : int {
  // The run completed; without --strict, whatever it found.
  kStatusOk = 0,
  // The program could not find its own file (the form without operands).
  kStatusNotFound = 1,
  // With --strict: a comparison failed, or none was made.
  kStatusFailed = 2,
  // The run stopped before its end: a bad command line, a list that cannot
  // be opened, read or parsed, a tree that cannot be listed whole, memory
  // or standard output that failed.
  kStatusError = 255,
};

#endif  // KORLAN_STATUS_H_
