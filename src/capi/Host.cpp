#include "capi/Host.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <system_error>
#include <thread>

#include "archive/ZipArchive.h"
#include "protocol/DeviceLink.h"
#include "quillon/quillon_c.h"
#include "state/DescriptionFile.h"
#include "state/PackageContents.h"
#include "support/base/Text.h"
#include "support/fs/FileKind.h"
#include "support/fs/Paths.h"
#include "support/fs/ScratchFile.h"
#include "support/serial/SerialPortList.h"
#include "transfer/DeviceRequests.h"
#include "transfer/Quillon.h"
#include "transfer/TransferRun.h"

namespace quillon::capi {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

CSysconfig_SET& Registry() { return *CSysconfig_SET::get(); }

// A path in a message, as the caller gave it.
std::string PathText(const fs::path& path) { return path.string(); }

// A file that is to replace archive can be written beside it.
Result WritableArchivePath(const fs::path& archive)
{
    if (!ParentExists(archive) || IsDirectory(archive))
        return Result::Fail(QUILLON_E_FILE, "cannot write the archive " + PathText(archive) +
                                                ": its folder must exist, and it must not be a folder");
    return Result::Ok();
}

Result MissingFolder(const fs::path& folder, const std::string& what)
{
    return Result::Fail(QUILLON_E_FILE, "there is no " + what + " " + PathText(folder));
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines)
        text += (text.empty() ? "" : "; ") + line;
    return text;
}

// Packs the complete package in folder into archive, which is written whole or not at all.
Result PackPackage(const fs::path& folder, const fs::path& archive)
{
    std::vector<std::string> problems;
    if (Result checked = CheckFolder(folder, problems); !checked.ok())
        return checked;
    std::vector<std::string> files, others;
    std::string error;
    switch (ListPackageFiles(folder, archive, files, others, error)) {
    case PackageListing::Listed:
        break;
    case PackageListing::Unreadable:
        return Result::Fail(QUILLON_E_FILE, "cannot list " + PathText(folder) + ": " + error);
    case PackageListing::HoldsLink:
        return Result::Fail(QUILLON_E_FILE, "cannot pack " + PathText(folder) + ": " + error +
                                                " is a link; a package is packed from its own files only");
    }
    const ZipOutcome packed = PackFiles(FolderArgument(folder), files, archive.string());
    if (!packed.ok)
        return Result::Fail(QUILLON_E_FILE, "cannot pack " + PathText(folder) + ": " + packed.error);
    return Result::Ok();
}

// The watch of a transfer for the C interface: each percentage once, rising, and the host's cancel.
TransferWatch WatchFor(const Progress& progress, std::chrono::milliseconds timeout,
                       const std::atomic<bool>& cancel)
{
    TransferWatch watch;
    watch.timeout = timeout;
    watch.stopRequested = [&cancel] { return cancel.load(); };
    if (progress)
        watch.progress = [progress, shown = 0](int percent) mutable {
            if (percent > shown) {
                shown = percent;
                progress(percent);
            }
        };
    return watch;
}

std::string Percent(int percent) { return std::to_string(percent) + "%"; }

// The ends that an upload and a download share; nullopt for the others.
std::optional<Result> SharedEnd(const TransferOutcome& outcome, const std::string& what, milliseconds timeout,
                                const Progress& progress)
{
    const std::string at = Percent(outcome.percent);
    switch (outcome.end) {
    case TransferEnd::Done:
        if (progress)
            progress(100);
        return Result::Ok();
    case TransferEnd::Interrupted:
        return Result::Fail(QUILLON_E_CANCELLED,
                            "the " + what + " was cancelled at " + at + "; nothing was kept");
    case TransferEnd::TimedOut:
        return Result::Fail(QUILLON_E_TIMEOUT, "the " + what + " did not end within " +
                                                   std::to_string(timeout.count()) + " ms; it stopped at " +
                                                   at + " and nothing was kept");
    default:
        return std::nullopt;
    }
}

std::string StillAnswers(const TransferOutcome& outcome)
{
    return outcome.deviceAnswers ? "; it still answers probes" : " and no longer answers";
}

}  // namespace

Host::Host(const HostSettings& settings)
{
    if (settings.everySerialPort) {
        serial::unpin_ports();
    } else {
        serial::pin_ports(settings.serialPorts);
        pinnedPorts_ = true;
    }
    quillon_ = std::make_unique<CQuillon>(settings.tcp);
}

Host::~Host()
{
    quillon_.reset();
    // The port list goes back to the machine's for whatever the process does next.
    if (pinnedPorts_)
        serial::unpin_ports();
}

