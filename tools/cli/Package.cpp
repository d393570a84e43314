#include "Package.h"

#include <algorithm>
#include <fstream>
#include <system_error>

namespace quillon::cli {

namespace fs = std::filesystem;

namespace {

// The first line of the newer description layout; the serial number follows it.
constexpr const char* kDescriptionMarker = "Use Orbisto above v6.3.4";

// No line of a description or report comes near this; a longer one is cut, so a damaged or hostile
// file cannot fill memory.
constexpr std::size_t kMaxLine = 64 * 1024;

bool ReadLine(std::istream& in, std::string& line)
{
    line.clear();
    char c;
    bool any = false;
    while (in.get(c)) {
        any = true;
        if (c == '\n')
            break;
        if (line.size() < kMaxLine)
            line += c;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return any;
}

} // namespace

PackageListing ListPackageFiles(const fs::path& folder, const fs::path& leaveOut,
                                std::vector<std::string>& names, std::string& error)
{
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name == kCheckReportName)
            continue;
        std::error_code kindError;
        if (it->is_symlink(kindError)) {
            error = name;
            return PackageListing::HoldsLink;
        }
        if (!it->is_regular_file(kindError))
            continue;
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
    return PackageListing::Listed;
}

std::string ReadDeviceSerial(const fs::path& description)
{
    std::ifstream in(description, std::ios::binary);
    std::string line;
    if (!in || !ReadLine(in, line))
        return {};
    if (line == kDescriptionMarker && !ReadLine(in, line))
        return {};
    return line;
}

std::vector<std::string> ReadCheckReport(const fs::path& folder)
{
    std::vector<std::string> lines;
    std::ifstream in(folder / kCheckReportName, std::ios::binary);
    std::string line;
    while (in && lines.size() < 100 && ReadLine(in, line)) {
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

bool IsPlainName(const std::string& name)
{
    if (name.empty())
        return false;
    bool onlyDotsAndBlanks = true;
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || c == ':' || u < 0x20 || u == 0x7F)
            return false;
        if (c != '.' && c != ' ')
            onlyDotsAndBlanks = false;
    }
    return !onlyDotsAndBlanks;
}

} // namespace quillon::cli
