// status, probe, version, record and devdir: the short exchanges with a device.
#include <array>
#include <cstring>
#include <optional>
#include <system_error>

#include "Commands.h"
#include "DeviceSession.h"
#include "protocol/DeviceRecord.h"
#include "support/base/Text.h"
#include "support/fs/Paths.h"

namespace quillon::cli {

namespace fs = std::filesystem;
using namespace local;

namespace {

// The session, with the link already in the report; null when none came (failure recorded).
std::unique_ptr<DeviceSession> Open(CommandContext& context, ExitCode& failure)
{
    auto session = DeviceSession::Connect(context.options, context.report, failure, context.showProgress);
    if (session)
        session->RecordLink(context.report);
    return session;
}

std::string KindText(int kind) { return "kind " + std::to_string(kind); }

}  // namespace

ExitCode Status(CommandContext& context)
{
    context.report.Declare({"link", "serial_port"});
    ExitCode failure = ExitCode::Success;
    const auto session = Open(context, failure);
    if (!session)
        return failure;
    context.report.Say("device online on " + session->LinkText());
    return ExitCode::Success;
}

ExitCode Probe(CommandContext& context)
{
    context.report.Declare({"link", "serial_port", "answered"});
    ExitCode failure = ExitCode::Success;
    const auto session = Open(context, failure);
    if (!session)
        return failure;
    const bool answered = session->StillAnswers();
    context.report.Set("answered", answered);
    if (!answered)
        return context.report.Fail(ExitCode::DeviceFailed, "no_answer",
                                   "the device on " + session->LinkText() +
                                       " did not answer the probe within 0.5 s",
                                   "It is connected but does not answer: restart it and try again.");
    context.report.Say("the device on " + session->LinkText() + " answered");
    return ExitCode::Success;
}

ExitCode VersionGet(CommandContext& context)
{
    context.report.Declare({"kind", "link", "serial_port", "version"});
    Report& report = context.report;
    const int kind = context.args.kind;
    report.Set("kind", kind);
    ExitCode failure = ExitCode::Success;
    const auto session = Open(context, failure);
    if (!session)
        return failure;
    const int version = session->quillon().ReadFileVersion(static_cast<char>(kind));
    if (version == -1) {
        report.SetNull("version");
        // A refusal ends the operation on the library's side; silence leaves it waiting.
        if (session->registry().PendingOp.load() == -1)
            return report.Fail(ExitCode::DeviceFailed, "refused",
                               "the device refused to report the version of " + KindText(kind),
                               "The device may keep no version for that kind.");
        return report.Fail(ExitCode::DeviceFailed, "no_answer",
                           "the device did not report the version of " + KindText(kind) + " within 2 s",
                           "Check that the device is ready (quillon probe) and try again.");
    }
    report.Set("version", version);
    report.Say(KindText(kind) + ": version " + std::to_string(version));
    return ExitCode::Success;
}

ExitCode VersionSet(CommandContext& context)
{
    context.report.Declare({"kind", "version", "link", "serial_port"});
    Report& report = context.report;
    const int kind = context.args.kind;
    const auto version = static_cast<int>(context.args.version);
    report.Set("kind", kind);
    report.Set("version", version);
    ExitCode failure = ExitCode::Success;
    const auto session = Open(context, failure);
    if (!session)
        return failure;
    if (session->quillon().WriteFileVersion(static_cast<char>(kind), version) != 0) {
        // The library tells a refusal from silence only by the time it takes; a probe tells which.
        if (session->StillAnswers())
            return report.Fail(ExitCode::DeviceFailed, "refused",
                               "the device refused version " + std::to_string(version) + " for " +
                                   KindText(kind));
        return report.Fail(ExitCode::DeviceFailed, "no_answer",
                           "the device did not acknowledge version " + std::to_string(version) + " for " +
                               KindText(kind) + " and no longer answers",
                           "Check that the device is ready (quillon probe) and try again.");
    }
    report.Say(KindText(kind) + ": version " + std::to_string(version) + " written");
    return ExitCode::Success;
}

ExitCode Record(CommandContext& context)
{
    context.report.Declare({"name", "link", "serial_port"});
    Report& report = context.report;
    const std::string& name = context.args.name;
    report.Set("name", name);
    ExitCode failure = ExitCode::Success;
    const auto session = Open(context, failure);
    if (!session)
        return failure;
    std::array<char, kDeviceNameSize> bytes{};
    std::memcpy(bytes.data(), name.data(), kDeviceNameSize);
    session->quillon().WriteDeviceMsg(bytes.data());
    // The record is not acknowledged; a probe behind it shows the device took the line's traffic.
    if (!session->StillAnswers())
        return report.Fail(
            ExitCode::DeviceFailed, "no_answer",
            "the record was sent, but the device did not answer afterwards; it may not have stored it",
            "Check that the device is ready (quillon probe) and try again.");
    report.Say("wrote the device record: name " + name + " with the current date and time (UTC)");
    return ExitCode::Success;
}

ExitCode DeviceDirectory(CommandContext& context)
{
    context.report.Declare({"folder", "link", "serial_port", "name", "path", "created"});
    Report& report = context.report;
    const fs::path folder = context.args.folder;
    report.Set("folder", folder.string());
    if (!IsDirectory(folder))
        return MissingFolder(report, folder, "folder");
    ExitCode failure = ExitCode::Success;
    const auto session = Open(context, failure);
    if (!session)
        return failure;

    const int result = session->quillon().CheckDeviceSETDir(WidePath(FolderArgument(folder)));
    const std::string name = session->registry().DeviceDirName.load();
    const std::string twelve = name.substr(0, kDeviceNameSize);
    // The library's own reading of the name: the folder it made, or why it made none.
    const std::optional<std::wstring> folderName =
        twelve.size() == kDeviceNameSize ? FolderNameFrom(twelve) : std::nullopt;
    report.Set("name", folderName ? NarrowPath(*folderName) : twelve);  // read in the device's code page
    if (result == -1 || !folderName) {
        report.SetNull("path");
        if (name.empty())
            return report.Fail(ExitCode::DeviceFailed, "no_answer", "the device did not report its name",
                               "Check that the device is ready (quillon probe) and try again.");
        if (name.size() < kDeviceNameSize)
            return report.Fail(ExitCode::DeviceFailed, "bad_name",
                               "the device reported a name of " + std::to_string(name.size()) +
                                   " characters; a device name has 12",
                               "Write a proper name with quillon record NAME.");
        if (!folderName)
            return report.Fail(ExitCode::DeviceFailed, "bad_name",
                               "the device's name \"" + twelve + "\" cannot be a folder name",
                               "Write a proper name with quillon record NAME.");
        return report.Fail(ExitCode::LocalProblem, "cannot_write",
                           "cannot create " + (folder / NarrowPath(*folderName)).string(),
                           "Check that the folder is writable.");
    }
    // The name as the library gave it to the file system: a wide path converted by the C++
    // library's locale would fail on (or differ from) a name outside it.
    const fs::path path = folder / NarrowPath(*folderName);
    report.Set("path", path.string());
    report.Set("created", result == 0);
    report.Say(result == 0 ? "created " + path.string() : path.string() + " already exists");
    return ExitCode::Success;
}

}  // namespace quillon::cli
