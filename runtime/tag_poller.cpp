#include "runtime/tag_poller.h"

#include <algorithm>
#include <cstring>

#include "model/device_areas.h"
#include "platform/tick_count.h"
#include "runtime/serial_link.h"

namespace dravik {

CTagPoller::CTagPoller(const LineContext& line, CStationInfoDVK* station, int area,
                       uint32_t address, const TagBinding& binding)
    : line_(line),
      station_(station),
      area_(area),
      address_(address),
      count_(CountFor(binding)),
      binding_(binding) {
  binding_.offset = 0;
}

int CTagPoller::CountFor(const TagBinding& binding) {
  if (binding.IsBit()) return 1;
  return std::max(1, (binding.bit_or_length + 1) / 2);
}

void CTagPoller::BuildRequest() { request_.Build(station_->number, area_, address_, count_); }

void CTagPoller::Poll() {
  std::array<uint8_t, kDataImageBytes> image{};
  if (station_->enabled == 0 || !HasRequest()) return;
  ++station_->reads_sent;
  const uint32_t started = TickCount();
  const int code = ExchangeRead(line_, request_, reply_, &detail_);
  const uint32_t took_ms = TickCount() - started;
  if (code == kExchangeInterrupted) return;  // stopping: nothing to report
  if (code != 0) {
    ++station_->reads_failed;
    station_->ReportResult(code, code == kPlcError ? detail_.c_str() : nullptr);
    if (PostExchangeStatus(*line_.events, status_bindings_, code, took_ms)) {
      line_.data_ready->Set();
    }
    return;
  }
  uint8_t* data = reply_.data() + kReplyHeaderBytes;
  if (IsBitArea(area_)) {
    image[0] = data[0];  // one bit: its data byte, as it comes
  } else {
    const size_t bytes = 2 * static_cast<size_t>(count_);
    SwapWordBytes(std::span<uint8_t>(data, bytes), static_cast<size_t>(count_));
    std::memcpy(image.data(), data, std::min(bytes, image.size()));
  }
  DispatchChanges(image);
  station_->ReportResult(0, nullptr);
  if (PostExchangeStatus(*line_.events, status_bindings_, 0, took_ms)) line_.data_ready->Set();
}

void CTagPoller::DispatchChanges(const std::array<uint8_t, kDataImageBytes>& image) {
  bool posted = false;
  if (binding_.IsBit()) {
    const uint16_t mask = static_cast<uint16_t>(1u << (binding_.bit_or_length & 15));
    const uint16_t now = static_cast<uint16_t>(image[0] | (image[1] << 8));
    const uint16_t before = static_cast<uint16_t>(previous_[0] | (previous_[1] << 8));
    if (!has_previous_ || ((now ^ before) & mask) != 0) {
      PostBitEvent(*line_.events, binding_, static_cast<uint16_t>(now & mask));
      posted = true;
    }
  } else {
    const size_t length = std::min<size_t>(binding_.bit_or_length, image.size());
    if (!has_previous_ || std::memcmp(image.data(), previous_.data(), length) != 0) {
      PostValueEvent(*line_.events, binding_, std::span<const uint8_t>(image));
      posted = true;
    }
  }
  previous_ = image;
  has_previous_ = 1;
  // The event thread wakes only for something to deliver (see CBlockPoller).
  if (posted) line_.data_ready->Set();
}

}  // namespace dravik
