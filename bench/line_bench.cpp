// End-to-end line benchmark: the driver loaded through its function table,
// polling the simulator over a pseudo-terminal. Reports exchange rates, CPU
// time per exchange of the driver's own threads, allocations on the poll
// path, and the latency from a value change in the PLC to the host callback.
//
//   line_bench [--seconds N]
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "draviknet/driver_table.h"
#include "host/tarsel_dbm.h"
#include "host/wendro_r.h"
#include "model/dravik_doc.h"
#include "tools/plcsim/plc_simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace dravik;

using bench::Driver;

std::mutex g_mutex;
std::vector<Clock::time_point> g_arrivals;  // of tag 1's values
std::atomic<uint64_t> g_values{0};

void OnValue(void*, int tag_id, const CTagVal&) {
  g_values.fetch_add(1);
  if (tag_id == 1) {
    std::lock_guard lock(g_mutex);
    g_arrivals.push_back(Clock::now());
  }
}
void OnLog(void*, int, int, const char*) {}

// CPU seconds of this process's threads whose names start with "dravik-".
double DriverThreadCpu() {
  double total = 0;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return 0;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const std::string base = std::string("/proc/self/task/") + e->d_name;
    std::ifstream comm(base + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name.rfind("dravik-", 0) != 0) continue;
    std::ifstream stat(base + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    std::vector<std::string> fields;
    size_t pos = close + 2;
    while (pos < line.size()) {
      const size_t next = line.find(' ', pos);
      fields.push_back(line.substr(pos, next - pos));
      if (next == std::string::npos) break;
      pos = next + 1;
    }
    if (fields.size() > 12) total += (std::stod(fields[11]) + std::stod(fields[12])) / tick;
  }
  closedir(dir);
  return total;
}

struct Line {
  std::string dir;
  std::unique_ptr<plcsim::PlcSimulator> sim;
  int instance = -1;
};

Line StartLine(Driver& d, int blocks, int words, int period_ms, bool pace) {
  Line line;
  char tmpl[] = "/tmp/dravik-bench-XXXXXX";
  line.dir = mkdtemp(tmpl);
  plcsim::SimulatorOptions options;
  options.stations = {1};
  options.line.baud = 19200;
  options.pace = pace;
  line.sim = std::make_unique<plcsim::PlcSimulator>(options);
  std::string error;
  if (!line.sim->CreatePty(line.dir, 1, &error) || !line.sim->Start()) {
    std::fprintf(stderr, "simulator: %s\n", error.c_str());
    std::exit(1);
  }
  setenv("DRAVIKNET_PORTS", line.dir.c_str(), 1);
  // No line settings: the plain behaviour is what is measured.
  setenv("DRAVIKNET_CONFIG", (line.dir + "/none.conf").c_str(), 1);
  CDravikNetDoc doc;
  auto station = std::make_unique<CStationInfoDVK>();
  station->name = "PLC1";
  station->number = 1;
  for (int b = 0; b < blocks; ++b) {
    auto block = std::make_unique<CCommBlockDVK>();
    block->area = 7;
    block->start = 1 + (b * words) % (512 - words);  // every block inside area R
    block->count = words;
    block->period_ms = period_ms;
    block->address_text = "R" + std::to_string(block->start);
    station->blocks.push_back(std::move(block));
  }
  doc.Stations().push_back(std::move(station));
  doc.Port().baud = 6;
  doc.SetPath(line.dir + "/bench.dat");
  doc.SaveFileReporting();
  line.instance = d.Slot<DrvCreateInstanceFn>(DRV_SLOT_CREATE)(doc.Path().c_str());
  d.Slot<DrvPrepareCommFn>(DRV_SLOT_PREPARE)(line.instance);
  d.Slot<DrvBindTagFn>(DRV_SLOT_BIND_TAG)(line.instance, "PLC1", "R1", 4, 2, 1);
  d.Slot<DrvBuildTagRequestsFn>(DRV_SLOT_BUILD_REQUESTS)(line.instance);
  return line;
}

int ReadsSent(Driver& d, int instance) {
  int c[4] = {};
  d.Slot<DrvGetStatisticsFn>(DRV_SLOT_GET_STATISTICS)(instance, "PLC1", &c[0], &c[1], &c[2], &c[3]);
  return c[2];
}

void StopLine(Driver& d, Line& line) {
  d.Slot<DrvStopFn>(DRV_SLOT_STOP)(line.instance);
  line.sim->Stop();
  std::system(("rm -rf " + line.dir).c_str());
}

