// Throughput of sealing and opening messages of the sizes the version query uses, and of the signature
// check of downloaded manifests.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "crypto/sealing.h"
#include "crypto/signed_file.h"
#include "server/publisher.h"

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

// The check of a manifest of that many entries, signed by the publisher with this build's key.
void BM_VerifySignedData(benchmark::State& state) {
  std::vector<PublishedEntry> entries;
  for (std::int64_t i = 0; i < state.range(0); ++i) {
    entries.push_back(PublishedEntry{"Plugins", "part" + std::to_string(i) + ".dat", std::string(27, 'A') + "="});
  }
  std::string signedText;
  std::string error;
  if (!SignManifest(BuildManifestSigningKey(), ManifestText(entries), signedText, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const auto* data = reinterpret_cast<const unsigned char*>(signedText.data());
  if (!VerifySignedData(data, signedText.size())) {
    state.SkipWithError("the signed manifest does not verify");
    return;
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(VerifySignedData(data, signedText.size()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(signedText.size()));
}
BENCHMARK(BM_VerifySignedData)->Arg(10)->Arg(1000)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
