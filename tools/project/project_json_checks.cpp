// The editor's rules as the validating JSON import applies them: a block's
// area, start, count and period as the block dialog accepts them, and the
// station list's unique names and numbers and non-overlapping blocks. Each
// problem becomes one error line naming the station and block.
#include "tools/project/project_json_checks.h"

#include <algorithm>
#include <limits>
#include <unordered_map>

#include "model/device_areas.h"
#include "platform/text_encoding.h"
#include "tools/project/project_json_internal.h"

namespace dravik::project::internal {

namespace {

// The block's area: the stored one, which the address's prefix (if it has
// one) must agree with, else the prefix's. -1 after an error.
int CheckedArea(FieldReader& r, const std::string& where, int area_given, int area_of_text) {
  if (area_given == -2) {
    if (area_of_text < 0) {
      r.Error(where, "the address names no device area (I, O, FI, FO, C, IR, OR, R)");
      return -1;
    }
    return area_of_text;
  }
  if (area_of_text >= 0 && area_of_text != area_given) {
    r.Error(where, "the address lies in area " + std::string(kDeviceAreas[area_of_text].prefix) +
                       ", not in the block's area " + kDeviceAreas[area_given].prefix);
    return -1;
  }
  return area_given;
}

// Why the dialog refuses `rest` as a start in `area`, with the area's range
// when the number lies outside it and the byte boundary rule for bit areas.
std::string StartRefusal(const std::string& rest, int area) {
  std::string why =
      "start address " + Quote(rest) + " is not valid for area " + kDeviceAreas[area].prefix;
  uint32_t n = 0;
  if (rest.size() < kBlockStartBufferBytes && ReadUnsigned(rest, 10, &n)) {
    if (n == 0 || n > kDeviceAreas[area].highest) {
      why += " (1.." + std::to_string(kDeviceAreas[area].highest) + ")";
    } else if (IsBitArea(area)) {
      why += " (a bit block starts on a byte boundary: 1, 9, 17, ...)";
    }
  }
  return why;
}

// The start as the block dialog reads it from `rest` (the address after its
// prefix); `text` receives the address as the dialog leaves it. A text too
// long for the dialog's field is refused before it is looked at. False after
// an error.
bool CheckedStart(FieldReader& r, const std::string& where, const std::string& rest, int area,
                  std::string* text, uint32_t* start) {
  *text = rest;
  if (rest.size() >= kBlockStartBufferBytes || ValidateBlockStart(*text, area, start) == 0) {
    r.Error(where, StartRefusal(rest, area));
    return false;
  }
  return true;
}

// Count within the dialog's limit for the area (bits or words) and inside the
// area from `start` on; period within the dialog's limit.
bool CheckBlockSize(FieldReader& r, const std::string& where, const CCommBlockDVK& block,
                    uint32_t start) {
  bool ok = true;
  const int area = block.area;
  const int max_count = IsBitArea(area) ? kMaxBlockCount : kMaxWordBlockCount;
  if (block.count < 1 || block.count > max_count) {
    r.Error(where, "count " + std::to_string(block.count) + " is outside 1.." +
                       std::to_string(max_count) + (IsBitArea(area) ? " bits" : " words"));
    ok = false;
  } else if (BlockFitsArea(area, start, static_cast<uint32_t>(block.count)) == 0) {
    r.Error(where, "range " + AreaAddress(area, start) + ".." +
                       AreaAddress(area, int64_t{start} + block.count - 1) +
                       " exceeds the area's highest address " +
                       std::to_string(kDeviceAreas[area].highest));
    ok = false;
  }
  if (block.period_ms < 0 || block.period_ms > kMaxPeriodMs) {
    r.Error(where, "period " + std::to_string(block.period_ms) + " ms is outside 0..999900");
    ok = false;
  }
  return ok;
}

// Two blocks of one station and area overlapping: reported on the later one,
// naming the first block before it that it overlaps. Every address of an
// area remembers the first block of the station that covers it, so a block
// costs the addresses it spans (at most its area's size) instead of a look at
// every block before it: a station with 100 000 blocks is checked in time
// proportional to them, not to their square. One checker serves all stations
// of a project; the station's serial tells its marks from older ones.
class OverlapCheck {
 public:
  OverlapCheck() {
    for (int a = 0; a < kAreaCount; ++a) cells_[a].resize(kDeviceAreas[a].highest + 1);
  }

