#include "DeviceSession.h"

#include <support/serial/SerialPortList.h>
#include <support/tooling/SerialPortAccess.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "Commands.h"
#include "Progress.h"

namespace quillon::cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kLinkPoll = std::chrono::milliseconds(10);

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

std::string JoinPorts(const std::vector<std::string>& ports)
{
    std::string joined;
    for (const auto& port : ports)
        joined += (joined.empty() ? "" : ", ") + port;
    return joined;
}

// Where the device is expected on TCP, for a sentence: "TCP port 8234", "TCP 192.168.7.1 port 8234".
std::string TcpWhere(const LinkSettings& link, int port)
{
    const bool everywhere = link.listenAddress == "0.0.0.0" || link.listenAddress == "::";
    return "TCP " + (everywhere ? std::string() : link.listenAddress + " ") + "port " + std::to_string(port);
}

// Why a port the user named cannot be searched, as a failure; Success when nothing is known
// against it.
ExitCode CheckPort(const std::string& port, Report& report)
{
    using Problem = SerialPortAccess::Problem;
    const SerialPortAccess access = CheckSerialPortAccess(port);
    if (access.problem != Problem::None)
        report.Set("serial_port", port);  // which of the ports given is the one at fault
    switch (access.problem) {
    case Problem::None:
        return ExitCode::Success;
    case Problem::Missing:
        return report.Fail(
            ExitCode::LocalProblem, "no_port", "there is no serial port " + port,
            "Check the name: serial ports are named like /dev/ttyUSB0 on Linux and COM3 on Windows.");
    case Problem::NotATerminal:
        return report.Fail(ExitCode::LocalProblem, "not_a_port", port + " is not a serial port",
                           "Give the path of a serial port, such as /dev/ttyUSB0 or COM3.");
    case Problem::NoPermission:
        return report.Fail(ExitCode::LocalProblem, "port_permission",
                           "you may not open the serial port " + port,
                           access.detail.empty() ? "Ask for access to the port, or run as a user who has it."
                                                 : "Members of the group \"" + access.detail +
                                                       "\" may: add yourself (sudo usermod -aG " +
                                                       access.detail + " $USER) and log in again.");
    case Problem::Other:
        break;
    }
    return report.Fail(ExitCode::LocalProblem, "port_unusable",
                       "cannot use the serial port " + port + ": " + access.detail);
}

}  // namespace

std::unique_ptr<DeviceSession> DeviceSession::Connect(const GlobalOptions& options, Report& report,
                                                      ExitCode& failure, bool showStatus)
{
    // A port that cannot be opened would pass for one without a device, after the whole wait.
    if (options.SearchesEverySerialPort()) {
        serial::unpin_ports();
    } else {
        for (const std::string& port : options.serialPorts) {
            failure = CheckPort(port, report);
            if (failure != ExitCode::Success)
                return nullptr;
        }
        serial::pin_ports(options.serialPorts);
    }
    const LinkSettings& tcp = options.link;
    if (!tcp.listen && options.serialPorts.empty()) {
        failure =
            report.Fail(ExitCode::Usage, "no_link", "--no-tcp leaves no link to look for a device on",
                        "Give --serial-port PATH for a device on a serial line, or leave --no-tcp out.");
        return nullptr;
    }

    auto quillon = std::make_unique<CQuillon>(tcp);
    const int port = quillon->GetListeningPort();
    // A device cannot reach a process that could not take its port: found out now, rather than after
    // a wait that could never end well.
    if (tcp.listen && port == 0) {
        failure = report.Fail(ExitCode::LocalProblem, "port_busy",
                              "cannot listen on " + TcpWhere(tcp, tcp.port) +
                                  ": it is taken by another program, or the "
                                  "address is not one of this computer's",
                              "A device reaches only the program that holds the port: close the other "
                              "program (another quillon, or a host application), or give --listen and --port "
                              "that this computer has free.");
        return nullptr;
    }
    // Whoever let the system pick the port must learn it to point the device there, and before the
    // wait, which is when the device has to come.
    if (tcp.listen && (tcp.port == 0 || options.verbosity >= 1)) {
        std::fprintf(stderr, "listening for the device on %s\n", TcpWhere(tcp, port).c_str());
        std::fflush(stderr);
    }
    CSysconfig_SET& registry = *CSysconfig_SET::get();
    std::string where = tcp.listen ? TcpWhere(tcp, port) : std::string();
    if (options.SearchesEverySerialPort())
        where += std::string(where.empty() ? "" : " or ") + "every serial port";
    else if (!options.serialPorts.empty())
        where += std::string(where.empty() ? "" : " or ") + "serial port" +
                 (options.serialPorts.size() > 1 ? "s " : " ") + JoinPorts(options.serialPorts);

    if (options.SearchesEverySerialPort())
        local::Tell(options, "searching every serial port this computer lists");
    else if (!options.serialPorts.empty())
        local::Tell(options, "searching " + JoinPorts(options.serialPorts) + " (a search takes about 5 s)");

    // A wait of ten seconds on a blank screen looks like a hang; the line goes once a device came.
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options.waitSeconds));
    {
        StatusLine status(stderr, showStatus);
        long long shownSecond = -1;
        while (registry.GetSeriOrTcp() == kNoLink && Clock::now() < deadline && !local::Interrupted()) {
            const auto second =
                std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count();
            if (second != shownSecond) {
                shownSecond = second;
                status.Show("waiting for a device on " + where + " ... " + std::to_string(second) + " s");
            }
            std::this_thread::sleep_for(kLinkPoll);
        }
        status.Clear();
    }
    if (local::Interrupted()) {
        failure = local::StoppedByInterrupt(report, "while waiting for a device; nothing was done");
        return nullptr;
    }
    const int link = registry.GetSeriOrTcp();
    if (link == kNoLink) {
        std::string hint = tcp.listen
                               ? "Check that the device is on and connects to port " + std::to_string(port) +
                                     " of this computer" +
                                     (tcp.allowedPeers.empty() ? "" : " from an address --allow lets in")
                               : "Check that the device is on";
        if (options.serialPorts.empty())
            hint += ". No serial port was searched: give --serial-port PATH for a device on a serial line";
        else
            hint += ", or that it is plugged into the serial port given";
        hint += "; --wait SECONDS gives it longer.";
        failure =
            report.Fail(ExitCode::NoDevice, "no_device",
                        "no device on " + where + " after " + Seconds(options.waitSeconds) + " s", hint);
        return nullptr;
    }
    local::Tell(options, std::string("a device came over ") + (link == kTcpLink ? "TCP" : "a serial port") +
                             " after " +
                             local::SecondsText(std::chrono::duration<double>(Clock::now() - start).count()));
    return std::unique_ptr<DeviceSession>(new DeviceSession(options, std::move(quillon), link));
}

void DeviceSession::RecordLink(Report& report) const
{
    report.Set("link", link_ == kTcpLink ? "tcp" : "serial");
    if (link_ == kSerialLink && options_.serialPorts.size() == 1 && !options_.SearchesEverySerialPort())
        report.Set("serial_port", options_.serialPorts.front());
}

std::string DeviceSession::LinkText() const
{
    if (link_ == kTcpLink)
        return "TCP";
    if (options_.SearchesEverySerialPort())
        return "a serial port";
    if (options_.serialPorts.size() == 1)
        return "serial port " + options_.serialPorts.front();
    return "a serial port (" + JoinPorts(options_.serialPorts) + ")";
}

bool DeviceSession::StillAnswers() { return quillon_->JudgeIsAvailable(); }

}  // namespace quillon::cli
