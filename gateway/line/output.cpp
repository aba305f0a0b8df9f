#include "tools/host/output.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace dravik::host {

volatile std::sig_atomic_t g_interrupted = 0;
volatile std::sig_atomic_t g_stdout_closed = 0;

std::string WallClock() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()) % 1000;
  std::tm local{};
  ::localtime_r(&secs, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms.count()));
  return text;
}

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string FormatNumber(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.15g", v);
  return text;
}

Json NumberJson(double v) {
  if (std::isfinite(v) && v == std::trunc(v) && std::fabs(v) < 9.0e15) {
    return Json(static_cast<int64_t>(v));
  }
  return Json(v);
}

std::string FlagsText(int flags) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%03x", static_cast<unsigned>(flags));
  return text;
}

void Output::Emit(const std::string& text, Json record) {
  std::lock_guard lock(mutex_);
  if (json_) {
    Json line;
    line["t"] = std::round(Seconds() * 1000.0) / 1000.0;
    for (auto& [key, value] : record.items()) line[key] = value;
    WriteLocked(Dump(line));
  } else {
    WriteLocked(WallClock() + " " + text);
  }
}

void Output::Plain(const std::string& text, const Json& record) {
  std::lock_guard lock(mutex_);
  WriteLocked(json_ ? Dump(record) : text);
}

void Output::SetStatus(const std::string& status) {
  if (!status_line_) return;
  std::lock_guard lock(mutex_);
  status_ = status;
  std::fputs("\r\033[K", stdout);
  std::fputs(status_.c_str(), stdout);
  std::fflush(stdout);
}

void Output::EndStatus() {
  if (!status_line_) return;
  std::lock_guard lock(mutex_);
  if (!status_.empty()) std::fputs("\r\033[K", stdout);
  status_.clear();
  std::fflush(stdout);
}

double Output::Seconds() const {
  return std::chrono::duration<double>(Clock::now() - start_).count();
}

void Output::WriteLocked(const std::string& line) {
  if (status_line_ && !status_.empty()) std::fputs("\r\033[K", stdout);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  if (status_line_ && !status_.empty()) std::fputs(status_.c_str(), stdout);
  // A reader that went away (| head) ends the run as Ctrl-C does, so the
  // driver is still stopped properly.
  if (std::fflush(stdout) != 0 && errno == EPIPE) {
    g_stdout_closed = 1;
    g_interrupted = 1;
  }
}

}  // namespace dravik::host
