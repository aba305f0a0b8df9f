// The terminal face of dravik-host: what the line does, as lines on standard
// output (through Output): the start, every value and log line, the ends of
// writes, the writes taken from MQTT, a tag's quality when it turns stale
// after it was good and when it is good again, the status line at the bottom
// of a terminal, and the summary at the stop. Its methods run on its FaceQueue's
// thread only, so the fields below need no lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "gateway/line/line_face.h"
#include "gateway/line/line_session.h"
#include "gateway/line/output.h"

namespace dravik::host {

class TerminalFace : public LineFace {
 public:
  // `print_values` false: no value lines (a gateway under systemd).
  TerminalFace(const LineLayout& layout, Output* out, bool print_values);

  void OnStarted(const LineStarted& started) override;
  void OnValue(const LineValue& value) override;
  void OnLog(const LineLog& log) override;
  void OnSample(const LineSample& sample) override;
  void OnWrite(const LineWrite& write) override;
  void OnStopped(const LineStopped& stopped) override;

 private:
  std::string StatusLine(const LineSample& sample) const;
  void PrintQualityChanges(const LineSample& sample);

  const LineLayout& layout_;
  Output* const out_;
  const bool print_values_;
  std::chrono::steady_clock::time_point next_status_{};
  // Per tag: 0 never good yet, 1 good, 2 stale after it was good.
  std::vector<uint8_t> quality_;
};

}  // namespace dravik::host
