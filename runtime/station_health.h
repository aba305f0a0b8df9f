// LineHealth: what the engine knows about its stations beyond the health rule
// each station keeps (CStationInfoDVK::ReportResult: failures in a row,
// messages 16 and 17). It adds opt-in demotion, the accounting of a lost
// port, and the counters the host reads through slot 15. One per engine,
// created when communication is prepared.
//
// Counters. Pollers and write queues count on the station's own fields as an
// exchange starts and ends; the host never reads those. After every pass the
// scheduler publishes them here, leaving out an exchange that was cut off by a
// stop (it counts as neither sent nor failed, since it never ended). So every
// read of the published counters sees sent == good + failed, for reads and
// for writes alike.
//
// Threads: the scheduler thread reports results (ReportResult forwards them
// while this object observes that thread), asks whether to poll or write,
// counts lost-port tries and publishes; the host thread reads and resets the
// published counters under counters_lock_ and reads the demoted flags
// (atomics), and lifts a demotion (LiftDemotion, through the atomics only).
// Everything else belongs to the scheduler thread, or to the host thread
// while no scheduler runs.
//
// A demotion ends with one note, whatever demote_after is (message 17 alone
// would say nothing below five failures): "스테이션[S]이 다시 응답하여 통신
// 대상에 복귀합니다." when the station answers, "스테이션[S]을 다시 사용하여
// 통신 대상에 복귀합니다." when enabling it lifts the demotion.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "model/station_info.h"
#include "runtime/line_settings.h"

namespace dravik {

class LineHealth {
 public:
  LineHealth(const std::vector<CStationInfoDVK*>& stations, DemotionSettings demotion);
  ~LineHealth();
  LineHealth(const LineHealth&) = delete;
  LineHealth& operator=(const LineHealth&) = delete;

  // While it lives, every ReportResult on the creating thread reaches OnResult.
  class ObserverScope {
   public:
    explicit ObserverScope(LineHealth* health);
    ~ObserverScope();
    ObserverScope(const ObserverScope&) = delete;
    ObserverScope& operator=(const ObserverScope&) = delete;
  };
  // The observer of the calling thread, or null.
  static LineHealth* Current();

  const DemotionSettings& Demotion() const { return demotion_; }

  // One settled exchange of `station` (0 = good), after the station's rule.
  void OnResult(CStationInfoDVK* station, int code);
  // False while the station is demoted and its time is not up. Once it is,
  // the next exchange is the probe: a good reply restores the station, a
  // failure demotes it again.
  bool MayPoll(const CStationInfoDVK* station, uint32_t now) const;
  // True when the station's writes are to be dropped (demoted, time not up).
  bool SkipsWrites(const CStationInfoDVK* station, uint32_t now) const;
  // A write that is not sent: counted sent and failed at once, no exchange,
  // no health change.
  void CountDroppedWrite(CStationInfoDVK* station);
  // True for the first write dropped in a demotion (the caller logs its note).
  bool TakeDemotedWriteNote(const CStationInfoDVK* station);
  // The receive limit of the station's next exchange: the probe's short one
  // while it is demoted (its time is up, or it would not be asked), else the
  // link's 3000 ms.
  int ReceiveTimeoutMs(const CStationInfoDVK* station) const;

  // Lost port: a new loss begins; `reported` (may be null) already had its
  // failure message from the exchange that found the loss.
  void BeginLoss(const CStationInfoDVK* reported);
  // One failed reopen: a failed read for every enabled station through the
  // health rule; the failure message only once per station per loss.
  void CountLostTry();

  // The port is lost or was never opened (true) or open again (false):
  // meanwhile slot 15 shows every enabled station failing at once, before
  // its tries have been counted.
  void SetLineDown(bool down) { line_down_ = down; }

  // Scheduler thread, after every pass: publishes what the pass counted.
  void Publish();

  // Host thread. The station's published counters and its slot 15 status:
  // -1 disabled, 1 failing (failures in a row, demoted, or the line down),
  // else 0.
  int Statistics(const CStationInfoDVK& station, int* writes_sent, int* writes_failed,
                 int* reads_sent, int* reads_failed);
  // Sets the published counters of `station` (every station when null) to 0.
  void ResetCounters(const CStationInfoDVK* station);
  bool IsDemoted(const CStationInfoDVK& station) const;
  // Host thread, when the station is enabled (slot 13 with its name): a
  // demotion ends at once, with its note, so the station is polled in the
  // next cycle. Should the station still not answer, its next failure
  // demotes it again, with a new note.
  void LiftDemotion(const CStationInfoDVK& station);

 private:
  struct Entry;
  Entry* Find(const CStationInfoDVK* station) const;
  void Demote(Entry& entry);

  const DemotionSettings demotion_;
  std::vector<std::unique_ptr<Entry>> entries_;
  std::unordered_map<const CStationInfoDVK*, Entry*> by_station_;
  std::mutex counters_lock_;  // guards every Entry::published
  std::atomic<bool> line_down_{false};
};

// The station health rule for one failure, with the per-failure message
// (code 8..13, `text` its detail) logged only when `log_failure`; message 16
// still comes with the fifth failure in a row. Scheduler thread.
void CountStationFailure(CStationInfoDVK& station, int code, const char* text, bool log_failure);

}  // namespace dravik
