#include "gateway/line/line_session.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "gateway/line/station_states.h"
#include "gateway/line/write_value_check.h"
#include "host/tarsel_sub.h"
#include "model/dravik_doc.h"
#include "model/tag_binding.h"
#include "runtime/line_settings.h"

namespace dravik::host {
namespace {

using Clock = std::chrono::steady_clock;

// How long the loop waits for a task or a write when nothing else is due.
constexpr auto kCommandWait = std::chrono::milliseconds(100);
// How often the stations' counters and states are sampled for the faces (a
// tag's quality follows within this).
constexpr auto kSampleInterval = std::chrono::milliseconds(200);
// How long a failed write's end waits for the driver's line saying why.
constexpr auto kFailureTextWait = std::chrono::milliseconds(300);
// How often the counters are read while a write waits for its end.
constexpr auto kWriteCheckWait = std::chrono::milliseconds(20);

void OnLog(void* context, int /*kind*/, int flags, const char* text) {
  static_cast<LineSession*>(context)->HandleLog(flags, text);
}

void OnValue(void* context, int tag_id, const CTagVal& value) {
  TagValue v;
  if (value.HasValue()) {
    v.kind = value.IsText() ? TagValue::Kind::kText : TagValue::Kind::kNumber;
    if (value.IsText()) v.text = value.GetValStr();
    v.number = value.IsText() ? 0.0 : value.GetVal();
  }
  static_cast<LineSession*>(context)->HandleValue(tag_id, v);
}

void OnTagName(void* context, int tag_id, CString* name) {
  static_cast<const LineSession*>(context)->HandleTagName(tag_id, name);
}

}  // namespace

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string LineName(const std::string& project_path) {
  std::string name = project_path;
  const size_t slash = name.rfind('/');
  if (slash != std::string::npos) name = name.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name = name.substr(0, dot);
  return name;
}

int StationIndex(const std::string& device, const std::vector<std::string>& stations) {
  const size_t dot = device.find('.');
  const std::string name = dot == std::string::npos ? "" : device.substr(dot + 1);
  for (size_t s = 0; s < stations.size(); ++s) {
    if (::strcasecmp(stations[s].c_str(), name.c_str()) == 0) return static_cast<int>(s);
  }
  return -1;
}

LineLayout ReadLineLayout(const std::string& project, std::vector<TagRow> tags) {
  LineLayout layout;
  layout.project = project;
  {
    dravik::CDravikNetDoc doc;
    if (doc.LoadFile(project.c_str()) == 1) {
      for (const auto& s : doc.Stations()) {
        layout.stations.push_back(s->name);
        layout.station_numbers.push_back(s->number);
        std::vector<BlockRange> blocks;
        for (const auto& b : s->blocks) {
          blocks.push_back({b->area, b->start, b->count, b->period_ms});
        }
        layout.blocks.push_back(std::move(blocks));
      }
      layout.port = "COM" + std::to_string(doc.Port().port + 1);
      // The driver reads the same file and reports its problems.
      std::string problem;
      layout.stale_after_ms =
          dravik::ReadLineSettings(dravik::LineSettingsPath(), layout.port, &problem)
              .stale_after_ms;
    } else {
      layout.load_error = doc.LastError();
    }
  }
  for (const TagRow& t : tags) {
    layout.tag_stations.push_back(StationIndex(t.device, layout.stations));
  }
  layout.tags = std::move(tags);
  return layout;
}

void LineSession::SetLayout(LineLayout layout) {
  layout_ = std::move(layout);
  write_results_ = WriteResults(layout_.stations.size());
  failures_seen_.assign(layout_.stations.size(), 0);
  writes_sent_seen_.assign(layout_.stations.size(), 0);
  writes_failed_seen_.assign(layout_.stations.size(), 0);
  failure_wait_since_.assign(layout_.stations.size(), Clock::time_point{});
  freshness_ = StationFreshness(layout_.stations.size(), layout_.stale_after_ms);
  Stations().Reset(layout_.stations);
}

LineSession::~LineSession() {
  driver_.Unload();
  TarselDbmInstallHandler(nullptr);
  WendroRInstallHandler(nullptr);
}

bool LineSession::LoadDriver(const std::string& path, std::string* error) {
  return driver_.Load(path, error);
}

template <typename Push>
void LineSession::ToFaces(Push push) {
  std::lock_guard lock(publish_mutex_);
  if (stopped_) return;
  for (FaceQueue* face : faces_) push(face);
}

void LineSession::HandleLog(int flags, const char* text) {
  Stations().OnLog(flags, text);  // first, so a sample taken after the line agrees with it
  const LineLog log{flags, text, NowMs()};
  ToFaces([&](FaceQueue* f) { f->PushLog(log); });
}

void LineSession::AddImageTags(std::vector<TagRow> rows, std::vector<int> stations) {
  image_tags_ = std::move(rows);
  image_stations_ = std::move(stations);
}

int LineSession::Handle(int tag_id) const {
  if (tag_id < 1 || static_cast<size_t>(tag_id) > handles_.size()) return -1;
  return handles_[static_cast<size_t>(tag_id) - 1];
}

const TagRow* LineSession::Binding(size_t index) const {
  if (index < layout_.tags.size()) return &layout_.tags[index];
  index -= layout_.tags.size();
  return index < image_tags_.size() ? &image_tags_[index] : nullptr;
}

int LineSession::BindingStation(size_t index) const {
  if (index < layout_.tags.size()) return layout_.tag_stations[index];
  index -= layout_.tags.size();
  return index < image_stations_.size() ? image_stations_[index] : -1;
}

void LineSession::HandleValue(int tag_id, const TagValue& value) {
  if (tag_id > static_cast<int>(BindingCount())) {  // an exchange status or time tag
    const size_t report = static_cast<size_t>(tag_id) - BindingCount() - 1;
    const bool number = value.kind == TagValue::Kind::kNumber;
    std::lock_guard lock(exchanges_mutex_);
    if (report % 2 == 0) {
      exchanges_.Record(report / 2, number ? static_cast<int>(value.number) : -1, NowMs());
    } else if (number && value.number >= 0) {
      exchange_times_.Record(report / 2, static_cast<uint32_t>(value.number), NowMs());
    }
    return;
  }
  if (tap_) tap_(tag_id, value);
  if (tag_id > static_cast<int>(layout_.tags.size())) return;  // an image tag
  ++values_;
  const LineValue v{tag_id, value, NowMs()};
  ToFaces([&](FaceQueue* f) { f->PushValue(v); });
}

void LineSession::HandleTagName(int tag_id, std::string* name) const {
  const TagRow* row = tag_id >= 1 ? Binding(static_cast<size_t>(tag_id) - 1) : nullptr;
  if (row != nullptr) *name = row->name;
}

bool LineSession::Open(std::string* error, Json* record) {
  log_handler_ = WendroRHandler{&OnLog, this};
  dbm_handler_ = TarselDbmHandler{&OnValue, &OnTagName, this};
  WendroRInstallHandler(&log_handler_);
  TarselDbmInstallHandler(&dbm_handler_);

  for (FaceQueue* face : faces_) face->Start();
  const std::string& project = layout_.project;
  instance_ = driver_.Slot<DrvCreateInstanceFn>(DRV_SLOT_CREATE)(project.c_str());
  if (instance_ == -1) {
    *record = Json{{"kind", "error"}, {"text", "slot 1 returned -1 for " + project}};
    if (!layout_.load_error.empty()) (*record)["reason"] = layout_.load_error;
    *error = "the driver could not create an instance for " + project +
             (layout_.load_error.empty() ? "" : "\n  " + layout_.load_error);
    return false;
  }
  const int prepared = driver_.Slot<DrvPrepareCommFn>(DRV_SLOT_PREPARE)(instance_);
  Stations().OnPrepared(prepared);
  int bound = 0;
  BindTags(&bound);
  driver_.Slot<DrvSetRunStateFn>(DRV_SLOT_SET_RUN_STATE)(instance_, nullptr, 1);
  const LineStarted started{instance_, prepared, layout_.tags.size(), bound};
  ToFaces([&](FaceQueue* f) { f->PushStarted(started); });
  return true;
}

void LineSession::BindTags(int* bound) {
  for (size_t i = 0; i < BindingCount(); ++i) {
    const TagRow& t = *Binding(i);
    const int handle = driver_.Slot<DrvBindTagFn>(DRV_SLOT_BIND_TAG)(
        instance_, t.device.c_str(), t.address.c_str(), t.type, t.length, static_cast<int>(i) + 1);
    handles_.push_back(handle);
    if (handle != -1 && i < layout_.tags.size()) ++*bound;
  }
  BindExchangeStatus();
  driver_.Slot<DrvBuildTagRequestsFn>(DRV_SLOT_BUILD_REQUESTS)(instance_);
  std::vector<bool> is_bound;
  for (size_t i = 0; i < layout_.tags.size(); ++i) is_bound.push_back(handles_[i] != -1);
  ToFaces([&](FaceQueue* f) { f->PushBound(is_bound); });
}

void LineSession::BindExchangeStatus() {
  // The handle's high half names the driver's poller: the blocks first, in
  // the project's order, then the tags polled on their own.
  std::vector<int64_t> periods;
  for (const auto& station : layout_.blocks) {
    for (const BlockRange& b : station) periods.push_back(b.period_ms);
  }
  std::map<uint32_t, int> poller_of_handle;
  std::vector<int64_t> floors;
  std::vector<size_t> poller_stations;
  binding_poller_.assign(BindingCount(), -1);
  for (size_t i = 0; i < BindingCount(); ++i) {
    if (handles_[i] == -1) continue;
    const uint32_t high = static_cast<uint32_t>(handles_[i]) >> 16;
    auto found = poller_of_handle.find(high);
    if (found == poller_of_handle.end()) {
      const TagRow& t = *Binding(i);
      const int status_id = static_cast<int>(BindingCount() + 2 * floors.size()) + 1;
      const auto bind = [&](int type, int id) {
        return driver_.Slot<DrvBindTagFn>(DRV_SLOT_BIND_TAG)(instance_, t.device.c_str(),
                                                             t.address.c_str(), type, 0, id);
      };
      // Without its status a poller's tags keep the station's quality alone.
      const int poller =
          bind(dravik::kTypeExchangeStatus, status_id) == -1 ? -1 : static_cast<int>(floors.size());
      if (poller >= 0) {
        bind(dravik::kTypeExchangeTime, status_id + 1);
        floors.push_back(high < periods.size() ? periods[high] : 0);
        const int s = BindingStation(i);
        poller_stations.push_back(s < 0 ? layout_.stations.size() : static_cast<size_t>(s));
      }
      found = poller_of_handle.emplace(high, poller).first;
    }
    binding_poller_[i] = found->second;
  }
  std::lock_guard lock(exchanges_mutex_);
  exchanges_ = ExchangeFreshness(std::move(floors), layout_.stale_after_ms);
  exchange_times_ = ExchangeTimes(std::move(poller_stations), layout_.stations.size());
}

void LineSession::MarkStaleTags(std::vector<StationReport>* reports, int64_t now_ms) {
  std::lock_guard lock(exchanges_mutex_);
  for (size_t s = 0; s < reports->size(); ++s) {
    (*reports)[s].replies = exchange_times_.Histogram(s);
  }
  for (size_t i = 0; i < binding_poller_.size(); ++i) {
    const int poller = binding_poller_[i];
    const int s = BindingStation(i);
    if (poller < 0 || s < 0 || static_cast<size_t>(s) >= reports->size()) continue;
    if (!exchanges_.Fresh(static_cast<size_t>(poller), now_ms)) {
      (*reports)[static_cast<size_t>(s)].stale_tags.push_back(i);
    }
  }
}

int LineSession::Run(double for_seconds) {
  const auto started = Clock::now();
  const auto deadline = started + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(std::max(for_seconds, 0.0)));
  auto next_sample = started;
  while (g_interrupted == 0) {
    auto wait = write_results_.AnyWaiting() || !held_.empty() ? kWriteCheckWait : kCommandWait;
    if (for_seconds > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      wait = std::min(wait, left);
    }
    Inbox inbox = TakeInbox(wait);
    for (auto& task : inbox.tasks) {
      if (StopRequested()) break;  // nothing after a quit is carried out
      task();
    }
    PublishWriteResults();
    if (StopRequested()) {
      std::lock_guard lock(inbox_mutex_);
      if (!stop_why_.empty()) std::fprintf(stderr, "error: %s\n", stop_why_.c_str());
      return stop_status_;
    }
    TakeWrites(std::move(inbox.writes));
    if (Clock::now() >= next_sample) {
      PublishSample();
      next_sample = Clock::now() + kSampleInterval;
    }
  }
  return kExitOk;
}

