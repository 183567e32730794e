// message.h: Korlan's own messages on standard error.
//
// Every message the program writes of its own goes through complain():
// "korlan: ", the text and an end-of-line, flushed. The report goes to
// standard output and has styles of its own (see report.h); the texts the
// packing-list reader and the search for the program file have always
// written ("can't open LIST", "Expected size: actually 12a") stay as they
// are, without the prefix.
#ifndef KORLAN_MESSAGE_H_
#define KORLAN_MESSAGE_H_

#include <ostream>
#include <string>
#include <string_view>

// Writes "korlan: TEXT" and an end-of-line to `err`. A message is one line
// whatever it quotes: a byte below 0x20 or 0x7f left in `text` is written as
// \ooo, so no name can end the line or drive the terminal.
void complain(std::ostream& err, std::string_view text);

// `path` between double quotes, as a message names a path: a quote and a
// backslash escaped, and the bytes a terminal would not show as themselves
// in C's escapes (\t, \n, \v, \f, \r, else \ooo).
std::string quoted(std::string_view path);

// Why a path is refused that the system could not look up whole: the
// makers' (a path too deep to list) and a manifest's (an entry's path).
extern const char kPathTooLong[];

#endif  // KORLAN_MESSAGE_H_
