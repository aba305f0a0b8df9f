// The station health rule: every exchange of a station, read or write, ends
// here. Runs on the scheduler thread; the host thread only reads or resets
// the counters. Beside it, LineHealth: demotion, lost-port accounting and the
// counters published to the host.
#include "runtime/station_health.h"

#include "platform/tick_count.h"
#include "runtime/host_services.h"
#include "runtime/serial_link.h"

namespace dravik {

namespace {
constexpr int kLostAfterFailures = 5;
constexpr int kMsgCannotReceive = 9;
constexpr int kMsgCannotCommunicate = 16;
constexpr int kMsgRestored = 17;

enum Counter { kWritesSent, kWritesFailed, kReadsSent, kReadsFailed, kCounterCount };

thread_local LineHealth* t_observer = nullptr;
}  // namespace

void CountStationFailure(CStationInfoDVK& station, int code, const char* text, bool log_failure) {
  if (station.consecutive_failures >= kLostAfterFailures) return;
  if (log_failure) ReportDriverMessage(code, 1, station.name.c_str(), text);
  if (++station.consecutive_failures == kLostAfterFailures) {
    ReportDriverMessage(kMsgCannotCommunicate, 2, station.name.c_str());
  }
}

void CStationInfoDVK::ReportResult(int code, const char* text) {
  if (code == 0) {
    if (consecutive_failures >= kLostAfterFailures) {
      ReportDriverMessage(kMsgRestored, 2, name.c_str());
    }
    consecutive_failures = 0;
  } else {
    CountStationFailure(*this, code, text, true);
  }
  if (LineHealth* health = LineHealth::Current()) health->OnResult(this, code);
}

struct LineHealth::Entry {
  CStationInfoDVK* station = nullptr;
  // Scheduler thread.
  int run_failures = 0;  // failures in a row, without the rule's cap of 5
  uint32_t demoted_until = 0;
  bool demotion_logged = false;  // this run of failures has had its note
  bool write_note_logged = false;
  bool loss_reported = false;
  uint32_t settled = 0;  // exchanges settled since the last Publish
  uint32_t last_raw[kCounterCount] = {};
  // Host thread reads; LiftDemotion clears demoted and sets lifted.
  std::atomic<bool> demoted{false};
  std::atomic<bool> lifted{false};
  int published[kCounterCount] = {};  // counters_lock_
};

LineHealth::LineHealth(const std::vector<CStationInfoDVK*>& stations, DemotionSettings demotion)
    : demotion_(demotion) {
  for (CStationInfoDVK* station : stations) {
    auto entry = std::make_unique<Entry>();
    entry->station = station;
    entry->last_raw[kWritesSent] = static_cast<uint32_t>(station->writes_sent.load());
    entry->last_raw[kWritesFailed] = static_cast<uint32_t>(station->writes_failed.load());
    entry->last_raw[kReadsSent] = static_cast<uint32_t>(station->reads_sent.load());
    entry->last_raw[kReadsFailed] = static_cast<uint32_t>(station->reads_failed.load());
    by_station_.emplace(station, entry.get());
    entries_.push_back(std::move(entry));
  }
}

LineHealth::~LineHealth() {
  if (t_observer == this) t_observer = nullptr;
}

LineHealth::ObserverScope::ObserverScope(LineHealth* health) { t_observer = health; }
LineHealth::ObserverScope::~ObserverScope() { t_observer = nullptr; }
LineHealth* LineHealth::Current() { return t_observer; }

LineHealth::Entry* LineHealth::Find(const CStationInfoDVK* station) const {
  const auto it = by_station_.find(station);
  return it == by_station_.end() ? nullptr : it->second;
}

void LineHealth::OnResult(CStationInfoDVK* station, int code) {
  Entry* entry = Find(station);
  if (entry == nullptr) return;
  ++entry->settled;
  if (code == 0) {
    entry->run_failures = 0;
    if (entry->demoted.exchange(false)) {
      ReportDriverNote(2,
                       "스테이션[" + station->name + "]이 다시 응답하여 통신 대상에 복귀합니다.");
    }
    entry->demotion_logged = false;
    entry->lifted = false;
    return;
  }
  ++entry->run_failures;
  if (demotion_.after > 0 && entry->run_failures >= demotion_.after) Demote(*entry);
}

void LineHealth::Demote(Entry& entry) {
  entry.demoted_until = TickCount() + static_cast<uint32_t>(demotion_.seconds) * 1000u;
  entry.demoted = true;
  entry.write_note_logged = false;
  // Once per run of failures; a run that enabling interrupted is a new one.
  if (entry.lifted.exchange(false)) entry.demotion_logged = false;
  if (entry.demotion_logged) return;
  entry.demotion_logged = true;
  ReportDriverNote(2, "스테이션[" + entry.station->name + "]이 응답하지 않아 " +
                          std::to_string(demotion_.seconds) + "초 동안 통신 대상에서 제외합니다.");
}

bool LineHealth::MayPoll(const CStationInfoDVK* station, uint32_t now) const {
  return !SkipsWrites(station, now);
}

bool LineHealth::SkipsWrites(const CStationInfoDVK* station, uint32_t now) const {
  const Entry* entry = Find(station);
  if (entry == nullptr || !entry->demoted.load()) return false;
  // Signed difference: right across the wrap of the millisecond tick.
  return static_cast<int32_t>(now - entry->demoted_until) < 0;
}

int LineHealth::ReceiveTimeoutMs(const CStationInfoDVK* station) const {
  const Entry* entry = Find(station);
  return entry != nullptr && entry->demoted.load() ? demotion_.probe_timeout_ms : kReceiveTimeoutMs;
}

void LineHealth::LiftDemotion(const CStationInfoDVK& station) {
  Entry* entry = Find(&station);
  if (entry == nullptr) return;
  entry->lifted = true;
  if (entry->demoted.exchange(false)) {
    ReportDriverNote(2, "스테이션[" + station.name + "]을 다시 사용하여 통신 대상에 복귀합니다.");
  }
}

void LineHealth::CountDroppedWrite(CStationInfoDVK* station) {
  ++station->writes_sent;
  ++station->writes_failed;
  if (Entry* entry = Find(station)) ++entry->settled;
}

bool LineHealth::TakeDemotedWriteNote(const CStationInfoDVK* station) {
  Entry* entry = Find(station);
  if (entry == nullptr || entry->write_note_logged) return false;
  entry->write_note_logged = true;
  return true;
}

void LineHealth::BeginLoss(const CStationInfoDVK* reported) {
  for (auto& entry : entries_) entry->loss_reported = entry->station == reported;
}

void LineHealth::CountLostTry() {
  for (auto& entry : entries_) {
    CStationInfoDVK& station = *entry->station;
    if (station.enabled == 0) continue;
    ++station.reads_sent;
    ++station.reads_failed;
    ++entry->settled;
    CountStationFailure(station, kMsgCannotReceive, nullptr, !entry->loss_reported);
    entry->loss_reported = true;
  }
}

void LineHealth::Publish() {
  std::lock_guard lock(counters_lock_);
  for (auto& entry : entries_) {
    const CStationInfoDVK& station = *entry->station;
    const uint32_t raw[kCounterCount] = {static_cast<uint32_t>(station.writes_sent.load()),
                                         static_cast<uint32_t>(station.writes_failed.load()),
                                         static_cast<uint32_t>(station.reads_sent.load()),
                                         static_cast<uint32_t>(station.reads_failed.load())};
    uint32_t delta[kCounterCount];
    for (int k = 0; k < kCounterCount; ++k) delta[k] = raw[k] - entry->last_raw[k];
    // An exchange that began but never settled was cut off by a stop (or an
    // exception): it is left out, as if it had not been sent.
    const uint32_t sent = delta[kReadsSent] + delta[kWritesSent];
    uint32_t unsettled = sent > entry->settled ? sent - entry->settled : 0;
    const uint32_t from_reads = unsettled < delta[kReadsSent] ? unsettled : delta[kReadsSent];
    delta[kReadsSent] -= from_reads;
    unsettled -= from_reads;
    delta[kWritesSent] -= unsettled < delta[kWritesSent] ? unsettled : delta[kWritesSent];
    for (int k = 0; k < kCounterCount; ++k) {
      entry->published[k] = static_cast<int>(static_cast<uint32_t>(entry->published[k]) + delta[k]);
      entry->last_raw[k] = raw[k];
    }
    entry->settled = 0;
  }
}

int LineHealth::Statistics(const CStationInfoDVK& station, int* writes_sent, int* writes_failed,
                           int* reads_sent, int* reads_failed) {
  Entry* entry = Find(&station);
  if (entry != nullptr) {
    std::lock_guard lock(counters_lock_);
    if (writes_sent) *writes_sent = entry->published[kWritesSent];
    if (writes_failed) *writes_failed = entry->published[kWritesFailed];
    if (reads_sent) *reads_sent = entry->published[kReadsSent];
    if (reads_failed) *reads_failed = entry->published[kReadsFailed];
  }
  if (station.enabled == 0) return -1;
  return station.consecutive_failures > 0 || IsDemoted(station) || line_down_.load() ? 1 : 0;
}

void LineHealth::ResetCounters(const CStationInfoDVK* station) {
  std::lock_guard lock(counters_lock_);
  for (auto& entry : entries_) {
    if (station != nullptr && entry->station != station) continue;
    for (int& counter : entry->published) counter = 0;
  }
}

bool LineHealth::IsDemoted(const CStationInfoDVK& station) const {
  const Entry* entry = Find(&station);
  return entry != nullptr && entry->demoted.load();
}

}  // namespace dravik
