#include "transfer/Quillon.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "protocol/DeviceLink.h"
#include "support/base/Diagnostics.h"
#include "support/base/Text.h"
#include "support/fs/Paths.h"
#include "transfer/ArchiveReader.h"
#include "transfer/DownloadArchive.h"
#include "transfer/PendingOp.h"
#include "transfer/TransferRun.h"
#include "transfer/UploadPump.h"
#include "transport/HardwareServer_SET.h"
#include "transport/SerialPort_SET.h"

using quillon::diag::Printf;

namespace {

// A reply wait re-checks its flags a millisecond apart, unless the answer wakes it, and gives up
// once the window has passed on the clock. Counting the polls instead would stretch the window with
// the timer's tick: a millisecond's wait takes 15.6 ms on a Windows machine left at its default.
constexpr auto kReplyWindow = std::chrono::milliseconds(1000);
constexpr auto kReplyPoll = std::chrono::milliseconds(1);
// An upload gives up when the device has let a reply window pass without acknowledging a block,
// as a reply wait does.
constexpr auto kUploadStall = kReplyWindow;

constexpr auto kProbeWait = std::chrono::milliseconds(500);
constexpr auto kVersionAnswerWait = std::chrono::milliseconds(1000);
constexpr auto kFirstRecordWait = std::chrono::milliseconds(1000);
constexpr auto kRecordRetryWait = std::chrono::milliseconds(50);
constexpr int kRecordRetries = 10;
// A download counts as under way, keeping newcomers off the TCP link, while its device has been
// heard from within this time: as long as a host waits by default before it calls a download stalled.
constexpr auto kDownloadQuiet = std::chrono::seconds(5);

std::int64_t SteadyNow()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

CSysconfig_SET& Registry() { return *CSysconfig_SET::get(); }

bool IsVersionKind(char kind) { return static_cast<unsigned char>(kind) <= 2; }

std::uint8_t KindByte(char kind) { return static_cast<std::uint8_t>(kind); }

// Runs op on whichever link the registry chose; false when no device has been seen yet.
template <typename Op>
bool OnChosenLink(CSerialPort_SET* serial, CHardwareServer_SET* tcp, Op&& op)
{
    switch (Registry().GetSeriOrTcp()) {
    case quillon::kSerialLink:
        op(*serial);
        return true;
    case quillon::kTcpLink:
        op(*tcp);
        return true;
    default:
        return false;
    }
}

}  // namespace

// Marks a blocking operation as under way for its whole run, however it returns.
class CQuillon::Exchange {
public:
    // A cancel ends the operation it found, not the next one.
    explicit Exchange(CQuillon& owner) : count_(owner.ExchangesRunning)
    {
        count_.fetch_add(1);
        owner.CancelRequested.store(false);
    }
    ~Exchange() { count_.fetch_sub(1); }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

private:
    std::atomic<std::int32_t>& count_;
};

CQuillon::CQuillon() : CQuillon(quillon::LinkSettings{}) {}

CQuillon::CQuillon(const quillon::LinkSettings& link)
{
    Registry().SetCloseExe(false);
    Registry().ForgetLink();
    // Both links exist before either can deliver a frame: the dispatcher answers on whichever link
    // the registry chose, whichever link delivered.
    SerialLink = std::make_unique<CSerialPort_SET>();
    TcpLink = std::make_unique<CHardwareServer_SET>();
    Download = std::make_unique<quillon::DownloadArchive>();
    Uploading = std::make_unique<quillon::UploadPump>();
    Packer = std::make_unique<CComPression>();
    const auto handler = [this](unsigned char* frame, int length) { return ParseMsg(frame, length); };
    SerialLink->SetMsgCallback(handler);
    TcpLink->SetMsgCallback(handler);
    TcpLink->SetBusyTest([this] { return ExchangeUnderWay(); });
    if (!link.listen)
        return;
    if (const std::string problem = quillon::LinkSettingsProblem(link); !problem.empty()) {
        quillon::diag::Log(quillon::diag::Level::Error, "TCP link off: %s\n", problem.c_str());
        return;
    }
    TcpLink->setAllowedPeers(link.allowedPeers);
    TcpLink->setMaxConnections(static_cast<std::size_t>(link.maxConnections));
    TcpLink->startThread(link.listenAddress, link.port);
}

