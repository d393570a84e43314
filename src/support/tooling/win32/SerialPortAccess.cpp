#include "support/tooling/SerialPortAccess.h"

#include <windows.h>

namespace quillon {

SerialPortAccess CheckSerialPortAccess(const std::string& path)
{
    using Problem = SerialPortAccess::Problem;
    // A port is a DOS device name ("COM3"), given bare or in the device namespace ("\\.\COM3").
    const std::string prefix = "\\\\.\\";
    const std::string name = path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : path;
    char target[512];
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0)
        return {};
    // Not a device: a file or folder of that name is something else, and nothing is missing.
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return {Problem::NotATerminal, {}};
    return {Problem::Missing, {}};
}

}  // namespace quillon
