// CCommEngine: the run-time half of one driver instance. Owned by its
// document (created by slot 3, deleted with the document). It owns the open
// port, the block and single-tag pollers, the write queues, the value event
// list and two worker threads: the scheduler thread (the only user of the
// line) and the event thread (hands value events to the host).
//
// A lost port (the device hung up, failed with EIO or its node vanished) is
// closed by the scheduler, which then tries once a second to open the same
// COMn again (resolving the name anew) and does not poll meanwhile; see
// LineHealth for how the tries and dropped writes are counted. A port that
// could not be opened at preparation (slot 3 still returns message 4) is
// treated the same way once communication is started: a USB adapter that
// enumerates after the host started is opened when it appears.
//
// Every exchange goes through exchange_ (LineExchange), which makes sure a
// reply counts only when it answers the request just sent.
//
// Threads and locks:
//  - host thread: every public member except the two thread bodies;
//  - line_lost_, dropped_in_loss_, pass_station_, exchange_, health_'s
//    scheduler side: the scheduler thread (the host thread while no
//    scheduler runs);
//  - health_ guards what the host reads of it (see station_health.h);
//  - write_lock_ guards pending_ (appended by WriteTag, handed over by the
//    scheduler) and is held while a start resets poller state;
//  - the event list guards itself (ValueEventList);
//  - structure_lock_ guards the poller arrays, their bindings and requests:
//    binding and slot 4 take it exclusively, the scheduler holds it shared
//    for one poll and WriteTag while it reads a binding. It is never taken while holding
//    write_lock_ (WriteTag copies what it needs first), so there is no order;
//  - running_ is written by the host thread and read by both workers.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "model/dravik_doc.h"
#include "model/engine_base.h"
#include "platform/event.h"
#include "platform/serial_device.h"
#include "runtime/block_poller.h"
#include "runtime/line_context.h"
#include "runtime/station_health.h"
#include "runtime/tag_poller.h"
#include "runtime/value_conversion.h"
#include "runtime/write_queue.h"

namespace dravik {

class CCommEngine : public CEngineBase {
 public:
  explicit CCommEngine(CDravikNetDoc* doc);
  ~CCommEngine() override;
  CCommEngine(const CCommEngine&) = delete;
  CCommEngine& operator=(const CCommEngine&) = delete;

  int BuildPollers();
  int BuildTagRequests();
  void SetRunning(int flag);
  int Stop();
  // The tag's handle; -1 (with a log line) when an index would not fit its
  // 16 bits of the handle.
  int BindTag(CStationInfoDVK* station, const char* address_text, int area, uint32_t address,
              const TagBinding& prototype);
  // An exchange status tag (kTypeExchangeStatus) on the poller that reads
  // `address`: a block holding it, else the single-tag poller of that very
  // address. Never makes a poller of its own: -1, with a note, when no poller
  // reads the address. Its handle names the poller and kStatusHandleLow.
  int BindExchangeStatus(CStationInfoDVK* station, const char* address_text, int area,
                         uint32_t address, const TagBinding& prototype);
  int WriteTag(int handle, const CTagVal* value);

  // The port was opened at preparation, or communication was started and
  // the engine is (re)opening it: slot 15 then has counters to tell.
  bool IsPortOpen() const { return port_ != nullptr; }
  bool IsRunning() const { return running_.load() == 1; }

  // For tests and tools: sizes of the poller arrays (host thread).
  size_t BlockPollerCount() const { return block_pollers_.size(); }
  size_t TagPollerCount() const { return tag_pollers_.size(); }
  const CBlockPoller& BlockPollerAt(size_t i) const { return *block_pollers_[i]; }
  const CTagPoller& TagPollerAt(size_t i) const { return *tag_pollers_[i]; }
  size_t PendingWriteCount();
  ValueEventList& Events() { return events_; }
  // Demotion, lost-port accounting and the counters slot 15 reports; null
  // before BuildPollers.
  LineHealth* Health() { return health_.get(); }

 private:
  void SchedulerThread();
  void EventThread();
  int SendNextWrite();
  void PollOne(size_t index, size_t block_count);
  void DiscardQueuedState();
  // Runs one pass of the scheduler; an exception is logged (once per run) and
  // the pass counts as cut off. Returns what `pass` returned, false on one.
  template <typename Pass>
  bool Guarded(Pass pass);
  void AfterPass();
  void GuardedAfterPass();
  void EnterLostLine();
  void TryReopen();
  void DropQueuedWrites();
  int DropAllQueuedWrites();
  int DropWritesAtStop();
  void StartThreads();

  Event scheduler_finished_{Event::Reset::kAuto};
  Event events_finished_{Event::Reset::kAuto};
  Event data_ready_{Event::Reset::kAuto};
  std::atomic<int> running_{0};
  std::shared_mutex structure_lock_;
  std::vector<std::unique_ptr<CBlockPoller>> block_pollers_;  // structure_lock_
  std::vector<std::unique_ptr<CTagPoller>> tag_pollers_;      // structure_lock_
  std::unique_ptr<CWriteQueue> current_;  // scheduler thread (host thread while stopped)
  std::unique_ptr<CWriteQueue> pending_;  // write_lock_
  ValueEventList events_;
  std::unique_ptr<SerialDevice> port_;
  LineExchange exchange_;
  std::unique_ptr<LineHealth> health_;
  bool line_lost_ = false;
  int dropped_in_loss_ = 0;
  bool exception_noted_ = false;
  CStationInfoDVK* pass_station_ = nullptr;  // whose exchange the pass made
  CDravikNetDoc* doc_;
  std::mutex write_lock_;
  LineContext line_;
  std::thread scheduler_;
  std::thread event_thread_;
};

}  // namespace dravik
