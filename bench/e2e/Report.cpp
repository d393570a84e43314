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

std::optional<Spread> Summarize(const std::vector<std::optional<double>>& runs)
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
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return Spread{median, values.front(), values.back()};
}

std::optional<double> Median(const std::vector<std::optional<double>>& runs)
{
    const auto spread = Summarize(runs);
    return spread ? std::optional<double>(spread->median) : std::nullopt;
}

double SerialLineBoundSeconds(std::uint64_t bytes, bool upload)
{
    const std::uint64_t blocks = std::max<std::uint64_t>(1, (bytes + kBlockData - 1) / kBlockData);
    const std::uint64_t wire = upload ? (kCommandFrame + kPaddedFrame) + (kValueFrame + kPaddedFrame) +
                                            blocks * (kBlockFrame + kPaddedFrame)
                                      : (kCommandFrame + kPaddedFrame) + blocks * (kBlockFrame + kAckFrame);
    return static_cast<double>(wire) / kLineBytesPerSecond;
}

namespace {

// Speed of `quillon` over the speed of `other`, by their medians.
std::optional<double> SpeedOver(const std::optional<Spread>& quillon, const std::optional<Spread>& other)
{
    if (!quillon || !other)
        return std::nullopt;
    return other->median / quillon->median;
}

}  // namespace

std::optional<double> Row::VsLimit() const { return SpeedOver(link == "tcp" ? peer : simulator, limit); }

std::optional<double> Row::VsTftp() const { return SpeedOver(simulator, tftp); }

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
    if (link == "serial")
        return ">= " + Fixed(wantVsLimit, 2) + " of line";
    std::string target = "peer >= " + Fixed(wantVsLimit, 2) + " of loop";
    if (wantAtLeastTftp)
        target += ", sim >= TFTP";
    return target;
}

namespace {

// "9.12 [8.80-10.31]": milliseconds, the median and the range of the repeats.
std::string Milliseconds(const std::optional<Spread>& spread)
{
    if (!spread)
        return "-";
    if (spread->min == spread->max)
        return Fixed(spread->median * 1e3, 2);
    return Fixed(spread->median * 1e3, 2) + " [" + Fixed(spread->min * 1e3, 2) + "-" +
           Fixed(spread->max * 1e3, 2) + "]";
}

}  // namespace

void PrintTable(std::FILE* out, const std::vector<Row>& rows, const std::string& title)
{
    std::fprintf(out, "%s\n", title.c_str());
    constexpr const char* kLine = "%-7s %-16s %-24s %-24s %-24s %-24s %6s %6s  %-30s %s\n";
    std::fprintf(out, kLine, "link", "what", "Quillon+peer ms", "limit ms", "Quillon+sim ms", "TFTP ms",
                 "Q/lim", "Q/TFTP", "target", "met");
    for (const Row& row : rows) {
        if (row.peakMB || row.targetMB) {
            std::fprintf(out, kLine, row.link.c_str(), row.Label().c_str(), "", "",
                         Fixed(row.peakMB, 1, " MB").c_str(), "", "", "", row.Target().c_str(),
                         row.Met() ? "yes" : "NO");
            continue;
        }
        std::fprintf(out, kLine, row.link.c_str(), row.Label().c_str(), Milliseconds(row.peer).c_str(),
                     Milliseconds(row.limit).c_str(), Milliseconds(row.simulator).c_str(),
                     Milliseconds(row.tftp).c_str(), Fixed(row.VsLimit(), 2).c_str(),
                     Fixed(row.VsTftp(), 2).c_str(), row.Target().c_str(), row.Met() ? "yes" : "NO");
    }
    std::fprintf(
        out,
        "Milliseconds: the median of the repeats [least-greatest]. Quillon+peer: against the minimal "
        "device peer; Quillon+sim: against the simulator. limit: the plain stop-and-wait loop on TCP, the "
        "line-rate bound on serial. Q/lim: Quillon+peer over the loop on TCP, Quillon+sim over the line "
        "on serial; Q/TFTP: Quillon+sim over TFTP; both speed ratios (above 1: faster).\n");
}

std::string Csv(const std::vector<Row>& rows)
{
    std::ostringstream csv;
    csv << "link,direction,bytes,label,repeats";
    for (const char* figure : {"quillon_peer", "limit", "quillon_sim", "tftp"})
        csv << ',' << figure << "_s," << figure << "_min_s," << figure << "_max_s," << figure << "_MBps,"
            << figure << "_MBps_low," << figure << "_MBps_high";
    csv << ",quillon_vs_limit,quillon_vs_tftp,peak_MB,target_MB,target,met\n";
    const auto plain = [](std::optional<double> value, int decimals) {
        return value ? Fixed(value, decimals) : std::string();
    };
    for (const Row& row : rows) {
        csv << row.link << ',' << row.direction << ',' << row.bytes << ',' << row.Label() << ','
            << row.repeats;
        for (const auto* figure : {&row.peer, &row.limit, &row.simulator, &row.tftp}) {
            if (!*figure) {
                csv << ",,,,,,";
                continue;
            }
            const Spread& s = **figure;
            // The slowest run gives the lowest rate.
            csv << ',' << Fixed(s.median, 5) << ',' << Fixed(s.min, 5) << ',' << Fixed(s.max, 5) << ','
                << Fixed(MBps(row.bytes, s.median), 3) << ',' << Fixed(MBps(row.bytes, s.max), 3) << ','
                << Fixed(MBps(row.bytes, s.min), 3);
        }
        csv << ',' << plain(row.VsLimit(), 3) << ',' << plain(row.VsTftp(), 3) << ',' << plain(row.peakMB, 1)
            << ',' << plain(row.targetMB, 1) << ",\"" << row.Target() << "\"," << (row.Met() ? "yes" : "no")
            << '\n';
    }
    return csv.str();
}

}  // namespace quillon::bench
