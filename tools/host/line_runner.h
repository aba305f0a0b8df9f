// The line runner of dravik-host: one run of a driver instance from slot 1 to
// the stop, the commands read on stdin and the summary. The main thread makes
// every slot call; a reader thread only queues stdin lines, the driver's
// threads reach the run only through the host library handlers installed here,
// and with --mqtt the bridge hands writes from the broker to the main thread.
#pragma once

#include <string>
#include <vector>

#include "tools/host/command_line.h"
#include "tools/host/driver_library.h"
#include "tools/host/mqtt_bridge.h"
#include "tools/host/output.h"
#include "tools/host/tag_list.h"

namespace dravik::host {

// One run of an instance; the main thread owns every slot call in it.
class Runner {
 public:
  Runner(const Driver& driver, Output* out, int instance, std::vector<TagRow> tags,
         std::vector<int> handles, std::vector<std::string> stations);

  // Executes one command line; false for quit.
  bool Execute(const std::string& line);

  struct Totals {
    int writes_sent = 0, writes_failed = 0, reads_sent = 0, reads_failed = 0;
    int status = 0;
  };

  Totals AllCounters() const;
  std::string StatusLine() const;

  // Counters and state of every station, in project order (slot 15 each).
  std::vector<StationReport> StationReports() const;

  struct WriteOutcome {
    bool ok = false;
    int result = 0;     // slot 7's result when it was called
    std::string shown;  // the value as written, for the reply
    std::string error;  // why nothing was written
  };
  // The one write path: the terminal's write command and MQTT's set topic
  // both come here. Checks the tag and the value text, then calls slot 7.
  WriteOutcome WriteTag(const std::string& tag_name, const std::string& value_text);

  // A station's state as the status line, `stats` and MQTT name it: "ok",
  // "failing", "disabled" from slot 15's status, and "demoted" for a failing
  // station that the driver skips for a while (slot 15 cannot tell that; the
  // driver's demotion note does, see demoted_stations.h).
  static std::string StationState(const std::string& station, int status);

 private:
  bool Error(const std::string& text);
  void Reply(const std::string& text, const Json& record);
  void Stats(const std::string& station);
  void Texts(const std::string& station);

  const Driver& driver_;
  Output* out_;
  const int instance_;
  const std::vector<TagRow> tags_;
  const std::vector<int> handles_;
  const std::vector<std::string> stations_;
};

// `dravik-host run`: returns the exit status.
int Run(const RunOptions& o);

}  // namespace dravik::host
