// End-to-end bench with its references, for scripts/bench.sh: the driver
// loaded through its function table polls a minimal responder over a
// pseudo-terminal; in the same run and on the same kind of pseudo-terminal a
// plain write/poll/read loop (the floor this machine allows) and libmodbus's
// RTU master against a libmodbus RTU slave do the same request/reply work.
// Every responder runs in its own process, so this process's CPU time is the
// master's alone. Single-threaded apart from the driver's own two threads.
//
//   wire_bench [--seconds N] [--rounds R] [--quick | --profile [--words W]]
// N seconds per unpaced row (default 3), measured in R interleaved slices
// (default 10); --quick: the unpaced rows only; --profile: only the driver's
// 3000x4 row (200x60 with --words 60), for a profiler.
#include <dlfcn.h>
#include <fcntl.h>
#include <modbus.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "draviknet/driver_table.h"
#include "host/tarsel_dbm.h"
#include "host/wendro_r.h"
#include "model/dravik_doc.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace dravik;

constexpr uint8_t kDle = 0x10, kStx = 0x02, kEtx = 0x03;
constexpr uint16_t kQuietWord = 0x0A0B;  // responder data: no DLE byte, so no doubling
constexpr int kModbusRegisters = 12288;

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "wire_bench: %s\n", what.c_str());
  std::exit(1);
}

// ---- the line: a pseudo-terminal and a responder process on its master side

// Written by this process, read by the responders: word 0 of every reply
// (the latency row changes it).
struct SharedWord {
  std::atomic<uint32_t> value{0};
};
SharedWord* g_shared = nullptr;

struct Pty {
  int master = -1;
  int keeper = -1;  // a slave descriptor held open, so the master never sees a hang-up
  std::string slave;
  pid_t responder = -1;
  std::string link;     // COMn in the ports dir, for the driver's lines
  std::string project;  // the driver line's project file
};

// One private ports directory for the run: every driver line is a COMn in it.
std::string g_ports_dir;
int g_next_port = 0;

Pty OpenPty() {
  Pty pty;
  pty.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) Die("posix_openpt");
  pty.slave = ptsname(pty.master);
  pty.keeper = open(pty.slave.c_str(), O_RDWR | O_NOCTTY);
  if (pty.keeper < 0) Die("open " + pty.slave);
  termios tio{};
  tcgetattr(pty.keeper, &tio);
  cfmakeraw(&tio);
  tcsetattr(pty.keeper, TCSANOW, &tio);
  return pty;
}

void ClosePty(Pty& pty) {
  if (pty.responder > 0) {
    kill(pty.responder, SIGKILL);
    waitpid(pty.responder, nullptr, 0);
  }
  close(pty.master);
  close(pty.keeper);
  if (!pty.link.empty()) unlink(pty.link.c_str());
  if (!pty.project.empty()) unlink(pty.project.c_str());
}

void Stuff(const std::vector<uint8_t>& body, std::vector<uint8_t>* out) {
  for (const uint8_t b : body) {
    out->push_back(b);
    if (b == kDle) out->push_back(kDle);
  }
}

// DLE STX, the doubled body, DLE ETX, checksum.
std::vector<uint8_t> Frame(const std::vector<uint8_t>& body) {
  std::vector<uint8_t> frame = {kDle, kStx};
  Stuff(body, &frame);
  unsigned sum = 0;
  for (const uint8_t b : body) sum += b;
  frame.insert(frame.end(), {kDle, kEtx, static_cast<uint8_t>((256 - sum % 256) % 256)});
  return frame;
}

// The reply body to a word read: the request's five header bytes, then
// count words high byte first. `changing`: every word differs from the last reply.
std::vector<uint8_t> ReplyBody(const std::vector<uint8_t>& request, bool changing,
                               uint32_t serial) {
  std::vector<uint8_t> body(request.begin(), request.begin() + 5);
  const int count = request[2];
  for (int i = 0; i < count; ++i) {
    uint16_t word = kQuietWord;
    if (changing) {
      word = static_cast<uint16_t>(serial + static_cast<uint32_t>(i));
    } else if (i == 0) {
      word = static_cast<uint16_t>(g_shared->value.load());
    }
    body.push_back(static_cast<uint8_t>(word >> 8));
    body.push_back(static_cast<uint8_t>(word & 0xFF));
  }
  return body;
}

