#include "transport/SerialPort_SET.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "protocol/DeviceLink.h"
#include "protocol/FrameSplitter.h"
#include "state/Sysconfig_SET.h"
#include "support/base/Diagnostics.h"
#include "support/serial/DiagnosticFiles.h"
#include "support/serial/SerialPortList.h"

using quillon::diag::Line;
using quillon::diag::Printf;

namespace {

// Line settings the devices use.
constexpr int kPortBufferSize = 5000;
constexpr int kBaudRate = 115200;
constexpr int kReadTimeoutMs = 10;
constexpr int kSendPauseMs = 15;

// A trial gives a port 200 empty reads to show a device; online, each pass reads until 3 come back
// empty.
constexpr int kTrialTries = 200;
constexpr int kOnlineTries = 3;
constexpr auto kEmptyReadPause = std::chrono::milliseconds(10);
constexpr auto kPassPause = std::chrono::milliseconds(1);

// Short frames are filled to the length of a record frame, so a lone short frame is delivered
// followed by fill bytes and refused unless the device padded it itself.
constexpr std::size_t kFillTo = 72;
constexpr char kFillByte = 0x12;

// A device that streams bytes without ever completing a frame must not make one read loop gather
// without end; past this, what was gathered is delivered as it is and refused there.
constexpr std::size_t kMaxGathered = 4 * quillon::kMaxFrameSize;

constexpr int kRekeyAfterMismatches = 3;

int ByteAt(const std::string& text, std::size_t i)
{
    return i < text.size() ? static_cast<signed char>(text[i]) : 0;
}

}  // namespace

CSerialPort_SET::CSerialPort_SET()
{
    RejectedPorts.clear();
    watcher_ = std::thread([this] { WatchPort(); });
}

CSerialPort_SET::~CSerialPort_SET()
{
    Stop();
    ReplacePort(nullptr);
}

void CSerialPort_SET::Stop()
{
    StopRequested.exchange(true);
    if (watcher_.joinable())
        watcher_.join();
}

void CSerialPort_SET::SetMsgCallback(MessageHandler handler) { MsgCallback.store(std::move(handler)); }

std::string CSerialPort_SET::DevicePortName() const
{
    std::lock_guard lock(StateMutex);
    return RealPort;
}

bool CSerialPort_SET::DeviceOnline() const
{
    std::lock_guard lock(StateMutex);
    return Port && Port->isOpen() && !RealPort.empty();
}

void CSerialPort_SET::ClosePort()
{
    PortLock.lock_write();
    if (Port && Port->isOpen())
        Port->serialClose();
    PortLock.release_write();
}

void CSerialPort_SET::ReplacePort(std::unique_ptr<libmarl::SerialPort> replacement)
{
    PortLock.lock_write();
    Port.swap(replacement);
    PortLock.release_write();
    // the old port object goes here, where no send can reach it any more
}

int CSerialPort_SET::SendBytes(const char* data, int count)
{
    PortLock.lock_read();
    const int sent = (Port && Port->isOpen()) ? Port->send(data, count) : -1;
    PortLock.release_read();
    return sent;
}

void CSerialPort_SET::WatchPort()
{
    auto* registry = CSysconfig_SET::get();
    while (!StopRequested.load()) {
        if (DeviceOnline()) {
            registry->SetSeriOrTcp(quillon::kSerialLink);
            registry->DeviceOnlineCallback.invoke(1, quillon::kSerialLink);
            ReadFrames(kOnlineTries);
        } else {
            registry->DeviceOnlineCallback.invoke(-1, quillon::kSerialLink);
        }
        if (SearchCounter >= kSearchEvery) {
            FindDevicePort();
            SearchCounter = 0;
        }
        ++SearchCounter;
        std::this_thread::sleep_for(kPassPause);
    }
}

int CSerialPort_SET::ReadFrames(int tries)
{
    StartGathering();
    if (tries < 1 || !Port)
        return -1;

    // Only empty reads count against tries: as long as the device keeps sending, reading goes on.
    int emptyReads = 0;
    bool seen = false;
    std::string chunk;
    for (;;) {
        if (StopRequested.load())
            return -1;
        if (Port->serialRead(chunk) != 0) {
            ClosePort();
            return -1;
        }
        if (chunk.empty()) {
            std::this_thread::sleep_for(kEmptyReadPause);
            if (++emptyReads < tries)
                continue;
            return seen ? 0 : -1;
        }
        switch (TakeChunk(chunk)) {
        case ChunkOutcome::NotADevice:
            ClosePort();
            return -1;
        case ChunkOutcome::Incomplete:
            seen = true;
            continue;
        case ChunkOutcome::Complete:
            return DeliverGathered();
        }
    }
}

