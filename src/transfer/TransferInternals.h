// The transfer object's insides, for the library's own benchmarks and fuzzers: they feed the
// receive dispatcher frames directly and look at the links. Not installed; hosts never see it.
#pragma once

#include "transfer/Quillon.h"
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

    static CSerialPort_SET& SerialLink(CQuillon& quillon) { return *quillon.SerialLink; }
    static CHardwareServer_SET& TcpLink(CQuillon& quillon) { return *quillon.TcpLink; }
};

}  // namespace quillon
