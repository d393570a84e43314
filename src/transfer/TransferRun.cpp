#include "transfer/TransferRun.h"

#include <filesystem>
#include <future>
#include <optional>
#include <system_error>
#include <thread>

#include "support/fs/ScratchFile.h"
#include "transfer/PendingOp.h"
#include "transfer/Quillon.h"
#include "transfer/TransferInternals.h"

namespace quillon {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kPass = std::chrono::milliseconds(20);
// The transfer object ends a failed download by giving the operation up, and one that did not
// unpack by marking it finished as well, a moment later; this is how long that moment may be.
constexpr auto kFinishGrace = std::chrono::milliseconds(200);

CSysconfig_SET& Registry() { return *CSysconfig_SET::get(); }

// A watch's clock and stop request, looked at once a pass.
class Watching {
public:
    explicit Watching(const TransferWatch& watch) : watch_(watch), deadline_(Clock::now() + watch.timeout) {}

    // Why the transfer must end now, if it must.
    std::optional<TransferEnd> Ending() const
    {
        if (watch_.stopRequested && watch_.stopRequested())
            return TransferEnd::Interrupted;
        if (watch_.timeout.count() > 0 && Clock::now() >= deadline_)
            return TransferEnd::TimedOut;
        return std::nullopt;
    }

    void Show(int percent) const
    {
        if (watch_.progress)
            watch_.progress(std::min(percent, 99));
    }

private:
    const TransferWatch& watch_;
    const Clock::time_point deadline_;
};

}  // namespace

TransferOutcome RunUpload(CQuillon& quillon, const std::string& archive, int kind, const TransferWatch& watch)
{
    auto& registry = Registry();
    const Watching watching(watch);
    // The transfer object blocks until the last block has gone; this thread watches meanwhile.
    auto sending = std::async(std::launch::async,
                              [&] { return quillon.WriteSettoHard(archive, static_cast<char>(kind)); });
    std::optional<TransferEnd> ended;
    while (sending.wait_for(kPass) != std::future_status::ready) {
        if (!ended)
            ended = watching.Ending();
        // Passed on at every pass: a cancel that came before the upload began is undone by it.
        if (ended)
            quillon.CancelTransfer();
        watching.Show(registry.GetWriteRate());
    }
    const int result = sending.get();
    // A stop that came with the last pass (a progress callback that cancels) ended the upload too.
    if (!ended)
        ended = watching.Ending();
    TransferOutcome outcome;
    outcome.percent = registry.GetWriteRate();
    if (result == 0) {
        // The last block is not acknowledged before the transfer object returns; a probe behind it
        // shows that the device took it and is still there. A host on its way out skips it.
        if (!ended && !quillon.JudgeIsAvailable())
            outcome.end = TransferEnd::Unconfirmed;
        return outcome;
    }
    if (ended) {
        outcome.end = *ended;
        return outcome;
    }
    if (TransferInternals::UploadFileFailed(quillon)) {
        outcome.end = TransferEnd::FileChanged;
        return outcome;
    }
    // A refusal ends the operation on the transfer object's side; silence leaves it pending.
    if (registry.PendingOp.load() == pending::kNone) {
        outcome.end = TransferEnd::Refused;
        return outcome;
    }
    outcome.deviceAnswers = quillon.JudgeIsAvailable();
    outcome.end = outcome.percent == 0 ? TransferEnd::NoAnswer : TransferEnd::Stopped;
    return outcome;
}

TransferOutcome RunDownload(CQuillon& quillon, const std::string& archive, const std::string& folder,
                            int kind, const TransferWatch& watch)
{
    auto& registry = Registry();
    const Watching watching(watch);
    ScratchFile incoming{fs::path(archive)};
    quillon.SetUnzipfloderpath(folder);
    quillon.ReadSetFromHard(incoming.path().string(), static_cast<char>(kind));

    TransferOutcome outcome;
    auto lastChange = Clock::now();
    std::int32_t lastBlocks = -1;
    for (;;) {
        if (registry.GetReadfinish()) {
            outcome.end =
                registry.PendingOp.load() == pending::kNone ? TransferEnd::NotUnpacked : TransferEnd::Done;
            break;
        }
        // Before the operation's own end: a cancel gives the operation up as a device's refusal does.
        if (const auto ending = watching.Ending()) {
            // No block is being handled once the cancel returns; a download that completed
            // before it took hold is kept, as nothing is gained by throwing it away.
            quillon.CancelTransfer();
            const bool completed = registry.GetReadfinish() && registry.PendingOp.load() != pending::kNone;
            outcome.end = completed ? TransferEnd::Done : *ending;
            break;
        }
        if (registry.PendingOp.load() == pending::kNone) {
            const auto graceEnd = Clock::now() + kFinishGrace;
            while (!registry.GetReadfinish() && Clock::now() < graceEnd)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            outcome.end = registry.GetReadfinish()           ? TransferEnd::NotUnpacked
                          : registry.ReadStarted.load() == 0 ? TransferEnd::Refused
                                                             : TransferEnd::BrokenOff;
            break;
        }
        const std::int32_t blocks = quillon.GetReadBlocksTaken();
        if (blocks != lastBlocks) {
            lastBlocks = blocks;
            lastChange = Clock::now();
        } else if (Clock::now() - lastChange > watch.stall) {
            quillon.CancelTransfer();
            // Asking whether the device is still there also tells it to give the download up.
            outcome.deviceAnswers = quillon.JudgeIsAvailable();
            outcome.end = registry.ReadStarted.load() == 0 ? TransferEnd::NoAnswer : TransferEnd::Stalled;
            break;
        }
        watching.Show(registry.GetReadRate());
        std::this_thread::sleep_for(kPass);
    }
    outcome.percent = registry.GetReadRate();
    if (outcome.end != TransferEnd::Done)
        return outcome;
    std::error_code error;
    fs::rename(incoming.path(), fs::path(archive), error);
    if (error) {
        outcome.end = TransferEnd::NotReplaced;
        outcome.error = error.message();
        return outcome;
    }
    incoming.Kept();
    return outcome;
}

}  // namespace quillon