int CQuillon::GetListeningPort() { return TcpLink->listeningPort(); }

std::uint32_t CQuillon::GetReadTotalSize() const { return ReadTotalSize.load(); }

std::int32_t CQuillon::GetReadBlocksTaken() const { return ReadBlockIndex.load(); }

std::string CQuillon::GetDevicePortName() const
{
    return Registry().GetSeriOrTcp() == quillon::kSerialLink ? SerialLink->DevicePortName() : std::string();
}

void CQuillon::CancelTransfer()
{
    CancelRequested.store(true);
    bool downloading = false;
    {
        std::lock_guard lock(BlockMutex);
        // A download whose last block is in has unpacked already: it is over, not to be undone.
        downloading =
            Registry().PendingOp.load() == quillon::pending::kDownload && !Registry().GetReadfinish();
        if (downloading)
            GiveUp();
    }
    // Sent outside the lock: a link thread waiting for it to hand over a block must not also be
    // in the way of this send.
    if (downloading)
        OnChosenLink(SerialLink.get(), TcpLink.get(), [](auto& link) { link.SendCommand(0, 0, 0); });
}

bool CQuillon::ExchangeUnderWay()
{
    if (ExchangesRunning.load() > 0)
        return true;
    auto& registry = Registry();
    if (registry.PendingOp.load() != quillon::pending::kDownload || registry.GetReadfinish())
        return false;
    return SteadyNow() - DownloadHeardAt.load() <
           std::chrono::duration_cast<std::chrono::nanoseconds>(kDownloadQuiet).count();
}

void CQuillon::NoteDownloadActivity() { DownloadHeardAt.store(SteadyNow()); }

CQuillon::~CQuillon()
{
    Registry().SetCloseExe(true);
    // The TCP server stops first: its thread may be answering on the serial link. The serial
    // watcher stops before its link goes: a frame it delivers meanwhile is dispatched through
    // SerialLink, which reset() empties before the link's own destructor waits for the watcher.
    TcpLink->stop();
    SerialLink->Stop();
    SerialLink.reset();
    TcpLink.reset();
    Packer.reset();
    Download.reset();
    Uploading.reset();
}

CCommunication_SET* CQuillon::ChosenLink()
{
    switch (Registry().GetSeriOrTcp()) {
    case quillon::kSerialLink:
        return SerialLink.get();
    case quillon::kTcpLink:
        return TcpLink.get();
    default:
        return nullptr;
    }
}

namespace {

// The shape both reply waits share: the close request ends a wait at once, the answer ends it as
// soon as the dispatcher stores it, and otherwise it gives up when the window has passed.
template <typename Answered, typename Failed>
bool WaitForAnswer(CCommunication_SET& link, const std::atomic<bool>& cancelled, Answered&& answered,
                   Failed&& failed, bool whenTimedOut)
{
    auto& registry = Registry();
    if (registry.GetCloseExe() || cancelled.load())
        return false;
    const auto deadline = std::chrono::steady_clock::now() + kReplyWindow;
    for (;;) {
        if (failed())
            return false;
        if (answered())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return whenTimedOut;
        link.WaitForReply([&] { return answered() || failed(); }, kReplyPoll);
        if (registry.GetCloseExe() || cancelled.load())
            return false;
    }
}

}  // namespace

bool CQuillon::judgewritesuccess()
{
    CCommunication_SET* link = ChosenLink();
    return link &&
           WaitForAnswer(
               *link, CancelRequested, [link] { return link->WriteAck.load(); }, [] { return false; }, false);
}

bool CQuillon::judgereadsuccess()
{
    // The device refuses within the window or not at all: silence is success, so the whole window
    // is always waited out.
    CCommunication_SET* link = ChosenLink();
    return link &&
           WaitForAnswer(
               *link, CancelRequested, [] { return false; }, [link] { return !link->ReadOk.load(); }, true);
}

