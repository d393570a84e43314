// upload and download: the long transfers, run to their end by the library (transfer/TransferRun.h)
// while this thread draws the progress bar and passes Ctrl-C on.
#include <algorithm>
#include <chrono>
#include <system_error>

#include "Commands.h"
#include "DeviceSession.h"
#include "Progress.h"
#include "archive/ZipArchive.h"
#include "transfer/TransferRun.h"

namespace quillon::cli {

namespace fs = std::filesystem;
using namespace local;
using Clock = std::chrono::steady_clock;

namespace {

std::uint64_t FileSize(const fs::path& path)
{
    std::error_code error;
    const auto size = fs::file_size(path, error);
    return error ? 0 : size;
}

std::string Percent(int percent) { return std::to_string(percent) + "%"; }

// The bytes a percentage of total stands for.
std::uint64_t BytesAt(std::uint64_t total, int percent)
{
    return total * static_cast<std::uint64_t>(std::clamp(percent, 0, 100)) / 100;
}

// Packs a package folder that passes the check into a temporary archive.
ExitCode PackFolder(Report& report, const fs::path& folder, const ScratchFile& archive)
{
    ExitCode failure = ExitCode::Success;
    if (!CheckPackage(report, folder, failure))
        return failure;
    std::vector<std::string> files;
    if (!ListPackage(report, folder, {}, files, failure))
        return failure;
    if (archive.path().empty())
        return report.Fail(ExitCode::LocalProblem, "cannot_write",
                           "there is no temporary folder to pack into");
    return PackInto(report, folder, files, archive.path(), failure) ? ExitCode::Success : failure;
}

}  // namespace

ExitCode Upload(CommandContext& context)
{
    context.report.Declare(
        {"source", "kind", "problems", "files", "bytes", "link", "serial_port", "percent"});
    Report& report = context.report;
    const fs::path source = context.args.source;
    const int kind = context.args.kind;
    report.Set("source", source.string());
    report.Set("kind", kind);

    ScratchFile packed({}, "upload", ".zip");
    fs::path archive = source;
    if (IsDirectory(source)) {
        const auto packStart = Clock::now();
        const ExitCode packing = PackFolder(report, source, packed);
        if (packing != ExitCode::Success)
            return packing;
        archive = packed.path();
        Tell(context.options,
             "packed " + source.string() + " into " + archive.string() + " in " +
                 SecondsText(std::chrono::duration<double>(Clock::now() - packStart).count()));
    } else if (!IsRegularFile(source)) {
        return report.Fail(ExitCode::LocalProblem, "missing", "there is no file or folder " + source.string(),
                           "Give a zip archive or a package folder.");
    } else if (!LooksLikeZip(source.string())) {
        return report.Fail(ExitCode::LocalProblem, "not_zip", source.string() + " is not a zip archive",
                           "Give a zip archive (quillon pack makes one) or a package folder.");
    }
    const std::uint64_t size = FileSize(archive);
    report.Set("bytes", static_cast<std::int64_t>(size));
    if (size > static_cast<std::uint64_t>(kMaxArchiveBytes))
        return report.Fail(ExitCode::LocalProblem, "too_big",
                           archive.string() + " has " + std::to_string(size) +
                               " bytes; the device takes at most " + std::to_string(kMaxArchiveBytes));

    // Packing does not look at the interrupt; whatever came meanwhile is answered now.
    if (Interrupted())
        return StoppedByInterrupt(report, "before the upload began; nothing was sent");

    ExitCode failure = ExitCode::Success;
    const auto session = DeviceSession::Connect(context.options, report, failure, context.showProgress);
    if (!session)
        return failure;
    session->RecordLink(report);

    Tell(context.options, "sending " + std::to_string(size) + " bytes as kind " + std::to_string(kind) +
                              " in " + std::to_string((size + 4095) / 4096) + " blocks of 4096 bytes");
    const auto sendStart = Clock::now();
    TransferOutcome outcome;
    {
        ProgressBar bar(stderr, "upload  ", context.showProgress);
        TransferWatch watch;
        watch.progress = [&](int percent) { bar.Show(percent, BytesAt(size, percent), size); };
        watch.stopRequested = [] { return Interrupted(); };
        outcome = RunUpload(session->quillon(), archive.string(), kind, watch);
        if (outcome.end == TransferEnd::Done)
            bar.Show(100, size, size);
    }
    const double sendSeconds = std::chrono::duration<double>(Clock::now() - sendStart).count();
    const bool sent = outcome.end == TransferEnd::Done || outcome.end == TransferEnd::Unconfirmed;
    Tell(context.options, std::string(sent ? "every block sent" : "the upload ended") + " after " +
                              SecondsText(sendSeconds) + " (" +
                              RateText(BytesAt(size, outcome.percent), sendSeconds) + ")");
    const int percent = outcome.percent;
    report.Set("percent", percent);
    const std::string answers = outcome.deviceAnswers ? " (it answers probes)" : " and no longer answers";

    switch (outcome.end) {
    case TransferEnd::Done:
        break;
    case TransferEnd::Interrupted:
        return StoppedByInterrupt(report,
                                  "at " + Percent(percent) + "; the device did not get the whole archive");
    case TransferEnd::Refused:
        return report.Fail(ExitCode::DeviceFailed, "refused",
                           percent == 0 ? "the device refused the upload of kind " + std::to_string(kind)
                                        : "the device refused the upload at " + Percent(percent),
                           "The device may not take archives of that kind, or may be busy.");
    case TransferEnd::NoAnswer:
        return report.Fail(ExitCode::DeviceFailed, "no_answer",
                           "the device did not acknowledge the upload" + answers,
                           "Check that the device is ready (quillon probe) and try again.");
    case TransferEnd::FileChanged:
        return report.Fail(ExitCode::LocalProblem, "file_changed",
                           archive.string() + " changed, or could not be read, while it was sent; its last "
                                              "block did not go, and the device keeps what it had",
                           "Upload it again once nothing writes to it.");
    case TransferEnd::Unconfirmed:
        return report.Fail(ExitCode::DeviceFailed, "unconfirmed",
                           "every block was sent, but the device did not answer afterwards; it may not have "
                           "stored the upload",
                           "Try again once the device answers (quillon probe).");
    default:
        return report.Fail(
            ExitCode::DeviceFailed, "stopped",
            "the device stopped acknowledging at " + Percent(percent) +
                (outcome.deviceAnswers ? "; it still answers probes" : " and no longer answers"),
            "Try again; if it keeps happening, check the line to the device.");
    }
    report.Say("uploaded " + std::to_string(size) + " bytes as kind " + std::to_string(kind) + " over " +
               session->LinkText());
    return ExitCode::Success;
}

ExitCode Download(CommandContext& context)
{
    context.report.Declare({"archive", "folder", "kind", "link", "serial_port", "percent", "bytes"});
    Report& report = context.report;
    const fs::path archive = context.args.archive;
    const fs::path folder = context.args.folder;
    const int kind = context.args.kind;
    report.Set("archive", archive.string());
    report.Set("folder", folder.string());
    report.Set("kind", kind);
    if (!ParentExists(archive) || IsDirectory(archive))
        return report.Fail(ExitCode::LocalProblem, "cannot_write",
                           "cannot write the archive " + archive.string(),
                           "Its folder must exist, and it must not be a folder itself.");
    std::error_code error;
    if (!IsDirectory(folder) && (fs::exists(folder, error) || !ParentExists(folder)))
        return MissingFolder(report, folder, "folder to unpack into");

    // The folder the download makes, if it makes one, is removed again unless the download ends
    // well; only while still empty, so that nothing else is ever removed with it.
    struct MadeFolder {
        fs::path path;
        ~MadeFolder()
        {
            std::error_code ignored;
            if (!path.empty())
                fs::remove(path, ignored);
        }
    } madeFolder;

    ExitCode failure = ExitCode::Success;
    const auto session = DeviceSession::Connect(context.options, report, failure, context.showProgress);
    if (!session)
        return failure;
    session->RecordLink(report);
    const std::string linkText = session->LinkText();

    if (!IsDirectory(folder)) {
        if (!fs::create_directory(folder, error))
            return MissingFolder(report, folder, "folder to unpack into");
        madeFolder.path = folder;
    }

    const auto receiveStart = Clock::now();
    TransferOutcome outcome;
    {
        ProgressBar bar(stderr, "download", context.showProgress);
        Tell(context.options,
             "asking for kind " + std::to_string(kind) + "; the blocks come in beside " + archive.string());
        TransferWatch watch;
        watch.stall = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::duration<double>(context.args.stallSeconds));
        watch.stopRequested = [] { return Interrupted(); };
        watch.progress = [&](int percent) {
            const std::uint64_t total = session->quillon().GetReadTotalSize();
            bar.Show(percent, BytesAt(total, percent), total);
        };
        outcome = RunDownload(session->quillon(), archive.string(), FolderArgument(folder), kind, watch);
        if (outcome.end == TransferEnd::Done)
            bar.Show(100, FileSize(archive), FileSize(archive));
    }

