// dravik-host --http on the PLC simulator's line, looked at by what a user
// runs: Debian's chromium (through playwright-core) on the page, promtool on
// /metrics and a real prometheus scraping the gateway. The outage lasts far
// longer than five failed exchanges, so a station turns failing whether its
// state follows the first failure or the driver's "cannot communicate".
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>

#include "tests/tools_host/demo_line.h"
#include "tests/tools_host/subprocess.h"
#include "tools/plcsim/plc_simulator.h"

namespace dravik::test {
namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

class HttpStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(line_.Start(dir_, &error)) << error;
    project_ = line_.project();
    sim_ = &line_.sim();
  }
  void TearDown() override { line_.Stop(); }

  // The gateway with PLC2 disabled from its stdin; returns once the page shows it.
  std::future<ProcessResult> StartHost(int seconds) {
    ProcessOptions options;
    options.env = line_.env();
    options.stdin_text = "disable PLC2\n";
    options.keep_stdin_open = true;
    options.timeout_ms = (seconds + 20) * 1000;
    const std::string tags = DRAVIK_SAMPLES_DIR "/demo_tags.csv";
    const std::string address = "127.0.0.1:" + std::to_string(port_);
    const std::vector<std::string> argv = {
        DRAVIK_HOST_BIN,         "run",    project_, "--tags", tags, "--quiet", "--for",
        std::to_string(seconds), "--http", address};
    auto host =
        std::async(std::launch::async, [argv, options] { return RunProcess(argv, options); });
    for (int i = 0; i < 100 && !Running(); ++i) std::this_thread::sleep_for(100ms);
    return host;
  }

  // PLC1 polled, PLC2 disabled, as the API says.
  bool Running() {
    const auto res = Get("/api/v1/stations");
    if (!res) return false;
    const Json stations = Json::parse(res->body)["stations"];
    return Station(stations, "PLC1")["state"] == "ok" &&
           Station(stations, "PLC2")["state"] == "disabled";
  }

  httplib::Result Get(const std::string& path, int port = 0) {
    httplib::Client client("127.0.0.1", port == 0 ? port_ : port);
    client.set_read_timeout(5, 0);
    return client.Get(path.c_str());
  }

  static Json Station(const Json& list, const std::string& name) {
    for (const auto& s : list) {
      if (s["name"] == name) return s;
    }
    return nullptr;
  }

  TempDir dir_;
  DemoLine line_;
  std::string project_;
  plcsim::PlcSimulator* sim_ = nullptr;
  const int port_ = FreeLocalPort();
};

TEST_F(HttpStatusTest, ChromiumSeesStatesCountersAndAnOutageWithoutReload) {
  auto host = StartHost(40);
  const std::string marker = dir_.File("before.json");
  const std::string shot = STATUS_PAGE_SCREENSHOT;
  ProcessOptions node;
  node.env = {"NODE_PATH=" DRAVIKNET_NODE_MODULES};
  node.timeout_ms = 90000;
  auto browser = std::async(std::launch::async, [&] {
    return RunProcess({NODE_BIN, STATUS_PAGE_SCRIPT,
                       "http://127.0.0.1:" + std::to_string(port_) + "/", marker, shot},
                      node);
  });
  for (int i = 0; i < 300 && !PathExists(marker); ++i) std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(PathExists(marker)) << "the page never showed PLC1 ok and PLC2 disabled";
  std::this_thread::sleep_for(200ms);  // the marker is written whole by then
  const Json before = Json::parse(ReadText(marker));
  const Json api = Json::parse(Get("/api/v1/stations")->body)["stations"];
  sim_->SetFaultRate(plcsim::FaultKind::kBadChecksum, 1.0);
  const ProcessResult seen = browser.get();
  sim_->SetFaultRate(plcsim::FaultKind::kBadChecksum, 0.0);
  ASSERT_EQ(seen.exit_code, 0) << seen.out << seen.err;
  const Json result = Json::parse(seen.out);

  // Before: PLC1 polled without failure; PLC2's counters stopped at the
  // disable, so the page and the API show the same numbers.
  const Json plc1 = Station(before, "PLC1");
  EXPECT_GT(std::stoi(plc1["reads_sent"].get<std::string>()), 0);
  EXPECT_EQ(plc1["reads_failed"], "0");
  EXPECT_EQ(plc1["rate"], "0 %");
  const Json plc2 = Station(before, "PLC2");
  EXPECT_EQ(plc2["reads_sent"], std::to_string(Station(api, "PLC2")["reads_sent"].get<int>()));
  EXPECT_EQ(plc2["reads_failed"], "0");
  // During the outage: failing, in the same page load, with failures counted
  // and every tag marked stale.
  const Json during = Station(result["during"], "PLC1");
  SCOPED_TRACE(seen.out);
  EXPECT_EQ(during["state"], "failing");
  EXPECT_GE(std::stoi(during["reads_failed"].get<std::string>()), 1);
  EXPECT_NE(during["rate"], "0 %");
  EXPECT_EQ(result["navigations"], 1) << "the page was reloaded";
  EXPECT_EQ(std::set<std::string>(result["qualities"].begin(), result["qualities"].end()),
            std::set<std::string>{"stale"});
  EXPECT_TRUE(PathExists(shot));
  const ProcessResult ran = host.get();
  EXPECT_EQ(ran.exit_code, 0) << ran.err;
}

