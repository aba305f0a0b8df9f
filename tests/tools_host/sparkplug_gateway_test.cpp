// dravik-host --sparkplug against a real mosquitto broker, with the MQTT
// suites' fixture: births, aliases, commands and their refusals, a retained
// command never written, rebirth, seq past 255, the primary host's STATE,
// device death and birth of a demoted station, and the will after SIGKILL.
#include <sys/stat.h>

#include "tests/tools_host/mqtt_gateway_fixture.h"

namespace dravik::test {
namespace {

// Sparkplug B (--sparkplug): a recorder subscribed to spBv1.0/# before the
// gateway starts keeps every message in arrival order; Python's protobuf,
// with sparkplug_b.proto compiled by protoc in the test's folder, decodes
// them and encodes the host's commands, independently of the gateway's
// protobuf-c code.
class SparkplugRecorder {
 public:
  SparkplugRecorder(int port, std::string folder) : folder_(std::move(folder)) {
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(mosq_, &SparkplugRecorder::OnMessage);
    mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
      auto* r = static_cast<SparkplugRecorder*>(self);
      std::lock_guard lock(r->mutex_);
      r->subscribed_ = true;
      r->cv_.notify_all();
    });
    mosquitto_connect(mosq_, "127.0.0.1", port, 30);
    mosquitto_subscribe(mosq_, nullptr, "spBv1.0/#", 1);
    mosquitto_loop_start(mosq_);
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, 5s, [this] { return subscribed_; });
  }
  ~SparkplugRecorder() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
  }
  // A host's message: `metrics` encoded by the Python side, or a bare text.
  // A command payload as a primary host encodes it (Python's protobuf).
  std::string Encode(const Json& metrics) {
    const auto hex = Python({"--encode"}, Json{{"metrics", metrics}}.dump() + "\n");
    std::string bytes;
    for (size_t i = 0; !hex.empty() && i + 1 < hex[0].size(); i += 2) {
      bytes.push_back(static_cast<char>(std::stoi(hex[0].substr(i, 2), nullptr, 16)));
    }
    return bytes;
  }  void Publish(const std::string& topic, const Json& metrics, bool retain = false) {
    const std::string bytes = metrics.is_string() ? metrics.get<std::string>() : Encode(metrics);
    mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(bytes.size()), bytes.data(),
                      1, retain);
  }
  // Every message so far, decoded (the new ones by one run of the decoder).
  std::vector<Json> Decoded() {
    std::string input;
    {
      std::lock_guard lock(mutex_);
      for (size_t i = decoded_.size(); i < raw_.size(); ++i) input += raw_[i] + "\n";
    }
    if (!input.empty()) {
      for (const auto& line : Python({}, input)) decoded_.push_back(Json::parse(line));
    }
    return decoded_;
  }
  bool WaitFor(const std::function<bool(const std::vector<Json>&)>& done,
               std::chrono::milliseconds timeout = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done(Decoded())) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(200ms);
    }
    return true;
  }

 private:
  std::vector<std::string> Python(const std::vector<std::string>& args, const std::string& in) {
    std::vector<std::string> argv = {PYTHON3_BIN, SPARKPLUG_DECODER};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions options;
    options.env = {"PYTHONPATH=" + folder_};
    options.stdin_text = in;
    const ProcessResult r = RunProcess(argv, options);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1) {
      lines.push_back(r.out.substr(at, end - at));
    }
    return lines;
  }

  static void OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
    auto* r = static_cast<SparkplugRecorder*>(self);
    static const char kHex[] = "0123456789abcdef";
    std::string line = std::string(m->topic) + (m->retain ? " 1 " : " 0 ");
    for (int i = 0; i < m->payloadlen; ++i) {
      const auto b = static_cast<const uint8_t*>(m->payload)[i];
      line += kHex[b >> 4];
      line += kHex[b & 15];
    }
    if (m->payloadlen == 0) line += "00";  // an empty payload decodes as one
    std::lock_guard lock(r->mutex_);
    r->raw_.push_back(line);
  }
  const std::string folder_;
  mosquitto* mosq_ = nullptr;
  std::mutex mutex_;  // guards raw_ and subscribed_ against libmosquitto's thread
  std::condition_variable cv_;
  bool subscribed_ = false;
  std::vector<std::string> raw_;
  std::vector<Json> decoded_;  // the test thread only
};

