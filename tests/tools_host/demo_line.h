// The demo project on a simulated two-station line, as the dravik-host
// suites run it: samples/demo_project.json imported into a private folder,
// PLC1 and PLC2 answering on a fresh pseudo-terminal published there as COM1,
// and the environment that makes the driver use that folder and nothing else.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/tools_host/subprocess.h"
#include "tools/plcsim/plc_simulator.h"

namespace dravik::test {

class DemoLine {
 public:
  DemoLine() = default;
  ~DemoLine() { Stop(); }
  DemoLine(const DemoLine&) = delete;
  DemoLine& operator=(const DemoLine&) = delete;

  // Imports the project into `dir` and starts the simulator there; false
  // with the reason.
  bool Start(const TempDir& dir, std::string* error);
  // The same with another project description and simulator (its stations
  // and line as the project has them).
  bool Start(const TempDir& dir, const std::string& project_json, plcsim::SimulatorOptions options,
             std::string* error);
  void Stop();

  const std::string& project() const { return project_; }
  plcsim::PlcSimulator& sim() { return *sim_; }
  // DRAVIKNET_PORTS and DRAVIKNET_CONFIG, both private to the folder.
  const std::vector<std::string>& env() const { return env_; }

 private:
  std::string project_;
  std::vector<std::string> env_;
  std::unique_ptr<plcsim::PlcSimulator> sim_;
};

}  // namespace dravik::test
