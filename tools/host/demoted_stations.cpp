#include "tools/host/demoted_stations.h"

#include <cctype>

namespace dravik::host {

namespace {
// The driver's demotion note: "스테이션[NAME]이 응답하지 않아 N초 동안 통신 대상에서 제외합니다."
constexpr const char* kNoteStart = "스테이션[";
constexpr const char* kNoteTail = "]이 응답하지 않아 ";
constexpr const char* kNoteEnd = "통신 대상에서 제외합니다.";

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}
}  // namespace

void DemotedStations::OnLog(const std::string& text) {
  if (text.find(kNoteEnd) == std::string::npos) return;
  const size_t start = text.find(kNoteStart);
  const size_t tail = text.find(kNoteTail);
  if (start == std::string::npos || tail == std::string::npos || tail < start) return;
  const size_t name_at = start + std::char_traits<char>::length(kNoteStart);
  std::lock_guard lock(mutex_);
  demoted_.insert(Upper(text.substr(name_at, tail - name_at)));
}

std::string DemotedStations::StateOf(const std::string& station, int status) {
  std::lock_guard lock(mutex_);
  if (status != 1) demoted_.erase(Upper(station));  // it answered, or is disabled
  if (status == 0) return "ok";
  if (status == 1) return demoted_.count(Upper(station)) != 0 ? "demoted" : "failing";
  return "disabled";
}

DemotedStations& Demotions() {
  static DemotedStations demotions;
  return demotions;
}

}  // namespace dravik::host
