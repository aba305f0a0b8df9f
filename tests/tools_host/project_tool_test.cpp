// dravik-project run as a program: export/import round trips byte for byte,
// every rule of the import with its error and exit status, the show listing
// and load errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text_encoding.h"
#include "tests/model/cp949_project.h"
#include "tests/tools_host/subprocess.h"

namespace dravik::test {
namespace {

const std::string kProjectTool = DRAVIK_PROJECT_BIN;
const std::string kSamples = DRAVIK_SAMPLES_DIR;

ProcessResult Project(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {kProjectTool};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProcess(argv);
}

// A project around the given stations array (JSON text).
std::string WithStations(const std::string& stations) {
  return R"({"port": {"com": "COM2", "baud": 9600}, "stations": )" + stations + "}";
}

class ProjectToolTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(ProjectToolTest, SampleRoundTripsByteForByte) {
  const std::string a = dir_.File("a.dvk");
  const std::string json = dir_.File("a.json");
  const std::string b = dir_.File("b.dvk");
  ProcessResult r = Project({"import", kSamples + "/demo_project.json", "-o", a});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = Project({"export", a, "-o", json});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = Project({"import", json, "-o", b});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string bytes_a = ReadText(a);
  ASSERT_FALSE(bytes_a.empty());
  EXPECT_EQ(bytes_a, ReadText(b));
  // The file starts with the host's header: int32 3, then "DravikNet.Dll".
  EXPECT_EQ(bytes_a.substr(0, 5), std::string("\x03\x00\x00\x00\x0d", 5));
  EXPECT_EQ(bytes_a.substr(5, 13), "DravikNet.Dll");

  // Export to stdout gives the same JSON as export to a file.
  r = Project({"export", a});
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, ReadText(json));
  EXPECT_NE(r.out.find("\"baud\": 19200"), std::string::npos);
  EXPECT_NE(r.out.find("\"baud_index\": 6"), std::string::npos);
  EXPECT_NE(r.out.find("\"station_names\""), std::string::npos);
  EXPECT_NE(r.out.find("\"encoding\": \"utf-8\""), std::string::npos);
}

TEST_F(ProjectToolTest, OddFileRoundTripsWithoutValidation) {
  // Stored values the editor would never write: a names list that differs from the stations, a
  // block whose stored area and start disagree with its text, out-of-range indexes and bytes after
  // the list.
  const std::string odd = R"({
    "station_names": ["X", "Y", "Z"],
    "port": {"port": 300, "baud_index": 9, "parity_index": 5, "data_bits_index": 3,
             "stop_bits_index": -1, "options": 2},
    "stations": [
      {"name": "A", "description": "한글 설명", "number": 0,
       "blocks": [{"address": "R5", "area": 2, "start": 77, "count": 0, "period": -1},
                  {"address": "zz", "area": 11, "start": -3, "count": 9999, "period": 5}]},
      {"name": "a", "number": 0, "blocks": []}],
    "trailing_bytes": "00ff10"
  })";
  const std::string json = dir_.File("odd.json");
  ASSERT_TRUE(WriteText(json, odd));
  const std::string a = dir_.File("odd.dvk");
  ProcessResult r = Project({"import", json, "-o", a, "--no-validate"});
  ASSERT_EQ(r.exit_code, 0) << r.err;

  const std::string json2 = dir_.File("odd2.json");
  r = Project({"export", a, "-o", json2});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");  // canonical encoding: no warning
  const std::string exported = ReadText(json2);
  EXPECT_NE(exported.find("\"options\": 2"), std::string::npos) << exported;
  EXPECT_NE(exported.find("\"trailing_bytes\": \"00ff10\""), std::string::npos);
  EXPECT_NE(exported.find("\"start\": 77"), std::string::npos);

  const std::string b = dir_.File("odd2.dvk");
  r = Project({"import", json2, "-o", b, "--no-validate"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadText(a), ReadText(b));

  // The same JSON with the rules applied is refused, and nothing is written.
  const std::string c = dir_.File("odd3.dvk");
  r = Project({"import", json2, "-o", c});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_FALSE(PathExists(c));
  EXPECT_NE(r.err.find("\"station_names\" does not list"), std::string::npos);
}

