// dravik-soak: a long run of one line against the simulator, checking that
// nothing is lost or miscounted while the line misbehaves. Ten stations with
// mixed blocks and about a hundred tags, three of them not echoing requests, a
// line that hears its own requests (a 2-wire adapter), every reply 0-300 ms
// after its request, a quarter of all replies faulty (every kind, holds of up
// to 5 s and duplicated replies among them; the adapter that hears itself is
// swapped for one that does not at the quiet spell), one port loss and return, one
// station switched off for a while with demotion on, a write every second
// (but for a quiet spell with more late replies), and registers that change
// every second. Every word read's reply carries a sequence number in its
// first word, so each delivered value of a block's first word names the reply
// it came from: that reply must have answered that block's own request in
// time. It samples slot 15 every second, checks every delivered value of two
// same-sized blocks per station against what the simulator held, and prints
// a summary; the exit status is 1 when a check failed. Each poller's data is
// judged fresh or stale from its exchange status as dravik-host judges it: no
// block may be good while the simulator last answered its station longer
// ago than the block's limit, and in a healthy spell at the end (no faults)
// no block may turn stale.
//
//   dravik-soak [--minutes M] [--seed N] [--max-rss-growth-kb K]
//   dravik-soak --silent-station [--seconds S] [--demote-seconds D]
//
// The second form measures what silent stations cost a live one: the live
// station's reads per second alone, then beside one and beside three silent
// stations of three blocks (period 0) with demotion on.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gateway/line/exchange_freshness.h"
#include "runtime/frame_codec.h"
#include "tests/e2e/driver_host.h"
#include "tools/plcsim/plc_simulator.h"

namespace dravik::test {
namespace {

using plcsim::FaultKind;
using plcsim::PlcSimulator;
using plcsim::RequestRecord;
using plcsim::SimulatorOptions;
using Clock = std::chrono::steady_clock;

constexpr int kStations = 10;
constexpr int kAreaC = 4;
constexpr int kAreaR = 7;
constexpr int kWriteRegisters = 4;  // R200.. per station, written in turn
constexpr int kOffStation = 5;
// Two blocks of the same size per station, their registers rewritten every
// second with values that name station, address and second: a value
// delivered for the wrong request, or a stale one, shows at once.
constexpr int kBlockWords = 12;
constexpr int kFirstBlock = 1;
constexpr int kTwinBlock = 20;
constexpr int kValueWindowSeconds = 8;
constexpr int kLateReplyMs = 3400;    // after the 3 s time-out: must be passed over
constexpr int kSlowReplyMs = 1500;    // slow but in time: must be taken
constexpr int kLongHoldMs = 5000;     // 2 s past the time-out: the longest hold
constexpr double kFaultRate = 0.031;  // per kind; eight kinds
constexpr int kReplyJitterMs = 300;   // every reply comes 0..300 ms after its request
// Stations that do not echo: a late reply of theirs looks like any answer.
const std::set<int> kNoEchoStations = {3, 6, 9};
// Late replies to the first of the twin blocks while no write is made.
constexpr double kQuietDelayRate = 0.5;

uint16_t HeldValue(int station, int address, int second) {
  return static_cast<uint16_t>(station * 4096 + address * 128 + (second & 0x7F));
}

long RssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return 0;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// What the simulator answered, per station, counted from its request log as
// it grows. Only a reply in time, without an error, from the request's own
// station may be a good exchange for the driver; anything else (a late reply,
// another station's, an error reply to a write) must be counted failed.
struct StationTally {
  long good_reads = 0, good_writes = 0;
};

class SimTally {
 public:
  explicit SimTally(PlcSimulator& sim) : sim_(sim) {}
  void Update() {
    for (;;) {
      const uint64_t before = sim_.RequestCount();
      std::vector<RequestRecord> log = sim_.Log();
      if (sim_.RequestCount() != before) continue;  // grew meanwhile: look again
      const uint64_t fresh = before - seen_;
      if (fresh > log.size()) lost_records_ = true;
      const size_t from = fresh >= log.size() ? 0 : log.size() - fresh;
      for (size_t i = from; i < log.size(); ++i) Count(log[i]);
      seen_ = before;
      return;
    }
  }
  const StationTally& Of(int station) { return stations_[station]; }
  // When the simulator last sent a station a read reply in time, or nullopt.
  std::optional<Clock::time_point> LastGoodRead(int station) const {
    const auto it = last_good_read_.find(station);
    if (it == last_good_read_.end()) return std::nullopt;
    return it->second;
  }
  bool LostRecords() const { return lost_records_; }

  // The reply that carried sequence number `mark`, or null.
  struct Marked {
    int station = 0;
    int wire_address = 0;
    bool in_time = false;
  };
  const Marked* Mark(int mark) const {
    const auto it = marks_.find(mark);
    return it == marks_.end() ? nullptr : &it->second;
  }