void LineSession::Close(double seconds) {
  driver_.Slot<DrvSetRunStateFn>(DRV_SLOT_SET_RUN_STATE)(instance_, nullptr, 0);
  const Totals t = Counters("");
  LineStopped stopped;
  stopped.reads_sent = t.reads_sent;
  stopped.reads_failed = t.reads_failed;
  stopped.writes_sent = t.writes_sent;
  stopped.writes_failed = t.writes_failed;
  stopped.values_delivered = values_.load();
  stopped.seconds = seconds;
  stopped.interrupted = g_interrupted != 0;
  std::lock_guard lock(publish_mutex_);
  for (FaceQueue* face : faces_) face->PushStopped(stopped);
  stopped_ = true;
}

void LineSession::Post(std::function<void()> task) {
  {
    std::lock_guard lock(inbox_mutex_);
    tasks_.push_back(std::move(task));
  }
  inbox_wake_.notify_one();
}

bool LineSession::SubmitWrite(WriteRequest request) {
  {
    std::lock_guard lock(inbox_mutex_);
    if (writes_.size() >= kMaxPendingWrites) return false;
    writes_.push_back(std::move(request));
  }
  inbox_wake_.notify_one();
  return true;
}

void LineSession::RequestStop(int exit_status, const std::string& why) {
  {
    std::lock_guard lock(inbox_mutex_);
    if (stop_requested_) return;
    stop_requested_ = true;
    stop_status_ = exit_status;
    stop_why_ = why;
  }
  inbox_wake_.notify_one();
}

