#include "gateway/modbus/modbus_request.h"

#include "gateway/modbus/modbus_image.h"

namespace dravik::host {
namespace {

int Word(const uint8_t* p) { return (p[0] << 8) | p[1]; }

// Functions libmodbus frames with their data, which the gateway refuses.
constexpr int kMaskWriteRegister = 22;
constexpr int kWriteAndReadRegisters = 23;

// The protocol's limits on the quantity of one request.
constexpr int kMaxReadBits = 2000;
constexpr int kMaxReadRegisters = 125;
constexpr int kMaxWriteBits = 1968;
constexpr int kMaxWriteRegisters = 123;

// The values of function 15 or 16, after its byte count. False when the
// count or the byte count is outside the limits or the frame is short.
bool DecodeMultiple(const uint8_t* pdu, int pdu_length, ModbusRequest* out) {
  const bool bit = out->function == kWriteMultipleCoils;
  if (pdu_length < 6) return false;
  const int bytes = pdu[5];
  const int needed = bit ? (out->count + 7) / 8 : out->count * 2;
  if (out->count < 1 || out->count > (bit ? kMaxWriteBits : kMaxWriteRegisters) ||
      bytes != needed || pdu_length < 6 + bytes) {
    return false;
  }
  const uint8_t* data = pdu + 6;
  for (int i = 0; i < out->count; ++i) {
    out->values.push_back(bit ? static_cast<uint16_t>((data[i / 8] >> (i % 8)) & 1)
                              : static_cast<uint16_t>(Word(data + 2 * i)));
  }
  return true;
}

}  // namespace

int CheckAdu(const uint8_t* adu, int length) {
  if (adu == nullptr || length < kMbapBytes + 1) return -1;
  if (Word(adu + 2) != 0) return -1;
  // The length field counts the unit id and the PDU, at most 254 bytes.
  const int missing = Word(adu + 4) - (length - 6);
  if (missing == 0) return 0;
  const int f = adu[7];
  const bool framed_whole = (f >= kReadCoils && f <= kWriteSingleRegister) ||
                            f == kWriteMultipleCoils || f == kWriteMultipleRegisters ||
                            f == kMaskWriteRegister || f == kWriteAndReadRegisters;
  return missing > 0 && !framed_whole && Word(adu + 4) <= 254 ? missing : -1;
}

int DecodeRequest(const uint8_t* adu, int length, ModbusRequest* out) {
  *out = ModbusRequest{};
  out->transaction = Word(adu);
  out->unit = adu[6];
  out->function = adu[7];
  const uint8_t* pdu = adu + kMbapBytes;
  const int pdu_length = length - kMbapBytes;
  const int f = out->function;
  if (f < kReadCoils ||
      (f > kWriteSingleRegister && f != kWriteMultipleCoils && f != kWriteMultipleRegisters)) {
    return kIllegalFunction;
  }
  if (pdu_length < 5) return kIllegalDataValue;
  out->address = Word(pdu + 1);
  out->bit = f == kReadCoils || f == kReadDiscreteInputs || f == kWriteSingleCoil ||
             f == kWriteMultipleCoils;
  out->write = f >= kWriteSingleCoil;
  const int field = Word(pdu + 3);
  switch (f) {
    case kWriteSingleCoil:
      if (field != 0xFF00 && field != 0) return kIllegalDataValue;
      out->count = 1;
      out->values.push_back(field == 0xFF00 ? 1 : 0);
      return 0;
    case kWriteSingleRegister:
      out->count = 1;
      out->values.push_back(static_cast<uint16_t>(field));
      return 0;
    case kWriteMultipleCoils:
    case kWriteMultipleRegisters:
      out->count = field;
      return DecodeMultiple(pdu, pdu_length, out) ? 0 : kIllegalDataValue;
    default:
      out->count = field;
      return field >= 1 && field <= (out->bit ? kMaxReadBits : kMaxReadRegisters)
                 ? 0
                 : kIllegalDataValue;
  }
}

const char* FunctionName(int function) {
  switch (function) {
    case kReadCoils:
      return "read_coils";
    case kReadDiscreteInputs:
      return "read_discrete_inputs";
    case kReadHoldingRegisters:
      return "read_holding_registers";
    case kReadInputRegisters:
      return "read_input_registers";
    case kWriteSingleCoil:
      return "write_single_coil";
    case kWriteSingleRegister:
      return "write_single_register";
    case kWriteMultipleCoils:
      return "write_multiple_coils";
    case kWriteMultipleRegisters:
      return "write_multiple_registers";
    default:
      return "other";
  }
}

const char* ResultName(int exception) {
  switch (exception) {
    case 0:
      return "ok";
    case kIllegalFunction:
      return "illegal_function";
    case kIllegalDataAddress:
      return "illegal_data_address";
    case kIllegalDataValue:
      return "illegal_data_value";
    case kServerDeviceFailure:
      return "server_device_failure";
    case kServerDeviceBusy:
      return "server_device_busy";
    case kGatewayPathUnavailable:
      return "gateway_path_unavailable";
    case kGatewayTargetFailed:
      return "gateway_target_failed";
    default:
      return "other";
  }
}

}  // namespace dravik::host
