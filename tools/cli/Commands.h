// The tool's commands, one function each. A command records its result in the report and
// returns its exit code; it never prints on its own, so text and JSON output stay consistent.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "ExitCode.h"
#include "Options.h"
#include "Report.h"
#include "state/PackageContents.h"
#include "support/fs/FileKind.h"
#include "support/fs/ScratchFile.h"

namespace quillon::cli {

struct CommandContext {
    const GlobalOptions& options;
    const CommandArguments& args;
    Report& report;
    bool showProgress;  // standard error is a terminal that the library's lines do not share: the
                        // waiting line and the progress bar go there
};

// Without a device.
ExitCode Pack(CommandContext& context);
ExitCode Unpack(CommandContext& context);
ExitCode Check(CommandContext& context);
ExitCode Repair(CommandContext& context);

// With a device.
ExitCode Status(CommandContext& context);
ExitCode Probe(CommandContext& context);
ExitCode Upload(CommandContext& context);
ExitCode Download(CommandContext& context);
ExitCode VersionGet(CommandContext& context);
ExitCode VersionSet(CommandContext& context);
ExitCode Record(CommandContext& context);
ExitCode DeviceDirectory(CommandContext& context);
ExitCode Ports(CommandContext& context);

// Helpers the commands share.
namespace local {

// The failure for a folder that should exist and does not (or is not a folder).
ExitCode MissingFolder(Report& report, const std::filesystem::path& folder, const std::string& what);

// The package check on folder; on failure records the report's lines as "problems" and the
// failure, and returns false.
bool CheckPackage(Report& report, const std::filesystem::path& folder, ExitCode& failure);

// With -v, a line of the tool's own account of what it does, on standard error.
void Tell(const GlobalOptions& options, const std::string& line);

// "0.42 s", "1.5 MiB/s": a duration, and bytes over it as a rate.
std::string SecondsText(double seconds);
std::string RateText(std::uint64_t bytes, double seconds);

// Whether Ctrl-C or a termination request came during the run (App keeps an InterruptWatch).
bool Interrupted();

// The failure of a command that stopped on an interrupt, with the exit status the signal asks
// for: "interrupted at 40%; nothing kept", where what is "at 40%; nothing kept".
ExitCode StoppedByInterrupt(Report& report, const std::string& what);

// The files of the package in folder (see ListPackageFiles), recorded as "files", and with leftOut
// what is not packed (folders and other entries that are not files) as "left_out"; on failure
// records it and returns false.
bool ListPackage(Report& report, const std::filesystem::path& folder, const std::filesystem::path& leaveOut,
                 std::vector<std::string>& files, ExitCode& failure,
                 std::vector<std::string>* leftOut = nullptr);

// Packs the files of folder into a new archive at zip, as the library packs; on failure records
// why (the file, and what was wrong with it) and returns false.
bool PackInto(Report& report, const std::filesystem::path& folder, const std::vector<std::string>& files,
              const std::filesystem::path& zip, ExitCode& failure);

}  // namespace local

}  // namespace quillon::cli
