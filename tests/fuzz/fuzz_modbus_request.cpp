// Fuzzes the Modbus TCP face's handling of a request frame, as libmodbus hands
// it over: the header checks, the decoding of function, address, quantity and
// values, then what the face would answer from the test line's map and image
// (reads) or which points it would write (writes). Nothing reaches a socket
// or a line. Besides memory errors it traps when a rule is broken whatever the
// input: a write never plans a point that no block or tag covers or that a
// read-only tag holds; a read is served only inside the space, from covered
// points of a station with good data.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "gateway/modbus/modbus_image.h"
#include "gateway/modbus/modbus_map.h"
#include "gateway/modbus/modbus_request.h"
#include "tests/gateway/modbus_test_line.h"

namespace {

using namespace dravik::host;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

// The shared test line, every point with a value, every station good.
struct Line {
  Line() : map(BuildModbusMap(test::ModbusTestLine())), image(&map) {
    TagValue v;
    v.kind = TagValue::Kind::kNumber;
    v.number = 1;
    for (size_t id = 1; id < map.by_tag.size(); ++id) image.Update(static_cast<int>(id), v);
    StationReport ok;
    ok.state = "ok";
    image.Observe({ok, ok, ok, ok}, 1000);
  }
  ModbusMap map;
  ModbusImage image;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Line line;
  const int length = static_cast<int>(size > 260 ? 260 : size);
  const int missing = CheckAdu(data, length);
  if (missing < 0) return 0;
  Check(missing <= 254);
  ModbusRequest r;
  const int exception = DecodeRequest(data, length, &r);
  Check(exception == 0 || exception == kIllegalFunction || exception == kIllegalDataValue);
  if (exception != 0) return 0;
  Check(r.count >= 1 && r.count <= 2000);
  Check(!r.write || static_cast<int>(r.values.size()) == r.count);
  const int station = line.map.unit_station[static_cast<size_t>(r.unit)];
  if (station < 0) return 0;
  const int space = r.bit ? kModbusBits : kModbusWords;
  if (r.write) {
    for (uint16_t v : r.values) Check(!r.bit || v <= 1);
    const auto points =
        line.map.WritablePoints(static_cast<size_t>(station), r.bit, r.address, r.count);
    Check(points.empty() || static_cast<int>(points.size()) == r.count);
    for (const ModbusPoint* p : points) Check(p->tag_id != 0 && p->writable);
    Check(points.empty() || r.address + r.count <= space);
    return 0;
  }
  std::vector<uint16_t> words(static_cast<size_t>(r.count));
  std::vector<uint8_t> bits(static_cast<size_t>(r.count));
  const int served = r.bit ? line.image.ReadBits(static_cast<size_t>(station), r.address, r.count,
                                                 bits.data(), 1100)
                           : line.image.ReadWords(static_cast<size_t>(station), r.address, r.count,
                                                  words.data(), 1100);
  Check(served == 0 || served == kIllegalDataAddress || served == kGatewayTargetFailed);
  if (served == 0) {
    Check(r.address + r.count <= space);
    for (int i = 0; i < r.count; ++i) {
      const ModbusPoint* p = r.bit ? line.map.Bit(static_cast<size_t>(station), r.address + i)
                                   : line.map.Word(static_cast<size_t>(station), r.address + i);
      Check(p != nullptr && p->tag_id != 0);
    }
  }
  return 0;
}
