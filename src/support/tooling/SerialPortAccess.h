// Whether a serial port a user named can be opened at all, found out without opening it.
//
// The library searches the ports it is given and takes silence for the absence of a device: a
// path that names no port, or a port the user may not open, would look like a device that never
// came, after the whole wait. A tool checks each named port first and says what is wrong at once.
// Opening the port to find out is avoided: an open can reset a device (the modem lines change), and
// a pseudo-terminal whose last user closes it reports a hang-up to its other end.
#pragma once

#include <string>

namespace quillon {

struct SerialPortAccess {
    enum class Problem {
        None,          // nothing is known against it
        Missing,       // no such port, file or device
        NotATerminal,  // something else is there: a file, a folder, another kind of device
        NoPermission,  // this user may not open it for reading and writing
        Other,         // the system could not tell (detail says what it said)
    };
    Problem problem = Problem::None;
    // For NoPermission, the group that may open the port, where the system has one ("dialout");
    // for Other, the system's message.
    std::string detail;
};

SerialPortAccess CheckSerialPortAccess(const std::string& path);

}  // namespace quillon
