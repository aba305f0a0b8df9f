#include "tools/host/command_line.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tools/host/driver_library.h"
#include "tools/host/tag_list.h"

namespace dravik::host {

std::string Usage() {
  std::string text =
      "usage: dravik-host info [--driver PATH]\n"
      "       dravik-host run PROJECT [--tags TAGS.csv] [--driver PATH] [--for SECONDS] [--json]\n"
      "       dravik-host edit PROJECT [--driver PATH]\n"
      "\n"
      "info   prints the driver's interface version and name.\n"
      "run    creates an instance for PROJECT, prepares the port, binds the tags,\n"
      "       starts communication and prints each log line and value change as it\n"
      "       arrives (--json: one JSON object per line). Stops after SECONDS, on\n"
      "       'quit' or on Ctrl-C, then prints a summary. End of stdin does not stop.\n"
      "edit   opens the driver's configuration editor on PROJECT.\n"
      "--driver defaults to libdraviknet.so beside this program.\n"
      "\n"
      "Tag list (CSV, header row first): name,device,address,type,length\n"
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
    } else if (a.size() > 1 && a[0] == '-') {
      return UsageError("unknown option " + a);
    } else {
      line->positional.push_back(a);
    }
  }
  return -1;
}

}  // namespace dravik::host
