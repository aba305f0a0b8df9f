// Reading the port settings object of a project's JSON. Each setting is
// taken as its stored index when given, else from its readable form (COM3,
// 9600, "even", 8, 1); the stored form wins so that a file the editor would
// not write still round-trips.
#include <strings.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "model/device_areas.h"
#include "tools/project/project_json_checks.h"
#include "tools/project/project_json_fields.h"
#include "tools/project/project_json_internal.h"

namespace dravik::project::internal {

namespace {

// The keys the "port" object may hold: each setting's stored index and its
// readable form, the options word and its two flags.
const std::vector<const char*> kPortKeys = {"com",       "port",
                                            "baud",      "baud_index",
                                            "parity",    "parity_index",
                                            "data_bits", "data_bits_index",
                                            "stop_bits", "stop_bits_index",
                                            "checksum",  "rts_cts",
                                            "options"};

// Port: the stored index, else the name COMn.
bool ReadPortNumber(FieldReader& r, const Json& json, const std::string& where, bool validate,
                    int* port) {
  bool ok = true;
  bool present = false;
  int64_t v = 0;
  std::string text;
  if (!r.Int(json, "port", where, &v, &present)) ok = false;
  if (present) {
    *port = static_cast<int>(v);
  } else if (r.String(json, "com", where, &text, &present) && present) {
    uint32_t n = 0;
    if (text.size() > 3 && strncasecmp(text.c_str(), "COM", 3) == 0 &&
        ReadUnsigned(text.substr(3), 10, &n) && n >= 1 && n <= 256) {
      *port = static_cast<int>(n) - 1;
    } else {
      r.Error(where, "\"com\" " + Quote(text) + " is not COM1..COM256");
      ok = false;
    }
  }
  if (validate && !CheckPortIndex(r, where, "port", *port, kMaxPortIndex, " (COM1..COM256)")) {
    ok = false;
  }
  return ok;
}

// Baud: the stored index, else the rate.
bool ReadBaud(FieldReader& r, const Json& json, const std::string& where, bool validate,
              int* baud) {
  bool ok = true;
  bool present = false;
  int64_t v = 0;
  if (!r.Int(json, "baud_index", where, &v, &present)) ok = false;
  if (present) {
    *baud = static_cast<int>(v);
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
      *baud = index;
    }
  }
  if (validate && !CheckPortIndex(r, where, "baud", *baud, kBaudIndexCount - 1)) ok = false;
  return ok;
}

// Parity: the stored index, else none/even/odd.
bool ReadParity(FieldReader& r, const Json& json, const std::string& where, bool validate,
                int* parity) {
  bool ok = true;
  bool present = false;
  int64_t v = 0;
  std::string text;
  if (!r.Int(json, "parity_index", where, &v, &present)) ok = false;
  if (present) {
    *parity = static_cast<int>(v);
  } else if (r.String(json, "parity", where, &text, &present) && present) {
    int index = -1;
    for (int i = 0; i < 3; ++i) {
      if (strcasecmp(text.c_str(), kParityNames[i]) == 0) index = i;
    }
    if (index < 0) {
      r.Error(where, "parity " + Quote(text) + " is not none, even or odd");
      ok = false;
    } else {
      *parity = index;
    }
  }
  if (validate && !CheckPortIndex(r, where, "parity", *parity, 2)) ok = false;
  return ok;
}

// Data bits (7 or 8) and stop bits (1 or 2) alike: the stored index under
// "<key>_index", else the count under `key`, which is `lowest` plus the
// index. `what` names the setting in messages.
bool ReadBitCount(FieldReader& r, const Json& json, const std::string& where, bool validate,
                  const char* key, const char* what, int lowest, int* index) {
  bool ok = true;
  bool present = false;
  int64_t v = 0;
  const std::string index_key = std::string(key) + "_index";
  if (!r.Int(json, index_key.c_str(), where, &v, &present)) ok = false;
  if (present) {
    *index = static_cast<int>(v);
  } else if (r.Int(json, key, where, &v, &present) && present) {
    if (v == lowest || v == lowest + 1) {
      *index = static_cast<int>(v) - lowest;
    } else {
      r.Error(where, std::string(what) + " " + std::to_string(v) + " is not " +
                         std::to_string(lowest) + " or " + std::to_string(lowest + 1));
      ok = false;
    }
  }
  if (validate && !CheckPortIndex(r, where, what, *index, 1)) ok = false;
  return ok;
}

// Options: the raw word, else the two flags. Checked also without
// validation: bits 2..31 are always stored as 0, so a word that sets them
// cannot be kept.
bool ReadOptions(FieldReader& r, const Json& json, const std::string& where, uint32_t* options) {
  bool ok = true;
  bool present = false;
  int64_t v = 0;
  if (!r.Int(json, "options", where, &v, &present, /*as_unsigned=*/true)) ok = false;
  if (present) {
    *options = static_cast<uint32_t>(v);
  } else {
    bool flag = false;
    uint32_t flags = 0;
    if (!r.Bool(json, "checksum", where, &flag, &present)) ok = false;
    if (present && flag) flags |= CSerialPort::kUseChecksum;
    if (!r.Bool(json, "rts_cts", where, &flag, &present)) ok = false;
    if (present && flag) flags |= CSerialPort::kRtsCts;
    *options = flags;
  }
  if ((*options & ~CSerialPort::kStoredOptions) != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08" PRIX32, *options);
    r.Error(where,
            std::string("options ") + hex + " set bits other than 0 (checksum) and 1 (RTS/CTS)");
    ok = false;
  }
  return ok;
}

}  // namespace

bool ReadPort(FieldReader& r, const Json& json, bool validate, CSerialPort* port) {
  const std::string where = "port";
  if (!json.is_object()) {
    r.Error(where, "must be an object");
    return false;
  }
  r.Keys(json, kPortKeys, where);
  bool ok = ReadPortNumber(r, json, where, validate, &port->port);
  ok = ReadBaud(r, json, where, validate, &port->baud) && ok;
  ok = ReadParity(r, json, where, validate, &port->parity) && ok;
  ok = ReadBitCount(r, json, where, validate, "data_bits", "data bits", 7, &port->data_bits) && ok;
  ok = ReadBitCount(r, json, where, validate, "stop_bits", "stop bits", 1, &port->stop_bits) && ok;
  return ReadOptions(r, json, where, &port->options) && ok;
}

}  // namespace dravik::project::internal
