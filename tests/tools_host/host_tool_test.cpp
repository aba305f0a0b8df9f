// dravik-host run as a program: info, argument and file errors, the tag list's
// bad rows, a missing project, and runs against the PLC simulator on a
// pseudo-terminal published in a private ports directory (values, messages,
// writes through stdin landing in the simulator's memory, stop by quit and
// by SIGINT).
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools_host/demo_line.h"
#include "tests/tools_host/subprocess.h"
#include "tools/plcsim/plc_simulator.h"

namespace dravik::test {
namespace {

using Json = nlohmann::json;

const std::string kHost = DRAVIK_HOST_BIN;
const std::string kProjectTool = DRAVIK_PROJECT_BIN;
const std::string kSamples = DRAVIK_SAMPLES_DIR;
const std::string kDemoTags = kSamples + "/demo_tags.csv";

constexpr int kAreaC = 4;
constexpr int kAreaR = 7;

const std::string kPrefix = "[Dravik RS232/422] ";
const std::string kMsgPortReady = kPrefix + "통신포트 초기화 완료";
const std::string kMsgStarted = kPrefix + "통신시작";
const std::string kMsgStopped = kPrefix + "통신종료";

std::string SingleTagMessage(const std::string& tag) {
  return kPrefix + "태그[" + tag + "]의 어드레스가 통신블록에 등록되지 않아 개별 통신합니다.";
}

ProcessResult Host(const std::vector<std::string>& args, ProcessOptions options = {}) {
  std::vector<std::string> argv = {kHost};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv, options);
}

// Every stdout line of a --json run must be one JSON object.
std::vector<Json> JsonLines(const std::string& out) {
  std::vector<Json> lines;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(pos, end - pos);
    pos = end + 1;
    Json j = Json::parse(line, nullptr, false);
    EXPECT_TRUE(j.is_object()) << "not a JSON object: " << line;
    if (j.is_object()) lines.push_back(j);
  }
  return lines;
}

std::vector<Json> OfKind(const std::vector<Json>& lines, const std::string& kind) {
  std::vector<Json> out;
  for (const auto& j : lines) {
    if (j.value("kind", "") == kind) out.push_back(j);
  }
  return out;
}

// Index of the first log line with exactly this text, or -1.
int LogIndex(const std::vector<Json>& lines, const std::string& text) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].value("kind", "") == "log" && lines[i].value("text", "") == text) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// Tag name -> values in arrival order.
std::map<std::string, std::vector<Json>> ValuesByTag(const std::vector<Json>& lines) {
  std::map<std::string, std::vector<Json>> values;
  for (const auto& j : OfKind(lines, "value")) values[j["tag"]].push_back(j["value"]);
  return values;
}

