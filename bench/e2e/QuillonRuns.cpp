#include "QuillonRuns.h"

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "MinimalPeer.h"
#include "Processes.h"
#include "device/DeviceSimulator.h"
#include "protocol/FrameCodec.h"
#include "support/serial/SerialPortList.h"
#include "transfer/Quillon.h"

namespace quillon::bench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A port search trial takes about four seconds; TCP comes up within a few hundred milliseconds.
constexpr auto kOnlineLimit = 30s;
// Long enough for an acknowledgement to arrive and be taken: a round trip over loopback, or a padded
// acknowledgement at 115200 baud (6 ms) and the quiet after it.
constexpr auto kSettleTcp = 20ms;
constexpr auto kSettleSerial = 100ms;
// The longest transfer the benchmark waits for.
constexpr auto kTransferLimit = 120s;
// How often a wait looks again: fine enough not to blur a transfer of a few milliseconds.
constexpr auto kPoll = 200us;

template <typename Done>
bool WaitFor(Done&& done, Clock::duration limit)
{
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPoll);
    }
    return true;
}

CSysconfig_SET& Registry() { return *CSysconfig_SET::get(); }

}  // namespace

QuillonRig::QuillonRig(Link link, Device device, const std::filesystem::path& work, int deviceProcessor)
    : link_(link), work_(work)
{
    std::filesystem::create_directories(work_);
    LinkSettings settings;
    settings.listenAddress = "127.0.0.1";
    settings.port = 0;
    settings.listen = link == Link::Tcp;
    if (link == Link::Tcp)
        serial::pin_ports({});
    if (device == Device::MinimalPeer) {
        if (link != Link::Tcp) {
            error_ = "the minimal peer speaks TCP only";
            return;
        }
        quillon_ = std::make_unique<CQuillon>(settings);
        peer_ = std::make_unique<MinimalPeer>(quillon_->GetListeningPort(), deviceProcessor);
        if (!WaitFor([&] { return Registry().GetSeriOrTcp() == kTcpLink && peer_->keyed(); }, kOnlineLimit))
            error_ = "the minimal peer never came online";
        return;
    }

    sim::SimulatorOptions options;
    options.stateFolder = work_ / "device-state";
    if (link == Link::Tcp) {
        quillon_ = std::make_unique<CQuillon>(settings);
        options.transport = sim::Transport::Tcp;
        options.port = quillon_->GetListeningPort();
    } else {
        options.transport = sim::Transport::Pty;
        options.faults.lineRate = true;
    }
    device_ = std::make_unique<sim::DeviceSimulator>(options);
    std::string why;
    {
        const RunningOn deviceSide(deviceProcessor);
        why = device_->Start();
    }
    if (!why.empty()) {
        error_ = "the simulator does not start: " + why;
        return;
    }
    if (link == Link::Serial) {
        serial::pin_ports({device_->HostPortPath()});
        quillon_ = std::make_unique<CQuillon>(settings);
    }
    const int wanted = link == Link::Tcp ? kTcpLink : kSerialLink;
    if (!WaitFor([&] { return Registry().GetSeriOrTcp() == wanted && device_->GetStats().sessions >= 1; },
                 kOnlineLimit))
        error_ = "the device never came online";
    // A serial host sends its key twice; the second copy must be through before the clock starts.
    if (link == Link::Serial)
        std::this_thread::sleep_for(50ms);
}

QuillonRig::~QuillonRig()
{
    quillon_.reset();
    peer_.reset();
    device_.reset();
}

void QuillonRig::Settle() const
{
    // An upload returns once its last block has gone, before the device acknowledges it, and
    // acknowledgements carry nothing that tells one from another: a transfer started at once would
    // take that one for its command's, and run a block ahead of the device, faster than a host that
    // waits its turn. The pause is outside the time measured.
    std::this_thread::sleep_for(link_ == Link::Tcp ? kSettleTcp : kSettleSerial);
}

std::optional<double> QuillonRig::Upload(const std::filesystem::path& zip, char kind)
{
    Settle();
    if (peer_) {
        const std::uint64_t blocks = (std::filesystem::file_size(zip) + kBlockDataSize - 1) / kBlockDataSize;
        const std::uint64_t total = peer_->blocksTaken().count() + blocks;
        const auto start = Clock::now();
        if (quillon_->WriteSettoHard(zip.string(), kind) != 0 ||
            !peer_->blocksTaken().WaitFor(
                total, std::chrono::duration_cast<std::chrono::milliseconds>(kTransferLimit)))
            return std::nullopt;
        return std::chrono::duration<double>(Clock::now() - start).count();
    }
    const int stored = device_->GetStats().uploadsStored;
    const auto start = Clock::now();
    if (quillon_->WriteSettoHard(zip.string(), kind) != 0 ||
        !device_->WaitForStats([&](const sim::Stats& stats) { return stats.uploadsStored > stored; },
                               std::chrono::duration_cast<std::chrono::milliseconds>(kTransferLimit)))
        return std::nullopt;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::optional<double> QuillonRig::Download(const std::filesystem::path& to, char kind,
                                           const std::filesystem::path& source)
{
    Settle();
    if (peer_) {
        std::vector<std::uint8_t> archive(std::filesystem::file_size(source));
        std::ifstream in(source, std::ios::binary);
        if (!in.read(reinterpret_cast<char*>(archive.data()), static_cast<std::streamsize>(archive.size())))
            return std::nullopt;
        peer_->Serve(std::move(archive));
    }
    const auto folder = work_ / ("unpacked-" + std::to_string(++downloads_));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    quillon_->SetUnzipfloderpath(folder.string());
    auto& registry = Registry();
    const std::uint64_t served = peer_ ? peer_->downloadsServed().count() + 1 : 0;
    const int simulatorServed = device_ ? device_->GetStats().downloadsServed : 0;
    const auto start = Clock::now();
    quillon_->ReadSetFromHard(to.string(), kind);
    // The device wakes this thread when the host acknowledges the last block, which it does once
    // the archive is in place and unpacked; a poll would wake the host's processor every 0.2 ms in
    // the middle of the transfer it measures. A host that gives up tells the simulator so, which
    // wakes it too.
    const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(kTransferLimit);
    if (peer_ && !peer_->downloadsServed().WaitFor(served, limit))
        return std::nullopt;
    if (device_ && !device_->WaitForStats(
                       [&](const sim::Stats& stats) {
                           return stats.downloadsServed > simulatorServed || registry.PendingOp.load() == -1;
                       },
                       limit))
        return std::nullopt;
    if (!WaitFor([&] { return registry.GetReadfinish() || registry.PendingOp.load() == -1; }, kTransferLimit))
        return std::nullopt;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const bool ok = registry.GetReadfinish() && registry.PendingOp.load() != -1;
    std::filesystem::remove_all(folder);
    if (!ok)
        return std::nullopt;
    return seconds;
}

}  // namespace quillon::bench
