// CWriteQueue: a batch of encoded write frames with their target stations, in
// the order the host wrote them. Appended on the host's thread under the
// engine's write lock while it is the pending queue; sent one frame per call
// by the scheduler thread once it has become the current queue.
#pragma once

#include <memory>
#include <vector>

#include "host/tarsel_sub.h"
#include "model/station_info.h"
#include "model/tag_binding.h"
#include "runtime/frame_codec.h"
#include "runtime/line_context.h"

namespace dravik {

class CWriteQueue {
 public:
  explicit CWriteQueue(const LineContext& line) : line_(line) {}
  CWriteQueue(const CWriteQueue&) = delete;
  CWriteQueue& operator=(const CWriteQueue&) = delete;

  // Encodes `value` and queues its frame for `station`. False (nothing queued,
  // a log line written) when the value cannot be framed.
  bool Append(CStationInfoDVK* station, const TagBinding& binding, int area, uint32_t address,
              const CTagVal& value);
  // Sends the next frame: 1 when a frame was taken (sent, failed or dropped
  // for a disabled station), 0 when none is left. The reply must come from
  // the frame's station, for its command, without the error flag; anything
  // else is a failed write (11, or 12 with the PLC's error number).
  int SendNext();
  // The station of the frame SendNext would send next; null when none is left.
  CStationInfoDVK* NextStation() const {
    return next_ < frames_.size() ? stations_[next_] : nullptr;
  }
  // Takes the next frame without sending it (the caller settles it).
  void DropNext() {
    if (next_ < frames_.size()) frames_[next_++].reset();
  }
  size_t Size() const { return frames_.size(); }
  const RequestFrame* FrameAt(size_t i) const { return frames_[i].get(); }

 private:
  const LineContext& line_;  // the engine's, which outlives this
  size_t next_ = 0;
  std::vector<std::unique_ptr<RequestFrame>> frames_;
  std::vector<CStationInfoDVK*> stations_;
  std::array<uint8_t, kReplyBufferBytes> reply_{};
};

}  // namespace dravik
