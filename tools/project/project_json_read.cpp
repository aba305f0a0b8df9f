// Building a project image from its JSON form: header, encoding, port
// settings, stations with their blocks, the names list and the bytes after
// the station list. Every value is read through the field reader, so one
// import reports all problems it finds; with validation the editor's rules
// are applied as each value is read, and the station-wide ones after all
// stations are in.
#include <strings.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "model/device_areas.h"
#include "model/dravik_doc.h"
#include "tools/project/project_json.h"
#include "tools/project/project_json_checks.h"
#include "tools/project/project_json_fields.h"
#include "tools/project/project_json_internal.h"

namespace dravik::project {

namespace {

using internal::BlockInput;
using internal::BlockWhere;
using internal::FieldReader;
using internal::Quote;
using internal::StationWhere;

// The keys each object may hold (the port's are with its reader); anything
// else is a typo that would otherwise fall back to a default in silence.
// "encoding" names the text encoding of the file's strings ("utf-8" or
// "cp949").
const std::vector<const char*> kTopKeys = {"header", "encoding", "station_names",
                                           "port",   "stations", "trailing_bytes"};
const std::vector<const char*> kHeaderKeys = {"value", "desc"};
const std::vector<const char*> kStationKeys = {"name", "description", "number", "blocks"};
const std::vector<const char*> kBlockKeys = {"address", "area", "start", "count", "period"};

// Reads the area as an index 0..7 or a prefix ("R", "IR", ...). -2 when
// absent, -1 (after an error) when unusable.
int ReadArea(FieldReader& r, const Json& block, const std::string& where, bool validate) {
  const auto it = block.find("area");
  if (it == block.end() || it->is_null()) return -2;
  if (it->is_string()) {
    const std::string prefix = it->get<std::string>();
    for (int i = 0; i < kAreaCount; ++i) {
      if (strcasecmp(prefix.c_str(), kDeviceAreas[i].prefix) == 0) return i;
    }
    r.Error(where, "area " + Quote(prefix) + " is not one of I, O, FI, FO, C, IR, OR, R");
    return -1;
  }
  int64_t v = 0;
  bool present = false;
  if (!r.Int(block, "area", where, &v, &present)) return -1;
  if (validate && !IsValidArea(static_cast<int>(v))) {
    r.Error(where, "area " + std::to_string(v) + " is outside 0..7");
    return -1;
  }
  // Stored as is when not validating, whatever its value.
  return static_cast<int>(v);
}

// The block's address text, which every later message names the block by.
// False after an error; `where` is then set for the block either way.
bool ReadBlockAddress(FieldReader& r, const Json& json, size_t si, const std::string& sname,
                      size_t bi, std::string* address, std::string* where) {
  bool present = false;
  *where = BlockWhere(si, sname, bi, "");
  if (!json.is_object()) {
    r.Error(*where, "must be an object");
    return false;
  }
  if (!r.String(json, "address", *where, address, &present)) return false;
  r.Keys(json, kBlockKeys, BlockWhere(si, sname, bi, *address));
  if (!present) {
    r.Error(*where, "\"address\" is missing");
    return false;
  }
  *where = BlockWhere(si, sname, bi, *address);
  return true;
}

// Count and period into the block; the stored start into `input`, to be
// placed (and, validating, compared with the address) later.
bool ReadBlockNumbers(FieldReader& r, const Json& json, const std::string& where,
                      CCommBlockDVK* block, BlockInput* input) {
  bool ok = true;
  int64_t v = 0;
  bool present = false;
  if (!r.Int(json, "count", where, &v, &present)) {
    ok = false;
  } else if (present) {
    block->count = static_cast<int>(v);
  }
  if (!r.Int(json, "period", where, &v, &present)) {
    ok = false;
  } else if (present) {
    block->period_ms = static_cast<int>(v);
  }
  if (!r.Int(json, "start", where, &input->stored_start, &input->has_start)) ok = false;
  return ok;
}

// Without validation: the stored values as given; what is missing comes from
// the address text.
bool PlaceStoredBlock(FieldReader& r, const std::string& where, const BlockInput& input,
                      CCommBlockDVK* block) {
  std::string rest = input.address;
  const int area_of_text = SplitAreaAddress(input.address, &rest);
  block->address_text = input.address;
  int area = input.area_given;
  if (area == -2) area = area_of_text;
  if (area < 0) {
    r.Error(where, "no area given and the address names no device area");
    return false;
  }
  block->area = area;
  if (input.has_start) {
    block->start = static_cast<int>(input.stored_start);
    return true;
  }
  uint32_t start = 0;
  if (!ReadUnsigned(rest, 10, &start)) {
    r.Error(where, "no start given and the address has no number");
    return false;
  }
  block->start = static_cast<int>(start);
  return true;
}

// `placed` tells whether area and start are known, so overlaps can be judged.
bool ReadBlock(FieldReader& r, const Json& json, bool validate, size_t si, const std::string& sname,
               size_t bi, CCommBlockDVK* block, bool* placed) {
  *placed = false;
  BlockInput input;
  std::string where;
  if (!ReadBlockAddress(r, json, si, sname, bi, &input.address, &where)) return false;
  const bool ok = ReadBlockNumbers(r, json, where, block, &input);
  input.area_given = ReadArea(r, json, where, validate);
  if (input.area_given == -1) return false;
  const bool placed_ok = validate ? internal::PlaceCheckedBlock(r, where, input, block, placed)
                                  : PlaceStoredBlock(r, where, input, block);
  return placed_ok && ok;
}

// One station object; `placed` receives, per block, whether its area and
// start are known.
void ReadStation(FieldReader& r, const Json& sj, size_t si, bool validate, CStationInfoDVK* station,
                 std::vector<bool>* placed) {
  bool present = false;
  int64_t v = 0;
  r.String(sj, "name", StationWhere(si, ""), &station->name, &present);
  const std::string where = StationWhere(si, station->name);
  r.Keys(sj, kStationKeys, where);
  r.String(sj, "description", where, &station->description, &present);
  if (r.Int(sj, "number", where, &v, &present) && present) {
    station->number = static_cast<int>(v);
  }
  const auto bl = sj.find("blocks");
  if (bl == sj.end() || bl->is_null()) return;
  if (!bl->is_array()) {
    r.Error(where, "\"blocks\" must be an array");
    return;
  }
  for (size_t bi = 0; bi < bl->size(); ++bi) {
    auto block = std::make_unique<CCommBlockDVK>();
    bool block_placed = false;
    ReadBlock(r, (*bl)[bi], validate, si, station->name, bi, block.get(), &block_placed);
    placed->push_back(block_placed);
    station->blocks.push_back(std::move(block));
  }
}

// The stations list; a station that is not an object is left out (after an
// error), so `placed` stays parallel to the image's stations.
void ReadStations(FieldReader& r, const Json& json, bool validate, ProjectImage* image,
                  std::vector<std::vector<bool>>* placed) {
  const auto st = json.find("stations");
  if (st == json.end() || st->is_null()) {
    r.Error("top level", "\"stations\" is missing (an array of stations; [] for none)");
    return;
  }
  if (!st->is_array()) {
    r.Error("", "\"stations\" must be an array");
    return;
  }
  for (size_t si = 0; si < st->size(); ++si) {
    const Json& sj = (*st)[si];
    auto station = std::make_unique<CStationInfoDVK>();
    if (!sj.is_object()) {
      r.Error(StationWhere(si, ""), "must be an object");
      continue;
    }
    placed->emplace_back();
    ReadStation(r, sj, si, validate, station.get(), &placed->back());
    image->stations.push_back(std::move(station));
  }
}

// The header is fixed: anything else would not load as a project file.
void ReadHeader(FieldReader& r, const Json& json) {
  const auto it = json.find("header");
  if (it == json.end() || it->is_null()) return;
  int64_t value = 0;
  bool has_value = false;
  std::string desc;
  bool has_desc = false;
  if (it->is_object()) r.Keys(*it, kHeaderKeys, "header");
  if (!it->is_object()) {
    r.Error("header", "must be an object");
  } else if (r.Int(*it, "value", "header", &value, &has_value) &&
             r.String(*it, "desc", "header", &desc, &has_desc)) {
    if ((has_value && value != CDravikNetDoc::kHeaderValue) ||
        (has_desc && desc != CDravikNetDoc::kHeaderDesc)) {
      r.Error("header", "must be value 3 and desc \"DravikNet.Dll\"");
    }
  }
}

// The encoding the file's texts are written in; UTF-8 when not given.
void ReadEncoding(FieldReader& r, const Json& json, TextEncoding* encoding) {
  const auto it = json.find("encoding");
  if (it == json.end() || it->is_null()) return;
  if (!it->is_string() || !TextEncodingFromName(it->get<std::string>(), encoding)) {
    r.Error("", "\"encoding\" must be \"utf-8\" or \"cp949\"");
  }
}

// The names list: as stored when given, else rebuilt as saving does.
void ReadStationNames(FieldReader& r, const Json& json, bool validate, ProjectImage* image) {
  std::vector<std::string> names;
  for (const auto& s : image->stations) names.push_back(s->name);
  const auto it = json.find("station_names");
  if (it == json.end() || it->is_null()) {
    image->station_names = names;
    return;
  }
  bool all_strings = it->is_array();
  if (all_strings) {
    for (const auto& n : *it) {
      all_strings = all_strings && n.is_string() &&
                    n.get_ref<const std::string&>().find('\0') == std::string::npos;
    }
  }
  if (!all_strings) {
    r.Error("", "\"station_names\" must be an array of strings without NUL characters");
    return;
  }
  image->station_names = it->get<std::vector<std::string>>();
  if (validate && image->station_names != names) {
    r.Error("",
            "\"station_names\" does not list the stations' names in order (remove it to "
            "have it rebuilt, or use --no-validate to keep it)");
  }
}

void ReadTrailingBytes(FieldReader& r, const Json& json, std::vector<uint8_t>* trailing) {
  const auto it = json.find("trailing_bytes");
  if (it == json.end() || it->is_null()) return;
  if (!it->is_string() || !internal::ParseHexBytes(it->get<std::string>(), trailing)) {
    r.Error("", "\"trailing_bytes\" must be a string of hexadecimal byte pairs");
  }
}

}  // namespace

bool ImageFromJson(const Json& json, bool validate, ProjectImage* image,
                   std::vector<std::string>* errors, std::vector<std::string>* warnings) {
  FieldReader r(errors);
  const size_t errors_before = errors->size();
  *image = ProjectImage{};
  if (!json.is_object()) {
    r.Error("", "the project must be a JSON object");
    return false;
  }
  r.Keys(json, kTopKeys, "");
  ReadHeader(r, json);
  ReadEncoding(r, json, &image->encoding);
  if (const auto it = json.find("port"); it != json.end() && !it->is_null()) {
    internal::ReadPort(r, *it, validate, &image->port);
  } else if (warnings != nullptr) {
    warnings->push_back(
        "warning: \"port\" is missing; the default settings are written (COM1, 9600 baud, no "
        "parity, 8 data bits, 1 stop bit)");
  }
  std::vector<std::vector<bool>> placed;  // per station and block
  ReadStations(r, json, validate, image, &placed);
  if (validate) internal::CheckStations(r, image->stations, placed);
  ReadStationNames(r, json, validate, image);
  ReadTrailingBytes(r, json, &image->trailing);
  return errors->size() == errors_before;
}

}  // namespace dravik::project