void LineSession::SetFaceCount(const std::string& name, long value) {
  std::lock_guard lock(inbox_mutex_);
  face_counts_[name] = value;
}

bool LineSession::StopRequested() {
  std::lock_guard lock(inbox_mutex_);
  return stop_requested_;
}

void LineSession::SetFaceState(const std::string& face, const std::string& state) {
  std::lock_guard lock(inbox_mutex_);
  face_states_[face] = state;
}

LineSession::Inbox LineSession::TakeInbox(std::chrono::milliseconds wait) {
  std::unique_lock lock(inbox_mutex_);
  inbox_wake_.wait_for(lock, wait,
                       [this] { return !tasks_.empty() || !writes_.empty() || stop_requested_; });
  Inbox inbox;
  inbox.tasks.swap(tasks_);
  inbox.writes.assign(std::make_move_iterator(writes_.begin()),
                      std::make_move_iterator(writes_.end()));
  writes_.clear();
  return inbox;
}

void LineSession::TakeWrites(std::vector<WriteRequest> writes) {
  IssueHeldWrites();  // the older writes first, in their order
  for (WriteRequest& w : writes) {
    const WriteOutcome r =
        w.image_tag >= 0 && static_cast<size_t>(w.image_tag) < image_tags_.size()
            ? WriteBinding(layout_.tags.size() + static_cast<size_t>(w.image_tag), w.value_text,
                           w.id, w.origin)
            : WriteTag(w.tag, w.value_text, w.id, w.origin);
    LineWrite e;
    e.kind = r.ok ? LineWrite::Kind::kQueued : LineWrite::Kind::kRefused;
    e.origin = w.origin;
    e.tag = w.tag;
    e.value_text = w.value_text;
    e.shown = r.shown;
    e.value = w.value;
    e.id = w.id;
    e.reason = r.error;
    ToFaces([&](FaceQueue* f) { f->PushWrite(e); });
  }
}

