// upload and download: the long transfers, run on a worker (upload) or on the library's link
// thread (download) while this thread polls the registry and draws the progress bar.
#include <algorithm>
#include <chrono>
#include <future>
#include <system_error>
#include <thread>

#include "Commands.h"
#include "DeviceSession.h"
#include "Progress.h"
#include "archive/ZipArchive.h"

namespace quillon::cli {

namespace fs = std::filesystem;
using namespace local;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::int64_t kMaxArchiveSize = 200'000'000;  // the most the device takes
constexpr auto kPoll = std::chrono::milliseconds(50);
// The library ends a failed download by giving up the operation, and an archive that did not
// unpack by marking it finished as well, a moment later; this is how long that moment may be.
constexpr auto kFinishGrace = std::chrono::milliseconds(200);

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
    if (size > static_cast<std::uint64_t>(kMaxArchiveSize))
        return report.Fail(ExitCode::LocalProblem, "too_big",
                           archive.string() + " has " + std::to_string(size) +
                               " bytes; the device takes at most " + std::to_string(kMaxArchiveSize));

    // Packing does not look at the interrupt; whatever came meanwhile is answered now.
    if (Interrupted())
        return StoppedByInterrupt(report, "before the upload began; nothing was sent");

    ExitCode failure = ExitCode::Success;
    const auto session = DeviceSession::Connect(context.options, report, failure, context.showProgress);
    if (!session)
        return failure;
    session->RecordLink(report);
    CSysconfig_SET& registry = session->registry();

    Tell(context.options, "sending " + std::to_string(size) + " bytes as kind " + std::to_string(kind) +
                              " in " + std::to_string((size + 4095) / 4096) + " blocks of 4096 bytes");
    const auto sendStart = Clock::now();
    int result = -1;
    {
        ProgressBar bar(stderr, "upload  ", context.showProgress);
        const std::string archiveText = archive.string();
        auto upload = std::async(std::launch::async, [&session, archiveText, kind] {
            return session->quillon().WriteSettoHard(archiveText, static_cast<char>(kind));
        });
        while (upload.wait_for(kPoll) != std::future_status::ready) {
            // The close request ends the upload's wait for the device at once.
            if (Interrupted())
                registry.SetCloseExe(true);
            const int percent = registry.GetWriteRate();
            bar.Show(percent, BytesAt(size, percent), size);
        }
        result = upload.get();
        if (result == 0)
            bar.Show(100, size, size);
    }
    const double sendSeconds = std::chrono::duration<double>(Clock::now() - sendStart).count();
    Tell(context.options, std::string(result == 0 ? "every block sent" : "the upload ended") + " after " +
                              SecondsText(sendSeconds) + " (" +
                              RateText(BytesAt(size, registry.GetWriteRate()), sendSeconds) + ")");
    const int percent = registry.GetWriteRate();
    report.Set("percent", percent);

    if (result != 0) {
        if (Interrupted())
            return StoppedByInterrupt(report, "at " + Percent(percent) +
                                                  "; the device did not get the whole archive");
        if (registry.PendingOp.load() == -1)
            return report.Fail(ExitCode::DeviceFailed, "refused",
                               percent == 0 ? "the device refused the upload of kind " + std::to_string(kind)
                                            : "the device refused the upload at " + Percent(percent),
                               "The device may not take archives of that kind, or may be busy.");
        const bool answers = session->StillAnswers();
        if (percent == 0)
            return report.Fail(ExitCode::DeviceFailed, "no_answer",
                               std::string("the device did not acknowledge the upload") +
                                   (answers ? " (it answers probes)" : " and no longer answers"),
                               "Check that the device is ready (quillon probe) and try again.");
        return report.Fail(ExitCode::DeviceFailed, "stopped",
                           "the device stopped acknowledging at " + Percent(percent) +
                               (answers ? "; it still answers probes" : " and no longer answers"),
                           "Try again; if it keeps happening, check the line to the device.");
    }
    // The last block is not acknowledged before the library returns; a probe behind it shows the
    // device took it and is still there.
    if (!Interrupted() && !session->StillAnswers())
        return report.Fail(ExitCode::DeviceFailed, "unconfirmed",
                           "every block was sent, but the device did not answer afterwards; it may not have "
                           "stored the upload",
                           "Try again once the device answers (quillon probe).");
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

    // The download comes in beside the archive, under a name of its own, and replaces the archive
    // only once it has unpacked: an archive already at that path is a good one until then. Declared
    // before the session so that it goes after it, when the library's threads no longer write.
    ScratchFile incoming(archive);

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
    auto session = DeviceSession::Connect(context.options, report, failure, context.showProgress);
    if (!session)
        return failure;
    session->RecordLink(report);
    const std::string linkText = session->LinkText();  // the session may go before the end
    CSysconfig_SET& registry = session->registry();

    if (!IsDirectory(folder)) {
        if (!fs::create_directory(folder, error))
            return MissingFolder(report, folder, "folder to unpack into");
        madeFolder.path = folder;
    }

