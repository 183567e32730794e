// bench: korlan against the floor (one stat call per entry and nothing
// else), and against the floor that also writes korlan's flushed progress
// dots (floor --dots), on generated trees; then `korlan --make-list` against
// `find ROOT -type f -printf '%s %p\n'`, which does the same work.
//
//   bench KORLAN FLOOR [--runs N] [--work DIR] [--only NAME]
//
// NAME is bushy, flat, deep or makelist. For each workload: one warm-up run
// of each program, then N rounds in which they run one after the other.
// Prints medians of wall time, of the per-round ratio to the floor, and of
// peak resident memory, as wait4 reports it for the child.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
                            std::to_string(leaf / fan % fan) + "/n" +
                            std::to_string(leaf % fan);
    std::filesystem::create_directories(w.root + rel);
    for (int f = 0; f < 100 && n < files; ++f, ++n) {
      addFile(w, list, rel + "/file" + std::to_string(f) + ".dat", n);
    }
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

struct Sample {
  double seconds;
  long maxRssKiB;
};

Sample runOnce(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
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
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: bench KORLAN FLOOR [--runs N] [--work DIR] [--only NAME]\n");
    return 2;
  }
  const std::string korlan = argv[1], floorProgram = argv[2];
  int runs = 7;
  std::string work, only;
  for (int i = 3; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--runs")) runs = atoi(argv[i + 1]);
    else if (!strcmp(argv[i], "--work")) work = argv[i + 1];
    else if (!strcmp(argv[i], "--only")) only = argv[i + 1];
  }
  if (runs < 1) {
    fprintf(stderr, "bench: --runs takes a whole number of at least 1\n");
    return 2;
  }
  const bool ownWork = work.empty();
  if (ownWork) {
    char tmpl[] = "/tmp/korlan-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) die("mkdtemp");
    work = tmpl;
  }

  fprintf(stderr, "generating workloads under %s ...\n", work.c_str());
  std::vector<Workload> loads;
  auto want = [&](const char* name) { return only.empty() || only == name; };
  if (want("bushy")) {
    loads.push_back(bushy(work, 100000));
    loads.push_back(bushy(work, 200000));
    loads.push_back(bushy(work, 400000));
  }
  if (want("flat")) loads.push_back(flat(work, 100000));
  if (want("deep")) loads.push_back(deep(work, 20000));

  printf("%d rounds after a warm-up; medians. Wall time in ms, peak RSS in MiB;\n"
         "each ratio: korlan's time over the other program's in the same round.\n", runs);
  if (!loads.empty()) {
    printf("\n| %-16s | %7s | %9s | %9s | %6s | %14s | %6s | %10s | %9s |\n", "workload",
           "entries", "korlan ms", "floor ms", "ratio", "floor+dots ms", "ratio",
           "korlan MiB", "floor MiB");
    printf("|---|--:|--:|--:|--:|--:|--:|--:|--:|\n");
  }
  fflush(stdout);

  for (const Workload& w : loads) {
    const std::vector<std::string> k = {korlan, w.root, w.list};
    const std::vector<std::string> f = {floorProgram, w.root, w.list};
    const std::vector<std::string> fd = {floorProgram, "--dots", w.root, w.list};
    runOnce(k);
    runOnce(f);
    runOnce(fd);
    std::vector<double> kt, ft, fdt, ratio, dotsRatio, krss, frss;
    for (int r = 0; r < runs; ++r) {
      const Sample a = runOnce(k), b = runOnce(f), c = runOnce(fd);
      kt.push_back(a.seconds * 1000);
      ft.push_back(b.seconds * 1000);
      fdt.push_back(c.seconds * 1000);
      ratio.push_back(a.seconds / b.seconds);
      dotsRatio.push_back(a.seconds / c.seconds);
      krss.push_back(a.maxRssKiB / 1024.0);
      frss.push_back(b.maxRssKiB / 1024.0);
    }
    printf("| %-16s | %7ld | %9.1f | %9.1f | %6.3f | %14.1f | %6.3f | %10.1f | %9.1f |\n",
           w.name.c_str(), w.entries, median(kt), median(ft), median(ratio), median(fdt),
           median(dotsRatio), median(krss), median(frss));
    fflush(stdout);
  }

  if (want("makelist")) {
    // The tree of bushy 200k, made again only when the main table did not.
    const auto made = std::find_if(loads.begin(), loads.end(),
                                   [](const Workload& w) { return w.name == "bushy 200k"; });
    const Workload w = made != loads.end() ? *made : bushy(work, 200000);
    const std::vector<std::string> k = {korlan, "--make-list", w.root};
    const std::vector<std::string> f = {"/usr/bin/find", w.root, "-type", "f", "-printf",
                                        "%s %p\n"};
    runOnce(k);
    runOnce(f);
    std::vector<double> kt, ft, ratio, krss, frss;
    for (int r = 0; r < runs; ++r) {
      const Sample a = runOnce(k), b = runOnce(f);
      kt.push_back(a.seconds * 1000);
      ft.push_back(b.seconds * 1000);
      ratio.push_back(a.seconds / b.seconds);
      krss.push_back(a.maxRssKiB / 1024.0);
      frss.push_back(b.maxRssKiB / 1024.0);
    }
    printf("\nMaking the list: korlan --make-list ROOT against\n"
           "find ROOT -type f -printf '%%s %%p\\n', same rounds.\n\n");
    printf("| %-16s | %7s | %16s | %7s | %6s | %10s | %8s |\n", "workload", "files",
           "make-list ms", "find ms", "ratio", "korlan MiB", "find MiB");
    printf("|---|--:|--:|--:|--:|--:|--:|\n");
    printf("| %-16s | %7ld | %16.1f | %7.1f | %6.3f | %10.1f | %8.1f |\n", w.name.c_str(),
           w.entries, median(kt), median(ft), median(ratio), median(krss), median(frss));
    fflush(stdout);
  }
  if (ownWork) std::filesystem::remove_all(work);
  return 0;
}
