// A device without hardware: it plays the device's side of the protocol against a host over TCP,
// a serial port or a pseudo-terminal, keeps what the host stores in a state folder, and commits
// faults on request. Everything runs on the simulator's own thread; the accessors may be called
// from any thread.
//
//   quillon::sim::SimulatorOptions options;
//   options.stateFolder = folder;
//   quillon::sim::DeviceSimulator device(options);
//   if (const std::string error = device.Start(); !error.empty()) ...
//   ... the host works with the device ...
//   device.Stop();  // or let the destructor stop it
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "Monitor.h"
#include "SimulatorOptions.h"
#include "Stopper.h"

namespace libmarl {
class SerialPort;
}

namespace quillon {
class PseudoTerminalPair;
}

namespace quillon::sim {

class ByteLink;
class DeviceProtocol;
class LinePacer;
class StateFolder;

class DeviceSimulator {
public:
    explicit DeviceSimulator(SimulatorOptions options);
    ~DeviceSimulator();  // stops

    DeviceSimulator(const DeviceSimulator&) = delete;
    DeviceSimulator& operator=(const DeviceSimulator&) = delete;

    // Checks the options, prepares the state folder and the device's end of the link (opens the
    // serial port, or makes the pseudo-terminal pair), and starts serving. Empty when serving has
    // started, otherwise why it could not. Once only.
    std::string Start();

    // Ends serving promptly and waits for the serving thread. Safe to call more than once.
    void Stop();

    // Whether serving has ended: stopped, or the sessions asked for are over.
    bool Finished() const;
    // Waits up to timeout for serving to end; whether it has.
    bool WaitFinished(std::chrono::milliseconds timeout) const;

    // Why serving ended on its own, when it ended by a failure; empty otherwise.
    std::string Failure() const;

    // With Transport::Pty: the path a host opens as its serial port; empty otherwise.
    const std::string& HostPortPath() const { return hostPortPath_; }

    Stats GetStats() const { return monitor_.stats(); }
    // Waits until test(GetStats()) holds (true), or for at most timeout; woken by the update that
    // makes it hold, not by polling. One waiter at a time.
    bool WaitForStats(const std::function<bool(const Stats&)>& test, std::chrono::milliseconds timeout) const
    {
        return monitor_.WaitUntil(test, timeout);
    }
    // The event lines so far (not the per-frame lines of verbose mode), oldest first.
    std::vector<std::string> Events() const { return monitor_.events(); }

private:
    enum class LinkEnd {
        Stopped,       // the stop request came
        Down,          // the link went: the connection closed, the port failed
        Unheard,       // the host takes no more bytes
        Dropped,       // a fault asked for the link to go
        SessionsDone,  // the sessions asked for are over
    };

    void Serve();
    void ServeTcp();
    void ServeSerial();
    // One link's outbound side: the line's pace, and when its last frame ended.
    struct Outbound;
    LinkEnd RunLink(ByteLink& link, bool serial);
    bool SendFrame(Outbound& out, std::span<const std::uint8_t> frame);
    bool SessionsDone() const;
    void Fail(const std::string& why);
    void MarkFinished();

    const SimulatorOptions options_;
    Monitor monitor_;
    Stopper stopper_;
    std::unique_ptr<StateFolder> state_;
    std::unique_ptr<DeviceProtocol> protocol_;
    std::unique_ptr<PseudoTerminalPair> pty_;
    std::unique_ptr<libmarl::SerialPort> serialPort_;
    std::string hostPortPath_;

    std::mutex stopMutex_;  // one Stop joins at a time
    mutable std::mutex finishedMutex_;
    mutable std::condition_variable finishedChanged_;
    bool finished_ = false;
    bool started_ = false;  // guarded by finishedMutex_
    std::string failure_;   // guarded by finishedMutex_
    std::thread server_;
};

}  // namespace quillon::sim
