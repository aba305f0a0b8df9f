// dravik-plcsim: Dravik PLC stations on one serial line, for demos and for
// trying the driver without a PLC. Creates a pseudo-terminal published as
// COMn in a ports directory (point DRAVIKNET_PORTS at it) or serves a real
// device, and runs until SIGINT/SIGTERM or the --for time has passed.
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tools/plcsim/plc_simulator.h"

namespace {

using dravik::LineParity;
using dravik::plcsim::FaultKind;
using dravik::plcsim::PlcSimulator;
using dravik::plcsim::SimulatorOptions;

void Usage() {
  std::fprintf(
      stderr,
      "usage: dravik-plcsim [--pty] [--ports-dir DIR] [--com N] [--device PATH]\n"
      "                     [--station N ...] [--baud B] [--parity none|even|odd]\n"
      "                     [--stop-bits 1|2] [--pace] [--animate] [--trace] [--no-echo]\n"
      "                     [--fault KIND:RATE ...] [--outage AT:SECONDS[:KIND]] [--seed N]\n"
      "                     [--for SECONDS]\n"
      "fault kinds: silence checksum error noise truncate delay station duplicate\n"
      "  delay:RATE:MS holds the reply MS ms (default 1500); beyond 3000 it comes late\n"
      "--no-echo: replies carry zeros where the request's count and address are echoed\n");
}

bool ReadInt(const char* text, long low, long high, long* value) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
  *value = v;
  return true;
}

bool IsOption(const char* text) { return std::strncmp(text, "--", 2) == 0; }

}  // namespace

