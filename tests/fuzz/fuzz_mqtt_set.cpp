// Fuzzes what a tag/<TAG>/set message of the plain MQTT topics goes through
// before its write is queued: ParseSetPayload turns the payload into the
// write command's text, and CheckWriteValue holds that text against the tag's
// type and length. Besides memory errors it traps when an accepted value is
// not exactly the number (or text) the message gave, or lies outside what the
// tag holds (write_value_oracle.h), and when a refusal gives no reason.
// The retained and read-only rules sit in MqttBridge's message callback,
// which needs a broker connection: they are not reached here.
#include <cstddef>
#include <cstdint>
#include <string>

#include "gateway/line/write_value_check.h"
#include "gateway/mqtt/mqtt_topics.h"
#include "tests/fuzz/write_value_oracle.h"

using namespace dravik::host;
using dravik::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // First byte: the tag's host type code (15: one no tag has); second: its
  // length in bytes (0..121, past the tag list's 120); the rest: the payload.
  const int type = data[0] % 16;
  const int length = data[1] % 122;
  const std::string payload(reinterpret_cast<const char*>(data + 2), size - 2);

  std::string value_text, error;
  Json id, value;
  if (!ParseSetPayload(payload, &value_text, &error, &id, &value)) {
    Check(!error.empty());
    return 0;
  }
  Check(!value_text.empty() && error.empty());
  Check(payload.find('\0') == std::string::npos);
  Check(id.is_null() || id.is_string() || id.is_number());

  CTagVal written;
  const bool accepted = CheckWriteValue(type, length, value_text, &written, &error);
  if (type == 15 || (length == 0 && type != 13)) Check(!accepted);
  dravik::fuzz::CheckAnswer(type, length, value_text, accepted, written, error);
  return 0;
}
