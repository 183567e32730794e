// bench: korlan against the floor (one stat call per entry and nothing
// else), and against the floor that also writes korlan's flushed progress
// dots (floor --dots), on generated trees; then `korlan --make-list` against
// `find ROOT -type f -printf '%s %p\n'`, which does the same work.
//
//   bench KORLAN FLOOR [--runs N] [--work DIR] [--only NAME]
//
// NAME is bushy, quiet, flat, tall, deep, cold, slow, onecpu, makelist, unlisted, sums, links,
// mtree, key, archive or dpkg. For each
// workload:
// one warm-up run of each program, then N rounds (7) in which they run one
// after the other. Prints medians of wall time, of the per-round ratio to
// the floor, and of peak resident memory, as wait4 reports it for the child.
//
// quiet: bushy 200k verified with -q, which writes no dots, against the same floors.
//
// tall: 100k files, 20 to a directory, each directory 30 levels below ROOT (27 levels of one
// directory each, then three of 18 each): a stat of the whole path walks 31 components.
//
// slow: bushy 20k cold on a slow disk: an ext4 image, made with mkfs.ext4 -d, below slowfs
// (beside FLOOR; every read answered after 5 ms, many at once) and mounted read-only from a
// loop device that reads it directly. Needs root, mkfs.ext4, losetup, FUSE and slowfs (built
// where libfuse3 is found); without them the table says why the row is missing.
//
// cold: bushy 200k with the page cache, dentries and inodes dropped before
// every run of every program, so each run reads the tree from the disk;
// no warm-up, which would only be dropped.
// Needs root; without it the table says why the rows are missing.
//
// unlisted: on bushy 200k, korlan --unlisted ROOT LIST against the plain
// verification and --make-list ROOT in the same rounds, and against the
// budget of the plain time plus 1.2 times the make-list time.
//
// onecpu: bushy 200k with every program pinned to one CPU (the first the
// bench may use, CPU 0 on most machines): korlan's workers then only
// compete with its walk, and the ratio to floor --dots shows what that costs.
//
// mtree: on bushy 200k, a manifest of type, mode, size and link verified
// with --mtree against floor --lstat and mtree -f, korlan's memory against
// the plain verification's; one with flags and xattr too against it, and
// AIDE's check of those attributes where aide is installed; on the mixed
// 1 GB tree, a manifest with sha256digest against the hash floor;
// --make-mtree against --make-list and against the hash floor.
//
// key: on bushy 200k, korlan --key with a list signed by minisign against
// korlan on the same list.
//
// archive: on the mixed 1 GB tree, korlan --archive ROOT against GNU tar's uncompressed archive
// of it, against `tar -df` (GNU tar --compare), which compares the archive's bytes with the
// disk's directly; then against a .tar.zst of it, against `zstd -dc` of it to /dev/null, and the
// budget of 1.1 times that, and both pinned to one CPU (the work each does: zstd reads the
// archive on a thread of its own); and the single-core speeds of libcrypto's SHA-256 and of memcmp,
// which say what comparing the bytes directly saves over digests of both (--keywords naming a
// digest). Needs GNU tar and zstd.
//
// sums: `korlan --sums` and `korlan --make-sums` on trees of real bytes,
// about 1 GB and 0.5 GB in a few large and many small files, against the
// hash floor: the tree's bytes over the single-core SHA-256 speed of
// libcrypto, measured in the same run, over the CPUs the bench may use.
// On one CPU, `korlan --sums` against hashfloor (beside FLOOR), one thread
// that reads and hashes the same files. And on bushy 200k (small files of zeros),
// `korlan --sums` against plain `korlan` on the same tree.
//
// links: a tree of real bytes (about 0.5 GB) where a third of the names are links or hard links
// to the other files, verified with --sums: against the hash floor of the bytes of every name
// (each name read) and of its files (each file read once).
//
// dpkg: the host's installed packages, `korlan --dpkg -q` against `dpkg -V` in the same rounds,
// on the CPUs the bench may use and pinned to one; `debsums -s` once beside them, where it is
// installed. Their statuses are not judged: the host may have changed files.
#include <fcntl.h>
#include <getopt.h>
#include <linux/magic.h>
#include <openssl/evp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Workload {
  std::string name;
  std::string root, list;
  long entries = 0;
};

void die(const std::string& what) {
  perror(what.c_str());
  exit(1);
}

void makeFile(const std::string& path, long size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ftruncate(fd, size) != 0) die(path);
  close(fd);
}

// Makes the `n`th file of a workload at `rel` below its root and lists it.
void addFile(const Workload& w, std::ofstream& list, const std::string& rel, long n) {
  const long size = (n * 7919) % 10000;
  makeFile(w.root + rel, size);
  list << size << " ." << rel << "\n";
}

// `files` files, 100 to a directory, under three levels of directories.
Workload bushy(const std::string& work, long files) {
  Workload w{"bushy " + std::to_string(files / 1000) + "k", work + "/bushy" + std::to_string(files),
             "", files};
  w.list = w.root + ".lst";
  const long leaves = (files + 99) / 100;
  long fan = 1;
  while (fan * fan * fan < leaves) ++fan;
  std::ofstream list(w.list);
  long n = 0;
  for (long leaf = 0; leaf < leaves; ++leaf) {
    const std::string rel = "/l" + std::to_string(leaf / (fan * fan)) + "/m" +
                            std::to_string(leaf / fan % fan) + "/n" + std::to_string(leaf % fan);
    std::filesystem::create_directories(w.root + rel);
    for (int f = 0; f < 100 && n < files; ++f, ++n) {
      addFile(w, list, rel + "/file" + std::to_string(f) + ".dat", n);
    }
  }
  return w;
}

