// quillon-device: a simulated device. See CommandLine.cpp for what it takes, or run it with --help.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <variant>

#include "CommandLine.h"
#include "DeviceSimulator.h"

namespace {

// The one thing a signal handler may touch.
volatile std::sig_atomic_t stopSignal = 0;

extern "C" void OnStopSignal(int) { stopSignal = 1; }

}  // namespace

int main(int argc, char** argv)
{
    using namespace quillon::sim;

    auto parsed = ParseCommandLine(argc, argv);
    if (const int* exitCode = std::get_if<int>(&parsed))
        return *exitCode;
    SimulatorOptions options = std::get<SimulatorOptions>(std::move(parsed));
    options.log = [](const std::string& line) {
        std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    };

    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
#if defined(SIGBREAK)
    std::signal(SIGBREAK, OnStopSignal);  // Ctrl+Break, the stop request a Windows console program gets
#endif

    DeviceSimulator device(std::move(options));
    if (const std::string error = device.Start(); !error.empty()) {
        std::fprintf(stderr, "quillon-device: %s\n", error.c_str());
        return kExitFailure;
    }
    if (!device.HostPortPath().empty()) {
        // Scripts read the path from the first line, so it goes out at once.
        std::printf("%s\n", device.HostPortPath().c_str());
        std::fflush(stdout);
    }
    // A signal cannot wake a condition variable; the wait is cut into short slices instead.
    while (stopSignal == 0 && !device.WaitFinished(std::chrono::milliseconds(50))) {
    }
    device.Stop();
    if (const std::string failure = device.Failure(); !failure.empty()) {
        std::fprintf(stderr, "quillon-device: %s\n", failure.c_str());
        return kExitFailure;
    }
    return kExitDone;
}
