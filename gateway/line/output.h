// The output of dravik-host: timestamped text lines with an optional status
// line kept at the bottom of a terminal, or one JSON object per line. One
// Output per run, shared by the session, every face and the program.
//
// Nobody waits on standard output: Emit, Plain and SetStatus make the line
// and queue it for a writer thread of the Output's own. A reader that does
// not read (a paused pipe, a stalled journal) only fills the queue; beyond
// kMaxQueued lines the newest are dropped and counted, and once the output
// flows again one line says how many were lost. mutex_ guards the queue; the
// writer thread alone touches stdout and the status line shown.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

namespace dravik::host {

using Json = nlohmann::ordered_json;

// Set by SIGINT, SIGTERM and SIGHUP, and by a stdout reader that went away;
// the run loop ends when it is set. Lock-free atomics, so that both a signal
// handler and the output's writer thread may set them.
extern std::atomic<int> g_interrupted;
// Set when stdout was closed under the run (EPIPE): the run then stops the
// driver as for a signal, says so on stderr and exits with status 1.
extern std::atomic<int> g_stdout_closed;

// Local time of day with milliseconds, "17:10:57.991".
std::string WallClock();
// Compact JSON; bytes that are not UTF-8 are replaced, never thrown on.
std::string Dump(const Json& json);
// A number as the user reads it ("%.15g").
std::string FormatNumber(double v);
// Whole numbers as JSON integers, others as JSON reals.
Json NumberJson(double v);
// Log flags as "0x102".
std::string FlagsText(int flags);

// Everything the program prints. Text mode prints timestamped lines and, on a
// terminal, keeps one status line at the bottom that is redrawn in place.
class Output {
 public:
  // Lines waiting for standard output before the newest are dropped.
  static constexpr size_t kMaxQueued = 20000;

  Output(bool json, bool status_line);
  ~Output();
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  bool json() const { return json_; }

  // One record: `text` in text mode (timestamped), `record` in JSON mode.
  void Emit(const std::string& text, Json record);

  // A line without timestamp (replies, help); JSON mode prints `record`.
  void Plain(const std::string& text, const Json& record);

  void SetStatus(const std::string& status);
  void EndStatus();

  // Writes what is queued and ends the writer; later lines are not shown.
  void Close();

  double Seconds() const;

 private:
  using Clock = std::chrono::steady_clock;
  enum class Kind { kLine, kStatus, kEndStatus };
  struct Item {
    Kind kind = Kind::kLine;
    std::string text;
  };

  void Queue(Item item, bool droppable);
  void WriterLoop();
  void Write(const Item& item);
  void WriteLine(const std::string& line);

  const bool json_;
  const bool status_line_;
  const Clock::time_point start_ = Clock::now();
  std::thread writer_;

  std::mutex mutex_;  // guards the fields below
  std::condition_variable wake_;
  std::deque<Item> queue_;
  bool closing_ = false;
  long dropped_ = 0;  // since the output last flowed

  std::string status_;  // writer thread only: the status line now shown
};

}  // namespace dravik::host