int CQuillon::WriteSettoHard(std::string zipPath, char kind)
{
    CCommunication_SET* link = ChosenLink();
    if (!link)
        return -1;
    const Exchange exchange(*this);
    // A file that cannot be read, or is too big for the device, is refused before the device hears
    // of it.
    quillon::ArchiveReader archive;
    if (!archive.Open(zipPath, quillon::kMaxArchiveBytes))
        return -1;

    auto& registry = Registry();
    link->WriteAck.exchange(false);
    registry.PendingOp.exchange(quillon::pending::kUpload);
    registry.SetWritefinish(false);
    OnChosenLink(SerialLink.get(), TcpLink.get(), [&](auto& l) {
        l.SendCommand(quillon::command::kWrite, KindByte(kind), quillon::command::kSettings);
    });
    registry.WriteStarted.exchange(0);
    if (!judgewritesuccess())
        return -1;

    link->WriteAck.exchange(false);
    std::uint8_t sizeBytes[4];
    quillon::WriteLe32(sizeBytes, static_cast<std::uint32_t>(archive.size()));
    OnChosenLink(SerialLink.get(), TcpLink.get(),
                 [&](auto& l) { l.SendValue(KindByte(kind), quillon::value::kArchiveSize, sizeBytes, 4); });
    // The first piece is read while the device acknowledges the size.
    archive.ReadAhead(0);
    if (!judgewritesuccess())
        return -1;

    // Block 0 goes at once: the flag still holds the size's acknowledgement. Every later block goes
    // from the link's thread as soon as the acknowledgement of the one before is in.
    Uploading->Begin(archive);
    OnChosenLink(SerialLink.get(), TcpLink.get(), [&](auto& l) { SendNextUploadBlock(l); });
    const bool allSent = Uploading->WaitAllSent(
        kUploadStall, kReplyPoll, [&] { return registry.GetCloseExe() || CancelRequested.load(); });
    Uploading->End();
    if (!allSent) {
        // The device keeps nothing of an upload whose last block never came.
        if (Uploading->failed())
            quillon::diag::Log(quillon::diag::Level::Warning, "upload of %s stopped: %s\n", zipPath.c_str(),
                               archive.problem().c_str());
        return -1;
    }
    Printf("finish---------------\n");
    registry.SetWritefinish(true);
    return 0;
}

template <typename Link>
bool CQuillon::SendNextUploadBlock(Link& link)
{
    return Uploading->SendNext([&](const std::uint8_t* data, int count, std::uint16_t index, int blocks) {
        link.SendBlock(data, count, index);
        Registry().SetWriteRate(index + 1, blocks);
        Printf("curindex--%u  sumsize--%d\n", static_cast<unsigned>(index), blocks);
    });
}

template bool CQuillon::SendNextUploadBlock(CSerialPort_SET&);
template bool CQuillon::SendNextUploadBlock(CHardwareServer_SET&);

void CQuillon::ReadSetFromHard(std::string zipPath, char kind)
{
    if (!ChosenLink())
        return;
    auto& registry = Registry();
    CancelRequested.store(false);
    registry.PendingOp.exchange(quillon::pending::kNone);
    ReadBlockIndex.exchange(0);
    ReadZipPath = std::move(zipPath);
    Download->Abandon();
    registry.SetReadfinish(false);
    registry.ReadStarted.exchange(0);
    NoteDownloadActivity();
    registry.PendingOp.exchange(quillon::pending::kDownload);
    OnChosenLink(SerialLink.get(), TcpLink.get(), [&](auto& l) {
        l.SendCommand(quillon::command::kRead, KindByte(kind), quillon::command::kSettings);
    });
}

int CQuillon::ReadFileVersion(char kind)
{
    CCommunication_SET* link = ChosenLink();
    if (!link)
        return -1;
    const Exchange exchange(*this);
    VersionValue.exchange(-1);
    if (!IsVersionKind(kind))
        return -1;
    VersionKind.exchange(KindByte(kind));
    VersionItem.exchange(quillon::command::kVersion);

    auto& registry = Registry();
    registry.PendingOp.exchange(quillon::pending::kVersionRead);
    link->ReadOk.exchange(true);
    OnChosenLink(SerialLink.get(), TcpLink.get(), [&](auto& l) {
        l.SendCommand(quillon::command::kRead, KindByte(kind), quillon::command::kVersion);
    });
    if (judgereadsuccess()) {
        std::this_thread::sleep_for(kVersionAnswerWait);
        return VersionValue.load();
    }
    OnChosenLink(SerialLink.get(), TcpLink.get(), [](auto& l) { l.SendCommand(0, 0, 0); });
    registry.PendingOp.exchange(quillon::pending::kNone);
    return -1;
}

