#include "gateway/line/output.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>

namespace dravik::host {

std::atomic<int> g_interrupted{0};
std::atomic<int> g_stdout_closed{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

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

Output::Output(bool json, bool status_line) : json_(json), status_line_(status_line) {
  writer_ = std::thread(&Output::WriterLoop, this);
}

Output::~Output() { Close(); }

void Output::Emit(const std::string& text, Json record) {
  if (json_) {
    Json line;
    line["t"] = std::round(Seconds() * 1000.0) / 1000.0;
    for (auto& [key, value] : record.items()) line[key] = value;
    Queue({Kind::kLine, Dump(line)}, true);
  } else {
    Queue({Kind::kLine, WallClock() + " " + text}, true);
  }
}

void Output::Plain(const std::string& text, const Json& record) {
  Queue({Kind::kLine, json_ ? Dump(record) : text}, true);
}

void Output::SetStatus(const std::string& status) {
  if (status_line_) Queue({Kind::kStatus, status}, true);
}

void Output::EndStatus() {
  if (status_line_) Queue({Kind::kEndStatus, ""}, false);
}

void Output::Close() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_one();
  if (writer_.joinable()) writer_.join();
}

double Output::Seconds() const {
  return std::chrono::duration<double>(Clock::now() - start_).count();
}

void Output::Queue(Item item, bool droppable) {
  {
    std::lock_guard lock(mutex_);
    if (closing_) return;
    if (droppable && queue_.size() >= kMaxQueued) {
      ++dropped_;
      return;
    }
    queue_.push_back(std::move(item));
  }
  wake_.notify_one();
}

void Output::WriterLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
    if (queue_.empty()) break;  // closing, and all written
    std::deque<Item> batch;
    batch.swap(queue_);
    const long dropped = std::exchange(dropped_, 0);
    lock.unlock();
    for (const Item& item : batch) Write(item);
    if (dropped > 0) {
      const std::string text =
          std::to_string(dropped) + " output lines dropped: standard output was not being read";
      WriteLine(json_ ? Dump(Json{{"kind", "output_dropped"}, {"lines", dropped}})
                      : WallClock() + " " + text);
    }
    // A reader that went away (| head) ends the run as Ctrl-C does, so the
    // driver is still stopped properly.
    if (std::fflush(stdout) != 0 && errno == EPIPE) {
      g_stdout_closed = 1;
      g_interrupted = 1;
    }
    lock.lock();
  }
}

void Output::Write(const Item& item) {
  switch (item.kind) {
    case Kind::kLine:
      WriteLine(item.text);
      break;
    case Kind::kStatus:
      status_ = item.text;
      std::fputs("\r\033[K", stdout);
      std::fputs(status_.c_str(), stdout);
      break;
    case Kind::kEndStatus:
      if (!status_.empty()) std::fputs("\r\033[K", stdout);
      status_.clear();
      break;
  }
}

void Output::WriteLine(const std::string& line) {
  if (status_line_ && !status_.empty()) std::fputs("\r\033[K", stdout);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  if (status_line_ && !status_.empty()) std::fputs(status_.c_str(), stdout);
}

}  // namespace dravik::host