struct InvalidCase {
  const char* what;
  std::string json;
  const char* error;  // a line the tool must print
};

TEST_F(ProjectToolTest, ImportRefusesEachBrokenRule) {
  const std::vector<InvalidCase> cases = {
      {"range beyond the area", WithStations(R"([{"name": "PLC1", "number": 1},
                        {"name": "PLC2", "number": 2, "blocks": [
                          {"address": "R1", "count": 1}, {"address": "IR1", "count": 1},
                          {"address": "R505", "count": 9}]}])"),
       "error: station \"PLC2\", block 3 (R505): range R505..R513 exceeds the area's highest "
       "address 512"},
      {"empty name", WithStations(R"([{"name": "", "number": 1}])"),
       "error: station #1 (no name): the name is empty"},
      {"same name in other case",
       WithStations(R"([{"name": "PLC1", "number": 1}, {"name": "plc1", "number": 2}])"),
       "error: station \"plc1\": the name is already used by station 1 (\"PLC1\")"},
      {"number 0", WithStations(R"([{"name": "P", "number": 0}])"),
       "error: station \"P\": number 0 is outside 1..255 (01H..FFH)"},
      {"number 256", WithStations(R"([{"name": "P", "number": 256}])"),
       "error: station \"P\": number 256 is outside 1..255 (01H..FFH)"},
      {"duplicate number",
       WithStations(R"([{"name": "P", "number": 7}, {"name": "Q", "number": 7}])"),
       "error: station \"Q\": number 7 is already used by station \"P\""},
      {"unknown area",
       WithStations(R"([{"name": "P", "number": 1, "blocks": [{"address": "X1"}]}])"),
       "error: station \"P\", block 1 (X1): the address names no device area (I, O, FI, FO, C, "
       "IR, OR, R)"},
      {"area index 8",
       WithStations(R"([{"name": "P", "number": 1, "blocks": [{"address": "1", "area": 8}]}])"),
       "error: station \"P\", block 1 (1): area 8 is outside 0..7"},
      {"bit block off a byte boundary",
       WithStations(R"([{"name": "P", "number": 1, "blocks": [{"address": "C2", "count": 8}]}])"),
       "error: station \"P\", block 1 (C2): start address \"2\" is not valid for area C (a bit "
       "block starts on a byte boundary: 1, 9, 17, ...)"},
      {"start 0", WithStations(R"([{"name": "P", "number": 1, "blocks": [{"address": "R0"}]}])"),
       "error: station \"P\", block 1 (R0): start address \"0\" is not valid for area R (1..512)"},
      {"start beyond the area",
       WithStations(
           R"([{"name": "P", "number": 1, "blocks": [{"address": "C1025", "count": 8}]}])"),
       "error: station \"P\", block 1 (C1025): start address \"1025\" is not valid for area C "
       "(1..1024)"},
      {"address in another area than given",
       WithStations(R"([{"name": "P", "number": 1, "blocks": [{"address": "IR5", "area": "R"}]}])"),
       "error: station \"P\", block 1 (IR5): the address lies in area IR, not in the block's "
       "area R"},
      {"overlap in one area", WithStations(R"([{"name": "P", "number": 1, "blocks": [
                         {"address": "R1", "count": 10}, {"address": "C1", "count": 8},
                         {"address": "R10", "count": 2}]}])"),
       "error: station \"P\", block 3 (R10): range R10..R11 overlaps block 1 (R1, R1..R10)"},
      {"overlap with an overlapping block",
       WithStations(R"([{"name": "P", "number": 1, "blocks": [{"address": "R1", "count": 10},
                         {"address": "R5", "count": 10}, {"address": "R12", "count": 2}]}])"),
       "error: station \"P\", block 3 (R12): range R12..R13 overlaps block 2 (R5, R5..R14)"},
      // A key given twice would otherwise be settled by keeping the last.
      {"key twice at the top", R"({"port": {}, "stations": [], "port": {"com": "COM3"}})",
       "is not valid JSON: the key \"port\" is given twice in $ (each key of an object is given "
       "once)"},
      {"key twice in a block",
       WithStations(R"([{"name": "P", "number": 1}, {"name": "Q", "number": 2,
                         "blocks": [{"address": "R1", "count": 1, "count": 2}]}])"),
       "is not valid JSON: the key \"count\" is given twice in $.stations[1].blocks[0] (each key "
       "of an object is given once)"},
      {"count 0",
       WithStations(R"([{"name": "P", "number": 1, "blocks": [{"address": "C1", "count": 0}]}])"),
       "error: station \"P\", block 1 (C1): count 0 is outside 1..480 bits"},
      {"bit count 481",
       WithStations(R"([{"name": "P", "number": 1, "blocks": [{"address": "C1", "count": 481}]}])"),
       "error: station \"P\", block 1 (C1): count 481 is outside 1..480 bits"},
      {"word count 61",
       WithStations(R"([{"name": "P", "number": 1, "blocks": [{"address": "R1", "count": 61}]}])"),
       "error: station \"P\", block 1 (R1): count 61 is outside 1..60 words"},
      {"period too long",
       WithStations(
           R"([{"name": "P", "number": 1, "blocks": [{"address": "R1", "count": 1, "period": 999901}]}])"),
       "error: station \"P\", block 1 (R1): period 999901 ms is outside 0..999900"},
      {"negative period",
       WithStations(
           R"([{"name": "P", "number": 1, "blocks": [{"address": "R1", "count": 1, "period": -1}]}])"),
       "error: station \"P\", block 1 (R1): period -1 ms is outside 0..999900"},
      {"stored start differs",
       WithStations(
           R"([{"name": "P", "number": 1, "blocks": [{"address": "R5", "start": 6, "count": 1}]}])"),
       "error: station \"P\", block 1 (R5): stored start 6 differs from the address's 5"},
      {"baud rate", R"({"port": {"baud": 1234}})",
       "error: port: baud rate 1234 is not one of 300, 600, 1200, 2400, 4800, 9600, 19200"},
      {"port name", R"({"port": {"com": "COM0"}})",
       "error: port: \"com\" \"COM0\" is not COM1..COM256"},
      {"count of the wrong type",
       WithStations(R"([{"name": "P", "number": 1, "blocks": [{"address": "R1", "count": "9"}]}])"),
       "error: station \"P\", block 1 (R1): \"count\" must be a number"},
      {"huge whole number written as a float", R"({"port": {"baud": 7.7e91}})",
       "error: port: \"baud\" is out of range"},
      {"header", R"({"header": {"value": 4, "desc": "DravikNet.Dll"}})",
       "error: header: must be value 3 and desc \"DravikNet.Dll\""},
      // Typos would otherwise fall back to defaults in silence.
      {"unknown top-level key", R"({"port": {}, "station": []})",
       "error: top level: unknown key \"station\" (known: header, encoding, station_names, port, "
       "stations, trailing_bytes)"},
      {"no stations", R"({"port": {"com": "COM1"}})",
       "error: top level: \"stations\" is missing (an array of stations; [] for none)"},
      {"unknown port key", R"({"port": {"baudrate": 19200}, "stations": []})",
       "error: port: unknown key \"baudrate\" (known: com, port, baud, baud_index, parity, "
       "parity_index, data_bits, data_bits_index, stop_bits, stop_bits_index, checksum, rts_cts, "
       "options)"},
      {"unknown station key", WithStations(R"([{"name": "P", "numbr": 3}])"),
       "error: station \"P\": unknown key \"numbr\" (known: name, description, number, blocks)"},
      {"unknown block key",
       WithStations(R"([{"name": "P", "number": 1, "blocks": [{"address": "R1", "cnt": 2}]}])"),
       "error: station \"P\", block 1 (R1): unknown key \"cnt\" (known: address, area, start, "
       "count, period)"},
      {"NUL in a name", WithStations(R"([{"name": "PL\u0000C1", "number": 1}])"),
       "error: station #1 (no name): \"name\" \"PL\\x00C1\" holds a NUL character"},
      {"NUL in the names list", R"({"station_names": ["A\u0000"], "stations": []})",
       "error: \"station_names\" must be an array of strings without NUL characters"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string json = dir_.File("case.json");
    const std::string out = dir_.File("case.dvk");
    ASSERT_TRUE(WriteText(json, c.json));
    const ProcessResult r = Project({"import", json, "-o", out});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find(std::string(c.error) + "\n"), std::string::npos) << r.err;
    EXPECT_FALSE(PathExists(out));
  }
}

