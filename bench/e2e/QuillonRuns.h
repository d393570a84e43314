// Quillon's side of the benchmark: the library as a host drives it, against the simulated device.
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

// The library and the in-process simulator, linked over loopback TCP or a pseudo-terminal. One
// per process: the library's state registry is process-wide.
class QuillonRig {
public:
    enum class Link { Tcp, Serial };

    // Starts the device and the library and waits until the link is online and keyed; check
    // error(). The library never opens a port of the machine: the port list is pinned to the
    // device's pseudo-terminal, or to nothing on TCP.
    QuillonRig(Link link, const std::filesystem::path& work);
    ~QuillonRig();
    QuillonRig(const QuillonRig&) = delete;
    QuillonRig& operator=(const QuillonRig&) = delete;

    const std::string& error() const { return error_; }

    // Seconds from the call to WriteSettoHard until the device has stored the whole archive.
    std::optional<double> Upload(const std::filesystem::path& zip, char kind);
    // Seconds from ReadSetFromHard until the host reports the download finished (archive written
    // and unpacked), polled as a host polls. The archive lands at `to`.
    std::optional<double> Download(const std::filesystem::path& to, char kind);

private:
    std::filesystem::path work_;
    std::unique_ptr<sim::DeviceSimulator> device_;
    std::unique_ptr<CQuillon> quillon_;
    std::string error_;
    int downloads_ = 0;
};

}  // namespace quillon::bench
