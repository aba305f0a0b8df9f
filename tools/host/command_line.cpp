#include "tools/host/command_line.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "gateway/line/driver_library.h"
#include "gateway/line/host_port.h"
#include "gateway/line/tag_list.h"

namespace dravik::host {
namespace {

// An option as it may be echoed: "--name=value" only as "--name=...", since
// the value may be a secret.
std::string OptionName(const std::string& a) {
  const size_t equals = a.find('=');
  return equals == std::string::npos ? a : a.substr(0, equals) + "=...";
}

// One --mqtt... option (or --buffer-memory-mb, the MQTT face's buffer);
// `value` takes the option's argument. Returns -1 when
// taken, otherwise the exit status of the usage error printed.
template <typename TakeValue>
int ParseMqttOption(const std::string& a, TakeValue value, MqttOptions* m, bool* tuned) {
  if (a != "--mqtt") *tuned = true;
  std::string text;
  if (a == "--mqtt-writes") {
    m->writes = true;
    return -1;
  }
  if (a == "--mqtt-takeover") {
    m->takeover = true;
    return -1;
  }
  // Also --mqtt-password=SECRET, which is not echoed.
  if (a == "--mqtt-password" || a.rfind("--mqtt-password=", 0) == 0) {
    return UsageError(
        "the MQTT password is never taken from the command line (other users can read it "
        "there); use --mqtt-user NAME with --mqtt-password-file FILE or "
        "DRAVIKNET_MQTT_PASSWORD");
  }
  const struct {
    const char* name;
    std::string* target;
    const char* what;
  } kFileOptions[] = {
      {"--mqtt", &m->url, "a broker URL (mqtt://host[:port])"},
      {"--mqtt-prefix", &m->prefix, "a topic prefix"},
      {"--mqtt-cafile", &m->cafile, "a file"},
      {"--mqtt-cert", &m->certfile, "a file"},
      {"--mqtt-key", &m->keyfile, "a file"},
      {"--mqtt-user", &m->user, "a user name"},
      {"--mqtt-password-file", &m->password_file, "a file"},
  };
  for (const auto& option : kFileOptions) {
    if (a != option.name) continue;
    if (!value(option.target) || option.target->empty()) {
      return UsageError(a + " needs " + option.what);
    }
    if (option.target == &m->url) {
      if (const std::string secret = UrlSecretProblem(m->url); !secret.empty()) {
        return UsageError(secret);
      }
    }
    return -1;
  }
  if (a == "--mqtt-payload") {
    if (!value(&text) || (text != "json" && text != "plain")) {
      return UsageError("--mqtt-payload needs json or plain");
    }
    m->plain_payload = text == "plain";
    return -1;
  }
  if (a == "--mqtt-stats-seconds") {
    char* end = nullptr;
    const long v = value(&text) ? std::strtol(text.c_str(), &end, 10) : 0;
    if (end == nullptr || end == text.c_str() || *end != '\0' || v < 1 || v > 86400) {
      return UsageError("--mqtt-stats-seconds needs a whole number of seconds 1..86400");
    }
    m->stats_seconds = static_cast<int>(v);
    return -1;
  }
  if (a == "--buffer-memory-mb") {
    char* end = nullptr;
    const long v = value(&text) ? std::strtol(text.c_str(), &end, 10) : 0;
    if (end == nullptr || end == text.c_str() || *end != '\0' || v < 1 || v > 4096) {
      return UsageError("--buffer-memory-mb needs a whole number of MB 1..4096");
    }
    m->buffer_memory_mb = static_cast<int>(v);
    return -1;
  }
  if (a == "--buffer-disk-mb") {
    char* end = nullptr;
    const long v = value(&text) ? std::strtol(text.c_str(), &end, 10) : 0;
    if (end == nullptr || end == text.c_str() || *end != '\0' || v < 1 || v > 1048576) {
      return UsageError("--buffer-disk-mb needs a whole number of MB 1..1048576");
    }
    m->buffer_disk_mb = static_cast<int>(v);
    return -1;
  }
  if (a == "--mqtt-version") {
    if (!value(&text) || (text != "5" && text != "3.1.1")) {
      return UsageError("--mqtt-version needs 5 or 3.1.1");
    }
    m->mqtt5 = text == "5";
    return -1;
  }
  if (a == "--mqtt-reconnect-max-seconds") {
    char* end = nullptr;
    const long v = value(&text) ? std::strtol(text.c_str(), &end, 10) : 0;
    if (end == nullptr || end == text.c_str() || *end != '\0' || v < 1 || v > 3600) {
      return UsageError("--mqtt-reconnect-max-seconds needs a whole number of seconds 1..3600");
    }
    m->reconnect_max_seconds = static_cast<int>(v);
    return -1;
  }
  return UsageError("unknown option " + OptionName(a));
}

// A whole number in [low, high] for `option`; -1 when taken, else the exit
// status of the usage error printed.
int ParseBoundedInt(const std::string& option, const std::string& text, long low, long high,
                    const std::string& unit, int* out) {
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || v < low || v > high) {
    return UsageError(option + " needs a whole number of " + unit + " " + std::to_string(low) +
                      ".." + std::to_string(high) + ", not \"" + text + "\"");
  }
  *out = static_cast<int>(v);
  return -1;
}

// One --modbus-... option; -1 when taken, else the exit status.
template <typename TakeValue>
int ParseModbusOption(const std::string& a, TakeValue value, ModbusOptions* m, bool* tuned) {
  std::string text;
  if (a == "--modbus-writes") {
    *tuned = true;
    m->writes = true;
    return -1;
  }
  if (!value(&text)) return UsageError(a + " needs a value");
  if (a == "--modbus-tcp") {
    // A port alone (or :PORT) listens on loopback.
    if (text.find(':') == std::string::npos || text.front() == ':') {
      text = "127.0.0.1:" + (text.front() == ':' ? text.substr(1) : text);
    }
    std::string host, error;
    int port = 0;
    if (!ParseHostPort("--modbus-tcp", "127.0.0.1:1502, 0.0.0.0:502", text, &host, &port, &error)) {
      return UsageError(error);
    }
    m->address = text;
    return -1;
  }
  *tuned = true;
  if (a == "--modbus-max-clients") {
    return ParseBoundedInt(a, text, 1, 1000, "clients", &m->max_clients);
  }
  if (a == "--modbus-idle-seconds") {
    return ParseBoundedInt(a, text, 1, 86400, "seconds", &m->idle_seconds);
  }
  return UsageError("unknown option " + OptionName(a));
}

}  // namespace

