#include "model/serial_port.h"

#include "platform/archive.h"

namespace dravik {

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
