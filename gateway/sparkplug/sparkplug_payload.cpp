#include "gateway/sparkplug/sparkplug_payload.h"

#include <cstdio>
#include <memory>

#include "sparkplug_b.pb-c.h"

namespace dravik::host::sparkplug {
namespace {

using PbPayload = Org__Eclipse__Tahu__Protobuf__Payload;
using PbMetric = Org__Eclipse__Tahu__Protobuf__Payload__Metric;
using PbPropertySet = Org__Eclipse__Tahu__Protobuf__Payload__PropertySet;
using PbPropertyValue = Org__Eclipse__Tahu__Protobuf__Payload__PropertyValue;

char kQualityKey[] = "Quality";

// protobuf-c takes char* for strings it only reads while packing.
char* Text(const std::string& s) { return const_cast<char*>(s.c_str()); }

}  // namespace

// The value of one metric, in the field its kind names.
void SetValue(const Metric& m, PbMetric* pb) {
  switch (m.kind) {
    case Metric::Kind::kNone:
      break;
    case Metric::Kind::kInt:
      pb->value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_INT_VALUE;
      pb->int_value = static_cast<uint32_t>(m.integer);
      break;
    case Metric::Kind::kLong:
      pb->value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_LONG_VALUE;
      pb->long_value = m.integer;
      break;
    case Metric::Kind::kFloat:
      pb->value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_FLOAT_VALUE;
      pb->float_value = static_cast<float>(m.real);
      break;
    case Metric::Kind::kDouble:
      pb->value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE;
      pb->double_value = m.real;
      break;
    case Metric::Kind::kBool:
      pb->value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
      pb->boolean_value = m.boolean ? 1 : 0;
      break;
    case Metric::Kind::kString:
      pb->value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_STRING_VALUE;
      pb->string_value = Text(m.text);
      break;
  }
}

std::string Encode(const Payload& payload) {
  const size_t n = payload.metrics.size();
  // Every part lives in these vectors until the payload is packed.
  std::vector<PbMetric> metrics(n);
  std::vector<PbMetric*> metric_ptrs(n);
  std::vector<PbPropertySet> sets(n);
  std::vector<PbPropertyValue> values(n);
  std::vector<PbPropertyValue*> value_ptrs(n);
  char* keys[] = {kQualityKey};
  for (size_t i = 0; i < n; ++i) {
    const Metric& m = payload.metrics[i];
    PbMetric& pb = metrics[i];
    org__eclipse__tahu__protobuf__payload__metric__init(&pb);
    metric_ptrs[i] = &pb;
    if (!m.name.empty()) pb.name = Text(m.name);
    if (m.alias) {
      pb.has_alias = 1;
      pb.alias = *m.alias;
    }
    if (m.timestamp) {
      pb.has_timestamp = 1;
      pb.timestamp = *m.timestamp;
    }
    if (m.datatype != 0) {
      pb.has_datatype = 1;
      pb.datatype = m.datatype;
    }
    if (m.is_historical) {
      pb.has_is_historical = 1;
      pb.is_historical = 1;
    }
    if (m.is_null) {
      pb.has_is_null = 1;
      pb.is_null = 1;
    }
    SetValue(m, &pb);
    if (m.quality) {
      PbPropertyValue& v = values[i];
      org__eclipse__tahu__protobuf__payload__property_value__init(&v);
      v.has_type = 1;
      v.type = kInt32;
      v.value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE;
      v.int_value = static_cast<uint32_t>(*m.quality);
      value_ptrs[i] = &v;
      PbPropertySet& set = sets[i];
      org__eclipse__tahu__protobuf__payload__property_set__init(&set);
      set.n_keys = 1;
      set.keys = keys;
      set.n_values = 1;
      set.values = &value_ptrs[i];
      pb.properties = &set;
    }
  }
  PbPayload pb;
  org__eclipse__tahu__protobuf__payload__init(&pb);
  if (payload.timestamp) {
    pb.has_timestamp = 1;
    pb.timestamp = *payload.timestamp;
  }
  if (payload.seq) {
    pb.has_seq = 1;
    pb.seq = *payload.seq;
  }
  pb.n_metrics = n;
  pb.metrics = metric_ptrs.data();
  std::string bytes(org__eclipse__tahu__protobuf__payload__get_packed_size(&pb), '\0');
  org__eclipse__tahu__protobuf__payload__pack(&pb, reinterpret_cast<uint8_t*>(bytes.data()));
  return bytes;
}

bool Decode(const std::string& bytes, Payload* payload, std::string* error) {
  struct Free {
    void operator()(PbPayload* p) const {
      org__eclipse__tahu__protobuf__payload__free_unpacked(p, nullptr);
    }
  };
  std::unique_ptr<PbPayload, Free> pb(org__eclipse__tahu__protobuf__payload__unpack(
      nullptr, bytes.size(), reinterpret_cast<const uint8_t*>(bytes.data())));
  if (pb == nullptr) {
    *error = "the payload is not a Sparkplug B payload (protobuf decoding failed)";
    return false;
  }
  *payload = Payload{};
  if (pb->has_timestamp) payload->timestamp = pb->timestamp;
  if (pb->has_seq) payload->seq = pb->seq;
  for (size_t i = 0; i < pb->n_metrics; ++i) {
    const PbMetric& in = *pb->metrics[i];
    Metric m;
    if (in.name != nullptr) m.name = in.name;
    if (in.has_alias) m.alias = in.alias;
    if (in.has_timestamp) m.timestamp = in.timestamp;
    if (in.has_datatype) m.datatype = in.datatype;
    m.is_null = in.has_is_null && in.is_null;
    switch (in.value_case) {
      case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_INT_VALUE:
        m.kind = Metric::Kind::kInt;
        m.integer = in.int_value;
        break;
      case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_LONG_VALUE:
        m.kind = Metric::Kind::kLong;
        m.integer = in.long_value;
        break;
      case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_FLOAT_VALUE:
        m.kind = Metric::Kind::kFloat;
        m.real = in.float_value;
        break;
      case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE:
        m.kind = Metric::Kind::kDouble;
        m.real = in.double_value;
        break;
      case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE:
        m.kind = Metric::Kind::kBool;
        m.boolean = in.boolean_value != 0;
        break;
      case ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_STRING_VALUE:
        m.kind = Metric::Kind::kString;
        m.text = in.string_value != nullptr ? in.string_value : "";
        break;
      default:
        break;
    }
    payload->metrics.push_back(std::move(m));
  }
  return true;
}

std::string ValueText(const Metric& metric) {
  const bool is_signed = metric.datatype == kInt8 || metric.datatype == kInt16 ||
                         metric.datatype == kInt32 || metric.datatype == kInt64;
  switch (metric.kind) {
    case Metric::Kind::kInt: {
      const auto bits = static_cast<uint32_t>(metric.integer);
      return is_signed ? std::to_string(static_cast<int32_t>(bits)) : std::to_string(bits);
    }
    case Metric::Kind::kLong:
      return is_signed ? std::to_string(static_cast<int64_t>(metric.integer))
                       : std::to_string(metric.integer);
    case Metric::Kind::kFloat:
    case Metric::Kind::kDouble: {
      char text[40];
      std::snprintf(text, sizeof text, "%.17g", metric.real);
      return text;
    }
    case Metric::Kind::kBool:
      return metric.boolean ? "1" : "0";
    case Metric::Kind::kString:
      return metric.text;
    case Metric::Kind::kNone:
      break;
  }
  return "";
}

}  // namespace dravik::host::sparkplug
