// The simulated PLC's side of the protocol: one station's memory of the eight
// device areas, the request handler that turns a request body into a reply
// body, and the framing (envelope, DLE doubling, checksum) of the wire.
// Plain values without locks; PlcSimulator guards them with its own mutex.
//
// Memory layout as the wire addresses it:
//   bits   0..255 I, 256..511 O, 512..767 FI, 768..1023 FO, 1024..2047 C
//   bytes  0..511 IR, 512..1023 OR, 1024..2047 R (16-bit words, even addresses)
//
// Replies (bodies, before framing):
//   bit read     station 01 count hi lo | (count-1)/8+1 bytes, bit 0 first
//   word read    station 02 count hi lo | 2*count bytes, high byte first
//   bit write    station 04 count hi lo
//   word write   station 05 count hi lo
//   error        station (command | 0x80 with the error number in bits 0..6)
//                count hi lo; 1 bad command, 2 bad address, 3 bad count
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace dravik::plcsim {

constexpr uint8_t kDle = 0x10;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;

constexpr int kErrBadCommand = 1;
constexpr int kErrBadAddress = 2;
constexpr int kErrBadCount = 3;

constexpr int kBitSpace = 2048;   // bits I..C
constexpr int kWordSpace = 1024;  // words IR..R

// Area index 0..7 as the driver numbers them (I, O, FI, FO, C, IR, OR, R).
struct AreaSpan {
  const char* prefix;
  bool bits;
  int first;    // first bit (bit areas) or first word (word areas) of the area
  int highest;  // highest 1-based address
};
extern const AreaSpan kAreas[8];

class StationMemory {
 public:
  // Area index and 1-based address; false when outside the area.
  bool GetBit(int area, int address, bool* value) const;
  bool SetBit(int area, int address, bool value);
  bool GetWord(int area, int address, uint16_t* value) const;
  bool SetWord(int area, int address, uint16_t value);

  // The reply body to a request body addressed to this station (the station
  // byte is copied into the reply as received).
  std::vector<uint8_t> Handle(std::span<const uint8_t> request);

 private:
  std::vector<uint8_t> ErrorReply(std::span<const uint8_t> request, int error) const;
  std::array<uint8_t, kBitSpace> bits_{};  // 0 or 1 per bit
  std::array<uint16_t, kWordSpace> words_{};
};

// 8-bit two's complement of the byte sum.
uint8_t Checksum(std::span<const uint8_t> body);
// DLE STX | body with 0x10 doubled | DLE ETX | checksum.
std::vector<uint8_t> EncodeFrame(std::span<const uint8_t> body);

// Request framing: fed byte by byte, yields each complete body. A DLE STX
// inside a frame starts over; DLE followed by anything but DLE, ETX or STX
// drops the frame; a body longer than kMaxBody is dropped.
class FrameParser {
 public:
  static constexpr size_t kMaxBody = 600;
  struct Frame {
    std::vector<uint8_t> body;  // unstuffed
    std::vector<uint8_t> raw;   // as received, DLE STX .. checksum
    bool checksum_ok = false;
  };
  std::optional<Frame> Feed(uint8_t b);

 private:
  enum class State { kHunt, kHuntDle, kBody, kBodyDle, kChecksum };
  State state_ = State::kHunt;
  std::vector<uint8_t> body_;
  std::vector<uint8_t> raw_;
};

// One line describing a request or reply body: station, command, area,
// address, count (e.g. "st 1 word read R10 x4").
std::string DecodeBody(std::span<const uint8_t> body, bool reply);
std::string Hex(std::span<const uint8_t> bytes);

}  // namespace dravik::plcsim
