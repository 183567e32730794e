// progress.h: the --progress line on standard error.
//
// A long run shows how far it got: one line, redrawn in place at most ten
// times a second by a thread of its own (the walk may wait long on one
// large file), cut to the terminal's width as it is at each redraw, and
// erased at the end. It is drawn only on a terminal, so scripts may always
// ask for it, and never touches standard output. When standard output is
// the same terminal, the line is drawn after what the report has written on
// its last line (the dots), and erased before the report writes more.
#ifndef KORLAN_PROGRESS_H_
#define KORLAN_PROGRESS_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

// The line itself: "korlan: FILES of TOTAL files", and when bytes are
// hashed (`totalBytes` >= 0) ", BYTES of TOTAL hashed", then, when a rate
// is known (`rate` >= 0, in bytes a second), ", RATE/s, M:SS left".
std::string progressLine(int64_t files, int64_t totalFiles, int64_t bytes,
                         int64_t totalBytes, double rate);

class Progress {
 public:
  // Draws on `fd` when `wanted` and `fd` is a terminal; otherwise every
  // call is cheap and draws nothing. `out`, when given, is the report's
  // stream on standard output (descriptor 1).
  explicit Progress(bool wanted, std::ostream* out = nullptr, int fd = 2);
  // Stops drawing and erases the line.
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Begins drawing, with the totals now known; `totalBytes` -1 when no
  // file is hashed.
  void start(int64_t totalFiles, int64_t totalBytes);
  // Stops drawing and erases the line; idempotent.
  void stop();

  // The walk has compared `count` files. Where no thread could be started
  // to draw, the walk draws here, as often as the thread would.
  void fileCompared(int64_t count);

  // Advanced by the hashers, read by whoever draws.
  std::atomic<int64_t> bytes{0};

 private:
  // Passes the report's output through, erasing the line first.
  class Gate;

  void draw();
  void run();
  // Erases the line, if it is drawn; with mutex_ held.
  void erase();

  const bool enabled_;
  const int fd_;
  // Standard output goes to the same terminal: the report's stream then
  // passes through gate_, and `column_` is where its last line ends.
  std::ostream* out_ = nullptr;
  std::unique_ptr<Gate> gate_;
  std::streambuf* saved_ = nullptr;
  size_t column_ = 0;   // under mutex_
  bool shown_ = false;  // under mutex_
  bool started_ = false;
  std::atomic<int64_t> files_{0};
  std::chrono::steady_clock::time_point drawn_;
  // The bytes hashed at each of the last draws, for the rate of the last
  // few seconds; the drawing thread's own.
  std::deque<std::pair<std::chrono::steady_clock::time_point, int64_t>>
      samples_;
  int64_t totalFiles_ = 0;
  int64_t totalBytes_ = -1;
  std::chrono::steady_clock::time_point begun_;
  std::mutex mutex_;
  std::condition_variable stopping_;
  bool stop_ = false;
  std::thread thread_;
};

#endif  // KORLAN_PROGRESS_H_