CSerialPort_SET::ChunkOutcome CSerialPort_SET::TakeChunk(const std::string& chunk)
{
    // The first chunk of some size on a port must look like the greeting a device sends first.
    if (!IsDevicePort.load() && chunk.size() >= 10) {
        if (ByteAt(chunk, 0) != quillon::kFrameStart || ByteAt(chunk, 17) != quillon::kFrameEnd) {
            Printf("Received Error: %x %x", ByteAt(chunk, 0), ByteAt(chunk, 17));
            return ChunkOutcome::NotADevice;
        }
        IsDevicePort.store(true);
    }

    // A device still scrambling with an old key gives itself away by its key tag.
    const quillon::LinkKey key = currentKey();
    const std::size_t n = chunk.size();
    if (n >= 4 && static_cast<std::uint8_t>(chunk[n - 4]) == key[4] &&
        static_cast<std::uint8_t>(chunk[n - 3]) == key[5]) {
        Printf("Succeed to sync key %x %x\n", key[4], key[5]);
    } else {
        Printf("Failed to sync key %x %x %d\n", key[4], key[5], KeyFailCount.load());
        ++KeyFailCount;
    }

    // A padded greeting that crossed the key frame can share a read with the device's next frame:
    // it goes, so that the frame is seen.
    const bool greetingFirst =
        RecvBuffer.empty() && chunk.size() > kFillTo && ByteAt(chunk, 0) == quillon::kFrameStart &&
        ByteAt(chunk, 1) == quillon::TypeByte(quillon::FrameType::Hello) &&
        ByteAt(chunk, 17) == quillon::kFrameEnd && ByteAt(chunk, kFillTo - 1) == quillon::kFrameEnd &&
        ByteAt(chunk, kFillTo) == quillon::kFrameStart;
    RecvBuffer.append(chunk, greetingFirst ? kFillTo : 0, std::string::npos);
    Line(std::to_string(chunk.size()));
    if (RecvBuffer.size() < kFillTo)
        RecvBuffer.append(kFillTo - RecvBuffer.size(), kFillByte);

    const int type = ByteAt(RecvBuffer, 1);
    if (type == quillon::TypeByte(quillon::FrameType::Hello) &&
        ByteAt(RecvBuffer, 0) == quillon::kFrameStart && ByteAt(RecvBuffer, 17) == quillon::kFrameEnd)
        Line("data=17");
    const bool complete = IsFrameComplete(RecvBuffer);
    if (complete && type == quillon::TypeByte(quillon::FrameType::Record))
        Line("data=71");
    if (!complete && RecvBuffer.size() <= kMaxGathered) {
        Line(std::to_string(RecvBuffer.size()) + "--------");
        return ChunkOutcome::Incomplete;
    }
    Line(std::to_string(RecvBuffer.size()));
    return ChunkOutcome::Complete;
}

bool CSerialPort_SET::IsWholeFrame(std::string_view chunk)
{
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(chunk.data());
    const quillon::FrameCut cut = quillon::CutFrame({bytes, chunk.size()});
    return cut.kind == quillon::FrameCut::Kind::Frame &&
           bytes[1] != quillon::TypeByte(quillon::FrameType::Hello) &&
           chunk.size() == std::max(cut.length, kFillTo) && bytes[chunk.size() - 1] == quillon::kFrameEnd;
}

int CSerialPort_SET::DeliverGathered()
{
    const auto handler = MsgCallback.snapshot();
    const int result = handler ? quillon::DeliverChunk(RecvBuffer, *handler) : -1;
    RecvBuffer.clear();
    return result;
}

void CSerialPort_SET::FindDevicePort()
{
    ++searches_;
    const std::vector<serial::PortInfo> ports = serial::list_ports();
    const int n = static_cast<int>(ports.size());
    Printf(IsDevicePort.load() ? "isDeviceSerialPort is true\n" : "isDeviceSerialPort is false\n");

    if (std::FILE* listing = quillon::OpenDiagnosticFile("serial.asc")) {
        for (int idx = n - 1; idx >= 0; --idx)
            std::fprintf(listing, "%s %d\n", ports[idx].port.c_str(), idx);
        std::fclose(listing);
    }

    for (int idx = n - 1; idx >= 0 && !StopRequested.load(); --idx) {
        const std::string& name = ports[idx].port;
        const int rejected = static_cast<int>(RejectedPorts.size());
        if (rejected >= n) {
            // Every port has failed: start over with all of them.
            RejectedPorts.clear();
            ForgetDevice();
        } else {
            if (rejected >= 1) {
                if (std::FILE* listing = quillon::OpenDiagnosticFile("blueSerial.asc")) {
                    for (int i = 0; i < rejected; ++i)
                        std::fprintf(listing, "%s %d\n", RejectedPorts[i].c_str(), i);
                    std::fclose(listing);
                }
            }
            if (std::find(RejectedPorts.begin(), RejectedPorts.end(), name) != RejectedPorts.end())
                continue;
        }

        const std::string realPort = DevicePortName();
        if (Port && !realPort.empty()) {
            if (name != realPort && Port->isOpen())
                continue;
            if (Port->getPort() == realPort && Port->isOpen()) {
                if (KeySendCount.load() >= 1 && KeyFailCount.load() >= kRekeyAfterMismatches)
                    SendKey();
                continue;
            }
        }

        // Trial: open the port afresh and see whether a device speaks on it. The old port is closed
        // first (a port may admit one opener only), and the new one is open before a send can reach it.
        ClosePort();
        auto trial = std::make_unique<libmarl::SerialPort>();
        trial->setBufferSize(kPortBufferSize);
        trial->setBaud(kBaudRate);
        trial->setTimeoutRead(kReadTimeoutMs);
        trial->setSendSleep(kSendPauseMs);
        trial->setChunkComplete(IsWholeFrame);
        trial->setPort(name);
        trial->serialClose();
        const int opened = trial->serialOpen();
        ReplacePort(std::move(trial));
        if (opened != 0) {
            RejectedPorts.push_back(name);
            continue;
        }
        if (ReadFrames(kTrialTries) == -1) {
            RejectedPorts.push_back(name);  // a port that was merely silent stays open
            continue;
        }
        {
            std::lock_guard lock(StateMutex);
            RealPort = name;
        }
        Line("realPort: " + name);
        quillon::diag::Log(quillon::diag::Level::Info, "device found on serial port %s\n", name.c_str());
        SendKey();
    }
}

void CSerialPort_SET::SendKey()
{
    NewKeyAndSend([this](const std::uint8_t* bytes, int count) {
        // Sent twice: a device that was still settling on the line catches the second one.
        SendBytes(reinterpret_cast<const char*>(bytes), 10);
        SendBytes(reinterpret_cast<const char*>(bytes), count);
    });
    ++KeySendCount;
    KeyFailCount = 0;
}
