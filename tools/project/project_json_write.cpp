// Writing a project image out: as the bytes of a project file and as its
// JSON form. Loading a file lives here too, because whether a loaded file is
// canonical is judged by writing its content again and comparing.
#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "host/tarsel_sub.h"
#include "model/dravik_doc.h"
#include "model/object_registry.h"
#include "model/project_text.h"
#include "platform/archive.h"
#include "platform/file_io.h"
#include "tools/project/project_json.h"
#include "tools/project/project_json_internal.h"

namespace dravik::project {

namespace {

// Every stored port value, each with its readable companion (null when the
// stored index names nothing).
Json PortToJson(const CSerialPort& p) {
  Json port;
  port["com"] = p.port >= 0 && p.port <= internal::kMaxPortIndex
                    ? Json("COM" + std::to_string(p.port + 1))
                    : Json(nullptr);
  port["port"] = p.port;
  port["baud"] = p.baud >= 0 && p.baud < kBaudIndexCount ? Json(BaudRateOf(p.baud)) : Json(nullptr);
  port["baud_index"] = p.baud;
  port["parity"] = p.parity >= 0 && p.parity <= 2 ? Json(ParityName(p.parity)) : Json(nullptr);
  port["parity_index"] = p.parity;
  port["data_bits"] = p.data_bits == 0 || p.data_bits == 1 ? Json(p.data_bits + 7) : Json(nullptr);
  port["data_bits_index"] = p.data_bits;
  port["stop_bits"] = p.stop_bits == 0 || p.stop_bits == 1 ? Json(p.stop_bits + 1) : Json(nullptr);
  port["stop_bits_index"] = p.stop_bits;
  port["checksum"] = (p.options & CSerialPort::kUseChecksum) != 0;
  port["rts_cts"] = (p.options & CSerialPort::kRtsCts) != 0;
  port["options"] = p.options;
  return port;
}

// A station with its blocks, area and start as stored (they may disagree
// with the address text in a file the editor did not write).
Json StationToJson(const CStationInfoDVK& s) {
  Json station;
  station["name"] = s.name;
  station["description"] = s.description;
  station["number"] = s.number;
  Json blocks = Json::array();
  for (const auto& b : s.blocks) {
    Json block;
    block["address"] = b->address_text;
    block["area"] = b->area;
    block["start"] = b->start;
    block["count"] = b->count;
    block["period"] = b->period_ms;
    blocks.push_back(block);
  }
  station["blocks"] = blocks;
  return station;
}

}  // namespace

bool LoadImage(const std::string& path, ProjectImage* image, bool* canonical, std::string* error) {
  CDravikNetDoc doc;
  if (doc.LoadFile(path.c_str()) == 0) {
    *error = doc.LastError();
    if (error->find(path) == std::string::npos) *error = path + ": " + *error;
    return false;
  }
  image->station_names = doc.StationNames();
  image->port = doc.Port();
  image->stations = std::move(doc.Stations());
  image->trailing.clear();
  image->encoding = doc.Encoding();

  std::vector<uint8_t> file;
  if (!ReadWholeFile(path, CDravikNetDoc::kMaxFileBytes, &file, error)) return false;
  std::vector<uint8_t> again;
  std::string unwritable;
  *canonical = ImageBytes(*image, &again, &unwritable) && file.size() >= again.size() &&
               std::equal(again.begin(), again.end(), file.begin());
  if (*canonical)
    image->trailing.assign(file.begin() + static_cast<ptrdiff_t>(again.size()), file.end());
  return true;
}

bool ImageBytes(const ProjectImage& image, std::vector<uint8_t>* bytes, std::string* error) {
  if (!CheckProjectTexts(image.station_names, image.stations, image.encoding, error)) {
    return false;
  }
  CArchive ar;
  ar.SetTextEncoding(image.encoding);
  CTarselHeader header(CDravikNetDoc::kHeaderValue);
  header.SetDesc(CDravikNetDoc::kHeaderDesc);
  header.Serialize(ar);
  ar.PutCount(image.station_names.size());
  for (const auto& name : image.station_names) ar.PutString(name);
  CSerialPort port = image.port;
  port.Serialize(ar);
  ar.PutCount(image.stations.size());
  for (const auto& station : image.stations) {
    ar.PutClassRef(CStationInfoDVK::kClassName, kSchema);
    station->Serialize(ar);
  }
  if (!ar.ok()) {
    *error = ar.Error();
    return false;
  }
  *bytes = ar.Bytes();
  bytes->insert(bytes->end(), image.trailing.begin(), image.trailing.end());
  return true;
}

Json ImageToJson(const ProjectImage& image) {
  Json out;
  out["header"] = {{"value", CDravikNetDoc::kHeaderValue}, {"desc", CDravikNetDoc::kHeaderDesc}};
  out["encoding"] = TextEncodingName(image.encoding);
  out["station_names"] = image.station_names;
  out["port"] = PortToJson(image.port);
  Json stations = Json::array();
  for (const auto& s : image.stations) stations.push_back(StationToJson(*s));
  out["stations"] = stations;
  if (!image.trailing.empty()) out["trailing_bytes"] = internal::HexBytes(image.trailing);
  return out;
}

}  // namespace dravik::project
