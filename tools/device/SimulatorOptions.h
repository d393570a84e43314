// What a simulated device is told before it starts: where it meets the host, where it keeps its
// state, its name, and the faults it commits on request.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/DeviceLink.h"

namespace quillon::sim {

enum class Transport {
    Tcp,         // connect to a host listening on host:port
    SerialPort,  // serve on an existing serial port
    Pty,         // make a pseudo-terminal pair and serve on its device side
};

// The operations a device can refuse.
enum class Operation { Upload, Download, VersionRead, VersionWrite };

// "upload", "download", "version-read", "version-write".
std::string_view OperationName(Operation operation);
std::optional<Operation> ParseOperation(std::string_view name);

struct Faults {
    // The operations whose commands are answered with a refusal (acknowledgement code 1), one bit
    // each; see Refuse.
    unsigned refused = 0;
    // Nothing is ever answered (a serial device still greets, so that the host finds it).
    bool silent = false;
    // An upload gets as far as N blocks: the device acknowledges until the host has sent N blocks
    // and then stays quiet (N = 0: the size is not acknowledged).
    std::optional<int> stopAcksAfter{};
    // Download block N goes out with a wrong checksum.
    std::optional<int> corruptBlock{};
    // Download block N goes out with the index N + 1.
    std::optional<int> wrongIndexBlock{};
    // A download's size frame goes out twice.
    bool repeatSize = false;
    // The link drops once N blocks of a transfer have crossed it, either way (N = 0: right after
    // the size). TCP closes the connection and connects again; a serial device restarts: it
    // forgets its key and greets again.
    std::optional<int> disconnectAfter{};
    // Every frame the device sends waits this long first.
    std::chrono::milliseconds delay{0};
    // Both directions move at the pace of a 115200-baud line (8N1: 11,520 bytes a second).
    bool lineRate = false;

    void Refuse(Operation operation) { refused |= Bit(operation); }
    bool refuses(Operation operation) const { return (refused & Bit(operation)) != 0; }
    static constexpr unsigned Bit(Operation operation) { return 1u << static_cast<unsigned>(operation); }
};

inline constexpr std::string_view kDefaultName = "SIMULATED-01";

struct SimulatorOptions {
    Transport transport = Transport::Tcp;
    std::string host = "127.0.0.1";  // Tcp
    int port = kDevicePort;          // Tcp
    std::string serialPath;          // SerialPort

    std::filesystem::path stateFolder = "quillon-device-state";  // made when missing
    std::filesystem::path archive;   // served for a kind that was never uploaded; empty: none
    std::string name{kDefaultName};  // exactly 12 bytes: the name until the host writes a record

    Faults faults;
    int sessions = 0;      // serving ends after this many host sessions have ended; 0: never
    bool verbose = false;  // a line for every frame as well

    // Receives every line the device logs, on the serving thread; may be empty.
    std::function<void(const std::string&)> log;
};

// Why options cannot be served, or empty when they can.
std::string CheckOptions(const SimulatorOptions& options);

}  // namespace quillon::sim
