#include "tools/plcsim/plc_simulator.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace dravik::plcsim {

namespace {

constexpr size_t kLogLimit = 4096;
constexpr int kDefaultErrorNumber = 5;
constexpr int kDefaultNoiseBytes = 8;
constexpr int kDefaultDelayMs = 1500;
constexpr int kReplyWriteTimeoutMs = 2000;

// Animated points: a counter in R1, a coil C1 that toggles, and a clock in
// R2..R4 (hours, minutes, seconds as BCD).
constexpr int kAreaC = 4;
constexpr int kAreaR = 7;

uint16_t Bcd(int value) { return static_cast<uint16_t>(((value / 10) << 4) | (value % 10)); }

std::string SystemError(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

bool MakeRaw(int fd) {
  termios tio;
  if (::tcgetattr(fd, &tio) != 0) return false;
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

const char* FaultKindName(FaultKind kind) {
  static const char* const kNames[kFaultKindCount] = {
      "none", "silence", "checksum", "error", "noise", "truncate", "delay", "station", "duplicate"};
  return kNames[static_cast<int>(kind)];
}

bool ParseFaultKind(const std::string& text, FaultKind* kind) {
  for (int k = 0; k < kFaultKindCount; ++k) {
    if (text == FaultKindName(static_cast<FaultKind>(k))) {
      *kind = static_cast<FaultKind>(k);
      return true;
    }
  }
  if (text == "no-reply") {
    *kind = FaultKind::kNoReply;
    return true;
  }
  return false;
}

PlcSimulator::PlcSimulator(SimulatorOptions options)
    : options_(std::move(options)), random_(options_.seed), local_echo_(options_.local_echo) {
  for (const int station : options_.stations) {
    if (station >= 1 && station <= 255) stations_[station];
  }
}

PlcSimulator::~PlcSimulator() {
  Stop();
  device_.Close();
  if (slave_fd_ >= 0) ::close(slave_fd_);
  if (!port_path_.empty() && port_path_ != device_path_) ::unlink(port_path_.c_str());
  if (own_ports_dir_) ::rmdir(ports_dir_.c_str());
}

bool PlcSimulator::CreatePty(const std::string& ports_dir, int com, std::string* error) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) {
    *error = SystemError("posix_openpt");
    return false;
  }
  char name[128];
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, name, sizeof name) != 0) {
    *error = SystemError("pseudo-terminal");
    ::close(master);
    return false;
  }
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0 || !MakeRaw(slave) || !MakeRaw(master)) {
    *error = SystemError("pseudo-terminal slave");
    if (slave >= 0) ::close(slave);
    ::close(master);
    return false;
  }
  std::string dir = ports_dir;
  if (dir.empty()) {
    char pattern[] = "/tmp/draviknet-ports-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      *error = SystemError("mkdtemp");
      ::close(slave);
      ::close(master);
      return false;
    }
    dir = pattern;
    own_ports_dir_ = true;
  } else {
    ::mkdir(dir.c_str(), 0755);  // may exist already
  }
  const std::string link = dir + "/COM" + std::to_string(com);
  struct stat st;
  if (::lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(link.c_str());
  if (::symlink(name, link.c_str()) != 0) {
    *error = SystemError(("symlink " + link).c_str());
    ::close(slave);
    ::close(master);
    if (own_ports_dir_) ::rmdir(dir.c_str());
    own_ports_dir_ = false;
    return false;
  }
  device_.Adopt(master);
  if (slave_fd_ >= 0) ::close(slave_fd_);  // a pty made earlier
  slave_fd_ = slave;
  ports_dir_ = dir;
  port_path_ = link;
  device_path_ = name;
  return true;
}

bool PlcSimulator::AttachDevice(const std::string& path, std::string* error) {
  if (!device_.Open(path, options_.line)) {
    *error = path + ": " + device_.Error();
    return false;
  }
  port_path_ = path;
  device_path_ = path;
  return true;
}

bool PlcSimulator::Start() {
  if (!device_.IsOpen() || thread_.joinable()) return false;
  stopping_ = false;
  device_.ClearInterrupt();
  parser_ = FrameParser();  // nothing half-read from a line before
  arrived_.clear();
  thread_ = std::thread([this] { Run(); });
  return true;
}

void PlcSimulator::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(wait_mutex_);
    stopping_ = true;
  }
  wait_cv_.notify_all();
  device_.Interrupt();
  thread_.join();
}

