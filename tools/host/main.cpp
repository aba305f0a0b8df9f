// dravik-host: the host harness. It loads the driver library with dlopen,
// takes its DrvFuncTable and drives it slot by slot as the host does: info,
// editing a project, and a run that binds a tag list, prints the log and the
// value changes as they arrive and takes commands on stdin.
//
// Threads: the main thread makes every slot call. A reader thread turns stdin
// lines into queued commands; the driver's event thread delivers values into
// the TarselDbm handler and its threads log through the WendroR handler. All
// printing goes through Output, which one mutex guards.
#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "draviknet/driver_table.h"
#include "host/tarsel_dbm.h"
#include "host/tarsel_sub.h"
#include "host/wendro_r.h"
#include "model/dravik_doc.h"
#include "platform/file_io.h"
#include "tools/host/demoted_stations.h"
#include "tools/host/tag_list.h"

namespace {

using Json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;
using dravik::host::TagRow;

constexpr int kExitOk = 0;
constexpr int kExitCreateFailed = 1;  // slot 1 returned -1
constexpr int kExitUsage = 2;         // bad arguments or files
constexpr size_t kMaxTagFileBytes = 16u << 20;
constexpr auto kStatusInterval = std::chrono::milliseconds(1000);
constexpr auto kCommandWait = std::chrono::milliseconds(100);

volatile std::sig_atomic_t g_interrupted = 0;
void OnSignal(int) { g_interrupted = 1; }

std::string Usage() {
  std::string text =
      "usage: dravik-host info [--driver PATH]\n"
      "       dravik-host run PROJECT [--tags TAGS.csv] [--driver PATH] [--for SECONDS] [--json]\n"
      "       dravik-host edit PROJECT [--driver PATH]\n"
      "\n"
      "info   prints the driver's interface version and name.\n"
      "run    creates an instance for PROJECT, prepares the port, binds the tags,\n"
      "       starts communication and prints each log line and value change as it\n"
      "       arrives (--json: one JSON object per line). Stops after SECONDS, on\n"
      "       'quit' or on Ctrl-C, then prints a summary. End of stdin does not stop.\n"
      "edit   opens the driver's configuration editor on PROJECT.\n"
      "--driver defaults to libdraviknet.so beside this program.\n"
      "\n"
      "Tag list (CSV, header row first): name,device,address,type,length\n"
      "  device: the station is the part after the first '.', e.g. DVK.PLC1\n"
      "  address: R100, IR12, C17, R100.3 (a bit of a register, type bit)\n"
      "  length: bytes; may be left empty for fixed-size types\n"
      "  type, a code or a name:\n";
  char line[160];
  for (const auto& t : dravik::host::TagTypeNames()) {
    std::snprintf(line, sizeof line, "    %2d  %-10s %s\n", t.code, t.name, t.meaning);
    text += line;
  }
  text +=
      "\n"
      "Commands on stdin while running:\n"
      "  write TAG VALUE    write a value (for a string tag the rest of the line)\n"
      "  enable STATION     poll the station again\n"
      "  disable STATION    stop polling the station and drop its writes\n"
      "  stats [STATION]    counters and state of one station or of all\n"
      "  reset [STATION]    set the counters of one station or of all to 0\n"
      "  texts STATION      the station's number and description\n"
      "  help, quit\n"
      "\n"
      "exit status: 0 done, 1 the driver refused the project (slot 1 returned -1),\n"
      "             2 bad arguments or files\n";
  return text;
}

int UsageError(const std::string& why) {
  std::fprintf(stderr, "dravik-host: %s\n(dravik-host --help shows the usage)\n", why.c_str());
  return kExitUsage;
}

std::string DefaultDriverPath() {
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "libdraviknet.so";
  std::string path(exe, static_cast<size_t>(n));
  const auto slash = path.rfind('/');
  return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) +
         "/libdraviknet.so";
}

// The loaded driver and its function table.
class Driver {
 public:
  bool Load(const std::string& path, std::string* error) {
    path_ = path;
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      const char* why = ::dlerror();
      *error = "cannot load driver " + path + ": " + (why ? why : "unknown error");
      return false;
    }
    table_ = static_cast<void**>(::dlsym(handle_, "DrvFuncTable"));
    if (table_ == nullptr) {
      *error = "driver " + path + " has no DrvFuncTable";
      return false;
    }
    for (int slot = 0; slot <= DRV_SLOT_STATION_TEXTS; ++slot) {
      if (table_[slot] == nullptr) {
        *error = "driver " + path + ": DrvFuncTable slot " + std::to_string(slot) + " is empty";
        return false;
      }
    }
    return true;
  }

  // Forgets the table but leaves the library loaded: the driver's module
  // destructor then tears its instances down at process exit, as when the
  // host exits, after every handler has been removed.
  void Unload() {
    handle_ = nullptr;
    table_ = nullptr;
  }

  template <typename Fn>
  Fn Slot(int n) const {
    return reinterpret_cast<Fn>(table_[n]);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  void* handle_ = nullptr;
  void** table_ = nullptr;
};

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