TEST(HostToolTest, InfoPrintsVersionAndName) {
  const ProcessResult r = Host({"info"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Version: 1.0 (0x10000)\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Name:    Dravik RS232/422\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("libdraviknet.so"), std::string::npos);
}

TEST(HostToolTest, BadArgumentsAndFilesExitWithTwo) {
  TempDir dir;
  ASSERT_TRUE(WriteText(dir.File("empty.csv"), ""));
  ASSERT_TRUE(WriteText(dir.File("refused.csv"), "name,device,address,type\rA,P.S,R1,float\r"));
  ASSERT_TRUE(WriteText(dir.File("header.csv"), "tag;station;where\n"));
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{}, "no command given"},
      {{"launch"}, "unknown command launch"},
      {{"run"}, "run needs one project file"},
      {{"run", "p.dvk", "--for", "abc"}, "--for needs a positive number of seconds, not \"abc\""},
      {{"run", "p.dvk", "--for", "0"}, "--for needs a positive number of seconds"},
      {{"run", "p.dvk", "--tags"}, "--tags needs a file"},
      {{"run", "p.dvk", "--colour"}, "unknown option --colour"},
      {{"info", "--driver", dir.File("nothing.so")},
       "cannot load driver " + dir.File("nothing.so")},
      {{"run", "p.dvk", "--tags", dir.File("none.csv")}, dir.File("none.csv")},
      {{"run", "p.dvk", "--tags", dir.File("empty.csv")}, "the tag list has no header row"},
      {{"run", "p.dvk", "--tags", dir.File("refused.csv")}, "no usable tag in the list"},
      {{"run", "p.dvk", "--tags", dir.File("header.csv")}, "must name the columns"},
  };
  for (const auto& c : cases) {
    const ProcessResult r = Host(c.args);
    EXPECT_EQ(r.exit_code, 2) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  // A list that is empty on purpose is a note, and the run goes on (to slot 1).
  ASSERT_TRUE(WriteText(dir.File("none_yet.csv"), "name,device,address,type\n"));
  const ProcessResult none =
      Host({"run", dir.File("absent.dvk"), "--tags", dir.File("none_yet.csv")});
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_NE(none.err.find("note: " + dir.File("none_yet.csv") + " lists no tags"),
            std::string::npos)
      << none.err;
  const ProcessResult help = Host({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("10  bcd4"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("write TAG VALUE"), std::string::npos);
}

TEST(HostToolTest, MissingProjectReportsMessageFiveAndExitsWithOne) {
  TempDir dir;
  const std::string project = dir.File("absent.dvk");
  for (bool json : {false, true}) {
    SCOPED_TRACE(json ? "json" : "text");
    std::vector<std::string> args = {"run", project, "--for", "1"};
    if (json) args.push_back("--json");
    const ProcessResult r = Host(args);
    EXPECT_EQ(r.exit_code, 1);
    const std::string message = kPrefix + "지정된 파일[" + project + "]을 열 수 없습니다.";
    if (!json) {
      EXPECT_NE(r.out.find(" log 0x100 " + message + "\n"), std::string::npos) << r.out;
    } else {
      const auto logs = OfKind(JsonLines(r.out), "log");
      ASSERT_EQ(logs.size(), 1u) << r.out;
      EXPECT_EQ(logs[0]["text"], message);
      EXPECT_EQ(logs[0]["flags"], 0x100);
    }
  }
}

TEST(HostToolTest, RefusedProjectShowsTheLoadersReason) {
  TempDir dir;
  const std::string project = dir.File("cut.dvk");
  // The file header and nothing after it: the loader stops at byte 18.
  ASSERT_TRUE(WriteText(project, std::string("\x03\0\0\0\x0D"
                                             "DravikNet.Dll",
                                             18)));
  const ProcessResult text = Host({"run", project, "--for", "1"});
  EXPECT_EQ(text.exit_code, 1);
  EXPECT_NE(text.out.find("could not create an instance for " + project + "\n  " + project +
                          ": at byte 18: "),
            std::string::npos)
      << text.out;
  const auto errors =
      OfKind(JsonLines(Host({"run", project, "--for", "1", "--json"}).out), "error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0]["reason"].get<std::string>().rfind(project + ": at byte 18: ", 0), 0u)
      << errors[0].dump();
}

TEST(HostToolTest, BadTagRowsAreReportedWithLineNumbers) {
  TempDir dir;
  const std::string tags = dir.File("tags.csv");
  ASSERT_TRUE(WriteText(tags,
                        "name,device,address,type,length\n"
                        "Good,DVK.PLC1,R1,int16,2\n"
                        "Bad,DVK.PLC1,R2,double,8\n"
                        "\n"
                        "Short,DVK.PLC1\n"
                        "Good,DVK.PLC1,R3,int16,2\n"));
  // The project is missing, so the run ends at slot 1 without opening a port.
  const ProcessResult r = Host({"run", dir.File("absent.dvk"), "--tags", tags, "--json"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find(tags + ":3: tag \"Bad\": unknown type \"double\""), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(tags + ":5: expected at least 4 fields, found 2; row skipped"),
            std::string::npos);
  EXPECT_NE(r.err.find(tags + ":6: tag \"Good\" is listed twice; row skipped"), std::string::npos);
  const auto errors = OfKind(JsonLines(r.out), "tag_error");
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0]["line"], 3);
  EXPECT_EQ(errors[1]["line"], 5);
  EXPECT_EQ(errors[2]["line"], 6);
}

// A demo project on a simulated line: PLC1 and PLC2 answer on a fresh
// pseudo-terminal published as COM1 in a private ports directory.
class HostRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(line_.Start(dir_, &error)) << error;
    project_ = line_.project();
    sim_ = &line_.sim();
    ASSERT_TRUE(sim_->SetWord(1, kAreaR, 1, 42));      // Counter
    ASSERT_TRUE(sim_->SetWord(1, kAreaR, 2, 0x1234));  // Hours, BCD
    ASSERT_TRUE(sim_->SetWord(1, kAreaR, 3, 0x0059));  // Minutes, BCD
    ASSERT_TRUE(sim_->SetWord(1, kAreaR, 4, 0x12A4));  // Seconds: not BCD
    ASSERT_TRUE(sim_->SetWord(1, kAreaR, 5, 0x4241));  // Label "ABCD", word-swapped
    ASSERT_TRUE(sim_->SetWord(1, kAreaR, 6, 0x4443));
    ASSERT_TRUE(sim_->SetWord(1, kAreaR, 7, 0xFFFE));  // Setpoint -2
    ASSERT_TRUE(sim_->SetBit(1, kAreaC, 1, true));     // Blink
    ASSERT_TRUE(sim_->SetWord(1, kAreaR, 100, 77));    // Remote (single-tag poller)
    ASSERT_TRUE(sim_->SetWord(2, kAreaR, 1, 5));       // Counter2
    ASSERT_TRUE(sim_->SetWord(2, kAreaR, 2, 0x8000));  // Level2 -32768
  }

  void TearDown() override { line_.Stop(); }

  ProcessResult Run(const std::vector<std::string>& extra, ProcessOptions options = {}) {
    std::vector<std::string> args = {"run", project_, "--tags", kDemoTags, "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    options.env.insert(options.env.end(), line_.env().begin(), line_.env().end());
    options.timeout_ms = 30000;
    return Host(args, options);
  }

  TempDir dir_;
  DemoLine line_;
  std::string project_;
  plcsim::PlcSimulator* sim_ = nullptr;
};

TEST_F(HostRunTest, JsonRunReportsValuesAndMessages) {
  const ProcessResult r = Run({"--for", "3"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_FALSE(r.timed_out);
  const std::vector<Json> lines = JsonLines(r.out);

  // Messages 3 (port), 14 (Remote polled on its own), 1 (start), 2 (stop), in
  // the order of the slot calls, with the flags they are logged with.
  const int port = LogIndex(lines, kMsgPortReady);
  const int single = LogIndex(lines, SingleTagMessage("Remote"));
  const int started = LogIndex(lines, kMsgStarted);
  const int stopped = LogIndex(lines, kMsgStopped);
  ASSERT_GE(port, 0) << r.out;
  ASSERT_GT(single, port);
  ASSERT_GT(started, single);
  ASSERT_GT(stopped, started);
  EXPECT_EQ(lines[port]["flags"], 0x102);
  EXPECT_EQ(lines[single]["flags"], 0x101);
  EXPECT_EQ(lines[started]["flags"], 0x102);
  EXPECT_EQ(lines[stopped]["flags"], 0x102);
  // Only Remote lies outside every block.
  EXPECT_EQ(LogIndex(lines, SingleTagMessage("Counter")), -1);

  const auto values = ValuesByTag(lines);
  const std::map<std::string, Json> expected = {
      {"Counter", 42},   {"Hours", 1234},  {"Minutes", 59},    {"Seconds", nullptr},
      {"Label", "ABCD"}, {"Setpoint", -2}, {"Blink", 1},       {"Lamp", 0},
      {"Remote", 77},    {"Counter2", 5},  {"Level2", -32768},
  };
  for (const auto& [tag, value] : expected) {
    SCOPED_TRACE(tag);
    const auto it = values.find(tag);
    ASSERT_NE(it, values.end()) << r.out;
    EXPECT_EQ(it->second.front(), value);
  }

  // Timestamps never go backwards; the summary counts what was printed.
  double last_t = 0.0;
  for (const auto& j : lines) {
    if (!j.contains("t")) continue;
    EXPECT_GE(j["t"].get<double>(), last_t);
    last_t = j["t"].get<double>();
  }
  const auto summary = OfKind(lines, "summary");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary[0]["values"], OfKind(lines, "value").size());
  EXPECT_GT(summary[0]["exchanges"].get<int>(), 0);
  EXPECT_EQ(summary[0]["failures"], 0);
  EXPECT_EQ(summary[0]["exchanges"],
            summary[0]["reads_sent"].get<int>() + summary[0]["writes_sent"].get<int>());
  EXPECT_EQ(summary[0]["interrupted"], false);
  // End of stdin (it was closed at once) did not end the run early.
  EXPECT_GE(summary[0]["t"].get<double>(), 2.5);
}

TEST_F(HostRunTest, StdinCommandsWriteAndQueryTheDriver) {
  ProcessOptions options;
  options.stdin_text =
      "disable plc2\n"
      "stats PLC2\n"
      "enable PLC2\n"
      "stats PLC2\n"
      "write Setpoint -5\n"
      "write Lamp 1\n"
      "write Label WXYZ\n"
      "write Counter2 65535\n"
      "write Nope 1\n"
      "write Setpoint abc\n"
      "write Counter2 70000\n"
      "write Setpoint 1e308\n"
      "write Label " +
      std::string(10000, 'Q') +
      "\n"
      "write Setpoint\n"
      "frobnicate\n"
      "texts PLC2\n"
      "texts plc1\n"
      "texts PLC9\n"
      "stats Nobody\n";
  const ProcessResult r = Run({"--for", "3"}, options);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json> lines = JsonLines(r.out);

  // The writes reached the simulated PLCs.
  uint16_t word = 0;
  bool bit = false;
  ASSERT_TRUE(sim_->GetWord(1, kAreaR, 7, &word));
  EXPECT_EQ(word, 0xFFFB);
  ASSERT_TRUE(sim_->GetBit(1, kAreaC, 3, &bit));
  EXPECT_TRUE(bit);
  ASSERT_TRUE(sim_->GetWord(1, kAreaR, 5, &word));
  EXPECT_EQ(word, 0x5857);  // "WX" high byte first after the word swap
  ASSERT_TRUE(sim_->GetWord(1, kAreaR, 6, &word));
  EXPECT_EQ(word, 0x5A59);
  ASSERT_TRUE(sim_->GetWord(2, kAreaR, 1, &word));
  EXPECT_EQ(word, 0xFFFF);

  // ... and came back as values.
  const auto values = ValuesByTag(lines);
  EXPECT_EQ(values.at("Setpoint").back(), -5);
  EXPECT_EQ(values.at("Lamp").back(), 1);
  EXPECT_EQ(values.at("Label").back(), "WXYZ");
  EXPECT_EQ(values.at("Counter2").back(), 65535);

  const auto replies = OfKind(lines, "reply");
  int writes = 0;
  for (const auto& j : replies) writes += j["command"] == "write" ? 1 : 0;
  EXPECT_EQ(writes, 4);

  const auto errors = OfKind(lines, "error");
  // Values the tag would not hold unchanged are refused before slot 7: the
  // PLC keeps what the good writes left (checked above) and the summary
  // counts four writes.
  ASSERT_EQ(errors.size(), 8u) << r.out;
  EXPECT_EQ(errors[0]["text"], "no tag named \"Nope\"");
  EXPECT_EQ(errors[1]["text"], "write of Setpoint not sent: \"abc\" is not a decimal number");
  EXPECT_EQ(errors[2]["text"],
            "write of Counter2 not sent: \"70000\" is outside 0..65535 (uint16, 2 bytes)");
  EXPECT_EQ(errors[3]["text"],
            "write of Setpoint not sent: \"1e308\" is outside -32768..32767 (int16, 2 bytes)");
  EXPECT_EQ(errors[4]["text"], "write of Label not sent: the text \"" + std::string(60, 'Q') +
                                   "\"... (10000 bytes) has 10000 bytes; the tag holds 4");
  EXPECT_EQ(errors[5]["text"], "write needs a tag name and a value");
  EXPECT_EQ(errors[6]["text"], "unknown command \"frobnicate\" (help lists the commands)");
  EXPECT_EQ(errors[7]["text"], "no station named \"PLC9\"");

  const auto texts = OfKind(lines, "texts");
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0]["number"], "02");
  EXPECT_EQ(texts[0]["description"], "Demo line, second PLC");
  EXPECT_EQ(texts[1]["number"], "01");  // names match regardless of case

  const auto stats = OfKind(lines, "stats");
  ASSERT_EQ(stats.size(), 3u);
  EXPECT_EQ(stats[0]["status"], -1);
  EXPECT_EQ(stats[0]["state"], "disabled");
  EXPECT_NE(stats[1]["status"], -1);
  EXPECT_EQ(stats[2]["state"], "unknown station");

  const auto summary = OfKind(lines, "summary");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary[0]["writes_sent"], 4);
  EXPECT_EQ(summary[0]["failures"], 0);
}

