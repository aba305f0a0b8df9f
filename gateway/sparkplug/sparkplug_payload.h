// Sparkplug B payloads of dravik-host's Sparkplug node as plain values, and
// their protobuf encoding through protobuf-c (the code is generated from
// sparkplug_b.proto at build time). Only what the node sends and takes is
// modelled: scalar metrics with name, alias, timestamp, datatype, null flag,
// one value and the "Quality" property. Pure functions on caller-owned
// values; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dravik::host::sparkplug {

// The datatype numbers of the payload definition that the node uses.
enum DataType : uint32_t {
  kInt8 = 1,
  kInt16 = 2,
  kInt32 = 3,
  kInt64 = 4,
  kUInt8 = 5,
  kUInt16 = 6,
  kUInt32 = 7,
  kUInt64 = 8,
  kFloat = 9,
  kDouble = 10,
  kBoolean = 11,
  kString = 12,
};

// The values of the "Quality" property (an Int32), as SCADA MQTT engines
// read them.
constexpr int32_t kQualityBad = 0;
constexpr int32_t kQualityGood = 192;
constexpr int32_t kQualityStale = 500;

struct Metric {
  enum class Kind { kNone, kInt, kLong, kFloat, kDouble, kBool, kString };
  std::string name;  // empty: left out (data messages name the metric by alias)
  std::optional<uint64_t> alias;
  std::optional<uint64_t> timestamp;
  uint32_t datatype = 0;  // 0: left out
  bool is_null = false;
  Kind kind = Kind::kNone;
  uint64_t integer = 0;  // kInt: the low 32 bits (two's complement for signed types); kLong
  double real = 0.0;     // kFloat, kDouble
  bool boolean = false;
  std::string text;
  std::optional<int32_t> quality;  // the "Quality" property
  bool is_historical = false;      // a change from the past, not the current value
};

struct Payload {
  std::optional<uint64_t> timestamp;
  std::optional<uint64_t> seq;
  std::vector<Metric> metrics;
};

std::string Encode(const Payload& payload);

// False, with the reason, for bytes that are not a payload. Metrics whose
// value is of a kind the node does not take (data sets, templates, bytes)
// come back as Kind::kNone with is_null false.
bool Decode(const std::string& bytes, Payload* payload, std::string* error);

// A metric's value as text for the write command: integers signed or not as
// the datatype says (a signed type's int_value is two's complement), reals
// with every digit, booleans as 1 or 0. Empty when the metric has no value
// the node takes.
std::string ValueText(const Metric& metric);

}  // namespace dravik::host::sparkplug
