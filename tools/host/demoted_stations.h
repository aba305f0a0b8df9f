// DemotedStations: which stations the driver has demoted (skips for a while
// after failures in a row), as dravik-host learns it from the driver's log:
// the demotion note names the station, and a station counts as demoted until
// slot 15 shows it healthy or disabled again. The log handler adds (driver
// threads); the main thread asks and forgets; one mutex guards the set.
#pragma once

#include <mutex>
#include <set>
#include <string>

namespace dravik::host {

class DemotedStations {
 public:
  // Looks at one log line; a demotion note marks its station.
  void OnLog(const std::string& text);
  // The state word for a station's slot 15 status: "demoted" for a failing
  // station under demotion, else ok / failing / disabled.
  std::string StateOf(const std::string& station, int status);

 private:
  std::mutex mutex_;
  std::set<std::string> demoted_;  // upper-cased: slot 15 matches names without case
};

// The one the host's handlers and commands share.
DemotedStations& Demotions();

}  // namespace dravik::host
