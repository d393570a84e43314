// Quillon's side of the benchmark: the library as a host drives it, against the simulated device or
// the minimal device peer.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

class CQuillon;
namespace quillon::sim {
class DeviceSimulator;
}

namespace quillon::bench {

class MinimalPeer;

// The library and a device in the same process, linked over loopback TCP or a pseudo-terminal. One
// per process: the library's state registry is process-wide.
class QuillonRig {
public:
    enum class Link { Tcp, Serial };
    // The simulator keeps what it is sent in a state folder and serves downloads from there; the
    // minimal peer (TCP only) keeps nothing and serves the archive each download names.
    enum class Device { Simulator, MinimalPeer };

    // Starts the library and the device and waits until the link is online and keyed; check
    // error(). Over TCP the library listens on a free loopback port; it never opens a port of the
    // machine: the port list is pinned to the device's pseudo-terminal, or to nothing on TCP.
    // The device's threads run on `device`; the library's where the caller runs.
    QuillonRig(Link link, Device device, const std::filesystem::path& work, int deviceProcessor = -1);
    ~QuillonRig();
    QuillonRig(const QuillonRig&) = delete;
    QuillonRig& operator=(const QuillonRig&) = delete;

    const std::string& error() const { return error_; }

    // Seconds from the call to WriteSettoHard until the device has stored the whole archive (the
    // minimal peer: acknowledged its last block).
    std::optional<double> Upload(const std::filesystem::path& zip, char kind);
    // Seconds from ReadSetFromHard until the host reports the download finished (archive written
    // and unpacked), polled as a host polls. The archive lands at `to`. The simulator serves what
    // was uploaded as that kind; the minimal peer serves `source`, read before the clock starts.
    std::optional<double> Download(const std::filesystem::path& to, char kind,
                                   const std::filesystem::path& source);

private:
    // Waits, outside any timing, until the last acknowledgement of the transfer before has come.
    void Settle() const;

    Link link_;
    std::filesystem::path work_;
    std::unique_ptr<sim::DeviceSimulator> device_;
    std::unique_ptr<MinimalPeer> peer_;
    std::unique_ptr<CQuillon> quillon_;
    std::string error_;
    int downloads_ = 0;
};

}  // namespace quillon::bench