    enum class Outcome { Unpacked, NotUnpacked, Aborted, Stalled, Interrupted };
    Outcome outcome = Outcome::Stalled;
    const fs::path part = incoming.path().string() + ".part";  // where the library gathers the blocks
    const auto stall =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(context.args.stallSeconds));
    const auto receiveStart = Clock::now();
    {
        ProgressBar bar(stderr, "download", context.showProgress);
        Tell(context.options,
             "asking for kind " + std::to_string(kind) + "; the blocks go to " + part.string());
        session->quillon().SetUnzipfloderpath(FolderArgument(folder));
        session->quillon().ReadSetFromHard(incoming.path().string(), static_cast<char>(kind));
        auto lastChange = Clock::now();
        int lastPercent = -1;
        std::uint64_t lastBytes = 0;
        for (;;) {
            if (registry.GetReadfinish()) {
                outcome = registry.PendingOp.load() == -1 ? Outcome::NotUnpacked : Outcome::Unpacked;
                break;
            }
            if (registry.PendingOp.load() == -1) {
                const auto graceEnd = Clock::now() + kFinishGrace;
                while (!registry.GetReadfinish() && Clock::now() < graceEnd)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                outcome = registry.GetReadfinish() ? Outcome::NotUnpacked : Outcome::Aborted;
                break;
            }
            if (Interrupted()) {
                // Stopping the links waits for a last block the link thread is unpacking; a
                // download that has completed by then is kept, as nothing would be gained by
                // throwing it away.
                session.reset();
                const bool completed = registry.GetReadfinish() && registry.PendingOp.load() != -1;
                outcome = completed ? Outcome::Unpacked : Outcome::Interrupted;
                break;
            }
            const int percent = registry.GetReadRate();
            const std::uint64_t bytes = FileSize(part);
            if (percent != lastPercent || bytes != lastBytes) {
                lastPercent = percent;
                lastBytes = bytes;
                lastChange = Clock::now();
            } else if (Clock::now() - lastChange > stall) {
                break;
            }
            // The file lags behind its buffer; the blocks counted in the percentage do not.
            const std::uint64_t total = session->quillon().GetReadTotalSize();
            bar.Show(percent, total > 0 ? BytesAt(total, percent) : bytes, total);
            std::this_thread::sleep_for(kPoll);
        }
        if (outcome == Outcome::Unpacked)
            bar.Show(100, FileSize(incoming.path()), FileSize(incoming.path()));
    }

    const int percent = registry.GetReadRate();
    report.Set("percent", percent);
    const bool sizeCame = registry.ReadStarted.load() > 0;
    switch (outcome) {
    case Outcome::Unpacked: {
        const std::uint64_t bytes = FileSize(incoming.path());
        const double seconds = std::chrono::duration<double>(Clock::now() - receiveStart).count();
        Tell(context.options, "received and unpacked " + std::to_string(bytes) + " bytes in " +
                                  SecondsText(seconds) + " (" + RateText(bytes, seconds) + "); replacing " +
                                  archive.string());
        fs::rename(incoming.path(), archive, error);
        if (error)
            return report.Fail(ExitCode::LocalProblem, "cannot_write",
                               "the download unpacked into " + folder.string() + ", but cannot replace " +
                                   archive.string() + ": " + error.message(),
                               "The archive at that path is as it was; download again once it can be "
                               "replaced.");
        incoming.Kept();
        madeFolder.path.clear();
        report.Set("bytes", static_cast<std::int64_t>(bytes));
        report.Say("downloaded " + std::to_string(bytes) + " bytes of kind " + std::to_string(kind) +
                   " over " + linkText + " into " + archive.string() + " and unpacked them into " +
                   folder.string());
        return ExitCode::Success;
    }
    case Outcome::NotUnpacked:
        return report.Fail(ExitCode::DeviceFailed, "not_unpacked",
                           "the device's archive does not unpack into " + folder.string() +
                               "; nothing was unpacked and nothing kept",
                           "The device sent a damaged archive or no zip archive, or one whose entries do not "
                           "fit the folder; try again, or download into an empty folder.");
    case Outcome::Aborted:
        if (!sizeCame)
            return report.Fail(ExitCode::DeviceFailed, "refused",
                               "the device refused the download of kind " + std::to_string(kind),
                               "The device may hold no archive of that kind.");
        return report.Fail(
            ExitCode::DeviceFailed, "aborted",
            "the download broke off at " + Percent(percent) +
                ": a block from the device was damaged or out of order, or the device gave up; "
                "nothing was kept",
            "Try again; if it keeps happening, check the line to the device.");
    case Outcome::Interrupted:
        return StoppedByInterrupt(report, "at " + Percent(percent) + "; nothing kept");
    case Outcome::Stalled:
        break;
    }
    // Asking whether the device is still there also tells it to give up the download.
    const bool answers = session->StillAnswers();
    if (!sizeCame)
        return report.Fail(ExitCode::DeviceFailed, "no_answer",
                           "the device did not answer the download request" +
                               std::string(answers ? " (it answers probes)" : " and no longer answers"),
                           "Check that the device is ready (quillon probe) and try again.");
    return report.Fail(ExitCode::DeviceFailed, "stalled",
                       "the device stopped sending at " + Percent(percent) +
                           (answers ? "; it still answers probes" : " and no longer answers") +
                           "; nothing was kept",
                       "Try again; if it keeps happening, check the line to the device.");
}

}  // namespace quillon::cli