const std::string kNode = "spBv1.0/Plant/";

// The messages of one type (and device) in arrival order.
std::vector<Json> OfType(const std::vector<Json>& all, const std::string& type,
                         const std::string& device = "") {
  std::vector<Json> out;
  for (const auto& m : all) {
    if (m.value("type", "") == type && (device.empty() || m["device"] == device)) out.push_back(m);
  }
  return out;
}

// The node's messages that carry seq, from the last NBIRTH on (the host's
// commands and the deaths left out).
std::vector<Json> Session(const std::vector<Json>& all) {
  std::vector<Json> out;
  for (const auto& m : all) {
    const std::string type = m.value("type", "");
    if (type == "NBIRTH") out.clear();
    if (type == "NBIRTH" || type == "DBIRTH" || type == "DDEATH" || type == "NDATA" ||
        type == "DDATA") {
      out.push_back(m);
    }
  }
  return out;
}

bool SeqRunsOn(const std::vector<Json>& session) {
  for (size_t i = 0; i < session.size(); ++i) {
    if (session[i]["seq"] != static_cast<int>(i % 256)) return false;
  }
  return !session.empty();
}

Json MetricValue(const Json& message, const std::string& name) {
  for (const auto& m : message["metrics"]) {
    if (m["name"] == name) return m;
  }
  return nullptr;
}

bool LogSays(const std::vector<Json>& all, const std::string& text) {
  for (const auto& m : OfType(all, "NDATA")) {
    for (const auto& metric : m["metrics"]) {
      if (metric["alias"] == 6 && metric["value"].is_string() &&
          metric["value"].get<std::string>().find(text) != std::string::npos) {
        return true;
      }
    }
  }
  return false;
}

class SparkplugGatewayTest : public MqttGatewayTest {
 protected:
  void SetUp() override {
    MqttGatewayTest::SetUp();
    ASSERT_EQ(RunProcess({PROTOC_BIN, "--python_out=" + dir_.path(), "-I", SPARKPLUG_PROTO_DIR,
                          "sparkplug_b.proto"})
                  .exit_code,
              0);
  }
};

