// report.cpp: what a verification writes on standard output.
//
// Every end-of-line flushes, and so does every dot: a user watching a long
// run, or a script reading the report through a pipe, sees each line as
// soon as it is found.
#include "report.h"

#ifndef KORLAN_VERSION
#define KORLAN_VERSION "unknown"
#endif

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sstream>

namespace {

// How the plain and quiet styles write a kind of difference.
enum class Shape : uint8_t {
  kPath,            // "LABEL: PATH"
  kSize,            // "NAME:\texpected size of X; actual Y"
  kExpectedActual,  // "LABEL: PATH: expected X; actual Y"
  kReason,          // "LABEL: PATH: X: REASON"
};

struct KindText {
  const char* name;   // the record's kind in --tsv and --json
  const char* label;  // what the plain and quiet styles call it
  Shape shape;
};

const KindText& textOf(DiffKind kind) {
  static constexpr KindText kTexts[] = {
      {"missing", "File Not Found", Shape::kPath},
      {"size", nullptr, Shape::kSize},
      {"unreadable", "Cannot Read", Shape::kPath},
      {"nochecksum", "No Checksum", Shape::kPath},
      {"checksum", "Checksum Mismatch", Shape::kPath},
      {"unlisted", "Unlisted", Shape::kPath},
      {"type", "Type Mismatch", Shape::kExpectedActual},
      {"mode", "Mode Mismatch", Shape::kExpectedActual},
      {"uid", "Uid Mismatch", Shape::kExpectedActual},
      {"gid", "Gid Mismatch", Shape::kExpectedActual},
      {"uname", "Uname Mismatch", Shape::kExpectedActual},
      {"gname", "Gname Mismatch", Shape::kExpectedActual},
      {"link", "Link Mismatch", Shape::kExpectedActual},
      {"time", "Time Mismatch", Shape::kExpectedActual},
      {"nlink", "Nlink Mismatch", Shape::kExpectedActual},
      {"flags", "Flags Mismatch", Shape::kExpectedActual},
      {"xattr", "Xattr Mismatch", Shape::kExpectedActual},
      {"device", "Device Mismatch", Shape::kExpectedActual},
      {"notchecked", "Not Checked", Shape::kReason},
      {"conffile", "Conffile Changed", Shape::kPath},
      {"conffilemissing", "Conffile Not Found", Shape::kPath},
  };
  static_assert(sizeof kTexts / sizeof kTexts[0] == kDiffKinds,
                "a text for every kind of difference");
  return kTexts[static_cast<size_t>(kind)];
}

// The text styles' escapes: a newline as \n, a tab as \t, a CR as \r, a
// backslash as \\, any other byte below 0x20 and 0x7f as \ooo; bytes from
// 0x80 up as they are. One record or line stays one line, and no name can
// move the cursor of a terminal.
void writeEscaped(std::ostream& out, std::string_view text) {
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\n': out << "\\n"; break;
      case '\t': out << "\\t"; break;
      case '\r': out << "\\r"; break;
      case '\\': out << "\\\\"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          const char octal[] = {'\\', static_cast<char>('0' + (c >> 6)),
                                static_cast<char>('0' + ((c >> 3) & 7)),
                                static_cast<char>('0' + (c & 7))};
          out.write(octal, sizeof octal);
        } else {
          out << ch;
        }
    }
  }
}

// The length of the valid UTF-8 sequence at the start of `s`, or 0. Valid
// as a strict decoder reads it: no overlong form, no surrogate, nothing
// past U+10FFFF.
size_t utf8Length(std::string_view s) {
  const unsigned char c = static_cast<unsigned char>(s[0]);
  size_t n;
  unsigned char low = 0x80, high = 0xbf;  // bounds of the second byte
  if (c >= 0xc2 && c <= 0xdf)
    n = 2;
  else if (c >= 0xe0 && c <= 0xef)
    n = 3, low = c == 0xe0 ? 0xa0 : 0x80, high = c == 0xed ? 0x9f : 0xbf;
  else if (c >= 0xf0 && c <= 0xf4)
    n = 4, low = c == 0xf0 ? 0x90 : 0x80, high = c == 0xf4 ? 0x8f : 0xbf;
  else
    return 0;
  if (s.size() < n) return 0;
  for (size_t i = 1; i < n; ++i) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xbf)) return 0;
  }
  return n;
}