Result Host::Open(const HostSettings& settings, std::unique_ptr<Host>& host)
{
    if (settings.tcp.listen) {
        if (const std::string problem = LinkSettingsProblem(settings.tcp); !problem.empty())
            return Result::Fail(QUILLON_E_LINK, problem);
    } else if (!settings.everySerialPort && settings.serialPorts.empty()) {
        return Result::Fail(QUILLON_E_LINK,
                            "no link to look for a device on: TCP is off and no serial port is named");
    }
    std::unique_ptr<Host> opened(new Host(settings));
    if (settings.tcp.listen && opened->ListeningPort() == 0)
        return Result::Fail(QUILLON_E_LINK, "cannot listen on TCP " + settings.tcp.listenAddress + " port " +
                                                std::to_string(settings.tcp.port) +
                                                ": it is taken, or the address is not this computer's");
    host = std::move(opened);
    return Result::Ok();
}

int Host::ListeningPort() const { return quillon_->GetListeningPort(); }

void Host::Cancel()
{
    cancel_.store(true);
    quillon_->CancelTransfer();
}

Result Host::LinkedDevice() const
{
    if (Registry().GetSeriOrTcp() == kNoLink)
        return Result::Fail(QUILLON_E_NO_DEVICE, "no device is linked: wait for one first");
    return Result::Ok();
}

Result Host::WaitForDevice(milliseconds timeout, int& link)
{
    cancel_.store(false);
    const auto deadline = Clock::now() + timeout;
    while (Registry().GetSeriOrTcp() == kNoLink) {
        if (cancel_.load())
            return Result::Fail(QUILLON_E_CANCELLED, "the wait for a device was cancelled");
        if (Clock::now() >= deadline)
            return Result::Fail(QUILLON_E_NO_DEVICE,
                                "no device came within " + std::to_string(timeout.count()) + " ms");
        std::this_thread::sleep_for(std::min(milliseconds(10), timeout));
    }
    link = Registry().GetSeriOrTcp();
    return Result::Ok();
}

Result Host::SerialPortName(std::string& name) const
{
    const std::string port = quillon_->GetDevicePortName();
    if (port.empty())
        return Result::Fail(QUILLON_E_NO_DEVICE, "the device is not on a serial port");
    name = port;
    return Result::Ok();
}

Result Host::Upload(const fs::path& source, int kind, milliseconds timeout, const Progress& progress)
{
    cancel_.store(false);
    ScratchFile packed({}, "upload", ".zip");
    fs::path archive = source;
    if (IsDirectory(source)) {
        if (packed.path().empty())
            return Result::Fail(QUILLON_E_FILE, "there is no temporary folder to pack the package into");
        if (Result result = PackPackage(source, packed.path()); !result.ok())
            return result;
        archive = packed.path();
    } else if (!IsRegularFile(source)) {
        return Result::Fail(QUILLON_E_FILE, "there is no file or folder " + PathText(source));
    } else if (!LooksLikeZip(source.string())) {
        return Result::Fail(QUILLON_E_ARCHIVE, PathText(source) + " is not a zip archive");
    }
    std::error_code error;
    const std::uint64_t size = fs::file_size(archive, error);
    if (error)
        return Result::Fail(QUILLON_E_FILE, "cannot read " + PathText(archive) + ": " + error.message());
    if (size > static_cast<std::uint64_t>(kMaxArchiveBytes))
        return Result::Fail(QUILLON_E_FILE, PathText(archive) + " has " + std::to_string(size) +
                                                " bytes; the device takes at most " +
                                                std::to_string(kMaxArchiveBytes));
    if (Result linked = LinkedDevice(); !linked.ok())
        return linked;

    const TransferOutcome outcome =
        RunUpload(*quillon_, archive.string(), kind, WatchFor(progress, timeout, cancel_));
    if (auto shared = SharedEnd(outcome, "upload", timeout, progress))
        return *shared;
    const std::string at = Percent(outcome.percent);
    switch (outcome.end) {
    case TransferEnd::Refused:
        return Result::Fail(QUILLON_E_REFUSED, "the device refused the upload of kind " +
                                                   std::to_string(kind) +
                                                   (outcome.percent == 0 ? std::string() : " at " + at));
    case TransferEnd::NoAnswer:
        return Result::Fail(QUILLON_E_NO_ANSWER,
                            "the device did not acknowledge the upload" + StillAnswers(outcome));
    case TransferEnd::Unconfirmed:
        return Result::Fail(QUILLON_E_BROKEN_OFF,
                            "every block was sent, but the device did not answer afterwards; "
                            "it may not have stored the upload");
    case TransferEnd::FileChanged:
        return Result::Fail(QUILLON_E_FILE, PathText(archive) +
                                                " changed, or could not be read, while it was sent; its last "
                                                "block did not go, and the device keeps what it had");
    default:
        return Result::Fail(QUILLON_E_BROKEN_OFF,
                            "the device stopped acknowledging at " + at + StillAnswers(outcome));
    }
}

