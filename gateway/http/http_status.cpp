#include "gateway/http/http_status.h"

#include <httplib.h>
#include <strings.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "gateway/http/http_page.h"
#include "gateway/line/host_port.h"
#include "gateway/line/line_session.h"
#include "model/tag_binding.h"

namespace dravik::host {
namespace {

// A sample value as Prometheus reads it: the shortest text that gives the
// double back.
std::string Number(double value) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  return ec == std::errc() ? std::string(text, end) : "NaN";
}

// Request threads; an event stream holds one for its life, so at most
// kMaxEventClients of them stream and the rest answer the other paths. A
// connection that sends nothing holds a thread until the read time-out (2 s):
// kIdleClients of them on top of the streams still leave threads for a GET.
constexpr int kMaxEventClients = 4;
constexpr size_t kIdleClients = 64;
constexpr size_t kWorkers = kMaxEventClients + kIdleClients + 4;
// Connections accepted and waiting for a worker. When they are all taken the
// listen thread waits, so further clients wait in the kernel's backlog: the
// number of open sockets is bounded by construction.
constexpr size_t kMaxQueued = 16;
constexpr size_t kMaxLogLines = 100;
constexpr size_t kMaxHeaders = 100;
constexpr size_t kMaxHeaderBytes = 32 * 1024;
constexpr int64_t kMinute = 60000;
constexpr auto kEventGap = std::chrono::milliseconds(500);  // at most two events a second
constexpr auto kKeepAlive = std::chrono::seconds(15);       // a comment line on a quiet stream

// httplib's thread pool queues without limit; this one makes the listen
// thread wait for room instead.
class BoundedPool : public httplib::TaskQueue {
 public:
  BoundedPool() {
    for (size_t i = 0; i < kWorkers; ++i) threads_.emplace_back([this] { Work(); });
  }
  void enqueue(std::function<void()> fn) override {
    std::unique_lock lock(mutex_);
    room_.wait(lock, [this] { return jobs_.size() < kMaxQueued || shutdown_; });
    jobs_.push_back(std::move(fn));  // after shutdown it still runs, closing its socket
    ready_.notify_one();
  }
  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      shutdown_ = true;
    }
    ready_.notify_all();
    room_.notify_all();
    for (auto& t : threads_) t.join();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> fn;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return !jobs_.empty() || shutdown_; });
        if (jobs_.empty()) return;
        fn = std::move(jobs_.front());
        jobs_.pop_front();
      }
      room_.notify_one();
      fn();
    }
  }
  std::mutex mutex_;  // guards jobs_ and shutdown_
  std::condition_variable ready_, room_;
  std::deque<std::function<void()>> jobs_;
  bool shutdown_ = false;
  std::vector<std::thread> threads_;
};

