#include "gateway/mqtt/mqtt_face.h"

#include <utility>

namespace dravik::host {

MqttFace::MqttFace(MqttBridge* bridge, LineSession* session, int stats_seconds)
    : bridge_(bridge), session_(session), stats_interval_(stats_seconds) {
  MqttHooks hooks;
  hooks.submit_write = [session](MqttWrite w) {
    return session->SubmitWrite(WriteRequest{std::move(w.tag), std::move(w.value_text),
                                             std::move(w.id), std::move(w.value),
                                             WriteOrigin::kMqtt});
  };
  hooks.refused = [bridge, session] { session->RequestStop(kExitUsage, bridge->Refusal()); };
  bridge_->SetHooks(std::move(hooks));
}

void MqttFace::OnBound(const std::vector<bool>& bound) { bridge_->TagsBound(bound); }

void MqttFace::OnValue(const LineValue& v) {
  if (v.tag_id >= 1) bridge_->OfferValue(static_cast<size_t>(v.tag_id) - 1, v.value, v.ts_ms);
}

void MqttFace::OnLog(const LineLog& log) { bridge_->OfferLog(log.flags, log.text, log.ts_ms); }

// Offers each station whose state changed since it was last offered, or all
// of them when the periodic counters are due.
void MqttFace::OnSample(const LineSample& sample) {
  session_->SetFaceState("mqtt", MqttBridge::StateText(bridge_->state()));
  session_->SetFaceCount("values_coalesced", bridge_->coalesced_values());
  session_->SetFaceCount("changes_waiting", bridge_->waiting_changes());
  session_->SetFaceCount("values_dropped", bridge_->dropped_values());
  session_->SetFaceCount("mqtt_reconnects", bridge_->reconnects());
  const auto now = std::chrono::steady_clock::now();
  const bool due = now >= next_stats_;
  if (due) next_stats_ = now + stats_interval_;
  const std::vector<StationReport>& reports = sample.stations;
  published_.resize(reports.size());
  for (size_t i = 0; i < reports.size(); ++i) {
    if (due || reports[i].state != published_[i].state ||
        reports[i].good() != published_[i].good() ||
        reports[i].stale_tags != published_[i].stale_tags) {
      bridge_->OfferStation(i, reports[i]);
      published_[i] = reports[i];
    }
  }
}

void MqttFace::OnWrite(const LineWrite& w) {
  if (w.origin != WriteOrigin::kMqtt) return;
  if (w.kind == LineWrite::Kind::kRefused) {
    bridge_->ReportWriteError(w.tag, w.reason, w.value, w.id);
  } else if (w.kind == LineWrite::Kind::kEnded) {
    bridge_->OfferWriteResult(w.tag, w.ok, w.value, w.reason, w.id);
  }
}

}  // namespace dravik::host