// The minimal responder: reads requests, answers word reads. With a baud
// rate it holds each reply for the time request and reply take on such a line.
[[noreturn]] void RunResponder(int fd, bool changing, int baud) {
  enum { kHunt, kHuntDle, kBody, kBodyDle, kChecksum } state = kHunt;
  std::vector<uint8_t> body;
  uint8_t in[512];
  uint32_t serial = 0;
  for (;;) {
    const ssize_t n = read(fd, in, sizeof in);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      _exit(0);
    }
    for (ssize_t i = 0; i < n; ++i) {
      const uint8_t b = in[i];
      switch (state) {
        case kHunt:
          if (b == kDle) state = kHuntDle;
          break;
        case kHuntDle:
          state = b == kStx ? kBody : kHunt;
          body.clear();
          break;
        case kBody:
          if (b == kDle) {
            state = kBodyDle;
          } else {
            body.push_back(b);
          }
          break;
        case kBodyDle:
          if (b == kDle) {
            body.push_back(b);
            state = kBody;
          } else {
            state = b == kEtx ? kChecksum : kHunt;
          }
          break;
        case kChecksum: {
          state = kHunt;
          if (body.size() != 5 || body[1] != 0x02) break;
          const std::vector<uint8_t> reply = Frame(ReplyBody(body, changing, ++serial));
          if (baud > 0) {
            const double bits = 10.0 * static_cast<double>(Frame(body).size() + reply.size());
            std::this_thread::sleep_for(std::chrono::duration<double>(bits / baud));
          }
          size_t done = 0;
          while (done < reply.size()) {
            const ssize_t w = write(fd, reply.data() + done, reply.size() - done);
            if (w < 0 && errno != EINTR) _exit(0);
            if (w > 0) done += static_cast<size_t>(w);
          }
          break;
        }
      }
    }
  }
}

void StartResponder(Pty& pty, bool changing, int baud) {
  pty.responder = fork();
  if (pty.responder < 0) Die("fork");
  if (pty.responder == 0) RunResponder(pty.master, changing, baud);
}

// libmodbus's RTU slave on the master side of the pseudo-terminal.
[[noreturn]] void RunModbusSlave(int fd) {
  modbus_t* ctx = modbus_new_rtu("/dev/null", 115200, 'N', 8, 1);
  if (ctx == nullptr) _exit(1);
  modbus_set_slave(ctx, 1);
  modbus_set_socket(ctx, fd);
  modbus_mapping_t* map = modbus_mapping_new(0, 0, kModbusRegisters, 0);
  for (int i = 0; i < kModbusRegisters; ++i) map->tab_registers[i] = kQuietWord;
  uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
  for (;;) {
    const int rc = modbus_receive(ctx, query);
    if (rc > 0) {
      modbus_reply(ctx, query, rc, map);
    } else if (rc < 0 && (errno == EIO || errno == EBADF)) {
      _exit(0);
    }
  }
}

// ---- the driver, through its function table

using bench::Driver;

std::mutex g_mutex;
std::vector<Clock::time_point> g_arrivals;  // of tag 1's values, for the latency row

void OnValue(void*, int tag_id, const CTagVal&) {
  if (tag_id == 1) {
    std::lock_guard lock(g_mutex);
    g_arrivals.push_back(Clock::now());
  }
}
void OnLog(void*, int, int, const char*) {}

int BlockStart(int b, int words) { return 1 + (b * words) % (513 - words); }

struct Setup {
  int blocks = 1;
  int words = 4;
  int tags = 0;
  bool changing = false;
  int baud = 0;  // 0: unpaced
};

struct Line {
  Pty pty;
  int instance = -1;
};

