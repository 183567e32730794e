// progress.cpp: the --progress line.
#include "progress.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
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

// Clear what follows the cursor; back to the start of the line first; save
// and restore the cursor's place.
const char kClear[] = "\033[K";
const char kErase[] = "\r\033[K";
const char kSave[] = "\0337";
const char kRestore[] = "\0338";

// The width of the terminal at `fd`, as it is now.
size_t width(int fd) {
  winsize size;
  if (ioctl(fd, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
  return size.ws_col;
}

// Whether the descriptors are one terminal.
bool sameTerminal(int a, int b) {
  struct stat sa, sb;
  return isatty(a) == 1 && isatty(b) == 1 && fstat(a, &sa) == 0 &&
         fstat(b, &sb) == 0 && sa.st_rdev == sb.st_rdev;
}

// At most ten lines a second: enough to watch, too few to cost anything.
const auto kPeriod = std::chrono::milliseconds(100);

}  // namespace

std::string progressLine(int64_t files, int64_t totalFiles, int64_t bytes,
                         int64_t totalBytes, double rate) {
  std::string line = "korlan: " + std::to_string(files) + " of " +
                     std::to_string(totalFiles) + " files";
  if (totalBytes < 0) return line;
  line += ", " + bytesText(bytes) + " of " + bytesText(totalBytes) + " hashed";
  if (rate < 0) return line;
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

class Progress::Gate : public std::streambuf {
 public:
  Gate(Progress& progress, std::streambuf* inner)
      : progress_(progress), inner_(inner) {}
  ~Gate() override { leave(); }

  void leave() {
    if (!held_) return;
    held_ = false;
    progress_.mutex_.unlock();
  }

 protected:
  int overflow(int c) override {
    if (traits_type::eq_int_type(c, traits_type::eof()))
      return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    enter(&ch, 1);
    return inner_->sputc(ch);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    enter(s, n);
    return inner_->sputn(s, n);
  }
  // The report flushes at every dot and line end: its write is over.
  int sync() override {
    const int result = inner_->pubsync();
    leave();
    return result;
  }

 private:
  // The report writes: the line goes first, and is not drawn again until
  // the write is flushed.
  void enter(const char* s, std::streamsize n) {
    if (!held_) {
      progress_.mutex_.lock();
      held_ = true;
      progress_.erase();
    }
    for (std::streamsize i = 0; i < n; ++i) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      if (c == '\n')
        progress_.column_ = 0;
      else if ((c & 0xc0) != 0x80)  // a character's first byte
        ++progress_.column_;
    }
  }
  Progress& progress_;
  std::streambuf* inner_;
  bool held_ = false;
};

Progress::Progress(bool wanted, std::ostream* out, int fd)
    : enabled_(wanted && isatty(fd) == 1), fd_(fd) {
  if (enabled_ && out != nullptr && sameTerminal(STDOUT_FILENO, fd)) {
    out_ = out;
    gate_ = std::make_unique<Gate>(*this, out->rdbuf());
  }
}

Progress::~Progress() { stop(); }

void Progress::start(int64_t totalFiles, int64_t totalBytes) {
  if (!enabled_) return;
  totalFiles_ = totalFiles;
  totalBytes_ = totalBytes;
  begun_ = std::chrono::steady_clock::now();
  started_ = true;
  if (gate_ != nullptr) saved_ = out_->rdbuf(gate_.get());
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
  // A write cut short (memory ran out) may still hold the line.
  if (gate_ != nullptr) {
    out_->rdbuf(saved_);
    gate_->leave();
  }
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    stopping_.notify_all();
    thread_.join();
  }
  if (gate_ != nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    erase();
  } else {
    writeAll(fd_, kErase);
  }
}

void Progress::erase() {
  if (shown_) writeAll(fd_, kClear);
  shown_ = false;
}

void Progress::draw() {
  drawn_ = std::chrono::steady_clock::now();
  // The rate of the last few seconds, once there was a second of work: the
  // workers hash ahead while the list is read, and a rate over the walk's
  // first tenth of a second would be absurd.
  const int64_t hashed = bytes.load(std::memory_order_relaxed);
  samples_.emplace_back(drawn_, hashed);
  const auto kWindow = std::chrono::seconds(5);
  while (drawn_ - samples_.front().first > kWindow) samples_.pop_front();
  const double seconds =
      std::chrono::duration<double>(drawn_ - samples_.front().first).count();
  const double rate = drawn_ - begun_ < std::chrono::seconds(1) || seconds <= 0
                          ? -1
                          : (hashed - samples_.front().second) / seconds;
  std::string line = progressLine(files_.load(std::memory_order_relaxed),
                                  totalFiles_, hashed, totalBytes_, rate);
  // One column stays free: a line that fills the last one makes the
  // terminal wrap to a new row.
  const size_t columns = width(fd_);
  if (gate_ == nullptr) {
    if (line.size() >= columns) line.resize(columns - 1);
    writeAll(fd_, kErase + line);
    return;
  }
  // Beside the report's last line, where the cursor stands, and the cursor
  // put back for the report's next byte.
  const size_t column = column_ % columns;
  if (column == 0 && column_ > 0) return;  // the terminal is about to wrap
  const size_t room = columns - column - 1, kLeast = 12;
  if (room < kLeast) return;
  line.insert(0, " ");
  if (line.size() > room) line.resize(room);
  writeAll(fd_, kClear + std::string(kSave) + line + kRestore);
  shown_ = true;
}

void Progress::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    draw();
    if (stopping_.wait_for(lock, kPeriod, [this] { return stop_; })) return;
  }
}
