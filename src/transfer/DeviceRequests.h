// The short requests to a device, each with an outcome that tells a refusal from silence. CQuillon
// answers -1 for both, and tells them apart only by the time a refusal takes, or not at all for a
// request the device never acknowledges; the command-line tool and the C interface both ask here,
// so that they say the same of the same device.
//
// Thread-safety: as CQuillon's operations, one at a time, each blocking its caller.
#pragma once

#include <optional>
#include <string>

#include "support/base/Export.h"

class CQuillon;

namespace quillon {

enum class RequestEnd {
    Done,
    Refused,   // the device answered no
    NoAnswer,  // the device said nothing (for a write: and no longer answers a probe either)
};

// The device's version of file kind 0, 1 or 2 into version.
QUILLON_API RequestEnd ReadDeviceVersion(CQuillon& quillon, int kind, int& version);

// Stores version for file kind 0, 1 or 2 on the device.
QUILLON_API RequestEnd WriteDeviceVersion(CQuillon& quillon, int kind, int version);

// Writes the device record (name: exactly 12 bytes) with this computer's date and time. The device
// does not acknowledge it; Done when it answers a probe afterwards.
QUILLON_API RequestEnd WriteDeviceRecord(CQuillon& quillon, const std::string& name);

struct DeviceDirectoryOutcome {
    enum class End {
        Done,          // the folder is there: made now, or found
        NoAnswer,      // the device reported no name
        ShortName,     // the device reported fewer than 12 characters
        BadName,       // the 12 characters cannot name a folder
        CannotCreate,  // the folder cannot be made
    } end = End::NoAnswer;
    std::string reported;                   // the name as the device reported it, up to 12 bytes
    std::optional<std::string> folderName;  // the folder's name, as the file system has it
    bool existed = false;                   // Done: the folder was there already
};

// Asks the device for its directory name and makes sure a folder of that name exists in folder
// (given without a trailing separator).
QUILLON_API DeviceDirectoryOutcome MakeDeviceDirectory(CQuillon& quillon, const std::string& folder);

}  // namespace quillon
