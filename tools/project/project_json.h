// Conversion between a project file and its JSON form, for dravik-project.
// A ProjectImage is everything a project file holds (station names list, port
// settings, stations with blocks, bytes after the station list), so a file
// exported and imported again is written back byte for byte. Plain functions
// on values owned by the caller; one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "model/serial_port.h"
#include "model/station_info.h"
#include "platform/text_encoding.h"

namespace dravik {
class CDravikNetDoc;
}

namespace dravik::project {

using Json = nlohmann::ordered_json;

struct ProjectImage {
  std::vector<std::string> station_names;
  CSerialPort port;
  std::vector<std::unique_ptr<CStationInfoDVK>> stations;
  // Bytes after the station list: the loader ignores them, but an exact copy
  // of a file has to keep them.
  std::vector<uint8_t> trailing;
  // The texts are UTF-8 here; the file holds them in this encoding.
  TextEncoding encoding = TextEncoding::kUtf8;
};

// The baud rates the port settings index (300 shifted left by the index).
constexpr int kBaudIndexCount = 7;
inline int BaudRateOf(int index) { return 300 << index; }

// Reads `path` into `image`. On failure `error` holds the loader's reason
// (naming the file and the byte offset) and the result is false. `canonical`
// is set false when the file's encoding differs from what saving the same
// content would write (it then cannot be reproduced byte for byte).
bool LoadImage(const std::string& path, ProjectImage* image, bool* canonical, std::string* error);

// The bytes a project file with this content consists of, texts in the
// image's encoding. False, with `error` naming the station or block and the
// character, when a text has no place in that encoding.
bool ImageBytes(const ProjectImage& image, std::vector<uint8_t>* bytes, std::string* error);

// The JSON form of a project: every stored value (raw port indexes and
// options word, block area and start as stored, the file's text encoding)
// plus readable companions.
Json ImageToJson(const ProjectImage& image);

// Deepest nesting of arrays and objects a project's JSON may have; a project
// needs five levels (project, stations, station, blocks, block).
constexpr int kMaxJsonDepth = 64;

// Parses JSON text, refusing nesting deeper than kMaxJsonDepth before it is
// built (so a hostile file cannot exhaust the stack) and a key given twice in
// one object (which would otherwise be settled in silence). False with
// `error` (the parser's message cut to a readable length, or the key with its
// JSON path such as $.stations[2].blocks[0]) on bad, too deep or ambiguous
// JSON.
bool ParseProjectJson(std::string_view text, Json* json, std::string* error);

// Builds an image from JSON. With `validate` every rule the configuration
// editor enforces is checked; each problem adds one line to `errors`, which
// names the station and block. Structural problems (a wrong JSON type, a
// missing address or "stations" list, an unknown key, a NUL in a text) are
// errors also without `validate`; echoed values are cut to about 60
// characters. `warnings`, when given, receives what is only worth saying (a
// missing "port" object: the default settings are written). True when
// `errors` stayed empty.
bool ImageFromJson(const Json& json, bool validate, ProjectImage* image,
                   std::vector<std::string>* errors, std::vector<std::string>* warnings = nullptr);

// Readable listing of a project for `show`.
std::string DescribeImage(const ProjectImage& image);

// "none", "even", "odd" for parity index 0..2, else empty.
const char* ParityName(int index);

}  // namespace dravik::project
