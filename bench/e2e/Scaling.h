// How Quillon's costs grow with the size of the work: unpacking and packing archives of many
// entries beside Info-ZIP's unzip and zip, the path repair and the package check of packages of
// many files, the folder walk over wide and deep trees, the serial port search over many ports, the
// TCP link taking many connections, and transfers of many blocks (time and memory). Each row
// carries its ratio to the row of the same operation with less work, per step of work: 1.0 is linear, 10 per
// tenfold step is quadratic, below 1 is cheaper than linear (a fixed cost that the work does not grow).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillon::bench {

struct ScalingRow {
    std::string operation;          // "unpack flat", "pack in folders", "repair", "port search", ...
    std::uint64_t count = 0;        // entries, files, ports, connections or megabytes
    std::optional<double> quillon;  // the median, in seconds or in `unit`
    std::string unit = " s";
    std::optional<double> reference;  // unzip's or zip's seconds where there is one
    std::optional<double> perStep;    // (seconds / the smaller row's) / (count / the smaller row's)

    std::optional<double> VsReference() const;  // Quillon's time over the reference's
};

// The programs the transfer rows run: the quillon tool as the host, quillon-device as the device
// (started on `deviceProcessor`, -1: anywhere).
struct TransferPrograms {
    std::string tool;
    std::string device;
    int deviceProcessor = -1;
};

// The rows, each the median of `repeats` runs, working in folders under work.
std::vector<ScalingRow> MeasureScaling(const std::filesystem::path& work, int repeats,
                                       const TransferPrograms& programs);

void PrintScaling(std::FILE* out, const std::vector<ScalingRow>& rows);
std::string ScalingCsv(const std::vector<ScalingRow>& rows);

}  // namespace quillon::bench
