#include "DeviceSimulator.h"

#include <algorithm>
#include <cstring>

#include "ByteLink.h"
#include "DeviceProtocol.h"
#include "HostFrameReader.h"
#include "LinePacer.h"
#include "StateFolder.h"
#include "protocol/DeviceRecord.h"
#include "protocol/FrameCodec.h"
#include "support/serial/SerialPort.h"
#include "support/tooling/PseudoTerminalPair.h"

namespace quillon::sim {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often a device tries again to reach a host that is not there.
constexpr auto kRetry = 200ms;
// A TCP connection attempt that has not succeeded by then is given up and tried again.
constexpr auto kConnectTimeout = 1000ms;
// A serial device repeats its greeting this often until it is keyed: a host only reads a port
// while it tries it.
constexpr auto kGreetingEvery = 500ms;
// The longest read, so that a stop request or a due greeting is never kept waiting.
constexpr auto kReadSlice = 20ms;
// The most one read takes: a few block frames.
constexpr std::size_t kReadSize = 16 * 1024;
// How long a pseudo-terminal that nobody has open is left alone before it is looked at again.
constexpr auto kNoHostPause = 20ms;
// The quiet a serial device keeps between two frames: well above the 10 ms after which a host's
// read ends (and the 10 ms it may pause before it reads again), so that each frame is a read of its
// own. A frame that the host has acknowledged needs no gap after it.
constexpr auto kSerialFrameGap = 25ms;

// The serial settings every device uses.
constexpr int kBaudRate = 115200;
constexpr int kReadTimeoutMs = 10;
constexpr int kPortBufferSize = 8192;

std::string Endpoint(const SimulatorOptions& options)
{
    return options.host + ":" + std::to_string(options.port);
}

}  // namespace

std::string_view OperationName(Operation operation)
{
    switch (operation) {
    case Operation::Upload:
        return "upload";
    case Operation::Download:
        return "download";
    case Operation::VersionRead:
        return "version-read";
    case Operation::VersionWrite:
        return "version-write";
    }
    return "?";
}

std::optional<Operation> ParseOperation(std::string_view name)
{
    for (const Operation operation :
         {Operation::Upload, Operation::Download, Operation::VersionRead, Operation::VersionWrite}) {
        if (OperationName(operation) == name)
            return operation;
    }
    return std::nullopt;
}

std::string CheckOptions(const SimulatorOptions& options)
{
    if (options.name.size() != kDeviceNameSize)
        return "the device name must be exactly 12 characters, not " + std::to_string(options.name.size());
    switch (options.transport) {
    case Transport::Tcp:
        if (options.host.empty())
            return "no host to connect to";
        if (options.port < 1 || options.port > 65535)
            return "port " + std::to_string(options.port) + " is not a TCP port (1 to 65535)";
        break;
    case Transport::SerialPort:
        if (options.serialPath.empty())
            return "no serial port given";
        break;
    case Transport::Pty:
        break;
    }
    const Faults& faults = options.faults;
    for (const auto& [value, what] : {std::pair{faults.stopAcksAfter, "--stop-acks-after"},
                                      std::pair{faults.corruptBlock, "--corrupt-block"},
                                      std::pair{faults.wrongIndexBlock, "--wrong-index-block"},
                                      std::pair{faults.disconnectAfter, "--disconnect-after"}}) {
        if (value && *value < 0)
            return std::string(what) + " needs a block count of 0 or more";
    }
    if (faults.delay.count() < 0)
        return "a delay cannot be negative";
    if (options.sessions < 0)
        return "a session count cannot be negative";
    std::error_code error;
    if (!options.archive.empty() && !std::filesystem::is_regular_file(options.archive, error))
        return "the archive " + options.archive.string() + " is not a file";
    return {};
}

DeviceSimulator::DeviceSimulator(SimulatorOptions options)
    : options_(std::move(options)), monitor_(options_.log, options_.verbose)
{}

DeviceSimulator::~DeviceSimulator() { Stop(); }

std::string DeviceSimulator::Start()
{
    {
        std::lock_guard lock(finishedMutex_);
        if (started_)
            return "the simulator has been started already";
        started_ = true;
    }
    std::string error = CheckOptions(options_);
    if (error.empty()) {
        state_ = std::make_unique<StateFolder>(options_.stateFolder);
        error = state_->Prepare();
    }
    if (error.empty() && options_.transport == Transport::Pty) {
        pty_ = std::make_unique<PseudoTerminalPair>(PseudoTerminalPair::Slave::Released);
        if (!pty_->ok())
            error = "cannot make a pseudo-terminal pair: " + pty_->error();
        else
            hostPortPath_ = pty_->slavePath();
    }
    if (error.empty() && options_.transport == Transport::SerialPort) {
        serialPort_ = std::make_unique<libmarl::SerialPort>();
        serialPort_->setBaud(kBaudRate);
        serialPort_->setTimeoutRead(kReadTimeoutMs);
        serialPort_->setBufferSize(kPortBufferSize);
        serialPort_->setPort(options_.serialPath);
        if (const int failure = serialPort_->serialOpen(); failure != 0)
            error = "cannot open the serial port " + options_.serialPath + ": " + std::strerror(failure);
    }
    if (!error.empty()) {
        MarkFinished();
        return error;
    }
    protocol_ =
        std::make_unique<DeviceProtocol>(options_, *state_, monitor_, options_.transport != Transport::Tcp);
    server_ = std::thread([this] { Serve(); });
    return {};
}