std::string Usage() {
  std::string text =
      "usage: dravik-host info [--driver PATH]\n"
      "       dravik-host run PROJECT [--tags TAGS.csv] [--driver PATH] [--for SECONDS] [--json]\n"
      "               [--quiet]\n"
      "       dravik-host edit PROJECT [--driver PATH]\n"
      "       dravik-host run PROJECT --tags TAGS.csv --mqtt URL [--mqtt-prefix P] "
      "[--mqtt-writes]\n"
      "               [--mqtt-payload json|plain] [--mqtt-stats-seconds N] [--mqtt-user NAME]\n"
      "               [--mqtt-password-file FILE] [--mqtt-cafile FILE] [--mqtt-cert FILE\n"
      "               --mqtt-key FILE] [--mqtt-reconnect-max-seconds N] [--mqtt-takeover]\n"
      "               [--mqtt-version 5|3.1.1]\n"
      "               [--buffer-memory-mb N] [--state-dir DIR [--buffer-disk-mb N]]\n"
      "               [--sparkplug GROUP_ID [--sparkplug-node NODE_ID] [--sparkplug-host "
      "HOST_ID]\n"
      "               [--sparkplug-takeover]]\n"
      "       dravik-host run PROJECT --tags TAGS.csv --http [HOST:PORT]\n"
      "       dravik-host run PROJECT --tags TAGS.csv --modbus-tcp [HOST:]PORT [--modbus-writes]\n"
      "               [--modbus-max-clients N] [--modbus-idle-seconds N]\n"
      "\n"
      "info   prints the driver's interface version and name.\n"
      "run    creates an instance for PROJECT, prepares the port, binds the tags,\n"
      "       starts communication and prints each log line and value change as it\n"
      "       arrives (--json: one JSON object per line). Stops after SECONDS, on\n"
      "       'quit' or on Ctrl-C, then prints a summary. End of stdin does not stop.\n"
      "edit   opens the driver's configuration editor on PROJECT.\n"
      "--driver defaults to libdraviknet.so beside this program.\n"
      "--quiet leaves out the value lines; log lines, replies and errors remain.\n"
      "\n"
      "--mqtt URL   also publish to an MQTT broker, mqtt://host[:port] or mqtts://host[:port]:\n"
      "             PREFIX/status, PREFIX/tag/TAG, PREFIX/station/STATION/state, PREFIX/log\n"
      "             (PREFIX defaults to draviknet/<project file name without extension>).\n"
      "             Writes from PREFIX/tag/TAG/set only with --mqtt-writes, and only to\n"
      "             tags marked rw when the tag list has an access column (r or rw).\n"
      "             The password comes from --mqtt-password-file or DRAVIKNET_MQTT_PASSWORD.\n"
      "             A set message the broker retained is never written. Each write gets\n"
      "             one result on PREFIX/tag/TAG/set/result. Reconnects back off up to\n"
      "             --mqtt-reconnect-max-seconds (4). Another gateway online on PREFIX\n"
      "             stops the start (exit 2) unless --mqtt-takeover.\n"
      "             Every change is published, in order. While the broker is away they\n"
      "             wait in memory (--buffer-memory-mb, 16) and go out when it is back,\n"
      "             not retained and marked \"buffered\"; past that bound a tag's\n"
      "             waiting change takes its newer values (counted as coalesced).\n"
      "             With --state-dir DIR they go to DIR/mqtt-buffer.sqlite every second\n"
      "             instead (at most --buffer-disk-mb, 256; the oldest give way, counted\n"
      "             as dropped), survive a restart or a crash, and are replayed first.\n"
      "--sparkplug GROUP_ID  speak Sparkplug B instead of the plain topics: the gateway is\n"
      "             the edge node spBv1.0/GROUP_ID/.../NODE_ID (default the project file name),\n"
      "             each station a device, each bound tag a metric; DCMD writes only with\n"
      "             --mqtt-writes. --sparkplug-host HOST_ID: births wait for that primary\n"
      "             host's STATE online. With --state-dir DIR, bdSeq goes on from the last\n"
      "             process's (DIR/sparkplug-bdseq), so a restart never repeats it.\n"
      "             A node already online under the same ids (it answers a rebirth request\n"
      "             within 2 s) stops the start (exit 2) unless --sparkplug-takeover; the\n"
      "             node replaced stops on the new one's NBIRTH, without NDEATH.\n"
      "\n"
      "--http [HOST:PORT]  a read-only status page at http://HOST:PORT/ (default\n"
      "             127.0.0.1:8080, loopback only), with /events (live updates), /metrics\n"
      "             (Prometheus), /api/v1/stations and /api/v1/tags (JSON). Port 0: any free one.\n"
      "\n"
      "--modbus-tcp [HOST:]PORT  serve the line as a Modbus TCP server (HOST defaults to\n"
      "             127.0.0.1, loopback only). Unit id = station number; holding and input\n"
      "             register n = word n of IR1.. (0), OR1.. (256), R1.. (512); coil and\n"
      "             discrete input n = bit n of I1.. (0), O1.. (256), FI1.. (512), FO1.. (768),\n"
      "             C1.. (1024). Reads come from the last poll: 02 for a point no block or\n"
      "             tag covers, 0B while the station's data is not fresh, 0A for no station.\n"
      "             Writes only with --modbus-writes, answered when the PLC has answered.\n"
      "             Up to --modbus-max-clients (32) clients; a client silent for\n"
      "             --modbus-idle-seconds (60) is closed.\n"
      "\n"
      "Tag list (CSV, header row first): name,device,address,type,length[,access]\n"
      "  device: the station is the part after the first '.', e.g. DVK.PLC1\n"
      "  address: R100, IR12, C17, R100.3 (a bit of a register, type bit)\n"
      "  length: bytes; may be left empty for fixed-size types\n"
      "  type, a code or a name:\n";
  char line[160];
  for (const auto& t : TagTypeNames()) {
    std::snprintf(line, sizeof line, "    %2d  %-10s %s\n", t.code, t.name, t.meaning);
    text += line;
  }
  text +=
      "\n"
      "Commands on stdin while running:\n"
      "  write TAG VALUE    write a value (for a string tag the rest of the line)\n"
      "  enable STATION     poll the station again\n"
      "  disable STATION    stop polling the station and drop its writes\n"
      "  stats [STATION]    counters and state of one station or of all\n"
      "  reset [STATION]    set the counters of one station or of all to 0\n"
      "  texts STATION      the station's number and description\n"
      "  help, quit\n"
      "\n"
      "exit status: 0 done, 1 the driver refused the project (slot 1 returned -1),\n"
      "             2 bad arguments or files\n";
  return text;
}

