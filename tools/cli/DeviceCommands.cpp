// status, probe, version, record and devdir: the short exchanges with a device.
#include "Commands.h"
#include "DeviceSession.h"
#include "transfer/DeviceRequests.h"

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
    int version = 0;
    switch (ReadDeviceVersion(session->quillon(), kind, version)) {
    case RequestEnd::Done:
        break;
    case RequestEnd::Refused:
        report.SetNull("version");
        return report.Fail(ExitCode::DeviceFailed, "refused",
                           "the device refused to report the version of " + KindText(kind),
                           "The device may keep no version for that kind.");
    case RequestEnd::NoAnswer:
        report.SetNull("version");
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
    switch (WriteDeviceVersion(session->quillon(), kind, version)) {
    case RequestEnd::Done:
        break;
    case RequestEnd::Refused:
        return report.Fail(ExitCode::DeviceFailed, "refused",
                           "the device refused version " + std::to_string(version) + " for " +
                               KindText(kind));
    case RequestEnd::NoAnswer:
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
    if (WriteDeviceRecord(session->quillon(), name) != RequestEnd::Done)
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

    const DeviceDirectoryOutcome directory = MakeDeviceDirectory(session->quillon(), FolderArgument(folder));
    report.Set("name", directory.folderName.value_or(directory.reported));  // read in the device's code page
    using End = DeviceDirectoryOutcome::End;
    if (directory.end != End::Done)
        report.SetNull("path");
    switch (directory.end) {
    case End::Done:
        break;
    case End::NoAnswer:
        return report.Fail(ExitCode::DeviceFailed, "no_answer", "the device did not report its name",
                           "Check that the device is ready (quillon probe) and try again.");
    case End::ShortName:
        return report.Fail(ExitCode::DeviceFailed, "bad_name",
                           "the device reported a name of " + std::to_string(directory.reported.size()) +
                               " characters; a device name has 12",
                           "Write a proper name with quillon record NAME.");
    case End::BadName:
        return report.Fail(ExitCode::DeviceFailed, "bad_name",
                           "the device's name \"" + directory.reported + "\" cannot be a folder name",
                           "Write a proper name with quillon record NAME.");
    case End::CannotCreate:
        return report.Fail(ExitCode::LocalProblem, "cannot_write",
                           "cannot create " + (folder / *directory.folderName).string(),
                           "Check that the folder is writable.");
    }
    const fs::path path = folder / *directory.folderName;
    report.Set("path", path.string());
    report.Set("created", !directory.existed);
    report.Say(directory.existed ? path.string() + " already exists" : "created " + path.string());
    return ExitCode::Success;
}

}  // namespace quillon::cli