bool SameName(const std::string& a, const std::string& b) {
  return ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

// A label value in the text format: backslash, quote and newline escaped.
std::string Label(const std::string& v) {
  std::string out;
  for (const char c : v) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

Json ValueJson(const std::optional<TagValue>& v) {
  if (!v || v->kind == TagValue::Kind::kNone) return nullptr;
  if (v->kind == TagValue::Kind::kText) return v->text;
  return NumberJson(v->number);
}

Json OptionalMs(const std::optional<int64_t>& ms) { return ms ? Json(*ms) : Json(nullptr); }

const char* const kStates[] = {"ok", "failing", "demoted", "disabled"};

void SetCommonHeaders(httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
}

}  // namespace

bool ParseHttpAddress(const std::string& text, std::string* host, int* port, std::string* error) {
  return ParseHostPort("--http", "127.0.0.1:8080, 0.0.0.0:8080", text, host, port, error);
}

const char* TagQuality(const StationReport* station, size_t tag_index, bool write_only,
                       bool port_open) {
  if (!write_only && !port_open) return "stale";
  return TagQualityName(station, tag_index, write_only);
}

StatusPageSetup MakeStatusPageSetup(const std::string& project, const std::string& port,
                                    const std::vector<std::string>& stations,
                                    const std::vector<TagRow>& tags, bool mqtt) {
  StatusPageSetup setup;
  setup.line = LineName(project);
  setup.port = port;
  setup.stations = stations;
  setup.mqtt = mqtt;
  for (const TagRow& t : tags) {
    setup.tags.push_back(t.name);
    setup.write_only.push_back(t.type == dravik::kTypeWriteOnly);
    const size_t dot = t.device.find('.');
    setup.tag_stations.push_back(dot == std::string::npos ? "" : t.device.substr(dot + 1));
  }
  return setup;
}

std::unique_ptr<HttpStatus> StartStatusPage(const std::string& address, StatusPageSetup setup,
                                            Output* out) {
  auto page = std::make_unique<HttpStatus>(std::move(setup));
  std::string url, error;
  if (!page->Start(address, &url, &error, out)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return nullptr;
  }
  out->Emit("http: status page at " + url + " (metrics at " + url + "metrics)",
            Json{{"kind", "http"}, {"url", url}});
  return page;
}

HttpStatus::HttpStatus(StatusPageSetup setup) : setup_(std::move(setup)) {
  stations_.resize(setup_.stations.size());
  tags_.resize(setup_.tags.size());
  for (const auto& station : setup_.tag_stations) {
    int index = -1;
    for (size_t i = 0; i < setup_.stations.size(); ++i) {
      if (SameName(setup_.stations[i], station)) index = static_cast<int>(i);
    }
    tag_station_.push_back(index);
  }
  tag_station_.resize(setup_.tags.size(), -1);
}

HttpStatus::~HttpStatus() { Stop(); }

bool HttpStatus::Start(const std::string& address, std::string* url, std::string* error,
                       Output* out) {
  std::string host;
  int port = 0;
  if (!ParseHttpAddress(address, &host, &port, error)) return false;
  server_ = std::make_unique<httplib::Server>();
  server_->new_task_queue = [] { return new BoundedPool(); };
  // Slow or silent clients lose their connection after two seconds; nothing
  // but GET is served, so a request body has no use at all.
  server_->set_read_timeout(2, 0);
  server_->set_write_timeout(2, 0);
  server_->set_keep_alive_timeout(2);
  server_->set_keep_alive_max_count(50);
  server_->set_payload_max_length(1024);
  Routes();
  const int bound = port == 0                           ? server_->bind_to_any_port(host)
                    : server_->bind_to_port(host, port) ? port
                                                        : -1;
  if (bound < 0) {
    *error = "the status page cannot listen on " + address + " (address in use or not local)";
    server_.reset();
    return false;
  }
  const bool v6 = host.find(':') != std::string::npos;
  *url = "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(bound) + "/";
  listener_ended_ = false;
  listener_ = std::thread([this, host, bound, where = *url, out] {
    Listen(host, bound, where, out);
    listener_ended_ = true;
  });
  return true;
}

void HttpStatus::Listen(const std::string& host, int port, const std::string& url, Output* out) {
  // httplib's accept loop ends on its own, returning false, when accept
  // fails for any reason but a full descriptor table (the system's file
  // table full, no memory for a socket). The page and /metrics would then be
  // gone with nothing said, so it is said, and the same port is taken again.
  while (!server_->listen_after_bind()) {
    if (Stopping()) return;
    Say(out, "http: the status page at " + url + " stopped accepting connections; listening again",
        Json{{"kind", "http_error"}, {"url", url}, {"text", "accept failed"}});
    bool said = false;
    while (!server_->bind_to_port(host, port)) {
      if (!said) {
        Say(out, "http: the status page cannot listen at " + url + " again; retrying every second",
            Json{{"kind", "http_error"}, {"url", url}, {"text", "cannot listen"}});
        said = true;
      }
      std::unique_lock lock(mutex_);
      if (changed_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; })) return;
    }
    Say(out, "http: status page at " + url + " again", Json{{"kind", "http"}, {"url", url}});
  }
}

bool HttpStatus::Stopping() const {
  std::lock_guard lock(mutex_);
  return stopping_;
}

void HttpStatus::Say(Output* out, const std::string& text, Json record) {
  if (out != nullptr) {
    out->Emit(text, std::move(record));
  } else {
    std::fprintf(stderr, "%s\n", text.c_str());
  }
}

