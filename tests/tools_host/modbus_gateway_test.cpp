// dravik-host --modbus-tcp on the PLC simulator's line, used by a client we
// did not write (Debian's pymodbus, through modbus_client.py) and by a
// hostile one on raw sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools_host/demo_line.h"
#include "tests/tools_host/subprocess.h"
#include "tools/plcsim/plc_simulator.h"

namespace dravik::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kAreaC = 4;
constexpr int kAreaR = 7;

class ModbusGatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(line_.Start(dir_, &error)) << error;
    sim_ = &line_.sim();
  }

  // The gateway for `seconds`; returns once both units answer a read.
  // `wrapper` runs the gateway (a limit setter).
  std::future<ProcessResult> StartHost(int seconds, std::vector<std::string> extra,
                                       std::vector<std::string> wrapper = {}) {
    ProcessOptions options;
    options.env = line_.env();
    options.keep_stdin_open = true;
    options.timeout_ms = (seconds + 30) * 1000;
    std::vector<std::string> argv = {DRAVIK_HOST_BIN,
                                     "run",
                                     line_.project(),
                                     "--tags",
                                     DRAVIK_SAMPLES_DIR "/demo_tags.csv",
                                     "--quiet",
                                     "--for",
                                     std::to_string(seconds),
                                     "--modbus-tcp",
                                     std::to_string(port_)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.insert(argv.begin(), wrapper.begin(), wrapper.end());
    auto host =
        std::async(std::launch::async, [argv, options] { return RunProcess(argv, options); });
    for (int i = 0; i < 50; ++i) {
      const std::vector<std::string> got = Client({"hr:1:512:1", "hr:2:512:1"});
      if (got.size() == 2 && got[0].rfind("ok", 0) == 0 && got[1].rfind("ok", 0) == 0) break;
      std::this_thread::sleep_for(200ms);
    }
    return host;
  }

  // One connection, one result line per operation (modbus_client.py).
  std::vector<std::string> Client(const std::vector<std::string>& ops) {
    std::vector<std::string> argv = {PYTHON3_BIN, MODBUS_CLIENT, std::to_string(port_)};
    argv.insert(argv.end(), ops.begin(), ops.end());
    ProcessOptions options;
    options.timeout_ms = 60000;
    const ProcessResult r = RunProcess(argv, options);
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    if (lines.empty()) lines.push_back("error no output: " + r.err);
    return lines;
  }

  // Polls with `op` until its result starts with `want`; the time it took,
  // or -1 s when it never did within `limit`.
  std::chrono::milliseconds Until(const std::string& op, const std::string& want,
                                  std::chrono::seconds limit) {
    const auto start = Clock::now();
    while (Clock::now() - start < limit) {
      if (Client({op})[0].rfind(want, 0) == 0) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
      }
      std::this_thread::sleep_for(100ms);
    }
    return -1000ms;
  }

  TempDir dir_;
  DemoLine line_;
  plcsim::PlcSimulator* sim_ = nullptr;
  const int port_ = FreeLocalPort();
};