// Everything the program prints. Text mode prints timestamped lines and, on a
// terminal, keeps one status line at the bottom that is redrawn in place.
class Output {
 public:
  Output(bool json, bool status_line) : json_(json), status_line_(status_line) {}

  bool json() const { return json_; }

  // One record: `text` in text mode (timestamped), `record` in JSON mode.
  void Emit(const std::string& text, Json record) {
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

  // A line without timestamp (replies, help); JSON mode prints `record`.
  void Plain(const std::string& text, const Json& record) {
    std::lock_guard lock(mutex_);
    WriteLocked(json_ ? Dump(record) : text);
  }

  void SetStatus(const std::string& status) {
    if (!status_line_) return;
    std::lock_guard lock(mutex_);
    status_ = status;
    std::fputs("\r\033[K", stdout);
    std::fputs(status_.c_str(), stdout);
    std::fflush(stdout);
  }

  void EndStatus() {
    if (!status_line_) return;
    std::lock_guard lock(mutex_);
    if (!status_.empty()) std::fputs("\r\033[K", stdout);
    status_.clear();
    std::fflush(stdout);
  }

  double Seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

 private:
  void WriteLocked(const std::string& line) {
    if (status_line_ && !status_.empty()) std::fputs("\r\033[K", stdout);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    if (status_line_ && !status_.empty()) std::fputs(status_.c_str(), stdout);
    // A reader that went away (| head) ends the run as Ctrl-C does, so the
    // driver is still stopped properly.
    if (std::fflush(stdout) != 0 && errno == EPIPE) g_interrupted = 1;
  }

  const bool json_;
  const bool status_line_;
  const Clock::time_point start_ = Clock::now();
  std::mutex mutex_;    // guards stdout and status_
  std::string status_;  // the status line now shown (terminal only)
};

std::string FlagsText(int flags) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%03x", static_cast<unsigned>(flags));
  return text;
}

// What the host library handlers see. The tag rows are fixed before the
// driver is given the handlers, so they are read without a lock.
struct HostContext {
  Output* out = nullptr;
  const std::vector<TagRow>* tags = nullptr;  // host tag id = index + 1
  std::atomic<long> values{0};
};

void OnLog(void* context, int /*kind*/, int flags, const char* text) {
  auto* ctx = static_cast<HostContext*>(context);
  dravik::host::Demotions().OnLog(text);
  ctx->out->Emit("log " + FlagsText(flags) + " " + text,
                 Json{{"kind", "log"}, {"flags", flags}, {"text", text}});
}

void OnValue(void* context, int tag_id, const CTagVal& value) {
  auto* ctx = static_cast<HostContext*>(context);
  ++ctx->values;
  const bool known = tag_id >= 1 && static_cast<size_t>(tag_id) <= ctx->tags->size();
  const std::string name =
      known ? (*ctx->tags)[static_cast<size_t>(tag_id) - 1].name : "#" + std::to_string(tag_id);
  std::string shown;
  Json json_value;
  if (!value.HasValue()) {
    shown = "(no value)";
  } else if (value.IsText()) {
    shown = "\"" + value.GetValStr() + "\"";
    json_value = value.GetValStr();
  } else {
    shown = FormatNumber(value.GetVal());
    json_value = NumberJson(value.GetVal());
  }
  ctx->out->Emit("value " + name + " = " + shown,
                 Json{{"kind", "value"}, {"tag", name}, {"id", tag_id}, {"value", json_value}});
}

void OnTagName(void* context, int tag_id, CString* name) {
  auto* ctx = static_cast<HostContext*>(context);
  if (tag_id >= 1 && static_cast<size_t>(tag_id) <= ctx->tags->size()) {
    *name = (*ctx->tags)[static_cast<size_t>(tag_id) - 1].name;
  }
}