TEST_F(ProjectToolTest, ImportReportsEveryProblemOnce) {
  const std::string json = dir_.File("two.json");
  ASSERT_TRUE(WriteText(json, WithStations(R"([{"name": "", "number": 0,
      "blocks": [{"address": "R1", "count": 61}]}])")));
  const ProcessResult r = Project({"import", json, "-o", dir_.File("two.dvk")});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("3 problems"), std::string::npos) << r.err;
}

TEST_F(ProjectToolTest, ImportKeepsItsAnswersShortAndSafe) {
  const std::string json = dir_.File("hostile.json");
  const std::string out = dir_.File("hostile.dvk");
  // Nested 70,000 levels deep inside an object: refused, not a stack overflow.
  ASSERT_TRUE(WriteText(
      json, R"({"x": )" + std::string(70000, '[') + std::string(70000, ']') + R"(, "y": 1})"));
  ProcessResult r = Project({"import", json, "-o", out});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("is not valid JSON: arrays and objects are nested deeper than 64 levels"),
            std::string::npos)
      << r.err;

  // A huge value is echoed cut; 60 problems are 50 lines and a count.
  std::string stations = "[";
  for (int i = 0; i < 60; ++i) {
    stations +=
        std::string(i ? "," : "") + R"({"name": "P)" + std::to_string(i) + R"(", "number": 0})";
  }
  ASSERT_TRUE(WriteText(json, R"({"port": {"com": ")" + std::string(100000, 'X') +
                                  R"("}, "stations": )" + stations + "]}"));
  r = Project({"import", json, "-o", out});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("error: port: \"com\" \"" + std::string(60, 'X') +
                       "... (100000 bytes)\" is not COM1..COM256\n"),
            std::string::npos);
  EXPECT_NE(r.err.find("\u2026 and 11 more\n" + json + ": 61 problems"), std::string::npos);
  EXPECT_LT(r.err.size(), 6000u);

  // Every message that repeats a huge value cuts it.
  const std::string huge(1 << 20, 'K');
  const struct {
    std::string json;
    std::string line;
  } echoes[] = {
      {R"({"stations": [], ")" + huge + R"(": 1, ")" + huge + R"(": 2})",
       "the key \"" + huge.substr(0, 60) + "... (1048576 bytes)\" is given twice in $"},
      {R"({"encoding": "cp949", "stations": [{"name": ")" + huge + "\u263A" +
           R"(", "number": 1}]})",
       "station 1 \"" + huge.substr(0, 60) + "... (1048579 bytes)\", name: the character"},
  };
  for (const auto& c : echoes) {
    ASSERT_TRUE(WriteText(json, c.json));
    r = Project({"import", json, "-o", out});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err.substr(0, 500);
    EXPECT_LT(r.err.size(), 6000u);
  }

  // Without a port the defaults are written, with a warning; "encoding" is a known key.
  ASSERT_TRUE(WriteText(json, R"({"encoding": "utf-8", "stations": []})"));
  r = Project({"import", json, "-o", out});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("warning: \"port\" is missing; the default settings are written"),
            std::string::npos);
  EXPECT_TRUE(PathExists(out));
}

