// The MQTT suites' shared fixture: a real mosquitto broker started on a free
// port with its own configuration in a private folder, a libmosquitto client
// standing for a SCADA subscriber, and the demo line (demo_line.h) with the
// gateway started in the background against both.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools_host/demo_line.h"
#include "tests/tools_host/subprocess.h"
#include "tools/plcsim/plc_simulator.h"

extern char** environ;

namespace dravik::test {

using Json = nlohmann::json;
using namespace std::chrono_literals;

inline const std::string kHost = DRAVIK_HOST_BIN;
inline const std::string kProjectTool = DRAVIK_PROJECT_BIN;
inline const std::string kSamples = DRAVIK_SAMPLES_DIR;
inline const std::string kBroker = MOSQUITTO_BROKER_BIN;
inline const std::string kPrefix = "draviknet/demo";
inline constexpr int kAreaR = 7;

// The demo's tags; Counter is read-only for MQTT, the others take writes.
inline const std::string kTags =
    "name,device,address,type,length,access\n"
    "Counter,DVK.PLC1,R1,uint16,2,r\n"
    "Setpoint,DVK.PLC1,R7,int16,2,rw\n"
    "Label,DVK.PLC1,R5,string,4,rw\n"
    "Counter2,DVK.PLC2,R1,uint16,2,rw\n";
inline const char* const kTagNames[] = {"Counter", "Setpoint", "Label", "Counter2"};

inline bool PortAccepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// The mosquitto broker as a child process, without persistence, so a restart
// forgets every retained message.
class Broker {
 public:
  // `extra` replaces the anonymous access (TLS, a password file).
  explicit Broker(const TempDir& dir, const std::string& extra = "allow_anonymous true\n")
      : port_(FreeLocalPort()), conf_(dir.File("mosquitto.conf")) {
    WriteText(conf_,
              "listener " + std::to_string(port_) + " 127.0.0.1\npersistence false\n" + extra);
  }
  ~Broker() { Stop(); }
  bool Start() {
    const char* argv[] = {kBroker.c_str(), "-c", conf_.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int rc = posix_spawn(&pid_, kBroker.c_str(), &actions, nullptr,
                               const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return false;
    for (int i = 0; i < 100; ++i) {
      if (PortAccepts(port_)) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  int port() const { return port_; }
  std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }

 private:
  const int port_;
  const std::string conf_;
  pid_t pid_ = -1;
};

// A subscriber (and publisher of set requests) on the broker.
class Client {
 public:
  explicit Client(int port, const std::string& cafile = "", const std::string& user = "",
                  const std::string& password = "") {
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(mosq_, &Client::OnMessage);
    if (!cafile.empty())
      mosquitto_tls_set(mosq_, cafile.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (!user.empty()) mosquitto_username_pw_set(mosq_, user.c_str(), password.c_str());
    connected_ = mosquitto_connect(mosq_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS;
    mosquitto_subscribe(mosq_, nullptr, (kPrefix + "/#").c_str(), 1);
    mosquitto_loop_start(mosq_);
  }
  ~Client() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
  }
  bool connected() const { return connected_; }
  void Publish(const std::string& topic, const std::string& payload, bool retain = false) {
    mosquitto_publish(mosq_, nullptr, (kPrefix + "/" + topic).c_str(),
                      static_cast<int>(payload.size()), payload.data(), 1, retain);
  }
  // Every payload seen on `topic`, in order.
  std::vector<std::string> History(const std::string& topic) {
    std::lock_guard lock(mutex_);
    return history_[topic];
  }
  // Waits for the write result of `tag` carrying `id`.
  Json WaitForResult(const std::string& tag, const Json& id, std::chrono::milliseconds t = 8s) {
    Json found;
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, t, [&] {
      for (const auto& p : history_["tag/" + tag + "/set/result"]) {
        const Json j = Json::parse(p, nullptr, false);
        if (j.is_object() && j.value("id", Json()) == id) found = j;
      }
      return !found.is_null();
    });
    return found;
  }
  // Waits up to `timeout` until `done` holds for the last payload per topic
  // (topics under the prefix, without it).
  bool WaitFor(const std::function<bool(const std::map<std::string, std::string>&)>& done,
               std::chrono::milliseconds timeout = 10s) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return done(last_); });
  }
  // Waits for an error record on log about `tag` whose text holds `text`.
  bool WaitForLog(const std::string& tag, const std::string& text) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, 5s, [&] {
      for (const auto& j : logs_) {
        if (j.is_object() && j.value("tag", "") == tag &&
            j.value("text", "").find(text) != std::string::npos) {
          return true;
        }
      }
      return false;
    });
  }
  std::map<std::string, std::string> Last() {
    std::lock_guard lock(mutex_);
    return last_;
  }

 private:
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
    auto* c = static_cast<Client*>(self);
    const std::string topic = std::string(m->topic).substr(kPrefix.size() + 1);
    const std::string payload(static_cast<const char*>(m->payload),
                              static_cast<size_t>(m->payloadlen));
    {
      std::lock_guard lock(c->mutex_);
      c->last_[topic] = payload;
      c->history_[topic].push_back(payload);
      if (topic == "log") c->logs_.push_back(Json::parse(payload, nullptr, false));
    }
    c->cv_.notify_all();
  }
  mosquitto* mosq_ = nullptr;
  bool connected_ = false;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<std::string, std::string> last_;
  std::map<std::string, std::vector<std::string>> history_;
  std::vector<Json> logs_;
};