// Lines from stdin, handed from the reader thread to the main thread.
class CommandQueue {
 public:
  void Push(std::string line) {
    {
      std::lock_guard lock(mutex_);
      lines_.push_back(std::move(line));
    }
    cv_.notify_one();
  }
  // Waits up to `wait` for lines; returns all that are queued.
  std::vector<std::string> Take(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, wait, [this] { return !lines_.empty(); });
    std::vector<std::string> out(lines_.begin(), lines_.end());
    lines_.clear();
    return out;
  }

 private:
  std::mutex mutex_;  // guards lines_
  std::condition_variable cv_;
  std::deque<std::string> lines_;
};

// Reads stdin without blocking past `stop`, so the thread can be joined.
void ReadCommands(CommandQueue* queue, const std::atomic<bool>* stop) {
  std::string pending;
  char buffer[1024];
  while (!stop->load()) {
    pollfd pfd{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, 100);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (ready == 0) continue;
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;  // end of input: the run goes on
    pending.append(buffer, static_cast<size_t>(n));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      queue->Push(pending.substr(0, newline));
      pending.erase(0, newline + 1);
    }
  }
  if (!pending.empty()) queue->Push(pending);
}

std::vector<std::string> SplitWords(const std::string& line, size_t max_words,
                                    std::string* rest_after) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (words.size() < max_words) {
    pos = line.find_first_not_of(" \t\r", pos);
    if (pos == std::string::npos) break;
    const size_t end = line.find_first_of(" \t\r", pos);
    words.push_back(line.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = end == std::string::npos ? line.size() : end;
  }
  if (rest_after) {
    const size_t start = line.find_first_not_of(" \t", pos);
    *rest_after = start == std::string::npos ? "" : line.substr(start);
    while (!rest_after->empty() && (rest_after->back() == '\r' || rest_after->back() == ' ')) {
      rest_after->pop_back();
    }
  }
  return words;
}

struct RunOptions {
  std::string project;
  std::string tags;
  std::string driver;
  double for_seconds = 0.0;  // 0: until quit or Ctrl-C
  bool json = false;
};

// One run of an instance; the main thread owns every slot call in it.
class Runner {
 public:
  Runner(const Driver& driver, Output* out, int instance, std::vector<TagRow> tags,
         std::vector<int> handles, std::vector<std::string> stations)
      : driver_(driver),
        out_(out),
        instance_(instance),
        tags_(std::move(tags)),
        handles_(std::move(handles)),
        stations_(std::move(stations)) {}

  // Executes one command line; false for quit.
  bool Execute(const std::string& line) {
    std::string rest;
    const std::vector<std::string> words = SplitWords(line, 2, &rest);
    if (words.empty()) return true;
    const std::string& cmd = words[0];
    const std::string arg = words.size() > 1 ? words[1] : "";
    if (cmd == "quit" || cmd == "exit") return false;
    if (cmd == "help") {
      Reply(
          "commands: write TAG VALUE | enable STATION | disable STATION | stats [STATION] | "
          "reset [STATION] | texts STATION | help | quit",
          Json{{"kind", "help"}});
    } else if (cmd == "write") {
      Write(arg, rest);
    } else if (cmd == "enable" || cmd == "disable") {
      if (arg.empty() || !rest.empty()) return Error(cmd + " needs one station name");
      driver_.Slot<DrvSetRunStateFn>(DRV_SLOT_SET_RUN_STATE)(instance_, arg.c_str(),
                                                             cmd == "enable" ? 1 : 0);
      Reply(cmd + "d " + arg, Json{{"kind", "reply"}, {"command", cmd}, {"station", arg}});
    } else if (cmd == "stats") {
      if (!rest.empty()) return Error("stats takes at most one station name");
      Stats(arg);
    } else if (cmd == "reset") {
      if (!rest.empty()) return Error("reset takes at most one station name");
      driver_.Slot<DrvResetCountersFn>(DRV_SLOT_RESET_COUNTERS)(
          instance_, arg.empty() ? nullptr : arg.c_str());
      Reply("counters reset" + (arg.empty() ? std::string(" (all stations)") : " for " + arg),
            Json{{"kind", "reply"},
                 {"command", "reset"},
                 {"station", arg.empty() ? Json(nullptr) : Json(arg)}});
    } else if (cmd == "texts") {
      if (arg.empty() || !rest.empty()) return Error("texts needs one station name");
      Texts(arg);
    } else {
      return Error("unknown command \"" + cmd + "\" (help lists the commands)");
    }
    return true;
  }