    const int percent = outcome.percent;
    report.Set("percent", percent);
    const std::string answers =
        outcome.deviceAnswers ? "; it still answers probes" : " and no longer answers";
    switch (outcome.end) {
    case TransferEnd::Done: {
        const std::uint64_t bytes = FileSize(archive);
        const double seconds = std::chrono::duration<double>(Clock::now() - receiveStart).count();
        Tell(context.options, "received and unpacked " + std::to_string(bytes) + " bytes in " +
                                  SecondsText(seconds) + " (" + RateText(bytes, seconds) + ") into " +
                                  archive.string());
        madeFolder.path.clear();
        report.Set("bytes", static_cast<std::int64_t>(bytes));
        report.Say("downloaded " + std::to_string(bytes) + " bytes of kind " + std::to_string(kind) +
                   " over " + linkText + " into " + archive.string() + " and unpacked them into " +
                   folder.string());
        return ExitCode::Success;
    }
    case TransferEnd::NotReplaced:
        madeFolder.path.clear();
        return report.Fail(ExitCode::LocalProblem, "cannot_write",
                           "the download unpacked into " + folder.string() + ", but cannot replace " +
                               archive.string() + ": " + outcome.error,
                           "The archive at that path is as it was; download again once it can be replaced.");
    case TransferEnd::NotUnpacked:
        return report.Fail(ExitCode::DeviceFailed, "not_unpacked",
                           "the device's archive does not unpack into " + folder.string() +
                               "; nothing was unpacked and nothing kept",
                           "The device sent a damaged archive or no zip archive, or one whose entries do not "
                           "fit the folder; try again, or download into an empty folder.");
    case TransferEnd::Refused:
        return report.Fail(ExitCode::DeviceFailed, "refused",
                           "the device refused the download of kind " + std::to_string(kind),
                           "The device may hold no archive of that kind.");
    case TransferEnd::Interrupted:
        return StoppedByInterrupt(report, "at " + Percent(percent) + "; nothing kept");
    case TransferEnd::NoAnswer:
        return report.Fail(
            ExitCode::DeviceFailed, "no_answer",
            "the device did not answer the download request" +
                std::string(outcome.deviceAnswers ? " (it answers probes)" : " and no longer answers"),
            "Check that the device is ready (quillon probe) and try again.");
    case TransferEnd::Stalled:
        return report.Fail(ExitCode::DeviceFailed, "stalled",
                           "the device stopped sending at " + Percent(percent) + answers +
                               "; nothing was kept",
                           "Try again; if it keeps happening, check the line to the device.");
    default:
        return report.Fail(
            ExitCode::DeviceFailed, "aborted",
            "the download broke off at " + Percent(percent) +
                ": a block from the device was damaged or out of order, or the device gave up; "
                "nothing was kept",
            "Try again; if it keeps happening, check the line to the device.");
    }
}

}  // namespace quillon::cli
