// The line settings file: what each kind of content yields for one port, and
// the one problem line (file:line: what) for everything that is refused.
#include "runtime/line_settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

namespace dravik {
namespace {

struct Case {
  const char* name;
  const char* content;  // null: no file at all
  int after;
  int seconds;
  const char* problem;  // expected after "<path>", empty when none
  size_t length = 0;    // of content, when it holds a NUL byte
  int stale_after_ms = 0;
};

// A 10 KB comment whose tail looks like a setting, and binary junk.
const std::string kLongLine =
    "[COM1]\n; " + std::string(10240, 'x') + " demote_after = 9\ndemote_after = 2\n";
const char kJunk[] = "[COM1]\ndemote_after = 2\n\x01\0\x7f\xff junk\n";

const Case kCases[] = {
    {"NoFile", nullptr, 0, 10, ""},
    {"Empty", "", 0, 10, ""},
    {"OwnSection", "[COM1]\ndemote_after = 3 ; in a row\ndemote_seconds=20\n", 3, 20, ""},
    {"OtherPortsIgnored", "[COM2]\ndemote_after = 7\n# note\n[COM1]\ndemote_after = 2\n", 2, 10,
     ""},
    {"ZeroIsOff", "[COM1]\ndemote_after = 0\n", 0, 10, ""},
    {"UnknownKey", "[COM1]\ndemote_after = 3\ndemote_sekonds = 5\n", 0, 10,
     ":3: unknown key 'demote_sekonds' in [COM1]"},
    {"UnknownPort", "[LPT1]\ndemote_after = 3\n", 0, 10, ":2: unknown port [LPT1]"},
    {"OutsideSection", "demote_after = 3\n", 0, 10, ":1: setting outside a [COMn] section"},
    {"NotANumber", "[COM1]\ndemote_after = three\n", 0, 10,
     ":2: demote_after must be a whole number from 0 to 1000, not 'three'"},
    {"SecondsOutOfRange", "[COM1]\ndemote_after = 3\ndemote_seconds = 0\n", 0, 10,
     ":3: demote_seconds must be a whole number from 1 to 86400, not '0'"},
    {"Malformed", "[COM1]\ndemote_after = 3\nthis is not a setting\n", 0, 10,
     ":3: not a [section] or key = value line"},
    {"FirstProblemOnly", "[COM1]\nx = 1\ny = 2\n", 0, 10, ":2: unknown key 'x' in [COM1]"},
    {"ProbeTimeoutOutOfRange", "[COM1]\nprobe_timeout_ms = 20\n", 0, 10,
     ":2: probe_timeout_ms must be a whole number from 50 to 3000, not '20'"},
    {"StaleAfter", "[COM1]\nstale_after_ms = 8000\n", 0, 10, "", 0, 8000},
    {"StaleAfterTooShort", "[COM1]\nstale_after_ms = 999\n", 0, 10,
     ":2: stale_after_ms must be a whole number from 1000 to 3600000, not '999'"},
    {"LongLineRefusedByNumber", kLongLine.c_str(), 0, 10,
     ":2: line is 10259 bytes long, at most 198 are read"},
    {"BinaryJunk", kJunk, 0, 10, ":3: line holds a NUL byte (not a text file?)", sizeof kJunk - 1},
};

class LineSettingsTest : public ::testing::TestWithParam<Case> {};

TEST_P(LineSettingsTest, ReadsOrRefusesWithFileAndLine) {
  const Case& c = GetParam();
  char dir[] = "/tmp/draviknet-settings-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/draviknet.conf";
  if (c.content != nullptr) {
    std::ofstream(path).write(c.content, static_cast<std::streamsize>(
                                             c.length != 0 ? c.length : std::strlen(c.content)));
  }
  std::string problem;
  const LineSettingsFile settings = ReadLineSettings(path, "COM1", &problem);
  EXPECT_EQ(settings.demotion.after, c.after);
  EXPECT_EQ(settings.demotion.seconds, c.seconds);
  EXPECT_EQ(settings.stale_after_ms, c.stale_after_ms);
  EXPECT_EQ(problem, *c.problem ? path + c.problem : "");
  unlink(path.c_str());
  rmdir(dir);
}

INSTANTIATE_TEST_SUITE_P(Files, LineSettingsTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LineSettingsPathTest, EnvironmentOverridesTheSystemFile) {
  unsetenv("DRAVIKNET_CONFIG");
  EXPECT_EQ(LineSettingsPath(), "/etc/draviknet/draviknet.conf");
  setenv("DRAVIKNET_CONFIG", "/tmp/x.conf", 1);
  EXPECT_EQ(LineSettingsPath(), "/tmp/x.conf");
  unsetenv("DRAVIKNET_CONFIG");
}

TEST(LineSettingsPathTest, AnUnreadableFileIsAProblem) {
  std::string problem;
  ReadLineSettings("/tmp", "COM1", &problem);  // a directory
  EXPECT_NE(problem.find("/tmp: "), std::string::npos) << problem;
}

}  // namespace
}  // namespace dravik