TEST_F(ModbusGatewayTest, ReadsWritesAndExceptionsAsAClientSeesThem) {
  // PLC1: block R1..R10 and C1..C16; Remote (R100) polled on its own.
  // PLC2: block R1..R4. R9 of PLC1 refuses writes.
  sim_->SetWord(1, kAreaR, 7, 321);
  sim_->SetWord(1, kAreaR, 100, 4242);
  sim_->SetWord(2, kAreaR, 2, 65531);
  sim_->SetBit(1, kAreaC, 3, true);
  sim_->RefuseWrites(1, kAreaR, 9);
  auto host = StartHost(15, {"--modbus-writes"});

  const struct {
    const char* op;
    const char* want;
    const char* why;
  } cases[] = {
      {"hr:1:518:1", "ok 321", "R7 is holding register 512 + 6"},
      {"hr:1:611:1", "ok 4242", "a tag outside every block is served too"},
      {"ir:2:513:1", "ok 65531", "input registers are the same words"},
      {"co:1:1024:4", "ok 0,0,1,0", "C1.. are coils 1024.."},
      {"di:1:1026:1", "ok 1", "discrete inputs are the same bits"},
      {"hr:1:600:1", "exc 2", "R89: no block, no tag"},
      {"hr:1:521:2", "exc 2", "R10 and R11: past the block's end"},
      {"hr:9:512:1", "exc 10", "no station has number 9"},
      {"hr:1:512:126", "exc 3", "more registers than one reply holds"},
      {"w6:1:518:1234", "ok", "R7 accepted by the PLC"},
      {"w16:1:514:5,6", "ok", "R3 and R4 in one request"},
      {"w5:1:1027:1", "ok", "C4"},
      {"w15:1:1028:1,0,1", "ok", "C5..C7"},
      {"w6:1:611:77", "ok", "R100 through its tag"},
      {"w6:1:520:7", "exc 4", "R9: the PLC refuses"},
      {"w6:1:600:7", "exc 2", "R89 is not served"},
  };
  std::vector<std::string> ops;
  for (const auto& c : cases) ops.push_back(c.op);
  const std::vector<std::string> got = Client(ops);
  ASSERT_EQ(got.size(), ops.size()) << got.back();
  for (size_t i = 0; i < ops.size(); ++i) {
    EXPECT_EQ(got[i], cases[i].want) << cases[i].op << ": " << cases[i].why;
  }

  // The PLC holds what the accepted writes wrote, and nothing of the refused.
  const struct {
    int area, address, value;
  } memory[] = {{kAreaR, 7, 1234}, {kAreaR, 3, 5}, {kAreaR, 4, 6},
                {kAreaR, 100, 77}, {kAreaR, 9, 0}, {kAreaC, 4, 1},
                {kAreaC, 5, 1},    {kAreaC, 6, 0}, {kAreaC, 7, 1}};
  for (const auto& m : memory) {
    uint16_t word = 9;
    bool bit = false;
    ASSERT_TRUE(m.area == kAreaR ? sim_->GetWord(1, m.area, m.address, &word)
                                 : sim_->GetBit(1, m.area, m.address, &bit));
    EXPECT_EQ(m.area == kAreaR ? word : bit ? 1 : 0, m.value) << m.area << ":" << m.address;
  }
  const ProcessResult ran = host.get();
  EXPECT_EQ(ran.exit_code, 0) << ran.err;
  EXPECT_NE(ran.out.find("modbus: Modbus TCP server on 127.0.0.1:" + std::to_string(port_) +
                         ", units 1 (PLC1), 2 (PLC2); writes on"),
            std::string::npos)
      << ran.out;
}

TEST_F(ModbusGatewayTest, ASilentStationIsAnsweredGatewayTargetFailedWithinTenSeconds) {
  auto host = StartHost(40, {"--modbus-writes"});
  ASSERT_EQ(Client({"hr:2:512:1"})[0].rfind("ok", 0), 0u);
  sim_->SetStationOff(2, true);
  const auto stale = Until("hr:2:512:1", "exc 11", 15s);
  EXPECT_GE(stale.count(), 0) << "a silent station's values were still served";
  EXPECT_LT(stale, 10s);
  // The other station is served meanwhile, and a write to the silent one is
  // answered as one the PLC did not answer.
  EXPECT_EQ(Client({"hr:1:512:1", "w6:2:513:9"}), (std::vector<std::string>{"ok 0", "exc 11"}));
  sim_->SetStationOff(2, false);
  const auto back = Until("hr:2:512:1", "ok", 20s);
  EXPECT_GE(back.count(), 0) << "the station never came back";
  host.get();
}