TEST_F(HostRunTest, QuitEndsTheRunWithASummary) {
  ProcessOptions options;
  options.stdin_text = "stats\nquit\nwrite Setpoint 9\n";
  const ProcessResult r = Run({}, options);
  ASSERT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json> lines = JsonLines(r.out);
  EXPECT_GE(LogIndex(lines, kMsgStopped), 0);
  EXPECT_EQ(OfKind(lines, "summary").size(), 1u);
  EXPECT_EQ(OfKind(lines, "stats").size(), 1u);
  // Nothing after quit was executed.
  EXPECT_TRUE(OfKind(lines, "reply").empty());
  uint16_t word = 0;
  ASSERT_TRUE(sim_->GetWord(1, kAreaR, 7, &word));
  EXPECT_EQ(word, 0xFFFE);
}

// Ctrl-C, a service stop and a closed terminal all stop the line cleanly.
TEST_F(HostRunTest, SignalsStopCleanly) {
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    ProcessOptions options;
    options.keep_stdin_open = true;
    options.signal_after_ms = 1500;
    options.signal_number = signal_number;
    const ProcessResult r = Run({}, options);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    const std::vector<Json> lines = JsonLines(r.out);
    EXPECT_GE(LogIndex(lines, kMsgStopped), 0) << r.out;
    const auto summary = OfKind(lines, "summary");
    ASSERT_EQ(summary.size(), 1u);
    EXPECT_EQ(summary[0]["interrupted"], true);
    EXPECT_GT(summary[0]["exchanges"].get<int>(), 0);
  }
}