void HttpStatus::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  // httplib's stop() does nothing while no accept loop runs: before the
  // first has begun, or between a failed one and the next. So it waits for
  // a loop to stop, unless the listener, seeing stopping_, ends first.
  while (server_ && !listener_ended_) {
    if (server_->is_running()) {
      server_->stop();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (listener_.joinable()) listener_.join();
  server_.reset();
}

void HttpStatus::Routes() {
  httplib::Server& s = *server_;
  s.Get("/", [](const httplib::Request&, httplib::Response& res) {
    SetCommonHeaders(res);
    // Everything the page needs is in it; it may talk to this server only.
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                   "connect-src 'self'; img-src data:; frame-ancestors 'none'");
    res.set_content(std::string(kStatusPage, kStatusPageSize), "text/html; charset=utf-8");
  });
  s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
    SetCommonHeaders(res);
    res.set_content(MetricsText(), "text/plain; version=0.0.4; charset=utf-8");
  });
  s.Get("/api/v1/stations", [this](const httplib::Request&, httplib::Response& res) {
    SetCommonHeaders(res);
    res.set_content(Dump(StationsJson()), "application/json");
  });
  s.Get("/api/v1/tags", [this](const httplib::Request&, httplib::Response& res) {
    SetCommonHeaders(res);
    res.set_content(Dump(TagsJson()), "application/json");
  });
  s.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
    SetCommonHeaders(res);
    {
      std::lock_guard lock(mutex_);
      if (event_clients_ >= kMaxEventClients || stopping_) {
        res.status = 503;
        res.set_header("Retry-After", "10");
        res.set_content("too many event streams\n", "text/plain");
        return;
      }
      ++event_clients_;
    }
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, seen = uint64_t{0}](size_t, httplib::DataSink& sink) mutable {
          const std::string event = NextEvent(&seen);
          return !event.empty() && sink.write(event.data(), event.size());
        },
        [this](bool) {
          std::lock_guard lock(mutex_);
          --event_clients_;
        });
  });
  // Read-only: every other method is refused, whatever the path.
  const auto refuse = [](const httplib::Request&, httplib::Response& res) {
    res.status = 405;
    res.set_header("Allow", "GET, HEAD");
  };
  s.Post(".*", refuse);
  s.Put(".*", refuse);
  s.Patch(".*", refuse);
  s.Delete(".*", refuse);
  s.Options(".*", refuse);
  // Each header line is held to 8 KB by httplib; the whole of them here.
  s.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    size_t bytes = 0;
    for (const auto& [name, value] : req.headers) bytes += name.size() + value.size() + 4;
    if (req.headers.size() <= kMaxHeaders && bytes <= kMaxHeaderBytes) {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    res.status = 431;
    res.set_content("431 request header fields too large\n", "text/plain");
    return httplib::Server::HandlerResponse::Handled;
  });
  s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) {
      const char* why = res.status == 404   ? " not found"
                        : res.status == 405 ? " read-only: only GET and HEAD"
                                            : " bad request";
      res.set_content(std::to_string(res.status) + why + "\n", "text/plain");
    }
  });
  s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    res.status = 500;
    res.set_content("internal error\n", "text/plain");
  });
}

std::string HttpStatus::NextEvent(uint64_t* seen) {
  std::unique_lock lock(mutex_);
  const bool first = *seen == 0;
  if (!first) {
    // Coalesce: changes that come faster than kEventGap go out together.
    changed_.wait_for(lock, kEventGap, [this] { return stopping_; });
    if (!changed_.wait_for(lock, kKeepAlive, [&] { return stopping_ || version_ != *seen; })) {
      return ": still here\n\n";
    }
  }
  if (stopping_) return "";
  *seen = version_;
  // Every stream sends the same view: it is built once per change.
  if (event_version_ != version_) {
    event_ = "event: state\ndata: " + Dump(ViewJsonLocked()) + "\n\n";
    event_version_ = version_;
  }
  return event_;
}

void HttpStatus::ChangedLocked() {
  ++version_;
  changed_.notify_all();
}

void HttpStatus::OfferLog(int flags, const std::string& text, int64_t ts_ms) {
  {
    std::lock_guard lock(mutex_);
    // The runner's tracker has already taken this line: one reading of the
    // port for the terminal, MQTT and this page.
    port_ = Stations().Port();
    log_.push_back(LogLine{ts_ms, flags, text});
    while (log_.size() > kMaxLogLines) log_.pop_front();
    ChangedLocked();
  }
}

