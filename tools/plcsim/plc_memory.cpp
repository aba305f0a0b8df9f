#include "tools/plcsim/plc_memory.h"

#include <cstdio>

namespace dravik::plcsim {

const AreaSpan kAreas[8] = {
    {"I", true, 0, 256},     {"O", true, 256, 256}, {"FI", true, 512, 256},  {"FO", true, 768, 256},
    {"C", true, 1024, 1024}, {"IR", false, 0, 256}, {"OR", false, 256, 256}, {"R", false, 512, 512},
};

namespace {

constexpr uint8_t kBitRead = 0x01;
constexpr uint8_t kWordRead = 0x02;
constexpr uint8_t kBitWrite = 0x04;
constexpr uint8_t kWordWrite = 0x05;
constexpr size_t kHeader = 5;

// The area holding a wire bit number, or -1.
int BitArea(int bit) {
  if (bit < 0 || bit >= kBitSpace) return -1;
  return bit < 1024 ? bit / 256 : 4;
}

// The area holding a wire byte address of a word, or -1 (also for odd ones).
int WordArea(int byte_address) {
  if (byte_address < 0 || byte_address >= 2 * kWordSpace || byte_address % 2 != 0) return -1;
  if (byte_address < 512) return 5;
  return byte_address < 1024 ? 6 : 7;
}

bool Inside(int area, int address) {
  return area >= 0 && area < 8 && address >= 1 && address <= kAreas[area].highest;
}

}  // namespace

bool StationMemory::GetBit(int area, int address, bool* value) const {
  if (!Inside(area, address) || !kAreas[area].bits) return false;
  *value = bits_[static_cast<size_t>(kAreas[area].first + address - 1)] != 0;
  return true;
}

bool StationMemory::SetBit(int area, int address, bool value) {
  if (!Inside(area, address) || !kAreas[area].bits) return false;
  bits_[static_cast<size_t>(kAreas[area].first + address - 1)] = value ? 1 : 0;
  return true;
}

bool StationMemory::GetWord(int area, int address, uint16_t* value) const {
  if (!Inside(area, address) || kAreas[area].bits) return false;
  *value = words_[static_cast<size_t>(kAreas[area].first + address - 1)];
  return true;
}

bool StationMemory::SetWord(int area, int address, uint16_t value) {
  if (!Inside(area, address) || kAreas[area].bits) return false;
  words_[static_cast<size_t>(kAreas[area].first + address - 1)] = value;
  return true;
}

std::vector<uint8_t> StationMemory::ErrorReply(std::span<const uint8_t> request, int error) const {
  std::vector<uint8_t> reply(kHeader, 0);
  for (size_t i = 0; i < kHeader && i < request.size(); ++i) reply[i] = request[i];
  reply[1] = static_cast<uint8_t>(0x80 | (error & 0x7F));
  return reply;
}

std::vector<uint8_t> StationMemory::Handle(std::span<const uint8_t> request) {
  if (request.size() < kHeader) return ErrorReply(request, kErrBadCommand);
  const uint8_t command = request[1];
  const int count = request[2];
  const int wire = (request[3] << 8) | request[4];
  std::vector<uint8_t> reply(request.begin(), request.begin() + kHeader);

  switch (command) {
    case kBitRead:
    case kBitWrite: {
      const int area = BitArea(wire);
      if (area < 0) return ErrorReply(request, kErrBadAddress);
      const int end = kAreas[area].first + kAreas[area].highest;  // one past the area
      if (command == kBitRead) {
        if (request.size() != kHeader || count == 0 || wire + count > end) {
          return ErrorReply(request, kErrBadCount);
        }
        reply.resize(kHeader + static_cast<size_t>((count - 1) / 8 + 1), 0);
        for (int k = 0; k < count; ++k) {
          if (bits_[static_cast<size_t>(wire + k)]) {
            reply[kHeader + static_cast<size_t>(k / 8)] |= static_cast<uint8_t>(1u << (k % 8));
          }
        }
      } else {
        if (request.size() != kHeader + 1 || count != 1) return ErrorReply(request, kErrBadCount);
        bits_[static_cast<size_t>(wire)] = request[kHeader] != 0 ? 1 : 0;
      }
      return reply;
    }
    case kWordRead:
    case kWordWrite: {
      const int area = WordArea(wire);
      if (area < 0) return ErrorReply(request, kErrBadAddress);
      const int first = wire / 2;
      const int end = kAreas[area].first + kAreas[area].highest;
      if (count == 0 || first + count > end) return ErrorReply(request, kErrBadCount);
      if (command == kWordRead) {
        if (request.size() != kHeader) return ErrorReply(request, kErrBadCount);
        for (int k = 0; k < count; ++k) {
          const uint16_t w = words_[static_cast<size_t>(first + k)];
          reply.push_back(static_cast<uint8_t>(w >> 8));
          reply.push_back(static_cast<uint8_t>(w & 0xFF));
        }
      } else {
        if (request.size() != kHeader + 2 * static_cast<size_t>(count)) {
          return ErrorReply(request, kErrBadCount);
        }
        for (int k = 0; k < count; ++k) {
          const size_t at = kHeader + 2 * static_cast<size_t>(k);
          words_[static_cast<size_t>(first + k)] =
              static_cast<uint16_t>((request[at] << 8) | request[at + 1]);
        }
      }
      return reply;
    }
    default:
      return ErrorReply(request, kErrBadCommand);
  }
}

uint8_t Checksum(std::span<const uint8_t> body) {
  unsigned sum = 0;
  for (const uint8_t b : body) sum += b;
  return static_cast<uint8_t>((256 - (sum & 0xFF)) & 0xFF);
}

std::vector<uint8_t> EncodeFrame(std::span<const uint8_t> body) {
  std::vector<uint8_t> out = {kDle, kStx};
  for (const uint8_t b : body) {
    out.push_back(b);
    if (b == kDle) out.push_back(kDle);
  }
  out.push_back(kDle);
  out.push_back(kEtx);
  out.push_back(Checksum(body));
  return out;
}

std::optional<FrameParser::Frame> FrameParser::Feed(uint8_t b) {
  switch (state_) {
    case State::kHunt:
      if (b == kDle) state_ = State::kHuntDle;
      break;
    case State::kHuntDle:
      if (b == kStx) {
        body_.clear();
        raw_ = {kDle, kStx};
        state_ = State::kBody;
      } else {
        state_ = State::kHunt;
      }
      break;
    case State::kBody:
      raw_.push_back(b);
      if (b == kDle) {
        state_ = State::kBodyDle;
      } else if (body_.size() < kMaxBody) {
        body_.push_back(b);
      } else {
        state_ = State::kHunt;
      }
      break;
    case State::kBodyDle:
      raw_.push_back(b);
      if (b == kDle && body_.size() < kMaxBody) {
        body_.push_back(b);
        state_ = State::kBody;
      } else if (b == kEtx) {
        state_ = State::kChecksum;
      } else if (b == kStx) {
        body_.clear();
        raw_ = {kDle, kStx};
        state_ = State::kBody;
      } else {
        state_ = State::kHunt;
      }
      break;
    case State::kChecksum: {
      raw_.push_back(b);
      state_ = State::kHunt;
      const bool ok = Checksum(body_) == b;
      Frame frame{std::move(body_), std::move(raw_), ok};
      body_.clear();
      raw_.clear();
      return frame;
    }
  }
  return std::nullopt;
}

std::string Hex(std::span<const uint8_t> bytes) {
  std::string out;
  char part[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(part, sizeof part, i == 0 ? "%02X" : " %02X", bytes[i]);
    out += part;
  }
  return out;
}

std::string DecodeBody(std::span<const uint8_t> body, bool reply) {
  if (body.size() < 2) return "short frame";
  char text[160];
  const int station = body[0];
  const int command = body[1];
  if (reply && (command & 0x80)) {
    std::snprintf(text, sizeof text, "st %d error %d", station, command & 0x7F);
    return text;
  }
  static const char* const kNames[6] = {"?", "bit read",  "word read",
                                        "?", "bit write", "word write"};
  const char* name = command >= 1 && command <= 5 ? kNames[command] : "?";
  if (body.size() < kHeader) {
    std::snprintf(text, sizeof text, "st %d cmd %02X (%s) short", station, command, name);
    return text;
  }
  const int count = body[2];
  const int wire = (body[3] << 8) | body[4];
  int area = -1;
  int address = 0;
  if (command == kBitRead || command == kBitWrite) {
    area = BitArea(wire);
    if (area >= 0) address = wire - kAreas[area].first + 1;
  } else if (command == kWordRead || command == kWordWrite) {
    area = WordArea(wire);
    if (area >= 0) address = wire / 2 - kAreas[area].first + 1;
  }
  if (area < 0) {
    std::snprintf(text, sizeof text, "st %d %s address %04X? x%d%s", station, name, wire, count,
                  reply ? " reply" : "");
  } else {
    std::snprintf(text, sizeof text, "st %d %s %s%d x%d%s", station, name, kAreas[area].prefix,
                  address, count, reply ? " reply" : "");
  }
  return text;
}

}  // namespace dravik::plcsim
