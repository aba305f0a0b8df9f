// Project files as the Windows original writes them on Korean Windows: texts
// in code page 949, built byte by byte so that no code under test produces
// them. Shared by the model, tool and end-to-end tests; header only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dravik::fixture {

// The Korean texts in code page 949 and in UTF-8.
struct KoreanText {
  const char* cp949;
  const char* utf8;
};
inline constexpr KoreanText kPump = {"\xC6\xDF\xC7\xC1", "펌프"};  // station 1
inline constexpr KoreanText kLine = {
    "\xB6\xF3\xC0\xCE"
    "A",
    "라인A"};  // station 2
inline constexpr KoreanText kPumpRoom = {
    "\xC1\xA6"
    "1 \xC6\xDF\xC7\xC1\xBD\xC7",
    "제1 펌프실"};
inline constexpr KoreanText kBlockText = {"R1 \xBF\xC2\xB5\xB5", "R1 온도"};  // "R1 온도"

class ProjectBytes {
 public:
  ProjectBytes& Bytes(std::initializer_list<int> v) {
    for (int x : v) out_.push_back(static_cast<uint8_t>(x));
    return *this;
  }
  ProjectBytes& Int32(int32_t v) {
    for (int i = 0; i < 4; ++i)
      out_.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
    return *this;
  }
  ProjectBytes& Word(uint16_t v) { return Bytes({v & 0xFF, v >> 8}); }
  ProjectBytes& Text(const std::string& s) {  // short form: below 255 bytes
    out_.push_back(static_cast<uint8_t>(s.size()));
    out_.insert(out_.end(), s.begin(), s.end());
    return *this;
  }
  ProjectBytes& NewClass(const std::string& name) {
    Word(0xFFFF).Word(1).Word(static_cast<uint16_t>(name.size()));
    out_.insert(out_.end(), name.begin(), name.end());
    return *this;
  }
  ProjectBytes& Header() { return Int32(3).Text("DravikNet.Dll"); }
  ProjectBytes& Port(uint32_t options) {
    for (int v : {0, 5, 0, 1, 0}) Int32(v);
    return Int32(static_cast<int32_t>(options));
  }
  const std::vector<uint8_t>& bytes() const { return out_; }
  std::string str() const { return std::string(out_.begin(), out_.end()); }

 private:
  std::vector<uint8_t> out_;
};

// Two stations, as the original writes them: 펌프 (number 1, description
// "제1 펌프실", one block in area R from address 1, four words, text "R1 온도")
// and 라인A (number 2, no description, no blocks). Options word: checksum.
inline ProjectBytes Cp949Project() {
  ProjectBytes b;
  b.Header().Word(2).Text(kPump.cp949).Text(kLine.cp949).Port(1).Word(2);
  b.NewClass("CStationInfoDVK").Text(kPump.cp949).Text(kPumpRoom.cp949).Int32(1).Word(1);
  b.NewClass("CCommBlockDVK").Text(kBlockText.cp949).Int32(4).Int32(0).Int32(7).Int32(1);
  b.Word(0x8001).Text(kLine.cp949).Text("").Int32(2).Word(0);
  return b;
}

// One station whose name is valid UTF-8 ("Café") and one in code page 949
// (펌프), no blocks. `second` replaces the second name when given.
inline ProjectBytes MixedProject(const std::string& second = kPump.cp949) {
  ProjectBytes b;
  b.Header().Word(2).Text("Caf\xC3\xA9").Text(second).Port(0).Word(2);
  b.NewClass("CStationInfoDVK").Text("Caf\xC3\xA9").Text("").Int32(1).Word(0);
  b.Word(0x8001).Text(second).Text("").Int32(2).Word(0);
  return b;
}

}  // namespace dravik::fixture
