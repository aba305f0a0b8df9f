#include "tools/host/line_runner.h"

#include <poll.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "host/tarsel_dbm.h"
#include "host/tarsel_sub.h"
#include "host/wendro_r.h"
#include "model/dravik_doc.h"
#include "platform/file_io.h"
#include "tools/host/http_status.h"
#include "tools/host/sparkplug_node.h"
#include "tools/host/station_states.h"
#include "tools/host/write_value_check.h"

namespace dravik::host {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxTagFileBytes = 16u << 20;
constexpr auto kStatusInterval = std::chrono::milliseconds(1000);
constexpr auto kCommandWait = std::chrono::milliseconds(100);
// How often the station states are read for MQTT's change detection (a
// tag's quality follows within this).
constexpr auto kStationCheckInterval = std::chrono::milliseconds(200);
// How often the counters are read while a write waits for its end.
constexpr auto kWriteCheckWait = std::chrono::milliseconds(20);
// How long the start waits for the broker's answer on who holds the prefix.
constexpr auto kPrefixCheckWait = std::chrono::milliseconds(3000);

// What the host library handlers see. The tag rows are fixed before the
// driver is given the handlers, so they are read without a lock.
struct HostContext {
  Output* out = nullptr;
  const std::vector<TagRow>* tags = nullptr;  // host tag id = index + 1
  MqttBridge* bridge = nullptr;               // null without --mqtt
  HttpStatus* http = nullptr;                 // null without --http
  bool print_values = true;
  std::atomic<long> values{0};
};

void OnLog(void* context, int /*kind*/, int flags, const char* text) {
  auto* ctx = static_cast<HostContext*>(context);
  Stations().OnLog(flags, text);  // before the line is shown, so a status line after it agrees
  ctx->out->Emit("log " + FlagsText(flags) + " " + text,
                 Json{{"kind", "log"}, {"flags", flags}, {"text", text}});
  if (ctx->bridge != nullptr) ctx->bridge->OfferLog(flags, text, NowMs());
  if (ctx->http != nullptr) ctx->http->OfferLog(flags, text, NowMs());
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
  if (ctx->print_values) {
    ctx->out->Emit("value " + name + " = " + shown,
                   Json{{"kind", "value"}, {"tag", name}, {"id", tag_id}, {"value", json_value}});
  }
  if (ctx->http != nullptr && known) {
    ctx->http->OfferValue(static_cast<size_t>(tag_id) - 1, value, NowMs());
  }
  if (ctx->bridge != nullptr && known) {
    TagValue v;
    if (value.HasValue()) {
      v.kind = value.IsText() ? TagValue::Kind::kText : TagValue::Kind::kNumber;
      if (value.IsText()) v.text = value.GetValStr();
      v.number = value.IsText() ? 0.0 : value.GetVal();
    }
    ctx->bridge->OfferValue(static_cast<size_t>(tag_id) - 1, std::move(v), NowMs());
  }
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
    cv_.wait_for(lock, wait, [this] { return !lines_.empty() || woken_; });
    woken_ = false;
    std::vector<std::string> out(lines_.begin(), lines_.end());
    lines_.clear();
    return out;
  }
  // Ends the current or next Take early (a write from MQTT waits).
  void Wake() {
    {
      std::lock_guard lock(mutex_);
      woken_ = true;
    }
    cv_.notify_one();
  }

 private:
  std::mutex mutex_;  // guards lines_ and woken_
  std::condition_variable cv_;
  std::deque<std::string> lines_;
  bool woken_ = false;
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

// The station a tag's device names: the part after the first '.', as the
// driver reads it (case ignored); -1 for none.
int StationIndex(const std::string& device, const std::vector<std::string>& stations) {
  const size_t dot = device.find('.');
  const std::string name = dot == std::string::npos ? "" : device.substr(dot + 1);
  for (size_t s = 0; s < stations.size(); ++s) {
    if (::strcasecmp(stations[s].c_str(), name.c_str()) == 0) return static_cast<int>(s);
  }
  return -1;
}

}  // namespace