TEST_F(ProjectToolTest, ImportAcceptsLimitsAndWritesStoredFields) {
  // The largest legal blocks right at each area's end, and blocks of
  // different areas sharing numbers (no overlap across areas).
  const std::string json = dir_.File("edge.json");
  ASSERT_TRUE(WriteText(json, WithStations(R"([{"name": "Edge", "number": 255, "blocks": [
      {"address": "R453", "count": 60, "period": 999900},
      {"address": "C545", "count": 480, "period": 0},
      {"address": "IR1", "count": 60},
      {"area": "OR", "address": "017", "count": 1},
      {"address": "I249", "count": 8}]}])")));
  const std::string out = dir_.File("edge.dvk");
  ProcessResult r = Project({"import", json, "-o", out});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = Project({"export", out});
  ASSERT_EQ(r.exit_code, 0);
  // The prefix-less start is stored as the dialog stores it: prefix + text.
  EXPECT_NE(r.out.find("\"address\": \"OR017\",\n          \"area\": 6,\n          \"start\": 17"),
            std::string::npos)
      << r.out;
  r = Project({"show", out});
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("Edge (FFH국) : "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Number:      0xFF (255)"), std::string::npos);
  EXPECT_NE(r.out.find("Port:        COM2 (index 1)"), std::string::npos);
  EXPECT_NE(r.out.find("Baud rate:   9600 bit/s (index 5)"), std::string::npos);
}