Result Host::Download(const fs::path& archive, const fs::path& folder, int kind, milliseconds timeout,
                      const Progress& progress)
{
    cancel_.store(false);
    if (Result writable = WritableArchivePath(archive); !writable.ok())
        return writable;
    if (!IsDirectory(folder))
        return MissingFolder(folder, "folder to unpack into");
    if (Result linked = LinkedDevice(); !linked.ok())
        return linked;

    const TransferOutcome outcome = RunDownload(*quillon_, archive.string(), FolderArgument(folder), kind,
                                                WatchFor(progress, timeout, cancel_));
    if (auto shared = SharedEnd(outcome, "download", timeout, progress))
        return *shared;
    const std::string at = Percent(outcome.percent);
    switch (outcome.end) {
    case TransferEnd::NotReplaced:
        return Result::Fail(QUILLON_E_FILE, "the download unpacked into " + PathText(folder) +
                                                ", but cannot replace " + PathText(archive) + ": " +
                                                outcome.error);
    case TransferEnd::NotUnpacked:
        return Result::Fail(QUILLON_E_ARCHIVE, "the device's archive does not unpack into " +
                                                   PathText(folder) +
                                                   "; nothing was unpacked and nothing kept");
    case TransferEnd::Refused:
        return Result::Fail(QUILLON_E_REFUSED,
                            "the device refused the download of kind " + std::to_string(kind));
    case TransferEnd::NoAnswer:
        return Result::Fail(QUILLON_E_NO_ANSWER,
                            "the device did not answer the download request" + StillAnswers(outcome));
    case TransferEnd::Stalled:
        return Result::Fail(QUILLON_E_BROKEN_OFF, "the device stopped sending at " + at +
                                                      StillAnswers(outcome) + "; nothing was kept");
    default:
        return Result::Fail(QUILLON_E_BROKEN_OFF,
                            "the download broke off at " + at +
                                ": a block was damaged or out of order, or the device gave "
                                "up; nothing was kept");
    }
}

Result Host::ReadVersion(int kind, int& version)
{
    cancel_.store(false);
    if (Result linked = LinkedDevice(); !linked.ok())
        return linked;
    switch (ReadDeviceVersion(*quillon_, kind, version)) {
    case RequestEnd::Done:
        return Result::Ok();
    case RequestEnd::Refused:
        return Result::Fail(QUILLON_E_REFUSED,
                            "the device refused to report the version of kind " + std::to_string(kind));
    case RequestEnd::NoAnswer:
        break;
    }
    return Result::Fail(QUILLON_E_NO_ANSWER,
                        "the device did not report the version of kind " + std::to_string(kind));
}

Result Host::WriteVersion(int kind, int version)
{
    cancel_.store(false);
    if (Result linked = LinkedDevice(); !linked.ok())
        return linked;
    switch (WriteDeviceVersion(*quillon_, kind, version)) {
    case RequestEnd::Done:
        return Result::Ok();
    case RequestEnd::Refused:
        return Result::Fail(QUILLON_E_REFUSED, "the device refused version " + std::to_string(version) +
                                                   " for kind " + std::to_string(kind));
    case RequestEnd::NoAnswer:
        break;
    }
    return Result::Fail(QUILLON_E_NO_ANSWER, "the device did not acknowledge version " +
                                                 std::to_string(version) + " for kind " +
                                                 std::to_string(kind) + " and no longer answers");
}

Result Host::WriteRecord(const std::string& name)
{
    cancel_.store(false);
    if (Result linked = LinkedDevice(); !linked.ok())
        return linked;
    if (WriteDeviceRecord(*quillon_, name) != RequestEnd::Done)
        return Result::Fail(
            QUILLON_E_NO_ANSWER,
            "the record was sent, but the device did not answer afterwards; it may not have stored it");
    return Result::Ok();
}

Result Host::Probe()
{
    cancel_.store(false);
    if (Result linked = LinkedDevice(); !linked.ok())
        return linked;
    if (!quillon_->JudgeIsAvailable())
        return Result::Fail(QUILLON_E_NO_ANSWER, "the device did not answer the probe within 0.5 s");
    return Result::Ok();
}