TEST_F(SparkplugGatewayTest, BirthsAliasesCommandsRebirthAndSeqWrap) {
  SparkplugRecorder rec(broker_.port(), dir_.path());
  // Waiting on the broker from before: a retained command is never written.
  rec.Publish(kNode + "DCMD/demo/PLC1",
              Json::array({{{"name", "Label"}, {"datatype", 12}, {"value", "ZZZZ"}}}), true);
  const std::string state = dir_.File("state");
  ASSERT_EQ(mkdir(state.c_str(), 0700), 0);
  auto gateway =
      StartGateway({"--sparkplug", "Plant", "--mqtt-writes", "--for", "25", "--state-dir", state});
  ASSERT_TRUE(rec.WaitFor([](const auto& all) {
    return !OfType(all, "DBIRTH", "PLC1").empty() && !OfType(all, "DBIRTH", "PLC2").empty();
  }));
  auto all = Session(rec.Decoded());
  ASSERT_EQ(all[0]["type"], "NBIRTH");  // the node is born before its devices
  EXPECT_EQ(all[0]["seq"], 0);
  EXPECT_EQ(MetricValue(all[0], "bdSeq")["value"], 0);
  EXPECT_EQ(MetricValue(all[0], "bdSeq")["datatype"], 4);  // Int64
  EXPECT_EQ(MetricValue(all[0], "Node Control/Rebirth")["datatype"], 11);
  EXPECT_TRUE(MetricValue(all[0], "Node Control/Rebirth")["alias"].is_null());
  for (const auto& birth : {all[0], all[1], all[2]}) {
    for (const auto& m : birth["metrics"]) EXPECT_FALSE(m["timestamp"].is_null()) << m;
  }
  EXPECT_EQ(all[1]["type"], "DBIRTH");
  EXPECT_EQ(all[2]["type"], "DBIRTH");
  std::map<std::string, int> alias;  // tag name -> alias, from the births
  std::set<int> aliases;
  for (const auto& birth :
       {all[0], OfType(all, "DBIRTH", "PLC1")[0], OfType(all, "DBIRTH", "PLC2")[0]}) {
    for (const auto& m : birth["metrics"]) {
      if (m["alias"].is_null()) continue;
      alias[m["name"]] = m["alias"];
      EXPECT_TRUE(aliases.insert(m["alias"].get<int>()).second) << "alias used twice: " << m;
    }
  }
  const struct {
    const char* device;
    const char* tag;
    int datatype;
    Json value;
  } births[] = {{"PLC1", "Counter", 6, 42}, {"PLC1", "Setpoint", 2, 7}, {"PLC2", "Counter2", 6, 5}};
  for (const auto& b : births) {
    const Json m = MetricValue(OfType(all, "DBIRTH", b.device)[0], b.tag);
    EXPECT_EQ(m["datatype"], b.datatype) << m;
    EXPECT_EQ(m["value"], b.value) << m;
    EXPECT_EQ(m["quality"], 192) << m;
  }
  EXPECT_EQ(MetricValue(OfType(all, "DBIRTH", "PLC1")[0], "Label")["datatype"], 12);

  // Commands: allowed ones reach the PLC, by name or by alias; refused ones
  // are answered on the node's Line/Log and send nothing.
  const struct {
    const char* device;
    Json metric;
    const char* refusal;  // nullptr: written
  } commands[] = {
      {"PLC1", {{"name", "Setpoint"}, {"datatype", 2}, {"value", -300}}, nullptr},
      {"PLC2", {{"alias", alias["Counter2"]}, {"datatype", 6}, {"value", 1234}}, nullptr},
      {"PLC1", {{"name", "Counter"}, {"datatype", 6}, {"value", 5}}, "read-only"},
      {"PLC1", {{"name", "Setpoint"}, {"datatype", 2}, {"value", 70000}}, "outside -32768..32767"},
      {"PLC1", {{"name", "Setpoint"}, {"datatype", 12}, {"value", "55"}},
       "is not the metric's birth datatype 2"},
      {"PLC2", {{"name", "Setpoint"}, {"datatype", 2}, {"value", 1}}, "no metric of that"},
  };
  for (const auto& c : commands)
    rec.Publish(kNode + "DCMD/demo/" + c.device, Json::array({c.metric}));
  for (const auto& c : commands) {
    if (c.refusal != nullptr) {
      EXPECT_TRUE(rec.WaitFor([&](const auto& all) { return LogSays(all, c.refusal); }, 5s))
          << c.refusal;
    }
  }
  // The new values come back in DDATA by alias alone.
  ASSERT_TRUE(rec.WaitFor([&](const auto& all) {
    int seen = 0;
    for (const auto& m : OfType(all, "DDATA")) {
      for (const auto& metric : m["metrics"]) {
        seen |= (metric["alias"] == alias["Setpoint"] && metric["value"] == -300) ? 1 : 0;
        seen |= (metric["alias"] == alias["Counter2"] && metric["value"] == 1234) ? 2 : 0;
      }
    }
    return seen == 3;
  })) << "the writes did not come back as DDATA";
  for (const auto& m : OfType(rec.Decoded(), "DDATA")) {
    for (const auto& metric : m["metrics"]) EXPECT_TRUE(metric["name"].is_null()) << metric;
  }
  // The host sees each write's end, or why it was refused, on the device's
  // Command/Result (born null, alias 100 + the station's index).
  EXPECT_EQ(MetricValue(OfType(all, "DBIRTH", "PLC1")[0], "Command/Result")["alias"], 100);
  const auto said = [](const std::vector<Json>& all, const char* device, int alias,
                       const std::string& text) {
    for (const auto& m : OfType(all, "DDATA", device)) {
      for (const auto& metric : m["metrics"]) {
        if (metric["alias"] == alias && metric["value"].is_string() &&
            metric["value"].get<std::string>().find(text) != std::string::npos) {
          return true;
        }
      }
    }
    return false;
  };
  EXPECT_TRUE(rec.WaitFor([&](const auto& all) {
    return said(all, "PLC1", 100, "Setpoint = -300: ok") &&
           said(all, "PLC1", 100, "is outside -32768..32767") &&
           said(all, "PLC1", 100, "Counter: the tag is read-only") &&
           said(all, "PLC2", 101, "Counter2 = 1234: ok");
  })) << "a command's end did not reach its device's Command/Result";
  EXPECT_EQ(Word(1, 7), static_cast<uint16_t>(-300));  // 70000 was not sent cut to 4464
  EXPECT_EQ(Word(2, 1), 1234);
  EXPECT_EQ(Word(1, 5), 0) << "a retained command was written";

  // A rebirth asked in NCMD: the node and its devices again, bdSeq as before.
  rec.Publish(kNode + "NCMD/demo",
              Json::array({{{"name", "Node Control/Rebirth"}, {"datatype", 11}, {"value", true}}}));
  ASSERT_TRUE(rec.WaitFor([](const auto& all) {
    const auto session = Session(all);
    return OfType(all, "NBIRTH").size() == 2 && session.size() >= 3;
  }));
  auto session = Session(rec.Decoded());
  EXPECT_EQ(MetricValue(session[0], "bdSeq")["value"], 0);
  EXPECT_EQ(session[1]["type"], "DBIRTH");
  EXPECT_EQ(session[2]["type"], "DBIRTH");

  // seq wraps past 255: every refused command is one NDATA with its log line.
  // Encoded once: a decoder run per message would outlast the gateway's run
  // on a loaded machine.
  const Json refused =
      rec.Encode(Json::array({{{"name", "Counter"}, {"datatype", 6}, {"value", 9}}}));
  for (int i = 0; i < 2000 && Session(rec.Decoded()).size() < 300 &&
                  gateway.wait_for(0s) != std::future_status::ready;
       ++i) {
    for (int k = 0; k < 20; ++k) {
      rec.Publish(kNode + "DCMD/demo/PLC1", refused);
      std::this_thread::sleep_for(3ms);
    }
  }
  session = Session(rec.Decoded());
  EXPECT_GE(session.size(), 300u);
  EXPECT_TRUE(SeqRunsOn(session)) << "seq does not run 0..255 and on";
  EXPECT_EQ(Word(1, 1), 42) << "a read-only tag was written";

  const ProcessResult r = gateway.get();
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("a retained command is never written"), std::string::npos);
  ASSERT_TRUE(rec.WaitFor([](const auto& all) { return all.back()["type"] == "NDEATH"; }, 3s));
  EXPECT_EQ(MetricValue(rec.Decoded().back(), "bdSeq")["value"], 0);

  // The next process goes on from the last bdSeq kept in the state folder.
  const size_t nbirths = OfType(rec.Decoded(), "NBIRTH").size();
  auto again = StartGateway({"--sparkplug", "Plant", "--for", "3", "--state-dir", state});
  ASSERT_TRUE(rec.WaitFor(
      [&](const auto& all) { return OfType(all, "NBIRTH").size() > nbirths; }));
  // (The stop set the will of a CONNECT that never came, 1: the next is 2.)
  EXPECT_EQ(MetricValue(OfType(rec.Decoded(), "NBIRTH").back(), "bdSeq")["value"], 2);
  EXPECT_EQ(again.get().exit_code, 0);
}

