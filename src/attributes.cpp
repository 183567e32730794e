// attributes.cpp: inode flags and extended attributes.
#include "attributes.h"

#include <acl/libacl.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <openssl/evp.h>
#include <sys/acl.h>
#include <sys/capability.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fdstream.h"

static_assert(
    kImmutableFlag == FS_IMMUTABLE_FL && kAppendFlag == FS_APPEND_FL &&
        kNodumpFlag == FS_NODUMP_FL && kImmutableFlag == STATX_ATTR_IMMUTABLE &&
        kAppendFlag == STATX_ATTR_APPEND && kNodumpFlag == STATX_ATTR_NODUMP,
    "the flags of a manifest are Linux's, as ioctl and statx name them");

int readFlags(int dirFd, const char* name, const struct stat& st,
              uint32_t* flags) {
  *flags = 0;
  // statx answers without opening the file, of any type, where the file
  // system reports the three (most do): an open costs three times a look.
  const uint64_t three =
      STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND | STATX_ATTR_NODUMP;
  struct statx sx;
  if (statx(dirFd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_INO,
            &sx) != 0)
    return errno;
  if (makedev(sx.stx_dev_major, sx.stx_dev_minor) != st.st_dev ||
      sx.stx_ino != st.st_ino)
    return ESTALE;
  if ((sx.stx_attributes_mask & three) == three) {
    *flags = static_cast<uint32_t>(sx.stx_attributes & three);
    return 0;
  }
  // Elsewhere FS_IOC_GETFLAGS, of a regular file or a directory: no other
  // file can be opened without what opening it may do (a device, a FIFO).
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return EOPNOTSUPP;
  const Descriptor fd(openat(dirFd, name,
                             O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY |
                                 O_CLOEXEC |
                                 (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0)));
  struct stat opened;
  if (fd.get() < 0 || fstat(fd.get(), &opened) != 0) return errno;
  if (opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) return ESTALE;
  return readFlags(fd.get(), flags);
}

int readFlags(int fd, uint32_t* flags) {
  *flags = 0;
  int got = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &got) != 0)
    return errno == ENOTTY || errno == EOPNOTSUPP || errno == EINVAL ? 0
                                                                     : errno;
  *flags =
      static_cast<uint32_t>(got) & (kImmutableFlag | kAppendFlag | kNodumpFlag);
  return 0;
}

namespace {

// One entry's list and values, through /proc's link to its O_PATH
// descriptor: followed, that link leads to the file itself (a link, when
// the entry is one), whatever its name is given to meanwhile. (The *at
// calls of Linux 6.13 take no O_PATH descriptor, and by name they could
// read another file than the one looked at.)
class EntryXattrs {
 public:
  explicit EntryXattrs(int fd) : path_("/proc/self/fd/" + std::to_string(fd)) {}
  ssize_t list(char* names, size_t size) {
    return listxattr(path_.c_str(), names, size);
  }
  ssize_t get(const char* attribute, void* value, size_t size) {
    return getxattr(path_.c_str(), attribute, value, size);
  }

 private:
  const std::string path_;
};

// The value of `attribute` through `get`, or an errno.
template <class Get>
int valueOf(Get get, const std::string& attribute, std::string* value) {
  for (;;) {
    const ssize_t size = get(attribute.c_str(), nullptr, 0);
    if (size < 0) return errno;
    value->resize(static_cast<size_t>(size));
    // Asked with no room, the call would size the value again: it is empty.
    if (size == 0) return 0;
    const ssize_t n = get(attribute.c_str(), value->data(), value->size());
    if (n >= 0) {
      value->resize(static_cast<size_t>(n));
      return 0;
    }
    if (errno != ERANGE) return errno;  // grown meanwhile: again
  }
}

// The extended attributes of one file, through `list` (llistxattr or
// flistxattr) and `get` (lgetxattr or fgetxattr).
template <class List, class Get>
int gather(List list, Get get, std::vector<StatedXattr>* found,
           std::vector<std::string>* unreadable) {
  found->clear();
  unreadable->clear();
  std::string names;
  for (;;) {
    const ssize_t size = list(nullptr, 0);
    if (size < 0) return errno == ENOTSUP ? 0 : errno;
    if (size == 0) return 0;  // none
    names.resize(static_cast<size_t>(size));
    const ssize_t n = list(names.data(), names.size());
    if (n >= 0) {
      names.resize(static_cast<size_t>(n));
      break;
    }
    if (errno != ERANGE) return errno;  // grown meanwhile: again
  }
  for (size_t from = 0; from < names.size();) {
    StatedXattr x{std::string(names.c_str() + from), std::string()};
    from += x.name.size() + 1;
    if (x.name.empty()) continue;
    const int error = valueOf(get, x.name, &x.value);
    if (error == ENODATA) continue;  // gone meanwhile
    if (error != 0)
      unreadable->push_back(x.name);
    else
      found->push_back(std::move(x));
  }
  std::sort(found->begin(), found->end(),
            [](const StatedXattr& a, const StatedXattr& b) {
              return a.name < b.name;
            });
  return 0;
}

}  // namespace

