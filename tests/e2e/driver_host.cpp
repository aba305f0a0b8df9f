#include "tests/e2e/driver_host.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <utility>

#include "host/tarsel_dbm.h"
#include "host/wendro_r.h"

namespace dravik::test {

namespace {
std::string ExecutableFolder() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}
}  // namespace

DriverHost& DriverHost::Get() {
  static DriverHost* host = new DriverHost;  // lives until the process ends
  return *host;
}

DriverHost::DriverHost() {
  // The driver reads its line settings at prepare; tests never see the
  // machine's own file (a test that wants settings points this elsewhere).
  const std::string no_settings = "/tmp/draviknet-test-" + std::to_string(getpid()) + "-none.conf";
  setenv("DRAVIKNET_CONFIG", no_settings.c_str(), 0);
  library_path_ = ExecutableFolder() + "/libdraviknet.so";
  library_ = dlopen(library_path_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library_ == nullptr) {
    ADD_FAILURE() << "cannot load " << library_path_ << ": " << dlerror();
    std::abort();
  }
  table_ = static_cast<void**>(dlsym(library_, "DrvFuncTable"));
  if (table_ == nullptr) std::abort();
  WendroRHandler log;
  log.on_log = &DriverHost::OnLog;
  log.context = this;
  WendroRInstallHandler(&log);
  TarselDbmHandler dbm;
  dbm.on_value = &DriverHost::OnValue;
  dbm.tag_name = &DriverHost::OnTagName;
  dbm.context = this;
  TarselDbmInstallHandler(&dbm);
}

void DriverHost::OnLog(void* self, int, int flags, const char* text) {
  auto* host = static_cast<DriverHost*>(self);
  {
    std::lock_guard lock(host->mutex_);
    host->logs_.push_back({flags, text});
  }
  host->changed_.notify_all();
}

void DriverHost::OnValue(void* self, int tag_id, const CTagVal& value) {
  auto* host = static_cast<DriverHost*>(self);
  {
    std::lock_guard lock(host->mutex_);
    host->values_.push_back({tag_id, value.HasValue(), value.GetVal(), value.GetValStr(),
                             std::chrono::steady_clock::now()});
  }
  host->changed_.notify_all();
}

void DriverHost::OnTagName(void*, int tag_id, CString* name) {
  *name = "TAG" + std::to_string(tag_id);
}

void DriverHost::ClearRecords() {
  std::lock_guard lock(mutex_);
  logs_.clear();
  values_.clear();
}

std::vector<LogLine> DriverHost::Logs() {
  std::lock_guard lock(mutex_);
  return logs_;
}

std::vector<ValueEvent> DriverHost::Values() {
  std::lock_guard lock(mutex_);
  return values_;
}

std::vector<ValueEvent> DriverHost::ValuesFor(int tag_id) {
  std::lock_guard lock(mutex_);
  std::vector<ValueEvent> out;
  for (const auto& v : values_) {
    if (v.tag_id == tag_id) out.push_back(v);
  }
  return out;
}

std::vector<LogLine> DriverHost::TakeLogs() {
  std::lock_guard lock(mutex_);
  return std::exchange(logs_, {});
}

size_t DriverHost::TakeValueCount() { return TakeValues().size(); }

std::vector<ValueEvent> DriverHost::TakeValues() {
  std::lock_guard lock(mutex_);
  return std::exchange(values_, {});
}

int DriverHost::CountLogs(const std::string& needle) {
  std::lock_guard lock(mutex_);
  int n = 0;
  for (const auto& l : logs_) n += l.text.find(needle) != std::string::npos;
  return n;
}

bool DriverHost::WaitFor(const std::function<bool()>& ready, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (ready()) return true;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(20));
  }
  return ready();
}

int DriverHost::Write(int i, int handle, double value) {
  CTagVal v;
  v.SetVal(value);
  return Slot<DrvWriteTagFn>(DRV_SLOT_WRITE_TAG)(i, handle, &v);
}

int DriverHost::WriteText(int i, int handle, const char* text) {
  CTagVal v;
  v.SetVal(text);
  return Slot<DrvWriteTagFn>(DRV_SLOT_WRITE_TAG)(i, handle, &v);
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/dravik-e2e-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) std::abort();
  path_ = tmpl;
}

TempDir::~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }

std::unique_ptr<CStationInfoDVK> MakeStation(const std::string& name, int number) {
  auto s = std::make_unique<CStationInfoDVK>();
  s->name = name;
  s->number = number;
  return s;
}

void AddBlock(CStationInfoDVK& station, const std::string& text, int area, int start, int count,
              int period_ms) {
  auto b = std::make_unique<CCommBlockDVK>();
  b->address_text = text;
  b->area = area;
  b->start = start;
  b->count = count;
  b->period_ms = period_ms;
  station.blocks.push_back(std::move(b));
}

void SaveProject(CDravikNetDoc& doc, const std::string& path, int com) {
  doc.Port().port = com - 1;
  doc.Port().baud = 6;
  doc.SetPath(path);
  ASSERT_TRUE(doc.SaveFileReporting()) << doc.LastError();
}

}  // namespace dravik::test
