// End-to-end bench of the MQTT gateway: a private mosquitto broker, the PLC
// simulator on a pseudo-terminal, and dravik-host --mqtt --quiet as a child
// process. Every period all tags get a new value in the simulator; a
// libmosquitto subscriber notes when each arrives on tag/<TAG>, or with
// --sparkplug as a metric of a Sparkplug B DDATA (decoded with the gateway's
// own payload code). Prints the messages per second, the latency from the
// change in the simulator to the subscriber (median, p99, max), how many
// changes arrived, and the gateway's CPU time per wall time.
// With --outage-seconds N (plain topics) the broker is stopped for N s ten
// seconds in, the gateway keeping what changed under --state-dir; the bench
// then reports the outage's changes delivered, the replay time, the
// gateway's peak RSS and the disk bytes per change kept.
// Run by hand: mqtt_gateway_bench [--seconds 20] [--tags 100] [--period-ms 100] [--sparkplug]
//              [--outage-seconds N]
#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
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
#include <cstring>
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
  std::string topic;  // subscribed at every connect: the broker may restart
  long received = 0;
  long messages = 0;
  // Plain topics: each tag's change of each cycle, once (a change replayed
  // after an outage counts when it was not seen live).
  int tags = 0;
  std::vector<uint8_t> seen;  // [cycle * tags + tag]
  long unique = 0;
  long outage_first = 0, outage_last = -1;  // the cycles made while the broker was away
  long outage_seen = 0;
  Clock::time_point last_outage_arrival{};
};

// The tag index of bench/tag/T<n>, or -1.
int TagIndex(const char* topic) {
  const char* name = std::strrchr(topic, '/');
  if (name == nullptr || name[1] != 'T') return -1;
  return std::atoi(name + 2) - 1;
}

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
  const int tag = r->sparkplug ? -1 : TagIndex(m->topic);
  if (tag >= 0 && tag < r->tags && cycles.size() == 1) {
    const size_t at =
        static_cast<size_t>(cycles[0]) * static_cast<size_t>(r->tags) + static_cast<size_t>(tag);
    if (cycles[0] > 0 && at < r->seen.size() && r->seen[at] == 0) {
      r->seen[at] = 1;
      ++r->unique;
      if (cycles[0] >= r->outage_first && cycles[0] <= r->outage_last) {
        ++r->outage_seen;
        r->last_outage_arrival = now;
      }
    }
  }
  for (const long cycle : cycles) {
    if (cycle <= 0 || static_cast<size_t>(cycle) >= r->changed_at.size()) continue;
    ++r->received;
    r->latencies_ms.push_back(
        std::chrono::duration<double, std::milli>(now - r->changed_at[static_cast<size_t>(cycle)])
            .count());
  }
}

void Subscribe(mosquitto* mosq, void* self, int rc) {
  if (rc == 0) mosquitto_subscribe(mosq, nullptr, static_cast<Receiver*>(self)->topic.c_str(), 1);
}

// A /proc/PID/status field in kB (VmRSS, VmHWM), 0 when gone.
long StatusKb(pid_t pid, const char* field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
  }
  return 0;
}

// The gateway's own counts from its /metrics: what the driver delivered and
// what the MQTT face coalesced or dropped on the way.
std::string GatewayCounts(int http_port) {
  httplib::Client client("127.0.0.1", http_port);
  const auto res = client.Get("/metrics");
  if (!res || res->status != 200) return "(no /metrics)";
  std::string out;
  std::istringstream lines(res->body);
  for (std::string line; std::getline(lines, line);) {
    for (const char* name : {"draviknet_values_delivered_total", "draviknet_values_coalesced_total",
                             "draviknet_values_dropped_total"}) {
      if (line.rfind(name, 0) == 0) out += (out.empty() ? "" : ", ") + line.substr(10);
    }
  }
  return out;
}

