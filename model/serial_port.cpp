#include "model/serial_port.h"

#include <type_traits>

#include "platform/archive.h"

namespace dravik {

// The record is six int32 on disk (24 bytes); each field must hold exactly
// what one of them carries on every target.
static_assert(std::is_same_v<decltype(CSerialPort::port), int32_t> &&
                  std::is_same_v<decltype(CSerialPort::baud), int32_t> &&
                  std::is_same_v<decltype(CSerialPort::parity), int32_t> &&
                  std::is_same_v<decltype(CSerialPort::data_bits), int32_t> &&
                  std::is_same_v<decltype(CSerialPort::stop_bits), int32_t> &&
                  std::is_same_v<decltype(CSerialPort::options), uint32_t>,
              "port settings are stored as 32-bit fields");

void CSerialPort::Serialize(CArchive& ar) {
  if (ar.IsStoring()) {
    ar.PutInt32(port);
    ar.PutInt32(baud);
    ar.PutInt32(parity);
    ar.PutInt32(data_bits);
    ar.PutInt32(stop_bits);
    ar.PutInt32(static_cast<int32_t>(options & kStoredOptions));
  } else {
    port = ar.GetInt32();
    baud = ar.GetInt32();
    parity = ar.GetInt32();
    data_bits = ar.GetInt32();
    stop_bits = ar.GetInt32();
    options = static_cast<uint32_t>(ar.GetInt32()) & kStoredOptions;
  }
}

}  // namespace dravik
