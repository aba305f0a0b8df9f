// The Modbus map of a line: each station is the unit of its station number,
// and its memory is two flat spaces, with no map file to keep:
//   words (holding registers, also readable as input registers):
//     IR1..IR256 = 0..255, OR1..OR256 = 256..511, R1..R512 = 512..1023
//   bits (coils, also readable as discrete inputs):
//     I1 = 0, O1 = 256, FI1 = 512, FO1 = 768, C1..C1024 = 1024..2047
// A point is served only when the line polls it: every word and bit of the
// project's blocks (through image tags, bindings of the gateway's own beside
// the tag list), and the tag list's 16-bit integer and bit tags that lie in
// no block (their own pollers). Nothing else is covered, so no read of a
// client ever adds a poll to the line.
// Pure; built once before the line runs, then read only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gateway/line/line_session.h"
#include "gateway/line/tag_list.h"

namespace dravik::host {

constexpr int kModbusWords = 1024;
constexpr int kModbusBits = 2048;

// The flat address of an area's 1-based address; -1 when the area is not of
// that space or the address is outside it.
int FlatWord(int area, int address);
int FlatBit(int area, int address);

struct ModbusPoint {
  int tag_id = 0;  // host tag id that carries it; 0: not covered
  bool writable = true;
  bool is_signed = false;  // an int16 tag: its value is the register's two's complement
};

struct ModbusUnit {
  std::vector<ModbusPoint> words = std::vector<ModbusPoint>(kModbusWords);
  std::vector<ModbusPoint> bits = std::vector<ModbusPoint>(kModbusBits);
};

// Where a tag id's values go in the image.
struct ImageRef {
  int station = -1;  // -1: not in the image
  bool bit = false;
  int flat = 0;
  bool is_signed = false;
};

struct ModbusMap {
  std::array<int, 256> unit_station{};  // station index of each unit id, -1 for none
  std::vector<ModbusUnit> units;        // per station
  std::vector<TagRow> image_tags;       // one per block word or bit
  std::vector<int> image_stations;
  std::vector<ImageRef> by_tag;  // indexed by host tag id
  std::vector<std::string> warnings;

  const ModbusPoint* Word(size_t station, int flat) const;
  const ModbusPoint* Bit(size_t station, int flat) const;
  ImageRef Ref(int tag_id) const;
  // The points a write of `count` from `address` would write, in order; an
  // empty list when one of them is not covered or not writable (a tag marked
  // r covers it), or lies outside the space.
  std::vector<const ModbusPoint*> WritablePoints(size_t station, bool bit, int address,
                                                 int count) const;
  // After binding: points whose tag the driver refused are no longer covered.
  template <typename IsBound>
  void DropUnbound(IsBound is_bound);
};

// Image tags get the host tag ids after the tag list's (tags.size() + 1 on).
ModbusMap BuildModbusMap(const LineLayout& layout);

template <typename IsBound>
void ModbusMap::DropUnbound(IsBound is_bound) {
  for (auto& unit : units) {
    for (auto* space : {&unit.words, &unit.bits}) {
      for (ModbusPoint& p : *space) {
        if (p.tag_id != 0 && !is_bound(p.tag_id)) p = ModbusPoint{};
      }
    }
  }
}

}  // namespace dravik::host
