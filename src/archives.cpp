// archives.cpp: archives, read with libarchive, as sources of entries.
#include "archives.h"

#include <archive.h>
#include <archive_entry.h>
#include <locale.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <deque>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

#include "digest.h"
#include "keywords.h"
#include "message.h"

namespace {

// The block an archive is read in from its descriptor: small enough that
// the bytes read are still in the CPU's cache when they are hashed (the
// mixed 1 GB tree's tar: 1.22 s against 1.60 s with 256 KiB blocks).
const size_t kBlock = 64 << 10;

// The holes of a sparse file, hashed as the zeros extraction writes.
const unsigned char kZeros[64 << 10] = {};

// The inode flags a manifest states (see expected.h): on Linux, libarchive
// gives an archive's flags as those very bits.
const unsigned long kStatedFlags = kImmutableFlag | kAppendFlag | kNodumpFlag;

// libarchive converts the names an archive holds in Unicode to the
// locale's charset, and one it cannot convert comes without a name: the
// reading thread's locale is C.UTF-8 while libarchive reads, so that they
// come as the UTF-8 bytes the installation's names are. The thread's
// alone: nothing else the run does changes with it.
class InLocale {
 public:
  explicit InLocale(locale_t to) : before_(to ? uselocale(to) : nullptr) {}
  ~InLocale() {
    if (before_ != nullptr) uselocale(before_);
  }
  InLocale(const InLocale&) = delete;
  InLocale& operator=(const InLocale&) = delete;

 private:
  locale_t before_;
};

// What a name becomes below the top.
enum class Name { kPath, kStripped, kLeaves, kEmpty };

// The path of the name `raw` below the top, as tar extracts it: empty
// components and "." dropped, after the first `strip` components ("."
// counting as one) are. An absolute name, or one with a ".." component
// anywhere, leaves the top; a name of no more than `strip` components is
// stripped away.
Name pathOf(std::string_view raw, unsigned strip, std::string* path) {
  if (raw.empty()) return Name::kEmpty;
  if (raw[0] == '/') return Name::kLeaves;
  path->clear();
  unsigned seen = 0;
  for (size_t from = 0; from < raw.size();) {
    const size_t slash = std::min(raw.find('/', from), raw.size());
    const std::string_view part = raw.substr(from, slash - from);
    from = slash + 1;
    if (part.empty()) continue;
    if (part == "..") return Name::kLeaves;
    if (seen++ < strip || part == ".") continue;
    if (!path->empty()) *path += '/';
    *path += part;
  }
  if (seen <= strip) return Name::kStripped;
  if (path->empty()) *path = ".";
  return Name::kPath;
}

// The warning of `a` is of a name libarchive could not convert, and no
// other (libarchive says no more than its text: "Pathname can't be
// converted from UTF-8 to current locale.").
bool unconverted(archive* a) {
  const char* why = archive_error_string(a);
  return why != nullptr && strstr(why, " be converted from ") != nullptr;
}

bool typeOf(unsigned filetype, EntryType* type) {
  switch (filetype) {
    case AE_IFREG: *type = EntryType::kFile; return true;
    case AE_IFDIR: *type = EntryType::kDir; return true;
    case AE_IFLNK: *type = EntryType::kLink; return true;
    case AE_IFIFO: *type = EntryType::kFifo; return true;
    case AE_IFSOCK: *type = EntryType::kSocket; return true;
    case AE_IFCHR: *type = EntryType::kChar; return true;
    case AE_IFBLK: *type = EntryType::kBlock; return true;
  }
  return false;
}

// Every format and filter libarchive reads by itself, but those said at the
// top of archives.h. A filter whose library libarchive was built without
// would run a program instead: it is not offered.
void supportFormats(archive* a) {
  archive_read_support_format_ar(a);
  archive_read_support_format_cpio(a);
  archive_read_support_format_tar(a);
  archive_read_support_format_zip(a);
  archive_read_support_format_7zip(a);
  archive_read_support_format_iso9660(a);
  archive_read_support_format_cab(a);
  archive_read_support_format_lha(a);
  archive_read_support_format_rar(a);
  archive_read_support_format_rar5(a);
  archive_read_support_format_warc(a);
}

void supportFilters(archive* a) {
  archive_read_support_filter_compress(a);
  archive_read_support_filter_uu(a);
  archive_read_support_filter_rpm(a);
  if (archive_zlib_version() != nullptr) archive_read_support_filter_gzip(a);
  if (archive_bzlib_version() != nullptr) archive_read_support_filter_bzip2(a);
  if (archive_liblzma_version() != nullptr) {
    archive_read_support_filter_xz(a);
    archive_read_support_filter_lzma(a);
    archive_read_support_filter_lzip(a);
  }
  if (archive_libzstd_version() != nullptr) archive_read_support_filter_zstd(a);
  if (archive_liblz4_version() != nullptr) archive_read_support_filter_lz4(a);
}

// The keywords an archive's entries state when the caller names none: what
// --make-mtree writes by default, and the extended attributes of those
// that hold some.
uint32_t defaultKeywords() {
  uint32_t keywords = 0;
  for (const KeywordRow& row : kKeywordTable)
    if (row.byDefault) keywords |= keywordBit(row.keyword);
  return (keywords | kKwXattr) & ~kKwType;
}

// An entry, ready to be handed over.
struct Ready {
  std::string path;
  Expected expected;
  uint32_t number = 0;
};

// What an entry that later entries may name as a hard link's first name
// states: its type, a regular file's size and digests (the values, each
// followed by a space), a link's target.
struct Original {
  EntryType type;
  int64_t size;
  std::string text;
  Compared compared;  // the bytes, where they were compared, not hashed
};

// The names of a set of hard links whose bytes come with the last name
// (newc cpio), waiting for them: no more than the link count of the first.
struct Waiting {
  std::vector<Ready> names;
  uint32_t links = 0;
};

}  // namespace

