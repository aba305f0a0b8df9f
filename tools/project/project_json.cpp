#include "tools/project/project_json.h"

#include <strings.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "model/device_areas.h"
#include "model/dravik_doc.h"
#include "model/project_text.h"
#include "platform/archive.h"
#include "platform/file_io.h"

namespace dravik::project {

namespace {

// Limits the block dialog applies.
constexpr int kMaxBlockCount = 480;
constexpr int kMaxWordBlockCount = 60;
constexpr int kMaxPeriodMs = 999900;
constexpr int kMaxPortIndex = 255;

const char* const kParityNames[] = {"none", "even", "odd"};

// Names compare ignoring case as strcasecmp does in the C locale the tool
// runs in: ASCII letters only.
std::string LowerAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// A value echoed in a message, cut to a readable length (EchoText).
std::string Quote(const std::string& s) { return "\"" + EchoText(s) + "\""; }

// The keys each object may hold; anything else is a typo that would
// otherwise fall back to a default in silence. "encoding" names the text
// encoding of the file's strings ("utf-8" or "cp949").
const std::vector<const char*> kTopKeys = {"header", "encoding", "station_names",
                                           "port",   "stations", "trailing_bytes"};
const std::vector<const char*> kHeaderKeys = {"value", "desc"};
const std::vector<const char*> kPortKeys = {"com",       "port",
                                            "baud",      "baud_index",
                                            "parity",    "parity_index",
                                            "data_bits", "data_bits_index",
                                            "stop_bits", "stop_bits_index",
                                            "checksum",  "rts_cts",
                                            "options"};
const std::vector<const char*> kStationKeys = {"name", "description", "number", "blocks"};
const std::vector<const char*> kBlockKeys = {"address", "area", "start", "count", "period"};

std::string HexBytes(const std::vector<uint8_t>& bytes) {
  std::string out;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes) {
  if (text.size() % 2 != 0) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = nibble(text[i]);
    const int lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes->push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

// Collects errors with the context they belong to, and reads JSON values
// without throwing: a value of the wrong type is an error, not an exception.
class Reader {
 public:
  explicit Reader(std::vector<std::string>* errors) : errors_(errors) {}

  void Error(const std::string& where, const std::string& what) {
    errors_->push_back("error: " + (where.empty() ? what : where + ": " + what));
  }

  // An optional whole number that fits in int32 (or, with `as_unsigned`, in
  // uint32). Returns false (after an error) when present but unfit.
  bool Int(const Json& obj, const char* key, const std::string& where, int64_t* out, bool* present,
           bool as_unsigned = false) {
    *present = false;
    const auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return true;
    const int64_t lo = as_unsigned ? 0 : std::numeric_limits<int32_t>::min();
    const int64_t hi = as_unsigned ? int64_t{std::numeric_limits<uint32_t>::max()}
                                   : int64_t{std::numeric_limits<int32_t>::max()};
    int64_t v = 0;
    if (it->is_number_unsigned()) {
      const uint64_t u = it->get<uint64_t>();
      if (u > static_cast<uint64_t>(hi)) return Bad(where, key, "is out of range");
      v = static_cast<int64_t>(u);
    } else if (it->is_number_integer()) {
      v = it->get<int64_t>();
    } else if (it->is_number_float()) {
      const double d = it->get<double>();
      if (std::trunc(d) != d) return Bad(where, key, "must be a whole number");
      // Range first: converting a double beyond int64 is undefined.
      if (d < static_cast<double>(lo) || d > static_cast<double>(hi)) {
        return Bad(where, key, "is out of range");
      }
      v = static_cast<int64_t>(d);
    } else {
      return Bad(where, key, "must be a number");
    }
    if (v < lo || v > hi) return Bad(where, key, "is out of range");
    *out = v;
    *present = true;
    return true;
  }

  bool String(const Json& obj, const char* key, const std::string& where, std::string* out,
              bool* present) {
    *present = false;
    const auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return true;
    if (!it->is_string()) return Bad(where, key, "must be a string");
    const std::string& text = it->get_ref<const std::string&>();
    // The file stores zero-terminated texts: a NUL would cut the text there.
    if (text.find('\0') != std::string::npos) {
      return Bad(where, key, Quote(text) + " holds a NUL character");
    }
    *out = text;
    *present = true;
    return true;
  }

  // Every key of `obj` must be one of `known`.
  void Keys(const Json& obj, const std::vector<const char*>& known, const std::string& where) {
    for (const auto& item : obj.items()) {
      const bool ok = std::any_of(known.begin(), known.end(),
                                  [&item](const char* k) { return item.key() == k; });
      if (ok) continue;
      std::string list;
      for (const char* k : known) list += std::string(list.empty() ? "" : ", ") + k;
      Error(where.empty() ? "top level" : where,
            "unknown key " + Quote(item.key()) + " (known: " + list + ")");
    }
  }

  bool Bool(const Json& obj, const char* key, const std::string& where, bool* out, bool* present) {
    *present = false;
    const auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return true;
    if (!it->is_boolean()) return Bad(where, key, "must be true or false");
    *out = it->get<bool>();
    *present = true;
    return true;
  }

 private:
  bool Bad(const std::string& where, const char* key, const std::string& what) {
    Error(where, Quote(key) + " " + what);
    return false;
  }

  std::vector<std::string>* errors_;
};

std::string StationWhere(size_t index, const std::string& name) {
  return "station " + (name.empty() ? "#" + std::to_string(index + 1) + " (no name)" : Quote(name));
}

std::string BlockWhere(size_t station_index, const std::string& station, size_t block_index,
                       const std::string& address) {
  return StationWhere(station_index, station) + ", block " + std::to_string(block_index + 1) +
         " (" + (address.empty() ? "no address" : EchoText(address)) + ")";
}

std::string AreaAddress(int area, int64_t address) {
  return std::string(kDeviceAreas[area].prefix) + std::to_string(address);
}

bool ReadPort(Reader& r, const Json& json, bool validate, CSerialPort* port) {
  const std::string where = "port";
  if (!json.is_object()) {
    r.Error(where, "must be an object");
    return false;
  }
  r.Keys(json, kPortKeys, where);
  bool ok = true;
  bool present = false;
  int64_t v = 0;
  std::string text;

  // Port: the stored index, else the name COMn.
  if (!r.Int(json, "port", where, &v, &present)) ok = false;
  if (present) {
    port->port = static_cast<int>(v);
  } else if (r.String(json, "com", where, &text, &present) && present) {
    uint32_t n = 0;
    if (text.size() > 3 && strncasecmp(text.c_str(), "COM", 3) == 0 &&
        ReadUnsigned(text.substr(3), 10, &n) && n >= 1 && n <= 256) {
      port->port = static_cast<int>(n) - 1;
    } else {
      r.Error(where, "\"com\" " + Quote(text) + " is not COM1..COM256");
      ok = false;
    }
  }
  if (validate && (port->port < 0 || port->port > kMaxPortIndex)) {
    r.Error(where,
            "port index " + std::to_string(port->port) + " is outside 0..255 (COM1..COM256)");
    ok = false;
  }

  // Baud: the stored index, else the rate.
  if (!r.Int(json, "baud_index", where, &v, &present)) ok = false;
  if (present) {
    port->baud = static_cast<int>(v);
  } else if (r.Int(json, "baud", where, &v, &present) && present) {
    int index = -1;
    for (int i = 0; i < kBaudIndexCount; ++i) {
      if (BaudRateOf(i) == v) index = i;
    }
    if (index < 0) {
      r.Error(where, "baud rate " + std::to_string(v) +
                         " is not one of 300, 600, 1200, 2400, 4800, 9600, 19200");
      ok = false;
    } else {
      port->baud = index;
    }
  }
  if (validate && (port->baud < 0 || port->baud >= kBaudIndexCount)) {
    r.Error(where, "baud index " + std::to_string(port->baud) + " is outside 0..6");
    ok = false;
  }

  // Parity: the stored index, else none/even/odd.
  if (!r.Int(json, "parity_index", where, &v, &present)) ok = false;
  if (present) {
    port->parity = static_cast<int>(v);
  } else if (r.String(json, "parity", where, &text, &present) && present) {
    int index = -1;
    for (int i = 0; i < 3; ++i) {
      if (strcasecmp(text.c_str(), kParityNames[i]) == 0) index = i;
    }
    if (index < 0) {
      r.Error(where, "parity " + Quote(text) + " is not none, even or odd");
      ok = false;
    } else {
      port->parity = index;
    }
  }
  if (validate && (port->parity < 0 || port->parity > 2)) {
    r.Error(where, "parity index " + std::to_string(port->parity) + " is outside 0..2");
    ok = false;
  }

  // Data bits: the stored index, else 7 or 8.
  if (!r.Int(json, "data_bits_index", where, &v, &present)) ok = false;
  if (present) {
    port->data_bits = static_cast<int>(v);
  } else if (r.Int(json, "data_bits", where, &v, &present) && present) {
    if (v == 7 || v == 8) {
      port->data_bits = static_cast<int>(v) - 7;
    } else {
      r.Error(where, "data bits " + std::to_string(v) + " is not 7 or 8");
      ok = false;
    }
  }
  if (validate && (port->data_bits < 0 || port->data_bits > 1)) {
    r.Error(where, "data bits index " + std::to_string(port->data_bits) + " is outside 0..1");
    ok = false;
  }

  // Stop bits: the stored index, else 1 or 2.
  if (!r.Int(json, "stop_bits_index", where, &v, &present)) ok = false;
  if (present) {
    port->stop_bits = static_cast<int>(v);
  } else if (r.Int(json, "stop_bits", where, &v, &present) && present) {
    if (v == 1 || v == 2) {
      port->stop_bits = static_cast<int>(v) - 1;
    } else {
      r.Error(where, "stop bits " + std::to_string(v) + " is not 1 or 2");
      ok = false;
    }
  }
  if (validate && (port->stop_bits < 0 || port->stop_bits > 1)) {
    r.Error(where, "stop bits index " + std::to_string(port->stop_bits) + " is outside 0..1");
    ok = false;
  }

  // Options: the raw word, else the two flags.
  if (!r.Int(json, "options", where, &v, &present, /*as_unsigned=*/true)) ok = false;
  if (present) {
    port->options = static_cast<uint32_t>(v);
  } else {
    bool flag = false;
    uint32_t options = 0;
    if (!r.Bool(json, "checksum", where, &flag, &present)) ok = false;
    if (present && flag) options |= CSerialPort::kUseChecksum;
    if (!r.Bool(json, "rts_cts", where, &flag, &present)) ok = false;
    if (present && flag) options |= CSerialPort::kRtsCts;
    port->options = options;
  }
  // Bits 2..31 are always stored as 0: a word that sets them cannot be kept.
  if ((port->options & ~CSerialPort::kStoredOptions) != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08" PRIX32, port->options);
    r.Error(where,
            std::string("options ") + hex + " set bits other than 0 (checksum) and 1 (RTS/CTS)");
    ok = false;
  }
  return ok;
}

// Reads the area as an index 0..7 or a prefix ("R", "IR", ...). -2 when
// absent, -1 (after an error) when unusable.
int ReadArea(Reader& r, const Json& block, const std::string& where, bool validate) {
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

// `placed` tells whether area and start are known, so overlaps can be judged.
bool ReadBlock(Reader& r, const Json& json, bool validate, size_t si, const std::string& sname,
               size_t bi, CCommBlockDVK* block, bool* placed) {
  *placed = false;
  std::string address;
  bool present = false;
  std::string where = BlockWhere(si, sname, bi, "");
  if (!json.is_object()) {
    r.Error(where, "must be an object");
    return false;
  }
  if (!r.String(json, "address", where, &address, &present)) return false;
  r.Keys(json, kBlockKeys, BlockWhere(si, sname, bi, address));
  if (!present) {
    r.Error(where, "\"address\" is missing");
    return false;
  }
  where = BlockWhere(si, sname, bi, address);

  bool ok = true;
  int64_t v = 0;
  bool has_count = false;
  bool has_period = false;
  bool has_start = false;
  int64_t stored_start = 0;
  if (!r.Int(json, "count", where, &v, &has_count)) {
    ok = false;
  } else if (has_count) {
    block->count = static_cast<int>(v);
  }
  if (!r.Int(json, "period", where, &v, &has_period)) {
    ok = false;
  } else if (has_period) {
    block->period_ms = static_cast<int>(v);
  }
  if (!r.Int(json, "start", where, &stored_start, &has_start)) ok = false;
  const int area_given = ReadArea(r, json, where, validate);
  if (area_given == -1) return false;

  std::string rest = address;
  const int area_of_text = SplitAreaAddress(address, &rest);

  if (!validate) {
    // Stored values as given; what is missing comes from the address text.
    block->address_text = address;
    int area = area_given;
    if (area == -2) area = area_of_text;
    if (area < 0) {
      r.Error(where, "no area given and the address names no device area");
      return false;
    }
    block->area = area;
    if (has_start) {
      block->start = static_cast<int>(stored_start);
    } else {
      uint32_t start = 0;
      if (!ReadUnsigned(rest, 10, &start)) {
        r.Error(where, "no start given and the address has no number");
        return false;
      }
      block->start = static_cast<int>(start);
    }
    return ok;
  }

  int area = area_given;
  if (area == -2) {
    if (area_of_text < 0) {
      r.Error(where, "the address names no device area (I, O, FI, FO, C, IR, OR, R)");
      return false;
    }
    area = area_of_text;
  } else if (area_of_text >= 0 && area_of_text != area) {
    r.Error(where, "the address lies in area " + std::string(kDeviceAreas[area_of_text].prefix) +
                       ", not in the block's area " + kDeviceAreas[area].prefix);
    return false;
  }
  // Without a prefix the text is the start as the block dialog takes it.
  if (area_of_text < 0) rest = address;

  std::string text = rest;
  uint32_t start = 0;
  if (rest.size() >= kBlockStartBufferBytes || ValidateBlockStart(text, area, &start) == 0) {
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
    r.Error(where, why);
    return false;
  }
  if (has_start && stored_start != static_cast<int64_t>(start)) {
    r.Error(where, "stored start " + std::to_string(stored_start) + " differs from the address's " +
                       std::to_string(start));
    ok = false;
  }
  block->address_text = text;
  block->area = area;
  block->start = static_cast<int>(start);
  *placed = true;

  const int max_count = IsBitArea(area) ? kMaxBlockCount : kMaxWordBlockCount;
  if (block->count < 1 || block->count > max_count) {
    r.Error(where, "count " + std::to_string(block->count) + " is outside 1.." +
                       std::to_string(max_count) + (IsBitArea(area) ? " bits" : " words"));
    ok = false;
  } else if (BlockFitsArea(area, start, static_cast<uint32_t>(block->count)) == 0) {
    r.Error(where, "range " + AreaAddress(area, start) + ".." +
                       AreaAddress(area, int64_t{start} + block->count - 1) +
                       " exceeds the area's highest address " +
                       std::to_string(kDeviceAreas[area].highest));
    ok = false;
  }
  if (block->period_ms < 0 || block->period_ms > kMaxPeriodMs) {
    r.Error(where, "period " + std::to_string(block->period_ms) + " ms is outside 0..999900");
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

  void Station(Reader& r, size_t si, const CStationInfoDVK& station,
               const std::vector<bool>& placed) {
    ++serial_;
    const auto& blocks = station.blocks;
    for (size_t j = 0; j < blocks.size(); ++j) {
      const CCommBlockDVK& b = *blocks[j];
      // An empty range overlaps nothing (its count is an error of its own).
      if (!placed[j] || b.count < 1 || b.start < 1) continue;
      // Placed blocks start inside their area; a range beyond its end (an
      // error of its own) meets another block, if at all, inside the area.
      const int64_t b_end = int64_t{b.start} + b.count - 1;
      const int64_t last = std::min<int64_t>(b_end, kDeviceAreas[b.area].highest);
      std::vector<Cell>& cells = cells_[b.area];
      size_t first = blocks.size();
      for (int64_t address = b.start; address <= last; ++address) {
        Cell& cell = cells[static_cast<size_t>(address)];
        if (cell.serial == serial_) {
          first = std::min(first, cell.block);
        } else {
          cell = Cell{serial_, j};
        }
      }
      if (first == blocks.size()) continue;
      const CCommBlockDVK& a = *blocks[first];
      const int64_t a_end = int64_t{a.start} + a.count - 1;
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
  std::vector<Cell> cells_[kAreaCount];
  uint64_t serial_ = 0;
};

// Walks the JSON text once before it is built, for what the built document
// can no longer tell:
// - a key given twice in one object, which the parser would settle in
//   silence by keeping the last; refused, naming the key and where it is, as
//   a JSON path ($.stations[2].blocks[0], counting from 0);
// - nesting deeper than kMaxJsonDepth. A value at depth d (the top level's
//   members at 1) beyond the limit stops the walk, so the walk's own stack of
//   open objects and arrays stays bounded too.
// Syntax errors come with the parser's own message.
class JsonCheck : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return Value(); }
  bool boolean(bool) override { return Value(); }
  bool number_integer(number_integer_t) override { return Value(); }
  bool number_unsigned(number_unsigned_t) override { return Value(); }
  bool number_float(number_float_t, const string_t&) override { return Value(); }
  bool string(string_t&) override { return Value(); }
  bool binary(binary_t&) override { return Value(); }
  bool start_object(std::size_t) override { return Open(true); }
  bool start_array(std::size_t) override { return Open(false); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }

  bool key(string_t& key) override {
    if (!Deep()) return false;
    Frame& frame = frames_.back();
    if (!frame.keys.insert(key).second) {
      error_ = "the key " + Quote(key) + " is given twice in " + Path() +
               " (each key of an object is given once)";
      return false;
    }
    frame.key = key;
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    error_ = EchoText(e.what(), kParserMessageBytes);
    return false;
  }

  const std::string& error() const { return error_; }

 private:
  // The parser's messages quote the text they stopped at: cut, but later.
  static constexpr size_t kParserMessageBytes = 200;

  struct Frame {
    bool object = false;
    std::unordered_set<std::string> keys;  // an object's keys so far
    std::string key;                       // an object's current key
    size_t items = 0;                      // an array's items so far
  };

  // False once the depth is beyond the limit (the depth counts the open
  // objects and arrays around the value).
  bool Deep() {
    if (frames_.size() <= static_cast<size_t>(kMaxJsonDepth)) return true;
    error_ =
        "arrays and objects are nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
    return false;
  }
  bool Value() {
    if (!frames_.empty() && !frames_.back().object) ++frames_.back().items;
    return Deep();
  }
  bool Open(bool object) {
    if (!Value()) return false;
    frames_.emplace_back();
    frames_.back().object = object;
    return true;
  }
  bool Close() {
    frames_.pop_back();
    return true;
  }
  // Where the innermost open object or array sits.
  std::string Path() const {
    std::string path = "$";
    for (size_t i = 0; i + 1 < frames_.size(); ++i) {
      path += frames_[i].object ? "." + EchoText(frames_[i].key)
                                : "[" + std::to_string(frames_[i].items - 1) + "]";
    }
    return path;
  }

  std::vector<Frame> frames_;
  std::string error_;
};

}  // namespace

bool ParseProjectJson(std::string_view text, Json* json, std::string* error) {
  // Checked first, then built: the walk refuses what building would hide (a
  // key given twice) or could not survive (nesting without end).
  JsonCheck check;
  if (!Json::sax_parse(text.begin(), text.end(), &check)) {
    *error = check.error();
    return false;
  }
  try {
    *json = Json::parse(text.begin(), text.end());
  } catch (const Json::exception& e) {
    *error = EchoText(e.what());
    return false;
  }
  return true;
}

const char* ParityName(int index) { return index >= 0 && index < 3 ? kParityNames[index] : ""; }

bool LoadImage(const std::string& path, ProjectImage* image, bool* canonical, std::string* error) {
  CDravikNetDoc doc;
  if (doc.LoadFile(path.c_str()) == 0) {
    *error = doc.LastError();
    if (error->find(path) == std::string::npos) *error = path + ": " + *error;
    return false;
  }
  image->station_names = doc.StationNames();
  image->port = doc.Port();
  image->stations = std::move(doc.Stations());
  image->trailing.clear();
  image->encoding = doc.Encoding();

  std::vector<uint8_t> file;
  if (!ReadWholeFile(path, CDravikNetDoc::kMaxFileBytes, &file, error)) return false;
  std::vector<uint8_t> again;
  std::string unwritable;
  *canonical = ImageBytes(*image, &again, &unwritable) && file.size() >= again.size() &&
               std::equal(again.begin(), again.end(), file.begin());
  if (*canonical)
    image->trailing.assign(file.begin() + static_cast<ptrdiff_t>(again.size()), file.end());
  return true;
}

bool ImageBytes(const ProjectImage& image, std::vector<uint8_t>* bytes, std::string* error) {
  if (!CheckProjectTexts(image.station_names, image.stations, image.encoding, error)) {
    return false;
  }
  CArchive ar;
  ar.SetTextEncoding(image.encoding);
  CTarselHeader header(CDravikNetDoc::kHeaderValue);
  header.SetDesc(CDravikNetDoc::kHeaderDesc);
  header.Serialize(ar);
  ar.PutCount(image.station_names.size());
  for (const auto& name : image.station_names) ar.PutString(name);
  CSerialPort port = image.port;
  port.Serialize(ar);
  ar.PutCount(image.stations.size());
  for (const auto& station : image.stations) {
    ar.PutClassRef(CStationInfoDVK::kClassName, kSchema);
    station->Serialize(ar);
  }
  if (!ar.ok()) {
    *error = ar.Error();
    return false;
  }
  *bytes = ar.Bytes();
  bytes->insert(bytes->end(), image.trailing.begin(), image.trailing.end());
  return true;
}

Json ImageToJson(const ProjectImage& image) {
  Json out;
  out["header"] = {{"value", CDravikNetDoc::kHeaderValue}, {"desc", CDravikNetDoc::kHeaderDesc}};
  out["encoding"] = TextEncodingName(image.encoding);
  out["station_names"] = image.station_names;

  const CSerialPort& p = image.port;
  Json port;
  port["com"] = p.port >= 0 && p.port <= kMaxPortIndex ? Json("COM" + std::to_string(p.port + 1))
                                                       : Json(nullptr);
  port["port"] = p.port;
  port["baud"] = p.baud >= 0 && p.baud < kBaudIndexCount ? Json(BaudRateOf(p.baud)) : Json(nullptr);
  port["baud_index"] = p.baud;
  port["parity"] = p.parity >= 0 && p.parity <= 2 ? Json(ParityName(p.parity)) : Json(nullptr);
  port["parity_index"] = p.parity;
  port["data_bits"] = p.data_bits == 0 || p.data_bits == 1 ? Json(p.data_bits + 7) : Json(nullptr);
  port["data_bits_index"] = p.data_bits;
  port["stop_bits"] = p.stop_bits == 0 || p.stop_bits == 1 ? Json(p.stop_bits + 1) : Json(nullptr);
  port["stop_bits_index"] = p.stop_bits;
  port["checksum"] = (p.options & CSerialPort::kUseChecksum) != 0;
  port["rts_cts"] = (p.options & CSerialPort::kRtsCts) != 0;
  port["options"] = p.options;
  out["port"] = port;

  Json stations = Json::array();
  for (const auto& s : image.stations) {
    Json station;
    station["name"] = s->name;
    station["description"] = s->description;
    station["number"] = s->number;
    Json blocks = Json::array();
    for (const auto& b : s->blocks) {
      Json block;
      block["address"] = b->address_text;
      block["area"] = b->area;
      block["start"] = b->start;
      block["count"] = b->count;
      block["period"] = b->period_ms;
      blocks.push_back(block);
    }
    station["blocks"] = blocks;
    stations.push_back(station);
  }
  out["stations"] = stations;
  if (!image.trailing.empty()) out["trailing_bytes"] = HexBytes(image.trailing);
  return out;
}

bool ImageFromJson(const Json& json, bool validate, ProjectImage* image,
                   std::vector<std::string>* errors, std::vector<std::string>* warnings) {
  Reader r(errors);
  const size_t errors_before = errors->size();
  *image = ProjectImage{};
  if (!json.is_object()) {
    r.Error("", "the project must be a JSON object");
    return false;
  }
  r.Keys(json, kTopKeys, "");

  // The header is fixed: anything else would not load as a project file.
  if (const auto it = json.find("header"); it != json.end() && !it->is_null()) {
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
  if (const auto it = json.find("encoding"); it != json.end() && !it->is_null()) {
    if (!it->is_string() || !TextEncodingFromName(it->get<std::string>(), &image->encoding)) {
      r.Error("", "\"encoding\" must be \"utf-8\" or \"cp949\"");
    }
  }

  if (const auto it = json.find("port"); it != json.end() && !it->is_null()) {
    ReadPort(r, *it, validate, &image->port);
  } else if (warnings != nullptr) {
    warnings->push_back(
        "warning: \"port\" is missing; the default settings are written (COM1, 9600 baud, no "
        "parity, 8 data bits, 1 stop bit)");
  }

  std::vector<std::vector<bool>> placed;  // per station and block
  const auto st = json.find("stations");
  if (st == json.end() || st->is_null()) {
    r.Error("top level", "\"stations\" is missing (an array of stations; [] for none)");
  } else if (!st->is_array()) {
    r.Error("", "\"stations\" must be an array");
  } else if (st != json.end() && st->is_array()) {
    for (size_t si = 0; si < st->size(); ++si) {
      const Json& sj = (*st)[si];
      auto station = std::make_unique<CStationInfoDVK>();
      if (!sj.is_object()) {
        r.Error(StationWhere(si, ""), "must be an object");
        continue;
      }
      placed.emplace_back();
      bool present = false;
      int64_t v = 0;
      r.String(sj, "name", StationWhere(si, ""), &station->name, &present);
      const std::string where = StationWhere(si, station->name);
      r.Keys(sj, kStationKeys, where);
      r.String(sj, "description", where, &station->description, &present);
      if (r.Int(sj, "number", where, &v, &present) && present) {
        station->number = static_cast<int>(v);
      }
      if (const auto bl = sj.find("blocks"); bl != sj.end() && !bl->is_null()) {
        if (!bl->is_array()) {
          r.Error(where, "\"blocks\" must be an array");
        } else {
          for (size_t bi = 0; bi < bl->size(); ++bi) {
            auto block = std::make_unique<CCommBlockDVK>();
            bool block_placed = false;
            ReadBlock(r, (*bl)[bi], validate, si, station->name, bi, block.get(), &block_placed);
            placed.back().push_back(block_placed);
            station->blocks.push_back(std::move(block));
          }
        }
      }
      image->stations.push_back(std::move(station));
    }
  }

  if (validate) {
    // Each name and number is looked up among those seen before it, not
    // compared with every station before it.
    const auto& stations = image->stations;
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

  // The names list: as stored when given, else rebuilt as saving does.
  std::vector<std::string> names;
  for (const auto& s : image->stations) names.push_back(s->name);
  if (const auto it = json.find("station_names"); it != json.end() && !it->is_null()) {
    bool all_strings = it->is_array();
    if (all_strings) {
      for (const auto& n : *it) {
        all_strings = all_strings && n.is_string() &&
                      n.get_ref<const std::string&>().find('\0') == std::string::npos;
      }
    }
    if (!all_strings) {
      r.Error("", "\"station_names\" must be an array of strings without NUL characters");
    } else {
      image->station_names = it->get<std::vector<std::string>>();
      if (validate && image->station_names != names) {
        r.Error("",
                "\"station_names\" does not list the stations' names in order (remove it to "
                "have it rebuilt, or use --no-validate to keep it)");
      }
    }
  } else {
    image->station_names = names;
  }

  if (const auto it = json.find("trailing_bytes"); it != json.end() && !it->is_null()) {
    if (!it->is_string() || !ParseHexBytes(it->get<std::string>(), &image->trailing)) {
      r.Error("", "\"trailing_bytes\" must be a string of hexadecimal byte pairs");
    }
  }
  return errors->size() == errors_before;
}

std::string DescribeImage(const ProjectImage& image) {
  std::string out;
  char line[512];
  auto add = [&out, &line](const char* fmt, auto... args) {
    std::snprintf(line, sizeof line, fmt, args...);
    out += line;
  };
  auto index_text = [](bool valid, const std::string& text, int index) {
    return valid ? text + " (index " + std::to_string(index) + ")"
                 : "invalid (index " + std::to_string(index) + ")";
  };

  const CSerialPort& p = image.port;
  add("Text encoding: %s\n", image.encoding == TextEncoding::kCp949
                                 ? "cp949 (code page 949, as the Windows original writes)"
                                 : "utf-8");
  out += "Port settings\n";
  add("  Port:        %s\n",
      index_text(p.port >= 0 && p.port <= kMaxPortIndex, "COM" + std::to_string(p.port + 1), p.port)
          .c_str());
  add("  Baud rate:   %s\n",
      index_text(p.baud >= 0 && p.baud < kBaudIndexCount,
                 std::to_string(p.baud >= 0 && p.baud < kBaudIndexCount ? BaudRateOf(p.baud) : 0) +
                     " bit/s",
                 p.baud)
          .c_str());
  add("  Parity:      %s\n",
      index_text(p.parity >= 0 && p.parity <= 2, ParityName(p.parity), p.parity).c_str());
  add("  Data bits:   %s\n",
      index_text(p.data_bits == 0 || p.data_bits == 1, std::to_string(p.data_bits + 7), p.data_bits)
          .c_str());
  add("  Stop bits:   %s\n",
      index_text(p.stop_bits == 0 || p.stop_bits == 1, std::to_string(p.stop_bits + 1), p.stop_bits)
          .c_str());
  add("  Options:     0x%08" PRIX32 " (Check Sum 사용: %s, RTS/CTS 제어: %s%s)\n", p.options,
      (p.options & CSerialPort::kUseChecksum) ? "on" : "off",
      (p.options & CSerialPort::kRtsCts) ? "on" : "off",
      (p.options & ~(CSerialPort::kUseChecksum | CSerialPort::kRtsCts)) ? "; other bits ignored"
                                                                        : "");

  add("Stations: %zu\n", image.stations.size());
  for (size_t i = 0; i < image.stations.size(); ++i) {
    const CStationInfoDVK& s = *image.stations[i];
    add("  %zu. %s\n", i + 1, s.Label().c_str());
    add("     Name:        %s\n", s.name.c_str());
    add("     Number:      0x%02X (%d)\n", static_cast<unsigned>(s.number), s.number);
    add("     Description: %s\n", s.description.c_str());
    add("     Blocks:      %zu\n", s.blocks.size());
    for (size_t j = 0; j < s.blocks.size(); ++j) {
      const CCommBlockDVK& b = *s.blocks[j];
      const bool known = IsValidArea(b.area);
      add("       %zu. %-18s area %s (%d), start %d, count %d %s, period %d ms\n", j + 1,
          b.Label().c_str(), known ? kDeviceAreas[b.area].prefix : "?", b.area, b.start, b.count,
          known && IsBitArea(b.area) ? "bits" : "words", b.period_ms);
    }
  }
  bool names_match = image.station_names.size() == image.stations.size();
  for (size_t i = 0; names_match && i < image.stations.size(); ++i) {
    names_match = image.station_names[i] == image.stations[i]->name;
  }
  if (!names_match) {
    out += "Station names list (differs from the stations):";
    for (const auto& n : image.station_names) out += " " + Quote(n);
    out += "\n";
  }
  if (!image.trailing.empty()) add("Bytes after the station list: %zu\n", image.trailing.size());
  return out;
}

}  // namespace dravik::project