void DeviceSimulator::Stop()
{
    std::lock_guard lock(stopMutex_);
    stopper_.Request();
    if (server_.joinable())
        server_.join();
    MarkFinished();
}

bool DeviceSimulator::Finished() const
{
    std::lock_guard lock(finishedMutex_);
    return finished_;
}

bool DeviceSimulator::WaitFinished(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(finishedMutex_);
    return finishedChanged_.wait_for(lock, timeout, [this] { return finished_; });
}

void DeviceSimulator::Fail(const std::string& why)
{
    monitor_.Event(why);
    std::lock_guard lock(finishedMutex_);
    failure_ = why;
}

std::string DeviceSimulator::Failure() const
{
    std::lock_guard lock(finishedMutex_);
    return failure_;
}

void DeviceSimulator::MarkFinished()
{
    {
        std::lock_guard lock(finishedMutex_);
        finished_ = true;
    }
    finishedChanged_.notify_all();
}

bool DeviceSimulator::SessionsDone() const
{
    return options_.sessions > 0 && monitor_.stats().sessionsEnded >= options_.sessions;
}

void DeviceSimulator::Serve()
{
    if (options_.transport == Transport::Tcp)
        ServeTcp();
    else
        ServeSerial();
    protocol_->LinkDown("the device stopped");
    if (SessionsDone())
        monitor_.Event("done: " + std::to_string(options_.sessions) + " sessions served");
    MarkFinished();
}

void DeviceSimulator::ServeTcp()
{
    bool waiting = false;
    while (!stopper_.stopped()) {
        std::string error;
        auto link = ConnectTcp(options_.host, options_.port, kConnectTimeout, stopper_, error);
        if (!link) {
            if (!waiting && !stopper_.stopped())
                monitor_.Event("waiting for the host at " + Endpoint(options_) + " (" + error + ")");
            waiting = true;
            stopper_.SleepFor(kRetry);
            continue;
        }
        waiting = false;
        monitor_.Update([](Stats& s) { ++s.connections; });
        monitor_.Event("connected");

        // What the device was doing is settled before the host sees the connection go.
        const LinkEnd end = RunLink(*link, false);
        switch (end) {
        case LinkEnd::Dropped:
            protocol_->LinkDown("the device dropped the connection");
            break;
        case LinkEnd::Down:
            protocol_->LinkDown("the host closed the connection");
            break;
        case LinkEnd::Unheard:
            protocol_->LinkDown("the host took nothing more");
            break;
        case LinkEnd::Stopped:
        case LinkEnd::SessionsDone:
            protocol_->LinkDown("the device stopped");
            break;
        }
        link.reset();
        monitor_.Event("disconnected");
        if (end == LinkEnd::Stopped || SessionsDone())
            return;
        stopper_.SleepFor(kRetry);
    }
}

void DeviceSimulator::ServeSerial()
{
    if (pty_)
        monitor_.Event("serving on a pseudo-terminal; the host opens " + hostPortPath_);
    else
        monitor_.Event("serving on " + options_.serialPath);

    while (!stopper_.stopped()) {
        std::unique_ptr<ByteLink> link = pty_ ? PtyLink(*pty_) : SerialPortLink(*serialPort_);
        if (serialPort_)
            monitor_.Update([](Stats& s) { ++s.connections; });
        const LinkEnd end = RunLink(*link, true);
        if (end == LinkEnd::Stopped || end == LinkEnd::SessionsDone)
            return;
        if (end == LinkEnd::Dropped) {
            // A serial line cannot be unplugged from this side; the device restarts instead: it
            // forgets its key and greets again, as after a power cycle.
            protocol_->LinkDown("the device restarted");
            monitor_.Event("restarted");
            stopper_.SleepFor(kRetry);
            continue;
        }
        if (end == LinkEnd::Unheard && pty_) {
            // Whoever has the port open reads nothing; the device starts over for the next host.
            protocol_->LinkDown("the host took nothing more");
            stopper_.SleepFor(kRetry);
            continue;
        }
        if (pty_) {
            Fail("the pseudo-terminal failed");
            return;
        }
        protocol_->LinkDown("the serial port failed");
        monitor_.Event("the serial port failed; opening it again");
        serialPort_->serialClose();
        while (serialPort_->serialOpen() != 0) {
            if (!stopper_.SleepFor(kRetry))
                return;
        }
        monitor_.Event("serial port " + options_.serialPath + " open again");
    }
}

