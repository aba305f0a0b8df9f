// Fuzzes what a tag/<TAG>/set message of the plain MQTT topics goes through
// before its write is queued: DecideSet applies the retained, unknown-tag and
// read-only rules and ParseSetPayload turns the payload into the write
// command's text; WriteTextFor and CheckWriteValue then hold that text
// against the tag's type and length, as the line session does. Besides
// memory errors it traps when a retained set, a set to an unknown or a
// read-only tag would write, when an accepted value is not exactly the number
// (or text) the message gave or lies outside what the tag holds
// (write_value_oracle.h), and when a refusal gives no reason.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gateway/line/write_value_check.h"
#include "gateway/mqtt/mqtt_topics.h"
#include "tests/fuzz/write_value_oracle.h"

using namespace dravik::host;
using dravik::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // First byte: the tag's host type code (15: one no tag has); second: its
  // length in bytes (0..121, past the tag list's 120); third: the message's
  // retain flag, whether the tag is in the list and whether it is writable;
  // the rest: the payload.
  const int type = data[0] % 16;
  const int length = data[1] % 122;
  const bool retained = (data[2] & 1) != 0;
  const bool listed = (data[2] & 2) != 0;
  const bool writable = (data[2] & 4) != 0;
  const std::string payload(reinterpret_cast<const char*>(data + 3), size - 3);
  const std::vector<std::string> tags = {"Other", listed ? "Tag" : "Else"};
  const std::vector<bool> access = {true, writable};

  const SetDecision d = DecideSet("Tag", payload, retained, tags, access);
  if (payload.empty()) {
    Check(d.kind == SetDecision::Kind::kIgnore);
    return 0;
  }
  if (d.kind != SetDecision::Kind::kWrite) {
    Check(d.kind == SetDecision::Kind::kRefuse && !d.reason.empty());
    return 0;
  }
  Check(!retained && listed && writable);
  Check(!d.value_text.empty());
  Check(payload.find('\0') == std::string::npos);
  Check(d.id.is_null() || d.id.is_string() || d.id.is_number());

  const std::string text = WriteTextFor(type, d.value_text);
  CTagVal written;
  std::string error;
  const bool accepted = CheckWriteValue(type, length, text, &written, &error);
  if (type == 15 || (length == 0 && type != 13)) Check(!accepted);
  dravik::fuzz::CheckAnswer(type, length, text, accepted, written, error);
  return 0;
}