Workload tall(const std::string& work, long files) {
  Workload w{"tall " + std::to_string(files / 1000) + "k", work + "/tall", "", files};
  w.list = w.root + ".lst";
  std::string chain;
  for (int level = 0; level < 27; ++level) chain += "/a" + std::to_string(level);
  std::ofstream list(w.list);
  for (long n = 0; n < files; ++n) {
    const long leaf = n / 20;
    const std::string dir = chain + "/x" + std::to_string(leaf / 324) + "/y" +
                            std::to_string(leaf / 18 % 18) + "/z" + std::to_string(leaf % 18);
    if (n % 20 == 0) std::filesystem::create_directories(w.root + dir);
    addFile(w, list, dir + "/f" + std::to_string(n % 20), n);
  }
  return w;
}

Workload flat(const std::string& work, long files) {
  Workload w{"flat " + std::to_string(files / 1000) + "k", work + "/flat", "", files};
  w.list = w.root + ".lst";
  std::filesystem::create_directories(w.root + "/all");
  std::ofstream list(w.list);
  for (long n = 0; n < files; ++n) addFile(w, list, "/all/f" + std::to_string(n), n);
  return w;
}

// One entry nested `levels` deep. Its path is far beyond what stat accepts,
// so it exists only in the list: the point is the cost of reading, holding
// and walking such a path.
Workload deep(const std::string& work, long levels) {
  Workload w{"deep " + std::to_string(levels / 1000) + "k levels", work + "/deep", "", 1};
  w.list = w.root + ".lst";
  std::filesystem::create_directories(w.root);
  std::ofstream list(w.list);
  list << "1 ./";
  for (long i = 0; i < levels; ++i) list << "d/";
  list << "f\n";
  return w;
}

// `large` files of `largeMiB` MiB and `small` of 100 KiB, of pseudo-random
// bytes (no holes, no runs that a file system could compress away).
Workload mixed(const std::string& work, int large, int largeMiB, int small) {
  const long mib = (static_cast<long>(large) * largeMiB * 1024 + small * 100L) / 1024;
  Workload w{"mixed " + std::to_string(mib) + " MiB", work + "/mixed" + std::to_string(mib), "",
             large + small};
  w.list = w.root + ".lst";
  std::filesystem::create_directories(w.root + "/big");
  std::ofstream list(w.list);
  std::vector<uint64_t> block(1 << 17);  // 1 MiB
  uint64_t state = 88172645463325252ull;
  auto fill = [&](size_t words) {
    for (size_t i = 0; i < words; ++i) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      block[i] = state;
    }
  };
  auto write = [&](const std::string& rel, long bytes) {
    std::ofstream f(w.root + rel, std::ios::binary);
    for (long done = 0; done < bytes;) {
      const long n = std::min<long>(bytes - done, block.size() * 8);
      fill(block.size());
      f.write(reinterpret_cast<const char*>(block.data()), n);
      done += n;
    }
    if (!f) die(rel);
    list << bytes << " ." << rel << "\n";
  };
  for (int i = 0; i < large; ++i) write("/big/large" + std::to_string(i), largeMiB << 20);
  for (int i = 0; i < small; ++i) {
    if (i % 100 == 0) std::filesystem::create_directories(w.root + "/s" + std::to_string(i / 100));
    write("/s" + std::to_string(i / 100) + "/f" + std::to_string(i), 100 << 10);
  }
  return w;
}

// libcrypto's SHA-256 on one core, in bytes a second: 512 MiB hashed in
// 256 KiB chunks from a buffer that stays in the cache, as korlan reads.
double sha256Speed() {
  std::vector<unsigned char> buffer(256 << 10, 0x5a);
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  const long rounds = 2048;
  const auto start = std::chrono::steady_clock::now();
  EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
  for (long i = 0; i < rounds; ++i) EVP_DigestUpdate(context, buffer.data(), buffer.size());
  EVP_DigestFinal_ex(context, digest, &length);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EVP_MD_CTX_free(context);
  return rounds * buffer.size() / seconds;
}

long listedBytes(const Workload& w) {
  std::ifstream list(w.list);
  long total = 0, size;
  std::string path;
  while (list >> size >> path) total += size;
  return total;
}

// Has korlan write the digests of `w` beside its list, as ROOT.sha256.
std::string writeSums(const Workload& w, const std::string& korlan) {
  const std::string sums = w.root + ".sha256";
  const std::string command = "'" + korlan + "' --make-sums '" + w.root + "' > '" + sums + "'";
  if (system(command.c_str()) != 0) die(command);
  return sums;
}

// How the programs of one row run.
struct Setting {
  bool cold = false;       // caches dropped before every run, no warm-up
  int cpu = -1;            // the one CPU every program is pinned to, or -1
  bool anyStatus = false;  // a program that ends with another status than 0 is not refused
};

// Writes back dirty pages (which cannot be dropped), then drops the page
// cache, dentries and inodes. Returns why it could not, or "".
std::string dropCaches() {
  if (geteuid() != 0) return "not root, and only root may drop the caches";
  sync();
  const char* knob = "/proc/sys/vm/drop_caches";
  int fd = open(knob, O_WRONLY);
  if (fd < 0) return std::string("cannot open ") + knob + ": " + strerror(errno);
  const bool written = write(fd, "3", 1) == 1;
  const int error = errno;
  close(fd);
  if (!written) return std::string("cannot write ") + knob + ": " + strerror(error);
  return "";
}

