// dravik-host: the host harness. It loads the driver library with dlopen,
// takes its DrvFuncTable and drives it slot by slot as the host does: info,
// editing a project, and a run that binds a tag list, prints the log and the
// value changes as they arrive and takes commands on stdin.
//
// This folder is the program only: the command line (command_line.h) and
// the composition root of a run (run_command.h). The line session and the
// faces it feeds live in gateway/.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "gateway/line/driver_library.h"
#include "gateway/line/output.h"
#include "tools/host/command_line.h"
#include "tools/host/run_command.h"

namespace {

using namespace dravik::host;

void OnSignal(int) { g_interrupted = 1; }

int Info(const std::string& path) {
  Driver driver;
  std::string error;
  if (!driver.Load(path, &error)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return kExitUsage;
  }
  const int version = driver.Version();
  const char* name = driver.Name();
  std::printf("Driver:  %s\n", path.c_str());
  std::printf("Version: %d.%d (0x%x)\n", version >> 16, version & 0xFFFF,
              static_cast<unsigned>(version));
  std::printf("Name:    %s\n", name ? name : "(none)");
  return kExitOk;
}

int Edit(const std::string& project, const std::string& path) {
  Driver driver;
  std::string error;
  if (!driver.Load(path, &error)) {
    std::fprintf(stderr, "error: %s\n", error.c_str());
    return kExitUsage;
  }
  const int saved = driver.EditConfig(project);
  std::printf(saved == 1 ? "saved: the configuration was saved\n"
                         : "not saved: the configuration was not saved (or the editor is not "
                           "available)\n");
  return kExitOk;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// The host's tag database and its log library each export a table named
// FuncTable, as the host defines them; both are linked into this program, which
// AddressSanitizer would otherwise stop on as a one-definition violation.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "detect_odr_violation=0";
}
#endif

int main(int argc, char** argv) {
  CommandLine line;
  const int parsed = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &line);
  if (parsed != -1) return parsed;
  const std::vector<std::string>& positional = line.positional;
  RunOptions& o = line.options;

  if (line.command == "info") {
    if (!positional.empty()) return UsageError("info takes no file");
    return Info(o.driver);
  }
  if (line.command == "edit") {
    if (positional.size() != 1) return UsageError("edit needs one project file");
    return Edit(positional[0], o.driver);
  }
  if (line.command == "run") {
    if (positional.size() != 1) return UsageError("run needs one project file");
    o.project = positional[0];
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    // A closed terminal or session (SIGHUP) stops the line as cleanly as
    // Ctrl-C: the driver is stopped and the summary written.
    ::sigaction(SIGHUP, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    // A file size limit (ulimit -f) reached by the disk buffer must fail that
    // write, which the buffer reports and survives, not kill the line.
    ::signal(SIGXFSZ, SIG_IGN);
    return Run(o);
  }
  return UsageError("unknown command " + line.command);
}