void LineSession::PublishWriteResults() {
  const auto now = Clock::now();
  // With the port closed slot 15 answers no counters; the writes wait (and
  // time out as unconfirmed should it stay closed).
  if (write_results_.AnyWaiting() && Stations().Port() == PortState::kOpen) {
    for (size_t s = 0; s < layout_.stations.size(); ++s) {
      if (!write_results_.Waiting(s)) continue;
      const Totals t = Counters(layout_.stations[s]);
      uint64_t count = 0;
      const std::string failure = Stations().LastFailure(layout_.stations[s], &count);
      const bool fresh = count != failures_seen_[s];
      // The driver's line saying why a write failed and slot 15's count of
      // it come apart, in either order. A line that came first is kept until
      // the counters move; a count that came first waits a moment for its
      // line. So the result names the PLC's refusal, which a face tells from
      // a PLC that did not answer.
      const bool moved =
          t.writes_sent != writes_sent_seen_[s] || t.writes_failed != writes_failed_seen_[s];
      if (!moved) continue;
      if (t.writes_failed != writes_failed_seen_[s] && !fresh) {
        if (failure_wait_since_[s] == Clock::time_point{}) failure_wait_since_[s] = now;
        if (now - failure_wait_since_[s] < kFailureTextWait) continue;
      }
      failure_wait_since_[s] = Clock::time_point{};
      failures_seen_[s] = count;
      writes_sent_seen_[s] = t.writes_sent;
      writes_failed_seen_[s] = t.writes_failed;
      write_results_.Observe(s, t.writes_sent, t.writes_failed, fresh ? failure : "", now);
    }
  }
  write_results_.Expire(now);
  for (const WriteResult& r : write_results_.Take()) PushEnded(r);
}