// Why cold rows cannot be measured on the trees under `work`, or "".
std::string whyNoCold(const std::string& work) {
  // tmpfs keeps its files in the page cache: dropping it drops nothing.
  struct statfs fs;
  if (statfs(work.c_str(), &fs) == 0 && fs.f_type == TMPFS_MAGIC) {
    return work + " is on tmpfs, whose files never leave memory";
  }
  return dropCaches();
}

// The lowest-numbered CPU this process may run on.
int firstCpu() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) die("sched_getaffinity");
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &set)) return cpu;
  }
  return 0;
}

struct Sample {
  double seconds;
  long maxRssKiB;
};

Sample runOnce(const std::vector<std::string>& argv, const Setting& setting) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  if (setting.cold) {
    const std::string why = dropCaches();
    if (!why.empty()) {
      fprintf(stderr, "bench: %s\n", why.c_str());
      exit(1);
    }
  }
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    // Pinned in the child, before exec: the program starts on that CPU and
    // sees it alone in its own sched_getaffinity, as under taskset.
    if (setting.cpu >= 0) {
      cpu_set_t set;
      CPU_ZERO(&set);
      CPU_SET(setting.cpu, &set);
      if (sched_setaffinity(0, sizeof set, &set) != 0) {
        perror("sched_setaffinity");
        _exit(127);
      }
    }
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) die("wait4");
  const auto end = std::chrono::steady_clock::now();
  if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && !setting.anyStatus)) {
    fprintf(stderr, "%s exited with status %d\n", argv[0].c_str(), status);
    exit(1);
  }
  return {std::chrono::duration<double>(end - start).count(), usage.ru_maxrss};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Medians over the rounds of one row; the first program is korlan, and
// ratio[i] is the median of korlan's time over program i's in each round.
struct Medians {
  std::vector<double> ms, ratio, mib;
};

// Runs `programs` one after the other in each of `runs` rounds, after a
// warm-up round unless the caches are dropped before every run anyway.
Medians measure(const std::vector<std::vector<std::string>>& programs, int runs,
                const Setting& setting) {
  if (!setting.cold) {
    for (const auto& p : programs) runOnce(p, setting);
  }
  const size_t n = programs.size();
  std::vector<std::vector<double>> ms(n), ratio(n), mib(n);
  for (int r = 0; r < runs; ++r) {
    std::vector<Sample> round;
    for (const auto& p : programs) round.push_back(runOnce(p, setting));
    for (size_t i = 0; i < n; ++i) {
      ms[i].push_back(round[i].seconds * 1000);
      ratio[i].push_back(round[0].seconds / round[i].seconds);
      mib[i].push_back(round[i].maxRssKiB / 1024.0);
    }
  }
  Medians m;
  for (size_t i = 0; i < n; ++i) {
    m.ms.push_back(median(ms[i]));
    m.ratio.push_back(median(ratio[i]));
    m.mib.push_back(median(mib[i]));
  }
  return m;
}

// The head of the main table.
void verifyHead() {
  printf("\n| %-16s | %7s | %9s | %9s | %6s | %14s | %6s | %10s | %9s |\n", "workload", "entries",
         "korlan ms", "floor ms", "ratio", "floor+dots ms", "ratio", "korlan MiB", "floor MiB");
  printf("|---|--:|--:|--:|--:|--:|--:|--:|--:|\n");
}

// One row of the main table: korlan, the floor and the floor with the dots.
void verifyRow(const std::string& label, const Workload& w, const std::string& korlan,
               const std::string& floorProgram, int runs, const Setting& setting,
               bool quiet = false) {
  std::vector<std::string> verify = {korlan, w.root, w.list};
  if (quiet) verify.insert(verify.begin() + 1, "-q");
  const Medians m =
      measure({verify, {floorProgram, w.root, w.list}, {floorProgram, "--dots", w.root, w.list}},
              runs, setting);
  printf("| %-16s | %7ld | %9.1f | %9.1f | %6.3f | %14.1f | %6.3f | %10.1f | %9.1f |\n",
         label.c_str(), w.entries, m.ms[0], m.ms[1], m.ratio[1], m.ms[2], m.ratio[2], m.mib[0],
         m.mib[1]);
  fflush(stdout);
}

// --unlisted is one walk of the list and one walk of the tree: its time is
// held against the plain verification plus 1.2 times --make-list, and its
// memory against the plain verification's.
void unlistedRow(const Workload& w, const std::string& korlan, int runs) {
  const Medians m = measure({{korlan, "--unlisted", w.root, w.list},
                             {korlan, w.root, w.list},
                             {korlan, "--make-list", w.root}},
                            runs, Setting{});
  printf(
      "\nLooking for unlisted files: korlan --unlisted ROOT LIST against the plain\n"
      "verification and korlan --make-list ROOT, same rounds; budget: plain ms\n"
      "plus 1.2 times make-list ms.\n\n");
  printf("| %-16s | %7s | %11s | %8s | %12s | %9s | %12s | %9s | %13s |\n", "workload", "files",
         "unlisted ms", "plain ms", "make-list ms", "budget ms", "unlisted MiB", "plain MiB",
         "make-list MiB");
  printf("|---|--:|--:|--:|--:|--:|--:|--:|--:|\n");
  printf("| %-16s | %7ld | %11.1f | %8.1f | %12.1f | %9.1f | %12.1f | %9.1f | %13.1f |\n",
         w.name.c_str(), w.entries, m.ms[0], m.ms[1], m.ms[2], m.ms[1] + 1.2 * m.ms[2], m.mib[0],
         m.mib[1], m.mib[2]);
  fflush(stdout);
}

int usableCpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) die("sched_getaffinity");
  return CPU_COUNT(&set);
}

// The rows of --sums and --make-sums: see the comment at the top.
void sumsRows(const std::string& work, const std::string& korlan, const std::string& floorProgram,
              const Workload& b200, int runs, int cpu) {
  fprintf(stderr, "generating the trees of real bytes ...\n");
  const Workload loads[] = {mixed(work, 2, 192, 1280), mixed(work, 4, 192, 2560)};
  const double speed = sha256Speed();
  const int cpus = usableCpus();
  printf(
      "\nContents: libcrypto SHA-256 on one core %.1f MiB/s, %d CPUs usable; hash floor =\n"
      "bytes / that speed / CPUs. Ratios: korlan's time over the floor's.\n\n",
      speed / (1 << 20), cpus);
  printf("| %-18s | %7s | %9s | %13s | %6s | %16s | %6s | %10s | %15s |\n", "workload", "MiB",
         "floor ms", "--sums ms", "ratio", "--make-sums ms", "ratio", "--sums MiB",
         "--make-sums MiB");
  printf("|---|--:|--:|--:|--:|--:|--:|--:|--:|\n");
  for (const Workload& w : loads) {
    const std::string sums = writeSums(w, korlan);
    const double bytes = listedBytes(w), floorMs = bytes / speed / cpus * 1000;
    const Medians m = measure(
        {{korlan, "--sums=" + sums, w.root, w.list}, {korlan, "--make-sums", w.root}}, runs, {});
    printf("| %-18s | %7.0f | %9.1f | %13.1f | %6.3f | %16.1f | %6.3f | %10.1f | %15.1f |\n",
           w.name.c_str(), bytes / (1 << 20), floorMs, m.ms[0], m.ms[0] / floorMs, m.ms[1],
           m.ms[1] / floorMs, m.mib[0], m.mib[1]);
    fflush(stdout);
  }
  const Workload& big = loads[1];
  const std::string hashFloor =
      std::filesystem::path(floorProgram).replace_filename("hashfloor").string();
  const std::string bigSums = big.root + ".sha256";
  const Medians one =
      measure({{korlan, "--sums=" + bigSums, big.root, big.list}, {hashFloor, big.root, big.list}},
              runs, Setting{false, cpu});
  printf(
      "\nOn CPU %d alone: korlan --sums %.1f ms, hashfloor (one thread reads and hashes)\n"
      "%.1f ms, ratio %.3f (%s).\n",
      cpu, one.ms[0], one.ms[1], one.ratio[1], big.name.c_str());
  const std::string sums = writeSums(b200, korlan);
  const double bytes = listedBytes(b200);
  const Medians b = measure(
      {{korlan, "--sums=" + sums, b200.root, b200.list}, {korlan, b200.root, b200.list}}, runs, {});
  printf(
      "\n%s (%.0f MiB of zeros, hash floor %.1f ms): korlan --sums %.1f ms, %.1f MiB;\n"
      "korlan %.1f ms, %.1f MiB; ratio %.3f.\n",
      b200.name.c_str(), bytes / (1 << 20), bytes / speed / cpus * 1000, b.ms[0], b.mib[0], b.ms[1],
      b.mib[1], b.ratio[1]);
  fflush(stdout);
}

// The row of a tree of several names to a file: see the comment at the top.
void linksRow(const std::string& work, const std::string& korlan, int runs) {
  fprintf(stderr, "generating the tree of links ...\n");
  std::filesystem::remove_all(work + "/links");
  const Workload w = mixed(work + "/links", 2, 192, 1280);
  const long fileBytes = listedBytes(w);
  // Every second file gets one more name, by turns a hard link and a link
  // beside it: a third of the names.
  std::vector<std::pair<long, std::string>> named;
  {
    std::ifstream list(w.list);
    long size;
    std::string path;
    for (int n = 0; list >> size >> path; ++n)
      if (n % 2 == 0) named.emplace_back(size, path);
  }
  std::ofstream list(w.list, std::ios::app);
  for (size_t i = 0; i < named.size(); ++i) {
    const std::string& path = named[i].second;  // "./dir/name"
    const std::string from = w.root + path.substr(1), to = from + ".also";
    const std::string base = path.substr(path.rfind('/') + 1);
    if ((i % 2 == 0 ? link(from.c_str(), to.c_str()) : symlink(base.c_str(), to.c_str())) != 0)
      die(to);
    list << named[i].first << " " << path << ".also\n";
  }
  list.close();
  const std::string sums = writeSums(w, korlan);
  const double speed = sha256Speed(), cpus = usableCpus();
  const double namesMs = listedBytes(w) / speed / cpus * 1000,
               filesMs = fileBytes / speed / cpus * 1000;
  const Medians m = measure({{korlan, "--sums=" + sums, w.root, w.list}}, runs, {});
  printf(
      "\nSeveral names to a file, %s and %zu more names (a third, half of them links):\n"
      "korlan --sums %.1f ms, %.1f MiB; hash floor of every name's bytes %.1f ms, ratio %.3f;\n"
      "of each file's once %.1f ms, ratio %.3f.\n",
      w.name.c_str(), named.size(), m.ms[0], m.mib[0], namesMs, m.ms[0] / namesMs, filesMs,
      m.ms[0] / filesMs);
  fflush(stdout);
}