int UsageError(const std::string& why) {
  std::fprintf(stderr, "dravik-host: %s\n(dravik-host --help shows the usage)\n", why.c_str());
  return kExitUsage;
}

int ParseCommandLine(const std::vector<std::string>& args, CommandLine* line) {
  if (args.empty()) return UsageError("no command given");
  if (args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
    std::fputs(Usage().c_str(), stdout);
    return kExitOk;
  }
  line->command = args[0];
  RunOptions& o = line->options;
  o.driver = DefaultDriverPath();
  bool mqtt_tuned = false;  // an --mqtt-... option besides --mqtt itself
  bool modbus_tuned = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    if (a == "--driver") {
      if (!value(&o.driver)) return UsageError("--driver needs a path");
    } else if (a == "--tags") {
      if (!value(&o.tags)) return UsageError("--tags needs a file");
    } else if (a == "--for") {
      std::string text;
      if (!value(&text)) return UsageError("--for needs a number of seconds");
      char* end = nullptr;
      o.for_seconds = std::strtod(text.c_str(), &end);
      if (end == text.c_str() || *end != '\0' || !(o.for_seconds > 0) ||
          !std::isfinite(o.for_seconds)) {
        return UsageError("--for needs a positive number of seconds, not \"" + text + "\"");
      }
    } else if (a == "--json") {
      o.json = true;
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a == "--sparkplug-takeover") {
      o.sparkplug.takeover = true;
    } else if (a == "--sparkplug" || a == "--sparkplug-node" || a == "--sparkplug-host") {
      std::string* target = a == "--sparkplug"        ? &o.sparkplug.group
                            : a == "--sparkplug-node" ? &o.sparkplug.node
                                                      : &o.sparkplug.host;
      if (!value(target) || target->empty()) {
        return UsageError(a + (a == "--sparkplug" ? " needs a group id" : " needs an id"));
      }
    } else if (a == "--http") {
      // The address is optional: the next word is it when it looks like one.
      const bool given = i + 1 < args.size() && args[i + 1].find(':') != std::string::npos &&
                         args[i + 1][0] != '-';
      o.http.address = given ? args[++i] : kDefaultHttpAddress;
      std::string host, error;
      int port = 0;
      if (!ParseHttpAddress(o.http.address, &host, &port, &error)) return UsageError(error);
    } else if (a.rfind("--modbus-", 0) == 0) {
      const int status = ParseModbusOption(a, value, &o.modbus, &modbus_tuned);
      if (status != -1) return status;
    } else if (a == "--state-dir") {
      if (!value(&o.mqtt.state_dir) || o.mqtt.state_dir.empty()) {
        return UsageError("--state-dir needs a folder");
      }
    } else if (a.rfind("--mqtt", 0) == 0 || a == "--buffer-memory-mb" || a == "--buffer-disk-mb") {
      const int status = ParseMqttOption(a, value, &o.mqtt, &mqtt_tuned);
      if (status != -1) return status;
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError("unknown option " + OptionName(a));
    } else {
      line->positional.push_back(a);
    }
  }
  if (o.mqtt.url.empty() && mqtt_tuned) {
    return UsageError(
        "the --mqtt-... options, --buffer-memory-mb and --buffer-disk-mb need --mqtt URL");
  }
  if (o.modbus.address.empty() && modbus_tuned) {
    return UsageError("the --modbus-... options need --modbus-tcp [HOST:]PORT");
  }
  if (o.sparkplug.group.empty() &&
      (!o.sparkplug.node.empty() || !o.sparkplug.host.empty() || o.sparkplug.takeover)) {
    return UsageError(
        "--sparkplug-node, --sparkplug-host and --sparkplug-takeover need --sparkplug GROUP_ID");
  }
  if (!o.sparkplug.group.empty()) {
    if (o.mqtt.url.empty()) return UsageError("--sparkplug needs --mqtt URL");
    if (!o.mqtt.prefix.empty() || o.mqtt.plain_payload || o.mqtt.takeover) {
      return UsageError(
          "--mqtt-prefix, --mqtt-payload and --mqtt-takeover have no meaning with --sparkplug "
          "(its topics are spBv1.0/GROUP/...)");
    }
  }
  return -1;
}

}  // namespace dravik::host
