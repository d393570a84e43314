// Settings packages on disk, as the tool sees them before it hands them to the library.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quillon::cli {

// The package check's report, written into a package folder that failed the check.
inline constexpr const char* kCheckReportName = "CheckSetInfo.TXT";
inline constexpr const char* kDescriptionName = "DeviceSet.DST";

enum class PackageListing { Listed, Unreadable, HoldsLink };

// The names of the regular files directly inside folder, sorted, that make up the package: the
// check's report is about the package, not part of it, and the archive being made is left out
// when it lies in the folder. Unreadable, with the reason in error, when the folder cannot be
// listed; HoldsLink, with the link's name in error, when anything else in it is a link: a link
// could lead anywhere, and what is packed goes to a device.
PackageListing ListPackageFiles(const std::filesystem::path& folder, const std::filesystem::path& leaveOut,
                                std::vector<std::string>& names, std::string& error);

// The device serial number a description file names (line 2 after the layout marker, line 1
// otherwise), or empty when the file cannot be read or holds none.
std::string ReadDeviceSerial(const std::filesystem::path& description);

// The lines of the check's report in folder, without their line ends.
std::vector<std::string> ReadCheckReport(const std::filesystem::path& folder);

// Whether name can be one folder name of its own: not empty, no separator, drive colon or control
// character, and not made of dots and blanks alone.
bool IsPlainName(const std::string& name);

} // namespace quillon::cli