Runner::Runner(const Driver& driver, Output* out, int instance, std::vector<TagRow> tags,
               std::vector<int> handles, std::vector<std::string> stations)
    : driver_(driver),
      out_(out),
      instance_(instance),
      tags_(std::move(tags)),
      handles_(std::move(handles)),
      stations_(std::move(stations)),
      write_results_(stations_.size()),
      failures_seen_(stations_.size(), 0) {
  for (const TagRow& t : tags_) tag_stations_.push_back(StationIndex(t.device, stations_));
}

int Runner::StationOfTag(size_t tag_index) const {
  return tag_index < tag_stations_.size() ? tag_stations_[tag_index] : -1;
}

// Executes one command line; false for quit.
bool Runner::Execute(const std::string& line) {
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
    const WriteOutcome r = WriteTag(arg, rest);
    if (!r.ok) return Error(r.error);
    // The reply says it is queued; the PLC's answer follows as write_result.
    Reply("write " + arg + " = " + r.shown + " queued",
          Json{{"kind", "reply"}, {"command", "write"}, {"tag", arg}, {"result", r.result}});
  } else if (cmd == "enable" || cmd == "disable") {
    if (arg.empty() || !rest.empty()) return Error(cmd + " needs one station name");
    driver_.Slot<DrvSetRunStateFn>(DRV_SLOT_SET_RUN_STATE)(instance_, arg.c_str(),
                                                           cmd == "enable" ? 1 : 0);
    Stations().OnRunState(arg, cmd == "enable");
    for (size_t s = 0; s < stations_.size(); ++s) {
      if (cmd == "disable" && ::strcasecmp(stations_[s].c_str(), arg.c_str()) == 0) {
        write_results_.Disabled(s, Clock::now());
      }
    }
    Reply(cmd + "d " + arg, Json{{"kind", "reply"}, {"command", cmd}, {"station", arg}});
  } else if (cmd == "stats") {
    if (!rest.empty()) return Error("stats takes at most one station name");
    Stats(arg);
  } else if (cmd == "reset") {
    if (!rest.empty()) return Error("reset takes at most one station name");
    driver_.Slot<DrvResetCountersFn>(DRV_SLOT_RESET_COUNTERS)(instance_,
                                                              arg.empty() ? nullptr : arg.c_str());
    for (size_t s = 0; s < stations_.size(); ++s) {
      if (arg.empty() || ::strcasecmp(stations_[s].c_str(), arg.c_str()) == 0) {
        write_results_.CountersReset(s, Clock::now());
      }
    }
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

Runner::Totals Runner::AllCounters() const {
  Totals t;  // zeroed: the driver adds to what it is given
  t.status = driver_.Slot<DrvGetStatisticsFn>(DRV_SLOT_GET_STATISTICS)(
      instance_, nullptr, &t.writes_sent, &t.writes_failed, &t.reads_sent, &t.reads_failed);
  return t;
}

std::string Runner::StatusLine() const {
  const PortState port = Stations().Port();
  std::string line = port == PortState::kLost      ? "port lost, reopening | "
                     : port == PortState::kNotOpen ? "port not open, retrying | "
                                                   : "";
  const size_t head = line.size();
  for (const auto& name : stations_) {
    int ws = 0, wf = 0, rs = 0, rf = 0;
    const int status = driver_.Slot<DrvGetStatisticsFn>(DRV_SLOT_GET_STATISTICS)(
        instance_, name.c_str(), &ws, &wf, &rs, &rf);
    if (line.size() > head) line += " | ";
    line += name + ": " + StationState(name, status) + " reads " + std::to_string(rs) +
            " failures " + std::to_string(rf + wf);
  }
  return line.size() == head ? line + "(no stations)" : line;
}

std::string Runner::StationState(const std::string& station, int status) {
  return Stations().StateOf(station, status);
}

std::vector<StationReport> Runner::StationReports() const {
  std::vector<StationReport> reports;
  for (const auto& name : stations_) {
    StationReport r;
    const int status = driver_.Slot<DrvGetStatisticsFn>(DRV_SLOT_GET_STATISTICS)(
        instance_, name.c_str(), &r.writes_sent, &r.writes_failed, &r.reads_sent, &r.reads_failed);
    r.state = StationState(name, status);
    r.name = name;
    r.port = PortStateText(Stations().Port());
    r.writes_refused = Stations().RefusedWrites(name);
    r.status = status;
    reports.push_back(r);
  }
  return reports;
}

bool Runner::Error(const std::string& text) {
  out_->Plain("error: " + text, Json{{"kind", "error"}, {"text", text}});
  return true;
}
void Runner::Reply(const std::string& text, const Json& record) { out_->Plain(text, record); }

Runner::WriteOutcome Runner::WriteTag(const std::string& tag_name, const std::string& value_text,
                                      const Json& id, bool mqtt) {
  WriteOutcome r;
  if (tag_name.empty() || value_text.empty()) {
    r.error = "write needs a tag name and a value";
    return r;
  }
  size_t index = tags_.size();
  for (size_t i = 0; i < tags_.size(); ++i) {
    if (tags_[i].name == tag_name) index = i;
  }
  if (index == tags_.size()) {
    r.error = "no tag named \"" + tag_name + "\"";
    return r;
  }
  if (handles_[index] == -1) {
    r.error = "tag \"" + tag_name + "\" is not bound";
    return r;
  }
  CTagVal value;
  std::string text = value_text;
  const bool is_string = tags_[index].type == kTypeString;
  if (is_string && text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    text = text.substr(1, text.size() - 2);
  }
  // Nothing that the tag would not hold unchanged goes to the driver.
  std::string why;
  if (!CheckWriteValue(tags_[index].type, tags_[index].length, text, &value, &why)) {
    r.error = "write of " + tag_name + " not sent: " + why;
    return r;
  }
  r.shown = is_string ? "\"" + text + "\"" : FormatNumber(value.GetVal());
  // Nothing is queued that the driver would drop unseen or send late.
  const int s = tag_stations_[index];
  if (s >= 0) {
    const std::string& station = stations_[static_cast<size_t>(s)];
    int ws = 0, wf = 0, rs = 0, rf = 0;
    const int status = driver_.Slot<DrvGetStatisticsFn>(DRV_SLOT_GET_STATISTICS)(
        instance_, station.c_str(), &ws, &wf, &rs, &rf);
    const std::string state = StationState(station, status);
    if (state == "disabled" || state == "demoted" || state == "no_port") {
      Stations().CountRefusedWrite(station);
      const PortState port = Stations().Port();
      r.error = "write of " + tag_name + " not sent: " +
                (state == "no_port" ? std::string(port == PortState::kLost ? "the port is lost"
                                                                           : "the port is not open")
                                    : "station " + station + " is " + state);
      return r;
    }
    const uint64_t unframed = Stations().UnframedWrites();
    r.result = driver_.Slot<DrvWriteTagFn>(DRV_SLOT_WRITE_TAG)(instance_, handles_[index], &value);
    if (r.result == 0 && Stations().UnframedWrites() != unframed) {
      r.error = "write of " + tag_name + " not sent: the driver could not put the value in a frame";
      return r;
    }
    if (r.result == 0) {
      TrackedWrite w{tag_name, is_string ? Json(text) : NumberJson(value.GetVal()), id, mqtt,
                     Clock::now()};
      if (!write_results_.Waiting(static_cast<size_t>(s))) {
        Stations().LastFailure(station, &failures_seen_[static_cast<size_t>(s)]);
      }
      write_results_.Issued(static_cast<size_t>(s), std::move(w), ws, wf);
    }
  } else {
    r.result = driver_.Slot<DrvWriteTagFn>(DRV_SLOT_WRITE_TAG)(instance_, handles_[index], &value);
  }
  if (r.result != 0) {
    r.error = "write of " + tag_name + " refused (result " + std::to_string(r.result) + ")";
    return r;
  }
  r.ok = true;
  return r;
}

std::vector<WriteResult> Runner::TakeWriteResults() {
  const auto now = Clock::now();
  // With the port closed slot 15 answers no counters; the writes wait (and
  // time out as unconfirmed should it stay closed).
  if (write_results_.AnyWaiting() && Stations().Port() == PortState::kOpen) {
    for (size_t s = 0; s < stations_.size(); ++s) {
      if (!write_results_.Waiting(s)) continue;
      int ws = 0, wf = 0, rs = 0, rf = 0;
      driver_.Slot<DrvGetStatisticsFn>(DRV_SLOT_GET_STATISTICS)(instance_, stations_[s].c_str(),
                                                                &ws, &wf, &rs, &rf);
      uint64_t count = 0;
      const std::string failure = Stations().LastFailure(stations_[s], &count);
      const bool fresh = count != failures_seen_[s];
      failures_seen_[s] = count;
      write_results_.Observe(s, ws, wf, fresh ? failure : "", now);
    }
  }
  write_results_.Expire(now);
  return write_results_.Take();
}

void Runner::Stats(const std::string& station) {
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
    // Slot 15's line status turns 1 at any single failure; the stations'
    // own states follow the health rule.
    state = t.status == -1 ? "stopped" : "ok";
    for (const StationReport& r : StationReports()) {
      if (t.status != -1 && r.state != "ok" && r.state != "disabled") state = r.state;
    }
  } else {
    bool known = false;
    for (const auto& s : stations_) known = known || ::strcasecmp(s.c_str(), station.c_str()) == 0;
    state = !known && t.status == -1 ? "unknown station" : StationState(station, t.status);
  }
  char text[256];
  std::snprintf(text, sizeof text,
                "stats %s: %s (status %d), writes %d sent %d failed, reads %d sent %d failed",
                station.empty() ? "(all)" : station.c_str(), state.c_str(), t.status, t.writes_sent,
                t.writes_failed, t.reads_sent, t.reads_failed);
  out_->Emit(text, Json{{"kind", "stats"},
                        {"station", station.empty() ? Json(nullptr) : Json(station)},
                        {"status", t.status},
                        {"state", state},
                        {"writes_sent", t.writes_sent},
                        {"writes_failed", t.writes_failed},
                        {"reads_sent", t.reads_sent},
                        {"reads_failed", t.reads_failed}});
}