// Runs `command` through the shell; false when it fails.
bool shell(const std::string& command) { return system(command.c_str()) == 0; }

// Has korlan write the manifest of `w` beside its list, as ROOT.mtree or ROOT`suffix`.
std::string writeManifest(const Workload& w, const std::string& korlan, const std::string& keywords,
                          const std::string& suffix = ".mtree") {
  const std::string manifest = w.root + suffix;
  if (!shell("'" + korlan + "' --make-mtree " + keywords + " '" + w.root + "' > '" + manifest +
             "'"))
    die("make-mtree");
  return manifest;
}

// The rows of manifests: see the comment at the top.
void mtreeRows(const std::string& work, const std::string& korlan, const std::string& floorProgram,
               const Workload& b200, int runs) {
  const bool mtree = access("/usr/bin/mtree", X_OK) == 0;
  const std::string noMtree = "absent";
  printf(
      "\nManifests, warm: korlan --mtree ROOT MANIFEST against the single-thread lstat floor\n"
      "(floor --lstat) and mtree -f (mtree-netbsd) on the same manifest, same rounds;\n"
      "korlan's memory against the plain verification of the tree's packing list.\n\n");
  printf("| %-22s | %9s | %9s | %6s | %11s | %10s | %9s | %6s |\n", "workload", "--mtree ms",
         "floor ms", "ratio", "mtree -f ms", "korlan MiB", "plain MiB", "ratio");
  printf("|---|--:|--:|--:|--:|--:|--:|--:|\n");
  const std::string bushyManifest = writeManifest(b200, korlan, "--keywords=mode,size,link");
  std::vector<std::vector<std::string>> programs = {{korlan, "--mtree", b200.root, bushyManifest},
                                                    {floorProgram, "--lstat", b200.root, b200.list},
                                                    {korlan, b200.root, b200.list}};
  if (mtree) programs.push_back({"/usr/bin/mtree", "-f", bushyManifest, "-p", b200.root});
  Medians m = measure(programs, runs, {});
  printf("| %-22s | %9.1f | %9.1f | %6.3f | %11s | %10.1f | %9.1f | %6.3f |\n",
         (b200.name + " type/mode/size/link").c_str(), m.ms[0], m.ms[1], m.ratio[1],
         mtree ? std::to_string(m.ms[3]).substr(0, 7).c_str() : noMtree.c_str(), m.mib[0], m.mib[2],
         m.mib[0] / m.mib[2]);
  fflush(stdout);

  // flags and xattr on every entry, against the manifest above in the same rounds; and AIDE's
  // check of the same attributes once, from the database its --init wrote.
  const std::string attrManifest =
      writeManifest(b200, korlan, "--keywords=mode,size,link,flags,xattr", ".attr.mtree");
  m = measure(
      {{korlan, "--mtree", b200.root, attrManifest}, {korlan, "--mtree", b200.root, bushyManifest}},
      runs, {});
  std::string aide = "absent";
  const std::string conf = work + "/aide.conf", db = work + "/aide.db";
  if (access("/usr/bin/aide", X_OK) == 0) {
    std::ofstream(conf) << "database_in=file:" << db << "\ndatabase_out=file:" << db
                        << ".new\ngzip_dbout=no\nreport_url=stdout\n"
                        << "Check = ftype+p+s+l+xattrs+e2fsattrs\n"
                        << b200.root << " Check\n";
    if (!shell("/usr/bin/aide --init -c '" + conf + "' > /dev/null") ||
        rename((db + ".new").c_str(), db.c_str()) != 0)
      die("aide --init");
    char ms[32];
    snprintf(ms, sizeof ms, "%.1f",
             runOnce({"/usr/bin/aide", "--check", "-c", conf}, {}).seconds * 1000);
    aide = ms;
  }
  printf(
      "%s with flags and xattr too: korlan --mtree %.1f ms, %.1f MiB, against type/mode/size/link\n"
      "%.1f ms, ratio %.3f; AIDE --check of the same attributes, one run: %s ms.\n",
      b200.name.c_str(), m.ms[0], m.mib[0], m.ms[1], m.ratio[1], aide.c_str());
  fflush(stdout);

  fprintf(stderr, "generating the tree of real bytes ...\n");
  const Workload big = mixed(work, 4, 192, 2560);
  const double speed = sha256Speed(), floorMs = listedBytes(big) / speed / usableCpus() * 1000;
  const std::string bigManifest = writeManifest(big, korlan, "");
  programs = {{korlan, "--mtree", big.root, bigManifest}};
  if (mtree) programs.push_back({"/usr/bin/mtree", "-f", bigManifest, "-p", big.root});
  m = measure(programs, runs, {});
  printf(
      "\n%s with sha256digest: korlan --mtree %.1f ms, hash floor %.1f ms, ratio %.3f;\n"
      "mtree -f %s ms.\n",
      big.name.c_str(), m.ms[0], floorMs, m.ms[0] / floorMs,
      mtree ? std::to_string(m.ms[1]).c_str() : noMtree.c_str());

  m = measure({{korlan, "--make-mtree", "--keywords=mode,size,link", b200.root},
               {korlan, "--make-list", b200.root}},
              runs, {});
  printf(
      "--make-mtree --keywords=mode,size,link on %s: %.1f ms against --make-list %.1f ms,"
      " ratio %.3f.\n",
      b200.name.c_str(), m.ms[0], m.ms[1], m.ratio[1]);
  m = measure({{korlan, "--make-mtree", big.root}}, runs, {});
  printf("--make-mtree on %s (sha256digest): %.1f ms against the hash floor %.1f ms, ratio %.3f.\n",
         big.name.c_str(), m.ms[0], floorMs, m.ms[0] / floorMs);
  fflush(stdout);
}

