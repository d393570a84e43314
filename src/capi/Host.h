// What stands behind a quillon_host handle: one transfer object with its links, and the blocking,
// classified form of each operation that the C interface offers. Every operation returns a Result:
// a code of quillon_c.h and, on failure, a sentence that names what went wrong.
//
// Thread-safety: one operation at a time (the caller serialises them); Cancel from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transfer/LinkSettings.h"

class CQuillon;

namespace quillon::capi {

struct Result {
    int code = 0;         // QUILLON_OK or a QUILLON_E_ code
    std::string message;  // what went wrong, for quillon_last_error; empty on success

    bool ok() const { return code == 0; }
    static Result Ok() { return {}; }
    static Result Fail(int code, std::string message) { return {code, std::move(message)}; }
};

// Where the host looks for its device.
struct HostSettings {
    LinkSettings tcp;
    bool everySerialPort = false;
    std::vector<std::string> serialPorts;  // when not every port: only these (none: no search)
};

// Receives a transfer's percentage, rising, each value once, 100 last on success; on the thread
// that runs the transfer.
using Progress = std::function<void(int percent)>;

class Host {
public:
    // Starts the links. Fails with QUILLON_E_LINK when the settings are refused or the TCP port
    // cannot be listened on.
    static Result Open(const HostSettings& settings, std::unique_ptr<Host>& host);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    int ListeningPort() const;
    // kSerialLink or kTcpLink once a device is linked; stops early when Cancel is called.
    Result WaitForDevice(std::chrono::milliseconds timeout, int& link);
    Result SerialPortName(std::string& name) const;

    // A timeout of zero means none.
    Result Upload(const std::filesystem::path& source, int kind, std::chrono::milliseconds timeout,
                  const Progress& progress);
    Result Download(const std::filesystem::path& archive, const std::filesystem::path& folder, int kind,
                    std::chrono::milliseconds timeout, const Progress& progress);

    Result ReadVersion(int kind, int& version);
    Result WriteVersion(int kind, int version);
    Result WriteRecord(const std::string& name);
    Result Probe();
    Result DeviceDirectory(const std::filesystem::path& folder, bool& existed, std::string& name);

    // Ends the operation under way, or the one about to start; the next one starts afresh.
    void Cancel();

private:
    explicit Host(const HostSettings& settings);
    Result LinkedDevice() const;

    std::unique_ptr<CQuillon> quillon_;
    bool pinnedPorts_ = false;
    std::atomic<bool> cancel_{false};
};

// The same operations on packages on disk, without a device.
Result PackFolder(const std::filesystem::path& folder, const std::filesystem::path& archive);
Result UnpackInto(const std::filesystem::path& archive, const std::filesystem::path& folder);
Result CheckFolder(const std::filesystem::path& folder, std::vector<std::string>& problems);
Result RepairInto(const std::filesystem::path& root, const std::filesystem::path& package, bool& created);

}  // namespace quillon::capi