// A metric's Quality follows its own block while its device lives: 500 in a
// DDATA once the block's reads fail, 192 again after; the device is not
// killed for it. A write-only metric is born null and good.
TEST_F(SparkplugGatewayTest, MetricQualityFollowsItsBlockWithoutDeviceDeath) {
  ASSERT_TRUE(WriteText(tags_, kTags + "Lamp,DVK.PLC1,C5,bit,0,rw\n"
                                       "Pulse,DVK.PLC1,R8,int-write,2,rw\n"));
  SparkplugRecorder rec(broker_.port(), dir_.path());
  auto gateway = StartGateway({"--sparkplug", "Plant", "--for", "16"});
  ASSERT_TRUE(rec.WaitFor([](const auto& all) { return !OfType(all, "DBIRTH", "PLC1").empty(); }));
  const Json birth = OfType(rec.Decoded(), "DBIRTH", "PLC1")[0];
  const Json pulse = MetricValue(birth, "Pulse");
  EXPECT_TRUE(pulse["is_null"].get<bool>()) << pulse;
  EXPECT_EQ(pulse["quality"], 192) << pulse;
  const Json lamp_alias = MetricValue(birth, "Lamp")["alias"];
  // The quality the host holds for Lamp: its birth's, then each DDATA's.
  const auto lamp_quality = [&](const std::vector<Json>& all) {
    Json q = MetricValue(OfType(all, "DBIRTH", "PLC1").back(), "Lamp")["quality"];
    for (const auto& m : OfType(all, "DDATA", "PLC1")) {
      for (const auto& metric : m["metrics"]) {
        if (metric["alias"] == lamp_alias && !metric["quality"].is_null()) q = metric["quality"];
      }
    }
    return q;
  };
  ASSERT_TRUE(rec.WaitFor([&](const auto& all) { return lamp_quality(all) == 192; }, 5s));

  constexpr int kAreaC = 4;
  ASSERT_TRUE(sim_->SetFaultTarget(plcsim::FaultKind::kErrorReply, kAreaC, 1));
  sim_->SetFaultRate(plcsim::FaultKind::kErrorReply, 1.0);
  EXPECT_TRUE(rec.WaitFor([&](const auto& all) { return lamp_quality(all) == 500; }, 3s));
  sim_->SetFaultRate(plcsim::FaultKind::kErrorReply, 0);
  EXPECT_TRUE(rec.WaitFor([&](const auto& all) { return lamp_quality(all) == 192; }, 3s));
  EXPECT_TRUE(OfType(rec.Decoded(), "DDEATH", "PLC1").empty()) << "a live device was killed";
  EXPECT_EQ(gateway.get().exit_code, 0);
}

