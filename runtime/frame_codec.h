// The frame codec: builds the four request frames (bit/word read, bit/word
// write), checks read replies, and the byte helpers shared with the serial
// link (DLE doubling and its removal, checksum, word byte swap). Pure
// functions over byte spans, no state; any thread.
//
// Envelope of every frame:  DLE STX | body (0x10 doubled) | DLE ETX | checksum
// where checksum = (256 - sum of the body bytes before doubling) mod 256 and
// is sent as one byte, never doubled.
//
//   read request body   station | 0x01 bit / 0x02 word | count | addr hi | addr lo
//   bit write body      station | 0x04 | 0x01 | addr hi | addr lo | value 0/1
//   word write body     station | 0x05 | L/2 | addr hi | addr lo | L data bytes
//   read reply payload  station | command (bit 7 = error, low 7 bits = error no.)
//                       | 3 header bytes | data (bits LSB first, or words high byte first)
//
//   address field: bit areas   (area code or 4 + (a-1)/256 for C) | (a-1) mod 256
//                  word areas  base + 2*(a-1), 16 bits, high byte first
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace dravik {

constexpr uint8_t kDle = 0x10;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;

constexpr size_t kStuffWorkAreaBytes = 512;  // the work area of StuffDle/UnstuffDle
constexpr size_t kReadRequestBytes = 16;     // a read request frame area
constexpr size_t kWriteFrameBytes = 256;     // a write request frame area
constexpr size_t kReplyBufferBytes = 512;    // what ReceiveFrame fills
constexpr int kReplyHeaderBytes = 5;         // station, command, three header bytes
// The count byte carries 8 bits; a larger bit block is read in several
// requests of at most this many bits (a multiple of 8, so every further
// request starts on a byte boundary).
constexpr int kMaxBitsPerRequest = 248;
constexpr int kMaxWordsPerRequest = 255;
// The most data bytes a word write can carry: the 256-byte frame area less
// DLE STX, the five header bytes and DLE ETX checksum. Data of up to 120 bytes
// always fits even when every byte is doubled; longer data fits only when it
// holds few 0x10 bytes (BuildWriteRequest checks the doubled length).
constexpr size_t kMaxWriteDataBytes = kWriteFrameBytes - 10;

constexpr int kCmdBitRead = 0x01;
constexpr int kCmdWordRead = 0x02;
constexpr int kCmdBitWrite = 0x04;
constexpr int kCmdWordWrite = 0x05;

// Result codes of an exchange (message numbers of the catalogue).
enum ExchangeResult : int {
  kExchangeOk = 0,
  kCannotSend = 8,
  kCannotReceive = 9,
  kReceiveTimeout = 10,
  kBadFormat = 11,
  kPlcError = 12,
  kChecksumMismatch = 13,
};

// A stored write request: the frame and its length in bytes.
struct RequestFrame {
  uint8_t frame[kWriteFrameBytes] = {};
  int32_t length = 0;
};

// The two address bytes of `address` (1-based) in `area`, high byte first.
uint16_t WireAddress(int area, uint32_t address);

// Builds a read request into `frame`; returns its length (10..15) and the
// expected reply payload length through `expected_length`. Returns 0 (and
// builds nothing) for an invalid area or a count the count byte cannot carry
// (0, or above kMaxBitsPerRequest bits / kMaxWordsPerRequest words).
int BuildReadRequest(std::span<uint8_t, kReadRequestBytes> frame, int station, int area,
                     uint32_t address, int count, int* expected_length);

// A new write request owned by the caller, or null when the area is invalid,
// `data` is empty, or the stuffed frame would not fit the 256-byte frame area.
// A bit area takes data[0] (non-zero = on); a word area takes all bytes, in
// host order, and sends each word high byte first.
std::unique_ptr<RequestFrame> BuildWriteRequest(int station, int area, uint32_t address,
                                                std::span<const uint8_t> data);

// 0 for a good reply, else 8..13; for 12 `detail` receives the PLC's error
// number in decimal, otherwise it is cleared.
int CheckReadReply(int receive_result, std::span<const uint8_t> payload, int expected_length,
                   std::string* detail);

// The first five body bytes a built request frame (read or write) carries:
// station, command, count and the two address bytes, read past the doubling
// of any 0x10 among them. A PLC that echoes its requests sends the last three
// back as reply bytes 2..4. Everything is 0 (and has_echo false) where the
// frame is too short to hold it.
struct RequestHeader {
  uint8_t station = 0;
  uint8_t command = 0;
  uint8_t echo[3] = {};  // count, address high, address low
  bool has_echo = false;
};
RequestHeader RequestHeaderOf(std::span<const uint8_t> frame);

// Judges a reply payload's first two bytes against the request it answers,
// for reads and writes alike: 11 when the station byte differs (another
// PLC's answer, error reply or not); 12 for an error reply, with the PLC's
// error number in `detail`; 11 when the command (low 7 bits) differs or the
// payload is too short to carry both bytes; else 0 with `detail` cleared.
int CheckReplyHeader(std::span<const uint8_t> payload, RequestHeader request, std::string* detail);

// Doubles every 0x10 of the first `length` bytes of `buffer`, in place.
// Returns the new length, or -1 (buffer unchanged) when the result would not
// fit `buffer` or the 512-byte work area.
int StuffDle(std::span<uint8_t> buffer, size_t length);
// Removes the doubling in place: after each 0x10 the next byte is skipped,
// whatever it is. Returns the new length, or -1 when `length` exceeds the
// buffer or the 512-byte work area.
int UnstuffDle(std::span<uint8_t> buffer, size_t length);
// (256 - sum) mod 256 in the low 8 bits.
uint32_t FrameChecksum(std::span<const uint8_t> bytes);
// Swaps the two bytes of each of the first `words` words; never beyond the span.
void SwapWordBytes(std::span<uint8_t> bytes, size_t words);

}  // namespace dravik