 private:
  void Count(const RequestRecord& r) {
    if (r.mark >= 0 && r.body.size() >= 5) {
      marks_[r.mark] = {r.body[0], (r.body[3] << 8) | r.body[4], plcsim::AnsweredInTime(r)};
    }
    if (r.request.size() < 4 || !plcsim::AnsweredInTime(r)) return;
    StationTally& t = stations_[r.request[2]];
    const bool read = r.request[3] == 0x01 || r.request[3] == 0x02;
    ++(read ? t.good_reads : t.good_writes);
    if (read) {
      const auto sent = r.arrived + std::chrono::milliseconds(r.queued_ms + r.delay_ms);
      auto& last = last_good_read_[r.request[2]];
      last = std::max(last, sent);
    }
  }
  PlcSimulator& sim_;
  uint64_t seen_ = 0;
  bool lost_records_ = false;
  std::map<int, StationTally> stations_;
  std::map<int, Marked> marks_;  // the latest reply of each sequence number
  std::map<int, Clock::time_point> last_good_read_;
};

struct Counters {
  int ws = 0, wf = 0, rs = 0, rf = 0, status = 0;
};

Counters Read(DriverHost& host, int inst, const std::string& station) {
  int c[4] = {};
  Counters out;
  out.status = host.Statistics(inst, station.c_str(), c);
  out.ws = c[0];
  out.wf = c[1];
  out.rs = c[2];
  out.rf = c[3];
  return out;
}

std::string Name(int station) { return "PLC" + std::to_string(station); }

struct Write {
  int station = 0;
  int address = 0;
  int value = 0;
};

class Soak {
 public:
  Soak(double minutes, uint32_t seed, long max_rss_growth_kb)
      : minutes_(minutes), seed_(seed), max_rss_growth_kb_(max_rss_growth_kb) {}

