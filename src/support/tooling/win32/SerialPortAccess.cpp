#include "support/tooling/SerialPortAccess.h"

#include <windows.h>

namespace quillon {

namespace {

// Whether Wine knows where a device name leads. Wine maps a COM port to a Unix device by a link in
// its prefix (dosdevices/comN); one made after Wine's device manager started, as a test's is, gets
// no DOS device object for QueryDosDevice to find, yet the port opens. Wine resolves the name
// without opening anything. Nothing outside Wine has this function. A path is no device name (and
// Wine resolves one whose last part is missing, for a file about to be made).
bool WineMapsDevice(const std::string& device)
{
    if (device.find_first_of("\\/:") != std::string::npos)
        return false;
    using UnixName = char*(CDECL*)(const WCHAR*);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!unixName || device.empty())
        return false;
    std::wstring wide(device.size(), L'\0');
    if (::MultiByteToWideChar(CP_ACP, 0, device.data(), static_cast<int>(device.size()), wide.data(),
                              static_cast<int>(wide.size())) != static_cast<int>(device.size()))
        return false;
    char* found = unixName((L"\\\\.\\" + wide).c_str());
    if (found)
        ::HeapFree(::GetProcessHeap(), 0, found);
    return found != nullptr;
}

}  // namespace

SerialPortAccess CheckSerialPortAccess(const std::string& path)
{
    using Problem = SerialPortAccess::Problem;
    // A port is a DOS device name ("COM3"), given bare or in the device namespace ("\\.\COM3").
    const std::string prefix = "\\\\.\\";
    const std::string name = path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : path;
    char target[512];
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0 || WineMapsDevice(name))
        return {};
    // Not a device: a file or folder of that name is something else, and nothing is missing.
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return {Problem::NotATerminal, {}};
    return {Problem::Missing, {}};
}

}  // namespace quillon
