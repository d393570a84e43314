// The tool's end of the device link: the library's transfer object, started with only the serial
// ports the user named, and the wait for a device to show up on either link.
#pragma once

#include <Quillon.h>

#include <memory>
#include <string>

#include "ExitCode.h"
#include "Options.h"
#include "Report.h"

namespace quillon::cli {

class DeviceSession {
public:
    // Pins the serial port search to the ports given (none without --serial-port, so that no port
    // of the machine is opened unasked), starts both links (TCP where --listen, --port and --allow
    // say, unless --no-tcp) and waits up to --wait seconds for a device. Null, with the failure
    // recorded in report and its code in failure, when the port cannot be listened on or no device
    // came. With showStatus, a line on standard error counts the seconds of the wait.
    static std::unique_ptr<DeviceSession> Connect(const GlobalOptions& options, Report& report,
                                                  ExitCode& failure, bool showStatus);

    CQuillon& quillon() { return *quillon_; }
    CSysconfig_SET& registry() { return *CSysconfig_SET::get(); }

    // Sets the result's "link" ("tcp" or "serial") and "serial_port": the port that carried the
    // device, where that is known (one port was given), null otherwise.
    void RecordLink(Report& report) const;
    // The link for a sentence: "TCP" or "serial port /dev/ttyUSB0".
    std::string LinkText() const;

    // Asks the device whether it is still there, as the library's probe does (half a second).
    bool StillAnswers();

private:
    DeviceSession(const GlobalOptions& options, std::unique_ptr<CQuillon> quillon, int link)
        : options_(options), quillon_(std::move(quillon)), link_(link)
    {}

    const GlobalOptions& options_;
    std::unique_ptr<CQuillon> quillon_;
    int link_;
};

}  // namespace quillon::cli
