#include "runtime/comm_engine.h"

#include <exception>

#include "model/device_areas.h"
#include "platform/thread_name.h"
#include "platform/tick_count.h"
#include "runtime/host_services.h"
#include "runtime/serial_link.h"

namespace dravik {

namespace {
constexpr uint32_t kMinCycleMs = 100;
constexpr uint32_t kEventWaitMs = 1000;
constexpr int kReopenIntervalMs = 1000;
constexpr int kMsgStarted = 1;
constexpr int kMsgStopped = 2;
constexpr int kMsgPortOpened = 3;
constexpr int kMsgNotInBlock = 14;
constexpr int kMsgReadOnly = 15;

// A tag handle is the host's 32-bit int: poller index in bits 31..16, binding
// index in bits 15..0 (a negative handle is one with bit 31 set). An index
// past 16 bits would wrap onto another tag's handle, and a write to it would
// reach that tag's address: such a tag is refused instead (RefuseUnpackable).
static_assert(sizeof(int) == sizeof(uint32_t), "tag handles are packed into 32 bits");
constexpr size_t kMaxHandleIndex = 0xFFFF;
// The low half of an exchange status tag's handle; no data binding gets it,
// so a write to such a handle is told apart and refused.
constexpr size_t kStatusHandleLow = 0xFFFF;

int MakeHandle(size_t high, size_t low) {
  return static_cast<int>((static_cast<uint32_t>(high) << 16) | static_cast<uint32_t>(low));
}

int RefuseUnpackable(int tag_id) {
  const std::string name = LookupTagName(tag_id);
  ReportDriverNote(0, "태그[" + name + "]의 핸들 번호가 16비트(65535)를 넘어 연결하지 않습니다.");
  return -1;
}
}  // namespace

CCommEngine::CCommEngine(CDravikNetDoc* doc) : doc_(doc) {
  line_.exchange = &exchange_;
  line_.data_ready = &data_ready_;
  line_.events = &events_;
}

CCommEngine::~CCommEngine() {
  // The engine may be deleted while communicating (module unload, a second
  // slot 3): stop the threads before anything they use goes away.
  Stop();
  events_.Clear();
}

int CCommEngine::BuildPollers() {
  std::vector<CStationInfoDVK*> stations;
  for (auto& station : doc_->Stations()) {
    station->ResetRuntime();
    stations.push_back(station.get());
    for (auto& block : station->blocks) {
      auto poller = std::make_unique<CBlockPoller>(line_, station.get(), block.get());
      std::string why;
      if (!poller->BuildRequest(&why)) {
        ReportDriverNote(0, "스테이션[" + station->name + "]의 통신블록[" + block->Label() +
                                "]은 통신할 수 없어 제외합니다 (" + why + ").");
      }
      std::unique_lock lock(structure_lock_);
      block_pollers_.push_back(std::move(poller));
    }
  }
  health_ =
      std::make_unique<LineHealth>(stations, LoadLineSettings(PortName(doc_->Port())).demotion);
  const int result = OpenPort(doc_->Port(), port_);
  exchange_.SetPort(port_.get());  // pollers reach the port only through the exchange
  return result;
}

int CCommEngine::BuildTagRequests() {
  // Exclusive: while running, the scheduler must never send a request that
  // is being rebuilt (it would read half of one and report a bad reply).
  std::unique_lock lock(structure_lock_);
  for (auto& poller : tag_pollers_) poller->BuildRequest();
  return 0;
}

void CCommEngine::DiscardQueuedState() {
  {
    std::lock_guard lock(write_lock_);
    for (auto& poller : block_pollers_) poller->ResetState();
    for (auto& poller : tag_pollers_) poller->ResetState();
    current_.reset();
    pending_.reset();
  }
  events_.Clear();
}

void CCommEngine::SetRunning(int flag) {
  const bool start = flag != 0;
  if (start == IsRunning()) return;
  if (!start) {
    Stop();
    return;
  }
  DiscardQueuedState();
  if (!port_) {
    // Missing at preparation (message 4 said so): from now on it is sought
    // once a second, as a lost port is, and every try is counted.
    port_ = std::make_unique<SerialDevice>();
    exchange_.SetPort(port_.get());
    line_lost_ = true;
    dropped_in_loss_ = 0;
    health_->BeginLoss(nullptr);
    health_->SetLineDown(true);
    ReportDriverNote(
        2, "통신포트[" + PortName(doc_->Port()) + "]가 열려 있지 않습니다. 1초마다 다시 엽니다.");
  }
  ReportDriverMessage(kMsgStarted, 2);
  port_->ClearInterrupt();
  StartThreads();
}

void CCommEngine::StartThreads() {
  running_ = 1;
  try {
    scheduler_ = std::thread([this] { SchedulerThread(); });
    event_thread_ = std::thread([this] { EventThread(); });
  } catch (const std::exception& e) {
    // No exception crosses the function table: the start is undone and said.
    ReportDriverNote(0, std::string("통신 스레드를 시작할 수 없습니다: ") + e.what());
    running_ = 0;
    if (port_) port_->Interrupt();
    data_ready_.Set();
    if (scheduler_.joinable()) scheduler_.join();
    if (event_thread_.joinable()) event_thread_.join();
    if (port_) port_->ClearInterrupt();
  }
}

int CCommEngine::Stop() {
  if (running_.load() != 1) return 0;
  running_ = 0;
  // Wake both threads: the scheduler from a read that is waiting on the line
  // (the interrupted exchange is not reported), the event thread from its wait.
  if (port_) port_->Interrupt();
  data_ready_.Set();
  scheduler_finished_.Wait(Event::kInfinite);
  events_finished_.Wait(Event::kInfinite);
  if (scheduler_.joinable()) scheduler_.join();
  if (event_thread_.joinable()) event_thread_.join();
  if (port_) port_->ClearInterrupt();
  DropWritesAtStop();
  ReportDriverMessage(kMsgStopped, 2);
  return 0;
}

// Host thread, after both workers ended. Writes still queued were never sent;
// a later start would discard them, so they are settled here as failed.
int CCommEngine::DropWritesAtStop() {
  const int dropped = DropAllQueuedWrites();
  health_->Publish();
  if (dropped > 0) {
    ReportDriverNote(1, "통신이 종료되어 쓰기 " + std::to_string(dropped) +
                            "건을 보내지 않고 실패로 처리합니다.");
  }
  return dropped;
}

int CCommEngine::SendNextWrite() {
  if (!current_) {
    std::lock_guard lock(write_lock_);
    current_ = std::move(pending_);
  }
  if (!current_) return 0;
  CStationInfoDVK* next = current_->NextStation();
  if (next != nullptr && next->enabled != 0 && health_->SkipsWrites(next, TickCount())) {
    // A demoted station's writes are not sent: nothing goes late to a PLC
    // that may have changed state since.
    current_->DropNext();
    health_->CountDroppedWrite(next);
    if (health_->TakeDemotedWriteNote(next)) {
      ReportDriverNote(1,
                       "스테이션[" + next->name +
                           "]이 통신 대상에서 제외되어 있어 쓰기를 보내지 않고 실패로 처리합니다.");
    }
    return 1;
  }
  pass_station_ = next;
  if (next != nullptr) exchange_.SetReceiveTimeout(health_->ReceiveTimeoutMs(next));
  if (current_->SendNext() == 1) return 1;
  current_.reset();
  return 0;
}

void CCommEngine::PollOne(size_t index, size_t block_count) {
  std::shared_lock lock(structure_lock_);
  const uint32_t now = TickCount();
  if (index < block_count) {
    CBlockPoller& poller = *block_pollers_[index];
    pass_station_ = poller.Station();
    if (!health_->MayPoll(pass_station_, now)) return;
    exchange_.SetReceiveTimeout(health_->ReceiveTimeoutMs(pass_station_));
    poller.Poll();
  } else if (index - block_count < tag_pollers_.size()) {
    CTagPoller& poller = *tag_pollers_[index - block_count];
    pass_station_ = poller.Station();
    if (!health_->MayPoll(pass_station_, now)) return;
    exchange_.SetReceiveTimeout(health_->ReceiveTimeoutMs(pass_station_));
    poller.Poll();
  }
}

template <typename Pass>
bool CCommEngine::Guarded(Pass pass) {
  try {
    return pass();
  } catch (const std::exception& e) {
    if (!exception_noted_) ReportDriverNote(0, std::string("통신 처리 중 오류: ") + e.what());
  } catch (...) {
    if (!exception_noted_) ReportDriverNote(0, "통신 처리 중 알 수 없는 오류");
  }
  exception_noted_ = true;
  return false;
}

void CCommEngine::AfterPass() {
  health_->Publish();
  if (port_->Loss() != DeviceLoss::kNone) EnterLostLine();
}

// Publishing and entering a lost line allocate (log texts, notes); a
// bad_alloc there must cost one pass, never the host process.
void CCommEngine::GuardedAfterPass() {
  Guarded([&] {
    AfterPass();
    return false;
  });
}

void CCommEngine::EnterLostLine() {
  const std::string name = PortName(doc_->Port());
  const bool gone = port_->Loss() == DeviceLoss::kGone;
  port_->Close();
  line_lost_ = true;
  health_->SetLineDown(true);
  dropped_in_loss_ = 0;
  ReportDriverNote(2, "통신포트[" + name + "]" +
                          (gone ? "의 장치가 사라졌습니다" : "의 연결이 끊어졌습니다") +
                          ". 1초마다 다시 엽니다.");
  // The exchange that found the loss has already had its failure message.
  health_->BeginLoss(pass_station_);
  DropQueuedWrites();
}

int CCommEngine::DropAllQueuedWrites() {
  std::unique_ptr<CWriteQueue> pending;
  {
    std::lock_guard lock(write_lock_);
    pending = std::move(pending_);
  }
  int dropped = 0;
  for (CWriteQueue* queue : {current_.get(), pending.get()}) {
    if (queue == nullptr) continue;
    while (CStationInfoDVK* station = queue->NextStation()) {
      queue->DropNext();
      if (station->enabled == 0) continue;  // as when sending: dropped, not counted
      health_->CountDroppedWrite(station);
      ++dropped;
    }
  }
  current_.reset();
  return dropped;
}

void CCommEngine::DropQueuedWrites() {
  const int dropped = DropAllQueuedWrites();
  if (dropped > 0 && dropped_in_loss_ == 0) {
    ReportDriverNote(1, "통신포트[" + PortName(doc_->Port()) +
                            "]가 끊어져 있어 쓰기를 보내지 않고 실패로 처리합니다.");
  }
  dropped_in_loss_ += dropped;
}

void CCommEngine::TryReopen() {
  if (!port_->Nap(kReopenIntervalMs)) return;  // stopping
  DropQueuedWrites();
  // Resolved again on every try: a re-plugged adapter may come back as
  // another device behind the same COMn link.
  const std::string name = PortName(doc_->Port());
  const std::string path = ResolveComPort(name);
  LineSettings line;
  if (!path.empty() && LineSettingsFor(doc_->Port(), &line) && port_->Open(path, line)) {
    line_lost_ = false;
    health_->SetLineDown(false);
    if (dropped_in_loss_ > 0) {
      ReportDriverNote(1, "통신포트[" + name + "]가 끊어진 동안 쓰기 " +
                              std::to_string(dropped_in_loss_) + "건을 보내지 않았습니다.");
    }
    ReportDriverMessage(kMsgPortOpened, 2);
    return;
  }
  health_->CountLostTry();
}

void CCommEngine::SchedulerThread() {
  SetCurrentThreadName("dravik-sched");
  size_t block_count;
  size_t n;
  {
    // Pollers added after this point are visited from the next start.
    std::shared_lock lock(structure_lock_);
    block_count = block_pollers_.size();
    n = block_count + tag_pollers_.size();
  }
  scheduler_finished_.ResetEvent();
  const LineHealth::ObserverScope observe(health_.get());
  exception_noted_ = false;
  size_t i = 0;
  uint32_t cycle_start = 0;
  while (running_.load() == 1) {
    if (line_lost_) {
      // Polling stops; where it left off (i) is where it resumes.
      Guarded([&] {
        TryReopen();
        health_->Publish();
        return false;
      });
      continue;
    }
    pass_station_ = nullptr;  // whose exchange this pass makes, if any
    const bool wrote = Guarded([&] { return SendNextWrite() == 1; });
    GuardedAfterPass();
    if (wrote) {
      SleepMs(0);
      continue;
    }
    if (line_lost_) continue;
    if (i == 0) cycle_start = TickCount();
    pass_station_ = nullptr;
    Guarded([&] {
      PollOne(i, block_count);
      return false;
    });
    GuardedAfterPass();
    if (n > 0) i = (i + 1) % n;
    if (i == 0) {
      const uint32_t elapsed = TickCount() - cycle_start;
      SleepMs(elapsed < kMinCycleMs ? kMinCycleMs - elapsed : 0);
    }
  }
  Guarded([&] {
    health_->Publish();
    return false;
  });
  scheduler_finished_.Set();
}

void CCommEngine::EventThread() {
  SetCurrentThreadName("dravik-events");
  events_finished_.ResetEvent();
  while (running_.load() == 1) {
    data_ready_.Wait(kEventWaitMs);
    // Without the tag database the event is discarded. A host callback
    // that throws loses its one value, never the thread (nor the process).
    try {
      while (std::unique_ptr<CEventVal> event = events_.PopFront()) {
        try {
          PostValueToHost(event->GetTagId(), &event->Value());
        } catch (...) {
        }
      }
    } catch (...) {
    }
  }
  events_finished_.Set();
}

int CCommEngine::BindTag(CStationInfoDVK* station, const char* address_text, int area,
                         uint32_t address, const TagBinding& prototype) {
  // The words the tag occupies. An odd length takes its last word whole, and
  // a one-byte tag one word, so a tag never binds one past a block's end.
  const uint32_t end = address + static_cast<uint32_t>(CTagPoller::CountFor(prototype));
  std::unique_lock lock(structure_lock_);
  for (size_t i = 0; i < block_pollers_.size(); ++i) {
    CBlockPoller& poller = *block_pollers_[i];
    if (!poller.Holds(station, area, address, end)) continue;
    if (i > kMaxHandleIndex || poller.Bindings().size() >= kStatusHandleLow)
      return RefuseUnpackable(prototype.tag_id);
    TagBinding binding = prototype;
    uint32_t offset = address - static_cast<uint32_t>(poller.Block()->start);
    if (IsBitArea(area)) {
      binding.bit_or_length = static_cast<uint16_t>(offset % 8);
      offset /= 8;
    }
    binding.offset = static_cast<uint16_t>(offset);
    return MakeHandle(i, static_cast<size_t>(poller.AddBinding(binding)));
  }
  if (block_pollers_.size() + tag_pollers_.size() > kMaxHandleIndex)
    return RefuseUnpackable(prototype.tag_id);
  const std::string name = LookupTagName(prototype.tag_id);
  ReportDriverMessage(kMsgNotInBlock, 1, name.c_str(), address_text);
  auto poller = std::make_unique<CTagPoller>(line_, station, area, address, prototype);
  // Built now as well as by slot 4, so a tag bound late is polled from the next start.
  poller->BuildRequest();
  tag_pollers_.push_back(std::move(poller));
  return MakeHandle(block_pollers_.size() + tag_pollers_.size() - 1, 0);
}

int CCommEngine::BindExchangeStatus(CStationInfoDVK* station, const char* address_text,
                                    int area, uint32_t address, const TagBinding& prototype) {
  std::unique_lock lock(structure_lock_);
  for (size_t i = 0; i < block_pollers_.size() && i <= kMaxHandleIndex; ++i) {
    CBlockPoller& poller = *block_pollers_[i];
    if (!poller.Holds(station, area, address, address + 1)) continue;
    poller.AddStatusBinding(prototype);
    return MakeHandle(i, kStatusHandleLow);
  }
  for (size_t k = 0; k < tag_pollers_.size(); ++k) {
    CTagPoller& poller = *tag_pollers_[k];
    if (poller.Station() != station || poller.Area() != area || poller.Address() != address) {
      continue;
    }
    const size_t index = block_pollers_.size() + k;
    if (index > kMaxHandleIndex) break;
    poller.AddStatusBinding(prototype);
    return MakeHandle(index, kStatusHandleLow);
  }
  const std::string name = LookupTagName(prototype.tag_id);
  ReportDriverNote(0, "태그[" + name + "]의 어드레스[" + std::string(address_text) +
                          "]를 읽는 통신이 없어 통신 상태를 연결하지 않습니다.");
  return -1;
}

int CCommEngine::WriteTag(int handle, const CTagVal* value) {
  if (running_.load() == 0 || value == nullptr) return 0;
  const uint32_t high = static_cast<uint32_t>(handle) >> 16;
  const uint32_t low = static_cast<uint32_t>(handle) & 0xFFFFu;
  // An exchange status tag has nothing in the PLC to write.
  if (low == kStatusHandleLow) return 0;
  CStationInfoDVK* station = nullptr;
  TagBinding binding;
  int area = 0;
  uint32_t address = 0;
  {
    std::shared_lock lock(structure_lock_);
    if (high < block_pollers_.size()) {
      const CBlockPoller& poller = *block_pollers_[high];
      if (low >= poller.Bindings().size()) return 0;
      binding = poller.Bindings()[low];
      station = poller.Station();
      area = poller.Block()->area;
      const uint32_t start = static_cast<uint32_t>(poller.Block()->start);
      address = IsBitArea(area) ? start + binding.offset * 8u + binding.bit_or_length
                                : start + binding.offset;
    } else if (high - block_pollers_.size() < tag_pollers_.size()) {
      const CTagPoller& poller = *tag_pollers_[high - block_pollers_.size()];
      binding = poller.Binding();
      station = poller.Station();
      area = poller.Area();
      address = poller.Address();
    } else {
      return 0;
    }
  }
  if (binding.IsBit() && !IsBitArea(area)) {
    const std::string name = LookupTagName(binding.tag_id);
    return ReportDriverMessage(kMsgReadOnly, 1, name.c_str());
  }
  std::lock_guard lock(write_lock_);
  if (!pending_) pending_ = std::make_unique<CWriteQueue>(line_);
  pending_->Append(station, binding, area, address, *value);
  return 0;
}

size_t CCommEngine::PendingWriteCount() {
  std::lock_guard lock(write_lock_);
  return pending_ ? pending_->Size() : 0;
}

}  // namespace dravik
