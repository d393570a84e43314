// Settings packages on disk, before they are packed and sent: which files make one up, and the
// package check with the problems it finds. Pure rules, shared by the library's C interface and the
// command-line tool so that both say the same about the same folder.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace quillon {

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

struct PackageCheck {
    enum class Result { Complete, Incomplete, NotAPackage } result = Result::NotAPackage;
    std::vector<std::string> problems;  // a line for each missing piece
    bool reportWritten = false;         // the problems are in kCheckReportFileName in the folder
};

// Runs check (the registry's CheckSETExist, given the folder as FolderArgument writes it) on the
// package in folder, and says what it found. A folder without a description file is no package and
// gets nothing written into it. A report left by an earlier check goes first, so that a report
// after the check can only be this check's; when the check cannot write one there, the problems
// come from the same check run on a stand-in in the temporary folder.
PackageCheck CheckPackageFolder(const std::filesystem::path& folder,
                                const std::function<bool(const std::string&)>& check);

// A folder as the library takes it: no trailing separator (the library adds its own).
std::string FolderArgument(const std::filesystem::path& folder);

}  // namespace quillon