  int Run() {
    if (!SetUp()) return 2;
    const double total = minutes_ * 60.0;
    const double loss_at = total * 0.25;
    const double off_at = total * 0.40;  // after the port is back (0.25 + 8 s)
    const double off_until = total * 0.70;
    constexpr double kLossSeconds = 8.0;
    // A quiet spell without writes, with late replies to the first of the twin
    // blocks: a late reply then lands in the read of the second, of the same
    // size, not in a write that was queued while the driver waited.
    const double quiet_from = total * 0.62;
    const double quiet_until = total * 0.92;
    bool quiet = false;
    const auto start = Clock::now();
    long rss_base = 0;
    bool lost = false, loss_done = false, off = false;
    int k = 0;
    std::printf(
        "soak: %.1f min, %d stations (%zu without echo), %zu tags, faults 25%% of replies, "
        "replies 0-%d ms after the request, the line hears its own requests, seed %u\n",
        minutes_, kStations, kNoEchoStations.size(), tag_count_, kReplyJitterMs, seed_);
    std::fflush(stdout);
    while (Seconds(start) < total) {
      const double now = Seconds(start);
      if (!loss_done && !lost && now >= loss_at) {
        sim_->Stop();
        sim_->ClosePty();  // the adapter is unplugged: the link goes too
        lost = true;
        Note("port COM1 removed");
      } else if (lost && now >= loss_at + kLossSeconds) {
        std::string error;
        if (!sim_->CreatePty(dir_.path(), 1, &error) || !sim_->Start()) {
          Fail("cannot publish the new pseudo-terminal: " + error);
          break;
        }
        lost = false;
        loss_done = true;
        Note("port COM1 back (a new pseudo-terminal)");
      }
      if (!off && now >= off_at && now < off_until) {
        sim_->SetStationOff(kOffStation, true);
        off = true;
        Note(Name(kOffStation) + " switched off");
      } else if (off && now >= off_until) {
        sim_->SetStationOff(kOffStation, false);
        off = false;
        Note(Name(kOffStation) + " switched on");
      }
      if (!quiet && now >= quiet_from && now < quiet_until) {
        quiet = true;
        // The adapter that heard itself is swapped for one that does not: a
        // late reply is then followed by the answer alone, which only the
        // wait to be back in step keeps from being mistaken.
        sim_->SetLocalEcho(false);
        // Late replies to the first of the twin blocks: the second comes next.
        sim_->SetFaultRate(FaultKind::kDelay, kQuietDelayRate, kLateReplyMs);
        sim_->SetFaultTarget(FaultKind::kDelay, kAreaR, kFirstBlock);
        Note("writes paused, late replies to the first of the twin blocks");
      } else if (quiet && now >= quiet_until) {
        quiet = false;
        sim_->SetFaultRate(FaultKind::kDelay, kFaultRate, kSlowReplyMs);
        sim_->SetFaultTarget(FaultKind::kDelay, -1, 0);
        Note("writes again");
      }
      // Held replies: slow but in time, late, or held 2 s past the time-out.
      if (!quiet) {
        static constexpr int kHolds[] = {kSlowReplyMs, kLateReplyMs, kSlowReplyMs, kLongHoldMs};
        sim_->SetFaultRate(FaultKind::kDelay, kFaultRate, kHolds[k % 4]);
      }
      Animate(k);
      if (!quiet) MakeWrite(k);
      ++k;
      Sample();
      ScanLogs();
      if (rss_base == 0 && now >= std::min(30.0, total * 0.1)) rss_base = RssKb();
      std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    if (lost) {  // a very short run: bring the port back before the end
      std::string error;
      sim_->CreatePty(dir_.path(), 1, &error);
      sim_->Start();
    }
    sim_->SetStationOff(kOffStation, false);
    // Wait for every station to answer again before the books are closed.
    host_.WaitFor(
        [&] {
          for (int s = 1; s <= kStations; ++s) {
            if (Read(host_, inst_, Name(s)).status != 0) return false;
          }
          return true;
        },
        60000);
    HealthySpell(std::max(20.0, total * 0.1));
    QuietStop();
    ScanLogs();
    return Summary(rss_base, RssKb(), Seconds(start));
  }

  // The live station's reads per second alone, beside one silent station and
  // beside three (each of three blocks, period 0), with demotion on: after 3
  // failures a silent station is skipped for demote_seconds, then probed with
  // the short probe time-out.
  int SilentStation(double seconds, int demote_seconds) {
    setenv("DRAVIKNET_PORTS", dir_.path().c_str(), 1);
    const std::string conf = dir_.File("draviknet.conf");
    {
      std::ofstream out(conf);
      for (int com = 1; com <= 3; ++com) {
        out << "[COM" << com << "]\ndemote_after = 3\ndemote_seconds = " << demote_seconds << "\n";
      }
    }
    setenv("DRAVIKNET_CONFIG", conf.c_str(), 1);
    // Each measurement has its own line: a prepared instance keeps its port.
    std::vector<std::unique_ptr<PlcSimulator>> sims;
    for (int com = 1; com <= 3; ++com) {
      SimulatorOptions options;
      options.stations = {1};
      sims.push_back(std::make_unique<PlcSimulator>(options));
      std::string error;
      if (!sims.back()->CreatePty(dir_.path(), com, &error) || !sims.back()->Start()) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 2;
      }
    }
    auto measure = [&](int silent, int com) {
      CDravikNetDoc doc;
      doc.Stations().push_back(MakeStation("LIVE", 1));
      for (int b = 0; b < 3; ++b) AddBlock(*doc.Stations()[0], "R", kAreaR, 1 + 10 * b, 8, 0);
      for (int k = 0; k < silent; ++k) {
        doc.Stations().push_back(MakeStation("SILENT" + std::to_string(k + 2), k + 2));
        for (int b = 0; b < 3; ++b) AddBlock(*doc.Stations().back(), "R", kAreaR, 1 + 10 * b, 8, 0);
      }
      const std::string path = dir_.File("line" + std::to_string(com) + ".dat");
      SaveProject(doc, path, com);
      const int inst = host_.Create(path);
      if (inst < 0 || host_.Prepare(inst) != 0) {
        std::fprintf(stderr, "the driver refused %s\n", path.c_str());
        std::exit(2);
      }
      host_.SetRunState(inst, nullptr, 1);
      // Three failures of three seconds each demote a silent station.
      std::this_thread::sleep_for(std::chrono::duration<double>(1.0 + 9.5 * silent));
      const int first = Read(host_, inst, "LIVE").rs;
      const auto from = Clock::now();
      std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
      const int last = Read(host_, inst, "LIVE").rs;
      host_.Stop(inst);
      return (last - first) / Seconds(from);
    };
    const double alone = measure(0, 1);
    const double beside_one = measure(1, 2);
    const double beside_three = measure(3, 3);
    const double one = 100.0 * beside_one / alone, three = 100.0 * beside_three / alone;
    std::printf(
        "silent stations (demotion after 3 failures for %d s, probes with the short time-out), "
        "over %.0f s after demotion: live station alone %.1f reads/s; beside one silent "
        "station %.1f reads/s = %.0f%% (aim 85%%); beside three %.1f reads/s = %.0f%% (aim "
        "65%%)\n",
        demote_seconds, seconds, alone, beside_one, one, beside_three, three);
    return one >= 85.0 && three >= 65.0 ? 0 : 1;
  }