TEST_F(HostRunTest, FailedExchangesAreCountedAndReported) {
  // Eight bad checksums in a row: PLC1's polls fail five times running
  // (message 16) and recover on the next good reply (message 17).
  std::vector<plcsim::FaultAction> faults(8, {plcsim::FaultKind::kBadChecksum, 0});
  sim_->ScriptFaults(faults);
  const ProcessResult r = Run({"--for", "3"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json> lines = JsonLines(r.out);
  const int lost = LogIndex(lines, kPrefix + "스테이션[PLC1]과 통신할 수 없습니다.");
  const int back =
      LogIndex(lines, kPrefix + "스테이션[PLC1]과의 통신이 정상적으로 복구되었습니다.");
  ASSERT_GE(lost, 0) << r.out;
  EXPECT_GT(back, lost);
  EXPECT_EQ(lines[lost]["flags"], 0x102);
  EXPECT_GE(
      LogIndex(lines,
               kPrefix + "스테이션[PLC1]로부터 수신받은 데이터의 Check Sum이 일치하지 않습니다."),
      0);
  const auto summary = OfKind(lines, "summary");
  ASSERT_EQ(summary.size(), 1u);
  EXPECT_EQ(summary[0]["failures"], 8);
}

// Standard output that nobody reads (a paused pipe, a stalled journal) never
// stops the line: polling goes on while the output waits, and the lines come
// out once it is read again.
TEST_F(HostRunTest, StdoutThatIsNotReadNeverStopsTheLine) {
  // Plenty of output: Counter changes between any two polls, and some reads
  // fail with a log line (the driver logs on its polling thread).
  sim_->SetFaultRate(plcsim::FaultKind::kBadChecksum, 0.2);
  std::atomic<bool> done{false};
  std::thread counter([&] {
    for (uint16_t i = 0; !done; ++i) {
      sim_->SetWord(1, kAreaR, 1, i);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  ProcessOptions options;
  // The line polls some 15 times a second here: the page of pipe is full
  // after about 3 s, and from then on a blocking write would hold the line.
  options.stdout_unread_ms = 6000;
  auto run = std::async(std::launch::async, [&] { return Run({"--for", "7"}, options); });
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));
  const uint64_t stalled = sim_->RequestCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const uint64_t later = sim_->RequestCount();
  const ProcessResult r = run.get();
  done = true;
  counter.join();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_GT(r.out.size(), 4096u) << "too little output to have filled the pipe";
  // A blocked line makes none at all; a slow machine (qemu) still makes some.
  EXPECT_GE(later - stalled, 3u) << "the line stopped while stdout was not read";
  const std::vector<Json> lines = JsonLines(r.out);
  EXPECT_EQ(OfKind(lines, "summary").size(), 1u);
}

TEST_F(HostRunTest, TextOutputIsOneTimestampedLinePerEvent) {
  // Piped stdout: no status line, no escape sequences.
  ProcessOptions options;
  options.env = line_.env();
  options.timeout_ms = 30000;
  const ProcessResult r = Host({"run", project_, "--tags", kDemoTags, "--for", "2"}, options);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.find('\033'), std::string::npos);
  EXPECT_EQ(r.out.find('\r'), std::string::npos);
  EXPECT_NE(r.out.find(" log 0x102 " + kMsgStarted + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" value Counter = 42\n"), std::string::npos);
  EXPECT_NE(r.out.find(" value Label = \"ABCD\"\n"), std::string::npos);
  EXPECT_NE(r.out.find(" value Seconds = (no value)\n"), std::string::npos);
  EXPECT_NE(r.out.find(" summary: "), std::string::npos);
  // Every line starts with a HH:MM:SS.mmm time stamp.
  size_t pos = 0;
  while (pos < r.out.size()) {
    const size_t end = r.out.find('\n', pos);
    const std::string line = r.out.substr(pos, end - pos);
    ASSERT_GE(line.size(), 13u) << line;
    EXPECT_EQ(line[2], ':') << line;
    EXPECT_EQ(line[5], ':') << line;
    EXPECT_EQ(line[8], '.') << line;
    pos = end == std::string::npos ? r.out.size() : end + 1;
  }
}

TEST_F(HostRunTest, TerminalGetsAStatusLineRedrawnInPlace) {
  ProcessOptions options;
  options.env = line_.env();
  options.timeout_ms = 30000;
  options.stdout_terminal = true;
  const ProcessResult r = Host({"run", project_, "--tags", kDemoTags, "--for", "2.5"}, options);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("\r\033[K"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("PLC1: ok reads "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" | PLC2: ok reads "), std::string::npos) << r.out;
  // Events still come as whole lines (the terminal turns \n into \r\n).
  EXPECT_NE(r.out.find(" value Counter = 42\r\n"), std::string::npos) << r.out;
}

TEST(HostToolTest, PortThatCannotOpenIsReportedAndTheRunGoesOn) {
  TempDir dir;
  const std::string json = dir.File("p.json");
  ASSERT_TRUE(WriteText(json, R"({"port": {"com": "COM2"},
      "stations": [{"name": "PLC1", "number": 1, "blocks": [{"address": "R1", "count": 2}]}]})"));
  const std::string project = dir.File("p.dvk");
  ASSERT_EQ(RunProcess({kProjectTool, "import", json, "-o", project}).exit_code, 0);
  // COM2 names a link to nothing: the open fails on it, and the lookup never
  // falls through to a system port.
  const std::string port = dir.File("COM2");
  ASSERT_EQ(::symlink(dir.File("nowhere").c_str(), port.c_str()), 0);
  ASSERT_TRUE(PathExists(port));
  ProcessOptions options;
  options.env.push_back("DRAVIKNET_PORTS=" + dir.path());
  options.env.push_back("DRAVIKNET_CONFIG=" + dir.File("none.conf"));
  options.stdin_text = "stats\n";
  const ProcessResult r = Host({"run", project, "--for", "1", "--json"}, options);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::vector<Json> lines = JsonLines(r.out);
  const auto logs = OfKind(lines, "log");
  ASSERT_FALSE(logs.empty()) << r.out;
  const std::string text = logs[0]["text"];
  EXPECT_EQ(text.rfind(kPrefix + "통신포트[COM2", 0), 0u) << text;
  EXPECT_NE(text.find("]를 열 수 없습니다."), std::string::npos) << text;
  EXPECT_EQ(logs[0]["flags"], 0x100);
  EXPECT_GE(LogIndex(lines, kMsgStarted), 0);  // started: the port is sought once a second
  const auto start = OfKind(lines, "start");
  ASSERT_EQ(start.size(), 1u);
  EXPECT_NE(start[0]["prepare"], 0);
  const auto stats = OfKind(lines, "stats");
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(stats[0]["status"], 1);  // the port is not open: failing
  EXPECT_EQ(stats[0]["state"], "no_port") << "a line without its port shown as running";
  const auto summary = OfKind(lines, "summary");
  ASSERT_EQ(summary.size(), 1u);
  // Each try to open the port counts as a failed read; none can be good.
  EXPECT_EQ(summary[0]["exchanges"], summary[0]["failures"]);
}

}  // namespace
}  // namespace dravik::test
