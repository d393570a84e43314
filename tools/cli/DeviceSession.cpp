#include "DeviceSession.h"

#include <support/SerialPortList.h>
#include <support/TCPServer.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace quillon::cli {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTcpLink = 1;
constexpr auto kLinkPoll = std::chrono::milliseconds(10);
// The TCP link reports a device as soon as it has connected, a few milliseconds before the link
// key has gone out to it (the serial link keys the device before it reports it). A request sent
// in between travels under the old key, and the device's answer, under the new one, is dropped.
// The key frame is given this long to go first.
constexpr auto kTcpKeySettle = std::chrono::milliseconds(100);

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

// The library listens on the device port without telling whether it could. A device cannot reach
// a process whose port another one holds, so this is found out first, rather than after a wait
// that could never end well.
bool DevicePortFree()
{
    libmarl::TCPServer trial(true);
    if (trial.startThread(kDevicePort) != 0)
        return false;
    trial.stop();
    return true;
}

} // namespace

std::unique_ptr<DeviceSession> DeviceSession::Connect(const GlobalOptions& options, Report& report,
                                                      ExitCode& failure)
{
    serial::pin_ports(options.serialPorts);
    if (!DevicePortFree()) {
        failure = report.Fail(ExitCode::LocalProblem, "port_busy",
                              "TCP port " + std::to_string(kDevicePort) + " is taken by another program",
                              "A device reaches only the program that holds the port: close the other "
                              "program (another quillon, or a host application) and try again.");
        return nullptr;
    }

    auto quillon = std::make_unique<CQuillon>();
    CSysconfig_SET& registry = *CSysconfig_SET::get();
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(options.waitSeconds));
    while (registry.GetSeriOrTcp() == -1 && Clock::now() < deadline)
        std::this_thread::sleep_for(kLinkPoll);
    const int link = registry.GetSeriOrTcp();
    if (link == -1) {
        std::string where = "TCP port " + std::to_string(kDevicePort);
        std::string hint = "Check that the device is on and connects to port " + std::to_string(kDevicePort) +
                           " of this computer";
        if (options.serialPorts.empty()) {
            hint += ". No serial port was searched: give --serial-port PATH for a device on a serial line";
        } else {
            where += " or serial port" + std::string(options.serialPorts.size() > 1 ? "s " : " ") +
                     JoinPorts(options.serialPorts);
            hint += ", or that it is plugged into the serial port given";
        }
        hint += "; --wait SECONDS gives it longer.";
        failure =
            report.Fail(ExitCode::NoDevice, "no_device",
                        "no device on " + where + " after " + Seconds(options.waitSeconds) + " s", hint);
        return nullptr;
    }
    if (link == kTcpLink)
        std::this_thread::sleep_for(kTcpKeySettle);
    return std::unique_ptr<DeviceSession>(new DeviceSession(options, std::move(quillon), link));
}

std::string DeviceSession::LinkKey() const
{
    return link_ == kTcpLink ? "tcp" : "serial";
}

std::string DeviceSession::LinkText() const
{
    if (link_ == kTcpLink)
        return "TCP";
    if (options_.serialPorts.size() == 1)
        return "serial port " + options_.serialPorts.front();
    return "a serial port (" + JoinPorts(options_.serialPorts) + ")";
}

bool DeviceSession::StillAnswers()
{
    return quillon_->JudgeIsAvailable();
}

} // namespace quillon::cli
