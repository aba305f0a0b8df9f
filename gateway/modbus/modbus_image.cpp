#include "gateway/modbus/modbus_image.h"

#include <algorithm>
#include <cmath>

namespace dravik::host {

ModbusImage::ModbusImage(const ModbusMap* map)
    : map_(map), units_(map->units.size()), good_(map->units.size(), 0) {}

void ModbusImage::Update(int tag_id, const TagValue& value) {
  const ImageRef ref = map_->Ref(tag_id);
  if (ref.station < 0 || value.kind != TagValue::Kind::kNumber || !std::isfinite(value.number)) {
    return;
  }
  std::lock_guard lock(mutex_);
  Unit& unit = units_[static_cast<size_t>(ref.station)];
  const auto flat = static_cast<size_t>(ref.flat);
  if (ref.bit) {
    unit.bits[flat] = value.number != 0.0 ? 1 : 0;
    unit.bit_known[flat] = 1;
  } else {
    // A signed tag's value is the register's two's complement.
    unit.words[flat] = static_cast<uint16_t>(static_cast<int64_t>(value.number) & 0xFFFF);
    unit.word_known[flat] = 1;
  }
}

void ModbusImage::Observe(const std::vector<StationReport>& stations, int64_t now_ms) {
  std::lock_guard lock(mutex_);
  for (Unit& unit : units_) {
    std::fill(unit.word_stale.begin(), unit.word_stale.end(), 0);
    std::fill(unit.bit_stale.begin(), unit.bit_stale.end(), 0);
  }
  for (size_t s = 0; s < stations.size() && s < good_.size(); ++s) {
    good_[s] = stations[s].good() ? 1 : 0;
    for (size_t tag : stations[s].stale_tags) {
      const ImageRef ref = map_->Ref(static_cast<int>(tag) + 1);
      if (ref.station < 0) continue;
      Unit& unit = units_[static_cast<size_t>(ref.station)];
      (ref.bit ? unit.bit_stale : unit.word_stale)[static_cast<size_t>(ref.flat)] = 1;
    }
  }
  sampled_ms_ = now_ms;
}

bool ModbusImage::Fresh(size_t station, int64_t now_ms) const {
  std::lock_guard lock(mutex_);
  return station < good_.size() && good_[station] != 0 && now_ms - sampled_ms_ <= kSampleLimitMs;
}

template <typename T>
int ModbusImage::Read(size_t station, int start, int count, bool bit, T* out,
                      int64_t now_ms) const {
  const int size = bit ? kModbusBits : kModbusWords;
  if (station >= units_.size() || start < 0 || count < 1 || start > size - count) {
    return kIllegalDataAddress;
  }
  for (int i = 0; i < count; ++i) {
    const ModbusPoint* p = bit ? map_->Bit(station, start + i) : map_->Word(station, start + i);
    if (p == nullptr || p->tag_id == 0) return kIllegalDataAddress;
  }
  std::lock_guard lock(mutex_);
  if (good_[station] == 0 || now_ms - sampled_ms_ > kSampleLimitMs) return kGatewayTargetFailed;
  const Unit& unit = units_[station];
  const auto& known = bit ? unit.bit_known : unit.word_known;
  const auto& stale = bit ? unit.bit_stale : unit.word_stale;
  for (int i = 0; i < count; ++i) {
    const auto at = static_cast<size_t>(start + i);
    if (known[at] == 0 || stale[at] != 0) return kGatewayTargetFailed;
    if constexpr (sizeof(T) == 1) {
      out[i] = unit.bits[at];
    } else {
      out[i] = unit.words[at];
    }
  }
  return 0;
}

int ModbusImage::ReadWords(size_t station, int start, int count, uint16_t* out,
                           int64_t now_ms) const {
  return Read(station, start, count, false, out, now_ms);
}

int ModbusImage::ReadBits(size_t station, int start, int count, uint8_t* out,
                          int64_t now_ms) const {
  return Read(station, start, count, true, out, now_ms);
}

}  // namespace dravik::host
