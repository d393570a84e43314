// The benchmark's one table: its rows, the medians and spreads behind them, and the ways it is
// written out.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace quillon::bench {

// What the repeats of one figure gave, in seconds (or MB for memory).
struct Spread {
    double median = 0;
    double min = 0;
    double max = 0;
};

// The median, least and greatest of what was measured; nullopt when any run failed, so a failure is
// never averaged away.
std::optional<Spread> Summarize(const std::vector<std::optional<double>>& runs);
std::optional<double> Median(const std::vector<std::optional<double>>& runs);

// Seconds a 115200-baud line (10 bits a byte) needs for a stop-and-wait transfer of `bytes`:
// upload: command + padded acknowledgement, size value + padded acknowledgement, then per block
// the block frame and a padded acknowledgement; download: command, the padded size value, and per
// block the block frame and the host's 10-byte acknowledgement.
double SerialLineBoundSeconds(std::uint64_t bytes, bool upload);

struct Row {
    std::string link;       // tcp, serial, memory
    std::string direction;  // upload, download
    std::uint64_t bytes = 0;
    int repeats = 0;
    std::optional<Spread> simulator;  // seconds: Quillon against the simulated device
    std::optional<Spread> peer;       // seconds: Quillon against the minimal device peer (TCP)
    std::optional<Spread> limit;      // seconds: the plain loop, or the line-rate bound
    std::optional<Spread> tftp;       // seconds
    std::optional<double> peakMB;     // memory rows: the host's peak resident set
    std::optional<double> targetMB;   // memory rows: what it may be at most
    // The least speed over the limit's that meets the target: Quillon against the minimal peer over
    // the plain loop on TCP, against the simulator over the line rate on serial.
    double wantVsLimit = 0;
    bool wantAtLeastTftp = false;  // Quillon against the simulator at least as fast as TFTP

    std::optional<double> VsLimit() const;  // speed over the limit's, by the medians
    std::optional<double> VsTftp() const;
    bool Met() const;
    std::string Label() const;  // "upload 10 MB"
    std::string Target() const;
};

std::string SizeText(std::uint64_t bytes);

// The value with that many decimals and the unit after it; "-" for none.
std::string Fixed(std::optional<double> value, int decimals, const char* unit = "");

void PrintTable(std::FILE* out, const std::vector<Row>& rows, const std::string& title);
std::string Csv(const std::vector<Row>& rows);

}  // namespace quillon::bench