void HttpStatus::OnLog(const LineLog& log) { OfferLog(log.flags, log.text, log.ts_ms); }

void HttpStatus::OnValue(const LineValue& v) {
  if (v.tag_id >= 1) OfferValue(static_cast<size_t>(v.tag_id) - 1, v.value, v.ts_ms);
}

void HttpStatus::OnSample(const LineSample& sample) {
  const auto mqtt = sample.faces.find("mqtt");
  OfferLine(sample.stations, sample.values_delivered,
            mqtt == sample.faces.end() ? "down" : mqtt->second, sample.ts_ms);
  const auto coalesced = sample.face_counts.find("values_coalesced");
  std::lock_guard lock(mutex_);
  port_ = sample.port;
  cycle_seconds_ = sample.cycle_seconds;
  const auto reconnects = sample.face_counts.find("mqtt_reconnects");
  mqtt_reconnects_ = reconnects == sample.face_counts.end() ? 0 : reconnects->second;
  values_coalesced_ = coalesced == sample.face_counts.end() ? 0 : coalesced->second;
  const auto waiting = sample.face_counts.find("changes_waiting");
  const auto dropped = sample.face_counts.find("values_dropped");
  const long now_waiting = waiting == sample.face_counts.end() ? 0 : waiting->second;
  const long now_dropped = dropped == sample.face_counts.end() ? 0 : dropped->second;
  // The page shows the buffer's fill: a change of it is news too.
  if (now_waiting != changes_waiting_ || now_dropped != values_dropped_) ChangedLocked();
  changes_waiting_ = now_waiting;
  values_dropped_ = now_dropped;
  modbus_counts_.clear();
  for (const auto& [name, value] : sample.face_counts) {
    if (name.rfind("modbus.", 0) == 0) modbus_counts_[name.substr(7)] = value;
  }
}

void HttpStatus::OfferValue(size_t tag_index, const TagValue& value, int64_t ts_ms) {
  std::lock_guard lock(mutex_);
  if (tag_index >= tags_.size()) return;
  tags_[tag_index].value = value;
  tags_[tag_index].changed_ms = ts_ms;
  ChangedLocked();
}

void HttpStatus::OfferLine(const std::vector<StationReport>& reports, long values_delivered,
                           const std::string& mqtt, int64_t now_ms) {
  std::lock_guard lock(mutex_);
  bool changed = values_delivered != values_delivered_ || mqtt != mqtt_;
  values_delivered_ = values_delivered;
  mqtt_ = mqtt;
  updated_ms_ = now_ms;
  for (size_t i = 0; i < reports.size() && i < stations_.size(); ++i) {
    Station& s = stations_[i];
    const StationReport& r = reports[i];
    const long good = r.reads_sent + r.writes_sent - r.reads_failed - r.writes_failed;
    const long good_before =
        s.report.reads_sent + s.report.writes_sent - s.report.reads_failed - s.report.writes_failed;
    if (good > good_before) s.last_good_ms = now_ms;
    // Slot 15's status 1: the last exchange failed (or the port is not
    // open). A share of time, not of exchanges: a silent station is asked
    // far less often than a healthy one, so counting exchanges made ten
    // seconds of silence look like a fraction of a percent.
    if (s.minute.empty() || now_ms > s.minute.back().ms) {
      s.minute.push_back(Sample{now_ms, r.status == 1});
    }
    while (s.minute.size() > 1 && now_ms - s.minute[1].ms >= kMinute) s.minute.pop_front();
    changed = changed || !(r == s.report);
    s.report = r;
  }
  if (changed) ChangedLocked();
}

std::optional<double> HttpStatus::FailureRateLocked(const Station& s) const {
  if (s.minute.size() < 2) return std::nullopt;
  // Each sample's finding covers the time since the sample before it: the
  // exchange it saw fail was asked in that time. Had it covered the time up
  // to the next sample instead, a station whose first failure had just been
  // sampled would show as failing at 0 %.
  const int64_t now = s.minute.back().ms;
  const int64_t from = std::max(s.minute.front().ms, now - kMinute);
  int64_t failed = 0;
  for (size_t i = 1; i < s.minute.size(); ++i) {
    if (!s.minute[i].failed) continue;
    failed += s.minute[i].ms - std::max(s.minute[i - 1].ms, from);
  }
  return static_cast<double>(failed) / static_cast<double>(now - from);
}

