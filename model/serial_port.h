// CSerialPort: the serial line settings of one project, stored as the list
// indexes the editor shows (port, baud, parity, data bits, stop bits) plus a
// word of option flags. Held by value in the document; read on the host's
// thread when the port is opened.
#pragma once

#include <cstdint>

#include "model/object_registry.h"

namespace dravik {

class CArchive;

class CSerialPort : public CPersistentObject {
 public:
  static constexpr const char* kClassName = "CSerialPort";
  static constexpr uint32_t kUseChecksum = 0x1;  // "Check Sum 사용"
  static constexpr uint32_t kRtsCts = 0x2;       // "RTS/CTS 제어"
  // Bits 2..31 carry nothing: read as 0 and written as 0, so a file with
  // them set behaves and saves like the same file with them clear.
  static constexpr uint32_t kStoredOptions = kUseChecksum | kRtsCts;

  const char* GetRuntimeClassName() const override { return kClassName; }
  // Six int32: port, baud, parity, data bits, stop bits, options.
  void Serialize(CArchive& ar);

  int port = 0;       // COM(port + 1)
  int baud = 5;       // 300 << baud: 300 .. 19200, default 9600
  int parity = 0;     // 0 none, 1 even, 2 odd
  int data_bits = 1;  // 0 seven, 1 eight
  int stop_bits = 0;  // 0 one, 1 two
  uint32_t options = 0;

  bool operator==(const CSerialPort& o) const {
    return port == o.port && baud == o.baud && parity == o.parity && data_bits == o.data_bits &&
           stop_bits == o.stop_bits && options == o.options;
  }
};

}  // namespace dravik