void LineSession::PublishSample() {
  LineSample sample;
  sample.stations = StationReports();
  sample.ts_ms = NowMs();
  // A station's data is good only while it is fresh, in every face at once.
  freshness_.Observe(sample.stations, sample.ts_ms);
  for (size_t s = 0; s < sample.stations.size(); ++s) {
    StationReport& r = sample.stations[s];
    r.fresh = freshness_.Fresh(s, sample.ts_ms);
    r.last_good_ms = freshness_.LastGoodMs(s);
    r.stale_after_ms = freshness_.LimitMs(s);
  }
  MarkStaleTags(&sample.stations, sample.ts_ms);
  {
    std::lock_guard lock(exchanges_mutex_);
    sample.cycle_seconds = exchange_times_.CycleSeconds(sample.ts_ms);
  }
  sample.port = Stations().Port();
  sample.values_delivered = values_.load();
  {
    std::lock_guard lock(inbox_mutex_);
    sample.faces = face_states_;
    sample.face_counts = face_counts_;
  }
  ToFaces([&](FaceQueue* f) { f->PushSample(sample); });
}

LineSession::Totals LineSession::Counters(const std::string& station) const {
  Totals t;  // zeroed: the driver adds to what it is given
  t.status = driver_.Slot<DrvGetStatisticsFn>(DRV_SLOT_GET_STATISTICS)(
      instance_, station.empty() ? nullptr : station.c_str(), &t.writes_sent, &t.writes_failed,
      &t.reads_sent, &t.reads_failed);
  return t;
}

std::string LineSession::StationState(const std::string& station, int status) {
  return Stations().StateOf(station, status);
}

std::vector<StationReport> LineSession::StationReports() const {
  std::vector<StationReport> reports;
  for (const auto& name : layout_.stations) {
    const Totals t = Counters(name);
    StationReport r;
    r.reads_sent = t.reads_sent;
    r.reads_failed = t.reads_failed;
    r.writes_sent = t.writes_sent;
    r.writes_failed = t.writes_failed;
    r.state = StationState(name, t.status);
    r.name = name;
    r.port = PortStateText(Stations().Port());
    r.writes_refused = Stations().RefusedWrites(name);
    r.demotions = Stations().Demotions(name);
    r.status = t.status;
    reports.push_back(r);
  }
  return reports;
}