struct ArchiveSource::Impl {
  Impl(std::string name, const ArchiveReading& reading)
      : name(std::move(name)),
        keywords(reading.keywords != 0 ? reading.keywords : defaultKeywords()),
        xattrsWhereHeld(reading.keywords == 0),
        algorithms(algorithmsOf(keywords)),
        strip(reading.strip),
        utf8(newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t())) {}
  ~Impl() {
    if (inner != nullptr) archive_read_free(inner);
    if (outer != nullptr) archive_read_free(outer);
    if (utf8 != locale_t()) freelocale(utf8);
  }

  // Reads the next header and what it says: 1 (an entry may be ready, or
  // wait), 0 at the end, -1 after the refusal.
  int read(std::ostream& err);
  bool open(std::ostream& err);
  // A Debian package: its data.tar member opened as the archive read.
  bool openData(std::ostream& err);
  int entryRead(archive* a, archive_entry* e, std::ostream& err);
  int linkRead(archive* a, archive_entry* e, const char* target, Ready entry,
               std::ostream& err);
  // What `e`, of type `type`, states but its bytes.
  void describe(archive_entry* e, EntryType type, Expected* x) const;
  // Reads the bytes of the regular file `e`, at `path`, into `*x`: its size
  // and digests, or what the comparer found. False after the refusal.
  bool readBytes(archive* a, archive_entry* e, const std::string& path,
                 Expected* x, std::ostream& err);
  // The size and digests of no bytes (the comparer's of `path`), into `*x`.
  void noBytes(const std::string& path, Expected* x);
  // `from`'s bytes are those of every name of `w`, which are ready then;
  // `compared`: the name they were compared at, where they were.
  void settle(std::unordered_map<std::string, Waiting>::iterator w,
              const Expected& from, const std::string& compared);
  // Keeps what `r` states, for the hard links that may name it later.
  void remember(const Ready& r, archive_entry* e);
  void hand(Ready r, archive_entry* e) {
    remember(r, e);
    ready.push_back(std::move(r));
  }
  // Writes "NAME:N: what" (without N before the first entry) and ends the
  // reading; returns -1. `what` is libarchive's message of `a` when empty.
  int refuse(std::ostream& err, uint32_t at, std::string what,
             archive* a = nullptr);
  // libarchive's reader of a Debian package's data.tar: the bytes of the
  // member of `outer` at hand.
  static la_ssize_t readMember(archive*, void* data, const void** buffer);

  const std::string name;
  const uint32_t keywords;
  const bool xattrsWhereHeld;
  unsigned algorithms;
  const unsigned strip;
  const locale_t utf8;
  int fd = -1;
  std::string_view bytes;
  // The archive as read, and a Debian package's data.tar, read from its
  // member of the other.
  archive* outer = nullptr;
  archive* inner = nullptr;
  std::string memberError;  // why the member could not be read
  bool opened = false;
  bool seekable = false;  // read from a file or from memory
  int state = 1;
  uint32_t number = 0;  // the entries read
  std::unique_ptr<Hasher> hasher;
  ByteComparer* comparer = nullptr;
  std::string hex[kDigestAlgorithms];
  std::unordered_map<std::string, Original> originals;
  std::unordered_map<std::string, Waiting> waiting;
  std::deque<Ready> ready;
};