  struct Totals {
    int writes_sent = 0, writes_failed = 0, reads_sent = 0, reads_failed = 0;
    int status = 0;
  };

  Totals AllCounters() const {
    Totals t;  // zeroed: the driver adds to what it is given
    t.status = driver_.Slot<DrvGetStatisticsFn>(DRV_SLOT_GET_STATISTICS)(
        instance_, nullptr, &t.writes_sent, &t.writes_failed, &t.reads_sent, &t.reads_failed);
    return t;
  }

  std::string StatusLine() const {
    std::string line;
    for (const auto& name : stations_) {
      int ws = 0, wf = 0, rs = 0, rf = 0;
      const int status = driver_.Slot<DrvGetStatisticsFn>(DRV_SLOT_GET_STATISTICS)(
          instance_, name.c_str(), &ws, &wf, &rs, &rf);
      if (!line.empty()) line += " | ";
      line += name + ": " + dravik::host::Demotions().StateOf(name, status) + " reads " +
              std::to_string(rs) + " failures " + std::to_string(rf + wf);
    }
    return line.empty() ? "(no stations)" : line;
  }

 private:
  bool Error(const std::string& text) {
    out_->Plain("error: " + text, Json{{"kind", "error"}, {"text", text}});
    return true;
  }
  void Reply(const std::string& text, const Json& record) { out_->Plain(text, record); }

  void Write(const std::string& tag_name, const std::string& value_text) {
    if (tag_name.empty() || value_text.empty()) {
      Error("write needs a tag name and a value");
      return;
    }
    size_t index = tags_.size();
    for (size_t i = 0; i < tags_.size(); ++i) {
      if (tags_[i].name == tag_name) index = i;
    }
    if (index == tags_.size()) {
      Error("no tag named \"" + tag_name + "\"");
      return;
    }
    if (handles_[index] == -1) {
      Error("tag \"" + tag_name + "\" is not bound");
      return;
    }
    CTagVal value;
    std::string shown;
    if (tags_[index].type == dravik::host::kTypeString) {
      std::string text = value_text;
      if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
        text = text.substr(1, text.size() - 2);
      }
      value.SetVal(text.c_str());
      shown = "\"" + text + "\"";
    } else {
      char* end = nullptr;
      errno = 0;
      const double v = std::strtod(value_text.c_str(), &end);
      if (end == value_text.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(v)) {
        Error("\"" + value_text + "\" is not a number");
        return;
      }
      value.SetVal(v);
      shown = FormatNumber(v);
    }
    const int result =
        driver_.Slot<DrvWriteTagFn>(DRV_SLOT_WRITE_TAG)(instance_, handles_[index], &value);
    if (result != 0) {
      Error("write of " + tag_name + " refused (result " + std::to_string(result) + ")");
      return;
    }
    Reply("write " + tag_name + " = " + shown + " queued",
          Json{{"kind", "reply"}, {"command", "write"}, {"tag", tag_name}, {"result", result}});
  }

  void Stats(const std::string& station) {
    Totals t;
    if (station.empty()) {
      t = AllCounters();
    } else {
      t.status = driver_.Slot<DrvGetStatisticsFn>(DRV_SLOT_GET_STATISTICS)(
          instance_, station.c_str(), &t.writes_sent, &t.writes_failed, &t.reads_sent,
          &t.reads_failed);
    }
    std::string state;
    if (station.empty()) {
      state = t.status == 0 ? "ok" : t.status == 1 ? "failing" : "stopped";
    } else {
      bool known = false;
      for (const auto& s : stations_)
        known = known || ::strcasecmp(s.c_str(), station.c_str()) == 0;
      state = !known && t.status == -1 ? "unknown station"
                                       : dravik::host::Demotions().StateOf(station, t.status);
    }
    char text[256];
    std::snprintf(text, sizeof text,
                  "stats %s: %s (status %d), writes %d sent %d failed, reads %d sent %d failed",
                  station.empty() ? "(all)" : station.c_str(), state.c_str(), t.status,
                  t.writes_sent, t.writes_failed, t.reads_sent, t.reads_failed);
    out_->Emit(text, Json{{"kind", "stats"},
                          {"station", station.empty() ? Json(nullptr) : Json(station)},
                          {"status", t.status},
                          {"state", state},
                          {"writes_sent", t.writes_sent},
                          {"writes_failed", t.writes_failed},
                          {"reads_sent", t.reads_sent},
                          {"reads_failed", t.reads_failed}});
  }

  void Texts(const std::string& station) {
    DrvString number;
    DrvString description;
    driver_.Slot<DrvGetStationTextsFn>(DRV_SLOT_STATION_TEXTS)(instance_, station.c_str(), &number,
                                                               &description);
    if (number.empty()) {
      Error("no station named \"" + station + "\"");
      return;
    }
    Reply("texts " + station + ": number " + number + ", description \"" + description + "\"",
          Json{{"kind", "texts"},
               {"station", station},
               {"number", number},
               {"description", description}});
  }

  const Driver& driver_;
  Output* out_;
  const int instance_;
  const std::vector<TagRow> tags_;
  const std::vector<int> handles_;
  const std::vector<std::string> stations_;
};