Json HttpStatus::StationsJsonLocked() const {
  Json list = Json::array();
  for (size_t i = 0; i < stations_.size(); ++i) {
    const Station& s = stations_[i];
    const std::optional<double> rate = FailureRateLocked(s);
    list.push_back(Json{{"name", setup_.stations[i]},
                        {"state", s.report.state.empty() ? "starting" : s.report.state},
                        {"reads_sent", s.report.reads_sent},
                        {"reads_failed", s.report.reads_failed},
                        {"writes_sent", s.report.writes_sent},
                        {"writes_failed", s.report.writes_failed},
                        {"failure_rate_1m", rate ? Json(*rate) : Json(nullptr)},
                        {"last_good_ms", OptionalMs(s.last_good_ms)}});
  }
  return list;
}

Json HttpStatus::TagsJsonLocked() const {
  Json list = Json::array();
  const bool port_open = port_ == PortState::kOpen;
  for (size_t i = 0; i < tags_.size(); ++i) {
    const int station = tag_station_[i];
    const StationReport* report =
        station < 0 ? nullptr : &stations_[static_cast<size_t>(station)].report;
    const Tag& t = tags_[i];
    list.push_back(
        Json{{"name", setup_.tags[i]},
             {"station",
              station < 0 ? Json(nullptr) : Json(setup_.stations[static_cast<size_t>(station)])},
             {"value", ValueJson(t.value)},
             {"quality", TagQuality(report, i, WriteOnly(i), port_open)},
             {"changed_ms", t.value ? Json(t.changed_ms) : Json(nullptr)}});
  }
  return list;
}

Json HttpStatus::StationsJson() const {
  std::lock_guard lock(mutex_);
  return Json{{"line", setup_.line},
              {"port", setup_.port},
              {"port_state", PortStateText(port_)},
              {"stations", StationsJsonLocked()}};
}

Json HttpStatus::TagsJson() const {
  std::lock_guard lock(mutex_);
  return Json{{"line", setup_.line}, {"tags", TagsJsonLocked()}};
}

Json HttpStatus::ViewJson() const {
  std::lock_guard lock(mutex_);
  return ViewJsonLocked();
}

Json HttpStatus::ViewJsonLocked() const {
  Json log = Json::array();
  for (const LogLine& l : log_)
    log.push_back(Json{{"ms", l.ms}, {"flags", l.flags}, {"text", l.text}});
  return Json{{"line", setup_.line},
              {"port", setup_.port},
              {"port_state", PortStateText(port_)},
              {"mqtt", setup_.mqtt ? Json(mqtt_) : Json(nullptr)},
              {"mqtt_waiting", setup_.mqtt ? Json(changes_waiting_) : Json(nullptr)},
              {"mqtt_dropped", setup_.mqtt ? Json(values_dropped_) : Json(nullptr)},
              {"values_delivered", values_delivered_},
              {"updated_ms", updated_ms_},
              {"stations", StationsJsonLocked()},
              {"tags", TagsJsonLocked()},
              {"log", log}};
}