void PlcSimulator::ClosePty() {
  if (thread_.joinable() || slave_fd_ < 0) return;
  device_.Close();
  ::close(slave_fd_);
  slave_fd_ = -1;
  if (!port_path_.empty()) ::unlink(port_path_.c_str());
}

void PlcSimulator::SetStationOff(int station, bool off) {
  std::lock_guard<std::mutex> lock(mutex_);
  off_[station] = off;
}

bool AnsweredInTime(const RequestRecord& record, int timeout_ms) {
  if (record.reply.empty() || !record.checksum_ok || record.refused) return false;
  // A margin for the reply's own bytes and the scheduling on both sides.
  if (record.delay_ms + record.queued_ms + 200 >= timeout_ms) return false;
  switch (record.fault) {
    case FaultKind::kNone:
    case FaultKind::kNoise:
    case FaultKind::kDelay:
    case FaultKind::kDuplicate:
      return true;
    default:
      return false;
  }
}

namespace {
// An address as requests carry it: a bit number, or a byte address (two per
// word); -1 outside the area.
int WireAddressOf(int area, int address) {
  if (area < 0 || area > 7 || address < 1 || address > kAreas[area].highest) return -1;
  const int first = kAreas[area].first + address - 1;
  return kAreas[area].bits ? first : 2 * first;
}
}  // namespace

bool PlcSimulator::SetFaultTarget(FaultKind kind, int area, int address) {
  const int wire = area < 0 ? -1 : WireAddressOf(area, address);
  if (area >= 0 && wire < 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  rate_targets_[static_cast<int>(kind)] = wire;
  // Bit and word addresses are counted apart on the wire: C1 and R1 share
  // a number.
  rate_target_bits_[static_cast<int>(kind)] = area >= 0 && kAreas[area].bits;
  return true;
}

bool PlcSimulator::RefuseWrites(int station, int area, int address) {
  const int wire = WireAddressOf(area, address);
  if (wire < 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  refused_writes_.emplace(station, wire);
  return true;
}

bool PlcSimulator::WaitMs(int ms) {
  std::unique_lock<std::mutex> lock(wait_mutex_);
  return !wait_cv_.wait_for(lock, std::chrono::milliseconds(ms),
                            [this] { return stopping_.load(); });
}

bool PlcSimulator::GetBit(int station, int area, int address, bool* value) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = stations_.find(station);
  return it != stations_.end() && it->second.GetBit(area, address, value);
}

bool PlcSimulator::SetBit(int station, int area, int address, bool value) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = stations_.find(station);
  return it != stations_.end() && it->second.SetBit(area, address, value);
}

bool PlcSimulator::GetWord(int station, int area, int address, uint16_t* value) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = stations_.find(station);
  return it != stations_.end() && it->second.GetWord(area, address, value);
}

bool PlcSimulator::SetWord(int station, int area, int address, uint16_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = stations_.find(station);
  return it != stations_.end() && it->second.SetWord(area, address, value);
}

void PlcSimulator::SetFaultRate(FaultKind kind, double probability, int param) {
  std::lock_guard<std::mutex> lock(mutex_);
  rates_[static_cast<int>(kind)] = probability < 0 ? 0 : (probability > 1 ? 1 : probability);
  rate_params_[static_cast<int>(kind)] = param;
}

void PlcSimulator::ScriptFaults(const std::vector<FaultAction>& actions) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.insert(script_.end(), actions.begin(), actions.end());
}

void PlcSimulator::ScriptWriteFaults(const std::vector<FaultAction>& actions) {
  std::lock_guard<std::mutex> lock(mutex_);
  write_script_.insert(write_script_.end(), actions.begin(), actions.end());
}

std::vector<RequestRecord> PlcSimulator::Log() {
  std::lock_guard<std::mutex> lock(mutex_);
  return {log_.begin(), log_.end()};
}

void PlcSimulator::AnimateStep() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  std::lock_guard<std::mutex> lock(mutex_);
  ++animation_counter_;
  animation_coil_ = !animation_coil_;
  for (auto& [number, memory] : stations_) {
    memory.SetWord(kAreaR, 1, animation_counter_);
    memory.SetBit(kAreaC, 1, animation_coil_);
    memory.SetWord(kAreaR, 2, Bcd(local.tm_hour));
    memory.SetWord(kAreaR, 3, Bcd(local.tm_min));
    memory.SetWord(kAreaR, 4, Bcd(local.tm_sec));
  }
}