// The row of signed lists: see the comment at the top.
void keyRow(const std::string& work, const std::string& korlan, const Workload& b200, int runs) {
  const std::string key = work + "/bench.key", pub = work + "/bench.pub";
  if (access("/usr/bin/minisign", X_OK) != 0 ||
      !shell("/usr/bin/minisign -G -W -f -p '" + pub + "' -s '" + key + "' > /dev/null") ||
      !shell("/usr/bin/minisign -S -s '" + key + "' -m '" + b200.list + "' > /dev/null")) {
    printf("\nkey row skipped: minisign is not installed, or could not sign.\n");
    return;
  }
  const Medians m = measure(
      {{korlan, "--key=" + pub, b200.root, b200.list}, {korlan, b200.root, b200.list}}, runs, {});
  printf(
      "\nSigned list, %s: korlan --key %.1f ms, %.1f MiB; korlan %.1f ms, %.1f MiB;"
      " ratio %.3f.\n",
      b200.name.c_str(), m.ms[0], m.mib[0], m.ms[1], m.mib[1], m.ratio[1]);
  fflush(stdout);
}

// memcmp on one core, in bytes a second: two 256 KiB buffers that stay in the cache, compared
// 2,048 times, as a direct comparison would compare an archive's block with the disk's.
double memcmpSpeed() {
  std::vector<unsigned char> a(256 << 10, 0x5a), b(256 << 10, 0x5a);
  const long rounds = 2048;
  long equal = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < rounds; ++i) {
    b[i % b.size()] = 0x5a;  // a store the compiler cannot drop the loop around
    equal += memcmp(a.data(), b.data(), a.size()) == 0;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (equal != rounds) die("memcmp");
  return rounds * a.size() / seconds;
}

// The rows of archives: see the comment at the top.
void archiveRows(const std::string& work, const std::string& korlan, int runs) {
  if (access("/usr/bin/tar", X_OK) != 0 || access("/usr/bin/zstd", X_OK) != 0) {
    printf("\narchive rows skipped: GNU tar or zstd is not installed.\n");
    return;
  }
  fprintf(stderr, "generating the tree of real bytes and its archives ...\n");
  const Workload big = mixed(work, 4, 192, 2560);
  const std::string tar = big.root + ".tar", zst = tar + ".zst";
  if (!shell("/usr/bin/tar -cf '" + tar + "' -C '" + big.root + "' . && /usr/bin/zstd -q -f '" +
             tar + "' -o '" + zst + "'"))
    die("tar or zstd");
  const Medians plain =
      measure({{korlan, "--archive", big.root, tar}, {"/usr/bin/tar", "-df", tar, "-C", big.root}},
              runs, {});
  const Medians packed =
      measure({{korlan, "--archive", big.root, zst}, {"/usr/bin/zstd", "-dcq", zst}}, runs, {});
  // zstd reads on a thread of its own: on one CPU, the work each does.
  const Medians one =
      measure({{korlan, "--archive", big.root, zst}, {"/usr/bin/zstd", "-dcq", zst}}, runs,
              Setting{false, firstCpu()});
  struct stat st;
  const double zstMiB = stat(zst.c_str(), &st) == 0 ? st.st_size / double(1 << 20) : 0;
  printf(
      "\nArchives, warm, %s: korlan --archive ROOT ARCHIVE against GNU tar -df\n"
      "(the archive's bytes compared with the disk's directly) on its uncompressed tar, and\n"
      "against zstd -dc to /dev/null on its .tar.zst (%.0f MiB); budget 1.1 times zstd.\n"
      "Ratios: korlan's time over the other's.\n\n",
      big.name.c_str(), zstMiB);
  printf("| %-13s | %9s | %9s | %6s | %9s | %10s | %9s |\n", "archive", "korlan ms", "other ms",
         "ratio", "budget ms", "korlan MiB", "other MiB");
  printf("|---|--:|--:|--:|--:|--:|--:|\n");
  printf("| %-13s | %9.1f | %9.1f | %6.3f | %9s | %10.1f | %9.1f |\n", "tar, tar -df", plain.ms[0],
         plain.ms[1], plain.ratio[1], "", plain.mib[0], plain.mib[1]);
  printf("| %-13s | %9.1f | %9.1f | %6.3f | %9.1f | %10.1f | %9.1f |\n", "tar.zst, zstd",
         packed.ms[0], packed.ms[1], packed.ratio[1], 1.1 * packed.ms[1], packed.mib[0],
         packed.mib[1]);
  printf("| %-13s | %9.1f | %9.1f | %6.3f | %9s | %10.1f | %9.1f |\n", "  on one CPU", one.ms[0],
         one.ms[1], one.ratio[1], "", one.mib[0], one.mib[1]);
  printf(
      "\nOne core: libcrypto SHA-256 %.1f MiB/s, memcmp %.1f MiB/s. korlan compares the\n"
      "archive's bytes with the disk's on a thread beside the one that decompresses them,\n"
      "tar -df on its one thread; zstd -dc reads the archive on a thread of its own.\n",
      sha256Speed() / (1 << 20), memcmpSpeed() / (1 << 20));
  fflush(stdout);
}