 private:
  bool SetUp() {
    setenv("DRAVIKNET_PORTS", dir_.path().c_str(), 1);
    const std::string conf = dir_.File("draviknet.conf");
    // Probes wait as long as any exchange here, so that every reply the
    // simulator sends in time must count (the short probe is measured by
    // --silent-station).
    std::ofstream(conf) << "; the soak's line\n[COM1]\ndemote_after = 3\ndemote_seconds = 15\n"
                        << "probe_timeout_ms = 3000\n";
    setenv("DRAVIKNET_CONFIG", conf.c_str(), 1);
    SimulatorOptions options;
    options.seed = seed_;
    for (int s = 1; s <= kStations; ++s) options.stations.push_back(s);
    options.no_echo = kNoEchoStations;
    options.reply_jitter_ms = kReplyJitterMs;
    options.local_echo = true;
    options.mark_replies = true;
    sim_ = std::make_unique<PlcSimulator>(options);
    std::string error;
    if (!sim_->CreatePty(dir_.path(), 1, &error) || !sim_->Start()) {
      std::fprintf(stderr, "simulator: %s\n", error.c_str());
      return false;
    }
    // Eight kinds at 3.1% each: about one reply in four is faulty. A delayed
    // reply is slow but in time, or comes after the driver gave up on it (up
    // to 2 s after), into the exchange that follows, where it must never
    // count as that exchange's answer.
    for (FaultKind kind : {FaultKind::kNoReply, FaultKind::kBadChecksum, FaultKind::kErrorReply,
                           FaultKind::kNoise, FaultKind::kTruncated, FaultKind::kDelay,
                           FaultKind::kWrongStation, FaultKind::kDuplicate}) {
      sim_->SetFaultRate(kind, kFaultRate, kind == FaultKind::kDelay ? kSlowReplyMs : 0);
    }
    tally_ = std::make_unique<SimTally>(*sim_);
    Animate(0);

    CDravikNetDoc doc;
    for (int s = 1; s <= kStations; ++s) {
      doc.Stations().push_back(MakeStation(Name(s), s));
      CStationInfoDVK& st = *doc.Stations().back();
      AddBlock(st, "R1", kAreaR, kFirstBlock, kBlockWords, 0);  // every cycle
      AddBlock(st, "R20", kAreaR, kTwinBlock, kBlockWords, 0);  // the same size
      AddBlock(st, "C1", kAreaC, 1, 32, 500);                   // bits, twice a second
      AddBlock(st, "R200", kAreaR, 200, 8, 1000);               // the written registers
    }
    SaveProject(doc, dir_.File("soak.dat"));
    inst_ = host_.Create(dir_.File("soak.dat"));
    if (inst_ < 0 || host_.Prepare(inst_) != 0) {
      std::fprintf(stderr, "the driver refused the soak project\n");
      return false;
    }
    int id = 1;
    for (int s = 1; s <= kStations; ++s) {
      const std::string dev = "DVK." + Name(s);
      struct Tag {
        const char* address;
        int type;
        int length;
      };
      const Tag tags[] = {{"R1", 1, 2},  {"R3", 2, 4},   {"R6", 14, 4},
                          {"C3", 13, 0}, {"C12", 13, 0}, {"R300", 5, 4}};
      for (const Tag& t : tags) {
        const int handle = host_.Bind(inst_, dev.c_str(), t.address, t.type, t.length, id++);
        if (handle >= 0) ++tag_count_;
        NotePoller(handle, s, t.address);
      }
      for (const int address : {kFirstBlock, kFirstBlock + 9, kTwinBlock, kTwinBlock + 5}) {
        const std::string text = "R" + std::to_string(address);
        checked_[id] = {s, address};
        if (address == kFirstBlock || address == kTwinBlock) marked_[id] = -1;
        const int handle = host_.Bind(inst_, dev.c_str(), text.c_str(), 4, 2, id++);
        if (handle >= 0) ++tag_count_;
        NotePoller(handle, s, text);
      }
      for (int r = 0; r < kWriteRegisters; ++r) {
        const std::string address = "R" + std::to_string(200 + r);
        const int handle = host_.Bind(inst_, dev.c_str(), address.c_str(), 4, 2, id++);
        if (handle >= 0) ++tag_count_;
        write_handles_[{s, 200 + r}] = handle;
        NotePoller(handle, s, address);
      }
    }
    BindExchangeStatus();
    host_.BuildRequests(inst_);
    host_.SetRunState(inst_, nullptr, 1);
    return true;
  }

  // The first tag of each poller (the high half of its handle).
  void NotePoller(int handle, int station, const std::string& address) {
    if (handle >= 0) poller_tags_.emplace(handle >> 16, std::make_pair(station, address));
  }

  // One exchange status tag per poller, on the address of a tag it reads, as
  // dravik-host binds them.
  void BindExchangeStatus() {
    for (const auto& [poller, tag] : poller_tags_) {
      const int id = kFirstStatusId + poller;
      const std::string dev = "DVK." + Name(tag.first);
      if (host_.Bind(inst_, dev.c_str(), tag.second.c_str(), kTypeExchangeStatus, 0, id) >= 0) {
        status_station_[id] = tag.first;
        status_poller_[id] = status_poller_.size();
      } else {
        Fail("no exchange status for " + dev + " " + tag.second);
      }
    }
  }

