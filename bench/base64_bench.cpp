// Throughput of Base64Decode on a parameters block of the largest size a
// package may carry (20 MiB of base64 text).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "package/base64.h"
#include "package/package_layout.h"

namespace {

// Base64 text of random bytes, exactly length characters, unpadded.
std::string RandomBase64(std::size_t length) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::mt19937 random(42);
    std::string text(length, 'A');
    for (auto& c : text) {
        c = kAlphabet[random() & 63];
    }
    return text;
}

void BM_Base64DecodeLargestBlock(benchmark::State& state) {
    const std::string text =
        RandomBase64(static_cast<std::size_t>(package_layout::kBlockSizeLimit));
    for (auto _ : state) {
        auto decoded = Base64Decode(text);
        benchmark::DoNotOptimize(decoded.data());
        benchmark::ClobberMemory();
    }
    // Bytes of base64 text consumed per second.
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_Base64DecodeLargestBlock)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
