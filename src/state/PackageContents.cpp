#include "state/PackageContents.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <system_error>

#include "state/DescriptionFile.h"

namespace quillon {

namespace fs = std::filesystem;

PackageListing ListPackageFiles(const fs::path& folder, const fs::path& leaveOut,
                                std::vector<std::string>& names, std::vector<std::string>& others,
                                std::string& error)
{
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name == kCheckReportFileName)
            continue;
        std::error_code kindError;
        if (it->is_symlink(kindError)) {
            error = name;
            return PackageListing::HoldsLink;
        }
        if (!it->is_regular_file(kindError)) {
            others.push_back(name);
            continue;
        }
        std::error_code sameError;
        if (!leaveOut.empty() && fs::equivalent(it->path(), leaveOut, sameError))
            continue;
        names.push_back(name);
    }
    if (ec) {
        error = ec.message();
        return PackageListing::Unreadable;
    }
    std::sort(names.begin(), names.end());
    std::sort(others.begin(), others.end());
    return PackageListing::Listed;
}

std::string FolderArgument(const fs::path& folder)
{
    std::string text = folder.string();
    while (text.size() > 1 &&
           (text.back() == '/' || text.back() == static_cast<char>(fs::path::preferred_separator)))
        text.pop_back();
    return text;
}

std::vector<std::string> ReadCheckReport(const fs::path& folder)
{
    std::vector<std::string> lines;
    std::ifstream in(folder / kCheckReportFileName, std::ios::binary);
    // Read as the library reads a package's text, so a hostile report cannot fill memory either.
    while (in && lines.size() < 100) {
        std::string line = ReadTextLine(in);
        if (!line.empty())
            lines.push_back(std::move(line));
    }
    return lines;
}

namespace {

// What the check lists for a package folder that takes no report, found by the same check on a
// stand-in in the temporary folder: the description, and an empty file for every file of the
// package, as the check looks only at which files are there.
std::vector<std::string> CheckStandIn(const fs::path& folder,
                                      const std::function<bool(const std::string&)>& check)
{
    constexpr int kMostEntries = 10'000;  // a package has a handful; a huge tree is no package
    std::random_device random;
    std::error_code error;
    const fs::path standIn = fs::temp_directory_path(error) /
                             ("quillon-check-" + std::to_string(random()) + std::to_string(random()));
    struct Removed {
        fs::path path;
        ~Removed()
        {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    } removed{standIn};
    if (error || !fs::create_directory(standIn, error) ||
        !fs::copy_file(folder / kDescriptionFileName, standIn / kDescriptionFileName, error))
        return {"the check could not be run on a copy either: " + error.message()};
    int entries = 0;
    for (fs::recursive_directory_iterator it(folder, error), end;
         !error && it != end && ++entries < kMostEntries; it.increment(error)) {
        const fs::path relative = it->path().lexically_relative(folder);
        const fs::path copy = standIn / relative;
        std::error_code kind;
        if (relative == kCheckReportFileName) {
            if (it->is_directory(kind))
                it.disable_recursion_pending();  // whatever stands in the report's place is no part
        } else if (it->is_directory(kind) && !it->is_symlink(kind))
            fs::create_directory(copy, kind);
        else if (!fs::exists(copy, kind))
            std::ofstream{copy};
    }
    if (check(FolderArgument(standIn)))
        return {};
    return ReadCheckReport(standIn);
}

}  // namespace

PackageCheck CheckPackageFolder(const fs::path& folder, const std::function<bool(const std::string&)>& check)
{
    PackageCheck result;
    std::error_code error;
    if (!fs::is_regular_file(folder / kDescriptionFileName, error))
        return result;
    // One that cannot go (a folder that may not be written, or a folder in its place) stays, and
    // tells that this check cannot write its own either.
    const fs::path reportPath = folder / kCheckReportFileName;
    if (!fs::is_directory(fs::symlink_status(reportPath, error)))
        fs::remove(reportPath, error);
    const bool earlierStays = fs::exists(fs::symlink_status(reportPath, error));
    if (check(FolderArgument(folder))) {
        result.result = PackageCheck::Result::Complete;
        return result;
    }
    result.result = PackageCheck::Result::Incomplete;
    result.reportWritten = !earlierStays && fs::is_regular_file(reportPath, error);
    result.problems = result.reportWritten ? ReadCheckReport(folder) : CheckStandIn(folder, check);
    return result;
}

}  // namespace quillon
