#include "Tftp.h"

#include <chrono>
#include <fstream>
#include <thread>

#include "Processes.h"

namespace quillon::bench {

namespace {

constexpr const char* kServer = "in.tftpd";
constexpr const char* kBlockSize = "4096";
// The server takes a moment to bind its port; a probe is retried this often, this many times.
constexpr auto kProbeEvery = std::chrono::milliseconds(50);
constexpr int kProbes = 60;
// curl retries a silent TFTP server for minutes; a transfer here takes seconds at most.
constexpr const char* kProbeLimit = "2";
constexpr const char* kTransferLimit = "120";

std::optional<double> Seconds(const Finished& finished)
{
    if (finished.exitCode != 0)
        return std::nullopt;
    try {
        return std::stod(finished.output);
    } catch (...) {
        return std::nullopt;
    }
}

}  // namespace

TftpServer::TftpServer(std::filesystem::path folder) : folder_(std::move(folder))
{
    port_ = FreeLoopbackPort(true);
    if (port_ <= 0) {
        error_ = "no free UDP port";
        return;
    }
    // Confining the server to its folder needs chroot, which only root may do; otherwise files are
    // named by their absolute path.
    chrooted_ = RunningAsRoot();
    std::vector<std::string> argv{
        kServer, "-L", "-a", "127.0.0.1:" + std::to_string(port_), "-c", "-B", kBlockSize, "-u", UserName()};
    if (chrooted_)
        argv.insert(argv.end(), {"-s", folder_.string()});
    else
        argv.push_back(folder_.string());
    server_ = std::make_unique<ChildProcess>(argv, ChildStreams(false));
    if (!server_->started()) {
        error_ = "cannot start in.tftpd (is tftpd-hpa installed?)";
        return;
    }

    const std::string probe = "tftp-probe";
    std::ofstream(folder_ / probe) << "probe";
    const auto to = folder_ / (probe + ".got");
    for (int i = 0; i < kProbes && server_->Running(); ++i) {
        if (Seconds(Run({"curl", "-s", "--max-time", kProbeLimit, "-o", to.string(), "-w", "%{time_total}",
                         Url(probe)},
                        true)))
            return;
        std::this_thread::sleep_for(kProbeEvery);
    }
    error_ = "in.tftpd does not answer on port " + std::to_string(port_);
}

TftpServer::~TftpServer() = default;

std::string TftpServer::Url(const std::string& name) const
{
    const std::string path = chrooted_ ? name : (folder_ / name).string();
    return "tftp://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

std::optional<double> TftpServer::Download(const std::string& name, const std::filesystem::path& to)
{
    return Seconds(Run({"curl", "-s", "--tftp-blksize", kBlockSize, "--max-time", kTransferLimit, "-w",
                        "%{time_total}", "-o", to.string(), Url(name)},
                       true));
}

std::optional<double> TftpServer::Upload(const std::filesystem::path& from, const std::string& name)
{
    return Seconds(Run({"curl", "-s", "--tftp-blksize", kBlockSize, "--max-time", kTransferLimit, "-w",
                        "%{time_total}", "-T", from.string(), Url(name)},
                       true));
}

}  // namespace quillon::bench