bool ReadTagFile(const std::string& path, Output* out, std::vector<TagRow>* rows) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!dravik::ReadWholeFile(path, kMaxTagFileBytes, &bytes, &error)) {
    std::fprintf(stderr, "error: cannot read the tag list: %s\n", error.c_str());
    return false;
  }
  const dravik::host::TagList list =
      dravik::host::ParseTagList(std::string(bytes.begin(), bytes.end()));
  for (const auto& e : list.errors) {
    std::fprintf(stderr, "%s:%d: %s\n", path.c_str(), e.line, e.text.c_str());
    if (out->json()) {
      out->Plain("",
                 Json{{"kind", "tag_error"}, {"file", path}, {"line", e.line}, {"text", e.text}});
    }
  }
  *rows = list.rows;
  return true;
}

int Run(const RunOptions& o) {
  Output out(o.json, !o.json && ::isatty(STDOUT_FILENO) == 1);
  std::vector<TagRow> tags;
  if (!o.tags.empty() && !ReadTagFile(o.tags, &out, &tags)) return kExitUsage;

  Driver driver;
  std::string error;
  if (!driver.Load(o.driver, &error)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return kExitUsage;
  }

  // Station names for the status line and the summary; the driver reads the
  // same file on its own.
  std::vector<std::string> stations;
  {
    dravik::CDravikNetDoc doc;
    if (doc.LoadFile(o.project.c_str()) == 1) {
      for (const auto& s : doc.Stations()) stations.push_back(s->name);
    }
  }

  HostContext ctx;
  ctx.out = &out;
  ctx.tags = &tags;
  const WendroRHandler log_handler{&OnLog, &ctx};
  const TarselDbmHandler dbm_handler{&OnValue, &OnTagName, &ctx};
  WendroRInstallHandler(&log_handler);
  TarselDbmInstallHandler(&dbm_handler);
  auto uninstall = [] {
    TarselDbmInstallHandler(nullptr);
    WendroRInstallHandler(nullptr);
  };

  const int instance = driver.Slot<DrvCreateInstanceFn>(DRV_SLOT_CREATE)(o.project.c_str());
  if (instance == -1) {
    out.Plain("error: the driver could not create an instance for " + o.project,
              Json{{"kind", "error"}, {"text", "slot 1 returned -1 for " + o.project}});
    driver.Unload();
    uninstall();
    return kExitCreateFailed;
  }

  const int prepared = driver.Slot<DrvPrepareCommFn>(DRV_SLOT_PREPARE)(instance);
  std::vector<int> handles;
  int bound = 0;
  for (size_t i = 0; i < tags.size(); ++i) {
    const TagRow& t = tags[i];
    const int handle = driver.Slot<DrvBindTagFn>(DRV_SLOT_BIND_TAG)(
        instance, t.device.c_str(), t.address.c_str(), t.type, t.length, static_cast<int>(i) + 1);
    handles.push_back(handle);
    if (handle != -1) ++bound;
  }
  driver.Slot<DrvBuildTagRequestsFn>(DRV_SLOT_BUILD_REQUESTS)(instance);
  driver.Slot<DrvSetRunStateFn>(DRV_SLOT_SET_RUN_STATE)(instance, nullptr, 1);
  out.Emit("running: " + std::to_string(bound) + " of " + std::to_string(tags.size()) +
               " tags bound" + (prepared != 0 ? ", port not open" : ""),
           Json{{"kind", "start"},
                {"instance", instance},
                {"prepare", prepared},
                {"tags", tags.size()},
                {"bound", bound}});

  Runner runner(driver, &out, instance, tags, handles, stations);
  CommandQueue queue;
  std::atomic<bool> stop_reader{false};
  std::thread reader(ReadCommands, &queue, &stop_reader);

  const auto started = Clock::now();
  const auto deadline =
      started + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(o.for_seconds > 0 ? o.for_seconds : 0));
  auto next_status = started;
  bool running = true;
  while (running && g_interrupted == 0) {
    auto wait = kCommandWait;
    if (o.for_seconds > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      wait = std::min(wait, left);
    }
    for (const auto& line : queue.Take(wait)) {
      if (!runner.Execute(line)) {
        running = false;
        break;
      }
    }
    if (Clock::now() >= next_status) {
      out.SetStatus(runner.StatusLine());
      next_status = Clock::now() + kStatusInterval;
    }
  }

  driver.Slot<DrvSetRunStateFn>(DRV_SLOT_SET_RUN_STATE)(instance, nullptr, 0);
  stop_reader = true;
  reader.join();
  out.EndStatus();

  const Runner::Totals t = runner.AllCounters();
  const long values = ctx.values.load();
  char text[256];
  std::snprintf(text, sizeof text,
                "summary: %d exchanges (%d reads, %d writes), %d failures, %ld values delivered, "
                "%.1f s",
                t.reads_sent + t.writes_sent, t.reads_sent, t.writes_sent,
                t.reads_failed + t.writes_failed, values, out.Seconds());
  out.Emit(text, Json{{"kind", "summary"},
                      {"exchanges", t.reads_sent + t.writes_sent},
                      {"failures", t.reads_failed + t.writes_failed},
                      {"values", values},
                      {"reads_sent", t.reads_sent},
                      {"reads_failed", t.reads_failed},
                      {"writes_sent", t.writes_sent},
                      {"writes_failed", t.writes_failed},
                      {"interrupted", g_interrupted != 0}});
  driver.Unload();
  uninstall();
  return kExitOk;
}