// A JSON string (RFC 8259). A byte that is not part of valid UTF-8 is
// written as the lone surrogate \udcXX, XX its value, as Python's
// "surrogateescape" reads it: every path survives the round trip.
void writeJson(std::ostream& out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  out << '"';
  while (!text.empty()) {
    const unsigned char c = static_cast<unsigned char>(text[0]);
    size_t n = 1;
    if (c == '"' || c == '\\') {
      out << '\\' << text[0];
    } else if (c == '\n') {
      out << "\\n";
    } else if (c == '\t') {
      out << "\\t";
    } else if (c == '\r') {
      out << "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      out << "\\u00" << kHex[c >> 4] << kHex[c & 15];
    } else if (c < 0x80) {
      out << text[0];
    } else if ((n = utf8Length(text)) > 0) {
      out.write(text.data(), n);
    } else {
      n = 1;
      out << "\\udc" << kHex[c >> 4] << kHex[c & 15];
    }
    text.remove_prefix(n);
  }
  out << '"';
}

}  // namespace

// The run as a record shows it: the version, the host, the start time.
struct RunFacts {
  explicit RunFacts(const RunRecord& r) : record(r) {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0) host = name;
    const time_t now = time(nullptr);
    struct tm utc;
    char text[32];
    if (gmtime_r(&now, &utc) != nullptr &&
        strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) > 0)
      start = text;
  }
  const RunRecord record;
  std::string host, start;
};

namespace {

// A time, SECONDS.NANOSECONDS, as people read it beside it:
// "1677424914.000000000 (2023-02-26 15:21:54.000000000 UTC)".
std::string withDate(const std::string& time) {
  const size_t dot = time.find('.');
  char* end = nullptr;
  const long long seconds = strtoll(time.c_str(), &end, 10);
  const time_t t = static_cast<time_t>(seconds);
  struct tm utc;
  char date[64];
  if (end == time.c_str() || gmtime_r(&t, &utc) == nullptr ||
      strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &utc) == 0)
    return time;
  return time + " (" + date +
         (dot == std::string::npos ? "" : time.substr(dot)) + " UTC)";
}

}  // namespace

class Report::Style {
 public:
  explicit Style(std::ostream& out) : out_(out) {}
  virtual ~Style() = default;
  // The run begins to be reported: `signer` of the list, when it is signed.
  virtual void begin(const RunFacts& run, std::string_view signer) = 0;
  // A phase line; with `afterDots`, the line of dots before it ends first.
  virtual void phase(std::string_view, bool /*afterDots*/) {}
  virtual void difference(const Difference& d) = 0;
  virtual void package(std::string_view, int64_t /*failed*/,
                       int64_t /*compared*/) {}
  virtual void summary(int64_t files, int64_t errors) = 0;

 protected:
  std::ostream& out_;
};

namespace {

// The plain report, and the quiet one: the same lines without phases, dots
// and the blank lines between them.
class PlainStyle : public Report::Style {
 public:
  PlainStyle(std::ostream& out, bool quiet, bool fullPaths)
      : Style(out), quiet_(quiet), fullPaths_(fullPaths) {}

  void begin(const RunFacts&, std::string_view signer) override {
    phase("[reading packing.lst]", false);
    // The quiet style shows the signer too: a script reads it there.
    if (!signer.empty()) {
      out_ << "[Signed: ";
      writeEscaped(out_, signer);
      out_ << ']' << std::endl;
    }
  }

  void phase(std::string_view line, bool afterDots) override {
    if (quiet_) return;
    if (afterDots) out_ << std::endl;
    out_ << line << std::endl;
  }

  void difference(const Difference& d) override {
    if (!quiet_) out_ << std::endl;
    const KindText& text = textOf(d.kind);
    if (text.shape == Shape::kSize) {
      // The bare file name, as the list gives it, unless asked otherwise.
      const size_t slash = d.path.rfind('/');
      path(fullPaths_ || slash == std::string_view::npos
               ? d.path
               : d.path.substr(slash + 1),
           d.listed);
      out_ << ":\texpected size of " << d.expected << "; actual " << d.actual;
    } else {
      out_ << text.label << ": ";
      path(d.path, d.listed);
      if (text.shape == Shape::kExpectedActual) {
        // An empty side is one the entry lacks: an extended attribute
        // added or taken away, a device number of no device.
        const auto side = [&](const std::string& value) {
          if (value.empty())
            out_ << "none";
          else
            writeEscaped(out_,
                         d.kind == DiffKind::kTime ? withDate(value) : value);
        };
        out_ << ": expected ";
        side(d.expected);
        out_ << "; actual ";
        side(d.actual);
      } else if (text.shape == Shape::kReason) {
        out_ << ": ";
        writeEscaped(out_, d.expected);
        out_ << ": ";
        writeEscaped(out_, d.reason);
      }
    }
    out_ << std::endl;
  }