// Called with mutex_ held.
FaultAction PlcSimulator::NextFault(const std::vector<uint8_t>& body) {
  const bool write = body.size() > 1 && (body[1] == 0x04 || body[1] == 0x05);
  const int wire = body.size() >= 5 ? (body[3] << 8) | body[4] : -2;
  const bool bits = body.size() > 1 && (body[1] == 0x01 || body[1] == 0x04);
  if (write && !write_script_.empty()) {
    const FaultAction action = write_script_.front();
    write_script_.pop_front();
    return action;
  }
  if (!script_.empty()) {
    const FaultAction action = script_.front();
    script_.pop_front();
    return action;
  }
  std::uniform_real_distribution<double> draw(0.0, 1.0);
  for (int k = 1; k < kFaultKindCount; ++k) {
    if (rate_targets_[k] >= 0 && (rate_targets_[k] != wire || rate_target_bits_[k] != bits)) {
      continue;
    }
    if (rates_[k] > 0 && draw(random_) < rates_[k]) {
      return {static_cast<FaultKind>(k), rate_params_[k]};
    }
  }
  return {};
}

void PlcSimulator::Trace(const char* direction, const std::vector<uint8_t>& raw,
                         const std::vector<uint8_t>& body, bool reply, const char* note) {
  if (options_.trace == nullptr) return;
  std::fprintf(options_.trace, "%s %s\n     %s%s\n", direction, Hex(raw).c_str(),
               DecodeBody(body, reply).c_str(), note);
  std::fflush(options_.trace);
}

bool PlcSimulator::Send(const std::vector<uint8_t>& bytes) {
  if (!options_.pace) {
    return device_.Write(bytes.data(), bytes.size(), kReplyWriteTimeoutMs) == IoStatus::kOk;
  }
  // One start bit, the data bits, the parity bit and the stop bits per byte.
  const LineSettings& line = options_.line;
  const int bits = 1 + line.data_bits + (line.parity == LineParity::kNone ? 0 : 1) + line.stop_bits;
  const auto byte_time =
      std::chrono::microseconds(1000000LL * bits / (line.baud > 0 ? line.baud : 9600));
  auto due = std::chrono::steady_clock::now();
  for (const uint8_t b : bytes) {
    due += byte_time;
    if (device_.Write(&b, 1, kReplyWriteTimeoutMs) != IoStatus::kOk) return false;
    std::unique_lock<std::mutex> lock(wait_mutex_);
    if (wait_cv_.wait_until(lock, due, [this] { return stopping_.load(); })) return false;
  }
  return true;
}