// The row of a slow disk: see the comment at the top.
void slowRow(const std::string& work, const std::string& korlan, const std::string& floorProgram,
             int runs) {
  const std::string slowfs =
      std::filesystem::path(floorProgram).replace_filename("slowfs").string();
  std::string why = access(slowfs.c_str(), X_OK) != 0 ? slowfs + " was not built (libfuse3)"
                    : geteuid() != 0                  ? "not root"
                                                      : "";
  const std::string image = work + "/slowimage", fuse = work + "/slowfuse",
                    mounted = work + "/slowdisk";
  Workload w = bushy(work, 20000);
  pid_t server = -1;
  std::string loop;
  if (why.empty()) {
    std::filesystem::create_directories(image);
    std::filesystem::create_directories(fuse);
    std::filesystem::create_directories(mounted);
    if (!shell("truncate -s 256M '" + image + "/img' && mkfs.ext4 -q -F -d '" + w.root + "' '" +
               image + "/img'"))
      why = "mkfs.ext4 -d failed";
  }
  if (why.empty()) {
    server = fork();
    if (server == 0) {
      execl(slowfs.c_str(), "slowfs", image.c_str(), fuse.c_str(), "5000", nullptr);
      _exit(127);
    }
    for (int tries = 0; tries < 50 && access((fuse + "/img").c_str(), R_OK) != 0; ++tries)
      usleep(100000);
    FILE* attached = popen(("losetup -f --show -r --direct-io=on '" + fuse + "/img'").c_str(), "r");
    char device[64] = "";
    if (attached == nullptr || fgets(device, sizeof device, attached) == nullptr)
      why = "slowfs or losetup failed";
    if (attached != nullptr) pclose(attached);
    loop = std::string(device).substr(0, strcspn(device, "\n"));
    if (why.empty() && !shell("mount -o ro " + loop + " '" + mounted + "'")) why = "mount failed";
  }
  if (why.empty()) {
    printf(
        "\nslow: %s on an ext4 image read through a loop device from slowfs, every read 5 ms;\n"
        "page cache, dentries and inodes dropped before every run.\n",
        w.name.c_str());
    verifyHead();
    w.root = mounted;
    verifyRow(w.name + " slow", w, korlan, floorProgram, runs, Setting{true, -1});
    shell("umount '" + mounted + "'");
  } else {
    printf("\nslow row skipped: %s.\n", why.c_str());
  }
  if (!loop.empty()) shell("losetup -d " + loop);
  if (server > 0) {
    shell("umount '" + fuse + "'");
    waitpid(server, nullptr, 0);
  }
}

// The rows of the host's packages: see the comment at the top.
void dpkgRows(const std::string& korlan, int runs, int cpu) {
  const char* dpkg = "/usr/bin/dpkg";
  if (access("/var/lib/dpkg/status", R_OK) != 0 || access(dpkg, X_OK) != 0) {
    printf("\ndpkg rows skipped: no dpkg, or no database in /var/lib/dpkg.\n");
    return;
  }
  // What the database names, as korlan counts it: total<TAB>FAILED<TAB>ENTRIES.
  long failed = 0, entries = 0;
  if (FILE* total = popen(("'" + korlan + "' --dpkg --tsv 2>/dev/null | tail -1").c_str(), "r")) {
    if (fscanf(total, "total\t%ld\t%ld", &failed, &entries) != 2) entries = 0;
    pclose(total);
  }
  printf(
      "\nThe host's packages (%ld paths, %ld failed): korlan --dpkg -q against dpkg -V,\n"
      "same rounds after a warm-up; medians.\n\n",
      entries, failed);
  printf("| %-8s | %9s | %10s | %6s | %10s | %8s |\n", "CPUs", "korlan ms", "dpkg -V ms", "ratio",
         "korlan MiB", "dpkg MiB");
  printf("|---|--:|--:|--:|--:|--:|\n");
  for (const int pinned : {-1, cpu}) {
    const Medians m =
        measure({{korlan, "--dpkg", "-q"}, {dpkg, "-V"}}, runs, Setting{false, pinned, true});
    printf("| %-8s | %9.1f | %10.1f | %6.3f | %10.1f | %8.1f |\n",
           pinned < 0 ? "all" : ("CPU " + std::to_string(cpu)).c_str(), m.ms[0], m.ms[1],
           m.ratio[1], m.mib[0], m.mib[1]);
    fflush(stdout);
  }
  if (access("/usr/bin/debsums", X_OK) != 0) {
    printf("\ndebsums row skipped: debsums is not installed.\n");
    return;
  }
  const Sample debsums = runOnce({"/usr/bin/debsums", "-s"}, Setting{false, -1, true});
  printf("\ndebsums -s, once, warm: %.1f ms, %.1f MiB.\n", debsums.seconds * 1000,
         debsums.maxRssKiB / 1024.0);
  fflush(stdout);
}

const char usage[] =
    "usage: bench KORLAN FLOOR [--runs N] [--work DIR] [--only NAME]\n"
    "NAME: bushy, quiet, flat, tall, deep, cold, slow, onecpu, makelist, unlisted, sums,\n"
    "links, mtree, key, archive or dpkg\n";

}  // namespace

