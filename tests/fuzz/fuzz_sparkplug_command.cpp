// Fuzzes the Sparkplug node's handling of an incoming NCMD or DCMD: the size
// check, protobuf-c's decoding and the mapping of each metric (name or alias,
// datatype, value) to a tag write, on a node of a small line with no broker;
// then each write's value against the tag's type and length as the line
// session checks it. Besides memory errors it traps when a rule is broken,
// whatever the input: a retained command or an NCMD never writes; every
// metric is either written or refused with a reason; a write goes only to a
// bound, writable tag of the addressed device, from a metric naming it whose
// datatype (if given) is the tag's birth datatype and whose value it carries;
// an accepted value is exactly that value and within the tag (see
// write_value_oracle.h).
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gateway/line/write_value_check.h"
#include "gateway/sparkplug/sparkplug_node.h"
#include "tests/fuzz/write_value_oracle.h"

using namespace dravik::host;
using dravik::fuzz::Check;

namespace {

constexpr uint64_t kFirstTagAlias = 1000;  // host tag id 1 is alias 1000

struct TagSetup {
  SparkplugTag tag;
  int length;
  bool bound;
};

// Two stations; of each kind a tag: read-only, not bound, in no station, and
// an int-write of 8 bytes, whose range goes past what a double holds exactly.
const std::vector<TagSetup>& Tags() {
  static const std::vector<TagSetup> tags = {
      {{"Level", 1, 0, true}, 2, true},     {{"Valve", 13, 0, true}, 0, true},
      {{"Name", 14, 0, true}, 8, true},     {{"Setpoint", 7, 1, true}, 2, true},
      {{"Counter", 5, 1, false}, 4, true},  {{"Big", 12, 1, true}, 8, true},
      {{"Spare", 0, 0, true}, 1, false},    {{"Orphan", 4, size_t(-1), true}, 2, true},
      {{"Short BCD", 8, 1, true}, 2, true}, {{"Temp", 2, 0, true}, 4, true},
  };
  return tags;
}

const std::vector<std::string> kStations = {"PLC1", "PLC2"};

struct Node {
  explicit Node(bool writes) : node(Options(), Metrics(), kStations, writes, &out) {
    std::vector<bool> bound;
    for (const TagSetup& t : Tags()) bound.push_back(t.bound);
    node.Activate(bound);
  }
  static SparkplugOptions Options() {
    SparkplugOptions o;
    o.group = "G";
    o.node = "N";
    return o;
  }
  static std::vector<SparkplugTag> Metrics() {
    std::vector<SparkplugTag> tags;
    for (const TagSetup& t : Tags()) tags.push_back(t.tag);
    return tags;
  }
  Output out{false, false};
  SparkplugNode node;
};

// The metric may have made `write` to tag `index`: it names the tag, its
// datatype is left out or the tag's own, and the write carries its value.
bool MayWrite(const sparkplug::Metric& m, size_t index, const MqttWrite& write) {
  const SparkplugTag& tag = Tags()[index].tag;
  const bool names = m.name.empty() ? m.alias == kFirstTagAlias + index : m.name == tag.name;
  return names && (m.datatype == 0 || m.datatype == SparkplugDataType(tag.type)) && !m.is_null &&
         write.value_text == sparkplug::ValueText(m);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The node notes rebirths on the output; libFuzzer reports on stderr.
  const int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0) ::dup2(null, STDOUT_FILENO);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Node writing(true), read_only(false);
  if (size < 1) return 0;
  // First byte: bits 0-2 the topic, bit 3 retained, bit 4 writes off; the
  // rest: the payload.
  const uint8_t control = data[0];
  static const char* const kTopics[] = {"spBv1.0/G/NCMD/N",      "spBv1.0/G/DCMD/N/PLC1",
                                        "spBv1.0/G/DCMD/N/PLC2", "spBv1.0/G/DCMD/N/PLC9",
                                        "spBv1.0/G/DCMD/N/",     "spBv1.0/G/DCMD/N/PLC1/x",
                                        "spBv1.0/H/DCMD/N/PLC1", "spBv1.0/G/NCMD/N/PLC1"};
  const std::string topic = kTopics[control & 7];
  const bool retained = (control & 8) != 0;
  const bool writes = (control & 16) == 0;
  const std::string payload(reinterpret_cast<const char*>(data + 1), size - 1);

  const MqttInbound in = (writes ? writing : read_only).node.OnMessage(topic, payload, retained);
  for (const auto& r : in.refusals) Check(!r.reason.empty());
  size_t station = kStations.size();
  if ((control & 7) == 1 || (control & 7) == 2) station = (control & 7) - 1;
  if (station == kStations.size() || retained || !writes) {
    Check(in.writes.empty());
    if (retained) Check(!in.republish);
    if (station == kStations.size()) return 0;
  }
  // A device command: one answer per metric, each write from one of them in turn.
  sparkplug::Payload command;
  std::string why;
  if (payload.size() > 64 * 1024 || !sparkplug::Decode(payload, &command, &why)) {
    Check(in.writes.empty());
    return 0;
  }
  if (!retained) Check(in.writes.size() + in.refusals.size() == command.metrics.size());
  Check(!in.republish);
  size_t next = 0;
  for (const sparkplug::Metric& m : command.metrics) {
    if (next == in.writes.size()) break;
    const MqttWrite& w = in.writes[next];
    for (size_t i = 0; i < Tags().size(); ++i) {
      const TagSetup& t = Tags()[i];
      if (w.tag != t.tag.name) continue;
      Check(t.bound && t.tag.writable && t.tag.station == station);
      if (MayWrite(m, i, w)) ++next;
    }
  }
  Check(next == in.writes.size());
  for (const MqttWrite& w : in.writes) {
    for (const TagSetup& t : Tags()) {
      if (w.tag != t.tag.name) continue;
      CTagVal value;
      std::string error;
      const bool accepted = CheckWriteValue(t.tag.type, t.length, w.value_text, &value, &error);
      dravik::fuzz::CheckAnswer(t.tag.type, t.length, w.value_text, accepted, value, error);
    }
  }
  return 0;
}