  void Station(FieldReader& r, size_t si, const CStationInfoDVK& station,
               const std::vector<bool>& placed) {
    ++serial_;
    const auto& blocks = station.blocks;
    for (size_t j = 0; j < blocks.size(); ++j) {
      const CCommBlockDVK& b = *blocks[j];
      // An empty range overlaps nothing (its count is an error of its own).
      if (!placed[j] || b.count < 1 || b.start < 1) continue;
      const size_t first = Mark(b, j, blocks.size());
      if (first == blocks.size()) continue;
      const CCommBlockDVK& a = *blocks[first];
      const int64_t a_end = int64_t{a.start} + a.count - 1;
      const int64_t b_end = int64_t{b.start} + b.count - 1;
      r.Error(BlockWhere(si, station.name, j, b.address_text),
              "range " + AreaAddress(b.area, b.start) + ".." + AreaAddress(b.area, b_end) +
                  " overlaps block " + std::to_string(first + 1) + " (" + EchoText(a.address_text) +
                  ", " + AreaAddress(a.area, a.start) + ".." + AreaAddress(a.area, a_end) + ")");
    }
  }

 private:
  struct Cell {
    uint64_t serial = 0;  // the station that marked it; 0: none yet
    size_t block = 0;     // the first of its blocks to cover the address
  };

  // Marks the addresses block `j` covers and returns the first earlier block
  // of the station met among them, `none` when there is none.
  size_t Mark(const CCommBlockDVK& b, size_t j, size_t none) {
    // Placed blocks start inside their area; a range beyond its end (an
    // error of its own) meets another block, if at all, inside the area.
    const int64_t b_end = int64_t{b.start} + b.count - 1;
    const int64_t last = std::min<int64_t>(b_end, kDeviceAreas[b.area].highest);
    std::vector<Cell>& cells = cells_[b.area];
    size_t first = none;
    for (int64_t address = b.start; address <= last; ++address) {
      Cell& cell = cells[static_cast<size_t>(address)];
      if (cell.serial == serial_) {
        first = std::min(first, cell.block);
      } else {
        cell = Cell{serial_, j};
      }
    }
    return first;
  }

  std::vector<Cell> cells_[kAreaCount];
  uint64_t serial_ = 0;
};

}  // namespace

bool CheckPortIndex(FieldReader& r, const std::string& where, const char* what, int index,
                    int highest, const char* note) {
  if (index >= 0 && index <= highest) return true;
  r.Error(where, std::string(what) + " index " + std::to_string(index) + " is outside 0.." +
                     std::to_string(highest) + note);
  return false;
}

bool PlaceCheckedBlock(FieldReader& r, const std::string& where, const BlockInput& input,
                       CCommBlockDVK* block, bool* placed) {
  std::string rest = input.address;
  const int area_of_text = SplitAreaAddress(input.address, &rest);
  const int area = CheckedArea(r, where, input.area_given, area_of_text);
  if (area < 0) return false;
  // Without a prefix the text is the start as the block dialog takes it.
  if (area_of_text < 0) rest = input.address;

  std::string text;
  uint32_t start = 0;
  if (!CheckedStart(r, where, rest, area, &text, &start)) return false;
  bool ok = true;
  if (input.has_start && input.stored_start != static_cast<int64_t>(start)) {
    r.Error(where, "stored start " + std::to_string(input.stored_start) +
                       " differs from the address's " + std::to_string(start));
    ok = false;
  }
  block->address_text = text;
  block->area = area;
  block->start = static_cast<int>(start);
  *placed = true;
  return CheckBlockSize(r, where, *block, start) && ok;
}

void CheckStations(FieldReader& r, const std::vector<std::unique_ptr<CStationInfoDVK>>& stations,
                   const std::vector<std::vector<bool>>& placed) {
  // Each name and number is looked up among those seen before it, not
  // compared with every station before it.
  std::unordered_map<std::string, size_t> first_with_name;  // by the name in lower case
  constexpr size_t kNone = std::numeric_limits<size_t>::max();
  std::vector<size_t> first_with_number(256, kNone);
  OverlapCheck overlaps;
  for (size_t i = 0; i < stations.size(); ++i) {
    const CStationInfoDVK& s = *stations[i];
    const std::string where = StationWhere(i, s.name);
    if (s.name.empty()) {
      r.Error(where, "the name is empty");
    } else if (const auto [it, added] = first_with_name.emplace(LowerAscii(s.name), i); !added) {
      r.Error(where, "the name is already used by station " + std::to_string(it->second + 1) +
                         " (" + Quote(stations[it->second]->name) + ")");
    }
    if (s.number < 1 || s.number > 255) {
      r.Error(where, "number " + std::to_string(s.number) + " is outside 1..255 (01H..FFH)");
    } else if (size_t& first = first_with_number[static_cast<size_t>(s.number)]; first == kNone) {
      first = i;
    } else {
      r.Error(where, "number " + std::to_string(s.number) + " is already used by station " +
                         Quote(stations[first]->name));
    }
    overlaps.Station(r, i, s, placed[i]);
  }
}

}  // namespace dravik::project::internal
