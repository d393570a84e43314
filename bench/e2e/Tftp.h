// The TFTP yardstick: tftpd-hpa's in.tftpd in the foreground on a high loopback port, serving a
// folder of its own, and curl's TFTP client as the peer, both with 4096-byte blocks.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace quillon {
class ChildProcess;
}

namespace quillon::bench {

class TftpServer {
public:
    // Starts in.tftpd on a free loopback UDP port serving folder (which must exist). Check
    // error() afterwards: empty when it answers.
    explicit TftpServer(std::filesystem::path folder);
    ~TftpServer();
    TftpServer(const TftpServer&) = delete;
    TftpServer& operator=(const TftpServer&) = delete;

    const std::string& error() const { return error_; }

    // curl's own transfer time (its time_total, without its start-up) for a download of the served
    // file `name` into `to`, or an upload of `from` as `name`; nullopt when curl fails.
    std::optional<double> Download(const std::string& name, const std::filesystem::path& to);
    std::optional<double> Upload(const std::filesystem::path& from, const std::string& name);

private:
    std::string Url(const std::string& name) const;

    std::filesystem::path folder_;
    int port_ = -1;
    bool chrooted_ = false;
    std::unique_ptr<ChildProcess> server_;
    std::string error_;
};

}  // namespace quillon::bench