// A second node under the same ids is refused before it publishes anything;
// --sparkplug-takeover replaces the first, which steps aside without a death
// certificate that would kill the new one at the host.
TEST_F(SparkplugGatewayTest, ATwinIsRefusedAndATakeoverReplacesTheNode) {
  SparkplugRecorder rec(broker_.port(), dir_.path());
  auto first = StartGateway({"--sparkplug", "Plant", "--for", "25"});
  ASSERT_TRUE(rec.WaitFor([](const auto& all) { return !OfType(all, "NBIRTH").empty(); }));
  const ProcessResult twin = StartGateway({"--sparkplug", "Plant", "--for", "5"}).get();
  EXPECT_EQ(twin.exit_code, 2);
  EXPECT_NE(twin.err.find("another gateway is online as Sparkplug node Plant/demo"),
            std::string::npos)
      << twin.err;
  EXPECT_EQ(twin.out.find("running:"), std::string::npos) << "the twin started its line";

  auto second = StartGateway({"--sparkplug", "Plant", "--sparkplug-takeover", "--for", "5"});
  const ProcessResult replaced = first.get();
  EXPECT_EQ(replaced.exit_code, 2);
  EXPECT_NE(replaced.err.find("another gateway took over Sparkplug node Plant/demo"),
            std::string::npos)
      << replaced.err;
  EXPECT_EQ(second.get().exit_code, 0);
  // One death only: the second's own at its stop, after everything else.
  ASSERT_TRUE(rec.WaitFor([](const auto& all) { return all.back()["type"] == "NDEATH"; }, 3s));
  EXPECT_EQ(OfType(rec.Decoded(), "NDEATH").size(), 1u);
}

