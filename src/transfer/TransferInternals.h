// The transfer object's insides, for the library's own transfer runs, benchmarks and fuzzers: they
// feed the receive dispatcher frames directly, look at the links, or ask why an upload ended. Not
// installed; hosts never see it.
#pragma once

#include "transfer/DownloadArchive.h"
#include "transfer/Quillon.h"
#include "transfer/UploadPump.h"
#include "transport/HardwareServer_SET.h"
#include "transport/SerialPort_SET.h"

namespace quillon {

class TransferInternals {
public:
    // Hands a delivery to the dispatcher as a link would, on the calling thread.
    static int ParseMsg(CQuillon& quillon, unsigned char* frame, int length)
    {
        return quillon.ParseMsg(frame, length);
    }

    // Puts the transfer object in the state in which an operation with that PendingOp code waits
    // for the device's answers, as the operation leaves it just before its request goes out,
    // without sending or waiting.
    static void Expect(CQuillon& quillon, std::int32_t pendingOp, std::uint8_t kind,
                       const std::string& zipPath, const std::string& unzipFolder)
    {
        auto& registry = *CSysconfig_SET::get();
        quillon.Download->Abandon();
        quillon.ReadBlockIndex.exchange(0);
        quillon.ReadZipPath = zipPath;
        quillon.UnzipFolder = unzipFolder;
        quillon.VersionKind.exchange(kind);
        quillon.VersionItem.exchange(2);
        quillon.VersionValue.exchange(-1);
        registry.SetReadfinish(false);
        registry.ReadStarted.exchange(0);
        for (CCommunication_SET* link : {static_cast<CCommunication_SET*>(quillon.SerialLink.get()),
                                         static_cast<CCommunication_SET*>(quillon.TcpLink.get())}) {
            link->WriteAck.exchange(false);
            link->ReadOk.exchange(true);
        }
        registry.PendingOp.exchange(pendingOp);
    }

    // Whether the last upload ended because its archive changed or could not be read.
    static bool UploadFileFailed(CQuillon& quillon) { return quillon.Uploading->failed(); }

    static CSerialPort_SET& SerialLink(CQuillon& quillon) { return *quillon.SerialLink; }
    static CHardwareServer_SET& TcpLink(CQuillon& quillon) { return *quillon.TcpLink; }
};

}  // namespace quillon
