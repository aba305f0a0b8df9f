// The output formats of dravik-host: timestamped text lines with an optional
// status line kept at the bottom of a terminal, or one JSON object per line.
// One Output per run, shared by the main thread, the driver's event thread
// and its log callers; a mutex inside guards stdout and the status line.
#pragma once

#include <chrono>
#include <csignal>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

namespace dravik::host {

using Json = nlohmann::ordered_json;

// Set by SIGINT, SIGTERM and SIGHUP, and by a stdout reader that went away;
// the run loop ends when it is set.
extern volatile std::sig_atomic_t g_interrupted;
// Set when stdout was closed under the run (EPIPE): the run then stops the
// driver as for a signal, says so on stderr and exits with status 1.
extern volatile std::sig_atomic_t g_stdout_closed;

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
  Output(bool json, bool status_line) : json_(json), status_line_(status_line) {}

  bool json() const { return json_; }

  // One record: `text` in text mode (timestamped), `record` in JSON mode.
  void Emit(const std::string& text, Json record);

  // A line without timestamp (replies, help); JSON mode prints `record`.
  void Plain(const std::string& text, const Json& record);

  void SetStatus(const std::string& status);
  void EndStatus();

  double Seconds() const;

 private:
  using Clock = std::chrono::steady_clock;

  void WriteLocked(const std::string& line);

  const bool json_;
  const bool status_line_;
  const Clock::time_point start_ = Clock::now();
  std::mutex mutex_;    // guards stdout and status_
  std::string status_;  // the status line now shown (terminal only)
};

}  // namespace dravik::host