struct DeviceSimulator::Outbound {
    ByteLink& link;
    bool serial;
    LinePacer pacer;
    Clock::time_point lastFrameEnd{};
    int sentSinceHost = 0;      // frames since the host's last frame
    bool acknowledged = false;  // the host acknowledged the device's last frame
};

bool DeviceSimulator::SendFrame(Outbound& out, std::span<const std::uint8_t> frame)
{
    if (options_.faults.delay.count() > 0 && !stopper_.SleepFor(options_.faults.delay))
        return false;
    // A serial host may take whatever it reads until the line has been quiet for 10 ms as one frame:
    // two frames must not follow each other closer than that unless the host has the first.
    if (out.serial && !out.acknowledged && !stopper_.SleepUntil(out.lastFrameEnd + kSerialFrameGap))
        return false;
    const auto write = [&out](const std::uint8_t* data, std::size_t size) {
        return out.link.Write(data, size);
    };
    const bool sent = options_.faults.lineRate ? out.pacer.Send(frame.data(), frame.size(), write, stopper_)
                                               : write(frame.data(), frame.size());
    out.lastFrameEnd = Clock::now();
    ++out.sentSinceHost;
    out.acknowledged = false;
    if (sent)
        monitor_.Update([](Stats& s) { ++s.framesSent; });
    return sent;
}

DeviceSimulator::LinkEnd DeviceSimulator::RunLink(ByteLink& link, bool serial)
{
    HostFrameReader reader;
    Outbound out{link, serial, LinePacer{}};
    LinePacer& pacer = out.pacer;
    // A pseudo-terminal says whether a host has it open; a TCP connection or a port always has one.
    bool hostThere = !pty_;
    Clock::time_point nextGreeting = Clock::now();
    const auto unheard = [this] { return stopper_.stopped() ? LinkEnd::Stopped : LinkEnd::Unheard; };

    while (!stopper_.stopped()) {
        auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(kReadSlice);
        if (serial && hostThere && !protocol_->keyed()) {
            const auto now = Clock::now();
            if (now >= nextGreeting) {
                if (!SendFrame(out, protocol_->Greeting()))
                    return unheard();
                nextGreeting = Clock::now() + kGreetingEvery;
            }
            timeout = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(nextGreeting - Clock::now()),
                                 1ms, std::chrono::duration_cast<std::chrono::milliseconds>(kReadSlice));
        }

        const ByteLink::Received got = link.Read(reader.Room(kReadSize), timeout);
        const auto arrived = Clock::now();
        if (got.status == ByteLink::Status::Down)
            return LinkEnd::Down;
        if (got.status == ByteLink::Status::NoHost) {
            if (hostThere) {
                hostThere = false;
                reader.Clear();
                monitor_.Event("the host closed the port");
                protocol_->LinkDown("the host closed the port");
                if (SessionsDone())
                    return LinkEnd::SessionsDone;
            }
            stopper_.SleepFor(kNoHostPause);
            continue;
        }
        if (!hostThere) {
            hostThere = true;
            nextGreeting = Clock::now();
            monitor_.Update([](Stats& s) { ++s.connections; });
            monitor_.Event("the host opened the port");
        }
        if (got.status != ByteLink::Status::Data)
            continue;

        // Only a paced line asks when bytes were delivered; otherwise the record would only grow.
        if (options_.faults.lineRate)
            pacer.Arrived(got.size, arrived);
        reader.Filled(got.size);
        while (auto frame = reader.Next()) {
            // On a slow line the frame is not there before its last byte is.
            if (options_.faults.lineRate && !stopper_.SleepUntil(pacer.DeliveredAt(frame->end - 1)))
                return LinkEnd::Stopped;
            // An acknowledgement of the one frame sent since the host last spoke shows that the
            // host has taken it. Any other frame proves nothing: a host may send a command while
            // the device's last frame is still on its way, and read that frame only later.
            out.acknowledged = out.sentSinceHost == 1 && frame->bytes[1] == TypeByte(FrameType::Ack);
            out.sentSinceHost = 0;
            const DeviceProtocol::Reply reply = protocol_->Handle(frame->bytes);
            for (int sent = 0; sent < reply.sends; ++sent) {
                if (!SendFrame(out, reply.frame))
                    return unheard();
            }
            // The answer is out: now the work that it was not to wait for.
            protocol_->Settle();
            if (reply.dropLink)
                return LinkEnd::Dropped;
            if (SessionsDone())
                return LinkEnd::SessionsDone;
        }
    }
    return LinkEnd::Stopped;
}

}  // namespace quillon::sim