int CQuillon::WriteFileVersion(char kind, int version)
{
    CCommunication_SET* link = ChosenLink();
    if (!link || !IsVersionKind(kind))
        return -1;
    const Exchange exchange(*this);
    auto& registry = Registry();
    const auto abort = [&] {
        OnChosenLink(SerialLink.get(), TcpLink.get(), [](auto& l) { l.SendCommand(0, 0, 0); });
        registry.PendingOp.exchange(quillon::pending::kNone);
        return -1;
    };

    registry.PendingOp.exchange(quillon::pending::kVersionWrite);
    link->WriteAck.exchange(false);
    OnChosenLink(SerialLink.get(), TcpLink.get(), [&](auto& l) {
        l.SendCommand(quillon::command::kWrite, KindByte(kind), quillon::command::kVersion);
    });
    if (!judgewritesuccess())
        return abort();

    link->WriteAck.exchange(false);
    std::uint8_t bytes[4];
    quillon::WriteLe32(bytes, static_cast<std::uint32_t>(version));
    OnChosenLink(SerialLink.get(), TcpLink.get(),
                 [&](auto& l) { l.SendValue(KindByte(kind), quillon::value::kVersion, bytes, 4); });
    if (!judgewritesuccess())
        return abort();
    return 0;
}

void CQuillon::WriteDeviceMsg(char* name)
{
    if (!name)
        return;
    OnChosenLink(SerialLink.get(), TcpLink.get(), [&](auto& l) { l.SendDeviceRecord(name); });
}

bool CQuillon::JudgeIsAvailable()
{
    if (!ChosenLink())
        return false;
    const Exchange exchange(*this);
    auto& registry = Registry();
    registry.DeviceReplied.exchange(false);
    OnChosenLink(SerialLink.get(), TcpLink.get(), [](auto& l) { l.SendCommand(0, 0, 0); });
    std::this_thread::sleep_for(kProbeWait);
    return registry.DeviceReplied.load();
}

int CQuillon::CheckDeviceSETDir(std::wstring folder)
{
    if (!ChosenLink())
        return -1;
    const Exchange exchange(*this);
    auto& registry = Registry();
    registry.DeviceDirName = "";
    OnChosenLink(SerialLink.get(), TcpLink.get(), [](auto& l) { l.RequestDeviceRecord(); });
    std::this_thread::sleep_for(kFirstRecordWait);
    for (int retry = 0; retry < kRecordRetries && registry.DeviceDirName.empty(); ++retry) {
        OnChosenLink(SerialLink.get(), TcpLink.get(), [](auto& l) { l.RequestDeviceRecord(); });
        std::this_thread::sleep_for(kRecordRetryWait);
    }

    std::string name = registry.DeviceDirName.load();
    if (name.size() < static_cast<std::size_t>(quillon::kDeviceNameSize))
        return -1;
    name.resize(quillon::kDeviceNameSize);
    registry.DeviceDirName = name;
    // The name comes from the device: it must name a folder directly inside the host's folder.
    const std::optional<std::wstring> folderName = quillon::FolderNameFrom(name);
    if (!folderName)
        return -1;

    const std::wstring path = quillon::JoinPath(folder, *folderName);
    if (quillon::PathExists(path))
        return 1;
    return quillon::MakeDirectory(path) ? 0 : -1;
}

int CQuillon::ComPressSet(std::string srcDir, std::vector<std::string>& files, std::string zipPath)
{
    Packer->Setzipfilespath(std::move(srcDir));
    return Packer->ComPress(files, std::move(zipPath));
}

void CQuillon::SetUnzipfloderpath(std::string folder) { UnzipFolder = std::move(folder); }

int CQuillon::UnComPressSet(std::string destDir, std::string zipPath)
{
    Packer->SetUnzipfilespath(std::move(destDir));
    return Packer->UnComPress(std::move(zipPath));
}