TEST_F(ProjectToolTest, ShowCutsALongLabelBetweenCharactersAndKeepsItsLineEnd) {
  std::string description;
  for (int i = 0; i < 400; ++i) description += "가";  // 1200 bytes
  const std::string json = dir_.File("long.json");
  ASSERT_TRUE(WriteText(json, WithStations(R"([{"name": "Long", "number": 1, "description": ")" +
                                           description + R"("}])")));
  const std::string file = dir_.File("long.dvk");
  ASSERT_EQ(Project({"import", json, "-o", file}).exit_code, 0);
  const ProcessResult r = Project({"show", file});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(IsUtf8(r.out));
  EXPECT_NE(r.out.find("가... ("), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" bytes)\n     Name:        Long\n"), std::string::npos) << r.out;
}

TEST_F(ProjectToolTest, ShowListsPortStationsAndBlocks) {
  const std::string file = dir_.File("demo.dvk");
  ASSERT_EQ(Project({"import", kSamples + "/demo_project.json", "-o", file}).exit_code, 0);
  const ProcessResult r = Project({"show", file});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* expected : {
           "Port:        COM1 (index 0)",
           "Baud rate:   19200 bit/s (index 6)",
           "Parity:      none (index 0)",
           "Data bits:   8 (index 1)",
           "Stop bits:   1 (index 0)",
           "Options:     0x00000000 (Check Sum 사용: off, RTS/CTS 제어: off)",
           "Stations: 2",
           "1. PLC1 (01H국) : Demo line, first PLC",
           "Number:      0x01 (1)",
           "1. R1, 10 Word",
           "area R (7), start 1, count 10 words, period 0 ms",
           "2. C1, 16 Bit",
           "area C (4), start 1, count 16 bits, period 500 ms",
           "2. PLC2 (02H국) : Demo line, second PLC",
           "1. R1, 04 Word",
       }) {
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
  }
}

TEST_F(ProjectToolTest, LoadErrorsNameTheFileAndOffset) {
  const std::string file = dir_.File("demo.dvk");
  ASSERT_EQ(Project({"import", kSamples + "/demo_project.json", "-o", file}).exit_code, 0);
  const std::string bytes = ReadText(file);
  const std::string cut = dir_.File("cut.dvk");
  ASSERT_TRUE(WriteText(cut, bytes.substr(0, 40)));
  for (const char* command : {"show", "export"}) {
    SCOPED_TRACE(command);
    const ProcessResult r = Project({command, cut});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(cut + ": at byte 38:"), std::string::npos) << r.err;
  }
  const ProcessResult missing = Project({"show", dir_.File("missing.dvk")});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.err.find("missing.dvk"), std::string::npos);

  const std::string not_json = dir_.File("bad.json");
  ASSERT_TRUE(WriteText(not_json, "{\"stations\": ["));
  const ProcessResult bad = Project({"import", not_json, "-o", dir_.File("x.dvk")});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.err.find("bad.json is not valid JSON"), std::string::npos) << bad.err;
}