// A socket to the gateway; -1 when refused.
int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST_F(ModbusGatewayTest, HostileClientsNeitherStopTheLineNorGrowTheGateway) {
  const int http_port = FreeLocalPort();
  auto host = StartHost(25, {"--modbus-max-clients", "32", "--modbus-idle-seconds", "3", "--http",
                             "127.0.0.1:" + std::to_string(http_port)});
  const auto rate = [&] {
    const uint64_t before = sim_->RequestCount();
    std::this_thread::sleep_for(2s);
    return sim_->RequestCount() - before;
  };
  const uint64_t quiet_rate = rate();
  const int pid = FindProcesses({"dravik-host", line_.project()}).at(0);
  const long rss_before = ResidentKb(pid);

  const uint8_t frames[][12] = {
      {0, 1, 0, 0, 0xFF, 0xFF, 1, 3, 2, 0, 0, 1},  // a 64 KB length field
      {0, 1, 0, 1, 0, 6, 1, 3, 2, 0, 0, 1},        // protocol id 1
      {0xde, 0xad, 0xbe, 0xef, 0, 0, 0, 0, 0, 0, 0, 0},
  };
  auto probe = std::async(std::launch::async, [&] {
    for (int i = 0; i < 1000; ++i) {
      const int fd = Connect(port_);
      if (fd < 0) continue;
      if (i % 3 == 0) (void)!::write(fd, frames[i % 9 / 3], sizeof frames[0]);
      ::close(fd);
    }
    // Half-open: connected, never a byte. They are held until the gateway has
    // come to them and refused the one past its limit (closed at once), which
    // a slow build takes a while to reach behind the probe's thousand.
    std::vector<pollfd> silent;
    for (int i = 0; i < 40; ++i) silent.push_back({Connect(port_), POLLIN, 0});
    ::poll(silent.data(), silent.size(), 10000);
    for (const pollfd& p : silent) ::close(p.fd);
  });
  const uint64_t probed_rate = rate();
  probe.get();
  // A line the probe held up would all but stop; the bench measures the
  // small change a loaded machine shows.
  EXPECT_GE(probed_rate * 2, quiet_rate)
      << "the line slowed: " << quiet_rate << " then " << probed_rate << " requests in 2 s";
  EXPECT_EQ(Until("hr:1:512:1", "ok", 10s) >= 0ms, true) << "no client served after the probe";
  EXPECT_EQ(Client({"w6:1:518:1"})[0], "exc 1") << "a write without --modbus-writes";
  // A function the gateway does not serve, with data libmodbus does not
  // frame, is answered 01 and the connection goes on.
  const int fd = Connect(port_);
  const uint8_t diagnostics[] = {0, 7, 0, 0, 0, 6, 1, 8, 0, 0, 0x12, 0x34};
  const uint8_t read[] = {0, 8, 0, 0, 0, 6, 1, 3, 2, 0, 0, 1};
  uint8_t reply[64] = {};
  const timeval wait{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  ASSERT_EQ(::write(fd, diagnostics, sizeof diagnostics), static_cast<ssize_t>(sizeof diagnostics));
  ASSERT_EQ(::read(fd, reply, sizeof reply), 9);
  EXPECT_EQ(reply[7], 0x88);
  EXPECT_EQ(reply[8], 1);
  ASSERT_EQ(::write(fd, read, sizeof read), static_cast<ssize_t>(sizeof read));
  ASSERT_EQ(::read(fd, reply, sizeof reply), 11);
  EXPECT_EQ(reply[1], 8);
  EXPECT_EQ(reply[7], 3);
  ::close(fd);

  const long rss_after = ResidentKb(pid);
  EXPECT_GT(rss_before, 0);
  EXPECT_LT(rss_after - rss_before, 20 * 1024) << rss_before << " kB, then " << rss_after;

  httplib::Client http("127.0.0.1", http_port);
  std::this_thread::sleep_for(500ms);  // the next sample carries the counts
  const auto metrics = http.Get("/metrics");
  ASSERT_TRUE(metrics);
  ProcessOptions check;
  check.stdin_text = metrics->body;
  EXPECT_EQ(RunProcess({PROMTOOL_BIN, "check", "metrics"}, check).exit_code, 0) << metrics->body;
  for (const char* counted :
       {"draviknet_modbus_malformed_total{line=\"demo\"} ",
        "draviknet_modbus_connections_refused_total{line=\"demo\"} ",
        "draviknet_modbus_requests_total{line=\"demo\",function=\"read_holding_registers\","
        "result=\"ok\"} "}) {
    const size_t at = metrics->body.find(counted);
    ASSERT_NE(at, std::string::npos) << counted << metrics->body;
    EXPECT_GT(std::stol(metrics->body.substr(at + std::strlen(counted))), 0) << counted;
  }
  host.get();
}

// Whether a reply arrives on `fd` within `ms`.
bool Answered(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  uint8_t reply[64];
  return ::poll(&p, 1, ms) == 1 && ::read(fd, reply, sizeof reply) > 0;
}

// With its descriptor table full (a small limit here) the gateway cannot
// accept: the client waits in the queue, the gateway says so once, and once
// other clients leave it gives their sockets back and serves the one waiting.
TEST_F(ModbusGatewayTest, AFullDescriptorTableIsSaidAndClearsWhenClientsLeave) {
  auto host = StartHost(20, {"--modbus-max-clients", "200"}, {PRLIMIT_BIN, "--nofile=64", "--"});
  const uint8_t read[] = {0, 1, 0, 0, 0, 6, 1, 3, 2, 0, 0, 1};
  std::vector<int> served;
  int waiting = -1;
  while (waiting < 0 && served.size() < 100) {
    const int fd = Connect(port_);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, read, sizeof read), static_cast<ssize_t>(sizeof read));
    if (Answered(fd, 3000)) {
      served.push_back(fd);
    } else {
      waiting = fd;
    }
  }
  ASSERT_GE(waiting, 0) << served.size() << " clients served under a limit of 64 descriptors";
  for (const int fd : served) ::close(fd);
  EXPECT_TRUE(Answered(waiting, 10000)) << "the waiting client was not served";
  ::close(waiting);
  const ProcessResult ran = host.get();
  const std::string said = "modbus: cannot accept a connection: Too many open files";
  const size_t first = ran.out.find(said);
  EXPECT_NE(first, std::string::npos) << ran.out;
  EXPECT_EQ(ran.out.find(said, first + 1), std::string::npos) << "said more than once" << ran.out;
  EXPECT_NE(ran.out.find("modbus: accepting connections again"), std::string::npos) << ran.out;
}

}  // namespace
}  // namespace dravik::test
