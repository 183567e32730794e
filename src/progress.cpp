// progress.cpp: the --progress line.
#include "progress.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <system_error>

namespace {

// A byte count in the unit that keeps it short: "512 B", "3.4 MiB".
std::string bytesText(double n) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  int unit = 0;
  while (n >= 1024 && unit < 5) {
    n /= 1024;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", n,
           kUnits[unit]);
  return text;
}

// Writes all of `s` or gives up quietly: a progress line is never worth an
// error.
void writeAll(int fd, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = write(fd, s.data() + done, s.size() - done);
    if (n <= 0) return;
    done += n;
  }
}

// Back to the start of the line, and clear what follows the cursor.
const char kErase[] = "\r\033[K";

// At most ten lines a second: enough to watch, too few to cost anything.
const auto kPeriod = std::chrono::milliseconds(100);

}  // namespace

std::string progressLine(int64_t files, int64_t totalFiles, int64_t bytes,
                         int64_t totalBytes, double seconds) {
  std::string line = "korlan: " + std::to_string(files) + " of " +
                     std::to_string(totalFiles) + " files";
  if (totalBytes < 0) return line;
  line += ", " + bytesText(bytes) + " of " + bytesText(totalBytes) + " hashed";
  if (seconds <= 0 || bytes <= 0) return line;
  const double rate = bytes / seconds;
  line += ", " + bytesText(rate) + "/s";
  // A rate near nothing against a total near the largest size gives more
  // seconds than an integer holds: such a wait shows as the longest one.
  const double wait = totalBytes > bytes ? (totalBytes - bytes) / rate : 0;
  const int64_t left = wait < 9e18 ? static_cast<int64_t>(wait) : INT64_MAX;
  char text[48];
  snprintf(text, sizeof text, ", %" PRId64 ":%02d left", left / 60,
           static_cast<int>(left % 60));
  return line + text;
}

Progress::Progress(bool wanted, int fd)
    : enabled_(wanted && isatty(fd) == 1), fd_(fd) {}

Progress::~Progress() { stop(); }

void Progress::start(int64_t totalFiles, int64_t totalBytes) {
  if (!enabled_) return;
  totalFiles_ = totalFiles;
  totalBytes_ = totalBytes;
  begun_ = std::chrono::steady_clock::now();
  started_ = true;
  try {
    thread_ = std::thread(&Progress::run, this);
  } catch (const std::system_error&) {
    draw();  // no thread: the walk draws, in fileCompared
  }
}

void Progress::fileCompared(int64_t count) {
  files_.store(count, std::memory_order_relaxed);
  if (!started_ || thread_.joinable()) return;
  if (std::chrono::steady_clock::now() - drawn_ >= kPeriod) draw();
}

void Progress::stop() {
  if (!started_) return;
  started_ = false;
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    stopping_.notify_all();
    thread_.join();
  }
  writeAll(fd_, kErase);
}

void Progress::draw() {
  drawn_ = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(drawn_ - begun_).count();
  writeAll(fd_, kErase + progressLine(files_.load(std::memory_order_relaxed),
                                      totalFiles_,
                                      bytes.load(std::memory_order_relaxed),
                                      totalBytes_, seconds));
}

void Progress::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    draw();
    if (stopping_.wait_for(lock, kPeriod, [this] { return stop_; })) return;
  }
}
