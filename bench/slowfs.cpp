// slowfs: a slow disk for the benchmark. Shows the tree below SOURCE at
// MOUNTPOINT, read only, and answers each look-up of a name and each read
// after DELAY microseconds, as a disk, a network file system or a busy
// array does; the kernel keeps what it learns (an hour), so a second
// look-up costs nothing until the caches are dropped. Requests are
// answered by many threads at once: a program that keeps many in flight is
// answered that much sooner. Reads bypass the kernel's cache, so that a
// loop device over an image file below MOUNTPOINT is a slow block device
// (see slowdisk.sh), whose reads may be in flight together; look-ups of
// one directory are sent one at a time by the kernel here.
//
//   slowfs SOURCE MOUNTPOINT DELAY [FUSE OPTIONS]   (stays in the foreground)
//
// The low-level interface, since libfuse's path interface takes the
// look-ups of one directory one at a time.
#define FUSE_USE_VERSION 35
#include <fcntl.h>
#include <fuse3/fuse_lowlevel.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace {

useconds_t delay;
std::mutex mutex;
std::deque<std::string> paths;  // by inode number, from FUSE_ROOT_ID (1)

std::string pathOf(fuse_ino_t ino) {
  std::lock_guard<std::mutex> lock(mutex);
  return paths[ino - 1];
}

void init(void*, fuse_conn_info* connection) {
  connection->want |= FUSE_CAP_PARALLEL_DIROPS;
  connection->max_background = 256;  // reads in flight at once
}

void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  usleep(delay);
  const std::string path = pathOf(parent) + "/" + name;
  fuse_entry_param e = {};
  e.attr_timeout = e.entry_timeout = 3600;
  if (lstat(path.c_str(), &e.attr) != 0) {
    if (errno != ENOENT) {
      fuse_reply_err(req, errno);
      return;
    }
    fuse_reply_entry(req, &e);  // ino 0: a negative entry, kept as long
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    paths.push_back(path);
    e.ino = paths.size();
  }
  fuse_reply_entry(req, &e);
}

void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  struct stat st;
  if (lstat(pathOf(ino).c_str(), &st) != 0) {
    fuse_reply_err(req, errno);
    return;
  }
  fuse_reply_attr(req, &st, 3600);
}

void open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  const int fd = ::open(pathOf(ino).c_str(), O_RDONLY);
  if (fd < 0) {
    fuse_reply_err(req, errno);
    return;
  }
  fi->fh = static_cast<uint64_t>(fd);
  fi->direct_io = 1;  // every read reaches us, and a loop device may read directly
  fuse_reply_open(req, fi);
}

void read(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
  usleep(delay);
  std::vector<char> buffer(size);
  const ssize_t n = pread(static_cast<int>(fi->fh), buffer.data(), size, offset);
  if (n < 0)
    fuse_reply_err(req, errno);
  else
    fuse_reply_buf(req, buffer.data(), static_cast<size_t>(n));
}

void release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
  close(static_cast<int>(fi->fh));
  fuse_reply_err(req, 0);
}

void readlink(fuse_req_t req, fuse_ino_t ino) {
  char target[4096];
  const ssize_t n = ::readlink(pathOf(ino).c_str(), target, sizeof target - 1);
  if (n < 0) {
    fuse_reply_err(req, errno);
    return;
  }
  target[n] = '\0';
  fuse_reply_readlink(req, target);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: slowfs SOURCE MOUNTPOINT DELAY [FUSE OPTIONS]\n");
    return 2;
  }
  paths.push_back(argv[1]);
  delay = static_cast<useconds_t>(atol(argv[3]));
  std::vector<char*> args = {argv[0], const_cast<char*>("-o"), const_cast<char*>("ro")};
  for (int i = 4; i < argc; ++i) args.push_back(argv[i]);
  fuse_args fargs = FUSE_ARGS_INIT(static_cast<int>(args.size()), args.data());
  fuse_lowlevel_ops ops = {};
  ops.init = init;
  ops.lookup = lookup;
  ops.getattr = getattr;
  ops.readlink = readlink;
  ops.open = open;
  ops.read = read;
  ops.release = release;
  fuse_session* session = fuse_session_new(&fargs, &ops, sizeof ops, nullptr);
  if (session == nullptr || fuse_session_mount(session, argv[2]) != 0) return 1;
  fuse_set_signal_handlers(session);
  fuse_loop_config* config = fuse_loop_cfg_create();
  fuse_loop_cfg_set_max_threads(config, 256);
  fuse_loop_cfg_set_idle_threads(config, 256);
  const int status = fuse_session_loop_mt(session, config);
  fuse_loop_cfg_destroy(config);
  fuse_session_unmount(session);
  fuse_remove_signal_handlers(session);
  fuse_session_destroy(session);
  return status;
}
