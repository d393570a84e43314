// An upload or a download run to its end, as a host wants one: blocking, with its progress, a stop
// request and a time-out, and an outcome that says what happened rather than -1. CQuillon's own
// transfers leave the waiting, and the telling of a refusal from silence, to the host; the command
// line tool and the C interface both do it here, so that they tell the same story of the same
// transfer.
//
// Thread-safety: one transfer at a time on a CQuillon, run on the calling thread, where the
// watch's callbacks are called too.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "support/base/Export.h"

class CQuillon;

namespace quillon {

// The largest archive the device takes.
inline constexpr std::int64_t kMaxArchiveBytes = 200'000'000;

struct TransferWatch {
    // Called at every pass (about every 20 ms) with how far the transfer is, below 100 until it
    // has ended well: for a progress display. Not called at all when empty.
    std::function<void(int percent)> progress;
    // Asked at every pass; true ends the transfer as CQuillon::CancelTransfer does.
    std::function<bool()> stopRequested;
    // The whole transfer may take this long; zero for no bound.
    std::chrono::milliseconds timeout{0};
    // A download whose device has sent no block for this long has stalled.
    std::chrono::milliseconds stall{5000};
};

enum class TransferEnd {
    Done,         // upload: every block sent and the device still answers; download: unpacked, in place
    Refused,      // the device refused the request
    NoAnswer,     // the device did not answer the request
    Stopped,      // upload: the device stopped acknowledging part-way
    FileChanged,  // upload: the archive changed, or could not be read, before its last block went;
                  // the device keeps what it had
    Unconfirmed,  // upload: every block sent, but the device did not answer afterwards
    BrokenOff,    // download: a damaged or out-of-order block, or the device gave up
    Stalled,      // download: the device stopped sending
    NotUnpacked,  // download: the archive came whole but does not unpack into the folder
    NotReplaced,  // download: unpacked, but the archive could not be put in place (error says why)
    Interrupted,  // the stop request ended it
    TimedOut,     // the time-out ended it
};

struct TransferOutcome {
    TransferEnd end = TransferEnd::Done;
    int percent = 0;            // how far it came
    bool deviceAnswers = true;  // after NoAnswer, Stopped or Stalled: whether a probe was answered
    std::string error;          // NotReplaced: why
};

// Sends the zip archive at archive (of at most 200,000,000 bytes) to the device as kind `kind`. A
// device must be linked.
QUILLON_API TransferOutcome RunUpload(CQuillon& quillon, const std::string& archive, int kind,
                                      const TransferWatch& watch);

// Brings the device's archive of kind `kind` into archive and unpacks it into folder, which must
// exist. The download comes in beside archive under a name of its own, and replaces it only once
// it has unpacked: on any end but Done, archive is as it was, and so is the folder, unless the end
// is NotReplaced (the folder holds the download). A device must be linked.
QUILLON_API TransferOutcome RunDownload(CQuillon& quillon, const std::string& archive,
                                        const std::string& folder, int kind, const TransferWatch& watch);

}  // namespace quillon
