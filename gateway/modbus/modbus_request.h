// What a Modbus TCP client asked: the checks of a request frame as libmodbus
// received it, and its function, address, quantity and values. libmodbus
// frames the request by its function code; the checks here add what it
// leaves to the server: the MBAP header must agree with the frame, and each
// function's quantity and values must lie within the protocol's limits.
// Pure; any thread.
#pragma once

#include <cstdint>
#include <vector>

namespace dravik::host {

constexpr int kReadCoils = 1;
constexpr int kReadDiscreteInputs = 2;
constexpr int kReadHoldingRegisters = 3;
constexpr int kReadInputRegisters = 4;
constexpr int kWriteSingleCoil = 5;
constexpr int kWriteSingleRegister = 6;
constexpr int kWriteMultipleCoils = 15;
constexpr int kWriteMultipleRegisters = 16;

// The MBAP header and the unit id: 7 bytes before the function code.
constexpr int kMbapBytes = 7;

struct ModbusRequest {
  int transaction = 0;
  int unit = 0;
  int function = 0;
  int address = 0;  // zero-based, as on the wire
  int count = 0;
  bool bit = false;              // coils or discrete inputs, else registers
  bool write = false;            // functions 5, 6, 15, 16
  std::vector<uint16_t> values;  // what a write writes: registers, or bits as 0 and 1
};

// What the MBAP header says of a frame as libmodbus received it:
//   0   the frame is whole;
//   n>0 n more bytes belong to it: libmodbus reads only the function code of
//       a function it does not know (diagnostics, device identification), so
//       the rest waits on the socket, to be read and answered with 01;
//   -1  no Modbus TCP request that can be answered at all: shorter than a
//       header and function code, a protocol id other than 0, or a length
//       field that disagrees with a function libmodbus frames whole. The
//       connection is then closed.
int CheckAdu(const uint8_t* adu, int length);

// Decodes a frame CheckAdu accepted. 0, or the exception to answer with:
// kIllegalFunction for a function the gateway does not serve,
// kIllegalDataValue for a quantity outside the function's limits, a byte
// count that disagrees with it, or a coil value other than FF00 or 0000.
int DecodeRequest(const uint8_t* adu, int length, ModbusRequest* out);

// "read_holding_registers", ... and "other": the names /metrics uses.
const char* FunctionName(int function);
// "illegal_data_address", ...: the result names /metrics uses; "ok" for 0.
const char* ResultName(int exception);

}  // namespace dravik::host