bool LineSession::HasStation(const std::string& name) const {
  for (const auto& s : layout_.stations) {
    if (::strcasecmp(s.c_str(), name.c_str()) == 0) return true;
  }
  return false;
}

LineSession::WriteOutcome LineSession::WriteTag(const std::string& tag_name,
                                                const std::string& value_text, const Json& id,
                                                WriteOrigin origin) {
  WriteOutcome r;
  if (tag_name.empty() || value_text.empty()) {
    r.error = "write needs a tag name and a value";
    return r;
  }
  size_t index = layout_.tags.size();
  for (size_t i = 0; i < layout_.tags.size(); ++i) {
    if (layout_.tags[i].name == tag_name) index = i;
  }
  if (index == layout_.tags.size()) {
    r.error = "no tag named \"" + tag_name + "\"";
    return r;
  }
  return WriteBinding(index, value_text, id, origin);
}

LineSession::WriteOutcome LineSession::WriteBinding(size_t index, const std::string& value_text,
                                                    const Json& id, WriteOrigin origin) {
  WriteOutcome r;
  const TagRow& tag = *Binding(index);
  const std::string& tag_name = tag.name;
  if (handles_[index] == -1) {
    r.error = "tag \"" + tag_name + "\" is not bound";
    return r;
  }
  CTagVal value;
  const std::string text = WriteTextFor(tag.type, value_text);
  const bool is_string = tag.type == kTypeString;
  // Nothing that the tag would not hold unchanged goes to the driver.
  std::string why;
  if (!CheckWriteValue(tag.type, tag.length, text, &value, &why)) {
    r.error = "write of " + tag_name + " not sent: " + why;
    return r;
  }
  r.shown = is_string ? "\"" + text + "\"" : FormatNumber(value.GetVal());
  PreparedWrite w{index, value,
                  TrackedWrite{tag_name, is_string ? Json(text) : NumberJson(value.GetVal()), id,
                               origin, Clock::now()}};
  const int s = BindingStation(index);
  if (s >= 0 && !NotSentTo(static_cast<size_t>(s), tag_name, &r.error).empty()) return r;
  // One write per station in flight, so that each end the counters show is
  // that write's own: the next waits here until the one before has ended.
  if (s >= 0 && (write_results_.Busy(static_cast<size_t>(s)) || HoldsWriteFor(s))) {
    held_.push_back(std::move(w));
    r.ok = true;
    return r;
  }
  return IssueWrite(std::move(w), r);
}

std::string LineSession::NotSentTo(size_t s, const std::string& tag_name, std::string* error) {
  // Nothing is queued that the driver would drop unseen or send late.
  const std::string& station = layout_.stations[s];
  const std::string state = StationState(station, Counters(station).status);
  if (state != "disabled" && state != "demoted" && state != "no_port") return "";
  Stations().CountRefusedWrite(station);
  const PortState port = Stations().Port();
  *error = "write of " + tag_name + " not sent: " +
           (state == "no_port" ? std::string(port == PortState::kLost ? "the port is lost"
                                                                      : "the port is not open")
                               : "station " + station + " is " + state);
  return *error;
}

bool LineSession::HoldsWriteFor(int s) const {
  for (const PreparedWrite& w : held_) {
    if (BindingStation(w.index) == s) return true;
  }
  return false;
}