long FolderBytes(const std::string& dir) {
  long bytes = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    if (e.is_regular_file(ec)) bytes += static_cast<long>(e.file_size(ec));
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 20, tags = 100, period_ms = 100, outage_seconds = 0;
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
    if (a == "--outage-seconds") outage_seconds = std::atoi(argv[++i]);
  }
  constexpr int kOutageAt = 10;  // seconds into the measurement
  if (tags < 1 || tags > 60 * 20 || seconds < 1 || period_ms < 10 || outage_seconds < 0 ||
      (outage_seconds > 0 && (sparkplug || seconds < kOutageAt + outage_seconds + 5))) {
    std::fprintf(stderr,
                 "usage: mqtt_gateway_bench [--seconds N] [--tags 1..1200] [--period-ms N] "
                 "[--sparkplug | --outage-seconds N, with --seconds at least N + 15]\n");
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
  pid_t broker = Spawn({MOSQUITTO_BROKER_BIN, "-c", dir + "/mosquitto.conf"}, {});
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
  receiver.tags = tags;
  receiver.seen.assign((static_cast<size_t>(cycles) + 2) * static_cast<size_t>(tags), 0);
  receiver.topic = sparkplug ? "spBv1.0/bench/DDATA/bench/+" : "bench/tag/+";
  const int outage_from = outage_seconds > 0 ? kOutageAt * 1000 / period_ms + 1 : 0;
  const int outage_to = outage_from + outage_seconds * 1000 / period_ms - 1;
  receiver.outage_first = outage_from;
  receiver.outage_last = outage_seconds > 0 ? outage_to : -1;
  mosquitto_lib_init();
  mosquitto* sub = mosquitto_new(nullptr, true, &receiver);
  mosquitto_message_callback_set(sub, OnMessage);
  mosquitto_connect_callback_set(sub, Subscribe);
  mosquitto_reconnect_delay_set(sub, 1, 1, false);
  if (mosquitto_connect(sub, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) {
    std::fprintf(stderr, "cannot connect the subscriber\n");
    return 1;
  }
  mosquitto_loop_start(sub);

  std::vector<std::string> gateway_args = {
      DRAVIK_HOST_BIN,   "run",     dir + "/bench.dvk", "--tags",
      dir + "/tags.csv", "--quiet", "--mqtt",           "mqtt://127.0.0.1:" + std::to_string(port)};
  for (const char* a :
       sparkplug ? std::vector<const char*>{"--sparkplug", "bench", "--sparkplug-node", "bench"}
                 : std::vector<const char*>{"--mqtt-prefix", "bench"}) {
    gateway_args.emplace_back(a);
  }
  const int http_port = dravik::test::FreeLocalPort();
  gateway_args.insert(gateway_args.end(), {"--http", "127.0.0.1:" + std::to_string(http_port)});
  const std::string state_dir = dir + "/state";
  if (outage_seconds > 0) {
    std::filesystem::create_directory(state_dir);
    gateway_args.insert(gateway_args.end(),
                        {"--state-dir", state_dir, "--mqtt-reconnect-max-seconds", "1"});
  }
  const pid_t gateway =
      Spawn(gateway_args, {"DRAVIKNET_PORTS=" + dir, "DRAVIKNET_CONFIG=" + dir + "/none.conf"});
  std::this_thread::sleep_for(std::chrono::seconds(2));  // connected, first values out

  receiver.measuring = true;
  const double cpu_start = CpuSeconds(gateway);
  const auto wall_start = Clock::now();
  auto next = wall_start;
  Clock::time_point broker_back{};
  long outage_disk_bytes = 0;
  for (int k = 1; k <= cycles; ++k) {
    if (outage_seconds > 0 && k == outage_from) {
      ::kill(broker, SIGTERM);
      ::waitpid(broker, nullptr, 0);
    } else if (outage_seconds > 0 && k == outage_to + 1) {
      outage_disk_bytes = FolderBytes(state_dir);
      broker = Spawn({MOSQUITTO_BROKER_BIN, "-c", dir + "/mosquitto.conf"}, {});
      broker_back = Clock::now();
    }
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
  const long expected = static_cast<long>(cycles) * tags;
  const long outage_changes =
      outage_seconds > 0 ? static_cast<long>(outage_to - outage_from + 1) * tags : 0;
  // The replay may still run: wait until the outage's changes are in, or
  // they stop coming for 10 s.
  for (long before = -1;;) {
    long now_seen = 0;
    {
      std::lock_guard lock(receiver.mutex);
      now_seen = receiver.outage_seen;
    }
    if (outage_seconds == 0 || now_seen >= outage_changes || now_seen == before) break;
    before = now_seen;
    std::this_thread::sleep_for(std::chrono::seconds(10));
  }
  const double wall = std::chrono::duration<double>(Clock::now() - wall_start).count();
  const double cpu = CpuSeconds(gateway) - cpu_start;
  const long peak_rss_kb = StatusKb(gateway, "VmHWM:");
  const std::string counts = GatewayCounts(http_port);
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
  long received = 0, messages = 0, unique = 0, outage_seen = 0;
  Clock::time_point last_outage_arrival;
  {
    std::lock_guard lock(receiver.mutex);
    lat = receiver.latencies_ms;
    received = receiver.received;
    messages = receiver.messages;
    unique = receiver.unique;
    outage_seen = receiver.outage_seen;
    last_outage_arrival = receiver.last_outage_arrival;
  }
  std::printf("%s: tags %d, a change of all every %d ms, %d s\n",
              sparkplug ? "Sparkplug B DDATA" : "plain MQTT", tags, period_ms, seconds);
  std::printf("messages to the subscriber: %ld, %.0f/s\n", messages,
              static_cast<double>(messages) / wall);
  if (sparkplug) {
    std::printf("changes arrived: %ld of %ld (%.1f%%)\n", received, expected,
                100.0 * static_cast<double>(received) / static_cast<double>(expected));
  } else {
    std::printf(
        "changes arrived: %ld of %ld (%.2f%%), each tag's change of each cycle counted once\n",
        unique, expected, 100.0 * static_cast<double>(unique) / static_cast<double>(expected));
  }
  if (outage_seconds > 0) {
    std::printf(
        "outage of %d s: %ld changes made, %ld delivered afterwards (%.2f%%), replay done "
        "%.1f s after the broker was back\n",
        outage_seconds, outage_changes, outage_seen,
        100.0 * static_cast<double>(outage_seen) / static_cast<double>(outage_changes),
        std::chrono::duration<double>(last_outage_arrival - broker_back).count());
    std::printf(
        "gateway peak RSS %.1f MB; disk buffer at the outage's end %ld bytes, %.1f bytes "
        "per change\n",
        static_cast<double>(peak_rss_kb) / 1024.0, outage_disk_bytes,
        static_cast<double>(outage_disk_bytes) / static_cast<double>(outage_changes));
  }
  std::printf("the gateway's counts (the whole run, first reads included): %s\n", counts.c_str());
  std::printf("latency simulator -> subscriber: median %.1f ms, p99 %.1f ms, max %.1f ms\n",
              Percentile(lat, 0.5), Percentile(lat, 0.99), Percentile(lat, 1.0));
  std::printf("gateway CPU: %.2f s in %.1f s = %.1f%% of one core\n", cpu, wall,
              100.0 * cpu / wall);
  return 0;
}
