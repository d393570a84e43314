// pack, unpack, check and repair: settings packages and archives on this computer's disk.
#include <Quillon.h>

#include <fstream>
#include <optional>
#include <system_error>

#include "Commands.h"
#include "Progress.h"
#include "archive/ZipArchive.h"
#include "state/DescriptionFile.h"
#include "support/base/Text.h"
#include "support/fs/Paths.h"
#include "support/tooling/Interrupt.h"

namespace quillon::cli {

namespace fs = std::filesystem;

namespace local {

void Tell(const GlobalOptions& options, const std::string& line)
{
    if (options.verbosity < 1)
        return;
    std::fprintf(stderr, "quillon: %s\n", Printable(line).c_str());
    std::fflush(stderr);
}

std::string SecondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

std::string RateText(std::uint64_t bytes, double seconds)
{
    return seconds > 0 ? FormatBytes(static_cast<std::uint64_t>(static_cast<double>(bytes) / seconds)) + "/s"
                       : std::string("-");
}

bool Interrupted() { return InterruptStatus() != 0; }

ExitCode StoppedByInterrupt(Report& report, const std::string& what)
{
    const bool terminated = InterruptStatus() == ToInt(ExitCode::Terminated);
    return report.Fail(terminated ? ExitCode::Terminated : ExitCode::Interrupted,
                       terminated ? "terminated" : "interrupted",
                       (terminated ? "terminated " : "interrupted ") + what);
}

ExitCode MissingFolder(Report& report, const fs::path& folder, const std::string& what)
{
    std::error_code error;
    const bool exists = fs::exists(folder, error);
    return report.Fail(ExitCode::LocalProblem, "missing",
                       exists ? what + " " + folder.string() + " is not a folder"
                              : "there is no " + what + " " + folder.string(),
                       "Check the path.");
}

bool CheckPackage(Report& report, const fs::path& folder, ExitCode& failure)
{
    const PackageCheck check = CheckPackageFolder(
        folder, [](const std::string& path) { return CSysconfig_SET::get()->CheckSETExist(path); });
    report.Set("problems", check.problems);
    if (check.result == PackageCheck::Result::NotAPackage) {
        failure =
            report.Fail(ExitCode::LocalProblem, "not_package",
                        folder.string() + " is not a settings package: it has no " + kDescriptionFileName,
                        "A package is a folder with a DeviceSet.DST that names the device's serial "
                        "number and the files that go with it; quillon check --help says more.");
        return false;
    }
    if (check.result == PackageCheck::Result::Complete)
        return true;
    std::string list;
    for (const auto& problem : check.problems)
        list += (list.empty() ? "" : "; ") + problem;
    if (!check.reportWritten) {
        failure = report.Fail(ExitCode::LocalProblem, "incomplete",
                              "the package in " + folder.string() + " is incomplete: " + list +
                                  " (the check cannot write its report, " + kCheckReportFileName + ", there)",
                              "Add what is missing, or ask for write access to the folder.");
        return false;
    }
    failure = report.Fail(ExitCode::LocalProblem, "incomplete",
                          "the package in " + folder.string() + " is incomplete: " + list,
                          "Add what is missing (the list is also in " +
                              (folder / kCheckReportFileName).string() + ") and try again.");
    return false;
}

bool ListPackage(Report& report, const fs::path& folder, const fs::path& leaveOut,
                 std::vector<std::string>& files, ExitCode& failure, std::vector<std::string>* leftOut)
{
    std::string error;
    std::vector<std::string> others;
    switch (ListPackageFiles(folder, leaveOut, files, others, error)) {
    case PackageListing::Listed:
        report.Set("files", files);
        if (leftOut) {
            report.Set("left_out", others);
            *leftOut = std::move(others);
        }
        return true;
    case PackageListing::Unreadable:
        failure = report.Fail(ExitCode::LocalProblem, "unreadable",
                              "cannot list " + folder.string() + ": " + error);
        return false;
    case PackageListing::HoldsLink:
        failure = report.Fail(ExitCode::LocalProblem, "cannot_pack",
                              "cannot pack " + folder.string() + ": " + error + " is a link",
                              "A package is packed from its own files only; put the file itself in place "
                              "of the link.");
        return false;
    }
    return false;
}

bool PackInto(Report& report, const fs::path& folder, const std::vector<std::string>& files,
              const fs::path& zip, ExitCode& failure)
{
    const ZipOutcome packed = PackFiles(FolderArgument(folder), files, zip.string());
    if (packed.ok)
        return true;
    failure = report.Fail(
        ExitCode::LocalProblem, "cannot_pack", "cannot pack " + folder.string() + ": " + packed.error,
        "Every file of the package must be readable and smaller than 2 GiB, and the archive's "
        "folder must have room for it.");
    return false;
}

}  // namespace local

using namespace local;

ExitCode Pack(CommandContext& context)
{
    context.report.Declare({"folder", "archive", "files", "left_out", "bytes"});
    Report& report = context.report;
    const fs::path folder = context.args.folder;
    const fs::path archive = context.args.archive;
    report.Set("folder", folder.string());
    report.Set("archive", archive.string());
    if (!IsDirectory(folder))
        return MissingFolder(report, folder, "package folder");
    if (!ParentExists(archive) || IsDirectory(archive))
        return report.Fail(ExitCode::LocalProblem, "cannot_write",
                           "cannot write the archive " + archive.string(),
                           "Its folder must exist, and it must not be a folder itself.");

    std::vector<std::string> files;
    ExitCode failure = ExitCode::Success;
    std::vector<std::string> leftOut;
    if (!ListPackage(report, folder, archive, files, failure, &leftOut))
        return failure;
    if (files.empty())
        return report.Fail(ExitCode::LocalProblem, "empty",
                           "the folder " + folder.string() + " has no files to pack");

    // Packed beside the archive and put in place only when whole: an archive already at that path
    // stays until then, and a failure leaves it as it was.
    ScratchFile staged(archive);
    if (!PackInto(report, folder, files, staged.path(), failure))
        return failure;
    if (Interrupted())
        return StoppedByInterrupt(report, "while packing; nothing kept");
    std::error_code renameError;
    fs::rename(staged.path(), archive, renameError);
    if (renameError)
        return report.Fail(ExitCode::LocalProblem, "cannot_write",
                           "cannot replace " + archive.string() + ": " + renameError.message());
    staged.Kept();
    std::error_code sizeError;
    const auto bytes = fs::file_size(archive, sizeError);
    report.Set("bytes", static_cast<std::int64_t>(sizeError ? 0 : bytes));
    report.Say("packed " + std::to_string(files.size()) + (files.size() == 1 ? " file" : " files") + " of " +
               folder.string() + " into " + archive.string() + " (" + std::to_string(sizeError ? 0 : bytes) +
               " bytes)");
    if (!leftOut.empty()) {
        std::string names;
        for (const auto& name : leftOut)
            names += (names.empty() ? "" : ", ") + name;
        report.Say("left out, as a package is the files directly in its folder: " + names);
    }
    return ExitCode::Success;
}

ExitCode Unpack(CommandContext& context)
{
    context.report.Declare({"archive", "folder"});
    Report& report = context.report;
    const fs::path archive = context.args.archive;
    const fs::path folder = context.args.folder;
    report.Set("archive", archive.string());
    report.Set("folder", folder.string());
    if (!IsRegularFile(archive))
        return report.Fail(ExitCode::LocalProblem, "missing", "there is no archive " + archive.string(),
                           "Check the path.");

    bool created = false;
    if (!IsDirectory(folder)) {
        std::error_code error;
        if (fs::exists(folder, error) || !ParentExists(folder) || !fs::create_directory(folder, error))
            return MissingFolder(report, folder, "folder to unpack into");
        created = true;
    }
    const ZipOutcome unpacked = UnpackArchive(archive.string(), FolderArgument(folder));
    if (!unpacked.ok) {
        if (created) {
            std::error_code ignored;
            fs::remove(folder, ignored);
        }
        return report.Fail(ExitCode::LocalProblem, "not_unpacked",
                           "cannot unpack " + archive.string() + " into " + folder.string() + ": " +
                               unpacked.error + "; nothing was written",
                           "An archive is unpacked all or nothing, only into folders that exist, and only "
                           "when every entry stays inside the folder.");
    }
    report.Say("unpacked " + archive.string() + " into " + folder.string());
    return ExitCode::Success;
}

ExitCode Check(CommandContext& context)
{
    context.report.Declare({"folder", "complete", "problems"});
    Report& report = context.report;
    const fs::path folder = context.args.folder;
    report.Set("folder", folder.string());
    if (!IsDirectory(folder))
        return MissingFolder(report, folder, "package folder");
    ExitCode failure = ExitCode::Success;
    const bool complete = CheckPackage(report, folder, failure);
    report.Set("complete", complete);
    if (!complete)
        return failure;
    report.Say("the package in " + folder.string() + " is complete");
    return ExitCode::Success;
}

ExitCode Repair(CommandContext& context)
{
    context.report.Declare({"root", "package", "serial", "path", "created"});
    Report& report = context.report;
    const fs::path root = context.args.root;
    const fs::path package = context.args.package;
    report.Set("root", root.string());
    report.Set("package", package.string());
    if (!IsDirectory(root))
        return MissingFolder(report, root, "root folder");
    if (!IsDirectory(package))
        return MissingFolder(report, package, "package folder");
    if (!IsRegularFile(package / kDescriptionFileName))
        return report.Fail(ExitCode::LocalProblem, "incomplete",
                           "the package in " + package.string() + " has no " + kDescriptionFileName,
                           "The description file names the device's serial number, which names the folder.");
    std::ifstream description(package / kDescriptionFileName, std::ios::binary);
    const std::string serial = ReadDeviceSerial(description);
    if (serial.empty())
        return report.Fail(ExitCode::LocalProblem, "incomplete",
                           std::string(kDescriptionFileName) + " in " + package.string() +
                               " names no device serial number");
    report.Set("serial", serial);
    // The library's own reading of the serial: the folder it makes, or why it makes none.
    const std::optional<std::wstring> folderName = FolderNameFrom(serial);
    if (!folderName)
        return report.Fail(ExitCode::LocalProblem, "bad_name",
                           "the device serial number \"" + serial + "\" cannot name a folder");

    // Named as the library names it on disk (see WidePath and NarrowPath): the C++ library's own
    // conversion depends on the locale and refuses what lies outside it.
    const fs::path target = root / NarrowPath(*folderName);
    report.Set("path", target.string());
    std::error_code error;
    const bool existed = fs::exists(target, error);
    // The package's files are copied only from a path written with forward slashes.
    const fs::path source = fs::absolute(package, error);
    if (error)
        return report.Fail(ExitCode::LocalProblem, "unreadable",
                           "cannot resolve " + package.string() + ": " + error.message());
    std::wstring sourceText = WidePath(source.generic_string());
    while (sourceText.size() > 1 && sourceText.back() == L'/')
        sourceText.pop_back();
    if (!CSysconfig_SET::get()->RepairSETPath(WidePath(FolderArgument(root)), sourceText))
        return report.Fail(ExitCode::LocalProblem, "cannot_write", "cannot create " + target.string(),
                           "Check that the root folder is writable.");
    report.Set("created", !existed);
    report.Say(existed ? target.string() + " already exists; left as it is"
                       : "copied the package into " + target.string());
    return ExitCode::Success;
}

}  // namespace quillon::cli