LineSession::WriteOutcome LineSession::IssueWrite(PreparedWrite w, WriteOutcome r) {
  const int s = BindingStation(w.index);
  const std::string& tag_name = w.track.tag;
  w.track.issued = Clock::now();  // its time for an end starts now, not while it was held
  Totals counters;
  if (s >= 0) counters = Counters(layout_.stations[static_cast<size_t>(s)]);
  const uint64_t unframed = Stations().UnframedWrites();
  r.result =
      driver_.Slot<DrvWriteTagFn>(DRV_SLOT_WRITE_TAG)(instance_, handles_[w.index], &w.value);
  if (r.result == 0 && Stations().UnframedWrites() != unframed) {
    r.error = "write of " + tag_name + " not sent: the driver could not put the value in a frame";
    return r;
  }
  if (r.result != 0) {
    r.error = "write of " + tag_name + " refused (result " + std::to_string(r.result) + ")";
    return r;
  }
  if (s >= 0) {
    const size_t station = static_cast<size_t>(s);
    if (!write_results_.Busy(station)) {
      Stations().LastFailure(layout_.stations[station], &failures_seen_[station]);
      writes_sent_seen_[station] = counters.writes_sent;
      writes_failed_seen_[station] = counters.writes_failed;
    }
    write_results_.Issued(station, std::move(w.track), counters.writes_sent,
                          counters.writes_failed);
  }
  r.ok = true;
  return r;
}

void LineSession::IssueHeldWrites() {
  const auto now = Clock::now();
  std::vector<bool> blocked(layout_.stations.size(), false);
  for (auto it = held_.begin(); it != held_.end();) {
    const size_t s = static_cast<size_t>(BindingStation(it->index));
    if (blocked[s] || write_results_.Busy(s)) {
      blocked[s] = true;  // the writes after it keep their order
      if (now - it->track.issued < WriteResults::kResultTimeout) {
        ++it;
        continue;
      }
      PushEnded(WriteResult{std::move(it->track), false,
                            "not sent: the station's write before it had not ended within " +
                                std::to_string(WriteResults::kResultTimeout.count()) + " s"});
      it = held_.erase(it);
      continue;
    }
    std::string error;
    if (NotSentTo(s, it->track.tag, &error).empty()) {
      TrackedWrite track = it->track;
      const WriteOutcome r = IssueWrite(std::move(*it), WriteOutcome{});
      if (!r.ok) PushEnded(WriteResult{std::move(track), false, r.error});
    } else {
      PushEnded(WriteResult{std::move(it->track), false, error});
    }
    blocked[s] = write_results_.Busy(s);
    it = held_.erase(it);
  }
}

void LineSession::PushEnded(const WriteResult& r) {
  LineWrite e;
  e.kind = LineWrite::Kind::kEnded;
  e.origin = r.write.origin;
  e.tag = r.write.tag;
  e.value = r.write.value;
  e.id = r.write.id;
  e.ok = r.ok;
  e.reason = r.reason;
  ToFaces([&](FaceQueue* f) { f->PushWrite(e); });
}

void LineSession::SetRunState(const std::string& station, bool enabled) {
  driver_.Slot<DrvSetRunStateFn>(DRV_SLOT_SET_RUN_STATE)(instance_, station.c_str(),
                                                         enabled ? 1 : 0);
  Stations().OnRunState(station, enabled);
  if (enabled) return;
  for (size_t s = 0; s < layout_.stations.size(); ++s) {
    if (::strcasecmp(layout_.stations[s].c_str(), station.c_str()) == 0) {
      write_results_.Disabled(s, Clock::now());
    }
  }
}

void LineSession::ResetCounters(const std::string& station) {
  driver_.Slot<DrvResetCountersFn>(DRV_SLOT_RESET_COUNTERS)(
      instance_, station.empty() ? nullptr : station.c_str());
  for (size_t s = 0; s < layout_.stations.size(); ++s) {
    if (station.empty() || ::strcasecmp(layout_.stations[s].c_str(), station.c_str()) == 0) {
      write_results_.CountersReset(s, Clock::now());
    }
  }
}

bool LineSession::StationTexts(const std::string& station, std::string* number,
                               std::string* description) const {
  DrvString n;
  DrvString d;
  driver_.Slot<DrvGetStationTextsFn>(DRV_SLOT_STATION_TEXTS)(instance_, station.c_str(), &n, &d);
  *number = n;
  *description = d;
  return !number->empty();
}

}  // namespace dravik::host