int main(int argc, char** argv) {
  SimulatorOptions options;
  options.stations.clear();
  std::string ports_dir;
  std::string device;
  long com = 1;
  long seconds = 0;
  struct Fault {
    FaultKind kind;
    double rate;
    int param;
  };
  std::vector<Fault> faults;
  long outage_at = -1;  // seconds after start at which the outage begins
  long outage_for = 0;
  FaultKind outage_kind = FaultKind::kNoReply;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    long number = 0;
    if (arg == "--pty") {
      device.clear();
    } else if (arg == "--ports-dir") {
      ports_dir = value();
    } else if (arg == "--com") {
      if (!ReadInt(value(), 1, 256, &com)) return Usage(), 2;
    } else if (arg == "--device") {
      device = value();
    } else if (arg == "--station") {
      do {
        if (!ReadInt(value(), 1, 255, &number)) return Usage(), 2;
        options.stations.push_back(static_cast<int>(number));
      } while (i + 1 < argc && !IsOption(argv[i + 1]));
    } else if (arg == "--baud") {
      if (!ReadInt(value(), 300, 19200, &number)) return Usage(), 2;
      options.line.baud = static_cast<int>(number);
    } else if (arg == "--parity") {
      const std::string p = value();
      if (p == "none") {
        options.line.parity = LineParity::kNone;
      } else if (p == "even") {
        options.line.parity = LineParity::kEven;
      } else if (p == "odd") {
        options.line.parity = LineParity::kOdd;
      } else {
        return Usage(), 2;
      }
    } else if (arg == "--stop-bits") {
      if (!ReadInt(value(), 1, 2, &number)) return Usage(), 2;
      options.line.stop_bits = static_cast<int>(number);
    } else if (arg == "--pace") {
      options.pace = true;
    } else if (arg == "--animate") {
      options.animate = true;
    } else if (arg == "--no-echo") {
      options.echo = false;
    } else if (arg == "--trace") {
      options.trace = stdout;
    } else if (arg == "--seed") {
      if (!ReadInt(value(), 0, 0x7FFFFFFF, &number)) return Usage(), 2;
      options.seed = static_cast<uint32_t>(number);
    } else if (arg == "--fault") {
      do {
        // KIND:RATE, or delay:RATE:MS for how long a delayed reply is held.
        const std::string fault_text = value();
        const size_t colon = fault_text.find(':');
        FaultKind kind = FaultKind::kNone;
        char* end = nullptr;
        const double rate =
            colon == std::string::npos ? -1 : std::strtod(fault_text.c_str() + colon + 1, &end);
        long param = 0;
        bool good = colon != std::string::npos &&
                    dravik::plcsim::ParseFaultKind(fault_text.substr(0, colon), &kind) &&
                    end != nullptr && rate >= 0 && rate <= 1;
        if (good && *end == ':' && kind == FaultKind::kDelay) {
          good = ReadInt(end + 1, 1, 600000, &param);
        } else if (good) {
          good = *end == '\0';
        }
        if (!good) {
          std::fprintf(stderr,
                       "bad fault '%s' (KIND:RATE with rate 0..1, or delay:RATE:MS with MS "
                       "1..600000)\n",
                       fault_text.c_str());
          return 2;
        }
        faults.push_back({kind, rate, static_cast<int>(param)});
      } while (i + 1 < argc && !IsOption(argv[i + 1]));
    } else if (arg == "--outage") {
      // AT:SECONDS[:KIND] — every reply gets KIND (default silence) for a while.
      const std::string text = value();
      const size_t first = text.find(':');
      const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
      const std::string length = text.substr(
          first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
      if (first == std::string::npos ||
          !ReadInt(text.substr(0, first).c_str(), 0, 100000000, &outage_at) ||
          !ReadInt(length.c_str(), 1, 100000000, &outage_for) ||
          (second != std::string::npos &&
           !dravik::plcsim::ParseFaultKind(text.substr(second + 1), &outage_kind))) {
        std::fprintf(stderr, "bad outage '%s' (AT:SECONDS[:KIND])\n", text.c_str());
        return 2;
      }
    } else if (arg == "--for") {
      if (!ReadInt(value(), 1, 100000000, &seconds)) return Usage(), 2;
    } else if (arg == "--help" || arg == "-h") {
      Usage();
      return 0;
    } else {
      std::fprintf(stderr, "unknown option %s\n", arg.c_str());
      Usage();
      return 2;
    }
  }
  if (options.stations.empty()) options.stations.push_back(1);

  // Signals are taken synchronously below; block them before any thread starts.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  PlcSimulator simulator(options);
  for (const Fault& f : faults) simulator.SetFaultRate(f.kind, f.rate, f.param);
  std::string error;
  const bool ready = device.empty() ? simulator.CreatePty(ports_dir, static_cast<int>(com), &error)
                                    : simulator.AttachDevice(device, &error);
  if (!ready) {
    std::fprintf(stderr, "dravik-plcsim: %s\n", error.c_str());
    return 1;
  }
  if (device.empty()) {
    std::printf("port %s -> %s\nDRAVIKNET_PORTS=%s\n", simulator.port_path().c_str(),
                simulator.device_path().c_str(), simulator.ports_dir().c_str());
  } else {
    std::printf("port %s\n", simulator.port_path().c_str());
  }
  std::printf("stations:");
  for (const int s : options.stations) std::printf(" %d", s);
  std::printf("\n");
  std::fflush(stdout);
  simulator.Start();

  // Wait for a signal or the end of --for, switching the scripted outage on
  // and off on the way.
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  double normal_rate = 0;
  int normal_param = 0;
  for (const Fault& f : faults) {
    if (f.kind == outage_kind) {
      normal_rate = f.rate;
      normal_param = f.param;
    }
  }
  bool silent = false;
  for (;;) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (seconds > 0 && elapsed >= static_cast<double>(seconds)) break;
    const bool want_silent = outage_at >= 0 && elapsed >= static_cast<double>(outage_at) &&
                             elapsed < static_cast<double>(outage_at + outage_for);
    if (want_silent != silent) {
      silent = want_silent;
      simulator.SetFaultRate(outage_kind, silent ? 1.0 : normal_rate, normal_param);
      std::printf("%s %s\n", silent ? "outage begins:" : "outage over:",
                  dravik::plcsim::FaultKindName(outage_kind));
      std::fflush(stdout);
    }
    timespec step{0, 100 * 1000 * 1000};
    siginfo_t info;
    if (sigtimedwait(&signals, &info, &step) > 0) break;
  }
  simulator.Stop();
  std::printf("requests: %llu\n", static_cast<unsigned long long>(simulator.RequestCount()));
  return 0;
}
