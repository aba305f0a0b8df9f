#include "runtime/write_queue.h"

#include <array>
#include <string>

#include "runtime/host_services.h"
#include "runtime/value_conversion.h"

namespace dravik {

bool CWriteQueue::Append(CStationInfoDVK* station, const TagBinding& binding, int area,
                         uint32_t address, const CTagVal& value) {
  std::array<uint8_t, kEncodeAreaBytes> encoded{};
  const int length = EncodeTagValue(binding, value, encoded);
  std::unique_ptr<RequestFrame> frame;
  if (length >= 0) {
    frame =
        BuildWriteRequest(station->number, area, address,
                          std::span<const uint8_t>(encoded.data(), static_cast<size_t>(length)));
  }
  if (!frame) {
    ReportDriverNote(1, "태그[" + LookupTagName(binding.tag_id) + "]의 값(" +
                            std::to_string(binding.bit_or_length) +
                            " 바이트)은 쓰기 프레임에 들어가지 않아 쓰지 않습니다.");
    return false;
  }
  frames_.push_back(std::move(frame));
  stations_.push_back(station);
  return true;
}

int CWriteQueue::SendNext() {
  if (next_ >= frames_.size()) return 0;
  const size_t index = next_++;
  std::unique_ptr<RequestFrame> frame = std::move(frames_[index]);
  CStationInfoDVK* station = stations_[index];
  if (station->enabled == 0) return 1;  // dropped: not counted, not reported

  ++station->writes_sent;
  const std::span<const uint8_t> bytes(frame->frame, static_cast<size_t>(frame->length));
  // The write is done only when its own station answers this request without
  // the error flag; after an error reply the value never reached the PLC.
  std::string detail;
  int length = 0;
  const int code = line_.exchange != nullptr
                       ? line_.exchange->Exchange(bytes, reply_, &length, &detail)
                       : kCannotSend;
  frame.reset();
  // Cut off by a stop: the exchange never ended, so it is left out of the
  // counts, like a cut-off read.
  if (code == kExchangeInterrupted) return 1;
  if (code == 0) {
    station->ReportResult(0, nullptr);
    return 1;
  }
  ++station->writes_failed;
  station->ReportResult(code, detail.empty() ? nullptr : detail.c_str());
  return 1;
}

}  // namespace dravik
