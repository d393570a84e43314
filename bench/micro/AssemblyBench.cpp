// Building the frames a host sends, each type as a transfer sends it: commands and values to start
// an operation, a block per 4096 archive bytes in an upload, an acknowledgement per block in a
// download.

#include <benchmark/benchmark.h>

#include <cstring>

#include "BenchData.h"
#include "protocol/HostFrames.h"

namespace quillon::bench {
namespace {

// A link whose frames go nowhere, so that only the building is measured. Its codec holds the
// bench key, as a link does once it has announced one.
class SinkLink : public HostFrames<SinkLink> {
public:
    SinkLink() { InstallKey(kBenchKey); }

    int SendBytes(const char* data, int count)
    {
        benchmark::DoNotOptimize(data);
        sent_ += count;
        return count;
    }

    std::int64_t sent() const { return sent_; }

private:
    std::int64_t sent_ = 0;
};

const Bytes kArchive = Noise(kBlockDataSize);
const std::uint8_t kArchiveSize[4] = {0x40, 0x42, 0x0F, 0x00};  // 1,000,000 bytes, little-endian

template <FrameType Type>
void SendOne(SinkLink& link, std::uint16_t index)
{
    if constexpr (Type == FrameType::Command)
        link.SendCommand(command::kWrite, 0, command::kSettings);
    else if constexpr (Type == FrameType::Value)
        link.SendValue(value::kArchiveSize, 0, kArchiveSize, sizeof kArchiveSize);
    else if constexpr (Type == FrameType::Block)
        link.SendBlock(kArchive.data(), kBlockDataSize, index);
    else
        link.SendAck();
}

// The host's own sends: lay out, seal under the codec's key (one lock to read it), hand over.
template <FrameType Type>
void BM_HostFrameSend(benchmark::State& state)
{
    SinkLink link;
    std::uint16_t index = 0;
    for (auto _ : state)
        SendOne<Type>(link, index++);
    state.SetBytesProcessed(link.sent());
}
BENCHMARK_TEMPLATE(BM_HostFrameSend, FrameType::Command)->Name("BM_HostFrameSend/command");
BENCHMARK_TEMPLATE(BM_HostFrameSend, FrameType::Value)->Name("BM_HostFrameSend/value");
BENCHMARK_TEMPLATE(BM_HostFrameSend, FrameType::Block)->Name("BM_HostFrameSend/block");
BENCHMARK_TEMPLATE(BM_HostFrameSend, FrameType::Ack)->Name("BM_HostFrameSend/ack");

// The codec's one-call assembly with a key in hand, without the link's lock.
void BM_AssembleFrame(benchmark::State& state, FrameType type, Bytes body)
{
    std::uint8_t frame[kMaxFrameSize];
    int length = 0;
    for (auto _ : state) {
        length = AssembleFrame(frame, TypeByte(type), body, kBenchKey);
        benchmark::DoNotOptimize(frame);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * length);
}

Bytes BlockBody()
{
    Bytes body = {0x2A, 0x01};  // block 298
    body.insert(body.end(), kArchive.begin(), kArchive.end());
    return body;
}

BENCHMARK_CAPTURE(BM_AssembleFrame, command, FrameType::Command,
                  Bytes{command::kWrite, 0, command::kSettings, 0});
BENCHMARK_CAPTURE(BM_AssembleFrame, value, FrameType::Value,
                  Bytes{value::kArchiveSize, 0, 0x40, 0x42, 0x0F, 0x00, 0, 0, 0, 0, 0, 0, 0, 0});
BENCHMARK_CAPTURE(BM_AssembleFrame, block, FrameType::Block, BlockBody());
BENCHMARK_CAPTURE(BM_AssembleFrame, ack, FrameType::Ack, Bytes{0, 0, 0, 0});

}  // namespace
}  // namespace quillon::bench
