// The texts of a project file (the station names list, every station's name
// and description, every block's address text) and the one decision about
// their encoding: a file from the Windows original holds them in code page
// 949, a file of this port in UTF-8. Plain functions over the caller's
// records; the thread that owns the document.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "model/station_info.h"
#include "platform/text_encoding.h"

namespace dravik {

using StationList = std::vector<std::unique_ptr<CStationInfoDVK>>;

// After loading: texts exactly as the file stored them. When every one is
// valid UTF-8 (ASCII included) nothing changes and the encoding is UTF-8.
// Otherwise the original wrote the file, and it writes only code page 949:
// every text is converted from it to UTF-8, also those that happened to be
// valid UTF-8. False, with `error` naming the station or block, when a text is
// not valid code page 949 either; the texts are then unchanged.
bool DecodeProjectTexts(std::vector<std::string>* station_names, StationList* stations,
                        TextEncoding* encoding, std::string* error);

// Before saving: true when every text can be written in `encoding`; else
// `error` names the station or block and the first character that cannot,
// and `korean` (when given) says the same in the editor's language.
bool CheckProjectTexts(const std::vector<std::string>& station_names, const StationList& stations,
                       TextEncoding encoding, std::string* error, std::string* korean = nullptr);

}  // namespace dravik