int main(int argc, char** argv) {
  int runs = 7;
  std::string work, only;
  static const option longOptions[] = {{"runs", required_argument, nullptr, 'r'},
                                       {"work", required_argument, nullptr, 'w'},
                                       {"only", required_argument, nullptr, 'o'},
                                       {nullptr, 0, nullptr, 0}};
  for (int opt; (opt = getopt_long(argc, argv, "", longOptions, nullptr)) != -1;) {
    switch (opt) {
      case 'r': runs = atoi(optarg); break;
      case 'w': work = optarg; break;
      case 'o': only = optarg; break;
      default: fputs(usage, stderr); return 2;
    }
  }
  const std::vector<std::string> names = {
      "bushy",    "quiet",    "flat", "tall",  "deep",  "cold", "slow",    "onecpu",
      "makelist", "unlisted", "sums", "links", "mtree", "key",  "archive", "dpkg"};
  if (argc - optind != 2 ||
      (!only.empty() && std::find(names.begin(), names.end(), only) == names.end())) {
    fputs(usage, stderr);
    return 2;
  }
  if (runs < 1) {
    fprintf(stderr, "bench: --runs takes a whole number of at least 1\n");
    return 2;
  }
  const std::string korlan = argv[optind], floorProgram = argv[optind + 1];
  const bool ownWork = work.empty();
  if (ownWork) {
    char tmpl[] = "/tmp/korlan-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) die("mkdtemp");
    work = tmpl;
  }
  // The lists are written beside the trees, before any directory of them.
  std::filesystem::create_directories(work);
  auto want = [&](const char* name) { return only.empty() || only == name; };
  // Tried before the trees are made: a run that cannot have cold rows makes
  // no tree for them alone.
  const std::string noCold = want("cold") ? whyNoCold(work) : "";
  const int cpu = firstCpu();

  fprintf(stderr, "generating workloads under %s ...\n", work.c_str());
  std::vector<Workload> loads;
  if (want("bushy")) {
    loads.push_back(bushy(work, 100000));
    loads.push_back(bushy(work, 200000));
    loads.push_back(bushy(work, 400000));
  }
  if (want("flat")) loads.push_back(flat(work, 100000));
  if (want("tall")) loads.push_back(tall(work, 100000));
  if (want("deep")) loads.push_back(deep(work, 20000));
  // bushy 200k serves the cold, one-CPU and make-list rows too; it is made
  // again only when the warm rows did not make it.
  auto found = std::find_if(loads.begin(), loads.end(),
                            [](const Workload& w) { return w.name == "bushy 200k"; });
  const bool coldRows = want("cold") && noCold.empty();
  const bool b200Rows = coldRows || want("quiet") || want("onecpu") || want("makelist") ||
                        want("unlisted") || want("sums") || want("mtree") || want("key");
  const Workload b200 = found != loads.end() ? *found : b200Rows ? bushy(work, 200000) : Workload{};

  if (want("cold") && !coldRows) printf("cold rows skipped: %s.\n", noCold.c_str());
  if (!loads.empty() || coldRows || want("quiet") || want("onecpu")) {
    printf(
        "%d rounds%s; medians. Wall time in ms, peak RSS in MiB;\n"
        "each ratio: korlan's time over the other program's in the same round.\n",
        runs, !loads.empty() || want("quiet") || want("onecpu") ? " after a warm-up" : "");
    if (coldRows) {
      printf(
          "cold: page cache, dentries and inodes dropped before every run of every\n"
          "program (sync, then 3 to /proc/sys/vm/drop_caches); no warm-up.\n");
    }
    if (want("onecpu")) {
      printf("1 CPU: every program pinned to CPU %d (sched_setaffinity before exec).\n", cpu);
    }
    verifyHead();
  }
  fflush(stdout);

  for (const Workload& w : loads) verifyRow(w.name, w, korlan, floorProgram, runs, Setting{});
  if (want("quiet")) {
    verifyRow(b200.name + " -q", b200, korlan, floorProgram, runs, Setting{}, true);
  }
  if (want("onecpu")) {
    verifyRow(b200.name + " 1 CPU", b200, korlan, floorProgram, runs, Setting{false, cpu});
  }
  if (coldRows) {
    verifyRow(b200.name + " cold", b200, korlan, floorProgram, runs, Setting{true, -1});
  }
  if (want("slow")) slowRow(work, korlan, floorProgram, runs);

  if (want("makelist")) {
    const Medians m = measure({{korlan, "--make-list", b200.root},
                               {"/usr/bin/find", b200.root, "-type", "f", "-printf", "%s %p\n"}},
                              runs, Setting{});
    printf(
        "\nMaking the list: korlan --make-list ROOT against\n"
        "find ROOT -type f -printf '%%s %%p\\n', same rounds.\n\n");
    printf("| %-16s | %7s | %16s | %7s | %6s | %10s | %8s |\n", "workload", "files", "make-list ms",
           "find ms", "ratio", "korlan MiB", "find MiB");
    printf("|---|--:|--:|--:|--:|--:|--:|\n");
    printf("| %-16s | %7ld | %16.1f | %7.1f | %6.3f | %10.1f | %8.1f |\n", b200.name.c_str(),
           b200.entries, m.ms[0], m.ms[1], m.ratio[1], m.mib[0], m.mib[1]);
    fflush(stdout);
  }
  if (want("unlisted")) unlistedRow(b200, korlan, runs);
  if (want("sums")) sumsRows(work, korlan, floorProgram, b200, runs, cpu);
  if (want("links")) linksRow(work, korlan, runs);
  if (want("mtree")) mtreeRows(work, korlan, floorProgram, b200, runs);
  if (want("key")) keyRow(work, korlan, b200, runs);
  if (want("archive")) archiveRows(work, korlan, runs);
  if (want("dpkg")) dpkgRows(korlan, runs, cpu);
  if (ownWork) std::filesystem::remove_all(work);
  return 0;
}
