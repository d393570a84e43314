// The command line, as the commands receive it.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include <LinkSettings.h>

namespace quillon::cli {

// Options every command takes, before or after its name.
struct GlobalOptions {
    std::vector<std::string> serialPorts;  // the only serial ports searched; none when empty
    double waitSeconds = 10;               // how long to wait for a device to show up
    quillon::LinkSettings link;            // where and from whom the device's TCP connection comes
    bool json = false;
    int verbosity = 0;  // 1: the tool tells what it does; 2: the library's own lines as well

    // "--serial-port auto": every port the system lists, searched as the library searches them.
    bool SearchesEverySerialPort() const
    {
        return std::find(serialPorts.begin(), serialPorts.end(), "auto") != serialPorts.end();
    }
};

// The arguments of every command; each command reads its own.
struct CommandArguments {
    std::string folder;       // pack, check, devdir, download (the unpacking folder)
    std::string archive;      // pack, unpack, download
    std::string source;       // upload: a zip archive or a package folder
    std::string root;         // repair
    std::string package;      // repair
    std::string name;         // record
    int kind = 0;             // upload, download, version
    long long version = 0;    // version set
    double stallSeconds = 5;  // download: no progress for this long means the device stopped
    bool probe = false;       // ports: ask each port whether a device answers
};

}  // namespace quillon::cli
