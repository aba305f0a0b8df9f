#include "tools/host/run_command.h"

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "gateway/http/http_status.h"
#include "gateway/line/face_queue.h"
#include "gateway/line/line_session.h"
#include "gateway/mqtt/mqtt_bridge.h"
#include "gateway/modbus/modbus_server.h"
#include "gateway/mqtt/mqtt_face.h"
#include "gateway/sparkplug/sparkplug_node.h"
#include "gateway/terminal/terminal_commands.h"
#include "gateway/terminal/terminal_face.h"
#include "model/tag_binding.h"

namespace dravik::host {
namespace {

// How long the start waits for the broker's answer on who holds the prefix.
constexpr auto kPrefixCheckWait = std::chrono::milliseconds(3000);
// How long a Sparkplug start listens for a node already online under its ids.
constexpr auto kTwinWait = std::chrono::milliseconds(2000);

// The MQTT face, with the Sparkplug B node as its scheme when asked for.
struct MqttParts {
  std::unique_ptr<SparkplugNode> node;  // outlives the bridge that speaks through it
  std::unique_ptr<MqttBridge> bridge;
  std::unique_ptr<MqttFace> face;
};

std::unique_ptr<SparkplugNode> MakeSparkplugNode(SparkplugOptions sparkplug, bool writes,
                                                 const LineLayout& line, Output* out) {
  std::vector<SparkplugTag> metrics;
  for (size_t i = 0; i < line.tags.size(); ++i) {
    const int s = line.tag_stations[i];
    metrics.push_back({line.tags[i].name, line.tags[i].type,
                       s < 0 ? static_cast<size_t>(-1) : static_cast<size_t>(s),
                       line.tags[i].writable});
  }
  return std::make_unique<SparkplugNode>(std::move(sparkplug), std::move(metrics), line.stations,
                                         writes, out);
}

// Checks the names against the topic rules, then connects; false (with the
// problems on stderr) when the gateway can't run: a bad name or setting, or
// another gateway on the prefix.
bool StartMqtt(const RunOptions& o, LineSession* session, Output* out, MqttParts* mqtt) {
  const LineLayout& line = session->layout();
  MqttOptions options = o.mqtt;
  if (options.prefix.empty()) options.prefix = DefaultPrefix(o.project);
  std::vector<std::string> names;
  std::vector<bool> writable, write_only;
  for (const auto& t : line.tags) {
    names.push_back(t.name);
    writable.push_back(t.writable);
    write_only.push_back(t.type == dravik::kTypeWriteOnly);
  }
  SparkplugOptions sparkplug = o.sparkplug;
  if (sparkplug.node.empty()) sparkplug.node = DefaultPrefix(o.project).substr(10);
  sparkplug.state_dir = o.mqtt.state_dir;
  const std::vector<std::string> problems =
      sparkplug.group.empty() ? CheckTopicNames(options.prefix, names, line.stations)
                              : CheckSparkplugNames(sparkplug, names, line.stations);
  for (const auto& p : problems) std::fprintf(stderr, "error: %s\n", p.c_str());
  if (!problems.empty()) return false;
  mqtt->bridge =
      std::make_unique<MqttBridge>(options, names, writable, write_only, line.tag_stations,
                                   line.stations, out);
  if (!sparkplug.group.empty()) {
    mqtt->node = MakeSparkplugNode(sparkplug, o.mqtt.writes, line, out);
    mqtt->bridge->SetScheme(mqtt->node.get());
  }
  mqtt->face = std::make_unique<MqttFace>(mqtt->bridge.get(), session, o.mqtt.stats_seconds);
  std::string error;
  if (!mqtt->bridge->Start(&error)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return false;
  }
  // Two gateways on one prefix would hide each other's status: the first
  // answer of the broker comes before the line starts.
  if (!mqtt->bridge->WaitUntilChecked(kPrefixCheckWait)) {
    std::fprintf(stderr, "error: %s\n", mqtt->bridge->Refusal().c_str());
    mqtt->bridge->Stop();
    return false;
  }
  // Two nodes under one id interleave their seq and kill each other at the
  // host: a node already online answers our rebirth request within this.
  if (mqtt->node && !sparkplug.takeover &&
      mqtt->bridge->state() == MqttBridge::State::kConnected) {
    const std::string twin = mqtt->node->WaitForTwin(kTwinWait);
    if (!twin.empty()) {
      std::fprintf(stderr, "error: %s\n", twin.c_str());
      mqtt->bridge->RefuseStart(twin);
      mqtt->bridge->Stop();
      return false;
    }
  }
  session->SetFaceState("mqtt", MqttBridge::StateText(mqtt->bridge->state()));
  return true;
}

int RunLine(const RunOptions& o, Output* out) {
  std::vector<TagRow> tags;
  if (!o.tags.empty() && !ReadTagFile(o.tags, out, &tags)) return kExitUsage;
  LineSession session;
  std::string error;
  if (!session.LoadDriver(o.driver, &error)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return kExitUsage;
  }
  session.SetLayout(ReadLineLayout(o.project, std::move(tags)));

  MqttParts mqtt;
  if (!o.mqtt.url.empty() && !StartMqtt(o, &session, out, &mqtt)) return kExitUsage;
  std::unique_ptr<HttpStatus> http;
  if (!o.http.address.empty()) {
    const LineLayout& line = session.layout();
    http = StartStatusPage(
        o.http.address,
        MakeStatusPageSetup(o.project, line.port, line.stations, line.tags, mqtt.bridge != nullptr),
        out);
    if (http == nullptr) return kExitUsage;
  }

  std::unique_ptr<ModbusServer> modbus;
  if (!o.modbus.address.empty()) {
    modbus = std::make_unique<ModbusServer>(o.modbus, &session, out);
    if (!modbus->Listen(&error)) {
      std::fprintf(stderr, "error: %s\n", error.c_str());
      return kExitUsage;
    }
  }

  TerminalFace terminal(session.layout(), out, !o.quiet);
  std::vector<std::unique_ptr<FaceQueue>> faces;
  faces.push_back(std::make_unique<FaceQueue>("terminal", &terminal, out));
  if (mqtt.face) faces.push_back(std::make_unique<FaceQueue>("mqtt", mqtt.face.get(), out));
  if (http) faces.push_back(std::make_unique<FaceQueue>("http", http.get(), out));
  if (modbus) faces.push_back(std::make_unique<FaceQueue>("modbus", modbus.get(), out));
  for (const auto& face : faces) session.AddFace(face.get());

  Json record;
  if (!session.Open(&error, &record)) {
    out->Plain("error: " + error, record);
    return kExitCreateFailed;
  }
  if (modbus) modbus->Start();
  TerminalCommands commands(&session, out);
  commands.Start();
  const int status = session.Run(o.for_seconds);
  session.Close(out->Seconds());
  commands.Stop();
  // Every face has had the whole run, the summary included, before the
  // broker and the page go.
  if (modbus) modbus->Stop();  // waiting writes are answered before the faces end
  for (const auto& face : faces) face->Finish();
  if (mqtt.bridge) mqtt.bridge->Stop();
  if (http) http->Stop();
  return status;
}

}  // namespace

int Run(const RunOptions& o) {
  Output out(o.json, !o.json && ::isatty(STDOUT_FILENO) == 1);
  const int status = RunLine(o, &out);
  out.Close();
  if (g_stdout_closed != 0) {
    std::fputs(
        "dravik-host: standard output was closed (its reader went away); the line was "
        "stopped\n",
        stderr);
    return 1;
  }
  return status;
}

}  // namespace dravik::host
