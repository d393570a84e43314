#include "Package.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "state/DescriptionFile.h"

namespace quillon::cli {

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

}  // namespace quillon::cli
