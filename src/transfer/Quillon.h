// Quillon: moves a device's settings package between the device and this computer.
//
// This is the one header a host includes. A host typically registers its device-online callback
// (CSysconfig_SET::get()->SetDeviceOnline), constructs one CQuillon, waits until the callback
// reports a device, and then calls the operations below from a thread of its own: each blocks while
// it talks to the device. Progress and completion of uploads and downloads are polled from the
// registry (GetWriteRate, GetWritefinish, GetReadRate, GetReadfinish).
//
// The device reaches the library over TCP (the library listens on port 8234 and the device
// connects; LinkSettings.h says where else and from whom) or over a serial port at 115200 baud that
// the library finds by probing. The first link on which a device shows up carries every operation
// for as long as the CQuillon lives.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "LibraryVersion.h"
#include "LinkSettings.h"
#include "archive/BrowseDir.h"
#include "archive/ComPression.h"
#include "state/Sysconfig_SET.h"
#include "support/base/Export.h"
#include "support/base/Guarded.h"

class CSerialPort_SET;
class CHardwareServer_SET;
class CCommunication_SET;
namespace quillon {
class DownloadArchive;
class TransferInternals;
class UploadPump;
}  // namespace quillon

class QUILLON_API CQuillon {
public:
    // Starts both links: the serial port search and the TCP server on port 8234.
    CQuillon();
    // The same with the TCP link where and for whom the settings say. Settings that
    // LinkSettingsProblem refuses leave the TCP link off (GetListeningPort says 0) with a
    // diagnostic line; so does a port that cannot be listened on.
    explicit CQuillon(const quillon::LinkSettings& link);
    // Ends any reply wait still running, stops both links and waits for their threads. Every
    // operation must have returned before the object goes.
    ~CQuillon();

    // The object owns its links; a copy would stop them twice.
    CQuillon(const CQuillon&) = delete;
    CQuillon& operator=(const CQuillon&) = delete;

    // Uploads the archive at zipPath to the device as file kind `kind`: announces it, sends its
    // size, then sends it in 4096-byte blocks, each after the device acknowledged the frame before.
    // Blocks until the last block has gone. 0 when every block was sent; -1 when no device is
    // linked, the archive cannot be read or is over 200,000,000 bytes, or the device stops
    // acknowledging (after about a second) or the close request comes.
    int WriteSettoHard(std::string zipPath, char kind);

    // Starts a download of the device's archive of kind `kind` into zipPath and returns at once.
    // The archive is written as it arrives, then unpacked into the folder set with
    // SetUnzipfloderpath; poll GetReadRate and GetReadfinish. Nothing happens without a device.
    void ReadSetFromHard(std::string zipPath, char kind);

    // The device's version of file kind 0, 1 or 2, or -1 (no device, another kind, the device
    // refused or did not answer). Takes at least two seconds: the device is given one second to
    // refuse and one to answer.
    int ReadFileVersion(char kind);

    // Stores a version for file kind 0, 1 or 2 on the device. 0 when the device acknowledged both
    // steps, -1 otherwise.
    int WriteFileVersion(char kind, int version);

    // Writes the device record: the 12 bytes at name (taken as they are) with the current UTC date
    // and time. Does not wait for an answer; nothing is sent without a device.
    void WriteDeviceMsg(char* name);

    // Whether the device acknowledges a probe within half a second.
    bool JudgeIsAvailable();

    // Asks the device for its 12-character directory name and makes sure a directory of that name
    // exists in folder: 1 when it existed, 0 when it was just created, -1 when there is no device,
    // no answer, a name that is not one plain directory name, or the directory cannot be created.
    // The name ends at its first zero byte and must convert whole from the device's code page.
    // Takes at least one and a half seconds, at most about seven.
    int CheckDeviceSETDir(std::wstring folder);

    // Packs the listed files of srcDir into a new archive at zipPath; 0 or -1.
    int ComPressSet(std::string srcDir, std::vector<std::string>& files, std::string zipPath);

    // The folder into which the next finished download is unpacked.
    void SetUnzipfloderpath(std::string folder);