std::string HttpStatus::MetricsText() const {
  std::lock_guard lock(mutex_);
  std::string out;
  const std::string line = "line=\"" + Label(setup_.line) + "\"";
  const auto family = [&](const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  };
  const auto per_station = [&](const char* name, const char* help, int StationReport::*field) {
    family(name, "counter", help);
    for (size_t i = 0; i < stations_.size(); ++i) {
      out += std::string(name) + "{" + line + ",station=\"" + Label(setup_.stations[i]) + "\"} " +
             std::to_string(stations_[i].report.*field) + "\n";
    }
  };
  per_station("draviknet_reads_total",
              "Reads of the station that ended, good or failed (the reset command sets it to 0).",
              &StationReport::reads_sent);
  per_station("draviknet_reads_failed_total", "Reads of the station that failed.",
              &StationReport::reads_failed);
  per_station("draviknet_writes_total", "Writes to the station that ended, good or failed.",
              &StationReport::writes_sent);
  per_station("draviknet_writes_failed_total", "Writes to the station that failed.",
              &StationReport::writes_failed);
  per_station("draviknet_writes_refused_total",
              "Writes to the station the gateway refused before the driver (station disabled, "
              "demoted or the port not open).",
              &StationReport::writes_refused);
  per_station("draviknet_demotions_total",
              "Times the line set the station aside as silent, polling it only now and then.",
              &StationReport::demotions);
  out += ReplyDurationMetrics(line);
  family("draviknet_station_state", "gauge",
         "1 for the state the station is in (ok, failing, demoted, disabled), 0 for the others.");
  for (size_t i = 0; i < stations_.size(); ++i) {
    for (const char* state : kStates) {
      out += "draviknet_station_state{" + line + ",station=\"" + Label(setup_.stations[i]) +
             "\",state=\"" + state + "\"} " + (stations_[i].report.state == state ? "1" : "0") +
             "\n";
    }
  }
  out += FreshnessMetrics(line);
  long exchanges = 0;
  for (const Station& s : stations_) exchanges += s.report.reads_sent + s.report.writes_sent;
  family("draviknet_port_open", "gauge", "1 while the line's serial port is open.");
  out += "draviknet_port_open{" + line + "} " + (port_ == PortState::kOpen ? "1" : "0") + "\n";
  family("draviknet_exchanges_total", "counter",
         "Reads and writes on the line that ended, all stations together.");
  out += "draviknet_exchanges_total{" + line + "} " + std::to_string(exchanges) + "\n";
  family("draviknet_cycle_duration_seconds", "gauge",
         "Time between two polls of the block polled most often: one pass over the line "
         "(0 before it is known).");
  out += "draviknet_cycle_duration_seconds{" + line + "} " + Number(cycle_seconds_) + "\n";
  family("draviknet_mqtt_reconnects_total", "counter",
         "Connections to the MQTT broker after the first one.");
  out += "draviknet_mqtt_reconnects_total{" + line + "} " + std::to_string(mqtt_reconnects_) +
         "\n";
  family("draviknet_build_info", "gauge", "Always 1; the label names the gateway's version.");
  out += "draviknet_build_info{" + line + ",version=\"" DRAVIKNET_VERSION "\"} 1\n";
  family("draviknet_mqtt_connected", "gauge",
         "1 while the gateway is connected to its MQTT broker; 0 also when it runs without one.");
  out += "draviknet_mqtt_connected{" + line + "} " +
         (setup_.mqtt && mqtt_ == "connected" ? "1" : "0") + "\n";
  family("draviknet_values_coalesced_total", "counter",
         "Changes the MQTT face merged into a newer value of the same tag because more than "
         "its bound waited for the broker.");
  out +=
      "draviknet_values_coalesced_total{" + line + "} " + std::to_string(values_coalesced_) + "\n";
  family("draviknet_values_dropped_total", "counter",
         "Changes the MQTT face's disk buffer dropped, the oldest first, because it was full.");
  out += "draviknet_values_dropped_total{" + line + "} " + std::to_string(values_dropped_) + "\n";
  family("draviknet_mqtt_changes_waiting", "gauge",
         "Changes waiting for the MQTT broker: the in-memory buffer while it is away.");
  out += "draviknet_mqtt_changes_waiting{" + line + "} " + std::to_string(changes_waiting_) + "\n";
  family("draviknet_values_delivered_total", "counter",
         "Value changes the driver delivered to the host's tag database.");
  out +=
      "draviknet_values_delivered_total{" + line + "} " + std::to_string(values_delivered_) + "\n";
  if (!modbus_counts_.empty()) out += ModbusMetrics(line);
  return out;
}