  void package(std::string_view name, int64_t failed,
               int64_t compared) override {
    if (!quiet_) out_ << std::endl;
    out_ << "Package ";
    writeEscaped(out_, name);
    out_ << ": " << failed << " of " << compared << " failed" << std::endl;
  }

  void summary(int64_t files, int64_t errors) override {
    if (!quiet_) out_ << std::endl;
    if (errors == 0)
      out_ << "Korlan Succeeded: all file comparisons correct" << std::endl;
    else
      out_ << "Korlan Failure: " << errors << " out of " << files
           << " file comparisons failed" << std::endl;
  }

 private:
  void path(std::string_view p, bool listed) {
    if (listed)
      out_ << p;
    else
      writeEscaped(out_, p);
  }

  const bool quiet_;
  const bool fullPaths_;
};

// KIND<TAB>PATH<TAB>EXPECTED<TAB>ACTUAL<TAB>REASON (and <TAB>PACKAGE of
// dpkg's database), then total<TAB>FAILED<TAB>FILES.
class TsvStyle : public Report::Style {
 public:
  TsvStyle(std::ostream& out, bool packages)
      : Style(out), packages_(packages) {}
  // run<TAB>VERSION<TAB>ROOT<TAB>SOURCE<TAB>LIST<TAB>SUMS<TAB>HOST<TAB>START
  // <TAB>SIGNER.
  void begin(const RunFacts& run, std::string_view signer) override {
    const RunRecord& r = run.record;
    out_ << "run";
    for (const std::string_view field :
         {std::string_view(KORLAN_VERSION), r.root, r.source, r.list, r.sums,
          std::string_view(run.host), std::string_view(run.start), signer}) {
      out_ << '\t';
      writeEscaped(out_, field);
    }
    out_ << std::endl;
  }
  void difference(const Difference& d) override {
    out_ << textOf(d.kind).name;
    for (const std::string_view field :
         {d.path, std::string_view(d.expected), std::string_view(d.actual),
          std::string_view(d.reason)}) {
      out_ << '\t';
      writeEscaped(out_, field);
    }
    if (packages_) {
      out_ << '\t';
      writeEscaped(out_, d.package);
    }
    out_ << std::endl;
  }
  void summary(int64_t files, int64_t errors) override {
    out_ << "total\t" << errors << '\t' << files << std::endl;
  }

 private:
  const bool packages_;
};

// One JSON object per line: the records of --tsv under the names of its
// columns.
class JsonStyle : public Report::Style {
 public:
  JsonStyle(std::ostream& out, bool packages)
      : Style(out), packages_(packages) {}
  void begin(const RunFacts& run, std::string_view signer) override {
    const RunRecord& r = run.record;
    out_ << "{\"kind\":\"run\",\"version\":\"" KORLAN_VERSION "\",\"root\":";
    writeJson(out_, r.root);
    out_ << ",\"source\":";
    writeJson(out_, r.source);
    out_ << ",\"list\":";
    writeJson(out_, r.list);
    out_ << ",\"sums\":";
    writeJson(out_, r.sums);
    out_ << ",\"host\":";
    writeJson(out_, run.host);
    out_ << ",\"start\":";
    writeJson(out_, run.start);
    out_ << ",\"signer\":";
    writeJson(out_, signer);
    out_ << '}' << std::endl;
  }
  void difference(const Difference& d) override {
    out_ << "{\"kind\":\"" << textOf(d.kind).name << "\",\"path\":";
    writeJson(out_, d.path);
    out_ << ",\"expected\":";
    writeJson(out_, d.expected);
    out_ << ",\"actual\":";
    writeJson(out_, d.actual);
    out_ << ",\"reason\":";
    writeJson(out_, d.reason);
    if (packages_) {
      out_ << ",\"package\":";
      writeJson(out_, d.package);
    }
    out_ << '}' << std::endl;
  }
  void summary(int64_t files, int64_t errors) override {
    out_ << "{\"kind\":\"total\",\"failed\":" << errors
         << ",\"files\":" << files << '}' << std::endl;
  }

