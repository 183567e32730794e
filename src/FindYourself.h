// FindYourself.h: finding the directory that holds the program file.
//
// From the command name the program was started with: an absolute name as
// it stands, a name with a "/" joined to the current directory, a bare name
// searched along PATH (an empty element, a ":" at the end included, is the
// current directory) for a file this process may execute; symbolic links
// followed to the real file. The run directory is formed by joining and by
// link targets only, never canonicalised: it may hold "." and ".."
// components. Paths up to the system's PATH_MAX are served.
#ifndef KORLAN_FINDYOURSELF_H_
#define KORLAN_FINDYOURSELF_H_

// Finds and records the run directory, the current directory and the
// command name. The current directory is asked for only when a relative
// name needs it; when it is needed and the system cannot tell it, ends the
// process as getCurDirectory does. On failure writes
// "initFindRunDirectory() failed" to standard error and ends the process
// with status 1. A second call repeats the discovery, from the recorded
// current directory.
void initFindRunDirectory(const char* commandName);

// The run directory; only after initFindRunDirectory.
const char* getRunDirectory();

// The current directory: the one recorded by initFindRunDirectory or given
// since to setCurDirectory; before initialisation, or when the discovery did
// not need it, the system's answer, recorded. When the system cannot tell
// it, writes "getcwd() failed - errno N" to standard error and ends the
// process with status 1.
const char* getCurDirectory();
void setCurDirectory(const char* dir);

// The last component of the canonical command name; only after
// initFindRunDirectory.
const char* getCommandName();

#endif  // KORLAN_FINDYOURSELF_H_
