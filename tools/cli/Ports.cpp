// ports: the serial ports of this computer, and with --probe which of them has a device on it.
#include <support/serial/SerialPortList.h>
#include <support/tooling/ChildProcess.h>
#include <support/tooling/SerialPortAccess.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "Commands.h"

namespace quillon::cli {

namespace {

// A port's row in a table: a cell too short is padded to the column's width.
std::string Pad(std::string text, std::size_t width)
{
    if (text.size() < width)
        text.append(width - text.size(), ' ');
    return text;
}

// Why the port cannot be searched at all, in a few words; empty when nothing is known against it.
std::string AccessProblem(const std::string& port)
{
    using Problem = SerialPortAccess::Problem;
    const SerialPortAccess access = CheckSerialPortAccess(port);
    switch (access.problem) {
    case Problem::None:
        return {};
    case Problem::Missing:
        return "no such port";
    case Problem::NotATerminal:
        return "not a serial port";
    case Problem::NoPermission:
        return access.detail.empty() ? "no permission" : "no permission (group " + access.detail + ")";
    case Problem::Other:
        break;
    }
    return access.detail;
}

struct PortRow {
    serial::PortInfo info;
    std::string problem;         // why it cannot be searched
    std::optional<bool> device;  // with --probe: whether a device answered
};

// The library keeps the first device it finds for the rest of the process, so each port is
// searched by a process of its own: this program again, as "status" on that port alone.
void Probe(std::vector<PortRow>& rows, const GlobalOptions& options)
{
    const std::filesystem::path self = ChildProcess::CurrentProgram();
    char wait[32];
    std::snprintf(wait, sizeof wait, "%g", options.waitSeconds);
    std::vector<std::unique_ptr<ChildProcess>> children(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i].problem.empty())
            continue;
        ChildProcess::Options childOptions;
        childOptions.readOutput = false;
        childOptions.destroyGrace = std::chrono::seconds(2);
        children[i] = std::make_unique<ChildProcess>(
            std::vector<std::string>{self.string(), "status", "--serial-port", rows[i].info.port, "--no-tcp",
                                     "--wait", wait},
            childOptions);
        if (!children[i]->started())
            rows[i].problem = "cannot be searched: " + children[i]->error();
    }
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!children[i] || !children[i]->started())
            continue;
        std::optional<int> status;
        while (!status && !local::Interrupted())
            status = children[i]->Wait(std::chrono::milliseconds(100));
        if (!status)
            return;  // the children go with their objects
        if (*status == ToInt(ExitCode::Success) || *status == ToInt(ExitCode::NoDevice))
            rows[i].device = *status == ToInt(ExitCode::Success);
        else
            rows[i].problem = "cannot be searched";
    }
}

}  // namespace

ExitCode Ports(CommandContext& context)
{
    context.report.Declare({"ports"});
    Report& report = context.report;
    const GlobalOptions& options = context.options;

    // The system's ports; the ports given with --serial-port in their place, described where the
    // system knows them.
    serial::unpin_ports();
    const std::vector<serial::PortInfo> system = serial::list_ports();
    std::vector<PortRow> rows;
    if (options.serialPorts.empty() || options.SearchesEverySerialPort()) {
        for (const auto& info : system)
            rows.push_back({info, AccessProblem(info.port), std::nullopt});
    } else {
        for (const std::string& port : options.serialPorts) {
            const auto known =
                std::find_if(system.begin(), system.end(),
                             [&port](const serial::PortInfo& info) { return info.port == port; });
            rows.push_back({known != system.end() ? *known : serial::PortInfo{port, "", ""},
                            AccessProblem(port), std::nullopt});
        }
    }
    if (context.args.probe)
        Probe(rows, options);
    if (local::Interrupted())
        return local::StoppedByInterrupt(report, "while the ports were searched");

    // A table: the port, what the search found (when there is something to say), what the system
    // says the port is, and its bus identification.
    const auto found = [](const PortRow& row) -> std::string {
        if (!row.problem.empty())
            return row.problem;
        if (row.device)
            return *row.device ? "device" : "no device";
        return {};
    };
    std::vector<Report::Object> objects;
    std::size_t portWidth = 0;
    std::size_t foundWidth = 0;
    std::size_t descriptionWidth = 0;
    for (const auto& row : rows) {
        portWidth = std::max(portWidth, Printable(row.info.port).size());
        foundWidth = std::max(foundWidth, found(row).size());
        descriptionWidth = std::max(descriptionWidth, Printable(row.info.description).size());
    }
    for (const auto& row : rows) {
        const auto text = [](const std::string& value) { return value.empty() ? "null" : JsonString(value); };
        objects.push_back({{"port", JsonString(row.info.port)},
                           {"description", text(row.info.description)},
                           {"hardware_id", text(row.info.hardware_id)},
                           {"device", row.device ? (*row.device ? "true" : "false") : "null"},
                           {"problem", text(row.problem)}});
        std::string line = Pad(Printable(row.info.port), portWidth) + "  ";
        if (foundWidth > 0)
            line += Pad(found(row), foundWidth) + "  ";
        line +=
            Pad(Printable(row.info.description), descriptionWidth) + "  " + Printable(row.info.hardware_id);
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        report.Say(line);
    }
    report.Set("ports", objects);
    if (rows.empty())
        report.Say("no serial ports");
    return ExitCode::Success;
}

}  // namespace quillon::cli