la_ssize_t ArchiveSource::Impl::readMember(archive*, void* data,
                                           const void** buffer) {
  auto* impl = static_cast<Impl*>(data);
  for (;;) {
    size_t n = 0;
    la_int64_t offset = 0;
    const int r = archive_read_data_block(impl->outer, buffer, &n, &offset);
    if (r == ARCHIVE_EOF) return 0;
    if (r != ARCHIVE_OK) {
      const char* why = archive_error_string(impl->outer);
      impl->memberError = why != nullptr ? why : "cannot be read";
      return -1;
    }
    if (n > 0) return static_cast<la_ssize_t>(n);
  }
}

int ArchiveSource::Impl::refuse(std::ostream& err, uint32_t at,
                                std::string what, archive* a) {
  if (what.empty() && a == inner && !memberError.empty()) what = memberError;
  if (what.empty() && a != nullptr && archive_error_string(a) != nullptr)
    what = archive_error_string(a);
  if (what.empty()) what = "cannot be read";
  complain(err,
           (at == 0 ? name : name + ':' + std::to_string(at)) + ": " + what);
  state = -1;
  return -1;
}

bool ArchiveSource::Impl::open(std::ostream& err) {
  struct stat st;
  seekable = fd < 0 || (fstat(fd, &st) == 0 && S_ISREG(st.st_mode));
  outer = archive_read_new();
  if (outer == nullptr) throw std::bad_alloc();
  supportFormats(outer);
  supportFilters(outer);
  const int r =
      fd >= 0 ? archive_read_open_fd(outer, fd, kBlock)
              : archive_read_open_memory(outer, bytes.data(), bytes.size());
  if (r == ARCHIVE_OK) return true;
  refuse(err, 0, "", outer);
  return false;
}

bool ArchiveSource::Impl::openData(std::ostream& err) {
  archive_entry* e;
  for (;;) {
    const int r = archive_read_next_header(outer, &e);
    if (r == ARCHIVE_EOF) {
      refuse(err, 0, "a Debian package without a data.tar member");
      return false;
    }
    if (r != ARCHIVE_OK) {
      refuse(err, 0, "", outer);
      return false;
    }
    const char* member = archive_entry_pathname(e);
    if (member != nullptr && (strcmp(member, "data.tar") == 0 ||
                              strncmp(member, "data.tar.", 9) == 0))
      break;
  }
  inner = archive_read_new();
  if (inner == nullptr) throw std::bad_alloc();
  archive_read_support_format_tar(inner);
  supportFilters(inner);
  if (archive_read_open(inner, this, nullptr, readMember, nullptr) ==
      ARCHIVE_OK)
    return true;
  refuse(err, 0, "", inner);
  return false;
}

