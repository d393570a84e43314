// The process-wide state through which the host, the transfer object, the receive dispatcher and
// the link watchers share what is going on with the device: which link carries it, which operation
// is in progress, the progress of a transfer and the close request. The same class checks and
// repairs settings packages on disk.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "support/base/Export.h"
#include "support/base/Guarded.h"

class QUILLON_API CSysconfig_SET {
public:
    // The one instance, created on the first call; it lives until the library is unloaded.
    static CSysconfig_SET* get();

    ~CSysconfig_SET();
    CSysconfig_SET(const CSysconfig_SET&) = delete;
    CSysconfig_SET& operator=(const CSysconfig_SET&) = delete;

    bool GetCloseExe();
    void SetCloseExe(bool close);

    // kNoLink (-1) while no link has seen a device, then kSerialLink (0) or kTcpLink (1), from
    // protocol/DeviceLink.h, until the transfer object goes: the first link that reports a device
    // wins, whatever the other reports later.
    int GetSeriOrTcp();
    void SetSeriOrTcp(int link);
    // Back to kNoLink, for a transfer object that starts with links of its own: the choice belonged
    // to the links of the one before, which are gone.
    void ForgetLink();

    // Progress in percent of done out of total, computed in single precision as the device tools
    // always have (53 of 100 is 52). Not clamped above 100. A total of 0 or less means there was
    // nothing to move, which is 100.
    int GetReadRate();
    void SetReadRate(int done, int total);
    int GetWriteRate();
    void SetWriteRate(int done, int total);

    // Clearing a finish flag also zeroes its rate; setting it keeps the last percentage.
    bool GetReadfinish();
    void SetReadfinish(bool finished);
    bool GetWritefinish();
    void SetWritefinish(bool finished);

    // Called on the link threads with (state, link) at every watcher pass: state 1 when the link
    // sees a device, -1 when not; link 1 for TCP, 0 for serial. May be replaced at any time.
    void SetDeviceOnline(std::function<void(int, int)> callback);

    // Settings package check: true when the package in directory is complete; otherwise writes
    // "CheckSetInfo.TXT" into it, a line for each missing piece.
    bool CheckSETExist(std::string directory);

    // Puts the package into a directory named after its device serial under root, copying its
    // files there when that directory does not exist yet.
    bool RepairSETPath(std::wstring root, std::wstring package);

    // Shared with the transfer object and the receive dispatcher; no accessors.
    std::atomic<std::int32_t> PendingOp{
        -1};  // -1 none, 0 upload, 1 version write, 10 download, 11 version read
    std::atomic<std::int32_t> WriteStarted{0};
    std::atomic<std::int32_t> ReadStarted{0};  // size replies seen in the current download
    std::atomic<bool> DeviceReplied{false};    // the device acknowledged something with success
    quillon::GuardedCallback<void(int, int)> DeviceOnlineCallback;
    quillon::GuardedString DeviceDirName;  // the device's directory name, as it reported it

private:
    CSysconfig_SET();

    std::string GetChildString(std::string text, int first, int last);

    std::atomic<bool> CloseExe{false};
    std::atomic<bool> Readfinish{false};
    std::atomic<std::int32_t> ReadRate{0};
    std::atomic<bool> Writefinish{false};
    std::atomic<std::int32_t> WriteRate{0};
    std::atomic<std::int32_t> SeriOrTcp{-1};
};
