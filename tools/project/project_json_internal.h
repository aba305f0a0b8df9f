// What the parts of the project conversion share: the limits the editor's
// dialogs apply, the parity names and the small text helpers that name a
// station or block in a message. Internal to the project_tool library; other
// code uses project_json.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dravik::project::internal {

// Limits the block dialog applies.
constexpr int kMaxBlockCount = 480;
constexpr int kMaxWordBlockCount = 60;
constexpr int kMaxPeriodMs = 999900;
constexpr int kMaxPortIndex = 255;

// By stored parity index 0..2.
inline constexpr const char* kParityNames[] = {"none", "even", "odd"};

// Names compare ignoring case as strcasecmp does in the C locale the tool
// runs in: ASCII letters only.
std::string LowerAscii(std::string s);

// A value echoed in a message, cut to a readable length (EchoText).
std::string Quote(const std::string& s);

// Bytes as lower-case hexadecimal pairs, and back (either case).
std::string HexBytes(const std::vector<uint8_t>& bytes);
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes);

// Where a message points: a station by its name (or, nameless, its position
// from 1) and a block of it by position and address.
std::string StationWhere(size_t index, const std::string& name);
std::string BlockWhere(size_t station_index, const std::string& station, size_t block_index,
                       const std::string& address);

// An address as the editor shows it: area prefix, then the number.
std::string AreaAddress(int area, int64_t address);

}  // namespace dravik::project::internal
