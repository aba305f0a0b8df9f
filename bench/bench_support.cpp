#include "bench/bench_support.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::atomic<uint64_t> g_allocations{0};

bool OnDriverThread() {
  thread_local int driver = -1;
  if (driver < 0) {
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    driver = std::strncmp(name, "dravik-", 7) == 0 ? 1 : 0;
  }
  return driver == 1;
}

}  // namespace

// The driver's operator new resolves to this one, as the program's does.
void* operator new(size_t n) {
  if (OnDriverThread()) g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace dravik::bench {

uint64_t DriverAllocations() { return g_allocations.load(); }

std::string ProgramFolder() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string p(buf, n > 0 ? static_cast<size_t>(n) : 0);
  return p.substr(0, p.rfind('/'));
}

}  // namespace dravik::bench
