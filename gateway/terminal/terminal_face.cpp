#include "gateway/terminal/terminal_face.h"

#include <algorithm>
#include <cstdio>

#include "model/tag_binding.h"

namespace dravik::host {
namespace {

// How often the status line at the bottom of a terminal is redrawn.
constexpr auto kStatusInterval = std::chrono::milliseconds(1000);

}  // namespace

TerminalFace::TerminalFace(const LineLayout& layout, Output* out, bool print_values)
    : layout_(layout), out_(out), print_values_(print_values) {}

void TerminalFace::OnStarted(const LineStarted& s) {
  out_->Emit("running: " + std::to_string(s.bound) + " of " + std::to_string(s.tags) +
                 " tags bound" + (s.prepared != 0 ? ", port not open" : ""),
             Json{{"kind", "start"},
                  {"instance", s.instance},
                  {"prepare", s.prepared},
                  {"tags", s.tags},
                  {"bound", s.bound}});
}

void TerminalFace::OnValue(const LineValue& v) {
  if (!print_values_) return;
  const bool known = v.tag_id >= 1 && static_cast<size_t>(v.tag_id) <= layout_.tags.size();
  const std::string name =
      known ? layout_.tags[static_cast<size_t>(v.tag_id) - 1].name : "#" + std::to_string(v.tag_id);
  std::string shown;
  Json json_value;
  switch (v.value.kind) {
    case TagValue::Kind::kNone:
      shown = "(no value)";
      break;
    case TagValue::Kind::kText:
      shown = "\"" + v.value.text + "\"";
      json_value = v.value.text;
      break;
    case TagValue::Kind::kNumber:
      shown = FormatNumber(v.value.number);
      json_value = NumberJson(v.value.number);
      break;
  }
  out_->Emit("value " + name + " = " + shown,
             Json{{"kind", "value"}, {"tag", name}, {"id", v.tag_id}, {"value", json_value}});
}

void TerminalFace::OnLog(const LineLog& log) {
  out_->Emit("log " + FlagsText(log.flags) + " " + log.text,
             Json{{"kind", "log"}, {"flags", log.flags}, {"text", log.text}});
}

void TerminalFace::OnSample(const LineSample& sample) {
  if (print_values_) PrintQualityChanges(sample);
  const auto now = std::chrono::steady_clock::now();
  if (now < next_status_) return;
  out_->SetStatus(StatusLine(sample));
  next_status_ = now + kStatusInterval;
}

// A tag's first good reading is told by its value line; after that, each
// turn to stale and back gets a line, so a value on the screen is never taken
// for current when it is not.
void TerminalFace::PrintQualityChanges(const LineSample& sample) {
  quality_.resize(layout_.tags.size(), 0);
  for (size_t t = 0; t < layout_.tags.size(); ++t) {
    if (layout_.tags[t].type == dravik::kTypeWriteOnly) continue;
    const int s = t < layout_.tag_stations.size() ? layout_.tag_stations[t] : -1;
    const StationReport* station =
        s >= 0 && static_cast<size_t>(s) < sample.stations.size() ? &sample.stations[s] : nullptr;
    const bool good = station != nullptr && station->TagGood(t);
    const uint8_t now = good ? 1 : quality_[t] == 0 ? 0 : 2;
    if (now != quality_[t] && !(quality_[t] == 0 && now == 1)) {
      const char* name = good ? "good" : "stale";
      out_->Emit("quality " + layout_.tags[t].name + " = " + name,
                 Json{{"kind", "quality"}, {"tag", layout_.tags[t].name}, {"quality", name}});
    }
    quality_[t] = now;
  }
}

std::string TerminalFace::StatusLine(const LineSample& sample) const {
  std::string line = sample.port == PortState::kLost      ? "port lost, reopening | "
                     : sample.port == PortState::kNotOpen ? "port not open, retrying | "
                                                          : "";
  const size_t head = line.size();
  for (const StationReport& r : sample.stations) {
    if (line.size() > head) line += " | ";
    line += r.name + ": " + r.state + " reads " + std::to_string(r.reads_sent) + " failures " +
            std::to_string(r.reads_failed + r.writes_failed);
    // The tags of the list whose own block is stale (not the gateway's own).
    const auto listed = std::count_if(r.stale_tags.begin(), r.stale_tags.end(),
                                      [&](size_t t) { return t < layout_.tags.size(); });
    if (listed > 0 && r.good()) line += " (" + std::to_string(listed) + " tags stale)";
  }
  if (line.size() == head) line += "(no stations)";
  if (const auto mqtt = sample.faces.find("mqtt"); mqtt != sample.faces.end()) {
    line += " | mqtt " + mqtt->second;
  }
  return line;
}

void TerminalFace::OnWrite(const LineWrite& w) {
  if (w.kind == LineWrite::Kind::kEnded) {
    const std::string text = "write " + w.tag + " = " + w.value.dump() + ": " +
                             (w.ok ? "" : "not acknowledged, ") + w.reason;
    out_->Emit(text, Json{{"kind", "write_result"},
                          {"tag", w.tag},
                          {"ok", w.ok},
                          {"value", w.value},
                          {"reason", w.reason},
                          {"id", w.id}});
  } else if (w.kind == LineWrite::Kind::kQueued && w.origin == WriteOrigin::kMqtt) {
    // The terminal's own writes are answered by its command; these came from
    // the broker. Their refusals are the MQTT face's to tell.
    out_->Emit("mqtt: write " + w.tag + " = " + w.shown + " queued",
               Json{{"kind", "mqtt_write"}, {"tag", w.tag}, {"value", w.value_text}});
  }
}

void TerminalFace::OnStopped(const LineStopped& t) {
  out_->EndStatus();
  char text[256];
  std::snprintf(text, sizeof text,
                "summary: %d exchanges (%d reads, %d writes), %d failures, %ld values delivered, "
                "%.1f s",
                t.reads_sent + t.writes_sent, t.reads_sent, t.writes_sent,
                t.reads_failed + t.writes_failed, t.values_delivered, t.seconds);
  out_->Emit(text, Json{{"kind", "summary"},
                        {"exchanges", t.reads_sent + t.writes_sent},
                        {"failures", t.reads_failed + t.writes_failed},
                        {"values", t.values_delivered},
                        {"reads_sent", t.reads_sent},
                        {"reads_failed", t.reads_failed},
                        {"writes_sent", t.writes_sent},
                        {"writes_failed", t.writes_failed},
                        {"interrupted", t.interrupted}});
}

}  // namespace dravik::host
