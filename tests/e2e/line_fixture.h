// One test's line, shared by the end-to-end suites: the PLC simulator on its
// own pseudo-terminal, published as COM1 in a private ports folder, and the
// driver instances a test prepares on it (stopped again after the test). Test
// thread only.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/driver_host.h"
#include "tools/plcsim/plc_simulator.h"

namespace dravik::test {

class SimulatedLineTest : public ::testing::Test {
 protected:
  DriverHost& host = DriverHost::Get();

  void TearDown() override {
    for (int inst : instances_) host.Stop(inst);
    if (sim_) sim_->Stop();
  }

  void StartSimulator(std::vector<int> stations, bool echo = true) {
    plcsim::SimulatorOptions options;
    options.stations = std::move(stations);
    options.echo = echo;
    sim_ = std::make_unique<plcsim::PlcSimulator>(options);
    std::string error;
    ASSERT_TRUE(sim_->CreatePty(dir_.path(), 1, &error)) << error;
    ASSERT_TRUE(sim_->Start());
    setenv("DRAVIKNET_PORTS", dir_.path().c_str(), 1);
  }

  // Creates and prepares an instance of `doc`; returns its handle.
  int Prepare(CDravikNetDoc& doc) {
    SaveProject(doc, dir_.File("line.dat"));
    const int inst = host.Create(dir_.File("line.dat"));
    EXPECT_GE(inst, 0);
    EXPECT_EQ(host.Prepare(inst), 0);
    instances_.push_back(inst);
    return inst;
  }

  TempDir dir_;
  std::unique_ptr<plcsim::PlcSimulator> sim_;
  std::vector<int> instances_;
};

}  // namespace dravik::test
