// The serial link: the host finds the device itself. It lists the machine's serial ports, tries
// them from the last listed to the first, and keeps the first one whose data looks like a device
// frame; ports that fail are skipped until every listed port has failed. On that port it announces
// the link key, reads the device's frames for the message handler, carries the host's frames, and
// announces a new key when the device's frames keep carrying a wrong key tag. One watcher thread
// does all of it, and reports about once a millisecond whether the device is reachable.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "protocol/HostFrames.h"
#include "support/base/Guarded.h"
#include "support/os/WfirstRWLock.h"
#include "support/serial/SerialPort.h"
#include "transport/Communication_SET.h"
#include "transport/FrameDelivery.h"

class CSerialPort_SET : public CCommunication_SET, public quillon::HostFrames<CSerialPort_SET> {
public:
    using MessageHandler = quillon::MessageHandler;

    // Starts the watcher; its first port search comes after 100 passes.
    CSerialPort_SET();
    // Stops the watcher, waits for it and closes the port.
    ~CSerialPort_SET() override;

    // Stops the watcher and waits for it, so that no frame reaches the message handler any more;
    // the port stays open until the object goes. Safe to call more than once.
    void Stop();

    // Receives every frame the device sends, on the watcher's thread; its result is the result of
    // ReadFrames.
    void SetMsgCallback(MessageHandler handler);

    // Reads the device's data until a frame is complete, or until tries reads in a row came back
    // empty. -1 on a port error, on data that is not a device's, or when nothing came at all;
    // otherwise 0 or the handler's result. Runs on the watcher's thread.
    int ReadFrames(int tries);

    // What one chunk read from the port does to the frame being gathered: the first-frame test,
    // the key-tag test, the fill to 72 bytes and the completeness test. ReadFrames runs it for
    // every chunk; the library's fuzzers feed it chunks directly.
    enum class ChunkOutcome { NotADevice, Incomplete, Complete };
    void StartGathering() { RecvBuffer.clear(); }
    // Forgets that a device's greeting was ever seen, as when every listed port has failed: the
    // next port's first chunk is tested again.
    void ForgetDevice() { IsDevicePort.store(false); }
    ChunkOutcome TakeChunk(const std::string& chunk);
    // Whether a chunk is one whole frame as it stands: a frame of 72 bytes or more, or a shorter one
    // that the device padded to 72 bytes ending in '#'. The port hands such a chunk on as soon as its
    // last byte is in; anything else, a greeting included, waits for the line to fall quiet, so that
    // what follows close behind shares its read as it always has.
    static bool IsWholeFrame(std::string_view chunk);
    // Hands the gathered frame to the handler and starts afresh; the handler's result, or -1
    // without a handler.
    int DeliverGathered();

    // One search over the listed ports; runs on the watcher's thread every 100 passes.
    void FindDevicePort();

    // Announces a new link key, twice in a row, on the current port.
    void SendKey();

    // How HostFrames' frames leave. Safe from any thread: the port object cannot be replaced or
    // deleted while a send uses it. -1 when no port is open.
    int SendBytes(const char* data, int count);

    // For the host's status display and for tests.
    std::string DevicePortName() const;  // the port the device was found on, or empty
    int KeyFramesSent() const { return KeySendCount.load(); }
    int SearchesStarted() const { return searches_.load(); }

private:
    static constexpr int kSearchEvery = 100;  // watcher passes between port searches

    void WatchPort();
    bool DeviceOnline() const;
    // Both under the exclusive side of PortLock, so a send never meets a port being closed or
    // deleted; sends wait meanwhile.
    void ClosePort();
    void ReplacePort(std::unique_ptr<libmarl::SerialPort> replacement);

    mutable std::mutex StateMutex;  // guards RealPort for readers on other threads
    std::string RealPort;           // set once a port passed a trial; never emptied again
    // Host threads hold the shared side while they send on Port; the watcher holds the exclusive
    // side while it closes, replaces or deletes Port. Only the watcher changes Port, so its own
    // reads need no lock.
    libmarl::WfirstRWLock PortLock;
    std::unique_ptr<libmarl::SerialPort> Port;
    std::atomic<bool> StopRequested{false};
    std::string RecvBuffer;  // what one ReadFrames call gathered
    // May be set while the link runs: a delivery works with the handler it found when it began.
    quillon::GuardedCallback<int(unsigned char*, int)> MsgCallback;
    std::int32_t SearchCounter = 0;
    std::atomic<std::int32_t> KeySendCount{0};
    std::atomic<std::int32_t> KeyFailCount{0};  // chunks with a wrong key tag since the last key frame
    std::vector<std::string> RejectedPorts;
    std::atomic<bool> IsDevicePort{false};  // a first chunk here looked like a device's greeting

    std::atomic<int> searches_{0};
    std::thread watcher_;
};
