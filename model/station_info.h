// CStationInfoDVK: one PLC on the line. Persisted: name, description, station
// number and the blocks (owned, in the user's order). Run-time state (enabled
// flag, four counters, consecutive failures) is written by the engine's
// scheduler thread and read or reset from the host's thread; each field is a
// relaxed atomic, so a count read during an update may be one step behind.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "model/comm_block.h"
#include "model/object_registry.h"

namespace dravik {

class CArchive;

class CStationInfoDVK : public CPersistentObject {
 public:
  static constexpr const char* kClassName = "CStationInfoDVK";

  const char* GetRuntimeClassName() const override { return kClassName; }
  void Serialize(CArchive& ar);

  // "%s (%02XH국) : %s": the station's text in the editor's tree.
  std::string Label() const;
  // Station number as "%02d" and a copy of the description.
  void GetTexts(std::string* number_text, std::string* description_out) const;

  // Run-time state.
  void ResetRuntime();
  // Stores writes sent, writes failed, reads sent, reads failed; returns -1
  // when disabled, 1 when failing (consecutive failures > 0), else 0.
  int GetCounters(int* writes_sent, int* writes_failed, int* reads_sent, int* reads_failed) const;
  void ResetCounters();
  // The health rule: logs the failure messages, 16 at the fifth failure in a
  // row and 17 at the first success after it. Defined by the runtime.
  void ReportResult(int code, const char* text);

  std::string name;
  std::string description;
  int number = 255;
  std::vector<std::unique_ptr<CCommBlockDVK>> blocks;

  void* tree_item = nullptr;  // editor only

  std::atomic<int> enabled{1};
  std::atomic<int> writes_sent{0};
  std::atomic<int> writes_failed{0};
  std::atomic<int> reads_sent{0};
  std::atomic<int> reads_failed{0};
  std::atomic<int> consecutive_failures{0};
};

}  // namespace dravik