  // Every exchange is told once through its poller's status tag, its result
  // as the counters took it; a block's data turns stale at a failed read.
  void CountExchangeReports(const std::vector<ValueEvent>& values) {
    if (freshness_.size() != status_poller_.size()) {
      freshness_ =
          dravik::host::ExchangeFreshness(std::vector<int64_t>(status_poller_.size(), 0), 0);
    }
    for (const ValueEvent& v : values) {
      const auto it = status_station_.find(v.tag_id);
      if (it == status_station_.end() || !v.has_value) continue;
      freshness_.Record(status_poller_[v.tag_id], static_cast<int>(v.value), Ms(v.at));
      last_report_ms_[v.tag_id] = Ms(v.at);
      if (healthy_ && v.value != 0 && ++false_stale_ <= 5) {
        std::printf("  healthy line: %s's block of tag id %d turned stale (result %d)\n",
                    Name(it->second).c_str(), v.tag_id, static_cast<int>(v.value));
      }
      auto& [good, failed] = reports_[it->second];
      const bool was_good = last_report_[v.tag_id] == 0;
      if (v.value == 0) {
        ++good;
        if (!was_good) ++back_to_good_;
      } else {
        ++failed;
        if (was_good) ++turned_stale_;
      }
      last_report_[v.tag_id] = static_cast<int>(v.value);
    }
  }

  // Second k of the run: the animated registers take their values for it.
  void Animate(int k) {
    second_ = k;
    for (int s = 1; s <= kStations; ++s) {
      for (const int first : {kFirstBlock, kTwinBlock}) {
        for (int a = first; a < first + kBlockWords; ++a) {
          sim_->SetWord(s, kAreaR, a, HeldValue(s, a, k));
        }
      }
    }
  }

  // A block's first word carries the sequence number of the reply it came
  // from: a reply in time to that very block's request, newer than the last
  // one delivered.
  bool MarkAnswersItsRequest(int tag_id, int station, int address, double value) {
    const int mark = static_cast<int>(value);
    const SimTally::Marked* m = tally_->Mark(mark);
    int& last = marked_[tag_id];
    const bool newer = last < 0 || static_cast<int16_t>(mark - last) > 0;
    ++checked_marks_;
    const bool ok = m != nullptr && m->in_time && m->station == station &&
                    m->wire_address == WireAddress(kAreaR, static_cast<uint32_t>(address)) && newer;
    if (!ok && ++wrong_marks_ <= 5) {
      std::printf("  %s R%d: reply %d %s (last delivered %d)\n", Name(station).c_str(), address,
                  mark,
                  m == nullptr            ? "is unknown"
                  : !m->in_time           ? "came too late or was faulty"
                  : m->station != station ? "was another station's"
                  : !newer                ? "is older than one delivered before"
                                          : "answered another block",
                  last);
    }
    last = mark;
    return ok;
  }

  // Every value delivered for a checked tag is one the simulator held at
  // that address in the last seconds, or names its own reply.
  void CheckValues(const std::vector<ValueEvent>& values) {
    for (const ValueEvent& v : values) {
      const auto it = checked_.find(v.tag_id);
      if (it == checked_.end()) continue;
      ++checked_values_;
      const auto [station, address] = it->second;
      if (marked_.count(v.tag_id) != 0) {
        if (!v.has_value || !MarkAnswersItsRequest(v.tag_id, station, address, v.value)) {
          ++wrong_values_;
        }
        continue;
      }
      bool held = false;
      for (int back = 0; back <= kValueWindowSeconds && !held; ++back) {
        held = v.has_value && v.value == HeldValue(station, address, second_ - back);
      }
      if (held) continue;
      if (++wrong_values_ <= 5) {
        std::printf("  wrong value for %s R%d: %.0f (held lately: %d..%d)\n", Name(station).c_str(),
                    address, v.value, HeldValue(station, address, second_ - kValueWindowSeconds),
                    HeldValue(station, address, second_));
      }
    }
  }

  // One write a second, station by station, register by register. Before a
  // register is written again, its previous write is judged: in the
  // simulator's memory, or not.
  void MakeWrite(int k) {
    Write w;
    w.station = k % kStations + 1;
    w.address = 200 + (k / kStations) % kWriteRegisters;
    w.value = k % 60000 + 1;
    Judge(w.station, w.address);
    host_.Write(inst_, write_handles_[{w.station, w.address}], w.value);
    ++made_[w.station];
    last_write_[{w.station, w.address}] = w;
  }

  void Judge(int station, int address) {
    const auto it = last_write_.find({station, address});
    if (it == last_write_.end()) return;
    uint16_t value = 0;
    sim_->GetWord(station, kAreaR, address, &value);
    if (value == it->second.value) ++in_memory_[station];
    last_write_.erase(it);
  }

