// FindYourself.h: finding the directory that holds the program file.
//
// From the command name the program was started with: an absolute name as
// it stands, a name with a "/" joined to the current directory, a bare name
// searched along PATH; symbolic links followed to the real file. The run
// directory is formed by joining and by link targets only, never
// canonicalised: it may hold "." and ".." components.
#ifndef KORLAN_FINDYOURSELF_H_
#define KORLAN_FINDYOURSELF_H_

// Finds and records the run directory, the current directory and the
// command name. On failure writes "initFindRunDirectory() failed" to
// standard error and ends the process with status 1. A second call repeats
// the discovery, from the recorded current directory.
void initFindRunDirectory(const char* commandName);

// The run directory; only after initFindRunDirectory.
const char* getRunDirectory();

// The current directory: the one recorded by initFindRunDirectory or given
// since to setCurDirectory; before initialisation, the system's answer.
const char* getCurDirectory();
void setCurDirectory(const char* dir);

// The last component of the canonical command name; only after
// initFindRunDirectory.
const char* getCommandName();

#endif  // KORLAN_FINDYOURSELF_H_
