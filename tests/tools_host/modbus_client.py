#!/usr/bin/env python3
"""A Modbus TCP client on Debian's pymodbus: modbus_client.py PORT OP...,
OP = KIND:UNIT:ADDRESS[:COUNT or VALUES] with KIND hr, ir, co, di (reads),
w6, w5, w16, w15 (writes; values split by ','). One line per OP: "ok [V,...]",
"exc N", or "error TEXT" when no response came."""
import sys

from pymodbus.client import ModbusTcpClient


def run(client, op):
    kind, unit, address, *rest = op.split(":")
    unit, address = int(unit), int(address)
    arg = rest[0] if rest else "1"
    reads = {"hr": client.read_holding_registers, "ir": client.read_input_registers,
             "co": client.read_coils, "di": client.read_discrete_inputs}
    if kind in reads:
        r = reads[kind](address, int(arg), slave=unit)
    elif kind == "w6":
        r = client.write_register(address, int(arg), slave=unit)
    elif kind == "w5":
        r = client.write_coil(address, arg == "1", slave=unit)
    elif kind == "w16":
        r = client.write_registers(address, [int(v) for v in arg.split(",")], slave=unit)
    elif kind == "w15":
        r = client.write_coils(address, [v == "1" for v in arg.split(",")], slave=unit)
    else:
        return "error unknown operation " + kind
    if r.isError():
        code = getattr(r, "exception_code", None)
        return "exc %d" % code if code is not None else "error %s" % r
    if kind in ("hr", "ir"):
        return "ok " + ",".join(str(v) for v in r.registers)
    if kind in ("co", "di"):
        return "ok " + ",".join(str(int(v)) for v in r.bits[: int(arg)])
    return "ok"


def main():
    client = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), timeout=20, retries=0)
    if not client.connect():
        print("error cannot connect")
        return 1
    for op in sys.argv[2:]:
        try:
            print(run(client, op), flush=True)
        except Exception as e:  # a closed connection, a time-out: the test decides
            print("error %s" % e, flush=True)
    client.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
