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
#include "tools/host/write_results.h"

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

  // The index in the project's stations of the station a tag's device names
  // (the part after the first '.', case ignored), -1 for none.
  int StationOfTag(size_t tag_index) const;

  struct WriteOutcome {
    bool ok = false;
    int result = 0;     // slot 7's result when it was called
    std::string shown;  // the value as written, for the reply
    std::string error;  // why nothing was written
  };
  // The one write path: the terminal's write command and MQTT's set topic
  // both come here. Checks the tag and the value text, then calls slot 7.
  // A write to a station that is disabled or demoted, or while the port is
  // lost or not open, is refused before slot 7, named and counted. A write
  // slot 7 took is followed until its end (write_results.h); `id` and `mqtt`
  // go with its result.
  WriteOutcome WriteTag(const std::string& tag_name, const std::string& value_text,
                        const Json& id = {}, bool mqtt = false);

  // Main thread, often: reads the counters of stations with writes waiting
  // and returns the writes whose end is known.
  std::vector<WriteResult> TakeWriteResults();
  bool WritesWaiting() const { return write_results_.AnyWaiting(); }

  // A station's state as the status line, `stats`, MQTT and the status page
  // name it, from slot 15's status and the driver's log (station_states.h):
  // "ok", "failing" (message 16 until 17), "demoted" (the demotion note until
  // the return note), "disabled", "no_port" (lost or not open).
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
  std::vector<int> tag_stations_;
  // Main thread only, like the slot calls that feed them.
  WriteResults write_results_;
  std::vector<uint64_t> failures_seen_;  // per station, StationStates::LastFailure's count
};

// `dravik-host run`: returns the exit status.
int Run(const RunOptions& o);

}  // namespace dravik::host
