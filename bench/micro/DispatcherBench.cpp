// The receive dispatcher taking a download's blocks: the index check, the receive check, the block
// appended to the archive on disk, the progress, and the acknowledgement that asks for the next.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "BenchData.h"
#include "ScratchFolder.h"
#include "protocol/HostFrames.h"
#include "transfer/TransferInternals.h"

namespace quillon::bench {
namespace {

// Tests hold the device port for seconds at a time, suites of them for minutes; a busy port is
// tried again a second later, for up to this many attempts.
constexpr int kPortAttempts = 300;

// The download restarts after this many blocks (a 1 MiB archive on disk), under a paused clock,
// so that the archive never grows without limit and the frames can be laid out afresh: the
// dispatcher unscrambles each in place.
constexpr int kBlocksPerDownload = 256;
// The size the device announces: more blocks than one round takes, so that no round reaches the
// last block (whose unpacking would be a benchmark of the zip reader, not of the dispatcher).
constexpr std::uint32_t kAnnouncedSize = 8u * 1024 * 1024;

// One transfer object for the whole process, as a host has, so that the device port is needed
// once and not for every run and repetition, and the folder its downloads go to. The TCP link is
// the chosen one and holds the bench key. Its listener is shut as soon as it is up: the
// acknowledgements go to no device either way, and the port is then free again at once for the
// tests that may be running beside the benchmarks.
struct BenchHost {
    ScratchFolder folder;  // goes last, after the object has dropped its download
    std::unique_ptr<CQuillon> quillon;
};

std::unique_ptr<BenchHost>& SharedHost()
{
    static std::unique_ptr<BenchHost> host;
    return host;
}

BenchHost* Host(benchmark::State& state)
{
    static bool tried = false;
    auto& shared = SharedHost();
    if (!tried) {
        tried = true;
        auto host = std::make_unique<BenchHost>();
        for (int attempt = 0; host->folder.ok() && attempt < kPortAttempts; ++attempt) {
            auto quillon = std::make_unique<CQuillon>();
            auto& tcp = TransferInternals::TcpLink(*quillon);
            if (tcp.listeningPort() == kDevicePort) {
                tcp.stop();
                tcp.InstallKey(kBenchKey);
                CSysconfig_SET::get()->SetSeriOrTcp(kTcpLink);
                host->quillon = std::move(quillon);
                shared = std::move(host);
                break;
            }
            quillon.reset();
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }
    if (!shared)
        state.SkipWithError("no temporary folder, or port 8234 stayed busy");
    return shared.get();
}

void BM_DispatchDownloadBlock(benchmark::State& state)
{
    BenchHost* const host = Host(state);
    if (!host)
        return;
    CQuillon* const quillon = host->quillon.get();
    const std::string zipPath = host->folder.file("download.zip");
    auto& registry = *CSysconfig_SET::get();

    Bytes sizeBody = {value::kArchiveSize, 0, 0, 0, 0, 0};
    WriteLe32(sizeBody.data() + 2, kAnnouncedSize);
    const Bytes sizeFrame = SealedFrame(FrameType::Value, sizeBody);
    Bytes blocks;
    for (int index = 0; index < kBlocksPerDownload; ++index) {
        const Bytes frame = BlockFrame(static_cast<std::uint16_t>(index));
        blocks.insert(blocks.end(), frame.begin(), frame.end());
    }
    Bytes inFlight(blocks.size());

    // What a host's download and the device's size reply do before the first block comes.
    const auto startDownload = [&] {
        std::memcpy(inFlight.data(), blocks.data(), blocks.size());
        quillon->ReadSetFromHard(zipPath, 0);
        Bytes reply = sizeFrame;
        return TransferInternals::ParseMsg(*quillon, reply.data(), static_cast<int>(reply.size())) == 0 &&
               registry.ReadStarted.load() == 1;
    };

    int next = kBlocksPerDownload;
    bool accepted = true;
    for (auto _ : state) {
        if (next == kBlocksPerDownload) {
            state.PauseTiming();
            accepted &= startDownload();
            next = 0;
            state.ResumeTiming();
        }
        accepted &=
            TransferInternals::ParseMsg(*quillon, inFlight.data() + next * kMaxFrameSize, kMaxFrameSize) == 0;
        ++next;
    }
    if (!accepted)
        state.SkipWithError("the dispatcher refused a block of the download");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kBlockDataSize);
}
BENCHMARK(BM_DispatchDownloadBlock);

}  // namespace

void ReleaseTransferObject() { SharedHost().reset(); }

}  // namespace quillon::bench
