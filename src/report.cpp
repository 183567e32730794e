// report.cpp: what a verification writes on standard output.
#include "report.h"

#include <cstring>

// Every end-of-line flushes, and so does every dot: a user watching a long
// run, or a script reading the report through a pipe, sees each line as
// soon as it is found.

void Report::startReading() {
  if (plain()) out_ << "[reading packing.lst]" << std::endl;
}

void Report::entryRead() {
  if (plain()) out_ << '.' << std::flush;
}

void Report::startWalking() {
  if (plain())
    out_ << std::endl
         << "[Walking directory tree and comparing files]" << std::endl;
}

void Report::fileWalked(int64_t count) {
  if (plain() && count % 10 == 0) out_ << '.' << std::flush;
}

void Report::missing(std::string_view path, int64_t listed, int error) {
  if (options_.tsv) {
    out_ << "missing\t";
    writeField(path);
    out_ << '\t' << listed << "\t\t" << strerror(error) << std::endl;
    return;
  }
  if (plain()) out_ << std::endl;
  out_ << "File Not Found: " << path << std::endl;
}

void Report::wrongSize(std::string_view name, std::string_view path,
                       int64_t listed, int64_t actual) {
  if (options_.tsv) {
    out_ << "size\t";
    writeField(path);
    out_ << '\t' << listed << '\t' << actual << '\t' << std::endl;
    return;
  }
  if (plain()) out_ << std::endl;
  out_ << (options_.fullPaths ? path : name) << ":\texpected size of " << listed
       << "; actual " << actual << std::endl;
}

void Report::startUnlisted() {
  if (plain()) out_ << std::endl << "[Looking for unlisted files]" << std::endl;
}

void Report::unlisted(std::string_view path, int64_t size) {
  if (!options_.tsv) return failureLine("Unlisted", path);
  out_ << "unlisted\t";
  writeField(path);
  out_ << "\t\t" << size << '\t' << std::endl;
}

void Report::failureLine(const char* what, std::string_view path) {
  if (plain()) out_ << std::endl;
  out_ << what << ": " << path << std::endl;
}

void Report::unreadable(std::string_view path, int64_t listed,
                        std::string_view reason) {
  if (!options_.tsv) return failureLine("Cannot Read", path);
  out_ << "unreadable\t";
  writeField(path);
  out_ << '\t';
  if (listed >= 0) out_ << listed;
  out_ << "\t\t" << reason << std::endl;
}

void Report::noChecksum(std::string_view path) {
  if (!options_.tsv) return failureLine("No Checksum", path);
  out_ << "nochecksum\t";
  writeField(path);
  out_ << "\t\t\t" << std::endl;
}

void Report::checksumMismatch(std::string_view path, std::string_view expected,
                              std::string_view actual) {
  if (!options_.tsv) return failureLine("Checksum Mismatch", path);
  out_ << "checksum\t";
  writeField(path);
  out_ << '\t' << expected << '\t' << actual << '\t' << std::endl;
}

void Report::summary(int64_t files, int64_t errors) {
  if (options_.tsv) {
    out_ << "total\t" << errors << '\t' << files << std::endl;
    return;
  }
  if (plain()) out_ << std::endl;
  if (errors == 0)
    out_ << "Korlan Succeeded: all file comparisons correct" << std::endl;
  else
    out_ << "Korlan Failure: " << errors << " out of " << files
         << " file comparisons failed" << std::endl;
}

void Report::writeField(std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\t': out_ << "\\t"; break;
      case '\n': out_ << "\\n"; break;
      case '\\': out_ << "\\\\"; break;
      default: out_ << c;
    }
  }
}
