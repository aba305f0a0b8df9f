// The readable listing `dravik-project show` prints: port settings, stations
// with their blocks, and what a file holds beyond what the editor would
// write (a names list that differs, bytes after the station list). Stored
// values the editor would never write are shown as invalid with their index,
// not hidden.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "model/device_areas.h"
#include "tools/project/project_json.h"
#include "tools/project/project_json_internal.h"

namespace dravik::project {

namespace {

constexpr size_t kMaxLineBytes = 1024;

// Appends one printf-formatted line (each format ends with its newline). A
// line longer than kMaxLineBytes is cut at a character boundary, never inside
// a UTF-8 sequence, says how long it was and keeps its newline.
template <typename... Args>
void Add(std::string* out, const char* fmt, Args... args) {
  const int length = std::snprintf(nullptr, 0, fmt, args...);
  if (length <= 0) return;
  std::string line(static_cast<size_t>(length) + 1, '\0');
  std::snprintf(line.data(), line.size(), fmt, args...);
  line.resize(static_cast<size_t>(length));
  if (line.size() > kMaxLineBytes) {
    size_t cut = kMaxLineBytes;
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line.resize(cut);
    line += "... (" + std::to_string(length) + " bytes)\n";
  }
  *out += line;
}

// A setting by its meaning and stored index, or "invalid" with the index.
std::string IndexText(bool valid, const std::string& text, int index) {
  return valid ? text + " (index " + std::to_string(index) + ")"
               : "invalid (index " + std::to_string(index) + ")";
}

void DescribePort(const CSerialPort& p, std::string* out) {
  const bool baud_valid = p.baud >= 0 && p.baud < kBaudIndexCount;
  *out += "Port settings\n";
  Add(out, "  Port:        %s\n",
      IndexText(p.port >= 0 && p.port <= internal::kMaxPortIndex,
                "COM" + std::to_string(p.port + 1), p.port)
          .c_str());
  Add(out, "  Baud rate:   %s\n",
      IndexText(baud_valid, std::to_string(baud_valid ? BaudRateOf(p.baud) : 0) + " bit/s", p.baud)
          .c_str());
  Add(out, "  Parity:      %s\n",
      IndexText(p.parity >= 0 && p.parity <= 2, ParityName(p.parity), p.parity).c_str());
  Add(out, "  Data bits:   %s\n",
      IndexText(p.data_bits == 0 || p.data_bits == 1, std::to_string(p.data_bits + 7), p.data_bits)
          .c_str());
  Add(out, "  Stop bits:   %s\n",
      IndexText(p.stop_bits == 0 || p.stop_bits == 1, std::to_string(p.stop_bits + 1), p.stop_bits)
          .c_str());
  Add(out, "  Options:     0x%08" PRIX32 " (Check Sum 사용: %s, RTS/CTS 제어: %s%s)\n", p.options,
      (p.options & CSerialPort::kUseChecksum) ? "on" : "off",
      (p.options & CSerialPort::kRtsCts) ? "on" : "off",
      (p.options & ~(CSerialPort::kUseChecksum | CSerialPort::kRtsCts)) ? "; other bits ignored"
                                                                        : "");
}

void DescribeStation(size_t i, const CStationInfoDVK& s, std::string* out) {
  Add(out, "  %zu. %s\n", i + 1, s.Label().c_str());
  Add(out, "     Name:        %s\n", s.name.c_str());
  Add(out, "     Number:      0x%02X (%d)\n", static_cast<unsigned>(s.number), s.number);
  Add(out, "     Description: %s\n", s.description.c_str());
  Add(out, "     Blocks:      %zu\n", s.blocks.size());
  for (size_t j = 0; j < s.blocks.size(); ++j) {
    const CCommBlockDVK& b = *s.blocks[j];
    const bool known = IsValidArea(b.area);
    Add(out, "       %zu. %-18s area %s (%d), start %d, count %d %s, period %d ms\n", j + 1,
        b.Label().c_str(), known ? kDeviceAreas[b.area].prefix : "?", b.area, b.start, b.count,
        known && IsBitArea(b.area) ? "bits" : "words", b.period_ms);
  }
}

// The names list only when it is not simply the stations' names in order.
void DescribeStationNames(const ProjectImage& image, std::string* out) {
  bool names_match = image.station_names.size() == image.stations.size();
  for (size_t i = 0; names_match && i < image.stations.size(); ++i) {
    names_match = image.station_names[i] == image.stations[i]->name;
  }
  if (names_match) return;
  *out += "Station names list (differs from the stations):";
  for (const auto& n : image.station_names) *out += " " + internal::Quote(n);
  *out += "\n";
}

}  // namespace

std::string DescribeImage(const ProjectImage& image) {
  std::string out;
  Add(&out, "Text encoding: %s\n",
      image.encoding == TextEncoding::kCp949
          ? "cp949 (code page 949, as the Windows original writes)"
          : "utf-8");
  DescribePort(image.port, &out);
  Add(&out, "Stations: %zu\n", image.stations.size());
  for (size_t i = 0; i < image.stations.size(); ++i) DescribeStation(i, *image.stations[i], &out);
  DescribeStationNames(image, &out);
  if (!image.trailing.empty()) {
    Add(&out, "Bytes after the station list: %zu\n", image.trailing.size());
  }
  return out;
}

}  // namespace dravik::project
