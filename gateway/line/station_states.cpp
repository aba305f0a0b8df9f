#include "gateway/line/station_states.h"

#include <strings.h>

namespace dravik::host {

namespace {
constexpr const char* kStationOpen = "스테이션[";
constexpr const char* kCannotCommunicate = "]과 통신할 수 없습니다.";
constexpr const char* kRestored = "]과의 통신이 정상적으로 복구되었습니다.";
constexpr const char* kDemotionHead = "]이 응답하지 않아 ";
constexpr const char* kDemotionEnd = "통신 대상에서 제외합니다.";
constexpr const char* kReturnEnd = "통신 대상에 복귀합니다.";
constexpr const char* kPortOpened = "통신포트 초기화 완료";
constexpr const char* kPortNotOpened = "]를 열 수 없습니다.";
constexpr const char* kPortReopening = "1초마다 다시 엽니다.";
constexpr const char* kPortHead = "통신포트[";
constexpr const char* kUnframed = "쓰기 프레임에 들어가지 않아 쓰지 않습니다.";

bool Has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }
bool EndsWith(const std::string& text, const char* tail) {
  const std::string t(tail);
  return text.size() >= t.size() && text.compare(text.size() - t.size(), t.size(), t) == 0;
}
// True when `text` continues with `part` right after the station name.
bool After(const std::string& text, size_t at, const char* part) {
  return text.compare(at, std::char_traits<char>::length(part), part) == 0;
}
}  // namespace

const char* PortStateText(PortState state) {
  switch (state) {
    case PortState::kOpen:
      return "open";
    case PortState::kNotOpen:
      return "not_open";
    case PortState::kLost:
      return "lost";
    case PortState::kUnknown:
      break;
  }
  return "unknown";
}

void StationStates::Reset(const std::vector<std::string>& stations) {
  std::lock_guard lock(mutex_);
  stations_.clear();
  for (const auto& name : stations) {
    Station s;
    s.name = name;
    stations_.push_back(s);
  }
  port_ = PortState::kUnknown;
  unframed_writes_ = 0;
}

StationStates::Station* StationStates::Named(const std::string& text) {
  const size_t open = text.find(kStationOpen);
  if (open == std::string::npos) return nullptr;
  const size_t at = open + std::char_traits<char>::length(kStationOpen);
  Station* best = nullptr;  // the longest name that fits, should one name start another
  for (auto& s : stations_) {
    if (text.compare(at, s.name.size(), s.name) == 0 && at + s.name.size() < text.size() &&
        text[at + s.name.size()] == ']' && (best == nullptr || s.name.size() > best->name.size())) {
      best = &s;
    }
  }
  return best;
}

const StationStates::Station* StationStates::Find(const std::string& name) const {
  for (const auto& s : stations_) {
    if (::strcasecmp(s.name.c_str(), name.c_str()) == 0) return &s;
  }
  return nullptr;
}

void StationStates::OnLog(int flags, const std::string& text) {
  std::lock_guard lock(mutex_);
  if (Has(text, kUnframed)) ++unframed_writes_;
  if (!Has(text, kStationOpen)) {
    if (Has(text, kPortOpened)) {
      port_ = PortState::kOpen;
    } else if (Has(text, kPortHead) && EndsWith(text, kPortNotOpened)) {
      // At start; a lost port stays lost while its reopening fails.
      if (port_ != PortState::kLost) port_ = PortState::kNotOpen;
    } else if (Has(text, kPortHead) && EndsWith(text, kPortReopening)) {
      port_ = PortState::kLost;
    }
    return;
  }
  Station* s = Named(text);
  if (s == nullptr) return;
  const size_t at =
      text.find(kStationOpen) + std::char_traits<char>::length(kStationOpen) + s->name.size();
  if (After(text, at, kCannotCommunicate)) {
    s->failing = true;
  } else if (After(text, at, kRestored)) {
    s->failing = false;
  } else if (After(text, at, kDemotionHead) && EndsWith(text, kDemotionEnd)) {
    if (!s->demoted) ++s->demotions;
    s->demoted = true;
  } else if (EndsWith(text, kReturnEnd)) {
    s->demoted = false;
  }
  if ((flags & 0xFF) == 1) {
    ++s->failures;
    s->last_failure = text;
  }
}

void StationStates::OnPrepared(int result) {
  std::lock_guard lock(mutex_);
  // Message 3 or 4 has been logged inside slot 3 already; this covers a
  // driver that said neither.
  if (port_ == PortState::kUnknown) port_ = result == 0 ? PortState::kOpen : PortState::kNotOpen;
}

void StationStates::OnRunState(const std::string& station, bool enabled) {
  std::lock_guard lock(mutex_);
  for (auto& s : stations_) {
    if (::strcasecmp(s.name.c_str(), station.c_str()) == 0) s.disabled = !enabled;
  }
}

std::string StationStates::StateOf(const std::string& station, int status) const {
  std::lock_guard lock(mutex_);
  const Station* s = Find(station);
  const bool port_up = port_ == PortState::kOpen || port_ == PortState::kUnknown;
  // With the port closed slot 15 gives no status, so the runner's own call
  // tells whether the station is disabled.
  if (status == -1 || status == 2 || (!port_up && s != nullptr && s->disabled)) return "disabled";
  if (!port_up) return "no_port";
  if (s == nullptr) return status == 0 ? "ok" : "failing";
  if (s->demoted) return "demoted";
  if (s->failing) return "failing";
  return "ok";
}

PortState StationStates::Port() const {
  std::lock_guard lock(mutex_);
  return port_;
}

uint64_t StationStates::UnframedWrites() const {
  std::lock_guard lock(mutex_);
  return unframed_writes_;
}

void StationStates::CountRefusedWrite(const std::string& station) {
  std::lock_guard lock(mutex_);
  for (auto& s : stations_) {
    if (::strcasecmp(s.name.c_str(), station.c_str()) == 0) ++s.refused_writes;
  }
}

int StationStates::RefusedWrites(const std::string& station) const {
  std::lock_guard lock(mutex_);
  const Station* s = Find(station);
  return s == nullptr ? 0 : s->refused_writes;
}

int StationStates::Demotions(const std::string& station) const {
  std::lock_guard lock(mutex_);
  const Station* s = Find(station);
  return s == nullptr ? 0 : s->demotions;
}

std::string StationStates::LastFailure(const std::string& station, uint64_t* count) const {
  std::lock_guard lock(mutex_);
  const Station* s = Find(station);
  if (count != nullptr) *count = s == nullptr ? 0 : s->failures;
  return s == nullptr ? "" : s->last_failure;
}

StationStates& Stations() {
  static StationStates states;
  return states;
}

}  // namespace dravik::host
