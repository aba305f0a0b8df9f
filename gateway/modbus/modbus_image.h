// ModbusImage: the latest polled value of every point the Modbus map covers,
// and whether each station's data, and each point's own, is fresh. Clients read only from here; no
// read of theirs ever reaches the line.
// Threads: Update runs on the driver's event thread (the session's value
// tap), Observe on the Modbus face's queue thread, the reads on the client
// threads; mutex_ guards every field but the map, which is read only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "gateway/line/line_face.h"
#include "gateway/modbus/modbus_map.h"

namespace dravik::host {

// Modbus exception codes the face answers with.
constexpr int kIllegalFunction = 0x01;
constexpr int kIllegalDataAddress = 0x02;
constexpr int kIllegalDataValue = 0x03;
constexpr int kServerDeviceFailure = 0x04;
constexpr int kServerDeviceBusy = 0x06;
constexpr int kGatewayPathUnavailable = 0x0A;
constexpr int kGatewayTargetFailed = 0x0B;

class ModbusImage {
 public:
  // Samples come every 200 ms; without one for this long nothing is fresh.
  static constexpr int64_t kSampleLimitMs = 1000;

  explicit ModbusImage(const ModbusMap* map);

  void Update(int tag_id, const TagValue& value);
  // A sample of the line: which stations' data is good (ok and fresh), and
  // which points' own data is not (StationReport::stale_tags).
  void Observe(const std::vector<StationReport>& stations, int64_t now_ms);

  // Copies `count` points from `start`. 0 when served; kIllegalDataAddress
  // when a point is not covered, kGatewayTargetFailed when the station's
  // data is not good in the last sample, no sample came for kSampleLimitMs,
  // or a point has had no value yet or its own data is stale.
  int ReadWords(size_t station, int start, int count, uint16_t* out, int64_t now_ms) const;
  int ReadBits(size_t station, int start, int count, uint8_t* out, int64_t now_ms) const;
  bool Fresh(size_t station, int64_t now_ms) const;

 private:
  struct Unit {
    std::vector<uint16_t> words = std::vector<uint16_t>(kModbusWords);
    std::vector<uint8_t> word_known = std::vector<uint8_t>(kModbusWords);
    std::vector<uint8_t> bits = std::vector<uint8_t>(kModbusBits);
    std::vector<uint8_t> bit_known = std::vector<uint8_t>(kModbusBits);
    std::vector<uint8_t> word_stale = std::vector<uint8_t>(kModbusWords);
    std::vector<uint8_t> bit_stale = std::vector<uint8_t>(kModbusBits);
  };
  template <typename T>
  int Read(size_t station, int start, int count, bool bit, T* out, int64_t now_ms) const;

  const ModbusMap* const map_;
  mutable std::mutex mutex_;
  std::vector<Unit> units_;
  std::vector<uint8_t> good_;  // per station, as the last sample said
  int64_t sampled_ms_ = 0;
};

}  // namespace dravik::host