int readXattrs(int fd, std::vector<StatedXattr>* found,
               std::vector<std::string>* unreadable) {
  return gather(
      [fd](char* list, size_t size) { return flistxattr(fd, list, size); },
      [fd](const char* attribute, void* value, size_t size) {
        return fgetxattr(fd, attribute, value, size);
      },
      found, unreadable);
}

HeldEntry::~HeldEntry() {
  if (fd_ >= 0) close(fd_);
}

int HeldEntry::look(int dirFd, const char* name) {
  dirFd_ = dirFd;
  name_ = name;
  fd_ = openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
  struct statx sx;
  if (fd_ < 0 || statx(fd_, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW,
                       STATX_BASIC_STATS, &sx) != 0)
    return errno;
  st_ = {};
  st_.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  st_.st_ino = sx.stx_ino;
  st_.st_mode = sx.stx_mode;
  st_.st_nlink = sx.stx_nlink;
  st_.st_uid = sx.stx_uid;
  st_.st_gid = sx.stx_gid;
  st_.st_rdev = makedev(sx.stx_rdev_major, sx.stx_rdev_minor);
  st_.st_size = static_cast<off_t>(sx.stx_size);
  st_.st_blksize = sx.stx_blksize;
  st_.st_blocks = static_cast<blkcnt_t>(sx.stx_blocks);
  st_.st_atim = {sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec};
  st_.st_mtim = {sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec};
  st_.st_ctim = {sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec};
  const uint64_t three =
      STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND | STATX_ATTR_NODUMP;
  flagsKnown_ = (sx.stx_attributes_mask & three) == three;
  flags_ = static_cast<uint32_t>(sx.stx_attributes & three);
  return 0;
}

int HeldEntry::flags(uint32_t* flags) const {
  *flags = flags_;
  return flagsKnown_ ? 0 : readFlags(dirFd_, name_, st_, flags);
}

int HeldEntry::xattrs(std::vector<StatedXattr>* found,
                      std::vector<std::string>* unreadable) const {
  EntryXattrs entry(fd_);
  const int error =
      gather([&](char* list, size_t size) { return entry.list(list, size); },
             [&](const char* attribute, void* value, size_t size) {
               return entry.get(attribute, value, size);
             },
             found, unreadable);
  return error == ENOENT && access("/proc/self/fd", F_OK) != 0 ? ENOSYS : error;
}

int HeldEntry::xattrReadable(const std::string& attribute) const {
  EntryXattrs entry(fd_);
  std::string value;
  const int error = valueOf([&](const char* a, void* v,
                                size_t size) { return entry.get(a, v, size); },
                            attribute, &value);
  return error == ENODATA ? 0 : error;
}

