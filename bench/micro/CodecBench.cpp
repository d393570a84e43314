// The codec's per-byte work on a block frame, the frame that carries an archive: 4098 body bytes
// to scramble, 4102 bytes to checksum, on every block in both directions.

#include <benchmark/benchmark.h>

#include "BenchData.h"

namespace quillon::bench {
namespace {

void BM_ScrambleBlockBody(benchmark::State& state)
{
    const int keyLength = static_cast<int>(state.range(0));
    Bytes frame = BlockFrame(7);
    for (auto _ : state) {
        ScrambleBody(frame.data(), kMaxFrameSize, kBenchKey, keyLength);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (kMaxFrameSize - 6));
}
// Links always use all six key bytes; five shows the cost of a key whose length does not divide a
// machine word.
BENCHMARK(BM_ScrambleBlockBody)->ArgName("keyLength")->Arg(6)->Arg(5);

void BM_BlockChecksum(benchmark::State& state)
{
    const Bytes frame = BlockFrame(7);
    for (auto _ : state) {
        benchmark::DoNotOptimize(FrameChecksum(frame.data(), kMaxFrameSize));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (kMaxFrameSize - 2));
}
BENCHMARK(BM_BlockChecksum);

// The receive check that accepts a block: checksum, then unscramble in place. With the bench key
// an accepted frame passes the check again (see kBenchKey), so the loop needs no refill.
void BM_CheckBlockFrame(benchmark::State& state)
{
    Bytes frame = BlockFrame(7);
    bool allAccepted = true;
    for (auto _ : state) {
        allAccepted &= CheckFrame(frame.data(), kMaxFrameSize, kBenchKey);
        benchmark::ClobberMemory();
    }
    if (!allAccepted)
        state.SkipWithError("a block frame was refused");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kMaxFrameSize);
}
BENCHMARK(BM_CheckBlockFrame);

}  // namespace
}  // namespace quillon::bench
