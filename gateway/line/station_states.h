// StationStates: what dravik-host knows of each station and of the port, in
// one place for the terminal's status line, `stats`, the MQTT gateway and the
// status page. The host learns state only from slot 15 (counters; status 0,
// 1, or -1 for disabled) and from the driver's log lines, which this class
// reads:
// - message 16 "스테이션[S]과 통신할 수 없습니다." (the fifth failure in a row)
//   makes S failing until message 17 "...통신이 정상적으로 복구되었습니다.";
//   an isolated failure (messages 8..13) leaves it ok;
// - the demotion note "스테이션[S]이 응답하지 않아 ... 통신 대상에서 제외합니다."
//   makes S demoted until a note ending "통신 대상에 복귀합니다.";
// - message 3 "통신포트 초기화 완료" opens the port, message 4 "...를 열 수
//   없습니다." leaves it not open, "...1초마다 다시 엽니다." marks it lost;
// - the runner's own slot 13 calls say which stations are disabled while slot
//   15 cannot (it answers no counters while the port is closed).
// It also counts the writes the runner refused per station and keeps each
// station's last failure line, the reason given for a failed write.
//
// Threads: OnLog runs on the driver's threads (and on the main thread inside
// slot calls); everything else on the main thread or the status page's. One
// mutex guards all fields.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace dravik::host {

enum class PortState { kUnknown, kOpen, kNotOpen, kLost };
// "open", "not_open", "lost" ("unknown" before slot 3).
const char* PortStateText(PortState state);

class StationStates {
 public:
  // The project's stations, in project order; forgets what was learnt.
  void Reset(const std::vector<std::string>& stations);

  // One driver log line (flags and text as the log handler got them).
  void OnLog(int flags, const std::string& text);
  // Slot 3's result: 0 when the port was opened.
  void OnPrepared(int result);
  // The runner enabled (true) or disabled a station through slot 13.
  void OnRunState(const std::string& station, bool enabled);

  // The state word of a station for slot 15's status: "disabled", "no_port"
  // (the port is lost or not open), "demoted", "failing" (message 16 and not
  // yet 17) or "ok". Names match without case, as slot 15's do.
  std::string StateOf(const std::string& station, int status) const;
  PortState Port() const;
  // Notes of the driver that a write was not put into a frame (slot 7 then
  // still returns 0); the runner compares the count around its slot 7 call.
  uint64_t UnframedWrites() const;

  void CountRefusedWrite(const std::string& station);
  int RefusedWrites(const std::string& station) const;
  // How often the station was set aside as silent (demotion notes).
  int Demotions(const std::string& station) const;
  // The station's last failure line (flags 1) and how many it has had, so a
  // caller can tell whether one came after a given moment.
  std::string LastFailure(const std::string& station, uint64_t* count = nullptr) const;

 private:
  struct Station {
    std::string name;
    bool failing = false;
    bool demoted = false;
    bool disabled = false;  // by the runner's slot 13 call
    int refused_writes = 0;
    int demotions = 0;
    uint64_t failures = 0;
    std::string last_failure;
  };
  // The station a line names: "스테이션[" + a known name + "]" (exact case),
  // or null.
  Station* Named(const std::string& text);
  const Station* Find(const std::string& name) const;  // without case

  mutable std::mutex mutex_;
  std::vector<Station> stations_;
  PortState port_ = PortState::kUnknown;
  uint64_t unframed_writes_ = 0;
};

// The one the host's handlers, commands and status page share.
StationStates& Stations();

}  // namespace dravik::host