// Prepares a driver line on its own pseudo-terminal and responder; `run`
// starts it as well.
Line OpenDriverLine(Driver& d, const Setup& s, bool run) {
  Line line;
  line.pty = OpenPty();
  StartResponder(line.pty, s.changing, s.baud);
  const int port = g_next_port++;
  line.pty.link = g_ports_dir + "/COM" + std::to_string(port + 1);
  if (symlink(line.pty.slave.c_str(), line.pty.link.c_str()) != 0) Die("symlink");
  line.pty.project = g_ports_dir + "/bench" + std::to_string(port) + ".dat";

  CDravikNetDoc doc;
  auto station = std::make_unique<CStationInfoDVK>();
  station->name = "PLC1";
  station->number = 1;
  for (int b = 0; b < s.blocks; ++b) {
    auto block = std::make_unique<CCommBlockDVK>();
    block->area = 7;
    block->start = BlockStart(b, s.words);
    block->count = s.words;
    block->period_ms = 0;
    block->address_text = std::string("R").append(std::to_string(block->start));
    station->blocks.push_back(std::move(block));
  }
  doc.Stations().push_back(std::move(station));
  doc.Port().port = port;
  doc.Port().baud = s.baud == 9600 ? 5 : 6;
  doc.SetPath(line.pty.project);
  doc.SaveFileReporting();
  line.instance = d.Slot<DrvCreateInstanceFn>(DRV_SLOT_CREATE)(doc.Path().c_str());
  if (line.instance < 0) Die("slot 1 refused the project");
  if (d.Slot<DrvPrepareCommFn>(DRV_SLOT_PREPARE)(line.instance) != 0) Die("port did not open");
  for (int k = 0; k < s.tags; ++k) {
    const int b = k * s.blocks / s.tags;  // spread over the blocks
    const std::string address = std::string("R").append(std::to_string(BlockStart(b, s.words)));
    d.Slot<DrvBindTagFn>(DRV_SLOT_BIND_TAG)(line.instance, "bench.PLC1", address.c_str(), 4, 2,
                                            k + 1);
  }
  d.Slot<DrvBuildTagRequestsFn>(DRV_SLOT_BUILD_REQUESTS)(line.instance);
  if (run) d.Slot<DrvSetRunStateFn>(DRV_SLOT_SET_RUN_STATE)(line.instance, nullptr, 1);
  return line;
}

Line StartDriverLine(Driver& d, const Setup& s) { return OpenDriverLine(d, s, true); }

void StopDriverLine(Driver& d, Line& line) {
  d.Slot<DrvStopFn>(DRV_SLOT_STOP)(line.instance);
  ClosePty(line.pty);
}

int ReadsSent(Driver& d, int instance) {
  int c[4] = {};
  d.Slot<DrvGetStatisticsFn>(DRV_SLOT_GET_STATISTICS)(instance, "PLC1", &c[0], &c[1], &c[2], &c[3]);
  return c[2];
}

struct Measured {
  double rate = 0;    // exchanges per second
  double cpu_us = 0;  // process CPU per exchange
  double allocs = 0;  // allocations per exchange on the driver's threads
  long failures = 0;
};

// Sums over the slices of one row.
struct Totals {
  long exchanges = 0;
  long failures = 0;
  double elapsed = 0;
  double cpu = 0;
  uint64_t allocs = 0;

  Measured Result() const {
    Measured m;
    m.failures = failures;
    if (elapsed > 0) m.rate = static_cast<double>(exchanges) / elapsed;
    if (exchanges > 0) {
      m.cpu_us = cpu * 1e6 / static_cast<double>(exchanges);
      m.allocs = static_cast<double>(allocs) / static_cast<double>(exchanges);
    }
    return m;
  }
};

