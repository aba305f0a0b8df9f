// Micro-benchmarks of the per-exchange byte work: building requests, checking
// replies, decoding values.
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "runtime/frame_codec.h"
#include "runtime/value_conversion.h"

namespace dravik {
namespace {

void BM_BuildReadRequest(benchmark::State& state) {
  std::array<uint8_t, kReadRequestBytes> frame{};
  int expected = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(BuildReadRequest(frame, 16, 7, 9, 60, &expected));
  }
}
BENCHMARK(BM_BuildReadRequest);

void BM_StuffUnstuffWorstCase(benchmark::State& state) {
  std::vector<uint8_t> buffer(512, 0);
  for (auto _ : state) {
    std::fill(buffer.begin(), buffer.begin() + 125, kDle);
    const int n = StuffDle(buffer, 125);
    benchmark::DoNotOptimize(UnstuffDle(buffer, static_cast<size_t>(n)));
  }
}
BENCHMARK(BM_StuffUnstuffWorstCase);

void BM_CheckReadReply(benchmark::State& state) {
  std::vector<uint8_t> payload(125, 0x12);
  payload[1] = 0x02;
  std::string detail;
  for (auto _ : state) benchmark::DoNotOptimize(CheckReadReply(0, payload, 125, &detail));
}
BENCHMARK(BM_CheckReadReply);

void BM_PostValueEventBcd8(benchmark::State& state) {
  ValueEventList list;
  TagBinding binding;
  binding.type = 11;
  binding.bit_or_length = 4;
  const std::array<uint8_t, 4> bytes = {0x78, 0x56, 0x34, 0x12};
  for (auto _ : state) {
    PostValueEvent(list, binding, bytes);
    list.Clear();
  }
}
BENCHMARK(BM_PostValueEventBcd8);

}  // namespace
}  // namespace dravik