  // Slot 15 against the simulator: what the driver calls good lies between
  // what the simulator had answered cleanly before the read (less the one
  // exchange that may be on its way back) and all it had answered after it.
  void Sample() {
    tally_->Update();
    std::map<int, StationTally> before;
    for (int s = 1; s <= kStations; ++s) before[s] = tally_->Of(s);
    std::map<int, Counters> read;
    for (int s = 1; s <= kStations; ++s) read[s] = Read(host_, inst_, Name(s));
    tally_->Update();
    ++samples_;
    for (int s = 1; s <= kStations; ++s) {
      const Counters& c = read[s];
      const StationTally& after = tally_->Of(s);
      const long good_reads = c.rs - c.rf;
      const long good_writes = c.ws - c.wf;
      if (good_reads < before[s].good_reads - 1 || good_reads > after.good_reads ||
          good_writes < before[s].good_writes - 1 || good_writes > after.good_writes ||
          c.rf > c.rs || c.wf > c.ws) {
        ++identity_failures_;
        if (identity_failures_ <= 5) {
          std::printf(
              "  identity off for %s: reads %d sent %d failed (simulator good %ld..%ld), "
              "writes %d sent %d failed (simulator good %ld..%ld)\n",
              Name(s).c_str(), c.rs, c.rf, before[s].good_reads, after.good_reads, c.ws, c.wf,
              before[s].good_writes, after.good_writes);
        }
      }
    }
  }

  // 16 and 17 per station, in order: they must alternate, 16 first.
  void ScanLogs() {
    for (const LogLine& line : host_.TakeLogs()) {
      ++log_lines_;
      if (line.text.find("연결이 끊어졌습니다") != std::string::npos) ++loss_notes_;
      if (line.text.find("통신포트 초기화 완료") != std::string::npos) ++port_opened_;
      if (line.text.find("통신 대상에서 제외합니다") != std::string::npos) ++demotions_;
      for (int s = 1; s <= kStations; ++s) {
        const std::string station = "스테이션[" + Name(s) + "]";
        if (line.text.find(station + "과 통신할 수 없습니다.") != std::string::npos) {
          if (lost_[s]) ++order_errors_;
          lost_[s] = true;
          ++msg16_[s];
        } else if (line.text.find(station + "과의 통신이 정상적으로 복구") != std::string::npos) {
          if (!lost_[s]) ++order_errors_;
          lost_[s] = false;
          ++msg17_[s];
        }
      }
    }
    const auto now = Clock::now();
    const std::vector<ValueEvent> values = host_.TakeValues();
    tally_->Update();  // every reply these values came from is in the log by now
    CheckValues(values);
    CountExchangeReports(values);
    CheckFreshness(now);
    values_ += static_cast<long>(values.size());
  }

  // Every block judged good at `now` has data no older than its limit: the
  // simulator answered its station in time within the limit (and the short
  // way of the reply to the driver). In the healthy spell every block is good.
  void CheckFreshness(Clock::time_point now) {
    constexpr int64_t kReplyWayMs = 500;
    for (const auto& [id, k] : status_poller_) {
      const int station = status_station_[id];
      if (!freshness_.Fresh(k, Ms(now))) {
        if (healthy_ && ++false_stale_ <= 5) {
          std::printf(
              "  healthy line: %s's block of tag id %d is stale (limit %lld ms; its last "
              "exchange, %lld ms ago, said %d)\n",
              Name(station).c_str(), id, static_cast<long long>(freshness_.LimitMs(k)),
              static_cast<long long>(Ms(now) - last_report_ms_[id]), last_report_[id]);
        }
        continue;
      }
      ++fresh_checked_;
      const auto last = tally_->LastGoodRead(station);
      const int64_t age = last ? Ms(now) - Ms(*last) : Ms(now);
      if (age > freshness_.LimitMs(k) + kReplyWayMs && ++old_goods_ <= 5) {
        std::printf(
            "  %s's block of tag id %d good, but its station last answered %lld ms ago "
            "(limit %lld ms)\n",
            Name(station).c_str(), id, static_cast<long long>(age),
            static_cast<long long>(freshness_.LimitMs(k)));
      }
    }
  }

  // No fault at all for `seconds`: a healthy line, where no block may turn
  // stale. It starts once every block has read well again: the faulty run's
  // round, a time-out in four exchanges, is far longer than a healthy one.
  void HealthySpell(double seconds) {
    for (FaultKind kind : {FaultKind::kNoReply, FaultKind::kBadChecksum, FaultKind::kErrorReply,
                           FaultKind::kNoise, FaultKind::kTruncated, FaultKind::kDelay,
                           FaultKind::kWrongStation, FaultKind::kDuplicate}) {
      sim_->SetFaultRate(kind, 0, 0);
      sim_->SetFaultTarget(kind, -1, 0);
    }
    Note("healthy spell: no faults for " + std::to_string(static_cast<int>(seconds)) + " s");
    const auto settle = Clock::now();
    while (!AllFresh() && Seconds(settle) < 120) {
      Animate(second_ + 1);
      Sample();
      ScanLogs();
      std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    healthy_ = true;
    healthy_seconds_ = seconds;
    const auto start = Clock::now();
    while (Seconds(start) < seconds) {
      Animate(second_ + 1);
      Sample();
      ScanLogs();
      std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    }
    healthy_ = false;
  }

  bool AllFresh() const {
    for (const auto& [id, k] : status_poller_) {
      if (!freshness_.Fresh(k, Ms(Clock::now()))) return false;
    }
    return true;
  }

  int64_t Ms(Clock::time_point t) const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t - epoch_).count();
  }