void Runner::Texts(const std::string& station) {
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

// Checks the names against MQTT's topic rules and starts the bridge; null
// (with the problems on stderr) when it can't run.
// With --sparkplug the bridge speaks through `node`, made here.
static std::unique_ptr<MqttBridge> StartBridge(const RunOptions& o, const std::vector<TagRow>& tags,
                                               const std::vector<std::string>& stations,
                                               Output* out, CommandQueue* queue,
                                               std::unique_ptr<SparkplugNode>* node) {
  MqttOptions mqtt = o.mqtt;
  if (mqtt.prefix.empty()) mqtt.prefix = DefaultPrefix(o.project);
  std::vector<std::string> names;
  std::vector<bool> writable;
  std::vector<int> tag_stations;
  for (const auto& t : tags) {
    names.push_back(t.name);
    writable.push_back(t.writable);
    tag_stations.push_back(StationIndex(t.device, stations));
  }
  SparkplugOptions sparkplug = o.sparkplug;
  if (sparkplug.node.empty()) sparkplug.node = DefaultPrefix(o.project).substr(10);
  const std::vector<std::string> problems = sparkplug.group.empty()
                                                ? CheckTopicNames(mqtt.prefix, names, stations)
                                                : CheckSparkplugNames(sparkplug, names, stations);
  for (const auto& p : problems) std::fprintf(stderr, "error: %s\n", p.c_str());
  if (!problems.empty()) return nullptr;
  auto bridge = std::make_unique<MqttBridge>(mqtt, names, writable, tag_stations, stations, out,
                                             [queue] { queue->Wake(); });
  if (!sparkplug.group.empty()) {
    std::vector<SparkplugTag> metrics;
    for (size_t i = 0; i < tags.size(); ++i) {
      const size_t station =
          tag_stations[i] < 0 ? static_cast<size_t>(-1) : static_cast<size_t>(tag_stations[i]);
      metrics.push_back({tags[i].name, tags[i].type, station, tags[i].writable});
    }
    *node =
        std::make_unique<SparkplugNode>(sparkplug, std::move(metrics), stations, mqtt.writes, out);
    bridge->SetScheme(node->get());
  }
  std::string error;
  if (!bridge->Start(&error)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return nullptr;
  }
  // Two gateways on one prefix would hide each other's status: the first
  // answer of the broker comes before the line starts.
  if (!bridge->WaitUntilChecked(kPrefixCheckWait)) {
    std::fprintf(stderr, "error: %s\n", bridge->Refusal().c_str());
    bridge->Stop();
    return nullptr;
  }
  return bridge;
}

// Offers each station whose state changed since it was last offered, or all
// of them when `due` (the periodic counters).
static void PublishStationStates(const std::vector<StationReport>& reports, bool due,
                                 std::vector<StationReport>* published, MqttBridge* bridge) {
  published->resize(reports.size());
  for (size_t i = 0; i < reports.size(); ++i) {
    if (due || reports[i].state != (*published)[i].state) {
      bridge->OfferStation(i, reports[i]);
      (*published)[i] = reports[i];
    }
  }
}

static bool ReadTagFile(const std::string& path, Output* out, std::vector<TagRow>* rows) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!dravik::ReadWholeFile(path, kMaxTagFileBytes, &bytes, &error)) {
    std::fprintf(stderr, "error: cannot read the tag list: %s\n", error.c_str());
    return false;
  }
  const TagList list = ParseTagList(std::string(bytes.begin(), bytes.end()));
  for (const auto& e : list.errors) {
    std::fprintf(stderr, "%s:%d: %s\n", path.c_str(), e.line, e.text.c_str());
    if (out->json()) {
      out->Plain("",
                 Json{{"kind", "tag_error"}, {"file", path}, {"line", e.line}, {"text", e.text}});
    }
  }
  // A list that yields no tag is a mistake unless it lists none on purpose.
  if (list.has_header && list.rows.empty()) {
    const bool refused_all = list.data_rows > 0;
    const std::string text = refused_all ? "error: " + path + ": no usable tag in the list"
                                         : "note: " + path + " lists no tags";
    std::fprintf(stderr, "%s\n", text.c_str());
    if (refused_all) return false;
  }
  *rows = list.rows;
  return list.has_header;
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
  std::string load_error;  // the loader's reason, shown when slot 1 refuses the file
  std::string port_name;
  {
    dravik::CDravikNetDoc doc;
    if (doc.LoadFile(o.project.c_str()) == 1) {
      for (const auto& s : doc.Stations()) stations.push_back(s->name);
      port_name = "COM" + std::to_string(doc.Port().port + 1);
    } else {
      load_error = doc.LastError();
    }
  }

  Stations().Reset(stations);
  CommandQueue queue;
  std::unique_ptr<SparkplugNode> sparkplug_node;  // outlives the bridge that speaks through it
  std::unique_ptr<MqttBridge> bridge;
  if (!o.mqtt.url.empty()) {
    bridge = StartBridge(o, tags, stations, &out, &queue, &sparkplug_node);
    if (bridge == nullptr) return kExitUsage;
  }
  std::unique_ptr<HttpStatus> http;
  if (!o.http.address.empty()) {
    http = StartStatusPage(
        o.http.address,
        MakeStatusPageSetup(o.project, port_name, stations, tags, bridge != nullptr), &out);
    if (http == nullptr) return kExitUsage;
  }

  HostContext ctx;
  ctx.out = &out;
  ctx.tags = &tags;
  ctx.bridge = bridge.get();
  ctx.http = http.get();
  ctx.print_values = !o.quiet;
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
    Json record{{"kind", "error"}, {"text", "slot 1 returned -1 for " + o.project}};
    if (!load_error.empty()) record["reason"] = load_error;
    out.Plain("error: the driver could not create an instance for " + o.project +
                  (load_error.empty() ? "" : "\n  " + load_error),
              record);
    driver.Unload();
    uninstall();
    return kExitCreateFailed;
  }

  const int prepared = driver.Slot<DrvPrepareCommFn>(DRV_SLOT_PREPARE)(instance);
  Stations().OnPrepared(prepared);
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
  if (sparkplug_node != nullptr) {
    std::vector<bool> is_bound;
    for (int handle : handles) is_bound.push_back(handle != -1);
    sparkplug_node->Activate(std::move(is_bound));
    bridge->Republish();
  }
  driver.Slot<DrvSetRunStateFn>(DRV_SLOT_SET_RUN_STATE)(instance, nullptr, 1);
  out.Emit("running: " + std::to_string(bound) + " of " + std::to_string(tags.size()) +
               " tags bound" + (prepared != 0 ? ", port not open" : ""),
           Json{{"kind", "start"},
                {"instance", instance},
                {"prepare", prepared},
                {"tags", tags.size()},
                {"bound", bound}});

  Runner runner(driver, &out, instance, tags, handles, stations);
  std::atomic<bool> stop_reader{false};
  std::thread reader(ReadCommands, &queue, &stop_reader);

  const auto started = Clock::now();
  const auto deadline =
      started + std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(o.for_seconds > 0 ? o.for_seconds : 0));
  auto next_status = started;
  auto next_station_check = started;
  auto next_stats_publish = started;
  auto next_http_sample = started;
  std::vector<StationReport> published_states;
  bool running = true;
  int exit_status = kExitOk;
  while (running && g_interrupted == 0) {
    auto wait = runner.WritesWaiting() ? kWriteCheckWait : kCommandWait;
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
    for (const WriteResult& r : runner.TakeWriteResults()) {
      const std::string text = "write " + r.write.tag + " = " + r.write.value.dump() + ": " +
                               (r.ok ? "" : "not acknowledged, ") + r.reason;
      out.Emit(text, Json{{"kind", "write_result"},
                          {"tag", r.write.tag},
                          {"ok", r.ok},
                          {"value", r.write.value},
                          {"reason", r.reason},
                          {"id", r.write.id}});
      if (bridge != nullptr && r.write.mqtt) {
        bridge->OfferWriteResult(r.write.tag, r.ok, r.write.value, r.reason, r.write.id);
      }
    }
    if (bridge != nullptr) {
      if (const std::string refusal = bridge->Refusal(); !refusal.empty()) {
        std::fprintf(stderr, "error: %s\n", refusal.c_str());
        exit_status = kExitUsage;
        break;
      }
      for (const MqttWrite& w : bridge->TakeWrites()) {
        const Runner::WriteOutcome r = runner.WriteTag(w.tag, w.value_text, w.id, true);
        if (!r.ok) {
          bridge->ReportWriteError(w.tag, r.error, w.value, w.id);
        } else {
          out.Emit("mqtt: write " + w.tag + " = " + r.shown + " queued",
                   Json{{"kind", "mqtt_write"}, {"tag", w.tag}, {"value", w.value_text}});
        }
      }
      const auto now = Clock::now();
      if (now >= next_station_check) {
        const bool due = now >= next_stats_publish;
        PublishStationStates(runner.StationReports(), due, &published_states, bridge.get());
        if (due) next_stats_publish = now + std::chrono::seconds(o.mqtt.stats_seconds);
        next_station_check = now + kStationCheckInterval;
      }
    }
    if (http != nullptr && Clock::now() >= next_http_sample) {
      http->OfferLine(runner.StationReports(), ctx.values.load(),
                      bridge ? bridge->state() : MqttBridge::State::kDown, NowMs());
      next_http_sample = Clock::now() + kStationCheckInterval;
    }
    if (Clock::now() >= next_status) {
      std::string status = runner.StatusLine();
      if (bridge != nullptr)
        status += std::string(" | mqtt ") + MqttBridge::StateText(bridge->state());
      out.SetStatus(status);
      next_status = Clock::now() + kStatusInterval;
    }
  }

  driver.Slot<DrvSetRunStateFn>(DRV_SLOT_SET_RUN_STATE)(instance, nullptr, 0);
  if (bridge != nullptr) bridge->Stop();
  if (http != nullptr) http->Stop();
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
  if (g_stdout_closed != 0) {
    std::fputs(
        "dravik-host: standard output was closed (its reader went away); the line was "
        "stopped\n",
        stderr);
    return 1;
  }
  return exit_status;
}

}  // namespace dravik::host