 private:
  const bool packages_;
};

// dpkg --verify's lines, for the scripts that read them: one a path that
// failed, "missing" or nine characters, one a check, '?' where it was not
// made; then " c " for a conffile, or three spaces; the path below ROOT;
// and, for a path not found for another reason than its absence, the
// reason in parentheses. The second character is 'M' for a file of
// another type or mode, the third '5' for other contents; rpm -V's 'U'
// and 'G', sixth and seventh, for other owners, which only a stat
// override states. The differences of one entry come together and make
// one line.
class DpkgStyle : public Report::Style {
 public:
  DpkgStyle(std::ostream& out, std::string_view root)
      : Style(out), root_(root == "/" ? "" : root) {}
  void begin(const RunFacts&, std::string_view) override {}
  void difference(const Difference& d) override {
    if (d.path != path_) {
      flush();
      path_.assign(d.path);
      checks_ = "?????????";
      conffile_ = d.conffile;
    }
    switch (d.kind) {
      case DiffKind::kMissing:
      case DiffKind::kConffileMissing:
        checks_ = "missing  ";
        // dpkg says why only when it is not that nothing is there.
        if (d.reason != strerror(ENOENT)) why_ = d.reason;
        break;
      case DiffKind::kType:
      case DiffKind::kMode: mark(1, 'M'); break;
      case DiffKind::kChecksum:
      case DiffKind::kConffile: mark(2, '5'); break;
      case DiffKind::kUid:
      case DiffKind::kUname: mark(5, 'U'); break;
      case DiffKind::kGid:
      case DiffKind::kGname: mark(6, 'G'); break;
      default: break;  // could not be checked: '?' as it stands
    }
  }
  void summary(int64_t, int64_t) override { flush(); }

 private:
  void mark(size_t at, char c) {
    if (checks_[0] != 'm') checks_[at] = c;
  }
  void flush() {
    if (path_.empty()) return;
    std::string_view below = path_;
    if (below.compare(0, root_.size(), root_) == 0)
      below.remove_prefix(root_.size());
    out_ << checks_ << ' ' << (conffile_ ? 'c' : ' ') << ' ';
    writeEscaped(out_, below.empty() ? std::string_view("/") : below);
    if (!why_.empty()) out_ << " (" << why_ << ')';
    out_ << std::endl;
    path_.clear();
    why_.clear();
  }
  const std::string root_;
  std::string path_, checks_, why_;
  bool conffile_ = false;
};

std::unique_ptr<Report::Style> styleFor(std::ostream& out,
                                        const Options& options,
                                        const RunRecord& record) {
  if (options.dpkgFormat) return std::make_unique<DpkgStyle>(out, record.root);
  if (options.json) return std::make_unique<JsonStyle>(out, options.dpkg);
  if (options.tsv) return std::make_unique<TsvStyle>(out, options.dpkg);
  return std::make_unique<PlainStyle>(out, options.quiet, options.fullPaths);
}

}  // namespace

Report::Report(std::ostream& out, const Options& options,
               const RunRecord& record)
    : out_(out),
      dots_(!options.quiet && !options.tsv && !options.json &&
            !options.dpkgFormat),
      run_(new RunFacts(record)),
      style_(styleFor(out, options, record)) {}

Report::~Report() = default;

void Report::dot() {
  if (held_)
    ++heldDots_;
  else
    out_ << '.' << std::flush;
}

void Report::startReading() {
  if (!held_) style_->begin(*run_, "");
}

void Report::release(std::string_view signer) {
  held_ = false;
  style_->begin(*run_, signer);
}

void Report::startWalking() {
  style_->phase("[Walking directory tree and comparing files]", true);
}

void Report::startUnlisted() {
  style_->phase("[Looking for unlisted files]", true);
}

void Report::difference(const Difference& d) { style_->difference(d); }

void Report::package(std::string_view name, int64_t failed, int64_t compared) {
  style_->package(name, failed, compared);
}

void Report::summary(int64_t files, int64_t errors) {
  style_->summary(files, errors);
}

void writeRefusal(std::ostream& out, const Options& options,
                  std::string_view message) {
  if (options.json) {
    out << "{\"kind\":\"error\",\"message\":";
    writeJson(out, message);
    out << '}' << std::endl;
  } else if (options.tsv) {
    out << "error\t";
    writeEscaped(out, message);
    out << std::endl;
  }
}
