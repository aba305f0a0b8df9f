// A small line for the Modbus face's tests and its fuzz target: four
// stations, PLC2 twinning PLC1's number and PLC3 with none; blocks R1..R10
// and R5..R14 (overlapping) and C1..C16 on PLC1, IR3..IR4 on PLC4; tags: a
// read-only word in a block, an int16 and a 32-bit value outside the blocks,
// a bit of C, a read-only bit of a register, a word in a block.
#pragma once

#include <string>

#include "gateway/line/line_session.h"

namespace dravik::host::test {

inline TagRow Tag(const std::string& name, const std::string& address, int type, int length,
                  bool writable = true) {
  TagRow t;
  t.name = name;
  t.device = "DVK.PLC1";
  t.address = address;
  t.type = type;
  t.length = length;
  t.writable = writable;
  return t;
}

inline LineLayout ModbusTestLine() {
  constexpr int kC = 4, kIR = 5, kR = 7;
  LineLayout l;
  l.stations = {"PLC1", "PLC2", "PLC3", "PLC4"};
  l.station_numbers = {1, 1, 0, 7};
  l.blocks = {{{kR, 1, 10}, {kR, 5, 10}, {kC, 1, 16}}, {}, {}, {{kIR, 3, 2}}};
  l.tags = {Tag("Single", "R100", 1, 2),       Tag("Long", "R200", 2, 4),
            Tag("Locked", "R3", 4, 2, false),  Tag("Lamp", "C500", 13, 0),
            Tag("Flag", "R7.2", 13, 0, false), Tag("InBlock", "R2", 4, 2)};
  l.tag_stations = {0, 0, 0, 0, 0, 0};
  return l;
}

}  // namespace dravik::host::test
