// The command line of dravik-host: the usage text, the exit statuses and the
// parsing of the arguments into a command with its options. Pure apart from
// printing the usage or a usage error; called on the main thread at start.
#pragma once

#include <string>
#include <vector>

#include "gateway/http/http_status.h"
#include "gateway/line/line_session.h"
#include "gateway/modbus/modbus_server.h"
#include "gateway/mqtt/mqtt_bridge.h"
#include "gateway/sparkplug/sparkplug_node.h"

namespace dravik::host {

struct RunOptions {
  std::string project;
  std::string tags;
  std::string driver;
  double for_seconds = 0.0;  // 0: until quit or Ctrl-C
  bool json = false;
  bool quiet = false;          // no value lines (a gateway under systemd)
  MqttOptions mqtt;            // mqtt.url empty: no gateway
  SparkplugOptions sparkplug;  // sparkplug.group empty: the plain topics
  HttpOptions http;            // http.address empty: no status page
  ModbusOptions modbus;        // modbus.address empty: no Modbus TCP server
};

struct CommandLine {
  std::string command;  // info, run or edit
  RunOptions options;
  std::vector<std::string> positional;
};

std::string Usage();

// Prints the message and the hint to --help on stderr; returns kExitUsage.
int UsageError(const std::string& why);

// Parses argv after the program name. Returns -1 when `line` holds a command
// to carry out, otherwise the exit status to end with (the usage or an error
// has been printed).
int ParseCommandLine(const std::vector<std::string>& args, CommandLine* line);

}  // namespace dravik::host
