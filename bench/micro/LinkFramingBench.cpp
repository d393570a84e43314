// What the TCP link does with the device's bytes before the dispatcher sees a frame: the splitter
// cuts the stream into frames, the link tests each chunk for completeness, and an oversized chunk
// is searched for a block frame worth salvaging.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <span>
#include <string>

#include "BenchData.h"
#include "protocol/FrameSplitter.h"
#include "transport/FrameDelivery.h"

namespace quillon::bench {
namespace {

std::string Chunk(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes Joined(std::initializer_list<Bytes> frames)
{
    Bytes joined;
    for (const auto& frame : frames)
        joined.insert(joined.end(), frame.begin(), frame.end());
    return joined;
}

// The frames a device sends, with noise bodies where the content is free.
Bytes DeviceFrame(FrameType type, std::uint32_t seed)
{
    return type == FrameType::Block
               ? BlockFrame(static_cast<std::uint16_t>(seed))
               : SealedFrame(type, Noise(static_cast<std::size_t>(FrameLength(type)) - 6, seed));
}

// ---- the completeness test, one chunk as the link holds it ----

void BM_IsFrameComplete(benchmark::State& state, FrameType type)
{
    std::string chunk = Chunk(DeviceFrame(type, 3));
    bool allComplete = true;
    for (auto _ : state) {
        allComplete &= IsFrameComplete(chunk);
        benchmark::ClobberMemory();
    }
    if (!allComplete)
        state.SkipWithError("a whole frame was found incomplete");
}
BENCHMARK_CAPTURE(BM_IsFrameComplete, ack, FrameType::Ack);
BENCHMARK_CAPTURE(BM_IsFrameComplete, value, FrameType::Value);
BENCHMARK_CAPTURE(BM_IsFrameComplete, record, FrameType::Record);
BENCHMARK_CAPTURE(BM_IsFrameComplete, block, FrameType::Block);

// A greeting, alone or right before a block: the test drops the greeting from the chunk, so each
// pass starts from a fresh copy of the chunk, as the link's receive buffer is refilled for every
// delivery. BM_RefillChunk is that copy alone, for the greeting and a block.
const std::string kGreeting = Chunk(DeviceFrame(FrameType::Hello, 5));
const std::string kGreetingThenBlock = kGreeting + Chunk(BlockFrame(9));

void BM_IsFrameCompleteDroppingGreeting(benchmark::State& state, const std::string& received, bool complete)
{
    std::string chunk;
    chunk.reserve(received.size());
    bool asExpected = true;
    for (auto _ : state) {
        chunk.assign(received);
        asExpected &= IsFrameComplete(chunk) == complete;
        benchmark::ClobberMemory();
    }
    if (!asExpected)
        state.SkipWithError("the test did not find what the chunk holds");
}
// Alone, the greeting is dropped and nothing is left to deliver.
BENCHMARK_CAPTURE(BM_IsFrameCompleteDroppingGreeting, greeting, kGreeting, false);
BENCHMARK_CAPTURE(BM_IsFrameCompleteDroppingGreeting, greeting_then_block, kGreetingThenBlock, true);

void BM_RefillChunk(benchmark::State& state)
{
    std::string chunk;
    chunk.reserve(kGreetingThenBlock.size());
    for (auto _ : state) {
        chunk.assign(kGreetingThenBlock);
        benchmark::DoNotOptimize(chunk.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RefillChunk);

// ---- the splitter over a stream that holds every frame a device sends ----

void BM_CutFrames(benchmark::State& state)
{
    Bytes stream;
    std::size_t frames = 0;
    for (std::uint32_t round = 0; round < 8; ++round) {
        for (FrameType type :
             {FrameType::Hello, FrameType::Record, FrameType::Value, FrameType::Ack, FrameType::Block,
              FrameType::Ack, FrameType::Block, FrameType::Value, FrameType::Ack, FrameType::Block}) {
            const Bytes frame = DeviceFrame(type, round * 16 + frames % 16);
            stream.insert(stream.end(), frame.begin(), frame.end());
            ++frames;
        }
    }

    std::size_t cut = 0;
    for (auto _ : state) {
        std::size_t offset = 0;
        cut = 0;
        while (offset < stream.size()) {
            const std::size_t length = CutFrame(std::span(stream).subspan(offset)).length;
            if (length == 0)
                break;
            offset += length;
            ++cut;
        }
        benchmark::DoNotOptimize(offset);
    }
    if (cut != frames)
        state.SkipWithError("the stream was not cut into its frames");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * frames));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_CutFrames);

// ---- delivery of a chunk longer than any frame ----

void BM_DeliverOversizedChunk(benchmark::State& state, Bytes chunkBytes, bool holdsBlock)
{
    std::string chunk = Chunk(chunkBytes);
    bool sawBlock = false;
    const MessageHandler handler = [&sawBlock](unsigned char* frame, int length) {
        sawBlock = frame[0] == kFrameStart;
        benchmark::DoNotOptimize(frame);
        return length;
    };
    bool asExpected = true;
    for (auto _ : state) {
        benchmark::DoNotOptimize(DeliverChunk(chunk, handler));
        asExpected &= sawBlock == holdsBlock;
    }
    if (!asExpected)
        state.SkipWithError("the search did not end as the chunk says");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk.size()));
}

// Bytes that could never start a frame: without a start byte the search has to go to the end.
Bytes Stray(std::size_t count)
{
    Bytes bytes = Noise(count, 77);
    std::replace(bytes.begin(), bytes.end(), kFrameStart, static_cast<std::uint8_t>(kFrameStart + 1));
    return bytes;
}

// Two frames that arrived together: the block is found 20 bytes in.
BENCHMARK_CAPTURE(BM_DeliverOversizedChunk, value_then_block,
                  Joined({DeviceFrame(FrameType::Value, 4), BlockFrame(11)}), true);
// Stray bytes a little over a frame, and a whole 16 KiB read of them: the splitter passes stray
// bytes on up to the next start byte, so one read of the TCP server is the most that comes at once.
BENCHMARK_CAPTURE(BM_DeliverOversizedChunk, stray_5000, Stray(5000), false);
BENCHMARK_CAPTURE(BM_DeliverOversizedChunk, stray_16k, Stray(16 * 1024), false);

}  // namespace
}  // namespace quillon::bench