TEST_F(SparkplugGatewayTest, WaitsForPrimaryHostDeviceDeathAndBirthWillAfterSigkill) {
  // Demoted after one silent poll, probed every second: a quick DDEATH and DBIRTH.
  ASSERT_TRUE(WriteText(dir_.File("none.conf"),
                        "[COM1]\ndemote_after = 1\ndemote_seconds = 1\nprobe_timeout_ms = 200\n"));
  auto rec = std::make_unique<SparkplugRecorder>(broker_.port(), dir_.path());
  auto gateway = StartGateway({"--sparkplug", "Plant", "--sparkplug-host", "SCADA"}, 25000);
  const auto state = [&](bool online) {
    rec->Publish("spBv1.0/STATE/SCADA",
                 Json{{"online", online},
                      {"timestamp", std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count()}}
                     .dump(),
                 true);
  };
  std::this_thread::sleep_for(2s);
  // (Its rebirth request to its own id, asking for a twin, is no birth or data.)
  EXPECT_TRUE(Session(rec->Decoded()).empty()) << "published before the primary host was online";
  state(true);
  ASSERT_TRUE(rec->WaitFor([](const auto& all) { return OfType(all, "DBIRTH").size() == 2; }));

  sim_->SetStationOff(1, true);
  ASSERT_TRUE(rec->WaitFor([](const auto& all) { return !OfType(all, "DDEATH", "PLC1").empty(); }))
      << "no DDEATH for a silent station";
  sim_->SetStationOff(1, false);
  ASSERT_TRUE(rec->WaitFor([](const auto& all) {
    return OfType(all, "DBIRTH", "PLC1").size() == 2;
  })) << "no DBIRTH when it answered again";
  EXPECT_TRUE(SeqRunsOn(Session(rec->Decoded())));

  // The host goes away: the node dies and connects again, and is born under
  // the next bdSeq once the host is back.
  state(false);
  ASSERT_TRUE(rec->WaitFor([](const auto& all) { return !OfType(all, "NDEATH").empty(); }))
      << "no NDEATH when the primary host went offline";
  EXPECT_EQ(MetricValue(OfType(rec->Decoded(), "NDEATH")[0], "bdSeq")["value"], 0);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(OfType(rec->Decoded(), "NBIRTH").size(), 1u) << "born while the host was offline";
  state(true);
  ASSERT_TRUE(rec->WaitFor([](const auto& all) { return OfType(all, "NBIRTH").size() == 2; }));
  EXPECT_EQ(MetricValue(OfType(rec->Decoded(), "NBIRTH")[1], "bdSeq")["value"], 1);

  // A new session after a broker restart: the next bdSeq, in the NBIRTH and
  // in the will the broker sends after SIGKILL. The outage's changes follow
  // the births as historical DDATA, in order, with their own time stamps.
  broker_.Stop();
  std::vector<int> outage;
  for (int v = 100; v < 105; ++v) {
    ASSERT_TRUE(sim_->SetWord(1, kAreaR, 1, static_cast<uint16_t>(v)));
    outage.push_back(v);
    std::this_thread::sleep_for(300ms);
  }
  ASSERT_TRUE(broker_.Start());
  rec = std::make_unique<SparkplugRecorder>(broker_.port(), dir_.path());
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(OfType(rec->Decoded(), "NBIRTH").empty()) << "born again before the host's STATE";
  state(true);
  ASSERT_TRUE(rec->WaitFor([](const auto& all) { return !OfType(all, "NBIRTH").empty(); }));
  const Json bdseq = MetricValue(OfType(rec->Decoded(), "NBIRTH")[0], "bdSeq")["value"];
  EXPECT_EQ(bdseq, 2);
  std::vector<Json> past;
  Json last_ts = 0;
  ASSERT_TRUE(rec->WaitFor([&](const auto& all) {
    const auto births = OfType(all, "DBIRTH", "PLC1");
    if (births.empty()) return false;
    const Json counter = MetricValue(births[0], "Counter");
    past.clear();
    for (const auto& m : OfType(all, "DDATA", "PLC1")) {
      for (const auto& metric : m["metrics"]) {
        if (metric["historical"] != true || metric["alias"] != counter["alias"]) continue;
        EXPECT_GE(metric["timestamp"], last_ts);
        last_ts = metric["timestamp"];
        past.push_back(metric["value"]);
      }
    }
    last_ts = 0;
    return past.size() >= outage.size() && counter["value"] == outage.back();
  })) << "the outage's changes did not follow the births";
  EXPECT_EQ(Json(past), Json(outage)) << "changes lost or out of order";
  EXPECT_EQ(gateway.get().signal, SIGKILL);
  ASSERT_TRUE(rec->WaitFor([](const auto& all) { return !OfType(all, "NDEATH").empty(); }, 5s));
  EXPECT_EQ(MetricValue(OfType(rec->Decoded(), "NDEATH")[0], "bdSeq")["value"], bdseq);
}

}  // namespace
}  // namespace dravik::test
