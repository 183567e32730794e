// korlan.h: the program, `korlan ROOT LIST` and its other forms: the one
// place that chooses what a command line asks for.
#ifndef KORLAN_KORLAN_H_
#define KORLAN_KORLAN_H_

#include <ostream>

// Runs the command line `argv`: a verification (of ROOT against LIST, or of
// the installation that holds the program when no operand is given), a
// list or sums maker, or the help. Returns the process status.
int runKorlan(int argc, char** argv, std::ostream& out, std::ostream& err);

#endif  // KORLAN_KORLAN_H_