Result Host::DeviceDirectory(const fs::path& folder, bool& existed, std::string& name)
{
    cancel_.store(false);
    if (!IsDirectory(folder))
        return MissingFolder(folder, "folder");
    if (Result linked = LinkedDevice(); !linked.ok())
        return linked;
    const DeviceDirectoryOutcome directory = MakeDeviceDirectory(*quillon_, FolderArgument(folder));
    using End = DeviceDirectoryOutcome::End;
    switch (directory.end) {
    case End::Done:
        existed = directory.existed;
        name = *directory.folderName;
        return Result::Ok();
    case End::NoAnswer:
        return Result::Fail(QUILLON_E_NO_ANSWER, "the device did not report its name");
    case End::ShortName:
    case End::BadName:
        return Result::Fail(QUILLON_E_REFUSED,
                            "the device reported a name that is not 12 characters that can "
                            "name a folder");
    case End::CannotCreate:
        break;
    }
    return Result::Fail(QUILLON_E_FILE, "cannot create " + PathText(folder / *directory.folderName));
}

Result PackFolder(const fs::path& folder, const fs::path& archive)
{
    if (!IsDirectory(folder))
        return MissingFolder(folder, "package folder");
    if (Result writable = WritableArchivePath(archive); !writable.ok())
        return writable;
    // Packed beside the archive and put in place only when whole: an archive already at that path
    // stays until then, and a failure leaves it as it was.
    ScratchFile staged(archive);
    if (Result packed = PackPackage(folder, staged.path()); !packed.ok())
        return packed;
    std::error_code error;
    fs::rename(staged.path(), archive, error);
    if (error)
        return Result::Fail(QUILLON_E_FILE, "cannot replace " + PathText(archive) + ": " + error.message());
    staged.Kept();
    return Result::Ok();
}

Result UnpackInto(const fs::path& archive, const fs::path& folder)
{
    if (!IsRegularFile(archive))
        return Result::Fail(QUILLON_E_FILE, "there is no archive " + PathText(archive));
    if (!IsDirectory(folder))
        return MissingFolder(folder, "folder to unpack into");
    const ZipOutcome unpacked = UnpackArchive(archive.string(), FolderArgument(folder));
    if (!unpacked.ok)
        return Result::Fail(QUILLON_E_ARCHIVE, "cannot unpack " + PathText(archive) + " into " +
                                                   PathText(folder) + ": " + unpacked.error +
                                                   "; nothing was written");
    return Result::Ok();
}

Result CheckFolder(const fs::path& folder, std::vector<std::string>& problems)
{
    if (!IsDirectory(folder))
        return MissingFolder(folder, "package folder");
    const PackageCheck check =
        CheckPackageFolder(folder, [](const std::string& path) { return Registry().CheckSETExist(path); });
    problems = check.problems;
    switch (check.result) {
    case PackageCheck::Result::Complete:
        return Result::Ok();
    case PackageCheck::Result::NotAPackage:
        problems = {std::string("no ") + kDescriptionFileName};
        return Result::Fail(QUILLON_E_PACKAGE, PathText(folder) + " is not a settings package: it has no " +
                                                   kDescriptionFileName);
    case PackageCheck::Result::Incomplete:
        break;
    }
    return Result::Fail(QUILLON_E_PACKAGE,
                        "the package in " + PathText(folder) + " is incomplete: " + Joined(problems));
}

Result RepairInto(const fs::path& root, const fs::path& package, bool& created)
{
    if (!IsDirectory(root))
        return MissingFolder(root, "root folder");
    if (!IsDirectory(package))
        return MissingFolder(package, "package folder");
    std::ifstream description(package / kDescriptionFileName, std::ios::binary);
    const std::string serial = ReadDeviceSerial(description);
    if (serial.empty())
        return Result::Fail(QUILLON_E_PACKAGE,
                            "the package in " + PathText(package) + " names no device serial number");
    const std::optional<std::wstring> folderName = FolderNameFrom(serial);
    if (!folderName)
        return Result::Fail(QUILLON_E_PACKAGE, "the device serial number in the package in " +
                                                   PathText(package) + " cannot name a folder");
    const fs::path target = root / NarrowPath(*folderName);
    std::error_code error;
    const bool existed = fs::exists(target, error);
    // The package's files are copied only from a path written with forward slashes.
    const fs::path source = fs::absolute(package, error);
    if (error)
        return Result::Fail(QUILLON_E_FILE, "cannot resolve " + PathText(package) + ": " + error.message());
    std::wstring sourceText = WidePath(source.generic_string());
    while (sourceText.size() > 1 && sourceText.back() == L'/')
        sourceText.pop_back();
    if (!Registry().RepairSETPath(WidePath(FolderArgument(root)), sourceText))
        return Result::Fail(QUILLON_E_FILE, "cannot create " + PathText(target));
    created = !existed;
    return Result::Ok();
}

}  // namespace quillon::capi
