// Settings packages on disk, as the tool sees them before it hands them to the library.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quillon::cli {

enum class PackageListing { Listed, Unreadable, HoldsLink };

// The names of the regular files directly inside folder, sorted, that make up the package (and in
// others, sorted, the names of what else is there, folders mostly, which is not packed): the
// check's report is about the package, not part of it, and the archive being made is left out
// when it lies in the folder. Unreadable, with the reason in error, when the folder cannot be
// listed; HoldsLink, with the link's name in error, when anything else in it is a link: a link
// could lead anywhere, and what is packed goes to a device.
PackageListing ListPackageFiles(const std::filesystem::path& folder, const std::filesystem::path& leaveOut,
                                std::vector<std::string>& names, std::vector<std::string>& others,
                                std::string& error);

// The lines of the check's report (kCheckReportFileName) in folder, without their line ends.
std::vector<std::string> ReadCheckReport(const std::filesystem::path& folder);

}  // namespace quillon::cli
