#include "model/project_text.h"

namespace dravik {

namespace {

// Where one text sits. `station` and `block` count from 0; -1 when none.
struct TextPlace {
  enum class Kind { kListedName, kName, kDescription, kAddress } kind;
  size_t station;
  size_t block;
};

// Calls `visit(text, place)` for every text, the stations' own first (they
// are what a message should name; the names list repeats them); stops at the
// first false and returns it.
template <typename Names, typename Stations, typename Visit>
bool ForEachText(Names& names, Stations& stations, Visit&& visit) {
  for (size_t si = 0; si < stations.size(); ++si) {
    auto& station = *stations[si];
    if (!visit(station.name, TextPlace{TextPlace::Kind::kName, si, 0})) return false;
    if (!visit(station.description, TextPlace{TextPlace::Kind::kDescription, si, 0})) return false;
    for (size_t bi = 0; bi < station.blocks.size(); ++bi) {
      if (!visit(station.blocks[bi]->address_text, TextPlace{TextPlace::Kind::kAddress, si, bi})) {
        return false;
      }
    }
  }
  for (size_t i = 0; i < names.size(); ++i) {
    if (!visit(names[i], TextPlace{TextPlace::Kind::kListedName, i, 0})) return false;
  }
  return true;
}

// Names the place for a message. With `readable` false the texts are not yet
// UTF-8, so the station goes by its position and number instead of its name.
std::string DescribePlace(const TextPlace& place, const StationList& stations, bool readable) {
  if (place.kind == TextPlace::Kind::kListedName) {
    return "station names list, entry " + std::to_string(place.station + 1);
  }
  const CStationInfoDVK& station = *stations[place.station];
  std::string where = "station " + std::to_string(place.station + 1);
  where += readable ? " \"" + EchoText(station.name) + "\""
                    : " (number " + std::to_string(station.number) + ")";
  switch (place.kind) {
    case TextPlace::Kind::kName:
      return where + ", name";
    case TextPlace::Kind::kDescription:
      return where + ", description";
    default:
      break;
  }
  where += ", block " + std::to_string(place.block + 1);
  const std::string& address = station.blocks[place.block]->address_text;
  if (readable) where += " \"" + EchoText(address) + "\"";
  return where + ", address";
}

// The same place in the editor's language, for the save error box.
std::string DescribePlaceInKorean(const TextPlace& place, const StationList& stations) {
  if (place.kind == TextPlace::Kind::kListedName) {
    return "스테이션 이름 목록의 " + std::to_string(place.station + 1) + "번째 항목";
  }
  const CStationInfoDVK& station = *stations[place.station];
  const std::string where = "스테이션 " + std::to_string(place.station + 1) + " \"" +
                            EchoText(station.name) + "\"";
  switch (place.kind) {
    case TextPlace::Kind::kName:
      return where + "의 이름";
    case TextPlace::Kind::kDescription:
      return where + "의 설명";
    default:
      break;
  }
  return where + ", 블록 " + std::to_string(place.block + 1) + " \"" +
         EchoText(station.blocks[place.block]->address_text) + "\"의 주소";
}

// The first character of `text` that `encoding` cannot hold, or "".
std::string FirstUnwritable(const std::string& text, TextEncoding encoding) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    const std::string one = text.substr(i, length);
    std::string converted, why;
    if (!EncodeText(one, encoding, &converted, &why)) return one;
    i += length;
  }
  return "";
}

}  // namespace

bool DecodeProjectTexts(std::vector<std::string>* station_names, StationList* stations,
                        TextEncoding* encoding, std::string* error) {
  const bool all_utf8 =
      ForEachText(*station_names, *stations,
                  [](const std::string& text, const TextPlace&) { return IsUtf8(text); });
  if (all_utf8) {
    *encoding = TextEncoding::kUtf8;
    return true;
  }
  // Convert into copies first, so that a failure leaves every text as read.
  std::vector<std::string> decoded;
  std::string why;
  TextPlace failed{TextPlace::Kind::kListedName, 0, 0};
  const bool ok =
      ForEachText(*station_names, *stations, [&](const std::string& text, const TextPlace& place) {
        std::string utf8;
        if (!DecodeText(text, TextEncoding::kCp949, &utf8, &why)) {
          failed = place;
          return false;
        }
        decoded.push_back(std::move(utf8));
        return true;
      });
  if (!ok) {
    *error = DescribePlace(failed, *stations, false) +
             ": the text is neither UTF-8 nor code page 949 (" + why + ")";
    return false;
  }
  size_t next = 0;
  ForEachText(*station_names, *stations, [&](std::string& text, const TextPlace&) {
    text = std::move(decoded[next++]);
    return true;
  });
  *encoding = TextEncoding::kCp949;
  return true;
}

bool CheckProjectTexts(const std::vector<std::string>& station_names, const StationList& stations,
                       TextEncoding encoding, std::string* error, std::string* korean) {
  std::string why;
  TextPlace failed{TextPlace::Kind::kListedName, 0, 0};
  std::string failed_text;
  const bool ok =
      ForEachText(station_names, stations, [&](const std::string& text, const TextPlace& place) {
        std::string converted;
        if (EncodeText(text, encoding, &converted, &why)) return true;
        failed = place;
        failed_text = text;
        return false;
      });
  if (ok) return true;
  *error = DescribePlace(failed, stations, true) + ": " + why;
  if (korean != nullptr) {
    const std::string character = FirstUnwritable(failed_text, encoding);
    *korean = DescribePlaceInKorean(failed, stations) + "에 코드 페이지 949로 쓸 수 없는 문자" +
              (character.empty() ? std::string() : " \"" + EchoText(character) + "\"") +
              "가 있습니다.";
  }
  return false;
}

}  // namespace dravik
