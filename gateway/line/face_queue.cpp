#include "gateway/line/face_queue.h"

#include <utility>

namespace dravik::host {

FaceQueue::FaceQueue(std::string name, LineFace* face, Output* out, size_t capacity)
    : name_(std::move(name)), face_(face), out_(out), capacity_(capacity) {}

FaceQueue::~FaceQueue() { Finish(); }

void FaceQueue::Start() {
  if (!thread_.joinable()) thread_ = std::thread(&FaceQueue::Loop, this);
}

void FaceQueue::Finish() {
  {
    std::lock_guard lock(mutex_);
    finishing_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void FaceQueue::PushBound(std::vector<bool> bound) { Push(Bound{std::move(bound)}, false); }
void FaceQueue::PushStarted(const LineStarted& started) { Push(started, false); }
void FaceQueue::PushValue(const LineValue& value) { Push(value, true); }
void FaceQueue::PushLog(const LineLog& log) { Push(log, true); }
void FaceQueue::PushSample(const LineSample& sample) { Push(sample, true); }
void FaceQueue::PushWrite(const LineWrite& write) { Push(write, false); }
void FaceQueue::PushStopped(const LineStopped& stopped) { Push(stopped, false); }

void FaceQueue::Push(Event event, bool droppable) {
  {
    std::lock_guard lock(mutex_);
    if (droppable && events_.size() >= capacity_) {
      ++dropped_unsaid_;
      return;
    }
    events_.push_back(std::move(event));
  }
  wake_.notify_one();
}

void FaceQueue::Loop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return finishing_ || !events_.empty(); });
    if (events_.empty()) break;  // finishing, and all delivered
    std::deque<Event> batch;
    batch.swap(events_);
    const long dropped = std::exchange(dropped_unsaid_, 0);
    lock.unlock();
    if (dropped > 0) {
      out_->Emit(name_ + ": " + std::to_string(dropped) +
                     " line events dropped: this output fell behind the line",
                 Json{{"kind", "dropped"}, {"face", name_}, {"events", dropped}});
    }
    for (const Event& e : batch) Deliver(e);
    lock.lock();
  }
}

void FaceQueue::Deliver(const Event& event) {
  std::visit(
      [this](const auto& e) {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, Bound>) {
          face_->OnBound(e.bound);
        } else if constexpr (std::is_same_v<T, LineStarted>) {
          face_->OnStarted(e);
        } else if constexpr (std::is_same_v<T, LineValue>) {
          face_->OnValue(e);
        } else if constexpr (std::is_same_v<T, LineLog>) {
          face_->OnLog(e);
        } else if constexpr (std::is_same_v<T, LineSample>) {
          face_->OnSample(e);
        } else if constexpr (std::is_same_v<T, LineWrite>) {
          face_->OnWrite(e);
        } else {
          face_->OnStopped(e);
        }
      },
      event);
}

}  // namespace dravik::host
