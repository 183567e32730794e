// packlist.cpp: the packing-list format, read and written.
#include "packlist.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "directory.h"
#include "message.h"
#include "report.h"
#include "status.h"
#include "token.h"

const char kPackingList[] = "packing.lst";
const char kPackingSums[] = "packing.sha256";
const char kPackingManifest[] = "packing.mtree";

bool isKeptFile(std::string_view path) {
  for (const std::string_view list :
       {kPackingList, kPackingSums, kPackingManifest}) {
    if (path.compare(0, list.size(), list) != 0) continue;
    const std::string_view rest = path.substr(list.size());
    if (rest.empty() || rest == ".minisig" || rest == ".sig") return true;
  }
  return false;
}

bool parseSize(const char* digits, int64_t* size) {
  int64_t value = 0;
  for (const char* p = digits; *p != '\0'; ++p) {
    const int digit = *p - '0';
    if (value > (INT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *size = value;
  return true;
}

namespace {

// Says what made a list unreadable: a read error (whatever token it cut
// short), a token too long to read whole, or a NUL byte. Out of line: the
// fault is asked after every token, and seldom there.
__attribute__((noinline, cold)) void reportListFault(const Token& token,
                                                     const std::istream& list,
                                                     const char* listPath,
                                                     std::ostream& err) {
  if (list.bad()) {
    err << "can't read " << listPath << std::endl;
    return;
  }
  if (token.isTooLong() == 0) {
    const int kShown = 40;
    err << "packing list holds a token that is too long: "
        << std::string_view(token.getName(), kShown) << "..." << std::endl;
  } else {
    err << "packing list holds a NUL byte: " << listPath << std::endl;
  }
  complain(err, std::string(listPath) + ':' + std::to_string(token.line) +
                    ": refused here");
}

// Reports what makes a list unreadable wherever it strikes; true when it
// did.
inline bool listFault(const Token& token, const std::istream& list,
                      const char* listPath, std::ostream& err) {
  if (!list.bad() && token.isTooLong() != 0 && token.hasNul() != 0)
    return false;
  reportListFault(token, list, listPath, err);
  return true;
}

}  // namespace

namespace {

// After a list's refusal, as the list's own texts say it, the line that
// says where, "korlan: LIST:LINE: refused here"; for the first entry of
// what looks like another kind of list, which option reads it.
void where(const Token& token, size_t entries, const char* listPath,
           std::ostream& err) {
  const std::string_view first(token.getName());
  const char* hint = "refused here";
  if (entries == 0 && first.compare(0, 1, "#") == 0)
    hint = "a manifest, which --mtree reads?";
  else if (entries == 0 && first.size() == 64 &&
           first.find_first_not_of("0123456789abcdefABCDEF") ==
               std::string_view::npos)
    hint = "the digests of a packing list, which --sums=FILE reads beside it?";
  complain(err, std::string(listPath) + ':' + std::to_string(token.line) +
                    ": " + hint);
}

}  // namespace

int readList(Directory* top, std::istream& list, const char* listPath,
             Report& report, ListReceiver& receiver, std::ostream& err) {
  Token token(list);
  for (size_t entries = 0;; ++entries) {
    if (listFault(token, list, listPath, err)) return kStatusError;
    if (token.isEOF() == 0) return kStatusOk;
    int64_t size = 0;
    if (token.isSize() != 0 || !parseSize(token.getName(), &size)) {
      err << "Expected size: actually " << token.getName() << std::endl;
      where(token, entries, listPath, err);
      return kStatusError;
    }
    token.read(list);
    if (listFault(token, list, listPath, err)) return kStatusError;
    if (token.isDir() != 0 || strcmp(token.getName(), ".") != 0) {
      err << "Expected . directory: actually " << token.getName() << std::endl;
      where(token, 1, listPath, err);
      return kStatusError;
    }
    token.read(list);
    report.entryRead();
    File* recorded = nullptr;
    if (top->insert(&token, list, size, &recorded) != 0) {
      if (!listFault(token, list, listPath, err)) {
        err << "Expected file name: actually " << token.getName() << std::endl;
        where(token, 1, listPath, err);
      }
      return kStatusError;
    }
    recorded->entry = entries;
    receiver.recorded(recorded);
    token.read(list);
  }
}

const char* unlistableName(const char* name, size_t length) {
  static const std::string tooLong =
      "name longer than " + std::to_string(Token::kMaxLength) + " bytes";
  for (size_t i = 0; i < length; ++i)
    if (Token::isSpace(name[i])) return "name holds white space";
  if (length > static_cast<size_t>(Token::kMaxLength)) return tooLong.c_str();
  return nullptr;
}

const char* unlistablePath(std::string_view path) {
  for (size_t from = 0; from <= path.size();) {
    const size_t slash = std::min(path.find('/', from), path.size());
    if (const char* why = unlistableName(path.data() + from, slash - from))
      return why;
    from = slash + 1;
  }
  return nullptr;
}

void writeListEntry(std::ostream& out, int64_t size, std::string_view path) {
  out << size << " ./" << path << '\n';
}
