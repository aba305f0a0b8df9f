// The MQTT face: what the line session tells it goes to the MQTT session
// (mqtt_bridge.h), under the plain topics or the scheme set on it; writes
// the broker asks for go back to the session's one write path, and their
// refusals and results come back here. Every method runs on the face's
// FaceQueue thread, which alone touches the fields below.
#pragma once

#include <chrono>
#include <vector>

#include "gateway/line/line_face.h"
#include "gateway/line/line_session.h"
#include "gateway/mqtt/mqtt_bridge.h"

namespace dravik::host {

class MqttFace : public LineFace {
 public:
  // Sets the bridge's hooks, so build it before the bridge starts.
  // `stats_seconds`: every station's state goes out at least this often.
  MqttFace(MqttBridge* bridge, LineSession* session, int stats_seconds);

  void OnBound(const std::vector<bool>& bound) override;
  void OnValue(const LineValue& value) override;
  void OnLog(const LineLog& log) override;
  void OnSample(const LineSample& sample) override;
  void OnWrite(const LineWrite& write) override;

 private:
  MqttBridge* const bridge_;
  LineSession* const session_;
  const std::chrono::seconds stats_interval_;
  std::vector<StationReport> published_;  // as last offered, per station
  std::chrono::steady_clock::time_point next_stats_{};
};

}  // namespace dravik::host
