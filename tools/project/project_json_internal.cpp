// The small helpers the project conversion shares: ASCII case folding, hex
// byte strings and the texts that name a station or block in a message.
// Kept in one place so the reader, the checks and the listing word things
// alike.
#include "tools/project/project_json_internal.h"

#include <cstdio>

#include "model/device_areas.h"
#include "platform/text_encoding.h"
#include "tools/project/project_json.h"

namespace dravik::project {

namespace internal {

std::string LowerAscii(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string Quote(const std::string& s) { return "\"" + EchoText(s) + "\""; }

std::string HexBytes(const std::vector<uint8_t>& bytes) {
  std::string out;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes) {
  if (text.size() % 2 != 0) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  bytes->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = nibble(text[i]);
    const int lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes->push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

std::string StationWhere(size_t index, const std::string& name) {
  return "station " + (name.empty() ? "#" + std::to_string(index + 1) + " (no name)" : Quote(name));
}

std::string BlockWhere(size_t station_index, const std::string& station, size_t block_index,
                       const std::string& address) {
  return StationWhere(station_index, station) + ", block " + std::to_string(block_index + 1) +
         " (" + (address.empty() ? "no address" : EchoText(address)) + ")";
}

std::string AreaAddress(int area, int64_t address) {
  return std::string(kDeviceAreas[area].prefix) + std::to_string(address);
}

}  // namespace internal

const char* ParityName(int index) {
  return index >= 0 && index < 3 ? internal::kParityNames[index] : "";
}

}  // namespace dravik::project
