// PlcSimulator: one serial line with one or more simulated Dravik PLC stations
// that answer the driver's bit/word read and write requests, with optional
// line pacing, fault injection and animated values. The simulator owns its
// line (a pseudo-terminal it creates and publishes as COMn, or a device it
// opens) and one thread that reads requests and writes replies. Every public
// member may be called from any thread; memory, faults and the request log
// are guarded by one mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial_device.h"
#include "tools/plcsim/plc_memory.h"

namespace dravik::plcsim {

// What the simulator does to one reply.
enum class FaultKind {
  kNone,          // answer normally
  kNoReply,       // stay silent
  kBadChecksum,   // checksum byte off by one
  kErrorReply,    // error reply; param = error number (default 5)
  kNoise,         // param bytes of noise (default 8) before DLE STX
  kTruncated,     // the frame without its closing DLE ETX and checksum
  kDelay,         // answer after param ms (default 1500)
  kWrongStation,  // answer carrying the next station number
  kDuplicate,     // answer twice, the copy right after the reply
};
constexpr int kFaultKindCount = 9;

struct FaultAction {
  FaultKind kind = FaultKind::kNone;
  int param = 0;  // 0: the kind's default
};

const char* FaultKindName(FaultKind kind);
// "none", "silence"/"no-reply", "checksum", "error", "noise", "truncate", "delay", "station",
// "duplicate".
bool ParseFaultKind(const std::string& text, FaultKind* kind);

struct SimulatorOptions {
  std::vector<int> stations = {1};
  LineSettings line;      // used to open a device and for pacing
  bool pace = false;      // send replies at the line's byte rate
  bool animate = false;   // counter R1, coil C1, BCD clock R2..R4, every second
  FILE* trace = nullptr;  // when set, each request and reply is written there
  uint32_t seed = 1;      // for rate-based faults and noise
  // False: replies carry zeros in bytes 2..4 instead of the request's count
  // and address, as a PLC that does not echo its requests would.
  bool echo = true;
  std::set<int> no_echo;  // stations that do not echo, whatever `echo` says
  // Every reply goes out after a random 0..reply_jitter_ms ms, as a PLC busy
  // with its own scan answers.
  int reply_jitter_ms = 0;
  // The line hears every request back at once, as a 2-wire RS-485 adapter
  // hears itself.
  bool local_echo = false;
  // The first word of every word-read reply carries the reply's sequence
  // number (RequestRecord::mark) instead of memory, so a delivered value
  // names the reply it came from.
  bool mark_replies = false;
};

struct RequestRecord {
  std::vector<uint8_t> request;  // as received, DLE STX .. checksum
  std::vector<uint8_t> body;     // the request's body, the doubling removed
  std::vector<uint8_t> reply;    // as sent (or tried); empty when nothing was
  bool checksum_ok = false;
  FaultKind fault = FaultKind::kNone;
  int delay_ms = 0;      // how long the reply was held (kDelay, and the jitter)
  int queued_ms = 0;     // how long the request waited behind the replies before it
  int mark = -1;         // the sequence number the reply carries (mark_replies)
  bool refused = false;  // a write to an address given to RefuseWrites: error reply
  std::chrono::steady_clock::time_point arrived;  // when the request's last byte came
};

// Whether the driver must take this exchange as a good one: the simulator
// answered the request's own station, without an error, and in time (from
// the request's arrival, its wait behind earlier held replies included, to
// its reply less than the receive time-out; noise before the frame is no
// fault of the reply). Everything else must be counted failed.
bool AnsweredInTime(const RequestRecord& record, int timeout_ms = 3000);

class PlcSimulator {
 public:
  explicit PlcSimulator(SimulatorOptions options);
  ~PlcSimulator();
  PlcSimulator(const PlcSimulator&) = delete;
  PlcSimulator& operator=(const PlcSimulator&) = delete;

  // A new pseudo-terminal published as <ports_dir>/COM<com>; an empty
  // ports_dir makes a new temporary directory (removed again on destruction).
  bool CreatePty(const std::string& ports_dir, int com, std::string* error);
  // An existing serial device, opened exclusively with the options' line.
  bool AttachDevice(const std::string& path, std::string* error);
  bool Start();
  void Stop();
  // Closes the pseudo-terminal made by CreatePty and removes its COMn link,
  // as an unplugged adapter would; the client sees a hang-up. Call Stop()
  // first; CreatePty (and Start) bring a new one under the same name.
  void ClosePty();

