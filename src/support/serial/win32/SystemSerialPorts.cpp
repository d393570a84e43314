#include "support/serial/SystemSerialPorts.h"

#include <windows.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace quillon {

namespace {

std::string Narrow(const wchar_t* text, std::size_t length)
{
    if (length == 0)
        return {};
    const int size =
        ::WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string narrow(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), narrow.data(), size, nullptr, nullptr);
    return narrow;
}

// COM10 after COM9, not after COM1.
bool ComesBefore(const serial::PortInfo& a, const serial::PortInfo& b)
{
    if (a.port.size() != b.port.size())
        return a.port.size() < b.port.size();
    return a.port < b.port;
}

}  // namespace

std::vector<serial::PortInfo> ListSystemSerialPorts()
{
    // Each value of this key maps a serial device object (the value's name) to its port name.
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return {};

    std::vector<serial::PortInfo> ports;
    for (DWORD index = 0;; ++index) {
        wchar_t device[256];
        DWORD deviceLength = static_cast<DWORD>(std::size(device));
        wchar_t port[256];
        DWORD portBytes = sizeof(port) - sizeof(wchar_t);  // room for a terminator the registry may omit
        DWORD type = 0;
        const LSTATUS status = ::RegEnumValueW(key, index, device, &deviceLength, nullptr, &type,
                                               reinterpret_cast<BYTE*>(port), &portBytes);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || type != REG_SZ)
            continue;
        std::size_t portLength = portBytes / sizeof(wchar_t);
        port[portLength] = L'\0';
        while (portLength > 0 && port[portLength - 1] == L'\0')
            --portLength;
        std::string name = Narrow(port, portLength);
        if (name.empty())
            continue;
        ports.push_back(serial::PortInfo{std::move(name), Narrow(device, deviceLength), ""});
    }
    ::RegCloseKey(key);
    std::sort(ports.begin(), ports.end(), ComesBefore);
    return ports;
}

}  // namespace quillon