void PlcSimulator::Answer(const Arrived& request) {
  const FrameParser::Frame& frame = request.frame;
  RequestRecord record;
  record.queued_ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - request.at)
                                          .count());
  record.arrived = request.at;
  record.request = frame.raw;
  record.body = frame.body;
  record.checksum_ok = frame.checksum_ok;
  std::vector<uint8_t> reply_body;
  bool known_station = false;
  FaultAction fault;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = frame.body.empty() ? stations_.end() : stations_.find(frame.body[0]);
    known_station = it != stations_.end();
    const bool off = known_station && off_.count(it->first) != 0 && off_[it->first];
    if (frame.checksum_ok && known_station && !off) {
      const bool write = frame.body.size() >= 5 && (frame.body[1] == 0x04 || frame.body[1] == 0x05);
      fault = NextFault(frame.body);
      const bool refused =
          write && refused_writes_.count({it->first, (frame.body[3] << 8) | frame.body[4]}) != 0;
      record.refused = refused;
      if (fault.kind == FaultKind::kErrorReply || refused) {
        reply_body.assign(frame.body.begin(),
                          frame.body.begin() + std::min<size_t>(5, frame.body.size()));
        reply_body.resize(5, 0);
        const int error = fault.kind == FaultKind::kErrorReply && fault.param != 0 ? fault.param
                          : refused                                                ? kErrBadAddress
                                    : kDefaultErrorNumber;
        reply_body[1] = static_cast<uint8_t>(0x80 | (error & 0x7F));
      } else {
        reply_body = it->second.Handle(frame.body);
        if (options_.mark_replies && frame.body[1] == 0x02 && reply_body.size() >= 7) {
          record.mark = next_mark_;
          reply_body[5] = static_cast<uint8_t>(next_mark_ >> 8);
          reply_body[6] = static_cast<uint8_t>(next_mark_ & 0xFF);
          ++next_mark_;
        }
      }
      if (!options_.echo || options_.no_echo.count(it->first) != 0) {
        for (size_t k = 2; k < 5 && k < reply_body.size(); ++k) reply_body[k] = 0;
      }
    }
  }
  record.fault = fault.kind;
  int jitter = 0;
  if (options_.reply_jitter_ms > 0 && !reply_body.empty()) {
    std::lock_guard<std::mutex> lock(mutex_);
    jitter = std::uniform_int_distribution<int>(0, options_.reply_jitter_ms)(random_);
  }
  Trace("rx", frame.raw, frame.body, false,
        !frame.checksum_ok ? "  [bad checksum: ignored]"
                           : (known_station ? "" : "  [not our station: ignored]"));

  std::vector<uint8_t> wire;
  if (!reply_body.empty() && fault.kind != FaultKind::kNoReply) {
    if (fault.kind == FaultKind::kWrongStation)
      reply_body[0] = static_cast<uint8_t>(reply_body[0] + 1);
    wire = EncodeFrame(reply_body);
    switch (fault.kind) {
      case FaultKind::kBadChecksum:
        wire.back() = static_cast<uint8_t>(wire.back() + 1);
        break;
      case FaultKind::kTruncated:
        wire.resize(wire.size() - 3);
        break;
      case FaultKind::kNoise: {
        const int count = fault.param != 0 ? fault.param : kDefaultNoiseBytes;
        std::vector<uint8_t> noise;
        {
          std::lock_guard<std::mutex> lock(mutex_);
          std::uniform_int_distribution<int> byte(0x20, 0xFF);
          for (int i = 0; i < count; ++i) noise.push_back(static_cast<uint8_t>(byte(random_)));
        }
        wire.insert(wire.begin(), noise.begin(), noise.end());
        break;
      }
      case FaultKind::kDelay:
        record.delay_ms = fault.param != 0 ? fault.param : kDefaultDelayMs;
        break;
      case FaultKind::kDuplicate: {
        const std::vector<uint8_t> copy = wire;
        wire.insert(wire.end(), copy.begin(), copy.end());
        break;
      }
      default:
        break;
    }
    record.delay_ms += jitter;
    if (record.delay_ms > 0 && !HoldReading(record.delay_ms)) wire.clear();
  }
  if (fault.kind == FaultKind::kNoReply) Trace("--", {}, frame.body, false, "  [fault: silence]");
  // Logged before the reply goes out: whoever reads the reply then finds
  // the exchange in the log and counted.
  record.reply = wire;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(std::move(record));
    if (log_.size() > kLogLimit) log_.pop_front();
    ++requests_;
  }
  if (!wire.empty()) {
    char note[48] = "";
    if (fault.kind != FaultKind::kNone) {
      std::snprintf(note, sizeof note, "  [fault: %s]", FaultKindName(fault.kind));
    }
    Trace("tx", wire, reply_body, true, note);
    if (!Send(wire)) Trace("!!", wire, reply_body, true, "  [not sent: line failed]");
  }
}

void PlcSimulator::Run() {
  auto next_tick = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (!stopping_.load()) {
    if (!arrived_.empty()) {
      const Arrived request = std::move(arrived_.front());
      arrived_.pop_front();
      Answer(request);
      continue;
    }
    const IoStatus status = ReadLine(options_.animate ? 100 : 500);
    if (status == IoStatus::kInterrupted) break;
    if (status == IoStatus::kHangup || status == IoStatus::kError) {
      // A device that went away: keep trying slowly until stopped.
      if (!WaitMs(200)) break;
      continue;
    }
    if (options_.animate && std::chrono::steady_clock::now() >= next_tick) {
      AnimateStep();
      next_tick += std::chrono::seconds(1);
    }
  }
}

IoStatus PlcSimulator::ReadLine(int wait_ms) {
  uint8_t chunk[256];
  size_t got = 0;
  const IoStatus status = device_.Read(chunk, sizeof chunk, wait_ms, &got);
  if (status != IoStatus::kOk) return status;
  const auto now = std::chrono::steady_clock::now();
  for (size_t i = 0; i < got; ++i) {
    if (auto frame = parser_.Feed(chunk[i])) {
      if (local_echo_.load()) Send(frame->raw);  // the adapter hears it as it goes out
      arrived_.push_back(Arrived{std::move(*frame), now});
    }
  }
  return status;
}

bool PlcSimulator::HoldReading(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (stopping_.load()) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          until - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return true;
    const int wait = static_cast<int>(left < 50 ? left : 50);
    const IoStatus status = ReadLine(wait);
    if (status == IoStatus::kInterrupted) return false;
    if ((status == IoStatus::kHangup || status == IoStatus::kError) && !WaitMs(wait)) return false;
  }
}

}  // namespace dravik::plcsim
