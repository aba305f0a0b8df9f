#include "runtime/block_poller.h"

#include <cstdio>
#include <cstring>

#include "model/device_areas.h"
#include "platform/tick_count.h"
#include "runtime/serial_link.h"

namespace dravik {

namespace {
// What one data image holds: 61 words, or 61 data bytes of a bit block.
constexpr int kMaxBlockWords = static_cast<int>(kDataImageWords);
constexpr int kMaxBlockBits = static_cast<int>(kDataImageWords) * 8;

uint16_t ImageWord(const std::array<uint8_t, kDataImageBytes>& image, size_t word) {
  return static_cast<uint16_t>(image[2 * word] | (image[2 * word + 1] << 8));
}
}  // namespace

CBlockPoller::CBlockPoller(const LineContext& line, CStationInfoDVK* station,
                           const CCommBlockDVK* block)
    : line_(line), station_(station), block_(block) {}

bool CBlockPoller::BuildRequest(std::string* why) {
  chunk_count_ = 0;
  const int area = block_->area;
  const int count = block_->count;
  char text[160];
  if (!IsValidArea(area) || count < 1) {
    std::snprintf(text, sizeof text, "area %d, count %d", area, count);
    *why = text;
    return false;
  }
  const bool bits = IsBitArea(area);
  if (count > (bits ? kMaxBlockBits : kMaxBlockWords)) {
    std::snprintf(text, sizeof text, "%d %s > %d", count, bits ? "bits" : "words",
                  bits ? kMaxBlockBits : kMaxBlockWords);
    *why = text;
    return false;
  }
  const int per_request = bits ? kMaxBitsPerRequest : kMaxWordsPerRequest;
  for (int first = 0; first < count; first += per_request) {
    Chunk& chunk = chunks_[static_cast<size_t>(chunk_count_)];
    chunk.first = first;
    chunk.count = count - first < per_request ? count - first : per_request;
    const uint32_t address = static_cast<uint32_t>(block_->start) + static_cast<uint32_t>(first);
    if (!chunk.request.Build(station_->number, area, address, chunk.count)) {
      chunk_count_ = 0;
      *why = "request cannot be built";
      return false;
    }
    ++chunk_count_;
  }
  return true;
}

bool CBlockPoller::Holds(const CStationInfoDVK* station, int area, uint32_t address,
                         uint32_t end) const {
  if (!IsUsable() || station != station_ || area != block_->area) return false;
  const uint32_t start = static_cast<uint32_t>(block_->start);
  return address >= start && end <= start + static_cast<uint32_t>(block_->count);
}

int CBlockPoller::AddBinding(const TagBinding& binding) {
  bindings_.push_back(binding);
  return static_cast<int>(bindings_.size()) - 1;
}

int CBlockPoller::ImageWordsFilled() const {
  return IsBitArea(block_->area) ? (block_->count + 7) / 8 : block_->count;
}

// Sends every chunk's request and assembles the image. Returns 0, a failure
// code, or kExchangeInterrupted; on failure the image is incomplete.
int CBlockPoller::ExchangeAll(std::array<uint8_t, kDataImageBytes>& image) {
  const bool bits = IsBitArea(block_->area);
  for (int k = 0; k < chunk_count_; ++k) {
    const Chunk& chunk = chunks_[static_cast<size_t>(k)];
    const int code = ExchangeRead(line_, chunk.request, reply_, &detail_);
    if (code != 0) return code;
    uint8_t* data = reply_.data() + kReplyHeaderBytes;
    if (bits) {
      // Image word k holds data byte k in its low 8 bits.
      const int bytes = (chunk.count + 7) / 8;
      const int first_byte = chunk.first / 8;
      for (int b = 0; b < bytes; ++b) {
        image[2 * static_cast<size_t>(first_byte + b)] = data[b];
        image[2 * static_cast<size_t>(first_byte + b) + 1] = 0;
      }
    } else {
      SwapWordBytes(std::span<uint8_t>(data, 2 * static_cast<size_t>(chunk.count)),
                    static_cast<size_t>(chunk.count));
      std::memcpy(image.data() + 2 * static_cast<size_t>(chunk.first), data,
                  2 * static_cast<size_t>(chunk.count));
    }
  }
  return 0;
}

void CBlockPoller::Poll() {
  std::array<uint8_t, kDataImageBytes> image{};
  std::memset(reply_.data(), 0, reply_.size());
  if (station_->enabled == 0 || !IsUsable()) return;
  const uint32_t now = TickCount();
  if (now - last_poll_tick_ < static_cast<uint32_t>(block_->period_ms)) return;
  last_poll_tick_ = now;

  ++station_->reads_sent;
  const int code = ExchangeAll(image);
  const uint32_t took_ms = TickCount() - now;
  if (code == kExchangeInterrupted) return;  // stopping: nothing to report
  if (code == 0) {
    DispatchChanges(image);
    station_->ReportResult(0, nullptr);
  } else {
    ++station_->reads_failed;
    station_->ReportResult(code, code == kPlcError ? detail_.c_str() : nullptr);
  }
  // After the block's values, so a host sees the data before it is told
  // the data is current again.
  if (PostExchangeStatus(*line_.events, status_bindings_, code, took_ms)) line_.data_ready->Set();
}

void CBlockPoller::DispatchChanges(const std::array<uint8_t, kDataImageBytes>& image) {
  bool posted = false;
  for (const TagBinding& binding : bindings_) {
    const size_t word = binding.offset;
    if (word >= kDataImageWords) continue;  // binding guarantees it; never read past
    if (binding.IsBit()) {
      const uint16_t mask = static_cast<uint16_t>(1u << (binding.bit_or_length & 15));
      const uint16_t now = ImageWord(image, word);
      if (has_previous_ && ((now ^ ImageWord(previous_, word)) & mask) == 0) continue;
      PostBitEvent(*line_.events, binding, static_cast<uint16_t>(now & mask));
      posted = true;
      continue;
    }
    const size_t first = 2 * word;
    const size_t length = std::min<size_t>(binding.bit_or_length, kDataImageBytes - first);
    if (has_previous_ && std::memcmp(image.data() + first, previous_.data() + first, length) == 0) {
      continue;
    }
    PostValueEvent(*line_.events, binding,
                   std::span<const uint8_t>(image.data() + first, kDataImageBytes - first));
    posted = true;
  }
  std::memcpy(previous_.data(), image.data(), 2 * static_cast<size_t>(ImageWordsFilled()));
  has_previous_ = 1;
  // Only a poll that queued events wakes the event thread: waking it on every
  // exchange cost a futex round trip per poll for nothing. Set rather than
  // pulse: a pulse while the event thread is busy delivering would be lost
  // and leave the new events waiting up to a second.
  if (posted) line_.data_ready->Set();
}

}  // namespace dravik