void Sleep(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// Measures `work` (which returns exchanges and failures done) into `totals`.
template <typename Work>
void Slice(Totals* totals, Work work) {
  const double cpu0 = ProcessCpuSeconds();
  const uint64_t alloc0 = bench::DriverAllocations();
  const auto t0 = Clock::now();
  long failures = 0;
  totals->exchanges += work(&failures);
  totals->elapsed += std::chrono::duration<double>(Clock::now() - t0).count();
  totals->cpu += ProcessCpuSeconds() - cpu0;
  totals->allocs += bench::DriverAllocations() - alloc0;
  totals->failures += failures;
}

// One slice of a prepared driver line: start, let the threads settle,
// measure, stop.
void DriverSlice(Driver& d, const Line& line, double seconds, Totals* totals) {
  d.Slot<DrvSetRunStateFn>(DRV_SLOT_SET_RUN_STATE)(line.instance, nullptr, 1);
  Sleep(0.1);
  const int reads0 = ReadsSent(d, line.instance);
  Slice(totals, [&](long*) {
    Sleep(seconds);
    return static_cast<long>(ReadsSent(d, line.instance) - reads0);
  });
  d.Slot<DrvStopFn>(DRV_SLOT_STOP)(line.instance);
}

Measured MeasureDriver(Driver& d, const Setup& s, double seconds) {
  Line line = OpenDriverLine(d, s, false);
  Totals totals;
  DriverSlice(d, line, seconds, &totals);
  ClosePty(line.pty);
  return totals.Result();
}

// ---- the references

// The floor: a plain write/poll/read loop with a prebuilt request.
struct PlainLine {
  Pty pty;
  int fd = -1;
  std::vector<uint8_t> request;
  size_t reply_bytes = 0;
};

PlainLine OpenPlainLine(int words) {
  PlainLine line;
  line.pty = OpenPty();
  StartResponder(line.pty, false, 0);
  line.fd = open(line.pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (line.fd < 0) Die("open " + line.pty.slave);
  // Station 1, word read, `words` words at R1 (byte address 0x0400): no DLE
  // byte in request or reply, so the reply's length is known.
  line.request = Frame({1, 0x02, static_cast<uint8_t>(words), 0x04, 0x00});
  line.reply_bytes = 2 + 5 + 2 * static_cast<size_t>(words) + 3;
  return line;
}

// `purge`: tcflush(TCIOFLUSH) before each write, as the driver's link does.
void PlainSlice(PlainLine& line, double seconds, bool purge, Totals* totals) {
  Slice(totals, [&](long*) {
    uint8_t reply[512];
    long exchanges = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
      if (purge) tcflush(line.fd, TCIOFLUSH);
      const ssize_t w = write(line.fd, line.request.data(), line.request.size());
      if (w != static_cast<ssize_t>(line.request.size())) Die("plain loop: write");
      size_t got = 0;
      while (got < line.reply_bytes) {
        pollfd p{line.fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) Die("plain loop: no reply");
        const ssize_t n = read(line.fd, reply + got, sizeof reply - got);
        if (n > 0) got += static_cast<size_t>(n);
      }
      ++exchanges;
    }
    return exchanges;
  });
}

void ClosePlainLine(PlainLine& line) {
  close(line.fd);
  ClosePty(line.pty);
}

// libmodbus's RTU master reading `words` registers from address after address.
struct ModbusLine {
  Pty pty;
  modbus_t* ctx = nullptr;
  int blocks = 1;
  int words = 4;
  int next = 0;
};

ModbusLine OpenModbusLine(int blocks, int words) {
  ModbusLine line;
  line.blocks = blocks;
  line.words = words;
  line.pty = OpenPty();
  line.pty.responder = fork();
  if (line.pty.responder < 0) Die("fork");
  if (line.pty.responder == 0) RunModbusSlave(line.pty.master);
  line.ctx = modbus_new_rtu(line.pty.slave.c_str(), 115200, 'N', 8, 1);
  if (line.ctx == nullptr) Die("modbus_new_rtu");
  modbus_set_slave(line.ctx, 1);
  if (modbus_connect(line.ctx) != 0) Die(std::string("modbus_connect: ") + modbus_strerror(errno));
  return line;
}

void ModbusSlice(ModbusLine& line, double seconds, Totals* totals) {
  Slice(totals, [&](long* failures) {
    uint16_t dest[MODBUS_MAX_READ_REGISTERS];
    long exchanges = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
      const int address = (line.next * line.words) % (kModbusRegisters - line.words);
      line.next = (line.next + 1) % line.blocks;
      if (modbus_read_registers(line.ctx, address, line.words, dest) == line.words) {
        ++exchanges;
      } else {
        ++*failures;
      }
    }
    return exchanges;
  });
}