// Each station's exchange durations as a Prometheus histogram.
std::string HttpStatus::ReplyDurationMetrics(const std::string& line) const {
  std::string out =
      "# HELP draviknet_reply_duration_seconds How long each exchange with the station took, "
      "from its request to its reply or its failure.\n"
      "# TYPE draviknet_reply_duration_seconds histogram\n";
  for (size_t i = 0; i < stations_.size(); ++i) {
    const ReplyHistogram& h = stations_[i].report.replies;
    const std::string labels = line + ",station=\"" + Label(setup_.stations[i]) + "\"";
    for (size_t b = 0; b < kReplyBucketSeconds.size(); ++b) {
      const long count = b < h.buckets.size() ? h.buckets[b] : 0;
      out += "draviknet_reply_duration_seconds_bucket{" + labels + ",le=\"" +
             Number(kReplyBucketSeconds[b]) + "\"} " + std::to_string(count) + "\n";
    }
    out += "draviknet_reply_duration_seconds_bucket{" + labels + ",le=\"+Inf\"} " +
           std::to_string(h.count) + "\n";
    out += "draviknet_reply_duration_seconds_sum{" + labels + "} " + Number(h.sum_seconds) + "\n";
    out += "draviknet_reply_duration_seconds_count{" + labels + "} " + std::to_string(h.count) +
           "\n";
  }
  return out;
}

// What a freshness alert needs: each station's last good reply and how many
// of its tags are not good now.
std::string HttpStatus::FreshnessMetrics(const std::string& line) const {
  std::string out =
      "# HELP draviknet_last_good_reply_timestamp_seconds When the station last answered a read "
      "(seconds since the epoch; 0 before its first).\n"
      "# TYPE draviknet_last_good_reply_timestamp_seconds gauge\n";
  const bool port_open = port_ == PortState::kOpen;
  std::vector<long> not_good(stations_.size(), 0);
  for (size_t t = 0; t < tags_.size(); ++t) {
    const int s = tag_station_[t];
    if (s >= 0 && !WriteOnly(t) &&
        std::string(TagQuality(&stations_[static_cast<size_t>(s)].report, t, false, port_open)) !=
            "good") {
      ++not_good[static_cast<size_t>(s)];
    }
  }
  std::string tags =
      "# HELP draviknet_tags_not_good Tags of the station whose quality is not good now.\n"
      "# TYPE draviknet_tags_not_good gauge\n";
  char seconds[32];
  for (size_t i = 0; i < stations_.size(); ++i) {
    const std::string labels = "{" + line + ",station=\"" + Label(setup_.stations[i]) + "\"} ";
    std::snprintf(seconds, sizeof seconds, "%.3f",
                  static_cast<double>(stations_[i].report.last_good_ms) / 1000.0);
    out += "draviknet_last_good_reply_timestamp_seconds" + labels + seconds + "\n";
    tags += "draviknet_tags_not_good" + labels + std::to_string(not_good[i]) + "\n";
  }
  return out + tags;
}

// The Modbus TCP face's counts, as it keeps them: "connections",
// "connections_total", ..., and "requests/<function>/<result>".
std::string HttpStatus::ModbusMetrics(const std::string& line) const {
  std::string out;
  const auto count = [&](const std::string& name) {
    const auto it = modbus_counts_.find(name);
    return std::to_string(it == modbus_counts_.end() ? 0 : it->second);
  };
  const struct {
    const char* name;
    const char* type;
    const char* help;
  } kPlain[] = {
      {"connections", "gauge", "Modbus TCP clients connected now."},
      {"connections_total", "counter", "Modbus TCP clients accepted."},
      {"connections_refused_total", "counter",
       "Modbus TCP connections closed at once because --modbus-max-clients were connected."},
      {"malformed_total", "counter",
       "Modbus TCP connections closed for a frame whose header disagreed with itself."},
  };
  for (const auto& m : kPlain) {
    const std::string metric = std::string("draviknet_modbus_") + m.name;
    out += "# HELP " + metric + " " + m.help + "\n# TYPE " + metric + " " + m.type + "\n";
    out += metric + "{" + line + "} " + count(m.name) + "\n";
  }
  out += "# HELP draviknet_modbus_requests_total Modbus TCP requests answered, by function and "
         "by result (ok or the exception's name).\n# TYPE draviknet_modbus_requests_total "
         "counter\n";
  for (const auto& [name, value] : modbus_counts_) {
    if (name.rfind("requests/", 0) != 0) continue;
    const size_t slash = name.find('/', 9);
    if (slash == std::string::npos) continue;
    out += "draviknet_modbus_requests_total{" + line + ",function=\"" + name.substr(9, slash - 9) +
           "\",result=\"" + name.substr(slash + 1) + "\"} " + std::to_string(value) + "\n";
  }
  return out;
}

}  // namespace dravik::host
