// Throughput of sealing and opening messages of the sizes the version query uses.
#include <benchmark/benchmark.h>

#include <string>

#include "crypto/sealing.h"

namespace {

void BM_SealMessage(benchmark::State& state) {
  const std::string plain(static_cast<std::size_t>(state.range(0)), 'x');
  std::string sealed;
  for (auto _ : state) {
    benchmark::DoNotOptimize(SealToString(plain, sealed));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SealMessage)->Arg(3)->Arg(100)->Arg(4096);

void BM_UnsealMessage(benchmark::State& state) {
  const std::string plain(static_cast<std::size_t>(state.range(0)), 'x');
  std::string sealed;
  SealToString(plain, sealed);
  std::string opened;
  for (auto _ : state) {
    benchmark::DoNotOptimize(UnsealToString(sealed.data(), static_cast<std::uint32_t>(sealed.size()), opened));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_UnsealMessage)->Arg(3)->Arg(100)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
