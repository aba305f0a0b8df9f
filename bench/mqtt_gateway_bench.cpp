// End-to-end bench of the MQTT gateway: a private mosquitto broker, the PLC
// simulator on a pseudo-terminal, and dravik-host --mqtt --quiet as a child
// process. Every period all tags get a new value in the simulator; a
// libmosquitto subscriber notes when each arrives on tag/<TAG>, or with
// --sparkplug as a metric of a Sparkplug B DDATA (decoded with the gateway's
// own payload code). Prints the messages per second, the latency from the
// change in the simulator to the subscriber (median, p99, max), how many
// changes arrived, and the gateway's CPU time per wall time.
// Run by hand: mqtt_gateway_bench [--seconds 20] [--tags 100] [--period-ms 100] [--sparkplug]
#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/gateway_process.h"
#include "gateway/sparkplug/sparkplug_payload.h"
#include "tests/tools_host/subprocess.h"
#include "tools/plcsim/plc_simulator.h"

namespace {

using dravik::bench::CpuSeconds;
using dravik::bench::Percentile;
using dravik::bench::Spawn;
using Clock = std::chrono::steady_clock;
constexpr int kAreaR = 7;
constexpr int kTagsPerStation = 500;

struct Receiver {
  std::mutex mutex;
  std::vector<Clock::time_point> changed_at;  // per cycle value
  std::vector<double> latencies_ms;
  std::atomic<bool> measuring{false};
  bool sparkplug = false;
  long received = 0;
  long messages = 0;
};

void OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
  const auto now = Clock::now();
  auto* r = static_cast<Receiver*>(self);
  const std::string payload(static_cast<const char*>(m->payload),
                            static_cast<size_t>(m->payloadlen));
  std::vector<long> cycles;
  if (r->sparkplug) {
    dravik::host::sparkplug::Payload p;
    std::string error;
    if (!dravik::host::sparkplug::Decode(payload, &p, &error)) return;
    for (const auto& metric : p.metrics) {
      if (metric.kind == dravik::host::sparkplug::Metric::Kind::kInt) {
        cycles.push_back(static_cast<long>(metric.integer));
      }
    }
  } else {
    const auto j = nlohmann::json::parse(payload, nullptr, false);
    if (!j.is_object() || !j["value"].is_number_integer()) return;
    cycles.push_back(j["value"].get<long>());
  }
  std::lock_guard lock(r->mutex);
  if (!r->measuring) return;
  ++r->messages;
  for (const long cycle : cycles) {
    if (cycle <= 0 || static_cast<size_t>(cycle) >= r->changed_at.size()) continue;
    ++r->received;
    r->latencies_ms.push_back(
        std::chrono::duration<double, std::milli>(now - r->changed_at[static_cast<size_t>(cycle)])
            .count());
  }
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 20, tags = 100, period_ms = 100;
  bool sparkplug = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--sparkplug") {
      sparkplug = true;
      continue;
    }
    if (i + 1 >= argc) break;
    if (a == "--seconds") seconds = std::atoi(argv[++i]);
    if (a == "--tags") tags = std::atoi(argv[++i]);
    if (a == "--period-ms") period_ms = std::atoi(argv[++i]);
  }
  if (tags < 1 || tags > 60 * 20 || seconds < 1 || period_ms < 10) {
    std::fprintf(stderr,
                 "usage: mqtt_gateway_bench [--seconds N] [--tags 1..1200] [--period-ms N] "
                 "[--sparkplug]\n");
    return 2;
  }
  char dir_template[] = "/tmp/draviknet-mqtt-bench-XXXXXX";
  const std::string dir = ::mkdtemp(dir_template);

  // Up to 500 tags a station (the R area ends at 512), in blocks of 60 words
  // (one poll each); the simulator does not pace the pseudo-terminal, so the
  // baud rate does not matter.
  const int stations = (tags + kTagsPerStation - 1) / kTagsPerStation;
  nlohmann::json station_list = nlohmann::json::array();
  for (int s = 1; s <= stations; ++s) {
    const int count = std::min(kTagsPerStation, tags - (s - 1) * kTagsPerStation);
    nlohmann::json blocks = nlohmann::json::array();
    for (int start = 1; start <= count; start += 60) {
      blocks.push_back({{"address", "R" + std::to_string(start)},
                        {"count", std::min(60, count - start + 1)},
                        {"period", 0}});
    }
    station_list.push_back({{"name", "PLC" + std::to_string(s)},
                            {"description", "bench"},
                            {"number", s},
                            {"blocks", blocks}});
  }
  std::ofstream csv(dir + "/tags.csv");
  csv << "name,device,address,type,length\n";
  for (int i = 0; i < tags; ++i) {
    csv << "T" << i + 1 << ",DVK.PLC" << i / kTagsPerStation + 1 << ",R" << i % kTagsPerStation + 1
        << ",uint16,2\n";
  }
  csv.close();
  if (!dravik::bench::ImportBenchProject(DRAVIK_PROJECT_BIN, dir, station_list)) {
    std::fprintf(stderr, "dravik-project import failed\n");
    return 1;
  }

  const int port = dravik::test::FreeLocalPort();
  std::ofstream(dir + "/mosquitto.conf")
      << "listener " << port << " 127.0.0.1\nallow_anonymous true\npersistence false\n";
  const pid_t broker = Spawn({MOSQUITTO_BROKER_BIN, "-c", dir + "/mosquitto.conf"}, {});
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  dravik::plcsim::SimulatorOptions options;
  for (int s = 1; s <= stations; ++s) options.stations.push_back(s);
  dravik::plcsim::PlcSimulator sim(options);
  std::string error;
  if (!sim.CreatePty(dir, 1, &error) || !sim.Start()) {
    std::fprintf(stderr, "simulator: %s\n", error.c_str());
    return 1;
  }

  Receiver receiver;
  receiver.sparkplug = sparkplug;
  const int cycles = seconds * 1000 / period_ms;
  receiver.changed_at.resize(static_cast<size_t>(cycles) + 2);
  mosquitto_lib_init();
  mosquitto* sub = mosquitto_new(nullptr, true, &receiver);
  mosquitto_message_callback_set(sub, OnMessage);
  if (mosquitto_connect(sub, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
    std::fprintf(stderr, "cannot connect the subscriber\n");
    return 1;
  }
  mosquitto_subscribe(sub, nullptr, sparkplug ? "spBv1.0/bench/DDATA/bench/+" : "bench/tag/+", 1);
  mosquitto_loop_start(sub);

  std::vector<std::string> gateway_args = {
      DRAVIK_HOST_BIN,   "run",     dir + "/bench.dvk", "--tags",
      dir + "/tags.csv", "--quiet", "--mqtt",           "mqtt://127.0.0.1:" + std::to_string(port)};
  for (const char* a :
       sparkplug ? std::vector<const char*>{"--sparkplug", "bench", "--sparkplug-node", "bench"}
                 : std::vector<const char*>{"--mqtt-prefix", "bench"}) {
    gateway_args.emplace_back(a);
  }
  const pid_t gateway =
      Spawn(gateway_args, {"DRAVIKNET_PORTS=" + dir, "DRAVIKNET_CONFIG=" + dir + "/none.conf"});
  std::this_thread::sleep_for(std::chrono::seconds(2));  // connected, first values out

  receiver.measuring = true;
  const double cpu_start = CpuSeconds(gateway);
  const auto wall_start = Clock::now();
  auto next = wall_start;
  for (int k = 1; k <= cycles; ++k) {
    {
      std::lock_guard lock(receiver.mutex);
      receiver.changed_at[static_cast<size_t>(k)] = Clock::now();
    }
    for (int i = 0; i < tags; ++i) {
      sim.SetWord(i / kTagsPerStation + 1, kAreaR, i % kTagsPerStation + 1,
                  static_cast<uint16_t>(k));
    }
    next += std::chrono::milliseconds(period_ms);
    std::this_thread::sleep_until(next);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the last ones in flight
  const double wall = std::chrono::duration<double>(Clock::now() - wall_start).count();
  const double cpu = CpuSeconds(gateway) - cpu_start;
  receiver.measuring = false;

  ::kill(gateway, SIGTERM);
  ::waitpid(gateway, nullptr, 0);
  mosquitto_disconnect(sub);
  mosquitto_loop_stop(sub, false);
  mosquitto_destroy(sub);
  ::kill(broker, SIGTERM);
  ::waitpid(broker, nullptr, 0);
  sim.Stop();
  std::filesystem::remove_all(dir);

  std::vector<double> lat;
  long received = 0, messages = 0;
  {
    std::lock_guard lock(receiver.mutex);
    lat = receiver.latencies_ms;
    received = receiver.received;
    messages = receiver.messages;
  }
  const long expected = static_cast<long>(cycles) * tags;
  std::printf("%s: tags %d, a change of all every %d ms, %d s\n",
              sparkplug ? "Sparkplug B DDATA" : "plain MQTT", tags, period_ms, seconds);
  std::printf("messages to the subscriber: %ld, %.0f/s\n", messages,
              static_cast<double>(messages) / wall);
  std::printf("changes arrived: %ld of %ld (%.1f%%; the rest were overtaken by newer values)\n",
              received, expected,
              100.0 * static_cast<double>(received) / static_cast<double>(expected));
  std::printf("latency simulator -> subscriber: median %.1f ms, p99 %.1f ms, max %.1f ms\n",
              Percentile(lat, 0.5), Percentile(lat, 0.99), Percentile(lat, 1.0));
  std::printf("gateway CPU: %.2f s in %.1f s = %.1f%% of one core\n", cpu, wall,
              100.0 * cpu / wall);
  return 0;
}
