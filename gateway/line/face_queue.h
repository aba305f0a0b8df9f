// FaceQueue: how a face receives the line's events. The session pushes from
// its own thread and from the driver's; the push only takes a short lock, so
// the line never waits on a face. A thread of the queue's own calls the
// face's LineFace methods in the order the events came. When a face falls so
// far behind that the queue is full, further values, log lines and samples
// are dropped and counted, and the face's name and the count are said once
// the queue has room again; the calls that begin and end a run and write
// events are never dropped, as no later event stands in for them.
//
// Threads: Push* from any thread; the face's methods on the queue's thread
// only, from Start until Finish returns. mutex_ guards the queue.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "gateway/line/line_face.h"
#include "gateway/line/output.h"

namespace dravik::host {

class FaceQueue {
 public:
  // Events a face may fall behind by before they are dropped.
  static constexpr size_t kDefaultCapacity = 100000;

  FaceQueue(std::string name, LineFace* face, Output* out, size_t capacity = kDefaultCapacity);
  ~FaceQueue();
  FaceQueue(const FaceQueue&) = delete;
  FaceQueue& operator=(const FaceQueue&) = delete;

  void Start();
  // Delivers what is queued, then ends the thread.
  void Finish();

  void PushBound(std::vector<bool> bound);
  void PushStarted(const LineStarted& started);
  void PushValue(const LineValue& value);
  void PushLog(const LineLog& log);
  void PushSample(const LineSample& sample);
  void PushWrite(const LineWrite& write);
  void PushStopped(const LineStopped& stopped);

 private:
  struct Bound {
    std::vector<bool> bound;
  };
  using Event =
      std::variant<Bound, LineStarted, LineValue, LineLog, LineSample, LineWrite, LineStopped>;

  // `droppable`: may give way when the queue is full.
  void Push(Event event, bool droppable);
  void Loop();
  void Deliver(const Event& event);

  const std::string name_;
  LineFace* const face_;
  Output* const out_;
  const size_t capacity_;
  std::thread thread_;

  std::mutex mutex_;  // guards the fields below
  std::condition_variable wake_;
  std::deque<Event> events_;
  bool finishing_ = false;
  long dropped_unsaid_ = 0;  // since the face was last said to fall behind
};

}  // namespace dravik::host