int Info(const std::string& path) {
  Driver driver;
  std::string error;
  if (!driver.Load(path, &error)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return kExitUsage;
  }
  const int version = driver.Slot<DrvGetVersionFn>(DRV_SLOT_VERSION)();
  const char* name = driver.Slot<DrvGetNameFn>(DRV_SLOT_NAME)();
  std::printf("Driver:  %s\n", path.c_str());
  std::printf("Version: %d.%d (0x%x)\n", version >> 16, version & 0xFFFF,
              static_cast<unsigned>(version));
  std::printf("Name:    %s\n", name ? name : "(none)");
  return kExitOk;
}

int Edit(const std::string& project, const std::string& path) {
  Driver driver;
  std::string error;
  if (!driver.Load(path, &error)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return kExitUsage;
  }
  const int saved = driver.Slot<DrvEditConfigFn>(DRV_SLOT_EDIT)(project.c_str());
  std::printf(saved == 1 ? "saved: the configuration was saved\n"
                         : "not saved: the configuration was not saved (or the editor is not "
                           "available)\n");
  return kExitOk;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// The host's tag database and its log library each export a table named
// FuncTable, as the host defines them; both are linked into this program, which
// AddressSanitizer would otherwise stop on as a one-definition violation.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "detect_odr_violation=0";
}
#endif

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return UsageError("no command given");
  if (args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
    std::fputs(Usage().c_str(), stdout);
    return kExitOk;
  }
  const std::string command = args[0];
  RunOptions o;
  o.driver = DefaultDriverPath();
  std::vector<std::string> positional;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    if (a == "--driver") {
      if (!value(&o.driver)) return UsageError("--driver needs a path");
    } else if (a == "--tags") {
      if (!value(&o.tags)) return UsageError("--tags needs a file");
    } else if (a == "--for") {
      std::string text;
      if (!value(&text)) return UsageError("--for needs a number of seconds");
      char* end = nullptr;
      o.for_seconds = std::strtod(text.c_str(), &end);
      if (end == text.c_str() || *end != '\0' || !(o.for_seconds > 0) ||
          !std::isfinite(o.for_seconds)) {
        return UsageError("--for needs a positive number of seconds, not \"" + text + "\"");
      }
    } else if (a == "--json") {
      o.json = true;
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError("unknown option " + a);
    } else {
      positional.push_back(a);
    }
  }

  if (command == "info") {
    if (!positional.empty()) return UsageError("info takes no file");
    return Info(o.driver);
  }
  if (command == "edit") {
    if (positional.size() != 1) return UsageError("edit needs one project file");
    return Edit(positional[0], o.driver);
  }
  if (command == "run") {
    if (positional.size() != 1) return UsageError("run needs one project file");
    o.project = positional[0];
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return Run(o);
  }
  return UsageError("unknown command " + command);
}