    // The TCP port the library listens on for the device, or 0 when it does not listen.
    int GetListeningPort();

    // The size in bytes of the archive the running download brings, as the device announced it;
    // 0 until it has. With GetReadRate, a host can show a download's progress in bytes.
    std::uint32_t GetReadTotalSize() const;

    // The blocks of the running download taken so far: unlike GetReadRate, it moves with every
    // block, so a host can tell a slow download from a stalled one.
    std::int32_t GetReadBlocksTaken() const;

    // The serial port that carries the device, or "" while it is not on a serial port.
    std::string GetDevicePortName() const;

    // Ends the operation under way, from any thread: an upload sends no further block and
    // WriteSettoHard returns -1, a reply wait gives up at once, and a download takes no further
    // block, drops what it received and tells the device to stop. When this returns, no block of
    // the download is being handled any more, so its archive and folder stay as they are. The
    // next operation starts afresh.
    void CancelTransfer();

private:
    // Gives the library's own benchmarks and fuzzers the dispatcher; not part of the interface.
    friend class quillon::TransferInternals;

    // The receive dispatcher: every frame of both links comes here, on the link's own thread.
    int ParseMsg(unsigned char* frame, int length);
    int UnComPressSet(std::string destDir, std::string zipPath);

    // The two reply waits: about one second, ended early by the answer, the close request or a
    // cancel.
    bool judgewritesuccess();
    bool judgereadsuccess();

    // The link the registry chose, or nullptr while no device has been seen.
    CCommunication_SET* ChosenLink();
    // The dispatcher's work on the chosen link, whichever type it is.
    template <typename Link>
    int Dispatch(Link& link, unsigned char* frame, int length);
    template <typename Link>
    int DispatchBlock(Link& link, unsigned char* frame, int length);
    // Ends whatever operation is pending; a download's unfinished archive goes with it.
    void GiveUp();
    // Sends the upload's next block on link, if one is due, and publishes the progress.
    template <typename Link>
    bool SendNextUploadBlock(Link& link);
    // Whether an exchange with the device is under way, during which the TCP link takes no new
    // device: a blocking operation runs, or a download has heard from its device lately.
    bool ExchangeUnderWay();
    void NoteDownloadActivity();

    class Exchange;  // counts a blocking operation in ExchangesRunning while it lasts

    std::unique_ptr<CSerialPort_SET> SerialLink;
    std::unique_ptr<CHardwareServer_SET> TcpLink;
    std::unique_ptr<CComPression> Packer;

    // Written by a host operation before the request whose answer the dispatcher handles, and by
    // the dispatcher on a link thread; atomics and a guarded string so both sides see whole values.
    std::atomic<std::uint32_t> ReadTotalSize{0};    // bytes of the archive being downloaded
    std::atomic<std::int32_t> ReadBlockIndex{0};    // the next block a download expects
    quillon::GuardedString ReadZipPath;             // the archive a download writes
    quillon::GuardedString UnzipFolder;             // where a finished download is unpacked
    std::atomic<std::int32_t> ReadBlockCount{0};    // blocks of the download
    std::atomic<std::uint8_t> VersionKind{0};       // kind of the pending version read
    std::atomic<std::uint8_t> VersionItem{0};       // item of the pending version read, always 2
    std::atomic<std::int32_t> VersionValue{-1};     // the version the device reported, -1 for none
    std::atomic<std::int32_t> ExchangesRunning{0};  // blocking operations under way
    std::atomic<std::int64_t> DownloadHeardAt{0};   // steady clock, ns: the download's last sign of life
    std::atomic<bool> CancelRequested{false};       // set by CancelTransfer, cleared by the next operation
    std::mutex BlockMutex;                          // held while a download block is handled

    // The download's archive as its blocks come in; in place only once complete.
    std::unique_ptr<quillon::DownloadArchive> Download;
    // The upload's blocks, sent by whichever thread takes the acknowledgement of the block before.
    std::unique_ptr<quillon::UploadPump> Uploading;
};
