#include "tests/tools_host/demo_line.h"

namespace dravik::test {

bool DemoLine::Start(const TempDir& dir, std::string* error) {
  plcsim::SimulatorOptions options;
  options.stations = {1, 2};
  return Start(dir, DRAVIK_SAMPLES_DIR "/demo_project.json", options, error);
}

bool DemoLine::Start(const TempDir& dir, const std::string& project_json,
                     plcsim::SimulatorOptions options, std::string* error) {
  if (dir.path().empty()) {
    *error = "no private folder";
    return false;
  }
  project_ = dir.File("demo.dvk");
  const ProcessResult made = RunProcess(
      {DRAVIK_PROJECT_BIN, "import", project_json, "-o", project_});
  if (made.exit_code != 0) {
    *error = "dravik-project import: " + made.err;
    return false;
  }
  sim_ = std::make_unique<plcsim::PlcSimulator>(std::move(options));
  if (!sim_->CreatePty(dir.path(), 1, error)) return false;
  if (!sim_->Start()) {
    *error = "the simulator did not start";
    return false;
  }
  // The driver must find our pseudo-terminal, never a system port.
  if (!PathExists(dir.File("COM1"))) {
    *error = "COM1 is not published in " + dir.path();
    return false;
  }
  env_ = {"DRAVIKNET_PORTS=" + dir.path(), "DRAVIKNET_CONFIG=" + dir.File("none.conf")};
  return true;
}

void DemoLine::Stop() {
  if (sim_) sim_->Stop();
}

}  // namespace dravik::test