void Throughput(Driver& d, const char* title, int blocks, int words, bool pace, double seconds) {
  Line line = StartLine(d, blocks, words, 0, pace);
  d.Slot<DrvSetRunStateFn>(DRV_SLOT_SET_RUN_STATE)(line.instance, nullptr, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // past the first reports
  const int reads0 = ReadsSent(d, line.instance);
  const double cpu0 = DriverThreadCpu();
  const uint64_t alloc0 = bench::DriverAllocations();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  const int reads = ReadsSent(d, line.instance) - reads0;
  const double cpu = DriverThreadCpu() - cpu0;
  const uint64_t allocs = bench::DriverAllocations() - alloc0;
  StopLine(d, line);
  // Bytes of one exchange: request 10, reply 5 + 2*words payload + 5 framing.
  const double bytes = 10 + 5 + 2.0 * words + 5;
  const double line_limit = 19200.0 / (bytes * 10);
  std::printf("%-34s %8.1f exchanges/s  %7.1f us CPU/exchange  %.3f allocations/exchange", title,
              reads / elapsed, reads ? cpu * 1e6 / reads : 0.0,
              reads ? static_cast<double>(allocs) / reads : 0.0);
  // The simulator paces its replies; the driver's requests cross the
  // pseudo-terminal at once, so the replies alone bound the rate here.
  const double reply_limit = 19200.0 / ((10 + 2.0 * words) * 10);
  if (pace) {
    std::printf(
        "\n%-34s line limit %.1f/s for requests and replies (%.0f%% reached), %.1f/s for "
        "replies alone (%.0f%%)",
        "", line_limit, 100.0 * reads / elapsed / line_limit, reply_limit,
        100.0 * reads / elapsed / reply_limit);
  }
  std::printf("\n");
}

void QuietLineCpu(Driver& d, double seconds) {
  Line line = StartLine(d, 1, 4, 1000, false);
  d.Slot<DrvSetRunStateFn>(DRV_SLOT_SET_RUN_STATE)(line.instance, nullptr, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const double cpu0 = DriverThreadCpu();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double cpu = DriverThreadCpu() - cpu0;
  StopLine(d, line);
  std::printf("%-34s %8.3f %% of one core (1 block, period 1 s)\n", "quiet line CPU",
              100.0 * cpu / seconds);
}

void Latency(Driver& d, int samples) {
  Line line = StartLine(d, 1, 4, 0, false);
  d.Slot<DrvSetRunStateFn>(DRV_SLOT_SET_RUN_STATE)(line.instance, nullptr, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::vector<double> ms;
  for (int i = 0; i < samples; ++i) {
    size_t before;
    {
      std::lock_guard lock(g_mutex);
      before = g_arrivals.size();
    }
    // Change at a random point of the 100 ms cycle.
    std::this_thread::sleep_for(std::chrono::milliseconds(37 + (i * 53) % 100));
    const auto t0 = Clock::now();
    line.sim->SetWord(1, 7, 1, static_cast<uint16_t>(i + 1));
    for (int wait = 0; wait < 400; ++wait) {
      {
        std::lock_guard lock(g_mutex);
        if (g_arrivals.size() > before) {
          ms.push_back(std::chrono::duration<double, std::milli>(g_arrivals.back() - t0).count());
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  }
  StopLine(d, line);
  std::sort(ms.begin(), ms.end());
  if (ms.empty()) return;
  std::printf("%-34s median %.1f ms, p99 %.1f ms, max %.1f ms (%zu samples)\n",
              "change -> host callback latency", ms[ms.size() / 2],
              ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], ms.back(), ms.size());
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
  }
  TarselDbmHandler dbm;
  dbm.on_value = &OnValue;
  TarselDbmInstallHandler(&dbm);
  WendroRHandler log;
  log.on_log = &OnLog;
  WendroRInstallHandler(&log);
  void* lib = dlopen((bench::ProgramFolder() + "/libdraviknet.so").c_str(), RTLD_NOW);
  if (!lib) {
    std::fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  Driver d;
  d.table = static_cast<void**>(dlsym(lib, "DrvFuncTable"));

  Throughput(d, "unpaced, 1 block x 10 words", 1, 10, false, seconds);
  Throughput(d, "unpaced, 500 blocks x 10 words", 500, 10, false, seconds);
  Throughput(d, "unpaced, 3000 blocks x 10 words", 3000, 10, false, seconds);
  Throughput(d, "unpaced, 200 blocks x 60 words", 200, 60, false, seconds);
  Throughput(d, "paced 19200, 50 blocks x 10 words", 50, 10, true, seconds);
  Throughput(d, "paced 19200, 50 blocks x 60 words", 50, 60, true, seconds);
  QuietLineCpu(d, seconds);
  Latency(d, 100);
  return 0;
}
