// The station health rule: every exchange of a station, read or write, ends
// here. Runs on the scheduler thread; the host thread only reads or resets
// the counters.
#include "model/station_info.h"
#include "runtime/host_services.h"

namespace dravik {

namespace {
constexpr int kLostAfterFailures = 5;
constexpr int kMsgCannotCommunicate = 16;
constexpr int kMsgRestored = 17;
}  // namespace

void CStationInfoDVK::ReportResult(int code, const char* text) {
  if (code == 0) {
    if (consecutive_failures >= kLostAfterFailures) {
      ReportDriverMessage(kMsgRestored, 2, name.c_str());
    }
    consecutive_failures = 0;
    return;
  }
  if (consecutive_failures >= kLostAfterFailures) return;
  ReportDriverMessage(code, 1, name.c_str(), text);
  if (++consecutive_failures == kLostAfterFailures) {
    ReportDriverMessage(kMsgCannotCommunicate, 2, name.c_str());
  }
}

}  // namespace dravik