  void QuietStop() {
    for (int s = 1; s <= kStations; ++s) host_.SetRunState(inst_, Name(s).c_str(), 0);
    // A late reply at most, after the wait to be back in step after a time-out.
    std::this_thread::sleep_for(std::chrono::milliseconds(6000));
    CountExchangeReports(host_.TakeValues());  // the line has been quiet: all are in
    host_.Stop(inst_);
    for (auto it = last_write_.begin(); it != last_write_.end();) {
      const Write w = it->second;
      ++it;
      Judge(w.station, w.address);
    }
    tally_->Update();
  }

  int Summary(long rss_base, long rss_end, double seconds) {
    std::printf("%-6s %9s %8s %9s %8s %11s %11s %9s %7s %s\n", "", "reads", "failed", "writes",
                "failed", "sim good r", "sim good w", "in memory", "16/17", "identity");
    long reads = 0, writes = 0;
    bool identity_ok = identity_failures_ == 0, writes_ok = true, health_ok = order_errors_ == 0;
    for (int s = 1; s <= kStations; ++s) {
      const Counters c = Read(host_, inst_, Name(s));
      const StationTally& t = tally_->Of(s);
      reads += c.rs;
      writes += c.ws;
      const long good_r = c.rs - c.rf, good_w = c.ws - c.wf;
      const bool exact = good_r == t.good_reads && good_w == t.good_writes;
      // The tries to reopen a lost port count a failed read of each station
      // but are no exchange of a block: the failures told can only be fewer.
      const auto [reported_good, reported_failed] = reports_[s];
      if (reported_good != good_r || reported_failed > c.rf) {
        Fail(Name(s) + ": exchange status told " + std::to_string(reported_good) + " good and " +
             std::to_string(reported_failed) + " failed reads, the counters " +
             std::to_string(good_r) + " and " + std::to_string(c.rf));
      }
      identity_ok = identity_ok && exact;
      // Every write made was counted; every write counted good is in the
      // simulator's memory; every other one was counted failed.
      const long made = made_[s], mem = in_memory_[s];
      const bool w_ok = c.ws == made && good_w <= mem && made - mem <= c.wf;
      writes_ok = writes_ok && w_ok;
      health_ok = health_ok && msg17_[s] >= msg16_[s] - 1 && msg17_[s] <= msg16_[s];
      std::printf("%-6s %9d %8d %9d %8d %11ld %11ld %9ld %3d/%-3d %s%s\n", Name(s).c_str(), c.rs,
                  c.rf, c.ws, c.wf, t.good_reads, t.good_writes, mem, msg16_[s], msg17_[s],
                  exact ? "ok" : "OFF", w_ok ? "" : " (writes OFF)");
    }
    // The port loss lasted 8 s: every station was lost and restored.
    bool events_ok = loss_notes_ == 1 && port_opened_ == 2;
    for (int s = 1; s <= kStations; ++s) events_ok = events_ok && msg16_[s] >= 1 && msg17_[s] >= 1;
    events_ok = events_ok && demotions_ >= 1;
    const long growth = rss_end - rss_base;
    const bool rss_ok = max_rss_growth_kb_ <= 0 || growth <= max_rss_growth_kb_;
    if (tally_->LostRecords()) std::printf("  warning: the simulator's log outran the tally\n");
    std::printf(
        "totals: %.0f s, %ld reads, %ld writes, %ld values, %ld log lines, %d slot-15 "
        "samples\n",
        seconds, reads, writes, values_, log_lines_, samples_);
    std::printf(
        "check counter identity (sent == good + failed, per station, every sample and "
        "at the end): %s (%d samples off)\n",
        identity_ok ? "ok" : "FAILED", identity_failures_);
    std::printf(
        "check writes (each counted; good ones in the simulator's memory, the rest "
        "failed): %s\n",
        writes_ok ? "ok" : "FAILED");
    std::printf(
        "check 16/17 (alternate per station, one open 16 at most): %s (%d out of "
        "order)\n",
        health_ok ? "ok" : "FAILED", order_errors_);
    std::printf(
        "check events (1 port loss note, port opened twice, every station 16 and 17, "
        "demotions %d): %s\n",
        demotions_, events_ok ? "ok" : "FAILED");
    std::printf(
        "check RSS: %ld kB after warm-up, %ld kB at the end, growth %ld kB (limit %ld): "
        "%s\n",
        rss_base, rss_end, growth, max_rss_growth_kb_, rss_ok ? "ok" : "FAILED");
    std::printf(
        "check exchange status (each good read told once, as counted, each failed one at "
        "most once; above when not): blocks "
        "turned stale %ld times, good again %ld times\n",
        turned_stale_, back_to_good_);
    const bool quality_ok = old_goods_ == 0 && false_stale_ == 0 && fresh_checked_ > 0;
    std::printf(
        "check quality (a block good only while its station answered within the block's "
        "limit; none stale in the healthy spell of %.0f s): %s (%ld good blocks checked, %ld "
        "older than the limit, %ld false stale)\n",
        healthy_seconds_, quality_ok ? "ok" : "FAILED", fresh_checked_, old_goods_, false_stale_);
    const bool values_ok = wrong_values_ == 0 && checked_values_ > 0;
    std::printf(
        "check values (each one the simulator held at its address lately; a block's first "
        "word names a reply in time to that block's request): %s (%ld checked, %ld of them "
        "marks; %ld wrong, %ld of them marks)\n",
        values_ok ? "ok" : "FAILED", checked_values_, checked_marks_, wrong_values_, wrong_marks_);
    for (const std::string& f : failures_) std::printf("failure: %s\n", f.c_str());
    const bool ok = identity_ok && writes_ok && health_ok && events_ok && rss_ok && values_ok &&
                    quality_ok && failures_.empty();
    std::printf("soak %s\n", ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
  }

  void Note(const std::string& text) {
    std::printf("  %s\n", text.c_str());
    std::fflush(stdout);
  }
  void Fail(const std::string& text) { failures_.push_back(text); }

  const double minutes_;
  const uint32_t seed_;
  const long max_rss_growth_kb_;
  DriverHost& host_ = DriverHost::Get();
  TempDir dir_;
  std::unique_ptr<PlcSimulator> sim_;
  std::unique_ptr<SimTally> tally_;
  int inst_ = -1;
  size_t tag_count_ = 0;
  std::map<std::pair<int, int>, int> write_handles_;
  std::map<std::pair<int, int>, Write> last_write_;
  std::map<int, long> made_, in_memory_;
  std::map<int, bool> lost_;
  std::map<int, int> msg16_, msg17_;
  int samples_ = 0, identity_failures_ = 0, order_errors_ = 0;
  int loss_notes_ = 0, port_opened_ = 0, demotions_ = 0;
  long log_lines_ = 0, values_ = 0;
  std::map<int, std::pair<int, int>> checked_;  // tag id: station, address
  int second_ = 0;
  long checked_values_ = 0, wrong_values_ = 0, checked_marks_ = 0, wrong_marks_ = 0;
  std::map<int, int> marked_;  // tag id of a block's first word: the last mark delivered
  std::map<int, std::pair<int, std::string>> poller_tags_;  // poller: station, address
  static constexpr int kFirstStatusId = 100000;
  static constexpr int kTypeExchangeStatus = 0x100;
  std::map<int, int> status_station_;             // status tag id: station
  std::map<int, std::pair<long, long>> reports_;  // per station: good, failed
  std::map<int, int> last_report_;                // status tag id: last result
  long turned_stale_ = 0, back_to_good_ = 0;
  std::map<int, int64_t> last_report_ms_;  // status tag id: when its last result came
  std::map<int, size_t> status_poller_;    // status tag id: its poller's index in freshness_
  dravik::host::ExchangeFreshness freshness_;
  const Clock::time_point epoch_ = Clock::now();
  bool healthy_ = false;  // in the healthy spell
  double healthy_seconds_ = 0;
  long fresh_checked_ = 0, old_goods_ = 0, false_stale_ = 0;
  std::vector<std::string> failures_;
};

}  // namespace
}  // namespace dravik::test

