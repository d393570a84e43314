#include "Report.h"

#include <algorithm>
#include <sstream>

#include "PlainLoop.h"

namespace quillon::bench {

namespace {

constexpr double kLineBytesPerSecond = 115200.0 / 10.0;
constexpr std::uint64_t kCommandFrame = 10;
constexpr std::uint64_t kValueFrame = 20;
constexpr std::uint64_t kPaddedFrame = 72;

double MBps(std::uint64_t bytes, double seconds) { return static_cast<double>(bytes) / 1e6 / seconds; }

}  // namespace

std::string Fixed(std::optional<double> value, int decimals, const char* unit)
{
    if (!value)
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f%s", decimals, *value, unit);
    return text;
}

std::optional<double> Median(const std::vector<std::optional<double>>& runs)
{
    std::vector<double> values;
    for (const auto& run : runs) {
        if (!run)
            return std::nullopt;
        values.push_back(*run);
    }
    if (values.empty())
        return std::nullopt;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double SerialLineBoundSeconds(std::uint64_t bytes, bool upload)
{
    const std::uint64_t blocks = std::max<std::uint64_t>(1, (bytes + kBlockData - 1) / kBlockData);
    const std::uint64_t wire = upload ? (kCommandFrame + kPaddedFrame) + (kValueFrame + kPaddedFrame) +
                                            blocks * (kBlockFrame + kPaddedFrame)
                                      : (kCommandFrame + kPaddedFrame) + blocks * (kBlockFrame + kAckFrame);
    return static_cast<double>(wire) / kLineBytesPerSecond;
}

std::optional<double> Row::VsLimit() const
{
    if (!quillon || !limit)
        return std::nullopt;
    return *limit / *quillon;
}

std::optional<double> Row::VsTftp() const
{
    if (!quillon || !tftp)
        return std::nullopt;
    return *tftp / *quillon;
}

bool Row::Met() const
{
    if (peakMB || targetMB)
        return peakMB && targetMB && *peakMB <= *targetMB;
    const auto vsLimit = VsLimit();
    if (!vsLimit || *vsLimit < wantVsLimit)
        return false;
    if (wantAtLeastTftp) {
        const auto vsTftp = VsTftp();
        return vsTftp && *vsTftp >= 1.0;
    }
    return true;
}

std::string SizeText(std::uint64_t bytes)
{
    if (bytes >= 1'000'000 && bytes % 1'000'000 == 0)
        return std::to_string(bytes / 1'000'000) + " MB";
    if (bytes >= 1000 && bytes % 1000 == 0)
        return std::to_string(bytes / 1000) + " KB";
    return std::to_string(bytes) + " B";
}

std::string Row::Label() const { return direction + " " + SizeText(bytes); }

std::string Row::Target() const
{
    if (targetMB)
        return "<= " + Fixed(targetMB, 0, " MB");
    std::string target = ">= " + Fixed(wantVsLimit, 1) + (link == "serial" ? " of line" : " of loop");
    if (wantAtLeastTftp)
        target += ", >= TFTP";
    return target;
}

void PrintTable(std::FILE* out, const std::vector<Row>& rows)
{
    std::fprintf(out, "%-7s %-15s %9s %9s %9s %9s %8s %8s  %-25s %s\n", "link", "what", "Quillon", "MB/s",
                 "limit", "TFTP", "Q/limit", "Q/TFTP", "target", "met");
    for (const Row& row : rows) {
        if (row.peakMB || row.targetMB) {
            std::fprintf(out, "%-7s %-15s %9s %9s %9s %9s %8s %8s  %-25s %s\n", row.link.c_str(),
                         row.Label().c_str(), Fixed(row.peakMB, 1, " MB").c_str(), "",
                         Fixed(row.targetMB, 1, " MB").c_str(), "", "", "", row.Target().c_str(),
                         row.Met() ? "yes" : "NO");
            continue;
        }
        const std::string rate = row.quillon ? Fixed(MBps(row.bytes, *row.quillon), 2) : "-";
        std::fprintf(out, "%-7s %-15s %9s %9s %9s %9s %8s %8s  %-25s %s\n", row.link.c_str(),
                     row.Label().c_str(), Fixed(row.quillon, 3, " s").c_str(), rate.c_str(),
                     Fixed(row.limit, 3, " s").c_str(), Fixed(row.tftp, 3, " s").c_str(),
                     Fixed(row.VsLimit(), 2).c_str(), Fixed(row.VsTftp(), 2).c_str(), row.Target().c_str(),
                     row.Met() ? "yes" : "NO");
    }
    std::fprintf(out, "Times are medians of the repeats; limit: the plain stop-and-wait loop on TCP, the "
                      "line-rate bound on serial, the target peak on memory.\n");
}

std::string Csv(const std::vector<Row>& rows)
{
    std::ostringstream csv;
    csv << "link,direction,bytes,label,repeats,quillon_s,limit_s,tftp_s,quillon_MBps,limit_MBps,tftp_MBps,"
           "quillon_vs_limit,quillon_vs_tftp,peak_MB,target_MB,target,met\n";
    const auto rate = [](std::uint64_t bytes, std::optional<double> seconds) {
        return seconds ? Fixed(MBps(bytes, *seconds), 3) : std::string();
    };
    const auto plain = [](std::optional<double> value, int decimals) {
        return value ? Fixed(value, decimals) : std::string();
    };
    for (const Row& row : rows) {
        csv << row.link << ',' << row.direction << ',' << row.bytes << ',' << row.Label() << ','
            << row.repeats << ',' << plain(row.quillon, 4) << ',' << plain(row.limit, 4) << ','
            << plain(row.tftp, 4) << ',' << rate(row.bytes, row.quillon) << ',' << rate(row.bytes, row.limit)
            << ',' << rate(row.bytes, row.tftp) << ',' << plain(row.VsLimit(), 3) << ','
            << plain(row.VsTftp(), 3) << ',' << plain(row.peakMB, 1) << ',' << plain(row.targetMB, 1) << ",\""
            << row.Target() << "\"," << (row.Met() ? "yes" : "no") << '\n';
    }
    return csv.str();
}

}  // namespace quillon::bench