  const std::string& ports_dir() const { return ports_dir_; }
  const std::string& port_path() const { return port_path_; }      // the COMn link or device
  const std::string& device_path() const { return device_path_; }  // the pty slave or device

  // Memory of one station, area index 0..7, 1-based address. False for an
  // unknown station, the wrong kind of area or an address out of range.
  bool GetBit(int station, int area, int address, bool* value);
  bool SetBit(int station, int area, int address, bool value);
  bool GetWord(int station, int area, int address, uint16_t* value);
  bool SetWord(int station, int area, int address, uint16_t value);

  // A switched-off station: its requests get no reply (they are still logged).
  void SetStationOff(int station, bool off);
  // The line hears its own requests from now on, or no longer (an adapter
  // swapped); it starts as the options say.
  void SetLocalEcho(bool on) { local_echo_ = on; }
  // Writes to this address (area index, 1-based) of the station get error
  // reply 2, as a PLC refuses a write to a protected address. False for an
  // address outside its area.
  bool RefuseWrites(int station, int area, int address);

  // Probability (0..1) that a reply gets this fault; rates are tried in kind
  // order. `param` is the fault's parameter (0: its default), as in FaultAction.
  void SetFaultRate(FaultKind kind, double probability, int param = 0);
  // From now on the rate of `kind` applies only to requests for this address
  // (area index, 1-based; any station), such as the first of two blocks of
  // the same size; area -1 lifts the limit. False for an address outside its
  // area.
  bool SetFaultTarget(FaultKind kind, int area, int address);
  // Actions for the next replies, in order; they come before any rate.
  void ScriptFaults(const std::vector<FaultAction>& actions);
  // Actions for the replies to the next write requests (commands 04 and 05)
  // only; they come before the other script and the rates.
  void ScriptWriteFaults(const std::vector<FaultAction>& actions);

  uint64_t RequestCount() const { return requests_.load(); }
  std::vector<RequestRecord> Log();
  // One animation step (the thread takes one every second when animating).
  void AnimateStep();

 private:
  // A request as it came off the line, and when.
  struct Arrived {
    FrameParser::Frame frame;
    std::chrono::steady_clock::time_point at;
  };
  void Run();
  // Reads what the line brings within `wait_ms`: whole requests are queued
  // with their arrival time (and heard back at once when the line echoes),
  // so one held reply delays the later answers, as a PLC answers in order,
  // but not the time they are measured from.
  IoStatus ReadLine(int wait_ms);
  bool HoldReading(int ms);  // false when stopping
  void Answer(const Arrived& request);
  FaultAction NextFault(const std::vector<uint8_t>& body);
  bool Send(const std::vector<uint8_t>& bytes);
  bool WaitMs(int ms);  // false when stopping
  void Trace(const char* direction, const std::vector<uint8_t>& raw,
             const std::vector<uint8_t>& body, bool reply, const char* note);

  const SimulatorOptions options_;
  SerialDevice device_;
  int slave_fd_ = -1;  // held so the master never sees a hang-up between clients
  bool own_ports_dir_ = false;
  std::string ports_dir_;
  std::string port_path_;
  std::string device_path_;

  std::thread thread_;
  FrameParser parser_;           // the simulator's thread only
  std::deque<Arrived> arrived_;  // the simulator's thread only
  std::atomic<bool> stopping_{false};
  std::mutex wait_mutex_;
  std::condition_variable wait_cv_;  // wakes WaitMs on Stop

  std::mutex mutex_;  // guards everything below
  std::map<int, StationMemory> stations_;
  std::map<int, bool> off_;                       // stations switched off
  std::set<std::pair<int, int>> refused_writes_;  // station, wire address
  std::deque<FaultAction> script_;
  std::deque<FaultAction> write_script_;
  double rates_[kFaultKindCount] = {};
  int rate_params_[kFaultKindCount] = {};
  int rate_targets_[kFaultKindCount] = {-1, -1, -1, -1, -1,
                                        -1, -1, -1, -1};  // wire address, -1: any
  bool rate_target_bits_[kFaultKindCount] = {};           // the target is a bit address
  std::mt19937 random_;
  std::deque<RequestRecord> log_;
  uint16_t animation_counter_ = 0;
  uint16_t next_mark_ = 0;
  bool animation_coil_ = false;

  std::atomic<uint64_t> requests_{0};
  std::atomic<bool> local_echo_;
};

}  // namespace dravik::plcsim