int main(int argc, char** argv) {
  double minutes = 10;
  double seconds = 60;
  unsigned seed = 1;
  long max_rss_growth_kb = 16384;
  bool silent_station = false;
  int demote_seconds = 10;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--minutes") {
      minutes = std::atof(value());
    } else if (arg == "--seconds") {
      seconds = std::atof(value());
    } else if (arg == "--seed") {
      seed = static_cast<unsigned>(std::atol(value()));
    } else if (arg == "--max-rss-growth-kb") {
      max_rss_growth_kb = std::atol(value());
    } else if (arg == "--demote-seconds") {
      demote_seconds = std::atoi(value());
    } else if (arg == "--silent-station") {
      silent_station = true;
    } else {
      std::fprintf(stderr,
                   "usage: dravik-soak [--minutes M] [--seed N] [--max-rss-growth-kb K]\n"
                   "       dravik-soak --silent-station [--seconds S] [--demote-seconds D]\n");
      return 2;
    }
  }
  if (minutes <= 0 || seconds <= 0 || demote_seconds < 1 || demote_seconds > 86400) {
    std::fprintf(stderr, "--minutes and --seconds must be positive, --demote-seconds 1..86400\n");
    return 2;
  }
  dravik::test::Soak soak(minutes, seed, max_rss_growth_kb);
  return silent_station ? soak.SilentStation(seconds, demote_seconds) : soak.Run();
}
