// The rules the configuration editor enforces, applied by the JSON import
// when it validates: port indexes in range, a block's address, count and
// period, unique station names and numbers, blocks that do not overlap. The
// reader calls them at the point each value is read, so errors keep the
// order in which the input gives the values.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/comm_block.h"
#include "model/station_info.h"
#include "tools/project/project_json_fields.h"

namespace dravik::project::internal {

// What the reader took from a block object before placing it.
struct BlockInput {
  std::string address;  // the address text as given
  int area_given = -2;  // the "area" value; -2 when absent
  bool has_start = false;
  int64_t stored_start = 0;  // the "start" value, when has_start
};

// A stored port index outside 0..`highest` is an error naming `what` ("baud",
// "parity", ...) followed by `note`. False after such an error.
bool CheckPortIndex(FieldReader& r, const std::string& where, const char* what, int index,
                    int highest, const char* note = "");

// Places a block as the block dialog would: area and start from the address
// (agreeing with the stored ones when given), then count and period within
// the dialog's limits. `placed` tells whether area and start are now known,
// so overlaps can be judged. False when any of it failed.
bool PlaceCheckedBlock(FieldReader& r, const std::string& where, const BlockInput& input,
                       CCommBlockDVK* block, bool* placed);

// What only the whole list of stations tells: names unique ignoring case,
// numbers in 1..255 and unique, and no two blocks of a station overlapping.
// `placed` holds, per station and block, what PlaceCheckedBlock said.
void CheckStations(FieldReader& r, const std::vector<std::unique_ptr<CStationInfoDVK>>& stations,
                   const std::vector<std::vector<bool>>& placed);

}  // namespace dravik::project::internal