TEST_F(HttpStatusTest, PrometheusScrapesEveryStationAndBadRequestsGet4xx) {
  auto host = StartHost(25);
  const auto metrics = Get("/metrics");
  ASSERT_TRUE(metrics);
  ProcessOptions check;
  check.stdin_text = metrics->body;
  const ProcessResult promtool = RunProcess({PROMTOOL_BIN, "check", "metrics"}, check);
  EXPECT_EQ(promtool.exit_code, 0) << promtool.out << promtool.err << metrics->body;
  const ProcessResult rules = RunProcess({PROMTOOL_BIN, "check", "rules", ALERT_RULES});
  EXPECT_EQ(rules.exit_code, 0) << rules.out << rules.err;
  for (const char* sample :
       {"draviknet_port_open{line=\"demo\"} 1\n",
        "draviknet_station_state{line=\"demo\",station=\"PLC1\",state=\"ok\"} 1\n",
        "draviknet_station_state{line=\"demo\",station=\"PLC2\",state=\"disabled\"} 1\n"}) {
    EXPECT_NE(metrics->body.find(sample), std::string::npos) << sample << metrics->body;
  }

  const struct {
    const char* method;
    std::string path;
    int status;
  } requests[] = {
      {"GET", "/nothing-here", 404},
      {"GET", "/api/v1/" + std::string(20000, 'x'), 414},
      {"POST", "/api/v1/tags", 405},
      {"DELETE", "/metrics", 405},
  };
  for (const auto& r : requests) {
    httplib::Client client("127.0.0.1", port_);
    httplib::Request request;
    request.method = r.method;
    request.path = r.path;
    const auto res = client.send(request);
    ASSERT_TRUE(res) << r.method << " " << r.path.substr(0, 40);
    EXPECT_EQ(res->status, r.status) << r.method << " " << r.path.substr(0, 40);
  }

  // 64 connections that send nothing: a GET is answered without waiting
  // for any of them to reach its read time-out (2 s).
  std::vector<int> idle;
  for (int i = 0; i < 64; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port_));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    idle.push_back(fd);
  }
  std::this_thread::sleep_for(200ms);  // taken up by the server's threads
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_TRUE(Get("/api/v1/stations"));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s)
      << "the GET waited for idle connections to time out";
  for (const int fd : idle) close(fd);

  const int prom_port = FreeLocalPort();
  WriteText(dir_.File("prometheus.yml"),
            "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\nrule_files: ['" +
                std::string(ALERT_RULES) + "']\nscrape_configs:\n  - job_name: draviknet\n"
            "    static_configs:\n      - targets: ['127.0.0.1:" +
                std::to_string(port_) + "']\n");
  ProcessOptions prom;
  prom.timeout_ms = 25000;  // ends it: the test has its answer by then
  auto prometheus = std::async(std::launch::async, [&] {
    return RunProcess({PROMETHEUS_BIN, "--config.file=" + dir_.File("prometheus.yml"),
                       "--storage.tsdb.path=" + dir_.File("tsdb"),
                       "--web.listen-address=127.0.0.1:" + std::to_string(prom_port)},
                      prom);
  });
  std::set<std::string> stations;
  for (int i = 0; i < 120 && stations.size() < 2; ++i) {
    std::this_thread::sleep_for(100ms);
    const auto res = Get("/api/v1/query?query=draviknet_reads_total", prom_port);
    if (!res || res->status != 200) continue;
    const Json answer = Json::parse(res->body);
    for (const auto& s : answer["data"]["result"]) {
      if (s["metric"]["line"] == "demo") stations.insert(s["metric"]["station"].get<std::string>());
    }
  }
  // What an operator alerts on reaches prometheus, with values that moved.
  for (const char* query :
       {"draviknet_build_info", "draviknet_reply_duration_seconds_count%3E0",
        "draviknet_cycle_duration_seconds%3E0", "draviknet_writes_refused_total",
        "draviknet_demotions_total", "draviknet_mqtt_reconnects_total",
        "draviknet_last_good_reply_timestamp_seconds%3E0"}) {
    bool answered = false;
    for (int i = 0; i < 30 && !answered; ++i) {
      const auto res = Get(std::string("/api/v1/query?query=") + query, prom_port);
      answered = res && res->status == 200 && !Json::parse(res->body)["data"]["result"].empty();
      if (!answered) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(answered) << query;
  }
  // The example alert rules evaluate on what the gateway serves.
  std::set<std::string> healthy;
  for (int i = 0; i < 100 && healthy.size() < 2; ++i) {
    const auto res = Get("/api/v1/rules", prom_port);
    if (res && res->status == 200) {
      const Json answer = Json::parse(res->body);
      for (const auto& g : answer["data"]["groups"]) {
        for (const auto& r : g["rules"]) {
          if (r.value("health", "") == "ok") healthy.insert(r.value("name", ""));
        }
      }
    }
    if (healthy.size() < 2) std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(healthy, (std::set<std::string>{"DravikStationSilent", "DravikCycleSlow"}));
  EXPECT_EQ(stations, (std::set<std::string>{"PLC1", "PLC2"})) << prometheus.get().err;
  host.wait();
}

}  // namespace
}  // namespace dravik::test