int ArchiveSource::Impl::read(std::ostream& err) {
  if (!opened) {
    opened = true;
    if (!open(err)) return -1;
  }
  archive* a = inner != nullptr ? inner : outer;
  archive_entry* e;
  const int r = archive_read_next_header(a, &e);
  if (r == ARCHIVE_EOF) return 0;
  // A warning too: libarchive warns of what it could not read whole. But
  // a name it could not convert from the charset the archive says, it
  // gives as the archive's bytes, which extracting it would make the name
  // (GNU tar writes the bytes of a Latin-1 name as pax's UTF-8 path):
  // those are the name. One it gives not (zip, 7-Zip) refuses it below.
  if (r != ARCHIVE_OK && !(r == ARCHIVE_WARN && unconverted(a)))
    return refuse(err, number == 0 ? 0 : number + 1, "", a);
  if (inner == nullptr && number == 0 &&
      (archive_format(outer) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_AR &&
      archive_entry_pathname(e) != nullptr &&
      strcmp(archive_entry_pathname(e), "debian-binary") == 0)
    return openData(err) ? 1 : -1;
  // Read from its start to its end, a zip archive gives the types and modes
  // of its entries only in its central directory, at the end: a pipe's
  // would be guesses.
  if (number == 0 && !seekable &&
      (archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_ZIP)
    return refuse(err, 0,
                  "a zip archive is read as a file, not a pipe: the types "
                  "and modes of its entries lie at its end");
  if (number == UINT32_MAX) return refuse(err, number, "too many entries");
  ++number;
  return entryRead(a, e, err);
}

int ArchiveSource::Impl::entryRead(archive* a, archive_entry* e,
                                   std::ostream& err) {
  const char* raw = archive_entry_pathname(e);
  if (raw == nullptr) return refuse(err, number, "", a);
  Ready entry;
  entry.number = number;
  switch (pathOf(raw, strip, &entry.path)) {
    case Name::kStripped: return 1;
    case Name::kLeaves: return refuse(err, number, "path leaves the top");
    case Name::kEmpty: return refuse(err, number, "an entry without a name");
    case Name::kPath: break;
  }
  if (entry.path.size() >= PATH_MAX) return refuse(err, number, kPathTooLong);
  if (const char* target = archive_entry_hardlink(e))
    return linkRead(a, e, target, std::move(entry), err);
  EntryType type;
  if (!typeOf(archive_entry_filetype(e), &type))
    return refuse(err, number,
                  quoted(entry.path) + ": of a type this system has not");
  Expected& x = entry.expected;
  describe(e, type, &x);
  if (type != EntryType::kFile) {
    hand(std::move(entry), e);
    return 1;
  }
  // newc cpio gives the bytes of a set of hard links with its last name:
  // the first has none, and waits.
  if (archive_entry_nlink(e) > 1 && archive_entry_size_is_set(e) &&
      archive_entry_size(e) == 0 && waiting.count(entry.path) == 0) {
    Waiting& w = waiting[entry.path];
    w.links = archive_entry_nlink(e);
    w.names.push_back(std::move(entry));
    return 1;
  }
  if (!readBytes(a, e, entry.path, &x, err)) return -1;
  hand(std::move(entry), e);
  return 1;
}

int ArchiveSource::Impl::linkRead(archive* a, archive_entry* e,
                                  const char* target, Ready entry,
                                  std::ostream& err) {
  Expected& x = entry.expected;
  std::string first;
  const bool named = pathOf(target, strip, &first) == Name::kPath;
  // Bytes of its own (odc cpio, newc's last name): they are the link's.
  const bool carries =
      archive_entry_size_is_set(e) && archive_entry_size(e) > 0;
  const auto w = named ? waiting.find(first) : waiting.end();
  if (w != waiting.end()) {
    describe(e, EntryType::kFile, &x);
    if (carries) {
      if (!readBytes(a, e, entry.path, &x, err)) return -1;
    } else {
      w->second.names.push_back(std::move(entry));
      if (w->second.names.size() < w->second.links) return 1;
      Expected none;
      describe(e, EntryType::kFile, &none);
      const std::string last = w->second.names.back().path;
      noBytes(last, &none);
      settle(w, none, last);
      return 1;
    }
    settle(w, x, entry.path);
    hand(std::move(entry), e);
    return 1;
  }
  const auto o = named ? originals.find(first) : originals.end();
  if (carries || o == originals.end()) {
    EntryType type = EntryType::kFile;
    describe(e,
             carries || !typeOf(archive_entry_filetype(e), &type)
                 ? EntryType::kFile
                 : type,
             &x);
    if (carries) {
      if (!readBytes(a, e, entry.path, &x, err)) return -1;
      hand(std::move(entry), e);
      return 1;
    }
    // Nothing it could be compared with: said, never taken for a match.
    x.keywords &= ~(kKwType | kKwSize | kKwContents | kKwLink);
    if (x.detail == nullptr) x.detail.reset(new Detail);
    x.detail->digests.clear();
    x.detail->unchecked.push_back(
        {"hardlink=" + std::string(target),
         "a hard link to a name the archive holds not before it"});
    ready.push_back(std::move(entry));
    return 1;
  }
  const Original& original = o->second;
  describe(e, original.type, &x);
  if (original.type == EntryType::kFile) {
    x.size = original.size;
    for (unsigned a = 0, at = 0; a < kDigestAlgorithms; ++a) {
      if (!(algorithms & 1u << a)) continue;
      const size_t end = original.text.find(' ', at);
      x.detail->digests.push_back({static_cast<DigestAlgorithm>(a),
                                   original.text.substr(at, end - at)});
      at = end + 1;
    }
    // The name the bytes were compared at: the first's, or the one it has.
    x.detail->compared = original.compared;
    if (original.compared.state != Compared::kUnused &&
        !original.compared.byName) {
      x.detail->compared.byName = true;
      x.detail->compared.first = first;
    }
  } else if (original.type == EntryType::kLink && (x.keywords & kKwLink)) {
    x.detail->link = original.text;
  }
  hand(std::move(entry), e);
  return 1;
}

namespace {

// The POSIX ACL of `type` (ARCHIVE_ENTRY_ACL_TYPE_ACCESS or _DEFAULT) that
// `e` holds, as the kernel keeps it in system.posix_acl_access or
// system.posix_acl_default: a header (version 2) and entries of tag,
// permissions and id, little-endian, sorted by tag and id. Empty where the
// entry holds none but what its mode says. `*mask`: the mask's permissions,
// or -1; the group bits of a mode under an ACL are the mask's.
std::string aclBytes(archive_entry* e, int type, int* mask) {
  *mask = -1;
  if (archive_entry_acl_reset(e, type) <=
      (type == ARCHIVE_ENTRY_ACL_TYPE_ACCESS ? 3 : 0))
    return "";
  struct Entry {
    uint16_t tag, perm;
    uint32_t id;
  };
  std::vector<Entry> entries;
  int kind, perm, tag, id;
  const char* name;
  while (archive_entry_acl_next(e, type, &kind, &perm, &tag, &id, &name) ==
         ARCHIVE_OK) {
    uint16_t k = 0;  // as <linux/posix_acl.h> numbers them
    switch (tag) {
      case ARCHIVE_ENTRY_ACL_USER_OBJ: k = 0x01; break;
      case ARCHIVE_ENTRY_ACL_USER: k = 0x02; break;
      case ARCHIVE_ENTRY_ACL_GROUP_OBJ: k = 0x04; break;
      case ARCHIVE_ENTRY_ACL_GROUP: k = 0x08; break;
      case ARCHIVE_ENTRY_ACL_MASK: k = 0x10; break;
      case ARCHIVE_ENTRY_ACL_OTHER: k = 0x20; break;
      default: continue;  // NFSv4's, which no Linux file system keeps so
    }
    const uint16_t bits = static_cast<uint16_t>(perm & 7);  // r 4, w 2, x 1
    if (k == 0x10) *mask = bits;
    entries.push_back(
        {k, bits, k == 0x02 || k == 0x08 ? static_cast<uint32_t>(id) : ~0u});
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return a.tag != b.tag ? a.tag < b.tag : a.id < b.id;
  });
  std::string bytes;
  const auto little = [&bytes](uint32_t v, int n) {
    for (int i = 0; i < n; ++i) bytes += static_cast<char>(v >> 8 * i & 0xff);
  };
  little(2, 4);
  for (const Entry& entry : entries) {
    little(entry.tag, 2);
    little(entry.perm, 2);
    little(entry.id, 4);
  }
  return bytes;
}

}  // namespace

void ArchiveSource::Impl::describe(archive_entry* e, EntryType type,
                                   Expected* x) const {
  const uint32_t k = keywords;
  x->type = type;
  x->keywords = kKwType;
  x->size = 0;
  x->mode = 0;
  x->detail.reset();
  if (k & kKwMode) {
    x->mode = static_cast<uint16_t>(archive_entry_perm(e) & 07777);
    x->keywords |= kKwMode;
  }
  if (type == EntryType::kFile) x->keywords |= k & (kKwSize | kKwContents);
  Detail d;
  uint32_t detailed = 0;
  const auto stated = [&detailed, k](uint32_t keyword) {
    detailed |= k & keyword;
    return (k & keyword) != 0;
  };
  if (type == EntryType::kLink && stated(kKwLink)) {
    const char* target = archive_entry_symlink(e);
    d.link = target != nullptr ? target : "";
  }
  if (stated(kKwUid)) d.uid = static_cast<uint32_t>(archive_entry_uid(e));
  if (stated(kKwGid)) d.gid = static_cast<uint32_t>(archive_entry_gid(e));
  const char* user = archive_entry_uname(e);
  if (user != nullptr && *user != '\0' && stated(kKwUname)) d.uname = user;
  const char* group = archive_entry_gname(e);
  if (group != nullptr && *group != '\0' && stated(kKwGname)) d.gname = group;
  if (archive_entry_mtime_is_set(e) && stated(kKwTime)) {
    d.seconds = archive_entry_mtime(e);
    d.nanoseconds = static_cast<uint32_t>(archive_entry_mtime_nsec(e));
  }
  // A directory's link count is not compared; most formats hold none.
  if (type != EntryType::kDir && archive_entry_nlink(e) > 0 && stated(kKwNlink))
    d.nlink = archive_entry_nlink(e);
  if (archive_entry_fflags_text(e) != nullptr && stated(kKwFlags)) {
    unsigned long set = 0, clear = 0;
    archive_entry_fflags(e, &set, &clear);
    d.flags = static_cast<uint32_t>(set & kStatedFlags);
    if (set & ~kStatedFlags)
      d.unchecked.push_back(
          {"flags=" + std::string(archive_entry_fflags_text(e)),
           "a flag no check here compares"});
  }
  if ((type == EntryType::kChar || type == EntryType::kBlock) &&
      stated(kKwDevice))
    d.device = archive_entry_rdev(e);
  // ACLs are extended attributes on Linux, which libarchive gives apart.
  int mask = -1, defaultMask = -1;
  const std::string access = aclBytes(e, ARCHIVE_ENTRY_ACL_TYPE_ACCESS, &mask);
  const std::string inherited =
      aclBytes(e, ARCHIVE_ENTRY_ACL_TYPE_DEFAULT, &defaultMask);
  if (mask >= 0 && (x->keywords & kKwMode))
    x->mode = static_cast<uint16_t>((x->mode & ~070) | mask << 3);
  if ((archive_entry_xattr_reset(e) > 0 || !access.empty() ||
       !inherited.empty() || !xattrsWhereHeld) &&
      stated(kKwXattr)) {
    const char* attribute;
    const void* value;
    size_t size;
    // pax's SCHILY.xattr and LIBARCHIVE.xattr may both give one, bsdtar
    // writing both: the later wins, as it would on extraction.
    while (archive_entry_xattr_next(e, &attribute, &value, &size) ==
           ARCHIVE_OK) {
      std::string bytes(static_cast<const char*>(value), size);
      const auto same = std::find_if(
          d.xattrs.begin(), d.xattrs.end(),
          [attribute](const StatedXattr& x) { return x.name == attribute; });
      if (same != d.xattrs.end())
        same->value = std::move(bytes);
      else
        d.xattrs.push_back({attribute, std::move(bytes)});
    }
    for (const auto& acl : {std::pair<const char*, const std::string&>(
                                "system.posix_acl_access", access),
                            {"system.posix_acl_default", inherited}}) {
      if (acl.second.empty()) continue;
      const char* name = acl.first;
      d.xattrs.erase(std::remove_if(d.xattrs.begin(), d.xattrs.end(),
                                    [name](const StatedXattr& x) {
                                      return x.name == name;
                                    }),
                     d.xattrs.end());
      d.xattrs.push_back({name, acl.second});
    }
    std::sort(d.xattrs.begin(), d.xattrs.end(),
              [](const StatedXattr& a, const StatedXattr& b) {
                return a.name < b.name;
              });
  }
  x->keywords |= detailed;
  if (detailed != 0 || (x->keywords & kKwContents) || !d.unchecked.empty())
    x->detail.reset(new Detail(std::move(d)));
}

bool ArchiveSource::Impl::readBytes(archive* a, archive_entry* e,
                                    const std::string& path, Expected* x,
                                    std::ostream& err) {
  const bool sized = archive_entry_size_is_set(e);
  const int64_t size = sized ? archive_entry_size(e) : 0;
  const bool compared = comparer != nullptr && (x->keywords & kKwContents);
  // Skipped by the next header, where nothing needs them.
  if (algorithms == 0 && !compared && sized) {
    x->size = size;
    return true;
  }
  if (algorithms != 0) {
    if (hasher == nullptr) {
      prepareCrypto();
      hasher.reset(new Hasher);
    }
    hasher->begin(algorithms);
  }
  if (compared) comparer->begin(path, sized ? size : -1);
  const auto take = [&](const void* bytes, size_t n) {
    if (algorithms != 0) hasher->add(bytes, n);
    if (compared) comparer->add(bytes, n);
  };
  const auto zeros = [&](int64_t n) {
    for (; n > 0; n -= sizeof kZeros)
      take(kZeros, std::min<int64_t>(n, sizeof kZeros));
  };
  int64_t at = 0;
  for (;;) {
    const void* block;
    size_t n = 0;
    la_int64_t offset = 0;
    const int r = archive_read_data_block(a, &block, &n, &offset);
    if (r == ARCHIVE_EOF) break;
    if (r != ARCHIVE_OK || offset < at) {
      refuse(err, number, r != ARCHIVE_OK ? "" : "its data overlaps itself", a);
      return false;
    }
    zeros(offset - at);
    take(block, n);
    at = offset + static_cast<int64_t>(n);
  }
  // A hole at the end, which no block gives.
  if (at < size) {
    zeros(size - at);
    at = size;
  }
  x->size = at;
  if (compared) x->detail->compared = comparer->end();
  if (algorithms == 0) return true;
  hasher->end(hex);
  x->detail->digests.clear();
  for (unsigned i = 0; i < kDigestAlgorithms; ++i)
    if (algorithms & 1u << i)
      x->detail->digests.push_back({static_cast<DigestAlgorithm>(i), hex[i]});
  return true;
}

void ArchiveSource::Impl::noBytes(const std::string& path, Expected* x) {
  x->size = 0;
  if (comparer != nullptr && (x->keywords & kKwContents)) {
    comparer->begin(path, 0);
    x->detail->compared = comparer->end();
  }
  if (algorithms == 0) return;
  if (hasher == nullptr) {
    prepareCrypto();
    hasher.reset(new Hasher);
  }
  hasher->begin(algorithms);
  hasher->end(hex);
  for (unsigned i = 0; i < kDigestAlgorithms; ++i)
    if (algorithms & 1u << i)
      x->detail->digests.push_back({static_cast<DigestAlgorithm>(i), hex[i]});
}

void ArchiveSource::Impl::settle(
    std::unordered_map<std::string, Waiting>::iterator w, const Expected& from,
    const std::string& compared) {
  for (Ready& r : w->second.names) {
    r.expected.size = from.size;
    if (from.detail != nullptr && r.expected.detail != nullptr) {
      r.expected.detail->digests = from.detail->digests;
      Compared& c = r.expected.detail->compared;
      c = from.detail->compared;
      if (c.state != Compared::kUnused && r.path != compared) {
        c.byName = true;
        c.first = compared;
      }
    }
    remember(r, nullptr);
    ready.push_back(std::move(r));
  }
  waiting.erase(w);
}

void ArchiveSource::Impl::remember(const Ready& r, archive_entry* e) {
  const Expected& x = r.expected;
  // A directory has no hard links, and a file of one link count no other
  // name (tar holds no count: every file may have them).
  if (!(x.keywords & kKwType) || x.type == EntryType::kDir ||
      (e != nullptr && archive_entry_nlink(e) == 1))
    return;
  Original& o = originals[r.path];
  o.type = x.type;
  o.size = x.size;
  o.text.clear();
  if (x.detail == nullptr) return;
  if (x.type == EntryType::kLink) o.text = x.detail->link;
  if (x.type == EntryType::kFile) {
    for (const StatedDigest& d : x.detail->digests) (o.text += d.hex) += ' ';
    o.compared = x.detail->compared;
  }
}

ArchiveSource::ArchiveSource(int fd, std::string name,
                             const ArchiveReading& reading)
    : impl_(new Impl(std::move(name), reading)) {
  impl_->fd = fd;
}

ArchiveSource::ArchiveSource(std::string_view bytes, std::string name,
                             const ArchiveReading& reading)
    : impl_(new Impl(std::move(name), reading)) {
  impl_->bytes = bytes;
}

ArchiveSource::~ArchiveSource() = default;

const std::string& ArchiveSource::name() const { return impl_->name; }

void ArchiveSource::compareBytesWith(ByteComparer* comparer) {
  // Keywords named by the caller name the digests to compare.
  if (!impl_->xattrsWhereHeld) return;
  impl_->comparer = comparer;
  impl_->algorithms = 0;
}

int ArchiveSource::next(std::string* path, Expected* expected, uint32_t* line,
                        std::ostream& err) {
  Impl& s = *impl_;
  const InLocale inUtf8(s.utf8);
  while (s.ready.empty() && s.state == 1) {
    s.state = s.read(err);
    if (s.state != 0) continue;
    // The end: the names still waiting for bytes have none.
    std::vector<std::unordered_map<std::string, Waiting>::iterator> left;
    for (auto w = s.waiting.begin(); w != s.waiting.end(); ++w)
      left.push_back(w);
    std::sort(left.begin(), left.end(), [](const auto& a, const auto& b) {
      return a->second.names[0].number < b->second.names[0].number;
    });
    for (const auto& w : left) {
      Expected none;
      none.detail.reset(new Detail);
      none.keywords = s.keywords;
      const std::string last = w->second.names.back().path;
      s.noBytes(last, &none);
      s.settle(w, none, last);
    }
  }
  if (s.state < 0 || s.ready.empty()) return s.state;
  Ready& r = s.ready.front();
  path->swap(r.path);
  *expected = std::move(r.expected);
  *line = r.number;
  s.ready.pop_front();
  return 1;
}
