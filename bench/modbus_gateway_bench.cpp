// End-to-end bench of the Modbus TCP face: the PLC simulator on a
// pseudo-terminal, dravik-host --modbus-tcp --quiet as a child process, and
// libmodbus TCP clients as a SCADA's would be. First the line alone, then the
// same time with every client reading its registers at its rate. Prints the
// requests answered per second, the latency of a request (median, p99, max),
// the gateway's CPU time per wall time in both phases, and the line's poll
// rate (requests the simulator answered) without and with the clients.
// Run by hand: modbus_gateway_bench [--seconds 20] [--clients 32] [--rate 100] [--registers 10]
#include <modbus/modbus.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "bench/gateway_process.h"
#include "tests/tools_host/subprocess.h"
#include "tools/plcsim/plc_simulator.h"

namespace {

using dravik::bench::CpuSeconds;
using dravik::bench::Percentile;
using dravik::bench::Spawn;
using Clock = std::chrono::steady_clock;

struct Settings {
  int seconds = 20, clients = 32, rate = 100, registers = 10;
};

struct Results {
  std::mutex mutex;
  std::vector<double> latencies_ms;
  long answered = 0, exceptions = 0, failures = 0;
};

// Two stations, each one block of 60 registers polled back to back.
bool WriteProject(const std::string& dir) {
  nlohmann::json stations = nlohmann::json::array();
  for (int s = 1; s <= 2; ++s) {
    stations.push_back({{"name", "PLC" + std::to_string(s)},
                        {"description", "bench"},
                        {"number", s},
                        {"blocks", {{{"address", "R1"}, {"count", 60}, {"period", 0}}}}});
  }
  std::ofstream(dir + "/tags.csv") << "name,device,address,type,length\nT1,DVK.PLC1,R1,uint16,2\n";
  return dravik::bench::ImportBenchProject(DRAVIK_PROJECT_BIN, dir, stations);
}

// One SCADA client: its unit and registers, `rate` reads a second until `stop`.
void RunClient(int index, int port, const Settings& s, const std::atomic<bool>& stop,
               Results* results) {
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
  if (ctx == nullptr || modbus_connect(ctx) != 0) {
    std::lock_guard lock(results->mutex);
    ++results->failures;
    if (ctx != nullptr) modbus_free(ctx);
    return;
  }
  modbus_set_slave(ctx, 1 + index % 2);
  modbus_set_response_timeout(ctx, 2, 0);
  std::vector<uint16_t> words(static_cast<size_t>(s.registers));
  std::vector<double> latencies;
  long answered = 0, exceptions = 0, failures = 0;
  const auto period = std::chrono::microseconds(1'000'000 / s.rate);
  auto next = Clock::now();
  while (!stop) {
    const auto sent = Clock::now();
    const int n = modbus_read_registers(ctx, 512 + (index * 7) % 50, s.registers, words.data());
    if (n == s.registers) {
      ++answered;
      latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    } else if (errno > MODBUS_ENOBASE && errno < MODBUS_ENOBASE + MODBUS_EXCEPTION_MAX) {
      ++exceptions;
    } else {
      ++failures;
    }
    next += period;
    std::this_thread::sleep_until(next);
  }
  modbus_close(ctx);
  modbus_free(ctx);
  std::lock_guard lock(results->mutex);
  results->latencies_ms.insert(results->latencies_ms.end(), latencies.begin(), latencies.end());
  results->answered += answered;
  results->exceptions += exceptions;
  results->failures += failures;
}

struct Phase {
  double polls_per_s = 0, cpu_share = 0, wall = 0;
};

// The line's poll rate and the gateway's CPU over `seconds`.
Phase Measure(dravik::plcsim::PlcSimulator& sim, pid_t gateway, int seconds) {
  const uint64_t polls = sim.RequestCount();
  const double cpu = CpuSeconds(gateway);
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  Phase p;
  p.wall = std::chrono::duration<double>(Clock::now() - start).count();
  p.polls_per_s = static_cast<double>(sim.RequestCount() - polls) / p.wall;
  p.cpu_share = (CpuSeconds(gateway) - cpu) / p.wall;
  return p;
}

bool ParseArguments(int argc, char** argv, Settings* s) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const int v = std::atoi(argv[i + 1]);
    if (a == "--seconds")
      s->seconds = v;
    else if (a == "--clients")
      s->clients = v;
    else if (a == "--rate")
      s->rate = v;
    else if (a == "--registers")
      s->registers = v;
    else
      return false;
  }
  return s->seconds >= 1 && s->clients >= 1 && s->clients <= 1000 && s->rate >= 1 &&
         s->rate <= 1000 && s->registers >= 1 && s->registers <= 50;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  if (!ParseArguments(argc, argv, &s)) {
    std::fprintf(stderr,
                 "usage: modbus_gateway_bench [--seconds N] [--clients 1..1000] [--rate 1..1000] "
                 "[--registers 1..50]\n");
    return 2;
  }
  char dir_template[] = "/tmp/draviknet-modbus-bench-XXXXXX";
  const std::string dir = ::mkdtemp(dir_template);
  if (!WriteProject(dir)) {
    std::fprintf(stderr, "dravik-project import failed\n");
    return 1;
  }
  dravik::plcsim::SimulatorOptions options;
  options.stations = {1, 2};
  dravik::plcsim::PlcSimulator sim(options);
  std::string error;
  if (!sim.CreatePty(dir, 1, &error) || !sim.Start()) {
    std::fprintf(stderr, "simulator: %s\n", error.c_str());
    return 1;
  }
  const int port = dravik::test::FreeLocalPort();
  const pid_t gateway = Spawn(
      {DRAVIK_HOST_BIN, "run", dir + "/bench.dvk", "--tags", dir + "/tags.csv", "--quiet",
       "--modbus-tcp", std::to_string(port), "--modbus-max-clients", std::to_string(s.clients)},
      {"DRAVIKNET_PORTS=" + dir, "DRAVIKNET_CONFIG=" + dir + "/none.conf"});
  std::this_thread::sleep_for(std::chrono::seconds(2));  // polling, first values in

  const Phase alone = Measure(sim, gateway, s.seconds);
  Results results;
  std::atomic<bool> stop{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < s.clients; ++i) {
    clients.emplace_back(RunClient, i, port, std::cref(s), std::cref(stop), &results);
  }
  // The clients' first second (connecting) is in their counts but not in the
  // phase measured; the request rate is over both.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const Phase served = Measure(sim, gateway, s.seconds);
  stop = true;
  for (auto& c : clients) c.join();
  ::kill(gateway, SIGTERM);
  ::waitpid(gateway, nullptr, 0);
  sim.Stop();
  std::filesystem::remove_all(dir);

  std::printf(
      "Modbus TCP: %d clients, each %d registers %d times a second; %d s alone, then %d s "
      "with the clients\n",
      s.clients, s.registers, s.rate, s.seconds, s.seconds);
  std::printf("requests answered: %ld (%.0f/s over the run), exceptions %ld, failed %ld\n",
              results.answered, static_cast<double>(results.answered) / (served.wall + 1.0),
              results.exceptions, results.failures);
  const auto& lat = results.latencies_ms;
  std::printf("latency of a request: median %.2f ms, p99 %.2f ms, max %.2f ms\n",
              Percentile(lat, 0.5), Percentile(lat, 0.99), Percentile(lat, 1.0));
  std::printf("gateway CPU: alone %.1f%% of one core, with the clients %.1f%%\n",
              100.0 * alone.cpu_share, 100.0 * served.cpu_share);
  std::printf("line polls: alone %.1f/s, with the clients %.1f/s (%+.1f%%)\n", alone.polls_per_s,
              served.polls_per_s, 100.0 * (served.polls_per_s / alone.polls_per_s - 1.0));
  return 0;
}