void CloseModbusLine(ModbusLine& line) {
  modbus_close(line.ctx);
  modbus_free(line.ctx);
  ClosePty(line.pty);
}

// ---- the other figures

// Bytes one exchange of block b puts on the line (request and reply frames).
double LineBytesPerExchange(int blocks, int words) {
  double total = 0;
  for (int b = 0; b < blocks; ++b) {
    const uint32_t value = 1024 + 2 * static_cast<uint32_t>(BlockStart(b, words) - 1);
    const std::vector<uint8_t> body = {1, 0x02, static_cast<uint8_t>(words),
                                       static_cast<uint8_t>(value >> 8),
                                       static_cast<uint8_t>(value & 0xFF)};
    std::vector<uint8_t> reply = body;
    for (int i = 0; i < words; ++i) reply.insert(reply.end(), {0x0A, 0x0B});
    total += static_cast<double>(Frame(body).size() + Frame(reply).size());
  }
  return total / blocks;
}

void Latency(Driver& d, int samples, double* median, double* p99) {
  Setup s;
  s.tags = 1;
  Line line = StartDriverLine(d, s);
  Sleep(0.3);
  std::vector<double> ms;
  for (int i = 0; i < samples; ++i) {
    size_t before;
    {
      std::lock_guard lock(g_mutex);
      before = g_arrivals.size();
    }
    // Change at a different point of the 100 ms cycle each time.
    std::this_thread::sleep_for(std::chrono::milliseconds(37 + (i * 53) % 100));
    const auto t0 = Clock::now();
    g_shared->value.store(static_cast<uint32_t>(i + 1));
    for (int wait = 0; wait < 4000; ++wait) {
      {
        std::lock_guard lock(g_mutex);
        if (g_arrivals.size() > before) {
          ms.push_back(std::chrono::duration<double, std::milli>(g_arrivals.back() - t0).count());
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }
  StopDriverLine(d, line);
  g_shared->value.store(0);
  std::sort(ms.begin(), ms.end());
  *median = ms.empty() ? -1 : ms[ms.size() / 2];
  *p99 = ms.empty() ? -1 : ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
}

double QuietLineCpuPercent(Driver& d, double seconds) {
  Setup s;  // one block, polled once per 100 ms cycle
  Line line = StartDriverLine(d, s);
  Sleep(0.3);
  const double cpu0 = ProcessCpuSeconds();
  Sleep(seconds);
  const double cpu = ProcessCpuSeconds() - cpu0;
  StopDriverLine(d, line);
  return 100.0 * cpu / seconds;
}

// ---- the table

void PrintRow(const char* title, const Measured& m, const Measured* floor, const Measured* modbus,
              int cycle_cap) {
  std::printf("%-36s %9.0f %9.2f", title, m.rate, m.cpu_us);
  if (floor == nullptr) {
    std::printf("%34s", "");
  } else {
    std::printf(" %8.0f%% %7.2fx %7.2fx %6.2f", 100.0 * m.rate / floor->rate, m.rate / modbus->rate,
                m.cpu_us / modbus->cpu_us, m.allocs);
  }
  if (cycle_cap > 0) std::printf("  (cycle cap %d/s)", cycle_cap);
  if (m.failures > 0) std::printf("  (%ld failed)", m.failures);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  bool quick = false;  // the unpaced rows only
  int rounds = 10;
  bool profile = false;  // only one driver row, for perf
  int profile_words = 4;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[++i]);
    if (std::strcmp(argv[i], "--quick") == 0) quick = true;
    if (std::strcmp(argv[i], "--profile") == 0) profile = true;
    if (std::strcmp(argv[i], "--words") == 0 && i + 1 < argc) profile_words = std::atoi(argv[++i]);
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) rounds = std::atoi(argv[++i]);
  }
  if (seconds <= 0 || rounds < 1) Die("--seconds and --rounds must be positive");
  char ports[] = "/tmp/dravik-wire-XXXXXX";
  if (mkdtemp(ports) == nullptr) Die("mkdtemp");
  g_ports_dir = ports;
  setenv("DRAVIKNET_PORTS", ports, 1);
  // No line settings: the plain behaviour is what is measured.
  setenv("DRAVIKNET_CONFIG", (std::string(ports) + "/none.conf").c_str(), 1);
  signal(SIGPIPE, SIG_IGN);
  void* shared =
      mmap(nullptr, sizeof(SharedWord), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) Die("mmap");
  g_shared = new (shared) SharedWord;

  TarselDbmHandler dbm;
  dbm.on_value = &OnValue;
  TarselDbmInstallHandler(&dbm);
  WendroRHandler log;
  log.on_log = &OnLog;
  WendroRInstallHandler(&log);
  void* lib = dlopen((bench::ProgramFolder() + "/libdraviknet.so").c_str(), RTLD_NOW);
  if (!lib) Die(dlerror());
  Driver d;
  d.table = static_cast<void**>(dlsym(lib, "DrvFuncTable"));
  if (d.table == nullptr) Die("no DrvFuncTable");

  std::printf(
      "End to end over a pseudo-terminal, unpaced, %.0f s per row; each responder in its "
      "own process.\nCPU = this process's CPU time / exchanges. Ratios: rate vs the plain "
      "loop, rate and CPU vs libmodbus %s.\n\n",
      seconds, LIBMODBUS_VERSION_STRING);
  std::printf("%-36s %9s %9s %9s %8s %8s %6s\n", "row", "exch/s", "CPU us", "vs floor", "rate/mb",
              "CPU/mb", "alloc");

  if (profile) {
    const bool wide = profile_words == 60;
    const Setup setup{wide ? 200 : 3000, wide ? 60 : 4, 0, false, 0};
    const Measured m = MeasureDriver(d, setup, seconds);
    PrintRow(wide ? "driver 200 blocks x 60 words" : "driver 3000 blocks x 4 words", m, nullptr,
             nullptr, setup.blocks * 10);
    rmdir(g_ports_dir.c_str());
    return 0;
  }
  // Every row gets one slice per round, rows interleaved, so a change in the
  // machine's load between rows does not turn into a ratio.
  PlainLine plain4 = OpenPlainLine(4);
  PlainLine plain60 = OpenPlainLine(60);
  ModbusLine mb4 = OpenModbusLine(3000, 4);
  ModbusLine mb60 = OpenModbusLine(200, 60);
  struct DriverRow {
    const char* title;
    Setup setup;
    Line line;
    Totals totals;
  } rows[] = {
      {"driver 3000 blocks x 4 words", {3000, 4, 0, false, 0}, {}, {}},
      {"driver 200 blocks x 60 words", {200, 60, 0, false, 0}, {}, {}},
      {"driver 3000x4, 60 tags all changing", {3000, 4, 60, true, 0}, {}, {}},
      {"driver 200x60, 60 tags all changing", {200, 60, 60, true, 0}, {}, {}},
  };
  for (DriverRow& row : rows) row.line = OpenDriverLine(d, row.setup, false);
  Totals floor4, purge4, floor60, modbus4, modbus60;
  std::vector<double> round_rate_mb, round_cpu_mb, round_rate_floor;
  const double slice = seconds / rounds;
  for (int r = 0; r < rounds; ++r) {
    Totals f4, m4, d4;
    PlainSlice(plain4, slice, false, &f4);
    PlainSlice(plain4, slice, true, &purge4);
    PlainSlice(plain60, slice, false, &floor60);
    ModbusSlice(mb4, slice, &m4);
    ModbusSlice(mb60, slice, &modbus60);
    DriverSlice(d, rows[0].line, slice, &d4);
    for (size_t k = 1; k < std::size(rows); ++k) {
      DriverSlice(d, rows[k].line, slice, &rows[k].totals);
    }
    const Measured fr = f4.Result(), mr = m4.Result(), dr = d4.Result();
    round_rate_mb.push_back(dr.rate / mr.rate);
    round_cpu_mb.push_back(dr.cpu_us / mr.cpu_us);
    round_rate_floor.push_back(dr.rate / fr.rate);
    for (auto [sum, part] : {std::pair{&floor4, &f4}, {&modbus4, &m4}, {&rows[0].totals, &d4}}) {
      sum->exchanges += part->exchanges;
      sum->failures += part->failures;
      sum->elapsed += part->elapsed;
      sum->cpu += part->cpu;
      sum->allocs += part->allocs;
    }
  }
  ClosePlainLine(plain4);
  ClosePlainLine(plain60);
  CloseModbusLine(mb4);
  CloseModbusLine(mb60);
  for (DriverRow& row : rows) ClosePty(row.line.pty);

  const Measured f4 = floor4.Result(), f60 = floor60.Result();
  const Measured m4 = modbus4.Result(), m60 = modbus60.Result();
  PrintRow("floor: write/poll/read, 4 words", f4, nullptr, nullptr, 0);
  PrintRow("floor + purge before each write, 4 w", purge4.Result(), nullptr, nullptr, 0);
  PrintRow("floor: write/poll/read, 60 words", f60, nullptr, nullptr, 0);
  PrintRow("libmodbus RTU, 4 registers", m4, nullptr, nullptr, 0);
  PrintRow("libmodbus RTU, 60 registers", m60, nullptr, nullptr, 0);
  const Measured main_row = rows[0].totals.Result();
  for (const DriverRow& row : rows) {
    const bool wide = row.setup.words == 60;
    // Each cycle lasts at least 100 ms, so a line of N blocks is capped at 10 N/s.
    PrintRow(row.title, row.totals.Result(), wide ? &f60 : &f4, wide ? &m60 : &m4,
             row.setup.blocks * 10);
  }

  // The median of the rounds' ratios resists a burst of load in one slice
  // better than the ratio of the totals; both are shown.
  auto spread = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    char text[96];
    std::snprintf(text, sizeof text, "round median %.2fx, range %.2f..%.2f", v[v.size() / 2],
                  v.front(), v.back());
    return std::string(text);
  };
  std::printf("\nTargets on the 3000x4 row (totals of %d interleaved rounds):\n", rounds);
  const double rate_mb = main_row.rate / m4.rate;
  const double cpu_mb = main_row.cpu_us / m4.cpu_us;
  const double rate_floor = main_row.rate / f4.rate;
  std::printf("  rate >= 1.0x libmodbus:    %.2fx  %-6s (%s)\n", rate_mb,
              rate_mb >= 1.0 ? "met" : "MISSED", spread(round_rate_mb).c_str());
  std::printf("  CPU  <= 1.0x libmodbus:    %.2fx  %-6s (%s)\n", cpu_mb,
              cpu_mb <= 1.0 ? "met" : "MISSED", spread(round_cpu_mb).c_str());
  std::printf("  rate >= 0.80x plain loop:  %.2fx  %-6s (%s)\n", rate_floor,
              rate_floor >= 0.8 ? "met" : "MISSED", spread(round_rate_floor).c_str());
  if (quick) {
    rmdir(g_ports_dir.c_str());
    return 0;
  }
  std::printf(
      "\nPaced (the responder holds each reply for the time request and reply take on "
      "the line), 50 blocks x 4 words:\n");
  for (const int baud : {9600, 19200}) {
    Setup s{50, 4, 0, false, baud};
    const Measured m = MeasureDriver(d, s, std::max(seconds, 5.0));
    const double limit = baud / (10.0 * LineBytesPerExchange(50, 4));
    std::printf("  %5d baud: %6.1f exchanges/s = %5.1f%% of the line limit %.1f/s\n", baud, m.rate,
                100.0 * m.rate / limit, limit);
  }

  double median = 0, p99 = 0;
  Latency(d, 60, &median, &p99);
  std::printf(
      "\nLatency, change in the responder -> host callback (1 block, 60 samples): median "
      "%.1f ms, p99 %.1f ms\n",
      median, p99);
  std::printf("Quiet line (one block every 100 ms), CPU over 10 s: %.3f %% of one core\n",
              QuietLineCpuPercent(d, 10));
  std::printf("Allocations per exchange on the poll path (3000x4, no tags): %.4f\n",
              main_row.allocs);
  rmdir(g_ports_dir.c_str());
  return 0;
}