namespace {

uint32_t little32(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

// A file capability (struct vfs_cap_data, as the kernel keeps it) as
// libcap writes it; empty when the bytes are no capability.
std::string capabilityText(const std::string& bytes) {
  if (bytes.size() != 12 && bytes.size() != 20 && bytes.size() != 24) return "";
  const uint32_t magic = little32(bytes, 0);
  const int words = (magic & 0xff000000u) == 0x01000000u ? 1 : 2;
  if (bytes.size() < 4 + 8u * words) return "";
  cap_t caps = cap_init();
  if (caps == nullptr) return "";
  for (int word = 0; word < words; ++word) {
    const uint32_t permitted = little32(bytes, 4 + 8 * word),
                   inheritable = little32(bytes, 8 + 8 * word);
    for (int bit = 0; bit < 32; ++bit) {
      cap_value_t cap = static_cast<cap_value_t>(32 * word + bit);
      if (permitted >> bit & 1) {
        cap_set_flag(caps, CAP_PERMITTED, 1, &cap, CAP_SET);
        if (magic & 1) cap_set_flag(caps, CAP_EFFECTIVE, 1, &cap, CAP_SET);
      }
      if (inheritable >> bit & 1)
        cap_set_flag(caps, CAP_INHERITABLE, 1, &cap, CAP_SET);
    }
  }
  std::string text;
  if (char* t = cap_to_text(caps, nullptr)) {
    text = t;
    cap_free(t);
  }
  cap_free(caps);
  // Version 3 names the user that is root in the file's namespace.
  if (bytes.size() == 24)
    text += " rootid=" + std::to_string(little32(bytes, 20));
  return text;
}

// A POSIX ACL (the kernel's posix_acl_xattr form) as libacl writes it, short
// and on one line; empty when the bytes are no ACL.
std::string aclText(const std::string& bytes) {
  if (bytes.size() < 4 || (bytes.size() - 4) % 8 != 0 ||
      little32(bytes, 0) != 2)
    return "";
  const size_t n = (bytes.size() - 4) / 8;
  acl_t acl = acl_init(static_cast<int>(n));
  if (acl == nullptr) return "";
  bool ok = true;
  for (size_t i = 0; i < n && ok; ++i) {
    const size_t at = 4 + 8 * i;
    const unsigned tag = static_cast<unsigned char>(bytes[at]) |
                         static_cast<unsigned char>(bytes[at + 1]) << 8;
    const unsigned perm = static_cast<unsigned char>(bytes[at + 2]);
    const uint32_t id = little32(bytes, at + 4);
    acl_entry_t entry;
    acl_permset_t permset;
    ok = acl_create_entry(&acl, &entry) == 0 &&
         acl_set_tag_type(entry, static_cast<acl_tag_t>(tag)) == 0 &&
         acl_get_permset(entry, &permset) == 0;
    if (ok && (tag == ACL_USER || tag == ACL_GROUP))
      ok = acl_set_qualifier(entry, &id) == 0;
    for (const acl_perm_t p : {ACL_READ, ACL_WRITE, ACL_EXECUTE})
      if (ok && (perm & p)) ok = acl_add_perm(permset, p) == 0;
  }
  std::string text;
  if (ok) {
    if (char* t = acl_to_any_text(acl, nullptr, ',', TEXT_ABBREVIATE)) {
      text = t;
      acl_free(t);
    }
  }
  acl_free(acl);
  return text;
}

bool printable(const std::string& s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return c >= ' ' && c < 0x7f; });
}

}  // namespace

std::string xattrText(const StatedXattr& x) {
  std::string text;
  if (x.name == "security.capability")
    text = capabilityText(x.value);
  else if (x.name == "system.posix_acl_access" ||
           x.name == "system.posix_acl_default")
    text = aclText(x.value);
  else if (printable(x.value))
    text = x.value;
  if (text.empty() && !x.value.empty()) {
    text.resize(4 * ((x.value.size() + 2) / 3) + 1);
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                        reinterpret_cast<const unsigned char*>(x.value.data()),
                        static_cast<int>(x.value.size()));
    text.resize(static_cast<size_t>(n));
  }
  return x.name + "=" + text;
}

std::string flagsText(uint32_t flags) {
  if (flags == 0) return "none";
  std::string text;
  for (const auto& [flag, name] :
       {std::pair<uint32_t, const char*>{kImmutableFlag, "schg"},
        {kAppendFlag, "sappnd"},
        {kNodumpFlag, "nodump"}})
    if (flags & flag) (text += text.empty() ? "" : ",") += name;
  return text;
}