TEST_F(ProjectToolTest, NonCanonicalFileIsExportedWithAWarning) {
  // The station count written in its long form (0xFFFF then int32) loads
  // fine but is not what saving writes.
  const std::string file = dir_.File("demo.dvk");
  ASSERT_EQ(Project({"import", kSamples + "/demo_project.json", "-o", file}).exit_code, 0);
  std::string bytes = ReadText(file);
  // Header (4 + 1 + 13), names count 2 + "PLC1" + "PLC2" (2 + 5 + 5), port 24.
  const size_t station_count_at = 18 + 12 + 24;
  ASSERT_EQ(bytes.substr(station_count_at, 2), std::string("\x02\x00", 2));
  bytes.replace(station_count_at, 2, std::string("\xff\xff\x02\x00\x00\x00", 6));
  const std::string odd = dir_.File("long_count.dvk");
  ASSERT_TRUE(WriteText(odd, bytes));
  const ProcessResult r = Project({"export", odd});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("warning: " + odd + " uses an encoding"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("\"PLC2\""), std::string::npos);
}

TEST_F(ProjectToolTest, Cp949FileShowsKoreanAndRoundTripsThroughJson) {
  const std::string file = dir_.File("original.dat");
  ASSERT_TRUE(WriteText(file, fixture::Cp949Project().str()));
  ProcessResult r = Project({"show", file});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (const char* expected : {"Text encoding: cp949", "1. 펌프 (01H국) : 제1 펌프실",
                               "Name:        라인A", "1. R1 온도, 04 Word"}) {
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
  }

  // Export states the encoding and import honours it: the same bytes again.
  // The block text is not an address the editor accepts, hence no validation.
  const std::string json = dir_.File("original.json");
  r = Project({"export", file, "-o", json});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  std::string text = ReadText(json);
  EXPECT_NE(text.find("\"encoding\": \"cp949\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"name\": \"펌프\""), std::string::npos) << text;
  const std::string again = dir_.File("again.dat");
  r = Project({"import", json, "-o", again, "--no-validate"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(ReadText(again), ReadText(file));

  // Without "encoding" the same JSON is written in UTF-8.
  const size_t at = text.find("\"encoding\": \"cp949\",");
  ASSERT_NE(at, std::string::npos);
  ASSERT_TRUE(WriteText(json, std::string(text).erase(at, 20)));
  r = Project({"import", json, "-o", again, "--no-validate"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(ReadText(again).find("펌프"), std::string::npos);
  EXPECT_NE(Project({"show", again}).out.find("Text encoding: utf-8"), std::string::npos);

  // What cannot be written is refused, naming it, and nothing is written.
  struct Refused {
    std::string json;
    const char* error;
  };
  const Refused refused[] = {
      {R"({"encoding": "cp949", "stations": [{"name": "P😀", "number": 1}]})",
       "error: station 1 \"P😀\", name: the character \"😀\" (U+1F600) has no place in code "
       "page 949"},
      {R"({"encoding": "latin1"})", R"(error: "encoding" must be "utf-8" or "cp949")"},
      {R"({"port": {"options": 5}})", "options 0x00000005 set bits other than 0"},
  };
  for (const Refused& c : refused) {
    ASSERT_TRUE(WriteText(json, c.json));
    const std::string out = dir_.File("refused.dat");
    r = Project({"import", json, "-o", out, "--no-validate"});
    EXPECT_EQ(r.exit_code, 2) << c.json;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    EXPECT_FALSE(PathExists(out));
  }
}

TEST_F(ProjectToolTest, BadArgumentsExitWithTwo) {
  EXPECT_EQ(Project({}).exit_code, 2);
  EXPECT_EQ(Project({"frobnicate", "x"}).exit_code, 2);
  EXPECT_EQ(Project({"import", "x.json"}).exit_code, 2);  // no -o
  EXPECT_EQ(Project({"show"}).exit_code, 2);
  EXPECT_EQ(Project({"show", "a", "b"}).exit_code, 2);
  const ProcessResult help = Project({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("--no-validate"), std::string::npos);
}

}  // namespace
}  // namespace dravik::test
