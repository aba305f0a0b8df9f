// A test host: loads libdraviknet.so from beside the test program, exposes its
// function table, and records what the driver hands the host libraries (log
// lines, value events) for the tests to wait on. One per test process; the
// driver calls its handlers on the scheduler and event threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "draviknet/driver_table.h"
#include "host/tarsel_sub.h"
#include "model/dravik_doc.h"

namespace dravik::test {

struct LogLine {
  int flags = 0;
  std::string text;
};

struct ValueEvent {
  int tag_id = 0;
  bool has_value = false;
  double value = 0.0;
  std::string text;
  std::chrono::steady_clock::time_point at;  // when the driver posted it
};

class DriverHost {
 public:
  static DriverHost& Get();

  template <typename Fn>
  Fn Slot(int index) const {
    return reinterpret_cast<Fn>(table_[index]);
  }
  void** Table() const { return table_; }
  const std::string& LibraryPath() const { return library_path_; }

  void ClearRecords();
  std::vector<LogLine> Logs();
  // Removes and returns the log lines and value events recorded so far.
  std::vector<LogLine> TakeLogs();
  size_t TakeValueCount();
  std::vector<ValueEvent> TakeValues();
  std::vector<ValueEvent> Values();
  std::vector<ValueEvent> ValuesFor(int tag_id);
  int CountLogs(const std::string& needle);
  // Waits up to `ms` for `ready` (checked under the record lock).
  bool WaitFor(const std::function<bool()>& ready, int ms);

  // Convenience wrappers around the slots.
  int Create(const std::string& path) {
    return Slot<DrvCreateInstanceFn>(DRV_SLOT_CREATE)(path.c_str());
  }
  int Prepare(int i) { return Slot<DrvPrepareCommFn>(DRV_SLOT_PREPARE)(i); }
  int BuildRequests(int i) { return Slot<DrvBuildTagRequestsFn>(DRV_SLOT_BUILD_REQUESTS)(i); }
  int Stop(int i) { return Slot<DrvStopFn>(DRV_SLOT_STOP)(i); }
  int Bind(int i, const char* device, const char* address, int type, int length, int id) {
    return Slot<DrvBindTagFn>(DRV_SLOT_BIND_TAG)(i, device, address, type, length, id);
  }
  int Write(int i, int handle, double value);
  int WriteText(int i, int handle, const char* text);
  void SetRunState(int i, const char* station, int state) {
    Slot<DrvSetRunStateFn>(DRV_SLOT_SET_RUN_STATE)(i, station, state);
  }
  void ResetCounters(int i, const char* station) {
    Slot<DrvResetCountersFn>(DRV_SLOT_RESET_COUNTERS)(i, station);
  }
  int Statistics(int i, const char* station, int out[4]) {
    return Slot<DrvGetStatisticsFn>(DRV_SLOT_GET_STATISTICS)(i, station, &out[0], &out[1], &out[2],
                                                             &out[3]);
  }

 private:
  DriverHost();
  static void OnLog(void* self, int kind, int flags, const char* text);
  static void OnValue(void* self, int tag_id, const CTagVal& value);
  static void OnTagName(void* self, int tag_id, CString* name);

  void* library_ = nullptr;
  void** table_ = nullptr;
  std::string library_path_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<LogLine> logs_;
  std::vector<ValueEvent> values_;
};

// A temporary folder removed with its contents at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Builders for project files.
std::unique_ptr<CStationInfoDVK> MakeStation(const std::string& name, int number);
void AddBlock(CStationInfoDVK& station, const std::string& text, int area, int start, int count,
              int period_ms);
// Saves `doc` (port COM<com>, 19200 baud) at `path`.
void SaveProject(CDravikNetDoc& doc, const std::string& path, int com = 1);

}  // namespace dravik::test