inline bool HasValue(const std::map<std::string, std::string>& last, const std::string& tag,
                     const Json& value) {
  const auto it = last.find("tag/" + tag);
  if (it == last.end()) return false;
  const Json j = Json::parse(it->second, nullptr, false);
  return j.is_object() && j.contains("value") && j["value"] == value && j.contains("ts");
}

inline ProcessResult Host(const std::vector<std::string>& args, ProcessOptions options = {}) {
  std::vector<std::string> argv = {kHost};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, options);
}

class MqttGatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(line_.Start(dir_, &error)) << error;
    project_ = line_.project();
    sim_ = &line_.sim();
    tags_ = dir_.File("tags.csv");
    ASSERT_TRUE(WriteText(tags_, kTags));
    ASSERT_TRUE(sim_->SetWord(1, kAreaR, 1, 42));
    ASSERT_TRUE(sim_->SetWord(1, kAreaR, 7, 7));
    ASSERT_TRUE(sim_->SetWord(2, kAreaR, 1, 5));
    ASSERT_TRUE(broker_.Start());
  }
  void TearDown() override { line_.Stop(); }

  // The gateway runs in the background; the future gives its result.
  // `wrapper`: a program the gateway runs under (prlimit, say).
  std::future<ProcessResult> StartGateway(std::vector<std::string> extra, int kill_after_ms = 0,
                                          const std::string& commands = "",
                                          std::vector<std::string> wrapper = {}) {
    std::vector<std::string> argv = std::move(wrapper);
    const std::vector<std::string> gateway = {kHost,    "run",         project_,
                                              "--tags", tags_,         "--json",
                                              "--mqtt", broker_.url(), "--mqtt-stats-seconds",
                                              "1"};
    argv.insert(argv.end(), gateway.begin(), gateway.end());
    argv.insert(argv.end(), extra.begin(), extra.end());
    ProcessOptions options;
    options.env = line_.env();
    options.timeout_ms = 40000;
    options.keep_stdin_open = true;
    options.stdin_text = commands;
    if (kill_after_ms > 0) {
      options.signal_after_ms = kill_after_ms;
      options.signal_number = SIGKILL;
    }
    return std::async(std::launch::async, [argv, options] { return RunProcess(argv, options); });
  }

  uint16_t Word(int station, int address) {
    uint16_t w = 0;
    EXPECT_TRUE(sim_->GetWord(station, kAreaR, address, &w));
    return w;
  }

  static bool AllRetained(const std::map<std::string, std::string>& last) {
    for (const char* tag : kTagNames) {
      if (last.count(std::string("tag/") + tag) == 0) return false;
    }
    return last.count("station/PLC1/state") != 0 && last.count("station/PLC2/state") != 0 &&
           last.count("status") != 0 && last.at("status") == "online";
  }

  TempDir dir_;
  Broker broker_{dir_};
  DemoLine line_;
  std::string project_;
  std::string tags_;
  plcsim::PlcSimulator* sim_ = nullptr;
};

}  // namespace dravik::test
