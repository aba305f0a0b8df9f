// What the two line benches share: a count of the allocations made on the
// driver's own threads (this file pair replaces the global operator new of
// the program that links it), the driver's function table as loaded, and the
// folder the program runs from. Any thread may call these.
#pragma once

#include <cstdint>
#include <string>

namespace dravik::bench {

// Allocations made so far on threads whose names start with "dravik-" (the
// driver's scheduler and event threads).
uint64_t DriverAllocations();

// The driver's function table, as dlopen and DrvFuncTable give it.
struct Driver {
  void** table = nullptr;
  template <typename Fn>
  Fn Slot(int i) const {
    return reinterpret_cast<Fn>(table[i]);
  }
};

// The folder of the running program: the driver and the host libraries
// lie beside it.
std::string ProgramFolder();

}  // namespace dravik::bench
